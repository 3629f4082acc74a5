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
