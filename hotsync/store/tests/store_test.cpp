// The handheld store under crashes: a child process writing records is
// killed at random moments (between calls, inside a call, while the file is
// being rewritten), and every file must then read as it was after the last
// completed call. Also the journal's own damage: torn tails, stale journals,
// a damaged base file, a folder held by another process.
#include "hotsync/store/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using palm::Record;
using palm::StoredDatabase;

palm::Database memoDb() {
  palm::Database db;
  db.name = "MemoDB";
  db.type = palm::fourCC("DATA");
  db.creator = palm::fourCC("memo");
  db.appInfo = *palm::defaultAppInfo(db.creator);
  return db;
}

std::string payload(uint32_t n) { return "record " + std::to_string(n) + std::string(n % 300, '.'); }

Record memo(const std::string& text, bool dirty = false) {
  Record r;
  r.data = text;
  r.dirty = dirty;
  return r;
}

class Store : public ::testing::Test {
 protected:
  std::string folder() const { return dir_.path().string(); }
  fs::path file() const { return dir_ / "MemoDB.pdb"; }
  fs::path journal() const { return dir_ / "MemoDB.pdb.journal"; }

  // Leaves a journal of `n` records behind, as a process that died after
  // its writes and before closing would.
  void writeAndDie(int n) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::unique_ptr<StoredDatabase> db;
      if (!StoredDatabase::open(folder(), "MemoDB", true, db)) ::_exit(2);
      for (int i = 0; i < n; ++i)
        if (!db->writeRecord(memo(payload(i)), nullptr)) ::_exit(3);
      ::_exit(0);  // no close, no destructor
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  void SetUp() override {
    std::unique_ptr<StoredDatabase> db;
    ASSERT_TRUE(StoredDatabase::create(folder(), memoDb(), db));
  }

  testutil::TempDir dir_{"store"};
};

TEST_F(Store, AJournalLeftByACrashIsReplayedAtTheNextOpen) {
  writeAndDie(3);
  ASSERT_TRUE(fs::exists(journal()));
  palm::Database onDisk;
  ASSERT_TRUE(palm::readDatabaseFile(file().string(), onDisk));
  EXPECT_TRUE(onDisk.records.empty());  // the file itself was not rewritten

  std::unique_ptr<StoredDatabase> db;
  ASSERT_TRUE(StoredDatabase::open(folder(), "MemoDB", false, db));
  ASSERT_EQ(db->db().records.size(), 3u);
  EXPECT_EQ(db->db().records[2].data, payload(2));
  EXPECT_FALSE(fs::exists(journal()));
  ASSERT_TRUE(palm::readDatabaseFile(file().string(), onDisk));
  EXPECT_EQ(onDisk.records.size(), 3u);
}

TEST_F(Store, ATornLastEntryIsIgnoredAndTheEntriesBeforeItKept) {
  writeAndDie(3);
  // The last entry's data half on disk: its final bytes never arrived.
  std::string bytes = testutil::readFile(journal());
  size_t end = bytes.find_last_not_of('\0');
  ASSERT_NE(end, std::string::npos);
  bytes.replace(end - 3, 4, 4, '\0');
  std::ofstream(journal(), std::ios::binary | std::ios::trunc) << bytes;
  std::unique_ptr<StoredDatabase> db;
  ASSERT_TRUE(StoredDatabase::open(folder(), "MemoDB", true, db));
  ASSERT_EQ(db->db().records.size(), 2u);
  EXPECT_EQ(db->db().records[1].data, payload(1));
}

TEST_F(Store, AJournalFromBeforeTheLastRewriteIsNotReplayedAgain) {
  writeAndDie(2);
  const std::string stale = testutil::readFile(journal());
  {
    std::unique_ptr<StoredDatabase> db;
    ASSERT_TRUE(StoredDatabase::open(folder(), "MemoDB", true, db));  // folds it in
  }
  // As if the process died between renaming the new file and removing the
  // journal.
  std::ofstream(journal(), std::ios::binary) << stale;
  std::unique_ptr<StoredDatabase> db;
  ASSERT_TRUE(StoredDatabase::open(folder(), "MemoDB", true, db));
  EXPECT_EQ(db->db().records.size(), 2u);
  EXPECT_FALSE(fs::exists(journal()));
}

