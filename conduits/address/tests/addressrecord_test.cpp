// The Address Book record and its conversions on plain inputs: fixed record
// bytes, cards built in the test, the settings' address map and a category
// list.
#include <gtest/gtest.h>

#include <cstring>

#include "conduits/address/tests/addresstest.h"

using namespace std::string_literals;
using namespace addrtest;

namespace {

// A record to be written, on a buffer of the shared buffer's size.
struct Written {
  std::vector<BYTE> shared = std::vector<BYTE>(kPalmSharedBufferSize);
  CPalmAddressRecord rec{shared.data()};
};

std::string fromServer(const Items& items, const __SYNC5_SET& set, const std::string* prev = nullptr) {
  TestCard card(items);
  CPalmCategoryList categories = addressCategories();
  CPalmAddressRecord before;
  if (prev) setRecord(before, *prev);
  Written out;
  EXPECT_TRUE(addressFromServer(out.rec, set, categories, prev ? &before : nullptr, card.rec()));
  return bytesOf(out.rec);
}

Items toServer(const std::string& bytes, const __SYNC5_SET& set, const Items& existing = {}) {
  CPalmAddressRecord in;
  setRecord(in, bytes);
  TestCard old(existing);
  CGWAddressRec target;
  EXPECT_TRUE(addressToServer(in, set, addressCategories(), existing.empty() ? nullptr : &old.rec(), target));
  return itemsOf(target);
}

// Texts of the answer point into bytes.
AddressFields walk(const std::string& bytes) {
  AddressFields f;
  walkAddressFields(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), &f);
  return f;
}

// ---- Reference bytes, both ways ----

TEST(AddressReference, CardPacksToTheseBytes) {
  std::string got = fromServer({{kAddrLastNameItem, "Tanaka"},
                                {kAddrFirstNameItem, "Taro"},
                                {kCompany, "Example Co"},
                                {kWork, "03-1234"},
                                {kMobile, "090-9999"},
                                {kNote, "line1\r\nline2"},
                                {999, "unmapped"}},
                               typicalSettings());
  EXPECT_EQ(got,
            "\x00\x04\x72\x10"s  // options: mobile in slot 4
            "\x00\x04\x00\x4f"s  // flags: names, company, phones 1 and 4, note
            "\x0d"s              // company at 21, counted from 8
            "Tanaka\0Taro\0Example Co\0"
            "03-1234\0"
            "090-9999\0"
            "line1\nline2\0"s);
}

TEST(AddressReference, BytesWalkToTheseItems) {
  // Slots: mobile, work, fax, pager, e-mail; the top bits are not labels.
  const std::string bytes =
      "\x00\x14\x62\x07"
      "\x00\x04\x42\x5f"
      "\x09"s
      "Suzuki\0\0ACME\0"
      "090-1\0"
      "03-2\0"
      "pager9\0"
      "Osaka\0"
      "c1\0"
      "memo\r\nline\0"s;
  // The empty first name, pager and custom 1 yield nothing; texts go as
  // they are. Of the old card, item 200 and the home phone (no slot is
  // labelled home) are not the handheld's and stay; the names are.
  Items got = toServer(bytes, typicalSettings(),
                       {{kAddrLastNameItem, "Old"},
                        {kAddrFirstNameItem, "Gone"},
                        {kCompany, "OldCo"},
                        {200, "birthday"},
                        {kHome, "03-home"}});
  EXPECT_EQ(got, (Items{{kAddrLastNameItem, "Suzuki"},
                        {kCompany, "ACME"},
                        {kMobile, "090-1"},
                        {kWork, "03-2"},
                        {kCity, "Osaka"},
                        {kNote, "memo\r\nline"},
                        {200, "birthday"},
                        {kHome, "03-home"}}));

  CPalmAddressRecord in;
  setRecord(in, bytes);
  TestCard old({{200, "birthday"}});
  CGWAddressRec target;
  ASSERT_TRUE(addressToServer(in, typicalSettings(), addressCategories(), &old.rec(), target));
  const __ADDRESS_ITEM_VALUE* v = nullptr;
  ASSERT_EQ(target.getItemValues(&v), 7);
  EXPECT_EQ(v[0].pItem->pszName, nullptr);       // a new item carries only its id
  EXPECT_STREQ(v[6].pItem->pszName, "item200");  // a kept one its definition
}

