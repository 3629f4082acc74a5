// Built by the test suite with nothing but the repository root on the include
// path and -lcondmgr on the link line: the public header and the library must
// be enough for a registration tool of someone else's.
#include "hotsync/condmgr/condmgr.h"

int main() {
  char title[CM_MAX_TEXT];
  int size = sizeof title;
  // A creator that cannot be one is refused before the registry is read.
  if (CmGetCreatorTitle("x", title, &size) != CM_ERR_BAD_ARGUMENT) return 1;
  return CmRestoreHotSyncSettings(0) == CM_ERR_NONE ? 0 : 1;
}
