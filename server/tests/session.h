// A test's HTTP session with a running gwserver: raw GET and POST requests as
// the sync client sends them, carrying the login cookie once logged in.
#pragma once

#include <string>

#include "server/tests/reader.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace gwtest {

class Session {
 public:
  explicit Session(const testutil::GwServer& server) : url_(server.url()) {}

  testutil::RawReply get(const std::string& query, const std::string& extraHeaders = "") {
    return testutil::rawRequest(url_.port, testutil::getRequest(url_, query + "&sync=1", cookies(), extraHeaders));
  }
  testutil::RawReply post(const std::string& body, const std::string& extraHeaders = "") {
    return testutil::rawRequest(url_.port, testutil::postRequest(url_, body, cookies(), extraHeaders));
  }

  // Logs in; keeps the cookie that the reply sets. Returns the reply.
  testutil::RawReply login(const std::string& id, const std::string& password) {
    auto r = post("page=PXBlank&_System=login&_Login=1&_ID=" + id + "&Password=" + password + "&Submit=1&sync=1");
    std::string set = r.header("Set-Cookie");
    if (!set.empty()) login_ = set.substr(0, set.find(';'));
    return r;
  }

  void setCookie(const std::string& c) { login_ = c; }
  const std::string& loginCookie() const { return login_; }
  const testutil::HttpUrl& url() const { return url_; }

 private:
  std::string cookies() const { return login_.empty() ? "lc=CP932" : "lc=CP932; " + login_; }
  testutil::HttpUrl url_;
  std::string login_;
};

}  // namespace gwtest
