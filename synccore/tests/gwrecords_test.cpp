// The five kinds' server records: identification texts, owned copies,
// bounded category, exception dates, clones into the pool and the texts of
// allocation failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "synccore/gwaddress.h"
#include "synccore/gwmail.h"
#include "synccore/gwmemo.h"
#include "synccore/gwschedule.h"
#include "synccore/gwtodo.h"
#include "synccore/tests/allocfail.h"

namespace {

std::string idOf(const CGWRecord& r, int length = 64) {
  std::string buf(static_cast<size_t>(length), 'Z');
  r.getRecIdStr(buf.data(), length);
  return buf.c_str();
}

__ADDRESS_ITEM kFirst{-1, const_cast<char*>("FirstName"), 1, 0, 0};
__ADDRESS_ITEM kCompany{1, const_cast<char*>("Company"), 1, 0, 0};

// Address identification: rows of item values (id, value) and the text.
struct AddressIdRow {
  std::vector<std::pair<LONG, const char*>> values;
  const char* expected;
};

class AddressId : public ::testing::TestWithParam<AddressIdRow> {};

TEST_P(AddressId, NamesTheCardByLastThenFirstName) {
  std::vector<__ADDRESS_ITEM> items;
  std::vector<__ADDRESS_ITEM_VALUE> values;
  items.reserve(GetParam().values.size());
  for (auto [id, text] : GetParam().values) {
    items.push_back({id, const_cast<char*>("n"), 1, 0, 0});
    values.push_back({&items.back(), const_cast<char*>(text)});
  }
  __ADDRESS_DATA card{
      7, 100, 1, const_cast<char*>(""), static_cast<LONG>(values.size()), values.empty() ? nullptr : values.data()};
  EXPECT_EQ(idOf(CGWAddressConstRec(&card)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, AddressId,
                         ::testing::Values(AddressIdRow{{}, " "},             // no name items: two empty halves
                                           AddressIdRow{{{1, "Acme"}}, " "},  // other items do not count
                                           AddressIdRow{{{-1, "Taro"}, {-2, "Yamada"}},
                                                        "Yamada Taro"},                      // last name first
                                           AddressIdRow{{{-2, ""}, {-2, "Sato"}}, "Sato "},  // a later value replaces
                                           // the walk stops once both are found: the third value is never seen
                                           AddressIdRow{{{-2, "Sato"}, {-1, "Jiro"}, {-2, "Late"}}, "Sato Jiro"}));

TEST(ScheduleRecord, IdentifiesByDateAndEventOrDetail) {
  __SCHEDULE_DATA s{};
  s.dateSet = {2026, 3, 9};
  s.pszEvent = const_cast<char*>("");
  s.pszDetail = const_cast<char*>("");
  CGWScheduleConstRec r(&s);
  EXPECT_EQ(idOf(r), "3/9 ");
  s.pszDetail = const_cast<char*>("checkup");
  EXPECT_EQ(idOf(r), "3/9 checkup");
  s.pszEvent = const_cast<char*>("Dentist");
  EXPECT_EQ(idOf(r), "3/9 Dentist");
}

TEST(RecordId, LongTextEndsWithDotsAndNeverSplitsADoubleByteCharacter) {
  CGWMemoRec memo;
  // "ab" then Shift-JIS characters of two bytes each.
  std::string subject = "ab";
  for (int i = 0; i < 10; ++i) subject += "\x93\xfa";
  memo.setSubject(subject.c_str());
  std::string id = idOf(memo, 10);
  ASSERT_LE(id.size(), 9u);
  ASSERT_GE(id.size(), 3u);
  EXPECT_EQ(id.substr(id.size() - 3), "...");
  std::string kept = id.substr(0, id.size() - 3);
  EXPECT_EQ(kept.substr(0, 2), "ab");
  EXPECT_EQ((kept.size() - 2) % 2, 0u) << kept;  // whole characters only
  EXPECT_EQ(idOf(memo, 200), subject);
}

TEST(AddressRecord, CategoryIsCutToItsBuffer) {
  CGWAddressRec r;
  std::string text(300, 'c');
  r.setCategory(text.c_str());
  EXPECT_EQ(std::string(r.getCategory()), std::string(255, 'c'));
  r.setCategory(nullptr);
  EXPECT_EQ(r.getCategory(), nullptr);
}

TEST(AddressRecord, OwnsCopiesOfItemsAndValues) {
  char value[] = "Yamada";
  char name[] = "LastName";
  __ADDRESS_ITEM item{-2, name, 1, 1, 0};
  CGWAddressRec r;
  __ADDRESS_ITEM_VALUE* v = r.setItemCount(2);
  v = r.setItemValue(v, {&item, value});
  r.setItemValue(v, {&kFirst, const_cast<char*>("Taro")});
  std::strcpy(value, "XXXXXX");
  std::strcpy(name, "XXXXXXXX");
  item.nID = 99;
  const __ADDRESS_ITEM_VALUE* got = nullptr;
  ASSERT_EQ(r.getItemValues(&got), 2);
  EXPECT_STREQ(got[0].pszValue, "Yamada");
  EXPECT_STREQ(got[0].pItem->pszName, "LastName");
  EXPECT_EQ(got[0].pItem->nID, -2);
  EXPECT_EQ(got[0].pItem->bNecessary, 1);
  EXPECT_EQ(idOf(r), "Yamada Taro");
  // A copy through assign is independent of its source.
  CGWAddressRec copy;
  copy.assign(r);
  r.setItemCount(0);
  EXPECT_EQ(r.getItemValues(&got), 0);
  EXPECT_EQ(copy.getItemValues(&got), 2);
  EXPECT_STREQ(got[1].pszValue, "Taro");
  // Writing past the values is refused, not done.
  __ADDRESS_ITEM_VALUE* end = copy.setItemCount(1) + 1;
  EXPECT_THROW(copy.setItemValue(end, {&kCompany, const_cast<char*>("x")}), CWrongIndex);
}

TEST(ScheduleRecord, ExceptionDatesAreOwnedAndZeroCountLeavesNone) {
  CGWScheduleRec r;
  __OFFICE_DATE* c = r.setExceptionCount(2);
  ASSERT_NE(c, nullptr);
  c = r.setException(c, {2026, 1, 5});
  r.setException(c, {2026, 1, 12});
  const __OFFICE_DATE* dates = nullptr;
  ASSERT_EQ(r.getExceptions(&dates), 2);
  EXPECT_EQ(dates[1].lDay, 12);
  CGWScheduleRec copy;
  copy.assign(r);
  EXPECT_EQ(r.setExceptionCount(0), nullptr);
  EXPECT_EQ(r.getExceptions(&dates), 0);
  EXPECT_EQ(dates, nullptr);
  ASSERT_EQ(copy.getExceptions(&dates), 2);
  EXPECT_EQ(dates[0].lDay, 5);
}

TEST(MailRecord, AssignCopiesEveryField) {
  CGWMailRec a;
  a.setRecordId(12);
  a.setRead(1);
  a.setSubject("s");
  a.setFrom("f");
  a.setTo("t");
  a.setCC("c");
  a.setBCC("b");
  a.setReplyTo("r");
  a.setContentType("text/plain");
  a.setData("body");
  auto b = std::make_unique<CGWMailRec>();
  b->assign(a);
  a.setSubject(nullptr);  // null stays null
  EXPECT_EQ(a.getSubject(), nullptr);
  EXPECT_EQ(b->getRecordId(), 12u);
  EXPECT_EQ(b->getRead(), 1);
  for (auto [got, want] : {std::pair{b->getSubject(), "s"},
                           {b->getFrom(), "f"},
                           {b->getTo(), "t"},
                           {b->getCC(), "c"},
                           {b->getBCC(), "b"},
                           {b->getReplyTo(), "r"},
                           {b->getContentType(), "text/plain"},
                           {b->getData(), "body"}})
    EXPECT_STREQ(got, want);
}

TEST(ToDoRecord, AssignCopiesAndCategoryReachesTheEngine) {
  CGWToDoRec a;
  a.setName("n");
  a.setCategory("Work");
  a.setMemo("m");
  a.setDateLimit({2026, 12, 31});
  a.setImportant(3);
  a.setFinish(1);
  CGWToDoRec b;
  b.assign(a);
  const CGWRecord& base = b;
  EXPECT_STREQ(base.getCategory(), "Work");
  EXPECT_STREQ(b.getName(), "n");
  EXPECT_STREQ(b.getMemo(), "m");
  EXPECT_EQ(b.getDateLimit().lDay, 31);
  EXPECT_EQ(b.getImportant(), 3);
  EXPECT_EQ(b.getFinish(), 1);
  EXPECT_EQ(idOf(b), "n");
}

TEST(RecordCopies, AFailedCopyThrowsWithItsLabelAndKeepsTheOldText) {
  CGWMemoRec memo;
  memo.setData("old");
  try {
    testutil::AllocFailure fail(0);
    memo.setData("new");
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CGWRecord");
    EXPECT_STREQ(e.getMethod(), "copyStrField");
    EXPECT_STREQ(e.getMessage(), "Body");
  }
  EXPECT_STREQ(memo.getData(), "old");

  CGWAddressRec card;
  try {
    testutil::AllocFailure fail(0);
    card.setItemCount(3);
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getMethod(), "allocItemValues");
    EXPECT_STREQ(e.getMessage(), "Alloc buffer of item list");
  }
  try {
    testutil::AllocFailure fail(2);  // the list and one item, then none
    card.setItemCount(3);
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getMessage(), "Alloc buffer of address item");
  }
}

TEST(RecRel, CloneCopiesTheEntryAndNamesItsClassWhenThePoolIsEmpty) {
  __MEMO_DATA d{5, 100, const_cast<char*>("x"), const_cast<char*>("")};
  CGWMemoRecRel e;
  e.reset(GWATTR_CHANGED, 5, 0x33, &d);
  ObjBuf pool(static_cast<WORD>(e.getSize()), 4, 1);
  CGWRecRel* c = e.clone(pool);
  EXPECT_EQ(c->m_GWRecId, 5u);
  EXPECT_EQ(c->m_HHRecId, 0x33u);
  EXPECT_EQ(c->m_Attrib, static_cast<DWORD>(GWATTR_CHANGED));
  EXPECT_EQ(c->getRecord()->getRecPtr(), &d);
  EXPECT_NE(c->getRecord(), e.getRecord());  // its own embedded record
  c->~CGWRecRel();
  pool.free(c);
  CGWToDoRecRel t;
  ObjBuf small(static_cast<WORD>(t.getSize()), 1, 0);
  std::vector<CGWRecRel*> taken;
  try {
    testutil::AllocFailure fail(0);
    for (int i = 0; i < 4; ++i) taken.push_back(t.clone(small));
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CGWToDoRecRel");
    EXPECT_STREQ(e.getMethod(), "clone");
    EXPECT_STREQ(e.getMessage(), "Placement new");
  }
  for (CGWRecRel* p : taken) {
    p->~CGWRecRel();
    small.free(p);
  }
}

using RecordDeath = ::testing::Test;

TEST(RecordDeath, SettersOfReadOnlyRecordsStopTheProcess) {
  __MEMO_DATA d{1, 1, const_cast<char*>("a"), const_cast<char*>("b")};
  CGWMemoConstRec memo(&d);
  EXPECT_DEATH(memo.setSubject("x"), "");
  CGWMailConstRec mail;
  EXPECT_DEATH(mail.setTo("x"), "");
}

}  // namespace
