// Handheld records, the set they are read into, and the handheld's category
// list.
#include <algorithm>
#include <cstring>
#include <new>

#include "conduits/common/palmdatasrc.h"
#include "log/log.h"
#include "synccore/helpers.h"

namespace {

constexpr int kHexDumpBytes = 32;

// Copies a name into the handheld's 16-byte form: 15 bytes at most, never
// splitting a double-byte character.
void toHandheldName(char (&out)[16], const char* name) {
  std::memset(out, 0, sizeof out);
  copyDbcsText(out, name ? name : "", sizeof out, DBCS_COPY, nullptr);
}

}  // namespace

// ---- CPalmRecord ----

CPalmRecord::CPalmRecord(BYTE* sharedBuffer)
    : m_RecId(0),
      m_RecIndex(0),
      m_CatIndex(0),
      m_Flags(0),
      m_HashNext(nullptr),
      m_SharedBuf(sharedBuffer != nullptr),
      m_BufSize(sharedBuffer ? kPalmSharedBufferSize : 0),
      m_DataSize(0),
      m_Data(sharedBuffer) {}

CPalmRecord::~CPalmRecord() {
  if (!m_SharedBuf) delete[] m_Data;
}

CPalmRecord::CPalmRecord(const CPalmRecord& other)
    : CHHRecord(other),
      m_RecId(other.m_RecId),
      m_RecIndex(other.m_RecIndex),
      m_CatIndex(other.m_CatIndex),
      m_Flags(other.m_Flags),
      m_HashNext(nullptr),
      m_SharedBuf(false),
      m_BufSize(0),
      m_DataSize(0),
      m_Data(nullptr) {
  // A copy always owns its data: the shared buffer is the original's to reuse.
  if (other.m_DataSize > 0) {
    m_Data = new (std::nothrow) BYTE[other.m_DataSize];
    if (!m_Data) throw CMemoryRunOut("CPalmRecord", "Copy Constructor", "Alloc for Raw data");
    std::memcpy(m_Data, other.m_Data, other.m_DataSize);
    m_BufSize = m_DataSize = other.m_DataSize;
  }
}

CPalmRecord& CPalmRecord::operator=(const CPalmRecord& other) {
  if (this == &other) return *this;
  if (!m_SharedBuf && m_BufSize < other.m_DataSize) {
    BYTE* data = new (std::nothrow) BYTE[other.m_DataSize];
    if (!data) throw CMemoryRunOut("CPalmRecord", "operator=", "Alloc for Raw data");
    delete[] m_Data;
    m_Data = data;
    m_BufSize = other.m_DataSize;
  }
  m_RecId = other.m_RecId;
  m_RecIndex = other.m_RecIndex;
  m_CatIndex = other.m_CatIndex;
  m_Flags = other.m_Flags;
  m_SyncMark = other.m_SyncMark;
  m_DataSize = std::min(other.m_DataSize, m_BufSize);
  if (m_DataSize > 0) std::memmove(m_Data, other.m_Data, m_DataSize);
  return *this;
}

void CPalmRecord::assign(const CHHRecord& other) {
  if (const auto* palm = dynamic_cast<const CPalmRecord*>(&other)) *this = *palm;
}

int CPalmRecord::getStatus() const {
  if (m_Flags & PALMREC_DELETED) return HHSTAT_DELETED;
  if (m_Flags & PALMREC_MODIFIED) return HHSTAT_CHANGED;
  return HHSTAT_UNCHANGED;
}

bool CPalmRecord::acceptForGW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, DWORD*) { return true; }

bool CPalmRecord::convertHH2GW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, CGWRecord*) { return false; }

bool CPalmRecord::acceptFromGW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, DWORD*) { return true; }

bool CPalmRecord::convertGW2HH(CHHDataSrc*, CGWDataSrc*, const CHHRecord*, const CGWRecord*) { return false; }

