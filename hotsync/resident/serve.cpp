// The resident instance itself: holds the lock, answers the control socket,
// and runs each HotSync as a `hotsync sync` child process, so that a conduit
// that crashes ends that run, never the instance.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "hotsync/resident/files.h"

namespace resident {

namespace {

namespace fs = std::filesystem;

volatile std::sig_atomic_t g_stop = 0;
void onStop(int) { g_stop = 1; }

std::string timeNow() {
  std::time_t now = std::time(nullptr);
  char text[32] = "";
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  return text;
}

// The handheld folder's files with their sizes and times, to tell a change.
std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> snapshot(const std::string& folder) {
  std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.' || !it->is_regular_file(ec)) continue;
    files[name] = {it->file_size(ec), it->last_write_time(ec)};
  }
  return files;
}

class Manager {
 public:
  explicit Manager(const ServeOptions& o) : options_(o) {}

  // Takes the lock; false (with the reason printed) when another holds it.
  bool lock() {
    std::error_code ec;
    fs::create_directories(runtimeFolder(), ec);
    // In a shared /tmp another user could have made the folder first and
    // would then control the socket.
    struct stat st {};
    if (::lstat(runtimeFolder().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
      std::fprintf(stderr, "hotsync: %s is not a folder of this user's own\n", runtimeFolder().c_str());
      return false;
    }
    ::chmod(runtimeFolder().c_str(), 0700);
    lockFd_ = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
      std::fprintf(stderr, "hotsync: cannot open %s: %s\n", lockPath().c_str(), std::strerror(errno));
      return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      std::optional<resident::Instance> other = findLive();
      std::fprintf(stderr,
                   "hotsync: a resident HotSync Manager is already running for this user%s; "
                   "`hotsync stop` ends it\n",
                   other ? (" (pid " + std::to_string(other->pid) + ")").c_str() : "");
      return false;
    }
    return true;
  }

