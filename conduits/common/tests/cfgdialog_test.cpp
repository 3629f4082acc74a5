// The configuration dialogs, driven by scripted answers against a real
// gwserver: the user list, the connection test and its messages, OK's checks,
// saving (or not) to the registry, and the Basic authentication dialog. The
// server version check runs against a scripted HTTP server.
#include "conduits/common/cfgdialog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/msgids.h"
#include "platform/dialog.h"
#include "platform/msgbox.h"
#include "platform/registry.h"
#include "testutil/fake_http_server.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace {

const char kCaption[] = "Address Book settings";
const char kChoose[] = "(choose a user)";
const char kUserKey[] = "Software\\GWSync\\Palm\\Ann";

class ConfigDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("GWSYNC_HSLOG", (dir_ / "hotsync.log").c_str(), 1);
    ::setenv("GWSYNC_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1);
    ::setenv("GWSYNC_DIALOG_LOG", (dir_ / "dialogs").c_str(), 1);
    ::unsetenv("GWSYNC_MSGBOX_ANSWERS");
    std::string command = std::string(GWSYNC_TEST_BINDIR) + "/logtext-install >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    server_.addUser("taro", "taro-pw");
    server_.addUser("hanako", "hanako-pw");
    server_.addUser("jiro", "jiro-pw");
  }

  // Stores Ann's configuration as an earlier OK would have.
  void configure(const std::string& url, const std::string& user, const std::string& password) {
    CGWSyncConf conf;
    conf.setKeyName("Ann");
    ASSERT_TRUE(conf.load());
    conf.setServerUrl(url.c_str());
    conf.setServerUser(user.c_str());
    conf.setServerPassword(password.c_str());
    ASSERT_TRUE(conf.save());
  }
  CGWSyncConf stored() {
    CGWSyncConf conf;
    conf.setKeyName("Ann");
    EXPECT_TRUE(conf.load());
    return conf;
  }

  // Runs the configuration of Ann with these answer lines.
  bool run(const std::vector<std::string>& answers) {
    std::string path = (dir_ / ("answers" + std::to_string(++runs_))).string();
    std::ofstream out(path, std::ios::binary);
    for (const auto& line : answers) out << line << "\n";
    out.close();
    ::setenv("GWSYNC_DIALOG_SCRIPT", path.c_str(), 1);
    return runConfiguration("Ann", kCaption, kChoose);
  }

  std::vector<platform::MessageBoxRecord> boxes() const {
    return platform::readMessageBoxLog((dir_ / "boxes").string());
  }
  // The text the message library gives id.
  static std::string text(DWORD id) {
    EXPECT_EQ(Log::openLog(nullptr), 0u);
    char buf[1024];
    Log::getMessage(id, buf, sizeof buf);
    Log::closeLog();
    return buf;
  }
  // The texts of the boxes shown, in order; each must carry the caption.
  std::vector<std::string> boxTexts() const {
    std::vector<std::string> out;
    for (const auto& b : boxes()) {
      EXPECT_EQ(b.caption, kCaption);
      out.push_back(b.text);
    }
    return out;
  }
  static std::vector<std::string> texts(std::initializer_list<DWORD> ids) {
    std::vector<std::string> out;
    for (DWORD id : ids) out.push_back(text(id));
    return out;
  }

  // Leaves the registry readable but makes every change fail: its lock
  // cannot be taken.
  void blockRegistryWrites() {
    std::filesystem::remove(dir_ / "registry.reg.lock");
    ASSERT_EQ(::mkdir((dir_ / "registry.reg.lock").c_str(), 0700), 0);
  }

  // The forms of one resource as logged, in order.
  std::vector<platform::DialogLogRecord> forms(int resourceId) const {
    std::vector<platform::DialogLogRecord> out;
    for (auto& r : platform::readDialogLog((dir_ / "dialogs").string()))
      if (r.type == platform::DialogLogRecord::Form && r.resourceId == resourceId) out.push_back(r);
    return out;
  }
  static const platform::DialogLogControl& controlOf(const platform::DialogLogRecord& form, int id) {
    for (const auto& c : form.controls)
      if (c.id == id) return c;
    static platform::DialogLogControl none;
    ADD_FAILURE() << "no control " << id;
    return none;
  }

  testutil::TempDir dir_{"cfgdialog"};
  testutil::GwServer server_{dir_.path()};
  int runs_ = 0;
};