char* CPalmRecord::getRecIdStr(char* buffer, int length) const {
  if (buffer && length > 0) buffer[0] = '\0';
  return buffer;
}

char* CPalmRecord::describe(char* buffer, int length) const {
  if (!buffer || length < 1) return buffer;
  std::snprintf(buffer, static_cast<size_t>(length), "Id:0x%x RIdx:%d CIdx:%d Attrib:0x%02x Size:%d", m_RecId,
                m_RecIndex, m_CatIndex, m_Flags, static_cast<int>(m_DataSize));
  return buffer;
}

void CPalmRecord::trace() const {
  char line[128];
  describe(line, sizeof line);
  g_TraceObj.doTrace("%s\n", line);
  if (g_TraceObj.shouldTrace(10)) {
    g_TraceObj.doTrace("+++CPalmRecord+++ %s Raw data follows:\n", line);
    if (m_Data && m_DataSize > 0)
      g_TraceObj.doHexTrace(m_Data, static_cast<int>(std::min<DWORD>(m_DataSize, kHexDumpBytes)));
  }
}

void CPalmRecord::setRawData(const BYTE* data, DWORD size) {
  if (!data) size = 0;
  if (m_SharedBuf) {
    if (size > m_BufSize) {
      g_TraceObj.write(1, "*ERR* copyRawData(): Truncated. m_BufSize:%d recsz:%d\n", static_cast<int>(m_BufSize),
                       static_cast<int>(size));
      size = m_BufSize;
    }
  } else if (size > m_BufSize) {
    BYTE* grown = new (std::nothrow) BYTE[size];
    if (!grown) throw CMemoryRunOut("CPalmRecord", "setRawData", "Alloc for Palm rec raw data");
    delete[] m_Data;
    m_Data = grown;
    m_BufSize = size;
  }
  if (size > 0) std::memmove(m_Data, data, size);
  m_DataSize = size;
}

// ---- CPalmRecordSet ----

CPalmRecordSet::CPalmRecordSet(WORD recordSize, PalmRecordPlacer place)
    : m_Pool(recordSize, 10, 2),
      m_Place(place),
      m_Buckets(kBuckets, nullptr),
      m_CurBucket(0),
      m_Next(nullptr),
      m_NRecords(0) {}

CPalmRecordSet::~CPalmRecordSet() {
  g_TraceObj.write(10, "~CPalmRecordSet() called\n");
  init();
}

void CPalmRecordSet::destroy(CPalmRecord* record) {
  record->~CPalmRecord();
  m_Pool.free(record);
}

void CPalmRecordSet::init() {
  g_TraceObj.write(10, "CPalmRecordSet: Initializing Palm Record Set\n");
  for (CPalmRecord*& head : m_Buckets) {
    while (head) {
      CPalmRecord* next = head->m_HashNext;
      destroy(head);
      head = next;
    }
  }
  m_Buckets.assign(kBuckets, nullptr);
  m_NRecords = 0;
  m_CurBucket = 0;
  m_Next = nullptr;
  m_Walking = false;
}

void CPalmRecordSet::traceRead() const {
  g_TraceObj.write(9, "CPalmRecordSet: Palm Record Set initialized. m_NRecords:%d\n", m_NRecords);
}

void CPalmRecordSet::add(CPalmRecord* record) {
  if (g_TraceObj.shouldTrace(9)) {
    char line[128];
    g_TraceObj.doTrace("Add to PalmRecordSet: %s\n", record->describe(line, sizeof line));
  }
  growIfCrowded();
  CPalmRecord*& head = bucketOf(record->m_RecId);
  record->m_HashNext = head;
  head = record;
  ++m_NRecords;
}

