#include "hotsync/pdb/pdb.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <unordered_set>

namespace palm {

namespace {

constexpr size_t kNamePos = 0;
constexpr size_t kAttributesPos = 32;
constexpr size_t kVersionPos = 34;
constexpr size_t kCreatedPos = 36;
constexpr size_t kModifiedPos = 40;
constexpr size_t kBackedUpPos = 44;
constexpr size_t kModNumberPos = 48;
constexpr size_t kAppInfoPos = 52;
constexpr size_t kSortInfoPos = 56;
constexpr size_t kTypePos = 60;
constexpr size_t kCreatorPos = 64;
constexpr size_t kSeedPos = 68;
constexpr size_t kNextListPos = 72;
constexpr size_t kCountPos = 76;

bool fail(std::string *error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

std::string tooLarge(const std::string &what, uint64_t size) {
  return what + " has " + std::to_string(size) + " bytes, more than the " + std::to_string(kMaxBlockSize) +
         " the format allows";
}

struct Entry {
  uint32_t offset;
  uint8_t attributes;
  uint32_t uniqueId;
  uint32_t type;
  uint16_t id;
};

std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

}  // namespace

std::string fourCCText(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  return s;
}

uint16_t getU16(std::string_view b, size_t at) {
  return static_cast<uint16_t>((uint8_t(b[at]) << 8) | uint8_t(b[at + 1]));
}
uint32_t getU32(std::string_view b, size_t at) {
  return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) | (uint32_t(uint8_t(b[at + 2])) << 8) |
         uint32_t(uint8_t(b[at + 3]));
}
void putU16(std::string &b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v >> 8);
  b[at + 1] = static_cast<char>(v);
}
void putU32(std::string &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}
void appendU16(std::string &b, uint16_t v) {
  b.push_back(static_cast<char>(v >> 8));
  b.push_back(static_cast<char>(v));
}
void appendU32(std::string &b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (24 - 8 * i)));
}

