// The server's storage: one SQLite file holding users, per-device settings,
// address items, every user's records and the relation data.
//
//   gwserver::Db db("team.db");            // opens (and creates the schema)
//   gwserver::Transaction tx(db, true);    // write lock until commit or scope end
//   int64_t ts = gwserver::recordStamp(db);
//   tx.commit();
//
// Failures throw StoreError; a Transaction that is not committed rolls back.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gwserver {

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Warnings for the database file and its side files (-wal, -shm, -journal)
// that other users may read or write: one line each, naming the file and
// its mode; empty when all are private.
std::string modeWarnings(const std::string& path);

class Db {
 public:
  // Opens the file; with create, makes it and the schema when missing. Without
  // create a missing file or a file that is no gwserver database throws.
  // A file it creates is readable by its owner alone (0600), and so are the
  // side files SQLite makes beside it, which take the database's mode.
  explicit Db(const std::string& path, bool create = false);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  sqlite3* handle() const { return db_; }
  void exec(const char* sql);
  int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
  int changes() const { return sqlite3_changes(db_); }

 private:
  sqlite3* db_ = nullptr;
};

// A prepared statement; bind by 1-based index, step, read columns.
class Stmt {
 public:
  Stmt(Db& db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, int64_t v);
  Stmt& bind(int i, std::string_view text);      // stored as a blob: bytes, not UTF-8
  Stmt& bindText(int i, std::string_view text);  // stored as TEXT: for ASCII keys
  Stmt& bindNull(int i);
  // True while a row is ready; false when done. Errors throw.
  bool step();
  // Runs a statement that returns no rows.
  void run() {
    while (step()) {
    }
  }
  void reset();

  int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
  bool isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
  std::string text(int col) const;

 private:
  Db& db_;
  sqlite3_stmt* st_ = nullptr;
};

// BEGIN (or BEGIN IMMEDIATE for writers) ... COMMIT; rolls back unless committed.
class Transaction {
 public:
  Transaction(Db& db, bool write);
  ~Transaction();
  void commit();

 private:
  Db& db_;
  bool open_ = true;
};

// Time stamps for records and relation data, seconds since 1970, issued so
// that no change is lost or echoed at a second boundary: a relation stamp is
// never earlier than a record stamp issued before it, and a record stamp
// issued after a relation stamp is always later. Call inside a write
// transaction.
int64_t recordStamp(Db& db);
int64_t relationStamp(Db& db);

// Record ids are unique across all kinds of records (cards, memos, schedules,
// to-dos, mails), so an id sent with the wrong page never names another
// record. nextRecordId takes the next `count` free ones and returns the first;
// claimRecordId takes a given one when no record has it yet (false
// otherwise). Call inside a write transaction.
int64_t nextRecordId(Db& db, int64_t count = 1);
bool claimRecordId(Db& db, int64_t id);

// Connections for the server's worker threads; each request borrows one.
class DbPool {
 public:
  explicit DbPool(std::string path) : path_(std::move(path)) {}
  class Lease {
   public:
    Lease(DbPool& pool, std::unique_ptr<Db> db) : pool_(pool), db_(std::move(db)) {}
    ~Lease() { pool_.give(std::move(db_)); }
    Db& operator*() { return *db_; }
    Db* operator->() { return db_.get(); }

   private:
    DbPool& pool_;
    std::unique_ptr<Db> db_;
  };
  Lease take();

 private:
  void give(std::unique_ptr<Db> db);
  std::string path_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Db>> free_;
};

}  // namespace gwserver
