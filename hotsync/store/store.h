// The handheld's storage: Palm database files in a folder, changed safely.
//
//   std::unique_ptr<palm::StoredDatabase> db;
//   palm::StoreStatus st = palm::StoredDatabase::open(folder, "MemoDB", true, db);
//   if (!st) report(st.message);
//   uint32_t id = 0;
//   st = db->writeRecord(record, &id);  // survives the process being killed
//   st = db->flush();                    // survives a power loss too
//   st = db->close();                    // folds the journal into the file
//
// Each change is appended to a journal beside the file ("<file>.journal")
// before the call returns: a killed process loses no change that returned.
// The disk is asked to keep them only at the points where it matters, since
// waiting for it costs far more than the write: at flush(), which the
// HotSync run calls before it tells the server of records it wrote here; at
// close, which writes the whole file to a temporary name, flushes it and
// renames it over the old one, then drops the journal; and once per
// megabyte of journal. A power loss can take back the changes since the
// last of those points, never one before.
//
// Opening a database whose journal survived a crash replays its intact
// entries and folds them in. What a crash leaves of unflushed writes (a
// torn last entry, or sectors the disk never got, which read as zeros) ends
// the replay there; the entries after such a cut are kept beside the file as
// "<file>.journal.cut". A journal left from before the last fold is
// recognised by the size and checksum of the file it was written against,
// and dropped. Each entry carries its own checksums and how much of the
// journal the disk held when it was written, so damage to what a flush had
// covered, or damage that no crash makes, is never taken for a cut: the
// database is refused until recover() is run. So after a crash at any moment
// every file reads as it was after some completed call, and after a power
// loss, as after some call no earlier than the last flush.
//
// One process at a time works on a folder: opening takes a lock on the
// folder, held until the last database of the process there is closed.
// Not thread-safe; the system calls it from one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include "hotsync/pdb/pdb.h"

namespace palm {

enum class StoreError {
  None,
  NotFound,     // no such database
  Malformed,    // the file is not a valid database; it is left untouched
  Exists,       // create: a database of that name is there already
  Io,           // a file operation failed (message says which)
  Busy,         // another process holds the folder
  BadArgument,  // invalid name, category, id or size
  Full,         // the database holds as many records as the format allows
};

// What StoredDatabase::recover did.
struct RecoverReport {
  bool found = false;  // there was a journal to recover from
  bool stale = false;  // its changes were in the file already; none applied
  size_t used = 0;     // entries applied
  size_t skipped = 0;  // damaged stretches and entries that could not apply
  std::string keptAs;  // where the journal is kept now
};

struct StoreStatus {
  StoreError code = StoreError::None;
  std::string message;
  explicit operator bool() const { return code == StoreError::None; }
};

// Test seam: when set, asked before every write, flush and rename the store
// makes ("write", "flush", "rename"); answering false makes that operation
// fail as an I/O error would. Empty by default. Process-wide.
using IoFaultHook = std::function<bool(const char *operation)>;
void setIoFaultHook(IoFaultHook hook);

// How many times this process has waited for the disk (file and folder
// flushes): for tests and benchmarks.
uint64_t diskFlushes();

// Whether `name` can be a database name here: 1 to 31 bytes, no "/" and no
// control characters, not "." or "..".
bool validDatabaseName(const std::string &name);

// The file of a database in a folder: "<folder>/<name>.pdb" (.prc for
// resource databases).
std::string databaseFile(const std::string &folder, const std::string &name, bool resource);

// Reads a database file without opening it for changes (no journal replay,
// no lock): for tools that only look, such as "Saved Preferences". Passes
// the same gate as opening: anything but a regular file, and a file larger
// than its header allows, is Malformed before its bulk is read.
StoreStatus readDatabaseFile(const std::string &path, Database &out);

// Writes a whole database atomically (temporary file, flush, rename, flush
// of the folder). Used for new files and for resource databases. Full when
// it does not fit the format (nothing is written).
StoreStatus writeDatabaseFile(const std::string &path, const Database &db);

class StoredDatabase {
 public:
  // Opens a database of the folder by name (.pdb, else .prc), replaying a
  // journal left by a crash. `writable` false refuses every change.
  // NotFound only when neither file exists; a damaged file gives Malformed.
  // A journal that is damaged (not merely cut short by a crash) is moved
  // to "<file>.journal.damaged" and the database is refused (Malformed)
  // until recover() has run; the journal is never deleted.
  static StoreStatus open(const std::string &folder, const std::string &name, bool writable,
                          std::unique_ptr<StoredDatabase> &out);