uint32_t crc32(std::string_view bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = makeCrcTable();
  crc = ~crc;
  for (unsigned char c : bytes) crc = table[(crc ^ c) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint8_t fileAttributes(const Record &r) {
  uint8_t a = 0;
  if (r.deleted || r.archived) {
    a = 0x80;
    if (r.archived) a |= 0x08;
  } else {
    a = r.category & 0x0F;
  }
  if (r.dirty) a |= 0x40;
  if (r.busy) a |= 0x20;
  if (r.secret) a |= 0x10;
  return a;
}

void applyFileAttributes(uint8_t a, Record &r) {
  r.dirty = (a & 0x40) != 0;
  r.busy = (a & 0x20) != 0;
  r.secret = (a & 0x10) != 0;
  if (a & 0x80) {
    r.archived = (a & 0x08) != 0;
    r.deleted = !r.archived;
    r.category = 0;
  } else {
    r.deleted = r.archived = false;
    r.category = a & 0x0F;
  }
}

uint32_t normaliseDate(uint32_t stored) {
  if (stored == 0 || (stored & 0x80000000u)) return stored;
  return stored + kEpochDelta1904;
}

uint32_t palmNow() {
  time_t now = std::time(nullptr);
  struct tm local {};
  long offset = 0;
  if (localtime_r(&now, &local)) offset = local.tm_gmtoff;
  return static_cast<uint32_t>(static_cast<int64_t>(now) + offset + kEpochDelta1904);
}

uint32_t nextUniqueId(Database &db) {
  std::unordered_set<uint32_t> used;
  used.reserve(db.records.size());
  for (const Record &r : db.records) used.insert(r.uniqueId);
  return nextUniqueId(db, [&](uint32_t id) { return used.count(id) != 0; });
}

uint32_t nextUniqueId(Database &db, const std::function<bool(uint32_t)> &inUse) {
  uint32_t seed = db.uniqueIdSeed & 0xFFFFFF;
  for (uint32_t tries = 0; tries < 0x1000000u; ++tries) {
    seed = (seed + 1) & 0xFFFFFF;
    if (seed != 0 && !inUse(seed)) break;
  }
  db.uniqueIdSeed = (db.uniqueIdSeed & 0xFF000000u) | seed;
  return seed;
}

bool parseDatabase(std::string_view b, Database &out, std::string *error) {
  const size_t size = b.size();
  if (size < kHeaderSize)
    return fail(error, "the file has " + std::to_string(size) + " bytes, fewer than the 78-byte database header");
  std::string_view rawName = b.substr(kNamePos, kNameSize);
  size_t nul = rawName.find('\0');
  if (nul == std::string_view::npos) return fail(error, "the database name is not terminated");
  if (nul == 0) return fail(error, "the database name is empty");

  Database db;
  db.name = std::string(rawName.substr(0, nul));
  db.attributes = getU16(b, kAttributesPos);
  db.version = getU16(b, kVersionPos);
  db.created = normaliseDate(getU32(b, kCreatedPos));
  db.modified = normaliseDate(getU32(b, kModifiedPos));
  db.backedUp = normaliseDate(getU32(b, kBackedUpPos));
  db.modificationNumber = getU32(b, kModNumberPos);
  db.type = getU32(b, kTypePos);
  db.creator = getU32(b, kCreatorPos);
  db.uniqueIdSeed = getU32(b, kSeedPos);
  if (uint32_t next = getU32(b, kNextListPos); next != 0)
    return fail(error,
                "the header links a further entry list (next list id " + hex(next) + "), which no handheld writes");

  const bool resources = db.isResourceDb();
  const size_t entrySize = resources ? kResourceEntrySize : kRecordEntrySize;
  const size_t count = getU16(b, kCountPos);
  const size_t tableEnd = kHeaderSize + count * entrySize;
  if (tableEnd > size)
    return fail(error, "the header lists " + std::to_string(count) + " entries but the file has room for " +
                           std::to_string((size - kHeaderSize) / entrySize));

  std::vector<Entry> entries(count);
  for (size_t i = 0; i < count; ++i) {
    size_t at = kHeaderSize + i * entrySize;
    Entry &e = entries[i];
    if (resources) {
      e.type = getU32(b, at);
      e.id = getU16(b, at + 4);
      e.offset = getU32(b, at + 6);
    } else {
      e.offset = getU32(b, at);
      e.attributes = static_cast<uint8_t>(b[at + 4]);
      e.uniqueId = getU32(b, at + 4) & 0xFFFFFF;
    }
  }

  // Blocks and entries must follow the entry table in this order, each
  // starting at or after the one before, all inside the file.
  const uint32_t appInfo = getU32(b, kAppInfoPos);
  const uint32_t sortInfo = getU32(b, kSortInfoPos);
  size_t floor = tableEnd;
  auto place = [&](uint32_t offset, const std::string &what) {
    if (offset > size)
      return fail(error, what + " starts at " + std::to_string(offset) + ", beyond the end of the file (" +
                             std::to_string(size) + " bytes)");
    if (offset < floor)
      return fail(error, what + " starts at " + std::to_string(offset) + ", before " + std::to_string(floor) +
                             " where the previous part ends");
    floor = offset;
    return true;
  };
  if (appInfo && !place(appInfo, "the app-info block")) return false;
  if (sortInfo && !place(sortInfo, "the sort-info block")) return false;
  for (size_t i = 0; i < count; ++i)
    if (!place(entries[i].offset, "entry " + std::to_string(i))) return false;

  const size_t firstEntry = count ? entries[0].offset : size;
  if (appInfo) {
    size_t end = sortInfo ? sortInfo : firstEntry;
    if (end - appInfo > kMaxBlockSize) return fail(error, tooLarge("the app-info block", end - appInfo));
    db.appInfo = std::string(b.substr(appInfo, end - appInfo));
  }
  if (sortInfo) {
    if (firstEntry - sortInfo > kMaxBlockSize)
      return fail(error, tooLarge("the sort-info block", firstEntry - sortInfo));
    db.sortInfo = std::string(b.substr(sortInfo, firstEntry - sortInfo));
  }

  std::unordered_set<uint32_t> ids;
  for (size_t i = 0; i < count; ++i) {
    const size_t begin = entries[i].offset;
    const size_t end = i + 1 < count ? entries[i + 1].offset : size;
    if (end - begin > kMaxBlockSize) return fail(error, tooLarge("entry " + std::to_string(i), end - begin));
    std::string data(b.substr(begin, end - begin));
    if (resources) {
      db.resources.push_back({entries[i].type, entries[i].id, std::move(data)});
      continue;
    }
    Record r;
    r.uniqueId = entries[i].uniqueId;
    if (r.uniqueId == 0) return fail(error, "record " + std::to_string(i) + " has no unique id");
    if (!ids.insert(r.uniqueId).second) return fail(error, "records share the unique id " + hex(r.uniqueId));
    applyFileAttributes(entries[i].attributes, r);
    r.data = std::move(data);
    db.records.push_back(std::move(r));
  }
  out = std::move(db);
  return true;
}

bool checkImageSize(std::string_view b, uint64_t fileSize, std::string *error) {
  if (b.size() < kHeaderSize) return true;  // the parser says what is wrong
  const size_t entrySize = (getU16(b, kAttributesPos) & kDbResource) ? kResourceEntrySize : kRecordEntrySize;
  const size_t count = getU16(b, kCountPos);
  const size_t tableEnd = kHeaderSize + count * entrySize;
  if (tableEnd > b.size()) return true;
  uint64_t lastStart = tableEnd;
  lastStart = std::max<uint64_t>(lastStart, getU32(b, kAppInfoPos));
  lastStart = std::max<uint64_t>(lastStart, getU32(b, kSortInfoPos));
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kHeaderSize + i * entrySize;
    lastStart = std::max<uint64_t>(lastStart, getU32(b, entrySize == kResourceEntrySize ? at + 6 : at));
  }
  const uint64_t most = lastStart + kMaxBlockSize;
  if (fileSize <= most) return true;
  return fail(error, "the file has " + std::to_string(fileSize) + " bytes, more than a database with " +
                         std::to_string(count) + " entries can hold (at most " + std::to_string(most) + ")");
}

bool fitsFormat(const Database &db, std::string *error) {
  const size_t count = db.isResourceDb() ? db.resources.size() : db.records.size();
  if (count > kMaxEntries)
    return fail(error, "the database would hold " + std::to_string(count) + " entries, more than the " +
                           std::to_string(kMaxEntries) + " the format allows");
  if (db.appInfo && db.appInfo->size() > kMaxBlockSize)
    return fail(error, tooLarge("the app-info block", db.appInfo->size()));
  if (db.sortInfo && db.sortInfo->size() > kMaxBlockSize)
    return fail(error, tooLarge("the sort-info block", db.sortInfo->size()));
  for (const Record &r : db.records)
    if (r.data.size() > kMaxBlockSize) return fail(error, tooLarge("record " + hex(r.uniqueId), r.data.size()));
  for (const Resource &r : db.resources)
    if (r.data.size() > kMaxBlockSize)
      return fail(error, tooLarge("resource " + fourCCText(r.type) + " " + std::to_string(r.id), r.data.size()));
  return true;
}

std::string serializeDatabase(const Database &db) {
  const bool resources = db.isResourceDb();
  std::vector<const Record *> order;
  if (!resources) {
    order.reserve(db.records.size());
    for (const Record &r : db.records)
      if (r.live()) order.push_back(&r);
    for (const Record &r : db.records)
      if (!r.live()) order.push_back(&r);
  }
  const size_t count = resources ? db.resources.size() : order.size();
  const size_t entrySize = resources ? kResourceEntrySize : kRecordEntrySize;
  const size_t tableEnd = kHeaderSize + count * entrySize + 2;

  auto blockSize = [](const std::optional<std::string> &block) { return block ? block->size() : 0; };
  const size_t appInfoAt = blockSize(db.appInfo) ? tableEnd : 0;
  const size_t sortInfoAt = blockSize(db.sortInfo) ? tableEnd + blockSize(db.appInfo) : 0;
  size_t dataAt = tableEnd + blockSize(db.appInfo) + blockSize(db.sortInfo);

  std::string out(kHeaderSize, '\0');
  std::string name = db.name.substr(0, kNameSize - 1);
  std::copy(name.begin(), name.end(), out.begin());
  putU16(out, kAttributesPos, db.attributes);
  putU16(out, kVersionPos, db.version);
  putU32(out, kCreatedPos, db.created);
  putU32(out, kModifiedPos, db.modified);
  putU32(out, kBackedUpPos, db.backedUp);
  putU32(out, kModNumberPos, db.modificationNumber);
  putU32(out, kAppInfoPos, static_cast<uint32_t>(appInfoAt));
  putU32(out, kSortInfoPos, static_cast<uint32_t>(sortInfoAt));
  putU32(out, kTypePos, db.type);
  putU32(out, kCreatorPos, db.creator);
  putU32(out, kSeedPos, db.uniqueIdSeed);
  putU32(out, kNextListPos, 0);
  putU16(out, kCountPos, static_cast<uint16_t>(count));

  size_t total = dataAt;
  for (size_t i = 0; i < count; ++i) {
    if (resources) {
      const Resource &res = db.resources[i];
      appendU32(out, res.type);
      appendU16(out, res.id);
      appendU32(out, static_cast<uint32_t>(total));
      total += res.data.size();
    } else {
      const Record &r = *order[i];
      appendU32(out, static_cast<uint32_t>(total));
      appendU32(out, (uint32_t(fileAttributes(r)) << 24) | (r.uniqueId & 0xFFFFFF));
      if (!r.deleted) total += r.data.size();
    }
  }
  out.append(2, '\0');
  out.reserve(total);
  if (appInfoAt) out += *db.appInfo;
  if (sortInfoAt) out += *db.sortInfo;
  for (size_t i = 0; i < count; ++i) {
    if (resources) out += db.resources[i].data;
    else if (!order[i]->deleted) out += order[i]->data;
  }
  return out;
}

bool parseCategoryBlock(std::string_view appInfo, CategoryBlock &out) {
  if (appInfo.size() < kCategoryBlockSize) return false;
  CategoryBlock c;
  c.renamed = getU16(appInfo, 0);
  for (size_t i = 0; i < kCategoryCount; ++i) {
    std::string_view raw = appInfo.substr(2 + i * kCategoryNameSize, kCategoryNameSize);
    c.names[i] = std::string(raw.substr(0, std::min(raw.find('\0'), kCategoryNameSize - 1)));
    c.ids[i] = static_cast<uint8_t>(appInfo[258 + i]);
  }
  c.lastUniqueId = static_cast<uint8_t>(appInfo[274]);
  out = std::move(c);
  return true;
}

void storeCategoryBlock(const CategoryBlock &c, std::string &appInfo) {
  if (appInfo.size() < kCategoryBlockSize) appInfo.resize(kCategoryBlockSize, '\0');
  std::fill(appInfo.begin(), appInfo.begin() + kCategoryBlockSize, '\0');
  putU16(appInfo, 0, c.renamed);
  for (size_t i = 0; i < kCategoryCount; ++i) {
    std::string name = c.names[i].substr(0, kCategoryNameSize - 1);
    std::copy(name.begin(), name.end(), appInfo.begin() + 2 + i * kCategoryNameSize);
    appInfo[258 + i] = static_cast<char>(c.ids[i]);
  }
  appInfo[274] = static_cast<char>(c.lastUniqueId);
}

namespace {

// What a fresh application puts into its app-info block: the categories and
// the size of the whole block, with the few non-zero fields after them.
struct DefaultBlock {
  uint32_t creator;
  std::vector<const char *> categories;
  size_t size;
};

const DefaultBlock kDefaults[] = {
    {fourCC("addr"), {"Unfiled", "Business", "Personal", "QuickList"}, 638},
    {fourCC("memo"), {"Unfiled", "Business", "Personal"}, 282},
    {fourCC("todo"), {"Unfiled", "Business", "Personal"}, 282},
    {fourCC("mail"), {"Inbox", "Outbox", "Deleted", "Filed", "Draft"}, 289},
    {fourCC("date"), {}, 280},
};

const char *const kAddressLabels[22] = {"Last name", "First name", "Company",  "Work",     "Home",     "Fax",
                                        "Other",     "E-mail",     "Address",  "City",     "State",    "Zip Code",
                                        "Country",   "Title",      "Custom 1", "Custom 2", "Custom 3", "Custom 4",
                                        "Note",      "Main",       "Pager",    "Mobile"};

}  // namespace

std::optional<std::string> defaultAppInfo(uint32_t creator) {
  for (const DefaultBlock &d : kDefaults) {
    if (d.creator != creator) continue;
    std::string block(d.size, '\0');
    if (!d.categories.empty()) {
      CategoryBlock c;
      for (size_t i = 0; i < d.categories.size(); ++i) c.names[i] = d.categories[i];
      for (size_t i = 0; i < kCategoryCount; ++i) c.ids[i] = static_cast<uint8_t>(i);
      c.lastUniqueId = 15;
      storeCategoryBlock(c, block);
    }
    if (creator == fourCC("addr")) {
      for (size_t i = 0; i < 22; ++i) {
        std::string label = kAddressLabels[i];
        std::copy(label.begin(), label.end(), block.begin() + 282 + i * 16);
      }
    } else if (creator == fourCC("mail")) {
      putU16(block, 278, 0xFFFF);  // every category dirty in a new mail database
      putU16(block, 286, 288);     // the signature follows, empty
    }
    return block;
  }
  return std::nullopt;
}

}  // namespace palm
