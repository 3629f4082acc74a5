// A Conduit Manager library that lacks most of its functions: syncreg must
// refuse to work with it and change nothing.
#include "hotsync/condmgr/condmgr.h"

CM_API int CmGetHotSyncExecPath(char*, int*) { return CM_ERR_NOT_FOUND; }

CM_API int CmGetCreatorTitle(const char*, char*, int*) { return CM_ERR_NOT_FOUND; }