// Rehashing in the middle of a walk would have it skip or repeat records.
void CPalmRecordSet::growIfCrowded() {
  if (m_Walking || static_cast<size_t>(m_NRecords) < 2 * m_Buckets.size()) return;
  std::vector<CPalmRecord*> old(m_Buckets.size() * 2 + 1, nullptr);
  old.swap(m_Buckets);
  for (CPalmRecord* head : old) {
    while (head) {
      CPalmRecord* next = head->m_HashNext;
      CPalmRecord*& to = bucketOf(head->m_RecId);
      head->m_HashNext = to;
      to = head;
      head = next;
    }
  }
}

CPalmRecord* CPalmRecordSet::scanFrom(int bucket) {
  const int buckets = static_cast<int>(m_Buckets.size());
  for (m_CurBucket = bucket; m_CurBucket < buckets; ++m_CurBucket) {
    if (CPalmRecord* r = m_Buckets[m_CurBucket]) {
      m_Next = r->m_HashNext;
      return r;
    }
  }
  m_Next = nullptr;
  m_Walking = false;
  return nullptr;
}

namespace {

CHHRecord* traced(const char* what, CPalmRecord* r) {
  if (!g_TraceObj.shouldTrace(10)) return r;
  if (!r) {
    g_TraceObj.doTrace("%s returning NULL\n", what);
  } else {
    g_TraceObj.doTrace("%s returning the following:\n", what);
    r->trace();
  }
  return r;
}

}  // namespace

CHHRecord* CPalmRecordSet::getFirst() {
  m_Walking = true;
  return traced("getFirstRecord", scanFrom(0));
}

CHHRecord* CPalmRecordSet::getNext() {
  CPalmRecord* r = nullptr;
  if (m_Next) {
    r = m_Next;
    m_Next = r->m_HashNext;
  } else if (m_CurBucket < static_cast<int>(m_Buckets.size())) {
    r = scanFrom(m_CurBucket + 1);
  } else {
    m_Walking = false;
  }
  return traced("getNextRecord", r);
}

CHHRecord* CPalmRecordSet::find(DWORD recId) {
  CPalmRecord* r = bucketOf(recId);
  while (r && r->m_RecId != recId) r = r->m_HashNext;
  if (g_TraceObj.shouldTrace(10)) {
    if (r) {
      g_TraceObj.doTrace("findRecord(recid:0x%x) returning the following:\n", recId);
      r->trace();
    } else {
      g_TraceObj.doTrace("findRecord(recid:0x%x) returning NULL\n", recId);
    }
  }
  return r;
}

CHHRecord* CPalmRecordSet::newRecord(int kind) {
  BYTE* shared = nullptr;
  if (kind == NEWREC_TO_WRITE) {
    if (!m_SharedBuf) {
      m_SharedBuf.reset(new (std::nothrow) BYTE[kPalmSharedBufferSize]);
      if (!m_SharedBuf) throw CMemoryRunOut("CPalmRecordSet", "newRecord", "Alloc for shared buffer");
    }
    shared = m_SharedBuf.get();
  }
  void* memory = m_Pool.alloc();
  return m_Place(memory, shared);
}

void CPalmRecordSet::unlink(CPalmRecord* record) {
  CPalmRecord** link = &bucketOf(record->m_RecId);
  while (*link && *link != record) link = &(*link)->m_HashNext;
  if (!*link) return;
  // A walk in progress whose next record goes away moves on to the one after.
  if (m_Next == record) m_Next = record->m_HashNext;
  *link = record->m_HashNext;
  --m_NRecords;
}

void CPalmRecordSet::releaseRecord(CHHRecord* record) {
  if (!record) return;
  auto* palm = static_cast<CPalmRecord*>(record);
  unlink(palm);
  destroy(palm);
}

// ---- CPalmCategoryList ----

CPalmCategoryList::CPalmCategoryList() : m_Changed(false), m_LastUniqueId(0) { clear(); }

void CPalmCategoryList::clear() {
  for (int i = 0; i < kPalmCategoryCount; ++i) {
    m_Entries[i] = CPalmCategory();
    m_Entries[i].m_Index = static_cast<short>(i);
  }
  m_Changed = false;
  m_LastUniqueId = 0;
}