// ---- The field walk on damaged records ----

struct WalkRow {
  const char* what;
  std::string bytes;
  bool walked;    // the header was there
  bool complete;  // every flagged text ended inside the data
  std::map<int, std::string> present;
};
void PrintTo(const WalkRow& row, std::ostream* os) { *os << row.what; }

class AddressWalk : public ::testing::TestWithParam<WalkRow> {};

TEST_P(AddressWalk, NeverReadsPastTheData) {
  const WalkRow& row = GetParam();
  // The bytes fill their allocation exactly, so a read past them leaves it.
  std::vector<BYTE> data(row.bytes.begin(), row.bytes.end());
  AddressFields f;
  EXPECT_EQ(walkAddressFields(data.data(), static_cast<DWORD>(data.size()), &f), row.walked);
  EXPECT_EQ(f.complete, row.complete);
  std::map<int, std::string> present;
  for (int k = 0; k < ADDR_FIELD_COUNT; ++k)
    if (f.text[k]) present[k] = f.text[k];
  EXPECT_EQ(present, row.present);

  // A record that does not walk whole never reaches the server: what it
  // lost would be cleared there.
  CPalmAddressRecord in;
  setRecord(in, row.bytes);
  TestCard before({{kCompany, "before"}});
  CGWAddressRec target;
  target.assign(before.rec());
  EXPECT_EQ(addressToServer(in, typicalSettings(), addressCategories(), nullptr, target), row.complete);
  if (!row.complete) {
    EXPECT_EQ(itemsOf(target), (Items{{kCompany, "before"}}));
  }
}

const std::string kHead = "\x00\x04\x32\x10"s;  // default options

// clang-format off
// Legend: what, bytes, header there, whole, fields found.
INSTANTIATE_TEST_SUITE_P(Records, AddressWalk, ::testing::Values(
    WalkRow{"empty", "", false, false, {}},
    WalkRow{"eight bytes", kHead + "\x00\x00\x00\x03"s, false, false, {}},
    WalkRow{"no fields", kHead + "\x00\x00\x00\x00\x00"s, true, true, {}},
    WalkRow{"company runs off the end", kHead + "\x00\x00\x00\x07\x03" "A\0B\0Co"s, true, false, {{0, "A"}, {1, "B"}}},
    WalkRow{"flagged text, no bytes", kHead + "\x00\x00\x00\x01\x00"s, true, false, {}},
    WalkRow{"empty texts", kHead + "\x00\x04\x00\x03\x00" "\0\0note\0"s, true, true, {{0, ""}, {1, ""}, {18, "note"}}},
    WalkRow{"flags past the note", kHead + "\xff\xf8\x00\x01\x00" "L\0"s, true, true, {{0, "L"}}},
    WalkRow{"note without terminator", kHead + "\x00\x04\x00\x01\x00" "L\0long note"s, true, false, {{0, "L"}}}));
// clang-format on

// ---- Company offset ----

class CompanyOffset : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(CompanyOffset, CountsFromByteEightAndIsZeroPastAByte) {
  const auto [lastNameLength, offsetByte] = GetParam();
  const std::string last(lastNameLength, 'L');
  std::string bytes = fromServer({{kAddrLastNameItem, last}, {kCompany, "Co"}}, typicalSettings());
  EXPECT_EQ(static_cast<BYTE>(bytes.at(8)), offsetByte);
  // The company is found by the walk whatever the byte says.
  EXPECT_EQ(toServer(bytes, typicalSettings()), (Items{{kAddrLastNameItem, last}, {kCompany, "Co"}}));
}

