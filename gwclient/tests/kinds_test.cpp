// The five data kinds against a scripted server: how each record line and
// relation section is read, and the exact bodies of every commit form.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "testutil/fake_http_server.h"

namespace {

using testutil::httpReply;

const char kUntitled[] = "\x96\xB3\x91\xE8";

class KindsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
    ASSERT_TRUE(session.Open(server.url("/gw").c_str(), nullptr, 0));
    ASSERT_TRUE(session.SetLabel("Palm", 7));
  }
  // The body of the nth request (after its blank line).
  std::string body(size_t n) {
    std::string r = server.request(n);
    size_t end = r.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : r.substr(end + 4);
  }
  // The request line of the nth request.
  std::string requestLine(size_t n) {
    std::string r = server.request(n);
    return r.substr(0, r.find("\r\n"));
  }
  void reply(const std::string& text) { server.reply(httpReply(200, text)); }

  testutil::FakeHttpServer server;
  COfficeSession session;
};

// ---------------------------------------------------------------------------
// Memos

TEST_F(KindsTest, MemoLinesAndTheirRelationSection) {
  reply(
      "12,ts.100,,skipped for its empty name\n"
      "13,100,No stamp,text\n"
      "-14,ts.1,signed id,x\n"
      "15,ts.7,\"Lee, \"\"A\"\"\",line one&#010;line two\n"
      "16,ts.8,Bare\n"
      "\n"
      "relation\n"
      "ts.1700000000\n"
      "13,1013\n"
      "15,x\n");
  CMemoConnection memos(session);
  ASSERT_EQ(memos.GetCount(), 3);
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncMemo&label=Palm7&sync=1 HTTP/1.1");
  const __MEMO_DATA* m = memos.Get(13);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->nTimeStamp, 0);
  EXPECT_STREQ(m->pszName, "No stamp");
  m = memos.Get(15);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->nTimeStamp, 7);
  EXPECT_STREQ(m->pszName, "Lee, \"A\"");
  EXPECT_STREQ(m->pszData, "line one\nline two");
  EXPECT_STREQ(memos.Get(16)->pszData, "");
  EXPECT_EQ(memos.Get(12), nullptr);
  EXPECT_EQ(session.GetLastError(), 15u);
  EXPECT_EQ(memos.GetRelationTimeStamp(), 1700000000);
  const __REL_DATA* pair = memos.FindFirstRelation();
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(pair->nServerID, 13u);
  EXPECT_EQ(pair->nHandheldID, 1013u);
  EXPECT_EQ(memos.FindNextRelation(), nullptr);
}

TEST_F(KindsTest, MemoCommitBodyAndReply) {
  reply("1,ts.1,One,a\n2,ts.2,Two,b\n3,ts.3,Three,c\n\nrelation\nts.50\n1,101\n");
  CMemoConnection memos(session);
  ASSERT_EQ(memos.GetCount(), 3);
  // A change without a title gets the default one, and keeps it.
  const __MEMO_DATA* changed = memos.Set(1, 0, "", "body & more", 0);
  ASSERT_NE(changed, nullptr);
  ASSERT_NE(memos.Set(3, 0, "Name only", "", 0), nullptr);
  ASSERT_EQ(memos.Remove(2), 1);
  // The same key twice: one pending memo with the second content.
  ASSERT_NE(memos.Set(0, 0, "draft", "x", 7), nullptr);
  const __MEMO_DATA* fresh = memos.Set(0, 0, "\x82\xA0 new", "l1\nl2", 7);
  ASSERT_NE(fresh, nullptr);
  ASSERT_NE(memos.Set(0, 0, "keyless", "", 0), nullptr);
  EXPECT_EQ(memos.GetCount(), 4);
  ASSERT_EQ(memos.SetRelation(3, 103), 1);
  ASSERT_EQ(memos.SetRelationTimeStamp(-1), 1);
  reply("1700000100\n7,900\n");
  ASSERT_EQ(memos.Commit(), 1);
  EXPECT_EQ(body(1),
            "page=SyncMemo&label=Palm7&i=2"
            "&i=1&n=%96%B3%91%E8&d=body+%26+more"
            "&i=3&n=Name+only"
            "&i=0&n=%82%A0+new&d=l1%0Al2&s=7"
            "&i=0&n=keyless"
            "&i=0&rt=ts.-1&i=1&s=101&i=3&s=103&sync=1&rw=1");
  EXPECT_STREQ(changed->pszName, kUntitled);
  EXPECT_EQ(memos.GetRelationTimeStamp(), 1700000100);
  EXPECT_EQ(fresh->nID, 900u);
  EXPECT_EQ(memos.GetRelationCount(), 3);
  // Nothing is pending any more: the next commit sends the frame alone.
  reply("1700000101\n");
  ASSERT_EQ(memos.Commit(), 1);
  EXPECT_EQ(body(2),
            "page=SyncMemo&label=Palm7&i=0&rt=ts.1700000100&i=1&s=101&i=3&s=103&i=900&s=7"
            "&sync=1&rw=1");
}

