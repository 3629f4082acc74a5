#include "hotsync/store/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "platform/files.h"

namespace palm {

namespace {

// Journal layout. Header: magic, version, size and CRC of the file it was
// written against, CRC of the header. Entry: payload length, payload CRC,
// the journal offset up to which the disk held the journal when the entry
// was written (version 3; version 2 flushed every entry), CRC of the head so
// far, the payload, then one commit byte. The room ahead is zeroed and
// flushed before entries go there, so whatever a crash keeps from
// unflushed writes reads as entries cut off by zeros: a torn last entry or
// a lost sector. Damage that a flush had covered, or that no crash makes,
// is told from that and refuses the database.
constexpr char kJournalMagic[4] = {'G', 'W', 'S', 'J'};
constexpr uint32_t kJournalVersion = 3;
constexpr uint32_t kFlushEveryEntryVersion = 2;  // still read after a crash
constexpr size_t kJournalHeaderSize = 4 + 4 + 8 + 4 + 4;
constexpr size_t kEntryHeadSize = 20;
constexpr size_t kFlushEveryEntryHeadSize = 12;
// What a disk writes whole, or not at all.
constexpr size_t kSectorSize = 512;
// Zeros ending at a sector boundary that no entry's own bytes hold as
// often: a sector the disk never got.
constexpr size_t kLostSectorZeros = 16;
// An entry's head starts with up to five zero bytes of its own (a length
// below 256, say, then a CRC byte that may be zero).
constexpr size_t kShortestLostRun = 6;
constexpr char kCommitByte = '\xEE';
constexpr size_t kMaxPayload = 16 + kMaxBlockSize;
constexpr uint64_t kJournalChunk = 1u << 20;
// No database file can be larger: 32-bit offsets plus the last block.
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull + kMaxBlockSize;

enum Op : uint8_t {
  kOpWrite = 1,
  kOpRemove = 2,
  kOpPurgeAll = 3,
  kOpPurgeCategory = 4,
  kOpResetFlags = 5,
  kOpPurgeDeleted = 6,
  kOpAppInfo = 7,
};

StoreStatus error(StoreError code, std::string message) { return {code, std::move(message)}; }

IoFaultHook &faultHook() {
  static IoFaultHook hook;
  return hook;
}

// False (errno EIO) when the test seam says this operation fails.
bool allowed(const char *operation) {
  if (faultHook() && !faultHook()(operation)) {
    errno = EIO;
    return false;
  }
  return true;
}

StoreStatus ioError(const std::string &what, const std::string &path, int err = errno) {
  return error(StoreError::Io, what + " " + path + ": " + std::strerror(err));
}

bool exists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool readWhole(const std::string &path, std::string &out, int &err) {
  if (platform::readWholeFile(path, out)) return true;
  err = errno;
  return false;
}

// Fills `bytes` from the start of the file; false when it is shorter or a
// read fails.
bool preadAll(int fd, std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool pwriteAll(int fd, std::string_view bytes, uint64_t at) {
  return allowed("write") && platform::pwriteAll(fd, bytes, at);
}

bool zeroRange(int fd, uint64_t from, uint64_t to) {
  static const std::string zeros(65536, '\0');
  while (from < to) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), to - from));
    if (!pwriteAll(fd, std::string_view(zeros.data(), n), from)) return false;
    from += n;
  }
  return true;
}

uint64_t &flushes() {
  static uint64_t count = 0;
  return count;
}

bool flush(int fd, bool dataOnly) {
  if (!allowed("flush")) return false;
  ++flushes();
  return (dataOnly ? ::fdatasync(fd) : ::fsync(fd)) == 0;
}

bool syncFolder(const std::string &folder) {
  if (!allowed("flush")) return false;
  ++flushes();
  return platform::syncFolder(folder);
}

// One lock per folder and process, counted by the databases open there.
struct FolderLock {
  int fd = -1;
  int users = 0;
};
std::map<std::string, FolderLock> &folderLocks() {
  static std::map<std::string, FolderLock> locks;
  return locks;
}

