// `hotsync` killed with SIGKILL at moments spread over a whole run, then run
// again cleanly: every record is on both sides, the server holds each once,
// and the pairs are one to one. The one thing a kill may leave is a record
// written to the handheld whose pairing never reached the server: the next
// run writes it again. Only records new on the server in the killed run can
// be doubled that way, and the test checks that nothing else is.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "conduits/tests/e2e.h"

namespace {

using Clock = std::chrono::steady_clock;

class AddressCrash : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  AddressCrash() { configure(server_.url(), "taro", "taro-pw", 0); }

  // Starts a sync and kills it after delay; true when it was still running.
  bool killedAfter(std::chrono::milliseconds delay) {
    std::fflush(stdout);
    std::vector<std::string> args = {e2e::bin("hotsync"), "sync",          "--handheld", handheld_.string(),
                                     "--user",            handheldUser(), "--userdir",  userDir_.string(),
                                     "--conduit",         e2e::lib("addressconduit")};
    pid_t pid = fork();
    if (pid == 0) {
      if (!freopen("/dev/null", "w", stdout)) _exit(126);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    std::this_thread::sleep_for(delay);
    bool running = ::kill(pid, SIGKILL) == 0;
    int status = 0;
    waitpid(pid, &status, 0);
    return running && WIFSIGNALED(status);
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
  std::string lines;
  for (int i = 0; i < 15; ++i) lines += "card\t-\t-\t1\t\t-2=Base" + std::to_string(i) + "\n";
  import(lines);
  auto t0 = Clock::now();
  ASSERT_EQ(sync().status, 0);
  // The kill points are spread over the time a whole run takes here (the
  // last clean run's).
  auto run = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
  std::set<std::string> expected;
  for (int i = 0; i < 15; ++i) expected.insert("Base" + std::to_string(i));

  int killed = 0;
  for (int point = 0; point < 20; ++point) {
    SCOPED_TRACE("kill point " + std::to_string(point));
    // New on each side before every run: they must arrive once.
    const std::string hhName = "Hand" + std::to_string(point);
    const std::string gwName = "Serv" + std::to_string(point);
    hhAdd({"--last", hhName});
    import("card\t-\t-\t1\t\t-2=" + gwName + "\n");
    expected.insert(hhName);
    expected.insert(gwName);

    killed += killedAfter(std::chrono::duration_cast<std::chrono::milliseconds>(run * point / 20));
    t0 = Clock::now();
    testutil::CommandResult clean = sync();
    ASSERT_EQ(clean.status, 0) << clean.out;
    run = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);

    std::map<std::string, int> hh = handheldCounts(), gw = serverCounts();
    for (const std::string& name : expected) {
      EXPECT_EQ(gw[name], 1) << name << " on the server";
      EXPECT_GE(hh[name], 1) << name << " lost on the handheld";
      if (name.rfind("Serv", 0) != 0) {
        EXPECT_EQ(hh[name], 1) << name << " doubled on the handheld";
      }
    }
    EXPECT_EQ(gw.size(), expected.size());
    // Each related pair joins a record and a card of the same name.
    std::set<DWORD> related;
    std::map<DWORD, std::string> hhNames;
    for (const e2e::Address& a : addresses()) hhNames[a.record.uniqueId] = a.field(palm::kLastName);
    for (const auto& [server, handheld] : relations()) {
      EXPECT_TRUE(related.insert(handheld).second);
      EXPECT_TRUE(hhNames.count(handheld)) << "pair with a missing handheld record";
    }
  }
  // The kills must have fallen inside runs, not only after them.
  EXPECT_GE(killed, 8);
}

}  // namespace
