// The session against a scripted server: the exact bytes of every request,
// and what each reply makes of the result, the last error and the detail.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "testutil/fake_http_server.h"

namespace {

using testutil::httpReply;

const char kLoginCookie[] = "Set-Cookie: Login=abc123; path=/";
const char kUsersGet[] =
    "GET /gw?page=SyncUserList&_Logout=1&_System=Login&sync=1 HTTP/1.1\r\n"
    "Host: {host}\r\n"
    "\r\n";

std::string loginPost(const std::string& formBody, const std::string& headers = "") {
  return "POST /gw? HTTP/1.1\r\nHost: {host}\r\n" + headers + "Content-Length: " + std::to_string(formBody.size()) +
         "\r\n\r\n" + formBody;
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The system's proxy setting must not send loopback tests elsewhere.
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
  }
  bool open(const std::string& path = "/gw") { return session.Open(server.url(path).c_str(), nullptr, 0) == 1; }
  std::string expected(const std::string& text) { return testutil::withHost(text, server.host()); }

  testutil::FakeHttpServer server;
  COfficeSession session;
};

// ---------------------------------------------------------------------------
// Login: one table row per reply the server may give.

// Legend: the scripted replies; password; retry count; expected result, last
// error, detail error; the number of requests the server sees.
struct LoginRow {
  const char* name;
  std::vector<std::string> replies;
  const char* password;
  DWORD retry;
  int result;
  DWORD error;
  DWORD detail;
  size_t requests;
};
void PrintTo(const LoginRow& r, std::ostream* os) { *os << r.name; }

class LoginTest : public ProtocolTest, public ::testing::WithParamInterface<LoginRow> {};

