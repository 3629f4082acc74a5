// The handheld data source over the Sync Manager, and the last sync times
// kept on the handheld.
#include "conduits/common/palmdatasrc.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <random>

#include "log/log.h"
#include "log/msgids.h"
#include "synccore/gwdatasrc.h"
#include "synccore/helpers.h"

namespace {

constexpr BYTE kModeAppDb = eDbRead | eDbWrite | eDbShowSecret;  // 0xD0
constexpr BYTE kModeTimesRead = eDbRead | eDbShowSecret;         // 0x90
constexpr BYTE kModeTimesWrite = eDbWrite | eDbShowSecret;       // 0x50
constexpr char kTimesDb[] = "GWSyncDB";
constexpr char kPairingDb[] = "GWSyncPairDB";
constexpr DWORD kPairingRecordSize = 8;
constexpr int kFirstSyncMarkCategory = 8;    // plus the slot
constexpr DWORD kMaxRecordId = 0xFFFFFF;     // record ids are 24 bits
constexpr DWORD kTimesCreator = 0x47575359;  // 'GWSY'
constexpr DWORD kTypeData = 0x44415441;      // 'DATA'
constexpr DWORD kTypeAppl = 0x6170706C;      // 'appl'
constexpr DWORD kTimesRecordSize = SyncTimeStore::kSlots * 4;
constexpr int kHexDumpBytes = 32;

// OpenConduit refuses to run without the Sync Manager, so every data
// source operation finds it loaded.
const SyncManager& sm() { return loadedSyncManager("CPalmLSDataSrc"); }

DWORD readBE32(const BYTE* p) { return (DWORD{p[0]} << 24) | (DWORD{p[1]} << 16) | (DWORD{p[2]} << 8) | DWORD{p[3]}; }

void writeBE32(BYTE* p, DWORD v) {
  p[0] = static_cast<BYTE>(v >> 24);
  p[1] = static_cast<BYTE>(v >> 16);
  p[2] = static_cast<BYTE>(v >> 8);
  p[3] = static_cast<BYTE>(v);
}

LONG createDatabase(const char* name, int cardNo, DWORD creator, BYTE* handle) {
  CDbCreateDB create{};
  create.m_Creator = creator;
  create.m_Flags = 0;
  create.m_CardNo = static_cast<BYTE>(cardNo);
  std::strncpy(create.m_Name, name, sizeof create.m_Name - 1);
  create.m_Type = kTypeData;
  create.m_Version = 0;
  LONG err = sm().CreateDB(&create);
  if (err == 0) *handle = create.m_FileHandle;
  return err;
}

}  // namespace

BYTE palmFlagsFromAttributes(BYTE attributes) {
  BYTE flags = 0;
  if (attributes & (eRecAttrDeleted | eRecAttrArchived)) {
    flags |= PALMREC_DELETED;
    if (attributes & eRecAttrArchived) flags |= PALMREC_ARCHIVED;
  }
  if (attributes & eRecAttrDirty) flags |= PALMREC_MODIFIED;
  if (attributes & eRecAttrSecret) flags |= PALMREC_PRIVATE;
  return flags;
}

BYTE palmAttributesFromFlags(BYTE flags) {
  BYTE attributes = 0;
  if (flags & PALMREC_DELETED) attributes |= eRecAttrDeleted;
  if (flags & PALMREC_MODIFIED) attributes |= eRecAttrDirty;
  if (flags & PALMREC_PRIVATE) attributes |= eRecAttrSecret;
  if (flags & PALMREC_ARCHIVED) attributes |= eRecAttrArchived;
  return attributes;
}

// ---- SyncTimeStore ----

SyncTimeStore::SyncTimeStore(int slot) : m_Slot(slot), m_Times{}, m_RecId(0), m_Changed(false) {}

void SyncTimeStore::set(DWORD time) {
  if (m_Times[m_Slot] != time) {
    m_Times[m_Slot] = time;
    m_Changed = true;
  }
}

