// Schedules: lines "id,ts.N,valid,set,end,start time,end time,type,day,
// private,banner,event,detail,memo,exception dates..."; a changed schedule is
// named to the server by the date it was loaded with ("pd"), a removed one by
// its id and start date.
#include <algorithm>
#include <cstring>
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"
#include "platform/runrecord.h"

const CODE_NAME kRepeatTypes[] = {
    {GWREPEAT_NONE, ""},     {GWREPEAT_DAILY, "d"}, {GWREPEAT_N, "n"}, {GWREPEAT_WEEKLY, "w"},
    {GWREPEAT_MONTHLY, "m"}, {GWREPEAT_1, "1"},     {GWREPEAT_2, "2"}, {GWREPEAT_3, "3"},
    {GWREPEAT_4, "4"},       {GWREPEAT_L, "l"},     {0, nullptr},
};

__OFFICE_DATE ScheduleIdentityDate(const __SCHEDULE_DATA& s) {
  return s.nType == GWREPEAT_NONE || s.nType == GWREPEAT_UNKNOWN ? s.dateSet : s.dateValid;
}

namespace {

__SCHEDULE_DATA* NewSchedule() {
  auto* s = new __SCHEDULE_DATA{};
  s->timeSet = {-1, -1};
  s->timeEnd = {-1, -1};
  s->nDay = -1;
  s->pszEvent = DupString(nullptr);
  s->pszDetail = DupString(nullptr);
  s->pszMemo = DupString(nullptr);
  return s;
}

void FreeSchedule(__SCHEDULE_DATA* s) {
  FreeString(s->pszEvent);
  FreeString(s->pszDetail);
  FreeString(s->pszMemo);
  delete[] s->pExceptions;
  delete s;
}

char* Dup(const std::string& s) { return DupString(s.c_str(), static_cast<int>(s.size())); }

}  // namespace

CSchedulePage::~CSchedulePage() { Reset(); }

void CSchedulePage::Reset() {
  for (__SCHEDULE_DATA* s : m_RemovedRecords) FreeSchedule(s);
  m_RemovedRecords.clear();
  CDataPage::Reset();
}

void CSchedulePage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncCalendar";
  AppendLabel(url);
}

void* CSchedulePage::ParseItem(const std::string& line) {
  CFieldList f(line);
  if (!IsNumber(f[0].c_str())) return nullptr;
  std::unique_ptr<__SCHEDULE_DATA, void (*)(__SCHEDULE_DATA*)> s(NewSchedule(), FreeSchedule);
  s->nID = static_cast<DWORD>(NumberValue(f[0].c_str()));
  s->nTimeStamp = ParseTimeStamp(f[1].c_str());
  ParseDate(f[2].c_str(), &s->dateValid);
  ParseDate(f[3].c_str(), &s->dateSet);
  ParseDate(f[4].c_str(), &s->dateEnd);
  ParseTime(f[5].c_str(), &s->timeSet);
  ParseTime(f[6].c_str(), &s->timeEnd);
  s->nType = NameToCode(f[7].c_str(), kRepeatTypes, true, GWREPEAT_UNKNOWN);
  // A day number too long for 32 bits is no day at all.
  s->nDay = IsNumber(f[8].c_str()) && f[8].size() <= 9 ? NumberValue(f[8].c_str()) : -1;
  s->bPrivate = f[9].empty() ? 0 : 1;
  s->bBanner = f[10].empty() ? 0 : 1;
  s->pszEvent = Dup(f[11]);
  s->pszDetail = Dup(f[12]);
  s->pszMemo = Dup(f[13]);
  std::vector<__OFFICE_DATE> exceptions;
  for (size_t i = 14; i < f.GetCount() && !f[i].empty(); ++i) {
    __OFFICE_DATE d;
    if (ParseDate(f[i].c_str(), &d)) exceptions.push_back(d);
  }
  if (!exceptions.empty()) {
    s->pExceptions = new __OFFICE_DATE[exceptions.size()];
    std::copy(exceptions.begin(), exceptions.end(), s->pExceptions);
    s->nExceptionCount = static_cast<LONG>(exceptions.size());
  }
  s->datePrev = ScheduleIdentityDate(*s);
  return s.release();
}

