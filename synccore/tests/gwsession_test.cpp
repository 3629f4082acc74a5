// The session wrapper against a real gwserver: open, locale, login by name,
// label and settings, and exactly one server-error message per failure.
#include "synccore/gwsession.h"

#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "synccore/tests/logcapture.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace {

const char kPalmSettings[] =
    "s,Sync,1,3\n"
    "t,Sync\n"
    "a,Sync,0,0,0,0,ts.0,1,-9,2,3\n"
    "w,Sync,0,0,0\n"
    "m,Sync,0\n";

class GWSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    taroId_ = std::stoul(server_.addUser("taro", "taro-pw"));
    server_.addUser("hanako", "hanako-pw");
    ASSERT_EQ(server_.admin({"settings", server_.db(), "Palm"}, kPalmSettings).status, 0);
  }
  void start(const std::vector<std::string>& extra = {}) { server_.start(extra); }
  void arm(const std::string& query) {
    std::string base = server_.url().substr(0, server_.url().rfind('/'));
    auto r = testutil::rawRequest(server_.port(), testutil::getRequest(testutil::HttpUrl(base + "/_fault"), query));
    ASSERT_EQ(r.status, 200) << query;
  }
  // The one server-error message the test expects, whole.
  void expectOneReport(const std::string& text) {
    ASSERT_EQ(log_.entries().size(), 1u) << log_.all();
    EXPECT_EQ(log_.entries()[0].text, "Server request failed: " + text + "\r\n");
    EXPECT_EQ(log_.entries()[0].level, 1);
  }

  testutil::TempDir dir_{"gwsession"};
  testutil::LogCapture log_{dir_.path()};
  testutil::GwServer server_{dir_.path()};
  unsigned long taroId_ = 0;
  CGWSession session_;
};

TEST_F(GWSessionTest, OpenLoginLabelAndSettings) {
  start();
  std::string trace = (dir_ / "trace").string();
  g_TraceObj.start(9, TraceToFile, trace.c_str(), 1000, 2, false, false);
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  ASSERT_TRUE(session_.setLocale("CP932"));
  ASSERT_EQ(session_.login("taro", "taro-pw"), GWLOGIN_OK);
  ASSERT_TRUE(session_.setLabel("Palm", 7));
  session_.logout();
  session_.close();
  g_TraceObj.stop();
  EXPECT_TRUE(log_.entries().empty()) << log_.all();

  const __SYNC5_SET* set = session_.getSyncSet();
  EXPECT_EQ(set->nScheduleMode, 3u);
  EXPECT_EQ(set->nScheduleNumberA, 1u);
  EXPECT_EQ(set->nScheduleNumberB, 3u);
  EXPECT_EQ(set->nAddressMode, 3u);
  EXPECT_EQ(set->nRelations[0], 1);
  EXPECT_EQ(set->nRelations[1], -9);
  EXPECT_EQ(set->nMemoMode, 3u);

  std::string traced = testutil::readFile(trace);
  EXPECT_NE(traced.find("GWSession|open URL(" + server_.url() + ") Proxy(:0)opened"), std::string::npos);
  EXPECT_NE(traced.find("GWSession|setLocale codepage:CP932"), std::string::npos);
  EXPECT_NE(traced.find("GWSession|login user taro logined"), std::string::npos);
  EXPECT_NE(traced.find("GWSession|logout Logouted"), std::string::npos);
  EXPECT_NE(traced.find("GWSession|close Closed"), std::string::npos);
  EXPECT_EQ(traced.find("taro-pw"), std::string::npos);
}

TEST_F(GWSessionTest, UserNameCaseMattersAndIsReportedOnce) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(session_.login("Taro", "taro-pw"), GWLOGIN_USER_NOT_FOUND);
  expectOneReport("FindFirst/NextUser (error 0, detail 0) User(Taro) not found.");
}

TEST_F(GWSessionTest, WrongPasswordAnswersTheServerCodeWithoutReport) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(session_.login("hanako", "wrong"), GWLOGIN_SERVER_USER);
  EXPECT_TRUE(log_.entries().empty()) << log_.all();
}

TEST_F(GWSessionTest, UserListFailureIsOneReportWithTheStatus) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  arm("page=SyncUserList&status=503");
  EXPECT_EQ(session_.login("taro", "taro-pw"), GWLOGIN_FAILED);
  expectOneReport("FindFirstUser (error 8, detail 503) ");
}

TEST_F(GWSessionTest, LoginRefusedByAServerErrorIsOneReport) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  arm("page=PXBlank&error=16400");
  EXPECT_EQ(session_.login("taro", "taro-pw"), GWLOGIN_REFUSED);
  expectOneReport("Login (error 21, detail 16400) User:taro Id:" + std::to_string(taroId_));
}

TEST_F(GWSessionTest, LoginNotAllowedAnswersSeven) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  arm("page=PXBlank&error=16405");
  EXPECT_EQ(session_.login("taro", "taro-pw"), GWLOGIN_SERVER_LOGIN);
  EXPECT_TRUE(log_.entries().empty()) << log_.all();
}

TEST_F(GWSessionTest, BadUrlIsOneReport) {
  EXPECT_FALSE(session_.open("no url", nullptr, nullptr, nullptr, 0));
  expectOneReport("Open (error 5, detail 0) URL(no url) is Invalid.");
}

TEST_F(GWSessionTest, HttpCredentialsOnlyWhenAUserIsGiven) {
  start({"--basic-auth", "web:web-pw"});
  // Without a user no credentials are sent: the server answers 401.
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, "web-pw", nullptr, 0));
  EXPECT_EQ(session_.login("taro", "taro-pw"), GWLOGIN_FAILED);
  expectOneReport("FindFirstUser (error 7, detail 401) ");
  session_.close();
  log_.clear();
  CGWSession withUser;
  ASSERT_TRUE(withUser.open(server_.url().c_str(), "web", "web-pw", nullptr, 0));
  EXPECT_EQ(withUser.login("taro", "taro-pw"), GWLOGIN_OK);
  EXPECT_TRUE(log_.entries().empty()) << log_.all();
}

TEST_F(GWSessionTest, LabelNamesAreExactAndFailuresReportedOnce) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(session_.login("taro", "taro-pw"), GWLOGIN_OK);
  EXPECT_FALSE(session_.setLabel("palm", 1));
  expectOneReport("GetSettingFor... (error 0, detail 0) syncname:palm");
  EXPECT_EQ(session_.getSyncSet()->nAddressMode, 0u);

  log_.clear();
  arm("page=SyncSetting&status=500");
  EXPECT_FALSE(session_.setLabel("Palm", 1));
  expectOneReport("GetSettingForPalm (error 8, detail 500) ");
}

TEST_F(GWSessionTest, FindFirstUserTellsAnEmptyListFromAFailure) {
  start();
  ASSERT_TRUE(session_.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  bool ok = false;
  __USER_DATA* u = session_.findFirstUser(&ok);
  ASSERT_NE(u, nullptr);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(log_.entries().empty()) << log_.all();
  CGWSession other;
  ASSERT_TRUE(other.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
  arm("page=SyncUserList&drop=1");
  EXPECT_EQ(other.findFirstUser(&ok), nullptr);
  EXPECT_FALSE(ok);
  ASSERT_EQ(log_.entries().size(), 1u);
  EXPECT_NE(log_.entries()[0].text.find("Server request failed: FindFirstUser (error 11, detail 0)"), std::string::npos)
      << log_.all();
}

}  // namespace