// The run record a HotSync keeps, and a dry run: a commit then sends nothing,
// takes the reply the server would give (provisional ids for new records),
// and records what it would have sent.
TEST_F(KindsTest, ADryRunCommitSendsNothingAndRecordsWhatItWouldSend) {
  char path[] = "/tmp/gw-runrecord-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("GWSYNC_RUN_RECORD", path, 1);
  auto readRecord = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  reply("1,ts.1,One,a\n2,ts.2,Two,b\n\nrelation\nts.50\n1,101\n2,102\n");
  CMemoConnection memos(session);
  ASSERT_EQ(memos.GetCount(), 2);
  ASSERT_NE(memos.Set(1, 0, "One again", "a", 0), nullptr);
  ASSERT_EQ(memos.Remove(2), 1);
  ASSERT_EQ(memos.RemoveRelation(2), 1);
  const __MEMO_DATA* fresh = memos.Set(0, 0, "Fresh", "f", 7);
  ASSERT_NE(fresh, nullptr);
  setenv("GWSYNC_DRY_RUN", "1", 1);
  EXPECT_EQ(memos.Commit(), 1);
  unsetenv("GWSYNC_DRY_RUN");
  EXPECT_EQ(server.requestCount(), 1u);  // the fetch alone
  const DWORD provisional = fresh->nID;
  EXPECT_GT(provisional, 0x70000000u);
  EXPECT_EQ(memos.GetRelationCount(), 2);  // 1 and the fresh memo's pair
  // The fetch's line first; its sizes hold the port's digits.
  const std::string record = readRecord();
  ASSERT_EQ(record.rfind("http\tGET\t200\t", 0), 0u) << record;
  EXPECT_EQ(record.substr(record.find('\n') + 1),
            "server\tread\tSyncMemo\t2\n"
            // The earlier lines and the deleted memo's pair, for undo.
            "server\tdelete\tSyncMemo\t2\tTwo\t2,ts.2,Two,b\t102\n"
            "server\tchange\tSyncMemo\t1\tOne again\t1,ts.1,One,a\n"
            "server\tadd\tSyncMemo\t" +
                std::to_string(provisional) +
                "\tFresh\n"
                "server\trelations\tSyncMemo\t1\t1\n");

  // A real commit records the server's own id for a new record.
  ASSERT_NE(memos.Set(0, 0, "Second", "s", 8), nullptr);
  reply("1700000100\n8,900\n");
  EXPECT_EQ(memos.Commit(), 1);
  EXPECT_EQ(server.requestCount(), 2u);
  const std::string after = readRecord();
  EXPECT_NE(after.find("http\tPOST\t200\t"), std::string::npos) << after;
  EXPECT_NE(after.find("server\tadd\tSyncMemo\t900\tSecond\n"), std::string::npos) << after;
  unsetenv("GWSYNC_RUN_RECORD");
  unlink(path);
}

// Undo of a run on the server: the memo it made removed with its pair, the
// one it changed sent back as its line was, the one it deleted made again
// with its pair; each in the commit a sync would send.
TEST_F(KindsTest, UndoPutsRecordsBackAsTheirLinesWere) {
  reply("1,ts.9,One changed,a2\n4,ts.9,Made by the run,x\n\nrelation\nts.60\n1,101\n4,104\n");
  CSyncUndo undo(session);
  ASSERT_EQ(undo.RemoveMade("SyncMemo", 4), 1);
  ASSERT_EQ(undo.PutBack("SyncMemo", "1,ts.1,One,a", false, 0), 1);
  ASSERT_EQ(undo.PutBack("SyncMemo", "3,ts.3,Three%09tab,c", true, 103), 1);
  EXPECT_EQ(undo.RemoveMade("SyncMemo", 77), 0);
  EXPECT_EQ(session.GetLastError(), 15u);
  EXPECT_EQ(undo.PutBack("SyncMemo", "not a memo line", false, 0), 0);
  EXPECT_EQ(session.GetLastError(), 16u);
  EXPECT_EQ(undo.RemoveMade("SyncMail", 4), 0);
  EXPECT_EQ(session.GetLastError(), 17u);
  reply("1700000200\n103,905\n");
  ASSERT_EQ(undo.Commit("SyncMemo"), 1);
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(body(1),
            "page=SyncMemo&label=Palm7&i=4"
            "&i=1&n=One&d=a"
            "&i=0&n=Three%09tab&d=c&s=103"
            "&i=0&rt=ts.60&i=1&s=101&sync=1&rw=1");
  CMemoConnection memos(session);
  ASSERT_NE(memos.FindFirstRelation(), nullptr);
  EXPECT_EQ(memos.GetRelationCount(), 2);  // 1 kept, 905 paired with 103
}