StoreStatus lockFolder(const std::string &folder) {
  FolderLock &lock = folderLocks()[folder];
  if (lock.users > 0) {
    ++lock.users;
    return {};
  }
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    folderLocks().erase(folder);
    return ioError("cannot open the handheld folder", folder, err);
  }
  // A HotSync or another tool may be at work there; wait a little for it.
  for (int attempt = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
    if (errno != EWOULDBLOCK || attempt >= 100) {
      ::close(fd);
      folderLocks().erase(folder);
      return error(StoreError::Busy, "the handheld folder " + folder + " is in use by another program");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  lock.fd = fd;
  lock.users = 1;
  return {};
}

void unlockFolder(const std::string &folder) {
  auto it = folderLocks().find(folder);
  if (it == folderLocks().end()) return;
  if (--it->second.users > 0) return;
  ::close(it->second.fd);  // releases the flock
  folderLocks().erase(it);
}

std::string journalHeader(uint32_t version, uint64_t baseSize, uint32_t baseCrc) {
  std::string h(kJournalMagic, 4);
  appendU32(h, version);
  appendU32(h, static_cast<uint32_t>(baseSize >> 32));
  appendU32(h, static_cast<uint32_t>(baseSize));
  appendU32(h, baseCrc);
  appendU32(h, crc32(h));
  return h;
}

std::string journalEntry(std::string_view payload, uint64_t flushed) {
  std::string e;
  appendU32(e, static_cast<uint32_t>(payload.size()));
  appendU32(e, crc32(payload));
  appendU32(e, static_cast<uint32_t>(flushed >> 32));
  appendU32(e, static_cast<uint32_t>(flushed));
  appendU32(e, crc32(e));
  e += payload;
  e.push_back(kCommitByte);
  return e;
}

// A journal's bytes as read back, with the end of what is not zero.
struct JournalBytes {
  JournalBytes(std::string_view b, uint32_t v) : bytes(b), version(v) {
    size_t last = b.find_last_not_of('\0');
    contentEnd = last == std::string_view::npos ? 0 : last + 1;
  }
  bool zeroFrom(size_t from) const { return from >= contentEnd; }
  size_t headSize() const { return version == kFlushEveryEntryVersion ? kFlushEveryEntryHeadSize : kEntryHeadSize; }

  std::string_view bytes;
  uint32_t version;
  size_t contentEnd = 0;
};

// What stands at one offset of a journal.
enum class Slot { Entry, End, Torn, Damaged };

// Reads the entry at `at`: Entry (payload set, *next after it, *flushed the
// offset the disk held when it was written), End (only zeros from here),
// Torn (a last write cut short), or Damaged.
Slot readEntry(const JournalBytes &jb, size_t at, std::string_view &payload, size_t &next, uint64_t &flushed) {
  std::string_view j = jb.bytes;
  const size_t head = jb.headSize();
  if (jb.zeroFrom(at)) return Slot::End;
  if (j.size() - at < head || crc32(j.substr(at, head - 4)) != getU32(j, at + head - 4))
    return jb.zeroFrom(at + head) ? Slot::Torn : Slot::Damaged;
  const uint32_t length = getU32(j, at);
  if (length == 0 || length > kMaxPayload || length + 1 > j.size() - at - head) return Slot::Damaged;
  const size_t mark = at + head + length;
  payload = j.substr(at + head, length);
  if (j[mark] != kCommitByte) return jb.zeroFrom(mark) ? Slot::Torn : Slot::Damaged;
  if (crc32(payload) != getU32(j, at + 4)) return Slot::Damaged;
  next = mark + 1;
  flushed = head == kEntryHeadSize ? (uint64_t{getU32(j, at + 8)} << 32) | getU32(j, at + 12)
                                   : at;  // every earlier entry was flushed before this one
  return Slot::Entry;
}

// The next intact entry at or after `from`, or the end of the content.
size_t nextIntact(const JournalBytes &jb, size_t from) {
  std::string_view payload;
  size_t next = 0;
  uint64_t flushed = 0;
  for (size_t p = from; p < jb.contentEnd; ++p)
    if (readEntry(jb, p, payload, next, flushed) == Slot::Entry) return p;
  return jb.contentEnd;
}

// Whether an intact entry after `at` was written once the disk held the
// journal past `at`: then what stands at `at` had been flushed.
bool flushedPast(const JournalBytes &jb, size_t at) {
  std::string_view payload;
  size_t next = 0;
  uint64_t flushed = 0;
  for (size_t p = nextIntact(jb, at + 1); p < jb.contentEnd; p = nextIntact(jb, next)) {
    readEntry(jb, p, payload, next, flushed);
    if (flushed > at) return true;
  }
  return false;
}

// Whether the bad entry at `from` (up to `to`, the next intact one) holds
// the mark of a sector the disk never got: zeros up to a sector boundary,
// where a bit flip leaves none. A run that starts at the entry itself may
// be shorter, as long as it covers more than a short length's zero bytes.
bool lostSectorIn(const JournalBytes &jb, size_t from, size_t to) {
  // The next intact entry may begin in the lost sector's last bytes when its
  // own first bytes are zeros anyway.
  for (size_t b = (from / kSectorSize + 1) * kSectorSize; b < to + kLostSectorZeros && b <= jb.bytes.size();
       b += kSectorSize) {
    const size_t run = std::min(b - from, kLostSectorZeros);
    if (run >= kShortestLostRun && b - run < to &&
        jb.bytes.substr(b - run, run).find_first_not_of('\0') == std::string_view::npos)
      return true;
  }
  return false;
}

// Whether the bad slot at `at` is what a crash leaves of writes the disk
// was never asked to keep, rather than damage to be refused.
bool cutByCrash(const JournalBytes &jb, size_t at) {
  return jb.version != kFlushEveryEntryVersion && !flushedPast(jb, at) && lostSectorIn(jb, at, nextIntact(jb, at + 1));
}

// A name beside `base` that is not taken: base, base.2, base.3, ...
std::string freeName(const std::string &base) {
  if (!exists(base)) return base;
  for (int n = 2;; ++n)
    if (std::string name = base + "." + std::to_string(n); !exists(name)) return name;
}

uint8_t recordFlags(const Record &r) {
  return static_cast<uint8_t>((r.deleted ? 1 : 0) | (r.archived ? 2 : 0) | (r.dirty ? 4 : 0) | (r.secret ? 8 : 0) |
                              (r.busy ? 16 : 0));
}

}  // namespace

