// Module loading and message tables: names, search order, ordinals, errors.
#include "platform/module.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/errors.h"
#include "platform/msgtable.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using AnswerFn = int (*)();

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("GWSYNC_LIBDIR"); }

  testutil::TempDir dir_{"module"};
};

TEST(SharedLibraryFileName, MapsWindowsNamesToLowerCaseSharedObjects) {
  EXPECT_EQ(platform::sharedLibraryFileName("condlog.dll"), "libcondlog.so");
  EXPECT_EQ(platform::sharedLibraryFileName("HSLOG20.DLL"), "libhslog20.so");
  EXPECT_EQ(platform::sharedLibraryFileName("Sync20"), "libsync20.so");
  EXPECT_EQ(platform::sharedLibraryFileName("libfoo.so"), "libfoo.so");
}

TEST_F(ModuleTest, FindsLibraryBesideTheCallingModuleByItsWindowsName) {
  // The test program lives in build/tests, as does libgwfixture.so.
  HMODULE h = LoadLibrary("GWFixture.DLL");
  ASSERT_NE(h, nullptr) << platform::loaderProblem();
  auto answer = reinterpret_cast<AnswerFn>(GetProcAddress(h, "fixtureAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(ModuleTest, SearchesGwsyncLibdirFoldersInOrder) {
  fs::path own = fs::path(platform::callingModuleFolder()) / "libgwfixture.so";
  ASSERT_TRUE(fs::exists(own));
  fs::create_directories(dir_ / "b");
  fs::copy_file(own, dir_ / "b" / "libgwcopy.so");
  std::string list = (dir_ / "a").string() + ":" + (dir_ / "b").string();
  ::setenv("GWSYNC_LIBDIR", list.c_str(), 1);
  HMODULE h = LoadLibrary("gwcopy.dll");
  ASSERT_NE(h, nullptr) << platform::loaderProblem();
  EXPECT_NE(GetProcAddress(h, "fixtureAnswer"), nullptr);
  FreeLibrary(h);
}

TEST_F(ModuleTest, MissingLibraryIsError126) {
  SetLastError(0);
  EXPECT_EQ(LoadLibrary("nosuchthing.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_NE(platform::loaderProblem().find("libnosuchthing.so"), std::string::npos);

  SetLastError(0);
  EXPECT_EQ(LoadLibrary((dir_ / "absent.so").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, FileThatIsNotALibraryIsError193) {
  fs::path bogus = dir_ / "libbogus.so";
  std::ofstream(bogus) << "not a library";
  SetLastError(0);
  EXPECT_EQ(LoadLibrary(bogus.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

TEST_F(ModuleTest, EntryPointsByNameAndOrdinal) {
  HMODULE h = LoadLibrary("gwfixture.dll");
  ASSERT_NE(h, nullptr);
  auto byOrdinal = reinterpret_cast<AnswerFn>(GetProcAddress(h, MAKEINTRESOURCE(7)));
  ASSERT_NE(byOrdinal, nullptr);
  EXPECT_EQ(byOrdinal(), 42);

  // An ordinal that is not in the table, one whose name the library lacks,
  // and an unknown name all fail the same way.
  for (LPCSTR missing : {MAKEINTRESOURCE(9), MAKEINTRESOURCE(8), "noSuchEntry"}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, missing), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  FreeLibrary(h);
  EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST_F(ModuleTest, FormatMessageCopiesTheStoredTextOrFailsWithItsCode) {
  HMODULE h = LoadLibrary("gwfixture.dll");
  ASSERT_NE(h, nullptr);
  const DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
  char text[64];
  EXPECT_EQ(FormatMessage(flags, h, 0x40000001, 0, text, sizeof text, nullptr), 10u);
  EXPECT_STREQ(text, "first %s\r\n");

  // A buffer one byte short is refused whole, not cut.
  char small[10];
  std::memset(small, '#', sizeof small);
  SetLastError(0);
  EXPECT_EQ(FormatMessage(flags, h, 0xc0000002, 0, small, sizeof small, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[0], '#');
  char exact[11];
  EXPECT_EQ(FormatMessage(flags, h, 0xc0000002, 0, exact, sizeof exact, nullptr), 10u);

  SetLastError(0);
  EXPECT_EQ(FormatMessage(flags, h, 0x40000099, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_HMODULE, h, 0x40000001, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  FreeLibrary(h);
}

TEST(ErrorTexts, KnownCodesHaveTextsAndErrnoMapsToWindowsCodes) {
  EXPECT_STREQ(platform::systemErrorText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_EQ(platform::systemErrorText(0xdeadbeef), nullptr);
  EXPECT_EQ(platform::winErrorFromErrno(ENOENT), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(platform::winErrorFromErrno(ENOSPC), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(platform::winErrorFromErrno(EACCES), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
