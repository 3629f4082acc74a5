#include "server/httpserver.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

namespace gwserver {

namespace {

using Clock = std::chrono::steady_clock;

// A login, the user list or the version is a few hundred bytes: a client
// without a login may send no more before its body is refused unread.
constexpr size_t kAnonymousBody = 16 * 1024;
// What the log shows of a request that could not be parsed.
constexpr size_t kShownBytes = 120;
// After a refusal whose body was left unread, what the client still sends is
// taken (and dropped) this long, so that closing does not reset the
// connection before the client has read the reply.
constexpr size_t kDrainBytes = 1 << 20;
constexpr auto kDrainTime = std::chrono::seconds(2);

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
  return addr == "::1" || addr.rfind("127.", 0) == 0 || addr.rfind("::ffff:127.", 0) == 0;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// A whole reply with its framing, for the replies the guard writes itself.
std::string rawReply(int status, const std::string& body,
                     const std::vector<std::pair<std::string, std::string>>& headers = {}) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
  out += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  for (const auto& [k, v] : headers) out += k + ": " + v + "\r\n";
  return out + "Connection: close\r\n\r\n" + body;
}

void writeAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

int portOf(const sockaddr_storage& s) {
  if (s.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(s).sin_port);
  if (s.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(s).sin6_port);
  return -1;
}

std::string addressOf(const sockaddr_storage& s) {
  char text[INET6_ADDRSTRLEN] = "";
  if (s.ss_family == AF_INET) inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(s).sin_addr, text, sizeof text);
  else if (s.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(s).sin6_addr, text, sizeof text);
  return text;
}

// The system's reason why ADDRESS:PORT cannot be listened on, found by
// trying it: the HTTP library only says that it failed.
std::string listenProblem(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0)
    return ::gai_strerror(rc);
  std::string problem = "no address to listen on";
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      problem = std::strerror(errno);
      continue;
    }
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1) != 0) problem = std::strerror(errno);
    else problem = "the HTTP library could not use it";
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return problem;
}

}  // namespace