void CSchedulePage::DeleteItem(void* item) { FreeSchedule(static_cast<__SCHEDULE_DATA*>(item)); }

void* CSchedulePage::CreateItem(const void* record) {
  __SCHEDULE_DATA* s = nullptr;
  try {
    s = NewSchedule();
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return nullptr;
  }
  if (!CopyItem(s, record)) {
    FreeSchedule(s);
    return nullptr;
  }
  return s;
}

int CSchedulePage::CopyItem(void* item, const void* record) {
  auto* to = static_cast<__SCHEDULE_DATA*>(item);
  auto* from = static_cast<const __SCHEDULE_DATA*>(record);
  char* texts[3] = {nullptr, nullptr, nullptr};
  __OFFICE_DATE* exceptions = nullptr;
  // A count without dates (or a negative one) carries no exceptions.
  const LONG count = from->pExceptions && from->nExceptionCount > 0 ? from->nExceptionCount : 0;
  try {
    texts[0] = DupString(from->pszEvent);
    texts[1] = DupString(from->pszDetail);
    texts[2] = DupString(from->pszMemo);
    if (count > 0) {
      exceptions = new __OFFICE_DATE[static_cast<size_t>(count)];
      std::copy(from->pExceptions, from->pExceptions + count, exceptions);
    }
  } catch (const std::bad_alloc&) {
    for (char* t : texts) FreeString(t);
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  FreeString(to->pszEvent);
  FreeString(to->pszDetail);
  FreeString(to->pszMemo);
  delete[] to->pExceptions;
  to->pszEvent = texts[0];
  to->pszDetail = texts[1];
  to->pszMemo = texts[2];
  to->pExceptions = exceptions;
  to->nExceptionCount = count;
  to->nTimeStamp = from->nTimeStamp;
  to->dateValid = from->dateValid;
  to->dateSet = from->dateSet;
  to->dateEnd = from->dateEnd;
  to->timeSet = from->timeSet;
  to->timeEnd = from->timeEnd;
  to->nType = from->nType;
  to->nDay = from->nDay;
  to->bPrivate = from->bPrivate;
  to->bBanner = from->bBanner;
  return 1;
}

bool CSchedulePage::WriteRecord(std::string& body, void* item, DWORD key) {
  auto* s = static_cast<__SCHEDULE_DATA*>(item);
  WriteField(body, "i", static_cast<LONG>(s->nID));
  if (s->nID != 0) WriteField(body, "pd", s->datePrev);
  WriteField(body, "sd", s->dateSet);
  WriteField(body, "ed", s->dateEnd);
  WriteField(body, "st", s->timeSet);
  WriteField(body, "et", s->timeEnd);
  const char* type = s->nType > 0 ? CodeToName(s->nType, kRepeatTypes) : nullptr;
  if (type) {
    WriteField(body, "t", type);
    if (s->nDay >= 0) WriteField(body, "n", s->nDay);
  }
  WriteFlag(body, "p", s->bPrivate != 0);
  WriteFlag(body, "b", s->bBanner != 0);
  if (!WriteField(body, "c", s->pszEvent) || !WriteField(body, "d", s->pszDetail) ||
      !WriteField(body, "m", s->pszMemo))
    return false;
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  for (LONG i = 0; i < s->nExceptionCount; ++i) WriteField(body, "e", s->pExceptions[i]);
  return true;
}

std::string CSchedulePage::Describe(const void* item) const {
  const auto* s = static_cast<const __SCHEDULE_DATA*>(item);
  return std::to_string(s->dateSet.lYear) + "/" + std::to_string(s->dateSet.lMonth) + "/" +
         std::to_string(s->dateSet.lDay) + " " + (s->pszEvent ? s->pszEvent : "");
}

std::vector<CPageRequest::CommitLine> CSchedulePage::DescribeCommit() {
  std::vector<CommitLine> lines;
  for (size_t i = 0; i < m_RemovedRecords.size(); ++i) {
    const __SCHEDULE_DATA* s = m_RemovedRecords[i];
    const DWORD handheldId = i < m_RemovedAccounts.size() ? m_RemovedAccounts[i].handheldId : 0;
    lines.push_back({{"server", "delete", CommitPageName(), std::to_string(s->nID), Describe(s), EarlierLine(s),
                      std::to_string(handheldId)}});
  }
  for (CommitLine& l : CDataPage::DescribeCommit()) lines.push_back(std::move(l));
  return lines;
}

void CSchedulePage::WriteRemoved(std::string& body) {
  for (const __SCHEDULE_DATA* s : m_RemovedRecords) {
    WriteField(body, "i", static_cast<LONG>(s->nID));
    WriteField(body, "pd", s->dateSet);
  }
}

int CSchedulePage::Remove(DWORD id) {
  long i = id ? IndexOf(id) : -1;
  if (i < 0) {
    SetLastErrorCode(GWERR_NOT_FOUND);
    return 0;
  }
  auto* s = static_cast<__SCHEDULE_DATA*>(m_Items[static_cast<size_t>(i)]);
  // Both may throw: nothing changed yet. The accounts stay parallel.
  if (platform::runRecordActive()) m_RemovedAccounts.push_back(RemovedAccount(s));
  try {
    m_RemovedRecords.push_back(s);
  } catch (const std::bad_alloc&) {
    if (m_RemovedAccounts.size() > m_RemovedRecords.size()) m_RemovedAccounts.pop_back();
    throw;
  }
  m_Items.erase(m_Items.begin() + i);
  if (m_Pos != SIZE_MAX && static_cast<size_t>(i) < m_Pos) --m_Pos;
  std::erase(m_Modified, static_cast<void*>(s));
  return 1;
}

int CSchedulePage::ParseCommitReply(CReplyReader& reply) {
  int result = CDataPage::ParseCommitReply(reply);
  // A refused commit changed nothing on the server: the removals stay
  // pending with the other changes, and the records keep the dates the
  // server knows them by.
  if (!result) return 0;
  for (void* item : Items()) {
    auto* s = static_cast<__SCHEDULE_DATA*>(item);
    s->datePrev = ScheduleIdentityDate(*s);
  }
  for (__SCHEDULE_DATA* s : m_RemovedRecords) {
    m_Lines.erase(s);
    FreeSchedule(s);
  }
  m_RemovedRecords.clear();
  return 1;
}

// ---------------------------------------------------------------------------

CScheduleConnection::~CScheduleConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) s->m_SchedulePage.Reset();
}

