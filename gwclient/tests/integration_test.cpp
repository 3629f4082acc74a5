// The client against a real gwserver process: login and its refusals, users,
// version and settings, HTTP Basic authentication, expiry and faults.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "gwclient/gwclient.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace {

// Shift-JIS for a Japanese user name, and a password no form may split.
const std::string kJapaneseName = "\x8e\x52\x93\x63\x89\xd4\x8e\x71";
const char* const kHardPassword = "p&w=1+2%41 x";

const char* const kPalmSettings =
    "s,Down,2,5\n"
    "t,Sync\n"
    "a,down,0,7,1,0,ts.1700000000,1,-9,2\n"
    "w,Sync,1,3,4\n"
    "m,Down,9\n";

class ClientAgainstServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("http_proxy");
    ::unsetenv("no_proxy");
    taro_ = static_cast<DWORD>(std::stoul(server_.addUser("taro", kHardPassword)));
    hanako_ = static_cast<DWORD>(std::stoul(server_.addUser(kJapaneseName, "hanako-pw")));
    ASSERT_EQ(server_.admin({"settings", server_.db(), "Palm"}, kPalmSettings).status, 0);
  }

  void start(const std::vector<std::string>& options = {}) {
    server_.start(options);
    url_ = server_.url();
  }
  // Arms a fault on the running server (see server/README.md).
  void arm(const std::string& query) {
    testutil::RawReply reply = testutil::rawRequest(
        server_.port(), "GET /_fault?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(reply.status, 200) << query << ": " << reply.body;
  }

  testutil::TempDir dir_{"gwclient-integration"};
  testutil::GwServer server_{dir_.path()};
  std::string url_;
  DWORD taro_ = 0;
  DWORD hanako_ = 0;
};

TEST_F(ClientAgainstServer, UsersVersionAndProductComeAsTheServerHasThem) {
  start();
  COfficeSession session;
  ASSERT_EQ(session.Open(url_.c_str(), nullptr, 0), 1);
  std::vector<std::pair<DWORD, std::string>> users;
  for (__USER_DATA* u = session.FindFirstUser(); u; u = session.FindNextUser()) users.emplace_back(u->nID, u->pszName);
  ASSERT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_NONE));
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0], std::make_pair(taro_, std::string("taro")));
  EXPECT_EQ(users[1], std::make_pair(hanako_, kJapaneseName));

  EXPECT_EQ(session.Version(), (25u << 16) | 10u);
  ASSERT_NE(session.ProductID(), nullptr);
  EXPECT_STREQ(session.ProductID(), "gwserver 1.0");
  session.Close();
}

TEST_F(ClientAgainstServer, LoginWithAPasswordFullOfFormCharactersThenSettings) {
  start();
  COfficeSession session;
  ASSERT_EQ(session.Open(url_.c_str(), taro_, kHardPassword, nullptr, 0), 1)
      << session.GetLastError() << "/" << session.GetDetailError();
  EXPECT_EQ(session.SetLocale("CP932"), 1);
  EXPECT_EQ(session.SetLabel("Palm", 1), 1);
  __SYNC5_SET* set = session.GetSettingForPalm();
  ASSERT_NE(set, nullptr) << session.GetLastError() << "/" << session.GetDetailError();
  EXPECT_EQ(set->nScheduleMode, 5u);  // Down carries "delete first"
  EXPECT_EQ(set->nScheduleNumberA, 2u);
  EXPECT_EQ(set->nScheduleNumberB, 5u);
  EXPECT_EQ(set->nToDoMode, 3u);
  EXPECT_EQ(set->nAddressMode, 1u);  // down with field 3 zero: no delete
  EXPECT_EQ(set->nAddressNumber, 7u);
  EXPECT_EQ(set->nAddressFlags, 2u);
  EXPECT_EQ(set->nAddressTimeStamp, 1700000000u);
  EXPECT_EQ(set->nRelations[0], 1);
  EXPECT_EQ(set->nRelations[1], -9);
  EXPECT_EQ(set->nRelations[2], 2);
  EXPECT_EQ(set->nRelations[3], 0);
  EXPECT_EQ(set->nMailMode, 7u);
  EXPECT_EQ(set->nMailNumberA, 3u);
  EXPECT_EQ(set->nMailNumberB, 4u);
  EXPECT_EQ(set->nMemoMode, 5u);
  EXPECT_EQ(set->nMemoNumber, 9u);
  session.Close();
}

