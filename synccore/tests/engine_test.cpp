// Whole syncs between the in-memory handheld and the in-memory server data
// source: every test asserts the final state of both sides, not only the
// answer. The same runs against a real gwserver need the server data sources
// of the five kinds of data.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "log/msgids.h"
#include "synccore/synccore.h"
#include "synccore/tests/allocfail.h"
#include "synccore/tests/enginefixture.h"
#include "synccore/tests/logcapture.h"
#include "synccore/tests/memgw.h"
#include "synccore/tests/memhh.h"
#include "testutil/files.h"

namespace {

using enginetest::EngineTest;
using enginetest::Names;

TEST_F(EngineTest, InitialSyncCopiesBothWaysAndRelatesEverything) {
  hh_.addRecord("hh1", "Work");
  hh_.addRecord("hh2");
  gw_.addServerRecord("gw1", 500, "Home");
  gw_.addServerRecord("gw2", 600);
  ASSERT_TRUE(sync());
  expectInStep({"hh1", "hh2", "gw1", "gw2"});
  EXPECT_NE(lastFlags_ & SYNC_INITIAL, 0);
  EXPECT_EQ(gw_.relationStamp(), 1000);
  EXPECT_EQ(hh_.lastSyncTime, 1000u);
  EXPECT_NE(hh_.categories.find("Home"), nullptr);  // added before the record was written
  EXPECT_EQ(hh_.store.at(hhIdOf("gw1")).category, "Home");
  EXPECT_EQ(gw_.records().at(gwIdOf("hh1")).category, "Work");
  EXPECT_EQ(messages("Test Book: synchronisation finished successfully."), 1);
  std::vector<int> passes = {1, -1, 2, -2, 3, -3};
  EXPECT_EQ(hh_.passes, passes);
}

TEST_F(EngineTest, TraceShowsTheRunPassesAndDecisions) {
  std::string trace = (dir_ / "trace").string();
  g_TraceObj.start(10, TraceToFile, trace.c_str(), 1000, 2, false, false);
  hh_.addRecord("hh1");
  gw_.addServerRecord("gw1", 500);
  ASSERT_TRUE(sync());
  g_TraceObj.stop();
  std::string t = testutil::readFile(trace);
  for (const char* line : {
           "++++++++++ openSync Test Book maxnbatch:30++++++++++",
           "++++++++++ doSync Test Book ++++++++++",
           "SyncCore| sync proc. determine how to sync. GW:0x3-->0x3200",
           "----------  Two-way sync start Test Book ----------",
           "----- Init sync: Deleting all GW relations -----",
           "---------- sync pass1 ----------",
           "SyncCore|Sync Operation hhstatus:0x01 gwattrib:00 Operation:hh_none, gw_addrec_addrel",
           "GWDataSrc::commit() called",
           "---------- sync pass 2 ----------",
           "SyncCore|Sync Operation gwattrib:0x03 hhstatus:00 Operation:hh_addrec, gw_addrel",
           "----- sync pass 3-1 -----",
           "----- sync pass 3-2 -----",
           "+++ Converting following GW record:",
           "convertGW2HH() returned 1",
           "GWDataSrc| add a Relation Data. hhrecid:0x101 gwrecid:0x1",
           "----- sync pass 3-3 -----",
           "GWDataSrc| update TStamp of Relation Data. TStamp:0xffffffff",
           "++++++++++ closeSync Test Book ++++++++++",
       })
    EXPECT_NE(t.find(line), std::string::npos) << "missing: " << line;
}

TEST_F(EngineTest, InitialSyncWithTheSameRecordOnBothSidesDuplicatesItAsDesigned) {
  hh_.addRecord("same");
  gw_.addServerRecord("same", 500);
  ASSERT_TRUE(sync());
  // Each side's copy reaches the other: two of the same on each side.
  expectInStep({"same", "same"});
}

TEST_F(EngineTest, SecondSyncMovesOnlyChanges) {
  startInStep();
  changeOnHandheld("A", "A2");
  hh_.addRecord("D");
  gw_.changeServerRecord(gwIdOf("B"), "B2", 1500);
  gw_.calls.clear();
  ASSERT_TRUE(sync());
  expectInStep({"A2", "B2", "C", "D"});
  EXPECT_EQ(gw_.calls["putNewRecord"], 1);
  EXPECT_EQ(gw_.calls["putRecord"], 1);
  EXPECT_EQ(gw_.calls["removeRecord"], 0);
  EXPECT_EQ(gw_.calls["removeRelation"], 0);
  EXPECT_EQ(lastFlags_ & SYNC_INITIAL, 0);
  EXPECT_EQ(hh_.lastSyncTime, 2000u);
}

TEST_F(EngineTest, ChangedOnBothSidesTheServerWins) {
  startInStep();
  changeOnHandheld("A", "A-handheld");
  gw_.changeServerRecord(gwIdOf("A"), "A-server", 1500);
  ASSERT_TRUE(sync());
  expectInStep({"A-server", "B", "C"});
  EXPECT_EQ(messages("Changed on both the handheld and the server; the server's version was kept: A-server"), 1);
}

TEST_F(EngineTest, DeletedOnHandheldChangedOnServerIsRestored) {
  startInStep();
  deleteOnHandheld("A");
  gw_.changeServerRecord(gwIdOf("A"), "A-server", 1500);
  ASSERT_TRUE(sync());
  expectInStep({"A-server", "B", "C"});
  EXPECT_EQ(messages("restored on the handheld: A-server"), 1);
}

TEST_F(EngineTest, ChangedOnHandheldDeletedOnServerIsCreatedAgain) {
  startInStep();
  changeOnHandheld("A", "A-handheld");
  gw_.removeServerRecord(gwIdOf("A"));
  ASSERT_TRUE(sync());
  expectInStep({"A-handheld", "B", "C"});
  EXPECT_EQ(messages("created again on the server: A-handheld"), 1);
}

// GW_ADDREC relates the record it adds in the same server request: the
// lists gw_addrec and gw_delrel_addrec need no GW_ADDREL, and one would put
// a second relation request on the wire.
TEST_F(EngineTest, RecordAddedToTheServerIsRelatedByTheAddItself) {
  startInStep();
  hh_.addRecord("D");                   // gw_addrec
  changeOnHandheld("A", "A-handheld");  // gw_delrel_addrec
  gw_.removeServerRecord(gwIdOf("A"));
  gw_.calls.clear();
  ASSERT_TRUE(sync());
  expectInStep({"A-handheld", "B", "C", "D"});
  EXPECT_EQ(gw_.calls["putNewRecord"], 2);
  EXPECT_EQ(gw_.calls["putRelation"], 0);
  EXPECT_EQ(gw_.calls["removeRelation"], 1);  // A's old relation
}

TEST_F(EngineTest, DeletedOnBothSidesOnlyTheRelationGoes) {
  startInStep();
  deleteOnHandheld("A");
  gw_.removeServerRecord(gwIdOf("A"));
  gw_.calls.clear();
  ASSERT_TRUE(sync());
  expectInStep({"B", "C"});
  EXPECT_EQ(gw_.calls["removeRecord"], 0);
  EXPECT_EQ(gw_.calls["removeRelation"], 1);
}

TEST_F(EngineTest, DeletedOnHandheldOnlyIsRemovedFromTheServer) {
  startInStep();
  deleteOnHandheld("B");
  ASSERT_TRUE(sync());
  expectInStep({"A", "C"});
}

TEST_F(EngineTest, DeletedOnServerOnlyIsRemovedFromTheHandheld) {
  startInStep();
  gw_.removeServerRecord(gwIdOf("C"));
  ASSERT_TRUE(sync());
  expectInStep({"A", "B"});
}

TEST_F(EngineTest, NewOnServerReachesTheHandheldAndFilteredOnesDoNot) {
  startInStep();
  gw_.addServerRecord("E", 1500, "Fresh");
  gw_.addServerRecord("x-private", 1500);
  ASSERT_TRUE(sync());
  EXPECT_EQ(handheldNames(), (Names{"A", "B", "C", "E"}));
  EXPECT_EQ(serverNames(), (Names{"A", "B", "C", "E", "x-private"}));
  EXPECT_EQ(gw_.relations().size(), 4u);
  EXPECT_NE(hh_.categories.find("Fresh"), nullptr);
}

TEST_F(EngineTest, SettingsAskingForNoSyncTouchNothing) {
  startInStep();
  changeOnHandheld("A", "A2");
  gw_.setSetting(0);
  gw_.calls.clear();
  ASSERT_TRUE(sync());
  EXPECT_EQ(hh_.log.back(), "<no sync>");
  EXPECT_EQ(messages("the server's settings ask for no synchronisation"), 1);
  EXPECT_EQ(messages("synchronisation finished"), 0);
  EXPECT_EQ(serverNames(), (Names{"A", "B", "C"}));
  EXPECT_TRUE(hh_.store.at(hhIdOf("A2")).dirty);
  EXPECT_EQ(gw_.relationStamp(), 1000);
  EXPECT_EQ(hh_.lastSyncTime, 1000u);
  EXPECT_EQ(gw_.calls["putRelationTimeStamp"], 0);
}

TEST_F(EngineTest, RefreshDeletesRelationsAndDownloadsEverything) {
  startInStep();
  gw_.setSetting(1);
  ASSERT_TRUE(sync());
  // The handheld's records stay: every server record arrives again, as designed.
  EXPECT_EQ(handheldNames(), (Names{"A", "A", "B", "B", "C", "C"}));
  EXPECT_EQ(serverNames(), (Names{"A", "B", "C"}));
  EXPECT_EQ(gw_.relations().size(), 3u);
  EXPECT_NE(lastFlags_ & SYNC_REFRESH, 0);
}

TEST_F(EngineTest, RefreshWithDeletionReplacesTheHandheld) {
  startInStep();
  hh_.addRecord("only on the handheld");
  gw_.setSetting(5);
  ASSERT_TRUE(sync());
  expectInStep({"A", "B", "C"});
}

TEST_F(EngineTest, UnconvertibleHandheldRecordIsSkippedAndTheSyncSucceeds) {
  startInStep();
  DWORD bad = hh_.addRecord("broken");
  hh_.unconvertible[bad] = true;
  hh_.addRecord("fine");
  ASSERT_TRUE(sync());
  EXPECT_EQ(serverNames(), (Names{"A", "B", "C", "fine"}));
  EXPECT_EQ(messages("A handheld record could not be copied to the server: broken"), 1);
  EXPECT_EQ(messages("synchronisation finished successfully"), 1);
}

TEST_F(EngineTest, OutOfMemoryInAPassFailsTheSyncWithItsMessage) {
  for (int i = 0; i < 60; ++i) gw_.addServerRecord("r" + std::to_string(i), 500);
  testutil::AllocFailure fail(0);  // the record set's sixth block
  EXPECT_FALSE(sync());
  EXPECT_EQ(messages("Out of memory in ObjBuf::alloc: New Object."), 1);
  EXPECT_EQ(messages("synchronisation could not be completed"), 1);
  EXPECT_EQ(hh_.lastSyncTime, 0u);
  EXPECT_TRUE(hh_.store.empty());
}

TEST_F(EngineTest, UnconvertibleServerRecordIsSkippedWithItsMessage) {
  startInStep();
  gw_.addServerRecord("unconvertible", 1500);
  gw_.addServerRecord("E", 1500);
  ASSERT_TRUE(sync());
  EXPECT_EQ(handheldNames(), (Names{"A", "B", "C", "E"}));
  EXPECT_EQ(messages("A server record could not be copied to the handheld: unconvertible"), 1);
}

TEST_F(EngineTest, WithoutSingleCommitRecordMessagesGoToTheHandheldLog) {
  startInStep();
  changeOnHandheld("A", "A-handheld");
  gw_.changeServerRecord(gwIdOf("A"), "A-server", 1500);
  ASSERT_TRUE(sync(false));
  expectInStep({"A-server", "B", "C"});
  EXPECT_EQ(messages("A-server"), 0);  // nothing in the event log
  EXPECT_EQ(messages("synchronisation finished"), 0);
  ASSERT_FALSE(hh_.log.empty());
  EXPECT_EQ(hh_.log.back(), "Changed on both the handheld and the server; the server's version was kept: A-server\r\n");
}

TEST_F(EngineTest, DeferredListThatCannotBeHadFailsTheOpen) {
  testutil::AllocFailure fail(0);
  CSyncCore core(hh_, gw_, false);
  EXPECT_FALSE(core.openSync("Test Book", 100));
  EXPECT_FALSE(hh_.dbOpen);
  EXPECT_EQ(messages("Out of memory in SyncCore::openSync: Corvane record/ List of Relation Data Operation deley."), 1);
}

TEST_F(EngineTest, FailedHandheldOpenFailsWithTheStatusMessage) {
  hh_.fail["openDB"] = 1;
  CSyncCore core(hh_, gw_, true);
  EXPECT_FALSE(core.openSync("Test Book", 30));
  EXPECT_EQ(messages("Test Book: synchronisation could not be completed."), 1);
}

// A handheld change that only modifies the server must be committed by its
// pass, and a failed final stamp must fail the run: nothing is lost.
TEST_F(EngineTest, OnlyModificationsAreCommittedByTheirPass) {
  startInStep();
  changeOnHandheld("A", "A2");
  gw_.failOn("putRelationTimeStamp");
  EXPECT_FALSE(sync());
  EXPECT_EQ(serverNames(), (Names{"A2", "B", "C"}));  // committed in pass 1
  EXPECT_EQ(hh_.lastSyncTime, 1000u);                 // not moved on
  EXPECT_EQ(messages("synchronisation could not be completed"), 1);
  ASSERT_TRUE(sync());
  expectInStep({"A2", "B", "C"});
}

// Relations of records written to the handheld are committed before the
// time stamp; when that commit fails, the records the run added to the
// handheld are taken back, so the next run writes each once.
TEST_F(EngineTest, FailedRelationCommitAfterAHandheldAddTakesTheAddBack) {
  startInStep();
  gw_.addServerRecord("E", 1500);
  gw_.failOn("commitChanges");  // no earlier commit in this run: the relations' one
  EXPECT_FALSE(sync());
  EXPECT_EQ(handheldNames(), (Names{"A", "B", "C"}));
  EXPECT_EQ(hh_.lastSyncTime, 1000u);
  ASSERT_TRUE(sync());
  expectInStep({"A", "B", "C", "E"});
}

// A failed time stamp after the relations were committed leaves nothing to
// take back and nothing twice.
TEST_F(EngineTest, FailedTimeStampAfterAHandheldAddLeavesNoDuplicate) {
  startInStep();
  gw_.addServerRecord("E", 1500);
  gw_.failOn("putRelationTimeStamp");
  EXPECT_FALSE(sync());
  EXPECT_EQ(handheldNames(), (Names{"A", "B", "C", "E"}));
  ASSERT_TRUE(sync());
  expectInStep({"A", "B", "C", "E"});
}

// Server faults at each point of a second sync: the run fails with 0x40000017
// and the next run completes with nothing lost or duplicated.
struct FaultRow {
  const char* op;
  int succeedFirst;  // calls of op that still succeed
};

const FaultRow kFaults[] = {
    {"putNewRecord", 0},
    {"putRecord", 0},
    {"commitChanges", 0},  // pass 1's commit
    {"putRelationTimeStamp", 0},
    {"commitChanges", 1},  // the final commit of the time stamp
    {"findFirst", 0},
    {"findFirstRelation", 0},
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.op << " after " << row.succeedFirst; }

class EngineFault : public EngineTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(EngineFault, FailsThenRecovers) {
  startInStep();
  changeOnHandheld("A", "A2");
  hh_.addRecord("D");
  gw_.changeServerRecord(gwIdOf("B"), "B2", 1500);
  const FaultRow& row = GetParam();
  gw_.failOn(row.op, 1, row.succeedFirst);
  bool first = sync();
  EXPECT_FALSE(first);
  EXPECT_EQ(messages("synchronisation could not be completed"), 1);
  EXPECT_EQ(hh_.lastSyncTime, 1000u);
  ASSERT_TRUE(sync());
  expectInStep({"A2", "B2", "C", "D"});
}

// --- mail ---------------------------------------------------------------------

// The server side of mail: handheld mails go to an outbox that send()
// empties; send answers the number sent, or minus the 1-based position of
// the mail that failed.
class MailGW : public testgw::MemGWDataSrc {
 public:
  using testgw::MemGWDataSrc::MemGWDataSrc;
  WORD determineHowToSync(WORD flags) override { return mailSyncFlagsFromSetting(flags, m_Setting); }
  bool putNewRecord(CGWRecord* record, DWORD) override {
    if (failing("putNewRecord")) return false;
    outbox.push_back(static_cast<testgw::Rec*>(record)->name());
    return true;
  }
  int send() override {
    ++sendCalls;
    int n = static_cast<int>(outbox.size());
    if (failAt > 0 && failAt <= n) {
      sent.insert(sent.end(), outbox.begin(), outbox.begin() + failAt - 1);
      outbox.clear();
      return -failAt;
    }
    sent.insert(sent.end(), outbox.begin(), outbox.end());
    outbox.clear();
    return n;
  }
  std::vector<std::string> outbox, sent;
  int sendCalls = 0;
  int failAt = 0;
};

class MailEngineTest : public ::testing::Test {
 protected:
  bool sync() {
    gw_.newRun();
    hh_.mailOutbox = true;
    CSyncCore core(hh_, gw_, true);
    if (!core.openSync("Mail", 30)) return false;
    bool ok = core.doSync();
    core.closeSync();
    return ok;
  }
  std::set<DWORD> relatedServerIds(DWORD hhId) const {
    std::set<DWORD> ids;
    for (const __REL_DATA& r : gw_.relations())
      if (r.nHandheldID == hhId) ids.insert(r.nServerID);
    return ids;
  }
  testutil::TempDir dir_{"mailengine"};
  testutil::LogCapture log_{dir_.path()};
  CGWSession session_;
  MailGW gw_{session_};
  testhh::MemHH hh_;
};

TEST_F(MailEngineTest, OutboxIsSentOnceAndNewServerMailArrives) {
  hh_.addRecord("to Ann");
  hh_.addRecord("to Bob");
  DWORD inbox = gw_.addServerRecord("hello", 500);
  ASSERT_TRUE(sync());
  EXPECT_EQ(gw_.sendCalls, 1);
  EXPECT_EQ(gw_.sent, (std::vector<std::string>{"to Ann", "to Bob"}));
  EXPECT_EQ(hh_.cleanupCounts, (std::vector<int>{2}));
  DWORD arrived = 0;
  for (const auto& [id, s] : hh_.store)
    if (s.name == "hello") arrived = id;
  ASSERT_NE(arrived, 0u);
  EXPECT_EQ(relatedServerIds(arrived), (std::set<DWORD>{inbox}));
  EXPECT_EQ(hh_.lastSyncTime, 1000u);
  // Offered once: a second sync brings nothing again, even after a change.
  gw_.setClock(2000);
  gw_.changeServerRecord(inbox, "hello again", 1500);
  size_t before = hh_.store.size();
  ASSERT_TRUE(sync());
  EXPECT_EQ(hh_.store.size(), before);
  EXPECT_EQ(gw_.sendCalls, 1);  // nothing written, nothing sent
}

TEST_F(MailEngineTest, RefusedMailTellsTheHandheldHowManyWent) {
  for (const char* n : {"m1", "m2", "m3", "m4"}) hh_.addRecord(n);
  gw_.failAt = 3;
  ASSERT_TRUE(sync());  // a failed send does not fail the sync
  EXPECT_EQ(gw_.sent, (std::vector<std::string>{"m1", "m2"}));
  EXPECT_EQ(hh_.cleanupCounts, (std::vector<int>{2}));
  EXPECT_EQ(log_.count("could not be sent through the server"), 1);
}

TEST_F(MailEngineTest, FilteredMailIsRelatedTo255AndNeverOfferedAgain) {
  DWORD spam = gw_.addServerRecord("x-spam", 500);
  gw_.addServerRecord("real", 500);
  ASSERT_TRUE(sync());
  EXPECT_EQ(relatedServerIds(255), (std::set<DWORD>{spam}));
  EXPECT_EQ(log_.count("1 new mail(s) on the server were not copied"), 1);
  ASSERT_EQ(hh_.store.size(), 1u);
  EXPECT_EQ(hh_.store.begin()->second.name, "real");
  log_.clear();
  gw_.setClock(2000);
  ASSERT_TRUE(sync());
  EXPECT_EQ(log_.count("were not copied"), 0);
  EXPECT_EQ(hh_.store.size(), 1u);
  EXPECT_EQ(relatedServerIds(255), (std::set<DWORD>{spam}));
}

TEST_F(MailEngineTest, RelationsOfMailDeletedOnTheServerAreRemoved) {
  DWORD gone = gw_.addServerRecord("read it", 500);
  ASSERT_TRUE(sync());
  ASSERT_EQ(gw_.relations().size(), 1u);
  gw_.setClock(2000);
  gw_.removeServerRecord(gone);
  ASSERT_TRUE(sync());
  EXPECT_TRUE(gw_.relations().empty());
  EXPECT_EQ(hh_.store.size(), 1u);  // the handheld keeps its copy
}

TEST_F(MailEngineTest, OneWaySendsOnlyAndStampsNothing) {
  hh_.extraFlags = SYNC_ONE_WAY;
  hh_.addRecord("out");
  gw_.addServerRecord("in", 500);
  gw_.calls.clear();
  ASSERT_TRUE(sync());
  EXPECT_EQ(gw_.sent, (std::vector<std::string>{"out"}));
  EXPECT_TRUE(hh_.store.count(hh_.store.begin()->first));
  for (const auto& [id, s] : hh_.store) EXPECT_NE(s.name, "in");
  EXPECT_EQ(gw_.calls["putRelationTimeStamp"], 0);
  EXPECT_EQ(gw_.relationStamp(), 0);
  EXPECT_EQ(hh_.lastSyncTime, 0u);
  std::vector<int> passes = {1, -1};
  EXPECT_EQ(hh_.passes, passes);
}

INSTANTIATE_TEST_SUITE_P(Points, EngineFault, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return "point" + std::to_string(info.index); });

}  // namespace