std::string logSafe(std::string_view value) {
  if (value.empty()) return "-";
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : value) {
    if (c <= 32 || c >= 127 || c == '\\') {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

// A note of the log: as logSafe, but blanks stay.
std::string textSafe(std::string_view text) {
  std::string out;
  for (char c : text) out += c == ' ' ? std::string(" ") : logSafe(std::string_view(&c, 1));
  return out;
}

// One connection as the guard sees it. The HTTP library owns the socket; the
// guard holds a duplicate of it, so that it can cut a connection, or answer
// on it, without ever touching a descriptor the library closed and reused.
struct Connection {
  int fd = -1;         // the guard's duplicate
  int libraryFd = -1;  // the library's own descriptor, valid on the connection's thread only
  ino_t inode = 0;
  std::string address;  // the client's address
  std::string peer;     // address:port, for the log
  std::string first;    // the first bytes it sent, for the log of a request that cannot be parsed
  bool firstRequest = true;
  bool counted = false;       // holds a place among its address's connections
  bool closeAfter = false;    // the reply refused a body left unread: drain, then close
  bool answeredHere = false;  // the reply was written by the server, not the library
  // Guarded by Guard::mutex_: a request is due by `due`, unless a handler
  // is working on it.
  bool working = false;
  bool seenBytes = false;
  std::atomic<bool> cut{false};  // also read, unlocked, before the first bytes come
  const char* waitingFor = "headers";
  Clock::time_point due;
};

thread_local Connection* t_connection = nullptr;

// The HTTP library gives each accepted connection to a task queue and serves
// it on one thread until it closes, reading with a time-out per read only. This
// queue runs each connection on a thread of its own (up to the connection
// limit), counts connections per client address, and holds each request to
// a deadline for its headers and its body: a client that trickles is cut off
// with 408, one that sends nothing is closed.
class Guard : public httplib::TaskQueue {
 public:
  using Log = std::function<void(const std::string& peer, const std::string& outcome, const std::string& note)>;

  Guard(const HttpOptions& options, int port, Log log) : options_(options), port_(port), log_(std::move(log)) {
    watchdog_ = std::thread([this] { watch(); });
  }
  ~Guard() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::shared_ptr<Connection> c = adopt();
    std::unique_lock<std::mutex> lock(mutex_);
    if (c) admit(c);
    jobs_.push_back({std::move(fn), c});
    if (idle_ == 0 && threads_.size() < static_cast<size_t>(options_.maxConnections) + 1)
      threads_.emplace_back([this] { work(); });
    else wake_.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
      for (const auto& c : live_) ::shutdown(c->fd, SHUT_RDWR);
    }
    wake_.notify_all();
    watch_.notify_all();
    for (std::thread& t : threads_) t.join();
    watchdog_.join();
  }

  // Called on the connection's thread as its request moves on: the headers
  // are in, so the body is due; a handler works (no deadline); the reply is
  // made, so it must be taken and the next request's headers sent. A
  // kept-alive connection that only idles is closed by the library first.
  void headersRead() {
    moveOn([this](Connection& c) {
      c.due = Clock::now() + std::chrono::seconds(options_.bodySeconds);
      c.waitingFor = "body";
      c.seenBytes = true;
      c.working = false;
    });
  }
  // False when the deadline passed first: the client was told 408, so the
  // request must not be carried out.
  bool working() {
    bool cut = false;
    moveOn([&cut](Connection& c) {
      c.working = true;
      cut = c.cut;
    });
    return !cut;
  }
  void replied() {
    moveOn([this](Connection& c) {
      c.due =
          Clock::now() + std::chrono::seconds(options_.writeSeconds + options_.idleSeconds + options_.headerSeconds);
      c.waitingFor = "headers";
      c.seenBytes = true;
      c.working = false;
      c.firstRequest = false;
    });
  }

 private:
  struct Job {
    std::function<void()> fn;
    std::shared_ptr<Connection> connection;
  };

  // Finds the socket the library has just accepted (listening port, not
  // known yet) and takes a duplicate of it.
  std::shared_ptr<Connection> adopt() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return nullptr;
    std::shared_ptr<Connection> found;
    std::set<ino_t> known;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& c : live_) known.insert(c->inode);
    }
    while (dirent* e = ::readdir(dir)) {
      char* end = nullptr;
      long fd = std::strtol(e->d_name, &end, 10);
      if (*end || fd == ::dirfd(dir)) continue;
      struct stat st {};
      if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode) || known.count(st.st_ino)) continue;
      sockaddr_storage local{}, peer{};
      socklen_t ll = sizeof local, pl = sizeof peer;
      int listening = 0;
      socklen_t sl = sizeof listening;
      if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &ll) != 0 ||
          portOf(local) != port_ ||
          ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &sl) != 0 || listening ||
          ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &pl) != 0)
        continue;
      found = std::make_shared<Connection>();
      found->fd = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
      found->libraryFd = static_cast<int>(fd);
      found->inode = st.st_ino;
      found->address = addressOf(peer);
      found->peer = found->address + ":" + std::to_string(portOf(peer));
      break;
    }
    ::closedir(dir);
    if (found && found->fd < 0) return nullptr;
    return found;
  }

  // Counts the connection against its address, or answers 503 and cuts it.
  void admit(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    c.due = Clock::now() + std::chrono::seconds(options_.headerSeconds);
    live_.insert(connection);
    int& mine = perAddress_[c.address];
    std::string full;
    if (connections_ >= options_.maxConnections) full = std::to_string(connections_) + " connections open";
    else if (mine >= options_.maxPerClient) full = std::to_string(mine) + " connections from " + c.address + " open";
    if (!full.empty()) {
      writeAll(c.fd, rawReply(503, "too many connections\n", {{"Retry-After", "10"}}));
      ::shutdown(c.fd, SHUT_RDWR);
      c.cut = true;
      log_(c.peer, "503", full);
      return;
    }
    ++mine;
    ++connections_;
    c.counted = true;
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      if (job.connection) peekFirst(*job.connection);
      t_connection = job.connection.get();
      job.fn();
      t_connection = nullptr;
      lock.lock();
      if (Connection* c = job.connection.get()) {
        live_.erase(job.connection);
        if (c->counted) {
          --connections_;
          if (--perAddress_[c->address] == 0) perAddress_.erase(c->address);
        } else if (perAddress_[c->address] == 0) {
          perAddress_.erase(c->address);
        }
        ::close(c->fd);
      }
    }
  }

  // Waits for the first bytes and keeps a copy: when they cannot be parsed
  // the library says nothing of them.
  void peekFirst(Connection& c) {
    pollfd p{c.fd, POLLIN, 0};
    int wait = options_.headerSeconds * 1000;
    if (c.cut || ::poll(&p, 1, wait) <= 0) return;
    char buf[kShownBytes];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) return;
    c.first.assign(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    c.seenBytes = true;
  }

  template <class Change>
  void moveOn(Change change) {
    if (!t_connection) return;
    std::lock_guard<std::mutex> lock(mutex_);
    change(*t_connection);
  }

  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      watch_.wait_for(lock, std::chrono::milliseconds(200));
      Clock::time_point now = Clock::now();
      for (const auto& c : live_) {
        if (c->working || c->cut || now < c->due) continue;
        c->cut = true;
        if (c->seenBytes) {
          writeAll(c->fd, rawReply(408, "request timeout\n"));
          int seconds = std::strcmp(c->waitingFor, "body") == 0 ? options_.bodySeconds : options_.headerSeconds;
          log_(c->peer, "408", std::string(c->waitingFor) + " not received within " + std::to_string(seconds) + " s");
        }
        ::shutdown(c->fd, SHUT_RDWR);
      }
    }
  }

  const HttpOptions& options_;
  const int port_;
  Log log_;
  std::mutex mutex_;
  std::condition_variable wake_, watch_;
  std::deque<Job> jobs_;
  std::vector<std::thread> threads_;
  std::thread watchdog_;
  int idle_ = 0;
  bool stopping_ = false;
  std::set<std::shared_ptr<Connection>> live_;
  std::map<std::string, int> perAddress_;
  int connections_ = 0;
};

