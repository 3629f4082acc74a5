// What the store refuses rather than lose a record: a database at the
// format's record limit, a journal damaged anywhere (with recovery of its
// intact entries), and files that are no database at all; and what it takes
// from a journal after a power loss: everything up to the last flush, and
// the unflushed entries up to the first sector the disk never got.
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

  palm::StoreStatus open(std::unique_ptr<StoredDatabase> &db, bool writable = true) {
    return StoredDatabase::open(folder(), "MemoDB", writable, db);
  }

  // Has a child process write texts to a new MemoDB, flushing after the
  // first flushAfter of them (0: never), and die without closing: its
  // journal stays. Returns the file as it was before.
  std::string writeAndDie(const std::vector<std::string> &texts, size_t flushAfter = 0) {
    if (!fs::exists(file())) {
      std::unique_ptr<StoredDatabase> db;
      EXPECT_TRUE(StoredDatabase::create(folder(), memoDb(), db));
    }
    std::string before = testutil::readFile(file());
    pid_t child = ::fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
      std::unique_ptr<StoredDatabase> db;
      if (!open(db)) ::_exit(2);
      for (size_t i = 0; i < texts.size(); ++i) {
        if (!db->writeRecord(memo(texts[i]), nullptr)) ::_exit(3);
        if (i + 1 == flushAfter && !db->flush()) ::_exit(4);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return before;
  }

  // Where each of a journal's first `entries` entries starts, and where the
  // last one ends.
  static std::vector<size_t> entryStarts(const std::string &journal, size_t entries) {
    std::vector<size_t> starts;
    size_t at = 24;  // after the header
    for (size_t i = 0; i <= entries; ++i) {
      starts.push_back(at);
      at += 20 + palm::getU32(journal, at) + 1;  // head, payload, commit byte
    }
    return starts;
  }

  testutil::TempDir dir_{"store-damage"};
};

