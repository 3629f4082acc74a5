// gwserver against hostile clients and careless operators: a port another
// server holds, forged log lines, requests the HTTP layer must refuse, and
// one user's ids in another user's relation data.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "server/service.h"
#include "server/store.h"
#include "server/tests/fixture.h"

namespace gwtest {
namespace {

// Runs `gwserver ARGS...` through the shell with standard error joined to
// standard output, ended after `seconds` (exit status 124 then).
testutil::CommandResult runJoined(const std::vector<std::string>& args, int seconds = 20,
                                  const std::string& input = "") {
  std::string cmd = "exec timeout " + std::to_string(seconds) + " '" + testutil::gwserverProgram() + "'";
  for (const auto& a : args) cmd += " '" + a + "'";
  return testutil::runCommand({"/bin/sh", "-c", cmd + " 2>&1"}, input);
}

// Sends `request`, then closes the sending half of the socket, and reads
// whatever comes back until the server closes.
std::string sendHalfClosed(int port, const std::string& request) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return reply;
}

// A connection to the server from this loopback address (127.0.0.N, which
// all reach the server on 127.0.0.1), reads ending after `seconds`; -1 when
// it cannot be made.
int connectFrom(const char* source, int port, int seconds = 10) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything the server sends until it closes or `seconds` pass without a byte.
std::string readAll(int fd) {
  std::string raw;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) raw.append(buf, static_cast<size_t>(n));
  return raw;
}

// A login from this loopback address, not 127.0.0.1.
testutil::RawReply loginFrom(const char* source, int port, const std::string& id, const std::string& password) {
  testutil::RawReply reply;
  int fd = connectFrom(source, port);
  if (fd < 0) return reply;
  std::string body = "page=PXBlank&_ID=" + id + "&Password=" + password;
  std::string req =
      "POST /gw HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n" + body;
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string raw = readAll(fd);
  ::close(fd);
  size_t head = raw.find("\r\n\r\n");
  reply.received = head != std::string::npos;
  if (reply.received) {
    reply.status = std::atoi(raw.c_str() + 9);
    reply.headers = raw.substr(0, head);
    reply.body = raw.substr(head + 4);
  }
  return reply;
}

class ServerHardening : public ServerTest {
 protected:
  std::string logPath() const { return (dir_ / "server.log").string(); }
  // Starts with the request log in a file, and logs taro in.
  void startLogged(const std::vector<std::string>& extra = {}) {
    server_.setErrorLog(logPath());
    std::vector<std::string> args = {"--log"};
    args.insert(args.end(), extra.begin(), extra.end());
    startAndLogin(args);
  }
  std::string stoppedLog() {
    server_.stop();
    return testutil::readFile(logPath());
  }
};

// ---- the port ----

TEST_F(ServerHardening, ASecondServerOnATakenPortFailsNamingAddressAndReason) {
  server_.start();
  testutil::TempDir other("gwsecond");
  testutil::GwServer second(other.path());
  auto r = runJoined({"serve", second.db(), "--port", std::to_string(server_.port())}, 5);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("127.0.0.1 port " + std::to_string(server_.port())), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Address already in use"), std::string::npos) << r.out;
  // The first server still answers every request.
  Session s(server_);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(s.get("page=SyncPXVersion").status, 200);

  auto bad = runJoined({"serve", second.db(), "--bind", "no.such.host.invalid", "--port", "0"}, 5);
  EXPECT_EQ(bad.status, 1) << bad.out;
  EXPECT_NE(bad.out.find("no.such.host.invalid port 0: "), std::string::npos) << bad.out;
}

// ---- the request log ----