TEST_F(KindsTest, MemoChangesNeedTheFetchedPage) {
  CMemoConnection memos(session);
  EXPECT_EQ(memos.Set(0, 0, "x", "y", 1), nullptr);
  EXPECT_EQ(session.GetLastError(), 13u);
  EXPECT_EQ(memos.Commit(), 0);
  EXPECT_EQ(session.GetLastError(), 13u);
  EXPECT_EQ(memos.SetRelationTimeStamp(-1), 0);
  EXPECT_EQ(memos.GetRelationTimeStamp(), 0);
  EXPECT_EQ(server.requestCount(), 0u);
  session.Close();
  EXPECT_EQ(memos.FindFirst(), nullptr);
  EXPECT_EQ(session.GetLastError(), 2u);
}

// ---------------------------------------------------------------------------
// To-dos and categories

TEST_F(KindsTest, ToDoLines) {
  reply(
      "1,ts.5,2024/2/29,3,1,2024/3/1,Work,Report,\"memo, long\"\n"
      "2,ts.6,,abc,,,,,skipped for its empty name\n"
      "3,ts.7,2023/2/29,abc,,bad,,Plain,\n");
  CToDoConnection todos(session);
  ASSERT_EQ(todos.GetCount(), 2);
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncToDo&label=Palm7&sync=1 HTTP/1.1");
  const __TODO_DATA* t = todos.Get(1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->nTimeStamp, 5);
  EXPECT_EQ(t->dateLimit.lYear, 2024);
  EXPECT_EQ(t->dateLimit.lDay, 29);
  EXPECT_EQ(t->nPriority, 3);
  EXPECT_EQ(t->bFinish, 1);
  EXPECT_EQ(t->dateEnd.lMonth, 3);
  EXPECT_STREQ(t->pszCategory, "Work");
  EXPECT_STREQ(t->pszName, "Report");
  EXPECT_STREQ(t->pszMemo, "memo, long");
  t = todos.Get(3);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->nPriority, 0);
  EXPECT_EQ(t->bFinish, 0);
  EXPECT_EQ(t->dateLimit.lYear, 0);  // no 29th of February in 2023
  EXPECT_EQ(t->dateEnd.lYear, 0);
}

TEST_F(KindsTest, ToDoCommitBody) {
  reply("1,ts.5,2024/2/29,3,1,,Work,Report,\n2,ts.6,,0,,,,Other,\n");
  CToDoConnection todos(session);
  ASSERT_EQ(todos.GetCount(), 2);
  __OFFICE_DATE due{2024, 12, 31};
  ASSERT_NE(todos.Set(1, 0, due, 0, 0, "", "Home & away", "m", 0), nullptr);
  __TODO_DATA fresh{
      0, 0, {0, 0, 0}, 2, 1, {2025, 1, 2}, const_cast<char*>("New"), const_cast<char*>(""), const_cast<char*>("")};
  ASSERT_NE(todos.Set(&fresh, 44), nullptr);
  reply("99\n44,700\n");
  ASSERT_EQ(todos.Commit(), 1);
  EXPECT_EQ(body(1),
            "page=SyncToDo&label=Palm7"
            "&i=1&l=da.2024.12.31&p=0&n=%96%B3%91%E8&c=Home+%26+away&m=m"
            "&i=0&p=2&f=1&e=da.2025.1.2&n=New&s=44"
            "&i=0&rt=ts.0&sync=1&rw=1");
  EXPECT_STREQ(todos.Get(1)->pszName, kUntitled);
  EXPECT_NE(todos.Get(700), nullptr);
}

