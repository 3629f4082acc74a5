// Memos: lines "id,ts.N,name,data"; commits "&i=..&n=..&d=..[&s=key]".
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

const char kUntitled[] = "\x96\xB3\x91\xE8";

std::string CMemoPage::Describe(const __MEMO_DATA& memo) const { return memo.pszName ? memo.pszName : ""; }

std::unique_ptr<CMemoPage::Record> CMemoPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  const std::string& id = f.NextField();
  const std::string& stamp = f.NextField();
  const std::string& name = f.NextField();
  const std::string& data = f.NextField();
  if (!IsNumber(id.c_str()) || name.empty()) return nullptr;
  auto memo = std::make_unique<Record>();
  memo->nID = static_cast<DWORD>(NumberValue(id.c_str()));
  memo->nTimeStamp = ParseTimeStamp(stamp.c_str());
  memo->pszName = DupString(name);
  memo->pszData = DupString(data);
  return memo;
}

bool CMemoPage::WriteRecord(std::string& body, Record& memo, DWORD key) {
  // The server keeps no memo without a title: one is given here, and kept.
  if (!memo.pszName || !*memo.pszName) ReplaceString(memo.pszName, kUntitled);
  WriteField(body, "i", static_cast<LONG>(memo.nID));
  if (!WriteField(body, "n", memo.pszName) || !WriteField(body, "d", memo.pszData)) return false;
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  return true;
}

// ---------------------------------------------------------------------------

CMemoConnection::~CMemoConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) s->m_MemoPage.Reset();
}

GW_DATA_MEMBERS(CMemoConnection, m_MemoPage, __MEMO_DATA)

const __MEMO_DATA* CMemoConnection::Set(unsigned long nID, long nTimeStamp, const char* pszName, const char* pszData,
                                        unsigned long key) {
  // The texts are only read by the copy that Set makes.
  __MEMO_DATA memo{static_cast<DWORD>(nID), static_cast<LONG>(nTimeStamp), const_cast<char*>(pszName ? pszName : ""),
                   const_cast<char*>(pszData ? pszData : "")};
  return Set(&memo, key);
}