void setIoFaultHook(IoFaultHook hook) { faultHook() = std::move(hook); }

uint64_t diskFlushes() { return flushes(); }

bool validDatabaseName(const std::string &name) {
  if (name.empty() || name.size() >= kNameSize || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '/' || static_cast<unsigned char>(c) < 0x20; });
}

std::string databaseFile(const std::string &folder, const std::string &name, bool resource) {
  return folder + "/" + name + (resource ? ".prc" : ".pdb");
}

namespace {

// The one gate every database passes before it is used, for reading or for
// writing alike: a regular file, no larger than its header allows (checked
// before the bulk is read), and well-formed.
StoreStatus loadDatabaseFile(const std::string &path, std::string &bytes, Database &out) {
  // Non-blocking, so that a FIFO is refused rather than waited on.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return error(StoreError::NotFound, path + " does not exist");
    return ioError("cannot read", path);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ioError("cannot read", path);
  auto refuse = [&](const std::string &why) { return error(StoreError::Malformed, path + ": " + why); };
  if (S_ISDIR(st.st_mode)) return refuse("a folder, not a database file");
  if (!S_ISREG(st.st_mode)) return refuse("not a regular file (a pipe, socket or device), so not a database");
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > kMaxFileSize)
    return refuse("the file has " + std::to_string(size) + " bytes, more than any database can hold");
  std::string head(std::min<uint64_t>(size, kHeaderSize + kMaxEntries * kResourceEntrySize), '\0');
  if (!preadAll(fd, head)) return ioError("cannot read", path);
  std::string why;
  if (!checkImageSize(head, size, &why)) return refuse(why);
  bytes.assign(static_cast<size_t>(size), '\0');
  if (!preadAll(fd, bytes)) return ioError("cannot read", path);
  if (!parseDatabase(bytes, out, &why)) return refuse(why);
  return {};
}

}  // namespace

StoreStatus readDatabaseFile(const std::string &path, Database &out) {
  std::string bytes;
  return loadDatabaseFile(path, bytes, out);
}

