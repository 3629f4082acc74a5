// The Date Book end to end: `hotsync sync` runs the schedule conduit on a
// handheld folder against a gwserver process; both sides are read back from
// their files. Dates are counted from today, since the schedule window of
// the settings (one month before, three after) moves with it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "conduits/tests/e2e.h"

namespace {

using e2e::Fields;

const std::string kKanji = "\x89\xEF\x8B\x63";  // two double-byte characters

// A day counted from today: the server's "Y/M/D" and the tool's YYYY-MM-DD.
struct Day {
  int year, month, day;
  std::string server() const { return std::to_string(year) + "/" + std::to_string(month) + "/" + std::to_string(day); }
  std::string tool() const {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
  }
  __OFFICE_DATE office() const { return {year, month, day}; }
  uint16_t handheld() const { return palm::packDate(year, month, day); }
  int weekday() const {
    const std::chrono::sys_days days(std::chrono::year_month_day(std::chrono::year(year),
                                                                 std::chrono::month(static_cast<unsigned>(month)),
                                                                 std::chrono::day(static_cast<unsigned>(day))));
    return static_cast<int>(std::chrono::weekday(days).c_encoding());
  }
};

Day fromToday(int days) {
  using namespace std::chrono;
  const time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  const sys_days today = sys_days(year_month_day(std::chrono::year(t.tm_year + 1900), std::chrono::month(t.tm_mon + 1),
                                                 std::chrono::day(t.tm_mday)));
  const year_month_day d(today + std::chrono::days(days));
  return {static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
          static_cast<int>(static_cast<unsigned>(d.day()))};
}

// A server schedule as `gwserver export` writes it.
struct ServerEvent {
  DWORD id = 0;
  std::string set, end, start, endTime, type, day, memo, exceptions;
  bool isPrivate = false;
};

// A Date Book record as the file holds it.
struct HandheldEvent {
  palm::Record record;
  palm::EventRecord fields;
};

class ScheduleSync : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  ScheduleSync() {
    conduit_ = "scheduleconduit";
    configure();
    // Registered, so that hotsync hands the conduit the Date Book's name.
    EXPECT_EQ(testutil::runCommand({e2e::bin("hotsync"), "register", "--creator", "date", "--module",
                                    e2e::lib("scheduleconduit"), "--database", "DatebookDB"})
                  .status,
              0);
  }

  void syncOk() {
    testutil::CommandResult r = sync();
    ASSERT_EQ(r.status, 0) << r.out;
  }
  DWORD hhEvent(std::vector<std::string> options) {
    options.insert(options.begin(), {"add", "event"});
    testutil::CommandResult r = hh(options);
    EXPECT_EQ(r.status, 0) << r.out;
    return static_cast<DWORD>(std::stoul(r.out));
  }
  void hhDo(const std::vector<std::string> &args) {
    testutil::CommandResult r = hh(args);
    ASSERT_EQ(r.status, 0) << r.out;
  }

  // Live events by description; none of them left dirty unless allowed.
  std::map<std::string, HandheldEvent> handheld(bool cleanOnly = true) const {
    std::map<std::string, HandheldEvent> out;
    for (const palm::Record &r : database("DatebookDB").records) {
      if (!r.live()) continue;
      HandheldEvent e;
      e.record = r;
      std::string why;
      EXPECT_TRUE(palm::parseEvent(r.data, e.fields, &why)) << why;
      if (cleanOnly) {
        EXPECT_FALSE(r.dirty) << e.fields.description.value_or("");
      }
      out[e.fields.description.value_or("")] = e;
    }
    return out;
  }
  // Server schedules by event text.
  std::map<std::string, ServerEvent> server() const {
    std::map<std::string, ServerEvent> out;
    for (const Fields &f : server_.exported(serverUser_, "schedule")) {
      ServerEvent e;
      e.id = static_cast<DWORD>(std::stoul(f.at(1)));
      e.set = f.at(4);
      e.end = f.at(5);
      e.start = f.at(6);
      e.endTime = f.at(7);
      e.type = f.at(8);
      e.day = f.at(9);
      e.isPrivate = f.at(10) != "0";
      e.memo = f.at(14);
      e.exceptions = f.size() > 15 ? f.at(15) : "";
      out[f.at(12)] = e;
    }
    return out;
  }
  size_t relationCount() const { return server_.relations(serverUser_, "SyncCalendar").size(); }

