// Message tables: the text of a numbered message, looked up in a loaded
// module, as FormatMessage does with FORMAT_MESSAGE_FROM_HMODULE.
//
//   char text[2048];
//   if (FormatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
//                     module, 0xc0000022, 0, text, sizeof text, nullptr) == 0) { ... }
//
// A module carries its table as the exported array "gwsyncMessageTable":
//
//   GWSYNC_EXPORT_MESSAGE_TABLE = {
//       {0x40000016, "Synchronisation of %s finished.\r\n"},
//       {0, nullptr}};
#pragma once

#include "platform/wintypes.h"

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800

// ERROR_RESOURCE_TYPE_NOT_FOUND: the module has no message table at all.
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L

// One message; a table ends with a row whose text is null.
struct MESSAGE_TABLE_ENTRY {
  DWORD id;
  const char* text;
};

#define GWSYNC_EXPORT_MESSAGE_TABLE extern "C" GWSYNC_EXPORTED_TABLE const MESSAGE_TABLE_ENTRY gwsyncMessageTable[]

// Copies the text of messageId from module into buffer (size bytes, with its
// terminating NUL) and returns its length. Only FORMAT_MESSAGE_FROM_HMODULE
// with FORMAT_MESSAGE_IGNORE_INSERTS is supported: the text comes back as it is
// stored. languageId is accepted and not used. Returns 0 with GetLastError() =
// ERROR_MR_MID_NOT_FOUND when the table has no such id,
// ERROR_RESOURCE_TYPE_NOT_FOUND when the module has no table,
// ERROR_INSUFFICIENT_BUFFER when the text does not fit (buffer untouched), or
// ERROR_INVALID_PARAMETER for other flags or a null buffer.
PLATFORM_API DWORD FormatMessage(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer,
                                 DWORD size, void* arguments);
