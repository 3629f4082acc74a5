#include "platform/msgtable.h"

#include <dlfcn.h>

#include <cstring>

#include "platform/errors.h"

DWORD FormatMessage(DWORD flags, const void* source, DWORD messageId, DWORD /*languageId*/, LPSTR buffer, DWORD size,
                    void* /*arguments*/) {
  const DWORD supported = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (flags != supported || !source || !buffer || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto* table = static_cast<const MESSAGE_TABLE_ENTRY*>(::dlsym(const_cast<void*>(source), "gwsyncMessageTable"));
  if (!table) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  for (; table->text; ++table) {
    if (table->id != messageId) continue;
    size_t length = std::strlen(table->text);
    if (length >= size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, table->text, length + 1);
    return static_cast<DWORD>(length);
  }
  SetLastError(ERROR_MR_MID_NOT_FOUND);
  return 0;
}
