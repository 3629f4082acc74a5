// What the store refuses rather than lose a record: a database at the
// format's record limit, a journal damaged anywhere (with recovery of its
// intact entries), and files that are no database at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "hotsync/store/store.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using palm::Record;
using palm::StoredDatabase;
using palm::StoreError;

palm::Database memoDb(size_t records = 0) {
  palm::Database db;
  db.name = "MemoDB";
  db.type = palm::fourCC("DATA");
  db.creator = palm::fourCC("memo");
  db.appInfo = *palm::defaultAppInfo(db.creator);
  db.uniqueIdSeed = static_cast<uint32_t>(records);
  for (size_t i = 0; i < records; ++i) {
    Record r;
    r.uniqueId = static_cast<uint32_t>(i + 1);
    r.data = "m";
    db.records.push_back(r);
  }
  return db;
}

Record memo(const std::string &text) {
  Record r;
  r.data = text;
  return r;
}

class Damage : public ::testing::Test {
protected:
  std::string folder() const { return dir_.path().string(); }
  fs::path file() const { return dir_ / "MemoDB.pdb"; }
  fs::path journal() const { return dir_ / "MemoDB.pdb.journal"; }
  fs::path damaged() const { return dir_ / "MemoDB.pdb.journal.damaged"; }
  fs::path recovered() const { return dir_ / "MemoDB.pdb.journal.recovered"; }

  void write(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  palm::StoreStatus open(std::unique_ptr<StoredDatabase> &db,
                         bool writable = true) {
    return StoredDatabase::open(folder(), "MemoDB", writable, db);
  }

  testutil::TempDir dir_{"store-damage"};
};

TEST_F(Damage, TheRecordAfterTheLastTheFormatHoldsIsRefusedAndNothingChanges) {
  ASSERT_TRUE(
      palm::writeDatabaseFile(file().string(), memoDb(palm::kMaxEntries)));
  const std::string before = testutil::readFile(file());
  {
    std::unique_ptr<StoredDatabase> db;
    ASSERT_TRUE(open(db));
    uint32_t id = 0;
    palm::StoreStatus st = db->writeRecord(memo("one too many"), &id);
    EXPECT_EQ(st.code, StoreError::Full) << st.message;
    EXPECT_NE(st.message.find("65535"), std::string::npos) << st.message;
    EXPECT_EQ(id, 0u);
    // A record with an id of its own is new as well.
    Record withId = memo("x");
    withId.uniqueId = 0x800000;
    EXPECT_EQ(db->writeRecord(withId, nullptr).code, StoreError::Full);
    // Replacing one that is there still works.
    Record first = db->db().records[0];
    first.data = "changed";
    ASSERT_TRUE(db->writeRecord(first, nullptr));
    ASSERT_TRUE(db->close());
  }
  palm::Database after;
  ASSERT_TRUE(palm::readDatabaseFile(file().string(), after));
  EXPECT_EQ(after.records.size(), palm::kMaxEntries);
  EXPECT_EQ(after.records[0].data, "changed");
  EXPECT_EQ(after.records.back().data, "m");
}

// A journal of kEntries writes left by a process that died before closing.
class JournalDamage : public Damage {
protected:
  static constexpr int kEntries = 5;
  static constexpr int kVictim = 2; // the entry that gets damaged

  void SetUp() override {
    {
      std::unique_ptr<StoredDatabase> db;
      ASSERT_TRUE(StoredDatabase::create(folder(), memoDb(), db));
    }
    base_ = testutil::readFile(file());
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::unique_ptr<StoredDatabase> db;
      if (!open(db))
        ::_exit(2);
      for (int i = 0; i < kEntries; ++i)
        if (!db->writeRecord(memo(text(i)), nullptr))
          ::_exit(3);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    journal_ = testutil::readFile(journal());
    size_t at = 24; // after the header
    for (int i = 0; i <= kEntries; ++i) {
      starts_.push_back(at);
      at += 12 + palm::getU32(journal_, at) + 1;
    }
  }

  static std::string text(int i) { return "memo " + std::to_string(i); }

  // The memo texts of the database as the file holds them.
  std::vector<std::string> texts() {
    palm::Database db;
    EXPECT_TRUE(palm::readDatabaseFile(file().string(), db));
    std::vector<std::string> out;
    for (const Record &r : db.records)
      out.push_back(r.data);
    return out;
  }

  std::vector<std::string> allBut(int skipped) {
    std::vector<std::string> out;
    for (int i = 0; i < kEntries; ++i)
      if (i != skipped)
        out.push_back(text(i));
    return out;
  }

  // Opening refuses the database, names the journal and the offset, moves
  // the journal aside whole and leaves the file as it was.
  void expectRefused(size_t offset, const std::string &context) {
    std::unique_ptr<StoredDatabase> db;
    palm::StoreStatus st = open(db, false);
    ASSERT_EQ(st.code, StoreError::Malformed) << context;
    EXPECT_NE(st.message.find(journal().string() + " is damaged at offset " +
                              std::to_string(offset)),
              std::string::npos)
        << context << ": " << st.message;
    EXPECT_FALSE(fs::exists(journal())) << context;
    EXPECT_EQ(testutil::readFile(damaged()), damagedJournal_) << context;
    EXPECT_EQ(testutil::readFile(file()), base_) << context;
    // Refused again, for writing too, until it is recovered.
    EXPECT_EQ(open(db, true).code, StoreError::Malformed) << context;
    EXPECT_EQ(testutil::readFile(file()), base_) << context;
  }

