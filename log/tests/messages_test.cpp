// User messages: levels, texts from the registered library, truncation,
// forwarding through the HotSync log bridge into the HotSync log, boxes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/msgids.h"
#include "platform/msgbox.h"
#include "platform/registry.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using testutil::readFile;

struct Entry {
  unsigned short level;
  std::string text;
};
std::vector<Entry> g_seen;
void remember(unsigned short level, const char* text) { g_seen.push_back({level, text}); }

const char* const kEventSource = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\GWSync";
const std::string kNoLibrary = "*ERR* Log::getMessage() m_MsgDllHandle == NULL";

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("GWSYNC_HSLOG", (dir_ / "hotsync.log").c_str(), 1);
    ::setenv("GWSYNC_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1);
    g_seen.clear();
  }
  void TearDown() override {
    Log::closeLog();
    Log::setWriteCallback(nullptr);
    g_TraceObj.stop();
  }

  // Registers the message texts the way an installation does.
  void install() {
    std::string command = std::string(GWSYNC_TEST_BINDIR) + "/logtext-install >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void setMessageFile(DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kEventSource, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "EventMessageFile", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  std::string hotsyncLog() { return readFile(dir_ / "hotsync.log"); }

  testutil::TempDir dir_{"messages"};
};

TEST(ErrorLevel, ComesFromTheTopTwoBitsOfTheId) {
  EXPECT_EQ(Log::getErrorLevel(0xC0000019), 1);
  EXPECT_EQ(Log::getErrorLevel(0x40000018), 4);
  EXPECT_EQ(Log::getErrorLevel(0x80000001), 2);
  EXPECT_EQ(Log::getErrorLevel(0x00000001), 0);
  EXPECT_EQ(Log::getErrorLevel(0xFFFFFFFF), 1);
}

TEST_F(MessagesTest, WithoutOpenLogTextsSayTheLibraryIsMissingAndNothingIsForwarded) {
  Log::setWriteCallback(remember);
  Log::writeLog(MSG_SYNC_FAILED, "Memo");
  Log::writeEditedLog(MSG_SYNC_FAILED, "text");
  EXPECT_TRUE(g_seen.empty());
  EXPECT_FALSE(fs::exists(dir_ / "hotsync.log"));
  char text[100];
  EXPECT_EQ(Log::getMessage(MSG_SYNC_FAILED, text, sizeof text, "Memo"), static_cast<long>(kNoLibrary.size()));
  EXPECT_EQ(text, kNoLibrary);
}