// Legend: last name length L, offset byte (company at 9 + L + 2, so L + 3).
INSTANTIATE_TEST_SUITE_P(Lengths, CompanyOffset,
                         ::testing::Values(std::pair{1, 4}, std::pair{252, 255}, std::pair{253, 0}, std::pair{255, 0}));

TEST(CompanyOnly, EmptyNamesAreWrittenAndTheCompanyComesBackAlone) {
  std::string bytes = fromServer({{kCompany, "ACME"}}, typicalSettings());
  EXPECT_EQ(bytes,
            "\x00\x04\x72\x10\x00\x00\x00\x07\x03"
            "\0\0ACME\0"s);
  EXPECT_EQ(toServer(bytes, typicalSettings()), (Items{{kCompany, "ACME"}}));
}

TEST(CompanyOnly, AnUnmappedCompanyKeptFromTheHandheldGetsItsOffset) {
  const std::string prev = packed(kAddrDefaultOptions, {{0, "X"}, {ADDR_COMPANY, "Kept Co"}}, 0);
  EXPECT_EQ(fromServer({{kAddrLastNameItem, "Yamada"}}, settings({}), &prev),
            packed(kAddrDefaultOptions, {{0, "Yamada"}, {1, ""}, {2, "Kept Co"}}));
}

// ---- Phone slots ----

struct PhoneRow {
  const char* what;
  std::map<int, LONG> map;
  std::string prev;  // empty: no previous record
  Items card;
  DWORD options;
  std::map<int, std::string> phones;  // slot 1..5 -> text
};
void PrintTo(const PhoneRow& row, std::ostream* os) { *os << row.what; }

class PhoneSlots : public ::testing::TestWithParam<PhoneRow> {};

TEST_P(PhoneSlots, LabelsFollowTheMap) {
  const PhoneRow& row = GetParam();
  const std::string bytes = fromServer(row.card, settings(row.map), row.prev.empty() ? nullptr : &row.prev);
  const AddressFields f = walk(bytes);
  EXPECT_EQ(f.options, row.options) << std::hex << f.options;
  std::map<int, std::string> phones;
  for (int s = 0; s < kAddrPhoneSlots; ++s)
    if (f.text[ADDR_PHONE1 + s]) phones[s + 1] = f.text[ADDR_PHONE1 + s];
  EXPECT_EQ(phones, row.phones);
}

const std::string kWorkFilled = packed(kAddrDefaultOptions, {{0, "A"}, {3, "03-old"}});

// clang-format off
// Legend: what, map {index, item}, previous record, card, options, phones by slot.
INSTANTIATE_TEST_SUITE_P(Rows, PhoneSlots, ::testing::Values(
    PhoneRow{"only mobile mapped: slot 1 becomes mobile", {{8, kMobile}}, "", {{kMobile, "090"}}, 0x43217, {{1, "090"}}},
    PhoneRow{"work mapped too: mobile takes slot 2", {{1, kWork}, {8, kMobile}}, "", {{kWork, "03"}, {kMobile, "090"}},
             0x43270, {{1, "03"}, {2, "090"}}},
    PhoneRow{"a slot the handheld filled is not taken", {{8, kMobile}}, kWorkFilled, {{kMobile, "090"}}, 0x43270,
             {{1, "03-old"}, {2, "090"}}},
    PhoneRow{"a slot labelled mobile keeps it", {{8, kMobile}}, packed(0x47210, {{0, "A"}, {3, "03-old"}}),
             {{kMobile, "090"}}, 0x47210, {{1, "03-old"}, {4, "090"}}},
    PhoneRow{"no free slot: mobile not placed", {{1, kWork}, {2, kHome}, {3, kFax}, {4, 108}, {5, kEmail}, {8, kMobile}},
             "", {{kWork, "03"}, {kMobile, "090"}}, 0x43210, {{1, "03"}}},
    PhoneRow{"mapped and empty on the server: emptied", {{1, kWork}},
             packed(kAddrDefaultOptions, {{0, "A"}, {3, "03-old"}, {4, "home"}}), {}, 0x43210, {{2, "home"}}},
    PhoneRow{"label 9 counts as unmapped, top bits kept", {{8, kMobile}}, packed(0xAB343290, {{0, "A"}, {3, "03-old"}}),
             {{kMobile, "090"}}, 0xAB343270, {{1, "03-old"}, {2, "090"}}}));
