// The Conduit Manager (libcondmgr.so, loaded as "condmgr.dll"): where conduits
// are registered with HotSync Manager, and where the hotsync program reads the
// registrations back.
//
//   CmInstallCreator("addr", CM_CREATOR_TYPE_CONDUIT);
//   CmSetCreatorModule("addr", "addressconduit.dll");
//   CmSetCreatorRemote("addr", "AddressDB");
//   char title[CM_MAX_TEXT];
//   int size = sizeof title;
//   if (CmGetCreatorTitle("addr", title, &size) == CM_ERR_NOT_FOUND) ...
//
// A creator is passed as its 4-character text ("addr"); creators differ by
// case, as on the handheld. Registrations live in the registry stand-in
// (platform/registry.h), one key per creator under
// HKEY_CURRENT_USER\Software\GWSync\HotSync\Conduits, named by the creator's
// four bytes in hexadecimal ("61646472" for "addr"), since registry key names
// ignore case and creators do not. Each key holds the values "Creator",
// "Type", "Priority", "Name", "Module", "Directory", "Remote", "Title",
// "Info", "File" and "Argument"; a key whose name is not such a creator is
// not a registration and is passed over. Every call reads or writes the
// registry file afresh, so another process sees a change as soon as the call
// returns.
//
// Texts are byte strings of at most CM_MAX_TEXT - 1 bytes. Getters take the
// buffer and a pointer to its size in bytes; on success *size becomes the
// length written including the NUL. Single-threaded, as HotSync Manager.
#pragma once

#include "platform/wintypes.h"

#define CM_API extern "C" __attribute__((visibility("default")))

// Results. Numbers never change.
#define CM_ERR_NONE 0
// No registration for the creator (or no hotsync program).
#define CM_ERR_NOT_FOUND (-1)
// A null pointer, a creator that is not 4 printable characters, a text too
// long, a number out of range.
#define CM_ERR_BAD_ARGUMENT (-2)
// *size is set to the size needed; the buffer holds an empty text.
#define CM_ERR_BUFFER_TOO_SMALL (-3)
// The registry file cannot be read, parsed or written (CmGetLastProblem tells why).
#define CM_ERR_REGISTRY (-4)
// CmInstallCreator: the creator is registered already; nothing changed.
#define CM_ERR_ALREADY_INSTALLED (-5)

// The only registration type: a conduit that HotSync Manager runs.
#define CM_CREATOR_TYPE_CONDUIT 1

// Priorities run from CM_PRIORITY_FIRST to CM_PRIORITY_LAST; a new
// registration gets CM_PRIORITY_DEFAULT.
#define CM_PRIORITY_FIRST 0
#define CM_PRIORITY_LAST 4
#define CM_PRIORITY_DEFAULT 2

// Longest text a registration holds, NUL included.
#define CM_MAX_TEXT 1024

// A whole registration, for CmGetConduitByCreator and CmInstallConduit.
struct CmConduitType {
  DWORD dwVersion;  // CM_CONDUIT_VERSION
  DWORD dwSize;     // sizeof(CmConduitType)
  char szCreator[5];
  int iType;
  int iPriority;
  char szName[CM_MAX_TEXT];
  char szModule[CM_MAX_TEXT];
  char szDirectory[CM_MAX_TEXT];
  char szRemote[CM_MAX_TEXT];
  char szTitle[CM_MAX_TEXT];
  char szInfo[CM_MAX_TEXT];
  char szFile[CM_MAX_TEXT];
  char szArgument[CM_MAX_TEXT];
};
#define CM_CONDUIT_VERSION 1

// ---- HotSync Manager ----

// Fills path with the hotsync program that goes with this library
// (../bin/hotsync from the library's folder). CM_ERR_NOT_FOUND when it is not there.
CM_API int CmGetHotSyncExecPath(char* path, int* size);

// Registrations are read afresh at every HotSync run, so there is nothing to
// reload: accepts any argument and returns CM_ERR_NONE.
CM_API int CmRestoreHotSyncSettings(int reserved);

// The words of the last failure of this library (which file, what is wrong);
// empty after a success. Static storage, replaced by the next call.
CM_API const char* CmGetLastProblem();

// ---- Registering ----

// Creates the registration of a creator with this type (CM_CREATOR_TYPE_CONDUIT)
// and the default priority; its texts are empty until set.
CM_API int CmInstallCreator(const char* creator, int type);

// Removes the creator's registration and everything in it.
CM_API int CmRemoveConduitByCreatorID(const char* creator);

// Each setter changes one value of an existing registration
// (CM_ERR_NOT_FOUND when the creator is not registered). Module is the
// library's file name ("addressconduit.dll") or an absolute path; Directory
// the conduit's folder below the user's; Remote the handheld database it
// syncs; Title what the user sees; File the conduit's local file name.
CM_API int CmSetCreatorPriority(const char* creator, int priority);
CM_API int CmSetCreatorName(const char* creator, const char* name);
CM_API int CmSetCreatorModule(const char* creator, const char* module);
CM_API int CmSetCreatorDirectory(const char* creator, const char* directory);
CM_API int CmSetCreatorRemote(const char* creator, const char* database);
CM_API int CmSetCreatorTitle(const char* creator, const char* title);
CM_API int CmSetCreatorInfo(const char* creator, const char* info);
CM_API int CmSetCreatorFile(const char* creator, const char* file);
CM_API int CmSetCreatorArgument(const char* creator, const char* argument);

// Writes a whole registration (dwVersion and dwSize must match this header),
// creating or replacing the one of conduit->szCreator.
CM_API int CmInstallConduit(const CmConduitType* conduit);

// ---- Reading back ----

// The number of registrations (>= 0), or a negative CM_ERR_ code.
CM_API int CmGetConduitCount();

// The creator of the index-th registration in run order (priority, lowest
// first; equal priorities by creator, byte by byte) into creator[5].
// CM_ERR_NOT_FOUND past the last one.
CM_API int CmGetCreatorByIndex(int index, char* creator);

// Fills *conduit with the creator's whole registration (dwVersion and dwSize
// must be set by the caller).
CM_API int CmGetConduitByCreator(const char* creator, CmConduitType* conduit);

CM_API int CmGetCreatorType(const char* creator, int* type);
CM_API int CmGetCreatorPriority(const char* creator, int* priority);

// Text getters, with the buffer rules above.
CM_API int CmGetCreatorName(const char* creator, char* name, int* size);
CM_API int CmGetCreatorModule(const char* creator, char* module, int* size);
CM_API int CmGetCreatorDirectory(const char* creator, char* directory, int* size);
CM_API int CmGetCreatorRemote(const char* creator, char* database, int* size);
CM_API int CmGetCreatorTitle(const char* creator, char* title, int* size);
CM_API int CmGetCreatorInfo(const char* creator, char* info, int* size);
CM_API int CmGetCreatorFile(const char* creator, char* file, int* size);
CM_API int CmGetCreatorArgument(const char* creator, char* argument, int* size);