namespace {

StoreStatus writeFileAtomic(const std::string &path, const std::string &bytes) {
  platform::ReplaceFileOptions options;
  options.mode = 0644;
  options.temp = path + ".tmp";
  options.gate = [](const char *step) {
    if (!allowed(step)) return false;
    if (std::strcmp(step, "flush") == 0) ++flushes();
    return true;
  };
  platform::ReplaceFileFailure failure;
  if (platform::replaceFile(path, bytes, options, &failure)) return {};
  switch (failure.step) {
    case platform::ReplaceStep::Create: return ioError("cannot create", failure.temp, failure.error);
    case platform::ReplaceStep::Rename: return ioError("cannot replace", path, failure.error);
    case platform::ReplaceStep::SyncFolder: return ioError("cannot flush the folder of", path, failure.error);
    default: return ioError("cannot write", failure.temp, failure.error);
  }
}

}  // namespace

StoreStatus writeDatabaseFile(const std::string &path, const Database &db) {
  std::string why;
  if (!fitsFormat(db, &why)) return error(StoreError::Full, path + ": " + why);
  return writeFileAtomic(path, serializeDatabase(db));
}

// ---- StoredDatabase ----

StoreStatus StoredDatabase::begin(const std::string &folder, const std::string &name, bool writable,
                                  std::unique_ptr<StoredDatabase> &out) {
  if (!validDatabaseName(name)) return error(StoreError::BadArgument, "invalid database name \"" + name + "\"");
  if (StoreStatus st = lockFolder(folder); !st) return st;
  out.reset(new StoredDatabase);
  out->folder_ = folder;
  out->name_ = name;
  out->open_ = true;  // from here the destructor releases the folder
  out->writable_ = writable;
  out->path_ = databaseFile(folder, name, false);
  if (!exists(out->path_)) {
    std::string prc = databaseFile(folder, name, true);
    if (exists(prc)) out->path_ = prc;
  }
  out->journalPath_ = out->path_ + ".journal";
  ::unlink((out->path_ + ".tmp").c_str());  // a fold that a crash cut short
  return {};
}

StoreStatus StoredDatabase::loadBase() {
  std::string bytes;
  StoreStatus st = loadDatabaseFile(path_, bytes, db_);
  if (st.code == StoreError::NotFound)
    return error(StoreError::NotFound, "no database \"" + name_ + "\" in " + folder_);
  if (!st) return st;
  baseSize_ = bytes.size();
  baseCrc_ = crc32(bytes);
  recount();
  return {};
}

StoreStatus StoredDatabase::open(const std::string &folder, const std::string &name, bool writable,
                                 std::unique_ptr<StoredDatabase> &out) {
  std::unique_ptr<StoredDatabase> db;
  if (StoreStatus st = begin(folder, name, writable, db); !st) return st;
  if (exists(db->damagedPath()))
    return error(StoreError::Malformed, db->path_ + " is refused: " + db->damagedPath() +
                                            " holds changes to it that were damaged; \"handheld recover " + name +
                                            "\" keeps the intact ones");
  if (StoreStatus st = db->loadBase(); !st) return st;  // the destructor releases the folder
  if (StoreStatus st = db->replay(); !st) return st;
  out = std::move(db);
  return {};
}

StoreStatus StoredDatabase::create(const std::string &folder, Database initial, std::unique_ptr<StoredDatabase> &out) {
  const std::string name = initial.name;
  if (!validDatabaseName(name)) return error(StoreError::BadArgument, "invalid database name \"" + name + "\"");
  std::string why;
  if (!fitsFormat(initial, &why)) return error(StoreError::BadArgument, why);
  if (StoreStatus st = lockFolder(folder); !st) return st;
  const std::string pdb = databaseFile(folder, name, false);
  const std::string prc = databaseFile(folder, name, true);
  if (exists(pdb) || exists(prc)) {
    unlockFolder(folder);
    return error(StoreError::Exists, "a database \"" + name + "\" exists in " + folder);
  }
  const std::string path = initial.isResourceDb() ? prc : pdb;
  // Never replay someone else's changes on a new file, and never lose them.
  if (exists(path + ".journal")) ::rename((path + ".journal").c_str(), freeName(path + ".journal.orphaned").c_str());
  if (StoreStatus st = writeDatabaseFile(path, initial); !st) {
    unlockFolder(folder);
    return st;
  }
  std::unique_ptr<StoredDatabase> db(new StoredDatabase);
  db->folder_ = folder;
  db->name_ = name;
  db->open_ = true;
  db->writable_ = true;
  db->path_ = path;
  db->journalPath_ = path + ".journal";
  if (StoreStatus st = db->loadBase(); !st) return st;  // destructor unlocks
  out = std::move(db);
  return {};
}

