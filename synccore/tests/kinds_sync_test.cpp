// Whole syncs of address cards, schedules and to-dos against gwserver: each
// kind's records cross both ways with their fields, changes move in place,
// and a change on both sides keeps the server's version.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "synccore/gwaddress.h"
#include "synccore/gwschedule.h"
#include "synccore/gwtodo.h"
#include "synccore/tests/serversync.h"

namespace {

using testsync::Fields;
using testsync::Names;

// Handheld name <-> last name (item -2), body <-> first name (item -1),
// category <-> category.
struct AddressConversion : testhh::Conversion {
  bool toGW(const testhh::Stored& s, CGWRecord* target) const override {
    auto* r = static_cast<CGWAddressRec*>(target);
    __ADDRESS_ITEM last{-2, const_cast<char*>("LastName"), 1, 0, 0};
    __ADDRESS_ITEM first{-1, const_cast<char*>("FirstName"), 1, 0, 0};
    __ADDRESS_ITEM_VALUE* v = r->setItemCount(2);
    v = r->setItemValue(v, {&last, const_cast<char*>(s.name.c_str())});
    r->setItemValue(v, {&first, const_cast<char*>(s.body.c_str())});
    r->setCategory(s.category.c_str());
    return true;
  }
  bool fromGW(const CGWRecord* source, testhh::Stored& s) const override {
    auto* r = static_cast<const CGWAddressConstRec*>(source);
    const __ADDRESS_ITEM_VALUE* v = nullptr;
    LONG n = r->getItemValues(&v);
    s.name.clear();
    s.body.clear();
    for (LONG i = 0; i < n; ++i) {
      if (v[i].pItem->nID == -2) s.name = v[i].pszValue;
      if (v[i].pItem->nID == -1) s.body = v[i].pszValue;
    }
    s.category = r->getCategory() ? r->getCategory() : "";
    return true;
  }
};

// Handheld name <-> event, body <-> memo; the category carries the set date
// "Y/M/D" so that dates cross too.
struct ScheduleConversion : testhh::Conversion {
  bool toGW(const testhh::Stored& s, CGWRecord* target) const override {
    auto* r = static_cast<CGWScheduleRec*>(target);
    __OFFICE_DATE d{2026, 12, 24};
    std::sscanf(s.category.c_str(), "%d/%d/%d", &d.lYear, &d.lMonth, &d.lDay);
    r->setDateSet(d);
    r->setDateEnd(d);
    r->setTimeSet({10, 0});
    r->setTimeEnd({11, 30});
    r->setDay(-1);
    r->setEvent(s.name.c_str());
    r->setDetail("");
    r->setMemo(s.body.c_str());
    return true;
  }
  bool fromGW(const CGWRecord* source, testhh::Stored& s) const override {
    auto* r = static_cast<const CGWScheduleConstRec*>(source);
    s.name = r->getEvent() ? r->getEvent() : "";
    s.body = r->getMemo() ? r->getMemo() : "";
    __OFFICE_DATE d = r->getDateSet();
    s.category = std::to_string(d.lYear) + "/" + std::to_string(d.lMonth) + "/" + std::to_string(d.lDay);
    return true;
  }
};

// Handheld name <-> to-do name, body <-> memo, category <-> category.
struct ToDoConversion : testhh::Conversion {
  bool toGW(const testhh::Stored& s, CGWRecord* target) const override {
    auto* r = static_cast<CGWToDoRec*>(target);
    r->setName(s.name.c_str());
    r->setMemo(s.body.c_str());
    r->setCategory(s.category.c_str());
    r->setImportant(2);
    r->setDateLimit({2026, 12, 31});
    return true;
  }
  bool fromGW(const CGWRecord* source, testhh::Stored& s) const override {
    auto* r = static_cast<const CGWToDoConstRec*>(source);
    s.name = r->getName() ? r->getName() : "";
    s.body = r->getMemo() ? r->getMemo() : "";
    s.category = r->getCategory() ? r->getCategory() : "";
    return true;
  }
};

// One kind: its data source, conversion, export line, and where the
// handheld's three texts are in that line.
template <class Src, class Conv>
struct Kind {
  using DataSrc = Src;
  using Conversion = Conv;
};

class KindSync : public testsync::ServerSync {
 protected:
  // name -> (body, category) of every handheld record.
  std::map<std::string, std::pair<std::string, std::string>> handheld() const {
    std::map<std::string, std::pair<std::string, std::string>> m;
    for (const auto& [id, s] : hh_.store) m[s.name] = {s.body, s.category};
    return m;
  }
  void later() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }
  void touch(const std::string& name, const std::string& newName) {
    testhh::Stored& s = hh_.store.at(hhIdOf(name));
    s.name = newName;
    s.dirty = true;
  }
  // Every exported record of the kind is related to one handheld record.
  void expectRelated(const std::string& kind, const std::string& app) {
    auto rel = relations(app);
    auto rows = exported(kind);
    EXPECT_EQ(rel.size(), rows.size());
    EXPECT_EQ(rows.size(), hh_.store.size());
    for (const Fields& f : rows) {
      DWORD id = std::stoul(f.at(1));
      ASSERT_EQ(rel.count(id), 1u);
      EXPECT_TRUE(hh_.store.count(rel.find(id)->second));
    }
  }
};