TEST_F(Damage, TheRecordAfterTheLastTheFormatHoldsIsRefusedAndNothingChanges) {
  ASSERT_TRUE(palm::writeDatabaseFile(file().string(), memoDb(palm::kMaxEntries)));
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
  static constexpr int kVictim = 2;  // the entry that gets damaged

  void SetUp() override {
    std::vector<std::string> texts;
    for (int i = 0; i < kEntries; ++i) texts.push_back(text(i));
    base_ = writeAndDie(texts);
    journal_ = testutil::readFile(journal());
    starts_ = entryStarts(journal_, kEntries);
  }

  static std::string text(int i) { return "memo " + std::to_string(i); }

  // The memo texts of the database as the file holds them.
  std::vector<std::string> texts() {
    palm::Database db;
    EXPECT_TRUE(palm::readDatabaseFile(file().string(), db));
    std::vector<std::string> out;
    for (const Record &r : db.records) out.push_back(r.data);
    return out;
  }

  std::vector<std::string> allBut(int skipped) {
    std::vector<std::string> out;
    for (int i = 0; i < kEntries; ++i)
      if (i != skipped) out.push_back(text(i));
    return out;
  }

  // Opening refuses the database, names the journal and the offset, moves
  // the journal aside whole and leaves the file as it was.
  void expectRefused(size_t offset, const std::string &context) {
    std::unique_ptr<StoredDatabase> db;
    palm::StoreStatus st = open(db, false);
    ASSERT_EQ(st.code, StoreError::Malformed) << context;
    EXPECT_NE(st.message.find(journal().string() + " is damaged at offset " + std::to_string(offset)),
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

TEST_F(JournalDamage, EachDamagedByteOfAnEntryIsFoundAndRecoveryKeepsEveryOtherEntry) {
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
  damage(starts_[kEntries] - 1);  // its commit byte
  expectRefused(starts_[kEntries - 1], "commit byte");
  damage(starts_[kEntries - 1] + 14);  // inside its data
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

TEST_F(JournalDamage, RecoveringTwiceKeepsBothJournalsAndNothingToRecoverSaysSo) {
  damage(starts_[1] + 3);
  expectRefused(starts_[1], "first");
  palm::RecoverReport report;
  ASSERT_TRUE(StoredDatabase::recover(folder(), "MemoDB", report));
  write(file(), base_);
  write(journal(), damagedJournal_);
  ASSERT_TRUE(StoredDatabase::recover(folder(), "MemoDB",
                                      report));  // from a journal left in place
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
    EXPECT_EQ(palm::readDatabaseFile(file().string(), out).code, StoreError::Malformed) << c.what;
    EXPECT_FALSE(fs::exists(journal())) << c.what;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// A child writes kWrites memos, flushing after kFlushed of them, and dies
// without closing. A power loss then takes back sectors of what was written
// after the flush, as a disk may: one sector alone, or every sector from one
// on. Every such journal opens; the database holds the writes up to the
// first lost byte, in order, and never fewer than were flushed; the intact
// writes after a lost sector are kept beside it.
class PowerLoss : public Damage {
 protected:
  static constexpr int kWrites = 90;
  static constexpr int kFlushed = 35;

  void SetUp() override {
    std::vector<std::string> texts;
    for (int i = 0; i < kWrites; ++i) texts.push_back(text(i));
    base_ = writeAndDie(texts, kFlushed);
    journal_ = testutil::readFile(journal());
    starts_ = entryStarts(journal_, kWrites);
    // The first entry after the flush says how much the disk held.
    const size_t head = starts_[kFlushed];
    flushedAt_ = palm::getU32(journal_, head + 12);
    ASSERT_EQ(flushedAt_, starts_[kFlushed]);
  }

  // Long enough that a sector holds a few entries, not dozens.
  static std::string text(int i) { return "memo " + std::to_string(i) + " " + std::string(40 + i % 50, 'x'); }

  // Entries wholly before `offset`.
  int entriesBefore(size_t offset) const {
    int n = 0;
    while (n < kWrites && starts_[n + 1] <= offset) ++n;
    return n;
  }

  std::string base_;
  std::string journal_;
  std::vector<size_t> starts_;
  size_t flushedAt_ = 0;
};

TEST_F(PowerLoss, EveryLostSectorAfterTheFlushCutsTheReplayThereAndNoEarlier) {
  const size_t end = starts_[kWrites];
  const size_t sector = 512;
  ASSERT_GT(end - flushedAt_, 4 * sector) << "too few sectors to sweep";
  int cuts = 0;
  for (size_t s = flushedAt_ / sector * sector; s < end; s += sector) {
    for (bool toTheEnd : {false, true}) {
      const size_t lostFrom = std::max(s, flushedAt_);
      const size_t lostTo = toTheEnd ? journal_.size() : s + sector;
      const std::string context = "sector at " + std::to_string(s) + (toTheEnd ? " and all after it" : " alone");
      std::string j = journal_;
      std::fill(j.begin() + static_cast<long>(lostFrom), j.begin() + static_cast<long>(lostTo), '\0');
      write(file(), base_);
      write(journal(), j);
      for (const auto &e : fs::directory_iterator(dir_.path()))
        if (e.path().string().find(".journal.cut") != std::string::npos) fs::remove(e.path());

      std::unique_ptr<StoredDatabase> db;
      palm::StoreStatus st = open(db);
      ASSERT_TRUE(st) << context << ": " << st.message;
      std::vector<std::string> found;
      for (const Record &r : db->db().records) found.push_back(r.data);
      const int kept = entriesBefore(lostFrom);
      ASSERT_GE(kept, kFlushed) << context;
      ASSERT_EQ(found.size(), static_cast<size_t>(kept)) << context;
      for (int i = 0; i < kept; ++i) ASSERT_EQ(found[static_cast<size_t>(i)], text(i)) << context;
      // Whole entries after the lost sector are kept aside, never replayed.
      const bool intactAfter = !toTheEnd && lostTo < starts_[kWrites - 1];
      EXPECT_EQ(fs::exists(dir_ / "MemoDB.pdb.journal.cut"), intactAfter) << context;
      cuts += intactAfter;
      db.reset();
      EXPECT_FALSE(fs::exists(journal())) << context;
    }
  }
  EXPECT_GT(cuts, 3);
}

// Damage to what the flush covered is never taken for a lost sector: not a
// flipped byte, and not a whole sector of zeros, which a disk that kept its
// promise never shows.
TEST_F(PowerLoss, DamageBeforeTheFlushRefusesTheDatabase) {
  for (bool wholeSector : {false, true}) {
    for (int victim : {3, kFlushed / 2, kFlushed - 2}) {
      const std::string context = "entry " + std::to_string(victim) + (wholeSector ? ", its sector" : ", a byte");
      std::string j = journal_;
      const size_t at = starts_[victim] + 22;  // inside its payload
      size_t offset = starts_[victim];
      if (wholeSector) {
        const size_t sector = at / 512 * 512;
        std::fill(j.begin() + static_cast<long>(sector), j.begin() + static_cast<long>(sector + 512), '\0');
        // The header's sector, or the entry that the sector cuts first.
        offset = sector == 0 ? 0 : starts_[entriesBefore(sector)];
      } else {
        j[at] ^= 0x5A;
      }
      write(file(), base_);
      write(journal(), j);
      fs::remove(damaged());
      std::unique_ptr<StoredDatabase> db;
      palm::StoreStatus st = open(db);
      ASSERT_EQ(st.code, StoreError::Malformed) << context;
      EXPECT_NE(st.message.find("is damaged at offset " + std::to_string(offset)), std::string::npos)
          << context << ": " << st.message;
      EXPECT_EQ(testutil::readFile(file()), base_) << context;
    }
  }
}

// The header shares the first sector with the first entries. Lost before
// any flush, the journal held nothing promised: the database opens as it
// was, with the entries kept aside. Lost after a flush, it is damage.
TEST_F(PowerLoss, ALostHeaderSectorIsACutOnlyBeforeTheFirstFlush) {
  std::string j = journal_;
  std::fill(j.begin(), j.begin() + 512, '\0');
  write(journal(), j);
  std::unique_ptr<StoredDatabase> db;
  EXPECT_EQ(open(db).code, StoreError::Malformed);
  EXPECT_EQ(testutil::readFile(file()), base_);

  fs::remove(damaged());
  fs::remove(journal());
  std::vector<std::string> unflushed;
  for (int i = 0; i < 20; ++i) unflushed.push_back(text(i));
  writeAndDie(unflushed);
  j = testutil::readFile(journal());
  std::fill(j.begin(), j.begin() + 512, '\0');
  write(journal(), j);
  palm::StoreStatus st = open(db);
  ASSERT_TRUE(st) << st.message;
  EXPECT_TRUE(db->db().records.empty());
  EXPECT_FALSE(fs::exists(journal()));
  EXPECT_TRUE(fs::exists(dir_ / "MemoDB.pdb.journal.cut"));
}

// Waiting for the disk happens at a flush, a fold and a new megabyte of
// journal, not per write; a flush with nothing new does not wait.
TEST_F(Damage, TheDiskIsAskedToKeepWritesOnlyWhereItMatters) {
  {
    std::unique_ptr<StoredDatabase> db;
    ASSERT_TRUE(StoredDatabase::create(folder(), memoDb(), db));
  }
  std::unique_ptr<StoredDatabase> db;
  ASSERT_TRUE(open(db));
  const uint64_t before = palm::diskFlushes();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(db->writeRecord(memo("memo " + std::to_string(i)), nullptr));
  // The journal's first megabyte: the file and its name in the folder.
  EXPECT_EQ(palm::diskFlushes() - before, 2u);
  ASSERT_TRUE(db->flush());
  EXPECT_EQ(palm::diskFlushes() - before, 3u);
  ASSERT_TRUE(db->flush());
  EXPECT_EQ(palm::diskFlushes() - before, 3u);
  ASSERT_TRUE(db->writeRecord(memo("one more"), nullptr));
  ASSERT_TRUE(db->flush());
  EXPECT_EQ(palm::diskFlushes() - before, 4u);
  // Folding: the new file, and the folder once it is renamed.
  ASSERT_TRUE(db->close());
  EXPECT_EQ(palm::diskFlushes() - before, 6u);
}

}  // namespace