StoredDatabase::~StoredDatabase() { close(); }

namespace {

// The version of a whole journal header, or 0 when it is not whole.
uint32_t headerVersion(std::string_view j) {
  if (j.size() < kJournalHeaderSize || j.compare(0, 4, std::string_view(kJournalMagic, 4)) != 0 ||
      crc32(j.substr(0, kJournalHeaderSize - 4)) != getU32(j, kJournalHeaderSize - 4))
    return 0;
  const uint32_t version = getU32(j, 4);
  return version == kJournalVersion || version == kFlushEveryEntryVersion ? version : 0;
}

// Whether a journal whose header is not whole is all that a crash left of
// writes never flushed: the header's sector lost, no entry after it that
// the disk held, and none of the kind that was flushed one by one.
bool headerCutByCrash(std::string_view j) {
  JournalBytes current(j, kJournalVersion);
  JournalBytes old(j, kFlushEveryEntryVersion);
  return nextIntact(old, 0) == old.contentEnd && !flushedPast(current, 0) &&
         lostSectorIn(current, 0, nextIntact(current, 0));
}

// Entries after a crash's cut were never flushed, so no one was promised
// them; they are kept beside the file all the same when any is intact.
StoreStatus keepCutJournal(const std::string &path, const JournalBytes &jb, size_t cut) {
  if (nextIntact(jb, cut + 1) == jb.contentEnd) return {};
  return writeFileAtomic(freeName(path + ".journal.cut"), std::string(jb.bytes.substr(0, jb.contentEnd)));
}

}  // namespace

StoreStatus StoredDatabase::replay() {
  std::string journal;
  int err = 0;
  if (!readWhole(journalPath_, journal, err)) {
    if (err == ENOENT) return {};
    return ioError("cannot read", journalPath_, err);
  }
  const uint32_t version = headerVersion(journal);
  JournalBytes jb(journal, version ? version : kJournalVersion);
  if (jb.contentEnd == 0) {
    // Created and cut short before its first entry: nothing in it.
    ::unlink(journalPath_.c_str());
    return {};
  }
  if (!version) {
    if (!headerCutByCrash(journal)) return refuseDamaged(0, 0);
    if (StoreStatus st = keepCutJournal(path_, jb, 0); !st) return st;
    ::unlink(journalPath_.c_str());
    return {};
  }
  if (journal.compare(0, kJournalHeaderSize, journalHeader(version, baseSize_, baseCrc_)) != 0) {
    // Written against an older file: its changes were folded in before a
    // crash kept it from being removed.
    ::unlink(journalPath_.c_str());
    return {};
  }
  size_t at = kJournalHeaderSize;
  size_t applied = 0;
  for (;;) {
    std::string_view payload;
    size_t next = 0;
    uint64_t flushed = 0;
    Slot slot = readEntry(jb, at, payload, next, flushed);
    if (slot == Slot::End || slot == Slot::Torn) break;  // a torn entry was never flushed
    if (slot == Slot::Damaged && cutByCrash(jb, at)) {
      if (StoreStatus st = keepCutJournal(path_, jb, at); !st) return st;
      break;
    }
    if (slot == Slot::Damaged || !apply(payload)) return refuseDamaged(at, applied);
    ++applied;
    at = next;
  }
  if (applied == 0) {
    ::unlink(journalPath_.c_str());
    return {};
  }
  changed_ = true;
  return fold();
}

StoreStatus StoredDatabase::refuseDamaged(size_t offset, size_t entry) {
  const std::string aside = freeName(damagedPath());
  std::string kept = "it was moved to " + aside;
  if (::rename(journalPath_.c_str(), aside.c_str()) != 0) kept = "it is kept where it is";
  return error(StoreError::Malformed, journalPath_ + " is damaged at offset " + std::to_string(offset) +
                                          " (its change " + std::to_string(entry + 1) + "), so " + path_ +
                                          " is refused rather than lose changes; " + kept +
                                          ", and \"handheld recover " + name_ + "\" keeps the intact changes");
}

