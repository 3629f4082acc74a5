// The handheld tool, run as a person runs it; what it leaves is read back
// from the database files directly.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hotsync/handheld/records.h"
#include "hotsync/handheld/tests/toolrun.h"
#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using Outcome = HandheldRun;

class HandheldTool : public ::testing::Test {
 protected:
  Outcome run(const std::vector<std::string>& args) { return runHandheld(folder_, dir_.path(), args); }
  std::string ok(const std::vector<std::string>& args) { return handheldOk(folder_, dir_.path(), args); }

  palm::Database database(const char* name) {
    palm::Database db;
    palm::StoreStatus st = palm::readDatabaseFile(palm::databaseFile(folder_.string(), name, false), db);
    EXPECT_TRUE(st) << st.message;
    return db;
  }

  void SetUp() override { ok({"create"}); }

  testutil::TempDir dir_{"handheld-tool"};
  fs::path folder_ = dir_ / "palm";
};

TEST_F(HandheldTool, CreateMakesThreeEmptyDatabasesWithTheirCategories) {
  for (const char* name : {"AddressDB", "MemoDB", "MailDB", "ToDoDB", "DatebookDB"}) {
    palm::Database db = database(name);
    EXPECT_TRUE(db.records.empty()) << name;
    EXPECT_EQ(db.appInfo, palm::defaultAppInfo(db.creator)) << name;
    EXPECT_EQ(palm::fourCCText(db.type), "DATA");
  }
  EXPECT_EQ(palm::fourCCText(database("MailDB").creator), "mail");
  Outcome again = run({"create"});
  EXPECT_EQ(again.code, 1);
  EXPECT_NE(again.err.find("holds a handheld already"), std::string::npos) << again.err;
}

TEST_F(HandheldTool, AddedRecordsAreDirtyAndDecodeAsGiven) {
  const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea";
  std::string id = ok({"--raw", "add", "address", "--last", sjis, "--first", "Ann", "--company", "Acme", "--phone",
                       "mobile=090", "--phone", "work=03", "--category", "business", "--private"});
  EXPECT_EQ(id, "1\n");
  palm::Database db = database("AddressDB");
  ASSERT_EQ(db.records.size(), 1u);
  const palm::Record& r = db.records[0];
  EXPECT_TRUE(r.dirty && r.secret && r.live());
  EXPECT_EQ(r.category, 1);
  palm::AddressRecord a;
  ASSERT_TRUE(palm::parseAddress(r.data, a, nullptr));
  EXPECT_EQ(a.fields[palm::kLastName], sjis);
  EXPECT_EQ(a.fields[palm::kPhone1], "090");
  EXPECT_EQ(a.phoneLabel(0), 7);
  EXPECT_EQ(a.phoneLabel(1), 0);
  EXPECT_EQ(ok({"--raw", "list", "address"}), "1\tBusiness\tdirty,private\t" + sjis + ", Ann\n");
  std::string shown = ok({"show", "address", "0x1"});
  EXPECT_NE(shown.find("phone 1 (mobile): 090\n"), std::string::npos) << shown;

  ok({"add", "mail", "--subject", "Hi", "--to", "bob@example.com", "--body", "a\nb", "--date", "2026-03-04 05:06"});
  palm::MailRecord m;
  palm::Database mail = database("MailDB");
  ASSERT_TRUE(palm::parseMail(mail.records[0].data, m, nullptr));
  EXPECT_EQ(mail.records[0].category, 1);  // Outbox
  EXPECT_EQ(m.texts[palm::kBody], "a\nb");
  EXPECT_EQ(m.year * 10000 + m.month * 100 + m.day, 20260304);
  EXPECT_EQ(m.hour * 100 + m.minute, 506);
}

