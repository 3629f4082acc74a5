// The HotSync log bridge: prefixes, activity codes and the first-line rule.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/log.h"
#include "platform/module.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using testutil::readFile;

class CondLogTest : public ::testing::Test {
 protected:
  using OpenFn = DWORD (*)();
  using WriteFn = void (*)(unsigned short, const char*);

  void SetUp() override {
    ::setenv("GWSYNC_HSLOG", (dir_ / "hotsync.log").c_str(), 1);
    ::setenv("GWSYNC_LIBDIR", GWSYNC_TEST_LIBDIR, 1);
    module_ = LoadLibrary("condlog.dll");
    ASSERT_NE(module_, nullptr) << platform::loaderProblem();
    write_ = reinterpret_cast<WriteFn>(GetProcAddress(module_, "writeLog"));
    ASSERT_NE(write_, nullptr);
    g_TraceObj.start(1, TraceToFile, (dir_ / "trace").c_str(), 1000, 2, false, false);
  }
  void TearDown() override {
    g_TraceObj.stop();
    if (module_) FreeLibrary(module_);
  }

  // The trace records after the header, time stamps removed.
  std::string traced() {
    g_TraceObj.flush();
    std::stringstream in(readFile(dir_ / "trace"));
    std::string line, out;
    std::getline(in, line);  // header
    while (std::getline(in, line)) out += line.substr(std::min<size_t>(18, line.size())) + "\n";
    return out;
  }
  std::string hotsyncLog() { return readFile(dir_ / "hotsync.log"); }

  HMODULE module_ = nullptr;
  WriteFn write_ = nullptr;
  testutil::TempDir dir_{"condlog"};
};

TEST_F(CondLogTest, OpenAndCloseDoNothingButSucceed) {
  auto open = reinterpret_cast<OpenFn>(GetProcAddress(module_, "openLog"));
  auto close = reinterpret_cast<void (*)()>(GetProcAddress(module_, "closeLog"));
  ASSERT_NE(open, nullptr);
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(open(), 0u);
  close();
  EXPECT_FALSE(fs::exists(dir_ / "hotsync.log"));
}

TEST_F(CondLogTest, EachLevelHasItsPrefixAndActivity) {
  struct Row {
    unsigned short level;
    const char* trace;  // the record after its time stamp
    const char* hslog;  // the HotSync log line
  } rows[] = {
      {0, "*OK* done\n", "-1\tdone\n"}, {1, "*ERR* abc\r\n", "13\tabc\n"}, {2, "*WARN* w\n", "22\tw\n"},
      {4, "*INFO* i\n", "-1\ti\n"},     {3, " three\n", "-1\tthree\n"},    {5, " five\n", "-1\tfive\n"},
  };
  std::string expectTrace, expectLog;
  for (const Row& r : rows) {
    std::string text = r.hslog;
    text = text.substr(text.find('\t') + 1);
    text.pop_back();
    if (r.level == 1) text += "\r\n";
    write_(r.level, text.c_str());
    expectTrace += r.trace;
    expectLog += r.hslog;
  }
  EXPECT_EQ(traced(), expectTrace);
  EXPECT_EQ(hotsyncLog(), expectLog);
}

TEST_F(CondLogTest, HotSyncLogGetsTheFirstLineCutTo1023Characters) {
  write_(4, "\r\nafter a leading break");
  write_(4, "first\nsecond");
  std::string big(2000, 'q');
  write_(1, big.c_str());
  write_(1, nullptr);
  EXPECT_EQ(hotsyncLog(), "-1\t\n-1\tfirst\n13\t" + std::string(1023, 'q') + "\n13\t\n");
}

}  // namespace
