// Names of the five conduits as HotSync Manager lists them (1 to 5) and as
// each run is called (6 to 10), by conduit kind: schedule, to-do, address,
// memo, mail.
#include "platform/strres.h"

GWSYNC_EXPORT_STRING_TABLE = {{1, "GWSync Date Book"},
                              {2, "GWSync To Do List"},
                              {3, "GWSync Address Book"},
                              {4, "GWSync Memo Pad"},
                              {5, "GWSync Mail"},
                              {6, "Date Book"},
                              {7, "To Do List"},
                              {8, "Address Book"},
                              {9, "Memo Pad"},
                              {10, "Mail"},
                              {0, nullptr}};
