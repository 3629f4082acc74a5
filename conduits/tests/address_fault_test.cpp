// Every Sync Manager call a HotSync of the Address Book makes, failing at its
// N-th call (once, and from then on for good) for every N, through the real
// conduit, hotsync and gwserver: after the failed run and a clean one, both
// sides hold what a run without faults leaves, each record once.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "conduits/tests/e2e.h"

namespace {

namespace fs = std::filesystem;

using Side = std::multiset<std::string>;  // "last|title" of every record

struct State {
  Side handheld;
  Side server;
};

class AddressFaults : public ::testing::TestWithParam<bool>, public e2e::HotSyncRun {
 protected:
  AddressFaults() { configure(server_.url(), "taro", "taro-pw", 0); }

  // Changes on both sides since a first sync: new, changed and deleted
  // records on each, and one changed on both (the server's version wins).
  void prepare() {
    import("card\t-\t-\t1\t\t-2=S1\ncard\t-\t-\t1\t\t-2=S2\ncard\t-\t-\t1\t\t-2=Both\n");
    DWORD h1 = hhAdd({"--last", "H1"});
    DWORD h2 = hhAdd({"--last", "H2"});
    ASSERT_EQ(sync().status, 0);
    ASSERT_EQ(hh({"edit", "address", std::to_string(h1), "--title", "hh"}).status, 0);
    ASSERT_EQ(hh({"delete", "address", std::to_string(h2)}).status, 0);
    hhAdd({"--last", "H3"});
    for (const e2e::Address& a : addresses()) {
      if (a.field(palm::kLastName) == "Both") {
        ASSERT_EQ(hh({"edit", "address", std::to_string(a.record.uniqueId), "--title", "hh"}).status, 0);
      }
    }
    changeCard("S1", [](const e2e::Card& c) {
      auto v = c.items;
      v[5] = "gw";
      return v;
    });
    changeCard("Both", [](const e2e::Card& c) {
      auto v = c.items;
      v[5] = "gw";
      return v;
    });
    changeCard("S2", [](const e2e::Card&) { return std::map<long, std::string>{}; });
    import("card\t-\t-\t1\t\t-2=S3\n");
    // The starting point every faulted run begins from.
    fs::copy(handheld_, dir_ / "start-palm", fs::copy_options::recursive);
    serverStart_ = exportText();
  }
  void restore() {
    fs::remove_all(handheld_);
    fs::copy(dir_ / "start-palm", handheld_, fs::copy_options::recursive);
    ASSERT_EQ(server_.admin({"import", server_.db(), "taro", "--replace"}, serverStart_).status, 0);
  }
  State state() {
    State s;
    for (const e2e::Address& a : addresses()) s.handheld.insert(a.field(palm::kLastName) + "|" + a.field(palm::kTitle));
    for (const e2e::Card& c : cards()) s.server.insert(c.item(-2) + "|" + c.item(5));
    return s;
  }
  std::string serverStart_;
};

TEST_P(AddressFaults, EverySyncManagerCallFailingLosesAndDoublesNothing) {
  const bool persistent = GetParam();
  prepare();
  ASSERT_EQ(sync().status, 0);
  const State expected = state();
  EXPECT_EQ(expected.handheld, (Side{"H1|hh", "H3|", "S1|gw", "S3|", "Both|gw"}));
  EXPECT_EQ(expected.server, expected.handheld);

  int faults = 0;
  for (const char* function :
       {"SyncRegisterConduit", "SyncUnRegisterConduit", "SyncOpenDB", "SyncCloseDB", "SyncGetDBRecordCount",
        "SyncReadRecordByIndex", "SyncReadRecordById", "SyncReadNextModifiedRec", "SyncResetRecordIndex",
        "SyncWriteRec", "SyncDeleteRec", "SyncResetSyncFlags", "SyncPurgeDeletedRecs", "SyncReadDBAppInfoBlock",
        "SyncWriteDBAppInfoBlock", "SyncAddLogEntry", "SyncFlushDBs"}) {
    // A handheld whose deletes fail for good cannot take back what a failed
    // run added: the window the engine's sweep shows, left out here.
    if (persistent && std::string(function) == "SyncDeleteRec") continue;
    for (int call = 1; call < 50; ++call) {
      SCOPED_TRACE(std::string(function) + " failing at call " + std::to_string(call));
      restore();
      if (!syncFailing(std::string(function) + "@" + std::to_string(call) + (persistent ? "+" : ""))) {
        EXPECT_EQ(lastRun_.status, 0) << lastRun_.out;
        break;
      }
      ++faults;
      testutil::CommandResult clean = sync();
      ASSERT_EQ(clean.status, 0) << lastRun_.out << clean.out;
      State after = state();
      EXPECT_EQ(after.handheld, expected.handheld) << lastRun_.out;
      EXPECT_EQ(after.server, expected.server) << lastRun_.out;
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(faults, 20);
}

// Every request of a whole run refused by the server at its N-th place:
// with an HTTP error, with an error line, or with the connection dropped.
TEST_F(AddressFaults, EveryServerRequestFailingLosesAndDoublesNothing) {
  prepare();
  ASSERT_EQ(sync().status, 0);
  const State expected = state();
  int faults = 0;
  for (const char* kind : {"status=503", "error=16400", "drop=1"}) {
    for (int skip = 0; skip < 30; ++skip) {
      SCOPED_TRACE(std::string(kind) + " at request " + std::to_string(skip + 1));
      restore();
      armFault(std::string("page=*&skip=") + std::to_string(skip) + "&" + kind);
      testutil::CommandResult faulted = sync();
      armFault("page=*&count=0");
      if (faulted.status == 0) {
        EXPECT_EQ(state().handheld, expected.handheld) << faulted.out;
        break;
      }
      ++faults;
      testutil::CommandResult clean = sync();
      ASSERT_EQ(clean.status, 0) << faulted.out << clean.out;
      State after = state();
      EXPECT_EQ(after.handheld, expected.handheld) << faulted.out;
      EXPECT_EQ(after.server, expected.server) << faulted.out;
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(faults, 10);
}

INSTANTIATE_TEST_SUITE_P(Faults, AddressFaults, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "FromTheNthCallOn" : "AtTheNthCall";
                         });

}  // namespace
