// The shared helpers other than the text copy: byte swaps, line ends, system
// error texts, string resources, the trace file name, the configuration path
// and the message box.
#include "synccore/helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/findfile.h"
#include "platform/module.h"
#include "platform/msgbox.h"
#include "platform/registry.h"
#include "synccore/tests/logcapture.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

TEST(SwapBytes, ReversesTheByteOrder) {
  EXPECT_EQ(swapBytes16(0x1234), 0x3412);
  EXPECT_EQ(swapBytes16(0x00ff), 0xff00);
  EXPECT_EQ(swapBytes32(0x12345678u), 0x78563412u);
  EXPECT_EQ(swapBytes32(0xff000001u), 0x010000ffu);
}

TEST(FindLineEnd, IndexZeroOrMinusOne) {
  EXPECT_EQ(findLineEnd("abc\ndef"), 3);
  EXPECT_EQ(findLineEnd("abc"), 0);
  EXPECT_EQ(findLineEnd(""), 0);
  std::string longLine(65536, 'x');
  EXPECT_EQ(findLineEnd(longLine.c_str()), -1);
  longLine[65535] = '\n';
  EXPECT_EQ(findLineEnd(longLine.c_str()), 65535);
}

TEST(SystemErrorText, KnownCodeUnknownCodeAndCut) {
  char text[512];
  getSystemErrorText(ERROR_FILE_NOT_FOUND, text, sizeof text);
  EXPECT_STREQ(text, "The system cannot find the file specified.");
  getSystemErrorText(54321, text, sizeof text);
  EXPECT_STREQ(text, "There is no error message for error code 54321");
  char small[8];
  std::memset(small, '#', sizeof small);
  getSystemErrorText(54321, small, 6);
  EXPECT_STREQ(small, "There");
  EXPECT_EQ(small[6], '#');
}

class ResourceText : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibrary((std::string(GWSYNC_TEST_LIBDIR) + "/../tests/libgwstrings.so").c_str());
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { FreeLibrary(module_); }
  HMODULE module_ = nullptr;
};

TEST_F(ResourceText, LoadsCutsAndFailsToEmpty) {
  char text[32];
  EXPECT_STREQ(loadResourceText(module_, 101, text, sizeof text), "Address Book");
  EXPECT_STREQ(loadResourceText(module_, 999, text, sizeof text), "");
  std::strcpy(text, "old");
  EXPECT_STREQ(loadResourceText(nullptr, 101, text, sizeof text), "");
  EXPECT_EQ(loadResourceText(module_, 101, nullptr, 10), nullptr);
  // Cut to the buffer, on a character boundary: 5 bytes hold two characters.
  char small[6];
  loadResourceText(module_, 102, small, sizeof small);
  EXPECT_EQ(std::string(small), "\x83\x41\x83\x68");
}

class PickLogFileName : public ::testing::Test {
 protected:
  void make(const std::string& name, size_t size, time_t mtime) {
    fs::path p = dir_ / name;
    std::ofstream(p) << std::string(size, 'x');
    struct utimbuf t {
      mtime, mtime
    };
    ASSERT_EQ(::utime(p.c_str(), &t), 0);
  }
  std::string pick(const std::string& prefixName) {
    char prefix[260];
    std::snprintf(prefix, sizeof prefix, "%s/%s", dir_.path().c_str(), prefixName.c_str());
    EXPECT_TRUE(pickLogFileName(prefix));
    return prefix;
  }
  testutil::TempDir dir_{"picklog"};
};

TEST_F(PickLogFileName, ReusesTheNewestSmallFile) {
  make("trace-address-20240101000000", 10, 1000000);
  make("trace-address-20240102000000", 10, 3000000);
  make("trace-address-20240103000000", 10, 2000000);
  make("trace-memo-20250101000000", 10, 9000000);
  EXPECT_EQ(pick("trace-address"), (dir_ / "trace-address-20240102000000").string());
}

TEST_F(PickLogFileName, SkipsLargeFilesAndFolders) {
  make("trace-address-old", 10, 1000000);
  make("trace-address-big", 1000000, 5000000);
  fs::create_directory(dir_ / "trace-address-dir");
  EXPECT_EQ(pick("trace-address"), (dir_ / "trace-address-old").string());
}