  // Creates a new database file from `initial` (its name names the file) and
  // opens it for changes. Exists when any database of that name is there.
  static StoreStatus create(const std::string &folder, Database initial, std::unique_ptr<StoredDatabase> &out);

  // Applies the intact entries of a damaged journal (or of a journal left
  // in place) to the database, writes it whole, and keeps the journal as
  // "<file>.journal.recovered" (".2", ... when taken). Success with
  // report.found false when there is no journal.
  static StoreStatus recover(const std::string &folder, const std::string &name, RecoverReport &report);

  // Closes; a failure to fold the journal in loses nothing (the journal
  // stays and the next open replays it).
  ~StoredDatabase();
  StoredDatabase(const StoredDatabase &) = delete;
  StoredDatabase &operator=(const StoredDatabase &) = delete;

  // The database as changed so far. Live records come first, then deleted
  // and archived ones. Valid until the next change.
  const Database &db() const { return db_; }
  size_t liveCount() const { return live_; }
  const std::string &path() const { return path_; }
  bool writable() const { return writable_; }

  // Index of the record with that unique id, or -1.
  long indexOf(uint32_t uniqueId) const;

  // Writes a record. uniqueId 0 makes a new record and stores its new id in
  // *assigned; an id that exists replaces that record (data, category,
  // attributes); an id that does not exist makes a record with that id.
  // A new record in a database of kMaxEntries records is refused (Full),
  // and nothing changes.
  StoreStatus writeRecord(const Record &record, uint32_t *assigned);
  // Removes a record altogether; NotFound when there is none with that id.
  StoreStatus removeRecord(uint32_t uniqueId);
  StoreStatus purgeAll();
  StoreStatus purgeCategory(uint8_t category);
  // Clears the dirty mark of every record.
  StoreStatus resetSyncFlags();
  // Removes deleted and archived records.
  StoreStatus purgeDeleted();
  StoreStatus setAppInfo(const std::string &block);

  // Has the disk keep every change made so far, so that a power loss cannot
  // take them back. Nothing to do when none was made since the last flush.
  // A failure leaves the database taking no further change.
  StoreStatus flush();

  // Folds the journal into the file and releases the folder. Further calls
  // on the object fail. Idempotent.
  StoreStatus close();

 private:
  StoredDatabase() = default;
  static StoreStatus begin(const std::string &folder, const std::string &name, bool writable,
                           std::unique_ptr<StoredDatabase> &out);
  StoreStatus loadBase();
  StoreStatus replay();
  StoreStatus refuseDamaged(size_t offset, size_t entry);
  std::string damagedPath() const { return path_ + ".journal.damaged"; }
  StoreStatus commit(const std::string &payload);
  bool apply(std::string_view payload);
  StoreStatus fold();
  void insert(Record r);
  void eraseAt(size_t index);
  void recount();

  std::string folder_;
  std::string name_;
  std::string path_;
  std::string journalPath_;
  Database db_;
  size_t live_ = 0;
  std::unordered_set<uint32_t> ids_;
  bool writable_ = false;
  bool open_ = false;
  bool changed_ = false;  // since the last fold
  bool broken_ = false;   // the journal could not be kept whole: no more changes
  int journalFd_ = -1;
  uint64_t journalSize_ = 0;  // bytes of entries
  uint64_t journalRoom_ = 0;  // bytes of the file, zeroed beyond the entries
  uint64_t flushed_ = 0;      // bytes of entries the disk holds for sure
  uint64_t baseSize_ = 0;
  uint32_t baseCrc_ = 0;
};

}  // namespace palm
