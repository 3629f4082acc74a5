#include "server/httpserver.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace gwserver {

namespace {

std::string base64(const std::string& in) {
  static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

bool isLoopback(const std::string& addr) {
  return addr == "127.0.0.1" || addr == "::1" || addr.rfind("127.", 0) == 0 || addr == "::ffff:127.0.0.1";
}

// The request's socket, found by its two addresses: the HTTP library does not
// hand it to handlers, and dropping a connection needs it.
// The page of the POST this thread answered last, for the request log: the
// body is read by the POST handler, so the logger cannot read it again.
thread_local std::string t_postedPage = "-";

int findSocket(const httplib::Request& req) {
  for (int fd = 3; fd < 4096; ++fd) {
    sockaddr_storage peer{}, local{};
    socklen_t pl = sizeof peer, ll = sizeof local;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0) continue;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) != 0) continue;
    auto port = [](const sockaddr_storage& s) {
      return s.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(s).sin_port)
                                    : ntohs(reinterpret_cast<const sockaddr_in6&>(s).sin6_port);
    };
    if (port(peer) == req.remote_port && port(local) == req.local_port) return fd;
  }
  return -1;
}

}  // namespace

HttpServer::HttpServer(HttpOptions options, Service& service)
    : options_(std::move(options)), service_(service), server_(std::make_unique<httplib::Server>()) {}

HttpServer::~HttpServer() = default;

void HttpServer::arm(const std::string& page, const Fault& fault) {
  std::lock_guard<std::mutex> lock(faultsMutex_);
  if (fault.count <= 0)
    faults_.erase(page);
  else
    faults_[page] = fault;
}

bool HttpServer::takeFault(const std::string& page, Fault& out) {
  std::lock_guard<std::mutex> lock(faultsMutex_);
  for (const std::string& key : {page, std::string("*")}) {
    auto it = faults_.find(key);
    if (it == faults_.end()) continue;
    if (it->second.skip > 0) {
      --it->second.skip;
      return false;
    }
    out = it->second;
    if (--it->second.count <= 0) faults_.erase(it);
    return true;
  }
  return false;
}

std::string HttpServer::bind() {
  auto& svr = *server_;
  svr.set_payload_max_length(options_.maxBody);
  svr.set_keep_alive_max_count(100);
  // A reply is written in pieces; held back for the client's delayed
  // acknowledgement, each would wait 40 ms on a reused connection.
  svr.set_tcp_nodelay(true);
  std::string expectAuth = options_.basicAuth.empty() ? "" : base64(options_.basicAuth);

  auto endpoint = [this, expectAuth](const httplib::Request& req, httplib::Response& res, std::string_view body) {
    if (!expectAuth.empty()) {
      std::string auth = req.get_header_value("Authorization");
      bool ok = auth.size() > 6 && strncasecmp(auth.c_str(), "Basic ", 6) == 0 && auth.substr(6) == expectAuth;
      if (!ok) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"gwserver\"");
        res.set_content("authorization required\n", "text/plain");
        return;
      }
    }
    Incoming in;
    in.post = req.method == "POST";
    size_t q = req.target.find('?');
    in.form = decodeForm(in.post ? body
                                 : (q == std::string::npos ? std::string_view()
                                                           : std::string_view(req.target).substr(q + 1)));
    in.cookieHeader = req.get_header_value("Cookie");

    Fault fault;
    if (takeFault(Service::pageOf(in), fault)) {
      if (fault.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
      if (fault.drop) {
        int fd = findSocket(req);
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        res.status = 500;
        return;
      }
      if (fault.status) {
        res.status = fault.status;
        res.set_content("fault\n", "text/plain");
        return;
      }
      if (!fault.errorLine.empty()) {
        res.set_content("ErrorCode," + fault.errorLine + "\n", "text/plain");
        return;
      }
    }
    Reply r = service_.handle(in);
    res.status = r.status;
    for (const auto& [k, v] : r.headers) res.set_header(k.c_str(), v.c_str());
    res.set_content(r.body, "text/plain");
  };
  svr.Get(options_.path, [endpoint](const httplib::Request& req, httplib::Response& res) { endpoint(req, res, {}); });
  // A POST's body is read here rather than by the HTTP library, which would
  // refuse a form body over 8,192 bytes; the limit is --max-body.
  const size_t maxBody = options_.maxBody;
  svr.Post(options_.path, [endpoint, maxBody](const httplib::Request& req, httplib::Response& res,
                                              const httplib::ContentReader& read) {
    std::string body;
    bool tooLarge = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > maxBody;
    bool whole = !tooLarge && read([&](const char* data, size_t size) {
      if (body.size() + size > maxBody) {
        tooLarge = true;
        return false;
      }
      body.append(data, size);
      return true;
    });
    if (!whole) {
      res.status = tooLarge ? 413 : 400;
      return;
    }
    t_postedPage = formValue(decodeForm(body), "page").value_or("-");
    endpoint(req, res, body);
  });

  if (options_.faults) {
    svr.Get("/_fault", [this](const httplib::Request& req, httplib::Response& res) {
      if (!isLoopback(req.remote_addr)) {
        res.status = 403;
        return;
      }
      Fault f;
      std::string page = req.has_param("page") ? req.get_param_value("page") : "*";
      f.count = req.has_param("count") ? std::atoi(req.get_param_value("count").c_str()) : 1;
      if (req.has_param("skip")) f.skip = std::atoi(req.get_param_value("skip").c_str());
      if (req.has_param("status")) f.status = std::atoi(req.get_param_value("status").c_str());
      if (req.has_param("error")) f.errorLine = req.get_param_value("error");
      if (req.has_param("delay")) f.delayMs = std::atoi(req.get_param_value("delay").c_str());
      f.drop = req.has_param("drop") && req.get_param_value("drop") == "1";
      if (f.status != 0 && (f.status < 100 || f.status > 599)) {
        res.status = 400;
        res.set_content("bad status\n", "text/plain");
        return;
      }
      arm(page, f);
      res.set_content("armed " + page + " " + std::to_string(f.count) + "\n", "text/plain");
    });
  }

  if (options_.log) {
    // Page and outcome only: bodies carry passwords and user data.
    svr.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      size_t q = req.target.find('?');
      std::string page =
          req.method == "POST"
              ? t_postedPage
              : formValue(decodeForm(q == std::string::npos ? std::string_view()
                                                            : std::string_view(req.target).substr(q + 1)),
                          "page")
                    .value_or("-");
      t_postedPage = "-";
      std::string outcome = std::to_string(res.status);
      if (res.body.rfind("ErrorCode,", 0) == 0) outcome += " " + res.body.substr(0, res.body.find('\n'));
      std::fprintf(stderr, "gwserver: %s %s %s %s %s\n", req.remote_addr.c_str(), req.method.c_str(), req.path.c_str(),
                   page.c_str(), outcome.c_str());
    });
  }

  int port = options_.port;
  if (port == 0) {
    port = svr.bind_to_any_port(options_.bind);
    if (port <= 0) return {};
  } else if (!svr.bind_to_port(options_.bind, port)) {
    return {};
  }
  std::string host = options_.bind.find(':') != std::string::npos ? "[" + options_.bind + "]" : options_.bind;
  return "http://" + host + ":" + std::to_string(port) + options_.path;
}

bool HttpServer::run() { return server_->listen_after_bind(); }

void HttpServer::stop() { server_->stop(); }

bool HttpServer::running() const { return server_->is_running(); }

}  // namespace gwserver
