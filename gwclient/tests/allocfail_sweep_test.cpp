// Allocation failures at every step of a fetch and of a commit, for each data
// kind: the N-th allocation of the call fails (once, or from then on), for
// every N until the call completes without meeting it. A fetch either reads
// the page whole or fails with error 1 holding nothing; a commit either sends
// the whole body or fails with error 1 before anything is sent, its pending
// changes kept for the next try.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/session.h"
#include "gwclient/tests/allocfail.h"
#include "testutil/fake_http_server.h"

namespace {

using testutil::FakeHttpServer;
using testutil::httpReply;

// A session on the scripted server with one connection of each kind.
struct Client {
  explicit Client(const std::string& url) {
    open = session.Open(url.c_str(), nullptr, 0) && session.SetLabel("Palm", 7);
  }
  CServerSession& server() { return *FindSession(session.m_dwHandle); }

  COfficeSession session;
  bool open = false;
  CAddressConnection addresses{session};
  CMemoConnection memos{session};
  CMailConnection mail{session};
  CScheduleConnection schedules{session};
  CToDoConnection todos{session};
};

std::string Str(const char* s) { return s ? s : "(null)"; }
std::string Show(const __OFFICE_DATE& d) {
  return std::to_string(d.lYear) + "/" + std::to_string(d.lMonth) + "/" + std::to_string(d.lDay);
}
std::string Show(const __OFFICE_TIME& t) { return std::to_string(t.lHour) + ":" + std::to_string(t.lMinute); }

// The relation pairs and time stamp as the connection shows them.
template <class Conn>
std::string ShowRelations(Conn& conn) {
  std::ostringstream out;
  for (const __REL_DATA* r = conn.FindFirstRelation(); r; r = conn.FindNextRelation())
    out << "pair " << r->nServerID << "," << r->nHandheldID << "\n";
  out << "ts " << conn.GetRelationTimeStamp() << "\n";
  return out.str();
}

std::string ShowMemos(Client& c) {
  std::ostringstream out;
  for (const __MEMO_DATA* m = c.memos.FindFirst(); m; m = c.memos.FindNext())
    out << m->nID << "|" << m->nTimeStamp << "|" << Str(m->pszName) << "|" << Str(m->pszData) << "\n";
  return out.str() + ShowRelations(c.memos);
}

std::string ShowToDos(Client& c) {
  std::ostringstream out;
  for (const __TODO_DATA* t = c.todos.FindFirst(); t; t = c.todos.FindNext())
    out << t->nID << "|" << t->nTimeStamp << "|" << Show(t->dateLimit) << "|" << t->nPriority << "|" << t->bFinish
        << "|" << Show(t->dateEnd) << "|" << Str(t->pszName) << "|" << Str(t->pszCategory) << "|" << Str(t->pszMemo)
        << "\n";
  return out.str() + ShowRelations(c.todos);
}

std::string ShowSchedules(Client& c) {
  std::ostringstream out;
  for (const __SCHEDULE_DATA* s = c.schedules.FindFirst(); s; s = c.schedules.FindNext()) {
    out << s->nID << "|" << s->nTimeStamp << "|" << Show(s->datePrev) << "|" << Show(s->dateValid) << "|"
        << Show(s->dateSet) << "|" << Show(s->dateEnd) << "|" << Show(s->timeSet) << "|" << Show(s->timeEnd) << "|"
        << s->nType << "|" << s->nDay << "|" << Str(s->pszEvent) << "|" << Str(s->pszDetail) << "|" << Str(s->pszMemo)
        << "|" << s->bPrivate << s->bBanner;
    for (LONG i = 0; i < s->nExceptionCount; ++i) out << "|x " << Show(s->pExceptions[i]);
    out << "\n";
  }
  return out.str() + ShowRelations(c.schedules);
}

std::string ShowAddressItems(Client& c) {
  std::ostringstream out;
  for (const __ADDRESS_ITEM* i = c.addresses.FindFirstItem(); i; i = c.addresses.FindNextItem())
    out << i->nID << "|" << i->nType << "|" << i->bNecessary << i->bDisable << "|" << Str(i->pszName) << "\n";
  return out.str();
}

std::string ShowAddresses(Client& c) {
  std::ostringstream out;
  for (const __ADDRESS_DATA* a = c.addresses.FindFirst(); a; a = c.addresses.FindNext()) {
    out << a->nID << "|" << a->nTimeStamp << "|" << a->nKind << "|" << Str(a->pszCategory);
    for (LONG i = 0; i < a->nItemCount; ++i)
      out << "|" << a->pValues[i].pItem->nID << "=" << Str(a->pValues[i].pszValue);
    out << "\n";
  }
  return out.str() + ShowRelations(c.addresses);
}

std::string ShowMail(Client& c) {
  std::ostringstream out;
  for (const __MAIL_DATA* m = c.mail.FindFirst(); m; m = c.mail.FindNext())
    out << m->nID << "|" << m->nTimeStamp << "|" << m->nTimeSent << "|" << m->bRead << "|" << Str(m->pszSubject) << "|"
        << Str(m->pszFrom) << "|" << Str(m->pszTo) << "|" << Str(m->pszCC) << "|" << Str(m->pszBCC) << "|"
        << Str(m->pszReplyTo) << "|" << Str(m->pszContentType) << "|" << Str(m->pszData) << "\n";
  return out.str();
}

std::string ShowMailRelations(Client& c) { return ShowRelations(c.mail); }

// After a failed fetch: the page is not loaded and holds nothing, and the
// connection shows nothing without fetching again.
template <auto Page, class Conn>
bool DataPageHoldsNothing(Client& c, Conn Client::*conn) {
  const auto& page = c.server().*Page;
  return !page.IsLoaded() && page.Items().empty() && page.Relations().empty() && page.GetRelationTimeStamp() == 0 &&
         (c.*conn).FindNext() == nullptr && (c.*conn).FindNextRelation() == nullptr &&
         (c.*conn).GetRelationTimeStamp() == 0;
}

const char kItems[] =
    "FirstName,Text,,,First name\n"
    "LastName,Text,1,,Last name\n"
    "Tel,File,,1,Phone\n"
    "12,Text,,,Fax\n";

struct FetchRow {
  const char* name;
  std::vector<std::string> replies;  // one per request, in order
  long (*prepare)(Client&);          // before the swept call, never failed; may be null
  long (*fetch)(Client&);            // the swept call: the count it gives
  std::string (*show)(Client&);      // what the connection holds after a fetch
  bool (*holdsNothing)(Client&);     // after a failed one
};

const FetchRow kFetchRows[] = {
    {"Memo",
     {"1,ts.1,One,a&#010;b\n2,ts.2,\"Two, "
      "too\",\n3,ts.3,Three,c\n\nrelation\nts.50\n1,101\n2,102\n"},
     nullptr,
     [](Client& c) { return c.memos.GetCount(); },
     ShowMemos,
     [](Client& c) { return DataPageHoldsNothing<&CServerSession::m_MemoPage>(c, &Client::memos); }},
    {"ToDo",
     {"1,ts.5,2024/2/29,3,1,,Work,Report,m\n2,ts.6,,0,,2024/1/"
      "2,,Other,\n3,ts.7,,1,,,Home,Third,x\n"
      "\nrelation\nts.60\n3,303\n"},
     nullptr,
     [](Client& c) { return c.todos.GetCount(); },
     ShowToDos,
     [](Client& c) { return DataPageHoldsNothing<&CServerSession::m_ToDoPage>(c, &Client::todos); }},
    {"Schedule",
     {"1,ts.1,2024/1/1,2024/1/1,,,,w,3,,,Weekly,,,2024/1/8,2024/1/15\n"
      "2,ts.2,,2024/2/2,2024/2/3,9:30,24:00,,,1,1,\"Talk, "
      "long\",Room&#010;2,m\n"
      "3,ts.3,,2024/3/"
      "3,,10:00,11:00,,,,,Plain,,\n\nrelation\nts.70\n1,11\n3,33\n"},
     nullptr,
     [](Client& c) { return c.schedules.GetCount(); },
     ShowSchedules,
     [](Client& c) { return DataPageHoldsNothing<&CServerSession::m_SchedulePage>(c, &Client::schedules); }},
    {"AddressItems",
     {kItems},
     nullptr,
     [](Client& c) { return c.addresses.GetItemCount(); },
     ShowAddressItems,
     [](Client& c) {
       const CAddressItemPage& page = c.server().m_AddressItemPage;
       return !page.IsLoaded() && page.Items().empty() && c.addresses.FindNextItem() == nullptr;
     }},
    {"Address",
     {kItems,
      "0,,,,FirstName,LastName,Tel,Unknown,12\n5,ts.9,2,Friends,Ann,"
      "Lee,03,x,04\n"
      "6,ts.10,1,,Bo,,,,\n7,ts.11,1,Work,\"C, "
      "D\",E&#010;F,05,y,\n\nrelation\nts.80\n5,55\n7,77\n"},
     [](Client& c) { return c.addresses.GetItemCount(); },
     [](Client& c) { return c.addresses.GetCount(); },
     ShowAddresses,
     [](Client& c) { return DataPageHoldsNothing<&CServerSession::m_AddressPage>(c, &Client::addresses); }},
    {"Mail",
     {"1,ts.5,ts.4,Hello,1,from@x,to@x,cc@x,bcc@x,reply@x,text/plain,\"Body, "
      "with&#010;lines\"\n"
      "2,ts.5,ts.4,,,f,t,,,,,only a body\n3,ts.6,ts.3,only a subject,read\n"},
     nullptr,
     [](Client& c) { return c.mail.GetCount(); },
     ShowMail,
     [](Client& c) {
       const CMailPage& page = c.server().m_MailPage;
       return !page.IsLoaded() && page.Items().empty() && c.mail.FindNext() == nullptr;
     }},
    {"MailRelations",
     {"ts.90\n1,101\n2,102\n3,103\n"},
     nullptr,
     [](Client& c) { return c.mail.GetRelationCount(); },
     ShowMailRelations,
     [](Client& c) {
       const CRelationPage& page = c.server().m_MailRelationPage;
       return !page.IsLoaded() && page.Relations().empty() && page.GetRelationTimeStamp() == 0 &&
              c.mail.FindNextRelation() == nullptr && c.mail.GetRelationTimeStamp() == 0;
     }},
};

struct SweepCase {
  size_t row;
  bool persistent;
};

std::string CaseName(const FetchRow* rows, const ::testing::TestParamInfo<SweepCase>& info) {
  return std::string(rows[info.param.row].name) + (info.param.persistent ? "ForGood" : "Once");
}

std::vector<SweepCase> AllCases(size_t rows) {
  std::vector<SweepCase> cases;
  for (size_t r = 0; r < rows; ++r)
    for (bool persistent : {false, true}) cases.push_back({r, persistent});
  return cases;
}

// An upper bound on the allocations of one call, so that a call that never
// completes ends the sweep instead of looping.
const long kMaxAllocations = 20000;

class FetchSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
  }
};