  // Writes the pid file and opens the control socket; false with the reason
  // printed.
  bool open() {
    std::ofstream pid(pidPath(), std::ios::trunc);
    pid << ::getpid() << "\n" << options_.program << "\n";
    for (const std::string& a : options_.startArgs) pid << a << "\n";
    pid.close();
    if (!pid) {
      std::fprintf(stderr, "hotsync: cannot write %s\n", pidPath().c_str());
      return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = socketPath();
    if (path.size() >= sizeof addr.sun_path) {
      std::fprintf(stderr, "hotsync: the socket path %s is too long\n", path.c_str());
      return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());  // one left by an instance that was killed; the lock is ours
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0) {
      std::fprintf(stderr, "hotsync: cannot open the control socket %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    ::chmod(path.c_str(), 0600);
    return true;
  }

  void loop() {
    if (options_.watch) seen_ = snapshot(options_.handheld);
    while (!g_stop) {
      pollfd p{listenFd_, POLLIN, 0};
      int n = ::poll(&p, 1, 1000);
      if (n > 0) {
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          answer(client);
          ::close(client);
        }
      } else if (n == 0 && options_.watch && snapshot(options_.handheld) != seen_) {
        runSync("the handheld folder changed");
      }
    }
  }

  ~Manager() {
    if (listenFd_ >= 0) {
      ::close(listenFd_);
      ::unlink(socketPath().c_str());
      ::unlink(pidPath().c_str());
    }
    if (lockFd_ >= 0) ::close(lockFd_);
  }

 private:
  void answer(int client) {
    std::string line;
    char c;
    pollfd p{client, POLLIN, 0};
    while (line.size() < 256 && ::poll(&p, 1, 5000) > 0 && ::read(client, &c, 1) == 1 && c != '\n') line += c;
    unsigned long message = std::strtoul(line.c_str(), nullptr, 10);
    std::string reply;
    switch (message) {
      case kMsgCanRestart: reply = "1\n"; break;
      case kMsgClose:
        reply = "0\n";
        g_stop = 1;
        break;
      case kMsgButton: {
        int status = runSync("the button was pressed");
        reply = std::to_string(status) + "\n" + lastOutput_;
        break;
      }
      case kMsgStatus: reply = "1\n" + status(); break;
      default: reply = "0\n";
    }
    size_t at = 0;
    while (at < reply.size()) {
      ssize_t n = ::send(client, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
  }

  std::string status() const {
    std::string text = "HotSync Manager running (pid " + std::to_string(::getpid()) + ")\n";
    text += "  user: " + options_.user + "\n";
    text += "  handheld folder: " + options_.handheld + (options_.watch ? " (watched)" : "") + "\n";
    text += "  last run: " + (lastRun_.empty() ? std::string("none yet") : lastRun_ + ", " + lastResult_) + "\n";
    return text;
  }

  // One whole HotSync; returns its exit status (as `hotsync sync`'s).
  int runSync(const std::string& why) {
    std::printf("%s: HotSync started (%s)\n", timeNow().c_str(), why.c_str());
    std::fflush(stdout);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return record(1, "failed: no pipe");
    pid_t child = spawnHotSync(options_.program, "sync", options_.syncArgs, out[1]);
    ::close(out[1]);
    lastOutput_.clear();
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      lastOutput_.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (child < 0) return record(1, "failed: cannot start hotsync sync");
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (options_.watch) seen_ = snapshot(options_.handheld);  // what the run itself changed
    std::fwrite(lastOutput_.data(), 1, lastOutput_.size(), stdout);
    if (WIFSIGNALED(status))
      return record(1, "failed: hotsync sync ended by signal " + std::to_string(WTERMSIG(status)));
    int code = WEXITSTATUS(status);
    return record(code, code == 0 ? "synchronised" : "failed (exit status " + std::to_string(code) + ")");
  }

  int record(int status, const std::string& result) {
    lastRun_ = timeNow();
    lastResult_ = result;
    std::printf("%s: HotSync %s\n", lastRun_.c_str(), result.c_str());
    std::fflush(stdout);
    return status;
  }

  const ServeOptions& options_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::string lastRun_, lastResult_, lastOutput_;
  std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> seen_;
};

}  // namespace

int serve(const ServeOptions& options) {
  Manager hs(options);
  if (!hs.lock()) return 1;
  int ready[2] = {-1, -1};
  if (!options.foreground) {
    if (::pipe2(ready, O_CLOEXEC) != 0) return 1;
    pid_t child = ::fork();
    if (child < 0) return 1;
    if (child > 0) {
      // The starting process: done once the instance says it is ready.
      ::close(ready[1]);
      char c = 0;
      ssize_t n;
      while ((n = ::read(ready[0], &c, 1)) < 0 && errno == EINTR) {
      }
      if (n != 1) return 1;  // it printed why
      std::printf("HotSync Manager started (pid %d) for user %s on %s\n", static_cast<int>(child), options.user.c_str(),
                  options.handheld.c_str());
      std::printf("Its output goes to %s/hotsync.out; `hotsync button` runs a HotSync, `hotsync stop` ends it.\n",
                  runtimeFolder().c_str());
      return 0;
    }
    ::close(ready[0]);
    ::setsid();
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, 0);
    std::string outPath = runtimeFolder() + "/hotsync.out";
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (!hs.open()) _exit(1);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
  } else if (!hs.open()) {
    return 1;
  }
  struct sigaction stop {};
  stop.sa_handler = onStop;
  ::sigaction(SIGTERM, &stop, nullptr);
  ::sigaction(SIGINT, &stop, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::printf("%s: HotSync Manager running (pid %d) for user %s on %s%s\n", timeNow().c_str(),
              static_cast<int>(::getpid()), options.user.c_str(), options.handheld.c_str(),
              options.watch ? ", watching it" : "");
  std::fflush(stdout);
  if (ready[1] >= 0) {
    (void)::write(ready[1], "r", 1);
    ::close(ready[1]);
  }
  hs.loop();
  std::printf("HotSync Manager stopped\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace resident
