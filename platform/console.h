// The console of the trace. A process here always has one already (its
// standard output), so AllocConsole never makes a new one: it fails with
// ERROR_ACCESS_DENIED, which tells the caller to write to standard output,
// and with ERROR_INVALID_HANDLE when standard output is closed.
#pragma once

#include "platform/wintypes.h"

PLATFORM_API BOOL AllocConsole();
