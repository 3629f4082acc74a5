// logtext-install: registers the message-text library as the product's event
// source, so that Log::openLog finds the message texts.
//
//   logtext-install [LIBRARY]     store LIBRARY (default: liblogtext.so of
//                                 this build) as "EventMessageFile"
//   logtext-install --uninstall   remove the event source key
//
// It writes the registry named by $GWSYNC_REGISTRY, or the user's default one.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

constexpr const char* kSourceParent = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr const char* kSourceName = "GWSync";
// Error, warning and information entries.
constexpr DWORD kTypesSupported = 7;

int fail(const char* what, LONG code) {
  const char* text = platform::systemErrorText(static_cast<DWORD>(code));
  std::fprintf(stderr, "logtext-install: %s: error %ld%s%s\n", what, static_cast<long>(code), text ? ", " : "",
               text ? text : "");
  std::string problem = platform::registryProblem();
  if (!problem.empty()) std::fprintf(stderr, "logtext-install: %s\n", problem.c_str());
  return 1;
}

int install(const std::string& library) {
  char resolved[PATH_MAX];
  if (!::realpath(library.c_str(), resolved)) {
    std::fprintf(stderr, "logtext-install: %s: no such file\n", library.c_str());
    return 1;
  }
  // Refuse a file that the log service could not use later.
  HMODULE module = LoadLibrary(resolved);
  if (!module) {
    std::fprintf(stderr, "logtext-install: %s: %s\n", resolved, platform::loaderProblem().c_str());
    return 1;
  }
  FreeLibrary(module);

  std::string keyPath = std::string(kSourceParent) + "\\" + kSourceName;
  HKEY key = nullptr;
  LONG result = RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) return fail("cannot create the event source key", result);
  result = RegSetValueEx(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(resolved),
                         static_cast<DWORD>(std::strlen(resolved) + 1));
  if (result == ERROR_SUCCESS)
    result = RegSetValueEx(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kTypesSupported),
                           sizeof kTypesSupported);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return fail("cannot store the message library", result);
  std::printf("Message texts registered: %s\n  in %s\n", resolved, platform::registryFilePath().c_str());
  return 0;
}

int uninstall() {
  HKEY parent = nullptr;
  LONG result = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSourceParent, 0, KEY_ALL_ACCESS, &parent);
  if (result == ERROR_SUCCESS) {
    result = RegDeleteKey(parent, kSourceName);
    RegCloseKey(parent);
  }
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
    return fail("cannot remove the event source key", result);
  std::printf("Message texts unregistered from %s\n", platform::registryFilePath().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
    std::fprintf(stderr, "usage: logtext-install [LIBRARY] | --uninstall\n");
    return argc > 2 ? 2 : 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--uninstall") == 0) return uninstall();
  std::string library = argc == 2 ? argv[1] : platform::callingModuleFolder() + "/../lib/liblogtext.so";
  return install(library);
}
