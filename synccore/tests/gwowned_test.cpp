// The owned copies of the client library's record structures: texts that
// point into the holder, moves that keep them there, and copies that either
// complete or change nothing, at every allocation that can fail.
#include "synccore/gwowned.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "synccore/gwaddress.h"
#include "synccore/gwmail.h"
#include "synccore/gwschedule.h"
#include "synccore/tests/allocfail.h"

namespace {

using MemoTexts = CGWOwnedTexts<__MEMO_DATA, &__MEMO_DATA::pszName, &__MEMO_DATA::pszData>;
using MailTexts = CGWOwnedTexts<__MAIL_DATA, &__MAIL_DATA::pszSubject, &__MAIL_DATA::pszFrom, &__MAIL_DATA::pszTo,
                                &__MAIL_DATA::pszCC, &__MAIL_DATA::pszBCC, &__MAIL_DATA::pszReplyTo,
                                &__MAIL_DATA::pszContentType, &__MAIL_DATA::pszData>;

const MailTexts::Labels kMailLabels{"L0", "L1", "L2", "L3", "L4", "L5", "L6", "L7"};

// The texts of a mail structure in field order ("(null)" for null).
std::vector<std::string> textsOf(const __MAIL_DATA& m) {
  std::vector<std::string> out;
  for (const char* s : {m.pszSubject, m.pszFrom, m.pszTo, m.pszCC, m.pszBCC, m.pszReplyTo, m.pszContentType, m.pszData})
    out.push_back(s ? s : "(null)");
  return out;
}

TEST(OwnedTexts, SetCopiesTheTextAndNullStaysNull) {
  MemoTexts t;
  EXPECT_EQ(t.data().pszName, nullptr);
  char subject[] = "Shopping";
  t.set<&__MEMO_DATA::pszName>(subject, "Subject");
  subject[0] = 'X';
  ASSERT_NE(t.data().pszName, subject);
  EXPECT_STREQ(t.data().pszName, "Shopping");
  EXPECT_EQ(t.data().pszData, nullptr);  // the other field untouched
  t.set<&__MEMO_DATA::pszName>(nullptr, "Subject");
  EXPECT_EQ(t.data().pszName, nullptr);
}

TEST(OwnedTexts, AFailedSetNamesItsLabelAndKeepsTheField) {
  MemoTexts t;
  t.set<&__MEMO_DATA::pszData>("old", "Body");
  const char* before = t.data().pszData;
  try {
    testutil::AllocFailure fail(0);
    t.set<&__MEMO_DATA::pszData>("new", "Body");
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CGWRecord");
    EXPECT_STREQ(e.getMethod(), "copyStrField");
    EXPECT_STREQ(e.getMessage(), "Body");
  }
  EXPECT_EQ(t.data().pszData, before);
  EXPECT_STREQ(t.data().pszData, "old");
}

TEST(OwnedTexts, MovingKeepsTheTextsWhereTheyAre) {
  MemoTexts a;
  a.set<&__MEMO_DATA::pszName>("n", "Subject");
  a.data().nID = 9;
  const char* name = a.data().pszName;
  MemoTexts b(std::move(a));
  EXPECT_EQ(b.data().pszName, name);
  EXPECT_EQ(b.data().nID, 9u);
  MemoTexts c;
  c.set<&__MEMO_DATA::pszData>("gone", "Body");
  c = std::move(b);
  EXPECT_EQ(c.data().pszName, name);
  EXPECT_STREQ(c.data().pszName, "n");
  EXPECT_EQ(c.data().pszData, nullptr);  // the structure came with the texts
}

TEST(OwnedTexts, CopyFromTakesEveryFieldAndOwnsItsTexts) {
  __MAIL_DATA src{7,
                  100,
                  55,
                  1,
                  const_cast<char*>("s"),
                  nullptr,
                  const_cast<char*>("t"),
                  const_cast<char*>(""),
                  nullptr,
                  const_cast<char*>("r"),
                  const_cast<char*>("text/plain"),
                  const_cast<char*>("body")};
  MailTexts t;
  t.copyFrom(src, kMailLabels);
  EXPECT_EQ(t.data().nID, 7u);
  EXPECT_EQ(t.data().nTimeStamp, 100);
  EXPECT_EQ(t.data().nTimeSent, 55);
  EXPECT_EQ(t.data().bRead, 1);
  EXPECT_EQ(textsOf(t.data()), textsOf(src));
  EXPECT_NE(t.data().pszSubject, src.pszSubject);
  EXPECT_NE(t.data().pszData, src.pszData);
}

// Row k: the k-th text copy of copyFrom fails (the copies before it are had).
class OwnedCopyFailure : public ::testing::TestWithParam<int> {};

TEST_P(OwnedCopyFailure, ThrowsThatTextsLabelAndChangesNothing) {
  const int k = GetParam();
  MailTexts t;
  t.copyFrom(
      {1, 2, 3, 0, const_cast<char*>("a"), const_cast<char*>("b"), const_cast<char*>("c"), const_cast<char*>("d"),
       const_cast<char*>("e"), const_cast<char*>("f"), const_cast<char*>("g"), const_cast<char*>("h")},
      kMailLabels);
  const __MAIL_DATA before = t.data();
  const std::vector<std::string> textsBefore = textsOf(before);
  char x[] = "x";
  const __MAIL_DATA src{8, 9, 10, 1, x, x, x, x, x, x, x, x};
  try {
    testutil::AllocFailure fail(k);
    t.copyFrom(src, kMailLabels);
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getMessage(), kMailLabels[static_cast<size_t>(k)]);
  }
  EXPECT_EQ(t.data().nID, before.nID);
  EXPECT_EQ(t.data().nTimeSent, before.nTimeSent);
  EXPECT_EQ(t.data().pszSubject, before.pszSubject);
  EXPECT_EQ(t.data().pszData, before.pszData);
  EXPECT_EQ(textsOf(t.data()), textsBefore);
}