TEST_F(HandheldTool, EditDeleteAndArchiveMarkRecordsAsTheHandheldDoes) {
  ok({"add", "memo", "--text", "one"});
  ok({"add", "memo", "--text", "two"});
  ok({"add", "memo", "--text", "three"});
  // As after a HotSync: nothing is dirty.
  {
    std::unique_ptr<palm::StoredDatabase> db;
    ASSERT_TRUE(palm::StoredDatabase::open(folder_.string(), "MemoDB", true, db));
    ASSERT_TRUE(db->resetSyncFlags());
  }
  ok({"edit", "memo", "1", "--text", "one, edited", "--category", "Personal"});
  ok({"delete", "memo", "2"});
  ok({"archive", "memo", "3"});
  palm::Database db = database("MemoDB");
  ASSERT_EQ(db.records.size(), 3u);
  EXPECT_EQ(db.records[0].data, std::string("one, edited\0", 12));
  EXPECT_TRUE(db.records[0].dirty);
  EXPECT_EQ(db.records[0].category, 2);
  EXPECT_EQ(db.records[1].uniqueId, 2u);
  EXPECT_TRUE(db.records[1].deleted && db.records[1].dirty && db.records[1].data.empty());
  EXPECT_EQ(db.records[2].uniqueId, 3u);
  EXPECT_TRUE(db.records[2].archived && db.records[2].dirty);
  EXPECT_EQ(db.records[2].data, std::string("three\0", 6));
  EXPECT_EQ(run({"delete", "memo", "2"}).code, 1);
}

TEST_F(HandheldTool, CategoriesChangeAsOnTheHandheld) {
  ok({"add", "memo", "--text", "in personal", "--category", "Personal"});
  ok({"category", "memo", "rename", "Business", "Work"});
  ok({"category", "memo", "add", "Travel"});
  ok({"category", "memo", "remove", "Personal"});
  palm::Database db = database("MemoDB");
  palm::CategoryBlock c;
  ASSERT_TRUE(palm::parseCategoryBlock(*db.appInfo, c));
  EXPECT_EQ(c.names[1], "Work");
  EXPECT_EQ(c.names[2], "");
  EXPECT_EQ(c.names[3], "Travel");
  EXPECT_EQ(c.ids[3], 16);
  EXPECT_EQ(c.lastUniqueId, 16);
  EXPECT_EQ(c.renamed, 0x000E);
  EXPECT_EQ(db.appInfo->substr(276), palm::defaultAppInfo(db.creator)->substr(276));
  EXPECT_EQ(db.records[0].category, 0);  // moved to Unfiled
  EXPECT_TRUE(db.records[0].dirty);
  EXPECT_EQ(ok({"categories", "memo"}), "0\t0\t-\tUnfiled\n1\t1\trenamed\tWork\n3\t16\trenamed\tTravel\n");
}

TEST_F(HandheldTool, MailPreferenceIsStoredInSavedPreferences) {
  ok({"mail-pref", "--sync", "filter", "--subject", "urgent", "--include", "no", "--truncate", "2000"});
  palm::Database prefs;
  ASSERT_TRUE(palm::readDatabaseFile((folder_ / "Saved Preferences.prc").string(), prefs));
  EXPECT_TRUE(prefs.isResourceDb());
  EXPECT_EQ(palm::fourCCText(prefs.type), "sprf");
  EXPECT_EQ(palm::fourCCText(prefs.creator), "psys");
  ASSERT_EQ(prefs.resources.size(), 1u);
  EXPECT_EQ(palm::fourCCText(prefs.resources[0].type), "mail");
  EXPECT_EQ(prefs.resources[0].id, 1);
  EXPECT_EQ(prefs.resources[0].data, std::string("\x00\x02\x02\x00\x00\x00\x07\xd0\0\0urgent\0", 17));
  std::string shown = ok({"mail-pref", "--sync", "unread"});
  EXPECT_NE(shown.find("sync: unread\n"), std::string::npos);
  EXPECT_NE(shown.find("subject: urgent\n"), std::string::npos);  // other settings kept
}

// Legend: arguments, exit code, words on standard error.
struct BadInput {
  std::vector<std::string> args;
  int code;
  const char* words;
};

class HandheldBadInput : public HandheldTool, public ::testing::WithParamInterface<BadInput> {};