StoreStatus StoredDatabase::recover(const std::string &folder, const std::string &name, RecoverReport &report) {
  report = RecoverReport{};
  std::unique_ptr<StoredDatabase> db;
  if (StoreStatus st = begin(folder, name, true, db); !st) return st;
  const std::string aside = db->damagedPath();
  if (!exists(aside)) {
    if (!exists(db->journalPath_)) return {};  // nothing to recover
    if (::rename(db->journalPath_.c_str(), aside.c_str()) != 0) return ioError("cannot move", db->journalPath_);
  } else if (exists(db->journalPath_)) {
    return error(StoreError::BadArgument,
                 "both " + aside + " and " + db->journalPath_ + " exist; move one of them away first");
  }
  report.found = true;
  if (StoreStatus st = db->loadBase(); !st) return st;
  std::string journal;
  int err = 0;
  if (!readWhole(aside, journal, err)) return ioError("cannot read", aside, err);

  const uint32_t version = headerVersion(journal);
  JournalBytes jb(journal, version ? version : kJournalVersion);
  if (version && journal.compare(0, kJournalHeaderSize, journalHeader(version, db->baseSize_, db->baseCrc_)) != 0) {
    report.stale = true;  // its changes are in the file already
  } else {
    // From the header (or, when it is damaged, from the first entry found),
    // every entry that checks out is applied; a damaged stretch counts as one
    // skipped entry and reading goes on at the next entry that checks out.
    size_t at = kJournalHeaderSize;
    if (!version) {
      at = nextIntact(jb, 0);
      if (at > kJournalHeaderSize) ++report.skipped;  // more than the header was lost
    }
    while (at < jb.contentEnd) {
      std::string_view payload;
      size_t next = 0;
      uint64_t flushed = 0;
      Slot slot = readEntry(jb, at, payload, next, flushed);
      if (slot == Slot::End || slot == Slot::Torn) break;
      if (slot == Slot::Entry) {
        ++(db->apply(payload) ? report.used : report.skipped);
        at = next;
        continue;
      }
      ++report.skipped;
      at = nextIntact(jb, at + 1);
    }
    db->changed_ = report.used > 0;
    if (db->changed_)
      if (StoreStatus st = db->fold(); !st) return st;
  }
  report.keptAs = freeName(db->path_ + ".journal.recovered");
  if (::rename(aside.c_str(), report.keptAs.c_str()) != 0) return ioError("cannot move", aside);
  syncFolder(folder);
  return db->close();
}

long StoredDatabase::indexOf(uint32_t uniqueId) const {
  if (!ids_.count(uniqueId)) return -1;
  for (size_t i = 0; i < db_.records.size(); ++i)
    if (db_.records[i].uniqueId == uniqueId) return static_cast<long>(i);
  return -1;
}

void StoredDatabase::recount() {
  std::stable_partition(db_.records.begin(), db_.records.end(), [](const Record &r) { return r.live(); });
  live_ = static_cast<size_t>(
      std::count_if(db_.records.begin(), db_.records.end(), [](const Record &r) { return r.live(); }));
  ids_.clear();
  for (const Record &r : db_.records) ids_.insert(r.uniqueId);
}

void StoredDatabase::insert(Record r) {
  ids_.insert(r.uniqueId);
  if (r.live()) {
    db_.records.insert(db_.records.begin() + static_cast<long>(live_), std::move(r));
    ++live_;
  } else {
    db_.records.push_back(std::move(r));
  }
}

void StoredDatabase::eraseAt(size_t index) {
  ids_.erase(db_.records[index].uniqueId);
  if (db_.records[index].live()) --live_;
  db_.records.erase(db_.records.begin() + static_cast<long>(index));
}

