// Starts a real gwserver process for a test: a fresh database in a folder of
// the test's own, users added through the command line, `serve` on a free
// loopback port with the fault switch on, and SIGTERM at the end.
//
//   testutil::TempDir dir("mytest");
//   testutil::GwServer server(dir.path());          // gwserver init DB
//   std::string id = server.addUser("taro", "pw");  // gwserver user add DB taro, "pw" on standard input
//   server.start();                                  // gwserver serve DB --port 0 --faults
//   server.url();    // "http://127.0.0.1:PORT/gw", the first line serve printed
//   server.stop();   // SIGTERM and wait; also done by the destructor
//
// The program is $GWSYNC_GWSERVER when set, else gwserver in the build's bin
// folder (GWSYNC_TEST_BINDIR, defined for every gw_test target). A test that
// needs it adds `DEPENDS gwserver` to its gw_test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

inline std::string gwserverProgram() {
  if (const char* p = std::getenv("GWSYNC_GWSERVER")) return p;
#ifdef GWSYNC_TEST_BINDIR
  return std::string(GWSYNC_TEST_BINDIR) + "/gwserver";
#else
  return "gwserver";
#endif
}

struct CommandResult {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;  // standard output
};

// Forks and runs args[0] with these arguments, `in` and `out` as its
// standard input and output (-1 keeps the test's own) and standard error
// appended to `errorLog` when one is named; `others` are the descriptors the
// child must not keep (the pipe ends). Returns the child's pid; a program
// that cannot be run exits 127.
inline pid_t spawnProgram(const std::vector<std::string>& args, int in, int out, std::initializer_list<int> others,
                          const std::string& errorLog = "") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!errorLog.empty()) {
      int fd = open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) dup2(fd, 2);
    }
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    for (int fd : others) close(fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a program with these arguments, feeding `input` on standard input;
// standard error passes through to the test's own.
inline CommandResult runCommand(const std::vector<std::string>& args, const std::string& input = "") {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = spawnProgram(args, in[0], out[1], {in[0], in[1], out[0], out[1]});
  close(in[0]);
  close(out[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t sent = 0;
  while (sent < input.size()) {
    ssize_t n = write(in[1], input.data() + sent, input.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(in[1]);
  CommandResult r;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The fields of one line of `gwserver export`, unescaped; the byte after a
// Shift-JIS lead byte is never an escape.
inline std::vector<std::string> splitExportLine(const std::string& line) {
  std::vector<std::string> f(1);
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < line.size()) {
      f.back() += line[i];
      f.back() += line[++i];
    } else if (c == '\t') {
      f.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      char e = line[++i];
      f.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    } else {
      f.back() += line[i];
    }
  }
  return f;
}

class GwServer {
 public:
  // Creates `dir`/gw.db with `gwserver init`.
  explicit GwServer(const std::filesystem::path& dir) : db_((dir / "gw.db").string()) {
    if (admin({"init", db_}).status != 0) throw std::runtime_error("gwserver init failed");
  }
  ~GwServer() { stop(); }
  GwServer(const GwServer&) = delete;
  GwServer& operator=(const GwServer&) = delete;

  // `gwserver ARGS...` with the program prepended (the database is not added).
  CommandResult admin(std::vector<std::string> args, const std::string& input = "") const {
    args.insert(args.begin(), gwserverProgram());
    return runCommand(args, input);
  }

  // The records of one kind ("card", "memo", "relation", ...) that
  // `gwserver export DB user` writes, fields unescaped. Throws when the
  // command fails.
  std::vector<std::vector<std::string>> exported(const std::string& user, const std::string& kind) const {
    CommandResult r = admin({"export", db_, user});
    if (r.status != 0) throw std::runtime_error("gwserver export failed");
    std::vector<std::vector<std::string>> out;
    size_t start = 0;
    while (start < r.out.size()) {
      size_t end = r.out.find('\n', start);
      if (end == std::string::npos) end = r.out.size();
      std::vector<std::string> f = splitExportLine(r.out.substr(start, end - start));
      if (f[0] == kind) out.push_back(std::move(f));
      start = end + 1;
    }
    return out;
  }
  // The relation pairs (server id -> handheld id) of one application in
  // that export.
  std::multimap<uint32_t, uint32_t> relations(const std::string& user, const std::string& app) const {
    std::multimap<uint32_t, uint32_t> pairs;
    for (const auto& f : exported(user, "relation")) {
      if (f.size() < 4 || f[2] != app) continue;
      for (size_t i = 4; i < f.size(); ++i) {
        size_t colon = f[i].find(':');
        pairs.emplace(std::stoul(f[i].substr(0, colon)), std::stoul(f[i].substr(colon + 1)));
      }
    }
    return pairs;
  }

  // Adds a user, the password on standard input; returns the id it printed.
  // Throws when the command fails.
  std::string addUser(const std::string& name, const std::string& password) const {
    CommandResult r = admin({"user", "add", db_, name}, password + "\n");
    if (r.status != 0) throw std::runtime_error("gwserver user add failed");
    while (!r.out.empty() && (r.out.back() == '\n')) r.out.pop_back();
    return r.out;
  }

  // Starts `gwserver serve DB --port 0 --faults` plus `extra`, and waits (up to
  // 20 s) for the URL line. Throws when the server does not come up.
  void start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {gwserverProgram(), "serve", db_, "--port", "0", "--faults"};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = spawnProgram(args, -1, out[1], {out[0], out[1]}, errorLog_);
    close(out[1]);
    out_ = out[0];
    std::string line;
    while (line.empty() || line.back() != '\n') {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) break;
      char c;
      if (read(out_, &c, 1) != 1) break;
      line += c;
    }
    if (line.empty() || line.back() != '\n') {
      stop();
      throw std::runtime_error("gwserver serve printed no URL");
    }
    line.pop_back();
    url_ = line;
    port_ = std::atoi(line.substr(line.rfind(':') + 1).c_str());
  }

  // Sends SIGTERM and waits up to 10 s (then SIGKILL); returns the exit
  // status, -1 when it had to be killed or was not running.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 1000 && !exited; ++i) {
      exited = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!exited) usleep(10000);
    }
    if (!exited) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status = -1;
    }
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Sends the server's standard error to this file from the next start() on
  // (by default it goes to the test's own).
  void setErrorLog(const std::string& path) { errorLog_ = path; }

  const std::string& url() const { return url_; }
  int port() const { return port_; }
  const std::string& db() const { return db_; }
  pid_t pid() const { return pid_; }

 private:
  std::string db_;
  std::string errorLog_;
  std::string url_;
  int port_ = 0;
  pid_t pid_ = -1;
  int out_ = -1;
};

}  // namespace testutil
