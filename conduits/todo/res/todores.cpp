// The to-do conduit's resource library: the texts the conduit loads by
// number (message box caption, user list prompt, record name).
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {{5, "GWSync To Do List"}, {6, "(choose a user)"}, {9, "To Do List record"}, {0, nullptr}};
