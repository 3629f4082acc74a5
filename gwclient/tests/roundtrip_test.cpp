// Each data kind against a real gwserver process: add, change and remove
// records and relations, commit, and find exactly that in a new session.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/session.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

// Shift-JIS text with a line break, a trail byte that is a backslash (ソ,
// 83 5C), a comma and a quote.
const char kJapanese[] = "\x8E\x52\x93\x63 \x83\x5C\x83\x74\x83\x67\n2\x8D\x73\x96\xDA, \"q\"";
const char kUntitled[] = "\x96\xB3\x91\xE8";

class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
    userId = static_cast<DWORD>(std::stoul(server.addUser("taro", "pw")));
    server.start();
  }
  // A new logged-in session with the handheld's label.
  std::unique_ptr<COfficeSession> connect() {
    auto s = std::make_unique<COfficeSession>();
    EXPECT_EQ(s->Open(server.url().c_str(), userId, "pw", nullptr, 0), 1) << s->GetLastError();
    EXPECT_EQ(s->SetLabel("Palm", 3), 1);
    return s;
  }
  // Commits with rt=ts.-1 and checks the stamp the server gave back.
  template <typename Connection>
  long commitStamped(Connection& c) {
    EXPECT_EQ(c.SetRelationTimeStamp(-1), 1);
    const long before = static_cast<long>(std::time(nullptr));
    EXPECT_EQ(c.Commit(), 1);
    const long stamp = c.GetRelationTimeStamp();
    EXPECT_GE(stamp, before - 1);
    EXPECT_LE(stamp, static_cast<long>(std::time(nullptr)) + 5);
    return stamp;
  }
  template <typename Connection>
  std::map<DWORD, DWORD> pairs(Connection& c) {
    std::map<DWORD, DWORD> out;
    for (const __REL_DATA* p = c.FindFirstRelation(); p; p = c.FindNextRelation()) out[p->nServerID] = p->nHandheldID;
    return out;
  }

  testutil::TempDir dir{"gwclient-roundtrip"};
  testutil::GwServer server{dir.path()};
  DWORD userId = 0;
};

TEST_F(RoundTripTest, Memos) {
  DWORD a = 0, b = 0;
  long stamp = 0;
  {
    auto s = connect();
    CMemoConnection memos(*s);
    ASSERT_EQ(memos.GetCount(), 0);
    EXPECT_EQ(s->GetLastError(), 0u);
    const __MEMO_DATA* ma = memos.Set(0, 0, kJapanese, "line 1\nline 2 & more", 101);
    const __MEMO_DATA* mb = memos.Set(0, 0, "", "", 102);
    ASSERT_TRUE(ma && mb);
    stamp = commitStamped(memos);
    a = ma->nID;
    b = mb->nID;
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_EQ(pairs(memos), (std::map<DWORD, DWORD>{{a, 101}, {b, 102}}));
  }
  {
    auto s = connect();
    CMemoConnection memos(*s);
    ASSERT_EQ(memos.GetCount(), 2);
    EXPECT_STREQ(memos.Get(a)->pszName, kJapanese);
    EXPECT_STREQ(memos.Get(a)->pszData, "line 1\nline 2 & more");
    EXPECT_STREQ(memos.Get(b)->pszName, kUntitled);
    EXPECT_STREQ(memos.Get(b)->pszData, "");
    EXPECT_EQ(memos.GetRelationTimeStamp(), stamp);
    EXPECT_EQ(pairs(memos), (std::map<DWORD, DWORD>{{a, 101}, {b, 102}}));
    ASSERT_NE(memos.Set(a, 0, "renamed", kJapanese, 0), nullptr);
    ASSERT_EQ(memos.Remove(b), 1);
    ASSERT_EQ(memos.RemoveRelation(b), 1);
    ASSERT_EQ(memos.SetRelation(a, 201), 1);
    commitStamped(memos);
  }
  auto s = connect();
  CMemoConnection memos(*s);
  ASSERT_EQ(memos.GetCount(), 1);
  EXPECT_STREQ(memos.Get(a)->pszName, "renamed");
  EXPECT_STREQ(memos.Get(a)->pszData, kJapanese);
  EXPECT_GT(memos.Get(a)->nTimeStamp, 0);
  EXPECT_EQ(pairs(memos), (std::map<DWORD, DWORD>{{a, 201}}));
}

