// The model's small parts: result lists of handheld writes, the deferred
// relation commands, the exceptions and their messages, and the handheld
// data source's base operations.
#include <gtest/gtest.h>

#include <new>

#include "log/msgids.h"
#include "synccore/except.h"
#include "synccore/gwdatasrc.h"
#include "synccore/hhdatasrc.h"
#include "synccore/tests/allocfail.h"
#include "synccore/tests/logcapture.h"
#include "synccore/tests/memhh.h"
#include "testutil/files.h"

namespace {

TEST(HHRecOpResult, InlineBufferOnlyWhenLargeEnough) {
  CHHRecOpResultItem one[1];
  CHHRecOpResult fits(1, one, 1);
  EXPECT_TRUE(fits.usesInlineItems());
  CHHRecOpResult grows(2, one, 1);
  EXPECT_FALSE(grows.usesInlineItems());
  grows.push(HHOP_ADD, 1, 0x10);
  grows.push(HHOP_DELETE, 0, 0x11);  // both fit: the array was allocated
  EXPECT_EQ(grows.count(), 2u);
}

TEST(HHRecOpResult, EntriesComeBackInOrderAndClearEmpties) {
  CHHRecOpResult list(3, nullptr, 0);
  EXPECT_EQ(list.first(), nullptr);
  list.push(HHOP_ADD, 1, 0x10);
  list.push(HHOP_MODIFY, 0, 0x11);
  const CHHRecOpResultItem* e = list.first();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->m_Op, HHOP_ADD);
  EXPECT_EQ(e->m_RecId, 0x10u);
  e = list.next();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->m_Op, HHOP_MODIFY);
  EXPECT_EQ(e->m_Success, 0);
  EXPECT_EQ(list.next(), nullptr);
  EXPECT_EQ(list.next(), nullptr);
  EXPECT_EQ(list.first()->m_RecId, 0x10u);  // first starts over
  list.clear();
  EXPECT_EQ(list.first(), nullptr);
}

TEST(HHRecOpResultDeathTest, PushingIntoAFullListStops) {
  CHHRecOpResultItem items[2];
  CHHRecOpResult list(2, items, 2);
  list.push(HHOP_ADD, 1, 1);
  list.push(HHOP_ADD, 1, 2);
  EXPECT_DEATH(list.push(HHOP_ADD, 1, 3), "full result list");
}

TEST(HHRecOpResult, AllocationFailureThrowsItsThreeTexts) {
  testutil::AllocFailure fail(0);
  try {
    CHHRecOpResult list(50, nullptr, 0);
    FAIL() << "no exception";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CHHRecOpResult");
    EXPECT_STREQ(e.getMethod(), "Constructor");
    EXPECT_STREQ(e.getMessage(), "New CHHRecOpResult");
  }
}

TEST(GWRecOpDList, ThirtyInsideThirtyOneAllocated) {
  CGWRecOpDList inside(30);
  EXPECT_TRUE(inside.usesInlineItems());
  CGWRecOpDList outside(31);
  EXPECT_FALSE(outside.usesInlineItems());
  static const GWSyncCmd kCmds[] = {GW_ADDREL, GW_END};
  for (DWORD i = 0; i < 31; ++i) outside.push(i % 2 ? kCmds : nullptr, i);
  DWORD n = 0;
  for (const CGWRecOpDItem* e = outside.first(); e; e = outside.next(), ++n) {
    EXPECT_EQ(e->m_GWRecId, n);
    EXPECT_EQ(e->m_Cmds, n % 2 ? kCmds : nullptr);
  }
  EXPECT_EQ(n, 31u);
  outside.clear();
  EXPECT_EQ(outside.first(), nullptr);
}

TEST(GWRecOpDListDeathTest, NeverWritesPastItsCapacity) {
  CGWRecOpDList list(2);
  list.push(nullptr, 1);
  list.push(nullptr, 2);
  EXPECT_DEATH(list.push(nullptr, 3), "full list of deferred");
}

TEST(GWRecOpDList, AllocationFailureThrows) {
  testutil::AllocFailure fail(0);
  try {
    CGWRecOpDList list(100);
    FAIL() << "no exception";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CGWRecOpDList");
    EXPECT_STREQ(e.getMethod(), "Constructor");
    EXPECT_STREQ(e.getMessage(), "Alloc Buffer");
  }
}

class ExceptionMessages : public ::testing::Test {
 protected:
  testutil::TempDir dir_{"exceptions"};
  testutil::LogCapture log_{dir_.path()};
};

TEST_F(ExceptionMessages, MemoryRunOutAndBadAllocReadAlike) {
  reportMemoryRunOut(CMemoryRunOut("ObjBuf", "alloc", "New Object"));
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    reportBadAlloc("SyncCore", "doSync");
  }
  ASSERT_EQ(log_.entries().size(), 2u);
  EXPECT_EQ(log_.entries()[0].text, "Out of memory in ObjBuf::alloc: New Object.\r\n");
  EXPECT_EQ(log_.entries()[1].text, "Out of memory in SyncCore::doSync: std::bad_alloc.\r\n");
  EXPECT_EQ(log_.entries()[1].level, 1);
}

TEST_F(ExceptionMessages, WrongIndexCarriesItsThreeValues) {
  reportWrongIndex(CWrongIndex("CPalmRecordSet", "find", 4000000000u));
  ASSERT_EQ(log_.entries().size(), 1u);
  EXPECT_EQ(log_.entries()[0].text, "Internal error in CPalmRecordSet::find: index -294967296 is out of range.\r\n");
}

TEST(CMemoryRunOutType, IsCaughtAsTheBaseClass) {
  try {
    throw CMemoryRunOut("a", "b", "c");
  } catch (const CSyncExcept& e) {
    EXPECT_NE(dynamic_cast<const CMemoryRunOut*>(&e), nullptr);
  }
}

TEST(HHDataSrcBase, AddCategoryFailsWhenTheListIsFull) {
  testhh::CategoryList small(1);
  struct Src : testhh::MemHH {
    explicit Src(CHHCategoryList* c) { m_Categories = c; }
  } src(&small);
  EXPECT_TRUE(src.addCategory("Work"));
  EXPECT_FALSE(src.addCategory("Home"));
  EXPECT_NE(src.findCategory("Work"), nullptr);
  EXPECT_EQ(src.findCategory("Home"), nullptr);
  EXPECT_EQ(src.recordDone(1), 1);
  EXPECT_EQ(src.batchDone(-1, 1), 0);
  EXPECT_EQ(src.CHHDataSrc::determineHowToSync(0x2345), 0x2345);
}

TEST(HHDataSrcBase, FindRecordSeesOnlyRecordsReadInThisRun) {
  testhh::MemHH hh;
  DWORD changed = hh.addRecord("changed");
  DWORD clean = hh.addRecord("clean");
  hh.store[clean].dirty = false;
  ASSERT_TRUE(hh.readRecords(nullptr, false));
  EXPECT_NE(hh.findRecord(changed), nullptr);
  EXPECT_EQ(hh.findRecord(clean), nullptr);  // on the handheld, not read
}

TEST(GWRecordDeathTest, AssignOnAReadOnlyRecordStops) {
  testgw::ConstRec a, b;
  EXPECT_DEATH(a.assign(b), "read-only");
}

}  // namespace
