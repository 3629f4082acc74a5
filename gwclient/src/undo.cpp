// CSyncUndo: a HotSync run's server changes taken back through the pages a
// sync uses.
#include <cstring>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

namespace {

// The page of that name with records and relation data, fetched (the
// address cards after their item definitions); null with the error set.
CDataPage* FetchedPage(CServerSession& s, const char* page) {
  CDataPage* found = nullptr;
  for (CDataPage* p : std::initializer_list<CDataPage*>{&s.m_AddressPage, &s.m_MemoPage, &s.m_ToDoPage,
                                                        &s.m_SchedulePage})
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
    CDataPage* p = FetchedPage(s, page);
    if (!p) return 0;
    const DWORD record = static_cast<DWORD>(id);
    // The schedule page keeps a removed schedule whole: its own Remove.
    const int removed = p == &s.m_SchedulePage ? s.m_SchedulePage.Remove(record) : p->Remove(record);
    if (!removed) return 0;
    p->RemoveRelation(record);  // none when the run made it unpaired
    return 1;
  });
}

int CSyncUndo::PutBack(const char* page, const char* line, bool deleted, unsigned long handheldId) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    CDataPage* p = FetchedPage(s, page);
    if (!p) return 0;
    void* record = line ? p->ParseItem(UnescapeRecordedLine(line)) : nullptr;
    if (!record) {
      SetLastErrorCode(GWERR_BAD_ID);
      return 0;
    }
    if (deleted) *static_cast<DWORD*>(record) = 0;  // made again: a new id
    const void* held = p->Set(record, deleted ? static_cast<DWORD>(handheldId) : 0);
    p->DeleteItem(record);
    return held ? 1 : 0;
  });
}

int CSyncUndo::Commit(const char* page) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    CDataPage* p = FetchedPage(s, page);
    return p ? p->Commit() : 0;
  });
}