TEST_F(ConfigDialogTest, OpeningListsTheUsersInServerOrderAndSelectsTheConfiguredOne) {
  server_.start();
  configure(server_.url(), "hanako", "hanako-pw");
  EXPECT_FALSE(run({"cancel"}));
  EXPECT_TRUE(boxes().empty()) << boxTexts()[0];

  auto shown = forms(IDD_SERVER_SETTINGS);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown[0].title, kCaption);
  const auto& user = controlOf(shown[0], IDC_USER);
  EXPECT_EQ(user.items, (std::vector<std::string>{kChoose, "taro", "hanako", "jiro"}));
  EXPECT_EQ(user.selection, 2);
  EXPECT_EQ(controlOf(shown[0], IDC_SERVER_URL).value, server_.url());
  EXPECT_EQ(controlOf(shown[0], IDC_PASSWORD).value, "********");
  EXPECT_EQ(testutil::readFile(dir_ / "dialogs").find("hanako-pw"), std::string::npos);
}

TEST_F(ConfigDialogTest, AUserTheServerDoesNotKnowSelectsTheChoiceEntry) {
  server_.start();
  configure(server_.url(), "Taro", "x");  // names compare with case
  run({"cancel"});
  const auto shown = forms(IDD_SERVER_SETTINGS);
  const auto& user = controlOf(shown.at(0), IDC_USER);
  EXPECT_EQ(user.selection, 0);
  EXPECT_EQ(user.value, kChoose);
}

TEST_F(ConfigDialogTest, RefreshUsesTheEditedAddress) {
  server_.start();
  configure("http://127.0.0.1:1/gw", "jiro", "jiro-pw");
  EXPECT_FALSE(run({"url=" + server_.url(), "refresh", "cancel"}));
  // Opening could not reach the server: the configured user stays in the box.
  EXPECT_EQ(boxTexts(), texts({MSG_TEST_OPEN_FAILED}));
  EXPECT_EQ(boxes()[0].icon, "information");
  auto shown = forms(IDD_SERVER_SETTINGS);
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(controlOf(shown[0], IDC_USER).value, "jiro");
  EXPECT_EQ(controlOf(shown[0], IDC_USER).items, std::vector<std::string>{kChoose});
  const auto& after = controlOf(shown.back(), IDC_USER);
  EXPECT_EQ(after.items.size(), 4u);
  EXPECT_EQ(after.selection, 3);
  // Cancel: nothing of the edit reached the registry.
  EXPECT_STREQ(stored().getServerUrl(), "http://127.0.0.1:1/gw");
}

// The connection test. Legend: the user answer, the password answer, what is
// done to the server first, the message shown last.
enum class ServerState { Up, Down, UserMayNotSync, VersionNeedsLogin };
struct TestRow {
  std::string user;
  std::string password;
  ServerState state;
  DWORD message;
};

class ConnectionTest : public ConfigDialogTest, public ::testing::WithParamInterface<TestRow> {};