TEST_P(LoginTest, ReplyDecides) {
  const LoginRow& row = GetParam();
  for (const auto& r : row.replies) server.reply(r);
  ASSERT_TRUE(session.SetTimeout(5000, row.retry));
  ASSERT_TRUE(open());
  EXPECT_EQ(session.Login(7, row.password), row.result);
  EXPECT_EQ(session.GetLastError(), row.error);
  EXPECT_EQ(session.GetDetailError(), row.detail);
  EXPECT_EQ(server.requestCount(), row.requests);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoginTest,
    ::testing::Values(
        LoginRow{"Cookie", {httpReply(200, "", {kLoginCookie})}, "pw", 1, 1, 0, 0, 1},
        LoginRow{"CookieOn500", {httpReply(500, "", {kLoginCookie})}, "pw", 1, 1, 0, 0, 1},
        LoginRow{"HeaderNameAnyCase", {httpReply(200, "", {"set-COOKIE: Login=1"})}, "pw", 1, 1, 0, 0, 1},
        LoginRow{
            "LoginAnywhereInTheLine", {httpReply(200, "", {"Set-Cookie: sid=1; Comment=Login"})}, "pw", 1, 1, 0, 0, 1},
        LoginRow{"LoginIsCaseSensitive", {httpReply(200, "", {"Set-Cookie: login=1"})}, "pw", 1, 0, 9, 0, 1},
        LoginRow{"NoCookie", {httpReply(200, "ok\n")}, "pw", 1, 0, 9, 0, 1},
        LoginRow{"ErrorLineBeatsCookie",
                 {httpReply(200, "ErrorCode,16405,bad password\n", {kLoginCookie})},
                 "pw",
                 1,
                 0,
                 20,
                 0,
                 1},
        LoginRow{"UnknownServerError", {httpReply(200, "x\nErrorCode,777\n", {kLoginCookie})}, "pw", 1, 0, 21, 777, 1},
        LoginRow{
            "UnauthorizedStopsAtOnce", {httpReply(401, ""), httpReply(200, "", {kLoginCookie})}, "pw", 3, 0, 7, 0, 1},
        LoginRow{"DroppedThenAnswered",
                 // an empty reply: the connection closes unanswered
                 {std::string(), httpReply(200, "", {kLoginCookie})},
                 "pw",
                 2,
                 1,
                 0,
                 0,
                 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, LoginSendsTheFormWithThePasswordEscaped) {
  server.reply(httpReply(200, "", {kLoginCookie}));
  ASSERT_TRUE(open());
  ASSERT_TRUE(session.Login(42, "a&b=c+d%e f"));
  EXPECT_EQ(server.request(0), expected(loginPost("page=PXBlank&_System=login&_Login=1&_ID=42"
                                                  "&Password=a%26b%3Dc%2Bd%25e+f&Submit=1&sync=1")));
}

TEST_F(ProtocolTest, RemoteSessionSaysSoInLoginAndFetch) {
  server.reply(httpReply(200, "", {kLoginCookie}));
  server.reply(httpReply(200, "1,Ann\n"));
  session.SetRemoteSync();
  ASSERT_TRUE(open());
  ASSERT_TRUE(session.Login(1, ""));
  ASSERT_NE(session.FindFirstUser(), nullptr);
  EXPECT_EQ(server.request(0), expected(loginPost("page=PXBlank&_System=login&_Login=1&_ID=1&Password="
                                                  "&Submit=1&remote=1&sync=1")));
  EXPECT_EQ(server.request(1), expected("GET /gw?page=SyncUserList&_Logout=1&_System=Login&remote=1&sync=1 "
                                        "HTTP/1.1\r\nHost: {host}\r\nCookie: Login=abc123\r\n\r\n"));
}

TEST_F(ProtocolTest, CookiesOfLoginAndLocaleGoWithEveryLaterRequest) {
  server.reply(httpReply(200, "", {kLoginCookie}));
  server.reply(httpReply(200, "version,2.5,1.0\n"));
  ASSERT_TRUE(open());
  ASSERT_EQ(session.SetLocale("CP932"), 1);
  ASSERT_TRUE(session.Login(3, "pw"));
  EXPECT_EQ(session.Version(), (25u << 16) | 10u);
  EXPECT_EQ(server.request(0), expected(loginPost("page=PXBlank&_System=login&_Login=1&_ID=3&Password=pw"
                                                  "&Submit=1&sync=1",
                                                  "Cookie: lc=CP932\r\n")));
  EXPECT_EQ(server.request(1), expected("GET /gw?page=SyncPXVersion&_Logout=1&_System=Login&sync=1 HTTP/1.1\r\n"
                                        "Host: {host}\r\nCookie: Login=abc123; lc=CP932\r\n\r\n"));
}

TEST_F(ProtocolTest, FailedLoginAfterASuccessfulOneIsAFailure) {
  server.reply(httpReply(200, "", {kLoginCookie}));
  server.reply(httpReply(200, "no cookie this time\n"));
  ASSERT_TRUE(open());
  ASSERT_EQ(session.Login(1, "right"), 1);
  EXPECT_EQ(session.Login(1, "wrong"), 0);
  EXPECT_EQ(session.GetLastError(), 9u);
}

TEST_F(ProtocolTest, OpenWithLoginClosesAgainWhenTheLoginFails) {
  server.reply(httpReply(200, "ErrorCode,16402\n"));
  EXPECT_EQ(session.Open(server.url("/gw").c_str(), 9, "pw", nullptr, 0), 0);
  EXPECT_EQ(session.GetLastError(), 19u);
  EXPECT_FALSE(session.IsOpen());
}

// ---------------------------------------------------------------------------
// Fetches: status codes, retries, time-outs and the cache.

TEST_F(ProtocolTest, FetchRetriesUntilTheThirdAttemptSucceeds) {
  server.reply(httpReply(500, ""));
  server.reply(httpReply(500, ""));
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_TRUE(session.SetTimeout(5000, 3));
  ASSERT_TRUE(open());
  __USER_DATA* user = session.FindFirstUser();
  ASSERT_NE(user, nullptr);
  EXPECT_STREQ(user->pszName, "Ann");
  EXPECT_EQ(session.GetLastError(), 0u);
  EXPECT_EQ(session.GetDetailError(), 0u);
  ASSERT_EQ(server.requestCount(), 3u);
  for (const auto& r : server.requests()) EXPECT_EQ(r, expected(kUsersGet));
}

TEST_F(ProtocolTest, FetchStopsAtUnauthorized) {
  server.reply(httpReply(401, ""));
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_TRUE(session.SetTimeout(5000, 3));
  ASSERT_TRUE(open());
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 7u);
  EXPECT_EQ(session.GetDetailError(), 401u);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(ProtocolTest, DetailIsTheStatusUntilTheNextSuccess) {
  server.reply(httpReply(404, ""));
  server.reply(httpReply(200, "version,1.0,0\n"));
  ASSERT_TRUE(open());
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 8u);
  EXPECT_EQ(session.GetDetailError(), 404u);
  EXPECT_EQ(session.Version(), 10u << 16);
  EXPECT_EQ(session.GetDetailError(), 0u);
}

TEST_F(ProtocolTest, RetryCountZeroStillSendsOnce) {
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_TRUE(session.SetTimeout(5000, 0));
  ASSERT_TRUE(open());
  EXPECT_NE(session.FindFirstUser(), nullptr);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(ProtocolTest, LoadedPageIsServedFromMemory) {
  server.reply(httpReply(200, "1,Ann\n2,Bob\n"));
  ASSERT_TRUE(open());
  ASSERT_NE(session.FindFirstUser(), nullptr);
  __USER_DATA* again = session.FindFirstUser();
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again->pszName, "Ann");
  EXPECT_STREQ(session.FindNextUser()->pszName, "Bob");
  EXPECT_EQ(session.FindNextUser(), nullptr);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(ProtocolTest, ReceiveTimeOutFailsTheRequest) {
  server.reply(testutil::ScriptedReply{httpReply(200, "1,Ann\n"), 3000, false});
  ASSERT_TRUE(session.SetTimeout(500, 1));
  ASSERT_TRUE(open());
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 11u);
}

TEST_F(ProtocolTest, DroppedConnectionFailsWithSendError) {
  server.reply(testutil::ScriptedReply{"", 0, true});
  ASSERT_TRUE(open());
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 11u);
}