// Applies one journal entry to the database in memory. False for an entry
// this code cannot read (treated like a torn end).
bool StoredDatabase::apply(std::string_view p) {
  if (p.size() < 5) return false;
  const uint8_t op = static_cast<uint8_t>(p[0]);
  const uint32_t when = getU32(p, 1);
  p.remove_prefix(5);
  switch (op) {
    case kOpWrite: {
      if (p.size() < 10) return false;
      Record r;
      r.uniqueId = getU32(p, 0) & 0xFFFFFF;
      const uint8_t flags = static_cast<uint8_t>(p[4]);
      r.deleted = flags & 1;
      r.archived = flags & 2;
      r.dirty = flags & 4;
      r.secret = flags & 8;
      r.busy = flags & 16;
      r.category = static_cast<uint8_t>(p[5]) & 0x0F;
      const uint32_t seed = getU32(p, 6);
      r.data = std::string(p.substr(10));
      if (r.uniqueId == 0) return false;
      if (r.deleted) r.data.clear();
      long at = indexOf(r.uniqueId);
      if (at < 0 && db_.records.size() >= kMaxEntries) return false;
      if (at >= 0 && db_.records[static_cast<size_t>(at)].live() == r.live()) {
        db_.records[static_cast<size_t>(at)] = std::move(r);
      } else {
        if (at >= 0) eraseAt(static_cast<size_t>(at));
        insert(std::move(r));
      }
      db_.uniqueIdSeed = seed;
      break;
    }
    case kOpRemove: {
      if (p.size() != 4) return false;
      long at = indexOf(getU32(p, 0));
      if (at < 0) return false;
      eraseAt(static_cast<size_t>(at));
      break;
    }
    case kOpPurgeAll:
      db_.records.clear();
      recount();
      break;
    case kOpPurgeCategory: {
      if (p.size() != 1) return false;
      const uint8_t category = static_cast<uint8_t>(p[0]);
      std::erase_if(db_.records, [&](const Record &r) { return r.live() && r.category == category; });
      recount();
      break;
    }
    case kOpResetFlags:
      for (Record &r : db_.records) r.dirty = false;
      break;
    case kOpPurgeDeleted:
      std::erase_if(db_.records, [](const Record &r) { return !r.live(); });
      recount();
      break;
    case kOpAppInfo: db_.appInfo = std::string(p); break;
    default: return false;
  }
  db_.modified = when;
  ++db_.modificationNumber;
  return true;
}

