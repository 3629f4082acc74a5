#include "hotsync/resident/resident.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "hotsync/resident/files.h"

namespace resident {

std::string runtimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/') return std::string(runtime) + "/gwsync";
  return "/tmp/gwsync-" + std::to_string(::getuid());
}

std::string lockPath() { return runtimeFolder() + "/hotsync.lock"; }
std::string pidPath() { return runtimeFolder() + "/hotsync.pid"; }
std::string socketPath() { return runtimeFolder() + "/hotsync.sock"; }

bool lockHeld() {
  int fd = ::open(lockPath().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);  // also releases a lock taken just now
  return held;
}

std::optional<Instance> readPidFile() {
  std::ifstream in(pidPath());
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  Instance hs;
  hs.pid = static_cast<pid_t>(std::atol(line.c_str()));
  if (hs.pid <= 0 || !std::getline(in, hs.program)) return std::nullopt;
  while (std::getline(in, line)) hs.args.push_back(line);
  hs.socket = socketPath();
  return hs;
}

std::optional<Instance> findLive() {
  // The lock is held for exactly as long as the instance lives, whatever
  // ended it: a pid file left by a killed instance names no one.
  if (!lockHeld()) return std::nullopt;
  std::optional<Instance> hs = readPidFile();
  if (!hs || (::kill(hs->pid, 0) != 0 && errno == ESRCH)) return std::nullopt;
  return hs;
}

namespace {

// Reads until the peer closes or `until` passes.
bool readAll(int fd, std::string& out, std::chrono::steady_clock::time_point until) {
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    out.append(buf, static_cast<size_t>(n));
  }
}

// The whole answer to one message: its number on the first line, text after.
bool exchange(const Instance& hs, unsigned message, long wParam, long lParam, int waitMs, std::string& answer) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (hs.socket.size() >= sizeof addr.sun_path) {
    ::close(fd);
    return false;
  }
  std::memcpy(addr.sun_path, hs.socket.c_str(), hs.socket.size() + 1);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (ok) {
    std::string request = std::to_string(message) + " " + std::to_string(wParam) + " " + std::to_string(lParam) + "\n";
    ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
         readAll(fd, answer, std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs));
  }
  ::close(fd);
  return ok && !answer.empty();
}

}  // namespace

long sendControl(const Instance& hs, unsigned message, long wParam, long lParam, int waitMs) {
  std::string answer;
  if (!exchange(hs, message, wParam, lParam, waitMs, answer)) return 0;
  return std::strtol(answer.c_str(), nullptr, 10);
}

std::string controlText(const Instance& hs, unsigned message, int waitMs, long* result) {
  std::string answer;
  if (!exchange(hs, message, 0, 0, waitMs, answer)) return {};
  if (result) *result = std::strtol(answer.c_str(), nullptr, 10);
  size_t eol = answer.find('\n');
  return eol == std::string::npos ? std::string() : answer.substr(eol + 1);
}

std::string statusText(const Instance& hs) { return controlText(hs, kMsgStatus, 10000, nullptr); }

bool waitUntilEnded(int waitMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (lockHeld()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

pid_t spawnHotSync(const std::string& program, const char* command, const std::vector<std::string>& args, int outFd) {
  std::vector<std::string> argv = {program, command};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    if (outFd >= 0) {
      ::dup2(outFd, 1);
      ::dup2(outFd, 2);
    }
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  return child;
}

bool startAgain(const Instance& hs, int waitMs) {
  if (!waitUntilEnded(waitMs)) return false;
  pid_t child = spawnHotSync(hs.program, "start", hs.args);
  if (child < 0) return false;
  // `hotsync start` returns once the new instance is ready.
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace resident