TEST_F(ProtocolTest, UnreachableServerFailsTheFirstRequest) {
  int port;
  {
    testutil::FakeHttpServer gone;
    port = gone.port();
  }
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/gw";
  ASSERT_EQ(session.Open(url.c_str(), nullptr, 0), 1);  // sends nothing
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 11u);
  EXPECT_EQ(session.Login(1, "pw"), 0);
  EXPECT_EQ(session.GetLastError(), 11u);
}

TEST_F(ProtocolTest, OpenSendsNothing) {
  ASSERT_TRUE(open());
  session.Close();
  EXPECT_EQ(server.requestCount(), 0u);
}

// ---------------------------------------------------------------------------
// Error lines: every code the server may answer.

// Legend: reply body; last error; detail error.
struct ErrorRow {
  const char* body;
  DWORD error;
  DWORD detail;
};
void PrintTo(const ErrorRow& r, std::ostream* os) { *os << r.body; }

class ErrorLineTest : public ProtocolTest, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(ErrorLineTest, SetsTheErrorItStandsFor) {
  server.reply(httpReply(200, GetParam().body));
  ASSERT_TRUE(open());
  __USER_DATA* first = session.FindFirstUser();
  EXPECT_EQ(session.GetLastError(), GetParam().error) << GetParam().body;
  EXPECT_EQ(session.GetDetailError(), GetParam().detail);
  EXPECT_EQ(first == nullptr, GetParam().error != 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, ErrorLineTest,
                         ::testing::Values(ErrorRow{"ErrorCode,16401\n", 18, 0}, ErrorRow{"ErrorCode,16403,x\n", 18, 0},
                                           ErrorRow{"ErrorCode,16402\n", 19, 0}, ErrorRow{"ErrorCode,16404\n", 19, 0},
                                           ErrorRow{"ErrorCode,16405\n", 20, 0},
                                           ErrorRow{"1,Ann\nErrorCode,99\n", 21, 99},
                                           ErrorRow{"ErrorCode,\"16405\"\r\n", 20, 0},
                                           // not at column 0, or not the exact word
                                           ErrorRow{"1, ErrorCode,16405\n", 0, 0},
                                           ErrorRow{"2,errorcode,16405\n", 0, 0}));

TEST_F(ProtocolTest, PageWithAnErrorLineStaysUnloaded) {
  server.reply(httpReply(200, "1,Ann\nErrorCode,16405\n2,Bob\n"));
  server.reply(httpReply(200, "3,Cy\n"));
  ASSERT_TRUE(open());
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 20u);
  __USER_DATA* user = session.FindFirstUser();  // fetched again
  ASSERT_NE(user, nullptr);
  EXPECT_STREQ(user->pszName, "Cy");
  EXPECT_EQ(server.requestCount(), 2u);
}

// ---------------------------------------------------------------------------
// The session's own state.

TEST_F(ProtocolTest, SettingsAreRefusedWhileOpen) {
  ASSERT_TRUE(open());
  EXPECT_EQ(session.SetTimeout(1, 1), 0);
  EXPECT_EQ(session.GetLastError(), 4u);
  EXPECT_EQ(session.m_dwTimeout, 90000u);
  server.reply(httpReply(404, ""));
  session.FindFirstUser();
  EXPECT_EQ(session.SetAuth("u", "p"), 0);
  EXPECT_EQ(session.GetLastError(), 8u);  // untouched
  EXPECT_EQ(session.m_pszUser, nullptr);
  EXPECT_EQ(session.Open(server.url("/gw").c_str(), nullptr, 0), 0);
  EXPECT_EQ(session.GetLastError(), 4u);
}

