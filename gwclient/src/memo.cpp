// Memos: lines "id,ts.N,name,data"; commits "&i=..&n=..&d=..[&s=key]".
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

const char kUntitled[] = "\x96\xB3\x91\xE8";

namespace {

__MEMO_DATA* NewMemo() { return new __MEMO_DATA{0, 0, DupString(nullptr), DupString(nullptr)}; }

void FreeMemo(__MEMO_DATA* memo) {
  FreeString(memo->pszName);
  FreeString(memo->pszData);
  delete memo;
}

}  // namespace

CMemoPage::~CMemoPage() { Reset(); }

std::string CMemoPage::Describe(const void* item) const {
  const char* name = static_cast<const __MEMO_DATA*>(item)->pszName;
  return name ? name : "";
}

void CMemoPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncMemo";
  AppendLabel(url);
}

void* CMemoPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  const std::string& id = f.NextField();
  const std::string& stamp = f.NextField();
  const std::string& name = f.NextField();
  const std::string& data = f.NextField();
  if (!IsNumber(id.c_str()) || name.empty()) return nullptr;
  std::unique_ptr<__MEMO_DATA, void (*)(__MEMO_DATA*)> memo(NewMemo(), FreeMemo);
  memo->nID = static_cast<DWORD>(NumberValue(id.c_str()));
  memo->nTimeStamp = ParseTimeStamp(stamp.c_str());
  memo->pszName = DupString(name.c_str(), static_cast<int>(name.size()));
  memo->pszData = DupString(data.c_str(), static_cast<int>(data.size()));
  return memo.release();
}

void CMemoPage::DeleteItem(void* item) { FreeMemo(static_cast<__MEMO_DATA*>(item)); }

void* CMemoPage::CreateItem(const void* record) {
  __MEMO_DATA* memo = nullptr;
  try {
    memo = NewMemo();
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return nullptr;
  }
  if (!CopyItem(memo, record)) {
    FreeMemo(memo);
    return nullptr;
  }
  return memo;
}

int CMemoPage::CopyItem(void* item, const void* record) {
  auto* to = static_cast<__MEMO_DATA*>(item);
  auto* from = static_cast<const __MEMO_DATA*>(record);
  try {
    char* name = DupString(from->pszName);
    char* data = nullptr;
    try {
      data = DupString(from->pszData);
    } catch (...) {
      FreeString(name);
      throw;
    }
    FreeString(to->pszName);
    FreeString(to->pszData);
    to->pszName = name;
    to->pszData = data;
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  to->nTimeStamp = from->nTimeStamp;
  return 1;
}

bool CMemoPage::WriteRecord(std::string& body, void* item, DWORD key) {
  auto* memo = static_cast<__MEMO_DATA*>(item);
  // The server keeps no memo without a title: one is given here, and kept.
  if (!memo->pszName || !*memo->pszName) ReplaceString(memo->pszName, kUntitled);
  WriteField(body, "i", static_cast<LONG>(memo->nID));
  if (!WriteField(body, "n", memo->pszName) || !WriteField(body, "d", memo->pszData)) return false;
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  return true;
}

// ---------------------------------------------------------------------------

CMemoConnection::~CMemoConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) s->m_MemoPage.Reset();
}

GW_DATA_MEMBERS(CMemoConnection, m_MemoPage, __MEMO_DATA)

const __MEMO_DATA* CMemoConnection::Set(unsigned long nID, long nTimeStamp, const char* pszName,
                                        const char* pszData, unsigned long key) {
  // The texts are only read by the copy that Set makes.
  __MEMO_DATA memo{static_cast<DWORD>(nID), static_cast<LONG>(nTimeStamp),
                   const_cast<char*>(pszName ? pszName : ""),
                   const_cast<char*>(pszData ? pszData : "")};
  return Set(&memo, key);
}
