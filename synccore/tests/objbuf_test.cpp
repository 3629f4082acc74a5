// The fixed-size object pool: block growth, release of wholly free blocks,
// the order of blocks, object separation, and failures that leave nothing
// half-built.
#include "synccore/objbuf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "synccore/except.h"
#include "synccore/tests/allocfail.h"

namespace {

TEST(ObjBuf, BuildsItsFreeBlocksAtOnce) {
  ObjBuf pool(40, 10, 5);
  EXPECT_EQ(pool.blockCount(), 5);
  EXPECT_EQ(pool.freeBlockCount(), 5);
  pool.alloc();
  EXPECT_EQ(pool.blockCount(), 5);
  EXPECT_EQ(pool.freeBlockCount(), 4);
}

TEST(ObjBuf, EleventhObjectMakesExactlyOneNewBlock) {
  ObjBuf pool(24, 10, 1);
  std::vector<void*> objects;
  for (int i = 0; i < 10; ++i) objects.push_back(pool.alloc());
  EXPECT_EQ(pool.blockCount(), 1);
  objects.push_back(pool.alloc());
  EXPECT_EQ(pool.blockCount(), 2);
  EXPECT_EQ(pool.freeBlockCount(), 0);
  for (void* p : objects) pool.free(p);
  // Both blocks are wholly free again; only one is kept.
  EXPECT_EQ(pool.blockCount(), 1);
  EXPECT_EQ(pool.freeBlockCount(), 1);
}

TEST(ObjBuf, NoSpareBlocksReleasesEveryBlock) {
  ObjBuf pool(8, 4, 0);
  EXPECT_EQ(pool.blockCount(), 0);
  std::vector<void*> objects;
  for (int i = 0; i < 9; ++i) objects.push_back(pool.alloc());
  EXPECT_EQ(pool.blockCount(), 3);
  for (void* p : objects) pool.free(p);
  EXPECT_EQ(pool.blockCount(), 0);
}

TEST(ObjBuf, ASlotFreedInAFullBlockIsUsedNext) {
  ObjBuf pool(16, 3, 0);
  std::vector<void*> objects;
  for (int i = 0; i < 9; ++i) objects.push_back(pool.alloc());  // three full blocks
  pool.free(objects[1]);                                        // from the first block
  EXPECT_EQ(pool.alloc(), objects[1]);
  EXPECT_EQ(pool.blockCount(), 3);
  pool.alloc();  // every block is full again: a fourth one
  EXPECT_EQ(pool.blockCount(), 4);
}

TEST(ObjBuf, ObjectsAreAlignedAndNeverOverlap) {
  ObjBuf pool(13, 10, 2);  // an odd size is rounded up
  std::mt19937 random(7);
  std::vector<unsigned char*> live;
  std::vector<unsigned char> tags;
  for (int round = 0; round < 5000; ++round) {
    if (live.empty() || random() % 3 != 0) {
      auto* p = static_cast<unsigned char*>(pool.alloc());
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
      unsigned char tag = static_cast<unsigned char>(round);
      std::memset(p, tag, 13);
      live.push_back(p);
      tags.push_back(tag);
    } else {
      size_t i = random() % live.size();
      for (int b = 0; b < 13; ++b) ASSERT_EQ(live[i][b], tags[i]) << "object overwritten";
      pool.free(live[i]);
      live.erase(live.begin() + static_cast<long>(i));
      tags.erase(tags.begin() + static_cast<long>(i));
    }
  }
  for (size_t i = 0; i < live.size(); ++i)
    for (int b = 0; b < 13; ++b) ASSERT_EQ(live[i][b], tags[i]);
  std::set<unsigned char*> distinct(live.begin(), live.end());
  EXPECT_EQ(distinct.size(), live.size());
  for (unsigned char* p : live) pool.free(p);
  EXPECT_EQ(pool.blockCount(), 2);
}

TEST(ObjBuf, FailedBlockThrowsAndTheSlotsStayUsable) {
  ObjBuf pool(16, 2, 0);
  void* a = pool.alloc();
  void* b = pool.alloc();
  {
    testutil::AllocFailure fail(0);
    try {
      pool.alloc();
      FAIL() << "no exception";
    } catch (const CMemoryRunOut& e) {
      EXPECT_STREQ(e.getClassName(), "ObjBuf");
      EXPECT_STREQ(e.getMethod(), "alloc");
      EXPECT_STREQ(e.getMessage(), "New Object");
    }
  }
  EXPECT_EQ(pool.blockCount(), 1);
  pool.free(a);
  EXPECT_EQ(pool.alloc(), a);
  pool.free(b);
}

TEST(ObjBuf, FailedConstructionKeepsNothing) {
  testutil::AllocFailure fail(2);  // the third block fails
  try {
    ObjBuf pool(16, 10, 5);
    FAIL() << "no exception";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CBufBlock");
    EXPECT_STREQ(e.getMethod(), "newBlock");
    EXPECT_STREQ(e.getMessage(), "New CBufBlock");
  }
  // The sanitizer build reports the two first blocks if they leaked.
}

}  // namespace