  // Changes (or, when edit answers false, removes) the server schedule of
  // that event text as another client of the server would.
  void serverEdit(const std::string &event, const std::function<bool(__SCHEDULE_DATA &)> &edit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    COfficeSession session;
    ASSERT_NO_FATAL_FAILURE(loginAsTaro(session));
    CScheduleConnection schedules(session);
    const __SCHEDULE_DATA *s = schedules.FindFirst();
    while (s && event != s->pszEvent) s = schedules.FindNext();
    ASSERT_NE(s, nullptr) << event;
    __SCHEDULE_DATA changed = *s;
    if (edit(changed)) ASSERT_NE(schedules.Set(&changed, 0), nullptr);
    else ASSERT_EQ(schedules.Remove(s->nID), 1);
    ASSERT_EQ(schedules.Commit(), 1);
    session.Close();
  }
};

std::string scheduleLine(const Day &set, const std::string &end, const std::string &times, const std::string &type,
                         const std::string &day, const std::string &event, const std::string &memo = "",
                         const std::string &exceptions = "") {
  return "schedule\t-\t-\t\t" + set.server() + "\t" + end + "\t" + times + "\t" + type + "\t" + day + "\t0\t0\t" +
         event + "\t\t" + memo + "\t" + exceptions + "\n";
}

