// Fuzz target for the registry file reader: any bytes as the registry file.
//
// The text unit must read back what it writes; through the API, every call
// must either read the file or refuse it with ERROR_BADDB, and a
// refused file must keep its exact bytes after a write was attempted. Built
// for libFuzzer with -DGWSYNC_FUZZ=ON (clang); the test suite runs the same
// function over seeded mutations (platform/tests/registry_fuzz_test.cpp).
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/regfile.h"
#include "platform/registry.h"

namespace {

// The registry file of the run: $GWSYNC_REGISTRY when given, else a file in
// a private folder under $TMPDIR (or /tmp) that is removed at exit.
std::string registryFile() {
  static const std::string path = [] {
    const char *given = std::getenv("GWSYNC_REGISTRY");
    if (given && *given) return std::string(given);
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gw-registry-fuzz-XXXXXX";
    static std::string folder;
    if (::mkdtemp(pattern.data())) folder = pattern;
    std::string own = folder + "/registry.reg";
    ::setenv("GWSYNC_REGISTRY", own.c_str(), 1);
    std::atexit([] {
      if (folder.empty()) return;
      // The registry may leave its lock and temporary files beside the file.
      if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d))
          if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            ::unlink((folder + "/" + e->d_name).c_str());
        ::closedir(d);
      }
      ::rmdir(folder.c_str());
    });
    return own;
  }();
  return path;
}

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The text unit alone: whatever it reads, it writes so that it reads back
// the same, and writes that again byte for byte.
void checkRoundTrip(const std::string &input) {
  platform::regfile::Registry first;
  if (platform::regfile::parseRegistry(input, first)) return;
  const std::string text = platform::regfile::formatRegistry(first);
  platform::regfile::Registry second;
  check(!platform::regfile::parseRegistry(text, second));
  check(platform::regfile::formatRegistry(second) == text);
}

// Walks a key: every value is read with a size query first, then whole, then
// into a buffer one byte short; every sub-key is visited to a small depth.
void walk(HKEY key, int depth) {
  char name[300];
  for (DWORD i = 0; i < 64; ++i) {
    DWORD cch = sizeof name;
    DWORD type = 0;
    DWORD size = 0;
    LONG r = RegEnumValue(key, i, name, &cch, nullptr, &type, nullptr, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) continue;
    check(cch < sizeof name && name[cch] == '\0');
    std::string data(size + 1, '\x5a');
    DWORD got = size;
    check(RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &got) == ERROR_SUCCESS);
    check(got == size && data[size] == '\x5a');
    if (size > 0) {
      DWORD shortSize = size - 1;
      check(RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &shortSize) ==
            ERROR_MORE_DATA);
      check(shortSize == size);
    }
  }
  if (depth == 0) return;
  for (DWORD i = 0; i < 64; ++i) {
    DWORD cch = sizeof name;
    LONG r = RegEnumKeyEx(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) continue;
    HKEY sub = nullptr;
    if (RegOpenKeyEx(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
      walk(sub, depth - 1);
      RegCloseKey(sub);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = registryFile();
  const std::string input(reinterpret_cast<const char *>(data), size);
  checkRoundTrip(input);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << input;

  HKEY probe = nullptr;
  LONG opened = RegOpenKeyEx(HKEY_CURRENT_USER, "", 0, KEY_READ, &probe);
  if (opened == ERROR_BADDB) {
    DWORD one = 1;
    check(RegSetValueEx(HKEY_CURRENT_USER, "Fuzz", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), sizeof one) ==
          ERROR_BADDB);
    check(readAll(path) == input);
    return 0;
  }
  if (opened == ERROR_SUCCESS) RegCloseKey(probe);
  walk(HKEY_CURRENT_USER, 3);
  walk(HKEY_LOCAL_MACHINE, 3);

  // A readable file takes a write and keeps what it held.
  const char text[] = "fuzz \"value\" \\ \x82\xa0";
  check(RegSetValueEx(HKEY_LOCAL_MACHINE, "FuzzText", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text) ==
        ERROR_SUCCESS);
  char back[sizeof text];
  DWORD backSize = sizeof back;
  check(RegQueryValueEx(HKEY_LOCAL_MACHINE, "FuzzText", nullptr, nullptr, reinterpret_cast<BYTE *>(back), &backSize) ==
        ERROR_SUCCESS);
  check(backSize == sizeof text && std::memcmp(back, text, backSize) == 0);
  return 0;
}
