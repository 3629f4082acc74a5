// Server records, relation entries, the record set and the deferred
// relation commands.
#include <cstdio>

#include "log/log.h"
#include "synccore/gwdatasrc.h"

namespace {
int bucketOf(DWORD key) { return static_cast<int>(key % CGWRecordSet::kBuckets); }
}  // namespace

// --- settings words to sync flags -------------------------------------------

WORD syncFlagsFromSetting(WORD flags, DWORD setting) {
  WORD out = flags & SYNC_KEPT_BITS;
  switch (setting & 3) {
    case 0: return out | SYNC_NONE;
    case 3: out |= SYNC_TWO_WAY; break;
    default: out |= SYNC_REFRESH | SYNC_DELETE_GW_RELATIONS; break;
  }
  if (setting & 4) out |= SYNC_DELETE_HH_RECORDS;
  if (setting & 8) out |= SYNC_DELETE_GW_RECORDS | SYNC_DELETE_GW_RELATIONS;
  return out;
}

WORD mailSyncFlagsFromSetting(WORD flags, DWORD setting) {
  WORD out = flags & SYNC_KEPT_BITS;
  if ((setting & 3) == 0) return out | SYNC_NONE;
  out |= SYNC_MAIL;
  if (setting & 4) out |= SYNC_DELETE_HH_RECORDS;
  return out;
}

// --- records and entries ----------------------------------------------------

void CGWRecord::assign(const CGWRecord& /*other*/) { fatalStop(m_ClassName, "assign on a read-only record"); }

char* CGWRecRel::describe(char* buffer, int length) const {
  if (buffer && length > 0)
    std::snprintf(buffer, static_cast<size_t>(length), "Flgs:%x Attrib:%x [%x, %x]", m_Marks, m_Attrib, m_GWRecId,
                  m_HHRecId);
  return buffer;
}

void CGWRecRel::copyFrom(const CGWRecRel& other) {
  m_Next = nullptr;
  m_Marks = other.m_Marks;
  m_Attrib = other.m_Attrib;
  m_HHRecId = other.m_HHRecId;
  m_GWRecId = other.m_GWRecId;
  m_Record->setRecPtr(other.m_Record->getRecPtr());
}

// --- record set -------------------------------------------------------------

CGWRecordSet::CGWRecordSet(WORD entrySize)
    : m_Pool(entrySize, 10, 5), m_Count(0), m_Buckets{}, m_CurBucket(kBuckets), m_NextEntry(nullptr) {}

CGWRecordSet::~CGWRecordSet() { clear(); }

void CGWRecordSet::clear() {
  // Entries are destroyed rather than forgotten, so that a set filled a
  // second time neither keeps stale entries nor loses pool memory.
  for (CGWRecRel*& head : m_Buckets) {
    while (CGWRecRel* e = head) {
      head = e->m_Next;
      e->~CGWRecRel();
      m_Pool.free(e);
    }
  }
  m_Count = 0;
  m_CurBucket = kBuckets;
  m_NextEntry = nullptr;
}

void CGWRecordSet::add(const CGWRecRel& e) {
  char text[128];
  CGWRecRel* existing = (e.m_Attrib & GWATTR_RELATION) ? nullptr : findByGWRecId(e.m_GWRecId);
  if (!existing) {
    CGWRecRel* c = e.clone(m_Pool);
    if (!(e.m_Attrib & GWATTR_RELATION)) c->m_Attrib |= GWATTR_NEW;
    CGWRecRel*& head = m_Buckets[bucketOf(c->m_GWRecId)];
    c->m_Next = head;
    head = c;
    ++m_Count;
    if (g_TraceObj.shouldTrace(10))
      g_TraceObj.write(10, "GWRecordSet|Add a Relation Data %s\n", c->describe(text, sizeof text));
    return;
  }
  existing->getRecord()->setRecPtr(e.getRecord()->getRecPtr());
  existing->m_Attrib |= e.m_Attrib;
  if (g_TraceObj.shouldTrace(10))
    g_TraceObj.write(10, "GWRecordSet|Merge a Relation Data %s\n", existing->describe(text, sizeof text));
}

