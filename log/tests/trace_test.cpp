// The trace file: record and header formats, levels, rotation over the ring,
// over-long records, hex dumps, the console and getTraceInfo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "log/log.h"
#include "platform/msgbox.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using testutil::readFile;

// Splits a trace file into lines, each keeping its line feed.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

const std::regex kHeader(R"(\*\*\*\*\* Trace Opened \d\d/\d\d/\d\d \d\d:\d\d:\d\d \*\*\*\*\*\n)");
const std::regex kStamp(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d )");
constexpr size_t kStampLength = 18;

// The text of a record after checking that it starts with a time stamp.
std::string body(const std::string& record) {
  EXPECT_GE(record.size(), kStampLength);
  EXPECT_TRUE(std::regex_match(record.substr(0, kStampLength), kStamp)) << record;
  return record.substr(kStampLength);
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("GWSYNC_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1); }
  void TearDown() override { trace_.stop(); }

  void startFile(int level, int maxSizeKB = 1000, int maxFiles = 2, bool rotate = false, bool append = false) {
    trace_.start(level, TraceToFile, path_.c_str(), maxSizeKB, maxFiles, rotate, append);
  }
  std::vector<std::string> lines(const std::string& suffix = "") { return linesOf(readFile(path_ + suffix)); }

  testutil::TempDir dir_{"trace"};
  std::string path_ = (dir_ / "trace-address").string();
  CTrace trace_;
};

TEST_F(TraceTest, HeaderThenOneTimeStampedRecordPerWrite) {
  startFile(10);
  trace_.write(9, "SyncCore|pass %d\n", 1);
  trace_.write(10, "GWSession|%s", "no line feed");
  trace_.write(1, "%s", "");
  trace_.stop();
  auto l = lines();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_TRUE(std::regex_match(l[0], kHeader)) << l[0];
  EXPECT_EQ(body(l[1]), "SyncCore|pass 1\n");
  EXPECT_EQ(body(l[2]), "GWSession|no line feed\n");
  EXPECT_EQ(body(l[3]), "\n");
}

TEST_F(TraceTest, LevelsDecideWhatWriteAndWriteHexKeep) {
  startFile(9);
  EXPECT_TRUE(trace_.shouldTrace(9));
  EXPECT_FALSE(trace_.shouldTrace(10));
  trace_.write(9, "kept\n");
  trace_.write(10, "dropped\n");
  const unsigned char bytes[] = {0xab};
  trace_.writeHex(10, bytes, 1);
  trace_.writeHex(9, bytes, 1);
  trace_.stop();
  auto l = lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(body(l[1]), "kept\n");
  EXPECT_EQ(l[2], "ab\n");
}

TEST_F(TraceTest, LevelZeroSilencesWriteButNotDoTrace) {
  startFile(0);
  EXPECT_FALSE(trace_.shouldTrace(0));
  EXPECT_FALSE(trace_.shouldTrace(1));
  trace_.write(1, "no\n");
  const unsigned char bytes[] = {1, 2};
  trace_.writeHex(1, bytes, 2);
  trace_.doTrace("forced %d\n", 7);
  trace_.doHexTrace(bytes, 2);
  trace_.stop();
  auto l = lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(body(l[1]), "forced 7\n");
  EXPECT_EQ(l[2], "0102 \n");
}

TEST_F(TraceTest, StopKeepsLevelButWritesNothingMore) {
  startFile(10);
  trace_.stop();
  EXPECT_TRUE(trace_.hasStarted());
  EXPECT_TRUE(trace_.shouldTrace(10));
  trace_.write(1, "after stop\n");
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(TraceTest, OverLongRecordIsCutAt2048BytesWithoutNulThenLineFeed) {
  startFile(10);
  std::string big(5000, 'x');
  trace_.write(1, "%s", big.c_str());
  trace_.stop();
  auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[1].size(), 2049u);
  EXPECT_EQ(l[1].find('\0'), std::string::npos);
  EXPECT_EQ(body(l[1]), std::string(2048 - kStampLength, 'x') + "\n");
}

TEST_F(TraceTest, RecordThatFillsTheBufferExactlyKeepsItsOwnLineFeed) {
  startFile(10);
  std::string text(2048 - kStampLength - 1, 'y');
  trace_.write(1, "%s\n", text.c_str());
  trace_.stop();
  auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[1].size(), 2048u);
}

TEST_F(TraceTest, NullPathWritesNoFileAndNoRotationUsesThePathAsGiven) {
  trace_.start(10, TraceToFile, nullptr, 1000, 2, false, false);
  trace_.write(1, "nowhere\n");
  trace_.stop();
  EXPECT_TRUE(fs::is_empty(dir_.path()));

  startFile(10, 0, 2, false);  // size 0 would rotate after every write
  trace_.write(1, "a\n");
  trace_.write(1, "b\n");
  trace_.stop();
  EXPECT_EQ(lines().size(), 3u);
  EXPECT_FALSE(fs::exists(path_ + "-000"));
}