TEST_F(RoundTripTest, Addresses) {
  ASSERT_EQ(server.admin({"item", "add", server.db(), "Company", "Text"}).status, 0);
  DWORD id = 0;
  {
    auto s = connect();
    CAddressConnection addresses(*s);
    ASSERT_EQ(addresses.GetItemCount(), 12);
    std::map<LONG, const __ADDRESS_ITEM*> items;
    for (const __ADDRESS_ITEM* i = addresses.FindFirstItem(); i; i = addresses.FindNextItem()) items[i->nID] = i;
    ASSERT_EQ(addresses.GetCount(), 0);
    __ADDRESS_ITEM_VALUE values[] = {{const_cast<__ADDRESS_ITEM*>(items[-2]), const_cast<char*>("Lee")},
                                     {const_cast<__ADDRESS_ITEM*>(items[-1]), const_cast<char*>("")},
                                     {const_cast<__ADDRESS_ITEM*>(items[-11]), const_cast<char*>(kJapanese)},
                                     {const_cast<__ADDRESS_ITEM*>(items[1]), const_cast<char*>("Acme, Inc.")}};
    __ADDRESS_DATA card{0, 0, 1, const_cast<char*>("Work & play"), 4, values};
    const __ADDRESS_DATA* held = addresses.Set(&card, 55);
    ASSERT_NE(held, nullptr);
    commitStamped(addresses);
    id = held->nID;
    EXPECT_EQ(pairs(addresses), (std::map<DWORD, DWORD>{{id, 55}}));
  }
  auto values = [](const __ADDRESS_DATA* card) {
    std::map<LONG, std::string> out;
    for (LONG i = 0; i < card->nItemCount; ++i)
      if (*card->pValues[i].pszValue) out[card->pValues[i].pItem->nID] = card->pValues[i].pszValue;
    return out;
  };
  {
    auto s = connect();
    CAddressConnection addresses(*s);
    ASSERT_EQ(addresses.GetItemCount(), 12);
    ASSERT_EQ(addresses.GetCount(), 1);
    const __ADDRESS_DATA* card = addresses.Get(id);
    ASSERT_NE(card, nullptr);
    EXPECT_STREQ(card->pszCategory, "Work & play");
    EXPECT_EQ(card->nItemCount, 12);
    EXPECT_EQ(values(card), (std::map<LONG, std::string>{{-2, "Lee"}, {-11, kJapanese}, {1, "Acme, Inc."}}));
    EXPECT_EQ(pairs(addresses), (std::map<DWORD, DWORD>{{id, 55}}));
    // A change carries the whole card: the company is gone.
    __ADDRESS_ITEM_VALUE changed[] = {card->pValues[0], card->pValues[1]};
    changed[0].pszValue = const_cast<char*>("Ann");
    changed[1].pszValue = const_cast<char*>("Lee-Smith");
    __ADDRESS_DATA update{id, 0, 1, const_cast<char*>(""), 2, changed};
    ASSERT_NE(addresses.Set(&update, 0), nullptr);
    commitStamped(addresses);
  }
  {
    auto s = connect();
    CAddressConnection addresses(*s);
    ASSERT_EQ(addresses.GetItemCount(), 12);
    ASSERT_EQ(addresses.GetCount(), 1);
    EXPECT_EQ(values(addresses.Get(id)), (std::map<LONG, std::string>{{-1, "Ann"}, {-2, "Lee-Smith"}}));
    EXPECT_STREQ(addresses.Get(id)->pszCategory, "");
    ASSERT_EQ(addresses.Remove(id), 1);
    ASSERT_EQ(addresses.RemoveRelation(id), 1);
    commitStamped(addresses);
  }
  auto s = connect();
  CAddressConnection addresses(*s);
  ASSERT_EQ(addresses.GetItemCount(), 12);
  EXPECT_EQ(addresses.GetCount(), 0);
  EXPECT_EQ(addresses.GetRelationCount(), 0);
}

