// Fixed-size object pool. Objects are carved from blocks of a fixed number of
// slots; blocks with free slots are kept in front of the chain, wholly free
// blocks are kept up to a limit and deleted beyond it.
//
//   ObjBuf pool(sizeof(Entry), 10, 5);
//   void* p = pool.alloc();                 // throws CMemoryRunOut
//   Entry* e = new (p) Entry(...);
//   e->~Entry(); pool.free(e);
//
// Compiled into libsynccore.so and into each conduit (synccore_common).
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

class ObjBuf;

// One block: a header followed by its slots. Each slot is a pointer to its
// block followed by the object rounded up to a multiple of 4 bytes.
class CBufBlock {
 public:
  // Allocates a block of count slots for objects of objectSize bytes; throws
  // CMemoryRunOut ("CBufBlock", "newBlock", "New CBufBlock") when memory
  // cannot be had. The block belongs to the caller (deleteBlock).
  static CBufBlock* newBlock(WORD objectSize, WORD count);
  static void deleteBlock(CBufBlock* block);

  // A free slot's object memory, or null when the block is full.
  void* take();
  // Gives a slot back to this block.
  void give(void* object);
  // The block an object came from.
  static CBufBlock* blockOf(void* object);

  CBufBlock* m_Prev;
  CBufBlock* m_Next;
  WORD m_FreeCount;
  WORD m_SlotCount;
  void* m_FreeHead;  // first free slot's object memory; chained through it

 private:
  CBufBlock() = default;
};

class ObjBuf {
 public:
  // Builds maxFreeBlocks blocks at once (all wholly free). Throws
  // CMemoryRunOut when they cannot be had; nothing stays allocated then.
  ObjBuf(WORD objectSize, WORD objectsPerBlock, WORD maxFreeBlocks);
  // Deletes every block; objects still in use must not be touched after.
  ~ObjBuf();
  ObjBuf(const ObjBuf&) = delete;
  ObjBuf& operator=(const ObjBuf&) = delete;

  // Memory for one object of the pool's size, aligned for any object of it.
  // Throws CMemoryRunOut ("ObjBuf", "alloc", "New Object") when no block can
  // be had. Never null.
  void* alloc();
  // Gives back memory from alloc of this pool; null is ignored.
  void free(void* object);

  WORD objectSize() const { return m_ObjSize; }
  // Counts, for tests and traces.
  int blockCount() const;
  int freeBlockCount() const { return m_FreeBlocks; }

 private:
  void unlink(CBufBlock* b);
  void pushFront(CBufBlock* b);
  void pushBack(CBufBlock* b);
  void insertBefore(CBufBlock* b, CBufBlock* before);

  WORD m_ObjPerBlock;
  WORD m_ObjSize;
  WORD m_MaxFreeBlocks;
  WORD m_FreeBlocks;
  CBufBlock* m_First;
  CBufBlock* m_Last;
};
