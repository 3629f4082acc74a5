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

void CSchedulePage::Reset() {
  m_RemovedRecords.clear();
  CDataPage::Reset();
}

std::unique_ptr<CSchedulePage::Record> CSchedulePage::ParseItem(const std::string& line) {
  CFieldList f(line);
  if (!IsNumber(f[0].c_str())) return nullptr;
  auto s = std::make_unique<Record>();
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
  s->pszEvent = DupString(f[11]);
  s->pszDetail = DupString(f[12]);
  s->pszMemo = DupString(f[13]);
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
  return s;
}

bool CSchedulePage::WriteRecord(std::string& body, Record& s, DWORD key) {
  WriteField(body, "i", static_cast<LONG>(s.nID));
  if (s.nID != 0) WriteField(body, "pd", s.datePrev);
  WriteField(body, "sd", s.dateSet);
  WriteField(body, "ed", s.dateEnd);
  WriteField(body, "st", s.timeSet);
  WriteField(body, "et", s.timeEnd);
  const char* type = s.nType > 0 ? CodeToName(s.nType, kRepeatTypes) : nullptr;
  if (type) {
    WriteField(body, "t", type);
    if (s.nDay >= 0) WriteField(body, "n", s.nDay);
  }
  WriteFlag(body, "p", s.bPrivate != 0);
  WriteFlag(body, "b", s.bBanner != 0);
  if (!WriteField(body, "c", s.pszEvent) || !WriteField(body, "d", s.pszDetail) || !WriteField(body, "m", s.pszMemo))
    return false;
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  for (LONG i = 0; i < s.nExceptionCount; ++i) WriteField(body, "e", s.pExceptions[i]);
  return true;
}

std::string CSchedulePage::Describe(const __SCHEDULE_DATA& s) const {
  return std::to_string(s.dateSet.lYear) + "/" + std::to_string(s.dateSet.lMonth) + "/" +
         std::to_string(s.dateSet.lDay) + " " + (s.pszEvent ? s.pszEvent : "");
}

std::vector<CPageRequest::CommitLine> CSchedulePage::DescribeCommit() {
  std::vector<CommitLine> lines;
  for (size_t i = 0; i < m_RemovedRecords.size(); ++i) {
    const Record* s = m_RemovedRecords[i].get();
    const DWORD handheldId = i < m_RemovedAccounts.size() ? m_RemovedAccounts[i].handheldId : 0;
    lines.push_back({{"server", "delete", CommitPageName(), std::to_string(s->nID), Describe(*s), EarlierLine(s),
                      std::to_string(handheldId)}});
  }
  for (CommitLine& l : CDataPage::DescribeCommit()) lines.push_back(std::move(l));
  return lines;
}

void CSchedulePage::WriteRemoved(std::string& body) {
  for (const auto& s : m_RemovedRecords) {
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
  Record* s = m_Items[static_cast<size_t>(i)].get();
  // Both may throw: nothing changed yet. The accounts stay parallel.
  if (platform::runRecordActive()) m_RemovedAccounts.push_back(RemovedAccount(*s));
  try {
    m_RemovedRecords.reserve(m_RemovedRecords.size() + 1);
  } catch (const std::bad_alloc&) {
    if (m_RemovedAccounts.size() > m_RemovedRecords.size()) m_RemovedAccounts.pop_back();
    throw;
  }
  m_RemovedRecords.push_back(TakeItem(static_cast<size_t>(i)));  // cannot throw after the reserve
  if (m_ModifiedSet.erase(s)) std::erase(m_Modified, s);
  return 1;
}

int CSchedulePage::ParseCommitReply(CReplyReader& reply) {
  int result = CDataPage::ParseCommitReply(reply);
  // A refused commit changed nothing on the server: the removals stay
  // pending with the other changes, and the records keep the dates the
  // server knows them by.
  if (!result) return 0;
  for (const auto& s : m_Items) s->datePrev = ScheduleIdentityDate(*s);
  for (const auto& s : m_RemovedRecords) m_Lines.erase(s.get());
  m_RemovedRecords.clear();
  return 1;
}

// ---------------------------------------------------------------------------

CScheduleConnection::~CScheduleConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) s->m_SchedulePage.Reset();
}

GW_DATA_MEMBERS(CScheduleConnection, m_SchedulePage, __SCHEDULE_DATA)

const __SCHEDULE_DATA* CScheduleConnection::Set(unsigned long nID, long nTimeStamp, const __OFFICE_DATE& dateSet,
                                                const __OFFICE_DATE& dateEnd, const __OFFICE_TIME& timeSet,
                                                const __OFFICE_TIME& timeEnd, long nType, long nDay,
                                                const char* pszEvent, const char* pszDetail, const char* pszMemo,
                                                long nExceptionCount, __OFFICE_DATE* exceptions, int bPrivate,
                                                unsigned long key) {
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
