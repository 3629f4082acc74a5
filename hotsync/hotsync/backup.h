// Backups of the handheld folder, one per HotSync run, so that a run can be
// taken back on the handheld side.
//
//   std::string problem;
//   std::string folder = hotsync::makeBackup(handheld, userFolder, 5, problem);
//   if (folder.empty() && !problem.empty()) stopTheRun(problem);
//   ...
//   std::vector<hotsync::Backup> all = hotsync::backups(userFolder);  // newest first
//   hotsync::RestoreReport done;
//   if (hotsync::restoreBackup(all[0], handheld, done, problem)) hotsync::markUndone(all[0], problem);
//
// A backup is USERDIR/backups/<stamp>/ (stamp: UTC "YYYYmmddTHHMMSSZ", then
// "-2", "-3"... when taken) holding copies of the handheld's database files
// (*.pdb, *.prc and their journals) and, written last, the file "complete"
// that lists them with their sizes and checksums. A folder without it is a
// backup that was cut short and is never restored. Other files in a backup
// folder belong to whoever put them there: restoring leaves them alone and
// pruning removes the folder whole.
#pragma once

#include <string>
#include <vector>

namespace hotsync {

// The marker written last into a whole backup, and the one an undo leaves.
inline constexpr const char* kBackupComplete = "complete";
inline constexpr const char* kBackupUndone = "undone";

// One file a backup holds, as listed in its marker.
struct BackupFile {
  std::string name;  // file name in the handheld folder
  unsigned long long size = 0;
  unsigned crc = 0;  // CRC-32 of the bytes
};

struct Backup {
  std::string folder;    // USERDIR/backups/<stamp>
  std::string stamp;     // the folder's name
  std::string handheld;  // the handheld folder it was taken of (canonical path)
  bool undone = false;   // an undo has restored it already
  std::vector<BackupFile> files;
};

// What restoreBackup did, by file name.
struct RestoreReport {
  std::vector<std::string> restored;   // put back: missing or different now
  std::vector<std::string> removed;    // database files the run created
  std::vector<std::string> unchanged;  // as backed up already
};

// Whether a file of the handheld folder is one a backup keeps: <name>.pdb,
// <name>.prc or the journal of either, for a valid database name, and the
// handheld's sync log "synclog.txt".
bool isBackedUpFileName(const std::string& fileName);

// Copies the handheld folder's database files into a new backup folder of
// userFolder/backups, under the handheld folder's lock, then keeps only the
// `keep` newest whole backups. Returns the new backup's folder. Empty with
// problem set (naming the path and the reason) when it cannot be made;
// what was begun is removed and the handheld folder is never changed.
// keep 0 makes none and removes every earlier one: empty, problem empty.
std::string makeBackup(const std::string& handheldFolder, const std::string& userFolder, unsigned keep,
                       std::string& problem);

// The whole backups of userFolder, newest first. Cut-short backups, damaged
// markers and folders of other names are left out. Never fails: no folder
// means no backups.
std::vector<Backup> backups(const std::string& userFolder);

// Puts the handheld folder back as `backup` holds it, under the folder's
// lock: every backed-up file that differs is written back atomically, and
// every database file (or journal) that the backup lacks is removed. Checks
// every copy against the marker before anything changes: false with problem
// set when one is missing or damaged, or the folder cannot be written
// (what was put back by then stays put back; running it again completes it).
bool restoreBackup(const Backup& backup, const std::string& handheldFolder, RestoreReport& report,
                   std::string& problem);

// Marks a backup undone, so that the next undo goes one run further back.
// False with problem set when the mark cannot be written.
bool markUndone(const Backup& backup, std::string& problem);

// The canonical form of a folder path (symbolic links resolved), as Backup
// records it; the path itself, made absolute, when that fails.
std::string canonicalFolder(const std::string& folder);

}  // namespace hotsync