TEST_F(ClientAgainstServer, RefusedLoginsGiveTheirErrorAndDetail) {
  start();
  ASSERT_EQ(server_.admin({"user", "sync", server_.db(), kJapaneseName, "no"}).status, 0);
  struct Case {
    DWORD user;
    const char* password;
    DWORD error;
  } cases[] = {
      // user     password     error (the server's code is not kept as detail)
      {taro_, "wrong", GWERR_SERVER_USER},         // 16404
      {taro_, "p", GWERR_SERVER_USER},             // a prefix of the real one
      {9999, "x", GWERR_SERVER_USER},              // 16402
      {hanako_, "hanako-pw", GWERR_SERVER_LOGIN},  // 16405
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    COfficeSession session;
    ASSERT_EQ(session.Open(url_.c_str(), nullptr, 0), 1);
    EXPECT_EQ(session.Login(c.user, c.password), 0);
    EXPECT_EQ(session.GetLastError(), c.error);
    session.Close();
  }
}

TEST_F(ClientAgainstServer, DataPagesNeedTheLoginAndALogoutEndsIt) {
  start();
  COfficeSession session;
  ASSERT_EQ(session.Open(url_.c_str(), nullptr, 0), 1);
  EXPECT_EQ(session.GetSettingForPalm(), nullptr);
  EXPECT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_SERVER_AUTH));  // 16401

  // Logged in, then the version page logs the session out: the next data
  // page finds the login gone.
  COfficeSession second;
  ASSERT_EQ(second.Open(url_.c_str(), taro_, kHardPassword, nullptr, 0), 1);
  EXPECT_NE(second.Version(), 0u);
  EXPECT_EQ(second.GetSettingForPalm(), nullptr);
  EXPECT_EQ(second.GetLastError(), static_cast<DWORD>(GWERR_SERVER_AUTH));  // 16403
}

TEST_F(ClientAgainstServer, BasicAuthenticationIsSentOnlyWhenSet) {
  start({"--basic-auth", "web:secret"});
  COfficeSession without;
  ASSERT_EQ(without.Open(url_.c_str(), nullptr, 0), 1);
  EXPECT_EQ(without.Version(), 0u);
  EXPECT_EQ(without.GetLastError(), static_cast<DWORD>(GWERR_UNAUTHORIZED));
  EXPECT_EQ(without.GetDetailError(), 401u);

  COfficeSession wrong;
  ASSERT_EQ(wrong.SetAuth("web", "nope"), 1);
  ASSERT_EQ(wrong.Open(url_.c_str(), nullptr, 0), 1);
  EXPECT_EQ(wrong.Version(), 0u);
  EXPECT_EQ(wrong.GetLastError(), static_cast<DWORD>(GWERR_UNAUTHORIZED));

  COfficeSession with;
  ASSERT_EQ(with.SetAuth("web", "secret"), 1);
  ASSERT_EQ(with.Open(url_.c_str(), taro_, kHardPassword, nullptr, 0), 1);
  EXPECT_NE(with.GetSettingForPalm(), nullptr);
}

TEST_F(ClientAgainstServer, FaultsBecomeTheirErrorsAndTheNextRequestSucceeds) {
  start();
  COfficeSession session;
  ASSERT_EQ(session.Open(url_.c_str(), nullptr, 0), 1);

  arm("page=SyncPXVersion&status=503");
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_HTTP_STATUS));
  EXPECT_EQ(session.GetDetailError(), 503u);

  arm("page=SyncPXVersion&error=16499");
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_SERVER_OTHER));
  EXPECT_EQ(session.GetDetailError(), 16499u);

  // A connection dropped after the request was read is a failure, never a
  // request sent again behind the caller's back.
  arm("page=SyncPXVersion&drop=1");
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_SEND));

  EXPECT_EQ(session.Version(), (25u << 16) | 10u);
  EXPECT_EQ(session.GetDetailError(), 0u);
  session.Close();

  // A retried request gets past one failed attempt.
  COfficeSession patient;
  ASSERT_EQ(patient.SetTimeout(5000, 2), 1);
  ASSERT_EQ(patient.Open(url_.c_str(), nullptr, 0), 1);
  arm("page=SyncPXVersion&status=500");
  EXPECT_EQ(patient.Version(), (25u << 16) | 10u);
}

TEST_F(ClientAgainstServer, ASlowServerTimesOutAsASendFailure) {
  start();
  COfficeSession session;
  ASSERT_EQ(session.SetTimeout(1000, 1), 1);
  ASSERT_EQ(session.Open(url_.c_str(), nullptr, 0), 1);
  arm("page=SyncPXVersion&delay=3000");
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_SEND));
}

TEST(ClientWithoutServer, OpenSendsNothingAndTheFirstRequestFailsWithError11) {
  // A port that was free a moment ago: nothing listens there.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t length = sizeof addr;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(probe);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/gw";

  COfficeSession session;
  ASSERT_EQ(session.Open(url.c_str(), nullptr, 0), 1);
  EXPECT_EQ(session.Version(), 0u);
  EXPECT_EQ(session.GetLastError(), static_cast<DWORD>(GWERR_SEND));
}

}  // namespace
