// The memo conduit's resource library: the texts the conduit loads by
// number (its category, message box caption, user list prompt, record name,
// the category's name in the message of a full category list).
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {{1, "GWSync"},          {5, "GWSync Memo Pad"}, {6, "(choose a user)"},
                              {9, "Memo Pad record"}, {10, "GWSync"},         {0, nullptr}};
