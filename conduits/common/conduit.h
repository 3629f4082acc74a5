// What one conduit library plugs into the code all conduits share: its
// constants, its record class and its two data sources. Each conduit library
// defines g_ConduitDef once, as a constant (it is read while the library
// loads); conduits/common supplies the five exported entry points and the run.
//
//   const ConduitDef g_ConduitDef = {
//       2, "addr", 'addr', 1, "addressres.dll",
//       sizeof(CAddressRecord), placeAddressRecord, newAddressServerSource, nullptr};
#pragma once

#include <cstdio>
#include <memory>

#include "conduits/common/palmdatasrc.h"
#include "synccore/gwdatasrc.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"

// Kind numbers: the position of the conduit in handstrings and in GWSyncDB.
enum : DWORD {
  CONDUIT_SCHEDULE = 0,
  CONDUIT_TODO = 1,
  CONDUIT_ADDRESS = 2,
  CONDUIT_MEMO = 3,
  CONDUIT_MAIL = 4,
};

// Builds the handheld data source of the run (null: the plain CPalmLSDataSrc).
typedef std::unique_ptr<CPalmLSDataSrc> (*HandheldSourceMaker)(CPalmCategoryList* categories, CPalmRecordSet* records,
                                                               SyncTimeStore* times, const char* dbName, DWORD creator);
// Builds the server data source of the run on the session.
typedef std::unique_ptr<CGWDataSrc> (*ServerSourceMaker)(CGWSession& session);

struct ConduitDef {
  DWORD kind;                   // CONDUIT_...
  const char* tag;              // "addr": names the trace file
  DWORD creator;                // of the handheld database
  int timeSlot;                 // this conduit's slot in GWSyncDB
  const char* resourceLibrary;  // "addressres.dll"
  WORD recordSize;              // the record class's size, for the pool
  PalmRecordPlacer placeRecord;
  ServerSourceMaker makeServerSource;
  HandheldSourceMaker makeHandheldSource;
};

// Defined by each conduit library.
extern const ConduitDef g_ConduitDef;

// The library's one static object: built when the library loads, it reads
// the conduit's name and run name from handstrings.
struct ConduitKind {
  DWORD m_Kind;
  WORD m_VersionMajor;
  WORD m_VersionMinor;
  char m_Tag[5];
  char m_ConduitName[64];
  char m_SyncName[64];
  CONDHANDLE m_Handle;
  int m_MaxNBatch;  // per-batch count handed to openSync
};

// The library's ConduitKind.
ConduitKind& conduitKind();
// The conduit's resource library (its dialogs' texts, captions, record
// names), or null when it could not be loaded (every entry point then fails).
HMODULE conduitResources();
// String id of the conduit's resource library into buffer (always
// terminated; empty when missing); answers buffer.
char* conduitText(UINT id, char* buffer, int size);

// Strings of every conduit's resource library.
enum : UINT {
  CONDRES_CAPTION = 5,      // caption of the configuration's message boxes
  CONDRES_CHOOSE_USER = 6,  // the user list's first entry, asking for a choice
  CONDRES_RECORD_NAME = 9,  // names a handheld record in messages
};

// A record too damaged to describe, named by the conduit's record name and
// its id ("To Do List record 0x1f"), so the HotSync log still says which
// one; answers buffer.
inline char* damagedRecordText(DWORD recId, char* buffer, int size) {
  char name[64];
  conduitText(CONDRES_RECORD_NAME, name, sizeof name);
  char text[96];
  std::snprintf(text, sizeof text, "%s 0x%x", name, static_cast<unsigned>(recId));
  copyDbcsText(buffer, text, size, DBCS_COPY, "...");
  return buffer;
}
