// The server record set built from relation data and records: attributes,
// merging, re-keying by handheld id, iteration order, deleted relations;
// the settings-to-flags rules; the data source's reporting wrappers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "synccore/gwdatasrc.h"
#include "synccore/gwsession.h"
#include "synccore/tests/allocfail.h"
#include "synccore/tests/logcapture.h"
#include "synccore/tests/memgw.h"
#include "testutil/files.h"

namespace {

using testgw::MemGWDataSrc;

// --- attributes of one entry, row by row ------------------------------------

// Legend: has a relation (to handheld id 0x20), has a record, the record's
// time stamp, the relation time stamp -> attributes and handheld id of the
// one entry the set holds.
struct AttrRow {
  const char* what;
  bool relation;
  bool record;
  DWORD recordStamp;
  LONG relationStamp;
  DWORD attrib;
  DWORD hhId;
};

const AttrRow kAttrRows[] = {
    {"relation and older record", true, true, 100, 200, 0x10, 0x20},
    {"relation and newer record", true, true, 300, 200, 0x12, 0x20},
    {"relation and record of the same second", true, true, 200, 200, 0x10, 0x20},
    {"record without relation", false, true, 100, 200, 0x01, 0},
    {"newer record without relation", false, true, 300, 200, 0x03, 0},
    {"relation without record", true, false, 0, 200, 0x14, 0x20},
    {"stamp 0: every record is newer", true, true, 1, 0, 0x12, 0x20},
    {"stamp 0: a record stamped 0 is not", true, true, 0, 0, 0x10, 0x20},
    {"stamp 0: a negative record stamp is not", false, true, 0x80000000u, 0, 0x01, 0},
};

void PrintTo(const AttrRow& row, std::ostream* os) { *os << row.what; }

class EntryAttributes : public ::testing::TestWithParam<AttrRow> {};

TEST_P(EntryAttributes, Row) {
  const AttrRow& row = GetParam();
  CGWSession session;
  MemGWDataSrc gw(session);
  DWORD id = 7;
  if (row.record) id = gw.addServerRecord("r", row.recordStamp);
  if (row.relation) gw.relate(id, 0x20);
  gw.setRelationStamp(row.relationStamp);
  ASSERT_TRUE(gw.initRecordSet());
  ASSERT_EQ(gw.getRecordSet().count(), 1);
  CGWRecRel* e = gw.getFirstRecRel();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->m_Attrib, row.attrib) << row.what;
  EXPECT_EQ(e->m_HHRecId, row.hhId) << row.what;
  EXPECT_EQ(e->m_GWRecId, id);
  EXPECT_EQ(e->getRecord()->getRecPtr() != nullptr, row.record);
  EXPECT_EQ(gw.findRecRel(row.hhId), e);
  EXPECT_EQ(gw.getNextRecRel(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Rows, EntryAttributes, ::testing::ValuesIn(kAttrRows),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

// --- the set as a whole -----------------------------------------------------

class RecordSetTest : public ::testing::Test {
 protected:
  std::vector<std::pair<DWORD, DWORD>> walk() {  // (server id, handheld id) in iteration order
    std::vector<std::pair<DWORD, DWORD>> out;
    for (CGWRecRel* e = gw_.getFirstRecRel(); e; e = gw_.getNextRecRel()) out.push_back({e->m_GWRecId, e->m_HHRecId});
    return out;
  }
  CGWSession session_;
  MemGWDataSrc gw_{session_};
};

TEST_F(RecordSetTest, TwoRelationsOfOneRecordStayTwoAndTheLaterTakesTheRecord) {
  DWORD id = gw_.addServerRecord("shared", 500);
  gw_.relate(id, 0x31);
  gw_.relate(id, 0x32);
  gw_.setRelationStamp(100);
  ASSERT_TRUE(gw_.initRecordSet());
  EXPECT_EQ(gw_.getRecordSet().count(), 2);
  CGWRecRel* first = gw_.findRecRel(0x31);
  CGWRecRel* second = gw_.findRecRel(0x32);
  ASSERT_TRUE(first && second);
  // The relation added last heads the chain, so the record merges into it;
  // the other relation has no record and counts as deleted.
  EXPECT_EQ(second->m_Attrib, 0x12u);
  EXPECT_NE(second->getRecord()->getRecPtr(), nullptr);
  EXPECT_EQ(first->m_Attrib, 0x14u);
}

TEST_F(RecordSetTest, IterationFollowsHandheldBucketsAndChainHeads) {
  // Handheld ids 5 and 1016 share bucket 5; 3 has its own; two new server
  // records sit in bucket 0.
  DWORD a = gw_.addServerRecord("a", 1);      // id 1
  DWORD b = gw_.addServerRecord("b", 1);      // id 2
  DWORD c = gw_.addServerRecord("c", 1);      // id 3
  DWORD n1 = gw_.addServerRecord("new1", 1);  // id 4
  DWORD n2 = gw_.addServerRecord("new2", 1);  // id 5
  gw_.relate(a, 5);
  gw_.relate(b, 1016);
  gw_.relate(c, 3);
  gw_.setRelationStamp(100);
  ASSERT_TRUE(gw_.initRecordSet());
  // Re-keying walks the server-id buckets 1..5 in order, pushing each entry
  // at the head of its new bucket: the later one comes first.
  std::vector<std::pair<DWORD, DWORD>> expected = {{n2, 0}, {n1, 0}, {c, 3}, {b, 1016}, {a, 5}};
  EXPECT_EQ(walk(), expected);
  EXPECT_EQ(gw_.findRecRel(1016)->m_GWRecId, b);
  EXPECT_EQ(gw_.findRecRel(5)->m_GWRecId, a);
  EXPECT_EQ(gw_.findRecRel(6), nullptr);
}

TEST_F(RecordSetTest, BuildingAgainStartsFromAnEmptySet) {
  DWORD a = gw_.addServerRecord("a", 1);
  gw_.relate(a, 9);
  ASSERT_TRUE(gw_.initRecordSet());
  gw_.removeServerRecord(a);
  gw_.addServerRecord("b", 1);
  ASSERT_TRUE(gw_.initRecordSet());
  EXPECT_EQ(gw_.getRecordSet().count(), 2);  // the relation (now deleted) and the new record
  EXPECT_EQ(gw_.findRecRel(9)->m_Attrib, 0x14u);
}

TEST_F(RecordSetTest, ManyEntriesGrowThePoolAndStayFindable) {
  for (DWORD i = 0; i < 5000; ++i) {
    DWORD id = gw_.addServerRecord("r", 50);
    if (i % 2) gw_.relate(id, 0x1000 + i);
  }
  gw_.setRelationStamp(100);
  ASSERT_TRUE(gw_.initRecordSet());
  EXPECT_EQ(gw_.getRecordSet().count(), 5000);
  EXPECT_EQ(walk().size(), 5000u);
  for (DWORD i = 1; i < 5000; i += 2) {
    CGWRecRel* e = gw_.findRecRel(0x1000 + i);
    ASSERT_NE(e, nullptr) << i;
    ASSERT_EQ(e->m_Attrib, 0x10u);
  }
}

TEST_F(RecordSetTest, PoolExhaustionThrowsOutOfTheBuild) {
  for (int i = 0; i < 60; ++i) gw_.addServerRecord("r", 1);  // 5 ready blocks hold 50
  testutil::AllocFailure fail(0);
  EXPECT_THROW(gw_.initRecordSet(), CMemoryRunOut);
}

TEST_F(RecordSetTest, TraceNamesDeletedRecordsAndTheCount) {
  testutil::TempDir dir("settrace");
  std::string trace = (dir / "trace").string();
  g_TraceObj.start(10, TraceToFile, trace.c_str(), 1000, 2, false, false);
  DWORD a = gw_.addServerRecord("a", 1);
  gw_.relate(a, 4);
  gw_.relate(0x77, 5);
  gw_.addServerRecord("b", 1);
  ASSERT_TRUE(gw_.initRecordSet());
  walk();
  g_TraceObj.stop();
  std::string t = testutil::readFile(trace);
  EXPECT_NE(t.find("GWRecordSet|Add a Relation Data Flgs:0 Attrib:10 [1, 4]"), std::string::npos) << t;
  EXPECT_NE(t.find("GWRecordSet|Merge a Relation Data Flgs:0 Attrib:12 [1, 4]"), std::string::npos) << t;
  EXPECT_NE(t.find("GWRecordSet|Add a Relation Data Flgs:0 Attrib:3 [2, 0]"), std::string::npos) << t;
  EXPECT_NE(t.find("GWRecordSet|Init Complete. GWRId:0x77 is deleted record."), std::string::npos) << t;
  EXPECT_NE(t.find("--------- GW RecordSet initialized. 3\x8c\x8f ---------"), std::string::npos) << t;
  EXPECT_NE(t.find("GWRecordSet|Retrieve a Relation Data END"), std::string::npos) << t;
  EXPECT_NE(t.find("Initialize GWDataSrc|RecordSet Record TStamp:1970/1/1"), std::string::npos) << t;
}

// --- settings words to flags ------------------------------------------------

// Legend: flags before, settings word -> flags after (the base rule and the
// mail rule).
struct FlagRow {
  WORD before;
  DWORD word;
  WORD base;
  WORD mail;
};

const FlagRow kFlagRows[] = {
    {0, 0, SYNC_NONE, SYNC_NONE},
    {0, 3, SYNC_TWO_WAY, SYNC_MAIL},
    {0, 1, SYNC_REFRESH | SYNC_DELETE_GW_RELATIONS, SYNC_MAIL},
    {0, 2, SYNC_REFRESH | SYNC_DELETE_GW_RELATIONS, SYNC_MAIL},
    {0, 5, SYNC_REFRESH | SYNC_DELETE_GW_RELATIONS | SYNC_DELETE_HH_RECORDS, SYNC_MAIL | SYNC_DELETE_HH_RECORDS},
    {0, 7, SYNC_TWO_WAY | SYNC_DELETE_HH_RECORDS, SYNC_MAIL | SYNC_DELETE_HH_RECORDS},
    {0, 11, SYNC_TWO_WAY | SYNC_DELETE_GW_RECORDS | SYNC_DELETE_GW_RELATIONS, SYNC_MAIL},
    {0, 4, SYNC_NONE, SYNC_NONE},
    {0, 8, SYNC_NONE, SYNC_NONE},
    {0, 12, SYNC_NONE, SYNC_NONE},
    // The top four bits survive; the kind, deletion and one-way bits do not.
    {SYNC_SINGLE_COMMIT | SYNC_INITIAL | SYNC_ONE_WAY | SYNC_REFRESH | SYNC_DELETE_HH_RECORDS, 3,
     SYNC_SINGLE_COMMIT | SYNC_INITIAL | SYNC_TWO_WAY, SYNC_SINGLE_COMMIT | SYNC_INITIAL | SYNC_MAIL},
    {SYNC_SINGLE_COMMIT | SYNC_TWO_WAY, 0, SYNC_SINGLE_COMMIT | SYNC_NONE, SYNC_SINGLE_COMMIT | SYNC_NONE},
    {0, 0xFFFFFFFFu, SYNC_TWO_WAY | SYNC_DELETE_HH_RECORDS | SYNC_DELETE_GW_RECORDS | SYNC_DELETE_GW_RELATIONS,
     SYNC_MAIL | SYNC_DELETE_HH_RECORDS},
};

class SettingsToFlags : public ::testing::TestWithParam<FlagRow> {};

TEST_P(SettingsToFlags, Row) {
  const FlagRow& row = GetParam();
  EXPECT_EQ(syncFlagsFromSetting(row.before, row.word), row.base);
  EXPECT_EQ(mailSyncFlagsFromSetting(row.before, row.word), row.mail);
}

INSTANTIATE_TEST_SUITE_P(Rows, SettingsToFlags, ::testing::ValuesIn(kFlagRows),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(DataSrcFlags, BaseRuleReadsTheKindsSettingsWord) {
  CGWSession session;
  MemGWDataSrc gw(session);
  gw.setSetting(5);
  EXPECT_EQ(gw.determineHowToSync(SYNC_SINGLE_COMMIT | SYNC_TWO_WAY),
            SYNC_SINGLE_COMMIT | SYNC_REFRESH | SYNC_DELETE_GW_RELATIONS | SYNC_DELETE_HH_RECORDS);
  gw.setRelationStamp(0);
  EXPECT_TRUE(gw.isInitialSync());
  gw.setRelationStamp(12);
  EXPECT_FALSE(gw.isInitialSync());
}

// --- reporting wrappers -----------------------------------------------------

class DataSrcReports : public ::testing::Test {
 protected:
  // The one message expected, whole (the test source's client error is 21).
  void expectOne(const std::string& operationAndText) {
    ASSERT_EQ(log_.entries().size(), 1u) << log_.all();
    EXPECT_EQ(log_.entries()[0].text, "Server request failed: " + operationAndText + "\r\n");
    log_.clear();
  }
  testutil::TempDir dir_{"dsreports"};
  testutil::LogCapture log_{dir_.path()};
  CGWSession session_;
  MemGWDataSrc gw_{session_};
};

TEST_F(DataSrcReports, EachFailureIsOneMessageWithItsOperation) {
  testgw::Rec rec;
  gw_.failOn("putNewRecord");
  EXPECT_FALSE(gw_.addRecord(&rec, 0x2a));
  expectOne("Set (error 0, detail 0) hhrecid:0x2a.");
  gw_.failOn("putRecord");
  EXPECT_FALSE(gw_.modifyRecord(&rec));
  expectOne("Set (error 0, detail 0) ");
  gw_.failOn("removeRecord");
  EXPECT_FALSE(gw_.removeRecordById(9));
  expectOne("Remove (error 0, detail 0) ");
  gw_.failOn("commitChanges");
  EXPECT_FALSE(gw_.commit());
  expectOne("Commit (error 0, detail 0) ");
  gw_.failOn("putRelation");
  EXPECT_FALSE(gw_.addRelation(0x10, 0x20));
  expectOne("SetRelation (error 0, detail 0) hhrecid:0x10 gwrecid:0x20.");
  gw_.failOn("removeRelation");
  EXPECT_FALSE(gw_.deleteRelation(0x20));
  expectOne("RemoveRelation (error 0, detail 0) gwrecid:0x20.");
  gw_.failOn("putRelationTimeStamp");
  EXPECT_FALSE(gw_.setRelationTimeStamp(-1));
  expectOne("SetRelationTimeStamp (error 0, detail 0) timestamp:0xffffffff.");
  gw_.failOn("findFirstRelation");
  EXPECT_FALSE(gw_.initRecordSet());
  expectOne("FindFirstRelation (error 0, detail 0) ");
  gw_.failOn("findFirst");
  EXPECT_FALSE(gw_.initRecordSet());
  expectOne("FindFirst (error 0, detail 0) ");
}

TEST_F(DataSrcReports, RemovingAnEntryMarksItDeletedOnlyOnSuccess) {
  DWORD a = gw_.addServerRecord("a", 1);
  gw_.addServerRecord("b", 1);
  ASSERT_TRUE(gw_.initRecordSet());
  // After the build the set is keyed by handheld id: walk it.
  CGWRecRel *ea = nullptr, *eb = nullptr;
  for (CGWRecRel* e = gw_.getFirstRecRel(); e; e = gw_.getNextRecRel()) (e->m_GWRecId == a ? ea : eb) = e;
  ASSERT_TRUE(ea && eb);
  EXPECT_TRUE(gw_.removeRecordEntry(ea));
  EXPECT_NE(ea->m_Attrib & GWATTR_DELETED, 0u);
  gw_.failOn("removeRecord");
  EXPECT_FALSE(gw_.removeRecordEntry(eb));
  EXPECT_EQ(eb->m_Attrib & GWATTR_DELETED, 0u);
  expectOne("Remove (error 0, detail 0) ");
}

TEST_F(DataSrcReports, DeleteAllCountsOrFails) {
  for (int i = 0; i < 3; ++i) gw_.relate(gw_.addServerRecord("r", 1), 0x40 + i);
  EXPECT_EQ(gw_.deleteAllRelations(), 3);
  EXPECT_EQ(gw_.deleteAllRecords(), 3);
  ASSERT_TRUE(gw_.commit());
  EXPECT_TRUE(gw_.records().empty());
  EXPECT_TRUE(gw_.relations().empty());
  EXPECT_EQ(gw_.deleteAllRelations(), 0);
  EXPECT_EQ(gw_.deleteAllRecords(), 0);
  EXPECT_TRUE(log_.entries().empty());

  gw_.relate(gw_.addServerRecord("r", 1), 0x50);
  gw_.failOn("removeRelation");
  EXPECT_EQ(gw_.deleteAllRelations(), -1);
  expectOne("RemoveRelation (error 0, detail 0) gwrecid:0x4.");
  gw_.failOn("removeRecord");
  EXPECT_EQ(gw_.deleteAllRecords(), -1);
  expectOne("Remove (error 0, detail 0) ");
  gw_.failOn("findFirst");
  EXPECT_EQ(gw_.deleteAllRecords(), -1);
  expectOne("FindFirst (error 0, detail 0) ");
}

}  // namespace
