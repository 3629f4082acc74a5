#include "hotsync/sync20/sync20.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "platform/files.h"
#include "platform/module.h"

GWSYNC_EXPORT_ORDINALS = {{22, "SyncRegisterConduit"},
                          {23, "SyncUnRegisterConduit"},
                          {26, "SyncOpenDB"},
                          {27, "SyncCreateDB"},
                          {28, "SyncCloseDB"},
                          {31, "SyncResetSyncFlags"},
                          {32, "SyncWriteRec"},
                          {33, "SyncDeleteRec"},
                          {35, "SyncReadRecordById"},
                          {36, "SyncReadRecordByIndex"},
                          {37, "SyncReadNextModifiedRec"},
                          {38, "SyncReadDBAppInfoBlock"},
                          {39, "SyncWriteDBAppInfoBlock"},
                          {40, "SyncPurgeDeletedRecs"},
                          {41, "SyncPurgeAllRecs"},
                          {42, "SyncAddLogEntry"},
                          {0, nullptr}};

namespace {

using palm::Record;
using palm::StoredDatabase;
using palm::StoreError;
using palm::StoreStatus;

constexpr size_t kMaxHandles = 32;
constexpr char kLogFile[] = "synclog.txt";

struct OpenDb {
  std::unique_ptr<StoredDatabase> store;
  BYTE mode = 0;
  size_t cursor = 0;  // the record index of modified and in-category reads
};

struct State {
  std::string folder;  // chosen by SyncSetHandheldFolder; empty: environment
  std::array<OpenDb, kMaxHandles> handles;
  std::string problem;
  bool registered = false;
  CONDHANDLE nextConduit = 1;
  CONDHANDLE conduit = 0;
  DWORD calls = 0;        // Sync Manager calls a conduit made
  DWORD recordsRead = 0;  // records handed to it
};

State& state() {
  static State s;
  return s;
}

LONG fail(LONG code, std::string words) {
  state().problem = std::move(words);
  return code;
}

// Faults for tests of whole runs: $GWSYNC_SYNC20_FAULT = "SyncWriteRec@3"
// makes the 3rd call of that function fail with SYNCERR_IO before it does
// anything, "SyncWriteRec@3+" every call from the 3rd on. "*" counts the
// calls of every function, and a trailing "!" kills the process with SIGKILL
// at that call instead ("*@40!": a HotSync killed just before its 40th Sync
// Manager call). Each fault given is appended as a line "<function> <call>"
// to $GWSYNC_SYNC20_FAULT_LOG when set, so a test can tell a run that met its
// fault from one that did not.
struct FaultPlan {
  std::string function;
  int call = 0;
  bool persistent = false;
  bool kill = false;
  int calls = 0;
};

FaultPlan& faultPlan() {
  static FaultPlan plan = [] {
    FaultPlan p;
    const char* text = std::getenv("GWSYNC_SYNC20_FAULT");
    if (!text) return p;
    std::string t = text;
    size_t at = t.find('@');
    if (at == std::string::npos) return p;
    p.function = t.substr(0, at);
    p.persistent = !t.empty() && t.back() == '+';
    p.kill = !t.empty() && t.back() == '!';
    p.call = std::atoi(t.c_str() + at + 1);
    return p;
  }();
  return plan;
}

// Every call of a conduit passes here first, so it is also where calls are
// counted.
LONG injectedFault(const char* function) {
  ++state().calls;
  FaultPlan& plan = faultPlan();
  if (plan.call <= 0 || (plan.function != function && plan.function != "*")) return SYNCERR_NONE;
  const int n = ++plan.calls;
  if (n < plan.call || (!plan.persistent && n != plan.call)) return SYNCERR_NONE;
  if (const char* log = std::getenv("GWSYNC_SYNC20_FAULT_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%s %d\n", function, n);
      std::fclose(f);
    }
  }
  if (plan.kill) ::raise(SIGKILL);
  return fail(SYNCERR_IO, std::string("fault injected into ") + function);
}

LONG fromStore(const StoreStatus& st) {
  static const struct {
    StoreError error;
    LONG code;
  } kMap[] = {
      {StoreError::None, SYNCERR_NONE},
      {StoreError::NotFound, SYNCERR_NOT_FOUND},
      {StoreError::Malformed, SYNCERR_BAD_FILE},
      {StoreError::Exists, SYNCERR_EXISTS},
      {StoreError::Io, SYNCERR_IO},
      {StoreError::Busy, SYNCERR_BUSY},
      {StoreError::BadArgument, SYNCERR_BAD_ARG},
      {StoreError::Full, SYNCERR_DB_FULL},
  };
  for (const auto& row : kMap)
    if (row.error == st.code) return row.code == SYNCERR_NONE ? SYNCERR_NONE : fail(row.code, st.message);
  return fail(SYNCERR_UNKNOWN, st.message);
}

