// The user list, version and sync-settings pages: their URLs and how their
// replies are read.
#include "gwclient/src/pages.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "testutil/fake_http_server.h"

namespace {

using testutil::httpReply;

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
    ASSERT_TRUE(session.Open(server.url("/gw").c_str(), nullptr, 0));
  }
  std::vector<std::string> userNames() {
    std::vector<std::string> names;
    for (__USER_DATA* u = session.FindFirstUser(); u; u = session.FindNextUser())
      names.push_back(std::to_string(u->nID) + ":" + u->pszName);
    return names;
  }
  testutil::FakeHttpServer server;
  COfficeSession session;
};

TEST_F(PagesTest, UserLinesKeepTheWholeRestAsName) {
  server.reply(httpReply(200,
                         "5,Smith, Ann\r\n"
                         "6,\n"            // no name: no user
                         "x7,Bob\n"        // id not a number
                         "Cy\n"            // no comma
                         "-8,Dee\n"        // no sign allowed
                         "9,\"Quoted\"\n"  // not unquoted
                         "\n"
                         "relation\n"
                         "ts.100\n"
                         "1,2\n"
                         "10,Eve"));  // last line without LF
  EXPECT_EQ(userNames(), (std::vector<std::string>{"5:Smith, Ann", "9:\"Quoted\""}));
}

TEST_F(PagesTest, EmptyUserListIsNoError) {
  server.reply(httpReply(200, ""));
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 0u);
}

// Legend: version reply; Version(); ProductID() (null for none).
struct VersionRow {
  const char* reply;
  DWORD version;
  const char* product;
};
void PrintTo(const VersionRow& r, std::ostream* os) { *os << r.reply; }
class VersionTest : public PagesTest, public ::testing::WithParamInterface<VersionRow> {};
TEST_P(VersionTest, Reads) {
  server.reply(httpReply(200, GetParam().reply));
  EXPECT_EQ(session.Version(), GetParam().version);
  if (GetParam().product) EXPECT_STREQ(session.ProductID(), GetParam().product);
  else EXPECT_EQ(session.ProductID(), nullptr);
  EXPECT_EQ(server.requestCount(), 1u);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, VersionTest,
    ::testing::Values(VersionRow{"version,2.5,1.0\nProductID,GW Server 2\n", 25u << 16 | 10, "GW Server 2"},
                      VersionRow{"VERSION,5.1,2\n", 51u << 16 | 20, nullptr},
                      VersionRow{"version,2.19,0.05\n", 21u << 16 | 0, nullptr},
                      VersionRow{"Version,x,\nproductid,\"a,b\"\n", 0, "a,b"}, VersionRow{"other,9,9\n", 0, nullptr}));

TEST_F(PagesTest, VersionErrorLineFails) {
  server.reply(httpReply(200, "ErrorCode,16401\n"));
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.GetLastError(), 18u);
}

// Legend: the call, the URL it asks for.
struct DeviceRow {
  __SYNC5_SET* (COfficeSession::*get)();
  const char* query;
};
void PrintTo(const DeviceRow& r, std::ostream* os) { *os << r.query; }
class SettingsUrlTest : public PagesTest, public ::testing::WithParamInterface<DeviceRow> {};
TEST_P(SettingsUrlTest, NamesTheDevice) {
  server.reply(httpReply(200, ""));
  ASSERT_NE((session.*GetParam().get)(), nullptr);
  EXPECT_EQ(server.request(0),
            testutil::withHost(std::string("GET /gw?") + GetParam().query + "&sync=1 HTTP/1.1\r\nHost: {host}\r\n\r\n",
                               server.host()));
}
INSTANTIATE_TEST_SUITE_P(
    Rows, SettingsUrlTest,
    ::testing::Values(DeviceRow{&COfficeSession::GetSettingForPalm, "page=SyncSetting&dtype=Palm&max=19"},
                      DeviceRow{&COfficeSession::GetSettingForPocketPC, "page=SyncSetting&dtype=PocketPC&max=38"},
                      DeviceRow{&COfficeSession::GetSettingForZaurus, "page=SyncSetting&dtype=Zaurus&max=5"}));

