// The data-page machinery on a small record kind of the test's own: the data
// parse with its relation section, Set/Remove with pending changes, and the
// exact commit bodies and commit replies.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gwclient/src/page.h"
#include "gwclient/src/pages.h"
#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"
#include "testutil/fake_http_server.h"

namespace {

using testutil::httpReply;

struct TEST_REC {
  DWORD nID;
  DWORD nTimeStamp;
  char* pszName;
};

}  // namespace

template <>
struct CRecordTexts<TEST_REC> {
  static constexpr char* TEST_REC::*kList[] = {&TEST_REC::pszName};
};

namespace {

// Lines "id,ts.N,name"; commits "&i=id&n=name".
class CTestPage : public CDataPage<TEST_REC> {
 public:
  using CDataPage::CDataPage;
  void BuildURL(std::string& url) override { url += m_pSession->m_ObjectPath + "page=SyncTest"; }
  std::unique_ptr<Record> ParseItem(const std::string& line) override {
    CFieldList f(line);
    if (f.GetCount() != 3 || !IsNumber(f[0].c_str())) return nullptr;
    auto r = std::make_unique<Record>();
    r->nID = static_cast<DWORD>(NumberValue(f[0].c_str()));
    r->nTimeStamp = static_cast<DWORD>(ParseTimeStamp(f[1].c_str()));
    r->pszName = DupString(f[2].c_str());
    return r;
  }
  const char* CommitPageName() const override { return "SyncTest"; }
  bool WriteRecord(std::string& body, Record& r, DWORD key) override {
    WriteField(body, "i", static_cast<LONG>(r.nID));
    if (!WriteField(body, "n", r.pszName)) return false;
    if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
    return true;
  }
};

const char kPage[] =
    "1,ts.10,Ann\n"
    "2,ts.11,\"Lee, Bob\"\n"
    "3,ts.12,Cy\n"
    "\n"
    "Relation\n"
    "ts.100 \n"
    "1,101\n"
    "3,103\n";

class DataPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
    ASSERT_EQ(session.Connect(server.url("/gw").c_str()), 0u);
    session.m_Label = "Palm7";
  }
  void load(const std::string& reply = kPage) {
    server.reply(httpReply(200, reply));
    ASSERT_EQ(page.Fetch(), 1);
  }
  // The body of the nth request (after its blank line).
  std::string body(size_t n) {
    std::string r = server.request(n);
    size_t end = r.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : r.substr(end + 4);
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (void* p = page.FindFirst(); p; p = page.FindNext()) {
      auto* r = static_cast<TEST_REC*>(p);
      out.push_back(std::to_string(r->nID) + ":" + r->pszName);
    }
    return out;
  }
  std::vector<std::string> pairs() {
    std::vector<std::string> out;
    for (__REL_DATA* p = page.FindFirstRelation(); p; p = page.FindNextRelation())
      out.push_back(std::to_string(p->nServerID) + "=" + std::to_string(p->nHandheldID));
    return out;
  }

  testutil::FakeHttpServer server;
  CServerSession session{nullptr};
  CTestPage page{&session};
};

