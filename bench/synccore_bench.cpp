// A two-way memo sync at scale: the in-memory handheld against a real
// gwserver on loopback. The initial run brings 5,000 memos from each side to
// the other (10,000 in step afterwards); the second run moves 100 changes
// made on each side. Reported for each run: wall time, HTTP requests (lines
// of `gwserver serve --log`) and the process's peak resident memory so far.
// Nothing is asserted.
//
//   build/bin/synccore_bench [MEMOS_PER_SIDE] [CHANGES_PER_SIDE]   defaults: 5000 100
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "synccore/gwmemo.h"
#include "synccore/gwsession.h"
#include "synccore/synccore.h"
#include "synccore/tests/memhh.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

using Clock = std::chrono::steady_clock;

using testhh::MemoConversion;

long peakKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

long lineCount(const std::string& path) {
  std::ifstream in(path);
  long n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

bool openSession(CGWSession& session, const std::string& url) {
  return session.open(url.c_str(), nullptr, nullptr, nullptr, 0) && session.login("bench", "bench-pw") == GWLOGIN_OK &&
         session.setLabel("Palm", 1);
}

}  // namespace

int main(int argc, char** argv) {
  const int perSide = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int changes = argc > 2 ? std::atoi(argv[2]) : 100;
  testutil::TempDir dir("synccore_bench");
  const std::string requestLog = (dir.path() / "requests.log").string();
  testutil::GwServer server(dir.path());
  server.addUser("bench", "bench-pw");
  server.admin({"settings", server.db(), "Palm"}, "m,Sync,0\n");
  std::string lines = "gwserver-export 1\n";
  for (int i = 0; i < perSide; ++i)
    lines += "memo\t-\t-\tserver memo " + std::to_string(i) + "\tbody of server memo " + std::to_string(i) + "\n";
  if (server.admin({"import", server.db(), "bench"}, lines).status != 0) return 1;
  server.setErrorLog(requestLog);
  server.start({"--log"});

  MemoConversion conv;
  testhh::MemHH hh;
  hh.records.conv = &conv;
  for (int i = 0; i < perSide; ++i) {
    DWORD id = hh.addRecord("handheld memo " + std::to_string(i));
    hh.store.at(id).body = "body of handheld memo " + std::to_string(i);
  }

  auto run = [&](const char* what) {
    long requestsBefore = lineCount(requestLog);
    auto t0 = Clock::now();
    CGWSession session;
    bool ok = openSession(session, server.url());
    if (ok) {
      CGWMemoDataSrc gw(session);
      CSyncCore core(hh, gw, true);
      ok = core.openSync("Memo Pad", 30);
      if (ok) {
        ok = core.doSync();
        core.closeSync();
      }
    }
    session.close();
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::printf("%-34s %s  %9.1f ms  %6ld requests  peak %7ld KiB  handheld %zu records\n", what, ok ? "ok  " : "FAIL",
                ms, lineCount(requestLog) - requestsBefore, peakKb(), hh.store.size());
    return ok;
  };

  std::printf("memos per side %d, changes per side %d; peak before any sync %ld KiB\n", perSide, changes, peakKb());
  if (!run("initial sync")) return 1;

  // The changes: a second later than the last sync so the server's stamps
  // are newer than the relation data's.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  {
    CGWSession session;
    if (!openSession(session, server.url())) return 1;
    CMemoConnection memos(session.getOfficeSession());
    int changed = 0;
    for (const __MEMO_DATA* m = memos.FindFirst(); m && changed < changes; m = memos.FindNext()) {
      if (std::string(m->pszName).rfind("server memo", 0) != 0) continue;
      std::string name = std::string(m->pszName) + " (changed on the server)";
      if (!memos.Set(m->nID, m->nTimeStamp, name.c_str(), m->pszData, 0)) return 1;
      ++changed;
    }
    if (!memos.Commit()) return 1;
  }
  int changed = 0;
  for (auto& [id, s] : hh.store) {
    if (changed == changes) break;
    if (s.name.rfind("handheld memo", 0) != 0) continue;
    s.name += " (changed on the handheld)";
    s.dirty = true;
    ++changed;
  }
  if (!run("second sync (changes on each side)")) return 1;

  // What arrived where, so that the numbers above are of a run that moved
  // the changes.
  int onHandheld = 0, onServer = 0, serverCount = 0;
  for (const auto& [id, s] : hh.store) onHandheld += s.name.find("(changed on the server)") != std::string::npos;
  {
    CGWSession session;
    if (!openSession(session, server.url())) return 1;
    CMemoConnection memos(session.getOfficeSession());
    for (const __MEMO_DATA* m = memos.FindFirst(); m; m = memos.FindNext()) {
      ++serverCount;
      onServer += std::string(m->pszName).find("(changed on the handheld)") != std::string::npos;
    }
  }
  std::printf("server holds %d memos; %d handheld changes reached it, %d server changes reached the handheld\n",
              serverCount, onServer, onHandheld);
  return 0;
}