// clang-format on

TEST(PhoneSlotsToServer, EachSlotMapsByItsOwnLabel) {
  // Slot 1 fax, 2 work, 3 "other" (unmapped), 4 label 12 (none), 5 e-mail.
  EXPECT_EQ(toServer(packed(0x4C302, {{0, "N"}, {3, "f"}, {4, "w"}, {5, "o"}, {6, "x"}, {7, "m"}}), typicalSettings()),
            (Items{{kAddrLastNameItem, "N"}, {kFax, "f"}, {kWork, "w"}, {kEmail, "m"}}));
}

// ---- What each side keeps of its own ----

TEST(AddressKept, AHandheldFieldWithoutMapEntrySurvivesAServerChange) {
  const std::string prev = packed(kAddrDefaultOptions, {{0, "Old"}, {ADDR_CITY, "Kyoto"}, {15, "keep me"}});
  EXPECT_EQ(fromServer({{kAddrLastNameItem, "New"}, {kCity, "Nara"}}, typicalSettings(), &prev),
            packed(kTypicalOptions, {{0, "New"}, {1, ""}, {ADDR_CITY, "Nara"}, {15, "keep me"}}));
}

TEST(AddressKept, AMappedFieldTheServerClearedIsClearedOnTheHandheld) {
  const std::string prev = packed(kAddrDefaultOptions, {{0, "Old"}, {ADDR_TITLE, "Boss"}, {ADDR_NOTE, "old"}});
  EXPECT_EQ(fromServer({{kAddrLastNameItem, "Old"}, {kNote, "new"}}, typicalSettings(), &prev),
            packed(kTypicalOptions, {{0, "Old"}, {1, ""}, {ADDR_NOTE, "new"}}));
}

TEST(AddressKept, FieldsClearedOnTheHandheldAreClearedOnTheServer) {
  // Names, company, a phone whose label a slot carries, mapped fields.
  EXPECT_EQ(toServer(packed(kAddrDefaultOptions, {{0, ""}, {1, ""}, {ADDR_CUSTOM1, "c"}}), typicalSettings(),
                     {{kAddrLastNameItem, "Kato"},
                      {kAddrFirstNameItem, "Ken"},
                      {kCompany, "Co"},
                      {kHome, "03"},
                      {kMobile, "090"},
                      {kTitle, "Dr."},
                      {300, "x"}}),
            (Items{{kMobile, "090"}, {300, "x"}}));
}

TEST(AddressKept, ADamagedPreviousTextIsNotCopied) {
  // Custom 1 runs off the end of the previous record; the city before it is kept.
  const std::string prev =
      "\x00\x04\x32\x10\x00\x00\x42\x01\x00"
      "Old\0Kyoto\0never ends"s;
  EXPECT_EQ(fromServer({{kAddrLastNameItem, "New"}}, settings({}), &prev),
            packed(kAddrDefaultOptions, {{0, "New"}, {1, ""}, {ADDR_CITY, "Kyoto"}}));
}

// ---- Text limits ----

std::string repeat(const std::string& unit, int n) {
  std::string s;
  while (n-- > 0) s += unit;
  return s;
}

const std::string kKana = "\x82\xa0";  // one Shift-JIS double-byte character

struct LimitRow {
  LONG item;
  int field;
  std::string text;
  std::string stored;
};

void PrintTo(const LimitRow& row, std::ostream* os) {
  *os << "item " << row.item << ", " << row.text.size() << " bytes";
}

class TextLimits : public ::testing::TestWithParam<LimitRow> {};

