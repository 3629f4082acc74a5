#include "testutil/fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "testutil/rawhttp.h"

namespace testutil {

namespace {

const char* reasonOf(int status) {
  switch (status) {
    case 200: return "OK";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

// The Content-Length of a request head; 0 when it has none.
size_t contentLength(const std::string& head) {
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    static const char kName[] = "Content-Length:";
    if (strncasecmp(head.c_str() + pos, kName, sizeof kName - 1) == 0)
      return std::strtoul(head.c_str() + pos + sizeof kName - 1, nullptr, 10);
  }
  return 0;
}

// Waits up to ms for fd to become readable.
bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

std::string httpReply(int status, const std::string& body, const std::vector<std::string>& headers) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) + "\r\n";
  for (const auto& h : headers) r += h + "\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  return r + body;
}

std::string withHost(std::string text, const std::string& host) {
  for (size_t pos; (pos = text.find("{host}")) != std::string::npos;) text.replace(pos, 6, host);
  return text;
}

FakeHttpServer::FakeHttpServer() {
  const testutil::LoopbackListener listener = testutil::listenOnLoopback(8);
  if (listener.fd < 0) {
    std::perror("FakeHttpServer");
    std::abort();
  }
  listenFd_ = listener.fd;
  port_ = listener.port;
  thread_ = std::thread([this] { serve(); });
}

FakeHttpServer::~FakeHttpServer() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

std::string FakeHttpServer::url(const std::string& path) const { return "http://" + host() + path; }

std::string FakeHttpServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

void FakeHttpServer::reply(ScriptedReply r) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(std::move(r));
}

std::vector<std::string> FakeHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FakeHttpServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

std::string FakeHttpServer::request(size_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return n < requests_.size() ? requests_[n] : std::string();
}

void FakeHttpServer::serve() {
  while (!stop_) {
    if (!readable(listenFd_, 20)) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    handle(fd);
    ::close(fd);
  }
}

void FakeHttpServer::handle(int fd) {
  // Read the head, then as much body as it announces; give up after a few
  // quiet seconds so a client that stalls cannot hang the test.
  std::string raw;
  size_t headEnd = std::string::npos;
  size_t want = 0;
  char buf[4096];
  while (!stop_) {
    if (headEnd != std::string::npos && raw.size() >= headEnd + want) break;
    if (!readable(fd, 5000)) break;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
    if (headEnd == std::string::npos && (headEnd = raw.find("\r\n\r\n")) != std::string::npos) {
      headEnd += 4;
      want = contentLength(raw.substr(0, headEnd));
    }
  }
  if (raw.empty()) return;  // a connection opened and closed without a request

  ScriptedReply r{httpReply(599, "")};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(raw);
    if (!replies_.empty()) {
      r = std::move(replies_.front());
      replies_.pop_front();
    }
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(r.delayMs);
  while (!stop_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (r.drop) return;
  size_t sent = 0;
  while (sent < r.bytes.size()) {
    ssize_t n = ::send(fd, r.bytes.data() + sent, r.bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  // Let the client read everything before the socket closes.
  while (readable(fd, 1000) && ::recv(fd, buf, sizeof buf, 0) > 0) {
  }
}

}  // namespace testutil
