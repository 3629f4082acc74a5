// The mail conduit's resource library: the texts the conduit loads by number
// (the Mail application's receive, send and filed folders, message box
// caption, user list prompt, record name).
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {{2, "Inbox"},           {3, "Outbox"},      {4, "Filed"},        {5, "GWSync Mail"},
                              {6, "(choose a user)"}, {9, "Mail record"}, {11, "Mail record"}, {0, nullptr}};
