// The bounded list on its own, with an item and failure texts of the test's
// own: where its entries live, the cursor, and both ways it refuses.
#include "synccore/boundedlist.h"

#include <gtest/gtest.h>

#include <string>

#include "synccore/except.h"
#include "synccore/tests/allocfail.h"

namespace {

struct Pair {
  int m_A;
  int m_B;
};

struct TestNames {
  static constexpr const char* kClass = "CTestList";
  static constexpr const char* kAllocFailed = "test allocation";
  static constexpr const char* kFull = "test list overflow";
};

class CTestList : public CBoundedList<Pair, TestNames> {
 public:
  CTestList(DWORD capacity, Pair* inlineItems, DWORD inlineCount) : CBoundedList(capacity, inlineItems, inlineCount) {}
  void push(int a, int b) { pushItem(Pair{a, b}); }
};

// Legend: capacity, room given inline (0: none) -> the entries live in that room.
struct StorageCase {
  DWORD capacity;
  DWORD inlineCount;
  bool usesInline;
};

const StorageCase kStorageCases[] = {
    {0, 0, false},  // no room given: one entry is allocated all the same
    {0, 1, true},  {1, 1, true}, {3, 4, true}, {4, 4, true}, {5, 4, false},  // one more than the room
    {1, 0, false},
};

class BoundedListStorage : public ::testing::TestWithParam<StorageCase> {};

TEST_P(BoundedListStorage, InlineOnlyWhenTheRoomIsLargeEnough) {
  const StorageCase& c = GetParam();
  Pair room[4] = {};
  CTestList list(c.capacity, c.inlineCount ? room : nullptr, c.inlineCount);
  EXPECT_EQ(list.usesInlineItems(), c.usesInline);
  EXPECT_EQ(list.capacity(), c.capacity);
  for (DWORD i = 0; i < c.capacity; ++i) list.push(static_cast<int>(i) + 1, 0);
  ASSERT_EQ(list.count(), c.capacity);
  // Inline entries are written into the room itself; allocated ones leave it alone.
  for (DWORD i = 0; i < c.capacity && i < 4; ++i) EXPECT_EQ(room[i].m_A, c.usesInline ? static_cast<int>(i) + 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, BoundedListStorage, ::testing::ValuesIn(kStorageCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(BoundedList, CursorStartsOverAndClearEmpties) {
  CTestList list(3, nullptr, 0);
  EXPECT_EQ(list.first(), nullptr);
  list.push(1, 10);
  list.push(2, 20);
  const Pair* p = list.first();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->m_B, 10);
  // An entry pushed while reading is reached by the same walk.
  list.push(3, 30);
  p = list.next();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->m_A, 2);
  p = list.next();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->m_A, 3);
  EXPECT_EQ(list.next(), nullptr);
  EXPECT_EQ(list.next(), nullptr);  // stays past the end
  EXPECT_EQ(list.first()->m_A, 1);
  list.clear();
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.first(), nullptr);
  list.push(4, 40);  // a cleared list takes its full capacity again
  list.push(5, 50);
  list.push(6, 60);
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list.first()->m_A, 4);
}

TEST(BoundedListDeathTest, FullListStopsWithItsOwnText) {
  Pair room[1];
  CTestList list(1, room, 1);
  list.push(1, 1);
  EXPECT_DEATH(list.push(2, 2), "CTestList.*test list overflow");
}

TEST(BoundedListDeathTest, ZeroCapacityTakesNothing) {
  CTestList list(0, nullptr, 0);
  EXPECT_DEATH(list.push(1, 1), "test list overflow");
}

TEST(BoundedList, AllocationFailureThrowsTheNamesTexts) {
  testutil::AllocFailure fail(0);
  try {
    CTestList list(8, nullptr, 0);
    FAIL() << "no exception";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CTestList");
    EXPECT_STREQ(e.getMethod(), "Constructor");
    EXPECT_STREQ(e.getMessage(), "test allocation");
  }
}

TEST(BoundedList, InlineRoomNeedsNoAllocation) {
  testutil::AllocFailure fail(0);  // any allocation would throw
  Pair room[2];
  CTestList list(2, room, 2);
  EXPECT_TRUE(list.usesInlineItems());
}

}  // namespace