TEST_F(KindsTest, CategoryLines) {
  reply("c,Work\nc,a,b\nC,Capital\nc,\nx,Other\nplain\nc,\"quoted\"\n");
  CToDoConnection todos(session);
  std::vector<std::string> names;
  for (const char* n = todos.FindFirstCategory(); n; n = todos.FindNextCategory()) names.push_back(n);
  EXPECT_EQ(names, (std::vector<std::string>{"Work", "a,b", "\"quoted\""}));
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncToDoCategory&sync=1 HTTP/1.1");
}

TEST_F(KindsTest, CategoryChangesAndTheirCommit) {
  CToDoConnection todos(session);
  EXPECT_EQ(todos.RemoveCategory("Work"), 0);
  EXPECT_EQ(session.GetLastError(), 15u);
  EXPECT_EQ(todos.SetCategory("Work"), 0);
  EXPECT_EQ(session.GetLastError(), 13u);
  EXPECT_EQ(todos.CommitCategory(), 0);
  EXPECT_EQ(session.GetLastError(), 13u);
  reply("c,Work\nc,Home\n");
  ASSERT_EQ(todos.GetCategoryCount(), 2);
  EXPECT_EQ(todos.SetCategory("Work"), 1);
  EXPECT_EQ(todos.SetCategory("work"), 1);
  EXPECT_EQ(todos.SetCategory("R&D = lab"), 1);
  EXPECT_EQ(todos.SetCategory(nullptr), 0);
  EXPECT_EQ(session.GetLastError(), 16u);
  EXPECT_EQ(todos.RemoveCategory("Home"), 1);
  EXPECT_EQ(todos.RemoveCategory("Home"), 0);
  EXPECT_EQ(todos.GetCategoryCount(), 3);
  reply("");
  ASSERT_EQ(todos.CommitCategory(), 1);
  EXPECT_EQ(body(1), "page=SyncToDoCategory&c=Work&c=work&c=R%26D+%3D+lab&sync=1&rw=1");
  reply("ErrorCode,16406\n");
  EXPECT_EQ(todos.CommitCategory(), 0);
  EXPECT_EQ(session.GetLastError(), 21u);
  EXPECT_EQ(todos.GetCategoryCount(), 3);
}

// ---------------------------------------------------------------------------
// Schedules

// Legend: one record line; the type, day, datePrev (y/m/d) and exception
// count it gives.
struct ScheduleLineRow {
  const char* name;
  const char* line;
  LONG type;
  LONG day;
  LONG prevYear, prevMonth, prevDay;
  LONG exceptions;
};
void PrintTo(const ScheduleLineRow& r, std::ostream* os) { *os << r.name; }

class ScheduleLineTest : public KindsTest, public ::testing::WithParamInterface<ScheduleLineRow> {};