bool handheldFolder(std::string& folder) {
  folder = state().folder;
  if (folder.empty()) {
    const char* env = std::getenv("GWSYNC_HANDHELD");
    if (env) folder = env;
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return !folder.empty();
}

LONG noFolder() { return fail(SYNCERR_NO_HANDHELD, "no handheld folder: set GWSYNC_HANDHELD"); }

OpenDb* lookup(BYTE handle) {
  if (handle == 0 || handle > kMaxHandles) return nullptr;
  OpenDb& db = state().handles[handle - 1];
  return db.store ? &db : nullptr;
}

LONG badHandle(BYTE handle) { return fail(SYNCERR_BAD_HANDLE, "handle " + std::to_string(handle) + " is not open"); }

// The handle for a change: open and writable.
LONG writableDb(BYTE handle, OpenDb*& db) {
  db = lookup(handle);
  if (!db) return badHandle(handle);
  if (!(db->mode & eDbWrite) || !db->store->writable())
    return fail(SYNCERR_READ_ONLY, db->store->path() + " is open for reading only");
  return SYNCERR_NONE;
}

LONG freeHandle(BYTE& handle) {
  for (size_t i = 0; i < kMaxHandles; ++i)
    if (!state().handles[i].store) {
      handle = static_cast<BYTE>(i + 1);
      return SYNCERR_NONE;
    }
  return fail(SYNCERR_TOO_MANY_OPEN, "too many open databases");
}

bool openElsewhere(const std::string& folder, const std::string& name) {
  for (const OpenDb& db : state().handles)
    if (db.store && (db.store->path() == palm::databaseFile(folder, name, false) ||
                     db.store->path() == palm::databaseFile(folder, name, true)))
      return true;
  return false;
}

BYTE rawAttributes(const Record& r) {
  BYTE a = 0;
  if (r.deleted) a |= eRecAttrDeleted;
  if (r.archived) a |= eRecAttrArchived;
  if (r.dirty) a |= eRecAttrDirty;
  if (r.secret) a |= eRecAttrSecret;
  if (r.busy) a |= eRecAttrBusy;
  return a;
}

// Copies record `index` of the database out to the caller.
LONG deliver(const OpenDb& db, size_t index, CRawRecordInfo* info) {
  ++state().recordsRead;
  const Record& r = db.store->db().records[index];
  info->m_RecId = r.uniqueId;
  info->m_RecIndex = static_cast<WORD>(index);
  info->m_Attribs = rawAttributes(r);
  info->m_CatId = r.live() ? r.category : 0;
  info->m_RecSize = static_cast<DWORD>(r.data.size());
  if (r.data.empty()) return SYNCERR_NONE;
  if (!info->m_pBytes || info->m_TotalBytes < r.data.size())
    return fail(SYNCERR_BUFFER_TOO_SMALL, "record of " + std::to_string(r.data.size()) +
                                              " bytes does not fit a buffer of " + std::to_string(info->m_TotalBytes));
  std::memcpy(info->m_pBytes, r.data.data(), r.data.size());
  return SYNCERR_NONE;
}

// Reads on from the record index to the next record that `wanted` accepts.
template <typename Wanted>
LONG readNext(CRawRecordInfo* info, Wanted wanted) {
  if (!info) return fail(SYNCERR_BAD_ARG, "no record info");
  OpenDb* db = lookup(info->m_FileHandle);
  if (!db) return badHandle(info->m_FileHandle);
  const auto& records = db->store->db().records;
  while (db->cursor < records.size()) {
    size_t at = db->cursor++;
    if (wanted(records[at])) return deliver(*db, at, info);
  }
  return fail(SYNCERR_NOT_FOUND, "no more records");
}

std::string fixedText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

// ---- The stand-in's own calls ----

LONG SyncSetHandheldFolder(const char* folder) {
  for (const OpenDb& db : state().handles)
    if (db.store) return fail(SYNCERR_BUSY, "a database is open; close it before choosing another folder");
  state().folder = folder ? folder : "";
  return SYNCERR_NONE;
}

const char* SyncGetLastProblem() { return state().problem.c_str(); }

LONG SyncFlushDBs() {
  if (LONG injected = injectedFault(__func__)) return injected;
  LONG result = SYNCERR_NONE;
  for (OpenDb& db : state().handles) {
    if (!db.store) continue;
    StoreStatus st = db.store->flush();
    if (!st && result == SYNCERR_NONE) result = fromStore(st);
  }
  return result;
}

DWORD SyncGetDiskFlushCount() { return static_cast<DWORD>(palm::diskFlushes()); }

void SyncGetCallCounts(DWORD* calls, DWORD* recordsRead) {
  if (calls) *calls = state().calls;
  if (recordsRead) *recordsRead = state().recordsRead;
}

// ---- Conduit session ----

LONG SyncRegisterConduit(CONDHANDLE* handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!handle) return fail(SYNCERR_BAD_ARG, "no place for the conduit handle");
  if (state().registered) return fail(SYNCERR_ALREADY_REGISTERED, "a conduit is registered already");
  state().registered = true;
  state().conduit = state().nextConduit++;
  *handle = state().conduit;
  return SYNCERR_NONE;
}

