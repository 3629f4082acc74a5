// Shared pieces of the five kinds of server records and data sources.
#pragma once

#include <cstring>
#include <new>

#include "synccore/except.h"
#include "synccore/gwdatasrc.h"

namespace gwrec {

// Byte length of a text for trace dumps; 0 for null.
inline int len(const char* s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

// A fresh copy of s (null stays null). Throws CMemoryRunOut(className,
// method, label) when the copy cannot be had.
inline char* dup(const char* s, const char* className, const char* method, const char* label) {
  if (!s) return nullptr;
  size_t n = std::strlen(s) + 1;
  char* p = new (std::nothrow) char[n];
  if (!p) throw CMemoryRunOut(className, method, label);
  std::memcpy(p, s, n);
  return p;
}

// Replaces the string field with a copy of s; the old copy is freed only
// once the new one is had, so a failed copy leaves the field as it was.
inline void setStr(char*& field, const char* s, const char* label) {
  char* p = dup(s, "CGWRecord", "copyStrField", label);
  delete[] field;
  field = p;
}

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

// The operations every kind's data source implements the same way over its
// connection (m_Conn, m_Current): Data is the kind's record structure.
#define GWREC_DATASRC_COMMON(Cls, Data, RecCls)                                                     \
  int Cls::getRelationCount() { return gwrec::relationCount(*this, m_Conn.GetRelationCount()); }    \
  LONG Cls::getRelationTimeStamp() { return static_cast<LONG>(m_Conn.GetRelationTimeStamp()); }     \
  CGWRecord* Cls::createRecord() {                                                                  \
    CGWRecord* r = new (std::nothrow) RecCls;                                                       \
    if (!r) throw CMemoryRunOut(#Cls, "createRecord", "Alloc " #RecCls);                            \
    return r;                                                                                       \
  }                                                                                                 \
  void Cls::destroyRecord(CGWRecord* record) { delete record; }                                     \
  CGWRecRel* Cls::findFirst() { return gwrec::fromRecord(m_Current, m_Conn.FindFirst()); }          \
  CGWRecRel* Cls::findNext() { return gwrec::fromRecord(m_Current, m_Conn.FindNext()); }            \
  CGWRecRel* Cls::findFirstRelation() {                                                             \
    return gwrec::fromRelation(m_Current, m_Conn.FindFirstRelation());                              \
  }                                                                                                 \
  CGWRecRel* Cls::findNextRelation() { return gwrec::fromRelation(m_Current, m_Conn.FindNextRelation()); } \
  bool Cls::putNewRecord(CGWRecord* record, DWORD hhRecId) {                                        \
    return m_Conn.Set(static_cast<const Data*>(record->getRecPtr()), hhRecId) != nullptr;           \
  }                                                                                                 \
  bool Cls::putRecord(CGWRecord* record) {                                                          \
    return m_Conn.Set(static_cast<const Data*>(record->getRecPtr()), 0) != nullptr;                 \
  }                                                                                                 \
  bool Cls::removeRecord(DWORD gwRecId) { return m_Conn.Remove(gwRecId) != 0; }                     \
  bool Cls::commitChanges() { return m_Conn.Commit() != 0; }                                        \
  bool Cls::putRelation(DWORD hhRecId, DWORD gwRecId) { return m_Conn.SetRelation(gwRecId, hhRecId) != 0; } \
  bool Cls::removeRelation(DWORD gwRecId) { return m_Conn.RemoveRelation(gwRecId) != 0; }          \
  bool Cls::putRelationTimeStamp(LONG timeStamp) { return m_Conn.SetRelationTimeStamp(timeStamp) != 0; }

// Fills an entry as a data source's current entry.
#define GWREC_RECREL_COMMON(Cls, Data)                                                              \
  void Cls::reset(DWORD attrib, DWORD gwRecId, DWORD hhRecId, const Data* record) {                 \
    m_Next = nullptr;                                                                               \
    m_Marks = 0;                                                                                    \
    m_Attrib = attrib;                                                                              \
    m_GWRecId = gwRecId;                                                                            \
    m_HHRecId = hhRecId;                                                                            \
    m_Rec.setRecPtr(record);                                                                        \
  }                                                                                                 \
  CGWRecRel* Cls::clone(ObjBuf& pool) const { return new (gwrec::cloneSlot(pool, #Cls)) Cls(*this); }