TEST_P(FetchSweep, ReadsThePageWholeOrFailsHoldingNothing) {
  const FetchRow& row = kFetchRows[GetParam().row];
  std::string whole;
  {
    FakeHttpServer server;
    for (const auto& r : row.replies) server.reply(httpReply(200, r));
    Client c(server.url("/gw"));
    ASSERT_TRUE(c.open);
    if (row.prepare) {
      ASSERT_GT(row.prepare(c), 0);
    }
    ASSERT_GT(row.fetch(c), 0);
    whole = row.show(c);
  }
  // One server for the whole sweep: every reply scripted is taken by the
  // request it was meant for, one left by a call that failed before sending
  // by the fetch after it.
  FakeHttpServer server;
  size_t scripted = 0;
  auto script = [&](const std::string& text) {
    server.reply(httpReply(200, text));
    ++scripted;
  };
  long failed = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, kMaxAllocations) << "the fetch never completed";
    ASSERT_EQ(server.requestCount(), scripted);
    for (const auto& r : row.replies) script(r);
    Client c(server.url("/gw"));
    ASSERT_TRUE(c.open);
    if (row.prepare) {
      ASSERT_GT(row.prepare(c), 0);
    }
    long count = 0;
    bool met = false;
    {
      gwtest::AllocFailure fail(n, GetParam().persistent);
      count = row.fetch(c);
      met = fail.Met();
    }
    const DWORD error = c.session.GetLastError();
    if (!met) {
      ASSERT_GT(count, 0);
      EXPECT_EQ(row.show(c), whole);
      break;
    }
    if (count > 0) {  // the failure was met where it could be overcome
      EXPECT_EQ(row.show(c), whole) << "allocation " << n;
      continue;
    }
    ++failed;
    EXPECT_EQ(error, static_cast<DWORD>(GWERR_NO_MEMORY)) << "allocation " << n;
    EXPECT_TRUE(row.holdsNothing(c)) << "allocation " << n;
    // With memory back the same page reads whole: nothing of the failed
    // read is left to mix in.
    if (server.requestCount() == scripted) script(row.replies.back());
    EXPECT_GT(row.fetch(c), 0) << "allocation " << n;
    EXPECT_EQ(row.show(c), whole) << "allocation " << n;
  }
  EXPECT_GT(failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FetchSweep, ::testing::ValuesIn(AllCases(std::size(kFetchRows))),
                         [](const auto& info) { return CaseName(kFetchRows, info); });

