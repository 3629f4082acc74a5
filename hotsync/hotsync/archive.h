// The desktop's archive of records the person archived on the handheld
// (deleted with "save a copy on the PC"): copied before any conduit runs, so
// that no sync purges one without its copy.
//
//   hotsync::ArchiveReport report;
//   std::string problem;
//   if (!hotsync::archiveRecords(handheld, userFolder, {"MemoDB", "AddressDB"},
//   report, problem))
//     stopTheRun(problem);
//   for (const hotsync::ArchivedCopy& c : report.copies) say(c.copied,
//   c.database, c.file);
//
// Each application gets USERDIR/archive/<database>.pdb: a standard database
// with the handheld database's name, type, creator and app-info block, whose
// records are plain copies (no deleted, archived or dirty mark; private and
// category kept), readable by `handheld --folder USERDIR/archive` and by any
// Palm tool.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace hotsync {

// The archive databases' folder of a user folder: USERDIR/archive.
std::string archiveFolderOf(const std::string& userFolder);

struct ArchivedCopy {
  std::string database;  // e.g. "MemoDB"
  std::string file;      // the archive database's file
  size_t copied = 0;     // records added to it by this call
};

struct ArchiveReport {
  std::vector<ArchivedCopy> copies;   // only databases that got records
  std::vector<std::string> warnings;  // databases that could not be read, and why
};

// Copies the archived records of the named handheld databases into their
// archive databases, creating those when missing. A record the archive holds
// already (same unique id and data, or the same data under the id it was
// given when its own was taken) is not copied again; a record whose id the
// archive gives to another record gets a new id there. A database missing
// from the handheld, a resource database, and one the store refuses as
// damaged (which no conduit can open either, so none purges it) are passed
// over, the last with a warning. False with problem set when a handheld
// database cannot be read for another reason or an archive cannot be
// written: then no conduit may run. Archives written before the failure
// keep their new records.
bool archiveRecords(const std::string& handheldFolder, const std::string& userFolder,
                    const std::vector<std::string>& databases, ArchiveReport& report, std::string& problem);

}  // namespace hotsync
