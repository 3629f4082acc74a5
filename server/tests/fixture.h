// A running gwserver with two users for the HTTP tests: taro (password "pw")
// and a user with a Shift-JIS name, plus helpers to log in and read replies.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/tests/reader.h"
#include "server/tests/session.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace gwtest {

// "山田" in Shift-JIS.
inline const std::string kYamada = "\x8E\x52\x93\x63";

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() : dir_("gwhttp"), server_(dir_.path()) {
    taro_ = server_.addUser("taro", "pw");
    yamada_ = server_.addUser(kYamada, "pw2");
  }

  // Starts the server (extra options for `serve`) and logs taro in.
  void startAndLogin(const std::vector<std::string>& extra = {}) {
    server_.start(extra);
    session_ = std::make_unique<Session>(server_);
    auto r = session_->login(taro_, "pw");
    ASSERT_EQ(r.status, 200);
    ASSERT_NE(session_->loginCookie(), "");
  }

  // Body of a GET that must answer 200.
  std::string fetch(const std::string& query) { return fetchAs(*session_, query); }
  static std::string fetchAs(Session& s, const std::string& query) {
    auto r = s.get(query);
    EXPECT_EQ(r.status, 200) << query;
    return r.body;
  }
  std::string commit(const std::string& body) { return commitAs(*session_, body); }
  static std::string commitAs(Session& s, const std::string& body) {
    auto r = s.post(body + "&sync=1&rw=1");
    EXPECT_EQ(r.status, 200) << body;
    return r.body;
  }

  testutil::TempDir dir_;
  testutil::GwServer server_;
  std::string taro_, yamada_;
  std::unique_ptr<Session> session_;
};

}  // namespace gwtest