// Every repeat type made on each side reaches the other as the same repeat.
TEST_F(ScheduleSync, EveryRepeatTypeTravelsBothWays) {
  const Day d = fromToday(7), until = fromToday(60);
  const int wd = d.weekday(), week = (d.day - 1) / 7;
  import(scheduleLine(d, until.server(), "10:00\t11:00", "d", "", "S daily") +
         scheduleLine(d, "", "10:00\t11:00", "w", "10", "S weekly") +
         scheduleLine(d, "", "10:00\t11:00", "m", std::to_string(d.day), "S monthly") +
         scheduleLine(d, "", "10:00\t11:00", "2", std::to_string(wd), "S second week") +
         scheduleLine(d, "", "10:00\t11:00", "l", std::to_string(wd), "S last week") +
         scheduleLine(d, "", "\t", "n", "", "S yearly") + scheduleLine(d, d.server(), "\t", "", "", "S untimed") +
         scheduleLine(d, d.server(), "18:00\t19:30", "", "", kKanji, "memo\\r\\nline"));
  hhEvent({"--description", "H daily", "--date", d.tool(), "--start", "08:00", "--end", "08:15", "--repeat", "daily",
           "--until", until.tool()});
  hhEvent(
      {"--description", "H weekly", "--date", d.tool(), "--start", "08:00", "--repeat", "weekly", "--on", "tue,thu"});
  hhEvent({"--description", "H by date", "--date", d.tool(), "--repeat", "monthly-by-date"});
  hhEvent({"--description", "H by day", "--date", d.tool(), "--repeat", "monthly-by-day"});
  hhEvent({"--description", "H yearly", "--date", d.tool(), "--repeat", "yearly", "--note", "cake\nand tea"});
  hhEvent({"--description", "H untimed " + kKanji, "--date", d.tool(), "--private"});
  syncOk();
  EXPECT_NE(lastOutput().find("Date Book: synchronisation finished successfully."), std::string::npos) << lastOutput();

  std::map<std::string, ServerEvent> s = server();
  ASSERT_EQ(s.size(), 14u) << exportText();
  EXPECT_EQ(s["H daily"].type, "d");
  EXPECT_EQ(s["H daily"].end, until.server());
  EXPECT_EQ(s["H daily"].start, "8:00");
  EXPECT_EQ(s["H daily"].endTime, "8:15");
  EXPECT_EQ(s["H weekly"].type, "w");
  EXPECT_EQ(s["H weekly"].day, "20");  // Tuesday and Thursday: bits 2 and 4
  EXPECT_EQ(s["H by date"].type, "m");
  EXPECT_EQ(s["H by date"].day, std::to_string(d.day));
  EXPECT_EQ(s["H by day"].type, week == 4 ? "l" : std::to_string(week + 1));
  EXPECT_EQ(s["H by day"].day, std::to_string(wd));
  EXPECT_EQ(s["H yearly"].type, "n");
  EXPECT_EQ(s["H yearly"].memo, "cake\nand tea");
  EXPECT_EQ(s["H untimed " + kKanji].type, "");
  EXPECT_EQ(s["H untimed " + kKanji].start, "");
  EXPECT_EQ(s["H untimed " + kKanji].set, d.server());
  EXPECT_TRUE(s["H untimed " + kKanji].isPrivate);

  std::map<std::string, HandheldEvent> h = handheld();
  ASSERT_EQ(h.size(), 14u);
  auto repeatOf = [&](const std::string &name) { return h[name].fields.repeat.value_or(palm::EventRepeat{}); };
  EXPECT_EQ(repeatOf("S daily").type, palm::kRepeatDaily);
  EXPECT_EQ(repeatOf("S daily").end, until.handheld());
  EXPECT_EQ(h["S daily"].fields.startHour, 10);
  EXPECT_EQ(repeatOf("S weekly").type, palm::kRepeatWeekly);
  EXPECT_EQ(repeatOf("S weekly").on, 10);
  EXPECT_EQ(repeatOf("S weekly").end, palm::kNoEnd);
  EXPECT_EQ(repeatOf("S monthly").type, palm::kRepeatMonthlyByDate);
  EXPECT_EQ(repeatOf("S second week").type, palm::kRepeatMonthlyByDay);
  EXPECT_EQ(repeatOf("S second week").on, 7 + wd);
  EXPECT_EQ(repeatOf("S last week").on, 4 * 7 + wd);
  EXPECT_EQ(repeatOf("S yearly").type, palm::kRepeatYearly);
  EXPECT_FALSE(h["S yearly"].fields.timed());
  EXPECT_FALSE(h["S untimed"].fields.repeat);
  EXPECT_EQ(h["S untimed"].fields.date, d.handheld());
  EXPECT_EQ(h[kKanji].fields.note, "memo\nline");
  EXPECT_EQ(h[kKanji].fields.endHour * 100 + h[kKanji].fields.endMinute, 1930);
  EXPECT_EQ(relationCount(), 14u);

  // Perl's Palm::Datebook reads what the conduit wrote.
  std::ofstream(dir_ / "read.pl") << R"PERL(
use strict; use warnings; use Palm::PDB; use Palm::Datebook;
my $pdb = Palm::PDB->new; $pdb->Load($ARGV[0]); my @out;
for my $r (@{$pdb->{records}}) {
  next unless $r->{description} =~ /^S /;
  my $p = $r->{repeat};
  my $on = !$p ? '' : $p->{type} == 2 ? join('', @{$p->{repeat_days}}) : $p->{type} == 3 ? "$p->{weeknum}/$p->{daynum}" : '';
  push @out, join(' ', $r->{description}, $r->{start_hour} == 255 ? 'untimed' : "$r->{start_hour}:$r->{start_minute}",
                  $p ? "repeat=$p->{type}/$p->{frequency}/$on" : 'single') . "\n";
}
print sort @out;
)PERL";
  testutil::CommandResult perl =
      testutil::runCommand({"/usr/bin/perl", (dir_ / "read.pl").string(), (handheld_ / "DatebookDB.pdb").string()});
  EXPECT_EQ(perl.out,
            "S daily 10:0 repeat=1/1/\n"
            "S last week 10:0 repeat=3/1/4/" +
                std::to_string(wd) + "\n" +
                "S monthly 10:0 repeat=4/1/\n"
                "S second week 10:0 repeat=3/1/1/" +
                std::to_string(wd) + "\n" +
                "S untimed untimed single\n"
                "S weekly 10:0 repeat=2/1/0101000\n"
                "S yearly untimed repeat=5/1/\n");

  // Settled: a run without changes changes nothing on either side.
  const std::vector<Fields> schedules = server_.exported(serverUser_, "schedule");
  const std::string file = testutil::readFile(handheld_ / "DatebookDB.pdb");
  syncOk();
  EXPECT_EQ(server_.exported(serverUser_, "schedule"), schedules);
  std::map<std::string, HandheldEvent> again = handheld();
  for (const auto &[name, e] : h) EXPECT_EQ(again[name].record.data, e.record.data) << name;
}

