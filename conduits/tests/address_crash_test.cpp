// `hotsync` killed with SIGKILL, then run again cleanly: every record is on
// both sides once each, and the pairs are one to one and join records of the
// same name. The kills fall at moments spread over a whole run, and then
// before every Sync Manager call of a run in turn. A record the killed run
// wrote to the handheld before its pairing reached the server is related by
// the next run from the handheld's pairing note, not written again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "conduits/tests/e2e.h"

namespace {

using Clock = std::chrono::steady_clock;

class AddressCrash : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  AddressCrash() { configure(server_.url(), "taro", "taro-pw", 0); }

  // Starts a sync and kills it after delay (or lets the Sync Manager stand-in
  // kill it at a call, with killAt); true when it died by the kill.
  bool killedAfter(std::chrono::milliseconds delay, int killAt = 0) {
    std::fflush(stdout);
    std::vector<std::string> args = {
        e2e::bin("hotsync"), "sync",      "--handheld",      handheld_.string(), "--user",
        handheldUser(),      "--userdir", userDir_.string(), "--conduit",        e2e::lib("addressconduit")};
    std::string fault = "*@" + std::to_string(killAt) + "!";
    pid_t pid = fork();
    if (pid == 0) {
      if (!freopen("/dev/null", "w", stdout)) _exit(126);
      if (killAt > 0) setenv("GWSYNC_SYNC20_FAULT", fault.c_str(), 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (killAt == 0) {
      std::this_thread::sleep_for(delay);
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  // Imports cards new on the server, with these last names.
  void importCards(const std::vector<std::string>& lastNames) {
    std::string lines;
    for (const std::string& name : lastNames) lines += "card\t-\t-\t1\t\t-2=" + name + "\n";
    import(lines);
  }

  // For every N until a run completes: setup(N), a sync killed just before
  // its N-th Sync Manager call, then a clean sync, after which expected must
  // hold. Returns how many runs were killed.
  int killBeforeEveryCall(const std::function<void(int)>& setup, const std::set<std::string>& expected) {
    int killed = 0;
    for (int call = 1; call < 300; ++call) {
      SCOPED_TRACE("killed before Sync Manager call " + std::to_string(call));
      setup(call);
      if (HasFailure()) break;
      bool died = killedAfter(std::chrono::milliseconds(0), call);
      if (died) ++killed;
      testutil::CommandResult clean = sync();
      EXPECT_EQ(clean.status, 0) << clean.out;
      if (clean.status == 0) expectEachOnce(expected);
      if (HasFailure() || !died) break;
    }
    return killed;
  }

  // After a clean run: each expected name once on each side, nothing else,
  // and every pair joins a record and a card of the same name.
  void expectEachOnce(const std::set<std::string>& expected) {
    std::map<std::string, int> hh = handheldCounts(), gw = serverCounts();
    for (const std::string& name : expected) {
      EXPECT_EQ(gw[name], 1) << name << " on the server";
      EXPECT_EQ(hh[name], 1) << name << " on the handheld";
    }
    EXPECT_EQ(gw.size(), expected.size());
    EXPECT_EQ(hh.size(), expected.size());
    std::map<DWORD, std::string> hhNames;
    for (const e2e::Address& a : addresses()) hhNames[a.record.uniqueId] = a.field(palm::kLastName);
    std::map<DWORD, std::string> gwNames;
    for (const e2e::Card& c : cards()) gwNames[c.id] = c.item(-2);
    std::set<DWORD> related;
    for (const auto& [server, handheld] : relations()) {
      EXPECT_TRUE(related.insert(handheld).second) << "handheld record paired twice";
      ASSERT_TRUE(hhNames.count(handheld)) << "pair with a missing handheld record";
      EXPECT_EQ(hhNames[handheld], gwNames[server]) << "pair of different records";
    }
    EXPECT_EQ(related.size(), expected.size());
  }

  std::map<std::string, int> handheldCounts() {
    std::map<std::string, int> n;
    for (const e2e::Address& a : addresses()) ++n[a.field(palm::kLastName)];
    return n;
  }
  std::map<std::string, int> serverCounts() {
    std::map<std::string, int> n;
    for (const e2e::Card& c : cards()) ++n[c.item(-2)];
    return n;
  }
};

TEST_F(AddressCrash, AKilledRunLosesNothingAndTheNextRunCompletesIt) {
  std::set<std::string> expected;
  for (int i = 0; i < 15; ++i) expected.insert("Base" + std::to_string(i));
  importCards({expected.begin(), expected.end()});
  auto t0 = Clock::now();
  ASSERT_EQ(sync().status, 0);
  // The kill points are spread over the time a whole run takes here (the
  // last clean run's).
  auto run = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);

  int killed = 0;
  for (int point = 0; point < 20; ++point) {
    SCOPED_TRACE("kill point " + std::to_string(point));
    // New on each side before every run: they must arrive once.
    const std::string hhName = "Hand" + std::to_string(point);
    const std::string gwName = "Serv" + std::to_string(point);
    hhAdd({"--last", hhName});
    importCards({gwName});
    expected.insert(hhName);
    expected.insert(gwName);

    killed += killedAfter(std::chrono::duration_cast<std::chrono::milliseconds>(run * point / 20));
    t0 = Clock::now();
    testutil::CommandResult clean = sync();
    ASSERT_EQ(clean.status, 0) << clean.out;
    run = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);

    expectEachOnce(expected);
    if (HasFailure()) break;
  }
  // The kills must have fallen inside runs, not only after them.
  EXPECT_GE(killed, 8);
}

// Killed just before the N-th Sync Manager call, for every N until a run
// completes: each kill point once, with records new on each side.
TEST_F(AddressCrash, KilledBeforeEverySyncManagerCallLosesAndDoublesNothing) {
  std::set<std::string> expected;
  for (int i = 0; i < 5; ++i) expected.insert("Base" + std::to_string(i));
  importCards({expected.begin(), expected.end()});
  ASSERT_EQ(sync().status, 0);

  int killed = killBeforeEveryCall(
      [&](int call) {
        // Two new on the server, so that kill points fall between a handheld add
        // and the commit of its pairing.
        const std::string hhName = "Hand" + std::to_string(call);
        const std::string gwName = "Serv" + std::to_string(call);
        hhAdd({"--last", hhName});
        importCards({gwName + "a", gwName + "b"});
        for (const std::string& name : {hhName, gwName + "a", gwName + "b"}) expected.insert(name);
      },
      expected);
  EXPECT_GE(killed, 20);
}

// A first sync killed before each of its Sync Manager calls, then run again
// (a first sync again): each point starts from a fresh handheld and a fresh
// server account, with records on both.
TEST_F(AddressCrash, AKilledFirstSyncIsResumedWithoutDoubling) {
  const std::set<std::string> expected = {"HandA", "HandB", "ServA", "ServB"};
  int killed = killBeforeEveryCall(
      [&](int call) {
        serverUser_ = "first" + std::to_string(call);
        server_.addUser(serverUser_, "pw");
        configure(server_.url(), serverUser_, "pw", 0);
        handheld_ = dir_ / ("palm-" + std::to_string(call));
        ASSERT_EQ(hh({"create", handheld_.string()}).status, 0);
        hhAdd({"--last", "HandA"});
        hhAdd({"--last", "HandB"});
        importCards({"ServA", "ServB"});
      },
      expected);
  EXPECT_GE(killed, 20);
}

}  // namespace
