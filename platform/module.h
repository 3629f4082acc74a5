// Module loading: LoadLibrary, GetProcAddress and FreeLibrary over dlopen.
//
//   HMODULE h = LoadLibrary("condlog.dll");        // libcondlog.so
//   if (!h) return GetLastError();                  // 126: not found
//   auto fn = reinterpret_cast<void (*)()>(GetProcAddress(h, "closeLog"));
//
// A plain name "X.dll" (or "X") stands for the shared library "libx.so", name
// lower-cased. It is looked for in the folder of the module that calls
// LoadLibrary, then in each folder of $GWSYNC_LIBDIR (colon-separated), then
// on the usual library path. A name containing "/" is opened as given (the
// registry stores absolute paths).
//
// Imports by ordinal: GetProcAddress(h, MAKEINTRESOURCE(52)) looks the ordinal
// up in the table that the library exports as "gwsyncOrdinals" (see
// GWSYNC_EXPORT_ORDINALS) and then finds the symbol by its name.
#pragma once

#include <string>

#include "platform/wintypes.h"

#define MAKEINTRESOURCE(i) (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<uintptr_t>(p) >> 16) == 0)

// One row of a library's ordinal table; the table ends with a null name.
struct ORDINAL_ENTRY {
  WORD ordinal;
  const char* name;
};

// Defines a library's ordinal table: GWSYNC_EXPORT_ORDINALS = {{52, "LogAddEntry"}, {0, nullptr}};
#define GWSYNC_EXPORT_ORDINALS extern "C" GWSYNC_EXPORTED_TABLE const ORDINAL_ENTRY gwsyncOrdinals[]

// Loads a library. Returns its handle, or null with GetLastError() set to
// ERROR_MOD_NOT_FOUND (126: the file or a library it needs is missing) or
// ERROR_BAD_EXE_FORMAT (193: the file is not a library). Each successful call
// must be paired with FreeLibrary.
PLATFORM_API HMODULE LoadLibrary(LPCSTR name);

// Finds an entry point by name or by ordinal (MAKEINTRESOURCE). Null with
// GetLastError() = ERROR_PROC_NOT_FOUND (127) when the library has none.
PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR nameOrOrdinal);

// Releases a handle from LoadLibrary; FALSE for a null handle.
PLATFORM_API BOOL FreeLibrary(HMODULE module);

namespace platform {

// The file name LoadLibrary looks for: "condlog.dll" gives "libcondlog.so".
PLATFORM_API std::string sharedLibraryFileName(const std::string& name);

// The folder of the module this copy of the platform library is linked into,
// without a trailing "/"; empty when it cannot be told.
PLATFORM_API std::string callingModuleFolder();

// The loader's own words for the last failed LoadLibrary (for traces and
// error reports); empty after a successful one.
PLATFORM_API std::string loaderProblem();

}  // namespace platform
