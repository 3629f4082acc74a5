// Every data page over HTTP: fetch lines, commit bodies read in order, new
// ids in the reply, relation data, time stamps, and commits that must change
// nothing.
#include <gtest/gtest.h>

#include "server/store.h"
#include "server/tests/fixture.h"

namespace gwtest {
namespace {

class Pages : public ServerTest {
 protected:
  void SetUp() override { startAndLogin(); }

  std::string importFor(const std::string& user, const std::string& text) {
    auto r = server_.admin({"import", server_.db(), user}, "gwserver-export 1\n" + text);
    EXPECT_EQ(r.status, 0) << text;
    return r.out;
  }
};

// ---- memos ----

TEST_F(Pages, MemoCommitCreatesChangesRemovesAndRelatesNewRecords) {
  std::string reply = commit("page=SyncMemo&label=Palm1&i=0&n=First&d=one&s=101&i=0&n=Second&s=102&i=0&rt=ts.-1");
  auto ls = lines(reply);
  ASSERT_EQ(ls.size(), 3u) << reply;
  int64_t stamp = std::stoll(ls[0]);
  EXPECT_GT(stamp, 1700000000);
  auto a = fields(ls[1]), b = fields(ls[2]);
  EXPECT_EQ(a[0], "101");
  EXPECT_EQ(b[0], "102");
  std::string first = a[1], second = b[1];

  std::string page = fetch("page=SyncMemo&label=Palm1");
  auto recs = records(page);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(fields(recs[0]), (std::vector<std::string>{first, "ts." + std::to_string(stamp), "First", "one"}));
  EXPECT_EQ(fields(recs[1])[2], "Second");
  EXPECT_EQ(relationSection(page),
            (std::vector<std::string>{"ts." + std::to_string(stamp), first + ",101", second + ",102"}));

  // Change the first, remove the second, keep the pair of the first only.
  reply = commit("page=SyncMemo&label=Palm1&i=" + second + "&i=" + first + "&n=First%2B&d=&i=0&rt=ts.-1&i=" + first +
                 "&s=101");
  EXPECT_EQ(lines(reply).size(), 1u) << reply;
  page = fetch("page=SyncMemo&label=Palm1");
  recs = records(page);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(fields(recs[0])[2], "First+");
  EXPECT_EQ(fields(recs[0])[3], "");
  EXPECT_EQ(relationSection(page).size(), 2u);
}

// A commit sends every pair; the rows of pairs that did not change are left
// as they are (same row), a changed pair is rewritten in its place, and the
// page lists the pairs as sent.
TEST_F(Pages, CommitWritesOnlyThePairsThatChanged) {
  auto rows = [&] {
    std::vector<std::string> out;
    gwserver::Db db(server_.db());
    gwserver::Stmt s(db,
                     "SELECT rowid, pos, server_id, handheld_id FROM relation_pairs WHERE server_id < 20 "
                     "ORDER BY pos");
    while (s.step())
      out.push_back(std::to_string(s.integer(0)) + ":" + std::to_string(s.integer(1)) + ":" +
                    std::to_string(s.integer(2)) + "=" + std::to_string(s.integer(3)));
    return out;
  };
  commit("page=SyncMemo&label=P&i=0&rt=ts.5&i=11&s=1&i=12&s=2&i=13&s=3");
  std::vector<std::string> first = rows();
  ASSERT_EQ(first.size(), 3u);
  // Rows of another handheld after them, so that a row written again would
  // get a new number.
  commit("page=SyncMemo&label=Q&i=0&rt=ts.5&i=21&s=1");
  commit("page=SyncMemo&label=P&i=0&rt=ts.6&i=11&s=1&i=12&s=2&i=13&s=3");
  EXPECT_EQ(rows(), first);

  commit("page=SyncMemo&label=P&i=0&rt=ts.7&i=11&s=1&i=12&s=22&i=13&s=3&i=14&s=4");
  std::vector<std::string> second = rows();
  ASSERT_EQ(second.size(), 4u);
  EXPECT_EQ(second[0], first[0]);
  EXPECT_EQ(second[2], first[2]);
  EXPECT_EQ(second[1].substr(0, second[1].find(':')), first[1].substr(0, first[1].find(':')));
  EXPECT_EQ(second[1].substr(second[1].find(':')), ":1:12=22");

  commit("page=SyncMemo&label=P&i=0&rt=ts.8&i=11&s=1&i=13&s=3");
  EXPECT_EQ(relationSection(fetch("page=SyncMemo&label=P")), (std::vector<std::string>{"ts.8", "11,1", "13,3"}));
  EXPECT_EQ(rows().size(), 2u);
  EXPECT_EQ(rows()[0], first[0]);
}

TEST_F(Pages, ShiftJisAndQuotingComeBackByteForByte) {
  // Every byte but CR, escaped as the client escapes it (Shift-JIS pairs, blanks as '+').
  std::string text, escaped;
  for (int c = 1; c < 256; ++c) {
    if (c == '\r') continue;
    text += static_cast<char>(c);
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    escaped += c == ' ' ? std::string("+") : std::string(buf);
  }
  const std::string name = kYamada + "\x83\x5C,\"memo\"";  // ソ ends in a backslash byte
  std::string nameEscaped;
  for (unsigned char c : name) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    nameEscaped += buf;
  }
  commit("page=SyncMemo&label=P&i=0&n=" + nameEscaped + "&d=" + escaped + "&s=1&i=0&rt=ts.-1");
  auto recs = records(fetch("page=SyncMemo&label=P"));
  ASSERT_EQ(recs.size(), 1u);
  auto f = fields(recs[0]);
  EXPECT_EQ(f[2], name);
  EXPECT_EQ(f[3], text);
  // And through an export, where the bytes stay as they are.
  auto exported = server_.admin({"export", server_.db(), "taro"}).out;
  EXPECT_NE(exported.find(name), std::string::npos);
}

TEST_F(Pages, LabelsAndUsersKeepSeparateRelationData) {
  commit("page=SyncMemo&label=Palm1&i=0&n=x&s=7&i=0&rt=ts.111");
  EXPECT_EQ(relationSection(fetch("page=SyncMemo&label=Palm1")).front(), "ts.111");
  EXPECT_EQ(relationSection(fetch("page=SyncMemo&label=Palm2")), (std::vector<std::string>{"ts.0"}));
  EXPECT_EQ(relationSection(fetch("page=SyncToDo&label=Palm1")), (std::vector<std::string>{"ts.0"}));
  Session other(server_);
  other.login(yamada_, "pw2");
  std::string theirs = fetchAs(other, "page=SyncMemo&label=Palm1");
  EXPECT_EQ(records(theirs).size(), 0u);
  EXPECT_EQ(relationSection(theirs), (std::vector<std::string>{"ts.0"}));
}

// The relation time stamp from "rt=ts.-1" is never earlier than a record
// stamped before it, and a record changed after it is always later, even
// within the same second.
TEST_F(Pages, RelationStampSeparatesChangesAtASecondBoundary) {
  for (int round = 0; round < 5; ++round) {
    auto reply = lines(commit("page=SyncMemo&label=P&i=0&n=r" + std::to_string(round) +
                              "&s=" + std::to_string(round + 1) + "&i=0&rt=ts.-1"));
    int64_t relation = std::stoll(reply[0]);
    std::string id = fields(reply[1])[1];
    auto recs = records(fetch("page=SyncMemo&label=P"));
    for (const auto& r : recs) EXPECT_LE(std::stoll(fields(r)[1].substr(3)), relation);
    commit("page=SyncMemo&label=P&i=" + id + "&n=changed&i=0&rt=ts." + std::to_string(relation));
    for (const auto& r : records(fetch("page=SyncMemo&label=P"))) {
      if (fields(r)[0] == id) {
        EXPECT_GT(std::stoll(fields(r)[1].substr(3)), relation);
      }
    }
  }
  // An explicit stamp is stored as sent.
  EXPECT_EQ(lines(commit("page=SyncMemo&label=P&i=0&rt=ts.12345"))[0], "12345");
  EXPECT_EQ(relationSection(fetch("page=SyncMemo&label=P")).front(), "ts.12345");
}

// Legend: a commit body that must be refused, the error code, and why.
struct BadCommitRow {
  const char* name;
  const char* body;  // "ID" stands for the id of the existing memo
  const char* code;
};

class BadCommit : public Pages, public ::testing::WithParamInterface<BadCommitRow> {};

TEST_P(BadCommit, IsRefusedWithAnErrorLineAndChangesNothing) {
  std::string reply = commit("page=SyncMemo&label=P&i=0&n=keep&d=me&s=5&i=0&rt=ts.777");
  std::string id = fields(lines(reply)[1])[1];
  std::string other = fields(lines(commitAs(*session_, "page=SyncToDo&label=P&i=0&n=t&p=1&s=1&i=0&rt=ts.1"))[1])[1];
  Session hanako(server_);
  hanako.login(yamada_, "pw2");
  std::string hers = fields(lines(commitAs(hanako, "page=SyncMemo&label=P&i=0&n=hers&s=1&i=0&rt=ts.1"))[1])[1];
  std::string before = fetch("page=SyncMemo&label=P");
  std::string before2 = fetchAs(hanako, "page=SyncMemo&label=P");

  std::string body = replaceAll(replaceAll(replaceAll(GetParam().body, "ID", id), "OTHER", other), "HERS", hers);
  EXPECT_EQ(commit(body), std::string("ErrorCode,") + GetParam().code + "\n") << body;
  EXPECT_EQ(fetch("page=SyncMemo&label=P"), before);
  EXPECT_EQ(fetchAs(hanako, "page=SyncMemo&label=P"), before2);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadCommit,
    ::testing::Values(
        BadCommitRow{"noEndMarker", "page=SyncMemo&label=P&i=ID&n=x&rt=ts.-1", "16406"},
        BadCommitRow{"truncatedBeforeRt", "page=SyncMemo&label=P&i=ID&n=changed&i=0", "16406"},
        BadCommitRow{"truncatedInRecord", "page=SyncMemo&label=P&i=0&n=new&s=3", "16406"},
        BadCommitRow{"nothingAtAll", "page=SyncMemo&label=P", "16406"},
        BadCommitRow{"badId", "page=SyncMemo&label=P&i=x1&n=x&i=0&rt=ts.-1", "16406"},
        BadCommitRow{"negativeId", "page=SyncMemo&label=P&i=-1&n=x&i=0&rt=ts.-1", "16406"},
        BadCommitRow{"badStamp", "page=SyncMemo&label=P&i=ID&n=x&i=0&rt=ts.-2", "16406"},
        BadCommitRow{"stampWithoutPrefix", "page=SyncMemo&label=P&i=ID&n=x&i=0&rt=5", "16406"},
        BadCommitRow{"pairWithoutS", "page=SyncMemo&label=P&i=ID&n=x&i=0&rt=ts.-1&i=ID", "16406"},
        BadCommitRow{"pairNotANumber", "page=SyncMemo&label=P&i=ID&n=x&i=0&rt=ts.-1&i=ID&s=q", "16406"},
        BadCommitRow{"recordAfterRt", "page=SyncMemo&label=P&i=0&rt=ts.-1&i=0&n=late", "16406"},
        BadCommitRow{"unknownKey", "page=SyncMemo&label=P&i=ID&n=x&zz=1&i=0&rt=ts.-1", "16406"},
        BadCommitRow{"emptyName", "page=SyncMemo&label=P&i=ID&n=&d=x&i=0&rt=ts.-1", "16406"},
        BadCommitRow{"pieceWithoutEquals", "page=SyncMemo&label=P&i=ID&n=x&junk&i=0&rt=ts.-1", "16406"},
        BadCommitRow{"badKey", "page=SyncMemo&label=P&i=0&n=x&s=k&i=0&rt=ts.-1", "16406"},
        BadCommitRow{"changeOfUnknownId", "page=SyncMemo&label=P&i=ID&n=ok&i=99999&n=x&i=0&rt=ts.-1", "16407"},
        BadCommitRow{"removalOfUnknownId", "page=SyncMemo&label=P&i=99999&i=ID&n=x&i=0&rt=ts.-1", "16407"},
        BadCommitRow{"anotherUsersRecord", "page=SyncMemo&label=P&i=HERS&i=0&rt=ts.-1", "16407"},
        BadCommitRow{"anotherKindsRecord", "page=SyncMemo&label=P&i=OTHER&i=0&rt=ts.-1", "16407"},
        BadCommitRow{"lateFailureUndoesEarlierWork", "page=SyncMemo&label=P&i=ID&i=0&n=new&s=9&i=0&n=&i=0&rt=ts.-1",
                     "16406"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- calendar ----

TEST_F(Pages, CalendarRecordsCarryDatesTimesRepeatsAndExceptions) {
  std::string reply = commit(
      "page=SyncCalendar&label=P&i=0&sd=da.2024.1.8&ed=da.2024.1.8&st=tm.9.0.0&et=tm.24.0.0&t=W&n=1&p=1"
      "&c=Weekly&d=detail&m=memo&s=11&e=da.2024.1.15&e=da.2024.1.22"
      "&i=0&sd=da.2024.3.1&c=Once&s=12&i=0&rt=ts.-1");
  auto ls = lines(reply);
  ASSERT_EQ(ls.size(), 3u) << reply;
  std::string weekly = fields(ls[1])[1], once = fields(ls[2])[1];
  auto recs = records(fetch("page=SyncCalendar&label=P"));
  ASSERT_EQ(recs.size(), 2u);
  auto w = fields(recs[0]);
  EXPECT_EQ(w[0], weekly);
  EXPECT_EQ(std::vector<std::string>(w.begin() + 2, w.end()),
            (std::vector<std::string>{"2024/1/8", "2024/1/8", "2024/1/8", "9:00", "24:00", "w", "1", "1", "", "Weekly",
                                      "detail", "memo", "2024/1/15", "2024/1/22"}));
  auto o = fields(recs[1]);
  EXPECT_EQ(field(o, 2), "");  // a single schedule has no valid date
  EXPECT_EQ(field(o, 3), "2024/3/1");
  EXPECT_EQ(field(o, 7), "");
  EXPECT_EQ(field(o, 8), "");  // no day
  EXPECT_EQ(field(o, 11), "Once");
  EXPECT_EQ(o.size(), 14u);

  // A changed schedule names its old date in pd; a removal is its id and pd alone.
  commit("page=SyncCalendar&label=P&i=" + once + "&pd=da.2024.3.1&i=" + weekly +
         "&pd=da.2024.1.8&sd=da.2024.1.9&c=Moved&i=0&rt=ts.-1");
  recs = records(fetch("page=SyncCalendar&label=P"));
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(field(fields(recs[0]), 3), "2024/1/9");
  EXPECT_EQ(field(fields(recs[0]), 11), "Moved");
  EXPECT_EQ(field(fields(recs[0]), 14), "");  // exceptions not sent again are gone
  EXPECT_EQ(commit("page=SyncCalendar&label=P&i=0&sd=da.2024.2.30&i=0&rt=ts.-1"), "ErrorCode,16406\n");
  EXPECT_EQ(commit("page=SyncCalendar&label=P&i=0&t=x&i=0&rt=ts.-1"), "ErrorCode,16406\n");
}

// ---- to-dos and categories ----

TEST_F(Pages, ToDoFieldsAndCategoryListsRoundTrip) {
  std::string reply = commit(
      "page=SyncToDo&label=P&i=0&l=da.2024.5.1&p=3&f=1&e=da.2024.5.2&n=Taxes&c=Home&m=a%0Ab&s=4"
      "&i=0&p=0&n=Plain&i=0&rt=ts.-1");
  ASSERT_EQ(lines(reply).size(), 2u) << reply;  // only the record with a key is answered
  auto recs = records(fetch("page=SyncToDo&label=P"));
  ASSERT_EQ(recs.size(), 2u);
  auto t = fields(recs[0]);
  EXPECT_EQ(std::vector<std::string>(t.begin() + 2, t.end()),
            (std::vector<std::string>{"2024/5/1", "3", "1", "2024/5/2", "Home", "Taxes", "a\nb"}));
  auto p = fields(recs[1]);
  EXPECT_EQ(field(p, 4), "");  // not finished
  EXPECT_EQ(field(p, 7), "Plain");

  // Escaped names arrive whole, raw bytes stay raw; an unescaped "&" leaves a
  // piece without "=" and the commit is refused, changing nothing.
  EXPECT_EQ(commit("page=SyncToDoCategory&c=Home&c=Tom%26Jerry&c=" + kYamada + "&c=Home&c=a+b"), "");
  EXPECT_EQ(fetch("page=SyncToDoCategory"), "c,Home\nc,Tom&Jerry\nc," + kYamada + "\nc,a b\n");
  EXPECT_EQ(commit("page=SyncToDoCategory&c=Tom&Jerry"), "ErrorCode,16406\n");
  EXPECT_EQ(fetch("page=SyncToDoCategory"), "c,Home\nc,Tom&Jerry\nc," + kYamada + "\nc,a b\n");
  EXPECT_EQ(commit("page=SyncToDoCategory&c=One"), "");
  EXPECT_EQ(fetch("page=SyncToDoCategory"), "c,One\n");
  EXPECT_EQ(commit("page=SyncToDoCategory&c=two%0Alines"), "ErrorCode,16406\n");
  EXPECT_EQ(fetch("page=SyncToDoCategory"), "c,One\n");
}

// ---- address items and cards ----

TEST_F(Pages, AddressItemsAndCardsFollowTheHeaderColumns) {
  auto added = server_.admin({"item", "add", server_.db(), "Company"});
  ASSERT_EQ(added.status, 0);
  std::string company = added.out.substr(0, added.out.find('\n'));

  auto items = lines(fetch("page=SyncAddressItem"));
  ASSERT_EQ(items.size(), 12u);
  const char* builtins[] = {"FirstName", "LastName", "Post", "City", "State", "Country",
                            "Address",   "Zip",      "Tel",  "Mail", "Memo"};
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(fields(items[i])[0], builtins[i]);
    EXPECT_EQ(fields(items[i])[1], "Text");
    EXPECT_NE(field(fields(items[i]), 4), "");
  }
  EXPECT_EQ(fields(items[11]), (std::vector<std::string>{company, "Text", "", "", "Company"}));

  std::string reply = commit("page=SyncAddress&label=P&i=0&t=1&g=Work&c=4&-2=" + kYamada + "&-1=Taro&-9=03&" + company +
                             "=Acme%2C+Inc.&s=21&i=0&t=1&c=0&s=22&i=0&rt=ts.-1");
  auto ls = lines(reply);
  ASSERT_EQ(ls.size(), 3u) << reply;
  std::string card = fields(ls[1])[1];
  std::string page = fetch("page=SyncAddress&label=P");
  auto recs = records(page);
  ASSERT_EQ(recs.size(), 3u);
  auto header = fields(recs[0]);
  ASSERT_EQ(header.size(), 16u);
  EXPECT_EQ(header[0], "0");
  EXPECT_EQ(header[4], "FirstName");
  EXPECT_EQ(header[15], company);
  auto c = fields(recs[1]);
  EXPECT_EQ(c[0], card);
  EXPECT_EQ(c[3], "Work");
  EXPECT_EQ(field(c, 4), "Taro");
  EXPECT_EQ(field(c, 5), kYamada);
  EXPECT_EQ(field(c, 12), "03");
  EXPECT_EQ(field(c, 15), "Acme, Inc.");

  // A change sends every value it keeps: the ones left out are gone.
  commit("page=SyncAddress&label=P&i=" + card + "&t=1&c=1&-2=Sato&i=0&rt=ts.-1");
  c = fields(records(fetch("page=SyncAddress&label=P"))[1]);
  EXPECT_EQ(field(c, 3), "");
  EXPECT_EQ(field(c, 4), "");
  EXPECT_EQ(field(c, 5), "Sato");
  EXPECT_EQ(field(c, 15), "");

  // A card stamped 0 (imported so) is still on the unfiltered page.
  importFor("taro", "card\t-\t0\t1\t\t-2=Zero\n");
  EXPECT_EQ(records(fetch("page=SyncAddress&label=P")).size(), 4u);

  // The ts filter gives the cards changed after that time; the header stays.
  int64_t relation = std::stoll(lines(commit("page=SyncAddress&label=P&i=0&rt=ts.-1"))[0]);
  EXPECT_EQ(records(fetch("page=SyncAddress&label=P&ts=ts." + std::to_string(relation))).size(), 1u);
  commit("page=SyncAddress&label=P&i=" + card + "&t=1&c=1&-2=Suzuki&i=0&rt=ts." + std::to_string(relation));
  auto since = records(fetch("page=SyncAddress&label=P&ts=ts." + std::to_string(relation)));
  ASSERT_EQ(since.size(), 2u);
  EXPECT_EQ(fields(since[1])[0], card);
  EXPECT_EQ(commit("page=SyncAddress&label=P&i=0&t=1&c=1&99=x&i=0&rt=ts.-1"), "ErrorCode,16407\n");
  EXPECT_EQ(fetch("page=SyncAddress&label=P&ts=7"), "ErrorCode,16406\n");
}

// ---- every kind: what a commit that leaves keys out stores ----

// Legend: the data page, the fields of one new record (after "i=0"), and the
// line the page then shows for it after "id,ts.N".
struct StoredRow {
  const char* name;
  const char* page;
  const char* record;
  const char* shown;
};

class StoredRecord : public Pages, public ::testing::WithParamInterface<StoredRow> {};

TEST_P(StoredRecord, ShowsEachColumnInPlaceWithItsDefault) {
  const StoredRow& row = GetParam();
  std::string page = std::string("page=") + row.page + "&label=P";
  std::string reply = commit(page + "&i=0&" + row.record + "&s=1&i=0&rt=ts.-1");
  ASSERT_EQ(lines(reply).size(), 2u) << reply;
  auto recs = records(fetch(page));
  ASSERT_FALSE(recs.empty());
  const std::string& line = recs.back();
  std::string head = fields(lines(reply)[1])[1] + ",ts.";
  ASSERT_EQ(line.rfind(head, 0), 0u) << line;
  EXPECT_EQ(line.substr(line.find(',', head.size())), row.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StoredRecord,
    ::testing::Values(StoredRow{"memoNameOnly", "SyncMemo", "n=x", R"(,"x","")"},
                      StoredRow{"memoLastKeyWins", "SyncMemo", "n=a&d=1&n=b&d=2", R"(,"b","2")"},
                      StoredRow{"todoNameOnly", "SyncToDo", "n=x", R"(,,0,,,"","x","")"},
                      StoredRow{"todoUnfinished", "SyncToDo", "n=x&p=2&f=0&c=A%2CB", R"(,,2,,,"A,B","x","")"},
                      StoredRow{"scheduleDateOnly", "SyncCalendar", "sd=da.2024.1.8", R"(,,2024/1/8,,,,,,,,"","","")"},
                      StoredRow{"scheduleDayZeroIsShown", "SyncCalendar", "sd=da.2024.1.8&t=D&n=0&e=da.2024.1.9",
                                R"(,2024/1/8,2024/1/8,,,,d,0,,,"","","",2024/1/9)"},
                      StoredRow{"scheduleFlagsAndTexts", "SyncCalendar", "st=tm.7.5.0&p=0&b=1&c=e&d=f&m=g",
                                R"(,,,,7:05,,,,,1,"e","f","g")"},
                      StoredRow{"cardCountOnly", "SyncAddress", "c=0", R"(,1,"",,,,,,,,,,,)"},
                      StoredRow{"cardKindAndCategory", "SyncAddress", "t=2&g=Work&c=1&-11=m",
                                R"(,2,"Work",,,,,,,,,,,"m")"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- mail ----

TEST_F(Pages, MailboxSendAndMailRelations) {
  importFor("taro",
            "mail\t5\t100\t90\t1\tHello\tfrom@x\tme@x\tcc@x\t\t\ttext/plain\tLine1\\nLine2\n"
            "mail\t6\t101\t91\t0\t\tfrom@x\tme@x\t\t\t\t\tBody only\n");
  auto recs = lines(fetch("page=SyncMail&rw=VuzIzud"));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(fields(recs[0]), (std::vector<std::string>{"5", "ts.100", "ts.90", "Hello", "1", "from@x", "me@x", "cc@x",
                                                       "", "", "text/plain", "Line1\nLine2"}));
  EXPECT_EQ(field(fields(recs[1]), 4), "");

  // Mails before the first without recipients are sent; that one is refused with its place.
  std::string mail = "&s=Sub&t=a%40x&c=&b=&d=Body";
  std::string bad = "&s=NoOne&t=&c=&b=&d=x";
  std::string bccOnly = "&s=Bcc&t=&c=&b=hidden%40x&d=";
  EXPECT_EQ(commit("page=SyncMail" + mail + bccOnly + bad + mail), "ErrorCode,16409,3\n");
  EXPECT_EQ(commit("page=SyncMail"), "");
  EXPECT_EQ(commit("page=SyncMail" + mail), "");
  auto exported = server_.admin({"export", server_.db(), "taro"}).out;
  size_t sent = 0;
  for (const auto& l : lines(exported)) sent += l.rfind("sent\t", 0) == 0;
  EXPECT_EQ(sent, 3u) << exported;
  // Each key lands in its own outbox column.
  EXPECT_NE(exported.find("\tBcc\t\t\thidden@x\t\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\tSub\ta@x\t\t\tBody\n"), std::string::npos) << exported;
  EXPECT_EQ(commit("page=SyncMail&t=a%40x"), "ErrorCode,16406\n");

  EXPECT_EQ(fetch("page=SyncRelation&app=VuzIzud&label=P"), "ts.0\n");
  EXPECT_EQ(lines(commit("page=SyncRelation&app=VuzIzud&label=P&rt=ts.500&i=5&s=255&i=6&s=77"))[0], "500");
  EXPECT_EQ(fetch("page=SyncRelation&app=VuzIzud&label=P"), "ts.500\n5,255\n6,77\n");
  int64_t now = std::stoll(lines(commit("page=SyncRelation&app=VuzIzud&label=P&rt=ts.-1&i=5&s=255"))[0]);
  EXPECT_GT(now, 1700000000);
  EXPECT_EQ(fetch("page=SyncRelation&app=VuzIzud&label=P"), "ts." + std::to_string(now) + "\n5,255\n");
  EXPECT_EQ(commit("page=SyncRelation&app=VuzIzud&label=P&rt=ts.1&i=5"), "ErrorCode,16406\n");
  EXPECT_EQ(fetch("page=SyncRelation&label=P"), "ErrorCode,16406\n");
}

}  // namespace
}  // namespace gwtest