// What the request log needs of a request that the logger cannot see: the
// page of a POST (its body was read by the handler) and the service's note.
thread_local std::string t_postedPage = "-";
thread_local std::string t_note;

}  // namespace

struct HttpServer::Impl {
  Impl(const HttpOptions& o, Service& s) : options(o), service(s) {
    if (!o.basicAuth.empty()) expectAuth = base64(o.basicAuth);
  }

  void log(const std::string& peer, const std::string& method, const std::string& path, const std::string& page,
           const std::string& outcome, const std::string& note = {}) const {
    if (!options.log) return;
    std::string line = "gwserver: " + logSafe(peer) + " " + logSafe(method) + " " + logSafe(path) + " " +
                       logSafe(page) + " " + outcome;
    if (!note.empty()) line += " (" + textSafe(note) + ")";
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }

  bool takeFault(const std::string& page, Fault& out) {
    std::lock_guard<std::mutex> lock(faultsMutex);
    for (const std::string& key : {page, std::string("*")}) {
      auto it = faults.find(key);
      if (it == faults.end()) continue;
      if (it->second.skip > 0) {
        --it->second.skip;
        return false;
      }
      out = it->second;
      if (--it->second.count <= 0) faults.erase(it);
      return true;
    }
    return false;
  }

  void arm(const std::string& page, const Fault& fault) {
    std::lock_guard<std::mutex> lock(faultsMutex);
    if (fault.count <= 0) faults.erase(page);
    else faults[page] = fault;
  }

  // Refuses a request from its headers alone; its body, if any, is not read.
  httplib::Server::HandlerResponse refuse(httplib::Response& res, int status, const std::string& body,
                                          const std::string& note) {
    res.status = status;
    res.set_content(body, "text/plain");
    res.set_header("Connection", "close");
    t_note = note;
    if (t_connection) t_connection->closeAfter = true;
    return httplib::Server::HandlerResponse::Handled;
  }

