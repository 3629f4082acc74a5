// Backups of the handheld folder and the archive of archived records, on
// real files in a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "hotsync/hotsync/archive.h"
#include "hotsync/hotsync/backup.h"
#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "testutil/files.h"

namespace {

namespace fs = std::filesystem;
using testutil::readFile;

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Every regular file of a folder with its bytes.
std::map<std::string, std::string> filesOf(const fs::path& folder) {
  std::map<std::string, std::string> all;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) all[e.path().filename().string()] = readFile(e.path());
  return all;
}

class BackupTest : public ::testing::Test {
 protected:
  BackupTest() : dir_("backup"), handheld_(dir_ / "palm"), user_(dir_ / "user") {
    fs::create_directories(handheld_);
    fs::create_directories(user_);
  }
  std::string backup(unsigned keep = 5) {
    std::string problem;
    std::string folder = hotsync::makeBackup(handheld_.string(), user_.string(), keep, problem);
    EXPECT_EQ(problem, "");
    return folder;
  }

  testutil::TempDir dir_;
  fs::path handheld_, user_;
};

TEST_F(BackupTest, RestorePutsBackEveryDatabaseFileAndRemovesTheRunsOwn) {
  writeFile(handheld_ / "MemoDB.pdb", std::string("memo\0bytes", 10));
  writeFile(handheld_ / "MemoDB.pdb.journal", "journal of memo");
  writeFile(handheld_ / "AddressDB.pdb", "address");
  writeFile(handheld_ / "Saved Preferences.prc", "prefs");
  // Not database files: never copied, never put back, never removed.
  writeFile(handheld_ / "charset", "CP932\n");
  writeFile(handheld_ / ".hotsync.lock", "");
  writeFile(handheld_ / "MemoDB.pdb.tmp", "half a fold");
  writeFile(handheld_ / "MemoDB.pdb.journal.cut", "cut");
  fs::create_directories(handheld_ / "Folder.pdb");
  std::map<std::string, std::string> before = filesOf(handheld_);

  std::string folder = backup();
  ASSERT_FALSE(folder.empty());
  std::set<std::string> copied;
  for (const auto& [name, bytes] : filesOf(folder)) copied.insert(name);
  EXPECT_EQ(copied, (std::set<std::string>{"AddressDB.pdb", "MemoDB.pdb", "MemoDB.pdb.journal", "Saved Preferences.prc",
                                           hotsync::kBackupComplete}));
  writeFile(fs::path(folder) / "plan.json",
            "{}");  // someone else's file in the backup

  // What a run and a person do in the meantime.
  writeFile(handheld_ / "MemoDB.pdb", "changed by the run");
  fs::remove(handheld_ / "MemoDB.pdb.journal");
  fs::remove(handheld_ / "AddressDB.pdb");
  writeFile(handheld_ / "FxNew.pdb", "made by the run");
  writeFile(handheld_ / "Saved Preferences.prc.journal", "journal made by the run");
  writeFile(handheld_ / "charset", "CP1252\n");

  std::vector<hotsync::Backup> all = hotsync::backups(user_.string());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].folder, folder);
  EXPECT_EQ(all[0].handheld, hotsync::canonicalFolder(handheld_.string()));
  hotsync::RestoreReport report;
  std::string problem;
  ASSERT_TRUE(hotsync::restoreBackup(all[0], handheld_.string(), report, problem)) << problem;

  std::map<std::string, std::string> after = filesOf(handheld_);
  before["charset"] = "CP1252\n";  // left as it is now
  EXPECT_EQ(after, before);
  EXPECT_EQ(report.removed, (std::vector<std::string>{"FxNew.pdb", "Saved Preferences.prc.journal"}));
  EXPECT_EQ(report.restored, (std::vector<std::string>{"AddressDB.pdb", "MemoDB.pdb", "MemoDB.pdb.journal"}));
  EXPECT_EQ(report.unchanged, (std::vector<std::string>{"Saved Preferences.prc"}));
  EXPECT_EQ(readFile(fs::path(folder) / "plan.json"), "{}");
  for (const fs::directory_entry& e : fs::directory_iterator(handheld_))
    EXPECT_EQ(e.path().filename().string().find(".undo"), std::string::npos) << e.path();

  EXPECT_FALSE(all[0].undone);
  ASSERT_TRUE(hotsync::markUndone(all[0], problem)) << problem;
  EXPECT_TRUE(hotsync::backups(user_.string())[0].undone);
}

