// The held records on their own: a copy is deep and owns every text and
// array it holds; a change keeps the held record's identity; and when memory
// runs out at any step, the held record is left as it was and nothing that
// was had is kept.
#include "gwclient/src/record.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "gwclient/tests/allocfail.h"

namespace {

char* Text(const char* s) { return const_cast<char*>(s); }

// Bytes the program holds from the heap now.
size_t HeapInUse() { return mallinfo2().uordblks; }

TEST(RecordTest, AnEmptyRecordHasEmptyTextsAndNoArrays) {
  CRecord<__MAIL_DATA> mail;
  for (const char* t : {mail.pszSubject, mail.pszFrom, mail.pszTo, mail.pszCC, mail.pszBCC, mail.pszReplyTo,
                        mail.pszContentType, mail.pszData})
    EXPECT_STREQ(t, "");
  CRecord<__SCHEDULE_DATA> s;
  EXPECT_EQ(s.pExceptions, nullptr);
  EXPECT_EQ(s.nExceptionCount, 0);
  CRecord<__ADDRESS_DATA> card;
  EXPECT_STREQ(card.pszCategory, "");
  EXPECT_EQ(card.pValues, nullptr);
}

TEST(RecordTest, ACopyOwnsItsOwnTextsAndReadsNullAsEmpty) {
  __TODO_DATA from{7, 8, {2024, 2, 29}, 3, 1, {2024, 3, 1}, Text("name"), nullptr, Text("memo")};
  CRecord<__TODO_DATA> copy(from);
  EXPECT_EQ(copy.nID, 7u);
  EXPECT_EQ(copy.nPriority, 3);
  EXPECT_EQ(copy.dateEnd.lMonth, 3);
  EXPECT_NE(copy.pszName, from.pszName);
  EXPECT_STREQ(copy.pszName, "name");
  EXPECT_STREQ(copy.pszCategory, "");
  EXPECT_STREQ(copy.pszMemo, "memo");
}

// Schedule exceptions: a count without dates, or one below 1, carries none.
struct ExceptionRow {
  LONG count;
  bool withDates;
  LONG held;
};

void PrintTo(const ExceptionRow& r, std::ostream* os) {
  *os << r.count << (r.withDates ? " with dates" : " without dates");
}

class ScheduleExceptionTest : public ::testing::TestWithParam<ExceptionRow> {};

TEST_P(ScheduleExceptionTest, CopiesOnlyACountWithDates) {
  __OFFICE_DATE dates[2] = {{2024, 1, 1}, {2024, 1, 8}};
  __SCHEDULE_DATA from{};
  from.nExceptionCount = GetParam().count;
  from.pExceptions = GetParam().withDates ? dates : nullptr;
  CRecord<__SCHEDULE_DATA> copy(from);
  EXPECT_EQ(copy.nExceptionCount, GetParam().held);
  if (GetParam().held == 0) {
    EXPECT_EQ(copy.pExceptions, nullptr);
    return;
  }
  ASSERT_NE(copy.pExceptions, dates);
  EXPECT_EQ(copy.pExceptions[1].lDay, 8);
}

INSTANTIATE_TEST_SUITE_P(Rows, ScheduleExceptionTest,
                         ::testing::Values(ExceptionRow{2, true, 2}, ExceptionRow{2, false, 0},
                                           ExceptionRow{0, true, 0}, ExceptionRow{-3, true, 0}));

TEST(RecordTest, ACardCopyOwnsItsItemDefinitions) {
  __ADDRESS_ITEM tel{-9, Text("Phone"), 1, 0, 0};
  __ADDRESS_ITEM_VALUE values[2] = {{&tel, Text("03-1234")}, {nullptr, Text("loose")}};
  __ADDRESS_DATA from{5, 6, 2, Text("Work"), 2, values};
  CRecord<__ADDRESS_DATA> card(from);
  ASSERT_EQ(card.nItemCount, 2);
  EXPECT_EQ(card.nKind, 2);
  EXPECT_STREQ(card.pszCategory, "Work");
  ASSERT_NE(card.pValues[0].pItem, nullptr);
  EXPECT_NE(card.pValues[0].pItem, &tel);
  EXPECT_NE(card.pValues[0].pItem->pszName, tel.pszName);
  EXPECT_STREQ(card.pValues[0].pItem->pszName, "Phone");
  EXPECT_EQ(card.pValues[0].pItem->nID, -9);
  EXPECT_STREQ(card.pValues[0].pszValue, "03-1234");
  EXPECT_EQ(card.pValues[1].pItem, nullptr);
  EXPECT_STREQ(card.pValues[1].pszValue, "loose");
}

TEST(RecordTest, ACardWithSharedValuesLeavesTheDefinitionsAlone) {
  CRecord<__ADDRESS_ITEM> tel;
  tel.pszName = DupString("Phone");
  {
    CRecord<__ADDRESS_DATA> card;
    card.AllocateSharedValues(1);
    card.pValues[0] = {&tel, DupString("03")};
    card.nItemCount = 1;
  }
  EXPECT_STREQ(tel.pszName, "Phone");  // still the definition's own
}

TEST(RecordTest, AChangeKeepsTheHeldIdentity) {
  CRecord<__SCHEDULE_DATA> held;
  held.nID = 40;
  held.datePrev = {2024, 5, 1};
  held.pszEvent = DupString("old");
  __SCHEDULE_DATA from{};
  from.nID = 99;
  from.datePrev = {1999, 1, 1};
  from.dateSet = {2024, 6, 2};
  from.pszEvent = Text("new");
  CopyRecordInto(held, from);
  EXPECT_EQ(held.nID, 40u);
  EXPECT_EQ(held.datePrev.lYear, 2024);
  EXPECT_EQ(held.dateSet.lMonth, 6);
  EXPECT_STREQ(held.pszEvent, "new");

  CRecord<__MEMO_DATA> memo;
  memo.nID = 3;
  __MEMO_DATA memoFrom{8, 9, Text("t"), Text("d")};
  CopyRecordInto(memo, memoFrom);
  EXPECT_EQ(memo.nID, 3u);
  EXPECT_EQ(memo.nTimeStamp, 9);
  EXPECT_STREQ(memo.pszData, "d");
}

// Fails the n-th allocation of change for every n until it completes: each
// failure throws std::bad_alloc with the record unchanged (show gives the
// same text) and the heap back where it was; the last run changes it.
void SweepCopy(const std::function<void()>& change, const std::function<std::string()>& show) {
  const std::string before = show();
  // Fails allocation n; true when it was met (and change threw).
  auto failAt = [&](long n) {
    bool threw = false, met = false;
    {
      gwtest::AllocFailure fail(n, false);
      try {
        change();
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      met = fail.Met();
    }
    EXPECT_EQ(threw, met) << n;
    return met;
  };
  for (long n = 0;; ++n) {
    // The first throw along a path may leave the runtime's own caches
    // behind: the heap is compared around a second failure at n.
    if (failAt(n)) {
      ASSERT_EQ(show(), before) << "after failing allocation " << n;
    }
    const size_t heap = HeapInUse();
    const bool met = failAt(n);
    if (!met) {
      EXPECT_NE(show(), before);
      return;
    }
    ASSERT_EQ(show(), before) << "after failing allocation " << n;
    ASSERT_EQ(HeapInUse(), heap) << "leaked after failing allocation " << n;
    ASSERT_LT(n, 100);
  }
}

TEST(RecordSweepTest, AFailedCardChangeLeavesTheCardAndLeaksNothing) {
  __ADDRESS_ITEM tel{-9, Text("Phone"), 1, 0, 0};
  __ADDRESS_ITEM fax{12, Text("Fax"), 1, 0, 0};
  __ADDRESS_ITEM_VALUE values[3] = {{&tel, Text("03")}, {nullptr, Text("x")}, {&fax, Text("04")}};
  __ADDRESS_DATA from{1, 2, 1, Text("Home"), 3, values};
  CRecord<__ADDRESS_DATA> held;
  held.pszCategory = DupString("Old");
  SweepCopy([&] { CopyRecordInto(held, from); },
            [&] {
              std::string out = held.pszCategory;
              for (LONG i = 0; i < held.nItemCount; ++i)
                out += "|" + std::string(held.pValues[i].pItem ? held.pValues[i].pItem->pszName : "-") + "=" +
                       held.pValues[i].pszValue;
              return out;
            });
  EXPECT_EQ(held.nItemCount, 3);
}

TEST(RecordSweepTest, AFailedScheduleChangeLeavesTheScheduleAndLeaksNothing) {
  __OFFICE_DATE dates[2] = {{2024, 1, 1}, {2024, 1, 8}};
  __SCHEDULE_DATA from{};
  from.pszEvent = Text("event");
  from.pszDetail = Text("detail");
  from.pszMemo = Text("memo");
  from.nExceptionCount = 2;
  from.pExceptions = dates;
  CRecord<__SCHEDULE_DATA> held;
  held.pszEvent = DupString("before");
  SweepCopy([&] { CopyRecordInto(held, from); },
            [&] {
              return std::string(held.pszEvent) + "|" + held.pszDetail + "|" + held.pszMemo + "|" +
                     std::to_string(held.nExceptionCount);
            });
}

TEST(RecordSweepTest, AFailedMailCopyLeaksNothing) {
  __MAIL_DATA from{};
  from.pszSubject = Text("s");
  from.pszTo = Text("t");
  from.pszData = Text("body");
  std::unique_ptr<CRecord<__MAIL_DATA>> held;
  SweepCopy([&] { held = std::make_unique<CRecord<__MAIL_DATA>>(from); },
            [&] { return held ? std::string(held->pszSubject) + held->pszData : std::string("none"); });
}

}  // namespace