TEST_F(PickLogFileName, OnlyALargeMatchGivesATimeStampedName) {
  make("trace-address", 1000000, 5000000);
  std::string picked = pick("trace-address");
  std::string start = (dir_ / "trace-address-").string();
  ASSERT_EQ(picked.compare(0, start.size(), start), 0) << picked;
  std::string stamp = picked.substr(start.size());
  EXPECT_EQ(stamp.size(), 14u) << picked;
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << picked;
}

TEST(FindFile, ReportsSizeTimeAndFolderFlag) {
  testutil::TempDir dir("findfile");
  std::ofstream(dir / "a1") << "12345";
  fs::create_directory(dir / "a2");
  std::ofstream(dir / "b1") << "x";
  struct utimbuf t {
    1000000000, 1000000000
  };
  ::utime((dir / "a1").c_str(), &t);
  WIN32_FIND_DATA found;
  HANDLE h = FindFirstFile((dir.path().string() + "/a*").c_str(), &found);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int files = 0, folders = 0;
  do {
    if (std::string(found.cFileName) == "a1") {
      ++files;
      EXPECT_EQ(platform::fileSize(found), 5u);
      EXPECT_EQ(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
      // 2001-09-09 01:46:40 UTC in 100 ns ticks since 1601.
      EXPECT_EQ(platform::fileTimeValue(found.ftLastWriteTime), 116444736000000000ULL + 10000000000000000ULL);
    } else if (std::string(found.cFileName) == "a2") {
      ++folders;
      EXPECT_NE(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    } else {
      ADD_FAILURE() << "unexpected match " << found.cFileName;
    }
  } while (FindNextFile(h, &found));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(h));
  EXPECT_EQ(files, 1);
  EXPECT_EQ(folders, 1);
  EXPECT_EQ(FindFirstFile((dir.path().string() + "/zz*").c_str(), &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFile("/no/such/folder/x*", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

class ConfigPath : public ::testing::Test {
 protected:
  void setValue(DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\GWSync", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "ConfigFile", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  testutil::TempDir dir_{"cfgpath"};
  testutil::LogCapture log_{dir_.path()};
};

TEST_F(ConfigPath, ReadsTheValue) {
  const char path[] = "/etc/gwsync/rs.cfg";
  setValue(REG_SZ, path, sizeof path);
  char buffer[260];
  ASSERT_TRUE(getRSCfgFilePath(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, path);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ConfigPath, MissingKeyIsOneMessage) {
  char buffer[260] = "untouched";
  EXPECT_FALSE(getRSCfgFilePath(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "untouched");
  ASSERT_EQ(log_.entries().size(), 1u);
  EXPECT_EQ(log_.entries()[0].text,
            "RegOpenKeyEx() failed in rsmain (getRSCfgFilePath), OPEN REGISTRY KEY SOFTWARE\\GWSync: error 2, "
            "The system cannot find the file specified.\r\n");
}

TEST_F(ConfigPath, ValueTooLongOrNotTextIsOneMessage) {
  const char path[] = "/a/rather/long/path/to/rs.cfg";
  setValue(REG_SZ, path, sizeof path);
  char small[8] = "small";
  EXPECT_FALSE(getRSCfgFilePath(small, sizeof small));
  EXPECT_STREQ(small, "small");
  DWORD number = 7;
  setValue(REG_DWORD, &number, sizeof number);
  char buffer[260] = "untouched";
  EXPECT_FALSE(getRSCfgFilePath(buffer, sizeof buffer));
  ASSERT_EQ(log_.entries().size(), 2u);
  EXPECT_NE(log_.entries()[0].text.find("RegQueryValue() failed in rsmain (getRSCfgFilePath), OPEN REGISTRY "
                                        "NAME ConfigFile: error 234"),
            std::string::npos);
  EXPECT_NE(log_.entries()[1].text.find("error 1630"), std::string::npos);
}

TEST(MessageBoxHelper, FormatsCutsAndComesToTheFront) {
  testutil::TempDir dir("msgbox");
  ::setenv("GWSYNC_MSGBOX_LOG", (dir / "boxes").c_str(), 1);
  EXPECT_EQ(showMessageBox("GWSync", "%d records of %s", 3, "Memo"), IDOK);
  std::string longText(2000, 'y');
  showMessageBox("GWSync", "%s", longText.c_str());
  auto boxes = platform::readMessageBoxLog((dir / "boxes").string());
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "GWSync");
  EXPECT_EQ(boxes[0].text, "3 records of Memo");
  EXPECT_NE(boxes[0].style & MB_SETFOREGROUND, 0u);
  EXPECT_EQ(boxes[1].text.size(), 1023u);
}

}  // namespace