TEST_F(Store, ADamagedFileIsRefusedAndNothingBesideItIsTouched) {
  writeAndDie(2);
  std::string bytes = testutil::readFile(file());
  bytes[75] = 1;  // a next-list id
  std::ofstream(file(), std::ios::binary | std::ios::trunc) << bytes;
  const std::string journalBytes = testutil::readFile(journal());
  std::unique_ptr<StoredDatabase> db;
  palm::StoreStatus st = StoredDatabase::open(folder(), "MemoDB", true, db);
  EXPECT_EQ(st.code, palm::StoreError::Malformed);
  EXPECT_NE(st.message.find("MemoDB.pdb"), std::string::npos) << st.message;
  EXPECT_EQ(testutil::readFile(file()), bytes);
  EXPECT_EQ(testutil::readFile(journal()), journalBytes);
  EXPECT_EQ(StoredDatabase::create(folder(), memoDb(), db).code, palm::StoreError::Exists);
}

TEST_F(Store, AFolderHeldByAnotherProgramIsBusy) {
  int fd = ::open(folder().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  std::unique_ptr<StoredDatabase> db;
  EXPECT_EQ(StoredDatabase::open(folder(), "MemoDB", true, db).code, palm::StoreError::Busy);
  ::close(fd);
  EXPECT_TRUE(StoredDatabase::open(folder(), "MemoDB", true, db));
}

TEST_F(Store, ChangesOfEveryKindReplayToTheSameDatabase) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::unique_ptr<StoredDatabase> db;
    if (!StoredDatabase::open(folder(), "MemoDB", true, db)) ::_exit(2);
    uint32_t a = 0, b = 0, c = 0;
    bool ok =
        db->writeRecord(memo("a", true), &a) && db->writeRecord(memo("b"), &b) && db->writeRecord(memo("c", true), &c);
    Record archived = memo("b");
    archived.uniqueId = b;
    archived.archived = true;
    Record moved = memo("c moved", true);
    moved.uniqueId = c;
    moved.category = 5;
    std::string block = *db->db().appInfo;
    block[280] = 'X';
    ok = ok && db->writeRecord(archived, nullptr) && db->writeRecord(moved, nullptr) && db->resetSyncFlags() &&
         db->removeRecord(a) && db->setAppInfo(block) && db->writeRecord(memo("d", true), nullptr) &&
         db->purgeCategory(0);
    ::_exit(ok ? 0 : 3);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::unique_ptr<StoredDatabase> db;
  ASSERT_TRUE(StoredDatabase::open(folder(), "MemoDB", true, db));
  const auto& records = db->db().records;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].data, "c moved");
  EXPECT_EQ(records[0].category, 5);
  EXPECT_FALSE(records[0].dirty);
  EXPECT_TRUE(records[1].archived);
  EXPECT_EQ((*db->db().appInfo)[280], 'X');
  EXPECT_EQ(db->db().modificationNumber, 10u);
}

