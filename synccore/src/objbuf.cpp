#include "synccore/objbuf.h"

#include <new>

#include "synccore/except.h"

namespace {

// Slot parts are kept 8-byte aligned: objects hold pointers and vtables on
// this 64-bit build, so the slot header is a whole pointer.
constexpr size_t kAlign = 8;
constexpr size_t roundUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }
constexpr size_t kHeader = roundUp(sizeof(CBufBlock*));

size_t objectBytes(WORD objectSize) {
  size_t n = roundUp(objectSize);
  return n < sizeof(void*) ? sizeof(void*) : n;  // a free slot holds the chain
}

char* slotArea(CBufBlock* b) { return reinterpret_cast<char*>(b) + roundUp(sizeof(CBufBlock)); }

}  // namespace

CBufBlock* CBufBlock::newBlock(WORD objectSize, WORD count) {
  const size_t slot = kHeader + objectBytes(objectSize);
  void* memory = ::operator new(roundUp(sizeof(CBufBlock)) + slot * count, std::nothrow);
  if (!memory) throw CMemoryRunOut("CBufBlock", "newBlock", "New CBufBlock");
  auto* b = static_cast<CBufBlock*>(memory);
  b->m_Prev = b->m_Next = nullptr;
  b->m_FreeCount = count;
  b->m_SlotCount = count;
  b->m_FreeHead = nullptr;
  // Chain the slots so that they are handed out in address order.
  char* area = slotArea(b);
  for (int i = count - 1; i >= 0; --i) {
    char* s = area + slot * static_cast<size_t>(i);
    *reinterpret_cast<CBufBlock**>(s) = b;
    void* object = s + kHeader;
    *static_cast<void**>(object) = b->m_FreeHead;
    b->m_FreeHead = object;
  }
  return b;
}

void CBufBlock::deleteBlock(CBufBlock* block) { ::operator delete(block); }

void* CBufBlock::take() {
  if (!m_FreeHead) return nullptr;
  void* object = m_FreeHead;
  m_FreeHead = *static_cast<void**>(object);
  --m_FreeCount;
  return object;
}

void CBufBlock::give(void* object) {
  *static_cast<void**>(object) = m_FreeHead;
  m_FreeHead = object;
  ++m_FreeCount;
}

CBufBlock* CBufBlock::blockOf(void* object) {
  return *reinterpret_cast<CBufBlock**>(static_cast<char*>(object) - kHeader);
}

ObjBuf::ObjBuf(WORD objectSize, WORD objectsPerBlock, WORD maxFreeBlocks)
    : m_ObjPerBlock(objectsPerBlock ? objectsPerBlock : 1),
      m_ObjSize(objectSize),
      m_MaxFreeBlocks(maxFreeBlocks),
      m_FreeBlocks(0),
      m_First(nullptr),
      m_Last(nullptr) {
  try {
    for (WORD i = 0; i < maxFreeBlocks; ++i) {
      pushBack(CBufBlock::newBlock(m_ObjSize, m_ObjPerBlock));
      ++m_FreeBlocks;
    }
  } catch (...) {
    this->~ObjBuf();
    throw;
  }
}

ObjBuf::~ObjBuf() {
  while (CBufBlock* b = m_First) {
    m_First = b->m_Next;
    CBufBlock::deleteBlock(b);
  }
  m_Last = nullptr;
}

void* ObjBuf::alloc() {
  CBufBlock* b = m_First;
  if (!b || b->m_FreeCount == 0) {
    try {
      b = CBufBlock::newBlock(m_ObjSize, m_ObjPerBlock);
    } catch (const CMemoryRunOut&) {
      throw CMemoryRunOut("ObjBuf", "alloc", "New Object");
    }
    pushFront(b);
  } else if (b->m_FreeCount == b->m_SlotCount) {
    --m_FreeBlocks;
  }
  void* object = b->take();
  if (b->m_FreeCount == 0 && b != m_Last) {
    unlink(b);
    pushBack(b);
  }
  return object;
}

void ObjBuf::free(void* object) {
  if (!object) return;
  CBufBlock* b = CBufBlock::blockOf(object);
  const bool wasFull = b->m_FreeCount == 0;
  b->give(object);
  if (b->m_FreeCount == b->m_SlotCount) {
    if (m_FreeBlocks + 1 > m_MaxFreeBlocks) {
      unlink(b);
      CBufBlock::deleteBlock(b);
      return;
    }
    ++m_FreeBlocks;
  }
  if (wasFull) {
    unlink(b);
    CBufBlock* full = m_First;
    while (full && full->m_FreeCount != 0) full = full->m_Next;
    insertBefore(b, full);
  }
}

int ObjBuf::blockCount() const {
  int n = 0;
  for (CBufBlock* b = m_First; b; b = b->m_Next) ++n;
  return n;
}

void ObjBuf::unlink(CBufBlock* b) {
  (b->m_Prev ? b->m_Prev->m_Next : m_First) = b->m_Next;
  (b->m_Next ? b->m_Next->m_Prev : m_Last) = b->m_Prev;
  b->m_Prev = b->m_Next = nullptr;
}

void ObjBuf::pushFront(CBufBlock* b) { insertBefore(b, m_First); }

void ObjBuf::pushBack(CBufBlock* b) { insertBefore(b, nullptr); }

void ObjBuf::insertBefore(CBufBlock* b, CBufBlock* before) {
  b->m_Next = before;
  b->m_Prev = before ? before->m_Prev : m_Last;
  (b->m_Prev ? b->m_Prev->m_Next : m_First) = b;
  (before ? before->m_Prev : m_Last) = b;
}
