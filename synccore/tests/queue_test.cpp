// The engine with a handheld that queues its writes (no single commit):
// deferred relation commands are run when the results come back, in queue
// order, and a write that first answers 1 and then 2 still gets its relation.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "synccore/synccore.h"
#include "synccore/tests/logcapture.h"
#include "synccore/tests/memgw.h"
#include "synccore/tests/memhh.h"
#include "testutil/files.h"

namespace {

// Queues every write; once `limit` writes wait, the next write answers 1
// with their results, and asked again it writes at once (answer 2).
class QueueHH : public testhh::MemHH {
 public:
  explicit QueueHH(size_t limit) : m_Limit(limit), m_Results(64, nullptr, 0) {}

  int writeCategories(CHHRecOpResult** result) override {
    *result = &m_Results;
    return queue({Op::kCategories, {}, 0}, result);
  }
  int addRecord(CHHRecord* r, CHHRecOpResult** result) override {
    return queue({Op::kAdd, static_cast<testhh::Record*>(r)->s, 0}, result);
  }
  int updateRecord(CHHRecord* r, CHHRecOpResult** result) override {
    return queue({Op::kUpdate, static_cast<testhh::Record*>(r)->s, 0}, result);
  }
  int deleteRecord(DWORD id, CHHRecOpResult** result) override { return queue({Op::kDelete, {}, id}, result); }
  int completeRecordOps(CHHRecOpResult** result) override {
    *result = &m_Results;
    if (m_Queue.empty()) return HH_NOTHING;
    flush();
    return HH_RESULTS;
  }
  int answeredOne = 0;

 private:
  struct Op {
    enum Kind { kCategories, kAdd, kUpdate, kDelete } kind;
    testhh::Stored s;
    DWORD id;
  };
  int queue(Op op, CHHRecOpResult** result) {
    *result = &m_Results;
    if (m_Queue.size() >= m_Limit && !m_Asked) {
      flush();
      m_Asked = true;
      ++answeredOne;
      return HH_RESULTS;
    }
    if (m_Asked) {  // asked again after an answer 1: done at once
      m_Asked = false;
      m_Results.clear();
      apply(op);
      return HH_DONE;
    }
    m_Queue.push_back(op);
    return HH_QUEUED;
  }
  void flush() {
    m_Results.clear();
    for (Op& op : m_Queue) apply(op);
    m_Queue.clear();
  }
  void apply(Op& op) {
    switch (op.kind) {
      case Op::kCategories: m_Results.push(HHOP_CATEGORIES, 1, 0); break;
      case Op::kAdd: {
        DWORD id = 0x9000 + static_cast<DWORD>(store.size()) + m_Added++;
        op.s.id = id;
        op.s.dirty = false;
        store[id] = op.s;
        m_Results.push(HHOP_ADD, 1, id);
        break;
      }
      case Op::kUpdate:
        op.s.dirty = false;
        store[op.s.id] = op.s;
        m_Results.push(HHOP_MODIFY, 1, 0);
        break;
      case Op::kDelete:
        store.erase(op.id);
        m_Results.push(HHOP_DELETE, 1, op.id);
        break;
    }
  }
  size_t m_Limit;
  bool m_Asked = false;
  DWORD m_Added = 0;
  std::vector<Op> m_Queue;
  CHHRecOpResult m_Results;
};

class QueueTest : public ::testing::Test {
 protected:
  bool sync(QueueHH& hh) {
    gw_.newRun();
    CSyncCore core(hh, gw_, false);
    if (!core.openSync("Queued", 30)) return false;
    bool ok = core.doSync();
    core.closeSync();
    return ok;
  }
  testutil::TempDir dir_{"queue"};
  testutil::LogCapture log_{dir_.path()};
  CGWSession session_;
  testgw::MemGWDataSrc gw_{session_};
};

TEST_F(QueueTest, QueuedWritesGetTheirRelationsInOrder) {
  QueueHH hh(100);
  std::vector<std::string> names = {"n1", "n2", "n3", "n4", "n5"};
  for (const auto& n : names) gw_.addServerRecord(n, 500);
  ASSERT_TRUE(sync(hh));
  ASSERT_EQ(hh.store.size(), 5u);
  ASSERT_EQ(gw_.relations().size(), 5u);
  for (const __REL_DATA& r : gw_.relations())
    EXPECT_EQ(gw_.records().at(r.nServerID).name, hh.store.at(r.nHandheldID).name);
  EXPECT_EQ(hh.answeredOne, 0);
}

TEST_F(QueueTest, AWriteAskedAgainAfterAnswerOneIsRelatedToo) {
  QueueHH hh(2);  // the category write and one record fill the queue
  for (const char* n : {"n1", "n2", "n3", "n4", "n5"}) gw_.addServerRecord(n, 500);
  ASSERT_TRUE(sync(hh));
  EXPECT_GT(hh.answeredOne, 0);
  ASSERT_EQ(hh.store.size(), 5u);
  std::set<DWORD> related;
  for (const __REL_DATA& r : gw_.relations()) {
    EXPECT_EQ(gw_.records().at(r.nServerID).name, hh.store.at(r.nHandheldID).name);
    related.insert(r.nHandheldID);
  }
  EXPECT_EQ(related.size(), 5u) << "a record written at once after answer 1 lost its relation";
}

TEST_F(QueueTest, ServerChangesAndDeletionsGoThroughTheQueue) {
  QueueHH hh(100);
  DWORD a = gw_.addServerRecord("a", 500);
  DWORD b = gw_.addServerRecord("b", 500);
  ASSERT_TRUE(sync(hh));
  gw_.setClock(2000);
  gw_.changeServerRecord(a, "a2", 1500);
  gw_.removeServerRecord(b);
  ASSERT_TRUE(sync(hh));
  ASSERT_EQ(hh.store.size(), 1u);
  EXPECT_EQ(hh.store.begin()->second.name, "a2");
  ASSERT_EQ(gw_.relations().size(), 1u);
  EXPECT_EQ(gw_.relations()[0].nServerID, a);
}

TEST(SingleCommitDeathTest, AQueuedWriteIsAContractViolation) {
  CGWSession session;
  testgw::MemGWDataSrc gw(session);
  gw.addServerRecord("n1", 500);
  QueueHH hh(100);
  CSyncCore core(hh, gw, true);
  ASSERT_TRUE(core.openSync("Queued", 30));
  EXPECT_DEATH(core.doSync(), "queued");
}

}  // namespace
