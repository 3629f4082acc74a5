// Whole HotSyncs: `hotsync sync` with one conduit against gwserver on
// loopback, as a person runs it. For each size N the Address Book's initial
// sync moves N/2 cards made on the server and N/2 records made on the
// handheld to the other side; a second sync moves 100 changes made on each
// side. After each sync the handheld must hold every record of both sides,
// else the bench says WRONG. When 10,000 is among the sizes, the other kinds follow:
// 10,000 memos the same way, through the memo conduit and its own category;
// 1,000 mails, half in the handheld's Outbox to send and half on the server
// to bring to its Inbox, then 100 new ones on each side; 5,000 Date Book
// events (timed, inside the schedule window, some repeating) and 5,000
// to-dos, half made on each side, then 100 changed on each side.
//
// Beside each run stands a floor: the run's own HTTP requests replayed in
// order by one curl process (`--next`), plus a copy of AddressDB.pdb. To get
// them, the bench captures every request exactly (method, target, headers,
// whole body) through a recording relay: the conduit opens its session
// without a proxy of its own, so it takes the system's, and hotsync runs with
// http_proxy naming the relay, which keeps each request and passes it on to
// gwserver. Before each sync the server's database is copied (SQLite's
// online backup, WAL included); after it a second gwserver serves a copy of
// that and curl replays the requests, the login cookie coming from the
// replayed login. This is done twice, on one reused connection and with a
// connection per request as the conduit makes them, each on its own copy;
// the floor is the faster (see Connections). Each reply must have the status
// the run got, and be an error line only where the run's was, else the
// floor prints FAIL and why.
//
// Reported per size and sync: ours and the floor in ms, their ratio, both in
// microseconds per record of N (so growth shows across sizes), the two
// replays, the GET and POST requests, hotsync's peak resident memory and the
// .pdb's size. Ours includes the relay's extra loopback hop per request.
// Nothing is asserted.
//
//   build/bin/hotsync_bench [--slow] [N ...]    default: 1000 10000; --slow adds 50000
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gwclient/gwclient.h"
#include "hotsync/handheld/records.h"
#include "hotsync/pdb/pdb.h"
#include "platform/registry.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Schedules one month back and three ahead; every kind synchronised.
constexpr char kSettings[] =
    "s,Sync,1,3\nt,Sync\na,Sync,0,0,0,0,ts.0,1,-9,2,3,0,-10,0,0,4,-7,-4,-5,-8,-6,5,0,0,0,0,-11\nw,Sync,0,0,0\nm,Sync,"
    "0\n";
constexpr int kChanges = 100;
constexpr char kLoginCookie[] = "GWLogin";

std::string bin(const std::string& name) { return std::string(GWSYNC_TEST_BINDIR) + "/" + name; }

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Run {
  int status = -1;
  double ms = 0;
  long peakKb = 0;
};

// Runs a program to its end, its standard output to outPath; its own peak
// memory. Each entry of env is "NAME=value" (set) or "NAME" (removed).
// Everything the child needs is built before the fork: the relay's threads
// run meanwhile.
Run runTimed(const std::vector<std::string>& args, const std::string& outPath = "/dev/null",
             const std::vector<std::string>& env = {}) {
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (std::none_of(env.begin(), env.end(), [&](const std::string& c) { return c.substr(0, c.find('=')) == name; }))
      envText.push_back(entry);
  }
  for (const std::string& c : env)
    if (c.find('=') != std::string::npos) envText.push_back(c);
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  Run r;
  std::fflush(stdout);  // else the child's copy of the buffer is written too
  auto t = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) dup2(fd, 1);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.ms = msSince(t);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.peakKb = usage.ru_maxrss;
  return r;
}

// ---------------------------------------------------------------------------
// Capturing the run's requests

struct Captured {
  std::string method, target;                                // target in origin form: "/gw?page=..."
  std::vector<std::pair<std::string, std::string>> headers;  // as sent, hop-by-hop ones left out
  std::string body;
  int status = 0;        // the HTTP status the run got
  bool refused = false;  // its reply was an ErrorCode line
  std::string problem;   // why it could not be captured whole; empty when it was

  const std::string* header(const char* name) const {
    for (const auto& [n, v] : headers)
      if (strcasecmp(n.c_str(), name) == 0) return &v;
    return nullptr;
  }
  // The page named in the query or the form, for messages.
  std::string page() const {
    for (const std::string* s : {&target, &body}) {
      size_t at = s->find("page=");
      if (at != std::string::npos) return s->substr(at + 5, s->find('&', at) - at - 5);
    }
    return "?";
  }
};

bool sendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t k = ::send(fd, data, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Appends what one read brings; false at the end of the stream or after a
// minute of silence (a stuck peer must not stop the bench).
bool readMore(int fd, std::string& buf) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 60000) <= 0) return false;
  char chunk[65536];
  ssize_t k = ::recv(fd, chunk, sizeof chunk, 0);
  if (k <= 0) return false;
  buf.append(chunk, static_cast<size_t>(k));
  return true;
}