TEST_F(DataPageTest, FetchReadsRecordsThenTheRelationSection) {
  load(std::string(kPage) + "7\n1,2,3\nx,5\n-1,5\n9,\n4,104\r\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"1:Ann", "2:Lee, Bob", "3:Cy"}));
  EXPECT_EQ(pairs(), (std::vector<std::string>{"1=101", "3=103", "4=104"}));
  EXPECT_EQ(page.GetRelationTimeStamp(), 100);
  EXPECT_EQ(server.request(0), testutil::withHost("GET /gw?page=SyncTest&sync=1 HTTP/1.1\r\n"
                                                  "Host: {host}\r\n\r\n",
                                                  server.host()));
}

TEST_F(DataPageTest, RelationWordOnlyCountsAfterAnEmptyLine) {
  load("1,ts.1,A\nrelation\n2,ts.2,B\n\nts.5\n3,ts.3,C\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"1:A", "2:B", "3:C"}));
  EXPECT_EQ(page.GetRelationCount(), 0);
  EXPECT_EQ(page.GetRelationTimeStamp(), 0);
}

TEST_F(DataPageTest, BadTimeStampLineIsSkipped) {
  load("\nrelation\nts.12a\nts.\n5,6\n");
  EXPECT_EQ(page.GetRelationTimeStamp(), 0);
  EXPECT_EQ(pairs(), (std::vector<std::string>{"5=6"}));
}

TEST_F(DataPageTest, CommitWithNothingChangedSendsTheFrameAndEveryPair) {
  load();
  server.reply(httpReply(200, "200\n"));
  ASSERT_EQ(page.Commit(), 1);
  EXPECT_EQ(server.request(1), testutil::withHost("POST /gw? HTTP/1.1\r\nHost: {host}\r\nContent-Length: 71\r\n\r\n"
                                                  "page=SyncTest&label=Palm7&i=0&rt=ts.100&i=1&s=101&i=3&s=103"
                                                  "&sync=1&rw=1",
                                                  server.host()));
  EXPECT_EQ(page.GetRelationTimeStamp(), 200);
}

TEST_F(DataPageTest, CommitSendsRemovedModifiedThenNewRecords) {
  load();
  TEST_REC changed{1, 0, const_cast<char*>("Ann Lee")};
  TEST_REC fresh{0, 0, const_cast<char*>("New&One")};
  TEST_REC keyless{0, 0, const_cast<char*>("Nokey")};
  ASSERT_NE(page.Set(&changed, 0), nullptr);
  ASSERT_NE(page.Set(&fresh, 77), nullptr);
  ASSERT_NE(page.Set(&keyless, 0), nullptr);
  ASSERT_EQ(page.Remove(2), 1);
  ASSERT_EQ(page.SetRelation(3, 333), 1);  // replaces the pair's handheld id
  ASSERT_EQ(page.SetRelationTimeStamp(-1), 1);
  session.m_bRemote = 1;
  server.reply(httpReply(200, "300\n77,501\n99,502\n0,503\n"));
  ASSERT_EQ(page.Commit(), 1);
  EXPECT_EQ(body(1),
            "page=SyncTest&label=Palm7&i=2&i=1&n=Ann+Lee&i=0&n=New%26One&s=77&i=0&n=Nokey"
            "&i=0&rt=ts.-1&i=1&s=101&i=3&s=333&sync=1&remote=1&rw=1");
  EXPECT_EQ(page.GetRelationTimeStamp(), 300);
  // The new record has its server id and its pair; key 99 matched nothing.
  EXPECT_EQ(names(), (std::vector<std::string>{"1:Ann Lee", "3:Cy", "501:New&One", "0:Nokey"}));
  EXPECT_EQ(pairs(), (std::vector<std::string>{"1=101", "3=333", "501=77"}));
  EXPECT_TRUE(page.PendingNew().empty());
  EXPECT_TRUE(page.Modified().empty());
  EXPECT_TRUE(page.RemovedIds().empty());
}

// Pairs are found by server id through an index that goes stale when a pair
// is removed or a commit reply adds pairs: every later change must still
// reach the right pair, in the server's order.
TEST_F(DataPageTest, PairsStayFoundAfterRemovalsAndCommittedNewRecords) {
  std::string reply = "1,ts.10,Ann\n\nRelation\nts.100\n";
  for (int id = 1; id <= 40; ++id) reply += std::to_string(id) + "," + std::to_string(1000 + id) + "\n";
  load(reply);
  for (int id = 2; id <= 40; id += 3) ASSERT_EQ(page.RemoveRelation(static_cast<DWORD>(id)), 1);
  EXPECT_EQ(page.RemoveRelation(5), 0);
  for (int id = 1; id <= 40; id += 3) ASSERT_EQ(page.SetRelation(static_cast<DWORD>(id), 7000 + id), 1);
  TEST_REC fresh{0, 0, const_cast<char*>("New")};
  ASSERT_NE(page.Set(&fresh, 77), nullptr);
  server.reply(httpReply(200, "300\n77,501\n"));
  ASSERT_EQ(page.Commit(), 1);
  ASSERT_EQ(page.SetRelation(501, 78), 1);  // the pair the reply made
  ASSERT_EQ(page.SetRelation(40, 9040), 1);
  ASSERT_EQ(page.SetRelation(41, 9041), 1);  // a new pair at the end

  std::vector<std::string> expected;
  for (int id = 1; id <= 40; ++id) {
    if (id % 3 == 2) continue;
    int handheld = id % 3 == 1 ? 7000 + id : 1000 + id;
    if (id == 40) handheld = 9040;
    expected.push_back(std::to_string(id) + "=" + std::to_string(handheld));
  }
  expected.push_back("501=78");
  expected.push_back("41=9041");
  EXPECT_EQ(pairs(), expected);
}

TEST_F(DataPageTest, SameKeyTwiceUpdatesTheOnePendingRecord) {
  load();
  TEST_REC a{0, 0, const_cast<char*>("first")};
  TEST_REC b{0, 0, const_cast<char*>("second")};
  void* held = page.Set(&a, 5);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(page.Set(&b, 5), held);
  EXPECT_EQ(page.PendingNew().size(), 1u);
  EXPECT_EQ(page.GetCount(), 4);
  EXPECT_STREQ(static_cast<TEST_REC*>(held)->pszName, "second");
}

TEST_F(DataPageTest, RemovingAModifiedRecordSendsOnlyItsRemoval) {
  load();
  TEST_REC changed{2, 0, const_cast<char*>("x")};
  ASSERT_NE(page.Set(&changed, 0), nullptr);
  ASSERT_NE(page.Set(&changed, 0), nullptr);  // listed once
  EXPECT_EQ(page.Modified().size(), 1u);
  ASSERT_EQ(page.Remove(2), 1);
  EXPECT_TRUE(page.Modified().empty());
  server.reply(httpReply(200, "1\n"));
  ASSERT_EQ(page.Commit(), 1);
  EXPECT_EQ(body(1), "page=SyncTest&label=Palm7&i=2&i=0&rt=ts.100&i=1&s=101&i=3&s=103&sync=1&rw=1");
}

TEST_F(DataPageTest, ChangesAreRefusedWithTheRightError) {
  TEST_REC rec{1, 0, const_cast<char*>("x")};
  EXPECT_EQ(page.Set(&rec, 0), nullptr);
  EXPECT_EQ(LastErrorCode(), 13u);
  EXPECT_EQ(page.SetRelation(1, 2), 0);
  EXPECT_EQ(LastErrorCode(), 13u);
  EXPECT_EQ(page.SetRelationTimeStamp(5), 0);
  EXPECT_EQ(LastErrorCode(), 13u);
  EXPECT_EQ(page.Commit(), 0);
  EXPECT_EQ(LastErrorCode(), 13u);
  load();
  TEST_REC unknown{9, 0, const_cast<char*>("x")};
  EXPECT_EQ(page.Set(&unknown, 0), nullptr);
  EXPECT_EQ(LastErrorCode(), 15u);
  EXPECT_EQ(page.Set(page.Get(1), 0), nullptr);
  EXPECT_EQ(LastErrorCode(), 16u);
  EXPECT_EQ(page.Remove(0), 0);
  EXPECT_EQ(LastErrorCode(), 15u);
  EXPECT_EQ(page.Remove(9), 0);
  EXPECT_EQ(LastErrorCode(), 15u);
  EXPECT_EQ(page.Get(0), nullptr);
  EXPECT_EQ(LastErrorCode(), 15u);
  EXPECT_EQ(page.SetRelation(0, 2), 0);
  EXPECT_EQ(LastErrorCode(), 16u);
  SetLastErrorCode(0);
  EXPECT_EQ(page.RemoveRelation(42), 0);
  EXPECT_EQ(page.RemoveRelation(0), 0);
  EXPECT_EQ(LastErrorCode(), 0u);
  EXPECT_EQ(page.RemoveRelation(1), 1);
  EXPECT_EQ(page.GetRelationCount(), 1);
}

TEST_F(DataPageTest, ReadOnlyKindRefusesNewRecords) {
  CUserPage users(&session);
  server.reply(httpReply(200, "1,Ann\n"));
  ASSERT_EQ(users.Fetch(), 1);
  __USER_DATA fresh{0, const_cast<char*>("x")};
  EXPECT_EQ(users.Set(&fresh, 3), nullptr);
  EXPECT_EQ(LastErrorCode(), 17u);
  EXPECT_EQ(users.GetCount(), 1);
}

TEST_F(DataPageTest, FailedCommitKeepsThePendingChanges) {
  load();
  TEST_REC fresh{0, 0, const_cast<char*>("n")};
  ASSERT_NE(page.Set(&fresh, 8), nullptr);
  server.reply(httpReply(500, ""));
  EXPECT_EQ(page.Commit(), 0);
  EXPECT_EQ(LastErrorCode(), 8u);
  EXPECT_EQ(session.m_dwDetailError, 500u);
  server.reply(httpReply(200, "150\n8,600\nErrorCode,16500\n"));
  EXPECT_EQ(page.Commit(), 0);
  EXPECT_EQ(LastErrorCode(), 21u);
  EXPECT_EQ(session.m_dwDetailError, 16500u);
  EXPECT_EQ(page.PendingNew().size(), 1u);
  EXPECT_EQ(body(1), body(2));
  // The id given before the error line stays; the entry is sent again.
  server.reply(httpReply(200, ""));
  EXPECT_EQ(page.Commit(), 1);
  EXPECT_EQ(body(3),
            "page=SyncTest&label=Palm7&i=600&n=n&s=8&i=0&rt=ts.150&i=1&s=101&i=3&s=103&i=600&s=8"
            "&sync=1&rw=1");
  EXPECT_TRUE(page.PendingNew().empty());
}

TEST_F(DataPageTest, CommitTakesUnauthorizedAsAnyOtherStatusAndRetries) {
  load();
  session.m_dwRetry = 2;
  server.reply(httpReply(401, ""));
  server.reply(httpReply(401, ""));
  EXPECT_EQ(page.Commit(), 0);
  EXPECT_EQ(LastErrorCode(), 8u);
  EXPECT_EQ(session.m_dwDetailError, 401u);
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(body(1), body(2));
}

TEST_F(DataPageTest, PageWithoutAConnectionFailsWithError14) {
  CServerSession unconnected(nullptr);
  CTestPage lonely(&unconnected);
  EXPECT_EQ(lonely.Fetch(), 0);
  EXPECT_EQ(LastErrorCode(), 14u);
  EXPECT_EQ(lonely.FindFirst(), nullptr);
  EXPECT_EQ(lonely.GetCount(), 0);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(DataPageTest, CommitReplyFirstLineIsAPlainNumber) {
  load();
  server.reply(httpReply(200, "ts.5\n"));
  ASSERT_EQ(page.Commit(), 1);
  EXPECT_EQ(page.GetRelationTimeStamp(), 0);
}

TEST_F(DataPageTest, LongBodyGoesOutWhole) {
  load();
  std::string name(1000, 'x');
  name += "\x82\xA0 end";
  TEST_REC changed{3, 0, name.data()};
  ASSERT_NE(page.Set(&changed, 0), nullptr);
  server.reply(httpReply(200, "1\n"));
  ASSERT_EQ(page.Commit(), 1);
  std::string expected = "page=SyncTest&label=Palm7&i=3&n=" + std::string(1000, 'x') +
                         "%82%A0+end&i=0&rt=ts.100&i=1&s=101&i=3&s=103&sync=1&rw=1";
  EXPECT_EQ(body(1), expected);
  EXPECT_NE(server.request(1).find("Content-Length: " + std::to_string(expected.size()) + "\r\n"), std::string::npos);
}

TEST_F(DataPageTest, LabelIsEscapedLikeAnyFormValue) {
  session.m_Label = "Palm Sync&x=1";
  load("");
  server.reply(httpReply(200, ""));
  ASSERT_EQ(page.Commit(), 1);
  EXPECT_EQ(body(1), "page=SyncTest&label=Palm+Sync%26x%3D1&i=0&rt=ts.0&sync=1&rw=1");
}

TEST_F(DataPageTest, RemoveDuringIterationKeepsThePosition) {
  load();
  ASSERT_NE(page.FindFirst(), nullptr);
  auto* second = static_cast<TEST_REC*>(page.FindNext());
  ASSERT_EQ(second->nID, 2u);
  ASSERT_EQ(page.Remove(1), 1);
  auto* third = static_cast<TEST_REC*>(page.FindNext());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->nID, 3u);
  EXPECT_EQ(page.FindNext(), nullptr);
}

TEST_F(DataPageTest, ForcedFetchForgetsEverythingHeld) {
  load();
  TEST_REC fresh{0, 0, const_cast<char*>("n")};
  ASSERT_NE(page.Set(&fresh, 8), nullptr);
  ASSERT_EQ(page.Remove(1), 1);
  server.reply(httpReply(200, "4,ts.1,D\n"));
  ASSERT_EQ(page.Fetch(true), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"4:D"}));
  EXPECT_TRUE(page.PendingNew().empty());
  EXPECT_TRUE(page.RemovedIds().empty());
  EXPECT_EQ(page.GetRelationCount(), 0);
  EXPECT_EQ(page.GetRelationTimeStamp(), 0);
}

