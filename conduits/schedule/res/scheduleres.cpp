// The schedule conduit's resource library: the texts the conduit loads by
// number (message box caption, user list prompt, record name).
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {{5, "GWSync Date Book"}, {6, "(choose a user)"}, {9, "Date Book record"}, {0, nullptr}};