LONG SyncUnRegisterConduit(CONDHANDLE handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!state().registered || handle != state().conduit)
    return fail(SYNCERR_BAD_HANDLE, "conduit handle " + std::to_string(handle) + " is not registered");
  LONG result = SYNCERR_NONE;
  for (size_t i = 0; i < kMaxHandles; ++i)
    if (state().handles[i].store) {
      LONG closed = SyncCloseDB(static_cast<BYTE>(i + 1));
      if (result == SYNCERR_NONE) result = closed;
    }
  state().registered = false;
  return result;
}

// ---- Databases ----

LONG SyncOpenDB(const char* name, int cardNo, BYTE* handle, BYTE mode) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!name || !handle) return fail(SYNCERR_BAD_ARG, "no database name or handle");
  if (cardNo != 0) return fail(SYNCERR_NOT_FOUND, "the handheld has card 0 only");
  std::string folder;
  if (!handheldFolder(folder)) return noFolder();
  if (openElsewhere(folder, name)) return fail(SYNCERR_ALREADY_OPEN, std::string(name) + " is open already");
  BYTE h = 0;
  if (LONG r = freeHandle(h)) return r;
  std::unique_ptr<StoredDatabase> store;
  if (StoreStatus st = StoredDatabase::open(folder, name, (mode & eDbWrite) != 0, store); !st) return fromStore(st);
  OpenDb& db = state().handles[h - 1];
  db.store = std::move(store);
  db.mode = mode;
  db.cursor = 0;
  *handle = h;
  return SYNCERR_NONE;
}

LONG SyncCreateDB(CDbCreateDB* create) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!create) return fail(SYNCERR_BAD_ARG, "no create record");
  if (create->m_CardNo != 0) return fail(SYNCERR_BAD_ARG, "the handheld has card 0 only");
  std::string folder;
  if (!handheldFolder(folder)) return noFolder();
  BYTE h = 0;
  if (LONG r = freeHandle(h)) return r;
  palm::Database initial;
  initial.name = fixedText(create->m_Name, sizeof create->m_Name);
  initial.attributes = static_cast<uint16_t>(create->m_Flags & 0xFFFF) & ~palm::kDbOpen;
  initial.version = create->m_Version;
  initial.type = create->m_Type;
  initial.creator = create->m_Creator;
  initial.created = initial.modified = palm::palmNow();
  std::unique_ptr<StoredDatabase> store;
  if (StoreStatus st = StoredDatabase::create(folder, initial, store); !st) return fromStore(st);
  OpenDb& db = state().handles[h - 1];
  db.store = std::move(store);
  db.mode = eDbRead | eDbWrite | eDbShowSecret;
  db.cursor = 0;
  create->m_FileHandle = h;
  return SYNCERR_NONE;
}

LONG SyncCloseDB(BYTE handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  OpenDb* db = lookup(handle);
  if (!db) return badHandle(handle);
  StoreStatus st = db->store->close();
  db->store.reset();
  return fromStore(st);
}

LONG SyncGetDBRecordCount(BYTE handle, WORD* count) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!count) return fail(SYNCERR_BAD_ARG, "no place for the count");
  OpenDb* db = lookup(handle);
  if (!db) return badHandle(handle);
  *count = static_cast<WORD>(db->store->db().records.size());
  return SYNCERR_NONE;
}

// ---- Reading records ----

LONG SyncReadRecordByIndex(CRawRecordInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no record info");
  OpenDb* db = lookup(info->m_FileHandle);
  if (!db) return badHandle(info->m_FileHandle);
  if (info->m_RecIndex >= db->store->db().records.size())
    return fail(SYNCERR_NOT_FOUND, "no record at index " + std::to_string(info->m_RecIndex));
  return deliver(*db, info->m_RecIndex, info);
}