// Exceptions added on either side reach the other; the alarm and a repeat
// the server cannot hold stay on the handheld when the server changes the
// event; deletions travel both ways.
TEST_F(ScheduleSync, ChangesOnEachSideMergeAndDeletionsTravel) {
  const Day d = fromToday(3);
  import(scheduleLine(d, "", "9:00\t9:30", "d", "", "Standup") +
         scheduleLine(d, d.server(), "12:00\t13:00", "", "", "Server gone"));
  hhEvent({"--description", "Yoga", "--date", d.tool(), "--start", "07:00", "--repeat", "weekly", "--alarm", "10"});
  hhEvent({"--description", "Fortnightly", "--date", d.tool(), "--start", "17:00", "--repeat", "weekly", "--every", "2",
           "--alarm", "1h", "--except", fromToday(17).tool()});
  const DWORD gone = hhEvent({"--description", "Handheld gone", "--date", d.tool()});
  syncOk();
  std::map<std::string, ServerEvent> s = server();
  ASSERT_EQ(s.size(), 5u) << exportText();
  // Every second week is more than the server can hold: it has the first day.
  EXPECT_EQ(s["Fortnightly"].type, "");
  EXPECT_EQ(s["Fortnightly"].exceptions, "");

  // Each side adds an exception to a repeat; the server changes the text of
  // the fortnightly event and the time of Yoga; each side deletes one.
  const Day skip1 = fromToday(5), skip2 = fromToday(10);
  std::map<std::string, HandheldEvent> h = handheld();
  hhDo({"edit", "event", std::to_string(h["Standup"].record.uniqueId), "--except", skip1.tool()});
  hhDo({"delete", "event", std::to_string(gone)});
  std::vector<__OFFICE_DATE> exceptions = {skip2.office()};
  serverEdit("Yoga", [&](__SCHEDULE_DATA &e) {
    e.timeSet = {7, 30};
    e.timeEnd = {8, 30};
    e.nExceptionCount = 1;
    e.pExceptions = exceptions.data();
    return true;
  });
  static char renamed[] = "Fortnightly run";
  serverEdit("Fortnightly", [](__SCHEDULE_DATA &e) {
    e.pszEvent = renamed;
    return true;
  });
  serverEdit("Server gone", [](__SCHEDULE_DATA &) { return false; });
  syncOk();

  s = server();
  ASSERT_EQ(s.size(), 3u) << exportText();
  EXPECT_EQ(s["Standup"].exceptions, skip1.server());
  EXPECT_EQ(s.count("Handheld gone"), 0u);
  h = handheld();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h.count("Server gone"), 0u);
  const palm::EventRecord &yoga = h["Yoga"].fields;
  EXPECT_EQ(yoga.startHour * 100 + yoga.startMinute, 730);
  EXPECT_EQ(yoga.exceptions.value_or(std::vector<uint16_t>{}), std::vector<uint16_t>{skip2.handheld()});
  ASSERT_TRUE(yoga.alarm);
  EXPECT_EQ(yoga.alarm->advance, 10);
  const palm::EventRecord &run = h["Fortnightly run"].fields;
  ASSERT_TRUE(run.alarm && run.repeat);
  EXPECT_EQ(run.alarm->unit, palm::kAlarmHours);
  EXPECT_EQ(run.repeat->frequency, 2);
  EXPECT_EQ(run.exceptions.value_or(std::vector<uint16_t>{}), std::vector<uint16_t>{fromToday(17).handheld()});
  EXPECT_EQ(relationCount(), 3u);
}