TEST_F(PagesTest, FirstSettingsFetchServesEveryDevice) {
  server.reply(httpReply(200, "m,Sync,4\n"));
  __SYNC5_SET* palm = session.GetSettingForPalm();
  ASSERT_NE(palm, nullptr);
  EXPECT_EQ(session.GetSettingForZaurus(), palm);
  EXPECT_EQ(palm->nMemoMode, 3u);
  EXPECT_EQ(palm->nMemoNumber, 4u);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(PagesTest, SettingsWithAllFields) {
  std::string a = "a,Down,2,17,1,0,ts.1700000000";
  for (int i = 0; i < 100; ++i) a += "," + std::to_string(i % 2 ? -i : i);
  server.reply(httpReply(200, "s,Sync,0,12\nt,down\n" + a + "\nw,Sync,1,30,40\nm,Down,9\n"));
  __SYNC5_SET* set = session.GetSettingForPalm();
  ASSERT_NE(set, nullptr);
  const DWORD* raw = reinterpret_cast<const DWORD*>(set);
  EXPECT_EQ(raw[0], 3u);
  EXPECT_EQ(raw[1], 0u);
  EXPECT_EQ(raw[2], 12u);
  EXPECT_EQ(raw[3], 5u);
  EXPECT_EQ(raw[4], 5u);
  EXPECT_EQ(raw[5], 17u);
  EXPECT_EQ(raw[6], 2u);
  EXPECT_EQ(raw[7], 1700000000u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(set->nRelations[i], i % 2 ? -i : i) << i;
  EXPECT_EQ(raw[108], 7u);
  EXPECT_EQ(raw[109], 30u);
  EXPECT_EQ(raw[110], 40u);
  EXPECT_EQ(raw[111], 5u);
  EXPECT_EQ(raw[112], 9u);
}

// Settings lines one at a time, from the defaults. Legend: line; index of
// the record (0 to 112); value expected there.
struct SettingRow {
  const char* line;
  size_t index;
  DWORD value;
};
void PrintTo(const SettingRow& r, std::ostream* os) { *os << r.line << " @" << r.index; }
class SettingLineTest : public ::testing::TestWithParam<SettingRow> {};
TEST_P(SettingLineTest, Applies) {
  CSettingPage page(nullptr);
  page.ApplyLine(CFieldList(GetParam().line));
  EXPECT_EQ(reinterpret_cast<const DWORD*>(&page.m_Set)[GetParam().index], GetParam().value) << GetParam().line;
}
INSTANTIATE_TEST_SUITE_P(Rows, SettingLineTest,
                         ::testing::Values(
                             // defaults without an "s" line
                             SettingRow{"t,Sync", 1, 1}, SettingRow{"t,Sync", 2, 3}, SettingRow{"s,Down,13,0", 0, 5},
                             SettingRow{"s,Down,13,0", 1, 1},  // out of range
                             SettingRow{"s,Down,13,0", 2, 3}, SettingRow{"S,sync,12,1", 1, 12},
                             SettingRow{"s,Other", 0, 0}, SettingRow{"s,Sync,99999999999999999999", 1, 1},
                             SettingRow{"a,down,0", 4, 1}, SettingRow{"a,down,2", 4, 5}, SettingRow{"a,Sync,2", 4, 3},
                             SettingRow{"a,Down,x", 4, 1}, SettingRow{"a,Down,00", 4, 1},
                             SettingRow{"a,Sync,0,x", 5, 0}, SettingRow{"a,Sync,0,3,0,7", 6, 1},
                             SettingRow{"a,Sync,0,3,5,0", 6, 2}, SettingRow{"a,Sync,0,3,1,1,12", 7, 0},
                             SettingRow{"a,Sync,0,3,1,1,ts.12", 7, 12}, SettingRow{"a,Sync,0,3,1,1,ts.12,5,x,-2", 9, 0},
                             SettingRow{"a,Sync,0,3,1,1,ts.12,5,x,-2", 10, static_cast<DWORD>(-2)},
                             SettingRow{"a,Sync,0,3,1,1,ts.12,5", 107, 0}, SettingRow{"w,Sync,1", 108, 7},
                             SettingRow{"w,Down,0", 108, 1}, SettingRow{"w,None,2", 108, 4},
                             SettingRow{"w,Sync,1,x,8", 109, 0}, SettingRow{"w,Sync,1,x,8", 110, 8},
                             SettingRow{"m,Down", 111, 5}, SettingRow{"m,Sync,-1", 112, 0},
                             SettingRow{"x,Sync,1", 108, 0}, SettingRow{"", 0, 0}));

}  // namespace
