#include "platform/strres.h"

#include <dlfcn.h>

#include <cstring>

#include "platform/errors.h"

namespace {

bool isLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF); }

// The longest prefix of text, at most room bytes, that ends on a character
// boundary of Shift-JIS text.
size_t fittingLength(const char* text, size_t length, size_t room) {
  size_t i = 0;
  while (i < length) {
    size_t step = isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < length ? 2 : 1;
    if (i + step > room) break;
    i += step;
  }
  return i;
}

}  // namespace

int LoadString(HINSTANCE module, UINT id, LPSTR buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!module || !buffer || size < 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto* table = static_cast<const STRING_TABLE_ENTRY*>(::dlsym(module, "gwsyncStringTable"));
  if (!table) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  for (; table->text; ++table) {
    if (table->id != id) continue;
    size_t length = fittingLength(table->text, std::strlen(table->text), static_cast<size_t>(size - 1));
    std::memcpy(buffer, table->text, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
  }
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
}