// The mail kind keeps its relation data on a page of its own.
TEST_F(DataPageTest, MailRelationPageFetchesAndCommitsAllPairs) {
  CRelationPage& relations = session.m_MailRelationPage;
  server.reply(httpReply(200, "ts.900\r\n1,11\n2,x\n3,33\nnoise\n"));
  server.reply(httpReply(200, "950\n"));
  ASSERT_NE(relations.FindFirstRelation(), nullptr);
  EXPECT_EQ(relations.GetRelationCount(), 2);
  EXPECT_EQ(relations.GetRelationTimeStamp(), 900);
  ASSERT_EQ(relations.SetRelation(3, 34), 1);
  ASSERT_EQ(relations.SetRelation(5, 55), 1);
  EXPECT_EQ(relations.RemoveRelation(1), 1);
  SetLastErrorCode(0);
  EXPECT_EQ(relations.RemoveRelation(1), 0);
  EXPECT_EQ(LastErrorCode(), 15u);
  ASSERT_EQ(relations.SetRelationTimeStamp(-1), 1);
  ASSERT_EQ(relations.Commit(), 1);
  EXPECT_EQ(relations.GetRelationTimeStamp(), 950);
  EXPECT_EQ(server.request(0), testutil::withHost("GET /gw?page=SyncRelation&app=VuzIzud&label=Palm7&sync=1 "
                                                  "HTTP/1.1\r\nHost: {host}\r\n\r\n",
                                                  server.host()));
  EXPECT_EQ(body(1), "page=SyncRelation&app=VuzIzud&label=Palm7&rt=ts.-1&i=3&s=34&i=5&s=55&sync=1&rw=1");
}

TEST_F(DataPageTest, MailRelationCommitStopsAtAnErrorLine) {
  CRelationPage& relations = session.m_MailRelationPage;
  server.reply(httpReply(200, "1,11\n"));
  server.reply(httpReply(200, "ErrorCode,16404\n"));
  ASSERT_EQ(relations.Fetch(), 1);
  EXPECT_EQ(relations.Commit(), 0);
  EXPECT_EQ(LastErrorCode(), 19u);
  EXPECT_EQ(relations.GetRelationTimeStamp(), 0);
}

}  // namespace
