// A scripted HTTP server on a loopback port, for protocol tests: it records
// every raw request (request line, headers, body) and answers with the replies
// it was given, in order, so a test is data: replies in, exact bytes out.
//
//   testutil::FakeHttpServer server;
//   server.reply(testutil::httpReply(200, "1,Ann\n"));
//   ... run the client against server.url("/gw") ...
//   EXPECT_EQ(server.request(0), "GET /gw?page=... HTTP/1.1\r\nHost: ...\r\n\r\n");
//
// One connection is served at a time, on a thread of the server's own; every
// reply closes its connection. A request that finds no scripted reply left is
// answered with status 599 so that a test that sends too much sees it.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

struct ScriptedReply {
  std::string bytes;  // sent as they are (see httpReply)
  int delayMs = 0;    // wait this long after the request before answering
  bool drop = false;  // close the connection without any answer
};

// A complete HTTP/1.1 reply with Content-Length and "Connection: close";
// each extra header is one "Name: value" line without its CR LF.
std::string httpReply(int status, const std::string& body, const std::vector<std::string>& headers = {});

class FakeHttpServer {
 public:
  // Binds 127.0.0.1 on a free port and starts serving; aborts the test
  // program when no port can be had (nothing else could run).
  FakeHttpServer();
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by path.
  std::string url(const std::string& path) const;
  // "127.0.0.1:<port>", as the Host header names this server.
  std::string host() const;

  void reply(const std::string& bytes) { reply(ScriptedReply{bytes}); }
  void reply(ScriptedReply r);

  // Raw requests received so far, oldest first.
  std::vector<std::string> requests() const;
  size_t requestCount() const;
  // The nth raw request; empty when there is none.
  std::string request(size_t n) const;

 private:
  void serve();
  void handle(int fd);

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::deque<ScriptedReply> replies_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// Replaces every "{host}" in text by host; lets expected requests be written
// as literals.
std::string withHost(std::string text, const std::string& host);

}  // namespace testutil
