// The conduit's import table of the Sync Manager.
#include "conduits/common/syncmgr.h"

#include <string>

#include "log/log.h"
#include "log/msgids.h"
#include "platform/module.h"
#include "synccore/except.h"

namespace {

struct Loaded {
  SyncManager api{};
  bool ok = false;
  std::string problem;
};

template <typename Fn>
bool import(HMODULE module, LPCSTR nameOrOrdinal, const char* label, Fn& slot, std::string& problem) {
  slot = reinterpret_cast<Fn>(GetProcAddress(module, nameOrOrdinal));
  if (!slot && problem.empty()) problem = std::string("SYNC20.dll has no ") + label;
  return slot != nullptr;
}

Loaded load() {
  Loaded l;
  HMODULE module = LoadLibrary("SYNC20.dll");
  if (!module) {
    l.problem = "SYNC20.dll cannot be loaded: " + platform::loaderProblem();
    return l;
  }
  SyncManager& a = l.api;
  std::string& p = l.problem;
  bool ok = true;
  ok &= import(module, MAKEINTRESOURCE(22), "ordinal 22", a.RegisterConduit, p);
  ok &= import(module, MAKEINTRESOURCE(23), "ordinal 23", a.UnRegisterConduit, p);
  ok &= import(module, MAKEINTRESOURCE(26), "ordinal 26", a.OpenDB, p);
  ok &= import(module, MAKEINTRESOURCE(27), "ordinal 27", a.CreateDB, p);
  ok &= import(module, MAKEINTRESOURCE(28), "ordinal 28", a.CloseDB, p);
  ok &= import(module, MAKEINTRESOURCE(31), "ordinal 31", a.ResetSyncFlags, p);
  ok &= import(module, MAKEINTRESOURCE(32), "ordinal 32", a.WriteRec, p);
  ok &= import(module, MAKEINTRESOURCE(33), "ordinal 33", a.DeleteRec, p);
  ok &= import(module, MAKEINTRESOURCE(35), "ordinal 35", a.ReadRecordById, p);
  ok &= import(module, MAKEINTRESOURCE(36), "ordinal 36", a.ReadRecordByIndex, p);
  ok &= import(module, MAKEINTRESOURCE(37), "ordinal 37", a.ReadNextModifiedRec, p);
  ok &= import(module, MAKEINTRESOURCE(38), "ordinal 38", a.ReadDBAppInfoBlock, p);
  ok &= import(module, MAKEINTRESOURCE(39), "ordinal 39", a.WriteDBAppInfoBlock, p);
  ok &= import(module, MAKEINTRESOURCE(40), "ordinal 40", a.PurgeDeletedRecs, p);
  ok &= import(module, MAKEINTRESOURCE(41), "ordinal 41", a.PurgeAllRecs, p);
  ok &= import(module, MAKEINTRESOURCE(42), "ordinal 42", a.AddLogEntry, p);
  ok &= import(module, "SyncCallRemoteModule", "SyncCallRemoteModule", a.CallRemoteModule, p);
  ok &= import(module, "SyncGetDBRecordCount", "SyncGetDBRecordCount", a.GetDBRecordCount, p);
  ok &= import(module, "SyncPurgeAllRecsInCategory", "SyncPurgeAllRecsInCategory", a.PurgeAllRecsInCategory, p);
  ok &= import(module, "SyncReadNextRecInCategory", "SyncReadNextRecInCategory", a.ReadNextRecInCategory, p);
  ok &= import(module, "SyncResetRecordIndex", "SyncResetRecordIndex", a.ResetRecordIndex, p);
  ok &= import(module, "SyncReadAppPreference", "SyncReadAppPreference", a.ReadAppPreference, p);
  if (!ok) {
    FreeLibrary(module);
    return l;
  }
  a.FlushDBs = reinterpret_cast<decltype(a.FlushDBs)>(GetProcAddress(module, "SyncFlushDBs"));
  // Kept loaded: the table is the process's, as an import table would be.
  l.ok = true;
  return l;
}

const Loaded& loaded() {
  static const Loaded l = load();
  return l;
}

}  // namespace

const SyncManager* syncManager() { return loaded().ok ? &loaded().api : nullptr; }

const char* syncManagerProblem() { return loaded().problem.c_str(); }

void logSyncError(const char* function, LONG error) {
  Log::writeLog(MSG_SYNCMGR_FAILED, function, static_cast<unsigned>(error));
}

const SyncManager& loadedSyncManager(const char* who) {
  const SyncManager* api = syncManager();
  if (!api) fatalStop(who, "the Sync Manager is not loaded");
  return *api;
}
