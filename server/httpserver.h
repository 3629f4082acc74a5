// gwserver's HTTP side: one endpoint path for every page, optional HTTP Basic
// authentication, and (when enabled) the fault switch for tests.
//
//   gwserver::HttpOptions o;  o.port = 0;             // any free port
//   gwserver::HttpServer server(o, service);
//   std::string url = server.bind();                  // "http://127.0.0.1:PORT/gw"
//   server.run();                                     // until stop()
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/service.h"

namespace httplib {
class Server;
}

namespace gwserver {

struct HttpOptions {
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0 picks a free port
  std::string path = "/gw";
  std::string basicAuth;       // "USER:PASS"; empty = none
  bool faults = false;         // serve /_fault (from loopback peers only)
  bool log = false;            // one line per request on standard error (never bodies)
  size_t maxBody = 64u << 20;  // larger bodies get HTTP 413
};

// A fault armed for the next `count` requests of one page ("*" = any page).
struct Fault {
  int skip = 0;           // requests of the page that pass untouched first
  int count = 0;
  int status = 0;         // reply with this HTTP status
  std::string errorLine;  // reply "ErrorCode,<this>" with status 200
  int delayMs = 0;        // wait, then answer (normally or with the above)
  bool drop = false;      // close the connection without any reply
};

class HttpServer {
 public:
  HttpServer(HttpOptions options, Service& service);
  ~HttpServer();

  // Binds the socket; returns the endpoint URL, or "" when binding failed.
  std::string bind();
  // Serves until stop(); false when serving could not start.
  bool run();
  // Safe from any thread; has no effect until run() is serving (see running()).
  void stop();
  bool running() const;

 private:
  void arm(const std::string& page, const Fault& fault);
  bool takeFault(const std::string& page, Fault& out);

  HttpOptions options_;
  Service& service_;
  std::unique_ptr<httplib::Server> server_;
  std::mutex faultsMutex_;
  std::map<std::string, Fault> faults_;
};

}  // namespace gwserver