TEST_P(TextLimits, CutOnACharacterBoundary) {
  const std::string bytes = fromServer({{GetParam().item, GetParam().text}}, typicalSettings());
  const AddressFields f = walk(bytes);
  ASSERT_TRUE(f.complete);
  ASSERT_NE(f.text[GetParam().field], nullptr);
  EXPECT_EQ(f.text[GetParam().field], GetParam().stored);
}

// Legend: item, field, server text, handheld text.
INSTANTIATE_TEST_SUITE_P(
    Rows, TextLimits,
    ::testing::Values(LimitRow{kNote, ADDR_NOTE, repeat(kKana, 2500), repeat(kKana, 2048)},              // 0 5000 bytes
                      LimitRow{kNote, ADDR_NOTE, "x" + repeat(kKana, 2500), "x" + repeat(kKana, 2047)},  // 1 odd
                      LimitRow{kAddrLastNameItem, ADDR_LAST_NAME, std::string(300, 'n'), std::string(255, 'n')},
                      LimitRow{kAddrFirstNameItem, ADDR_FIRST_NAME, "y" + repeat(kKana, 200), "y" + repeat(kKana, 127)},
                      LimitRow{kAddrLastNameItem, ADDR_LAST_NAME, "a\r\nb", "a\r\nb"},  // 4 names as they are
                      LimitRow{kCity, ADDR_CITY, std::string(300, 'c'), std::string(255, 'c')},
                      LimitRow{kTitle, ADDR_TITLE, "x\r\ny", "x\ny"}));

// ---- Buffers ----

TEST(AddressBuffers, NeverWritesPastTheOutputBuffer) {
  TestCard card({{kAddrLastNameItem, "Tanaka"}, {kCompany, "ACME"}, {kNote, "note"}});
  const std::string whole =
      "\x00\x04\x72\x10\x00\x04\x00\x07\x09"
      "Tanaka\0\0ACME\0note\0"s;
  for (DWORD room = 0; room <= whole.size(); ++room) {
    std::vector<BYTE> out(room + 16, 0xEE);
    DWORD size = 0;
    const bool ok = buildAddressRecord(card.rec(), typicalSettings().nRelations, nullptr, 0, out.data(), room, &size);
    EXPECT_EQ(ok, room == whole.size()) << room;
    for (DWORD i = room; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << "room " << room << " byte " << i;
    if (ok) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), size), whole);
    }
  }
}

TEST(AddressBuffers, ARecordThatCannotFitFailsInsteadOfCuttingTheHandheldsTexts) {
  // Unmapped handheld texts are copied whole: 4 x 15001 bytes of customs and
  // a 4096-byte note fit the shared buffer (64113 bytes); six more fields of
  // 255 bytes (65649) do not.
  std::map<int, std::string> fields = {{0, "A"}};
  for (int k = ADDR_CUSTOM1; k < ADDR_CUSTOM1 + 4; ++k) fields[k] = std::string(15000, 'c');
  CPalmAddressRecord prev;
  setRecord(prev, packed(kAddrDefaultOptions, fields));
  Items items = {{kAddrLastNameItem, "B"}, {kNote, std::string(4096, 'n')}};
  CPalmCategoryList categories = addressCategories();
  Written out;
  ASSERT_TRUE(addressFromServer(out.rec, typicalSettings(), categories, &prev, TestCard(items).rec()));
  EXPECT_EQ(out.rec.dataSize(), 64113u);
  for (LONG id : {kCompany, kAddress, kCity, kState, kZip, kCountry}) items.emplace_back(id, std::string(255, 'x'));
  EXPECT_FALSE(addressFromServer(out.rec, typicalSettings(), categories, &prev, TestCard(items).rec()));
}

