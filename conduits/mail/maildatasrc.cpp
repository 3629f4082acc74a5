// The Mail data source: the send, filed and receive categories and the Mail
// application's HotSync preference.
#include "conduits/mail/maildatasrc.h"

#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "log/msgids.h"
#include "synccore/gwdatasrc.h"

namespace {

const SyncManager& sm() { return loadedSyncManager("PalmLSMailDataSrc"); }

constexpr DWORD kMailCreator = 0x6D61696C;  // 'mail'
constexpr WORD kMailPrefId = 1;             // the local HotSync's preference
constexpr WORD kPrefBufferSize = 65534;

}  // namespace

bool parseMailSyncPref(const BYTE* data, int size, MailSyncPref& pref) {
  pref = MailSyncPref{};
  if (!data || size <= 0) return true;
  pref.syncType = data[0];
  if (size > 1) pref.highPriority = data[1];
  if (size > 2) pref.includeMatching = data[2];
  if (size > 5) pref.truncation = static_cast<WORD>(data[4] << 8 | data[5]);
  if (pref.syncType != MAILSYNC_FILTER) return true;
  int pos = 6;
  int needed = 9;
  bool complete = true;
  for (char* text : {pref.filterTo, pref.filterFrom, pref.filterSubject}) {
    // A text without its NUL inside the preference runs to its end.
    const int avail = std::max(0, size - pos);
    const BYTE* start = data + std::min(pos, size);
    const void* nul = std::memchr(start, '\0', static_cast<size_t>(avail));
    const int len = nul ? static_cast<int>(static_cast<const BYTE*>(nul) - start) : avail;
    if (!nul) complete = false;
    std::memcpy(text, start, static_cast<size_t>(std::min(len, kMailFilterMax)));
    text[std::min(len, kMailFilterMax)] = '\0';
    needed += len;
    pos += len + 1;
  }
  if (complete) return true;
  Log::writeLog(MSG_MAIL_PREF_TOO_SHORT, size, needed);
  return false;
}

PalmLSMailDataSrc::PalmLSMailDataSrc(CPalmCategoryList* categories, CPalmRecordSet* records, SyncTimeStore* times,
                                     const char* dbName, int cardNo, DWORD creator, const char* sendCategory,
                                     const char* filedCategory, const char* receiveCategory)
    : CPalmLSDataSrc(categories, records, times, dbName, cardNo, creator),
      m_SendName(sendCategory ? sendCategory : ""),
      m_FiledName(filedCategory ? filedCategory : ""),
      m_ReceiveName(receiveCategory ? receiveCategory : "") {}

bool PalmLSMailDataSrc::openDB() {
  if (!CPalmLSDataSrc::openDB()) return false;
  std::vector<BYTE> buffer(kPrefBufferSize);
  CRawPreferenceInfo info{};
  info.m_Creator = kMailCreator;
  info.m_PrefId = kMailPrefId;
  info.m_ReqBytes = kPrefBufferSize;
  info.m_bBackedUp = 1;
  info.m_nBufSize = kPrefBufferSize;
  info.m_pBuffer = buffer.data();
  LONG err = sm().ReadAppPreference(&info);
  if (err != 0) {
    g_TraceObj.write(1, "PalmLSMailDataSrc *WARN* SyncReadAppPreference() in error. res:0x%x\n",
                     static_cast<unsigned>(err));
    storePref(nullptr, 0);
    return true;
  }
  storePref(buffer.data(), std::min<int>(info.m_RetBytes, kPrefBufferSize));
  return true;
}

void PalmLSMailDataSrc::storePref(const BYTE* data, int size) {
  if (g_TraceObj.shouldTrace(10)) {
    if (size > 0) {
      g_TraceObj.doTrace("PalmDataSrc|Store mail sync setting info. setting info(%d bytes):\n", size);
      g_TraceObj.doHexTrace(data, size);
    } else {
      g_TraceObj.doTrace("PalmDataSrc|Store mail sync setting info. no setting info\n");
    }
  }
  parseMailSyncPref(data, size, m_Pref);
}

WORD PalmLSMailDataSrc::determineHowToSync(WORD flags) {
  return m_Pref.syncType == MAILSYNC_SEND_ONLY ? static_cast<WORD>(flags | SYNC_ONE_WAY) : flags;
}

void PalmLSMailDataSrc::findCategories() {
  CPalmCategoryList* list = palmCategories();
  m_SendCat = m_SendName.empty() ? -1 : list->indexOf(m_SendName.c_str());
  m_FiledCat = m_FiledName.empty() ? -1 : list->indexOf(m_FiledName.c_str());
  m_ReceiveCat = m_ReceiveName.empty() ? -1 : list->indexOf(m_ReceiveName.c_str());
}