TEST_F(TraceTest, AppendContinuesTheFileAndTruncateStartsAgain) {
  startFile(10);
  trace_.write(1, "first run\n");
  trace_.stop();
  startFile(10, 1000, 2, false, true);
  trace_.write(1, "second run\n");
  trace_.stop();
  EXPECT_EQ(lines().size(), 4u);
  startFile(10);
  trace_.stop();
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(TraceTest, RotationWithSizeZeroMovesAroundTheRingAfterEveryWrite) {
  // With two files the header fills -000, each record the next file.
  startFile(10, 0, 2, true);
  trace_.write(1, "one\n");
  trace_.write(1, "two\n");
  trace_.write(1, "three\n");
  trace_.stop();
  // header -> -000, "one" -> -001, "two" -> -000, "three" -> -001, and each
  // switch truncates the next file: -000 was just reopened and is empty.
  auto second = lines("-001");
  EXPECT_TRUE(lines("-000").empty());
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(body(second[0]), "three\n");
  EXPECT_FALSE(fs::exists(path_ + "-002"));
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(TraceTest, RingOfOneOrNoFilesAlwaysReopensTheFirstName) {
  std::string big(1100, 'b');
  for (int maxFiles : {1, 0, -3}) {
    startFile(10, 1, maxFiles, true);
    trace_.write(1, "%s", big.c_str());  // crosses 1 KB: -000 starts again
    trace_.write(1, "r%d\n", maxFiles);
    trace_.stop();
    auto l = lines("-000");
    ASSERT_EQ(l.size(), 1u) << maxFiles;
    EXPECT_EQ(body(l[0]), "r" + std::to_string(maxFiles) + "\n");
    EXPECT_FALSE(fs::exists(path_ + "-001"));
  }
}

TEST_F(TraceTest, FileEndsWithTheRecordThatCrossedTheThreshold) {
  startFile(10, 1, 3, true);  // 1 KB
  std::string text(300, 'z');
  for (int i = 0; i < 4; ++i) trace_.write(1, "%d%s", i, text.c_str());
  trace_.stop();
  auto first = lines("-000");
  auto second = lines("-001");
  // header (43 bytes) + 3 records of 320 bytes = 1003; the fourth crosses 1024.
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(body(first[4]), "3" + text + "\n");
  EXPECT_TRUE(second.empty());
  // A later start begins the ring at -000 again.
  startFile(10, 1, 3, true);
  trace_.stop();
  EXPECT_EQ(lines("-000").size(), 1u);
}

TEST_F(TraceTest, HexDumpLinesAsTheExamplesShow) {
  startFile(10);
  unsigned char seventeen[17];
  for (int i = 0; i < 17; ++i) seventeen[i] = static_cast<unsigned char>(i);
  const unsigned char three[] = {0x0a, 0x0b, 0x0c};
  const unsigned char four[] = {0x0a, 0x0b, 0x0c, 0x0d};
  trace_.doHexTrace(seventeen, 17);
  trace_.doHexTrace(three, 3);
  trace_.doHexTrace(four, 4);
  trace_.doHexTrace(four, 0);
  trace_.doHexTrace(seventeen, 16);
  trace_.stop();
  auto l = lines();
  ASSERT_EQ(l.size(), 6u);
  EXPECT_EQ(l[1], "0001 0203 0405 0607 0809 0a0b 0c0d 0e0f\n");
  EXPECT_EQ(l[2], "10\n");
  EXPECT_EQ(l[3], "0a0b 0c\n");
  EXPECT_EQ(l[4], "0a0b 0c0d \n");
  EXPECT_EQ(l[5].size(), 40u);
}

TEST_F(TraceTest, ConsoleGetsRecordsWithoutStampAndNeverTheHeader) {
  testing::internal::CaptureStdout();
  trace_.start(10, TraceToFile | TraceToConsole, path_.c_str(), 1000, 2, false, false);
  trace_.write(1, "to both %d", 2);
  trace_.write(1, "ends\n");
  const unsigned char bytes[] = {0xff, 0x00, 0x7f};
  trace_.doHexTrace(bytes, 3);
  trace_.stop();
  trace_.write(1, "after stop\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "to both 2\nends\nff00 7f\n");
  auto l = lines();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(body(l[1]), "to both 2\n");
}

TEST_F(TraceTest, FileThatCannotBeOpenedIsReportedInABoxAndTracingGoesOn) {
  std::string bad = (dir_ / "missing-folder" / "trace").string();
  testing::internal::CaptureStdout();
  trace_.start(10, TraceToFile | TraceToConsole, bad.c_str(), 1000, 2, true, false);
  trace_.write(1, "still on the console\n");
  trace_.stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "still on the console\n");
  auto boxes = platform::readMessageBoxLog((dir_ / "boxes").string());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "CTrace::openTF");
  EXPECT_EQ(boxes[0].text, "Can't open trace file " + bad + "-000.");
  EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_SETFOREGROUND));
  EXPECT_EQ(boxes[0].icon, "none");
}

TEST_F(TraceTest, RestartWithoutStopClosesTheEarlierFile) {
  startFile(10);
  std::string other = path_ + "-other";
  trace_.start(10, TraceToFile, other.c_str(), 1000, 2, false, false);
  trace_.write(1, "to the second\n");
  trace_.stop();
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_EQ(linesOf(readFile(other)).size(), 2u);
}

TEST(TraceInfo, ReadsLevelOutputAndPathFromTheEnvironment) {
  struct Case {
    const char* value;
    bool result;
    int level;
    bool console;
    const char* path;
  } cases[] = {
      // value                       result level console path
      {nullptr, false, 0, false, ""},   {"", false, 0, false, ""},
      {"5", true, 5, true, ""},         {"5,file, /tmp/t", true, 5, false, "/tmp/t"},
      {"3,console", true, 3, true, ""}, {"7,  console ,  /var/x y", true, 7, true, "/var/x y"},
      {"x,file", true, 0, false, ""},   {"2,consol", true, 2, false, ""},
  };
  for (const Case& c : cases) {
    if (c.value) ::setenv("GW_TRACE_TEST", c.value, 1);
    else ::unsetenv("GW_TRACE_TEST");
    int level = -1;
    bool console = !c.console;
    const char* path = nullptr;
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    EXPECT_EQ(CTrace::getTraceInfo("GW_TRACE_TEST", &level, &console, &path), c.result);
    EXPECT_EQ(level, c.level);
    EXPECT_EQ(console, c.console);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, c.path);
  }
}

}  // namespace