  // Everything that can be decided before a body is read.
  httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) {
    if (guard) guard->headersRead();
    if (req.get_header_value_count("Content-Length") > 1)
      return refuse(res, 400, "more than one Content-Length\n", "more than one Content-Length");
    bool endpoint = req.path == options.path;
    if (!endpoint) return httplib::Server::HandlerResponse::Unhandled;
    if (!expectAuth.empty()) {
      std::string auth = req.get_header_value("Authorization");
      bool ok = auth.size() > 6 && strncasecmp(auth.c_str(), "Basic ", 6) == 0 && auth.substr(6) == expectAuth;
      if (!ok) {
        res.set_header("WWW-Authenticate", "Basic realm=\"gwserver\"");
        return refuse(res, 401, "authorization required\n", "no valid Basic credentials");
      }
    }
    if (req.method != "POST") return httplib::Server::HandlerResponse::Unhandled;
    const bool chunked = req.has_header("Transfer-Encoding");
    const unsigned long long length = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
    if (!chunked && length > options.maxBody)
      return refuse(res, 413, "body too large\n",
                    "body of " + std::to_string(length) + " bytes over --max-body " + std::to_string(options.maxBody));
    if (chunked || length > kAnonymousBody) {
      int code = service.loginState(req.get_header_value("Cookie"));
      if (code != 0)
        return refuse(res, 200, "ErrorCode," + std::to_string(code) + "\n",
                      (chunked ? std::string("chunked body") : "body of " + std::to_string(length) + " bytes") +
                          " without a login, not read");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void answer(const httplib::Request& req, httplib::Response& res, std::string_view body) {
    if (guard && !guard->working()) {
      res.status = 408;
      return;
    }
    Incoming in;
    in.post = req.method == "POST";
    size_t q = req.target.find('?');
    in.form = decodeForm(
        in.post ? body : (q == std::string::npos ? std::string_view() : std::string_view(req.target).substr(q + 1)));
    in.cookieHeader = req.get_header_value("Cookie");
    in.peer = req.remote_addr;

    Fault fault;
    if (takeFault(Service::pageOf(in), fault)) {
      if (fault.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
      if (fault.drop) {
        if (t_connection) ::shutdown(t_connection->fd, SHUT_RDWR);
        t_note = "fault: dropped";
        res.status = 500;
      } else if (fault.status) {
        res.status = fault.status;
        res.set_content("fault\n", "text/plain");
      } else if (!fault.errorLine.empty()) {
        res.set_content("ErrorCode," + fault.errorLine + "\n", "text/plain");
      }
      if (fault.drop || fault.status || !fault.errorLine.empty()) {
        if (guard) guard->replied();
        return;
      }
    }
    Reply r = service.handle(in);
    res.status = r.status;
    for (const auto& [k, v] : r.headers) res.set_header(k.c_str(), v.c_str());
    res.set_content(r.body, "text/plain");
    t_note = r.note;
    replyToHalfClosed(req, res);
    if (guard) guard->replied();
  }

  // A POST's body is read here rather than by the HTTP library, which would
  // refuse a form body over 8,192 bytes; the limit is --max-body.
  void answerPost(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
    std::string body;
    bool tooLarge = false;
    bool whole = read([&](const char* data, size_t size) {
      if (body.size() + size > options.maxBody) {
        tooLarge = true;
        return false;
      }
      body.append(data, size);
      return true;
    });
    if (!whole) {
      res.status = tooLarge ? 413 : 400;
      t_note = tooLarge ? "body over --max-body" : "body cut short";
      if (guard) guard->replied();
      return;
    }
    t_postedPage = formValue(decodeForm(body), "page").value_or("-");
    answer(req, res, body);
  }

  // GET /_fault?page=&count=&skip=&status=&error=&delay=&drop=1, from loopback peers only.
  void armFault(const httplib::Request& req, httplib::Response& res) {
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
  }

  // Called once a reply is written: page and outcome only, since bodies
  // carry passwords and user data.
  void logReply(const httplib::Request& req, const httplib::Response& res) {
    if (t_connection && t_connection->answeredHere) return;
    logRequest(req, res);
  }

  // The task queue of the bound server; the library owns it.
  Guard* newGuard(int port) {
    guard =
        new Guard(options, port, [this](const std::string& peer, const std::string& outcome, const std::string& note) {
          log(peer, "-", "-", "-", outcome, note);
        });
    return guard;
  }

  // A client may close its sending half once its request is out; the library
  // takes that for a closed connection and would not answer, although the
  // request was carried out. The reply is written here then, and the
  // library, finding the connection closed, writes nothing more.
  void replyToHalfClosed(const httplib::Request& req, const httplib::Response& res) {
    Connection* c = t_connection;
    char byte;
    if (!c || ::recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0) return;
    std::vector<std::pair<std::string, std::string>> headers;
    for (const auto& [k, v] : res.headers)
      if (k != "Content-Type") headers.emplace_back(k, v);
    writeAll(c->fd, rawReply(res.status, res.body, headers));
    logRequest(req, res);
    c->answeredHere = true;
  }

  void logRequest(const httplib::Request& req, const httplib::Response& res) {
    size_t q = req.target.find('?');
    std::string page = req.method == "POST"
                           ? t_postedPage
                           : formValue(decodeForm(q == std::string::npos ? std::string_view()
                                                                         : std::string_view(req.target).substr(q + 1)),
                                       "page")
                                 .value_or("-");
    t_postedPage = "-";
    std::string outcome = std::to_string(res.status);
    if (res.body.rfind("ErrorCode,", 0) == 0) outcome += " " + res.body.substr(0, res.body.find('\n'));
    Connection* c = t_connection;
    std::string note = t_note;
    t_note.clear();
    // A request the library could not parse has no path; the log shows what
    // the client sent instead.
    if (req.path.empty() && c && c->firstRequest) note = "read " + c->first;
    std::string peer =
        req.remote_addr.empty() ? (c ? c->peer : "") : req.remote_addr + ":" + std::to_string(req.remote_port);
    log(peer, req.method, req.path, page, outcome, note);
    if (c && c->closeAfter) drainAndClose(*c);
  }

  // Takes what the client still sends of a body that was refused unread, for
  // a short while (so that it can read the reply), then resets the
  // connection. On the connection's own thread only.
  static void drainAndClose(Connection& c) {
    Clock::time_point until = Clock::now() + kDrainTime;
    size_t taken = 0;
    char buf[16384];
    while (taken < kDrainBytes) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      pollfd p{c.fd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      taken += static_cast<size_t>(n);
    }
    linger reset{1, 0};
    ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    detach(c);
  }

  // Gives the library, in place of the connection's socket, one that is at
  // its end: it stops serving the connection (it would otherwise read the
  // rest of a refused body as the next request) and closes that one. The
  // guard's duplicate then holds the connection alone and closes it.
  static void detach(Connection& c) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      ::shutdown(c.fd, SHUT_RDWR);
      return;
    }
    ::close(pair[1]);
    ::dup2(pair[0], c.libraryFd);
    ::close(pair[0]);
  }

  HttpOptions options;
  Service& service;
  std::string expectAuth;
  httplib::Server server;
  Guard* guard = nullptr;  // owned by the library once serving
  std::mutex faultsMutex;
  std::map<std::string, Fault> faults;
};

