// The internet session of the Windows internet services, over libcurl: a
// session with its own cookie store, a connection to one server, and request
// objects that are sent (possibly several times), then read.
//
//   platform::InternetSession session(nullptr);        // no proxy
//   session.setTimeout(90000); session.setConnectRetries(1);
//   platform::UrlParts url;
//   platform::crackUrl("http://host:8080/gw", url);
//   platform::HttpConnection conn(session, url.scheme, url.host, url.port, "", " ");
//   platform::HttpRequest req(conn, "GET", "/gw?page=X");
//   if (req.send(nullptr, 0) && req.status(&code)) while (req.readLine(line)) ...
//
// Nothing is added to a request beyond what HTTP needs (request line, Host,
// Content-Length, the session's cookies, and Basic credentials when a user
// is given): no Accept, Content-Type, Expect or User-Agent. Redirects are not
// followed; each send is exactly one HTTP request. Used from one thread.
#pragma once

#include <memory>
#include <string>

#include "platform/wintypes.h"

namespace platform {

struct UrlParts {
  std::string scheme;  // as written ("http"), not checked
  std::string host;
  int port = 0;      // the URL's, else the scheme's default
  std::string path;  // path and query, "/" when the URL has none
};

// Splits an absolute URL; false when it has no scheme or no host.
PLATFORM_API bool crackUrl(const char* url, UrlParts& out);

class PLATFORM_API InternetSession {
 public:
  // proxy: "host:port", or null/empty for the system's own setting (the
  // usual proxy environment variables). ok() tells whether libcurl could
  // set the session up.
  explicit InternetSession(const char* proxy);
  ~InternetSession();
  InternetSession(const InternetSession&) = delete;
  InternetSession& operator=(const InternetSession&) = delete;

  bool ok() const;
  // Connect, send and receive time-out in milliseconds (0 = none). Sending
  // and receiving fail when no byte moves for that long (rounded up to whole
  // seconds, the resolution libcurl offers for stalls).
  void setTimeout(DWORD ms);
  // How often a refused or failed connect is tried again before a request
  // fails; never a second request.
  void setConnectRetries(DWORD retries);
  // Stores cookie name=value for the server of url (all its paths), sent
  // with every later request to it. False when the URL cannot be split or
  // the store refuses it.
  bool setCookie(const char* url, const char* name, const char* value);

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// A server reached through a session. Opening one sends nothing. user and
// password are sent as HTTP Basic credentials with every request when user
// is not empty.
class PLATFORM_API HttpConnection {
 public:
  HttpConnection(InternetSession& session, const std::string& scheme, const std::string& host, int port,
                 const std::string& user, const std::string& password);
  InternetSession& session() { return session_; }
  // scheme://host:port, the prefix of every request's URL.
  const std::string& base() const { return base_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

 private:
  InternetSession& session_;
  std::string base_;
  std::string user_;
  std::string password_;
};

// One request: verb and object (path and query, sent byte for byte). Each
// send replaces the reply of the previous one.
class PLATFORM_API HttpRequest {
 public:
  HttpRequest(HttpConnection& connection, const char* verb, const std::string& object);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Sends the request with body (may be null when length is 0; a POST
  // announces its length even when 0) and receives the reply. False when
  // the request could not be sent or its reply not received.
  bool send(const char* body, size_t length);
  // The same in pieces: announce the total length, write the body (the
  // pieces are passed on as they were written), then end, which sends and
  // receives. write fails once more is written than was announced; end fails
  // when less was.
  bool begin(size_t totalLength);
  bool write(const char* data, size_t length);
  bool end();

  // The status code of the reply; false when there is none (an answer that
  // is not HTTP).
  bool status(DWORD* code) const;
  // The reply's status line and header lines, each ending in CR LF, then an
  // empty line; empty when nothing was received.
  const std::string& rawHeaders() const;
  // The next line of the reply body without its LF (a CR stays); false at
  // the end. A last line without LF is returned too.
  bool readLine(std::string& line);
  // libcurl's text for the last failure, for traces; empty when none.
  const std::string& failure() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
