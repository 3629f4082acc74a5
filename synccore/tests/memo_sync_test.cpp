// Whole memo syncs against gwserver: both sides' final state is checked
// after every run.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "synccore/gwmemo.h"
#include "synccore/tests/serversync.h"

namespace {

using testsync::Fields;
using testsync::Names;

using testhh::MemoConversion;

class MemoSync : public testsync::ServerSync {
 protected:
  MemoSync() { hh_.records.conv = &conv_; }
  bool sync() { return ServerSync::sync<CGWMemoDataSrc>(); }

  // Server memos: subject -> body.
  std::multimap<std::string, std::string> serverMemos() const {
    std::multimap<std::string, std::string> m;
    for (const Fields& f : exported("memo")) m.emplace(f.at(3), f.at(4));
    return m;
  }
  DWORD serverIdOf(const std::string& subject) const {
    for (const Fields& f : exported("memo"))
      if (f.at(3) == subject) return std::stoul(f.at(1));
    return 0;
  }
  Names serverNames() const {
    Names n;
    for (const auto& [name, body] : serverMemos()) n.insert(name);
    return n;
  }
  // Both sides hold the same memos, each related to exactly one handheld
  // record of the same subject.
  void expectInStep(const Names& expected) {
    EXPECT_EQ(serverNames(), expected);
    EXPECT_EQ(handheldNames(), expected);
    auto rel = relations("SyncMemo");
    EXPECT_EQ(rel.size(), expected.size());
    for (const Fields& f : exported("memo")) {
      DWORD id = std::stoul(f.at(1));
      ASSERT_EQ(rel.count(id), 1u) << f.at(3);
      DWORD hh = rel.find(id)->second;
      ASSERT_TRUE(hh_.store.count(hh)) << f.at(3);
      EXPECT_EQ(hh_.store.at(hh).name, f.at(3));
      EXPECT_EQ(hh_.store.at(hh).body, f.at(4));
    }
  }
  // A server change made through a fresh client session, a second after the
  // last sync so that its time stamp is newer than the relation data's.
  void changeOnServer(const std::string& subject, const char* newSubject, const char* newBody) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    CGWSession session;
    ASSERT_TRUE(session.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0));
    ASSERT_EQ(session.login("taro", "taro-pw"), GWLOGIN_OK);
    ASSERT_TRUE(session.setLabel("Palm", 1));
    CMemoConnection memos(session.getOfficeSession());
    const __MEMO_DATA* found = nullptr;
    for (const __MEMO_DATA* m = memos.FindFirst(); m; m = memos.FindNext())
      if (subject == m->pszName) found = m;
    ASSERT_NE(found, nullptr) << subject;
    if (newSubject) {
      ASSERT_NE(memos.Set(found->nID, found->nTimeStamp, newSubject, newBody, 0), nullptr);
    } else {
      ASSERT_EQ(memos.Remove(found->nID), 1);
    }
    ASSERT_EQ(memos.Commit(), 1);
  }
  void changeOnHandheld(const std::string& name, const std::string& newName) {
    testhh::Stored& s = hh_.store.at(hhIdOf(name));
    s.name = newName;
    s.dirty = true;
  }
  void deleteOnHandheld(const std::string& name) { hh_.store.at(hhIdOf(name)).deleted = true; }

  MemoConversion conv_;
};

TEST_F(MemoSync, InitialSyncMovesEachSideToTheOther) {
  hh_.addRecord("hh one");
  hh_.store.at(hhIdOf("hh one")).body = "line 1\nline 2";
  hh_.addRecord("hh two");
  import("memo\t-\t-\tserver one\tbody of one\nmemo\t-\t-\tserver two\t\n");
  ASSERT_TRUE(sync());
  EXPECT_TRUE(lastFlags_ & SYNC_INITIAL);
  expectInStep({"hh one", "hh two", "server one", "server two"});
  EXPECT_EQ(serverMemos().find("hh one")->second, "line 1\nline 2");
  EXPECT_NE(hh_.lastSyncTime, 0u);
  for (const auto& [id, s] : hh_.store) EXPECT_FALSE(s.dirty) << s.name;
}

TEST_F(MemoSync, SecondSyncMovesOnlyTheChanges) {
  for (const char* n : {"a", "b", "c"}) hh_.addRecord(n);
  ASSERT_TRUE(sync());
  std::map<std::string, DWORD> ids;
  for (const char* n : {"a", "b", "c"}) ids[n] = serverIdOf(n);
  changeOnHandheld("a", "a2");
  deleteOnHandheld("b");
  changeOnServer("c", "c2", "new body");
  import("memo\t-\t-\td\t\n");  // stamped now, so newer than the last sync
  ASSERT_TRUE(sync());
  EXPECT_FALSE(lastFlags_ & SYNC_INITIAL);
  expectInStep({"a2", "c2", "d"});
  EXPECT_EQ(serverIdOf("a2"), ids["a"]);  // changed in place, not re-created
  EXPECT_EQ(serverIdOf("c2"), ids["c"]);
  EXPECT_EQ(hh_.store.at(hhIdOf("c2")).body, "new body");
  // A third run with nothing changed moves nothing.
  auto before = hh_.store.size();
  ASSERT_TRUE(sync());
  expectInStep({"a2", "c2", "d"});
  EXPECT_EQ(hh_.store.size(), before);
}

// Conflicts, each with the message it writes and the state both sides end
// in. Legend: row name, server change (null subject: deleted), handheld change
// ("" = deleted), message, the names both sides hold afterwards.
struct Conflict {
  const char* name;
  const char* serverSubject;
  const char* handheldName;
  const char* message;
  Names after;
};

