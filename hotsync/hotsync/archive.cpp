#include "hotsync/hotsync/archive.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>

#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"

namespace hotsync {

namespace {

// What the archive needs of a handheld database: its header and its
// archived records.
struct ArchivedRecords {
  palm::Database header;  // records left empty
  std::vector<palm::Record> records;
};

// Reads the archived records of a handheld database. Found false (and true
// returned) when there is nothing to archive from it.
bool readArchived(const std::string& folder, const std::string& name, ArchivedRecords& out, bool& found,
                  ArchiveReport& report, std::string& problem) {
  found = false;
  std::unique_ptr<palm::StoredDatabase> db;
  // Opening replays a journal a crash left, so that records archived just
  // before it are seen, as the conduit will see them.
  palm::StoreStatus st = palm::StoredDatabase::open(folder, name, false, db);
  if (st.code == palm::StoreError::NotFound) return true;
  if (st.code == palm::StoreError::Malformed) {
    report.warnings.push_back(name + " is not archived: " + st.message);
    return true;
  }
  if (!st) {
    problem = "cannot read the archived records of " + name + ": " + st.message;
    return false;
  }
  const palm::Database& hh = db->db();
  if (hh.isResourceDb()) return true;
  for (const palm::Record& r : hh.records)
    if (r.archived) out.records.push_back(r);
  out.header = hh;
  out.header.records.clear();
  found = !out.records.empty();
  return true;
}

// The category a record gets in the archive: the slot of the archive's block
// that has the handheld category's name, else that name added to the
// archive's block (in the same slot when free, else the first free one),
// else Unfiled. Databases without a category block keep the index.
uint8_t archiveCategory(uint8_t category, const std::optional<std::string>& handheldInfo, std::string& archiveInfo,
                        bool& infoChanged) {
  palm::CategoryBlock hh, ar;
  if (category == 0 || !handheldInfo || !palm::parseCategoryBlock(*handheldInfo, hh) ||
      !palm::parseCategoryBlock(archiveInfo, ar))
    return category;
  const std::string& name = hh.names[category];
  if (name.empty()) return category;
  for (size_t i = 0; i < palm::kCategoryCount; ++i)
    if (ar.names[i] == name) return static_cast<uint8_t>(i);
  size_t slot = ar.names[category].empty() ? category : 0;
  for (size_t i = 1; slot == 0 && i < palm::kCategoryCount; ++i)
    if (ar.names[i].empty()) slot = i;
  if (slot == 0) return 0;
  std::set<uint8_t> ids;
  for (size_t i = 0; i < palm::kCategoryCount; ++i)
    if (!ar.names[i].empty()) ids.insert(ar.ids[i]);
  uint8_t id = hh.ids[category];
  // A desktop gives ids from 128 up.
  for (unsigned next = 128; ids.count(id) && next < 256; ++next) id = static_cast<uint8_t>(next);
  ar.names[slot] = name;
  ar.ids[slot] = id;
  ar.renamed |= static_cast<uint16_t>(1u << slot);
  palm::storeCategoryBlock(ar, archiveInfo);
  infoChanged = true;
  return static_cast<uint8_t>(slot);
}

// Whether the archive holds the record already. `idTaken` tells whether its
// unique id belongs to another record there.
bool alreadyArchived(const palm::Database& archive, const palm::Record& r, bool& idTaken) {
  idTaken = false;
  for (const palm::Record& a : archive.records)
    if (a.uniqueId == r.uniqueId) {
      if (a.data == r.data) return true;
      idTaken = true;
    }
  if (!idTaken) return false;
  // Copied before under a new id: a run stopped before its purge, or a dry run.
  for (const palm::Record& a : archive.records)
    if (a.data == r.data) return true;
  return false;
}

bool makeArchiveFolder(const std::string& folder, std::string& problem) {
  std::error_code ec;
  if (::mkdir(folder.c_str(), 0700) == 0 || (errno == EEXIST && std::filesystem::is_directory(folder, ec))) return true;
  problem = "cannot make the archive folder " + folder + ": " + std::strerror(errno == EEXIST ? ENOTDIR : errno);
  return false;
}

// Adds the records to the archive database of `from`, creating it when
// missing. Counts the records added.
bool addToArchive(const std::string& folder, const ArchivedRecords& from, size_t& copied, std::string& file,
                  std::string& problem) {
  const std::string& name = from.header.name;
  std::unique_ptr<palm::StoredDatabase> db;
  palm::StoreStatus st = palm::StoredDatabase::open(folder, name, true, db);
  if (st.code == palm::StoreError::NotFound) {
    palm::Database initial;
    initial.name = name;
    initial.type = from.header.type;
    initial.creator = from.header.creator;
    initial.version = from.header.version;
    initial.attributes = from.header.attributes & palm::kDbBackup;
    initial.created = initial.modified = palm::palmNow();
    initial.appInfo = from.header.appInfo;
    st = palm::StoredDatabase::create(folder, initial, db);
  }
  file = palm::databaseFile(folder, name, false);
  if (!st) {
    problem = "cannot write the archive " + file + ": " + st.message;
    return false;
  }
  file = db->path();
  std::string archiveInfo = db->db().appInfo.value_or("");
  bool infoChanged = false;
  copied = 0;
  for (const palm::Record& r : from.records) {
    bool idTaken = false;
    if (alreadyArchived(db->db(), r, idTaken)) continue;
    palm::Record copy;
    copy.uniqueId = idTaken ? 0 : r.uniqueId;
    copy.category = archiveCategory(r.category, from.header.appInfo, archiveInfo, infoChanged);
    copy.secret = r.secret;
    copy.data = r.data;
    uint32_t assigned = 0;
    if (st = db->writeRecord(copy, &assigned); !st) break;
    ++copied;
  }
  if (st && infoChanged) st = db->setAppInfo(archiveInfo);
  if (palm::StoreStatus closed = db->close(); st && !closed) st = closed;
  if (!st) {
    problem = "cannot write the archive " + file + ": " + st.message;
    return false;
  }
  return true;
}

}  // namespace

std::string archiveFolderOf(const std::string& userFolder) { return userFolder + "/archive"; }

bool archiveRecords(const std::string& handheldFolder, const std::string& userFolder,
                    const std::vector<std::string>& databases, ArchiveReport& report, std::string& problem) {
  report = ArchiveReport{};
  std::set<std::string> seen;
  const std::string folder = archiveFolderOf(userFolder);
  for (const std::string& name : databases) {
    if (!seen.insert(name).second || !palm::validDatabaseName(name)) continue;
    ArchivedRecords archived;
    bool found = false;
    if (!readArchived(handheldFolder, name, archived, found, report, problem)) return false;
    if (!found) continue;
    // The file name is the one the conduit opens, whatever the header says.
    archived.header.name = name;
    ArchivedCopy copy;
    copy.database = name;
    if (!makeArchiveFolder(folder, problem) || !addToArchive(folder, archived, copy.copied, copy.file, problem))
      return false;
    if (copy.copied > 0) report.copies.push_back(copy);
  }
  return true;
}

}  // namespace hotsync
