// The registry file's text unit and the shared file helpers, without the
// registry API around them.
#include "platform/regfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"

namespace {

using platform::regfile::formatRegistry;
using platform::regfile::parseRegistry;
using platform::regfile::Registry;

TEST(RegFileTest, WritesWhatItReadsInItsOwnOrderAndSpelling) {
  // Hand-written: CR LF, blanks, comments, short hive names, keys out of
  // order, a key named only on the way to another.
  const std::string text =
      "REGEDIT4\r\n; a comment\r\n\r\n[HKLM\\Software\\b]\r\n\"Name\"=\"x \\\"y\\\" \\\\ z\"\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A\\Deep]\r\n@=dword:0000002a\r\n\"Raw\"=hex:00,ff\r\n"
      "\"Multi\"=hex(7):61,00,00\r\n";
  Registry r;
  ASSERT_FALSE(parseRegistry(text, r));
  EXPECT_EQ(formatRegistry(r),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A\\Deep]\n@=dword:0000002a\n\"Raw\"=hex:00,ff\n\"Multi\"=hex(7):61,00,00\n"
            "\n[HKEY_LOCAL_MACHINE\\Software\\b]\n\"Name\"=\"x \\\"y\\\" \\\\ z\"\n");
  Registry again;
  ASSERT_FALSE(parseRegistry(formatRegistry(r), again));
  EXPECT_EQ(formatRegistry(again), formatRegistry(r));
  const auto* deep = platform::regfile::findKey(r, 2, {"software", "a", "DEEP"});
  ASSERT_NE(deep, nullptr);
  ASSERT_NE(deep->findValue(""), nullptr);
  EXPECT_EQ(deep->findValue("")->data, std::string("\x2a\0\0\0", 4));
}

TEST(RegFileTest, EmptyTextIsAnEmptyRegistryAndBadTextSaysWhere) {
  Registry r;
  EXPECT_FALSE(parseRegistry("", r));
  EXPECT_EQ(formatRegistry(r), "REGEDIT4\n");
  auto error = parseRegistry("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=dword:1\nstray\n", r);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->line, 5u);
  error = parseRegistry("REGEDIT5\n", r);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->line, 1u);
}

TEST(RegFileTest, NamesFoldOnlyAsciiLettersAndNeverATrailByte) {
  using platform::regfile::sameName;
  EXPECT_TRUE(sameName("Software", "SOFTWARE"));
  // "\x83\x61" and "\x83\x41" are two Shift-JIS characters whose trail
  // bytes are 'a' and 'A'.
  EXPECT_FALSE(sameName("\x83\x61", "\x83\x41"));
  EXPECT_EQ(platform::regfile::findSeparator("\x83\x5c\\b"), 2u);
  EXPECT_FALSE(platform::regfile::isStorableName("a\nb"));
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gw-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_Dir = pattern;
    m_File = m_Dir + "/file";
  }
  void TearDown() override { std::system(("rm -rf '" + m_Dir + "'").c_str()); }
  std::string read(const std::string& path) {
    std::string text;
    EXPECT_TRUE(platform::readWholeFile(path, text)) << path;
    return text;
  }
  // The names in the folder, the file itself included.
  int entries() {
    int n = 0;
    for (const std::string& name : {std::string("file"), std::string("file.tmp")}) {
      struct stat st {};
      if (::stat((m_Dir + "/" + name).c_str(), &st) == 0) ++n;
    }
    return n;
  }
  std::string m_Dir, m_File;
};

TEST_F(FilesTest, ReplaceFileKeepsTheOldFileWholeWhicheverStepFails) {
  platform::ReplaceFileOptions options;
  options.temp = m_File + ".tmp";
  ASSERT_TRUE(platform::replaceFile(m_File, "old", options, nullptr));
  struct Case {
    const char* refused;
    int nth;  // which asking of that step is refused
    platform::ReplaceStep step;
    bool replaced;
  };
  const Case cases[] = {{"write", 1, platform::ReplaceStep::Write, false},
                        {"flush", 1, platform::ReplaceStep::Flush, false},
                        {"rename", 1, platform::ReplaceStep::Rename, false},
                        {"flush", 2, platform::ReplaceStep::SyncFolder, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.refused) + " #" + std::to_string(c.nth));
    ASSERT_TRUE(platform::replaceFile(m_File, "old", options, nullptr));
    int asked = 0;
    options.gate = [&](const char* step) { return !(std::strcmp(step, c.refused) == 0 && ++asked == c.nth); };
    platform::ReplaceFileFailure failure;
    EXPECT_FALSE(platform::replaceFile(m_File, "new", options, &failure));
    EXPECT_EQ(failure.step, c.step);
    EXPECT_EQ(failure.error, EIO);
    EXPECT_EQ(read(m_File), c.replaced ? "new" : "old");
    EXPECT_EQ(entries(), 1) << "the temporary is left behind";
    options.gate = nullptr;
  }
}

TEST_F(FilesTest, ReplaceFileWithAUniqueTemporaryAndExactMode) {
  platform::ReplaceFileOptions options;
  // Neither the umask nor the temporary's own mode decide.
  options.mode = 0640;
  options.exactMode = true;
  const mode_t old = ::umask(0027 ^ 0777);
  const bool ok = platform::replaceFile(m_File, std::string(100000, 'x'), options, nullptr);
  ::umask(old);
  ASSERT_TRUE(ok);
  struct stat st {};
  ASSERT_EQ(::stat(m_File.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(read(m_File), std::string(100000, 'x'));
  // A folder that does not exist: nothing is made, the step says why.
  platform::ReplaceFileFailure failure;
  EXPECT_FALSE(platform::replaceFile(m_Dir + "/none/file", "x", options, &failure));
  EXPECT_EQ(failure.step, platform::ReplaceStep::Create);
  EXPECT_EQ(failure.error, ENOENT);
}

TEST_F(FilesTest, FolderOfAndMakeFolders) {
  EXPECT_EQ(platform::folderOf("name"), ".");
  EXPECT_EQ(platform::folderOf("/name"), "/");
  EXPECT_EQ(platform::folderOf("/a/b/name"), "/a/b");
  ASSERT_TRUE(platform::makeFolders(m_Dir + "/a/b/c", 0700));
  EXPECT_TRUE(platform::makeFolders(m_Dir + "/a/b/c", 0700));
  EXPECT_TRUE(platform::syncFolder(m_Dir + "/a/b/c"));
  ASSERT_TRUE(platform::replaceFile(m_File, "x", {}, nullptr));
  EXPECT_FALSE(platform::makeFolders(m_File + "/under-a-file", 0700));
}

TEST_F(FilesTest, WriteAllFillsAFullDiskReportsNoSpace) {
  platform::CFileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  if (!full.valid()) GTEST_SKIP() << "no /dev/full here";
  EXPECT_FALSE(platform::writeAll(full.get(), "bytes"));
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