TEST_P(HandheldBadInput, FailsClearlyAndChangesNothing) {
  const std::string before = testutil::readFile(folder_ / "AddressDB.pdb");
  Outcome r = run(GetParam().args);
  EXPECT_EQ(r.code, GetParam().code);
  EXPECT_NE(r.err.find(GetParam().words), std::string::npos) << r.err;
  EXPECT_EQ(testutil::readFile(folder_ / "AddressDB.pdb"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Handheld, HandheldBadInput,
    ::testing::Values(
        BadInput{{"frobnicate"}, 2, "unknown command"}, BadInput{{"list", "calendar"}, 2, "unknown application"},
        BadInput{{"list"}, 2, "missing application"}, BadInput{{"show", "address", "zero"}, 2, "not a record id"},
        BadInput{{"show", "address", "7"}, 1, "no record with id 7"},
        BadInput{{"add", "address"}, 2, "at least one field"},
        BadInput{{"add", "address", "--last", "A", "--phone", "cell=1"}, 2, "unknown phone label"},
        BadInput{{"add", "address", "--last", "A", "--category", "Nope"}, 1, "no category"},
        BadInput{{"add", "address", "--last"}, 2, "needs a value"},
        BadInput{{"add", "address", "--colour", "red"}, 2, "unknown option --colour"},
        BadInput{{"add", "mail", "--date", "yesterday"}, 2, "--date takes"},
        BadInput{{"category", "address", "add", "A name that is too long"}, 2, "15 bytes"},
        BadInput{{"category", "address", "rename", "Business", "Personal"}, 1, "exists"},
        BadInput{{"category", "address", "remove", "Unfiled"}, 1, "cannot be removed"},
        BadInput{{"mail-pref", "--sync", "sometimes"}, 2, "--sync takes"},
        BadInput{{"mail-pref", "--truncate", "70000"}, 2, "--truncate takes"},
        BadInput{{"add", "todo", "--note", "n"}, 2, "needs --description"},
        BadInput{{"add", "todo", "--description", "d", "--due", "2026-13-01"}, 2, "--due takes"},
        BadInput{{"add", "todo", "--description", "d", "--due", "2040-01-01"}, 2, "--due takes"},
        BadInput{{"add", "todo", "--description", "d", "--due", "2027-02-29"}, 2, "--due takes"},
        BadInput{{"add", "todo", "--description", "d", "--priority", "0"}, 2, "--priority takes"},
        BadInput{{"add", "todo", "--description", "d", "--priority", "12"}, 2, "--priority takes"},
        BadInput{{"add", "mail", "--completed"}, 2, "unknown option --completed"},
        BadInput{{"add", "event", "--date", "2026-12-08"}, 2, "needs --description"},
        BadInput{{"add", "event", "--description", "d"}, 2, "needs --date"},
        BadInput{{"add", "event", "--description", "d", "--date", "2026-02-29"}, 2, "--date takes"},
        BadInput{
            {"add", "event", "--description", "d", "--date", "2026-12-08", "--start", "25:00"}, 2, "--start takes"},
        BadInput{{"add", "event", "--description", "d", "--date", "2026-12-08", "--start", "10:00", "--end", "09:00"},
                 2,
                 "ends before it starts"},
        BadInput{
            {"add", "event", "--description", "d", "--date", "2026-12-08", "--end", "09:00"}, 2, "--end needs --start"},
        BadInput{{"add", "event", "--description", "d", "--date", "2026-12-08", "--alarm", "5w"}, 2, "--alarm takes"},
        BadInput{{"add", "event", "--description", "d", "--date", "2026-12-08", "--every", "2"},
                 2,
                 "need a repeating event"},
        BadInput{
            {"add", "event", "--description", "d", "--date", "2026-12-08", "--repeat", "hourly"}, 2, "--repeat takes"},
        BadInput{{"add", "event", "--description", "d", "--date", "2026-12-08", "--repeat", "weekly", "--on", "monday"},
                 2,
                 "--on takes weekdays"},
        BadInput{{"add", "event", "--description", "d", "--date", "2026-12-08", "--repeat", "daily", "--until",
                  "2026-12-01"},
                 2,
                 "ends before"}));

TEST_F(HandheldTool, ToDosAreAddedEditedAndShownAsTheToDoListKeepsThem) {
  const std::string sjis = "\x93\xfa\x96\x7b";
  EXPECT_EQ(ok({"--raw", "add", "todo", "--description", sjis, "--note", "a\nb", "--due", "2026-04-15", "--priority",
                "2", "--category", "Business", "--private"}),
            "1\n");
  EXPECT_EQ(ok({"add", "todo", "--description", "Plain", "--completed"}), "2\n");
  palm::Database db = database("ToDoDB");
  EXPECT_EQ(palm::fourCCText(db.creator), "todo");
  ASSERT_EQ(db.records.size(), 2u);
  EXPECT_TRUE(db.records[0].dirty && db.records[0].secret);
  EXPECT_EQ(db.records[0].category, 1);
  // 2026-04-15: (122 << 9) | (4 << 5) | 15.
  EXPECT_EQ(db.records[0].data, "\xF4\x8F\x02" + sjis + std::string("\0a\nb\0", 5));
  EXPECT_EQ(db.records[1].data, std::string("\xFF\xFF\x81Plain\0\0", 10));
  EXPECT_EQ(ok({"--raw", "list", "todo"}),
            "1\tBusiness\tdirty,private\t[ ] 2 2026-04-15 " + sjis + "\n2\tUnfiled\tdirty\t[x] 1 - Plain\n");

  ok({"edit", "todo", "1", "--due", "none", "--completed", "--priority", "5", "--public"});
  ok({"edit", "todo", "2", "--not-completed", "--note", "later"});
  db = database("ToDoDB");
  palm::ToDoRecord t;
  ASSERT_TRUE(palm::parseToDo(db.records[0].data, t, nullptr));
  EXPECT_FALSE(t.hasDueDate());
  EXPECT_TRUE(t.completed);
  EXPECT_EQ(t.priority, 5);
  EXPECT_EQ(t.description, sjis);  // untouched fields kept
  EXPECT_FALSE(db.records[0].secret);
  std::string shown = ok({"show", "todo", "2"});
  EXPECT_EQ(shown,
            "id: 2\ncategory: Unfiled\nattributes: dirty\ndue: -\npriority: 1\ncompleted: no\n"
            "description: Plain\nnote: later\n");
  ok({"delete", "todo", "2"});
  EXPECT_TRUE(database("ToDoDB").records[1].deleted);
}

// Events as the Date Book writes them: the bytes of each part, the weekday
// and week a repeat takes from its date, and edits that drop parts again.
TEST_F(HandheldTool, EventsAreAddedEditedAndShownAsTheDateBookKeepsThem) {
  EXPECT_EQ(ok({"add",     "event",      "--description", "Meeting",    "--date",   "2026-12-08", "--start", "09:30",
                "--end",   "10:45",      "--alarm",       "10",         "--repeat", "weekly",     "--every", "2",
                "--until", "2027-03-31", "--except",      "2026-12-16", "--except", "2026-12-30", "--note",  "Room 3"}),
            "1\n");
  EXPECT_EQ(ok({"add", "event", "--description", "Holiday", "--date", "2026-12-24", "--private", "--alarm", "1d"}),
            "2\n");
  EXPECT_EQ(ok({"add", "event", "--description", "Club", "--date", "2026-12-31", "--start", "19:00", "--repeat",
                "monthly-by-day"}),
            "3\n");
  palm::Database db = database("DatebookDB");
  EXPECT_EQ(palm::fourCCText(db.creator), "date");
  ASSERT_EQ(db.records.size(), 3u);
  // 2026-12-08 is a Tuesday: a weekly repeat without --on takes it.
  EXPECT_EQ(db.records[0].data, std::string("\x09\x1E\x0A\x2D\xF5\x88\x7C\x00"
                                            "\x0A\x00"
                                            "\x02\x00\xF6\x7F\x02\x04\x00\x00"
                                            "\x00\x02\xF5\x90\xF5\x9E"
                                            "Meeting\0Room 3\0",
                                            39));
  EXPECT_EQ(db.records[1].data, std::string("\xFF\xFF\xFF\xFF\xF5\x98\x44\x00\x01\x02Holiday\0", 18));
  EXPECT_TRUE(db.records[1].secret && db.records[1].dirty);
  // 2026-12-31 is the fifth Thursday: week 4, weekday 4; an hour long by default.
  palm::EventRecord club;
  ASSERT_TRUE(palm::parseEvent(db.records[2].data, club, nullptr));
  ASSERT_TRUE(club.repeat);
  EXPECT_EQ(club.repeat->on, 4 * 7 + 4);
  EXPECT_EQ(club.endHour, 20);
  EXPECT_EQ(ok({"list", "event"}),
            "1\t-\tdirty\t2026-12-08 09:30-10:45 Meeting (weekly)\n"
            "2\t-\tdirty,private\t2026-12-24 - Holiday\n"
            "3\t-\tdirty\t2026-12-31 19:00-20:00 Club (monthly-by-day)\n");
  EXPECT_EQ(ok({"show", "event", "1"}),
            "id: 1\ncategory: -\nattributes: dirty\ndate: 2026-12-08\n"
            "time: 09:30-10:45\nalarm: 10m\n"
            "repeat: weekly every 2 until 2027-03-31 on tue\n"
            "exceptions: 2026-12-16 2026-12-30\ndescription: Meeting\nnote: Room 3\n");

  ok({"edit", "event", "1", "--on", "mon,wed", "--until", "none", "--except", "none", "--alarm", "none"});
  ok({"edit", "event", "3", "--untimed", "--repeat", "none", "--note", "n"});
  db = database("DatebookDB");
  palm::EventRecord e;
  ASSERT_TRUE(palm::parseEvent(db.records[0].data, e, nullptr));
  ASSERT_TRUE(e.repeat);
  EXPECT_EQ(e.repeat->on, 0x0A);
  EXPECT_EQ(e.repeat->end, palm::kNoEnd);
  EXPECT_EQ(e.repeat->frequency, 2);
  EXPECT_FALSE(e.exceptions || e.alarm);
  EXPECT_EQ(e.description, "Meeting");  // untouched parts kept
  ASSERT_TRUE(palm::parseEvent(database("DatebookDB").records[2].data, e, nullptr));
  EXPECT_FALSE(e.timed() || e.repeat);
  EXPECT_EQ(e.note, "n");
  ok({"delete", "event", "2"});
  EXPECT_NE(ok({"list", "event"}).find("2\t-\tdirty,private,deleted\t\n"), std::string::npos);
}

TEST_F(HandheldTool, AHandheldWithoutToDoListGetsOneOnTheFirstToDo) {
  fs::remove(folder_ / "ToDoDB.pdb");
  Outcome listed = run({"list", "todo"});
  EXPECT_EQ(listed.code, 1);
  EXPECT_NE(listed.err.find("has no ToDoDB"), std::string::npos) << listed.err;
  EXPECT_EQ(ok({"add", "todo", "--description", "First"}), "1\n");
  palm::Database db = database("ToDoDB");
  EXPECT_EQ(db.appInfo, palm::defaultAppInfo(palm::fourCC("todo")));
  EXPECT_EQ(db.records.size(), 1u);
}

TEST_F(HandheldTool, EveryCommandHasHelp) {
  for (const char* command :
       {"create", "list", "show", "add", "edit", "delete", "archive", "categories", "category", "mail-pref"}) {
    Outcome r = run({command, "--help"});
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("usage: handheld ") + command, 0), 0u) << r.out;
  }
  EXPECT_EQ(run({"--help"}).code, 0);
}

TEST_F(HandheldTool, ADamagedDatabaseIsReportedAndLeftAlone) {
  std::string bytes = testutil::readFile(folder_ / "MemoDB.pdb");
  bytes[75] = 9;  // a next-list id
  std::ofstream(folder_ / "MemoDB.pdb", std::ios::binary | std::ios::trunc) << bytes;
  Outcome r = run({"add", "memo", "--text", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("MemoDB.pdb: the header links a further entry list"), std::string::npos) << r.err;
  EXPECT_EQ(testutil::readFile(folder_ / "MemoDB.pdb"), bytes);
}

}  // namespace