GW_DATA_MEMBERS(CScheduleConnection, m_SchedulePage, __SCHEDULE_DATA)

const __SCHEDULE_DATA* CScheduleConnection::Set(
    unsigned long nID, long nTimeStamp, const __OFFICE_DATE& dateSet, const __OFFICE_DATE& dateEnd,
    const __OFFICE_TIME& timeSet, const __OFFICE_TIME& timeEnd, long nType, long nDay,
    const char* pszEvent, const char* pszDetail, const char* pszMemo, long nExceptionCount,
    __OFFICE_DATE* exceptions, int bPrivate, unsigned long key) {
  // The texts and dates are only read by the copy that Set makes.
  __SCHEDULE_DATA s{};
  s.nID = static_cast<DWORD>(nID);
  s.nTimeStamp = static_cast<LONG>(nTimeStamp);
  s.dateSet = dateSet;
  s.dateEnd = dateEnd;
  s.timeSet = timeSet;
  s.timeEnd = timeEnd;
  s.nType = static_cast<LONG>(nType);
  s.nDay = static_cast<LONG>(nDay);
  s.pszEvent = const_cast<char*>(pszEvent ? pszEvent : "");
  s.pszDetail = const_cast<char*>(pszDetail ? pszDetail : "");
  s.pszMemo = const_cast<char*>(pszMemo ? pszMemo : "");
  s.nExceptionCount = static_cast<LONG>(nExceptionCount);
  s.pExceptions = exceptions;
  s.bPrivate = bPrivate;
  return Set(&s, key);
}