INSTANTIATE_TEST_SUITE_P(EveryText, OwnedCopyFailure, ::testing::Range(0, 8));

// The records' assign: a copy that fails at any of its allocations leaves
// the record as it was.
TEST(RecordAssign, AMailThatCannotBeCopiedStaysAsItWas) {
  CGWMailRec src;
  src.setRecordId(4);
  for (auto set : {&CGWMailRec::setSubject, &CGWMailRec::setFrom, &CGWMailRec::setTo, &CGWMailRec::setCC,
                   &CGWMailRec::setBCC, &CGWMailRec::setReplyTo, &CGWMailRec::setContentType, &CGWMailRec::setData})
    (src.*set)("new");
  for (int k = 0; k < 8; ++k) {
    CGWMailRec r;
    r.setRecordId(3);
    r.setSubject("old");
    try {
      testutil::AllocFailure fail(k);
      r.assign(src);
      ADD_FAILURE() << "no throw at " << k;
    } catch (const CMemoryRunOut&) {
    }
    EXPECT_EQ(r.getRecordId(), 3u) << k;
    EXPECT_STREQ(r.getSubject(), "old") << k;
    EXPECT_EQ(r.getData(), nullptr) << k;
  }
  CGWMailRec r;
  r.assign(src);
  EXPECT_EQ(r.getRecordId(), 4u);
  EXPECT_STREQ(r.getContentType(), "new");
}

TEST(RecordAssign, AScheduleWhoseDatesCannotBeHadKeepsItsTextsAndDates) {
  CGWScheduleRec src;
  src.setEvent("new");
  src.setExceptions(std::vector<__OFFICE_DATE>{{2026, 1, 1}, {2026, 1, 8}}.data(), 2);
  CGWScheduleRec r;
  r.setEvent("old");
  __OFFICE_DATE once{2025, 5, 5};
  r.setExceptions(&once, 1);
  try {
    testutil::AllocFailure fail(1);  // the event's copy, then not the dates
    r.assign(src);
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CGWScheduleRec");
    EXPECT_STREQ(e.getMethod(), "copyDateField");
  }
  EXPECT_STREQ(r.getEvent(), "old");
  const __OFFICE_DATE* dates = nullptr;
  ASSERT_EQ(r.getExceptions(&dates), 1);
  EXPECT_EQ(dates[0].lYear, 2025);
  r.assign(src);
  ASSERT_EQ(r.getExceptions(&dates), 2);
  EXPECT_EQ(dates[1].lDay, 8);
  EXPECT_STREQ(r.getEvent(), "new");
}

// Row k: the k-th allocation of copying a card of two values fails (the
// list, two definitions, then name and text of each value).
class AddressAssignFailure : public ::testing::TestWithParam<int> {};

TEST_P(AddressAssignFailure, LeavesTheCardAsItWas) {
  __ADDRESS_ITEM last{-2, const_cast<char*>("LastName"), 1, 0, 0};
  __ADDRESS_ITEM first{-1, const_cast<char*>("FirstName"), 1, 0, 0};
  CGWAddressRec src;
  __ADDRESS_ITEM_VALUE* v = src.setItemCount(2);
  v = src.setItemValue(v, {&last, const_cast<char*>("Sato")});
  src.setItemValue(v, {&first, const_cast<char*>("Jiro")});
  CGWAddressRec r;
  r.setItemValue(r.setItemCount(1), {&last, const_cast<char*>("Old")});
  r.setCategory("Kept");
  try {
    testutil::AllocFailure fail(GetParam());
    r.assign(src);
    FAIL() << "no throw";
  } catch (const CMemoryRunOut& e) {
    EXPECT_STREQ(e.getClassName(), "CGWAddressRec");
  }
  const __ADDRESS_ITEM_VALUE* got = nullptr;
  ASSERT_EQ(r.getItemValues(&got), 1);
  EXPECT_STREQ(got[0].pszValue, "Old");
  EXPECT_STREQ(got[0].pItem->pszName, "LastName");
  EXPECT_STREQ(r.getCategory(), "Kept");
}

INSTANTIATE_TEST_SUITE_P(EveryAllocation, AddressAssignFailure, ::testing::Range(0, 7));

TEST(RecordAssign, ACardCopiedWhole) {
  __ADDRESS_ITEM last{-2, const_cast<char*>("LastName"), 1, 1, 0};
  CGWAddressRec src;
  src.setItemValue(src.setItemCount(1), {&last, const_cast<char*>("Sato")});
  src.setCategory("Work");
  CGWAddressRec r;
  r.assign(src);
  src.setItemCount(0);
  const __ADDRESS_ITEM_VALUE* got = nullptr;
  ASSERT_EQ(r.getItemValues(&got), 1);
  EXPECT_STREQ(got[0].pszValue, "Sato");
  EXPECT_EQ(got[0].pItem->bNecessary, 1);
  EXPECT_STREQ(r.getCategory(), "Work");
}

}  // namespace
