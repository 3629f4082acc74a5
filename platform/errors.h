// The Windows-style last error of the stand-ins and the texts of its codes.
//
//   if (!h) { DWORD err = GetLastError(); ... systemErrorText(err) ... }
//
// Each module that links the platform library keeps its own last error (the
// stand-in is compiled into each module); it is per thread, as on Windows.
#pragma once

#include "platform/wintypes.h"

PLATFORM_API DWORD GetLastError();
PLATFORM_API void SetLastError(DWORD code);

namespace platform {

// Maps an errno value to the Windows code that the same failure has there
// (ENOENT to ERROR_FILE_NOT_FOUND, ENOSPC to ERROR_DISK_FULL, ...); a value
// without a counterpart maps to ERROR_GEN_FAILURE.
PLATFORM_API DWORD winErrorFromErrno(int err);

// The system's text for a code that the stand-ins produce, without a line
// break; null for any other code (the caller then uses its own fallback).
// The text is static.
PLATFORM_API const char* systemErrorText(DWORD code);

}  // namespace platform
