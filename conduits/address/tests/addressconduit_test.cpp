// The address conduit's definition as the shared conduit code uses it: its
// record class reached through the record set's placer and driven through
// the engine's interface with real data sources, and the resource libraries
// the conduit loads by name.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "conduits/address/addressrecord.h"
#include "conduits/common/conduit.h"
#include "platform/module.h"
#include "platform/strres.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"

using namespace std::string_literals;

// In the conduit library the application object loads the resource library
// when the library loads; the test process loads the same library itself.
char* conduitText(UINT id, char* buffer, int size) {
  static HMODULE resources = LoadLibrary(GWSYNC_TEST_LIBDIR "/libaddressres.so");
  return loadResourceText(resources, id, buffer, size);
}

namespace {

TEST(AddressConduitDef, NamesTheAddressBook) {
  EXPECT_EQ(g_ConduitDef.kind, static_cast<DWORD>(CONDUIT_ADDRESS));
  EXPECT_STREQ(g_ConduitDef.tag, "addr");
  // The creator as the handheld stores it: the four letters, big-endian.
  const BYTE creator[4] = {static_cast<BYTE>(g_ConduitDef.creator >> 24), static_cast<BYTE>(g_ConduitDef.creator >> 16),
                           static_cast<BYTE>(g_ConduitDef.creator >> 8), static_cast<BYTE>(g_ConduitDef.creator)};
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(creator), 4), "addr");
  EXPECT_EQ(g_ConduitDef.timeSlot, 1);
  EXPECT_STREQ(g_ConduitDef.resourceLibrary, "addressres.dll");
  EXPECT_EQ(g_ConduitDef.makeHandheldSource, nullptr);
}

// The run of one sync as the conduit builds it, minus the Sync Manager and
// the server: the record set places address records, the data sources are
// the conduit's own.
class AddressConduitRun : public ::testing::Test {
 protected:
  AddressConduitRun()
      : records(g_ConduitDef.recordSize, g_ConduitDef.placeRecord),
        times(g_ConduitDef.timeSlot),
        hh(&categories, &records, &times, "AddressDB", 0, g_ConduitDef.creator),
        gw(g_ConduitDef.makeServerSource(session)) {
    CPalmCategory& business = categories.at(1);
    business.m_UniqueId = 1;
    std::strcpy(business.m_Name, "Business");
  }

  CPalmCategoryList categories;
  CPalmRecordSet records;
  SyncTimeStore times;
  CPalmLSDataSrc hh;
  CGWSession session;  // no settings fetched: the address map is empty
  std::unique_ptr<CGWDataSrc> gw;
};

TEST_F(AddressConduitRun, PlacedRecordsConvertBothWays) {
  ASSERT_NE(gw, nullptr);
  CHHRecord* written = records.newRecord(1);
  EXPECT_EQ(written->getSize(), g_ConduitDef.recordSize);

  __ADDRESS_ITEM last{kAddrLastNameItem, nullptr, 1, 0, 0};
  __ADDRESS_ITEM city{-4, nullptr, 1, 0, 0};
  char lastText[] = "Mori", cityText[] = "Sendai", category[] = "Business";
  __ADDRESS_ITEM_VALUE values[] = {{&last, lastText}, {&city, cityText}};
  __ADDRESS_DATA data{5, 0, 1, category, 2, values};
  CGWAddressConstRec card(&data);

  DWORD code = 99;
  EXPECT_TRUE(written->acceptFromGW(&hh, gw.get(), &card, &code));
  ASSERT_TRUE(written->convertGW2HH(&hh, gw.get(), nullptr, &card));
  auto* palm = static_cast<CPalmRecord*>(written);
  // Nothing but the names is mapped without the server's settings.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(palm->data()), palm->dataSize()),
            "\x00\x04\x32\x10\x00\x00\x00\x03\x00"s
            "Mori\0\0"s);
  EXPECT_EQ(palm->m_CatIndex, 1);

  char id[30];
  EXPECT_STREQ(written->getRecIdStr(id, sizeof id), "Address Book record: Mori");

  std::unique_ptr<CGWRecord, void (*)(CGWRecord*)> target(gw->createRecord(), [](CGWRecord* r) { delete r; });
  code = 99;
  EXPECT_TRUE(written->acceptForGW(&hh, gw.get(), nullptr, &code));
  EXPECT_EQ(code, 0u);
  // The related card's city is not the handheld's (unmapped) and stays.
  ASSERT_TRUE(written->convertHH2GW(&hh, gw.get(), &card, target.get()));
  const auto* up = static_cast<CGWAddressConstRec*>(target.get());
  const __ADDRESS_ITEM_VALUE* v = nullptr;
  ASSERT_EQ(up->getItemValues(&v), 2);
  EXPECT_EQ(v[0].pItem->nID, kAddrLastNameItem);
  EXPECT_STREQ(v[0].pszValue, "Mori");
  EXPECT_EQ(v[1].pItem->nID, -4);
  EXPECT_STREQ(v[1].pszValue, "Sendai");
  EXPECT_STREQ(up->getCategory(), "Business");
  records.releaseRecord(written);
}

// ---- Resource libraries ----

struct Strings {
  const char* library;
  std::set<UINT> ids;
};

void PrintTo(const Strings& s, std::ostream* os) { *os << s.library; }

class ResourceLibrary : public ::testing::TestWithParam<Strings> {};

TEST_P(ResourceLibrary, HoldsEveryStringTheConduitsLoad) {
  HMODULE module = LoadLibrary(GetParam().library);
  ASSERT_NE(module, nullptr) << GetParam().library;
  std::set<std::string> texts;
  for (UINT id : GetParam().ids) {
    char text[64];
    int n = LoadString(module, id, text, sizeof text);
    EXPECT_GT(n, 0) << "string " << id;
    EXPECT_LT(n, 32) << "string " << id;  // HotSync Manager's name fields are short
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), GetParam().ids.size()) << "two strings share a text";
  FreeLibrary(module);
}

INSTANTIATE_TEST_SUITE_P(Libraries, ResourceLibrary,
                         ::testing::Values(Strings{GWSYNC_TEST_LIBDIR "/libhandstrings.so",
                                                   {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
                                           Strings{GWSYNC_TEST_LIBDIR "/libaddressres.so", {5, 6, 9}}));

}  // namespace