TEST(AddressBuffers, ShortBuffersAndShortPreviousRecords) {
  TestCard card({{kAddrLastNameItem, "Ito"}});
  CPalmCategoryList categories = addressCategories();
  Written out;
  CPalmAddressRecord shortPrev, deleted, noBuffer;
  setRecord(shortPrev, "\x00\x04\x32\x10\x00"s);
  EXPECT_FALSE(addressFromServer(out.rec, typicalSettings(), categories, &shortPrev, card.rec()));
  setRecord(deleted, "", 0, PALMREC_DELETED);  // as a record deleted on the handheld reads
  ASSERT_TRUE(addressFromServer(out.rec, typicalSettings(), categories, &deleted, card.rec()));
  EXPECT_EQ(bytesOf(out.rec), packed(kTypicalOptions, {{0, "Ito"}, {1, ""}}));
  EXPECT_FALSE(addressFromServer(noBuffer, typicalSettings(), categories, nullptr, card.rec()));
  BYTE eight[8];
  DWORD size = 0;
  EXPECT_FALSE(buildAddressRecord(card.rec(), typicalSettings().nRelations, nullptr, 0, eight, 8, &size));
}

// ---- Categories ----

class CategoryToServer : public ::testing::TestWithParam<std::pair<int, std::string>> {};

TEST_P(CategoryToServer, NamesTheIndex) {
  CPalmCategoryList categories = addressCategories();
  categories.at(6).m_UniqueId = 130;  // id but no name
  CPalmAddressRecord in;
  setRecord(in, packed(kAddrDefaultOptions, {{0, "A"}}), static_cast<WORD>(GetParam().first));
  CGWAddressRec target;
  ASSERT_TRUE(addressToServer(in, typicalSettings(), categories, nullptr, target));
  const char* category = target.getCategory();
  EXPECT_EQ(category ? category : "(none)", GetParam().second);
}

// Legend: handheld category index, server category.
INSTANTIATE_TEST_SUITE_P(Indices, CategoryToServer,
                         ::testing::Values(std::pair{0, ""s}, std::pair{2, "Personal"s}, std::pair{6, "(none)"s},
                                           std::pair{16, "(none)"s}));

TEST(CategoryFromServer, FoundAddedOrLeftAsItWas) {
  CPalmCategoryList categories = addressCategories();
  CPalmAddressRecord prev;
  setRecord(prev, packed(kAddrDefaultOptions, {{0, "A"}}), 3);
  auto indexAfter = [&](const char* category, const CPalmRecord* before) {
    TestCard card({{kAddrLastNameItem, "A"}}, category);
    Written out;
    EXPECT_TRUE(addressFromServer(out.rec, typicalSettings(), categories, before, card.rec()));
    return static_cast<int>(out.rec.m_CatIndex);
  };
  EXPECT_EQ(indexAfter("Business", nullptr), 1);
  EXPECT_EQ(indexAfter("", &prev), 3);  // no name: as the handheld had it
  EXPECT_EQ(indexAfter("Friends", nullptr), 4);
  EXPECT_STREQ(categories.at(4).m_Name, "Friends");
  EXPECT_EQ(indexAfter("Friends", nullptr), 4);  // added once
  for (int i = 5; i < kPalmCategoryCount; ++i) ASSERT_NE(categories.add(("C" + std::to_string(i)).c_str()), nullptr);
  EXPECT_EQ(indexAfter("One Too Many", &prev), 3);  // the list is full
  EXPECT_EQ(indexAfter("One Too Many", nullptr), 0);
}

// ---- Private policy ----

struct PrivateRow {
  DWORD policy;
  int prev;  // -1 no previous record, 0 public, 1 private
  bool expected;
};

void PrintTo(const PrivateRow& row, std::ostream* os) { *os << "flags " << row.policy << ", previous " << row.prev; }

class PrivatePolicy : public ::testing::TestWithParam<PrivateRow> {};

TEST_P(PrivatePolicy, SetClearedOrAsTheHandheldHadIt) {
  const PrivateRow& row = GetParam();
  CPalmAddressRecord prev;
  setRecord(prev, packed(kAddrDefaultOptions, {{0, "A"}}), 0, row.prev == 1 ? PALMREC_PRIVATE : 0);
  CPalmCategoryList categories = addressCategories();
  Written out;
  ASSERT_TRUE(addressFromServer(out.rec, typicalSettings(row.policy), categories, row.prev < 0 ? nullptr : &prev,
                                TestCard({{kAddrLastNameItem, "A"}}).rec()));
  EXPECT_EQ(out.rec.m_Flags, row.expected ? PALMREC_PRIVATE : 0);
}

