#include "server/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace gwserver {

namespace {

// Text columns hold the bytes the client sent; they are blobs so that SQLite
// never assumes an encoding.
const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, salt BLOB NOT NULL,
  hash BLOB NOT NULL, may_sync INTEGER NOT NULL DEFAULT 1);
CREATE TABLE IF NOT EXISTS settings(device TEXT PRIMARY KEY, lines BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS address_items(
  id INTEGER PRIMARY KEY, name BLOB NOT NULL, type TEXT NOT NULL DEFAULT 'Text',
  necessary INTEGER NOT NULL DEFAULT 0, disable INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS cards(
  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, ts INTEGER NOT NULL,
  kind INTEGER NOT NULL DEFAULT 1, category BLOB NOT NULL DEFAULT x'');
CREATE INDEX IF NOT EXISTS cards_user ON cards(user_id);
CREATE TABLE IF NOT EXISTS card_values(
  card_id INTEGER NOT NULL, item_id INTEGER NOT NULL, value BLOB NOT NULL,
  PRIMARY KEY(card_id, item_id));
CREATE TABLE IF NOT EXISTS memos(
  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, ts INTEGER NOT NULL,
  name BLOB NOT NULL, data BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS memos_user ON memos(user_id);
CREATE TABLE IF NOT EXISTS schedules(
  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, ts INTEGER NOT NULL,
  valid_date TEXT NOT NULL, set_date TEXT NOT NULL, end_date TEXT NOT NULL,
  set_time TEXT NOT NULL, end_time TEXT NOT NULL, type TEXT NOT NULL, day INTEGER,
  private INTEGER NOT NULL, banner INTEGER NOT NULL,
  event BLOB NOT NULL, detail BLOB NOT NULL, memo BLOB NOT NULL, exceptions TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS schedules_user ON schedules(user_id);
CREATE TABLE IF NOT EXISTS todos(
  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, ts INTEGER NOT NULL,
  limit_date TEXT NOT NULL, priority INTEGER NOT NULL, finish INTEGER NOT NULL,
  end_date TEXT NOT NULL, category BLOB NOT NULL, name BLOB NOT NULL, memo BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS todos_user ON todos(user_id);
CREATE TABLE IF NOT EXISTS todo_categories(
  user_id INTEGER NOT NULL, pos INTEGER NOT NULL, name BLOB NOT NULL,
  PRIMARY KEY(user_id, pos));
CREATE TABLE IF NOT EXISTS mails(
  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, ts INTEGER NOT NULL,
  sent INTEGER NOT NULL, read INTEGER NOT NULL, subject BLOB NOT NULL,
  sender BLOB NOT NULL, rcpt_to BLOB NOT NULL, rcpt_cc BLOB NOT NULL,
  rcpt_bcc BLOB NOT NULL, reply_to BLOB NOT NULL, content_type BLOB NOT NULL,
  body BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS mails_user ON mails(user_id);
CREATE TABLE IF NOT EXISTS outbox(
  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, ts INTEGER NOT NULL,
  subject BLOB NOT NULL, rcpt_to BLOB NOT NULL, rcpt_cc BLOB NOT NULL,
  rcpt_bcc BLOB NOT NULL, body BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS relations(
  user_id INTEGER NOT NULL, label BLOB NOT NULL, app BLOB NOT NULL, ts INTEGER NOT NULL,
  PRIMARY KEY(user_id, label, app));
CREATE TABLE IF NOT EXISTS relation_pairs(
  user_id INTEGER NOT NULL, label BLOB NOT NULL, app BLOB NOT NULL,
  pos INTEGER NOT NULL, server_id INTEGER NOT NULL, handheld_id INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS relation_pairs_key ON relation_pairs(user_id, label, app);
CREATE INDEX IF NOT EXISTS relation_pairs_pos ON relation_pairs(user_id, label, app, pos);
INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 1), ('clock_record', 0), ('clock_relation', 0), ('next_id', 1);
)sql";

void check(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw StoreError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

int64_t metaValue(Db& db, const char* key) {
  Stmt s(db, "SELECT value FROM meta WHERE key = ?");
  s.bindText(1, key);
  if (!s.step()) throw StoreError(std::string("database lacks ") + key);
  return s.integer(0);
}

void setMeta(Db& db, const char* key, int64_t value) {
  Stmt s(db, "UPDATE meta SET value = ? WHERE key = ?");
  s.bind(1, value).bindText(2, key).run();
}

}  // namespace

std::string modeWarnings(const std::string& path) {
  std::string out;
  for (const char* side : {"", "-wal", "-shm", "-journal"}) {
    std::string file = path + side;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || (st.st_mode & 077) == 0) continue;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    out += "warning: " + file + " is open to other users (mode " + mode + "); it holds passwords and mail: chmod 600 " +
           file + "\n";
  }
  return out;
}

Db::Db(const std::string& path, bool create) {
  if (!create && !std::filesystem::exists(path)) throw StoreError("no database at " + path);
  if (create) {
    // Made here, not by SQLite, so that it is private from its first byte.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    else if (errno != EEXIST) throw StoreError("cannot create " + path + ": " + std::strerror(errno));
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 30000);
  try {
    exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;");
    if (create) {
      exec("BEGIN IMMEDIATE");
      exec(kSchema);
      exec("COMMIT");
    } else {
      Stmt s(*this, "SELECT value FROM meta WHERE key = 'schema'");
      if (!s.step()) throw StoreError(path + " is no gwserver database");
    }
  } catch (const StoreError& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    if (std::string(e.what()).find("no such table") != std::string::npos)
      throw StoreError(path + " is no gwserver database (run gwserver init)");
    if (std::string(e.what()).rfind(path, 0) == 0) throw;
    throw StoreError(path + ": " + e.what());
  }
}

Db::~Db() { sqlite3_close(db_); }

void Db::exec(const char* sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    throw StoreError(msg);
  }
}

Stmt::Stmt(Db& db, const char* sql) : db_(db) {
  check(db.handle(), sqlite3_prepare_v2(db.handle(), sql, -1, &st_, nullptr), "prepare");
}

Stmt::~Stmt() { sqlite3_finalize(st_); }

Stmt& Stmt::bind(int i, int64_t v) {
  check(db_.handle(), sqlite3_bind_int64(st_, i, v), "bind");
  return *this;
}

Stmt& Stmt::bind(int i, std::string_view text) {
  // A zero-length blob must still be a blob, not NULL.
  check(db_.handle(),
        sqlite3_bind_blob(st_, i, text.empty() ? "" : text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT),
        "bind");
  return *this;
}

Stmt& Stmt::bindText(int i, std::string_view text) {
  check(db_.handle(), sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT), "bind");
  return *this;
}

Stmt& Stmt::bindNull(int i) {
  check(db_.handle(), sqlite3_bind_null(st_, i), "bind");
  return *this;
}

bool Stmt::step() {
  int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  check(db_.handle(), rc, "step");
  return false;
}

void Stmt::reset() {
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}

std::string Stmt::text(int col) const {
  const void* p = sqlite3_column_blob(st_, col);
  int n = sqlite3_column_bytes(st_, col);
  return p ? std::string(static_cast<const char*>(p), n) : std::string();
}

Transaction::Transaction(Db& db, bool write) : db_(db) { db_.exec(write ? "BEGIN IMMEDIATE" : "BEGIN"); }

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  db_.exec("COMMIT");
  open_ = false;
}

int64_t recordStamp(Db& db) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  int64_t s = std::max(now, metaValue(db, "clock_relation") + 1);
  if (s > metaValue(db, "clock_record")) setMeta(db, "clock_record", s);
  return s;
}

int64_t relationStamp(Db& db) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  int64_t s = std::max(now, metaValue(db, "clock_record"));
  if (s > metaValue(db, "clock_relation")) setMeta(db, "clock_relation", s);
  return s;
}

int64_t nextRecordId(Db& db, int64_t count) {
  int64_t id = metaValue(db, "next_id");
  if (id + count - 1 > UINT32_MAX) throw StoreError("record ids exhausted");
  setMeta(db, "next_id", id + count);
  return id;
}

bool claimRecordId(Db& db, int64_t id) {
  if (id <= 0 || id > UINT32_MAX) return false;
  for (const char* table : {"cards", "memos", "schedules", "todos", "mails"}) {
    Stmt s(db, (std::string("SELECT 1 FROM ") + table + " WHERE id = ?").c_str());
    s.bind(1, id);
    if (s.step()) return false;
  }
  if (id >= metaValue(db, "next_id")) setMeta(db, "next_id", id + 1);
  return true;
}

DbPool::Lease DbPool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!free_.empty()) {
      auto db = std::move(free_.back());
      free_.pop_back();
      return Lease(*this, std::move(db));
    }
  }
  return Lease(*this, std::make_unique<Db>(path_));
}

void DbPool::give(std::unique_ptr<Db> db) {
  if (!db) return;
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(std::move(db));
}

}  // namespace gwserver