// ---------------------------------------------------------------------------
// Commits

// The pending changes and relation data a data page holds.
template <auto Page>
std::string DataPagePending(Client& c) {
  const auto& page = c.server().*Page;
  std::ostringstream out;
  for (const auto& e : page.PendingNew()) out << "new " << e.nKey << " id " << e.pItem->nID << "\n";
  for (const auto* m : page.Modified()) out << "changed " << m->nID << "\n";
  for (DWORD id : page.RemovedIds()) out << "removed " << id << "\n";
  for (const auto& r : page.Relations()) out << "pair " << r->nServerID << "," << r->nHandheldID << "\n";
  out << "ts " << page.GetRelationTimeStamp() << "\n";
  return out.str();
}

struct CommitRow {
  const char* name;
  std::vector<std::string> replies;  // the fetch before the changes
  long (*prepare)(Client&);          // fetch and change, never failed; > 0 when done
  int (*commit)(Client&);            // the swept call
  const char* commitReply;
  std::string (*pending)(Client&);  // what the page holds to send, and its relations
};

const CommitRow kCommitRows[] = {
    {"Memo",
     {kFetchRows[0].replies[0]},
     [](Client& c) -> long {
       return c.memos.GetCount() == 3 && c.memos.Set(1, 0, "One changed", "a & b", 0) && c.memos.Remove(2) &&
              c.memos.Set(0, 0, "New \x82\xA0", "l1\nl2", 501) && c.memos.Set(0, 0, "", "untitled", 502) &&
              c.memos.SetRelation(3, 303);
     },
     [](Client& c) { return c.memos.Commit(); },
     "1700000200\n501,40\n502,41\n",
     DataPagePending<&CServerSession::m_MemoPage>},
    {"ToDo",
     {kFetchRows[1].replies[0]},
     [](Client& c) -> long {
       __OFFICE_DATE due{2024, 5, 6};
       return c.todos.GetCount() == 3 && c.todos.Set(1, 0, due, 2, 1, "Report done", "Home & away", "m", 0) &&
              c.todos.Remove(2) && c.todos.Set(0, 0, due, 1, 0, "", "Work", "memo", 601);
     },
     [](Client& c) { return c.todos.Commit(); },
     "99\n601,700\n",
     DataPagePending<&CServerSession::m_ToDoPage>},
    {"Schedule",
     {kFetchRows[2].replies[0]},
     [](Client& c) -> long {
       __OFFICE_DATE moved{2024, 1, 8}, none{0, 0, 0}, ex[] = {{2024, 1, 15}, {2024, 1, 22}};
       __OFFICE_TIME noTime{-1, -1}, start{9, 5}, end{24, 0};
       return c.schedules.GetCount() == 3 &&
              c.schedules.Set(1, 0, moved, none, start, end, GWREPEAT_MONTHLY, -1, "A & B", "d", "m", 2, ex, 1, 0) &&
              c.schedules.Remove(2) &&
              c.schedules.Set(0, 0, moved, none, noTime, noTime, GWREPEAT_NONE, 4, "New", "", "", 1, ex, 0, 31);
     },
     [](Client& c) { return c.schedules.Commit(); },
     "77\n31,600\n",
     DataPagePending<&CServerSession::m_SchedulePage>},
    {"Address", kFetchRows[4].replies,
     [](Client& c) -> long {
       if (c.addresses.GetItemCount() != 4 || c.addresses.GetCount() != 3) return 0;
       const __ADDRESS_DATA* held = c.addresses.Get(5);
       __ADDRESS_ITEM_VALUE values[] = {{held->pValues[0].pItem, const_cast<char*>("Ann Marie")},
                                        {held->pValues[1].pItem, const_cast<char*>("")},
                                        {held->pValues[2].pItem, const_cast<char*>("1\n2")}};
       __ADDRESS_DATA change{5, 0, 7, const_cast<char*>("Friends"), 3, values};
       __ADDRESS_DATA fresh{0, 0, 1, const_cast<char*>("Work & co"), 2, values};
       return c.addresses.Set(&change, 0) && c.addresses.Remove(6) && c.addresses.Set(&fresh, 12);
     },
     [](Client& c) { return c.addresses.Commit(); }, "10\n12,800\n", DataPagePending<&CServerSession::m_AddressPage>},
    {"MailRelations",
     {kFetchRows[6].replies[0]},
     [](Client& c) -> long {
       return c.mail.GetRelationCount() == 3 && c.mail.SetRelation(9, 909) && c.mail.RemoveRelation(2) &&
              c.mail.SetRelationTimeStamp(-1);
     },
     [](Client& c) { return c.mail.Commit(); },
     "1700000300\n",
     [](Client& c) { return ShowRelations(c.mail); }},
    {"MailSend",
     {kFetchRows[5].replies[0]},
     [](Client& c) -> long {
       return c.mail.GetCount() == 3 && c.mail.Set("Hi & bye", "a@x", "", "b@x", "l1\nl2") &&
              c.mail.Set("\x82\xA0", "c@x", "d@x", nullptr, "body");
     },
     [](Client& c) { return c.mail.Send(); },
     "",
     [](Client& c) {
       std::string queue;
       for (const __MAIL_DATA* m : c.server().m_MailPage.Queue()) queue += Str(m->pszSubject) + "\n";
       return queue;
     }},
};