void CGWRecordSet::finish() {
  CGWRecRel* rekeyed[kBuckets] = {};
  for (CGWRecRel*& head : m_Buckets) {
    while (CGWRecRel* e = head) {
      head = e->m_Next;
      if ((e->m_Attrib & GWATTR_RELATION) && !e->getRecord()->getRecPtr()) {
        e->m_Attrib |= GWATTR_DELETED;
        if (g_TraceObj.shouldTrace(10))
          g_TraceObj.write(10, "GWRecordSet|Init Complete. GWRId:0x%x is deleted record.\n", e->m_GWRecId);
      }
      CGWRecRel*& to = rekeyed[bucketOf(e->m_HHRecId)];
      e->m_Next = to;
      to = e;
    }
  }
  for (int i = 0; i < kBuckets; ++i) m_Buckets[i] = rekeyed[i];
  // The counter word is Shift-JIS, as the trace has always shown it.
  g_TraceObj.write(9, "--------- GW RecordSet initialized. %d\x8c\x8f ---------\n", m_Count);
}

CGWRecRel* CGWRecordSet::scanFrom(int bucket) {
  for (m_CurBucket = bucket; m_CurBucket < kBuckets; ++m_CurBucket) {
    if (CGWRecRel* e = m_Buckets[m_CurBucket]) {
      m_NextEntry = e->m_Next;
      if (g_TraceObj.shouldTrace(10)) {
        char text[128];
        g_TraceObj.write(10, "GWRecordSet|Retrieve a Relation Data %s\n", e->describe(text, sizeof text));
      }
      return e;
    }
  }
  m_NextEntry = nullptr;
  g_TraceObj.write(10, "GWRecordSet|Retrieve a Relation Data END\n");
  return nullptr;
}

CGWRecRel* CGWRecordSet::getFirstRecRel() { return scanFrom(0); }

CGWRecRel* CGWRecordSet::getNextRecRel() {
  if (m_CurBucket >= kBuckets) return nullptr;
  if (CGWRecRel* e = m_NextEntry) {
    m_NextEntry = e->m_Next;
    if (g_TraceObj.shouldTrace(10)) {
      char text[128];
      g_TraceObj.write(10, "GWRecordSet|Retrieve a Relation Data %s\n", e->describe(text, sizeof text));
    }
    return e;
  }
  return scanFrom(m_CurBucket + 1);
}

CGWRecRel* CGWRecordSet::findByHHRecId(DWORD hhRecId) {
  for (CGWRecRel* e = m_Buckets[bucketOf(hhRecId)]; e; e = e->m_Next) {
    if (e->m_HHRecId == hhRecId) {
      g_TraceObj.write(10, "GWRecordSet|Query Relation Data HHRId:0x%x-->GWRId:0x%x\n", hhRecId, e->m_GWRecId);
      return e;
    }
  }
  g_TraceObj.write(10, "GWRecordSet|Query Relation Data HHRId:0x%x-->None\n", hhRecId);
  return nullptr;
}

CGWRecRel* CGWRecordSet::findByGWRecId(DWORD gwRecId) {
  for (CGWRecRel* e = m_Buckets[bucketOf(gwRecId)]; e; e = e->m_Next)
    if (e->m_GWRecId == gwRecId) return e;
  return nullptr;
}

// --- deferred relation commands ---------------------------------------------

CGWRecOpDList::CGWRecOpDList(DWORD capacity) : CBoundedList(capacity, m_Inline, kInline), m_Inline{} {}

CGWRecOpDList::~CGWRecOpDList() = default;

void CGWRecOpDList::push(const GWSyncCmd* cmds, DWORD gwRecId) { pushItem(CGWRecOpDItem{cmds, gwRecId}); }

const CGWRecOpDItem* CGWRecOpDList::first() { return CBoundedList::first(); }

const CGWRecOpDItem* CGWRecOpDList::next() { return CBoundedList::next(); }
