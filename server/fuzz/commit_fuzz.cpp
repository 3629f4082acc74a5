// libFuzzer target for commit bodies: the first byte picks a page, the rest is
// the form body. Whatever comes, the commit is applied or refused whole; a
// refusal must leave every table as it was (checked here, abort otherwise).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/admin.h"
#include "server/pages.h"
#include "server/service.h"
#include "server/store.h"

// How many inputs were applied and refused (read by the seeded test).
namespace gwfuzz {
int applied = 0;
int refused = 0;
}  // namespace gwfuzz

namespace {

std::string& databasePath() {
  static std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/gw-commit-fuzz-" +
                            std::to_string(::getpid()) + ".db";
  return path;
}

gwserver::Db* g_db = nullptr;

// Closed and removed by an exit handler, not a static destructor, so that the
// order of destruction at exit cannot matter.
void closeDatabase() {
  delete g_db;
  g_db = nullptr;
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((databasePath() + suffix).c_str());
}

gwserver::Db& database() {
  if (!g_db) {
    const std::string& path = databasePath();
    std::remove(path.c_str());
    gwserver::initDatabase(path);
    g_db = new gwserver::Db(path);
    gwserver::addUser(*g_db, "fuzz", "pw");
    gwserver::addItem(*g_db, "Company", "Text");
    std::atexit(closeDatabase);
  }
  return *g_db;
}

// Row counts of every table that a commit writes.
std::string fingerprint(gwserver::Db& db) {
  std::string out;
  for (const char* table : {"cards", "card_values", "memos", "schedules", "todos", "todo_categories", "outbox",
                            "relations", "relation_pairs"}) {
    gwserver::Stmt s(db, (std::string("SELECT COUNT(*), TOTAL(rowid) FROM ") + table).c_str());
    s.step();
    out += std::to_string(s.integer(0)) + ":" + s.text(1) + ";";
  }
  return out;
}

const char* const kPages[] = {"SyncMemo",         "SyncAddress", "SyncCalendar", "SyncToDo",
                              "SyncToDoCategory", "SyncMail",    "SyncRelation"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  gwserver::Db& db = database();
  std::string page = kPages[data[0] % (sizeof kPages / sizeof kPages[0])];
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string before = fingerprint(db);
  try {
    gwserver::pages::commit(db, 1, page, gwserver::decodeForm(body));
    ++gwfuzz::applied;
  } catch (const gwserver::Refusal&) {
    ++gwfuzz::refused;
    if (fingerprint(db) != before) {
      std::fprintf(stderr, "a refused %s commit changed the data\n", page.c_str());
      std::abort();
    }
  }
  return 0;
}