TEST_F(BackupTest, KeepsTheNewestAndOrdersBySecondThenSuffix) {
  writeFile(handheld_ / "MemoDB.pdb", "v");
  std::vector<std::string> made;
  for (int i = 0; i < 4; ++i) {
    writeFile(handheld_ / "MemoDB.pdb", "version " + std::to_string(i));
    made.push_back(backup(2));
  }
  fs::create_directories(user_ / "backups" / "my notes");
  std::vector<hotsync::Backup> all = hotsync::backups(user_.string());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].folder, made[3]);
  EXPECT_EQ(all[1].folder, made[2]);
  EXPECT_EQ(readFile(fs::path(made[3]) / "MemoDB.pdb"), "version 3");
  EXPECT_FALSE(fs::exists(made[0]));
  EXPECT_FALSE(fs::exists(made[1]));

  // "-10" is later than "-9" in the same second, and a later second beats both.
  fs::path backups = user_ / "backups";
  for (const char* name : {"20260101T000000Z-9", "20260101T000000Z-10", "20260101T000001Z", "20260101T000000Z"})
    fs::copy(made[3], backups / name);
  all = hotsync::backups(user_.string());
  std::vector<std::string> order;
  for (const hotsync::Backup& b : all) order.push_back(b.stamp);
  ASSERT_EQ(order.size(), 6u);
  EXPECT_EQ(
      std::vector<std::string>(order.begin() + 2, order.end()),
      (std::vector<std::string>{"20260101T000001Z", "20260101T000000Z-10", "20260101T000000Z-9", "20260101T000000Z"}));

  // None kept: every backup goes, no new one is made, other folders stay.
  EXPECT_EQ(backup(0), "");
  EXPECT_TRUE(hotsync::backups(user_.string()).empty());
  EXPECT_TRUE(fs::is_directory(backups / "my notes"));
}

TEST_F(BackupTest, CutShortOrDamagedBackupsAreNeverRestored) {
  writeFile(handheld_ / "MemoDB.pdb", "original");
  std::string whole = backup();
  // Newer than the whole one, but without the marker written last.
  fs::path cut = user_ / "backups" / "29991231T235959Z";
  fs::create_directories(cut);
  writeFile(cut / "MemoDB.pdb", "half");
  // A marker cut short.
  fs::path torn = user_ / "backups" / "29991231T235958Z";
  fs::copy(whole, torn);
  std::string marker = readFile(torn / hotsync::kBackupComplete);
  writeFile(torn / hotsync::kBackupComplete, marker.substr(0, marker.size() - 4));

  std::vector<hotsync::Backup> all = hotsync::backups(user_.string());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].folder, whole);

  // A copy changed after the backup was made: nothing is put back.
  writeFile(fs::path(whole) / "MemoDB.pdb", "tampered");
  writeFile(handheld_ / "MemoDB.pdb", "after the run");
  writeFile(handheld_ / "FxNew.pdb", "made by the run");
  hotsync::RestoreReport report;
  std::string problem;
  EXPECT_FALSE(hotsync::restoreBackup(all[0], handheld_.string(), report, problem));
  EXPECT_NE(problem.find("damaged"), std::string::npos) << problem;
  EXPECT_EQ(readFile(handheld_ / "MemoDB.pdb"), "after the run");
  EXPECT_TRUE(fs::exists(handheld_ / "FxNew.pdb"));

  // The next backup clears away the cut-short folders older than itself.
  fs::create_directories(user_ / "backups" / "20000101T000000Z");
  backup();
  EXPECT_FALSE(fs::exists(user_ / "backups" / "20000101T000000Z"));
  EXPECT_TRUE(fs::exists(cut));  // newer: perhaps still being written
}