TEST_F(ServerHardening, EveryLoggedValueIsEscapedSoNoLineCanBeForged) {
  startLogged();
  fetch("page=SyncMemo%0Agwserver:%20127.0.0.1%20GET%20/gw%20PXBlank%20200%1B[2J&label=P");
  commit("page=Sync%0D%0Aforged%7F%C2%9B&label=P&i=0&rt=ts.-1");
  std::string log = stoppedLog();
  EXPECT_EQ(log.find("\ngwserver: 127.0.0.1 GET"), std::string::npos) << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
  EXPECT_EQ(log.find('\r'), std::string::npos) << log;
  EXPECT_EQ(log.find('\x7f'), std::string::npos) << log;
  EXPECT_EQ(log.find('\x9b'), std::string::npos) << log;
  EXPECT_NE(log.find("SyncMemo\\x0agwserver:\\x20127.0.0.1\\x20GET"), std::string::npos) << log;
  EXPECT_NE(log.find("Sync\\x0d\\x0aforged\\x7f\\xc2\\x9b"), std::string::npos) << log;
  for (const auto& line : lines(log)) EXPECT_EQ(line.rfind("gwserver: ", 0), 0u) << line;
}

TEST_F(ServerHardening, UnparsableRequestsAreLoggedWithThePeerAndWhatWasRead) {
  startLogged();
  auto tls = testutil::rawRequest(server_.port(), std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\n\n", 13));
  EXPECT_EQ(tls.status, 400);
  auto junk = testutil::rawRequest(server_.port(), "HELLO\r\n\r\n");
  EXPECT_EQ(junk.status, 400);
  std::string log = stoppedLog();
  EXPECT_NE(log.find("gwserver: 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("read \\x16\\x03\\x01\\x02\\x00\\x01"), std::string::npos) << log;
  EXPECT_NE(log.find("read HELLO"), std::string::npos) << log;
  EXPECT_EQ(log.find(" -  "), std::string::npos) << log;  // no empty field
}

// ---- errors name their subject ----

TEST_F(ServerHardening, ErrorsNameTheFileAndTheApplicationAndId) {
  std::string junk = (dir_ / "junk.db").string();
  std::ofstream(junk) << std::string(4096, 'x');
  auto r = runJoined({"user", "list", junk});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(junk), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("not a database"), std::string::npos) << r.out;

  startLogged();
  EXPECT_EQ(commit("page=SyncMemo&label=P&i=99&n=x&i=0&rt=ts.-1"), "ErrorCode,16407\n");
  EXPECT_EQ(commit("page=SyncToDo&label=P&i=98&i=0&rt=ts.-1"), "ErrorCode,16407\n");
  std::string log = stoppedLog();
  EXPECT_NE(log.find("ErrorCode,16407 (no SyncMemo record 99)"), std::string::npos) << log;
  EXPECT_NE(log.find("ErrorCode,16407 (no SyncToDo record 98)"), std::string::npos) << log;
}

// ---- the transport ----

TEST_F(ServerHardening, TwoContentLengthsAreRefusedAndNothingIsCommitted) {
  startAndLogin();
  std::string body = "page=SyncMemo&label=P&i=0&n=first&i=0&rt=ts.-1";
  for (const std::string& second : {std::to_string(body.size()), std::string("20")}) {
    testutil::HttpUrl u(server_.url());
    auto r = testutil::rawRequest(
        server_.port(), "POST /gw HTTP/1.1\r\nHost: x\r\nConnection: close\r\nCookie: " + session_->loginCookie() +
                            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nContent-Length: " + second +
                            "\r\n\r\n" + body);
    EXPECT_EQ(r.status, 400) << second;
  }
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P")).size(), 0u);
}

TEST_F(ServerHardening, AHalfClosedClientStillGetsItsReply) {
  startAndLogin();
  testutil::HttpUrl u(server_.url());
  std::string reply =
      sendHalfClosed(server_.port(), testutil::postRequest(u, "page=SyncMemo&label=P&i=0&n=half&s=7&i=0&rt=ts.55",
                                                           "lc=CP932; " + session_->loginCookie()));
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
  EXPECT_NE(reply.find("\r\n\r\n55\n7,"), std::string::npos) << reply;
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P")).size(), 1u);
}

// ---- slow and idle clients ----

TEST_F(ServerHardening, SixtyFourTricklingClientsDoNotStopANormalOne) {
  server_.start();
  // 64 clients on 8 addresses, each sending its request a byte a second.
  const std::string request = "GET /gw?page=SyncPXVersion HTTP/1.1\r\nHost: x\r\n\r\n";
  std::vector<int> slow;
  for (int i = 0; i < 64; ++i) {
    std::string source = "127.0.0." + std::to_string(2 + i % 8);
    int fd = connectFrom(source.c_str(), server_.port());
    ASSERT_GE(fd, 0) << i;
    slow.push_back(fd);
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    for (size_t at = 0; at < 6 && trickling; ++at) {
      for (int fd : slow) ::send(fd, &request[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  // Meanwhile a normal client's requests are answered, each within a
  // generous 3 seconds.
  int answered = 0;
  for (int i = 0; i < 12; ++i) {
    auto r = testutil::rawRequest(server_.port(),
                                  testutil::getRequest(testutil::HttpUrl(server_.url()), "page=SyncPXVersion"), 3);
    if (r.status == 200 && r.body.rfind("version,", 0) == 0) ++answered;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  trickling = false;
  trickle.join();
  for (int fd : slow) ::close(fd);
  EXPECT_EQ(answered, 12);
}

TEST_F(ServerHardening, SlowHeadersAndBodiesAreCutAndOneAddressMayHoldOnlySoManyConnections) {
  server_.start({"--header-timeout", "2", "--body-timeout", "2", "--max-per-client", "4"});
  // A request line that never ends: 408 after the header time.
  int headers = connectFrom("127.0.0.2", server_.port(), 15);
  // A body that never ends (small enough to be read without a login).
  int body = connectFrom("127.0.0.3", server_.port(), 15);
  std::string head = "POST /gw HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\npage=";
  ::send(body, head.data(), head.size(), MSG_NOSIGNAL);
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    for (int i = 0; i < 40 && trickling; ++i) {
      ::send(headers, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::send(body, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });
  std::string cutHeaders = readAll(headers);
  std::string cutBody = readAll(body);
  trickling = false;
  trickle.join();
  EXPECT_EQ(cutHeaders.rfind("HTTP/1.1 408", 0), 0u) << cutHeaders;
  EXPECT_EQ(cutBody.rfind("HTTP/1.1 408", 0), 0u) << cutBody;
  ::close(headers);
  ::close(body);

  // Four idle connections from one address are held; the fifth is refused
  // at once, while another address is served.
  std::vector<int> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(connectFrom("127.0.0.4", server_.port(), 15));
  int fifth = connectFrom("127.0.0.4", server_.port(), 15);
  EXPECT_EQ(readAll(fifth).rfind("HTTP/1.1 503", 0), 0u);
  ::close(fifth);
  EXPECT_EQ(loginFrom("127.0.0.5", server_.port(), taro_, "pw").body, "");
  // Idle connections are closed after the header time, without a reply.
  for (int fd : idle) {
    EXPECT_EQ(readAll(fd), "");
    ::close(fd);
  }
  EXPECT_EQ(loginFrom("127.0.0.4", server_.port(), taro_, "pw").body, "");
}

// ---- bodies without a login ----

// A number of kB from the server's /proc status ("VmRSS", "VmHWM").
long memoryKb(pid_t pid, const std::string& key) {
  std::string status = testutil::readFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find(key + ":");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + key.size() + 1);
}

TEST_F(ServerHardening, ABodyWithoutALoginIsRefusedFromTheHeadersAlone) {
  startAndLogin();
  // Headers only: the server must answer without waiting for the body.
  auto r = testutil::rawRequest(
      server_.port(), "POST /gw HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\nCookie: GWLogin=forged\r\n\r\n", 5);
  EXPECT_EQ(r.body, "ErrorCode,16401\n");
  // A logged-in client's body of the same size is read and committed.
  std::string body = "page=SyncMemo&label=P";
  for (int i = 0; i < 1000; ++i) body += "&i=0&n=m" + std::to_string(i) + "&d=" + std::string(80, 'x');
  EXPECT_EQ(lines(commit(body + "&i=0&rt=ts.5"))[0], "5");
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P")).size(), 1000u);
}

TEST_F(ServerHardening, EightLargeBodiesWithoutALoginLeaveTheServersMemoryNearIdle) {
  server_.start();  // no login: its password check alone would raise the peak
  long idle = memoryKb(server_.pid(), "VmRSS");
  ASSERT_GT(idle, 0);
  const size_t size = 60u << 20;
  std::vector<size_t> sent(8, 0);
  std::vector<std::thread> posts;
  for (int k = 0; k < 8; ++k)
    posts.emplace_back([&, k] {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      timeval tv{20, 0};
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(server_.port()));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string head = "POST /gw HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        std::string chunk(1 << 16, 'x');
        while (sent[k] < size) {
          ssize_t n = ::send(fd, chunk.data(), std::min(chunk.size(), size - sent[k]), MSG_NOSIGNAL);
          if (n <= 0) break;
          sent[k] += static_cast<size_t>(n);
        }
      }
      ::close(fd);
    });
  for (auto& t : posts) t.join();
  for (int k = 0; k < 8; ++k) EXPECT_LT(sent[k], size) << "the server took the whole body of post " << k;
  long peak = memoryKb(server_.pid(), "VmHWM");
  EXPECT_LT(peak, idle + 32 * 1024) << "idle " << idle << " kB, peak " << peak << " kB";
  Session s(server_);
  EXPECT_EQ(fetchAs(s, "page=SyncPXVersion").substr(0, 8), "version,");
}

// ---- the database and the passwords in it ----

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST_F(ServerHardening, TheDatabaseAndItsSideFilesAreTheOwnersAlone) {
  startAndLogin();
  commit("page=SyncMemo&label=P&i=0&n=private&i=0&rt=ts.-1");
  for (const char* side : {"", "-wal", "-shm"}) {
    std::string file = server_.db() + side;
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(modeOf(file), 0600u) << file;
  }
  server_.stop();
  ::chmod(server_.db().c_str(), 0644);
  auto r = runJoined({"user", "list", server_.db()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("warning: " + server_.db() + " is open to other users (mode 0644)"), std::string::npos) << r.out;
  ::chmod(server_.db().c_str(), 0600);
  EXPECT_EQ(runJoined({"user", "list", server_.db()}).out.find("warning"), std::string::npos);
}

std::string storedHash(const std::string& db, const std::string& id) {
  gwserver::Db d(db);
  gwserver::Stmt s(d, "SELECT hash FROM users WHERE id = ?");
  s.bind(1, std::stoll(id));
  return s.step() ? s.text(0) : std::string();
}

TEST_F(ServerHardening, PasswordsAreArgon2idAndAnOldHashIsUpgradedAtTheNextLogin) {
  EXPECT_EQ(storedHash(server_.db(), taro_).rfind("$argon2id$", 0), 0u);
  {
    // The salted SHA-256 of databases made before.
    gwserver::Db d(server_.db());
    gwserver::Stmt u(d, "UPDATE users SET salt = ?, hash = ? WHERE id = ?");
    u.bind(1, std::string_view("0123456789abcdef"))
        .bind(2, gwserver::legacyPasswordHash("0123456789abcdef", "pw2"))
        .bind(3, std::stoll(yamada_))
        .run();
  }
  startAndLogin();
  Session hanako(server_);
  EXPECT_EQ(hanako.login(yamada_, "wrong").body, "ErrorCode,16404\n");
  EXPECT_EQ(storedHash(server_.db(), yamada_).rfind("$argon2id$", 0), std::string::npos);
  ASSERT_EQ(hanako.login(yamada_, "pw2").body, "");
  EXPECT_EQ(storedHash(server_.db(), yamada_).rfind("$argon2id$", 0), 0u);
  Session again(server_);
  EXPECT_EQ(again.login(yamada_, "pw2").body, "");
  EXPECT_EQ(again.login(yamada_, "pw").body, "ErrorCode,16404\n");
}

TEST_F(ServerHardening, GuessingIsSlowedPerUserAndPerAddressAndLogged) {
  server_.setErrorLog(logPath());
  server_.start();
  // Guesses at taro's password: after three, even the right one is refused
  // until a wait has passed; another user's login is untouched.
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(loginFrom("127.0.0.1", server_.port(), taro_, "guess").body, "ErrorCode,16404\n");
  EXPECT_EQ(loginFrom("127.0.0.1", server_.port(), taro_, "pw").body, "ErrorCode,16404\n");
  EXPECT_EQ(loginFrom("127.0.0.2", server_.port(), taro_, "pw").body, "ErrorCode,16404\n");
  EXPECT_EQ(loginFrom("127.0.0.1", server_.port(), yamada_, "pw2").body, "");
  // Guesses at many users from one address: that address waits, others do not.
  for (int i = 0; i < 12; ++i) loginFrom("127.0.0.3", server_.port(), std::to_string(100 + i), "guess");
  EXPECT_EQ(loginFrom("127.0.0.3", server_.port(), yamada_, "pw2").body, "ErrorCode,16404\n");
  EXPECT_EQ(loginFrom("127.0.0.4", server_.port(), yamada_, "pw2").body, "");
  server_.stop();
  std::string log = testutil::readFile(logPath());
  EXPECT_NE(log.find("failed login of user " + taro_ + " from 127.0.0.1 (3 in a row"), std::string::npos) << log;
  EXPECT_NE(log.find("login of user " + taro_ + " from 127.0.0.1 refused unchecked"), std::string::npos) << log;
  EXPECT_NE(log.find("from 127.0.0.3 (1 in a row for the user, 10 from the address)"), std::string::npos) << log;
}

// ---- passwords off the command line; passwd and delete ----

TEST_F(ServerHardening, PasswordsComeFromStandardInputOrAFileAndTheCommandLineFormWarns) {
  auto fromInput = runJoined({"user", "add", server_.db(), "jiro"}, 20, "from-stdin\n");
  EXPECT_EQ(fromInput.status, 0) << fromInput.out;
  EXPECT_EQ(fromInput.out, "3\n");
  std::string file = (dir_ / "pw.txt").string();
  std::ofstream(file) << "from-file\n";
  auto fromFile = runJoined({"user", "add", server_.db(), "saburo", "--password-file", file});
  EXPECT_EQ(fromFile.out, "4\n");
  auto visible = runJoined({"user", "add", server_.db(), "shiro", "on-the-line"});
  EXPECT_EQ(visible.status, 0);
  EXPECT_NE(visible.out.find("warning: a password on the command line can be seen by other users"), std::string::npos)
      << visible.out;
  EXPECT_NE(runJoined({"user", "add", server_.db(), "goro"}, 20, "").status, 0);  // no password at all

  server_.start();
  Session s(server_);
  EXPECT_EQ(s.login("3", "from-stdin").body, "");
  EXPECT_EQ(s.login("4", "from-file").body, "");
  EXPECT_EQ(s.login("5", "on-the-line").body, "");
}

TEST_F(ServerHardening, PasswdReplacesThePasswordAndDeleteRemovesTheUserWithItsData) {
  startAndLogin();
  Session hanako(server_);
  ASSERT_EQ(hanako.login(yamada_, "pw2").body, "");
  commit("page=SyncMemo&label=P&i=0&n=mine&s=1&i=0&rt=ts.-1");
  commit("page=SyncToDo&label=P&i=0&n=task&p=1&s=2&i=0&rt=ts.-1");
  commit("page=SyncAddress&label=P&i=0&t=1&-2=Tanaka&s=3&i=0&rt=ts.-1");
  commit("page=SyncToDoCategory&c=Work");
  commitAs(hanako, "page=SyncMemo&label=P&i=0&n=hers&s=1&i=0&rt=ts.-1");

  EXPECT_EQ(runJoined({"user", "passwd", server_.db(), "taro"}, 20, "new-pw\n").status, 0);
  Session again(server_);
  EXPECT_EQ(again.login(taro_, "pw").body, "ErrorCode,16404\n");
  EXPECT_EQ(again.login(taro_, "new-pw").body, "");
  EXPECT_NE(runJoined({"user", "passwd", server_.db(), "nobody"}, 20, "x\n").status, 0);

  // Not confirmed: nothing goes.
  auto no = runJoined({"user", "delete", server_.db(), "taro"}, 20, "no\n");
  EXPECT_EQ(no.status, 1) << no.out;
  EXPECT_NE(no.out.find("3 records and 3 relation pairs"), std::string::npos) << no.out;
  EXPECT_EQ(server_.exported("taro", "memo").size(), 1u);
  auto yes = runJoined({"user", "delete", server_.db(), "taro"}, 20, "yes\n");
  EXPECT_EQ(yes.status, 0) << yes.out;

  gwserver::Db db(server_.db());
  for (const char* table :
       {"users", "cards", "card_values", "memos", "todos", "todo_categories", "relations", "relation_pairs"}) {
    std::string where = std::string(table) == "card_values" ? "" : " WHERE user_id = " + taro_;
    if (std::string(table) == "users") where = " WHERE id = " + taro_;
    gwserver::Stmt s(db, (std::string("SELECT COUNT(*) FROM ") + table + where).c_str());
    ASSERT_TRUE(s.step());
    EXPECT_EQ(s.integer(0), 0) << table;
  }
  // The other user keeps everything; the deleted one's login ends.
  EXPECT_EQ(records(fetchAs(hanako, "page=SyncMemo&label=P")).size(), 1u);
  EXPECT_EQ(session_->get("page=SyncMemo&label=P").body, "ErrorCode,16401\n");
  EXPECT_EQ(runJoined({"user", "delete", server_.db(), "hanako-not", "--yes"}).status, 1);
  EXPECT_EQ(runJoined({"user", "delete", server_.db(), kYamada, "--yes"}).status, 0);
  EXPECT_EQ(runJoined({"user", "list", server_.db()}).out, "");
}

// ---- one user's ids in another's relation data ----

TEST_F(ServerHardening, RelationPairsNamingAnotherUsersRecordsAreRefused) {
  startAndLogin();
  Session hanako(server_);
  ASSERT_EQ(hanako.login(yamada_, "pw2").status, 200);
  auto hers = lines(commitAs(hanako, "page=SyncMemo&label=P&i=0&n=hers&s=1&i=0&rt=ts.-1"));
  ASSERT_EQ(hers.size(), 2u);
  std::string herId = fields(hers[1])[1];
  auto mine = lines(commit("page=SyncMemo&label=P&i=0&n=mine&s=1&i=0&rt=ts.10"));
  ASSERT_EQ(mine.size(), 2u);
  std::string myId = fields(mine[1])[1];

  EXPECT_EQ(commit("page=SyncMemo&label=P&i=0&rt=ts.11&i=" + myId + "&s=1&i=" + herId + "&s=2"), "ErrorCode,16407\n");
  EXPECT_EQ(commit("page=SyncRelation&app=SyncMemo&label=P&rt=ts.12&i=" + herId + "&s=2"), "ErrorCode,16407\n");
  EXPECT_EQ(commit("page=SyncRelation&app=MailApp&label=P&rt=ts.12&i=" + herId + "&s=2"), "ErrorCode,16407\n");
  // Nothing changed: the stored pair and stamp are the ones of the last good commit.
  auto rel = relationSection(fetch("page=SyncMemo&label=P"));
  ASSERT_EQ(rel.size(), 2u);
  EXPECT_EQ(rel[0], "ts.10");
  EXPECT_EQ(rel[1], myId + ",1");
  // Ids that name no record at all stay allowed: a client may still hold a
  // pair of a record removed on the server.
  EXPECT_EQ(commit("page=SyncRelation&app=SyncMemo&label=P&rt=ts.13&i=" + myId + "&s=1&i=4000000&s=3"), "13\n");
}

}  // namespace
}  // namespace gwtest
