// What every connection class does before and around its page calls: find
// the open server session, and keep allocation failures inside the library.
#pragma once

#include <new>

#include "gwclient/gwclient.h"
#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"

// The open server session behind session; error 2 and null when closed.
CServerSession* SessionOf(const COfficeSession* session);

// Runs body on the open session; error 2 gives fail, an allocation failure
// error 1 and fail.
template <typename T, typename Body>
T WithSession(const COfficeSession* session, T fail, Body body) {
  CServerSession* server = SessionOf(session);
  if (!server) return fail;
  try {
    return body(*server);
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return fail;
  }
}

// Frees a string field and stores a copy of text in it; throws bad_alloc
// with the field unchanged.
inline void ReplaceString(char*& field, const char* text) {
  char* copy = DupString(text);
  FreeString(field);
  field = copy;
}

// The relation members shared by the connections whose relation data lives
// in their data page (addresses, memos, schedules, to-dos).
#define GW_DATA_PAGE_RELATION_MEMBERS(Class, Member)                                                                   \
  const __REL_DATA* Class::FindFirstRelation() {                                                                       \
    return WithSession<const __REL_DATA*>(m_pSession, nullptr,                                                         \
                                          [](CServerSession& s) { return s.Member.FindFirstRelation(); });             \
  }                                                                                                                    \
  const __REL_DATA* Class::FindNextRelation() {                                                                        \
    return WithSession<const __REL_DATA*>(m_pSession, nullptr,                                                         \
                                          [](CServerSession& s) { return s.Member.FindNextRelation(); });              \
  }                                                                                                                    \
  long Class::GetRelationCount() {                                                                                     \
    return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.Member.GetRelationCount(); });            \
  }                                                                                                                    \
  int Class::SetRelation(unsigned long serverId, unsigned long handheldId) {                                           \
    return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {                                                    \
      return s.Member.SetRelation(static_cast<DWORD>(serverId), static_cast<DWORD>(handheldId));                       \
    });                                                                                                                \
  }                                                                                                                    \
  int Class::RemoveRelation(unsigned long serverId) {                                                                  \
    return WithSession<int>(m_pSession, 0,                                                                             \
                            [&](CServerSession& s) { return s.Member.RemoveRelation(static_cast<DWORD>(serverId)); }); \
  }                                                                                                                    \
  long Class::GetRelationTimeStamp() {                                                                                 \
    return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.Member.GetRelationTimeStamp(); });        \
  }                                                                                                                    \
  int Class::SetRelationTimeStamp(long timeStamp) {                                                                    \
    return WithSession<int>(m_pSession, 0,                                                                             \
                            [&](CServerSession& s) { return s.Member.SetRelationTimeStamp(timeStamp); });              \
  }                                                                                                                    \
  int Class::Commit() {                                                                                                \
    return WithSession<int>(m_pSession, 0, [](CServerSession& s) { return s.Member.Commit(); });                       \
  }

// FindFirst, FindNext, GetCount, Get and Remove on a page of records of Type.
#define GW_LIST_MEMBERS(Class, Member, Type)                                                                           \
  const Type* Class::FindFirst() {                                                                                     \
    return WithSession<const Type*>(m_pSession, nullptr,                                                               \
                                    [](CServerSession& s) { return static_cast<const Type*>(s.Member.FindFirst()); }); \
  }                                                                                                                    \
  const Type* Class::FindNext() {                                                                                      \
    return WithSession<const Type*>(m_pSession, nullptr,                                                               \
                                    [](CServerSession& s) { return static_cast<const Type*>(s.Member.FindNext()); });  \
  }                                                                                                                    \
  long Class::GetCount() {                                                                                             \
    return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.Member.GetCount(); });                    \
  }                                                                                                                    \
  const Type* Class::Get(unsigned long id) {                                                                           \
    return WithSession<const Type*>(m_pSession, nullptr, [&](CServerSession& s) {                                      \
      return static_cast<const Type*>(s.Member.Get(static_cast<DWORD>(id)));                                           \
    });                                                                                                                \
  }

#define GW_DATA_MEMBERS(Class, Member, Type)                                                             \
  GW_LIST_MEMBERS(Class, Member, Type)                                                                   \
  GW_DATA_PAGE_RELATION_MEMBERS(Class, Member)                                                           \
  const Type* Class::Set(const Type* record, unsigned long key) {                                        \
    return WithSession<const Type*>(m_pSession, nullptr, [&](CServerSession& s) {                        \
      return static_cast<const Type*>(s.Member.Set(record, static_cast<DWORD>(key)));                    \
    });                                                                                                  \
  }                                                                                                      \
  int Class::Remove(unsigned long id) {                                                                  \
    return WithSession<int>(m_pSession, 0,                                                               \
                            [&](CServerSession& s) { return s.Member.Remove(static_cast<DWORD>(id)); }); \
  }