  void damage(size_t at) {
    damagedJournal_ = journal_;
    damagedJournal_[at] = static_cast<char>(damagedJournal_[at] ^ 0x5A);
    write(journal(), damagedJournal_);
  }

  void reset() {
    write(file(), base_);
    fs::remove(damaged());
    fs::remove(recovered());
  }

  std::string base_;
  std::string journal_;
  std::string damagedJournal_;
  std::vector<size_t> starts_;
};

TEST_F(JournalDamage, AnIntactJournalIsReplayedWhole) {
  std::unique_ptr<StoredDatabase> db;
  ASSERT_TRUE(open(db));
  ASSERT_TRUE(db->close());
  EXPECT_EQ(texts(), allBut(-1));
  EXPECT_FALSE(fs::exists(journal()));
}

TEST_F(JournalDamage,
       EachDamagedByteOfAnEntryIsFoundAndRecoveryKeepsEveryOtherEntry) {
  for (size_t at = starts_[kVictim]; at < starts_[kVictim + 1]; ++at) {
    const std::string context = "byte " + std::to_string(at);
    damage(at);
    expectRefused(starts_[kVictim], context);

    palm::RecoverReport report;
    palm::StoreStatus st = StoredDatabase::recover(folder(), "MemoDB", report);
    ASSERT_TRUE(st) << context << ": " << st.message;
    EXPECT_TRUE(report.found && !report.stale) << context;
    EXPECT_EQ(report.used, size_t(kEntries - 1)) << context;
    EXPECT_EQ(report.skipped, 1u) << context;
    EXPECT_EQ(report.keptAs, recovered().string()) << context;
    EXPECT_EQ(testutil::readFile(recovered()), damagedJournal_) << context;
    EXPECT_FALSE(fs::exists(damaged())) << context;
    EXPECT_EQ(texts(), allBut(kVictim)) << context;
    std::unique_ptr<StoredDatabase> db;
    EXPECT_TRUE(open(db)) << context;
    db.reset();
    reset();
  }
}

TEST_F(JournalDamage, TheLastEntryDamagedIsNotMistakenForATornWrite) {
  damage(starts_[kEntries] - 1); // its commit byte
  expectRefused(starts_[kEntries - 1], "commit byte");
  damage(starts_[kEntries - 1] + 14); // inside its data
  fs::remove(damaged());
  expectRefused(starts_[kEntries - 1], "data");
}

TEST_F(JournalDamage, ABadMagicNumberKeepsEveryEntryForRecovery) {
  damage(0);
  expectRefused(0, "magic");
  palm::RecoverReport report;
  ASSERT_TRUE(StoredDatabase::recover(folder(), "MemoDB", report));
  EXPECT_EQ(report.used, size_t(kEntries));
  EXPECT_EQ(report.skipped, 0u);
  EXPECT_EQ(texts(), allBut(-1));
  EXPECT_EQ(testutil::readFile(recovered()), damagedJournal_);
}

TEST_F(JournalDamage,
       RecoveringTwiceKeepsBothJournalsAndNothingToRecoverSaysSo) {
  damage(starts_[1] + 3);
  expectRefused(starts_[1], "first");
  palm::RecoverReport report;
  ASSERT_TRUE(StoredDatabase::recover(folder(), "MemoDB", report));
  write(file(), base_);
  write(journal(), damagedJournal_);
  ASSERT_TRUE(StoredDatabase::recover(folder(), "MemoDB",
                                      report)); // from a journal left in place
  EXPECT_EQ(report.keptAs, recovered().string() + ".2");
  EXPECT_TRUE(fs::exists(recovered()));
  ASSERT_TRUE(StoredDatabase::recover(folder(), "MemoDB", report));
  EXPECT_FALSE(report.found);
}

// Files that cannot be databases are refused before they are read, for
// reading and for writing alike.
TEST_F(Damage, AFifoAFolderAndAnOversizedFileAreRefusedPromptly) {
  const auto started = std::chrono::steady_clock::now();
  struct Case {
    const char *what;
    std::function<void()> make;
  } cases[] = {
      {"fifo", [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0); }},
      {"folder", [&] { fs::create_directory(file()); }},
      {"300 MB",
       [&] {
         // A valid database followed by a hole: far more than its one record
         // can hold.
         ASSERT_TRUE(palm::writeDatabaseFile(file().string(), memoDb(1)));
         fs::resize_file(file(), 300u << 20);
       }},
      {"8 GB",
       [&] {
         ASSERT_TRUE(palm::writeDatabaseFile(file().string(), memoDb(1)));
         fs::resize_file(file(), 8ull << 30);
       }},
  };
  for (const Case &c : cases) {
    fs::remove_all(file());
    c.make();
    for (bool writable : {false, true}) {
      std::unique_ptr<StoredDatabase> db;
      palm::StoreStatus st = open(db, writable);
      EXPECT_EQ(st.code, StoreError::Malformed) << c.what << ": " << st.message;
    }
    palm::Database out;
    EXPECT_EQ(palm::readDatabaseFile(file().string(), out).code,
              StoreError::Malformed)
        << c.what;
    EXPECT_FALSE(fs::exists(journal())) << c.what;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(5));
}

} // namespace