TEST_F(MessagesTest, OpenLogFailuresReturnTheirCodesAndLeaveNothingLoaded) {
  // No key at all, then a key without the value.
  EXPECT_EQ(Log::openLog("condlog.dll"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kEventSource, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Log::openLog("condlog.dll"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A number where the path belongs.
  DWORD number = 7;
  setMessageFile(REG_DWORD, &number, sizeof number);
  EXPECT_EQ(Log::openLog("condlog.dll"), static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE));

  // A path longer than the 261 bytes the value may hold.
  std::string longPath(300, 'p');
  setMessageFile(REG_SZ, longPath.c_str(), static_cast<DWORD>(longPath.size() + 1));
  EXPECT_EQ(Log::openLog("condlog.dll"), static_cast<DWORD>(ERROR_MORE_DATA));

  // A path to no library.
  std::string missing = (dir_ / "liblogtext.so").string();
  setMessageFile(REG_SZ, missing.c_str(), static_cast<DWORD>(missing.size() + 1));
  EXPECT_EQ(Log::openLog("condlog.dll"), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  EXPECT_EQ(Log::m_MsgDllHandle, nullptr);
  EXPECT_EQ(Log::m_LogDllHandle, nullptr);
  Log::writeLog(MSG_SYNC_FAILED, "Memo");
  EXPECT_FALSE(fs::exists(dir_ / "hotsync.log"));
}

TEST_F(MessagesTest, MissingForwardingLibraryOrEntryPointUnloadsTheTexts) {
  install();
  EXPECT_EQ(Log::openLog("nosuchbridge.dll"), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(Log::m_MsgDllHandle, nullptr);
  // The HotSync log library exports none of the three entry points.
  EXPECT_EQ(Log::openLog("hslog20.dll"), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(Log::m_MsgDllHandle, nullptr);
  EXPECT_EQ(Log::m_LogDllHandle, nullptr);
  char text[100];
  Log::getMessage(MSG_SYNC_FAILED, text, sizeof text, "Memo");
  EXPECT_EQ(text, kNoLibrary);
}

TEST_F(MessagesTest, TextsOnlyModeFormatsButForwardsNothing) {
  install();
  ASSERT_EQ(Log::openLog(nullptr), 0u);
  char text[200];
  long n = Log::getMessage(MSG_SYNC_SUCCEEDED, text, sizeof text, "Address Book");
  EXPECT_EQ(std::string(text), "Address Book: synchronisation finished successfully.\r\n");
  EXPECT_EQ(n, static_cast<long>(std::strlen(text)));
  Log::setWriteCallback(remember);
  Log::writeLog(MSG_SYNC_SUCCEEDED, "Address Book");
  EXPECT_TRUE(g_seen.empty());
  EXPECT_FALSE(fs::exists(dir_ / "hotsync.log"));
}

TEST_F(MessagesTest, GetMessageCutsToTheBufferAndRefusesNoBuffer) {
  install();
  ASSERT_EQ(Log::openLog(nullptr), 0u);
  char small[10];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(Log::getMessage(MSG_SYNC_SUCCEEDED, small, sizeof small, "Address Book"), 9);
  EXPECT_STREQ(small, "Address B");

  char guard[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(Log::getMessage(MSG_SYNC_SUCCEEDED, nullptr, 10, "x"), 0);
  EXPECT_EQ(Log::getMessage(MSG_SYNC_SUCCEEDED, guard, 0, "x"), 0);
  EXPECT_EQ(Log::getMessage(MSG_SYNC_SUCCEEDED, guard, -5, "x"), 0);
  EXPECT_EQ(std::string(guard, 4), "####");
  EXPECT_EQ(Log::getMessage(MSG_SYNC_SUCCEEDED, guard, 1, "x"), 0);
  EXPECT_EQ(guard[0], '\0');
  EXPECT_EQ(guard[1], '#');

  // The no-library text is cut the same way.
  Log::closeLog();
  EXPECT_EQ(Log::getMessage(MSG_SYNC_SUCCEEDED, small, sizeof small), 9);
  EXPECT_STREQ(small, "*ERR* Log");
}

TEST_F(MessagesTest, UnknownIdsAndSurplusArguments) {
  install();
  ASSERT_EQ(Log::openLog(nullptr), 0u);
  char text[100];
  Log::getMessage(0x40000099, text, sizeof text, "ignored");
  EXPECT_STREQ(text, "There is no message for message id 40000099");
  Log::getMessage(MSG_CONFIG_NOT_LOADED, text, sizeof text, "surplus", 42);
  EXPECT_STREQ(text, "The synchronisation settings could not be loaded.\r\n");
}

TEST_F(MessagesTest, EntriesReachTheHotSyncLogWithTheirActivityAndTheTraceWithTheirPrefix) {
  install();
  std::string trace = (dir_ / "trace-address").string();
  g_TraceObj.start(10, TraceToFile, trace.c_str(), 1000, 2, false, false);
  Log::setWriteCallback(remember);
  ASSERT_EQ(Log::openLog("condlog.dll"), 0u);

  Log::writeLog(MSG_SYNC_SUCCEEDED, "Address Book");
  Log::writeLog(MSG_SERVER_REQUEST_FAILED, "fetch addresses", 8, 500, "HTTP status");
  Log::writeEditedLog(0x80000001, "careful\r\nsecond line\r\n");
  Log::writeEditedLog(0x00000001, "fine");
  Log::closeLog();
  Log::writeLog(MSG_SYNC_SUCCEEDED, "after close");
  g_TraceObj.stop();

  EXPECT_EQ(hotsyncLog(),
            "-1\tAddress Book: synchronisation finished successfully.\n"
            "13\tServer request failed: fetch addresses (error 8, detail 500) HTTP status\n"
            "22\tcareful\n"
            "-1\tfine\n");

  ASSERT_EQ(g_seen.size(), 4u);
  EXPECT_EQ(g_seen[0].level, 4);
  EXPECT_EQ(g_seen[0].text, "Address Book: synchronisation finished successfully.\r\n");
  EXPECT_EQ(g_seen[1].level, 1);
  EXPECT_EQ(g_seen[2].level, 2);
  EXPECT_EQ(g_seen[3].level, 0);

  std::string traced = readFile(trace);
  EXPECT_NE(traced.find(" *INFO* Address Book: synchronisation finished successfully.\r\n"), std::string::npos);
  EXPECT_NE(traced.find(" *ERR* Server request failed: fetch addresses"), std::string::npos);
  EXPECT_NE(traced.find(" *WARN* careful\r\nsecond line\r\n"), std::string::npos);
  EXPECT_NE(traced.find(" *OK* fine\n"), std::string::npos);
  EXPECT_EQ(traced.find("after close"), std::string::npos);
}

TEST_F(MessagesTest, CallbackIsReplacedAndRemoved) {
  install();
  ASSERT_EQ(Log::openLog("condlog.dll"), 0u);
  Log::setWriteCallback(remember);
  Log::writeEditedLog(MSG_SYNC_SUCCEEDED, "one");
  Log::setWriteCallback(nullptr);
  Log::writeEditedLog(MSG_SYNC_SUCCEEDED, "two");
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].text, "one");
  EXPECT_EQ(hotsyncLog(), "-1\tone\n-1\ttwo\n");
}

TEST_F(MessagesTest, MessageBoxIconFollowsTheLevel) {
  install();
  ASSERT_EQ(Log::openLog(nullptr), 0u);
  Log::showMsgBox(nullptr, "Address Book", MSG_CONFIG_NOT_SAVED);
  Log::showMsgBox(nullptr, "Address Book", MSG_CFG_NO_SERVER_URL);
  Log::showMsgBox(nullptr, "Address Book", 0x80000001);
  Log::showMsgBox(nullptr, "Address Book", 0x00000001);
  auto boxes = platform::readMessageBoxLog((dir_ / "boxes").string());
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].caption, "Address Book");
  EXPECT_EQ(boxes[0].text, "The synchronisation settings could not be saved.\r\n");
  EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK | MB_ICONHAND));
  EXPECT_EQ(boxes[1].style, static_cast<UINT>(MB_OK | MB_ICONASTERISK));
  EXPECT_EQ(boxes[2].style, static_cast<UINT>(MB_OK | MB_ICONASTERISK));
  EXPECT_EQ(boxes[2].text, "There is no message for message id 80000001");
  EXPECT_EQ(boxes[3].style, static_cast<UINT>(MB_OK));
}

}  // namespace