TEST_F(BackupTest, RefusesToPutAnotherFoldersBackupHere) {
  writeFile(handheld_ / "MemoDB.pdb", "palm one");
  backup();
  fs::path second = dir_ / "palm2";
  fs::create_directories(second);
  writeFile(second / "MemoDB.pdb", "palm two");
  hotsync::RestoreReport report;
  std::string problem;
  EXPECT_FALSE(hotsync::restoreBackup(hotsync::backups(user_.string())[0], second.string(), report, problem));
  EXPECT_NE(problem.find("not of " + hotsync::canonicalFolder(second.string())), std::string::npos) << problem;
  EXPECT_EQ(readFile(second / "MemoDB.pdb"), "palm two");
}

TEST_F(BackupTest, BackupThatCannotBeMadeSaysWhereAndWhyAndLeavesNothing) {
  writeFile(handheld_ / "MemoDB.pdb", std::string(64 * 1024, 'm'));
  std::map<std::string, std::string> before = filesOf(handheld_);

  // A file where the backups folder should be.
  writeFile(user_ / "backups", "not a folder");
  std::string problem;
  EXPECT_EQ(hotsync::makeBackup(handheld_.string(), user_.string(), 5, problem), "");
  EXPECT_NE(problem.find((user_ / "backups").string()), std::string::npos) << problem;
  EXPECT_NE(problem.find("Not a directory"), std::string::npos) << problem;
  fs::remove(user_ / "backups");

  // A disk that fills up half-way through a copy.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string folder = hotsync::makeBackup(handheld_.string(), user_.string(), 5, problem);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_EQ(folder, "");
  EXPECT_NE(problem.find("MemoDB.pdb.part: File too large"), std::string::npos) << problem;
  EXPECT_TRUE(fs::is_empty(user_ / "backups"));
  EXPECT_EQ(filesOf(handheld_), before);
  EXPECT_TRUE(hotsync::backups(user_.string()).empty());
}

// ---- archive ----

palm::Record archivedRecord(const std::string& data, bool secret = false, uint32_t id = 0) {
  palm::Record r;
  r.uniqueId = id;
  r.archived = true;
  r.dirty = true;
  r.secret = secret;
  r.data = data;
  return r;
}

class ArchiveTest : public ::testing::Test {
 protected:
  ArchiveTest() : dir_("archive"), handheld_(dir_ / "palm"), user_(dir_ / "user") {
    fs::create_directories(handheld_);
    fs::create_directories(user_);
  }

  // MemoDB on the handheld with a live, a deleted and the given records.
  void makeMemoDB(const std::vector<palm::Record>& records) {
    palm::Database initial;
    initial.name = "MemoDB";
    initial.type = palm::fourCC("DATA");
    initial.creator = palm::fourCC("memo");
    initial.version = 3;
    initial.appInfo = palm::defaultAppInfo(initial.creator);
    std::unique_ptr<palm::StoredDatabase> db;
    ASSERT_TRUE(palm::StoredDatabase::create(handheld_.string(), initial, db));
    palm::Record live;
    live.data = std::string("kept\0", 5);
    live.category = 1;
    palm::Record deleted;
    deleted.deleted = true;
    uint32_t id = 0;
    ASSERT_TRUE(db->writeRecord(live, &id));
    ASSERT_TRUE(db->writeRecord(deleted, &id));
    write(*db, records);
    ASSERT_TRUE(db->close());
  }
  static void write(palm::StoredDatabase& db, const std::vector<palm::Record>& records) {
    uint32_t id = 0;
    for (const palm::Record& r : records) ASSERT_TRUE(db.writeRecord(r, &id));
  }