TEST_P(ScheduleLineTest, Reads) {
  const ScheduleLineRow& row = GetParam();
  reply(std::string(row.line) + "\n");
  CScheduleConnection schedules(session);
  const __SCHEDULE_DATA* s = schedules.FindFirst();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->nType, row.type);
  EXPECT_EQ(s->nDay, row.day);
  EXPECT_EQ(s->datePrev.lYear, row.prevYear);
  EXPECT_EQ(s->datePrev.lMonth, row.prevMonth);
  EXPECT_EQ(s->datePrev.lDay, row.prevDay);
  EXPECT_EQ(s->nExceptionCount, row.exceptions);
  EXPECT_EQ(s->pExceptions == nullptr, row.exceptions == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScheduleLineTest,
    ::testing::Values(ScheduleLineRow{"Single", "1,ts.1,2024/1/1,2024/5/6,,,,,,,,e,,", 0, -1, 2024, 5, 6, 0},
                      ScheduleLineRow{"WeeklyCapital", "1,ts.1,2024/1/1,2024/5/6,,,,W,2,,,e,,", 3, 2, 2024, 1, 1, 0},
                      ScheduleLineRow{"UnknownType", "1,ts.1,2024/1/1,2024/5/6,,,,zz,x,,,e,,", -1, -1, 2024, 5, 6, 0},
                      ScheduleLineRow{"ExceptionsStopAtAnEmptyField",
                                      "1,ts.1,2024/1/1,2024/1/1,,,,d,,,,e,,,2024/1/3,,2024/1/9", 1, -1, 2024, 1, 1, 1},
                      ScheduleLineRow{"BadExceptionDropped",
                                      "1,ts.1,2024/1/1,2024/1/1,,,,m,15,,,e,,,2024/2/30,2024/3/1", 4, 15, 2024, 1, 1,
                                      1},
                      ScheduleLineRow{"NoFieldsButTheId", "8", 0, -1, 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KindsTest, ScheduleLineFields) {
  reply(
      "5,ts.9,,2024/5/6,2024/5/7,9:30,24:00:59,,,1,,\"Talk, long\",Room&#010;2,m\n"
      "x,ts.1\n\nrelation\nts.3\n5,55\n");
  CScheduleConnection schedules(session);
  ASSERT_EQ(schedules.GetCount(), 1);
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncCalendar&label=Palm7&sync=1 HTTP/1.1");
  const __SCHEDULE_DATA* s = schedules.Get(5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->nTimeStamp, 9);
  EXPECT_EQ(s->dateEnd.lDay, 7);
  EXPECT_EQ(s->timeSet.lHour, 9);
  EXPECT_EQ(s->timeSet.lMinute, 30);
  EXPECT_EQ(s->timeEnd.lHour, 24);
  EXPECT_EQ(s->bPrivate, 1);
  EXPECT_EQ(s->bBanner, 0);
  EXPECT_STREQ(s->pszEvent, "Talk, long");
  EXPECT_STREQ(s->pszDetail, "Room\n2");
  EXPECT_STREQ(s->pszMemo, "m");
  EXPECT_EQ(schedules.GetRelationCount(), 1);
  EXPECT_EQ(schedules.GetRelationTimeStamp(), 3);
}

TEST_F(KindsTest, ScheduleCommitBody) {
  reply(
      "1,ts.1,2024/1/1,2024/1/1,,,,w,3,,,Weekly,,\n"
      "2,ts.2,,2024/2/2,,,,,,,,Gone,,\n"
      "3,ts.3,,2024/3/3,,10:00,11:00,,,,,Plain,,\n");
  CScheduleConnection schedules(session);
  ASSERT_EQ(schedules.GetCount(), 3);
  // A changed repeating schedule keeps the date it was loaded with, even
  // with its start moved.
  __OFFICE_DATE moved{2024, 1, 8}, noDate{0, 0, 0}, exceptions[] = {{2024, 1, 15}, {2024, 1, 22}};
  __OFFICE_TIME noTime{-1, -1}, end{24, 0}, start{9, 5};
  ASSERT_NE(schedules.Set(1, 0, moved, noDate, start, end, GWREPEAT_MONTHLY, -1, "A & B", "", "", 2, exceptions, 1, 0),
            nullptr);
  ASSERT_EQ(schedules.Remove(2), 1);
  // A new one: no pd; nothing but what is set; the key before the dates.
  ASSERT_NE(schedules.Set(0, 0, moved, noDate, noTime, noTime, GWREPEAT_NONE, 4, "", "", "", 1, exceptions, 0, 31),
            nullptr);
  reply("77\n31,600\n");
  ASSERT_EQ(schedules.Commit(), 1);
  EXPECT_EQ(body(1),
            "page=SyncCalendar&label=Palm7&i=2&pd=da.2024.2.2"
            "&i=1&pd=da.2024.1.1&sd=da.2024.1.8&st=tm.9.5.0&et=tm.24.0.0&t=m&p=1&c=A+%26+B"
            "&e=da.2024.1.15&e=da.2024.1.22"
            "&i=0&sd=da.2024.1.8&s=31&e=da.2024.1.15"
            "&i=0&rt=ts.0&sync=1&rw=1");
  // The new schedule has its id and is named by its start date from now on.
  const __SCHEDULE_DATA* fresh = schedules.Get(600);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->datePrev.lDay, 8);
  EXPECT_EQ(schedules.GetRelationTimeStamp(), 77);
}

TEST_F(KindsTest, ScheduleTypeWithoutDayAndWithoutName) {
  reply("1,ts.1,,2024/3/3,,,,,,,,x,,\n");
  CScheduleConnection schedules(session);
  ASSERT_EQ(schedules.GetCount(), 1);
  __OFFICE_DATE d{2024, 3, 3}, none{0, 0, 0};
  __OFFICE_TIME t{-1, -1};
  ASSERT_NE(schedules.Set(1, 0, d, none, t, t, GWREPEAT_MONTHLY, -1, "", "", "", 0, nullptr, 0, 0), nullptr);
  ASSERT_NE(schedules.Set(0, 0, d, none, t, t, 42, 3, "", "", "", 0, nullptr, 0, 0), nullptr);
  reply("1\n");
  ASSERT_EQ(schedules.Commit(), 1);
  EXPECT_EQ(body(1),
            "page=SyncCalendar&label=Palm7&i=1&pd=da.2024.3.3&sd=da.2024.3.3&t=m"
            "&i=0&sd=da.2024.3.3&i=0&rt=ts.0&sync=1&rw=1");
}

TEST_F(KindsTest, RefusedScheduleCommitKeepsTheRemovals) {
  reply("1,ts.1,,2024/3/3,,,,,,,,x,,\n2,ts.1,,2024/4/4,,,,,,,,y,,\n");
  CScheduleConnection schedules(session);
  ASSERT_EQ(schedules.GetCount(), 2);
  ASSERT_EQ(schedules.Remove(1), 1);
  EXPECT_EQ(schedules.Remove(1), 0);
  EXPECT_EQ(session.GetLastError(), 15u);
  reply("ErrorCode,16400\n");
  EXPECT_EQ(schedules.Commit(), 0);
  EXPECT_EQ(session.GetLastError(), 21u);
  reply("5\n");
  ASSERT_EQ(schedules.Commit(), 1);
  EXPECT_EQ(body(1), body(2));
  EXPECT_EQ(body(2), "page=SyncCalendar&label=Palm7&i=1&pd=da.2024.3.3&i=0&rt=ts.0&sync=1&rw=1");
  reply("6\n");
  ASSERT_EQ(schedules.Commit(), 1);
  EXPECT_EQ(body(3), "page=SyncCalendar&label=Palm7&i=0&rt=ts.5&sync=1&rw=1");
}

// ---------------------------------------------------------------------------
// Addresses

const char kItems[] =
    "FirstName,Text,,,First name\n"
    "lastname,text,1,,Last name\n"
    "-2,Text,,,signed: no item\n"
    "Tel,File,,1,Phone\n"
    "12,Other,,,Fax\n"
    "13,Text,,,\n"
    "Bogus,Text,,,Unknown name\n";

TEST_F(KindsTest, AddressItemLines) {
  reply(kItems);
  CAddressConnection addresses(session);
  ASSERT_EQ(addresses.GetItemCount(), 4);
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncAddressItem&sync=1 HTTP/1.1");
  std::vector<std::string> items;
  for (const __ADDRESS_ITEM* i = addresses.FindFirstItem(); i; i = addresses.FindNextItem())
    items.push_back(std::to_string(i->nID) + ":" + i->pszName + ":" + std::to_string(i->nType) +
                    std::to_string(i->bNecessary) + std::to_string(i->bDisable));
  EXPECT_EQ(items, (std::vector<std::string>{"-1:First name:100", "-2:Last name:110", "-9:Phone:201", "12:Fax:000"}));
}

TEST_F(KindsTest, AddressCardsFollowTheHeaderColumns) {
  reply(kItems);
  reply(
      "0,,,,Tel,12,Nothing,,LastName\n"
      "5,ts.9,2,\"Friends\",03-1,\"fax, office\",dropped\n"
      "6,ts.10,1,,only phone\n"
      "0,,,,LastName\n"
      "\n"
      "relation\n"
      "ts.4\n"
      "5,105\n");
  CAddressConnection addresses(session);
  ASSERT_EQ(addresses.GetItemCount(), 4);
  ASSERT_EQ(addresses.SetLastTimeStamp(0), 1);
  ASSERT_EQ(addresses.GetCount(), 2);
  EXPECT_EQ(requestLine(1), "GET /gw?page=SyncAddress&label=Palm7&sync=1 HTTP/1.1");
  const __ADDRESS_DATA* card = addresses.Get(5);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->nTimeStamp, 9);
  EXPECT_EQ(card->nKind, 2);
  EXPECT_STREQ(card->pszCategory, "Friends");
  ASSERT_EQ(card->nItemCount, 2);
  EXPECT_EQ(card->pValues[0].pItem->nID, -9);
  EXPECT_STREQ(card->pValues[0].pszValue, "03-1");
  EXPECT_EQ(card->pValues[1].pItem->nID, 12);
  EXPECT_STREQ(card->pValues[1].pszValue, "fax, office");
  card = addresses.Get(6);
  ASSERT_EQ(card->nItemCount, 2);
  EXPECT_STREQ(card->pValues[1].pszValue, "");
  EXPECT_EQ(addresses.GetRelationTimeStamp(), 4);
  EXPECT_EQ(addresses.GetRelationCount(), 1);
}

