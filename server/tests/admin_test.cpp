// Administration on a real database file: users, settings, the time stamp
// clock, and the export format read and written.
#include "server/admin.h"

#include <gtest/gtest.h>

#include <sstream>

#include "server/store.h"
#include "testutil/files.h"

namespace gwserver {
namespace {

class AdminTest : public ::testing::Test {
 protected:
  AdminTest() : dir_("admin"), path_((dir_ / "gw.db").string()) {
    initDatabase(path_);
    db_ = std::make_unique<Db>(path_);
    addUser(*db_, "taro", "pw");
    addUser(*db_, "hanako", "pw");
  }

  std::string exported(const std::string& user) {
    std::ostringstream out;
    exportUser(*db_, user, out);
    return out.str();
  }

  int count(const char* sql) {
    Stmt s(*db_, sql);
    s.step();
    return static_cast<int>(s.integer(0));
  }

  testutil::TempDir dir_;
  std::string path_;
  std::unique_ptr<Db> db_;
};

TEST_F(AdminTest, UserNamesAreUniqueAndOneLine) {
  EXPECT_THROW(addUser(*db_, "taro", "other"), AdminError);
  EXPECT_THROW(addUser(*db_, "two\nlines", "pw"), AdminError);
  EXPECT_THROW(addUser(*db_, "", "pw"), AdminError);
  EXPECT_EQ(addUser(*db_, "a,b", "pw"), 3u);  // a comma is fine: clients keep the whole rest
}

TEST_F(AdminTest, OpeningSomethingElseFailsClearly) {
  std::string other = (dir_ / "other.db").string();
  EXPECT_THROW(Db{other}, StoreError);  // missing file, not created
  { std::ofstream(other) << "not a database"; }
  EXPECT_THROW(Db{other}, StoreError);
}

TEST_F(AdminTest, SettingsRefuseUnknownDevicesAndKeysAndKeepTheOldLines) {
  std::istringstream good("s,Sync,1,3\r\nm,Down\n\n");
  setSettings(*db_, "Palm", good);
  std::istringstream bad("m,Sync\nx,Sync\n");
  EXPECT_THROW(setSettings(*db_, "Palm", bad), AdminError);
  std::istringstream any("m,Sync\n");
  EXPECT_THROW(setSettings(*db_, "Newton", any), AdminError);
  Stmt s(*db_, "SELECT lines FROM settings WHERE device = ?");
  s.bind(1, "Palm");
  ASSERT_TRUE(s.step());
  EXPECT_EQ(s.text(0), "s,Sync,1,3\nm,Down\n");
}

// The rule that keeps a sync from missing or echoing a change at a second
// boundary, however fast the calls come.
TEST_F(AdminTest, RelationStampsAndRecordStampsInterleaveStrictly) {
  int64_t lastRecord = 0, lastRelation = 0;
  for (int i = 0; i < 50; ++i) {
    Transaction tx(*db_, true);
    int64_t r = recordStamp(*db_);
    EXPECT_GT(r, lastRelation);
    int64_t rel = relationStamp(*db_);
    EXPECT_GE(rel, r);
    EXPECT_GE(rel, lastRecord);
    lastRecord = r;
    lastRelation = rel;
    tx.commit();
  }
}

TEST(ExportEscaping, ShiftJisTrailBytesAreNeverReadAsEscapes) {
  // "ソ" is 83 5C: its second byte is a backslash.
  const std::string so = "\x83\x5C";
  for (const std::string& s : {so + "n", so + "\\" + "t", std::string("a\tb\nc\rd\\e"), so, std::string("\x83")}) {
    std::string e = escapeField(s);
    EXPECT_EQ(e.find_first_of("\t\n\r"), std::string::npos);
    EXPECT_EQ(unescapeField(e), s);
  }
  EXPECT_EQ(escapeField(so + "n"), so + "n");  // a hand-written file keeps its characters
}

const char kSample[] =
    "gwserver-export 1\n"
    "# comment lines and blank lines are skipped\n"
    "\n"
    "memo\t10\t100\tTitle\tline 1\\nline 2\\ttab\n"
    "card\t20\t100\t1\tBiz\t-2=Yamada\t-1=Taro\t-9=03-1234\n"
    "schedule\t30\t100\t2024/1/1\t2024/1/1\t2024/01/01\t9:00\t10:30\tw\t1\t1\t0\tMeeting\t\t\t2024/1/8,2024/1/15\n"
    "todo\t40\t100\t2024/2/1\t2\t0\t\tWork\tFile taxes\t\n"
    "category\tWork\n"
    "mail\t50\t100\t90\t1\tHello\ta@example.com\tb@example.com\t\t\t\ttext/plain\tBody\n"
    "sent\t100\tS\tto@example.com\t\t\tB\n"
    "relation\tPalm1\tSyncMemo\t150\t10:1001\n"
    "relation\tPalm1\tVuzIzud\t150\t50:255\n";

TEST_F(AdminTest, ImportThenExportGivesTheSameLinesAndKeepsFreeIds) {
  std::istringstream in(kSample);
  importUser(*db_, "taro", in, false);
  std::string out = exported("taro");
  EXPECT_NE(out.find("memo\t10\t100\tTitle\tline 1\\nline 2\\ttab\n"), std::string::npos) << out;
  EXPECT_NE(out.find("card\t20\t100\t1\tBiz\t-1=Taro\t-2=Yamada\t-9=03-1234\n"), std::string::npos) << out;
  // Dates and times come back in the form the pages use.
  EXPECT_NE(out.find("schedule\t30\t100\t2024/1/1\t2024/1/1\t2024/1/1\t9:00\t10:30\tw\t1\t1\t0\tMeeting\t\t\t2024/1/"
                     "8,2024/1/15\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("relation\tPalm1\tSyncMemo\t150\t10:1001\n"), std::string::npos) << out;
  EXPECT_NE(out.find("relation\tPalm1\tVuzIzud\t150\t50:255\n"), std::string::npos) << out;
  EXPECT_NE(out.find("category\tWork\n"), std::string::npos);
}

TEST_F(AdminTest, ImportIntoAnotherUserRenumbersTakenIdsAndTheirRelations) {
  std::istringstream first(kSample);
  importUser(*db_, "taro", first, false);
  std::istringstream second(kSample);
  importUser(*db_, "hanako", second, false);
  std::string out = exported("hanako");
  // Memo 10 belongs to taro, so hanako's copy has a new id and her relation follows it.
  Stmt s(*db_, "SELECT m.id FROM memos m JOIN users u ON u.id = m.user_id WHERE u.name = ?");
  s.bind(1, "hanako");
  ASSERT_TRUE(s.step());
  int64_t id = s.integer(0);
  EXPECT_NE(id, 10);
  EXPECT_NE(out.find("relation\tPalm1\tSyncMemo\t150\t" + std::to_string(id) + ":1001\n"), std::string::npos) << out;
  EXPECT_EQ(exported("taro").find("hanako"), std::string::npos);
}

TEST_F(AdminTest, ReplaceRoundTripIsExact) {
  std::istringstream in(kSample);
  importUser(*db_, "taro", in, false);
  std::string before = exported("taro");
  std::istringstream again(before);
  importUser(*db_, "taro", again, true);
  EXPECT_EQ(exported("taro"), before);
}

// Legend: a bad line, and the words the error must carry.
struct BadImportRow {
  const char* line;
  const char* message;
};

class BadImport : public AdminTest, public ::testing::WithParamInterface<BadImportRow> {};

TEST_P(BadImport, NamesTheLineAndChangesNothing) {
  std::istringstream in(std::string("gwserver-export 1\nmemo\t1\t5\tKept?\tx\n") + GetParam().line + "\n");
  try {
    importUser(*db_, "taro", in, true);
    FAIL() << "accepted " << GetParam().line;
  } catch (const AdminError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM memos"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadImport,
    ::testing::Values(BadImportRow{"memo\t1\t5\t\tno name", "without a name"},                      // 0
                      BadImportRow{"memo\t1\t5\tx", "needs 5 fields"},                              // 1
                      BadImportRow{"card\t1\t5\t1\t\t-12=x", "no address item"},                    // 2
                      BadImportRow{"todo\t1\t5\t2024/2/30\t1\t0\t\t\tn\t", "bad date"},             // 3
                      BadImportRow{"schedule\t1\t5\t\t\t\t25:00\t\t\t\t0\t0\t\t\t\t", "bad time"},  // 4
                      BadImportRow{"schedule\t1\t5\t\t\t\t\t\tq\t\t0\t0\t\t\t\t", "repeat type"},   // 5
                      BadImportRow{"relation\tP\tSyncMemo\t5\t1:x", "bad relation pair"},           // 6
                      BadImportRow{"memo\tx\t5\tn\td", "bad id"},                                   // 7
                      BadImportRow{"note\t1", "unknown record kind"}));                             // 8

TEST_F(AdminTest, ImportNeedsTheHeaderAndAKnownUser) {
  std::istringstream noHeader("memo\t1\t5\tn\td\n");
  EXPECT_THROW(importUser(*db_, "taro", noHeader, false), AdminError);
  std::istringstream ok("gwserver-export 1\n");
  EXPECT_THROW(importUser(*db_, "nobody", ok, false), AdminError);
}

TEST_F(AdminTest, DashStampsRecordsWithTheClock) {
  std::istringstream in("gwserver-export 1\nmemo\t-\t-\tNow\t\n");
  importUser(*db_, "taro", in, false);
  Stmt s(*db_, "SELECT ts FROM memos");
  ASSERT_TRUE(s.step());
  EXPECT_GT(s.integer(0), 1700000000);
}

}  // namespace
}  // namespace gwserver