  bool archive(hotsync::ArchiveReport& report, std::string& problem) {
    return hotsync::archiveRecords(handheld_.string(), user_.string(), {"MemoDB", "AddressDB", "MemoDB"}, report,
                                   problem);
  }
  palm::Database archived() {
    palm::Database db;
    palm::StoreStatus st = palm::readDatabaseFile((user_ / "archive" / "MemoDB.pdb").string(), db);
    EXPECT_TRUE(st) << st.message;
    return db;
  }

  testutil::TempDir dir_;
  fs::path handheld_, user_;
};

TEST_F(ArchiveTest, CopiesArchivedRecordsOnceAsPlainRecords) {
  makeMemoDB(
      {archivedRecord(std::string("secret memo\0", 12), true, 0x300), archivedRecord("plain memo", false, 0x301)});
  hotsync::ArchiveReport report;
  std::string problem;
  ASSERT_TRUE(archive(report, problem)) << problem;
  ASSERT_EQ(report.copies.size(), 1u);
  EXPECT_EQ(report.copies[0].database, "MemoDB");
  EXPECT_EQ(report.copies[0].copied, 2u);
  EXPECT_EQ(report.copies[0].file, (user_ / "archive" / "MemoDB.pdb").string());

  palm::Database db = archived();
  EXPECT_EQ(db.name, "MemoDB");
  EXPECT_EQ(db.type, palm::fourCC("DATA"));
  EXPECT_EQ(db.creator, palm::fourCC("memo"));
  EXPECT_EQ(db.appInfo, palm::defaultAppInfo(palm::fourCC("memo")));
  ASSERT_EQ(db.records.size(), 2u);
  for (const palm::Record& r : db.records) {
    EXPECT_TRUE(r.live());
    EXPECT_FALSE(r.dirty);
    EXPECT_EQ(r.category, 0);
  }
  EXPECT_EQ(db.records[0].uniqueId, 0x300u);
  EXPECT_EQ(db.records[0].data, std::string("secret memo\0", 12));
  EXPECT_TRUE(db.records[0].secret);
  EXPECT_EQ(db.records[1].uniqueId, 0x301u);
  EXPECT_FALSE(db.records[1].secret);

  // A run that stopped before its purge, or a dry run: seen again, not copied
  // again.
  std::string bytes = readFile(user_ / "archive" / "MemoDB.pdb");
  ASSERT_TRUE(archive(report, problem)) << problem;
  EXPECT_TRUE(report.copies.empty());
  EXPECT_EQ(readFile(user_ / "archive" / "MemoDB.pdb"), bytes);
}

TEST_F(ArchiveTest, ARecordWhoseIdIsTakenGetsANewOneAndIsStillCopiedOnce) {
  makeMemoDB({archivedRecord("first life of the id", false, 0x400)});
  hotsync::ArchiveReport report;
  std::string problem;
  ASSERT_TRUE(archive(report, problem)) << problem;

  // Purged by the sync; the handheld later gives the id to another record.
  {
    std::unique_ptr<palm::StoredDatabase> db;
    ASSERT_TRUE(palm::StoredDatabase::open(handheld_.string(), "MemoDB", true, db));
    ASSERT_TRUE(db->purgeDeleted());
    write(*db, {archivedRecord("second life of the id", false, 0x400)});
    ASSERT_TRUE(db->close());
  }
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(archive(report, problem)) << problem;
    EXPECT_EQ(report.copies.size(), run == 0 ? 1u : 0u) << run;
  }
  palm::Database db = archived();
  ASSERT_EQ(db.records.size(), 2u);
  EXPECT_EQ(db.records[0].uniqueId, 0x400u);
  EXPECT_EQ(db.records[0].data, "first life of the id");
  EXPECT_NE(db.records[1].uniqueId, 0x400u);
  EXPECT_NE(db.records[1].uniqueId, 0u);
  EXPECT_EQ(db.records[1].data, "second life of the id");
}