LONG SyncReadRecordById(CRawRecordInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no record info");
  OpenDb* db = lookup(info->m_FileHandle);
  if (!db) return badHandle(info->m_FileHandle);
  long at = db->store->indexOf(info->m_RecId);
  if (at < 0) return fail(SYNCERR_NOT_FOUND, "no record with id " + std::to_string(info->m_RecId));
  return deliver(*db, static_cast<size_t>(at), info);
}

LONG SyncReadNextModifiedRec(CRawRecordInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  return readNext(info, [](const Record& r) { return r.dirty; });
}

LONG SyncResetRecordIndex(BYTE handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  OpenDb* db = lookup(handle);
  if (!db) return badHandle(handle);
  db->cursor = 0;
  return SYNCERR_NONE;
}

LONG SyncReadNextRecInCategory(CRawRecordInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no record info");
  if (info->m_CatId < 0 || info->m_CatId > 15) return fail(SYNCERR_BAD_ARG, "category index out of range");
  const short category = info->m_CatId;
  return readNext(info, [category](const Record& r) { return r.live() && r.category == category; });
}

// ---- Changing records ----

LONG SyncWriteRec(CRawRecordInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no record info");
  OpenDb* db = nullptr;
  if (LONG r = writableDb(info->m_FileHandle, db)) return r;
  if (info->m_CatId < 0 || info->m_CatId > 15) return fail(SYNCERR_BAD_ARG, "category index out of range");
  if (info->m_RecSize > 0 && !info->m_pBytes) return fail(SYNCERR_BAD_ARG, "no record data");
  Record r;
  r.uniqueId = info->m_RecId;
  r.category = static_cast<uint8_t>(info->m_CatId);
  r.archived = (info->m_Attribs & eRecAttrArchived) != 0;
  r.deleted = !r.archived && (info->m_Attribs & eRecAttrDeleted) != 0;
  r.dirty = (info->m_Attribs & eRecAttrDirty) != 0;
  r.secret = (info->m_Attribs & eRecAttrSecret) != 0;
  if (info->m_RecSize > 0) r.data.assign(reinterpret_cast<const char*>(info->m_pBytes), info->m_RecSize);
  uint32_t id = 0;
  if (StoreStatus st = db->store->writeRecord(r, &id); !st) return fromStore(st);
  info->m_RecId = id;
  return SYNCERR_NONE;
}

LONG SyncDeleteRec(CRawRecordInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no record info");
  OpenDb* db = nullptr;
  if (LONG r = writableDb(info->m_FileHandle, db)) return r;
  return fromStore(db->store->removeRecord(info->m_RecId));
}

LONG SyncPurgeAllRecs(BYTE handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  OpenDb* db = nullptr;
  if (LONG r = writableDb(handle, db)) return r;
  return fromStore(db->store->purgeAll());
}

LONG SyncPurgeAllRecsInCategory(BYTE handle, short category) {
  if (LONG injected = injectedFault(__func__)) return injected;
  OpenDb* db = nullptr;
  if (LONG r = writableDb(handle, db)) return r;
  if (category < 0 || category > 15) return fail(SYNCERR_BAD_ARG, "category index out of range");
  return fromStore(db->store->purgeCategory(static_cast<uint8_t>(category)));
}

LONG SyncResetSyncFlags(BYTE handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  OpenDb* db = nullptr;
  if (LONG r = writableDb(handle, db)) return r;
  return fromStore(db->store->resetSyncFlags());
}

LONG SyncPurgeDeletedRecs(BYTE handle) {
  if (LONG injected = injectedFault(__func__)) return injected;
  OpenDb* db = nullptr;
  if (LONG r = writableDb(handle, db)) return r;
  return fromStore(db->store->purgeDeleted());
}

// ---- App-info block, preferences, log, applications ----

LONG SyncReadDBAppInfoBlock(BYTE handle, CDbGenInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no block record");
  OpenDb* db = lookup(handle);
  if (!db) return badHandle(handle);
  const auto& block = db->store->db().appInfo;
  if (!block || block->empty()) return fail(SYNCERR_NOT_FOUND, db->store->path() + " has no app-info block");
  if (!info->m_pBytes || info->m_TotalBytes < block->size()) {
    info->m_BytesRead = static_cast<WORD>(block->size());
    return fail(SYNCERR_BUFFER_TOO_SMALL, "app-info block of " + std::to_string(block->size()) +
                                              " bytes does not fit a buffer of " + std::to_string(info->m_TotalBytes));
  }
  std::memcpy(info->m_pBytes, block->data(), block->size());
  info->m_BytesRead = static_cast<WORD>(block->size());
  return SYNCERR_NONE;
}

