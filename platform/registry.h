// The registry stand-in: one text file in the .reg export syntax.
//
//   HKEY key;
//   if (RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Ann", 0, nullptr, 0,
//                      KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
//     DWORD on = 1;
//     RegSetValueEx(key, "Detail", 0, REG_DWORD, reinterpret_cast<BYTE*>(&on), sizeof on);
//     RegCloseKey(key);
//   }
//
// The file is $GWSYNC_REGISTRY, or $XDG_CONFIG_HOME/gwsync/registry.reg
// ($HOME/.config/... when XDG_CONFIG_HOME is unset). It holds both hives:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\GWSync]
//   "ConfigFile"="C:\\gwsync\\rs.cfg"
//   "Retries"=dword:0000000a
//
// Key and value names are compared without regard to case and keep the case
// they were created with. Every change is a read-modify-write of the whole file
// under an exclusive lock on "<file>.lock", saved atomically (temporary file,
// fsync, rename) with mode 0600, so two processes writing at once lose nothing
// and a crash leaves the old or the new file. A file that cannot be parsed is
// never rewritten: every call then fails with ERROR_BADDB and
// platform::registryProblem() says where the file is wrong.
//
// Results are Windows result codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_INVALID_HANDLE, ERROR_BADDB, ...);
// failing calls also set GetLastError() to the same code. An open HKEY is
// private to the module that opened it.
#pragma once

#include <string>

#include "platform/wintypes.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003u)))

// Access rights are accepted and not enforced: the file's mode is the guard.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x0000
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

// Opens subKey below hKey, creating it and any missing parents. *result owns
// the handle until RegCloseKey. *disposition (when given) tells whether the
// key was created. An empty or null subKey opens hKey again.
PLATFORM_API LONG RegCreateKeyEx(HKEY hKey, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM sam,
                                 LPVOID security, PHKEY result, LPDWORD disposition);

// Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
PLATFORM_API LONG RegOpenKeyEx(HKEY hKey, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result);

// Releases a handle; the predefined hive handles are accepted and ignored.
PLATFORM_API LONG RegCloseKey(HKEY hKey);

// Reads a value (null or empty name: the key's default value). With data null
// only *cbData and *type are filled. When the value is larger than *cbData the
// call fails with ERROR_MORE_DATA, sets *cbData to the size needed and leaves
// data untouched. REG_SZ sizes include the terminating NUL.
PLATFORM_API LONG RegQueryValueEx(HKEY hKey, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                  LPDWORD cbData);

// Stores a value with its type. A REG_SZ is stored up to its first NUL (one is
// added when missing); a REG_DWORD must be 4 bytes (ERROR_INVALID_PARAMETER).
PLATFORM_API LONG RegSetValueEx(HKEY hKey, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                DWORD cbData);

// Names the index-th direct sub-key (in case-insensitive name order).
// *cchName is the buffer's size in characters on entry and the name's length
// without NUL on success; ERROR_MORE_DATA when it does not fit,
// ERROR_NO_MORE_ITEMS past the last one.
PLATFORM_API LONG RegEnumKeyEx(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPSTR keyClass,
                               LPDWORD cchClass, PFILETIME lastWriteTime);

// Names the index-th value of the key (in the order they were first set) and,
// when asked, its type and data, with the size rules of RegQueryValueEx.
PLATFORM_API LONG RegEnumValue(HKEY hKey, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD reserved,
                               LPDWORD type, LPBYTE data, LPDWORD cbData);

// Removes a key that has no sub-keys (ERROR_ACCESS_DENIED when it has some).
PLATFORM_API LONG RegDeleteKey(HKEY hKey, LPCSTR subKey);

// Removes one value; ERROR_FILE_NOT_FOUND when there is none of that name.
PLATFORM_API LONG RegDeleteValue(HKEY hKey, LPCSTR valueName);

namespace platform {

// The registry file this process uses (the rules above), resolved now.
PLATFORM_API std::string registryFilePath();

// A one-line description of the last failure to read or write the registry
// file (file, line and what is wrong for a malformed file; the system's error
// for an I/O failure); empty when the last call succeeded.
PLATFORM_API std::string registryProblem();

}  // namespace platform