HttpServer::HttpServer(HttpOptions options, Service& service)
    : options_(std::move(options)), service_(service), impl_(std::make_unique<Impl>(options_, service)) {}

HttpServer::~HttpServer() = default;

std::string HttpServer::bind() {
  using httplib::Request;
  using httplib::Response;
  Impl& im = *impl_;
  httplib::Server& svr = im.server;
  // The library's default also sets SO_REUSEPORT, which lets a second server
  // share the port and take part of the traffic.
  svr.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  svr.set_payload_max_length(options_.maxBody);
  svr.set_keep_alive_max_count(100);
  svr.set_keep_alive_timeout(options_.idleSeconds);
  svr.set_read_timeout(options_.headerSeconds, 0);
  svr.set_write_timeout(options_.writeSeconds, 0);
  // A reply is written in pieces; held back for the client's delayed
  // acknowledgement, each would wait 40 ms on a reused connection.
  svr.set_tcp_nodelay(true);

  // The routes: the page endpoint, and the fault switch when it is on.
  svr.set_pre_routing_handler([&im](const Request& req, Response& res) { return im.screen(req, res); });
  svr.Get(options_.path, [&im](const Request& req, Response& res) { im.answer(req, res, {}); });
  svr.Post(options_.path, [&im](const Request& req, Response& res, const httplib::ContentReader& read) {
    im.answerPost(req, res, read);
  });
  if (options_.faults) svr.Get("/_fault", [&im](const Request& req, Response& res) { im.armFault(req, res); });
  svr.set_logger([&im](const Request& req, const Response& res) { im.logReply(req, res); });

  int port = options_.port;
  if (port == 0) {
    port = svr.bind_to_any_port(options_.bind);
    if (port <= 0) port = -1;
  } else if (!svr.bind_to_port(options_.bind, port)) {
    port = -1;
  }
  if (port < 0) {
    error_ = "cannot listen on " + options_.bind + " port " + std::to_string(options_.port) + ": " +
             listenProblem(options_.bind, options_.port);
    return {};
  }
  svr.new_task_queue = [&im, port] { return im.newGuard(port); };
  std::string host = options_.bind.find(':') != std::string::npos ? "[" + options_.bind + "]" : options_.bind;
  return "http://" + host + ":" + std::to_string(port) + options_.path;
}

bool HttpServer::run() { return impl_->server.listen_after_bind(); }

void HttpServer::stop() { impl_->server.stop(); }

bool HttpServer::running() const { return impl_->server.is_running(); }

}  // namespace gwserver