// Events outside the window (two years ago, two hundred days ahead) are
// neither fetched, sent nor deleted on either side.
TEST_F(ScheduleSync, EventsOutsideTheWindowAreLeftAlone) {
  const Day old = fromToday(-730), soon = fromToday(2), far = fromToday(200);
  import(scheduleLine(old, old.server(), "9:00\t10:00", "", "", "Old server") +
         scheduleLine(old, "", "9:00\t10:00", "w", "2", "Old but weekly") +
         scheduleLine(soon, soon.server(), "9:00\t10:00", "", "", "Soon server"));
  const DWORD oldHH = hhEvent({"--description", "Old handheld", "--date", old.tool()});
  hhEvent({"--description", "Far handheld", "--date", far.tool()});
  hhEvent({"--description", "Soon handheld", "--date", soon.tool()});
  syncOk();
  std::map<std::string, ServerEvent> s = server();
  EXPECT_EQ(s.size(), 4u) << exportText();
  EXPECT_EQ(s.count("Old handheld"), 0u);
  EXPECT_EQ(s.count("Far handheld"), 0u);
  EXPECT_EQ(s.count("Soon handheld"), 1u);
  std::map<std::string, HandheldEvent> h = handheld(false);
  EXPECT_EQ(h.count("Old server"), 0u);
  EXPECT_EQ(h.count("Old but weekly"),
            1u);  // a repeat without end meets every window
  EXPECT_EQ(h.count("Soon server"), 1u);
  // What was not sent keeps its mark, to go once it comes into the window.
  EXPECT_TRUE(h["Old handheld"].record.dirty);
  EXPECT_TRUE(h["Far handheld"].record.dirty);
  EXPECT_FALSE(h["Soon handheld"].record.dirty);
  EXPECT_EQ(relationCount(), 3u);  // the two soon ones and the weekly

  // Deleting the old handheld event leaves the server alone; the server's
  // old event, changed, stays off the handheld.
  hhDo({"delete", "event", std::to_string(oldHH)});
  static char changed[] = "Old server changed";
  serverEdit("Old server", [](__SCHEDULE_DATA &e) {
    e.pszEvent = changed;
    return true;
  });
  syncOk();
  s = server();
  EXPECT_EQ(s.size(), 4u) << exportText();
  EXPECT_EQ(s.count("Old server changed"), 1u);
  h = handheld(false);
  EXPECT_EQ(h.count("Old handheld"), 0u);
  EXPECT_EQ(h.count("Old server changed"), 0u);
  EXPECT_EQ(h.size(), 4u);
  EXPECT_EQ(relationCount(), 3u);  // the two soon ones and the weekly
}

// A one-way sync from the server ("Down") replaces the events inside the
// window and leaves the old ones on the handheld.
TEST_F(ScheduleSync, ADownloadReplacesOnlyWhatIsInsideTheWindow) {
  std::string settings = e2e::addressSettings(0, e2e::kSampleMap);
  settings.replace(settings.find("s,Sync"), 6, "s,Down");
  setSettings(settings);
  const Day old = fromToday(-400), soon = fromToday(1);
  import(scheduleLine(soon, soon.server(), "9:00\t10:00", "", "", "From the server"));
  hhEvent({"--description", "Old handheld", "--date", old.tool()});
  hhEvent({"--description", "Soon handheld", "--date", soon.tool()});
  syncOk();
  std::map<std::string, HandheldEvent> h = handheld(false);
  EXPECT_EQ(h.count("Soon handheld"), 0u);
  EXPECT_EQ(h.count("From the server"), 1u);
  EXPECT_EQ(h.count("Old handheld"), 1u);
  EXPECT_EQ(server().size(), 1u) << exportText();
}