bool SyncTimeStore::read() {
  std::fill(std::begin(m_Times), std::end(m_Times), 0);
  m_RecId = 0;
  m_Changed = false;
  BYTE handle = 0;
  LONG err = sm().OpenDB(kTimesDb, 0, &handle, kModeTimesRead);
  if (err == SYNCERR_NOT_FOUND) return true;
  if (err != 0) {
    Log::writeLog(MSG_HH_DB_NOT_OPENED, kTimesDb, 0, static_cast<unsigned>(err));
    return false;
  }
  WORD count = 0;
  err = sm().GetDBRecordCount(handle, &count);
  if (err != 0) {
    logSyncError("SyncGetDBRecordCount", err);
    sm().CloseDB(handle);
    return false;
  }
  if (count > 0) {
    BYTE raw[kPalmSharedBufferSize];
    CRawRecordInfo info = recordReadInfo(handle, raw);
    info.m_RecIndex = 0;
    err = sm().ReadRecordByIndex(&info);
    g_TraceObj.write(10, "SyncReadRecordByIndex() returned res:%d m_RecSize:%d m_RecId:0x%x\n", static_cast<int>(err),
                     static_cast<int>(info.m_RecSize), info.m_RecId);
    if (err != 0) {
      // Zeros here would make the run a first sync, which copies every
      // record to the other side again: the read fails the open instead.
      logSyncError("SyncReadRecordByIndex", err);
      sm().CloseDB(handle);
      return false;
    } else {
      // A record shorter than the five slots reads its missing slots as 0.
      DWORD size = std::min(info.m_RecSize, kTimesRecordSize);
      for (DWORD i = 0; i + 4 <= size; i += 4) m_Times[i / 4] = readBE32(raw + i);
      m_RecId = info.m_RecId;
      // A short record is rewritten whole at the next write.
      if (info.m_RecSize < kTimesRecordSize) m_Changed = true;
    }
  }
  err = sm().CloseDB(handle);
  if (err != 0) {
    logSyncError("SyncCloseDB", err);
    return false;
  }
  return true;
}

bool SyncTimeStore::write() {
  if (!m_Changed) return true;
  BYTE handle = 0;
  LONG err = sm().OpenDB(kTimesDb, 0, &handle, kModeTimesWrite);
  if (err == SYNCERR_NOT_FOUND) {
    err = createDatabase(kTimesDb, 0, kTimesCreator, &handle);
    if (err != 0) {
      logSyncError("SyncCreateDB", err);
      return false;
    }
  } else if (err != 0) {
    Log::writeLog(MSG_HH_DB_NOT_OPENED, kTimesDb, 0, static_cast<unsigned>(err));
    return false;
  }
  BYTE raw[kTimesRecordSize];
  for (int i = 0; i < kSlots; ++i) writeBE32(raw + 4 * i, m_Times[i]);
  CRawRecordInfo info{};
  info.m_FileHandle = handle;
  info.m_RecId = m_RecId;
  info.m_Attribs = 0;
  info.m_CatId = 0;
  info.m_RecSize = kTimesRecordSize;
  info.m_pBytes = raw;
  err = sm().WriteRec(&info);
  g_TraceObj.write(10, "SyncWriteRec() returned res:%d m_RecSize:%d m_RecId:%d\n", static_cast<int>(err),
                   static_cast<int>(info.m_RecSize), static_cast<int>(info.m_RecId));
  bool ok = err == 0;
  if (ok) {
    m_RecId = info.m_RecId;
    m_Changed = false;
  } else {
    logSyncError("SyncWriteRec", err);
  }
  err = sm().CloseDB(handle);
  if (err != 0) {
    logSyncError("SyncCloseDB", err);
    return false;
  }
  return ok;
}

// ---- CPalmLSDataSrc ----

CPalmLSDataSrc::CPalmLSDataSrc(CPalmCategoryList* categories, CPalmRecordSet* records, SyncTimeStore* times,
                               const char* dbName, int cardNo, DWORD creator)
    : CHHDataSrc(categories, records),
      m_DbName(dbName),
      m_CardNo(cardNo),
      m_LastSyncTime(0),
      m_CatDirtyFlags(0),
      m_Times(times),
      m_Handle(0),
      m_Open(false),
      m_Creator(creator),
      m_AppInfo{},
      m_AppInfoSize(0),
      m_ResultItem{},
      m_Result(1, &m_ResultItem, 1),
      m_NoteHandle(0),
      m_NoteOpen(false),
      m_NoteHasPairs(false),
      m_FirstSyncMark(-1),
      m_ClearMarkOnClose(false),
      m_NextCandidateId(0) {}

CPalmLSDataSrc::~CPalmLSDataSrc() {
  // A run that ended between openDB and closeDB still leaves the database
  // closed, so the next open finds it whole.
  if (m_Open) sm().CloseDB(m_Handle);
  closePairingNote();
}

