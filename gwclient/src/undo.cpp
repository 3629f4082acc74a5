// CSyncUndo: a HotSync run's server changes taken back through the pages a
// sync uses.
#include <cstring>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

namespace {

// The page of that name with records and relation data, fetched (the
// address cards after their item definitions); null with the error set.
CDataPageBase* FetchedPage(CServerSession& s, const char* page) {
  CDataPageBase* found = nullptr;
  for (CDataPageBase* p :
       std::initializer_list<CDataPageBase*>{&s.m_AddressPage, &s.m_MemoPage, &s.m_ToDoPage, &s.m_SchedulePage})
    if (page && std::strcmp(p->CommitPageName(), page) == 0) found = p;
  if (!found) {
    SetLastErrorCode(GWERR_READ_ONLY);
    return nullptr;
  }
  if (found == &s.m_AddressPage && !s.m_AddressItemPage.Fetch()) return nullptr;
  return found->Fetch() ? found : nullptr;
}

}  // namespace

int CSyncUndo::RemoveMade(const char* page, unsigned long id) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    CDataPageBase* p = FetchedPage(s, page);
    if (!p) return 0;
    const DWORD record = static_cast<DWORD>(id);
    if (!p->Remove(record)) return 0;
    p->RemoveRelation(record);  // none when the run made it unpaired
    return 1;
  });
}

int CSyncUndo::PutBack(const char* page, const char* line, bool deleted, unsigned long handheldId) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    CDataPageBase* p = FetchedPage(s, page);
    if (!p) return 0;
    if (!line) {
      SetLastErrorCode(GWERR_BAD_ID);
      return 0;
    }
    return p->PutBack(UnescapeRecordedLine(line), deleted, static_cast<DWORD>(handheldId));
  });
}

int CSyncUndo::Commit(const char* page) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    CDataPageBase* p = FetchedPage(s, page);
    return p ? p->Commit() : 0;
  });
}
