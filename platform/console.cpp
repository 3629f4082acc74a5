#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/errors.h"

BOOL AllocConsole() {
  SetLastError(::fcntl(STDOUT_FILENO, F_GETFD) != -1 ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
  return FALSE;
}