class MemoConflict : public MemoSync, public ::testing::WithParamInterface<Conflict> {};

TEST_P(MemoConflict, EndsInStepWithItsMessage) {
  const Conflict& c = GetParam();
  hh_.addRecord("x");
  hh_.addRecord("keep");
  ASSERT_TRUE(sync());
  log_.clear();
  changeOnServer("x", c.serverSubject, "server body");
  if (*c.handheldName) {
    changeOnHandheld("x", c.handheldName);
  } else {
    deleteOnHandheld("x");
  }
  ASSERT_TRUE(sync());
  expectInStep(c.after);
  EXPECT_EQ(messages(c.message), 1) << log_.all();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MemoConflict,
    ::testing::Values(
        // changed on both: the server's version wins (0x40000041)
        Conflict{
            "ChangedOnBoth", "x-server", "x-handheld", "the server's version was kept: x-server", {"keep", "x-server"}},
        // deleted on the handheld, changed on the server: restored (0x40000042)
        Conflict{"DeletedOnHandheldChangedOnServer",
                 "x-server",
                 "",
                 "restored on the handheld: x-server",
                 {"keep", "x-server"}},
        // changed on the handheld, deleted on the server: re-created (0x40000043)
        Conflict{"ChangedOnHandheldDeletedOnServer",
                 nullptr,
                 "x-handheld",
                 "created again on the server: x-handheld",
                 {"keep", "x-handheld"}}),
    [](const ::testing::TestParamInfo<Conflict>& info) { return std::string(info.param.name); });

TEST_F(MemoSync, DeletedOnBothSidesLeavesNoTrace) {
  hh_.addRecord("gone");
  hh_.addRecord("kept");
  ASSERT_TRUE(sync());
  changeOnServer("gone", nullptr, nullptr);
  deleteOnHandheld("gone");
  ASSERT_TRUE(sync());
  expectInStep({"kept"});
}

TEST_F(MemoSync, RefreshDeletingTheHandheldLeavesOnlyTheServersMemos) {
  hh_.addRecord("old");
  import("memo\t-\t-\tfresh\tbody\n");
  setSettings("m,Down,0\n");  // from the server only: the handheld is emptied first
  ASSERT_TRUE(sync());
  EXPECT_TRUE(lastFlags_ & SYNC_REFRESH);
  expectInStep({"fresh"});
}

TEST_F(MemoSync, SettingsGivingNoSyncTouchNeitherSide) {
  hh_.addRecord("local");
  import("memo\t-\t-\tremote\t\n");
  setSettings("a,Sync,0,0,0,0,ts.0\n");  // no memo line: memos are not synchronised
  ASSERT_TRUE(sync());
  EXPECT_TRUE(lastFlags_ & SYNC_NONE);
  EXPECT_EQ(messages("the server's settings ask for no synchronisation"), 1);
  EXPECT_EQ(handheldNames(), (Names{"local"}));
  EXPECT_EQ(serverNames(), (Names{"remote"}));
  EXPECT_TRUE(relations("SyncMemo").empty());
  EXPECT_TRUE(hh_.store.begin()->second.dirty);
}

TEST_F(MemoSync, ServerFaultAtTheCommitFailsTheRunAndTheNextRunCompletes) {
  for (const char* n : {"a", "b"}) hh_.addRecord(n);
  ASSERT_TRUE(sync());
  changeOnHandheld("a", "a2");
  hh_.addRecord("c");
  changeOnServer("b", "b2", "");
  // The lists are fetched before the first pass; the next memo request is
  // the commit, and it fails.
  hh_.onPass = [this](int pass) {
    if (pass == 1) armFault("page=SyncMemo&status=503");
  };
  log_.clear();
  EXPECT_FALSE(sync());
  hh_.onPass = nullptr;
  EXPECT_EQ(messages("synchronisation could not be completed"), 1) << log_.all();
  EXPECT_EQ(messages("Server request failed"), 1);
  EXPECT_EQ(messages("Server request failed: Commit"), 1);
  EXPECT_EQ(serverNames(), (Names{"a", "b2"}));  // nothing of the failed run reached it
  ASSERT_TRUE(sync());
  expectInStep({"a2", "b2", "c"});
}

TEST_F(MemoSync, AServerThatFailsEveryMemoRequestFailsTheRunWithOneReport) {
  hh_.addRecord("a");
  armFault("page=SyncMemo&status=503&count=5");
  EXPECT_FALSE(sync());
  // The relation data comes from its own page; the first memo request is
  // the list, and the run stops there after one report.
  EXPECT_EQ(messages("Server request failed"), 1) << log_.all();
  EXPECT_TRUE(exported("memo").empty());
  EXPECT_TRUE(hh_.store.begin()->second.dirty);  // kept for the next run
  EXPECT_EQ(hh_.lastSyncTime, 0u);
}

}  // namespace

namespace {

TEST_F(MemoSync, UnconvertibleHandheldMemoIsSkippedAndTheRunSucceeds) {
  DWORD bad = hh_.addRecord("broken");
  hh_.unconvertible[bad] = true;
  hh_.addRecord("fine");
  ASSERT_TRUE(sync());
  EXPECT_EQ(messages("A handheld record could not be copied to the server: broken"), 1);
  EXPECT_EQ(messages("synchronisation finished successfully"), 1);
  EXPECT_EQ(serverNames(), (Names{"fine"}));
  EXPECT_EQ(handheldNames(), (Names{"broken", "fine"}));
  EXPECT_EQ(relations("SyncMemo").size(), 1u);
}

}  // namespace