bool PalmLSMailDataSrc::readRecords(CGWDataSrc* /*gw*/, bool /*all*/) {
  CPalmRecordSet* set = palmRecords();
  set->init();
  m_SyncOrder.clear();
  m_LastReturned = nullptr;
  findCategories();
  int n = 0;
  if (m_SendCat >= 0) {
    g_TraceObj.write(9, "PalmLSMailDataSrc ---Reading all records in Send Category---\n");
    n = readCategoryRecords(m_SendCat, PALMREC_MODIFIED);
  }
  set->traceRead();
  g_TraceObj.write(9, "PalmLSMailDataSrc ---------Records(%d records) read-----------\n", set->count());
  return n >= 0 && (n == 0 || makeFiledCategory());
}

// Checked before anything is sent: mail sent with nowhere to file it would
// stay in the send category and go out again next time.
bool PalmLSMailDataSrc::makeFiledCategory() {
  if (m_FiledCat >= 0) return true;
  CHHCategory* added = m_FiledName.empty() ? nullptr : palmCategories()->add(m_FiledName.c_str());
  if (!added) {
    g_TraceObj.write(1, "PalmLSMailDataSrc *ERR* no category for \"%s\": nothing sent\n", m_FiledName.c_str());
    Log::writeLog(MSG_MAIL_NO_FILED_CATEGORY, m_FiledName.c_str());
    return false;
  }
  CHHRecOpResult* result = nullptr;
  if (writeCategories(&result) == HH_FAILED) return false;
  m_FiledCat = static_cast<CPalmCategory*>(added)->m_Index;
  return true;
}

void PalmLSMailDataSrc::remember(CHHRecord* record) {
  m_LastReturned = record;
  if (record) m_SyncOrder.push_back(record->getRecordId());
}

bool PalmLSMailDataSrc::getFirstRecordToSync(CHHRecord** record) {
  m_SyncOrder.clear();
  bool ok = CPalmLSDataSrc::getFirstRecordToSync(record);
  remember(ok ? *record : nullptr);
  return ok;
}

bool PalmLSMailDataSrc::getNextRecordToSync(CHHRecord** record) {
  bool ok = CPalmLSDataSrc::getNextRecordToSync(record);
  remember(ok ? *record : nullptr);
  return ok;
}

bool PalmLSMailDataSrc::deleteAllRecord() {
  g_TraceObj.write(9, "deleteAllRecord() called\n");
  findCategories();
  if (m_ReceiveCat < 0) return true;
  LONG err = sm().PurgeAllRecsInCategory(m_Handle, static_cast<short>(m_ReceiveCat));
  if (err != 0) {
    logSyncError("SyncPurgeAllRecsInCategory", err);
    return false;
  }
  return true;
}

bool PalmLSMailDataSrc::cleanupSyncRecords(int count) {
  int moved = 0;
  int handled = 0;  // sent mails met, filed or not
  bool failed = false;
  if (count > 0 && m_FiledCat < 0) {  // readRecords made sure of it
    g_TraceObj.write(1, "PalmLSMailDataSrc error in moving sent mail to filed category(%d mails moved)\n", moved);
    return false;
  }
  // The order the engine sent them in: a refusal at position p means the
  // p - 1 mails handed over before it went out, and only those.
  for (DWORD id : m_SyncOrder) {
    if (handled >= count) break;
    auto* r = static_cast<CPalmRecord*>(palmRecords()->find(id));
    if (!r || !(r->m_SyncMark & HHMARK_MAIL_SENT)) continue;
    ++handled;
    r->m_CatIndex = static_cast<WORD>(m_FiledCat);
    // Filed by the conduit, not changed by the user.
    r->m_Flags = static_cast<BYTE>(r->m_Flags & ~PALMREC_MODIFIED);
    CHHRecOpResult* result = nullptr;
    // The others are still filed: each one left behind is sent again by the
    // next sync.
    if (writePalmRecord(r, 0, &result) != HH_DONE) {
      failed = true;
      continue;
    }
    ++moved;
  }
  if (failed) {
    g_TraceObj.write(1, "PalmLSMailDataSrc error in moving sent mail to filed category(%d mails moved)\n", moved);
    return false;
  }
  g_TraceObj.write(9, "PalmLSMailDataSrc sent mail moved to filed category(%d mails moved)\n", moved);
  return true;
}
