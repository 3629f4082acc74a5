// Faults armed on a running gwserver through /_fault: HTTP status, error line,
// delay and dropped connection, for the next N requests of a page.
#include <gtest/gtest.h>

#include <chrono>

#include "server/tests/fixture.h"

namespace gwtest {
namespace {

class Faults : public ServerTest {
 protected:
  void SetUp() override { startAndLogin(); }

  std::string arm(const std::string& query) {
    auto r = testutil::rawRequest(server_.port(), testutil::getRequest(testutil::HttpUrl(base() + "/_fault"), query));
    EXPECT_EQ(r.status, 200) << query;
    return r.body;
  }
  std::string base() const { return server_.url().substr(0, server_.url().rfind('/')); }
};

TEST_F(Faults, StatusForTheNextNRequestsOfOnePageOnly) {
  arm("page=SyncMemo&count=2&status=503");
  EXPECT_EQ(session_->get("page=SyncToDo&label=P").status, 200);
  EXPECT_EQ(session_->get("page=SyncMemo&label=P").status, 503);
  EXPECT_EQ(session_->post("page=SyncMemo&label=P&i=0&n=x&i=0&rt=ts.-1").status, 503);
  EXPECT_EQ(session_->get("page=SyncMemo&label=P").status, 200);
  // The faulted commit did not reach the data.
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P")).size(), 0u);
}

TEST_F(Faults, ErrorLineWithStatus200AndMailSendPosition) {
  arm("page=PXBlank&error=16405");
  auto r = Session(server_).login(taro_, "pw");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ErrorCode,16405\n");
  EXPECT_EQ(r.header("Set-Cookie"), "");
  arm("page=SyncMail&error=550,2");
  EXPECT_EQ(commit("page=SyncMail&s=a&t=b&c=&b=&d=x"), "ErrorCode,550,2\n");
  EXPECT_EQ(commit("page=SyncMail&s=a&t=b&c=&b=&d=x"), "");
}

TEST_F(Faults, DelayThenAnswerNormally) {
  arm("page=SyncToDoCategory&delay=300");
  auto start = std::chrono::steady_clock::now();
  auto r = session_->get("page=SyncToDoCategory");
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  EXPECT_GE(waited, std::chrono::milliseconds(300));
}

TEST_F(Faults, DroppedConnectionGivesNoReplyAndChangesNothing) {
  arm("page=*&drop=1");
  auto r = session_->post("page=SyncMemo&label=P&i=0&n=x&s=1&i=0&rt=ts.-1");
  EXPECT_FALSE(r.received);
  EXPECT_EQ(records(fetch("page=SyncMemo&label=P")).size(), 0u);
}

TEST_F(Faults, CountZeroDisarmsAndBadStatusIsRefused) {
  arm("page=SyncMemo&count=5&status=500");
  arm("page=SyncMemo&count=0");
  EXPECT_EQ(session_->get("page=SyncMemo&label=P").status, 200);
  auto bad = testutil::rawRequest(
      server_.port(), testutil::getRequest(testutil::HttpUrl(base() + "/_fault"), "page=SyncMemo&status=42"));
  EXPECT_EQ(bad.status, 400);
}

TEST(FaultSwitch, IsAbsentUnlessServeIsToldSo) {
  testutil::TempDir dir("nofault");
  testutil::GwServer server(dir.path());
  // Started by hand: the helper always adds --faults.
  auto out = testutil::runCommand({testutil::gwserverProgram(), "help"});
  EXPECT_NE(out.out.find("--faults"), std::string::npos);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    execl(testutil::gwserverProgram().c_str(), "gwserver", "serve", server.db().c_str(), "--port", "0", nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string line;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  testutil::HttpUrl url(line);
  auto r = testutil::rawRequest(url.port, "GET /_fault?page=*&status=500 HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(r.status, 404);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace gwtest