TEST_F(KindsTest, CardsOutliveAFailedItemFetchAndItsRetry) {
  reply("Tel,Text,,,Phone\nErrorCode,16403\n");
  reply("0,,,,Tel\n5,ts.9,1,,03-1\n");
  reply("Tel,Text,,,Phone\n");
  CAddressConnection addresses(session);
  EXPECT_EQ(addresses.GetItemCount(), 0);
  EXPECT_EQ(session.GetLastError(), 18u);
  ASSERT_EQ(addresses.GetCount(), 1);  // matched to the definition read before the error
  ASSERT_EQ(addresses.GetItemCount(), 1);
  const __ADDRESS_DATA* card = addresses.Get(5);
  ASSERT_EQ(card->nItemCount, 1);
  EXPECT_STREQ(card->pValues[0].pItem->pszName, "Phone");
  EXPECT_STREQ(card->pValues[0].pszValue, "03-1");
}

TEST_F(KindsTest, AddressCommitBody) {
  reply(kItems);
  reply("0,,,,FirstName,LastName,Tel\n5,ts.9,2,Friends,Ann,Lee,03\n");
  CAddressConnection addresses(session);
  ASSERT_EQ(addresses.GetItemCount(), 4);
  ASSERT_EQ(addresses.SetLastTimeStamp(1700000000), 1);
  ASSERT_EQ(addresses.GetCount(), 1);
  EXPECT_EQ(requestLine(1), "GET /gw?page=SyncAddress&ts=ts.1700000000&label=Palm7&sync=1 HTTP/1.1");
  const __ADDRESS_DATA* held = addresses.Get(5);
  // A change: an empty category sends no "g", an empty value no field, and
  // the count still includes it.
  __ADDRESS_ITEM_VALUE values[] = {{held->pValues[0].pItem, const_cast<char*>("Ann Marie")},
                                   {held->pValues[1].pItem, const_cast<char*>("")},
                                   {held->pValues[2].pItem, const_cast<char*>("1\n2")}};
  __ADDRESS_DATA change{5, 0, 7, const_cast<char*>(""), 3, values};
  const __ADDRESS_DATA* changed = addresses.Set(&change, 0);
  ASSERT_NE(changed, nullptr);
  // The held card has its own copies of the item definitions.
  EXPECT_NE(changed->pValues[0].pItem, values[0].pItem);
  EXPECT_EQ(changed->pValues[0].pItem->nID, -1);
  __ADDRESS_DATA fresh{0, 0, 0, const_cast<char*>("Work & co"), 1, values};
  const __ADDRESS_DATA* added = addresses.Set(&fresh, 12);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->nKind, 0);  // as given; "t" goes out as 1 all the same
  reply("10\n12,800\n");
  ASSERT_EQ(addresses.Commit(), 1);
  EXPECT_EQ(body(2),
            "page=SyncAddress&label=Palm7"
            "&i=5&t=1&c=3&-1=Ann+Marie&-9=1%0A2"
            "&i=0&t=1&g=Work+%26+co&c=1&-1=Ann+Marie&s=12"
            "&i=0&rt=ts.0&sync=1&rw=1");
  EXPECT_EQ(added->nID, 800u);
  ASSERT_EQ(addresses.Remove(5), 1);
  reply("11\n");
  ASSERT_EQ(addresses.Commit(), 1);
  EXPECT_EQ(body(3), "page=SyncAddress&label=Palm7&i=5&i=0&rt=ts.10&i=800&s=12&sync=1&rw=1");
}