int CPalmCategoryList::indexOf(const char* name) const {
  char wanted[16];
  toHandheldName(wanted, name);
  for (int i = 0; i < kPalmCategoryCount; ++i) {
    const CPalmCategory& c = m_Entries[i];
    if (c.m_Name[0] != '\0' && std::strcmp(c.m_Name, wanted) == 0) return i;
  }
  return -1;
}

const CHHCategory* CPalmCategoryList::find(const char* name) const {
  int i = indexOf(name);
  if (i < 0) {
    g_TraceObj.write(9, "Category(%s) not found\n", name ? name : "");
    return nullptr;
  }
  return &m_Entries[i];
}

CHHCategory* CPalmCategoryList::add(const char* name) {
  CPalmCategory* free = nullptr;
  for (CPalmCategory& c : m_Entries) {
    if (c.m_Index == -1 || c.m_UniqueId == -1 || c.m_Name[0] == '\0') {
      free = &c;
      break;
    }
  }
  if (!free) {
    g_TraceObj.write(9, "Category List full. Category(%s) cannot be added\n", name ? name : "");
    return nullptr;
  }
  // Desktop-made categories take ids 128 and up, so they never collide with
  // the handheld's own.
  short id = 128;
  for (; id < 144; ++id) {
    bool used = false;
    for (const CPalmCategory& c : m_Entries) used = used || (c.isValid() && c.m_UniqueId == id);
    if (!used) break;
  }
  g_TraceObj.write(10, "Free category id(%d) returned\n", id);
  int index = static_cast<int>(free - m_Entries);
  toHandheldName(free->m_Name, name);
  free->m_Index = static_cast<short>(index);
  free->m_UniqueId = id;
  free->m_Changed = true;
  m_Changed = true;
  g_TraceObj.write(9, "Category(%s, Id:%d) added at %d\n", free->m_Name, id, index);
  return free;
}

void CPalmCategoryList::fromBlock(const BYTE* block) {
  m_LastUniqueId = block[274];
  g_TraceObj.write(9, "CPalmCategoryList|Create category list. Last unique ID:%d\n", m_LastUniqueId);
  for (int i = 0; i < kPalmCategoryCount; ++i) {
    CPalmCategory& c = m_Entries[i];
    c.m_Index = static_cast<short>(i);
    c.m_UniqueId = block[258 + i];
    // A name that fills its 16 bytes without a NUL is cut to 15.
    std::memcpy(c.m_Name, block + 2 + 16 * i, sizeof c.m_Name);
    c.m_Name[sizeof c.m_Name - 1] = '\0';
    c.m_Changed = false;
  }
  m_Changed = false;
}

void CPalmCategoryList::toBlock(BYTE* block) const {
  std::memset(block, 0, kPalmCategoryBlockSize);
  for (int i = 0; i < kPalmCategoryCount; ++i) {
    const CPalmCategory& c = m_Entries[i];
    char name[16];
    toHandheldName(name, c.m_Name);
    std::memcpy(block + 2 + 16 * i, name, sizeof name);
    block[258 + i] = c.m_UniqueId < 0 ? 0 : static_cast<BYTE>(c.m_UniqueId);
  }
  block[274] = m_LastUniqueId;
  g_TraceObj.write(9, "CPalmCategoryList|Create raw category list. Last unique ID:%d\n", m_LastUniqueId);
}

void CPalmCategoryList::trace() const {
  if (!g_TraceObj.shouldTrace(10)) return;
  for (int i = 0; i < kPalmCategoryCount; i += 4) {
    char line[128] = {};
    int used = 0;
    for (int j = i; j < i + 4; ++j) {
      used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), "% 3d:%-15s ",
                            m_Entries[j].m_UniqueId, m_Entries[j].m_Name);
    }
    g_TraceObj.doTrace("%s\n", line);
  }
}
