// To-dos: lines "id,ts.N,due,priority,finished,end,category,name,memo";
// categories: lines "c,<name>".
#include <cstring>
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

std::string CToDoPage::Describe(const __TODO_DATA& todo) const { return todo.pszName ? todo.pszName : ""; }

std::unique_ptr<CToDoPage::Record> CToDoPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  if (!IsNumber(f[0].c_str()) || f[7].empty()) return nullptr;
  auto todo = std::make_unique<Record>();
  todo->nID = static_cast<DWORD>(NumberValue(f[0].c_str()));
  todo->nTimeStamp = ParseTimeStamp(f[1].c_str());
  ParseDate(f[2].c_str(), &todo->dateLimit);
  todo->nPriority = NumberValue(f[3].c_str());
  todo->bFinish = f[4].empty() ? 0 : 1;
  ParseDate(f[5].c_str(), &todo->dateEnd);
  todo->pszCategory = DupString(f[6]);
  todo->pszName = DupString(f[7]);
  todo->pszMemo = DupString(f[8]);
  return todo;
}

bool CToDoPage::WriteRecord(std::string& body, Record& todo, DWORD key) {
  if (!todo.pszName || !*todo.pszName) ReplaceString(todo.pszName, kUntitled);
  WriteField(body, "i", static_cast<LONG>(todo.nID));
  WriteField(body, "l", todo.dateLimit);
  WriteField(body, "p", todo.nPriority);
  WriteFlag(body, "f", todo.bFinish != 0);
  WriteField(body, "e", todo.dateEnd);
  if (!WriteField(body, "n", todo.pszName) || !WriteField(body, "c", todo.pszCategory) ||
      !WriteField(body, "m", todo.pszMemo))
    return false;
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  return true;
}

// ---------------------------------------------------------------------------

void CToDoCategoryPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncToDoCategory";
}

std::unique_ptr<CToDoCategoryPage::Record> CToDoCategoryPage::ParseItem(const std::string& line) {
  // Cut at the first comma only: the name is the whole rest, commas and
  // quotes included.
  size_t comma = line.find(',');
  if (comma != 1 || line[0] != 'c' || comma + 1 == line.size()) return nullptr;
  auto category = std::make_unique<Record>();
  category->pszName = DupString(line.c_str() + 2, static_cast<int>(line.size() - 2));
  return category;
}

bool CToDoCategoryPage::BuildCommitBody(std::string& body) {
  body += "page=SyncToDoCategory";
  // Names are form values like any other: escaped, so that '&', '=' or a
  // blank arrive whole.
  for (const auto& category : m_Items) {
    body += "&c=";
    body += UrlEscape(category->pszName);
  }
  return true;
}

const char* CToDoCategoryPage::FindFirstName() {
  const CATEGORY* category = FindFirst();
  return category ? category->pszName : nullptr;
}

const char* CToDoCategoryPage::FindNextName() {
  const CATEGORY* category = FindNext();
  return category ? category->pszName : nullptr;
}

int CToDoCategoryPage::SetCategory(const char* name) {
  if (!name) {
    SetLastErrorCode(GWERR_BAD_ID);
    return 0;
  }
  if (!m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  for (const auto& category : m_Items)
    if (std::strcmp(category->pszName, name) == 0) return 1;
  auto category = std::make_unique<Record>();
  category->pszName = DupString(name);
  m_Items.push_back(std::move(category));
  return 1;
}

int CToDoCategoryPage::RemoveCategory(const char* name) {
  for (size_t i = 0; name && i < m_Items.size(); ++i) {
    if (std::strcmp(m_Items[i]->pszName, name) != 0) continue;
    TakeItem(i);  // freed here
    return 1;
  }
  SetLastErrorCode(GWERR_NOT_FOUND);
  return 0;
}

// ---------------------------------------------------------------------------

CToDoConnection::~CToDoConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) {
    s->m_ToDoPage.Reset();
    s->m_ToDoCategoryPage.Reset();
  }
}

GW_DATA_MEMBERS(CToDoConnection, m_ToDoPage, __TODO_DATA)

const __TODO_DATA* CToDoConnection::Set(unsigned long nID, long nTimeStamp, __OFFICE_DATE dateLimit, long nPriority,
                                        int bFinish, const char* pszName, const char* pszCategory, const char* pszMemo,
                                        unsigned long key) {
  // The texts are only read by the copy that Set makes.
  __TODO_DATA todo{static_cast<DWORD>(nID),
                   static_cast<LONG>(nTimeStamp),
                   dateLimit,
                   static_cast<LONG>(nPriority),
                   bFinish,
                   {0, 0, 0},
                   const_cast<char*>(pszName ? pszName : ""),
                   const_cast<char*>(pszCategory ? pszCategory : ""),
                   const_cast<char*>(pszMemo ? pszMemo : "")};
  return Set(&todo, key);
}

const char* CToDoConnection::FindFirstCategory() {
  return WithSession<const char*>(m_pSession, nullptr,
                                  [](CServerSession& s) { return s.m_ToDoCategoryPage.FindFirstName(); });
}

const char* CToDoConnection::FindNextCategory() {
  return WithSession<const char*>(m_pSession, nullptr,
                                  [](CServerSession& s) { return s.m_ToDoCategoryPage.FindNextName(); });
}

long CToDoConnection::GetCategoryCount() {
  return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.m_ToDoCategoryPage.GetCount(); });
}

int CToDoConnection::SetCategory(const char* name) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) { return s.m_ToDoCategoryPage.SetCategory(name); });
}

int CToDoConnection::RemoveCategory(const char* name) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) { return s.m_ToDoCategoryPage.RemoveCategory(name); });
}

int CToDoConnection::CommitCategory() {
  return WithSession<int>(m_pSession, 0, [](CServerSession& s) { return s.m_ToDoCategoryPage.Commit(); });
}