// Parses a request head ("METHOD TARGET VERSION" and header lines, without
// the blank line) into c; false when it is no request.
bool parseHead(const std::string& head, Captured& c) {
  size_t eol = head.find("\r\n");
  std::string line = head.substr(0, eol);
  size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  if (sp1 == std::string::npos || sp2 <= sp1) return false;
  c.method = line.substr(0, sp1);
  c.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  // Sent to a proxy the target may be absolute: keep the origin form.
  if (size_t scheme = c.target.find("://"); scheme != std::string::npos && c.target[0] != '/') {
    size_t path = c.target.find_first_of("/?", scheme + 3);
    c.target = path == std::string::npos ? "/" : c.target.substr(path);
    if (c.target[0] == '?') c.target.insert(0, "/");
  }
  while (eol != std::string::npos) {
    size_t start = eol + 2;
    eol = head.find("\r\n", start);
    line = head.substr(start, eol == std::string::npos ? std::string::npos : eol - start);
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(std::min(line.find_first_not_of(' ', colon + 1), line.size()));
    if (strcasecmp(name.c_str(), "Proxy-Connection") == 0 || strcasecmp(name.c_str(), "Connection") == 0 ||
        strcasecmp(name.c_str(), "Keep-Alive") == 0)
      continue;
    c.headers.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

// A forward HTTP proxy on a loopback port that keeps every request it passes
// on to gwserver, in the order they arrived, with the status of the reply.
// One request per connection: it asks gwserver to close after each reply,
// and the client sees that close too.
class RecordingRelay {
 public:
  explicit RecordingRelay(int upstreamPort) : upstreamPort_(upstreamPort) {
    const testutil::LoopbackListener listener = testutil::listenOnLoopback(16);
    if (listener.fd < 0) {
      std::perror("hotsync_bench: relay");
      std::exit(1);
    }
    listenFd_ = listener.fd;
    port_ = listener.port;
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~RecordingRelay() { finish(); }
  RecordingRelay(const RecordingRelay&) = delete;
  RecordingRelay& operator=(const RecordingRelay&) = delete;

  int port() const { return port_; }

  // Stops accepting, waits for the connections still open and hands over
  // the requests in the order they came.
  std::vector<Captured> finish() {
    if (acceptor_.joinable()) {
      stop_ = true;
      acceptor_.join();
      ::close(listenFd_);
    }
    for (std::thread& t : connections_) t.join();
    connections_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(captured_);
  }

 private:
  void acceptLoop() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd >= 0) connections_.emplace_back([this, fd] { relay(fd); });
    }
  }

  void relay(int client) {
    std::string buf;
    size_t headEnd;
    while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos)
      if (!readMore(client, buf)) return (void)::close(client);
    Captured c;
    if (!parseHead(buf.substr(0, headEnd), c)) c.problem = "not an HTTP request";
    size_t length = 0;
    if (const std::string* v = c.header("Content-Length")) length = std::strtoul(v->c_str(), nullptr, 10);
    if (c.header("Transfer-Encoding")) c.problem = "a chunked body";
    while (buf.size() < headEnd + 4 + length)
      if (!readMore(client, buf)) break;
    c.body = buf.substr(headEnd + 4, length);
    if (c.body.size() < length) c.problem = "a body cut short";

    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = captured_.size();
      captured_.push_back(c);
    }
    std::string request = c.method + " " + c.target + " HTTP/1.1\r\n";
    for (const auto& [name, value] : c.headers) request += name + ": " + value + "\r\n";
    request += "Connection: close\r\n\r\n" + c.body;

    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(upstreamPort_));
    std::string reply;  // the start of it: status line, headers, first bytes of the body
    if (server >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        sendAll(server, request.data(), request.size())) {
      for (std::string chunk; readMore(server, chunk); chunk.clear()) {
        if (reply.size() < 4096) reply += chunk.substr(0, 4096 - reply.size());
        if (!sendAll(client, chunk.data(), chunk.size())) break;
      }
    }
    if (server >= 0) ::close(server);
    ::close(client);

    std::lock_guard<std::mutex> lock(mutex_);
    Captured& kept = captured_[index];
    kept.status = reply.starts_with("HTTP/") && reply.size() > 9 ? std::atoi(reply.c_str() + 9) : 0;
    size_t body = reply.find("\r\n\r\n");
    kept.refused = body != std::string::npos && reply.compare(body + 4, 10, "ErrorCode,") == 0;
  }

  int upstreamPort_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // touched by the acceptor only until finish()
  std::mutex mutex_;
  std::vector<Captured> captured_;
};

// ---------------------------------------------------------------------------
// The floor

