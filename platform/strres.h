// String resources: a numbered text looked up in a loaded module, as
// LoadString does with a module's string table.
//
//   char name[64];
//   if (LoadString(module, 101, name, sizeof name) == 0) { ... not found ... }
//
// A resource library carries its strings as the exported array
// "gwsyncStringTable":
//
//   GWSYNC_EXPORT_STRING_TABLE = {
//       {101, "Address Book"},
//       {0, nullptr}};
#pragma once

#include "platform/wintypes.h"

// ERROR_RESOURCE_NAME_NOT_FOUND: the table has no string of that id.
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
// ERROR_RESOURCE_TYPE_NOT_FOUND: the module has no string table at all.
#ifndef ERROR_RESOURCE_TYPE_NOT_FOUND
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#endif

// One string; a table ends with a row whose text is null.
struct STRING_TABLE_ENTRY {
  UINT id;
  const char* text;
};

#define GWSYNC_EXPORT_STRING_TABLE extern "C" GWSYNC_EXPORTED_TABLE const STRING_TABLE_ENTRY gwsyncStringTable[]

// Copies the string id of module into buffer, cut to size - 1 bytes and
// always terminated, and returns the number of bytes copied (without the
// terminator). Returns 0 and sets GetLastError() when the module or buffer
// is missing or size < 1 (ERROR_INVALID_PARAMETER), the module has no table
// (ERROR_RESOURCE_TYPE_NOT_FOUND) or no such string
// (ERROR_RESOURCE_NAME_NOT_FOUND); the buffer then holds an empty text when
// it has room for one. A cut never splits a double-byte character.
PLATFORM_API int LoadString(HINSTANCE module, UINT id, LPSTR buffer, int size);
