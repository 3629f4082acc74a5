// The relation set on its own: the lines it reads, set and remove with the
// error a page answers for a missing pair, the cursor across removals, the
// commit fields, and pairs from a commit reply that need no memory.
#include "gwclient/src/relations.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "gwclient/src/reply.h"
#include "gwclient/tests/allocfail.h"

namespace {

std::string Show(const CRelationSet& set) {
  std::string out = "ts" + std::to_string(set.TimeStamp());
  for (const auto& p : set.Pairs()) out += " " + std::to_string(p->nServerID) + "=" + std::to_string(p->nHandheldID);
  return out;
}

// Lines of relation data, each read into an empty set.
struct LineRow {
  const char* line;
  const char* held;
};

void PrintTo(const LineRow& r, std::ostream* os) { *os << '"' << r.line << '"'; }

class RelationLineTest : public ::testing::TestWithParam<LineRow> {};

TEST_P(RelationLineTest, ReadsAStampOrAPairAndSkipsTheRest) {
  CRelationSet set(GWERR_NONE);
  set.ParseLine(GetParam().line);
  EXPECT_EQ(Show(set), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(Rows, RelationLineTest,
                         ::testing::Values(LineRow{"ts.120", "ts120"}, LineRow{"ts.120 \t", "ts120"},
                                           LineRow{"ts.12a", "ts0"}, LineRow{"", "ts0"}, LineRow{"4,104", "ts0 4=104"},
                                           LineRow{"4,-1", "ts0"}, LineRow{"x,5", "ts0"}, LineRow{"4,", "ts0"},
                                           LineRow{"1,2,3", "ts0"}));

// What RemovePair answers for a pair it does not hold, per page.
struct MissingRow {
  DWORD missingError;
  DWORD lastError;  // after RemovePair(9) with the last error 99
};

void PrintTo(const MissingRow& r, std::ostream* os) { *os << "missing error " << r.missingError; }

class RelationMissingTest : public ::testing::TestWithParam<MissingRow> {};

TEST_P(RelationMissingTest, AnswersTheErrorItWasMadeWith) {
  CRelationSet set(GetParam().missingError);
  ASSERT_EQ(set.SetPair(true, 1, 11), 1);
  for (DWORD id : {DWORD{9}, DWORD{0}}) {
    SetLastErrorCode(99);
    EXPECT_EQ(set.RemovePair(id), 0);
    EXPECT_EQ(LastErrorCode(), GetParam().lastError) << id;
  }
  EXPECT_EQ(Show(set), "ts0 1=11");
}

INSTANTIATE_TEST_SUITE_P(Rows, RelationMissingTest,
                         ::testing::Values(MissingRow{GWERR_NONE, 99}, MissingRow{GWERR_NOT_FOUND, GWERR_NOT_FOUND}));

TEST(RelationSetTest, SetReplacesTheFirstPairOfAnIdAndRefusesBadCalls) {
  CRelationSet set(GWERR_NONE);
  set.ParseLine("5,50");
  set.ParseLine("5,51");
  set.ParseLine("6,60");
  EXPECT_EQ(set.SetPair(false, 7, 70), 0);
  EXPECT_EQ(LastErrorCode(), GWERR_NOT_LOADED);
  EXPECT_EQ(set.SetPair(true, 0, 70), 0);
  EXPECT_EQ(LastErrorCode(), GWERR_BAD_ID);
  EXPECT_EQ(set.SetPair(true, 7, 0), 0);
  EXPECT_EQ(LastErrorCode(), GWERR_BAD_ID);
  ASSERT_EQ(set.SetPair(true, 5, 55), 1);
  ASSERT_EQ(set.SetPair(true, 7, 70), 1);
  EXPECT_EQ(Show(set), "ts0 5=55 5=51 6=60 7=70");
  // Removing the first pair of 5 leaves the second one to be found.
  ASSERT_EQ(set.RemovePair(5), 1);
  EXPECT_EQ(set.HandheldOf(5), 51u);
  EXPECT_EQ(set.HandheldOf(6), 60u);
  EXPECT_EQ(set.HandheldOf(8), 0u);
  EXPECT_EQ(set.RunRecordFields("SyncMemo", 0),
            (std::vector<std::string>{"server", "relations", "SyncMemo", "2", "1"}));
  set.Committed();
  EXPECT_TRUE(set.RunRecordFields("SyncMemo", 0).empty());
  EXPECT_EQ(set.RunRecordFields("SyncMemo", 3),
            (std::vector<std::string>{"server", "relations", "SyncMemo", "3", "0"}));
}

TEST(RelationSetTest, TheCursorStaysOnItsPairAcrossARemoval) {
  CRelationSet set(GWERR_NONE);
  for (const char* line : {"1,10", "2,20", "3,30", "4,40"}) set.ParseLine(line);
  ASSERT_EQ(set.First()->nServerID, 1u);
  ASSERT_EQ(set.Next()->nServerID, 2u);
  ASSERT_EQ(set.RemovePair(1), 1);  // before the cursor
  EXPECT_EQ(set.Next()->nServerID, 3u);
  ASSERT_EQ(set.RemovePair(4), 1);  // after it
  EXPECT_EQ(set.Next(), nullptr);
  set.Clear();
  EXPECT_EQ(set.First(), nullptr);
  EXPECT_EQ(set.Next(), nullptr);
}

TEST(RelationSetTest, WritesTheStampAndEveryPairForACommit) {
  CRelationSet set(GWERR_NONE);
  set.ParseLine("ts.300");
  set.ParseLine("3,33");
  set.ParseLine("1,11");
  std::string body = "page=X";
  set.WriteCommit(body);
  EXPECT_EQ(body, "page=X&rt=ts.300&i=3&s=33&i=1&s=11");
  EXPECT_EQ(set.StampReply(), "300\n");
  ASSERT_EQ(set.SetTimeStamp(false, 5), 0);
  EXPECT_EQ(LastErrorCode(), GWERR_NOT_LOADED);
  ASSERT_EQ(set.SetTimeStamp(true, -1), 1);
  EXPECT_NE(set.StampReply(), "-1\n");  // stamped now
  set.ReadCommitStamp("450");
  EXPECT_EQ(set.TimeStamp(), 450);
}

TEST(RelationSetTest, PairsMadeReadyAreAddedWithoutMemory) {
  CRelationSet set(GWERR_NONE);
  set.ParseLine("1,11");
  set.Reserve(2);
  {
    gwtest::AllocFailure fail(0, true);  // every allocation from here fails
    set.AddFromReply(500, 77);
    set.AddFromReply(501, 78);
    EXPECT_FALSE(fail.Met());
  }
  EXPECT_EQ(Show(set), "ts0 1=11 500=77 501=78");
  // The pairs from the reply are found by later lookups.
  EXPECT_EQ(set.HandheldOf(501), 78u);
  ASSERT_EQ(set.SetPair(true, 500, 79), 1);
  EXPECT_EQ(Show(set), "ts0 1=11 500=79 501=78");
}

TEST(RelationSetTest, ASetThatCannotHaveMemoryChangesNothing) {
  CRelationSet set(GWERR_NONE);
  set.ParseLine("1,11");
  {
    gwtest::AllocFailure fail(0, true);
    EXPECT_EQ(set.SetPair(true, 2, 22), 0);
    EXPECT_TRUE(fail.Met());
  }
  EXPECT_EQ(LastErrorCode(), GWERR_NO_MEMORY);
  EXPECT_EQ(Show(set), "ts0 1=11");
  EXPECT_TRUE(set.RunRecordFields("SyncMemo", 0).empty());
}

}  // namespace
