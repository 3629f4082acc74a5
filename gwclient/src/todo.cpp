// To-dos: lines "id,ts.N,due,priority,finished,end,category,name,memo";
// categories: lines "c,<name>".
#include <cstring>
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

namespace {

__TODO_DATA* NewToDo() {
  return new __TODO_DATA{
      0, 0, {0, 0, 0}, 0, 0, {0, 0, 0}, DupString(nullptr), DupString(nullptr), DupString(nullptr)};
}

void FreeToDo(__TODO_DATA* todo) {
  FreeString(todo->pszName);
  FreeString(todo->pszCategory);
  FreeString(todo->pszMemo);
  delete todo;
}

char* Dup(const std::string& s) { return DupString(s.c_str(), static_cast<int>(s.size())); }

}  // namespace

CToDoPage::~CToDoPage() { Reset(); }

std::string CToDoPage::Describe(const void* item) const {
  const char* name = static_cast<const __TODO_DATA*>(item)->pszName;
  return name ? name : "";
}

void CToDoPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncToDo";
  AppendLabel(url);
}

void* CToDoPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  if (!IsNumber(f[0].c_str()) || f[7].empty()) return nullptr;
  std::unique_ptr<__TODO_DATA, void (*)(__TODO_DATA*)> todo(NewToDo(), FreeToDo);
  todo->nID = static_cast<DWORD>(NumberValue(f[0].c_str()));
  todo->nTimeStamp = ParseTimeStamp(f[1].c_str());
  ParseDate(f[2].c_str(), &todo->dateLimit);
  todo->nPriority = NumberValue(f[3].c_str());
  todo->bFinish = f[4].empty() ? 0 : 1;
  ParseDate(f[5].c_str(), &todo->dateEnd);
  todo->pszCategory = Dup(f[6]);
  todo->pszName = Dup(f[7]);
  todo->pszMemo = Dup(f[8]);
  return todo.release();
}

void CToDoPage::DeleteItem(void* item) { FreeToDo(static_cast<__TODO_DATA*>(item)); }

void* CToDoPage::CreateItem(const void* record) {
  __TODO_DATA* todo = nullptr;
  try {
    todo = NewToDo();
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return nullptr;
  }
  if (!CopyItem(todo, record)) {
    FreeToDo(todo);
    return nullptr;
  }
  return todo;
}

int CToDoPage::CopyItem(void* item, const void* record) {
  auto* to = static_cast<__TODO_DATA*>(item);
  auto* from = static_cast<const __TODO_DATA*>(record);
  char* texts[3] = {nullptr, nullptr, nullptr};
  try {
    texts[0] = DupString(from->pszName);
    texts[1] = DupString(from->pszCategory);
    texts[2] = DupString(from->pszMemo);
  } catch (const std::bad_alloc&) {
    for (char* t : texts) FreeString(t);
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  FreeString(to->pszName);
  FreeString(to->pszCategory);
  FreeString(to->pszMemo);
  to->pszName = texts[0];
  to->pszCategory = texts[1];
  to->pszMemo = texts[2];
  to->nTimeStamp = from->nTimeStamp;
  to->dateLimit = from->dateLimit;
  to->nPriority = from->nPriority;
  to->bFinish = from->bFinish;
  to->dateEnd = from->dateEnd;
  return 1;
}

bool CToDoPage::WriteRecord(std::string& body, void* item, DWORD key) {
  auto* todo = static_cast<__TODO_DATA*>(item);
  if (!todo->pszName || !*todo->pszName) ReplaceString(todo->pszName, kUntitled);
  WriteField(body, "i", static_cast<LONG>(todo->nID));
  WriteField(body, "l", todo->dateLimit);
  WriteField(body, "p", todo->nPriority);
  WriteFlag(body, "f", todo->bFinish != 0);
  WriteField(body, "e", todo->dateEnd);
  if (!WriteField(body, "n", todo->pszName) || !WriteField(body, "c", todo->pszCategory) ||
      !WriteField(body, "m", todo->pszMemo))
    return false;
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  return true;
}

// ---------------------------------------------------------------------------

CToDoCategoryPage::~CToDoCategoryPage() { Reset(); }

void CToDoCategoryPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncToDoCategory";
}

