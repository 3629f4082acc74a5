// The report of a run: the handheld's changes read from two states of a
// database, the run record's lines, the brake's decision, and the texts kept
// for undo and the history.
#include "hotsync/hotsync/runreport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>

#include "hotsync/handheld/records.h"
#include "testutil/files.h"

namespace {

using hotsync::ConduitReport;
using hotsync::DatabaseSnapshot;
using hotsync::Side;

palm::Record memo(uint32_t id, const std::string& text, uint8_t category = 1) {
  palm::Record r;
  r.uniqueId = id;
  r.category = category;
  r.data = palm::packMemo(text);
  return r;
}

DatabaseSnapshot snapshot(std::initializer_list<palm::Record> records) {
  DatabaseSnapshot s;
  s.found = true;
  s.creator = palm::fourCC("memo");
  for (const palm::Record& r : records) s.records[r.uniqueId] = r;
  return s;
}

std::vector<std::string> changesText(const ConduitReport& r) {
  std::vector<std::string> out;
  for (const auto& c : r.changes)
    out.push_back(std::string(c.side == Side::Handheld ? "handheld " : "server ") + c.what + " " + c.id + " " + c.text);
  return out;
}

TEST(RunReport, HandheldChangesAreWhatTheRunDidToLiveRecords) {
  palm::Record deletedBefore = memo(5, "Deleted by the person");
  deletedBefore.deleted = true;
  palm::Record dirty = memo(6, "Synced now");
  dirty.dirty = true;
  palm::Record secret = memo(7, "Made private");
  palm::Record moved = memo(8, "Moved");
  const DatabaseSnapshot before = snapshot({memo(1, "Kept"), memo(2, "Old text"), memo(3, "Gone"), memo(4, "Refreshed"),
                                            deletedBefore, dirty, secret, moved});
  palm::Record nowDeleted = memo(3, "Gone");
  nowDeleted.deleted = true;
  palm::Record nowSecret = secret;
  nowSecret.secret = true;
  palm::Record clean = dirty;
  clean.dirty = false;
  // 4 came back under id 40 with the same content: no change to a person.
  const DatabaseSnapshot after =
      snapshot({memo(1, "Kept"), memo(2, "New text\nsecond line"), nowDeleted, memo(40, "Refreshed"), clean, nowSecret,
                memo(8, "Moved", 2), memo(9, "Arrived")});
  ConduitReport r;
  r.database = "MemoDB";
  hotsync::addHandheldChanges(before, after, r);
  EXPECT_EQ(changesText(r),
            (std::vector<std::string>{"handheld change 2 New text", "handheld change 7 Made private",
                                      "handheld change 8 Moved", "handheld add 9 Arrived", "handheld delete 3 Gone"}));
  EXPECT_EQ(r.count(Side::Handheld, "change"), 3);
  EXPECT_EQ(r.changes[0].kind, "MemoDB");
  EXPECT_EQ(before.live(), 7);
}

TEST(RunReport, RunRecordLinesAddUp) {
  testutil::TempDir dir("runreport");
  const std::string path = (dir / "record").string();
  std::ofstream(path) << "http\tGET\t200\t100\t1000\n"
                         "http\tPOST\t200\t300\t20\n"
                         "http\tGET\t0\t90\t0\n"
                         "server\tread\tSyncAddress\t12\n"
                         "server\tread\tSyncAddress\t14\n"
                         "server\tadd\tSyncAddress\t31\tTanaka, Jiro\n"
                         "server\tdelete\tSyncAddress\t5\tEndo\n"
                         "server\trelations\tSyncAddress\t2\t1\n"
                         "engine\tconflict\thandheld\t77\tAndo Aki\n"
                         "engine\tskipped\tserver\t12\tToo long\n"
                         "engine\tfiltered\tserver\t40\n"
                         "engine\tfiltered\tserver\t40\n"
                         "engine\tfiltered\tserver\t41\n"
                         "engine\tnote\thandheld\t3\tRestored\n"
                         "nonsense\n"
                         "server\tadd\n";
  ConduitReport r;
  hotsync::addRunRecord(path, r);
  EXPECT_EQ(r.httpRequests, 3);
  EXPECT_EQ(r.bytesSent, 490u);
  EXPECT_EQ(r.bytesReceived, 1020u);
  EXPECT_EQ(r.serverRead, 26);
  EXPECT_EQ(r.serverRecords, 14);
  EXPECT_EQ(changesText(r),
            (std::vector<std::string>{"server add 31 Tanaka, Jiro", "server delete 5 Endo", "server add  "}));
  EXPECT_EQ(r.relationsSet, 2);
  EXPECT_EQ(r.relationsRemoved, 1);
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(r.conflicts[0].text, "Ando Aki");
  ASSERT_EQ(r.skipped.size(), 1u);
  EXPECT_EQ(r.skipped[0].side, Side::Server);
  EXPECT_EQ(r.filtered, 2);  // asked twice for one record

  ConduitReport none;
  hotsync::addRunRecord((dir / "missing").string(), none);
  EXPECT_EQ(none.httpRequests, 0);
}

struct BrakeRow {
  long deleted, of;
  bool handheldSide;
  hotsync::BrakeSettings brake;
  bool ok;
  bool stops;
};

std::ostream& operator<<(std::ostream& out, const BrakeRow& r) {
  return out << r.deleted << " of " << r.of << (r.handheldSide ? " on the handheld" : " on the server") << ", brake "
             << (r.brake.on ? "on " : "off ") << r.brake.share << "% min " << r.brake.minimum
             << (r.ok ? "" : ", run failed");
}

class BrakeTest : public ::testing::TestWithParam<BrakeRow> {};

TEST_P(BrakeTest, StopsAboveTheShareAndTheMinimum) {
  const BrakeRow& row = GetParam();
  ConduitReport r;
  r.conduit = "GWSync Memo Pad";
  r.ok = row.ok;
  const Side side = row.handheldSide ? Side::Handheld : Side::Server;
  (row.handheldSide ? r.handheldRecords : r.serverRecords) = row.of;
  for (long i = 0; i < row.deleted; ++i) r.changes.push_back({side, "delete", std::to_string(i), "", ""});
  const std::string why = hotsync::massDeletion(r, row.brake);
  EXPECT_EQ(!why.empty(), row.stops) << why;
  if (row.stops) {
    EXPECT_NE(why.find("would delete " + std::to_string(row.deleted) + " of the " + std::to_string(row.of) +
                       " records on the " + (row.handheldSide ? "handheld" : "server")),
              std::string::npos)
        << why;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, BrakeTest,
                         ::testing::Values(BrakeRow{10, 19, true, {}, true, true},                 // 53%
                                           BrakeRow{10, 20, true, {}, true, false},                // exactly half
                                           BrakeRow{9, 9, false, {}, true, false},                 // below the minimum
                                           BrakeRow{12, 12, false, {}, true, true},                // a whole side
                                           BrakeRow{12, 12, false, {false, 50, 10}, true, false},  // off
                                           BrakeRow{12, 12, true, {true, 100, 10}, true, false},   // all allowed
                                           BrakeRow{3, 4, true, {true, 50, 3}, true, true},        // the user's minimum
                                           BrakeRow{12, 12, true, {}, false, false}));  // a failed run changed nothing

TEST(RunReport, BrakeSettingsAreReadAndBadValuesNamed) {
  testutil::TempDir dir("brake");
  std::string problem;
  hotsync::BrakeSettings b = hotsync::readBrakeSettings(dir.path().string(), problem);
  EXPECT_TRUE(b.on);
  EXPECT_EQ(b.share, 50);
  EXPECT_EQ(b.minimum, 10);
  EXPECT_EQ(problem, "");
  std::ofstream(dir / "settings") << "# mine\nmass-delete-share=80\nmass-delete-minimum=0\nmass-delete-brake=off\n";
  b = hotsync::readBrakeSettings(dir.path().string(), problem);
  EXPECT_FALSE(b.on);
  EXPECT_EQ(b.share, 80);
  EXPECT_EQ(b.minimum, 10);
  EXPECT_NE(problem.find("\"mass-delete-minimum=0\" cannot be read"), std::string::npos) << problem;
}

TEST(RunReport, ServerChangesKeptForUndoAndTheirInverse) {
  ConduitReport r;
  r.changes = {{Side::Server, "add", "31", "SyncAddress", "Tanaka\tJiro"},
               {Side::Handheld, "add", "9", "AddressDB", "not the server's"},
               {Side::Server, "change", "4", "SyncMemo", "Plan"},
               {Side::Server, "delete", "5", "SyncToDo", "Call"},
               {Side::Server, "add", "0", "SyncMail", "Minutes"}};
  const std::vector<hotsync::RecordChange> back = hotsync::parseServerChanges(hotsync::serverChangesText({r}));
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(back[0].text, "Tanaka Jiro");
  EXPECT_EQ(back[0].kind, "SyncAddress");
  EXPECT_EQ(hotsync::inverseCommands(back),
            (std::vector<std::string>{"delete the card \"Tanaka Jiro\" (id 31), which the run made",
                                      "change the memo \"Plan\" (id 4) back; the run changed it",
                                      "make the to-do \"Call\" again; the run deleted it (it was id 5)",
                                      "the mail \"Minutes\" was sent; a sent mail cannot be taken back"}));
}

TEST(RunReport, HistoryShowsEachRunFromItsJson) {
  ConduitReport r;
  r.label = "addr";
  r.conduit = "GWSync Address Book";
  r.ok = true;
  r.outcome = "synchronised";
  r.handheldRecords = 5;
  r.serverRecords = 6;
  r.changes = {{Side::Handheld, "add", "1", "", "A"}, {Side::Server, "delete", "2", "", "\"Q\" \\ x"}};
  r.conflicts = {{Side::Handheld, "conflict", "3", "", "C"}};
  const std::string line = hotsync::reportJson({r}, {"2026-12-08T21:40:00Z", "Ann", "/palm", false, 0}, true);
  EXPECT_NE(line.find("\"text\":\"\\\"Q\\\" \\\\ x\""), std::string::npos) << line;
  const std::vector<std::string> shown = hotsync::historyLines(line + "\n" + line + "\n");
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0], "2026-12-08T21:40:00Z  exit status 0");
  EXPECT_EQ(shown[1], "  addr synchronised: handheld +1 ~0 -0 of 5, server +0 ~0 -1 of 6, 1 conflicts, 0 skipped");
}

TEST(RunReport, RecordsAreKnownByTheirApplicationsOwnTexts) {
  palm::AddressRecord a;
  a.fields[palm::kLastName] = "Tanaka";
  a.fields[palm::kFirstName] = "Jiro";
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("addr"), palm::packAddress(a)), "Tanaka, Jiro");
  palm::AddressRecord company;
  company.fields[palm::kCompany] = "ACME";
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("addr"), palm::packAddress(company)), "ACME");
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("memo"), palm::packMemo("Title\nbody")), "Title");
  palm::ToDoRecord t;
  t.description = "Call";
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("todo"), palm::packToDo(t)), "Call");
  palm::EventRecord e;
  e.date = palm::packDate(2026, 12, 9);
  e.description = "Lunch";
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("date"), palm::packEvent(e)), "2026/12/9 Lunch");
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("todo"), "\x01"), "");  // cannot be read
  EXPECT_EQ(hotsync::describeRecord(palm::fourCC("XXXX"), "abc"), "");
}

}  // namespace
