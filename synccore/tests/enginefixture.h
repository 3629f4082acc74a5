// The fixture of the engine's whole-sync tests: the in-memory handheld and
// server data source, one run as a conduit makes it, and the check that both
// sides hold the same records, related one to one.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "synccore/synccore.h"
#include "synccore/tests/logcapture.h"
#include "synccore/tests/memgw.h"
#include "synccore/tests/memhh.h"
#include "testutil/files.h"

namespace enginetest {

using Names = std::multiset<std::string>;

class EngineTest : public ::testing::Test {
 protected:
  // One run as a conduit makes it: open, sync, close.
  bool sync(bool singleCommit = true) {
    gw_.newRun();
    CSyncCore core(hh_, gw_, singleCommit);
    if (!core.openSync("Test Book", 30)) return false;
    bool ok = core.doSync();
    core.closeSync();
    lastFlags_ = core.getFlags();
    return ok;
  }
  Names serverNames() const {
    Names n;
    for (const auto& [id, s] : gw_.records()) n.insert(s.name);
    return n;
  }
  Names handheldNames() const { return hh_.liveNames(); }
  DWORD hhIdOf(const std::string& name) const { return hh_.idOf(name); }
  DWORD gwIdOf(const std::string& name) const {
    for (const auto& [id, s] : gw_.records())
      if (s.name == name) return id;
    return 0;
  }
  // Both sides hold the same records, each server record related to exactly
  // one handheld record of the same name and the other way round.
  void expectInStep(const Names& expected) {
    EXPECT_EQ(serverNames(), expected);
    EXPECT_EQ(handheldNames(), expected);
    std::set<DWORD> gwSeen, hhSeen;
    for (const __REL_DATA& r : gw_.relations()) {
      ASSERT_TRUE(gw_.records().count(r.nServerID)) << "relation to a missing server record " << r.nServerID;
      ASSERT_TRUE(hh_.store.count(r.nHandheldID)) << "relation to a missing handheld record " << r.nHandheldID;
      EXPECT_EQ(gw_.records().at(r.nServerID).name, hh_.store.at(r.nHandheldID).name);
      EXPECT_TRUE(gwSeen.insert(r.nServerID).second) << "server record related twice";
      EXPECT_TRUE(hhSeen.insert(r.nHandheldID).second) << "handheld record related twice";
    }
    EXPECT_EQ(gwSeen.size(), gw_.records().size());
    EXPECT_EQ(hhSeen.size(), handheldNames().size());
    for (const auto& [id, s] : hh_.store) EXPECT_FALSE(s.dirty) << s.name << " still marked changed";
  }
  // An initial sync of A, B, C from the handheld, then the clock moves on.
  void startInStep() {
    for (const char* n : {"A", "B", "C"}) hh_.addRecord(n);
    ASSERT_TRUE(sync());
    expectInStep({"A", "B", "C"});
    ASSERT_EQ(hh_.lastSyncTime, 1000u);
    gw_.setClock(2000);
    log_.clear();
  }
  void changeOnHandheld(const std::string& from, const std::string& to) {
    auto& s = hh_.store.at(hhIdOf(from));
    s.name = to;
    s.dirty = true;
  }
  void deleteOnHandheld(const std::string& name) {
    auto& s = hh_.store.at(hhIdOf(name));
    s.deleted = true;
    s.dirty = true;
  }
  int messages(const std::string& part) const { return log_.count(part); }

  testutil::TempDir dir_{"engine"};
  testutil::LogCapture log_{dir_.path()};
  CGWSession session_;
  testgw::MemGWDataSrc gw_{session_};
  testhh::MemHH hh_;
  WORD lastFlags_ = 0;
};

}  // namespace enginetest