bool CPalmLSDataSrc::openDB() {
  g_TraceObj.write(9, "openDB() called. dbname:%s, cardno:%d\n", m_DbName, m_CardNo);
  if (!m_Times->read()) return false;
  m_LastSyncTime = m_Times->get();
  LONG err = sm().OpenDB(m_DbName, m_CardNo, &m_Handle, kModeAppDb);
  if (err == SYNCERR_NOT_FOUND) {
    err = createDatabase(m_DbName, m_CardNo, m_Creator, &m_Handle);
    if (err != 0) {
      g_TraceObj.write(1, "Palm DB(%s, %x) can not created.", m_DbName, m_Creator);
      logSyncError("SyncCreateDB", err);
      return false;
    }
    g_TraceObj.write(1, "Palm DB(%s, %x) created.", m_DbName, m_Creator);
    // The handheld application gives its new database the initial
    // categories and settings.
    CInitDatabaseParam param{};
    param.m_FileHandle = m_Handle;
    param.m_Creator = m_Creator;
    param.m_Type = kTypeData;
    param.m_Version = 0;
    CCallModuleParams call{};
    call.m_dwCreatorID = m_Creator;
    call.m_dwTypeID = kTypeAppl;
    call.m_wActionCode = sysAppLaunchCmdInitDatabase;
    call.m_dwParamSize = sizeof param;
    call.m_pParam = &param;
    LONG callErr = sm().CallRemoteModule(&call);
    if (callErr != 0) g_TraceObj.write(10, "SyncCallRemoteModule() failed: 0x%x\n", static_cast<unsigned>(callErr));
    m_LastSyncTime = 0;
  } else if (err != 0) {
    Log::writeLog(MSG_HH_DB_NOT_OPENED, m_DbName, m_CardNo, static_cast<unsigned>(err));
    return false;
  }
  m_Open = true;
  return true;
}

bool CPalmLSDataSrc::closeDB() {
  g_TraceObj.write(9, "closeDB() called\n");
  if (!m_Open) {
    closePairingNote();
    return true;
  }
  m_Open = false;
  LONG err = sm().CloseDB(m_Handle);
  if (err != 0) {
    closePairingNote();
    logSyncError("SyncCloseDB", err);
    return false;
  }
  m_Times->set(m_LastSyncTime);
  // Reported inside; the database itself is closed. The first sync mark goes
  // only once the sync time is kept: a handheld without its time is in a
  // first sync again, and without the mark that would start over.
  if (m_Times->write() && m_ClearMarkOnClose) purgeNoteCategory(kFirstSyncMarkCategory + m_Times->slot());
  m_ClearMarkOnClose = false;
  closePairingNote();
  return true;
}

bool CPalmLSDataSrc::isFirstSync(LONG /*relationTimeStamp*/) {
  bool first = m_LastSyncTime == 0;
  g_TraceObj.write(10, "PalmDataSrc|determine LastSyncTime Palmside LastSyncTime:0x%x --> is FirstSync:%s\n",
                   m_LastSyncTime, first ? "Yes" : "No");
  return first;
}

