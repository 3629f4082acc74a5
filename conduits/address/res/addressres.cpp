// The address conduit's resource library: the texts the conduit loads by
// number (message box caption, user list prompt, record name in messages).
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {
    {5, "GWSync Address Book"}, {6, "(choose a user)"}, {9, "Address Book record"}, {0, nullptr}};
