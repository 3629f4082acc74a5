// A raw HTTP/1.1 client for tests: sends exactly the bytes given and reads the
// whole reply, so tests see the wire as it is.
//
//   testutil::RawReply r = testutil::rawRequest(port,
//       "GET /gw?page=SyncPXVersion HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
//   r.status; r.header("Set-Cookie"); r.body;
//
//   testutil::HttpUrl u("http://127.0.0.1:41234/gw");   // host, port, path
//   std::string req = testutil::getRequest(u, "page=SyncMemo&label=P1", cookie);
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace testutil {

struct RawReply {
  bool received = false;  // false: no reply at all (refused, reset, or closed before a byte)
  int status = 0;
  std::string headers;  // raw header block, CR LF separated, without the status line
  std::string body;

  // The value of the first header of that name (any case), "" when absent.
  std::string header(const std::string& name) const {
    size_t pos = 0;
    while (pos < headers.size()) {
      size_t end = headers.find("\r\n", pos);
      if (end == std::string::npos) end = headers.size();
      std::string line = headers.substr(pos, end - pos);
      size_t colon = line.find(':');
      if (colon != std::string::npos && colon == name.size() && strncasecmp(line.c_str(), name.c_str(), colon) == 0) {
        size_t v = line.find_first_not_of(' ', colon + 1);
        return v == std::string::npos ? "" : line.substr(v);
      }
      pos = end + 2;
    }
    return {};
  }
};

// Splits "http://HOST:PORT/PATH".
struct HttpUrl {
  std::string host;
  int port = 0;
  std::string path;
  explicit HttpUrl(const std::string& url) {
    std::string rest = url.substr(url.find("://") + 3);
    size_t slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    path = slash == std::string::npos ? "/" : rest.substr(slash);
    size_t colon = hostPort.rfind(':');
    host = hostPort.substr(0, colon);
    port = std::atoi(hostPort.substr(colon + 1).c_str());
  }
};

// A socket listening on a free loopback port, with that port; -1 and 0 when
// one cannot be had (errno says why).
struct LoopbackListener {
  int fd = -1;
  int port = 0;
};
inline LoopbackListener listenOnLoopback(int backlog) {
  LoopbackListener l;
  l.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (l.fd < 0 || ::bind(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(l.fd, backlog) != 0 ||
      ::getsockname(l.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (l.fd >= 0) ::close(l.fd);
    return LoopbackListener{};
  }
  l.port = ntohs(addr.sin_port);
  return l;
}

// Sends `request` to 127.0.0.1:port and reads until the server closes. The
// reply body is taken by Content-Length when given; a body cut short leaves
// received true with the bytes that came.
inline RawReply rawRequest(int port, const std::string& request, int timeoutSeconds = 30) {
  RawReply reply;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return reply;
  timeval tv{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return reply;
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string raw;
  char buf[65536];
  while (true) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
    // Stop as soon as a Content-Length body is complete (keep-alive servers).
    size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      RawReply probe;
      probe.headers = raw.substr(0, headEnd);
      std::string len = probe.header("Content-Length");
      if (!len.empty() && raw.size() >= headEnd + 4 + std::stoul(len)) break;
    }
  }
  ::close(fd);
  size_t headEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos) return reply;
  reply.received = true;
  size_t lineEnd = raw.find("\r\n");
  reply.status = std::atoi(raw.substr(raw.find(' ') + 1, 3).c_str());
  reply.headers = lineEnd < headEnd ? raw.substr(lineEnd + 2, headEnd - lineEnd - 2) : "";
  reply.body = raw.substr(headEnd + 4);
  std::string len = reply.header("Content-Length");
  if (!len.empty() && reply.body.size() > std::stoul(len)) reply.body.resize(std::stoul(len));
  return reply;
}

// A GET of the endpoint with this query, as the client sends it ("?" then the query).
inline std::string getRequest(const HttpUrl& url, const std::string& query, const std::string& cookie = "",
                              const std::string& extraHeaders = "") {
  return "GET " + url.path + "?" + query + " HTTP/1.1\r\nHost: " + url.host + ":" + std::to_string(url.port) +
         "\r\nConnection: close\r\n" + (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") + extraHeaders + "\r\n";
}

// A POST of a form body to the endpoint, without Content-Type (as the client sends it).
inline std::string postRequest(const HttpUrl& url, const std::string& body, const std::string& cookie = "",
                               const std::string& extraHeaders = "") {
  return "POST " + url.path + "? HTTP/1.1\r\nHost: " + url.host + ":" + std::to_string(url.port) +
         "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") + extraHeaders + "\r\n" + body;
}

}  // namespace testutil