TEST_F(RoundTripTest, ToDosAndCategories) {
  DWORD id = 0;
  {
    auto s = connect();
    CToDoConnection todos(*s);
    ASSERT_EQ(todos.GetCount(), 0);
    ASSERT_EQ(todos.GetCategoryCount(), 0);
    ASSERT_EQ(todos.SetCategory("R&D = lab"), 1);
    ASSERT_EQ(todos.SetCategory("dropped"), 1);
    ASSERT_EQ(todos.RemoveCategory("dropped"), 1);
    ASSERT_EQ(todos.SetCategory("\x83\x5C\x83\x74\x83\x67 home"), 1);
    ASSERT_EQ(todos.CommitCategory(), 1);
    const __TODO_DATA* t = todos.Set(0, 0, __OFFICE_DATE{2026, 12, 20}, 2, 1, "", "R&D = lab", kJapanese, 9);
    ASSERT_NE(t, nullptr);
    commitStamped(todos);
    id = t->nID;
    EXPECT_EQ(pairs(todos), (std::map<DWORD, DWORD>{{id, 9}}));
  }
  {
    auto s = connect();
    CToDoConnection todos(*s);
    std::vector<std::string> names;
    for (const char* n = todos.FindFirstCategory(); n; n = todos.FindNextCategory()) names.push_back(n);
    EXPECT_EQ(names, (std::vector<std::string>{"R&D = lab", "\x83\x5C\x83\x74\x83\x67 home"}));
    ASSERT_EQ(todos.GetCount(), 1);
    const __TODO_DATA* t = todos.Get(id);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->pszName, kUntitled);
    EXPECT_STREQ(t->pszCategory, "R&D = lab");
    EXPECT_STREQ(t->pszMemo, kJapanese);
    EXPECT_EQ(t->dateLimit.lYear, 2026);
    EXPECT_EQ(t->dateLimit.lMonth, 12);
    EXPECT_EQ(t->dateLimit.lDay, 20);
    EXPECT_EQ(t->nPriority, 2);
    EXPECT_EQ(t->bFinish, 1);
    ASSERT_NE(todos.Set(id, 0, __OFFICE_DATE{0, 0, 0}, 0, 0, "Plain", "", "", 0), nullptr);
    ASSERT_NE(todos.Set(0, 0, __OFFICE_DATE{0, 0, 0}, 5, 0, "Second", "", "", 10), nullptr);
    commitStamped(todos);
  }
  auto s = connect();
  CToDoConnection todos(*s);
  ASSERT_EQ(todos.GetCount(), 2);
  const __TODO_DATA* t = todos.Get(id);
  EXPECT_STREQ(t->pszName, "Plain");
  EXPECT_EQ(t->bFinish, 0);
  EXPECT_EQ(t->dateLimit.lYear, 0);
  EXPECT_STREQ(t->pszMemo, "");
  EXPECT_EQ(todos.GetRelationCount(), 2);
}

TEST_F(RoundTripTest, Schedules) {
  DWORD weekly = 0, single = 0;
  __OFFICE_DATE exceptions[] = {{2026, 12, 28}, {2027, 1, 4}};
  {
    auto s = connect();
    CScheduleConnection schedules(*s);
    ASSERT_EQ(schedules.GetCount(), 0);
    const __SCHEDULE_DATA* w =
        schedules.Set(0, 0, __OFFICE_DATE{2026, 12, 7}, __OFFICE_DATE{2026, 12, 7}, __OFFICE_TIME{9, 0},
                      __OFFICE_TIME{24, 0}, GWREPEAT_WEEKLY, 1, "Stand-up", kJapanese, "", 2, exceptions, 1, 1);
    const __SCHEDULE_DATA* o =
        schedules.Set(0, 0, __OFFICE_DATE{2026, 12, 10}, __OFFICE_DATE{0, 0, 0}, __OFFICE_TIME{-1, -1},
                      __OFFICE_TIME{-1, -1}, GWREPEAT_NONE, -1, "Once", "", "m", 0, nullptr, 0, 2);
    ASSERT_TRUE(w && o);
    commitStamped(schedules);
    weekly = w->nID;
    single = o->nID;
    EXPECT_EQ(pairs(schedules), (std::map<DWORD, DWORD>{{weekly, 1}, {single, 2}}));
  }
  {
    auto s = connect();
    CScheduleConnection schedules(*s);
    ASSERT_EQ(schedules.GetCount(), 2);
    const __SCHEDULE_DATA* w = schedules.Get(weekly);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->nType, GWREPEAT_WEEKLY);
    EXPECT_EQ(w->nDay, 1);
    EXPECT_EQ(w->dateSet.lDay, 7);
    EXPECT_EQ(w->datePrev.lDay, 7);  // its valid date
    EXPECT_EQ(w->timeSet.lHour, 9);
    EXPECT_EQ(w->timeEnd.lHour, 24);
    EXPECT_EQ(w->bPrivate, 1);
    EXPECT_STREQ(w->pszEvent, "Stand-up");
    EXPECT_STREQ(w->pszDetail, kJapanese);
    ASSERT_EQ(w->nExceptionCount, 2);
    EXPECT_EQ(w->pExceptions[1].lYear, 2027);
    const __SCHEDULE_DATA* o = schedules.Get(single);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->nType, GWREPEAT_NONE);
    EXPECT_EQ(o->timeSet.lHour, -1);
    EXPECT_EQ(o->dateEnd.lYear, 0);
    EXPECT_STREQ(o->pszMemo, "m");
    // Move the single one, drop the weekly one.
    __SCHEDULE_DATA moved = *o;
    moved.dateSet = {2026, 12, 11};
    moved.pszEvent = const_cast<char*>("Moved");
    ASSERT_NE(schedules.Set(&moved, 0), nullptr);
    ASSERT_EQ(schedules.Remove(weekly), 1);
    ASSERT_EQ(schedules.RemoveRelation(weekly), 1);
    commitStamped(schedules);
  }
  auto s = connect();
  CScheduleConnection schedules(*s);
  ASSERT_EQ(schedules.GetCount(), 1);
  const __SCHEDULE_DATA* o = schedules.Get(single);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->dateSet.lDay, 11);
  EXPECT_STREQ(o->pszEvent, "Moved");
  EXPECT_EQ(pairs(schedules), (std::map<DWORD, DWORD>{{single, 2}}));
}

