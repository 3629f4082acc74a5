#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/gwsync-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    file_ = dir_ + "/registry.reg";
    setenv("GWSYNC_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  HKEY create(HKEY parent, const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS)
        << path;
    return key;
  }
  LONG open(HKEY parent, const char* path, HKEY* key) { return RegOpenKeyEx(parent, path, 0, KEY_READ, key); }
  LONG setBytes(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return RegSetValueEx(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                         static_cast<DWORD>(bytes.size()));
  }
  LONG setDword(HKEY key, const char* name, DWORD n) {
    return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n);
  }
  // The value's exact bytes and type, read with a size query first.
  std::string query(HKEY key, const char* name, DWORD* type = nullptr) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueEx(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS) << name;
    std::string data(size, '\0');
    EXPECT_EQ(RegQueryValueEx(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size), ERROR_SUCCESS);
    return data;
  }
  std::string fileText() const {
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void writeFile(const std::string& text) const { std::ofstream(file_, std::ios::binary) << text; }

  std::string dir_;
  std::string file_;
};

TEST_F(RegistryTest, WritesStableRegeditText) {
  HKEY gw = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\GWSync");
  EXPECT_EQ(setBytes(gw, "ConfigFile", REG_SZ, "C:\\gwsync\\rs.cfg"), ERROR_SUCCESS);
  EXPECT_EQ(setDword(gw, "Retries", 10), ERROR_SUCCESS);
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Empty"));
  HKEY ann = create(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Ann");
  EXPECT_EQ(setBytes(ann, nullptr, REG_SZ, "Ann \"A\""), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(ann, "Blob", REG_BINARY, std::string("\x00\xff\x10", 3)), ERROR_SUCCESS);

  // Keys sorted by path, hives by name; keys on the way to another are implied.
  EXPECT_EQ(fileText(),
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\GWSync\\Palm\\Ann]\n"
            "@=\"Ann \\\"A\\\"\"\n"
            "\"Blob\"=hex:00,ff,10\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\GWSync]\n"
            "\"ConfigFile\"=\"C:\\\\gwsync\\\\rs.cfg\"\n"
            "\"Retries\"=dword:0000000a\n");
  RegCloseKey(gw);
  RegCloseKey(ann);
}

