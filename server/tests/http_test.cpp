// gwserver as a process over HTTP: start and stop, login and logout, the pages
// that need no login, Basic authentication and the transport's refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include "server/store.h"
#include "server/tests/fixture.h"

namespace gwtest {
namespace {

// Legend: arguments after the program ("DB" is the test's database), the
// exit status, and text that standard output must hold ("" = nothing; a
// leading '=' = exactly the rest).
struct CliRow {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* out;
};

class Cli : public ServerTest, public ::testing::WithParamInterface<CliRow> {};

TEST_P(Cli, ExitsWithTheRightStatus) {
  std::vector<std::string> args = GetParam().args;
  for (auto& a : args)
    if (a == "DB") a = server_.db();
  auto r = server_.admin(args);
  EXPECT_EQ(r.status, GetParam().status) << r.out;
  std::string want = GetParam().out;
  if (want.empty() || want[0] == '=') EXPECT_EQ(r.out, want.empty() ? "" : want.substr(1));
  else EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Cli,
    ::testing::Values(CliRow{"noArguments", {}, 2, ""},                                                 // 0
                      CliRow{"help", {"help"}, 0, "gwserver serve DB"},                                 // 1
                      CliRow{"unknownCommand", {"frobnicate", "DB"}, 2, ""},                            // 2
                      CliRow{"userAddPrintsOnlyTheId", {"user", "add", "DB", "jiro", "x"}, 0, "=3\n"},  // 3
                      CliRow{"duplicateUser", {"user", "add", "DB", "taro", "x"}, 1, ""},               // 4
                      CliRow{"userList", {"user", "list", "DB"}, 0, "1\ttaro\n"},                       // 5
                      CliRow{"syncOfNobody", {"user", "sync", "DB", "nobody", "no"}, 1, ""},            // 6
                      CliRow{"syncBadWord", {"user", "sync", "DB", "taro", "maybe"}, 2, ""},            // 7
                      CliRow{"itemBadType", {"item", "add", "DB", "Photo", "Image"}, 1, ""},            // 8
                      CliRow{"exportOfNobody", {"export", "DB", "nobody"}, 1, ""},                      // 9
                      CliRow{"serveBadPort", {"serve", "DB", "--port", "x"}, 1, ""},                    // 10
                      CliRow{"serveBadOption", {"serve", "DB", "--color"}, 1, ""},                      // 11
                      CliRow{"notADatabase", {"user", "list", "/nonexistent/x.db"}, 1, ""}),            // 12
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerTest, PrintsItsUrlFirstAndStopsCleanlyOnSigterm) {
  server_.start();
  EXPECT_TRUE(std::regex_match(server_.url(), std::regex("http://127\\.0\\.0\\.1:[0-9]+/gw"))) << server_.url();
  EXPECT_GT(server_.port(), 0);
  EXPECT_EQ(server_.stop(), 0);
  EXPECT_FALSE(testutil::rawRequest(server_.port(), "GET /gw?page=SyncPXVersion HTTP/1.1\r\n\r\n").received);
}

TEST_F(ServerTest, StopsCleanlyOnSigintToo) {
  server_.start({"--path", "/groupware/gw"});
  EXPECT_NE(server_.url().find("/groupware/gw"), std::string::npos);
  kill(server_.pid(), SIGINT);
  int status = 0;
  waitpid(server_.pid(), &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ServerTest, RefusesABadDatabaseWithAMessageAndNoUrl) {
  auto r = server_.admin({"serve", (dir_ / "missing.db").string(), "--port", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
}

TEST_F(ServerTest, UserListAndVersionNeedNoLoginAndWriteNamesRaw) {
  server_.start();
  Session s(server_);
  auto users = s.get("page=SyncUserList&_Logout=1&_System=Login");
  EXPECT_EQ(users.status, 200);
  EXPECT_EQ(users.body, taro_ + ",taro\n" + yamada_ + "," + kYamada + "\n");
  auto version = s.get("page=SyncPXVersion&_Logout=1&_System=Login");
  auto ls = lines(version.body);
  ASSERT_GE(ls.size(), 2u);
  auto v = fields(ls[0]);
  EXPECT_EQ(v[0], "version");
  // The client accepts versions 2.0 to 2.9 (major read as ten times the number).
  double major = std::stod(v[1]);
  EXPECT_GE(major, 2.0);
  EXPECT_LT(major, 3.0);
  EXPECT_EQ(fields(ls[1])[0], "ProductID");
}

TEST_F(ServerTest, UserNameWithACommaIsWrittenWhole) {
  std::string id = server_.addUser("Doe, John", "x");
  server_.start();
  Session s(server_);
  EXPECT_NE(s.get("page=SyncUserList").body.find(id + ",Doe, John\n"), std::string::npos);
}

// Legend: how the login is sent, and the error line expected ("" = logged in).
struct LoginRow {
  const char* name;
  const char* idKind;  // "taro", "blocked", "amp", or a literal id
  const char* password;
  const char* error;
};

class Login : public ServerTest, public ::testing::WithParamInterface<LoginRow> {};

TEST_P(Login, AnswersWithACookieOrAnErrorLineAlwaysWithStatus200) {
  std::string blocked = server_.addUser("blocked", "pw");
  ASSERT_EQ(server_.admin({"user", "sync", server_.db(), "blocked", "no"}).status, 0);
  std::string amp = server_.addUser("amp", "a&b+c");
  server_.start();
  Session s(server_);
  std::string kind = GetParam().idKind;
  std::string id = kind == "taro" ? taro_ : kind == "blocked" ? blocked : kind == "amp" ? amp : kind;
  auto r = s.login(id, GetParam().password);
  EXPECT_EQ(r.status, 200);
  std::string cookie = r.header("Set-Cookie");
  if (std::string(GetParam().error).empty()) {
    EXPECT_NE(cookie.find("Login"), std::string::npos) << r.headers;
    EXPECT_EQ(r.body.find("ErrorCode"), std::string::npos) << r.body;
    EXPECT_EQ(s.get("page=SyncToDoCategory").body.find("ErrorCode"), std::string::npos);
  } else {
    EXPECT_EQ(cookie, "");
    EXPECT_EQ(r.body, std::string("ErrorCode,") + GetParam().error + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Login,
                         ::testing::Values(LoginRow{"right", "taro", "pw", ""},                 // 0
                                           LoginRow{"wrongPassword", "taro", "pW", "16404"},    // 1
                                           LoginRow{"emptyPassword", "taro", "", "16404"},      // 2
                                           LoginRow{"unknownId", "999", "pw", "16402"},         // 3
                                           LoginRow{"idNotANumber", "taro%20", "pw", "16402"},  // 4
                                           LoginRow{"mayNotSync", "blocked", "pw", "16405"},    // 5
                                           LoginRow{"unescaped", "amp", "a&b+c", "16404"},      // 6 "&" splits it
                                           LoginRow{"escaped", "amp", "a%26b%2Bc", ""},         // 7 fully escaped
                                           LoginRow{"blockedWrongPw", "blocked", "no",
                                                    "16404"}),  // 8 password checked first
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerTest, DataPagesNeedALoginAndLogoutEndsIt) {
  startAndLogin();
  Session anonymous(server_);
  EXPECT_EQ(anonymous.get("page=SyncMemo&label=P1").body, "ErrorCode,16401\n");
  anonymous.setCookie("GWLogin=0123");
  EXPECT_EQ(anonymous.get("page=SyncMemo&label=P1").body, "ErrorCode,16401\n");
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P1")).size(), 0u);
  // The user list logs out the login its request carries.
  fetch("page=SyncUserList&_Logout=1&_System=Login");
  EXPECT_EQ(fetch("page=SyncMemo&label=P1"), "ErrorCode,16403\n");
  EXPECT_EQ(session_->post("page=SyncMemo&label=P1&i=0&rt=ts.-1").body, "ErrorCode,16403\n");
}

TEST_F(ServerTest, AnIdleLoginExpires) {
  startAndLogin({"--login-timeout", "1"});
  EXPECT_EQ(fetch("page=SyncToDoCategory"), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(fetch("page=SyncToDoCategory"), "ErrorCode,16403\n");
}

TEST_F(ServerTest, SettingsArePerDeviceTypeAndServedAsStored) {
  const std::string palm = "s,Sync,1,3\nt,Sync\na,Sync,0,0,1,0,ts.0,2,3,4\nw,Sync,0\nm,Down\n";
  ASSERT_EQ(server_.admin({"settings", server_.db(), "Palm"}, palm).status, 0);
  ASSERT_EQ(server_.admin({"settings", server_.db(), "PocketPC"}, "m,Sync\n").status, 0);
  EXPECT_NE(server_.admin({"settings", server_.db(), "Newton"}, "m,Sync\n").status, 0);
  startAndLogin();
  EXPECT_EQ(fetch("page=SyncSetting&dtype=Palm&max=19"), palm);
  EXPECT_EQ(fetch("page=SyncSetting&dtype=PocketPC&max=38"), "m,Sync\n");
  EXPECT_EQ(fetch("page=SyncSetting&dtype=Zaurus&max=5"), "");
  EXPECT_EQ(fetch("page=SyncSetting&dtype=Newton&max=5"), "ErrorCode,16406\n");
}

TEST_F(ServerTest, BasicAuthenticationGuardsEveryRequestWithStatus401Only) {
  server_.start({"--basic-auth", "admin:s3cret"});
  Session s(server_);
  auto none = s.get("page=SyncPXVersion");
  EXPECT_EQ(none.status, 401);
  EXPECT_NE(none.header("WWW-Authenticate").find("Basic"), std::string::npos);
  EXPECT_EQ(s.get("page=SyncPXVersion", "Authorization: Basic YWRtaW46d3Jvbmc=\r\n").status, 401);  // admin:wrong
  const std::string good = "Authorization: Basic YWRtaW46czNjcmV0\r\n";                             // admin:s3cret
  EXPECT_EQ(s.get("page=SyncPXVersion", good).status, 200);
  // A wrong user password is an error line, never a 401.
  auto r = s.post("page=PXBlank&_System=login&_Login=1&_ID=" + taro_ + "&Password=bad&Submit=1&sync=1", good);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ErrorCode,16404\n");
}

TEST_F(ServerTest, UnknownPagesPathsAndOversizedBodies) {
  startAndLogin({"--max-body", "2000"});
  EXPECT_EQ(fetch("page=SyncNothing"), "ErrorCode,16408\n");
  EXPECT_EQ(fetch("nopage=1"), "ErrorCode,16408\n");
  EXPECT_EQ(commit("page=SyncSetting&dtype=Palm"), "ErrorCode,16408\n");
  auto other = testutil::rawRequest(server_.port(),
                                    testutil::getRequest(testutil::HttpUrl(server_.url() + "x"), "page=SyncPXVersion"));
  EXPECT_EQ(other.status, 404);
  auto big = session_->post("page=SyncMemo&label=P1&i=0&n=" + std::string(3000, 'x') + "&i=0&rt=ts.-1");
  EXPECT_EQ(big.status, 413);
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P1")).size(), 0u);
}

// An ordinary HTTP client's form POST is read up to --max-body, not cut at
// the 8,192 bytes its HTTP library would take for a form.
TEST_F(ServerTest, LargeFormBodyFromCurlIsCommitted) {
  startAndLogin();
  std::string body = "page=SyncMemo&label=P1";
  for (int i = 0; i < 400; ++i) body += "&i=0&n=memo" + std::to_string(i) + "&d=" + std::string(100, 'x');
  body += "&i=0&rt=ts.-1&sync=1&rw=1";
  ASSERT_GT(body.size(), 40'000u);
  std::string file = (dir_ / "body").string();
  std::ofstream(file, std::ios::binary) << body;
  testutil::CommandResult r = testutil::runCommand({"/usr/bin/env", "curl", "-s", "-S", "-o", "-", "-w", "%{http_code}",
                                                    "-b", "lc=CP932; " + session_->loginCookie(), "-H",
                                                    "Content-Type: application/x-www-form-urlencoded", "--data-binary",
                                                    "@" + file, server_.url()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "200") << r.out;
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P1")).size(), 400u);
}

TEST_F(ServerTest, ConcurrentUsersNeverSeeEachOthersData) {
  startAndLogin();
  Session hanako(server_);
  ASSERT_EQ(hanako.login(yamada_, "pw2").status, 200);
  auto writer = [](Session& s, const std::string& who) {
    for (int i = 0; i < 20; ++i)
      commitAs(s, "page=SyncMemo&label=P1&i=0&n=" + who + std::to_string(i) + "&s=" + std::to_string(i + 1) +
                      "&i=0&rt=ts.-1");
  };
  std::thread a(writer, std::ref(*session_), "taro");
  std::thread b(writer, std::ref(hanako), "hana");
  a.join();
  b.join();
  auto mine = records(fetch("page=SyncMemo&label=P1"));
  auto hers = records(fetchAs(hanako, "page=SyncMemo&label=P1"));
  ASSERT_EQ(mine.size(), 20u);
  ASSERT_EQ(hers.size(), 20u);
  for (const auto& l : mine) EXPECT_EQ(fields(l)[2].substr(0, 4), "taro");
  for (const auto& l : hers) EXPECT_EQ(fields(l)[2].substr(0, 4), "hana");
  // Each commit's pairs replace the stored ones: the last commit's new pair remains.
  auto rel = relationSection(fetch("page=SyncMemo&label=P1"));
  ASSERT_EQ(rel.size(), 2u);
  EXPECT_EQ(fields(rel[1])[1], "20");
}

TEST_F(ServerTest, RequestLogNamesPagesAndOutcomesButNoPasswordOrText) {
  std::string secretUser = server_.addUser("secret", "Pa55-SECRET");
  server_.setErrorLog((dir_ / "server.log").string());
  server_.start({"--log"});
  Session s(server_);
  s.login(secretUser, "wrong-SECRET");
  s.login(secretUser, "Pa55-SECRET");
  commitAs(s, "page=SyncMemo&label=P&i=0&n=SECRET+memo&s=1&i=0&rt=ts.-1");
  server_.stop();
  std::string log = testutil::readFile(dir_ / "server.log");
  EXPECT_NE(log.find("PXBlank 200 ErrorCode,16404"), std::string::npos) << log;
  EXPECT_NE(log.find("POST /gw SyncMemo 200"), std::string::npos) << log;
  EXPECT_EQ(log.find("SECRET"), std::string::npos) << log;
}

TEST_F(ServerTest, AStorageFailureIsAnErrorLineAndTheServerGoesOn) {
  startAndLogin();
  {
    gwserver::Db db(server_.db());
    db.exec("DROP TABLE memos");
  }
  EXPECT_EQ(fetch("page=SyncMemo&label=P"), "ErrorCode,16400\n");
  EXPECT_EQ(commit("page=SyncMemo&label=P&i=0&n=x&s=1&i=0&rt=ts.-1"), "ErrorCode,16400\n");
  {
    // The failed commit wrote no relation data either.
    gwserver::Db db(server_.db());
    gwserver::Stmt s(db, "SELECT COUNT(*) FROM relations");
    ASSERT_TRUE(s.step());
    EXPECT_EQ(s.integer(0), 0);
  }
  EXPECT_EQ(lines(commit("page=SyncToDo&label=P&i=0&n=t&p=1&i=0&rt=ts.5"))[0], "5");
}

TEST_F(ServerTest, ConcurrentCommitsOfOneUserAreSerialised) {
  startAndLogin();
  Session second(server_);
  ASSERT_EQ(second.login(taro_, "pw").status, 200);
  std::atomic<int> refused{0};
  auto writer = [&refused](Session& s, int base) {
    for (int i = 0; i < 15; ++i) {
      std::string k = std::to_string(base + i);
      std::string r = commitAs(s, "page=SyncMemo&label=P1&i=0&n=m" + k + "&s=" + k + "&i=0&rt=ts.-1");
      if (r.find("ErrorCode") != std::string::npos || lines(r).size() != 2) ++refused;
    }
  };
  std::thread a(writer, std::ref(*session_), 100);
  std::thread b(writer, std::ref(second), 200);
  a.join();
  b.join();
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P1")).size(), 30u);
}

}  // namespace
}  // namespace gwtest
