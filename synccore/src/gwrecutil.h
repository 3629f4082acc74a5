// Shared pieces of the five kinds of server records and data sources, and the
// member definitions of their templates.
#pragma once

#include <cstring>
#include <new>

#include "synccore/except.h"
#include "synccore/gwdatasrcof.h"
#include "synccore/gwsession.h"

namespace gwrec {

// Byte length of a text for trace dumps; 0 for null.
inline int len(const char* s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

// Takes a pool slot for an entry's clone; the pool's own failure is told
// with the entry class's texts.
inline void* cloneSlot(ObjBuf& pool, const char* className) {
  void* p = nullptr;
  try {
    p = pool.alloc();
  } catch (const CMemoryRunOut&) {
    p = nullptr;
  } catch (const std::bad_alloc&) {
    p = nullptr;
  }
  if (!p) throw CMemoryRunOut(className, "clone", "Placement new");
  return p;
}

// The relation count, or -1 after one server-error report: the engine
// stops at a negative count without a report of its own, so a client
// failure here would otherwise go untold.
template <class Src>
int relationCount(Src& src, long n) {
  if (!src.lastCallFailed()) return static_cast<int>(n);
  src.getSession().reportServerError("GetRelationCount", nullptr);
  return -1;
}

// Fills a data source's current entry from a record structure (marks and
// attributes 0, no handheld id) or from a relation pair (attribute 0x10, no
// record structure).
template <class Entry, class Data>
CGWRecRel* fromRecord(Entry& cur, const Data* d) {
  if (!d) return nullptr;
  cur.reset(0, d->nID, 0, d);
  return &cur;
}
template <class Entry>
CGWRecRel* fromRelation(Entry& cur, const __REL_DATA* r) {
  if (!r) return nullptr;
  cur.reset(GWATTR_RELATION, r->nServerID, r->nHandheldID, nullptr);
  return &cur;
}

}  // namespace gwrec

// The members of the kinds' templates (synccore/gwdatasrcof.h); each kind's
// source file instantiates its own.

template <class Self, class ConstRec>
void CGWRecRelOf<Self, ConstRec>::reset(DWORD attrib, DWORD gwRecId, DWORD hhRecId, const RecordData* record) {
  m_Next = nullptr;
  m_Marks = 0;
  m_Attrib = attrib;
  m_GWRecId = gwRecId;
  m_HHRecId = hhRecId;
  m_Rec.setRecPtr(record);
}

template <class Self, class ConstRec>
CGWRecRel* CGWRecRelOf<Self, ConstRec>::clone(ObjBuf& pool) const {
  return new (gwrec::cloneSlot(pool, Self::kClassName)) Self(static_cast<const Self&>(*this));
}

template <class Self, class Conn, class RecRel, class Rec>
CGWDataSrcOf<Self, Conn, RecRel, Rec>::CGWDataSrcOf(CGWSession& session)
    : CGWDataSrc(session, sizeof(RecRel)), m_Conn(session.getOfficeSession()) {}

template <class Self, class Conn, class RecRel, class Rec>
int CGWDataSrcOf<Self, Conn, RecRel, Rec>::getRelationCount() {
  return gwrec::relationCount(*this, m_Conn.GetRelationCount());
}

template <class Self, class Conn, class RecRel, class Rec>
LONG CGWDataSrcOf<Self, Conn, RecRel, Rec>::getRelationTimeStamp() {
  return static_cast<LONG>(m_Conn.GetRelationTimeStamp());
}

template <class Self, class Conn, class RecRel, class Rec>
CGWRecord* CGWDataSrcOf<Self, Conn, RecRel, Rec>::createRecord() {
  CGWRecord* r = new (std::nothrow) Rec;
  if (!r) throw CMemoryRunOut(Self::kClassName, "createRecord", Self::kAllocRecord);
  return r;
}

template <class Self, class Conn, class RecRel, class Rec>
void CGWDataSrcOf<Self, Conn, RecRel, Rec>::destroyRecord(CGWRecord* record) {
  delete record;
}

template <class Self, class Conn, class RecRel, class Rec>
CGWRecRel* CGWDataSrcOf<Self, Conn, RecRel, Rec>::findFirst() {
  return gwrec::fromRecord(m_Current, m_Conn.FindFirst());
}

template <class Self, class Conn, class RecRel, class Rec>
CGWRecRel* CGWDataSrcOf<Self, Conn, RecRel, Rec>::findNext() {
  return gwrec::fromRecord(m_Current, m_Conn.FindNext());
}

template <class Self, class Conn, class RecRel, class Rec>
CGWRecRel* CGWDataSrcOf<Self, Conn, RecRel, Rec>::findFirstRelation() {
  return gwrec::fromRelation(m_Current, m_Conn.FindFirstRelation());
}

template <class Self, class Conn, class RecRel, class Rec>
CGWRecRel* CGWDataSrcOf<Self, Conn, RecRel, Rec>::findNextRelation() {
  return gwrec::fromRelation(m_Current, m_Conn.FindNextRelation());
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWDataSrcOf<Self, Conn, RecRel, Rec>::commitChanges() {
  return m_Conn.Commit() != 0;
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWDataSrcOf<Self, Conn, RecRel, Rec>::putRelation(DWORD hhRecId, DWORD gwRecId) {
  return m_Conn.SetRelation(gwRecId, hhRecId) != 0;
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWDataSrcOf<Self, Conn, RecRel, Rec>::removeRelation(DWORD gwRecId) {
  return m_Conn.RemoveRelation(gwRecId) != 0;
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWDataSrcOf<Self, Conn, RecRel, Rec>::putRelationTimeStamp(LONG timeStamp) {
  return m_Conn.SetRelationTimeStamp(timeStamp) != 0;
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWKeyedDataSrcOf<Self, Conn, RecRel, Rec>::putNewRecord(CGWRecord* record, DWORD hhRecId) {
  return this->m_Conn.Set(static_cast<const typename RecRel::RecordData*>(record->getRecPtr()), hhRecId) != nullptr;
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWKeyedDataSrcOf<Self, Conn, RecRel, Rec>::putRecord(CGWRecord* record) {
  return this->m_Conn.Set(static_cast<const typename RecRel::RecordData*>(record->getRecPtr()), 0) != nullptr;
}

template <class Self, class Conn, class RecRel, class Rec>
bool CGWKeyedDataSrcOf<Self, Conn, RecRel, Rec>::removeRecord(DWORD gwRecId) {
  return this->m_Conn.Remove(gwRecId) != 0;
}