bool CPalmLSDataSrc::setLastSyncTime(DWORD time) {
  if (time == 0) return true;
  m_LastSyncTime = time;
  if (g_TraceObj.shouldTrace(10)) {
    time_t t = static_cast<time_t>(time);
    struct tm tm {};
    if (localtime_r(&t, &tm)) {
      g_TraceObj.doTrace("PalmDataSrc|Store LastSyncTime TOD:%d/%d/%d %d:%d:%d\n", tm.tm_year + 1900, tm.tm_mon + 1,
                         tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    } else {
      g_TraceObj.doTrace("*ERR* PalmDataSrc|Store LastSyncTime Bad date: 0x%lx\n", static_cast<unsigned long>(time));
    }
  }
  return true;
}

bool CPalmLSDataSrc::readCategories() {
  g_TraceObj.write(9, "CPalmLSDataSrc: Reading AppInfo and initializing category list\n");
  CDbGenInfo info{};
  std::strncpy(info.m_FileName, m_DbName, sizeof info.m_FileName - 1);
  info.m_TotalBytes = static_cast<WORD>(kPalmAppInfoSize);
  info.m_pBytes = m_AppInfo;
  LONG err = sm().ReadDBAppInfoBlock(m_Handle, &info);
  if (err == SYNCERR_NOT_FOUND) {
    // A database without a block has no categories yet; writing them
    // creates one.
    info.m_BytesRead = 0;
  } else if (err != 0) {
    logSyncError("SyncReadDBAppInfoBlock", err);
    return false;
  }
  m_AppInfoSize = std::min<DWORD>(info.m_BytesRead, kPalmAppInfoSize);
  g_TraceObj.write(9, "AppInfo read. Number bytes read:%d\n", static_cast<int>(m_AppInfoSize));
  m_CatDirtyFlags = m_AppInfoSize >= 2 ? static_cast<WORD>(m_AppInfo[0] << 8 | m_AppInfo[1]) : 0;
  g_TraceObj.write(9, "CPalmLSDataSrc: Category dirty flags: 0x%04x\n", m_CatDirtyFlags);
  CPalmCategoryList* list = palmCategories();
  list->clear();
  if (m_AppInfoSize < kPalmCategoryBlockSize) {
    Log::writeLog(MSG_APPINFO_TOO_SHORT, static_cast<int>(m_AppInfoSize), static_cast<int>(kPalmCategoryBlockSize));
    return true;
  }
  list->fromBlock(m_AppInfo);
  list->trace();
  return true;
}

int CPalmLSDataSrc::writeCategories(CHHRecOpResult** result) {
  CPalmCategoryList* list = palmCategories();
  m_Result.clear();
  *result = &m_Result;
  if (!list->m_Changed && m_CatDirtyFlags == 0) {
    g_TraceObj.write(9, "CategoryList not modified thus not written\n");
    return HH_NOTHING;
  }
  // A block too short to hold the categories grows to a whole category
  // block, so a category added in this run is not lost.
  DWORD size = std::max(m_AppInfoSize, kPalmCategoryBlockSize);
  if (m_AppInfoSize < size) std::memset(m_AppInfo + m_AppInfoSize, 0, size - m_AppInfoSize);
  list->toBlock(m_AppInfo);
  CDbGenInfo info{};
  std::strncpy(info.m_FileName, m_DbName, sizeof info.m_FileName - 1);
  info.m_TotalBytes = static_cast<WORD>(size);
  info.m_BytesRead = static_cast<WORD>(size);
  info.m_pBytes = m_AppInfo;
  LONG err = sm().WriteDBAppInfoBlock(m_Handle, &info);
  bool ok = err == 0;
  if (ok) {
    m_AppInfoSize = size;
    m_CatDirtyFlags = 0;
    list->m_Changed = false;
    g_TraceObj.write(9, "CategoryList written. Number bytes:%d\n", static_cast<int>(size));
  } else {
    logSyncError("SyncWriteDBAppInfoBlock", err);
  }
  m_Result.push(HHOP_CATEGORIES, ok ? 1 : 0, 0);
  return ok ? HH_DONE : HH_FAILED;
}

bool CPalmLSDataSrc::addRawRecord(const CRawRecordInfo& info, BYTE extraFlags) {
  CPalmRecordSet* set = palmRecords();
  CPalmRecord* r = nullptr;
  try {
    r = static_cast<CPalmRecord*>(set->newRecord(NEWREC_SCRATCH));
    r->m_RecId = info.m_RecId;
    r->m_RecIndex = info.m_RecIndex;
    r->m_CatIndex = static_cast<WORD>(info.m_CatId & 0x0F);
    r->m_Flags = static_cast<BYTE>(palmFlagsFromAttributes(info.m_Attribs) | extraFlags);
    r->setRawData(info.m_pBytes, info.m_RecSize);
  } catch (const CMemoryRunOut& e) {
    if (r) set->releaseRecord(r);
    reportMemoryRunOut(e);
    return false;
  } catch (const std::bad_alloc&) {
    if (r) set->releaseRecord(r);
    reportBadAlloc("CPalmLSDataSrc", "addRawRecord");
    return false;
  }
  set->add(r);
  return true;
}

bool CPalmLSDataSrc::forEachRecord(const std::function<bool(const CRawRecordInfo&)>& visit) {
  std::vector<BYTE> buffer(kPalmSharedBufferSize);
  for (WORD index = 0;; ++index) {
    CRawRecordInfo info = recordReadInfo(m_Handle, buffer.data());
    info.m_RecIndex = index;
    LONG err = sm().ReadRecordByIndex(&info);
    if (err == SYNCERR_NOT_FOUND) return true;
    if (err != 0) {
      logSyncError("SyncReadRecordByIndex", err);
      return false;
    }
    if (!visit(info)) return false;
    if (index == 0xFFFF) return true;
  }
}

bool CPalmLSDataSrc::forEachRecordById(const std::vector<DWORD>& ids,
                                       const std::function<bool(CRawRecordInfo&)>& visit) {
  std::vector<BYTE> buffer(kPalmSharedBufferSize);
  for (DWORD id : ids) {
    CRawRecordInfo info = recordReadInfo(m_Handle, buffer.data());
    info.m_RecId = id;
    LONG err = sm().ReadRecordById(&info);
    if (err == SYNCERR_NOT_FOUND) continue;
    if (err != 0) {
      logSyncError("SyncReadRecordById", err);
      return false;
    }
    if (!visit(info)) return false;
  }
  return true;
}

bool CPalmLSDataSrc::writeBackClean(CRawRecordInfo& info) {
  info.m_Attribs = static_cast<BYTE>(info.m_Attribs & ~(eRecAttrDirty | eRecAttrBusy));
  LONG err = sm().WriteRec(&info);
  if (err != 0) logSyncError("SyncWriteRec", err);
  return err == 0;
}

bool CPalmLSDataSrc::deleteRawRecord(DWORD recId) {
  CRawRecordInfo info{};
  info.m_FileHandle = m_Handle;
  info.m_RecId = recId;
  LONG err = sm().DeleteRec(&info);
  if (err != 0 && err != SYNCERR_NOT_FOUND) {
    logSyncError("SyncDeleteRec", err);
    return false;
  }
  return true;
}

int CPalmLSDataSrc::readAllRecords() {
  int n = 0;
  if (!forEachRecord([&n, this](const CRawRecordInfo& info) {
        if (!addRawRecord(info, PALMREC_MODIFIED)) return false;
        ++n;
        return true;
      }))
    n = -1;
  g_TraceObj.write(9, "readAllRecords(): Returning %d\n", n);
  return n;
}

bool CPalmLSDataSrc::ownsRecord(const CRawRecordInfo& /*info*/, CGWDataSrc* /*gw*/) { return true; }

bool CPalmLSDataSrc::forEachNextRecord(int catIndex, const std::function<bool(CRawRecordInfo&)>& visit) {
  std::vector<BYTE> buffer(kPalmSharedBufferSize);
  LONG err = sm().ResetRecordIndex(m_Handle);
  if (err != 0) {
    logSyncError("SyncResetRecordIndex", err);
    return false;
  }
  for (;;) {
    CRawRecordInfo info = recordReadInfo(m_Handle, buffer.data());
    if (catIndex >= 0) {
      info.m_CatId = static_cast<short>(catIndex);
      err = sm().ReadNextRecInCategory(&info);
    } else {
      err = sm().ReadNextModifiedRec(&info);
    }
    if (err == SYNCERR_NOT_FOUND) return true;
    if (err != 0) {
      logSyncError(catIndex >= 0 ? "SyncReadNextRecInCategory" : "SyncReadNextModifiedRec", err);
      return false;
    }
    if (!visit(info)) return false;
  }
}

int CPalmLSDataSrc::readModifiedRecords(CGWDataSrc* gw) {
  int n = 0;
  const bool read = forEachNextRecord(-1, [&](CRawRecordInfo& info) {
    if (!ownsRecord(info, gw)) return true;
    if (!addRawRecord(info, 0)) return false;
    ++n;
    return true;
  });
  return read ? n : -1;
}

int CPalmLSDataSrc::readCategoryRecords(int catIndex, BYTE extraFlags) {
  int n = 0;
  const bool read = forEachNextRecord(catIndex, [&](CRawRecordInfo& info) {
    // A record read already as modified stays once in the set: a second
    // copy would be synced twice.
    if (CHHRecord* known = palmRecords()->find(info.m_RecId)) {
      static_cast<CPalmRecord*>(known)->m_Flags |= extraFlags;
      return true;
    }
    if (!addRawRecord(info, extraFlags)) return false;
    ++n;
    return true;
  });
  return read ? n : -1;
}

int CPalmLSDataSrc::readAllRecordsInCategory(int catIndex) {
  int n = readCategoryRecords(catIndex, PALMREC_MODIFIED | PALMREC_IN_CHANGED_CATEGORY);
  g_TraceObj.write(9, "readAllRecordsInCategory(): Returning %d for cat index:%d\n", n, catIndex);
  return n;
}

bool CPalmLSDataSrc::readRecordsForModifiedGWRecs(CGWDataSrc* gw) {
  if (!gw) return true;
  BYTE buffer[kPalmSharedBufferSize];
  CPalmRecordSet* set = palmRecords();
  for (CGWRecRel* e = gw->getFirstRecRel(); e; e = gw->getNextRecRel()) {
    if (!(e->m_Attrib & GWATTR_CHANGED) || e->m_HHRecId == 0 || set->find(e->m_HHRecId)) continue;
    CRawRecordInfo info = recordReadInfo(m_Handle, buffer);
    info.m_RecId = e->m_HHRecId;
    LONG err = sm().ReadRecordById(&info);
    g_TraceObj.write(10, "readRecordsForModifiedGWRecs(): hhrecid:0x%x read. res:%d\n", e->m_HHRecId,
                     static_cast<int>(err));
    if (err == SYNCERR_NOT_FOUND || (err == 0 && !ownsRecord(info, gw))) {
      // Gone from the handheld, or out of the conduit's reach: the engine
      // sees it as deleted there.
      info = recordReadInfo(m_Handle, buffer);
      info.m_RecId = e->m_HHRecId;
      info.m_Attribs = eRecAttrDeleted;
      info.m_RecSize = 0;
    } else if (err != 0) {
      logSyncError("SyncReadRecordById", err);
      return false;
    }
    if (!addRawRecord(info, 0)) return false;
  }
  return true;
}

bool CPalmLSDataSrc::readRecords(CGWDataSrc* gw, bool all) {
  g_TraceObj.write(9, all ? "CPalmLSDataSrc: ---------Reading all records--------\n"
                          : "CPalmLSDataSrc: ---------Reading modified records-------\n");
  CPalmRecordSet* set = palmRecords();
  set->init();
  bool ok = true;
  if (all) {
    ok = readAllRecords() >= 0;
  } else {
    ok = readModifiedRecords(gw) >= 0;
    for (int i = 0; ok && i < kPalmCategoryCount; ++i)
      if (m_CatDirtyFlags & (1u << i)) ok = readAllRecordsInCategory(i) >= 0;
    ok = ok && readRecordsForModifiedGWRecs(gw);
  }
  set->traceRead();
  g_TraceObj.write(9, "CPalmLSDataSrc: ---------Records(%d records) read-----------\n", set->count());
  return ok;
}

namespace {

// Traces what a walk of the records to sync hands the engine.
void traceRecordToSync(const char* method, const CHHRecord* record) {
  if (!g_TraceObj.shouldTrace(10)) return;
  if (record) {
    g_TraceObj.doTrace("CPalmLSDataSrc::%s() returning true. *rec:\n", method);
    record->trace();
  } else {
    g_TraceObj.doTrace("CPalmLSDataSrc::%s() returning true. *rec: NULL\n", method);
  }
}

}  // namespace

bool CPalmLSDataSrc::getFirstRecordToSync(CHHRecord** record) {
  *record = m_Records->getFirst();
  traceRecordToSync("getFirstRecordToSync", *record);
  return true;
}

bool CPalmLSDataSrc::getNextRecordToSync(CHHRecord** record) {
  *record = m_Records->getNext();
  traceRecordToSync("getNextRecordToSync", *record);
  return true;
}

int CPalmLSDataSrc::writePalmRecord(CPalmRecord* record, DWORD op, CHHRecOpResult** result) {
  g_TraceObj.write(9, "makeRawRecord() called\n");
  CRawRecordInfo info{};
  info.m_FileHandle = m_Handle;
  info.m_RecId = record->m_RecId;
  info.m_Attribs = palmAttributesFromFlags(record->m_Flags);
  info.m_CatId = static_cast<short>(record->m_CatIndex & 0x0F);
  info.m_RecSize = record->dataSize();
  info.m_pBytes = record->buffer();
  info.m_dwReserved = 0;
  if (g_TraceObj.shouldTrace(10)) {
    g_TraceObj.doTrace("+++CRawRecordInfo+++ m_RecSize:%d\n", static_cast<int>(info.m_RecSize));
    g_TraceObj.doTrace("m_RecId:0x%x m_RecIndex:%d m_CatId:%d m_Attribs:%02x\n", info.m_RecId, info.m_RecIndex,
                       info.m_CatId, info.m_Attribs);
    if (info.m_pBytes && info.m_RecSize > 0)
      g_TraceObj.doHexTrace(info.m_pBytes, static_cast<int>(std::min<DWORD>(info.m_RecSize, kHexDumpBytes)));
  }
  m_Result.clear();
  *result = &m_Result;
  LONG err = sm().WriteRec(&info);
  if (err != 0) {
    logSyncError("SyncWriteRec", err);
    m_Result.push(op, 0, record->m_RecId);
    return HH_FAILED;
  }
  record->m_RecId = info.m_RecId;
  m_Result.push(op, 1, info.m_RecId);
  g_TraceObj.write(9, "writePalmRecord() OK, new record's recid:0x%x\n", info.m_RecId);
  return HH_DONE;
}

int CPalmLSDataSrc::updateRecord(CHHRecord* record, CHHRecOpResult** result) {
  return writePalmRecord(static_cast<CPalmRecord*>(record), HHOP_MODIFY, result);
}

int CPalmLSDataSrc::addRecord(CHHRecord* record, CHHRecOpResult** result) {
  return writePalmRecord(static_cast<CPalmRecord*>(record), HHOP_ADD, result);
}

int CPalmLSDataSrc::deleteRecord(DWORD recId, CHHRecOpResult** result) {
  CRawRecordInfo info{};
  info.m_FileHandle = m_Handle;
  info.m_RecId = recId;
  m_Result.clear();
  *result = &m_Result;
  LONG err = sm().DeleteRec(&info);
  if (err == SYNCERR_NOT_FOUND) {
    g_TraceObj.write(9, "CPalmLSDataSrc::deleteRecord(): Palm record of recid 0x%x not found. Assumed OK.\n", recId);
  } else if (err != 0) {
    logSyncError("SyncDeleteRec", err);
    m_Result.push(HHOP_DELETE, 0, recId);
    return HH_FAILED;
  }
  m_Result.push(HHOP_DELETE, 1, 0);
  return HH_DONE;
}

bool CPalmLSDataSrc::deleteAllRecord() {
  g_TraceObj.write(9, "deleteAllRecord() called\n");
  LONG err = sm().PurgeAllRecs(m_Handle);
  if (err != 0) {
    logSyncError("SyncPurgeAllRecs", err);
    return false;
  }
  return true;
}

int CPalmLSDataSrc::completeRecordOps(CHHRecOpResult** result) {
  m_Result.clear();
  *result = &m_Result;
  return HH_NOTHING;
}

bool CPalmLSDataSrc::cleanupSyncRecords(int /*count*/) {
  g_TraceObj.write(9, "cleanupSyncRecords() called. Clearing dirty bit and deleting archived records\n");
  LONG err = sm().ResetSyncFlags(m_Handle);
  if (err != 0) {
    logSyncError("SyncResetSyncFlags", err);
    return false;
  }
  err = sm().PurgeDeletedRecs(m_Handle);
  if (err != 0) {
    logSyncError("SyncPurgeDeletedRecs", err);
    return false;
  }
  return true;
}

void CPalmLSDataSrc::addLogEntry(int /*type*/, const char* text) {
  char entry[1024];
  copyDbcsText(entry, text ? text : "", sizeof entry, DBCS_CRLF_TO_LF, nullptr);
  LONG err = sm().AddLogEntry(entry);
  if (err != 0) logSyncError("SyncAddLogEntry", err);
}

// ---- Pairing note ----

bool CPalmLSDataSrc::openPairingNote(bool create, bool* found) {
  *found = true;
  if (m_NoteOpen) return true;
  LONG err = sm().OpenDB(kPairingDb, 0, &m_NoteHandle, kModeAppDb);
  if (err == SYNCERR_NOT_FOUND) {
    if (!create) {
      *found = false;
      return true;
    }
    err = createDatabase(kPairingDb, 0, kTimesCreator, &m_NoteHandle);
    if (err != 0) {
      logSyncError("SyncCreateDB", err);
      return false;
    }
  } else if (err != 0) {
    Log::writeLog(MSG_HH_DB_NOT_OPENED, kPairingDb, 0, static_cast<unsigned>(err));
    return false;
  }
  m_NoteOpen = true;
  return true;
}

void CPalmLSDataSrc::closePairingNote() {
  if (!m_NoteOpen) return;
  m_NoteOpen = false;
  if (LONG err = sm().CloseDB(m_NoteHandle); err != 0) logSyncError("SyncCloseDB", err);
}

bool CPalmLSDataSrc::writeNoteRecord(int category, const BYTE* data, DWORD size) {
  bool found = false;
  if (!openPairingNote(true, &found)) return false;
  CRawRecordInfo info{};
  info.m_FileHandle = m_NoteHandle;
  info.m_CatId = static_cast<short>(category);
  info.m_RecSize = size;
  info.m_pBytes = const_cast<BYTE*>(data);
  LONG err = sm().WriteRec(&info);
  if (err != 0) logSyncError("SyncWriteRec", err);
  return err == 0;
}

bool CPalmLSDataSrc::rewindNote() {
  LONG err = sm().ResetRecordIndex(m_NoteHandle);
  if (err != 0) logSyncError("SyncResetRecordIndex", err);
  return err == 0;
}

bool CPalmLSDataSrc::nextNoteRecord(int category, BYTE* buffer, CRawRecordInfo* info, bool* got) {
  *info = recordReadInfo(m_NoteHandle, buffer);
  info->m_CatId = static_cast<short>(category);
  LONG err = sm().ReadNextRecInCategory(info);
  *got = err == 0;
  if (err == 0 || err == SYNCERR_NOT_FOUND) return true;
  logSyncError("SyncReadNextRecInCategory", err);
  return false;
}

bool CPalmLSDataSrc::purgeNoteCategory(int category) {
  LONG err = sm().PurgeAllRecsInCategory(m_NoteHandle, static_cast<short>(category));
  if (err != 0) logSyncError("SyncPurgeAllRecsInCategory", err);
  return err == 0;
}

bool CPalmLSDataSrc::recordExists(DWORD recId, bool* exists) {
  BYTE buffer[kPalmSharedBufferSize];
  CRawRecordInfo info = recordReadInfo(m_Handle, buffer);
  info.m_RecId = recId;
  LONG err = sm().ReadRecordById(&info);
  *exists = err == 0;
  if (err == 0 || err == SYNCERR_NOT_FOUND) return true;
  logSyncError("SyncReadRecordById", err);
  return false;
}

// The new record's id is chosen here rather than by the handheld, so that the
// note can name it before the record exists. Ids are tried upwards from a
// random start in the upper half of the id range, away from the ids the
// handheld hands out from below.
bool CPalmLSDataSrc::reservePairings(const std::vector<DWORD>& gwRecIds, std::vector<DWORD>& hhRecIds) {
  hhRecIds.assign(gwRecIds.size(), 0);
  if (gwRecIds.empty()) return true;
  if (gwRecIds.size() > kPalmSharedBufferSize / kPairingRecordSize) {
    g_TraceObj.write(1, "*ERR* PalmDataSrc|%d pairings do not fit one note record\n",
                     static_cast<int>(gwRecIds.size()));
    return false;
  }
  if (m_NextCandidateId == 0) m_NextCandidateId = 0x800000 + std::random_device{}() % 0x700000;
  std::vector<BYTE> raw(gwRecIds.size() * kPairingRecordSize);
  for (size_t i = 0; i < gwRecIds.size(); ++i) {
    DWORD id = 0;
    for (DWORD tried = 0; id == 0; ++tried) {
      if (tried == kMaxRecordId) {
        g_TraceObj.write(1, "*ERR* PalmDataSrc|no free record id for a new record\n");
        return false;
      }
      DWORD candidate = m_NextCandidateId;
      m_NextCandidateId = candidate >= kMaxRecordId ? 1 : candidate + 1;
      bool used = false;
      if (!recordExists(candidate, &used)) return false;
      if (!used) id = candidate;
    }
    hhRecIds[i] = id;
    writeBE32(raw.data() + i * kPairingRecordSize, id);
    writeBE32(raw.data() + i * kPairingRecordSize + 4, gwRecIds[i]);
  }
  if (!writeNoteRecord(m_Times->slot(), raw.data(), static_cast<DWORD>(raw.size()))) {
    hhRecIds.assign(gwRecIds.size(), 0);
    return false;
  }
  m_NoteHasPairs = true;
  g_TraceObj.write(10, "PalmDataSrc|pairings noted: %d new record ids from 0x%x\n", static_cast<int>(gwRecIds.size()),
                   hhRecIds[0]);
  // The note must be on the disk before any of the adds it covers: the
  // databases' files reach it in no fixed order, and an add kept without
  // its note would be sent to the server again as a new record.
  return makeDurable();
}

bool CPalmLSDataSrc::makeDurable() {
  if (!sm().FlushDBs) return true;
  LONG err = sm().FlushDBs();
  if (err != 0) logSyncError("SyncFlushDBs", err);
  return err == 0;
}

bool CPalmLSDataSrc::readPairings(std::vector<HHPairing>& pairs) {
  pairs.clear();
  bool found = false;
  if (!openPairingNote(false, &found)) return false;
  if (!found) return true;
  if (!rewindNote()) return false;
  BYTE buffer[kPalmSharedBufferSize];
  for (;;) {
    CRawRecordInfo info{};
    bool got = false;
    if (!nextNoteRecord(m_Times->slot(), buffer, &info, &got)) return false;
    if (!got) break;
    m_NoteHasPairs = true;
    if (info.m_RecSize % kPairingRecordSize != 0)
      g_TraceObj.write(1, "*ERR* PalmDataSrc|pairing note record of %d bytes: its last %d bytes ignored\n",
                       static_cast<int>(info.m_RecSize), static_cast<int>(info.m_RecSize % kPairingRecordSize));
    for (DWORD at = 0; at + kPairingRecordSize <= info.m_RecSize; at += kPairingRecordSize) {
      const HHPairing p{readBE32(buffer + at), readBE32(buffer + at + 4)};
      bool exists = false;
      if (!recordExists(p.m_HHRecId, &exists)) return false;
      g_TraceObj.write(10, "PalmDataSrc|pairing note: record id:0x%x server record:0x%x %s\n", p.m_HHRecId, p.m_GWRecId,
                       exists ? "added" : "never added");
      if (exists) pairs.push_back(p);
    }
  }
  return true;
}

bool CPalmLSDataSrc::clearPairings() {
  if (!m_NoteHasPairs) return true;
  bool found = false;
  if (!openPairingNote(false, &found)) return false;
  if (found && !purgeNoteCategory(m_Times->slot())) return false;
  m_NoteHasPairs = false;
  return true;
}

bool CPalmLSDataSrc::noteFirstSyncBegun() {
  const BYTE mark[kPairingRecordSize] = {};
  if (!writeNoteRecord(kFirstSyncMarkCategory + m_Times->slot(), mark, sizeof mark)) return false;
  m_FirstSyncMark = 1;
  return true;
}

bool CPalmLSDataSrc::readFirstSyncNote(bool* begun) {
  *begun = false;
  if (m_FirstSyncMark < 0) {
    bool found = false;
    if (!openPairingNote(false, &found)) return false;
    bool marked = false;
    if (found) {
      BYTE buffer[kPalmSharedBufferSize];
      CRawRecordInfo info{};
      if (!rewindNote() || !nextNoteRecord(kFirstSyncMarkCategory + m_Times->slot(), buffer, &info, &marked))
        return false;
    }
    m_FirstSyncMark = marked ? 1 : 0;
  }
  g_TraceObj.write(10, "PalmDataSrc|first sync mark: %s\n", m_FirstSyncMark ? "a first sync began" : "none");
  *begun = m_FirstSyncMark == 1;
  return true;
}

bool CPalmLSDataSrc::clearFirstSyncNote() {
  bool begun = false;
  if (!readFirstSyncNote(&begun)) return false;
  m_ClearMarkOnClose = begun;
  return true;
}
