// The Sync Manager as a conduit reaches it: "SYNC20.dll" loaded once per
// process, its functions imported by ordinal where the handheld calls have
// one and by name otherwise, as a conduit's import table would hold them.
//
//   const SyncManager* sm = syncManager();
//   if (!sm) return -1;                          // the library is missing
//   LONG err = sm->OpenDB(name, 0, &handle, 0xD0);
//
// The record layouts are those of hotsync/sync20/sync20.h.
#pragma once

#include "hotsync/sync20/sync20.h"

struct SyncManager {
  // By ordinal.
  decltype(&::SyncRegisterConduit) RegisterConduit;          // 22
  decltype(&::SyncUnRegisterConduit) UnRegisterConduit;      // 23
  decltype(&::SyncOpenDB) OpenDB;                            // 26
  decltype(&::SyncCreateDB) CreateDB;                        // 27
  decltype(&::SyncCloseDB) CloseDB;                          // 28
  decltype(&::SyncResetSyncFlags) ResetSyncFlags;            // 31
  decltype(&::SyncWriteRec) WriteRec;                        // 32
  decltype(&::SyncDeleteRec) DeleteRec;                      // 33
  decltype(&::SyncReadRecordById) ReadRecordById;            // 35
  decltype(&::SyncReadRecordByIndex) ReadRecordByIndex;      // 36
  decltype(&::SyncReadNextModifiedRec) ReadNextModifiedRec;  // 37
  decltype(&::SyncReadDBAppInfoBlock) ReadDBAppInfoBlock;    // 38
  decltype(&::SyncWriteDBAppInfoBlock) WriteDBAppInfoBlock;  // 39
  decltype(&::SyncPurgeDeletedRecs) PurgeDeletedRecs;        // 40
  decltype(&::SyncPurgeAllRecs) PurgeAllRecs;                // 41
  decltype(&::SyncAddLogEntry) AddLogEntry;                  // 42
  // By name.
  decltype(&::SyncCallRemoteModule) CallRemoteModule;
  decltype(&::SyncGetDBRecordCount) GetDBRecordCount;
  decltype(&::SyncPurgeAllRecsInCategory) PurgeAllRecsInCategory;
  decltype(&::SyncReadNextRecInCategory) ReadNextRecInCategory;
  decltype(&::SyncResetRecordIndex) ResetRecordIndex;
  decltype(&::SyncReadAppPreference) ReadAppPreference;
  // By name, when the Sync Manager has it (null otherwise): a handheld that
  // is a device keeps what it was sent without being asked.
  decltype(&::SyncFlushDBs) FlushDBs;
};

// The process's import table, loaded on first use; null (with the loader's
// words in syncManagerProblem()) when the library or one of its functions
// cannot be found. The table stays loaded for the life of the process.
const SyncManager* syncManager();
const char* syncManagerProblem();
// The table for a data source's calls: OpenConduit refuses to run without
// it, so a caller that finds it missing stops the run (who names it).
const SyncManager& loadedSyncManager(const char* who);

// Writes message 0xc0000019 with the Sync Manager function's name and error.
void logSyncError(const char* function, LONG error);
