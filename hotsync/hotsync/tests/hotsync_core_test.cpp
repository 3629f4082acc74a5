#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "hotsync/hotsync/conduit.h"
#include "hotsync/hotsync/user.h"
#include "testutil/files.h"

namespace {

using namespace hotsync;

// Legend: module name as given; the library file it stands for; the known
// conduit's creator and database ("" when it is none of the system's).
struct ModuleRow {
  const char* module;
  const char* file;
  const char* creator;
  const char* database;
};

void PrintTo(const ModuleRow& row, std::ostream* os) { *os << row.module; }

class ModuleNameTest : public ::testing::TestWithParam<ModuleRow> {};

TEST_P(ModuleNameTest, MapsLikeTheLoaderAndFindsKnownConduits) {
  const ModuleRow& row = GetParam();
  EXPECT_EQ(libraryFileOf(row.module), row.file);
  std::optional<KnownConduit> known = knownConduitOf(row.module);
  ASSERT_EQ(known.has_value(), *row.creator != '\0');
  if (known) {
    EXPECT_STREQ(known->creator, row.creator);
    EXPECT_STREQ(known->database, row.database);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ModuleNameTest,
    ::testing::Values(
        /* 0 */ ModuleRow{"addressconduit.dll", "libaddressconduit.so", "addr", "AddressDB"},
        /* 1 */ ModuleRow{"MemoConduit.DLL", "libmemoconduit.so", "memo", "MemoDB"},
        /* 2 */ ModuleRow{"mailconduit", "libmailconduit.so", "mail", "MailDB"},
        /* 3 */ ModuleRow{"/opt/gw/lib/libscheduleconduit.so", "libscheduleconduit.so", "date", "DatebookDB"},
        /* 4 */ ModuleRow{"libtodoconduit.so", "libtodoconduit.so", "todo", "ToDoDB"},
        // A path names its file exactly: no case folding, no mapping.
        /* 5 */ ModuleRow{"/opt/AddressConduit.dll", "AddressConduit.dll", "", ""},
        /* 6 */ ModuleRow{"./libaddressconduit.so.1", "libaddressconduit.so.1", "", ""},
        /* 7 */ ModuleRow{"addressconduitx.dll", "libaddressconduitx.so", "", ""}));

TEST(ConduitTextTest, CreatorAndVersion) {
  EXPECT_EQ(creatorCode("addr"), 0x61646472u);
  EXPECT_EQ(creatorCode("\x7e\x20\x41\x7a"), 0x7e20417au);
  EXPECT_EQ(versionText(0x00010000), "1.0");
  EXPECT_EQ(versionText(0x0002000c), "2.12");
  EXPECT_TRUE(validCreator("Ad r"));
  EXPECT_FALSE(validCreator("add"));
  EXPECT_FALSE(validCreator("addr "));
  EXPECT_FALSE(validCreator("ad\tr"));
  EXPECT_FALSE(validCreator("ad\xe9r"));
}

TEST(UserNameTest, ConvertsToShiftJis) {
  std::string problem;
  auto name = handheldUserName("\xe7\x94\xb0\xe4\xb8\xad", "UTF-8", 255, problem);  // 田中
  ASSERT_TRUE(name) << problem;
  EXPECT_EQ(name->typed, "\xe7\x94\xb0\xe4\xb8\xad");
  EXPECT_EQ(name->handheld, "\x93\x63\x92\x86");
  // Half-width katakana: one byte each in Shift-JIS.
  name = handheldUserName("\xef\xbd\xb1\xef\xbd\xb2", "utf-8", 255, problem);  // ｱｲ
  ASSERT_TRUE(name) << problem;
  EXPECT_EQ(name->handheld, "\xb1\xb2");
  // Bytes already in Shift-JIS pass through, trail byte 0x5c included.
  name = handheldUserName("\x83\x5c\x83\x74\x83\x67", "cp932", 255, problem);  // ソフト
  ASSERT_TRUE(name) << problem;
  EXPECT_EQ(name->handheld, "\x83\x5c\x83\x74\x83\x67");
}

TEST(UserNameTest, LengthIsCountedInShiftJisBytes) {
  std::string problem;
  // Three characters: 9 bytes typed, 6 bytes on the handheld.
  std::string typed = "\xe7\x94\xb0\xe4\xb8\xad\xe5\xa4\xaa";  // 田中太
  EXPECT_TRUE(handheldUserName(typed, "UTF-8", 6, problem)) << problem;
  EXPECT_FALSE(handheldUserName(typed, "UTF-8", 5, problem));
  EXPECT_NE(problem.find("at most 5"), std::string::npos) << problem;
  EXPECT_TRUE(handheldUserName(std::string(63, 'a'), "UTF-8", 63, problem));
  EXPECT_FALSE(handheldUserName(std::string(64, 'a'), "UTF-8", 63, problem));
}

// Legend: name typed; its character set; a word the refusal must contain.
struct RefusedName {
  const char* typed;
  const char* charset;
  const char* says;
};

void PrintTo(const RefusedName& row, std::ostream* os) { *os << row.charset << " name, refused for " << row.says; }

class RefusedNameTest : public ::testing::TestWithParam<RefusedName> {};

TEST_P(RefusedNameTest, SaysWhy) {
  std::string problem;
  EXPECT_FALSE(handheldUserName(GetParam().typed, GetParam().charset, 255, problem));
  EXPECT_NE(problem.find(GetParam().says), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedNameTest,
                         ::testing::Values(
                             /* 0 */ RefusedName{"", "UTF-8", "empty"},
                             /* 1 */ RefusedName{"Ann\n", "UTF-8", "control character"},
                             /* 2 */ RefusedName{"Ann", "NO-SUCH-CHARSET", "unknown"},
                             /* 3 */ RefusedName{"\xe7\x94", "UTF-8", "middle"},                    // cut short
                             /* 4 */ RefusedName{"\xff\xfe", "UTF-8", "not UTF-8"},                 // not UTF-8
                             /* 5 */ RefusedName{"\xf0\x9f\x98\x80", "UTF-8", "Shift-JIS cannot"},  // an emoji
                             /* 6 */ RefusedName{"Jos\xc3\xa9", "ANSI_X3.4-1968", "--user-charset"}));

class UserFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("XDG_DATA_HOME")) savedXdg_ = v;
    if (const char* v = std::getenv("HOME")) savedHome_ = v;
  }
  void TearDown() override {
    restore("XDG_DATA_HOME", savedXdg_);
    restore("HOME", savedHome_);
  }
  static void restore(const char* name, const std::optional<std::string>& value) {
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  std::optional<std::string> savedXdg_, savedHome_;
};

TEST_F(UserFolderTest, DefaultFolderFollowsXdgThenHome) {
  std::string problem;
  setenv("XDG_DATA_HOME", "/data", 1);
  setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(defaultUserFolder("Ann", problem), "/data/gwsync/Ann");
  setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(defaultUserFolder("Ann", problem), "/home/ann/.local/share/gwsync/Ann");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(defaultUserFolder("Ann", problem), "/home/ann/.local/share/gwsync/Ann");
  unsetenv("HOME");
  EXPECT_EQ(defaultUserFolder("Ann", problem), "");
  EXPECT_NE(problem.find("--userdir"), std::string::npos);
  setenv("HOME", "/home/ann", 1);
  for (const char* unfit : {".", "..", "a/b", "/"}) {
    problem.clear();
    EXPECT_EQ(defaultUserFolder(unfit, problem), "") << unfit;
    EXPECT_NE(problem.find("--userdir"), std::string::npos) << unfit;
  }
}

TEST_F(UserFolderTest, CreatesPrivateFoldersAndRefusesAFile) {
  testutil::TempDir dir("hotsync-userdir");
  std::string folder = (dir / "share/gwsync/Ann").string();
  std::string problem;
  ASSERT_TRUE(makeUserFolder(folder, problem)) << problem;
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((dir / "share").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(makeUserFolder(folder, problem)) << "an existing folder is fine";

  std::ofstream(dir / "file") << "x";
  EXPECT_FALSE(makeUserFolder((dir / "file").string(), problem));
  EXPECT_NE(problem.find("not a folder"), std::string::npos) << problem;
  EXPECT_FALSE(makeUserFolder((dir / "file/below").string(), problem));
  EXPECT_NE(problem.find("cannot create"), std::string::npos) << problem;
}

}  // namespace