// A consistent copy of a live SQLite database, its WAL included, through
// the online backup; "" on success, else the reason.
std::string copyDatabase(const std::string& from, const std::string& to) {
  sqlite3 *src = nullptr, *dst = nullptr;
  std::string error;
  // Private, as gwserver makes its own: it warns about a wider mode.
  if (int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
  if (sqlite3_open_v2(from.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_open(to.c_str(), &dst) != SQLITE_OK) {
    error = "cannot open " + from + " or " + to;
  } else if (sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main")) {
    sqlite3_backup_step(b, -1);
    if (sqlite3_backup_finish(b) != SQLITE_OK) error = sqlite3_errmsg(dst);
  } else {
    error = sqlite3_errmsg(dst);
  }
  sqlite3_close(src);
  sqlite3_close(dst);
  return error;
}

// A text for curl's config file: quoted, with what its parser unescapes
// escaped.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

struct Floor {
  bool ok = false;
  double ms = 0;        // the replay plus the copy of the .pdb
  std::string problem;  // why it failed
};

// gwserver leaves Nagle's algorithm on, so on a reused connection a reply
// written in two pieces waits for the client's delayed ACK (40 ms on Linux);
// a fresh connection acknowledges at once. Both ways are replayed, and the
// floor is the faster.
enum class Connections { Reused, OnePerRequest };

// Replays requests in order with one curl process against a gwserver on a
// copy of db made in work, then copies the handheld file.
Floor replay(const std::vector<Captured>& requests, const fs::path& db, const fs::path& work, const fs::path& pdb,
             Connections connections) {
  Floor f;
  for (size_t i = 0; i < requests.size(); ++i)
    if (!requests[i].problem.empty()) {
      f.problem = "request " + std::to_string(i + 1) + " was not captured whole: " + requests[i].problem;
      return f;
    }
  fs::create_directories(work);
  fs::copy_file(db, work / "gw.db", fs::copy_options::overwrite_existing);
  testutil::GwServer server(work);  // keeps the copy that is already there
  server.setErrorLog((work / "server.err").string());
  server.start();
  const std::string& url = server.url();
  const std::string origin = url.substr(0, url.find('/', url.find("://") + 3));

  std::ofstream config(work / "replay.curl", std::ios::binary);
  for (size_t i = 0; i < requests.size(); ++i) {
    const Captured& r = requests[i];
    const std::string n = std::to_string(i + 1);
    if (i > 0) config << "next\n";
    // The URL serves the cookie store's path matching; the request line
    // carries the captured target byte for byte.
    config << "url = " << quoted(origin + r.target.substr(0, r.target.find('?'))) << "\n"
           << "request-target = " << quoted(r.target) << "\n"
           << "silent\nshow-error\nnoproxy = \"*\"\n"
           << "output = " << quoted((work / ("reply-" + n)).string()) << "\n"
           << "write-out = \"%{http_code}\\n\"\n";
    // The server then closes after its reply, and curl connects anew.
    if (connections == Connections::OnePerRequest) config << "header = \"Connection: close\"\n";
    // The cookie store on for every request, so that it keeps the login's.
    config << "cookie = \"/dev/null\"\n";
    if (r.method != "GET" && r.method != "POST") config << "request = " << quoted(r.method) << "\n";
    // Headers curl adds of its own, unless the run sent them.
    for (const char* own : {"User-Agent", "Accept", "Content-Type", "Expect"})
      if (!r.header(own)) config << "header = " << quoted(std::string(own) + ":") << "\n";
    for (const auto& [name, value] : r.headers) {
      if (strcasecmp(name.c_str(), "Host") == 0 || strcasecmp(name.c_str(), "Content-Length") == 0) continue;
      if (strcasecmp(name.c_str(), "Cookie") != 0) {
        config << "header = " << quoted(name + ": " + value) << "\n";
        continue;
      }
      // The login cookie is the replay server's own, from curl's cookie
      // store; the others go as captured.
      std::string others;
      for (size_t at = 0; at < value.size();) {
        size_t end = std::min(value.find(';', at), value.size());
        std::string pair = value.substr(at, end - at);
        pair.erase(0, std::min(pair.find_first_not_of(' '), pair.size()));
        if (!pair.empty() && !pair.starts_with(std::string(kLoginCookie) + "="))
          others += (others.empty() ? "" : "; ") + pair;
        at = end + 1;
      }
      if (!others.empty()) config << "cookie = " << quoted(others) << "\n";
    }
    if (r.method != "GET" || !r.body.empty()) {
      const fs::path body = work / ("body-" + n);
      std::ofstream(body, std::ios::binary) << r.body;
      config << "data-binary = " << quoted("@" + body.string()) << "\n";
    }
  }
  config.close();

  const std::string statuses = (work / "statuses").string();
  Run curl = runTimed({"/usr/bin/curl", "-K", (work / "replay.curl").string()}, statuses);
  auto t = Clock::now();
  fs::copy_file(pdb, work / "copy.pdb", fs::copy_options::overwrite_existing);
  f.ms = curl.ms + msSince(t);
  server.stop();

  std::ifstream codes(statuses);
  for (size_t i = 0; i < requests.size() && f.problem.empty(); ++i) {
    const Captured& r = requests[i];
    const std::string what = "request " + std::to_string(i + 1) + " (" + r.method + " " + r.page() + ")";
    std::string code;
    std::getline(codes, code);
    char first[32] = {};
    std::ifstream(work / ("reply-" + std::to_string(i + 1)), std::ios::binary).read(first, sizeof first - 1);
    std::string start = first;
    bool refused = start.starts_with("ErrorCode,");
    if (std::atoi(code.c_str()) != r.status)
      f.problem =
          what + " got HTTP " + (code.empty() ? "nothing" : code) + " where the run got " + std::to_string(r.status);
    else if (refused != r.refused)
      f.problem = what + (refused ? " was refused: " + start.substr(0, start.find('\n'))
                                  : " was answered where the run's was refused");
  }
  if (curl.status != 0)
    f.problem += (f.problem.empty() ? "" : "; ") + std::string("curl exited with ") + std::to_string(curl.status);
  f.ok = f.problem.empty();
  return f;
}

// ---------------------------------------------------------------------------

palm::AddressRecord person(const std::string& last, int i) {
  palm::AddressRecord a;
  a.fields[palm::kLastName] = last;
  a.fields[palm::kFirstName] = "Person " + std::to_string(i);
  a.fields[palm::kCompany] = "Company " + std::to_string(i % 97);
  a.fields[palm::kPhone1] = "03-5555-" + std::to_string(1000 + i % 9000);
  a.fields[palm::kCity] = "Tokyo";
  a.fields[palm::kNote] = "Met at meeting " + std::to_string(i);
  return a;
}

// What is synced: the Address Book, the Memo Pad (its conduit's own
// category, kMemoCategory), Mail (the Outbox sent, server mail to the
// Inbox), the Date Book or the To Do List.
enum class Kind { Address, Memo, Mail, Event, ToDo };

struct KindInfo {
  const char* name;      // in the report
  const char* database;  // the handheld's
  char creator[5];
  const char* library;  // the conduit
};

const KindInfo& about(Kind kind) {
  static const KindInfo kinds[] = {
      {"address", "AddressDB", "addr", "libaddressconduit.so"},
      {"memo", "MemoDB", "memo", "libmemoconduit.so"},
      {"mail", "MailDB", "mail", "libmailconduit.so"},
      {"event", "DatebookDB", "date", "libscheduleconduit.so"},
      {"todo", "ToDoDB", "todo", "libtodoconduit.so"},
  };
  return kinds[static_cast<int>(kind)];
}

constexpr char kMemoCategory[] = "GWSync";

std::string memoText(const char* side, int i) {
  return std::string(side) + " memo " + std::to_string(i) + "\nBought " + std::to_string(i % 12 + 1) +
         " boxes.\nCall back before " + std::to_string(i % 28 + 1) + " May.";
}

palm::MailRecord outgoingMail(int i, const char* what) {
  palm::MailRecord m;
  m.year = 2026;
  m.month = 12;
  m.day = 1 + i % 28;
  m.texts[palm::kSubject] = std::string(what) + " " + std::to_string(i);
  m.texts[palm::kTo] = "colleague" + std::to_string(i % 50) + "@example.com";
  m.texts[palm::kBody] = "Hello,\nthe figures for item " + std::to_string(i) + " are attached.\nTaro";
  return m;
}

std::string serverMailLine(int i, const char* what) {
  return "mail\t-\t-\t" + std::to_string(1796000000 + i) + "\t0\t" + what + " " + std::to_string(i) + "\tsender" +
         std::to_string(i % 40) +
         "@example.com\tbench@example.com\t\t\t\ttext/plain\t"
         "Dear Bench,\\nplease see the notes on point " +
         std::to_string(i) + ".\\nRegards\n";
}

// The day so many days from today. The schedule window moves with today, so
// the events are placed from it: 20 days back to 79 ahead, inside the
// window of kSettings.
palm::Ymd fromToday(int days) {
  using namespace std::chrono;
  const time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  const year_month_day d(sys_days(year_month_day(year(t.tm_year + 1900), month(static_cast<unsigned>(t.tm_mon + 1)),
                                                 day(static_cast<unsigned>(t.tm_mday)))) +
                         std::chrono::days(days));
  return {static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
          static_cast<int>(static_cast<unsigned>(d.day()))};
}
std::string serverDate(const palm::Ymd& d) {
  return std::to_string(d.year) + "/" + std::to_string(d.month) + "/" + std::to_string(d.day);
}
palm::Ymd eventDay(int i) { return fromToday(-20 + i % 100); }
constexpr int kRepeatEvery = 20;  // every 20th event repeats daily for five days

std::string serverEventLine(int i) {
  const palm::Ymd day = eventDay(i);
  const bool repeats = i % kRepeatEvery == 0;
  const int hour = 8 + i % 10;
  return "schedule\t-\t-\t\t" + serverDate(day) + "\t" + (repeats ? serverDate(fromToday(-20 + i % 100 + 5)) : "") +
         "\t" + std::to_string(hour) + ":00\t" + std::to_string(hour + 1) + ":00\t" + (repeats ? "d" : "") +
         "\t\t0\t0\tServer event " + std::to_string(i) + "\t\tRoom " + std::to_string(i % 9) +
         "\\nBring the figures\t\n";
}

palm::EventRecord handheldEvent(int i) {
  const palm::Ymd day = eventDay(i);
  palm::EventRecord e;
  e.date = palm::packDate(day.year, day.month, day.day);
  e.startHour = static_cast<uint8_t>(8 + i % 10);
  e.startMinute = 30;
  e.endHour = static_cast<uint8_t>(e.startHour + 1);
  e.endMinute = 0;
  if (i % kRepeatEvery == 0) {
    const palm::Ymd end = fromToday(-20 + i % 100 + 5);
    e.repeat = palm::EventRepeat{};
    e.repeat->type = palm::kRepeatDaily;
    e.repeat->end = palm::packDate(end.year, end.month, end.day);
  }
  if (i % 4 == 0) e.alarm = palm::EventAlarm{};
  e.description = "Handheld event " + std::to_string(i);
  e.note = "Room " + std::to_string(i % 9) + "\nBring the figures";
  return e;
}

// To-dos: a third without due date, the rest due within two months, in the
// handheld's standard categories.
constexpr const char* kToDoCategories[] = {"Business", "Personal"};

std::string serverToDoLine(int i) {
  return "todo\t-\t-\t" + (i % 3 == 0 ? std::string() : serverDate(fromToday(i % 60))) + "\t" +
         std::to_string(1 + i % 5) + "\t0\t\t" + kToDoCategories[i % 2] + "\tServer to-do " + std::to_string(i) +
         "\tAsk about item " + std::to_string(i) + "\n";
}

palm::ToDoRecord handheldToDo(int i) {
  palm::ToDoRecord t;
  if (i % 3 != 0) {
    const palm::Ymd due = fromToday(i % 60);
    t.year = due.year;
    t.month = due.month;
    t.day = due.day;
  }
  t.priority = 1 + i % 5;
  t.description = "Handheld to-do " + std::to_string(i);
  t.note = "Ask about item " + std::to_string(i);
  return t;
}

class Bench {
 public:
  Bench(int n, Kind kind) : n_(n), kind_(kind), dir_("hotsync_bench_" + std::to_string(n)), server_(dir_.path()) {
    ::setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("GWSYNC_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1);
    std::system((bin("logtext-install") + " >/dev/null").c_str());
    for (const char* item : {"Company", "Home", "Fax", "Mobile", "Title"})
      server_.admin({"item", "add", server_.db(), item});
    server_.admin({"settings", server_.db(), "Palm"}, kSettings);
    userId_ = server_.addUser("bench", "bench-pw");
    std::string records = "gwserver-export 1\n";
    for (int i = 0; i < n / 2; ++i) {
      if (kind_ == Kind::Mail) {
        records += serverMailLine(i, "Server mail");
      } else if (kind_ == Kind::Event) {
        records += serverEventLine(i);
      } else if (kind_ == Kind::ToDo) {
        records += serverToDoLine(i);
      } else if (kind_ == Kind::Memo) {
        std::string text = memoText("Server", i);
        size_t lf = text.find('\n');
        records += "memo\t-\t-\t" + text.substr(0, lf) + "\t" + escaped(text.substr(lf + 1)) + "\n";
      } else {
        records += "card\t-\t-\t1\tBusiness\t-2=Server\t-1=Person " + std::to_string(i) + "\t1=Company " +
                   std::to_string(i % 97) + "\t-9=03-1111-" + std::to_string(1000 + i % 9000) + "\t-4=Osaka\n";
      }
    }
    server_.admin({"import", server_.db(), "bench"}, records);
    server_.setErrorLog((dir_ / "server.err").string());
    server_.start();
    writeHandheld();
    configure();
  }

  void initial() {
    report("initial", sync("initial"));
    checkHandheld(n_);
  }

  void incremental() {
    changeHandheld();
    changeServer();
    report("second", sync("second"));
    // New mail comes on both sides; the other kinds change records in place.
    checkHandheld(kind_ == Kind::Mail ? n_ + 2 * kChanges : n_);
  }

 private:
  // Backslashes and tabs of an import field, and its line ends, escaped.
  static std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text)
      out += c == '\n'   ? std::string("\\n")
             : c == '\t' ? std::string("\\t")
             : c == '\\' ? std::string("\\\\")
                         : std::string(1, c);
    return out;
  }

  std::string database() const { return about(kind_).database; }
  static constexpr uint8_t kOutbox = 1;  // of the Mail application's categories
  fs::path pdb() const { return dir_ / "palm" / (database() + ".pdb"); }

  void writeHandheld() {
    fs::create_directories(dir_ / "palm");
    palm::Database db;
    db.name = database();
    db.type = palm::fourCC("DATA");
    db.creator = palm::fourCC(about(kind_).creator);
    db.created = db.modified = palm::palmNow();
    db.appInfo = palm::defaultAppInfo(db.creator);
    uint8_t category = 1;
    if (kind_ == Kind::Memo) {
      // The person filed the memos in the conduit's category.
      palm::CategoryBlock block;
      palm::parseCategoryBlock(*db.appInfo, block);
      category = 3;
      block.names[category] = kMemoCategory;
      block.ids[category] = 3;
      palm::storeCategoryBlock(block, *db.appInfo);
    }
    for (int i = 0; i < n_ - n_ / 2; ++i) {
      palm::Record r;
      r.uniqueId = palm::nextUniqueId(db);
      r.category = kind_ == Kind::Mail ? kOutbox : kind_ == Kind::ToDo ? 1 + i % 2 : category;
      r.dirty = true;
      switch (kind_) {
        case Kind::Mail: r.data = palm::packMail(outgoingMail(i, "Handheld mail")); break;
        case Kind::Memo: r.data = palm::packMemo(memoText("Handheld", i)); break;
        case Kind::Event: r.data = palm::packEvent(handheldEvent(i)); break;
        case Kind::ToDo: r.data = palm::packToDo(handheldToDo(i)); break;
        case Kind::Address: r.data = palm::packAddress(person("Handheld", i)); break;
      }
      db.records.push_back(r);
    }
    std::ofstream(pdb(), std::ios::binary) << palm::serializeDatabase(db);
  }

  void configure() {
    // The brake on mass deletion runs a dry run before each sync, which
    // doubles the server's work (measured: 10,000 cards, initial sync, 0.5 s
    // alone and 1.0 s with it); the figures are of the sync itself.
    fs::create_directories(dir_ / "user");
    std::ofstream(dir_ / "user" / "settings") << "mass-delete-brake=off\n";
    HKEY key;
    RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                   nullptr);
    for (auto [name, value] : {std::pair<const char*, std::string>{"ZaDiridoURL", server_.url()},
                               {"ZaDiridoUser", "bench"},
                               {"ZaDiridoPwd", "bench-pw"}})
      RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                    static_cast<DWORD>(value.size() + 1));
    DWORD off = 0;  // a detail trace would dump every record
    RegSetValueEx(key, "DetailLog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), 4);
    RegCloseKey(key);
  }

  struct Result {
    Run run;
    fs::path work;  // the database copy, and later the replay's files
    std::string copyError;
    std::vector<Captured> requests;
  };

  // One HotSync through the relay, the server's database copied first.
  Result sync(const char* tag) {
    Result r;
    r.work = dir_ / tag;
    fs::create_directories(r.work);
    r.copyError = copyDatabase(server_.db(), (r.work / "gw.db").string());
    RecordingRelay relay(server_.port());
    // The conduit's session has no proxy of its own, so the system's applies.
    r.run = runTimed(
        {bin("hotsync"), "sync", "--handheld", (dir_ / "palm").string(), "--user", "Bench", "--userdir",
         (dir_ / "user").string(), "--conduit", bin(std::string("../lib/") + about(kind_).library) + "=" + database()},
        "/dev/null", {"http_proxy=http://127.0.0.1:" + std::to_string(relay.port()), "no_proxy", "NO_PROXY"});
    r.requests = relay.finish();
    return r;
  }

  // A figure of a sync that lost or duplicated records would mean nothing:
  // the handheld must hold every record of both sides.
  void checkHandheld(int expected) const {
    palm::Database db;
    std::string why;
    if (!palm::parseDatabase(testutil::readFile(pdb()), db, &why)) {
      std::printf("        the handheld's file cannot be read: %s\n", why.c_str());
      return;
    }
    const auto live =
        std::count_if(db.records.begin(), db.records.end(), [](const palm::Record& r) { return r.live(); });
    if (live != expected) std::printf("        WRONG: the handheld holds %td records, not %d\n", live, expected);
  }

  void report(const char* what, const Result& r) {
    int gets = 0, posts = 0;
    for (const Captured& c : r.requests) (c.method == "GET" ? gets : posts)++;
    const fs::path pdb = this->pdb();
    Floor reused, fresh;
    if (!r.copyError.empty()) {
      reused.problem = "the database could not be copied: " + r.copyError;
    } else {
      reused = replay(r.requests, r.work / "gw.db", r.work / "reused", pdb, Connections::Reused);
      fresh = replay(r.requests, r.work / "gw.db", r.work / "fresh", pdb, Connections::OnePerRequest);
    }
    Floor floor = !reused.ok ? reused : !fresh.ok ? fresh : reused.ms < fresh.ms ? reused : fresh;
    const bool ours = r.run.status == 0;

    auto figure = [](bool ok, double v, const char* format) {
      char text[32];
      std::snprintf(text, sizeof text, format, v);
      return ok ? std::string(text) : std::string("FAIL");
    };
    std::printf("%-7s %6d  %-8s %9s %9s %7s %10s %10s %10s %10s %4d %4d %9ld %8ju\n", about(kind_).name, n_, what,
                figure(ours, r.run.ms, "%.1f").c_str(), figure(floor.ok, floor.ms, "%.1f").c_str(),
                figure(ours && floor.ok, r.run.ms / floor.ms, "%.1fx").c_str(),
                figure(ours, 1000.0 * r.run.ms / n_, "%.1f").c_str(),
                figure(floor.ok, 1000.0 * floor.ms / n_, "%.1f").c_str(), figure(reused.ok, reused.ms, "%.1f").c_str(),
                figure(fresh.ok, fresh.ms, "%.1f").c_str(), gets, posts, r.run.peakKb,
                static_cast<uintmax_t>(fs::file_size(pdb) / 1024));
    if (!ours)
      std::printf("        ours: hotsync exited with %d (see %s)\n", r.run.status,
                  (dir_ / "user" / "hotsync.log").c_str());
    if (!reused.ok) std::printf("        floor on one connection: %s\n", reused.problem.c_str());
    if (!fresh.ok && fresh.problem != reused.problem)
      std::printf("        floor on a connection per request: %s\n", fresh.problem.c_str());
    std::fflush(stdout);
  }

  void changeHandheld() {
    const fs::path file = pdb();
    palm::Database db;
    palm::parseDatabase(testutil::readFile(file), db, nullptr);
    int changed = 0;
    if (kind_ == Kind::Mail) {
      // New mail written on the handheld since.
      for (int i = 0; i < kChanges; ++i) {
        palm::Record r;
        r.uniqueId = palm::nextUniqueId(db);
        r.category = kOutbox;
        r.dirty = true;
        r.data = palm::packMail(outgoingMail(i, "Second handheld mail"));
        db.records.push_back(r);
      }
    }
    for (palm::Record& r : db.records) {
      if (kind_ == Kind::Mail || changed == kChanges) break;
      if (!changeHandheldRecord(r)) continue;
      r.dirty = true;
      ++changed;
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << palm::serializeDatabase(db);
  }

  // Changes one of the records made on the handheld; false for the others.
  bool changeHandheldRecord(palm::Record& r) const {
    switch (kind_) {
      case Kind::Memo:
        if (palm::memoText(r.data).rfind("Handheld memo", 0) != 0) return false;
        r.data = palm::packMemo(palm::memoText(r.data) + "\nchanged on the handheld");
        return true;
      case Kind::Event: {
        palm::EventRecord e;
        if (!palm::parseEvent(r.data, e, nullptr) || e.description.value_or("").rfind("Handheld event", 0) != 0)
          return false;
        e.note = e.note.value_or("") + "\nchanged on the handheld";
        r.data = palm::packEvent(e);
        return true;
      }
      case Kind::ToDo: {
        palm::ToDoRecord t;
        if (!palm::parseToDo(r.data, t, nullptr) || t.description.rfind("Handheld to-do", 0) != 0) return false;
        t.completed = true;
        r.data = palm::packToDo(t);
        return true;
      }
      case Kind::Address: {
        palm::AddressRecord a;
        if (!palm::parseAddress(r.data, a, nullptr) || a.fields[palm::kLastName] != "Handheld") return false;
        a.fields[palm::kTitle] = "changed on the handheld";
        r.data = palm::packAddress(a);
        return true;
      }
      case Kind::Mail: break;
    }
    return false;
  }

  void changeServer() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the last sync's second
    if (kind_ == Kind::Mail) {
      // New mail arrived on the server since.
      std::string lines = "gwserver-export 1\n";
      for (int i = 0; i < kChanges; ++i) lines += serverMailLine(i, "Second server mail");
      server_.admin({"import", server_.db(), "bench"}, lines);
      return;
    }
    COfficeSession session;
    if (!session.Open(server_.url().c_str(), static_cast<DWORD>(std::stoul(userId_)), "bench-pw", nullptr, 0)) return;
    if (kind_ != Kind::Address) {
      if (kind_ == Kind::Memo) changeServerMemos(session);
      if (kind_ == Kind::Event) changeServerEvents(session);
      if (kind_ == Kind::ToDo) changeServerToDos(session);
      session.Close();
      return;
    }
    CAddressConnection conn(session);
    __ADDRESS_ITEM title{};
    for (const __ADDRESS_ITEM* i = conn.FindFirstItem(); i; i = conn.FindNextItem())
      if (i->nID == 5) title = *i;
    std::string text = "changed on the server";
    int changed = 0;
    std::vector<__ADDRESS_DATA> picked;
    for (const __ADDRESS_DATA* c = conn.FindFirst(); c && changed < kChanges; c = conn.FindNext()) {
      bool fromServer = false;
      for (LONG i = 0; i < c->nItemCount; ++i)
        fromServer |= c->pValues[i].pItem->nID == -2 && std::string(c->pValues[i].pszValue) == "Server";
      if (!fromServer) continue;  // the handheld's own records change there
      picked.push_back(*c);
      ++changed;
    }
    for (const __ADDRESS_DATA& c : picked) {
      std::vector<__ADDRESS_ITEM_VALUE> values(c.pValues, c.pValues + c.nItemCount);
      values.push_back({&title, text.data()});
      __ADDRESS_DATA card = c;
      card.nItemCount = static_cast<LONG>(values.size());
      card.pValues = values.data();
      conn.Set(&card, 0);
    }
    conn.Commit();
    session.Close();
  }

  // Changes kChanges of the server's own records (named from prefix) as
  // another client of the server would.
  template <typename Connection, typename Record>
  static void changeServerRecords(COfficeSession& session, const char* prefix, char* Record::*name,
                                  void (*change)(Record&)) {
    Connection conn(session);
    std::vector<Record> picked;
    for (const Record* r = conn.FindFirst(); r && picked.size() < kChanges; r = conn.FindNext())
      if (r->*name && std::string(r->*name).rfind(prefix, 0) == 0) picked.push_back(*r);
    for (Record r : picked) {
      change(r);
      conn.Set(&r, 0);
    }
    conn.Commit();
  }

  static char* changedText() {
    static char text[] = "changed on the server";
    return text;
  }
  static void changeServerMemos(COfficeSession& session) {
    changeServerRecords<CMemoConnection, __MEMO_DATA>(session, "Server memo", &__MEMO_DATA::pszName,
                                                      [](__MEMO_DATA& m) { m.pszData = changedText(); });
  }
  static void changeServerEvents(COfficeSession& session) {
    changeServerRecords<CScheduleConnection, __SCHEDULE_DATA>(session, "Server event", &__SCHEDULE_DATA::pszEvent,
                                                              [](__SCHEDULE_DATA& e) { e.pszMemo = changedText(); });
  }
  static void changeServerToDos(COfficeSession& session) {
    changeServerRecords<CToDoConnection, __TODO_DATA>(session, "Server to-do", &__TODO_DATA::pszName,
                                                      [](__TODO_DATA& t) { t.nPriority = t.nPriority % 5 + 1; });
  }

  int n_;
  Kind kind_;
  testutil::TempDir dir_;
  testutil::GwServer server_;
  std::string userId_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  bool slow = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--slow") == 0) {
      slow = true;
    } else if (int n = std::atoi(argv[i]); n >= 2) {
      sizes.push_back(n);
    } else {
      std::fprintf(stderr, "usage: hotsync_bench [--slow] [N ...]   (N: records, at least 2)\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {1000, 10000};
  const bool otherKinds = std::find(sizes.begin(), sizes.end(), 10000) != sizes.end();
  if (slow && std::find(sizes.begin(), sizes.end(), 50000) == sizes.end()) sizes.push_back(50000);
  std::printf(
      "hotsync sync of each kind against gwserver, beside the floor: the same HTTP requests\n"
      "replayed by one curl process against a copy of the server's database, plus a copy of the .pdb.\n"
      "The floor is the faster of two replays: on one reused connection, and on a connection per\n"
      "request as the conduit makes them, each with the copy. us/r: microseconds per record of N.\n"
      "Peak: hotsync's resident memory.\n\n");
  std::printf("%-7s %6s  %-8s %9s %9s %7s %10s %10s %10s %10s %4s %4s %9s %8s\n", "kind", "N", "sync", "ours ms",
              "floor ms", "ratio", "ours us/r", "floor us/r", "1-conn ms", "per-req ms", "GET", "POST", "peak KiB",
              "pdb KiB");
  std::fflush(stdout);
  for (int n : sizes) {
    Bench b(n, Kind::Address);
    b.initial();
    b.incremental();
  }
  // The Memo Pad at 10,000 memos, in its own category, Mail at 1,000, and
  // the Date Book and To Do List at 5,000 each.
  if (otherKinds) {
    Bench memos(10000, Kind::Memo);
    memos.initial();
    memos.incremental();
    Bench mail(1000, Kind::Mail);
    mail.initial();
    mail.incremental();
    for (Kind kind : {Kind::Event, Kind::ToDo}) {
      Bench b(5000, kind);
      b.initial();
      b.incremental();
    }
  }
  return 0;
}