TEST_F(RegistryTest, ValuesReadBackWithTheirTypeAndBytes) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\GWSync");
  const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea \x95\x5c";  // ends in a 0x5C trail byte
  EXPECT_EQ(setBytes(key, "Japanese", REG_SZ, sjis), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Quoted", REG_SZ, "say \"hi\" \\\\srv\\"), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Lines", REG_SZ, "a\r\nb"), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Cut", REG_SZ, std::string("ab\0cd", 5)), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Empty", REG_SZ, ""), ERROR_SUCCESS);
  EXPECT_EQ(setDword(key, "Number", 0xdeadbeef), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Expand", REG_EXPAND_SZ, std::string("%HOME%\0", 7)), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Multi", 7, std::string("a\0b\0\0", 5)), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "Short", REG_DWORD, "abc"), ERROR_INVALID_PARAMETER);
  EXPECT_NE(fileText().find("\"Lines\"=hex(1):61,0d,0a,62,00\n"), std::string::npos);
  EXPECT_NE(fileText().find("\"Number\"=dword:deadbeef\n"), std::string::npos);
  RegCloseKey(key);

  // A fresh handle reads everything back from the file.
  key = create(HKEY_CURRENT_USER, "Software\\GWSync");
  DWORD type = 0;
  EXPECT_EQ(query(key, "Japanese", &type), sjis + '\0');
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(query(key, "Quoted"), std::string("say \"hi\" \\\\srv\\") + '\0');
  EXPECT_EQ(query(key, "Lines", &type), std::string("a\r\nb", 5));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(query(key, "Cut"), std::string("ab", 3));
  EXPECT_EQ(query(key, "Empty"), std::string(1, '\0'));
  EXPECT_EQ(query(key, "Number", &type), "\xef\xbe\xad\xde");
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(query(key, "Expand", &type), std::string("%HOME%\0", 7));
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(query(key, "Multi", &type), std::string("a\0b\0\0", 5));
  EXPECT_EQ(type, 7u);
  // A text where a number is expected keeps its type, so the caller sees it.
  EXPECT_EQ(setBytes(key, "Retries", REG_SZ, "10"), ERROR_SUCCESS);
  DWORD n = 0, size = sizeof n;
  EXPECT_EQ(RegQueryValueEx(key, "Retries", nullptr, &type, reinterpret_cast<BYTE*>(&n), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  RegCloseKey(key);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  RegCloseKey(create(HKEY_CURRENT_USER, "Software\\GWSync"));
  DWORD disposition = 0;
  HKEY key = create(HKEY_CURRENT_USER, "SOFTWARE\\gwsync\\", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(setBytes(key, "Server", REG_SZ, "a"), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "SERVER", REG_SZ, "b"), ERROR_SUCCESS);
  EXPECT_EQ(query(key, "server"), std::string("b", 2));
  HKEY child = create(key, "Palm", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(fileText(),
            "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\GWSync]\n\"Server\"=\"b\"\n"
            "\n[HKEY_CURRENT_USER\\Software\\GWSync\\Palm]\n");
  // Only ASCII letters fold: these differ in a Shift-JIS trail byte.
  RegCloseKey(create(child, "\x83\x41"));
  HKEY other = nullptr;
  EXPECT_EQ(open(child, "\x83\x61", &other), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(open(child, "\x83\x41Z", &other), ERROR_FILE_NOT_FOUND);
  RegCloseKey(create(child, "\x83\x41z"));
  EXPECT_EQ(open(child, "\x83\x41Z", &other), ERROR_SUCCESS);  // after the pair, letters fold
  RegCloseKey(other);
  RegCloseKey(child);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DefaultPathFollowsXdgConfigHome) {
  unsetenv("GWSYNC_REGISTRY");
  const std::string xdg = dir_ + "/config";
  setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
  EXPECT_EQ(platform::registryFilePath(), xdg + "/gwsync/registry.reg");
  HKEY key = create(HKEY_CURRENT_USER, "Software\\GWSync");
  EXPECT_EQ(setDword(key, "On", 1), ERROR_SUCCESS);
  RegCloseKey(key);
  struct stat st {};
  ASSERT_EQ(stat((xdg + "/gwsync").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::exists(xdg + "/gwsync/registry.reg"));

  setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // not absolute: ignored
  setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(platform::registryFilePath(), dir_ + "/.config/gwsync/registry.reg");
}

TEST_F(RegistryTest, SmallBufferFailsWithMoreDataAndStaysUntouched) {
  HKEY key = create(HKEY_CURRENT_USER, "Software");
  EXPECT_EQ(setBytes(key, "Name", REG_SZ, "hello"), ERROR_SUCCESS);
  BYTE buffer[8];
  std::memset(buffer, 0xab, sizeof buffer);
  DWORD type = 0, size = 5;
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);
  for (BYTE b : buffer) EXPECT_EQ(b, 0xab);
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "hello");
  EXPECT_EQ(buffer[6], 0xab);
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueEx(key, "Missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, EnumeratesSubKeysByNameAndValuesInSetOrder) {
  HKEY key = create(HKEY_CURRENT_USER, "Software");
  for (const char* name : {"beta", "Alpha\\Deep", "gamma"}) RegCloseKey(create(key, name));
  char name[16];
  DWORD cch = 0;
  const std::vector<std::string> keys = {"Alpha", "beta", "gamma"};  // not Deep: too far down
  for (DWORD i = 0; i <= keys.size(); ++i) {
    cch = sizeof name;
    const LONG rc = RegEnumKeyEx(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (i == keys.size()) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
    } else {
      EXPECT_EQ(rc, ERROR_SUCCESS);
      EXPECT_EQ(name, keys[i]);
      EXPECT_EQ(cch, keys[i].size());
    }
  }
  std::strcpy(name, "guard");
  cch = 5;  // "Alpha" needs 6 with its NUL
  EXPECT_EQ(RegEnumKeyEx(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_STREQ(name, "guard");

  EXPECT_EQ(setBytes(key, "Zeta", REG_SZ, "z"), ERROR_SUCCESS);
  EXPECT_EQ(setDword(key, "alpha", 1), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, nullptr, REG_SZ, "default"), ERROR_SUCCESS);
  EXPECT_EQ(setBytes(key, "ZETA", REG_SZ, "again"), ERROR_SUCCESS);  // keeps its place
  const std::vector<std::pair<std::string, DWORD>> expected = {{"Zeta", REG_SZ}, {"alpha", REG_DWORD}, {"", REG_SZ}};
  for (DWORD i = 0; i < expected.size(); ++i) {
    DWORD type = 0;
    cch = sizeof name;
    EXPECT_EQ(RegEnumValue(key, i, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(name, expected[i].first);
    EXPECT_EQ(type, expected[i].second);
  }
  cch = sizeof name;
  EXPECT_EQ(RegEnumValue(key, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  cch = 4;
  EXPECT_EQ(RegEnumValue(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  BYTE data[2];
  DWORD size = sizeof data;
  cch = sizeof name;
  EXPECT_EQ(RegEnumValue(key, 0, name, &cch, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);  // "again" and its NUL
  EXPECT_STREQ(name, "Zeta");
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeletesValuesAndLeafKeys) {
  HKEY key = create(HKEY_CURRENT_USER, "Software\\GWSync");
  RegCloseKey(create(key, "Palm\\Ann"));
  EXPECT_EQ(setDword(key, "On", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key, "ON"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key, "On"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(key, "Palm"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKey(key, "palm\\ann"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(key, "Palm\\Ann"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);

  HKEY palm = create(key, "Palm");
  EXPECT_EQ(RegDeleteKey(palm, ""), ERROR_SUCCESS);
  EXPECT_EQ(setDword(palm, "On", 1), ERROR_KEY_DELETED);
  // Another process removing the key behind an open handle.
  writeFile("REGEDIT4\n");
  EXPECT_EQ(RegQueryValueEx(key, "On", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(palm), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, RefusesBadHandlesAndPaths) {
  HKEY key = create(HKEY_CURRENT_USER, "Software");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  int notAKey = 0;
  for (HKEY bad : {key, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(&notAKey)}) {
    SetLastError(0);
    EXPECT_EQ(setDword(bad, "On", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(setDword(HKEY_LOCAL_MACHINE, "Root", 1), ERROR_SUCCESS);  // still usable
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\\\X", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Nowhere", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, AShiftJisNameWhoseSecondByteIsABackslashIsOneKey) {
  // "ソ" is 83 5C: a key of that name, and one ending in it.
  HKEY key = create(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\\x83\x5c\\");
  EXPECT_EQ(setDword(key, "On", 1), ERROR_SUCCESS);
  RegCloseKey(key);
  key = create(HKEY_CURRENT_USER, "Software\\GWSync\\Palm");
  char name[16];
  DWORD length = sizeof name;
  ASSERT_EQ(RegEnumKeyEx(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, length), "\x83\x5c");
  length = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  // Read back from the file, the section line names the same single key.
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\\x83\x5c", 0, KEY_READ, &again), ERROR_SUCCESS);
  RegCloseKey(again);
}

TEST_F(RegistryTest, ReadsHandWrittenFiles) {
  writeFile("");  // never written: empty
  HKEY key = nullptr;
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software", &key), ERROR_FILE_NOT_FOUND);
  writeFile(
      "REGEDIT4\r\n\r\n; set up by hand\r\n[HKCU\\Software\\A\\B]\r\n"
      "\"Bin\"=hex:01,\\\r\n  02\r\n\"N\"=dword:A\r\n\"S\"=hex(1):78,00\r\n");
  ASSERT_EQ(open(HKEY_CURRENT_USER, "software\\a", &key), ERROR_SUCCESS);  // implied by A\B
  HKEY b = create(key, "B");
  DWORD type = 0;
  EXPECT_EQ(query(b, "Bin"), "\x01\x02");
  EXPECT_EQ(query(b, "N"), std::string("\x0a\0\0\0", 4));
  EXPECT_EQ(query(b, "S", &type), std::string("x", 2));
  EXPECT_EQ(type, REG_SZ);
  RegCloseKey(b);
  RegCloseKey(key);
}

struct Malformed {
  const char* name;
  std::string_view text;
  int line;
  const char* what;
};

// Names the case in test listings (instead of a dump of its bytes).
void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }

class MalformedRegistryTest : public RegistryTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedRegistryTest, FailsWithBadDbAndKeepsTheFile) {
  const std::string text(GetParam().text);
  writeFile(text);
  HKEY key = nullptr;
  EXPECT_EQ(open(HKEY_CURRENT_USER, "Software", &key), ERROR_BADDB);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
  EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_BADDB);
  EXPECT_EQ(setDword(HKEY_CURRENT_USER, "On", 1), ERROR_BADDB);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "Software"), ERROR_BADDB);
  const std::string where = file_ + ":" + std::to_string(GetParam().line) + ": ";
  EXPECT_EQ(platform::registryProblem().rfind(where, 0), 0u) << platform::registryProblem();
  EXPECT_NE(platform::registryProblem().find(GetParam().what), std::string::npos) << platform::registryProblem();
  EXPECT_EQ(fileText(), text);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MalformedRegistryTest,
    ::testing::Values(
        Malformed{"BadHeader", "REGEDIT5\n\n[HKEY_CURRENT_USER\\A]\n", 1, "REGEDIT4"},
        Malformed{"UnterminatedSection", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\n", 3, "unterminated"},
        Malformed{"UnknownHive", "REGEDIT4\n\n[HKEY_NOWHERE\\A]\n", 3, "HKEY_NOWHERE"},
        Malformed{"EmptyKeyName", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\\\\B]\n", 3, "empty key"},
        Malformed{"ValueBeforeSection", "REGEDIT4\n\n\"a\"=\"b\"\n", 3, "before any [key]"},
        Malformed{"NulInValueName", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"x\0y\"=dword:00000001\n"sv, 4, "value name"},
        Malformed{"ControlInKeyName", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\tB]\n", 3, "key name"},
        Malformed{"BadEscape", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\\q\"\n", 4, "escape"},
        Malformed{"UnterminatedText", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\n", 4, "unterminated"},
        Malformed{"BadDwordDigit", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=dword:0000000g\n", 4, "dword"},
        Malformed{"BadHexByte", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,2g\n", 4, "hex"},
        Malformed{"JunkLine", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"a\"=\"b\"\r\njunk\r\n", 5, "not a [key]"}),
    [](const auto& info) { return std::string(info.param.name); });

// The library prints nothing: the problem is the caller's to tell, with the
// error it answered.
TEST_F(RegistryTest, KeepsTheProblemForTheCallerAndPrintsNothing) {
  writeFile("REGEDIT4\n\njunk\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(setDword(HKEY_CURRENT_USER, "On", 1), ERROR_BADDB);
  EXPECT_EQ(platform::registryProblem(), file_ + ":3: not a [key] section, value or comment");
  EXPECT_EQ(setDword(HKEY_CURRENT_USER, "On", 1), ERROR_BADDB);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  writeFile("REGEDIT4\n");
  EXPECT_EQ(setDword(HKEY_CURRENT_USER, "On", 1), ERROR_SUCCESS);
  EXPECT_EQ(platform::registryProblem(), "");
}

TEST_F(RegistryTest, FileIsPrivateWhateverTheUmask) {
  writeFile("REGEDIT4\n");
  chmod(file_.c_str(), 0644);
  const mode_t old = umask(0);
  EXPECT_EQ(setDword(HKEY_CURRENT_USER, "On", 1), ERROR_SUCCESS);
  umask(old);
  for (const std::string& path : {file_, file_ + ".lock"}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  }
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kValues = 200;
  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      HKEY key = nullptr;
      RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\GWSync", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      for (int i = 0; i < kValues; ++i) {
        const std::string name = "p" + std::to_string(child) + "_" + std::to_string(i);
        if (setDword(key, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY key = create(HKEY_CURRENT_USER, "Software\\GWSync");
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < kValues; ++i) {
      const std::string name = "p" + std::to_string(child) + "_" + std::to_string(i);
      DWORD n = 0, size = sizeof n;
      ASSERT_EQ(RegQueryValueEx(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &size), ERROR_SUCCESS)
          << name;
      EXPECT_EQ(n, static_cast<DWORD>(i));
    }
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, FailedWriteLeavesTheOldFile) {
  HKEY key = create(HKEY_CURRENT_USER, "Software");
  EXPECT_EQ(setDword(key, "Old", 1), ERROR_SUCCESS);
  const std::string before = fileText();

  // The file size limit stops the save halfway through the temporary file.
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  const LONG rc = setBytes(key, "Big", REG_BINARY, std::string(8192, 'x'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_NE(rc, ERROR_SUCCESS);
  EXPECT_NE(platform::registryProblem(), "");
  EXPECT_EQ(fileText(), before);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
  RegCloseKey(key);

  // A folder in the path that is a regular file.
  setenv("GWSYNC_REGISTRY", (file_ + "/registry.reg").c_str(), 1);
  EXPECT_EQ(setDword(HKEY_CURRENT_USER, "New", 1), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(fileText(), before);
}

}  // namespace
