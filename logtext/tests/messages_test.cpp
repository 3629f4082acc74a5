// The message texts: every id has one, each is one CR LF line, and its printf
// conversions take exactly the arguments its callers pass.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "log/msgids.h"
#include "platform/errors.h"
#include "platform/module.h"
#include "platform/msgtable.h"
#include "platform/registry.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

// What callers pass after the id: s = a string, n = a 32-bit number.
struct Expected {
  DWORD id;
  const char* arguments;
};

const Expected kMessages[] = {
    {0x4000000a, ""},   {0x4000000b, ""},    {0x4000000c, ""},    {0x4000000d, ""},       {0x40000010, ""},
    {0x40000011, ""},   {0x40000012, ""},    {0x40000013, ""},    {0x40000015, ""},       {0x40000016, "s"},
    {0x40000017, "s"},  {0x40000018, "s"},   {0x40000041, "s"},   {0x40000042, "s"},      {0x40000043, "s"},
    {0x4000004b, "n"},  {0xc0000002, "sss"}, {0xc0000003, "ssn"}, {0xc0000005, "ssssns"}, {0xc0000007, ""},
    {0xc0000008, ""},   {0xc0000019, "sn"},  {0xc000001a, "snn"}, {0xc000001c, "s"},      {0xc000001d, "nn"},
    {0xc000001e, "nn"}, {0xc000001f, ""},    {0xc0000020, ""},    {0xc0000021, ""},       {0xc0000022, "snns"},
    {0xc0000023, ""},   {0xc0000024, ""},    {0xc0000049, "s"},   {0xc000004a, "s"},      {0xc000004c, "s"},
    {0x8000004d, "ss"},
};

// The argument kinds a printf format consumes, or "?" + the conversion for
// one that no caller's argument fits (a length modifier, a pointer, a '*').
std::string conversions(const std::string& format) {
  std::string kinds;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    ++i;
    if (i < format.size() && format[i] == '%') continue;
    size_t start = i;
    while (i < format.size() && std::strchr("-+ #0123456789.", format[i])) ++i;
    if (i >= format.size()) return kinds + "?end";
    char c = format[i];
    std::string conversion = format.substr(start, i - start + 1);
    if (conversion.find('*') != std::string::npos) return kinds + "?" + conversion;
    if (c == 's') kinds += 's';
    else if (std::strchr("diuxXc", c)) kinds += 'n';
    else kinds += "?" + conversion;
  }
  return kinds;
}

class LogTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("GWSYNC_LIBDIR", GWSYNC_TEST_LIBDIR, 1);
    module_ = LoadLibrary("logtext.dll");
    ASSERT_NE(module_, nullptr) << platform::loaderProblem();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  std::string text(DWORD id) {
    char buffer[2048];
    DWORD n = FormatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module_, id, 0, buffer,
                            sizeof buffer, nullptr);
    return n ? std::string(buffer, n) : std::string();
  }

  HMODULE module_ = nullptr;
};

TEST(Conversions, ReadsWhatAFormatConsumes) {
  EXPECT_EQ(conversions("%s failed: %d%% (0x%x) %-10s %u"), "snnsn");
  EXPECT_EQ(conversions("id %lx"), "?l");
  EXPECT_EQ(conversions("%*d"), "?*");
  EXPECT_EQ(conversions("%p"), "?p");
}

TEST_F(LogTextTest, EveryIdHasOneLineWhoseConversionsMatchItsArguments) {
  for (const Expected& m : kMessages) {
    SCOPED_TRACE(testing::Message() << std::hex << m.id);
    std::string t = text(m.id);
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t.substr(t.size() - 2), "\r\n");
    EXPECT_EQ(t.find_first_of("\r\n"), t.size() - 2) << "more than one line";
    EXPECT_EQ(conversions(t), m.arguments) << t;
  }
}

TEST_F(LogTextTest, TableHoldsNoIdBeyondTheKnownOnes) {
  auto* table = reinterpret_cast<const MESSAGE_TABLE_ENTRY*>(GetProcAddress(module_, "gwsyncMessageTable"));
  ASSERT_NE(table, nullptr);
  size_t count = 0;
  for (; table->text; ++table, ++count) {
    bool known = false;
    for (const Expected& m : kMessages) known = known || m.id == table->id;
    EXPECT_TRUE(known) << std::hex << table->id;
  }
  EXPECT_EQ(count, std::size(kMessages));
}

TEST(LogTextInstall, StoresTheLibrarysAbsolutePathAndRemovesIt) {
  testutil::TempDir dir("logtext");
  ::setenv("GWSYNC_REGISTRY", (dir / "registry.reg").c_str(), 1);
  std::string tool = std::string(GWSYNC_TEST_BINDIR) + "/logtext-install";
  ASSERT_EQ(std::system((tool + " >/dev/null").c_str()), 0);

  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\eventlog\\application\\gwsync", 0,
                         KEY_READ, &key),
            ERROR_SUCCESS);
  char path[512];
  DWORD size = sizeof path;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueEx(key, "EventMessageFile", nullptr, &type, reinterpret_cast<LPBYTE>(path), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(fs::path(path), fs::canonical(fs::path(GWSYNC_TEST_LIBDIR) / "liblogtext.so"));

  // A file that is not a library is refused and changes nothing.
  fs::path bogus = dir / "bogus.so";
  std::ofstream(bogus) << "text";
  EXPECT_NE(std::system((tool + " " + bogus.string() + " 2>/dev/null").c_str()), 0);

  ASSERT_EQ(std::system((tool + " --uninstall >/dev/null").c_str()), 0);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\GWSync", 0,
                         KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