// Writes one change to the journal, then applies it. The entry reaches the
// operating system before the call returns, so a killed process loses
// nothing; the disk gets it at the next flush(), fold or growth of the
// journal. The journal is grown ahead in flushed, zeroed chunks, so that a
// crash leaves unflushed entries cut off by zeros and a flush writes data
// only, not the file's size. A failed entry is zeroed again so the journal
// never holds a torn entry before a good one.
StoreStatus StoredDatabase::commit(const std::string &payload) {
  if (!open_) return error(StoreError::BadArgument, "the database is closed");
  if (!writable_) return error(StoreError::BadArgument, path_ + " is open for reading only");
  if (broken_) return error(StoreError::Io, "an earlier write to " + journalPath_ + " failed; reopen the database");
  std::string entry;
  const bool fresh = journalFd_ < 0;
  if (fresh) {
    journalFd_ = ::open(journalPath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (journalFd_ < 0) return ioError("cannot create", journalPath_);
    entry = journalHeader(kJournalVersion, baseSize_, baseCrc_);
    journalSize_ = 0;
    journalRoom_ = 0;
    flushed_ = 0;
  }
  const size_t size = entry.size() + kEntryHeadSize + payload.size() + 1;
  if (journalSize_ + size > journalRoom_) {
    const uint64_t room = std::max(journalRoom_ + kJournalChunk,
                                   (journalSize_ + size + kJournalChunk - 1) / kJournalChunk * kJournalChunk);
    // The whole file goes to the disk: its size, the zeros ahead, every
    // entry so far and, for a new journal, its name in the folder.
    if (!zeroRange(journalFd_, journalRoom_, room) || !palm::flush(journalFd_, false) ||
        (fresh && !syncFolder(folder_))) {
      int err = errno;
      return ioError("cannot grow", journalPath_, err);
    }
    journalRoom_ = room;
    flushed_ = journalSize_;
  }
  entry += journalEntry(payload, flushed_);
  if (!pwriteAll(journalFd_, entry, journalSize_)) {
    int err = errno;
    if (!zeroRange(journalFd_, journalSize_, journalSize_ + entry.size())) broken_ = true;
    return ioError("cannot write", journalPath_, err);
  }
  journalSize_ += entry.size();
  if (!apply(payload)) return error(StoreError::BadArgument, "internal: unreadable journal entry");
  changed_ = true;
  return {};
}

StoreStatus StoredDatabase::flush() {
  if (!open_ || journalFd_ < 0 || flushed_ == journalSize_) return {};
  if (broken_) return error(StoreError::Io, "an earlier write to " + journalPath_ + " failed; reopen the database");
  if (!palm::flush(journalFd_, true)) {
    // What the failed flush held may never reach the disk, whatever a later
    // one says: nothing more is written until the database is reopened.
    int err = errno;
    broken_ = true;
    return ioError("cannot flush", journalPath_, err);
  }
  flushed_ = journalSize_;
  return {};
}

StoreStatus StoredDatabase::writeRecord(const Record &record, uint32_t *assigned) {
  if (db_.isResourceDb()) return error(StoreError::BadArgument, path_ + " holds resources, not records");
  if (record.category > 15) return error(StoreError::BadArgument, "category index out of range");
  if (record.data.size() > kMaxBlockSize)
    return error(StoreError::BadArgument, "a record of " + std::to_string(record.data.size()) +
                                              " bytes is larger than the " + std::to_string(kMaxBlockSize) +
                                              " a record can hold");
  if (record.uniqueId > 0xFFFFFF) return error(StoreError::BadArgument, "record id wider than 24 bits");
  if ((record.uniqueId == 0 || !ids_.count(record.uniqueId)) && db_.records.size() >= kMaxEntries)
    return error(StoreError::Full, path_ + " holds " + std::to_string(db_.records.size()) +
                                       " records, as many as a database can; "
                                       "the new record was not written");
  Database seedProbe;
  seedProbe.uniqueIdSeed = db_.uniqueIdSeed;
  uint32_t id = record.uniqueId;
  if (id == 0) id = nextUniqueId(seedProbe, [&](uint32_t candidate) { return ids_.count(candidate) != 0; });
  std::string p(1, static_cast<char>(kOpWrite));
  appendU32(p, palmNow());
  appendU32(p, id);
  p.push_back(static_cast<char>(recordFlags(record)));
  p.push_back(static_cast<char>(record.category));
  appendU32(p, seedProbe.uniqueIdSeed);
  if (!record.deleted) p += record.data;
  StoreStatus st = commit(p);
  if (st && assigned) *assigned = id;
  return st;
}

StoreStatus StoredDatabase::removeRecord(uint32_t uniqueId) {
  if (indexOf(uniqueId) < 0) return error(StoreError::NotFound, "no record with id " + std::to_string(uniqueId));
  std::string p(1, static_cast<char>(kOpRemove));
  appendU32(p, palmNow());
  appendU32(p, uniqueId);
  return commit(p);
}

namespace {
std::string simpleOp(uint8_t op) {
  std::string p(1, static_cast<char>(op));
  appendU32(p, palmNow());
  return p;
}
}  // namespace

StoreStatus StoredDatabase::purgeAll() { return commit(simpleOp(kOpPurgeAll)); }

StoreStatus StoredDatabase::purgeCategory(uint8_t category) {
  if (category > 15) return error(StoreError::BadArgument, "category index out of range");
  std::string p = simpleOp(kOpPurgeCategory);
  p.push_back(static_cast<char>(category));
  return commit(p);
}

StoreStatus StoredDatabase::resetSyncFlags() { return commit(simpleOp(kOpResetFlags)); }

StoreStatus StoredDatabase::purgeDeleted() { return commit(simpleOp(kOpPurgeDeleted)); }

StoreStatus StoredDatabase::setAppInfo(const std::string &block) {
  if (block.size() > kMaxBlockSize)
    return error(StoreError::BadArgument, "an app-info block of " + std::to_string(block.size()) +
                                              " bytes is larger than the " + std::to_string(kMaxBlockSize) +
                                              " the format allows");
  return commit(simpleOp(kOpAppInfo) + block);
}

// Writes the database whole and drops the journal. A crash between the
// rename and the unlink leaves a journal whose base no longer matches.
StoreStatus StoredDatabase::fold() {
  std::string why;
  if (!fitsFormat(db_, &why)) return error(StoreError::Full, path_ + ": " + why);
  const std::string bytes = serializeDatabase(db_);
  if (StoreStatus st = writeFileAtomic(path_, bytes); !st) return st;
  if (journalFd_ >= 0) {
    ::close(journalFd_);
    journalFd_ = -1;
  }
  ::unlink(journalPath_.c_str());
  baseSize_ = bytes.size();
  baseCrc_ = crc32(bytes);
  changed_ = false;
  return {};
}

StoreStatus StoredDatabase::close() {
  if (!open_) return {};
  StoreStatus st;
  if (changed_) st = fold();
  if (journalFd_ >= 0) ::close(journalFd_);
  journalFd_ = -1;
  open_ = false;
  unlockFolder(folder_);
  return st;
}

}  // namespace palm
