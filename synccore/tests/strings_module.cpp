// A resource library with a string table, loaded by the resource-text tests.
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {{101, "Address Book"},
                              {102, "\x83\x41\x83\x68\x83\x8c\x83\x58"},  // four double-byte characters
                              {0, nullptr}};