void* CToDoCategoryPage::ParseItem(const std::string& line) {
  // Cut at the first comma only: the name is the whole rest, commas and
  // quotes included.
  size_t comma = line.find(',');
  if (comma != 1 || line[0] != 'c' || comma + 1 == line.size()) return nullptr;
  auto category = std::make_unique<CATEGORY>(CATEGORY{nullptr});
  category->pszName = DupString(line.c_str() + 2, static_cast<int>(line.size() - 2));
  return category.release();
}

void CToDoCategoryPage::DeleteItem(void* item) {
  auto* category = static_cast<CATEGORY*>(item);
  FreeString(category->pszName);
  delete category;
}

bool CToDoCategoryPage::BuildCommitBody(std::string& body) {
  body += "page=SyncToDoCategory";
  // Names are form values like any other: escaped, so that '&', '=' or a
  // blank arrive whole.
  for (void* item : m_Items) {
    body += "&c=";
    body += UrlEscape(static_cast<CATEGORY*>(item)->pszName);
  }
  return true;
}

const char* CToDoCategoryPage::FindFirstName() {
  void* item = FindFirst();
  return item ? static_cast<CATEGORY*>(item)->pszName : nullptr;
}

const char* CToDoCategoryPage::FindNextName() {
  void* item = FindNext();
  return item ? static_cast<CATEGORY*>(item)->pszName : nullptr;
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
  for (void* item : m_Items)
    if (std::strcmp(static_cast<CATEGORY*>(item)->pszName, name) == 0) return 1;
  auto category = std::make_unique<CATEGORY>(CATEGORY{DupString(name)});
  try {
    m_Items.push_back(category.get());
  } catch (...) {
    FreeString(category->pszName);
    throw;
  }
  category.release();
  return 1;
}

int CToDoCategoryPage::RemoveCategory(const char* name) {
  for (size_t i = 0; name && i < m_Items.size(); ++i) {
    auto* category = static_cast<CATEGORY*>(m_Items[i]);
    if (std::strcmp(category->pszName, name) != 0) continue;
    m_Items.erase(m_Items.begin() + static_cast<long>(i));
    if (m_Pos != SIZE_MAX && i < m_Pos) --m_Pos;
    DeleteItem(category);
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

const __TODO_DATA* CToDoConnection::Set(unsigned long nID, long nTimeStamp, __OFFICE_DATE dateLimit,
                                        long nPriority, int bFinish, const char* pszName,
                                        const char* pszCategory, const char* pszMemo,
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
  return WithSession<const char*>(
      m_pSession, nullptr, [](CServerSession& s) { return s.m_ToDoCategoryPage.FindFirstName(); });
}

const char* CToDoConnection::FindNextCategory() {
  return WithSession<const char*>(
      m_pSession, nullptr, [](CServerSession& s) { return s.m_ToDoCategoryPage.FindNextName(); });
}

long CToDoConnection::GetCategoryCount() {
  return WithSession<long>(m_pSession, 0,
                           [](CServerSession& s) { return s.m_ToDoCategoryPage.GetCount(); });
}

int CToDoConnection::SetCategory(const char* name) {
  return WithSession<int>(
      m_pSession, 0, [&](CServerSession& s) { return s.m_ToDoCategoryPage.SetCategory(name); });
}

int CToDoConnection::RemoveCategory(const char* name) {
  return WithSession<int>(
      m_pSession, 0, [&](CServerSession& s) { return s.m_ToDoCategoryPage.RemoveCategory(name); });
}

int CToDoConnection::CommitCategory() {
  return WithSession<int>(m_pSession, 0,
                          [](CServerSession& s) { return s.m_ToDoCategoryPage.Commit(); });
}