// A Date Book written by Perl's Palm::Datebook, as desktop tools write one,
// is read and synced: a weekly repeat with an exception and an alarm, an
// untimed private event with a note, a Shift-JIS description, and an event
// outside the window that stays where it is.
TEST_F(ScheduleSync, ADateBookWrittenByPerlIsSynced) {
  std::filesystem::remove(handheld_ / "DatebookDB.pdb");
  const Day d = fromToday(7), skip = fromToday(14), until = fromToday(60), old = fromToday(-400);
  const int wd = d.weekday(), next = (wd + 1) % 7;
  const std::string write = R"PERL(
use strict; use warnings; use Palm::PDB; use Palm::Datebook;
my ($file, $kanji, @days) = @ARGV;
my ($d, $skip, $until, $old, $wd, $next) = map { [split /-/] } @days[0..3];
($wd, $next) = @days[4..5];
my $pdb = Palm::Datebook->new; $pdb->{name} = 'DatebookDB';
sub event {
  my ($date, $description) = @_;
  my $r = $pdb->new_Record;
  ($r->{year}, $r->{month}, $r->{day}) = @$date;
  $r->{description} = $description; $r->{attributes}{dirty} = 1;
  $pdb->append_Record($r);
  return $r;
}
my $r = event($d, 'Perl weekly');
@$r{qw(start_hour start_minute end_hour end_minute)} = (9, 30, 10, 15);
my @on = (0) x 7; $on[$wd] = 1; $on[$next] = 1;
$r->{repeat} = {type => 2, frequency => 1, repeat_days => \@on, start_of_week => 0,
                end_year => $until->[0], end_month => $until->[1], end_day => $until->[2]};
$r->{exceptions} = [[$skip->[2], $skip->[1], $skip->[0]]];
$r = event($d, 'Perl untimed'); $r->{alarm} = {}; $r->{note} = "two\nlines"; $r->{attributes}{private} = 1;
$r = event($d, pack('H*', $kanji)); @$r{qw(start_hour start_minute end_hour end_minute)} = (18, 0, 19, 0);
$r = event($old, 'Perl old');
$pdb->Write($file);
)PERL";
  std::ofstream(dir_ / "write.pl") << write;
  testutil::CommandResult perl = testutil::runCommand(
      {"/usr/bin/perl", (dir_ / "write.pl").string(), (handheld_ / "DatebookDB.pdb").string(), "89ef8b63", d.tool(),
       skip.tool(), until.tool(), old.tool(), std::to_string(wd), std::to_string(next)});
  ASSERT_EQ(perl.status, 0) << perl.out;
  syncOk();

  std::map<std::string, ServerEvent> s = server();
  ASSERT_EQ(s.size(), 3u) << exportText();
  const ServerEvent &weekly = s["Perl weekly"];
  EXPECT_EQ(weekly.type, "w");
  EXPECT_EQ(weekly.day, std::to_string((1 << wd) | (1 << next)));
  EXPECT_EQ(weekly.set, d.server());
  EXPECT_EQ(weekly.end, until.server());
  EXPECT_EQ(weekly.start + "-" + weekly.endTime, "9:30-10:15");
  EXPECT_EQ(weekly.exceptions, skip.server());
  EXPECT_EQ(s["Perl untimed"].start, "");
  EXPECT_EQ(s["Perl untimed"].memo, "two\nlines");
  EXPECT_TRUE(s["Perl untimed"].isPrivate);
  EXPECT_EQ(s[kKanji].start + "-" + s[kKanji].endTime, "18:00-19:00");
  EXPECT_EQ(s.count("Perl old"), 0u);
  EXPECT_EQ(relationCount(), 3u);

  // The handheld keeps every event, the old one and the alarm included,
  // none left dirty.
  std::map<std::string, HandheldEvent> h = handheld(false);
  ASSERT_EQ(h.size(), 4u);
  for (const auto &[name, e] : h) EXPECT_EQ(e.record.dirty, name == "Perl old") << name;
  ASSERT_TRUE(h["Perl weekly"].fields.alarm);
  EXPECT_EQ(h["Perl weekly"].fields.alarm->advance, 10);
  EXPECT_FALSE(h["Perl untimed"].fields.alarm);
}

}  // namespace