TEST_F(ProtocolTest, FailedOpenForgetsEverySetting) {
  ASSERT_TRUE(session.SetAuth("ann", "pw"));
  ASSERT_TRUE(session.SetTimeout(10, 4));
  session.SetRemoteSync();
  EXPECT_EQ(session.Open("no url at all", nullptr, 0), 0);
  EXPECT_EQ(session.GetLastError(), 5u);
  EXPECT_FALSE(session.IsOpen());
  EXPECT_EQ(session.m_pszUser, nullptr);
  EXPECT_EQ(session.m_pszPassword, nullptr);
  EXPECT_EQ(session.m_dwTimeout, 90000u);
  EXPECT_EQ(session.m_dwRetry, 1u);
  EXPECT_EQ(session.m_bRemote, 0);
}

TEST_F(ProtocolTest, BasicCredentialsGoWithEveryRequest) {
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_TRUE(session.SetAuth("ann", "s3cret"));
  ASSERT_TRUE(open());
  ASSERT_NE(session.FindFirstUser(), nullptr);
  EXPECT_EQ(server.request(0), expected("GET /gw?page=SyncUserList&_Logout=1&_System=Login&sync=1 HTTP/1.1\r\n"
                                        "Host: {host}\r\nAuthorization: Basic YW5uOnMzY3JldA==\r\n\r\n"));
}

TEST_F(ProtocolTest, EmptyCredentialUserConnectsWithout) {
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_TRUE(session.SetAuth("", ""));
  ASSERT_EQ(session.Open(server.url("/gw").c_str(), nullptr, 0), 1);
  EXPECT_EQ(session.GetLastError(), 6u);
  ASSERT_NE(session.FindFirstUser(), nullptr);
  EXPECT_EQ(server.request(0), expected(kUsersGet));
}

TEST_F(ProtocolTest, ObjectPathEndsInOneQuestionMark) {
  server.reply(httpReply(200, ""));
  server.reply(httpReply(200, ""));
  ASSERT_EQ(session.Open(server.url("/cgi-bin/gw.cgi?").c_str(), nullptr, 0), 1);
  session.Version();
  session.Close();
  ASSERT_EQ(session.Open(server.url("/gw?db=a").c_str(), nullptr, 0), 1);
  session.Version();
  EXPECT_TRUE(server.request(0).starts_with("GET /cgi-bin/gw.cgi?page=SyncPXVersion&")) << server.request(0);
  EXPECT_TRUE(server.request(1).starts_with("GET /gw?db=a?page=SyncPXVersion&")) << server.request(1);
}

TEST_F(ProtocolTest, ProxyGetsTheAbsoluteUrl) {
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_EQ(session.Open("http://groupware.invalid:8080/gw", "127.0.0.1", static_cast<short>(server.port())), 1);
  ASSERT_NE(session.FindFirstUser(), nullptr) << session.GetLastError() << server.request(0);
  EXPECT_EQ(server.request(0),
            "GET http://groupware.invalid:8080/gw?page=SyncUserList&_Logout=1&_System=Login"
            "&sync=1 HTTP/1.1\r\nHost: groupware.invalid:8080\r\n\r\n");
}

TEST_F(ProtocolTest, CallsOnAClosedSessionFailWithError2) {
  EXPECT_EQ(session.Login(1, "pw"), 0);
  EXPECT_EQ(session.GetLastError(), 2u);
  EXPECT_EQ(session.SetLabel("x", 1), 0);
  EXPECT_EQ(session.SetLocale("CP932"), 0);
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetSettingForPalm(), nullptr);
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.ProductID(), nullptr);
  EXPECT_EQ(session.GetDetailError(), 0u);
  EXPECT_EQ(session.GetLastError(), 2u);
}

TEST_F(ProtocolTest, CopiesShareTheSessionButNotTheirStrings) {
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_TRUE(session.SetAuth("ann", "pw"));
  ASSERT_TRUE(open());
  {
    COfficeSession copy;
    copy = session;
    EXPECT_EQ(copy.m_dwHandle, session.m_dwHandle);
    EXPECT_NE(copy.m_pszUser, session.m_pszUser);
    EXPECT_STREQ(copy.m_pszUser, "ann");
    ASSERT_NE(copy.FindFirstUser(), nullptr);  // the same server session
    copy.Close();
  }
  EXPECT_EQ(session.FindFirstUser(), nullptr);
  EXPECT_EQ(session.GetLastError(), 2u);
  session.Close();  // the server session is gone: error 2, the rest is reset
  EXPECT_EQ(session.GetLastError(), 2u);
  EXPECT_FALSE(session.IsOpen());
  EXPECT_EQ(session.m_pszUser, nullptr);
}

TEST_F(ProtocolTest, SessionNumbersAreNeverReused) {
  ASSERT_TRUE(open());
  DWORD first = session.m_dwHandle;
  session.Close();
  ASSERT_TRUE(open());
  EXPECT_GT(session.m_dwHandle, first);
}

}  // namespace
