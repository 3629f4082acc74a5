// Scripted message boxes: answers by position, records read back exactly.
#include "platform/msgbox.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testutil::makeTempFolder("msgbox");
    log_ = dir_ / "msgbox.log";
    ::setenv("GWSYNC_MSGBOX_LOG", log_.c_str(), 1);
    ::unsetenv("GWSYNC_MSGBOX_ANSWERS");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_, log_;
};

TEST_F(MessageBoxTest, RecordsCaptionTextStyleAndIconExactly) {
  const char* text = "line one\r\nline\ttwo with \\ and \x82\xa0";
  EXPECT_EQ(MessageBox(nullptr, text, "Cap\ttion", MB_OK | MB_ICONHAND | MB_SETFOREGROUND), IDOK);
  EXPECT_EQ(MessageBox(nullptr, nullptr, nullptr, MB_ICONASTERISK), IDOK);

  auto records = platform::readMessageBoxLog(log_.string());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].caption, "Cap\ttion");
  EXPECT_EQ(records[0].text, text);
  EXPECT_EQ(records[0].style, static_cast<UINT>(MB_OK | MB_ICONHAND | MB_SETFOREGROUND));
  EXPECT_EQ(records[0].icon, "stop");
  EXPECT_EQ(records[1].caption, "Error");
  EXPECT_EQ(records[1].text, "");
  EXPECT_EQ(records[1].icon, "information");
}

TEST_F(MessageBoxTest, AnswersComeInOrderThenTheDefaultButton) {
  ::setenv("GWSYNC_MSGBOX_ANSWERS", "no, 2,Retry", 1);
  EXPECT_EQ(MessageBox(nullptr, "a", "c", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_EQ(MessageBox(nullptr, "b", "c", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBox(nullptr, "c", "c", MB_RETRYCANCEL), IDRETRY);
  EXPECT_EQ(MessageBox(nullptr, "d", "c", MB_YESNOCANCEL), IDYES);  // list used up
  auto records = platform::readMessageBoxLog(log_.string());
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].icon, "question");
  EXPECT_EQ(records[1].answer, IDCANCEL);
  EXPECT_EQ(records[3].answer, IDYES);
}

TEST_F(MessageBoxTest, BoxesOfAnotherProcessCountTowardTheAnswers) {
  ::setenv("GWSYNC_MSGBOX_ANSWERS", "yes,no", 1);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(MessageBox(nullptr, "child", "c", MB_YESNO) == IDYES ? 0 : 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(MessageBox(nullptr, "parent", "c", MB_YESNO), IDNO);
  EXPECT_EQ(platform::readMessageBoxLog(log_.string()).size(), 2u);
}

TEST(MessageBoxLog, MissingFileReadsAsNoRecords) {
  EXPECT_TRUE(platform::readMessageBoxLog("/nonexistent/gw-msgbox.log").empty());
}

}  // namespace