TEST_P(ConnectionTest, ShowsHowFarTheLoginGot) {
  const TestRow& row = GetParam();
  if (row.state == ServerState::UserMayNotSync) {
    ASSERT_EQ(server_.admin({"user", "sync", server_.db(), "taro", "no"}).status, 0);
  }
  server_.start();
  configure(server_.url(), "", "");
  if (row.state == ServerState::Down) server_.stop();
  if (row.state == ServerState::VersionNeedsLogin) {
    // Both version reads, on opening and in the test, are refused.
    std::string base = server_.url().substr(0, server_.url().rfind('/'));
    auto r = testutil::rawRequest(server_.port(), testutil::getRequest(testutil::HttpUrl(base + "/_fault"),
                                                                       "page=SyncPXVersion&error=16401&count=2"));
    ASSERT_EQ(r.status, 200);
  }
  EXPECT_FALSE(run({"user=" + row.user, "password=" + row.password, "test", "cancel"}));
  std::vector<std::string> shown = boxTexts();
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), text(row.message));
  EXPECT_EQ(boxes().back().icon, (row.message >> 30) == 3 ? "stop" : "information");
  // Nothing is saved by a test.
  EXPECT_STREQ(stored().getServerUser(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, ConnectionTest,
                         ::testing::Values(
                             /* 0 succeeds         */ TestRow{"taro", "taro-pw", ServerState::Up, MSG_TEST_SUCCEEDED},
                             /* 1 wrong password   */
                             TestRow{"taro", "wrong", ServerState::Up, MSG_LOGIN_BAD_CREDENTIALS},
                             /* 2 typed, unknown   */
                             TestRow{"saburo", "x", ServerState::Up, MSG_TEST_USER_NOT_FOUND},
                             /* 3 choice entry     */ TestRow{"#0", "x", ServerState::Up, MSG_CFG_NO_USER},
                             /* 4 empty user       */ TestRow{"", "x", ServerState::Up, MSG_CFG_NO_USER},
                             /* 5 may not sync     */
                             TestRow{"taro", "taro-pw", ServerState::UserMayNotSync, MSG_TEST_LOGIN_REFUSED},
                             /* 6 server down      */
                             TestRow{"taro", "taro-pw", ServerState::Down, MSG_TEST_OPEN_FAILED},
                             /* 7 version: error 18*/
                             TestRow{"taro", "taro-pw", ServerState::VersionNeedsLogin, MSG_LOGIN_EXPIRED}));

TEST_F(ConfigDialogTest, OkRefusesNoUserAndNoAddressThenSaves) {
  server_.start();
  configure(server_.url(), "", "");
  EXPECT_TRUE(run({"user=#0", "ok",              // no user
                   "user=hanako", "url=", "ok",  // no address
                   "url=" + server_.url(), "password=hanako-pw", "ok"}));
  EXPECT_EQ(boxTexts(), texts({MSG_CFG_NO_USER, MSG_CFG_NO_SERVER_URL}));
  CGWSyncConf conf = stored();
  EXPECT_STREQ(conf.getServerUser(), "hanako");
  EXPECT_STREQ(conf.getServerPassword(), "hanako-pw");
  EXPECT_STREQ(conf.getServerUrl(), server_.url().c_str());
  EXPECT_EQ(conf.getDetailLog(), 1u);
}

TEST_F(ConfigDialogTest, ANewUserSavesWithoutAReachableServer) {
  // No server at the default address: the user types the name.
  EXPECT_TRUE(run({"url=http://127.0.0.1:1/gw", "user=taro", "ok"}));
  EXPECT_EQ(boxTexts(), texts({MSG_TEST_OPEN_FAILED}));
  EXPECT_STREQ(stored().getServerUser(), "taro");
}

TEST_F(ConfigDialogTest, CancelAndEndOfAnswersSaveNothing) {
  server_.start();
  configure(server_.url(), "taro", "taro-pw");
  EXPECT_FALSE(run({"user=jiro", "password=other", "refresh", "cancel"}));
  EXPECT_FALSE(run({"user=jiro", "url=http://elsewhere/"}));  // answers end
  CGWSyncConf conf = stored();
  EXPECT_STREQ(conf.getServerUser(), "taro");
  EXPECT_STREQ(conf.getServerPassword(), "taro-pw");
  EXPECT_STREQ(conf.getServerUrl(), server_.url().c_str());
}

TEST_F(ConfigDialogTest, BasicAuthDialogNeedsUserAndPasswordWhenEnabled) {
  server_.start({"--basic-auth", "web:web-pw"});
  configure(server_.url(), "taro", "taro-pw");
  EXPECT_TRUE(run({"auth", "enable=on", "ok",  // no user name
                   "user=web", "ok",           // no password
                   "password=web-pw", "ok",    // back in the main dialog
                   "refresh", "ok"}));
  // Opening failed (the server wants credentials); the refresh with them works.
  EXPECT_EQ(boxTexts(), texts({MSG_TEST_OPEN_FAILED, MSG_AUTH_NO_USER_NAME, MSG_AUTH_NO_PASSWORD}));
  auto main = forms(IDD_SERVER_SETTINGS);
  EXPECT_EQ(controlOf(main.back(), IDC_USER).selection, 1);
  auto auth = forms(IDD_BASIC_AUTH);
  ASSERT_FALSE(auth.empty());
  EXPECT_FALSE(controlOf(auth[0], IDC_BA_USER).enabled);  // unchecked at first
  EXPECT_FALSE(controlOf(auth[0], IDC_BA_PASSWORD).enabled);
  EXPECT_TRUE(controlOf(auth[1], IDC_BA_USER).enabled);
  CGWSyncConf conf = stored();
  EXPECT_EQ(conf.getBasicAuth(), 1u);
  EXPECT_STREQ(conf.getBasicAuthUser(), "web");
  EXPECT_STREQ(conf.getBasicAuthPassword(), "web-pw");
  EXPECT_EQ(testutil::readFile(dir_ / "dialogs").find("web-pw"), std::string::npos);
}

TEST_F(ConfigDialogTest, UncheckingDisablesTheEditsAndCancelKeepsTheOldValues) {
  server_.start();
  configure(server_.url(), "taro", "taro-pw");
  ASSERT_TRUE(run({"auth", "enable=on", "user=web", "password=web-pw", "ok", "ok"}));
  EXPECT_TRUE(run({"auth", "user=other", "cancel",                      // cancelled
                   "auth", "enable=off", "user=x", "password=y", "ok",  // edits refused
                   "ok"}));
  EXPECT_TRUE(boxes().empty());
  CGWSyncConf conf = stored();
  EXPECT_EQ(conf.getBasicAuth(), 0u);
  EXPECT_STREQ(conf.getBasicAuthUser(), "web");
  EXPECT_STREQ(conf.getBasicAuthPassword(), "web-pw");
  int refused = 0;
  for (auto& r : platform::readDialogLog((dir_ / "dialogs").string()))
    refused += r.resourceId == IDD_BASIC_AUTH && r.outcome == "disabled";
  EXPECT_EQ(refused, 2);
}

TEST_F(ConfigDialogTest, ASaveThatFailsIsShown) {
  server_.start();
  configure(server_.url(), "taro", "taro-pw");
  // The registry can still be read, but no change can be written.
  blockRegistryWrites();
  EXPECT_FALSE(run({"user=hanako", "ok"}));
  EXPECT_EQ(boxTexts(), texts({MSG_CONFIG_NOT_SAVED}));
  EXPECT_EQ(boxes()[0].icon, "stop");
}

TEST_F(ConfigDialogTest, AConfigurationThatCannotBeLoadedIsLoggedAndTheDefaultsEdited) {
  // Ann has no key yet, and none can be created.
  blockRegistryWrites();
  EXPECT_FALSE(run({"cancel"}));
  EXPECT_NE(testutil::readFile(dir_ / "hotsync.log").find(text(MSG_CONFIG_NOT_LOADED).substr(0, 40)),
            std::string::npos);
  auto shown = forms(IDD_SERVER_SETTINGS);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(controlOf(shown[0], IDC_SERVER_URL).value, "http://");
}

// The version check against a scripted server. Legend: the reply to the
// version page, the result of connectForConfiguration.
struct VersionRow {
  int status;
  std::string body;
  int result;
};

class VersionCheck : public ::testing::TestWithParam<VersionRow> {};

TEST_P(VersionCheck, AcceptsOnlyMajorVersionsTwoPointSomething) {
  testutil::FakeHttpServer server;
  server.reply(testutil::httpReply(GetParam().status, GetParam().body));
  CGWSyncConf conf;
  conf.setServerUrl(server.url("/gw").c_str());
  COfficeSession session;
  EXPECT_EQ(connectForConfiguration(session, conf), GetParam().result);
  session.Close();
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_NE(server.request(0).find("page=SyncPXVersion"), std::string::npos);
  EXPECT_NE(server.request(0).find("Cookie: lc=CP1252"), std::string::npos) << server.request(0);
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionCheck,
                         ::testing::Values(/* 0 */ VersionRow{200, "version,1.9,0\n", CFGCONNECT_OPEN},
                                           /* 1 */ VersionRow{200, "version,2.0,0\n", CFGCONNECT_OK},
                                           /* 2 */ VersionRow{200, "version,2.9,9\n", CFGCONNECT_OK},
                                           /* 3 */ VersionRow{200, "version,3.0,0\n", CFGCONNECT_OPEN},
                                           /* 4 */ VersionRow{200, "ProductID,x\n", CFGCONNECT_OPEN},
                                           /* 5 */ VersionRow{200, "ErrorCode,16403\n", CFGCONNECT_SERVER_AUTH},
                                           /* 6 */ VersionRow{200, "ErrorCode,16404\n", CFGCONNECT_SERVER_USER},
                                           /* 7 */ VersionRow{200, "ErrorCode,16405\n", CFGCONNECT_OPEN},
                                           /* 8 */ VersionRow{500, "", CFGCONNECT_OPEN}));

}  // namespace
