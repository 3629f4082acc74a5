// Palm database files as bytes: a reference file written by hand, the
// malformed files that must be refused, dates, category blocks and the
// app-info blocks of new databases.
#include "hotsync/pdb/pdb.h"

#include <gtest/gtest.h>

// Records are written with designated initializers; the rest stay default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <functional>
#include <string>

namespace {

using palm::Database;
using palm::fourCC;
using palm::Record;

std::string unhex(std::string_view hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

// A memo database of four records: plain, secret+dirty in category 3,
// deleted+dirty, archived. Offsets: table ends at 110, two zero bytes, the
// app-info block "AI" at 112, data from 114.
const std::string kReference = unhex("54" + std::string(62, '0') +  // name "T"
                                     "0008 0001 C0000000 C0000001 00000000 00000005"
                                     "00000070 00000000 44415441 6D656D6F 00000010 00000000 0004"
                                     "00000072 00 000001"
                                     "00000074 53 000002"
                                     "00000077 C0 000003"
                                     "00000077 88 000004"
                                     "0000"
                                     "4149"
                                     "6100"
                                     "626300"
                                     "7A00");

Database referenceDatabase() {
  Database db;
  db.name = "T";
  db.attributes = palm::kDbBackup;
  db.version = 1;
  db.created = 0xC0000000;
  db.modified = 0xC0000001;
  db.modificationNumber = 5;
  db.type = fourCC("DATA");
  db.creator = fourCC("memo");
  db.uniqueIdSeed = 0x10;
  db.appInfo = "AI";
  // Deleted first: writing puts it after the live records.
  Record archived{.uniqueId = 4, .archived = true, .data = std::string("z\0", 2)};
  Record plain{.uniqueId = 1, .data = std::string("a\0", 2)};
  Record secret{.uniqueId = 2, .category = 3, .dirty = true, .secret = true, .data = std::string("bc\0", 3)};
  Record deleted{.uniqueId = 3, .deleted = true, .dirty = true, .data = "dropped on writing"};
  db.records = {deleted, plain, secret, archived};
  return db;
}

TEST(PdbFile, WritesTheReferenceBytes) { EXPECT_EQ(palm::serializeDatabase(referenceDatabase()), kReference); }

TEST(PdbFile, ReadsTheReferenceBack) {
  Database db;
  std::string why;
  ASSERT_TRUE(palm::parseDatabase(kReference, db, &why)) << why;
  EXPECT_EQ(db.name, "T");
  EXPECT_EQ(db.attributes, palm::kDbBackup);
  EXPECT_EQ(db.version, 1);
  EXPECT_EQ(db.created, 0xC0000000u);
  EXPECT_EQ(db.modificationNumber, 5u);
  EXPECT_EQ(palm::fourCCText(db.type), "DATA");
  EXPECT_EQ(palm::fourCCText(db.creator), "memo");
  EXPECT_EQ(db.uniqueIdSeed, 0x10u);
  ASSERT_TRUE(db.appInfo);
  EXPECT_EQ(*db.appInfo, "AI");
  EXPECT_FALSE(db.sortInfo);
  ASSERT_EQ(db.records.size(), 4u);
  EXPECT_EQ(db.records[0].uniqueId, 1u);
  EXPECT_EQ(db.records[0].data, std::string("a\0", 2));
  const Record& s = db.records[1];
  EXPECT_TRUE(s.secret && s.dirty && s.live());
  EXPECT_EQ(s.category, 3);
  EXPECT_EQ(s.data, std::string("bc\0", 3));
  EXPECT_TRUE(db.records[2].deleted && db.records[2].dirty && db.records[2].data.empty());
  EXPECT_TRUE(db.records[3].archived && !db.records[3].deleted && !db.records[3].dirty);
  EXPECT_EQ(db.records[3].data, std::string("z\0", 2));
  EXPECT_EQ(palm::serializeDatabase(db), kReference);
}

TEST(PdbFile, ResourceDatabasesRoundTrip) {
  Database db;
  db.name = "Saved Preferences";
  db.attributes = palm::kDbResource | palm::kDbBackup;
  db.type = fourCC("sprf");
  db.creator = fourCC("psys");
  db.sortInfo = "S";
  db.resources = {
      {fourCC("mail"), 1, std::string("\x00\x02pref", 6)}, {fourCC("mail"), 2, ""}, {fourCC("addr"), 7, "x"}};
  std::string bytes = palm::serializeDatabase(db);
  // Ten-byte entries: type, id, offset.
  EXPECT_EQ(bytes.substr(78, 10), unhex("6D61696C 0001 0000006F"));
  EXPECT_EQ(palm::getU32(bytes, 52), 0u);    // no app-info block
  EXPECT_EQ(palm::getU32(bytes, 56), 110u);  // sort info right after the gap
  Database back;
  std::string why;
  ASSERT_TRUE(palm::parseDatabase(bytes, back, &why)) << why;
  ASSERT_EQ(back.resources.size(), 3u);
  EXPECT_EQ(back.resources[0].data, std::string("\x00\x02pref", 6));
  EXPECT_EQ(back.resources[1].data, "");
  EXPECT_EQ(back.resources[2].id, 7);
  EXPECT_EQ(*back.sortInfo, "S");
}

TEST(PdbFile, AcceptsNoGapAndZeroLengthEntries) {
  // Two records, no traditional zero bytes, the first empty, the second
  // running to the end of the file, the last one starting at the very end.
  std::string bytes = kReference.substr(0, 78);
  palm::putU16(bytes, 76, 3);
  palm::putU32(bytes, 52, 0);
  bytes += unhex("00000066 00 000001  00000066 00 000002  00000068 00 000003") + std::string("q\0", 2);
  ASSERT_EQ(bytes.size(), 0x68u);
  Database db;
  std::string why;
  ASSERT_TRUE(palm::parseDatabase(bytes, db, &why)) << why;
  ASSERT_EQ(db.records.size(), 3u);
  EXPECT_EQ(db.records[0].data, "");
  EXPECT_EQ(db.records[1].data, std::string("q\0", 2));
  EXPECT_EQ(db.records[2].data, "");
}

TEST(PdbFile, DatesOfBothBasesReadAs1904) {
  std::string bytes = kReference;
  palm::putU32(bytes, 36, 1000);         // 1970-based: bit 31 clear
  palm::putU32(bytes, 40, 0xD0000000u);  // 1904-based
  palm::putU32(bytes, 44, 0);            // never backed up
  Database db;
  ASSERT_TRUE(palm::parseDatabase(bytes, db, nullptr));
  EXPECT_EQ(db.created, 1000u + palm::kEpochDelta1904);
  EXPECT_EQ(db.modified, 0xD0000000u);
  EXPECT_EQ(db.backedUp, 0u);
  EXPECT_EQ(palm::getU32(palm::serializeDatabase(db), 36), 1000u + palm::kEpochDelta1904);
}

// Legend: name of the damage, how it is done to the reference file, words
// the refusal must contain.
struct Damage {
  const char* name;
  std::function<void(std::string&)> damage;
  const char* words;
};

class MalformedFile : public ::testing::TestWithParam<Damage> {};

TEST_P(MalformedFile, IsRefusedWithAReason) {
  std::string bytes = kReference;
  GetParam().damage(bytes);
  Database db;
  db.name = "untouched";
  std::string why;
  EXPECT_FALSE(palm::parseDatabase(bytes, db, &why));
  EXPECT_NE(why.find(GetParam().words), std::string::npos) << why;
  EXPECT_EQ(db.name, "untouched");
}

const Damage kDamages[] = {
    {"Empty", [](std::string& b) { b.clear(); }, "fewer than the 78-byte"},
    {"TruncatedHeader", [](std::string& b) { b.resize(77); }, "fewer than the 78-byte"},
    {"TruncatedEntryTable", [](std::string& b) { b.resize(100); }, "lists 4 entries"},
    {"TooManyEntries", [](std::string& b) { palm::putU16(b, 76, 300); }, "lists 300 entries"},
    {"NameNotTerminated", [](std::string& b) { b.replace(0, 32, std::string(32, 'N')); }, "not terminated"},
    {"NameEmpty", [](std::string& b) { b[0] = '\0'; }, "name is empty"},
    {"NextListId", [](std::string& b) { palm::putU32(b, 72, 1); }, "next list id"},
    {"EntryPastTheEnd", [](std::string& b) { palm::putU32(b, 78 + 24, 122); }, "beyond the end"},
    {"EntryGoingBackwards", [](std::string& b) { palm::putU32(b, 78 + 8, 113); }, "before"},
    {"EntryInsideTheTable", [](std::string& b) { palm::putU32(b, 78, 90); }, "before"},
    {"AppInfoAfterFirstEntry", [](std::string& b) { palm::putU32(b, 52, 115); }, "entry 0 starts at 114, before 115"},
    {"AppInfoPastTheEnd", [](std::string& b) { palm::putU32(b, 52, 0x7FFFFFFF); }, "beyond the end"},
    {"SortInfoBeforeAppInfo", [](std::string& b) { palm::putU32(b, 56, 111); }, "sort-info block starts at 111"},
    {"TruncatedData", [](std::string& b) { b.resize(118); }, "beyond the end"},
    {"RecordWithoutId", [](std::string& b) { palm::putU32(b, 78 + 4, 0x00000000); }, "no unique id"},
    {"SharedIds", [](std::string& b) { palm::putU32(b, 78 + 12, 0x53000001); }, "share the unique id 0x1"},
};

INSTANTIATE_TEST_SUITE_P(Pdb, MalformedFile, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UniqueIds, ComeFromTheSeedAndSkipIdsInUse) {
  Database db;
  db.uniqueIdSeed = 0xAB000004;
  db.records = {Record{.uniqueId = 5}, Record{.uniqueId = 6}};
  EXPECT_EQ(palm::nextUniqueId(db), 7u);
  EXPECT_EQ(db.uniqueIdSeed, 0xAB000007u);  // high byte kept
  db.uniqueIdSeed = 0xFFFFFF;
  EXPECT_EQ(palm::nextUniqueId(db), 1u);  // wraps past 0
}

TEST(CategoryBlock, StoringKeepsEveryByteAfterTheBlock) {
  std::string appInfo = *palm::defaultAppInfo(fourCC("addr"));
  appInfo[277] = '\x5A';
  appInfo[637] = '\x01';
  palm::CategoryBlock c;
  ASSERT_TRUE(palm::parseCategoryBlock(appInfo, c));
  EXPECT_EQ(c.names[3], "QuickList");
  c.names[5] = std::string("\x93\xfa\x96\x7b", 4);  // Shift-JIS passes as bytes
  c.ids[5] = 128;
  c.renamed = 0x0020;
  c.lastUniqueId = 128;
  std::string changed = appInfo;
  palm::storeCategoryBlock(c, changed);
  EXPECT_EQ(changed.substr(276), appInfo.substr(276));
  EXPECT_EQ(palm::getU16(changed, 0), 0x0020);
  EXPECT_EQ(changed.substr(2 + 5 * 16, 16), std::string("\x93\xfa\x96\x7b", 4) + std::string(12, '\0'));
  EXPECT_EQ(static_cast<uint8_t>(changed[258 + 5]), 128);
  EXPECT_EQ(static_cast<uint8_t>(changed[274]), 128);
  EXPECT_FALSE(palm::parseCategoryBlock(changed.substr(0, 275), c));
}

// Legend: creator, block size, categories in order.
struct NewBlock {
  const char* creator;
  size_t size;
  std::vector<std::string> categories;
};

class NewDatabaseBlock : public ::testing::TestWithParam<NewBlock> {};

TEST_P(NewDatabaseBlock, HasTheApplicationsCategories) {
  const NewBlock& row = GetParam();
  char code[5] = {};
  std::copy(row.creator, row.creator + 4, code);
  auto block = palm::defaultAppInfo(fourCC(code));
  ASSERT_TRUE(block);
  EXPECT_EQ(block->size(), row.size);
  palm::CategoryBlock c;
  ASSERT_TRUE(palm::parseCategoryBlock(*block, c));
  EXPECT_EQ(c.renamed, 0);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(c.names[i], i < row.categories.size() ? row.categories[i] : "") << i;
    EXPECT_EQ(c.ids[i], row.categories.empty() ? 0 : i) << i;
  }
  EXPECT_EQ(c.lastUniqueId, row.categories.empty() ? 0 : 15);
}

INSTANTIATE_TEST_SUITE_P(Pdb, NewDatabaseBlock,
                         ::testing::Values(NewBlock{"addr", 638, {"Unfiled", "Business", "Personal", "QuickList"}},
                                           NewBlock{"memo", 282, {"Unfiled", "Business", "Personal"}},
                                           NewBlock{"todo", 282, {"Unfiled", "Business", "Personal"}},
                                           NewBlock{"mail", 289, {"Inbox", "Outbox", "Deleted", "Filed", "Draft"}},
                                           NewBlock{"date", 280, {}}),
                         [](const auto& info) { return std::string(info.param.creator); });

TEST(NewDatabaseBlock, AddressLabelsAndMailFieldsAfterTheCategories) {
  std::string addr = *palm::defaultAppInfo(fourCC("addr"));
  EXPECT_EQ(addr.substr(282, 16), std::string("Last name") + std::string(7, '\0'));
  EXPECT_EQ(addr.substr(282 + 21 * 16, 7), std::string("Mobile\0", 7));
  std::string mail = *palm::defaultAppInfo(fourCC("mail"));
  EXPECT_EQ(palm::getU16(mail, 278), 0xFFFF);
  EXPECT_EQ(palm::getU16(mail, 286), 288);
  EXPECT_EQ(mail[288], '\0');
  EXPECT_FALSE(palm::defaultAppInfo(fourCC("xxxx")));
}

// Sizes the format cannot carry are refused on reading and on writing.
TEST(PdbLimits, AnEntryOrBlockOfMoreThan65535BytesIsRefusedBothWays) {
  palm::Database db;
  db.name = "MemoDB";
  db.records.push_back({});
  db.records[0].uniqueId = 1;
  db.records[0].data = std::string(palm::kMaxBlockSize, 'x');
  std::string why;
  ASSERT_TRUE(palm::fitsFormat(db, &why)) << why;
  palm::Database back;
  ASSERT_TRUE(palm::parseDatabase(palm::serializeDatabase(db), back, &why)) << why;

  std::string oneMore = palm::serializeDatabase(db) + "y";
  EXPECT_FALSE(palm::parseDatabase(oneMore, back, &why));
  EXPECT_EQ(why, "entry 0 has 65536 bytes, more than the 65535 the format allows");

  db.records[0].data += "y";
  EXPECT_FALSE(palm::fitsFormat(db, &why));
  db.records[0].data = "ok";
  db.appInfo = std::string(palm::kMaxBlockSize + 1, 'a');
  EXPECT_FALSE(palm::fitsFormat(db, &why));
  EXPECT_EQ(why, "the app-info block has 65536 bytes, more than the 65535 the format allows");
  db.appInfo.reset();
  db.records.resize(palm::kMaxEntries + 1);
  EXPECT_FALSE(palm::fitsFormat(db, &why));
  EXPECT_NE(why.find("65536 entries"), std::string::npos) << why;
}

TEST(PdbLimits, AFileLargerThanItsHeaderAllowsIsRefusedFromTheHeaderAlone) {
  palm::Database db;
  db.name = "MemoDB";
  db.records.push_back({});
  db.records[0].uniqueId = 1;
  db.records[0].data = "memo";
  const std::string bytes = palm::serializeDatabase(db);
  const uint64_t most = palm::getU32(bytes, 78) + palm::kMaxBlockSize;  // record 0's offset + the largest record
  std::string why;
  EXPECT_TRUE(palm::checkImageSize(bytes, bytes.size(), &why));
  EXPECT_TRUE(palm::checkImageSize(bytes, most, &why));
  EXPECT_FALSE(palm::checkImageSize(bytes, most + 1, &why));
  EXPECT_FALSE(palm::checkImageSize(bytes, 300ull << 20, &why));
  EXPECT_NE(why.find("more than a database with 1 entries can hold"), std::string::npos) << why;
  EXPECT_TRUE(palm::checkImageSize(bytes.substr(0, 20), 300ull << 20, &why)) << "short heads are the parser's";
}

}  // namespace