TEST_F(KindSync, AddressCardsCrossBothWaysAndChangeInPlace) {
  AddressConversion conv;
  hh_.records.conv = &conv;
  hh_.addRecord("Suzuki", "Business");
  hh_.store.at(hhIdOf("Suzuki")).body = "Ichiro";
  import("card\t-\t-\t1\tPersonal\t-2=Yamada\t-1=Hanako\t-6=03-1234\n");
  ASSERT_TRUE(sync<CGWAddressDataSrc>("Address Book"));
  auto hh = handheld();
  EXPECT_EQ(hh["Yamada"], (std::pair<std::string, std::string>{"Hanako", "Personal"}));
  EXPECT_EQ(hh["Suzuki"], (std::pair<std::string, std::string>{"Ichiro", "Business"}));
  auto cards = exported("card");
  ASSERT_EQ(cards.size(), 2u);
  bool found = false;
  for (const Fields& f : cards)
    if (f.at(4) == "Business") {
      found = true;
      EXPECT_NE(std::find(f.begin(), f.end(), "-2=Suzuki"), f.end());
      EXPECT_NE(std::find(f.begin(), f.end(), "-1=Ichiro"), f.end());
    }
  EXPECT_TRUE(found);
  expectRelated("card", "SyncAddress");

  // Second run: a handheld change goes to the same card.
  touch("Suzuki", "Sato");
  ASSERT_TRUE(sync<CGWAddressDataSrc>("Address Book"));
  cards = exported("card");
  ASSERT_EQ(cards.size(), 2u);
  int sato = 0;
  for (const Fields& f : cards) sato += std::find(f.begin(), f.end(), "-2=Sato") != f.end();
  EXPECT_EQ(sato, 1);
  expectRelated("card", "SyncAddress");
}

TEST_F(KindSync, SchedulesCrossBothWaysWithTheirDates) {
  ScheduleConversion conv;
  hh_.records.conv = &conv;
  hh_.addRecord("Dentist", "2026/3/9");
  import("schedule\t-\t-\t\t2026/12/24\t2026/12/24\t10:00\t11:00\t\t\t0\t0\tParty\tdetail\tbring cake\n");
  ASSERT_TRUE(sync<CGWScheduleDataSrc>("Date Book"));
  auto hh = handheld();
  EXPECT_EQ(hh["Party"], (std::pair<std::string, std::string>{"bring cake", "2026/12/24"}));
  auto rows = exported("schedule");
  ASSERT_EQ(rows.size(), 2u);
  bool found = false;
  for (const Fields& f : rows)
    if (f.at(12) == "Dentist") {
      found = true;
      EXPECT_EQ(f.at(4), "2026/3/9");
      EXPECT_EQ(f.at(6), "10:00");
      EXPECT_EQ(f.at(7), "11:30");
    }
  EXPECT_TRUE(found);
  expectRelated("schedule", "SyncCalendar");
}

TEST_F(KindSync, ToDosChangedOnBothSidesKeepTheServersVersion) {
  ToDoConversion conv;
  hh_.records.conv = &conv;
  hh_.addRecord("buy milk", "Home");
  import("todo\t-\t-\t2026/12/31\t1\t0\t\tWork\tfile report\tby Friday\n");
  ASSERT_TRUE(sync<CGWToDoDataSrc>("To Do List"));
  EXPECT_EQ(handheld()["file report"], (std::pair<std::string, std::string>{"by Friday", "Work"}));
  expectRelated("todo", "SyncToDo");

  // Changed on both sides: the server's version wins.
  later();
  {
    CGWSession session;
    ASSERT_TRUE(session.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
    ASSERT_EQ(session.login("taro", "taro-pw"), GWLOGIN_OK);
    ASSERT_TRUE(session.setLabel("Palm", 1));
    CToDoConnection todos(session.getOfficeSession());
    const __TODO_DATA* milk = nullptr;
    for (const __TODO_DATA* t = todos.FindFirst(); t; t = todos.FindNext())
      if (std::string(t->pszName) == "buy milk") milk = t;
    ASSERT_NE(milk, nullptr);
    ASSERT_NE(todos.Set(milk->nID, milk->nTimeStamp, milk->dateLimit, 1, 1, "buy oat milk", "Home", "", 0), nullptr);
    ASSERT_EQ(todos.Commit(), 1);
  }
  touch("buy milk", "buy soy milk");
  log_.clear();
  ASSERT_TRUE(sync<CGWToDoDataSrc>("To Do List"));
  EXPECT_EQ(messages("the server's version was kept: buy oat milk"), 1) << log_.all();
  EXPECT_EQ(handheldNames(), (Names{"buy oat milk", "file report"}));
  Names server;
  for (const Fields& f : exported("todo")) server.insert(f.at(8));
  EXPECT_EQ(server, (Names{"buy oat milk", "file report"}));
  expectRelated("todo", "SyncToDo");
}

}  // namespace