TEST_F(RoundTripTest, MailRelationsAndARefusedSend) {
  const std::string data =
      "gwserver-export 1\n"
      "mail\t-\t-\t-\t1\tHello\ta@x\ttaro@x\t\t\t\ttext/plain\tline 1\\nline 2\n"
      "mail\t-\t-\t-\t0\t" +
      std::string(kJapanese).replace(std::string(kJapanese).find('\n'), 1, "\\n") +
      "\tb@x\ttaro@x\t\t\t\ttext/plain\t\n";
  ASSERT_EQ(server.admin({"import", server.db(), "taro"}, data).status, 0);
  std::vector<DWORD> ids;
  long stamp = 0;
  {
    auto s = connect();
    CMailConnection mail(*s);
    ASSERT_EQ(mail.GetCount(), 2);
    for (const __MAIL_DATA* m = mail.FindFirst(); m; m = mail.FindNext()) ids.push_back(m->nID);
    const __MAIL_DATA* first = mail.Get(ids[0]);
    EXPECT_STREQ(first->pszSubject, "Hello");
    EXPECT_STREQ(first->pszData, "line 1\nline 2");
    EXPECT_EQ(first->bRead, 1);
    EXPECT_STREQ(mail.Get(ids[1])->pszSubject, kJapanese);
    ASSERT_EQ(mail.GetRelationCount(), 0);
    ASSERT_EQ(mail.SetRelation(ids[0], 70), 1);
    ASSERT_EQ(mail.SetRelation(ids[1], 71), 1);
    stamp = commitStamped(mail);

    // Three mails; the second has no recipient and is refused.
    ASSERT_EQ(mail.Set(kJapanese, "x@y", "", "", "one"), 1);
    ASSERT_EQ(mail.Set("no one", "", "", "", "two"), 1);
    ASSERT_EQ(mail.Set("three", "", "", "z@y", kJapanese), 1);
    EXPECT_EQ(mail.Send(), 0);
    EXPECT_EQ(s->GetLastError(), 21u);
    EXPECT_EQ(s->GetDetailError(), 16409u);
    EXPECT_EQ(mail.GetSendErrorPosition(), 2);
    EXPECT_EQ(FindSession(s->m_dwHandle)->m_MailPage.Queue().size(), 3u);
  }
  const std::string sent = server.admin({"export", server.db(), "taro"}).out;
  EXPECT_NE(sent.find("\tone\n"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("\ttwo\n"), std::string::npos);
  auto s = connect();
  CMailConnection mail(*s);
  EXPECT_EQ(pairs(mail), (std::map<DWORD, DWORD>{{ids[0], 70}, {ids[1], 71}}));
  EXPECT_EQ(mail.GetRelationTimeStamp(), stamp);
  EXPECT_EQ(mail.RemoveRelation(12345), 0);
  EXPECT_EQ(s->GetLastError(), 15u);
}

}  // namespace
