// Palm database files: .pdb record databases and .prc resource databases.
//
//   palm::Database db;
//   std::string why;
//   if (!palm::parseDatabase(bytes, db, &why)) refuse(why);    // never guesses
//   db.records.push_back({.uniqueId = palm::nextUniqueId(db), .data =
//   "memo\0"s}); std::string out = palm::serializeDatabase(db);
//
// Everything here is plain data and pure functions: reading a file never
// changes it, and a file that does not follow the format is refused whole
// with a sentence that says what is wrong. Durable storage (journal, atomic
// replacement, locking) is the store's business (hotsync/store).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace palm {

// Header attribute bits.
constexpr uint16_t kDbResource = 0x0001;
constexpr uint16_t kDbReadOnly = 0x0002;
constexpr uint16_t kDbAppInfoDirty = 0x0004;
constexpr uint16_t kDbBackup = 0x0008;
constexpr uint16_t kDbOpen = 0x8000;

constexpr size_t kHeaderSize = 78;
constexpr size_t kRecordEntrySize = 8;
constexpr size_t kResourceEntrySize = 10;
constexpr size_t kNameSize = 32;

// What the format can hold: the entry count is 16 bits, and a record, a
// resource, the app-info and the sort-info block are each at most 64 KB less
// one byte (their sizes travel in 16-bit fields of the Sync Manager).
constexpr size_t kMaxEntries = 65535;
constexpr size_t kMaxBlockSize = 65535;

// Seconds between 1904-01-01 and 1970-01-01.
constexpr uint32_t kEpochDelta1904 = 2082844800u;

// Four-character codes as big-endian numbers: fourCC("addr") == 0x61646472.
constexpr uint32_t fourCC(const char (&c)[5]) {
  return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16) | (uint32_t(uint8_t(c[2])) << 8) |
         uint32_t(uint8_t(c[3]));
}
std::string fourCCText(uint32_t code);

// One record of a record database. Deleted and archived records stand after
// the live ones in the file; a deleted record has no data, an archived one
// keeps it. Both keep their unique id until purged.
struct Record {
  uint32_t uniqueId = 0;  // 24 bits, never 0 in a valid file
  uint8_t category = 0;   // 0..15; not stored for deleted or archived records
  bool deleted = false;
  bool archived = false;  // implies deleted in the file form
  bool dirty = false;
  bool secret = false;
  bool busy = false;
  std::string data;

  bool live() const { return !deleted && !archived; }
};

// The attribute byte a record has in the file, and back. For deleted and
// archived records the low nibble carries the archive bit, not a category.
uint8_t fileAttributes(const Record &r);
void applyFileAttributes(uint8_t attributes, Record &r);

struct Resource {
  uint32_t type = 0;
  uint16_t id = 0;
  std::string data;
};

struct Database {
  std::string name;  // at most 31 bytes
  uint16_t attributes = 0;
  uint16_t version = 0;
  // Dates in seconds since 1904 (local time). 1970-based values met on
  // reading are converted, so these are always 1904-based.
  uint32_t created = 0;
  uint32_t modified = 0;
  uint32_t backedUp = 0;
  uint32_t modificationNumber = 0;
  uint32_t type = 0;
  uint32_t creator = 0;
  uint32_t uniqueIdSeed = 0;
  std::optional<std::string> appInfo;
  std::optional<std::string> sortInfo;
  std::vector<Record> records;      // record databases
  std::vector<Resource> resources;  // resource databases

  bool isResourceDb() const { return (attributes & kDbResource) != 0; }
};

// Reads a whole file image. False with *error set (when given) for anything
// that is not a well-formed database: too short, a header that promises more
// entries than the file holds, an offset outside the file or going backwards,
// a non-zero next-list id, a record without unique id or two records sharing
// one, a record, resource or block larger than kMaxBlockSize. `out` is only
// changed on success.
bool parseDatabase(std::string_view bytes, Database &out, std::string *error);

// Decides from the start of a file (its first kHeaderSize + kMaxEntries *
// kResourceEntrySize bytes, or all of a shorter file) whether a file of
// `fileSize` bytes can be a database at all: false with *error set when it is
// larger than its last block or entry plus kMaxBlockSize. Lets a reader
// refuse a huge file without reading it; true says nothing else is right.
bool checkImageSize(std::string_view head, uint64_t fileSize, std::string *error);

// Whether the database can be written in the format: at most kMaxEntries
// records (or resources), none and no block larger than kMaxBlockSize. False
// with *error set (naming what is too large) otherwise.
bool fitsFormat(const Database &db, std::string *error);

// The file image of a database: header, entries, the two traditional zero
// bytes, app-info and sort-info blocks, then the data. Live records are
// written first, deleted and archived ones after them (in their order); a
// deleted record's data is dropped. Dates are written 1904-based. The
// database must fit the format (fitsFormat); callers check first.
std::string serializeDatabase(const Database &db);

// A 1904-based date from a stored value: bit 31 set means 1904-based already,
// otherwise the writer counted from 1970.
uint32_t normaliseDate(uint32_t stored);

// Now, as the handheld writes dates (local time, 1904-based).
uint32_t palmNow();

// Takes the next unique id from the seed (low 24 bits), skipping 0 and ids
// that a record of `db` already has (or that `inUse` answers true for), and
// stores the new seed.
uint32_t nextUniqueId(Database &db);
uint32_t nextUniqueId(Database &db, const std::function<bool(uint32_t)> &inUse);

// ---- The category block at the start of an app-info block ----

constexpr size_t kCategoryCount = 16;
constexpr size_t kCategoryNameSize = 16;
constexpr size_t kCategoryBlockSize = 276;

struct CategoryBlock {
  uint16_t renamed = 0;               // bit i: slot i renamed
  std::string names[kCategoryCount];  // at most 15 bytes each
  uint8_t ids[kCategoryCount] = {};
  uint8_t lastUniqueId = 0;
};

// Reads the first 276 bytes of an app-info block; false when it is shorter.
bool parseCategoryBlock(std::string_view appInfo, CategoryBlock &out);

// Writes the block into the first 276 bytes of appInfo (growing it when
// shorter), keeping every byte after them.
void storeCategoryBlock(const CategoryBlock &block, std::string &appInfo);

// The app-info block that the handheld application of `creator` writes into
// a new database ('addr', 'memo', 'mail', 'todo', 'date'); nullopt for any
// other creator.
std::optional<std::string> defaultAppInfo(uint32_t creator);

// ---- Small helpers for big-endian fields ----
uint16_t getU16(std::string_view b, size_t at);
uint32_t getU32(std::string_view b, size_t at);
void putU16(std::string &b, size_t at, uint16_t v);
void putU32(std::string &b, size_t at, uint32_t v);
void appendU16(std::string &b, uint16_t v);
void appendU32(std::string &b, uint32_t v);

// CRC-32 (the zlib polynomial) of some bytes, continuing from `crc`.
uint32_t crc32(std::string_view bytes, uint32_t crc = 0);

}  // namespace palm
