#include "platform/module.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/errors.h"

namespace {

thread_local std::string t_loaderProblem;

bool endsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// True when the file starts like an ELF object; a file that does not is the
// counterpart of a DLL that is not a valid image.
bool looksLikeLibrary(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // let dlopen report the reason
  char magic[4] = {};
  ssize_t n = ::read(fd, magic, sizeof magic);
  ::close(fd);
  return n == 4 && std::memcmp(magic,
                               "\x7f"
                               "ELF",
                               4) == 0;
}

HMODULE openFile(const std::string& path) {
  if (!looksLikeLibrary(path)) {
    t_loaderProblem = path + ": not a shared library";
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    t_loaderProblem = why ? why : path + ": cannot be loaded";
    // A library that is present but needs one that is missing reports the
    // same code as a missing library, as the system loader does.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  t_loaderProblem.clear();
  return static_cast<HMODULE>(handle);
}

std::vector<std::string> searchFolders() {
  std::vector<std::string> folders;
  std::string own = platform::callingModuleFolder();
  if (!own.empty()) folders.push_back(own);
  if (const char* env = std::getenv("GWSYNC_LIBDIR")) {
    std::string list = env;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) folders.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  return folders;
}

}  // namespace

namespace platform {

std::string sharedLibraryFileName(const std::string& name) {
  std::string base = name;
  std::transform(base.begin(), base.end(), base.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (endsWith(base, ".so")) return base;
  if (endsWith(base, ".dll")) base.resize(base.size() - 4);
  return "lib" + base + ".so";
}

std::string callingModuleFolder() {
  // This function is compiled into each module that links the platform
  // library, so its own address names the calling module.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&callingModuleFolder), &info) == 0 || !info.dli_fname) return {};
  std::string file = info.dli_fname;
  char resolved[PATH_MAX];
  if (file.find('/') == std::string::npos) {
    // The main program reports no usable path of its own.
    ssize_t n = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (n <= 0) return {};
    resolved[n] = '\0';
  } else if (!::realpath(file.c_str(), resolved)) {
    return {};
  }
  std::string path = resolved;
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string loaderProblem() { return t_loaderProblem; }

}  // namespace platform

HMODULE LoadLibrary(LPCSTR name) {
  if (!name || !*name) {
    t_loaderProblem = "empty library name";
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::string given = name;
  if (given.find('/') != std::string::npos) {
    if (!fileExists(given)) {
      t_loaderProblem = given + ": no such file";
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return openFile(given);
  }
  std::string file = platform::sharedLibraryFileName(given);
  for (const std::string& folder : searchFolders()) {
    std::string candidate = folder + "/" + file;
    if (fileExists(candidate)) return openFile(candidate);
  }
  // Last, the usual library path (LD_LIBRARY_PATH, the system folders).
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle) {
    t_loaderProblem.clear();
    return static_cast<HMODULE>(handle);
  }
  t_loaderProblem = file + ": not found beside the calling module, in $GWSYNC_LIBDIR or on the library path";
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR nameOrOrdinal) {
  if (!module || !nameOrOrdinal) {
    SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const char* symbol = nameOrOrdinal;
  if (IS_INTRESOURCE(nameOrOrdinal)) {
    auto ordinal = static_cast<WORD>(reinterpret_cast<uintptr_t>(nameOrOrdinal));
    auto* table = static_cast<const ORDINAL_ENTRY*>(::dlsym(module, "gwsyncOrdinals"));
    symbol = nullptr;
    for (; table && table->name; ++table) {
      if (table->ordinal == ordinal) {
        symbol = table->name;
        break;
      }
    }
    if (!symbol) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
  }
  void* address = ::dlsym(module, symbol);
  if (!address) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module) {
  if (!module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ::dlclose(module) == 0 ? TRUE : FALSE;
}