// ---------------------------------------------------------------------------
// Mail

TEST_F(KindsTest, MailLines) {
  reply(
      "1,ts.5,ts.4,Hello,1,from@x,to@x,cc@x,bcc@x,reply@x,text/plain,\"Body, with&#010;lines\"\n"
      "2,ts.5,ts.4,,,f,t,,,,,only a body\n"
      "3,ts.5,ts.4,,yes,f,t,,,,,\n"
      "-4,ts.5,ts.4,signed,,,,,,,,x\n"
      "5,ts.6,ts.3,only a subject,read\n");
  CMailConnection mail(session);
  ASSERT_EQ(mail.GetCount(), 3);
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncMail&rw=VuzIzud&sync=1 HTTP/1.1");
  const __MAIL_DATA* m = mail.Get(1);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->nTimeStamp, 5);
  EXPECT_EQ(m->nTimeSent, 4);
  EXPECT_EQ(m->bRead, 1);
  EXPECT_STREQ(m->pszFrom, "from@x");
  EXPECT_STREQ(m->pszTo, "to@x");
  EXPECT_STREQ(m->pszCC, "cc@x");
  EXPECT_STREQ(m->pszBCC, "bcc@x");
  EXPECT_STREQ(m->pszReplyTo, "reply@x");
  EXPECT_STREQ(m->pszContentType, "text/plain");
  EXPECT_STREQ(m->pszData, "Body, with\nlines");
  EXPECT_EQ(mail.Get(2)->bRead, 0);
  EXPECT_STREQ(mail.Get(2)->pszSubject, "");
  EXPECT_STREQ(mail.Get(5)->pszData, "");
  EXPECT_EQ(mail.Get(5)->bRead, 1);
}

