// Every Sync Manager call of a Date Book HotSync failing at its N-th call,
// for every N, through the real conduit, hotsync and gwserver: after the
// failed run and a clean one, every event of either side inside the window
// is on both sides once, with its repeat, and the old one on the handheld
// is still there and still unsent.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>

#include "conduits/tests/e2e.h"

namespace {

using ByName = std::multimap<std::string, std::string>;  // description -> repeat type

// The tool's YYYY-MM-DD and the server's Y/M/D of a day counted from today.
std::pair<std::string, std::string> dayFromToday(int days) {
  using namespace std::chrono;
  const time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  const year_month_day d(sys_days(year_month_day(std::chrono::year(t.tm_year + 1900),
                                                 std::chrono::month(static_cast<unsigned>(t.tm_mon + 1)),
                                                 std::chrono::day(static_cast<unsigned>(t.tm_mday)))) +
                         std::chrono::days(days));
  const int y = static_cast<int>(d.year()), m = static_cast<int>(static_cast<unsigned>(d.month())),
            dd = static_cast<int>(static_cast<unsigned>(d.day()));
  char tool[16];
  std::snprintf(tool, sizeof tool, "%04d-%02d-%02d", y, m, dd);
  return {tool, std::to_string(y) + "/" + std::to_string(m) + "/" + std::to_string(dd)};
}

class ScheduleRun : public e2e::HotSyncRun {
 public:
  ScheduleRun() {
    conduit_ = "scheduleconduit";
    configure(server_.url(), "taro", "taro-pw", 0);
    EXPECT_EQ(testutil::runCommand({e2e::bin("hotsync"), "register", "--creator", "date", "--module",
                                    e2e::lib("scheduleconduit"), "--database", "DatebookDB"})
                  .status,
              0);
    const auto soon = dayFromToday(4), old = dayFromToday(-800);
    EXPECT_EQ(hh({"add", "event", "--description", "Gym", "--date", soon.first, "--start", "18:00", "--repeat",
                  "weekly", "--alarm", "5"})
                  .status,
              0);
    EXPECT_EQ(hh({"add", "event", "--description", "Holiday", "--date", soon.first}).status, 0);
    EXPECT_EQ(hh({"add", "event", "--description", "Long ago", "--date", old.first}).status, 0);
    import("schedule\t-\t-\t\t" + soon.second + "\t\t9:00\t9:15\td\t\t0\t0\tStandup\t\t\t\n" + "schedule\t-\t-\t\t" +
           soon.second + "\t" + soon.second + "\t12:00\t13:00\t\t\t0\t0\tLunch\t\t\t\n");
  }
  ByName handheld() const {
    ByName out;
    for (const palm::Record &r : database("DatebookDB").records) {
      palm::EventRecord e;
      if (r.live() && palm::parseEvent(r.data, e, nullptr))
        out.emplace(e.description.value_or(""), e.repeat ? std::to_string(e.repeat->type) : "-");
    }
    return out;
  }
  ByName server() const {
    ByName out;
    for (const e2e::Fields &f : server_.exported(serverUser_, "schedule")) out.emplace(f.at(12), f.at(8));
    return out;
  }
};

TEST(ScheduleFaults, EverySyncManagerCallFailingLosesOrDoublesNoEvent) {
  const ByName expectedHandheld = {{"Gym", "2"}, {"Holiday", "-"}, {"Long ago", "-"}, {"Standup", "1"}, {"Lunch", "-"}};
  const ByName expectedServer = {{"Gym", "w"}, {"Holiday", ""}, {"Standup", "d"}, {"Lunch", ""}};
  const int calls = e2e::sweepSyncManagerFaults<ScheduleRun>([&](ScheduleRun &run) {
    EXPECT_EQ(run.handheld(), expectedHandheld);
    EXPECT_EQ(run.server(), expectedServer);
    EXPECT_EQ(run.server_.relations(run.serverUser_, "SyncCalendar").size(), 4u);
  });
  EXPECT_GT(calls, 10);
  std::cout << calls << " calls faulted\n";
}

}  // namespace
