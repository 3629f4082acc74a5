// The HotSync log file: one line per entry, by name and by ordinal 52.
#include "hotsync/hslog/hslog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/module.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using testutil::readFile;

class HsLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("GWSYNC_HSLOG", log_.c_str(), 1); }

  testutil::TempDir dir_{"hslog"};
  fs::path log_ = dir_ / "hotsync.log";
};

TEST_F(HsLogTest, AppendsActivityTabTextLineFeed) {
  EXPECT_EQ(LogAddEntry("Address Book: done", -1, 0), 0);
  EXPECT_EQ(LogAddEntry("bad \x82\xa0 thing", 13, 1), 0);
  EXPECT_EQ(LogAddEntry("", 22, 0), 0);
  EXPECT_EQ(LogAddEntry(nullptr, 2147483647, 0), 0);
  EXPECT_EQ(readFile(log_), "-1\tAddress Book: done\n13\tbad \x82\xa0 thing\n22\t\n2147483647\t\n");
}

TEST_F(HsLogTest, OrdinalFiftyTwoIsTheAddEntryFunction) {
  ::setenv("GWSYNC_LIBDIR", GWSYNC_TEST_LIBDIR, 1);
  HMODULE h = LoadLibrary("HSLOG20.dll");
  ASSERT_NE(h, nullptr) << platform::loaderProblem();
  auto add = reinterpret_cast<LONG (*)(LPCSTR, LONG, BOOL)>(GetProcAddress(h, MAKEINTRESOURCE(52)));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add("by ordinal", -1, 0), 0);
  EXPECT_EQ(readFile(log_), "-1\tby ordinal\n");
  FreeLibrary(h);
}

TEST_F(HsLogTest, WithoutALogFileEntriesGoToStandardErrorAndFailuresAreReturned) {
  ::unsetenv("GWSYNC_HSLOG");
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogAddEntry("to the terminal", 13, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "13\tto the terminal\n");

  ::setenv("GWSYNC_HSLOG", (dir_ / "no-folder" / "hotsync.log").c_str(), 1);
  EXPECT_EQ(LogAddEntry("lost", -1, 0), ERROR_FILE_NOT_FOUND);
}

}  // namespace
