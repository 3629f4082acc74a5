// Directory search, as FindFirstFile / FindNextFile / FindClose do it.
//
//   WIN32_FIND_DATA found;
//   HANDLE h = FindFirstFile("/home/ann/gw/trace-address*", &found);
//   if (h != INVALID_HANDLE_VALUE) {
//     do { ... found.cFileName, fileSize(found), found.ftLastWriteTime ... }
//     while (FindNextFile(h, &found));
//     FindClose(h);
//   }
//
// The pattern is a folder path and a last part that may hold the wildcards
// '*' and '?'; a pattern without '/' searches the current folder. Names are
// compared byte for byte (as stored on this file system). "." and ".." are
// never reported. The entries are read when the search starts.
#pragma once

#include <cstdint>

#include "platform/wintypes.h"

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define MAX_PATH 260

typedef struct _WIN32_FIND_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;  // the same as the last write: not kept here
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;  // 100 ns units since 1601-01-01 UTC
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  char cFileName[MAX_PATH];  // name only, no folder
} WIN32_FIND_DATA, *LPWIN32_FIND_DATA;

// Starts a search and fills *data with the first match. Returns a handle to
// pass to FindNextFile and FindClose, or INVALID_HANDLE_VALUE with
// GetLastError() = ERROR_FILE_NOT_FOUND (no match), ERROR_PATH_NOT_FOUND (the
// folder cannot be read) or ERROR_INVALID_PARAMETER (null arguments).
PLATFORM_API HANDLE FindFirstFile(LPCSTR pattern, LPWIN32_FIND_DATA data);
// The next match; FALSE with ERROR_NO_MORE_FILES after the last one.
PLATFORM_API BOOL FindNextFile(HANDLE search, LPWIN32_FIND_DATA data);
// Ends a search; FALSE for an invalid handle.
PLATFORM_API BOOL FindClose(HANDLE search);

#define ERROR_NO_MORE_FILES 18L

namespace platform {
// The 64-bit size and write time of a found entry.
inline uint64_t fileSize(const WIN32_FIND_DATA& d) {
  return (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}
inline uint64_t fileTimeValue(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
}  // namespace platform