// Legend: address flags of the settings, previous record, private after.
INSTANTIATE_TEST_SUITE_P(Policies, PrivatePolicy,
                         ::testing::Values(PrivateRow{1, -1, true}, PrivateRow{1, 0, true}, PrivateRow{2, 1, false},
                                           PrivateRow{2, -1, false}, PrivateRow{0, 1, true}, PrivateRow{0, -1, false},
                                           PrivateRow{3, 0, false}, PrivateRow{3, 1, true}));

// ---- Round trip ----

TEST(AddressRoundTrip, CardToHandheldAndBack) {
  const Items card = {{kAddrLastNameItem, "\x93\x63\x92\x86"},
                      {kAddrFirstNameItem, "Hanako"},
                      {kCompany, "ACME"},
                      {kWork, "03-1"},
                      {kHome, "03-2"},
                      {kFax, "03-3"},
                      {kEmail, "h@example.com"},
                      {kAddress, "1-2-3"},
                      {kCity, "Tokyo"},
                      {kState, "Tokyo-to"},
                      {kZip, "100-0001"},
                      {kCountry, "Japan"},
                      {kTitle, "Dr."},
                      {kNote, "two\nlines"}};
  TestCard source(card, "Business");
  CPalmCategoryList categories = addressCategories();
  Written hh;
  ASSERT_TRUE(addressFromServer(hh.rec, typicalSettings(), categories, nullptr, source.rec()));
  CPalmAddressRecord back;
  setRecord(back, bytesOf(hh.rec), hh.rec.m_CatIndex);
  CGWAddressRec up;
  ASSERT_TRUE(addressToServer(back, typicalSettings(), categories, nullptr, up));
  EXPECT_EQ(itemsOf(up), card);
  EXPECT_STREQ(up.getCategory(), "Business");
  Written again;
  ASSERT_TRUE(addressFromServer(again.rec, typicalSettings(), categories, &back, up));
  EXPECT_EQ(bytesOf(again.rec), bytesOf(hh.rec));
}

// ---- Identification in messages ----

struct DescribeRow {
  std::string record;
  int length;
  const char* expected;
};

void PrintTo(const DescribeRow& row, std::ostream* os) { *os << row.length << " bytes"; }

class AddressDescribe : public ::testing::TestWithParam<DescribeRow> {};

TEST_P(AddressDescribe, NameThenLastAndFirst) {
  char buffer[80];
  std::memset(buffer, 'Z', sizeof buffer);
  const std::string& r = GetParam().record;
  describeAddressRecord("Address Book record", reinterpret_cast<const BYTE*>(r.data()), static_cast<DWORD>(r.size()),
                        buffer, GetParam().length);
  EXPECT_STREQ(buffer, GetParam().expected);
  EXPECT_EQ(buffer[GetParam().length], 'Z');
}

const std::string kTaro = packed(kAddrDefaultOptions, {{0, "Tanaka"}, {1, "Taro"}});

// Legend: record, buffer length, text.
INSTANTIATE_TEST_SUITE_P(
    Rows, AddressDescribe,
    ::testing::Values(DescribeRow{kTaro, 64, "Address Book record: Tanaka Taro"},
                      DescribeRow{packed(kAddrDefaultOptions, {{0, ""}, {1, "Taro"}}), 64, "Address Book record: Taro"},
                      DescribeRow{packed(0, {{2, "ACME"}}), 64, "Address Book record"},
                      DescribeRow{"", 64, "Address Book record"},
                      DescribeRow{kTaro, 30, "Address Book record: Tanak..."},
                      DescribeRow{packed(0, {{0, repeat("\x93\x63", 4)}}), 28, "Address Book record: \x93\x63..."}));

}  // namespace