TEST_F(KindsTest, MailSendKeepsTheQueueUntilTheServerTakesIt) {
  CMailConnection mail(session);
  __MAIL_DATA one{1,
                  2,
                  3,
                  1,
                  const_cast<char*>("Hi & bye"),
                  const_cast<char*>("me"),
                  const_cast<char*>("a@x"),
                  const_cast<char*>(""),
                  const_cast<char*>("b@x"),
                  const_cast<char*>("r"),
                  const_cast<char*>("text/plain"),
                  const_cast<char*>("l1\nl2")};
  ASSERT_EQ(mail.Set(&one), 1);
  ASSERT_EQ(mail.Set(&one), 1);  // twice: queued twice
  ASSERT_EQ(mail.Set("\x82\xA0", nullptr, "c@x", nullptr, "body"), 1);
  EXPECT_EQ(mail.Send(), 0);  // the mail box was never fetched
  EXPECT_EQ(session.GetLastError(), 13u);
  EXPECT_EQ(server.requestCount(), 0u);
  reply("");
  ASSERT_EQ(mail.GetCount(), 0);  // the fetch keeps what was queued
  EXPECT_EQ(session.GetLastError(), 0u);
  reply("ErrorCode,5,3\n");
  EXPECT_EQ(mail.Send(), 0);
  EXPECT_EQ(session.GetLastError(), 21u);
  EXPECT_EQ(session.GetDetailError(), 5u);
  EXPECT_EQ(mail.GetSendErrorPosition(), 3);
  const std::string expected =
      "page=SyncMail"
      "&s=Hi+%26+bye&t=a%40x&c=&b=b%40x&d=l1%0Al2"
      "&s=Hi+%26+bye&t=a%40x&c=&b=b%40x&d=l1%0Al2"
      "&s=%82%A0&t=&c=c%40x&b=&d=body&sync=1&rw=1";
  EXPECT_EQ(body(1), expected);
  reply("sent\n");
  ASSERT_EQ(mail.Send(), 1);
  EXPECT_EQ(body(2), expected);               // the whole queue again
  EXPECT_EQ(mail.GetSendErrorPosition(), 3);  // a success does not clear it
  reply("");
  ASSERT_EQ(mail.Send(), 1);
  EXPECT_EQ(body(3), "page=SyncMail&sync=1&rw=1");
}

TEST_F(KindsTest, MailRelationsLiveOnTheirOwnPage) {
  reply("ts.40\n1,11\n");
  CMailConnection mail(session);
  EXPECT_EQ(mail.SetRelation(2, 22), 0);
  EXPECT_EQ(session.GetLastError(), 13u);
  ASSERT_EQ(mail.GetRelationCount(), 1);
  EXPECT_EQ(requestLine(0), "GET /gw?page=SyncRelation&app=VuzIzud&label=Palm7&sync=1 HTTP/1.1");
  EXPECT_EQ(mail.GetRelationTimeStamp(), 40);
  EXPECT_EQ(mail.RemoveRelation(9), 0);
  EXPECT_EQ(session.GetLastError(), 15u);
  ASSERT_EQ(mail.SetRelation(2, 22), 1);
  ASSERT_EQ(mail.SetRelationTimeStamp(-1), 1);
  reply("41\n");
  ASSERT_EQ(mail.Commit(), 1);
  EXPECT_EQ(body(1), "page=SyncRelation&app=VuzIzud&label=Palm7&rt=ts.-1&i=1&s=11&i=2&s=22&sync=1&rw=1");
  EXPECT_EQ(mail.GetRelationTimeStamp(), 41);
}

}  // namespace