LONG SyncWriteDBAppInfoBlock(BYTE handle, CDbGenInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no block record");
  OpenDb* db = nullptr;
  if (LONG r = writableDb(handle, db)) return r;
  if (info->m_BytesRead > 0 && !info->m_pBytes) return fail(SYNCERR_BAD_ARG, "no block data");
  std::string block;
  if (info->m_BytesRead > 0) block.assign(reinterpret_cast<const char*>(info->m_pBytes), info->m_BytesRead);
  return fromStore(db->store->setAppInfo(block));
}

LONG SyncReadAppPreference(CRawPreferenceInfo* info) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!info) return fail(SYNCERR_BAD_ARG, "no preference record");
  std::string folder;
  if (!handheldFolder(folder)) return noFolder();
  const char* file = info->m_bBackedUp ? "Saved Preferences" : "Unsaved Preferences";
  palm::Database prefs;
  if (StoreStatus st = palm::readDatabaseFile(palm::databaseFile(folder, file, true), prefs); !st) return fromStore(st);
  for (const palm::Resource& res : prefs.resources) {
    if (res.type != info->m_Creator || res.id != info->m_PrefId) continue;
    std::string_view bytes = res.data;
    info->m_version = bytes.size() >= 2 ? palm::getU16(bytes, 0) : 0;
    bytes.remove_prefix(std::min<size_t>(2, bytes.size()));
    size_t room = std::min<size_t>(info->m_ReqBytes, info->m_nBufSize > 0 ? size_t(info->m_nBufSize) : 0);
    size_t n = std::min(room, bytes.size());
    if (n > 0 && !info->m_pBuffer) return fail(SYNCERR_BAD_ARG, "no preference buffer");
    if (n > 0) std::memcpy(info->m_pBuffer, bytes.data(), n);
    info->m_RetBytes = static_cast<WORD>(n);
    info->m_ActSize = static_cast<WORD>(bytes.size());
    return SYNCERR_NONE;
  }
  return fail(SYNCERR_NOT_FOUND, "no preference " + palm::fourCCText(info->m_Creator) + " " +
                                     std::to_string(info->m_PrefId) + " in " + file);
}

LONG SyncAddLogEntry(const char* text) {
  if (LONG injected = injectedFault(__func__)) return injected;
  std::string folder;
  if (!handheldFolder(folder)) return noFolder();
  std::string entry = text ? text : "";
  if (entry.empty() || entry.back() != '\n') entry += '\n';
  const std::string path = folder + "/" + kLogFile;
  platform::CFileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.valid()) return fail(SYNCERR_IO, "cannot open " + path + ": " + std::strerror(errno));
  if (!platform::writeAll(fd.get(), entry) || ::fdatasync(fd.get()) != 0)
    return fail(SYNCERR_IO, "cannot write " + path + ": " + std::strerror(errno));
  return SYNCERR_NONE;
}

LONG SyncCallRemoteModule(CCallModuleParams* params) {
  if (LONG injected = injectedFault(__func__)) return injected;
  if (!params) return fail(SYNCERR_BAD_ARG, "no call record");
  if (params->m_dwTypeID != palm::fourCC("appl") || params->m_wActionCode != sysAppLaunchCmdInitDatabase)
    return fail(SYNCERR_NOT_SUPPORTED, "only the init-database launch of an application is supported");
  if (params->m_dwParamSize < sizeof(CInitDatabaseParam) || !params->m_pParam)
    return fail(SYNCERR_BAD_ARG, "the init-database parameter is missing");
  const auto* param = static_cast<const CInitDatabaseParam*>(params->m_pParam);
  std::optional<std::string> block = palm::defaultAppInfo(params->m_dwCreatorID);
  if (!block)
    return fail(SYNCERR_NOT_SUPPORTED,
                "no application " + palm::fourCCText(params->m_dwCreatorID) + " on the handheld");
  OpenDb* db = nullptr;
  if (LONG r = writableDb(param->m_FileHandle, db)) return r;
  if (db->store->db().creator != params->m_dwCreatorID)
    return fail(SYNCERR_BAD_ARG, "the database does not belong to " + palm::fourCCText(params->m_dwCreatorID));
  params->m_dwActResultSize = 0;
  // An application leaves a database that has its block already as it is.
  const auto& current = db->store->db().appInfo;
  if (!current || current->empty())
    if (StoreStatus st = db->store->setAppInfo(*block); !st) return fromStore(st);
  params->m_dwResultCode = 0;
  return SYNCERR_NONE;
}
