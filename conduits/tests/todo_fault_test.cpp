// Every Sync Manager call of a to-do HotSync failing at its N-th call, for
// every N, through the real conduit, hotsync and gwserver: after the failed
// run and a clean one, every to-do of either side is on both sides once,
// in its category.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "conduits/tests/e2e.h"

namespace {

using ByName = std::multimap<std::string, std::string>;  // description -> category

class ToDoRun : public e2e::HotSyncRun {
 public:
  ToDoRun() {
    conduit_ = "todoconduit";
    configure(server_.url(), "taro", "taro-pw", 0);
    EXPECT_EQ(hh({"category", "todo", "add", "Golf"}).status, 0);
    EXPECT_EQ(hh({"add", "todo", "--description", "Tee time", "--category", "Golf"}).status, 0);
    EXPECT_EQ(hh({"add", "todo", "--description", "Taxes", "--due", "2027-04-15", "--category", "Business"}).status, 0);
    EXPECT_EQ(hh({"add", "todo", "--description", "Plain", "--completed"}).status, 0);
    import(
        "todo\t-\t-\t2026/12/20\t1\t0\t\tErrands\tPost office\t\n"
        "todo\t-\t-\t\t3\t1\t2026/12/1\t\tKettle\tleaks\n");
  }
  ByName handheld() const {
    palm::Database db = database("ToDoDB");
    palm::CategoryBlock block;
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    ByName out;
    for (const palm::Record& r : db.records) {
      palm::ToDoRecord t;
      if (r.live() && palm::parseToDo(r.data, t, nullptr)) out.emplace(t.description, block.names[r.category]);
    }
    return out;
  }
  ByName server() const {
    ByName out;
    for (const e2e::Fields& f : server_.exported(serverUser_, "todo")) out.emplace(f.at(8), f.at(7));
    return out;
  }
};

TEST(ToDoFaults, EverySyncManagerCallFailingLosesOrDoublesNoToDo) {
  const ByName expectedHandheld = {{"Tee time", "Golf"},
                                   {"Taxes", "Business"},
                                   {"Plain", "Unfiled"},
                                   {"Post office", "Errands"},
                                   {"Kettle", "Unfiled"}};
  const ByName expectedServer = {
      {"Tee time", "Golf"}, {"Taxes", "Business"}, {"Plain", ""}, {"Post office", "Errands"}, {"Kettle", ""}};
  const int calls = e2e::sweepSyncManagerFaults<ToDoRun>([&](ToDoRun& run) {
    EXPECT_EQ(run.handheld(), expectedHandheld);
    EXPECT_EQ(run.server(), expectedServer);
    EXPECT_EQ(run.server_.relations(run.serverUser_, "SyncToDo").size(), 5u);
  });
  EXPECT_GT(calls, 10);
  std::cout << calls << " calls faulted\n";
}

}  // namespace