class CommitSweep : public FetchSweep {};

// The body of the last request the server received.
std::string LastBody(const FakeHttpServer& server) {
  std::string r = server.request(server.requestCount() - 1);
  size_t end = r.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : r.substr(end + 4);
}

TEST_P(CommitSweep, SendsTheWholeBodyOrNothing) {
  const CommitRow& row = kCommitRows[GetParam().row];
  std::string body, after;
  {
    FakeHttpServer server;
    for (const auto& r : row.replies) server.reply(httpReply(200, r));
    server.reply(httpReply(200, row.commitReply));
    Client c(server.url("/gw"));
    ASSERT_TRUE(c.open);
    ASSERT_GT(row.prepare(c), 0);
    ASSERT_EQ(row.commit(c), 1);
    body = LastBody(server);
    after = row.pending(c);
  }
  // One server for the whole sweep: a commit reply left by a commit that
  // sent nothing is taken by the commit that tries again.
  FakeHttpServer server;
  size_t scripted = 0;
  auto script = [&](const std::string& text) {
    server.reply(httpReply(200, text));
    ++scripted;
  };
  long unsent = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, kMaxAllocations) << "the commit never completed";
    ASSERT_EQ(server.requestCount(), scripted);
    for (const auto& r : row.replies) script(r);
    script(row.commitReply);
    Client c(server.url("/gw"));
    ASSERT_TRUE(c.open);
    ASSERT_GT(row.prepare(c), 0);
    const std::string before = row.pending(c);
    const size_t requests = server.requestCount();
    int result = 0;
    bool met = false;
    {
      gwtest::AllocFailure fail(n, GetParam().persistent);
      result = row.commit(c);
      met = fail.Met();
    }
    const DWORD error = c.session.GetLastError();
    const bool sent = server.requestCount() > requests;
    if (!met) {
      ASSERT_EQ(result, 1);
      EXPECT_EQ(LastBody(server), body);
      EXPECT_EQ(row.pending(c), after);
      break;
    }
    if (sent) {
      // Never a record without its fields.
      EXPECT_EQ(LastBody(server), body) << "allocation " << n;
      if (result == 1) EXPECT_EQ(row.pending(c), after) << "allocation " << n;
      else  // the reply could not be read: told like a reply lost
        EXPECT_EQ(error, static_cast<DWORD>(GWERR_NO_MEMORY)) << "allocation " << n;
      continue;
    }
    ++unsent;
    EXPECT_EQ(result, 0) << "allocation " << n;
    EXPECT_EQ(error, static_cast<DWORD>(GWERR_NO_MEMORY)) << "allocation " << n;
    EXPECT_EQ(row.pending(c), before) << "allocation " << n;
    // The changes kept are the whole of them: the next commit sends the
    // same body and ends as a commit never failed would.
    EXPECT_EQ(row.commit(c), 1) << "allocation " << n;
    EXPECT_EQ(LastBody(server), body) << "allocation " << n;
    EXPECT_EQ(row.pending(c), after) << "allocation " << n;
  }
  EXPECT_GT(unsent, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CommitSweep, ::testing::ValuesIn(AllCases(std::size(kCommitRows))),
                         [](const auto& info) {
                           return std::string(kCommitRows[info.param.row].name) +
                                  (info.param.persistent ? "ForGood" : "Once");
                         });

}  // namespace
