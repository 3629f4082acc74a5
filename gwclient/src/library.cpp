// libgwclient.so is gwclient_core taken whole; this file only gives the
// shared library a source of its own.
#include "gwclient/gwclient.h"
