// gwserver's HTTP side: one endpoint path for every page, optional HTTP Basic
// authentication, and (when enabled) the fault switch for tests.
//
//   gwserver::HttpOptions o;  o.port = 0;             // any free port
//   gwserver::HttpServer server(o, service);
//   std::string url = server.bind();                  // "http://127.0.0.1:PORT/gw"; "" and error() on failure
//   server.run();                                     // until stop()
//
// Each connection is served on a thread of its own, up to a limit in all and
// per client address, and each request is held to deadlines for its headers
// and its body, so that slow or idle clients cannot take the server from the
// others. The login is checked from the headers, before any body is read.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/service.h"

namespace gwserver {

struct HttpOptions {
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0 picks a free port
  std::string path = "/gw";
  std::string basicAuth;       // "USER:PASS"; empty = none
  bool faults = false;         // serve /_fault (from loopback peers only)
  bool log = false;            // one line per request on standard error (never bodies)
  size_t maxBody = 48u << 20;  // larger bodies get HTTP 413, unread (README: "Limits")
  // Limits against slow, idle and greedy clients (server/README.md, "Limits").
  int headerSeconds = 10;    // a request's line and headers, from its first byte (or the accept)
  int bodySeconds = 60;      // its body, from the end of the headers
  int idleSeconds = 10;      // a kept-alive connection waiting for its next request
  int writeSeconds = 30;     // a reply the client takes no byte of
  int maxConnections = 512;  // each holds a thread while it is open
  int maxPerClient = 32;     // open connections from one client address
};

// A fault armed for the next `count` requests of one page ("*" = any page).
struct Fault {
  int skip = 0;  // requests of the page that pass untouched first
  int count = 0;
  int status = 0;         // reply with this HTTP status
  std::string errorLine;  // reply "ErrorCode,<this>" with status 200
  int delayMs = 0;        // wait, then answer (normally or with the above)
  bool drop = false;      // close the connection without any reply
};

// A log value made safe for one line: control bytes, DEL, bytes over 0x7F,
// blanks and backslashes are written as \xNN; "" becomes "-".
std::string logSafe(std::string_view value);

class HttpServer {
 public:
  HttpServer(HttpOptions options, Service& service);
  ~HttpServer();

  // Binds the socket (never shared with another process); returns the
  // endpoint URL, or "" with error() naming the address and the reason.
  std::string bind();
  const std::string& error() const { return error_; }
  // Serves until stop(); false when serving could not start.
  bool run();
  // Safe from any thread and from before run(): run() then returns at once.
  void stop();
  bool running() const;

 private:
  struct Impl;
  HttpOptions options_;
  Service& service_;
  std::string error_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace gwserver
