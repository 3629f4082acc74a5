#include "platform/findfile.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace {

struct Search {
  std::vector<WIN32_FIND_DATA> found;
  size_t next = 0;
};

// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDifference = 116444736000000000ULL;

FILETIME toFileTime(const struct timespec& t) {
  uint64_t ticks =
      kEpochDifference + static_cast<uint64_t>(t.tv_sec) * 10000000ULL + static_cast<uint64_t>(t.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

bool describe(const std::string& folder, const char* name, WIN32_FIND_DATA& out) {
  struct stat st;
  if (::stat((folder + "/" + name).c_str(), &st) != 0) return false;  // vanished meanwhile
  if (std::strlen(name) >= sizeof out.cFileName) return false;
  std::memset(&out, 0, sizeof out);
  out.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  if (!(st.st_mode & S_IWUSR)) out.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
  out.ftLastWriteTime = toFileTime(st.st_mtim);
  out.ftCreationTime = out.ftLastWriteTime;
  out.ftLastAccessTime = toFileTime(st.st_atim);
  uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  out.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  out.nFileSizeLow = static_cast<DWORD>(size);
  std::strcpy(out.cFileName, name);
  return true;
}

}  // namespace

HANDLE FindFirstFile(LPCSTR pattern, LPWIN32_FIND_DATA data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path(pattern);
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string mask = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto* search = new Search;
  while (struct dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (::fnmatch(mask.c_str(), name, FNM_PERIOD) != 0) continue;
    WIN32_FIND_DATA d;
    if (describe(folder, name, d)) search->found.push_back(d);
  }
  ::closedir(dir);
  if (search->found.empty()) {
    delete search;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = search->found[0];
  search->next = 1;
  return search;
}

BOOL FindNextFile(HANDLE handle, LPWIN32_FIND_DATA data) {
  if (!handle || handle == INVALID_HANDLE_VALUE || !data) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* search = static_cast<Search*>(handle);
  if (search->next >= search->found.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = search->found[search->next++];
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete static_cast<Search*>(handle);
  return TRUE;
}