// Fails the Nth write, flush or rename of a run of writes, closes and
// reopens, once or for good, for every N: every write that reported success
// is there afterwards, and no write that reported failure is, except when
// the disk also refused to wipe the failed entry (failing for good): then
// that one write may be there, and the store took no further change.
TEST_F(Store, AFailedWriteFlushOrRenameLosesNothingThatCompleted) {
  for (bool forGood : {false, true}) {
    for (int failAt = 1; failAt <= 60; ++failAt) {
      SCOPED_TRACE((forGood ? "for good from operation " : "once at operation ") + std::to_string(failAt));
      const std::string name = "F" + std::to_string(forGood) + "-" + std::to_string(failAt);
      palm::Database initial = memoDb();
      initial.name = name;
      {
        std::unique_ptr<StoredDatabase> db;
        ASSERT_TRUE(StoredDatabase::create(folder(), initial, db));
      }
      int count = 0;
      palm::setIoFaultHook([&](const char*) {
        ++count;
        return forGood ? count < failAt : count != failAt;
      });
      std::vector<std::string> completed;
      std::optional<std::string> firstFailed;
      int next = 0;
      for (int session = 0; session < 3; ++session) {
        std::unique_ptr<StoredDatabase> db;
        if (!StoredDatabase::open(folder(), name, true, db)) continue;  // replay could not be folded
        for (int i = 0; i < 4; ++i, ++next) {
          std::string text = payload(static_cast<uint32_t>(next));
          if (db->writeRecord(memo(text), nullptr)) completed.push_back(text);
          else if (!firstFailed) firstFailed = text;
        }
        db->close();
      }
      palm::setIoFaultHook(nullptr);
      std::unique_ptr<StoredDatabase> db;
      palm::StoreStatus st = StoredDatabase::open(folder(), name, true, db);
      ASSERT_TRUE(st) << st.message;
      std::vector<std::string> found;
      for (const Record& r : db->db().records) found.push_back(r.data);
      if (forGood && firstFailed && found.size() == completed.size() + 1) completed.push_back(*firstFailed);
      EXPECT_EQ(found, completed);
    }
  }
}

// A child writes records as fast as it can, closing and reopening the
// database every few writes so that kills also land inside the rewrite of
// the whole file. After each completed write it reports the record's id on a
// pipe. The parent kills it at a random moment and checks that the database
// opens and holds every reported record, and at most one more.
TEST_F(Store, KilledAtAnyMomentTheFileHoldsEveryCompletedWrite) {
  std::mt19937 random(7);
  uint32_t expected = 0;  // records written in earlier rounds
  for (int round = 0; round < 12; ++round) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int reopenEvery = 5 + static_cast<int>(random() % 60);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFds[0]);
      std::unique_ptr<StoredDatabase> db;
      for (uint32_t n = expected;; ++n) {
        if (!db && !StoredDatabase::open(folder(), "MemoDB", true, db)) ::_exit(2);
        uint32_t id = 0;
        if (!db->writeRecord(memo(payload(n)), &id)) ::_exit(3);
        if (::write(pipeFds[1], &id, sizeof id) != sizeof id) ::_exit(4);
        if (static_cast<int>(n % reopenEvery) == 0) db.reset();
      }
    }
    ::close(pipeFds[1]);
    const int killAfter = 1 + static_cast<int>(random() % 150);
    std::vector<uint32_t> reported;
    uint32_t id = 0;
    while (::read(pipeFds[0], &id, sizeof id) == sizeof id) {
      reported.push_back(id);
      if (static_cast<int>(reported.size()) == killAfter) {
        ::usleep(random() % 3000);
        ::kill(child, SIGKILL);
      }
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << " child ended by itself: " << status;

    std::unique_ptr<StoredDatabase> db;
    palm::StoreStatus st = StoredDatabase::open(folder(), "MemoDB", true, db);
    ASSERT_TRUE(st) << "round " << round << ": " << st.message;
    const auto& records = db->db().records;
    ASSERT_GE(records.size(), expected + reported.size()) << "round " << round;
    ASSERT_LE(records.size(), expected + reported.size() + 1) << "round " << round;
    for (size_t i = 0; i < reported.size(); ++i) {
      long at = db->indexOf(reported[i]);
      ASSERT_GE(at, 0) << "round " << round << " lost record " << reported[i];
      EXPECT_EQ(records[static_cast<size_t>(at)].data, payload(expected + static_cast<uint32_t>(i)));
    }
    expected = static_cast<uint32_t>(records.size());
    EXPECT_FALSE(fs::exists(journal()));
    EXPECT_FALSE(fs::exists(dir_ / "MemoDB.pdb.tmp"));
  }
}

}  // namespace
