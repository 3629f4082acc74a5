// The HotSync log: what a HotSync run reports to the user at its end.
//
//   LogAddEntry("Address Book: synchronisation finished.", -1, 0);
//
// Each entry is appended as one line "<activity><TAB><text><LF>" to the file
// named by $GWSYNC_HSLOG (the hotsync program sets it for a run), or written to
// standard error when that is unset. Also reachable by ordinal 52.
#pragma once

#include "platform/wintypes.h"

#define HSLOG_API extern "C" __attribute__((visibility("default")))

// Activity codes the system passes; any 32-bit value is written as given.
constexpr LONG kHsLogActivityNone = -1;
constexpr LONG kHsLogActivityError = 13;
constexpr LONG kHsLogActivityWarning = 22;

// Appends one entry. text is a terminated single line (null is taken as
// empty). timeStamp is accepted and not used. Returns 0, or the Windows code
// of the failure when the entry could not be written.
HSLOG_API LONG LogAddEntry(LPCSTR text, LONG activity, BOOL timeStamp);