// A record archived just before a crash is still in the journal, with its
// category; the archive files it under the category of the same name.
TEST_F(ArchiveTest, KeepsTheCategoryByNameFromAJournalACrashLeft) {
  makeMemoDB({});
  // The archive knows "Personal" in another slot than the handheld (2).
  palm::Database initial;
  initial.name = "MemoDB";
  initial.creator = palm::fourCC("memo");
  initial.appInfo = palm::defaultAppInfo(initial.creator);
  palm::CategoryBlock block;
  ASSERT_TRUE(palm::parseCategoryBlock(*initial.appInfo, block));
  block.names[2] = "Old";
  block.names[5] = "Personal";
  block.ids[5] = 5;
  palm::storeCategoryBlock(block, *initial.appInfo);
  fs::create_directories(user_ / "archive");
  ASSERT_TRUE(palm::writeDatabaseFile((user_ / "archive" / "MemoDB.pdb").string(), initial));

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::unique_ptr<palm::StoredDatabase> db;
    if (!palm::StoredDatabase::open(handheld_.string(), "MemoDB", true, db)) _exit(1);
    palm::Record personal = archivedRecord("personal memo");
    personal.category = 2;
    palm::Record business = archivedRecord("business memo");
    business.category = 1;
    uint32_t id = 0;
    if (!db->writeRecord(personal, &id) || !db->writeRecord(business, &id)) _exit(1);
    _exit(0);  // killed before the close folds the journal in
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(fs::exists(handheld_ / "MemoDB.pdb.journal"));

  hotsync::ArchiveReport report;
  std::string problem;
  ASSERT_TRUE(archive(report, problem)) << problem;
  palm::Database db = archived();
  std::map<std::string, int> categories;
  for (const palm::Record& r : db.records) categories[r.data] = r.category;
  EXPECT_EQ(categories, (std::map<std::string, int>{{"personal memo", 5}, {"business memo", 1}}));
  ASSERT_TRUE(palm::parseCategoryBlock(*db.appInfo, block));
  EXPECT_EQ(block.names[1], "Business");
  EXPECT_EQ(block.names[2], "Old");
}

TEST_F(ArchiveTest, RefusesWhenTheArchiveCannotBeWritten) {
  makeMemoDB({archivedRecord("must not be lost")});
  std::string handheldBytes = readFile(handheld_ / "MemoDB.pdb");
  hotsync::ArchiveReport report;
  std::string problem;

  writeFile(user_ / "archive", "a file where the folder should be");
  EXPECT_FALSE(archive(report, problem));
  EXPECT_NE(problem.find((user_ / "archive").string()), std::string::npos) << problem;
  fs::remove(user_ / "archive");

  // A damaged archive is refused, never written over.
  fs::create_directories(user_ / "archive");
  writeFile(user_ / "archive" / "MemoDB.pdb", "not a database");
  EXPECT_FALSE(archive(report, problem));
  EXPECT_NE(problem.find("archive/MemoDB.pdb"), std::string::npos) << problem;
  EXPECT_EQ(readFile(user_ / "archive" / "MemoDB.pdb"), "not a database");
  EXPECT_EQ(readFile(handheld_ / "MemoDB.pdb"), handheldBytes);
}

TEST_F(ArchiveTest, PassesOverMissingAndDamagedHandheldDatabases) {
  writeFile(handheld_ / "MemoDB.pdb", "damaged");
  hotsync::ArchiveReport report;
  std::string problem;
  ASSERT_TRUE(archive(report, problem)) << problem;
  EXPECT_TRUE(report.copies.empty());
  ASSERT_EQ(report.warnings.size(), 1u);
  EXPECT_EQ(report.warnings[0].rfind("MemoDB is not archived: ", 0), 0u) << report.warnings[0];
  EXPECT_FALSE(fs::exists(user_ / "archive"));
}

}  // namespace
