// Date Book records to and from server schedules, through the functions the
// record class calls, the repeat types of both sides, the schedule window,
// and the conduit's resource texts.
#include "conduits/schedule/schedulerecord.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conduits/common/conduit.h"
#include "platform/module.h"
#include "synccore/helpers.h"

using namespace std::string_literals;

// In the conduit library the application object loads the resource library.
char *conduitText(UINT id, char *buffer, int size) {
  static HMODULE resources = LoadLibrary(GWSYNC_TEST_LIBDIR "/libscheduleres.so");
  return loadResourceText(resources, id, buffer, size);
}

namespace {

constexpr __OFFICE_DATE kNone{0, 0, 0};

bool sameDate(const __OFFICE_DATE &a, const __OFFICE_DATE &b) {
  return a.lYear == b.lYear && a.lMonth == b.lMonth && a.lDay == b.lDay;
}

WORD hhDate(LONG y, LONG m, LONG d) { return eventHandheldDate({y, m, d}); }

// A server schedule whose texts and exception dates live as long as it does.
struct ServerSchedule {
  ServerSchedule(__OFFICE_DATE set, LONG type, LONG day, __OFFICE_DATE end, std::string event, std::string memo = "",
                 std::vector<__OFFICE_DATE> exceptions = {})
      : event_(std::move(event)), memo_(std::move(memo)), detail_("detail"), exceptions_(std::move(exceptions)) {
    data_ = {};
    data_.nID = 9;
    data_.dateSet = set;
    data_.dateValid = type ? set : kNone;
    data_.dateEnd = end;
    data_.timeSet = {9, 30};
    data_.timeEnd = {10, 45};
    data_.nType = type;
    data_.nDay = day;
    data_.pszEvent = event_.data();
    data_.pszDetail = detail_.data();
    data_.pszMemo = memo_.data();
    data_.nExceptionCount = static_cast<LONG>(exceptions_.size());
    data_.pExceptions = exceptions_.empty() ? nullptr : exceptions_.data();
  }
  ServerSchedule(const ServerSchedule &) = delete;
  CGWScheduleConstRec rec() const { return CGWScheduleConstRec(&data_); }

  std::string event_, memo_, detail_;
  std::vector<__OFFICE_DATE> exceptions_;
  __SCHEDULE_DATA data_;
};

EventFields timedEvent(WORD date, const char *description) {
  EventFields f;
  f.startHour = 9, f.startMinute = 30, f.endHour = 10, f.endMinute = 45;
  f.date = date;
  f.hasDescription = true;
  f.description = description;
  return f;
}

// ---- The record's bytes ----

TEST(EventRecord, ReadsAndWritesTheReferenceBytes) {
  const std::string bytes =
      "\x09\x1E\x0A\x2D\xF5\x88\x7C\x00"s  // 9:30-10:45 on 2026-12-08, every
                                           // part
      "\x0A\x00"s                          // alarm 10 minutes before
      "\x02\x00\xF6\x7F\x02\x0A\x00\x00"s  // weekly to 2027-03-31, every 2
                                           // weeks, Mon+Wed
      "\x00\x01\xF5\x90"s                  // one exception: 2026-12-16
      "Meeting\0Room 3\0"s;
  EventFields f;
  ASSERT_TRUE(parseEventRecord(reinterpret_cast<const BYTE *>(bytes.data()), static_cast<DWORD>(bytes.size()), f));
  EXPECT_EQ(f.date, hhDate(2026, 12, 8));
  EXPECT_TRUE(f.hasAlarm && f.repeats() && f.hasExceptions);
  EXPECT_EQ(f.repeat.end, hhDate(2027, 3, 31));
  EXPECT_EQ(f.repeat.on, 0x0A);
  EXPECT_EQ(f.exceptions, std::vector<WORD>{hhDate(2026, 12, 16)});
  EXPECT_EQ(f.description, "Meeting");
  EXPECT_EQ(f.note, "Room 3");
  EXPECT_EQ(packEventRecord(f), bytes);
}

// Every prefix of a full record is refused, never read past.
TEST(EventRecord, EveryRecordCutShortIsRefused) {
  const std::string bytes =
      "\x09\x1E\x0A\x2D\xF5\x88\x7C\x00\x0A\x00\x02\x00\xF6\x7F\x02\x0A\x00\x00"
      "\x00\x02\xF5\x90\xF5\x9E"
      "Meeting\0Room 3\0"s;
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::vector<BYTE> cut(bytes.begin(),
                          bytes.begin() + static_cast<long>(n));  // exact size: ASan sees overreads
    EventFields f;
    EXPECT_FALSE(parseEventRecord(cut.data(), static_cast<DWORD>(n), f)) << n << " bytes";
  }
  // A count of exceptions far beyond the data.
  const std::string huge = "\x09\x1E\x0A\x2D\xF5\x88\x08\x00\xFF\xFF\xF5\x90"s;
  EventFields f;
  EXPECT_FALSE(parseEventRecord(reinterpret_cast<const BYTE *>(huge.data()), static_cast<DWORD>(huge.size()), f));
}

// ---- Repeat types ----

// Legend: handheld repeat type, frequency, repeat-on byte and date; whether
// the server can hold it; the server's type code and day number.
struct RepeatRow {
  const char *name;
  BYTE type, frequency, on;
  WORD date;
  bool expressible;
  LONG serverType, serverDay;
};

void PrintTo(const RepeatRow &r, std::ostream *os) { *os << r.name; }

class RepeatMapping : public ::testing::TestWithParam<RepeatRow> {};

TEST_P(RepeatMapping, GoesToTheServerAndComesBackTheSame) {
  const RepeatRow &row = GetParam();
  EventFields f = timedEvent(row.date, "r");
  f.hasRepeat = true;
  f.repeat.type = row.type;
  f.repeat.frequency = row.frequency;
  f.repeat.on = row.on;
  f.repeat.end = hhDate(2027, 6, 30);
  ServerRepeat s;
  ASSERT_EQ(serverRepeatOf(f, s), row.expressible);
  if (!row.expressible) return;
  EXPECT_EQ(s.type, row.serverType);
  EXPECT_EQ(s.day, row.serverDay);
  EXPECT_TRUE(sameDate(s.end, {2027, 6, 30}));
  __SCHEDULE_DATA d{};
  d.dateSet = eventServerDate(row.date);
  d.dateEnd = s.end;
  d.nType = s.type;
  d.nDay = s.day;
  EventRepeatPart back;
  ASSERT_TRUE(handheldRepeatOf(d, back));
  EXPECT_EQ(back.type, row.type);
  EXPECT_EQ(back.on, row.on);
  EXPECT_EQ(back.frequency, 1);
  EXPECT_EQ(back.end, hhDate(2027, 6, 30));
}

// 2026-12-08 is a Tuesday in the second week; 2026-12-31 a Thursday in the
// last.
INSTANTIATE_TEST_SUITE_P(
    Rows, RepeatMapping,
    ::testing::Values(
        RepeatRow{"Daily", kEventRepeatDaily, 1, 0, hhDate(2026, 12, 8), true, kServerRepeatDaily, -1},
        RepeatRow{"WeeklyMonWed", kEventRepeatWeekly, 1, 0x0A, hhDate(2026, 12, 8), true, kServerRepeatWeekly, 0x0A},
        RepeatRow{"MonthlyByDate", kEventRepeatMonthlyByDate, 1, 0, hhDate(2026, 12, 8), true, kServerRepeatMonthly, 8},
        RepeatRow{"SecondTuesday", kEventRepeatMonthlyByDay, 1, 1 * 7 + 2, hhDate(2026, 12, 8), true,
                  kServerRepeatWeek1 + 1, 2},
        RepeatRow{"LastThursday", kEventRepeatMonthlyByDay, 1, 4 * 7 + 4, hhDate(2026, 12, 31), true,
                  kServerRepeatWeekLast, 4},
        RepeatRow{"Yearly", kEventRepeatYearly, 1, 0, hhDate(2026, 12, 8), true, kServerRepeatYearly, -1},
        RepeatRow{"EverySecondDay", kEventRepeatDaily, 2, 0, hhDate(2026, 12, 8), false, 0, 0},
        RepeatRow{"EveryThirdWeek", kEventRepeatWeekly, 3, 0x04, hhDate(2026, 12, 8), false, 0, 0},
        RepeatRow{"WeeklyOnNoDay", kEventRepeatWeekly, 1, 0, hhDate(2026, 12, 8), false, 0, 0},
        RepeatRow{"UnknownType", 9, 1, 0, hhDate(2026, 12, 8), false, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(RepeatMapping, AServerDayNumberOutOfRangeFallsBackOnTheStartDate) {
  __SCHEDULE_DATA d{};
  d.dateSet = {2026, 12, 8};  // a Tuesday
  d.nType = kServerRepeatWeekly;
  d.nDay = -1;
  EventRepeatPart r;
  ASSERT_TRUE(handheldRepeatOf(d, r));
  EXPECT_EQ(r.on, 1 << 2);
  EXPECT_EQ(r.end, kEventNoEnd);
  d.nType = kServerRepeatWeek1 + 2;  // the third week
  d.nDay = 12;
  ASSERT_TRUE(handheldRepeatOf(d, r));
  EXPECT_EQ(r.on, 2 * 7 + 2);
  d.nType = -1;  // a name the client library did not know
  EXPECT_FALSE(handheldRepeatOf(d, r));
}

// ---- Handheld to server ----

TEST(EventToServer, ANewRepeatingEventWithExceptions) {
  EventFields f = timedEvent(hhDate(2026, 12, 8), "Meeting");
  f.hasNote = true;
  f.note = "Room 3";
  f.hasRepeat = true;
  f.repeat.type = kEventRepeatWeekly;
  f.repeat.on = 0x04;
  f.hasExceptions = true;
  f.exceptions = {hhDate(2026, 12, 15), hhDate(2026, 12, 22)};
  CGWScheduleRec target;
  eventToServer(f, true, nullptr, target);
  const __SCHEDULE_DATA &d = *target.data();
  EXPECT_TRUE(sameDate(d.dateSet, {2026, 12, 8}));
  EXPECT_TRUE(sameDate(d.dateValid, {2026, 12, 8}));
  EXPECT_TRUE(sameDate(d.dateEnd, kNone));  // no end
  EXPECT_EQ(d.timeSet.lHour * 100 + d.timeSet.lMinute, 930);
  EXPECT_EQ(d.timeEnd.lHour * 100 + d.timeEnd.lMinute, 1045);
  EXPECT_EQ(d.nType, kServerRepeatWeekly);
  EXPECT_EQ(d.nDay, 0x04);
  ASSERT_EQ(d.nExceptionCount, 2);
  EXPECT_TRUE(sameDate(d.pExceptions[1], {2026, 12, 22}));
  EXPECT_STREQ(d.pszEvent, "Meeting");
  EXPECT_STREQ(d.pszMemo, "Room 3");
  EXPECT_TRUE(d.bPrivate);
}

TEST(EventToServer, AnUntimedSingleEventEndsOnItsDay) {
  EventFields f;
  f.date = hhDate(2026, 12, 24);
  f.hasDescription = true;
  f.description = "Holiday";
  CGWScheduleRec target;
  eventToServer(f, false, nullptr, target);
  const __SCHEDULE_DATA &d = *target.data();
  EXPECT_EQ(d.timeSet.lHour, -1);
  EXPECT_EQ(d.timeEnd.lMinute, -1);
  EXPECT_EQ(d.nType, 0);
  EXPECT_TRUE(sameDate(d.dateEnd, {2026, 12, 24}));
  EXPECT_TRUE(sameDate(d.dateValid, kNone));
  EXPECT_EQ(d.nExceptionCount, 0);
}

// A repeat the server cannot hold reaches it as the first day alone.
TEST(EventToServer, ARepeatTheServerCannotHoldGoesAsItsFirstDay) {
  EventFields f = timedEvent(hhDate(2026, 12, 8), "Every other day");
  f.hasRepeat = true;
  f.repeat.type = kEventRepeatDaily;
  f.repeat.frequency = 2;
  f.hasExceptions = true;
  f.exceptions = {hhDate(2026, 12, 10)};
  CGWScheduleRec target;
  eventToServer(f, false, nullptr, target);
  EXPECT_EQ(target.data()->nType, 0);
  EXPECT_EQ(target.data()->nExceptionCount, 0);
  EXPECT_TRUE(sameDate(target.data()->dateEnd, {2026, 12, 8}));
}

// What the handheld holds as the server gave it stays the server's: the
// detail, the banner, a text longer than the handheld's, a day number the
// handheld does not use, a multi-day end date.
TEST(EventToServer, WhatTheHandheldCannotHoldStaysOnTheServer) {
  const std::string longMemo(kEventNoteMax + 100, 'm');
  ServerSchedule was({2026, 12, 8}, kServerRepeatMonthly, 20, {2027, 12, 31}, "Rent", longMemo);
  was.data_.bBanner = 1;
  EventFields held;
  ASSERT_TRUE(eventFieldsFromServer(was.data_, nullptr, held));
  held.description = "Rent paid";  // the one change on the handheld
  CGWScheduleRec target;
  const CGWScheduleConstRec existing = was.rec();
  eventToServer(held, false, &existing, target);
  const __SCHEDULE_DATA &d = *target.data();
  EXPECT_STREQ(d.pszEvent, "Rent paid");
  EXPECT_EQ(std::string(d.pszMemo), longMemo);
  EXPECT_STREQ(d.pszDetail, "detail");
  EXPECT_TRUE(d.bBanner);
  EXPECT_EQ(d.nType, kServerRepeatMonthly);
  EXPECT_EQ(d.nDay, 20);
  EXPECT_TRUE(sameDate(d.dateEnd, {2027, 12, 31}));

  ServerSchedule trip({2026, 12, 8}, 0, -1, {2026, 12, 11}, "Trip");
  ASSERT_TRUE(eventFieldsFromServer(trip.data_, nullptr, held));
  held.note = "packed";
  const CGWScheduleConstRec tripRec = trip.rec();
  eventToServer(held, false, &tripRec, target);
  EXPECT_TRUE(sameDate(target.data()->dateEnd, {2026, 12, 11}));
  EXPECT_STREQ(target.data()->pszMemo, "packed");
}

// ---- Server to handheld ----

TEST(EventFromServer, TheAlarmAndARepeatTheServerCannotHoldStayOnTheHandheld) {
  EventFields prev = timedEvent(hhDate(2026, 12, 8), "Gym");
  prev.hasAlarm = true;
  prev.alarmAdvance = 15;
  prev.hasRepeat = true;
  prev.repeat.type = kEventRepeatWeekly;
  prev.repeat.frequency = 2;
  prev.repeat.on = 0x04;
  prev.hasExceptions = true;
  prev.exceptions = {hhDate(2026, 12, 22)};
  ServerSchedule changed({2026, 12, 8}, 0, -1, {2026, 12, 8}, "Gym and pool");
  EventFields f;
  ASSERT_TRUE(eventFieldsFromServer(changed.data_, &prev, f));
  EXPECT_EQ(f.description, "Gym and pool");
  EXPECT_TRUE(f.hasAlarm);
  EXPECT_EQ(f.alarmAdvance, 15);
  EXPECT_EQ(f.repeat.frequency, 2);
  EXPECT_EQ(f.exceptions, prev.exceptions);

  // Moved to another day on the server: the server's single day wins.
  ServerSchedule moved({2026, 12, 9}, 0, -1, {2026, 12, 9}, "Gym");
  ASSERT_TRUE(eventFieldsFromServer(moved.data_, &prev, f));
  EXPECT_FALSE(f.repeats());
  EXPECT_TRUE(f.hasAlarm);
}

TEST(EventFromServer, ExceptionsAndTimesComeFromTheServer) {
  ServerSchedule s({2026, 12, 8}, kServerRepeatDaily, -1, {2026, 12, 20}, "Standup", "notes\r\nmore",
                   {{2026, 12, 12}, {2026, 2, 30}, {2026, 12, 13}});
  s.data_.timeEnd = {24, 0};
  EventFields f;
  ASSERT_TRUE(eventFieldsFromServer(s.data_, nullptr, f));
  EXPECT_EQ(f.repeat.type, kEventRepeatDaily);
  EXPECT_EQ(f.repeat.end, hhDate(2026, 12, 20));
  EXPECT_EQ(f.exceptions, (std::vector<WORD>{hhDate(2026, 12, 12), hhDate(2026, 12, 13)}));  // 2/30 dropped
  EXPECT_EQ(f.endHour, 24);
  EXPECT_EQ(f.note, "notes\nmore");
  s.data_.timeSet = {-1, -1};
  ASSERT_TRUE(eventFieldsFromServer(s.data_, nullptr, f));
  EXPECT_FALSE(f.timed());
  s.data_.dateSet = {2040, 1, 1};  // beyond what the handheld holds
  EXPECT_FALSE(eventFieldsFromServer(s.data_, nullptr, f));
}

TEST(EventFromServer, APrivateScheduleIsAPrivateRecord) {
  ServerSchedule s({2026, 12, 8}, 0, -1, kNone, "Doctor");
  s.data_.bPrivate = 1;
  std::vector<BYTE> buffer(kPalmSharedBufferSize);
  CPalmEventRecord rec(buffer.data());
  ASSERT_TRUE(eventFromServer(rec, nullptr, s.rec()));
  EXPECT_TRUE(rec.m_Flags & PALMREC_PRIVATE);
  s.data_.bPrivate = 0;
  ASSERT_TRUE(eventFromServer(rec, nullptr, s.rec()));
  EXPECT_FALSE(rec.m_Flags & PALMREC_PRIVATE);
  char name[32];
  EXPECT_STREQ(rec.getRecIdStr(name, sizeof name), "12/8 Doctor");
}

// ---- The schedule window ----

// Legend: start, end (zero: open); whether it meets the window of
// 2026-11-08 .. 2027-03-08 (one month before 2026-12-08, three after).
struct WindowRow {
  const char *name;
  __OFFICE_DATE start, end;
  bool meets;
};

void PrintTo(const WindowRow &r, std::ostream *os) { *os << r.name; }

class Window : public ::testing::TestWithParam<WindowRow> {};

TEST_P(Window, HoldsWhatMeetsIt) {
  const ScheduleWindow w = ScheduleWindow::around({2026, 12, 8}, 1, 3);
  EXPECT_EQ(w.meets(GetParam().start, GetParam().end), GetParam().meets);
}

INSTANTIATE_TEST_SUITE_P(Rows, Window,
                         ::testing::Values(WindowRow{"Today", {2026, 12, 8}, {2026, 12, 8}, true},
                                           WindowRow{"FirstDay", {2026, 11, 8}, {2026, 11, 8}, true},
                                           WindowRow{"DayBefore", {2026, 11, 7}, {2026, 11, 7}, false},
                                           WindowRow{"LastDay", {2027, 3, 8}, {2027, 3, 8}, true},
                                           WindowRow{"DayAfter", {2027, 3, 9}, {2027, 3, 9}, false},
                                           WindowRow{"OldRepeatWithoutEnd", {2020, 1, 1}, {0, 0, 0}, true},
                                           WindowRow{"OldRepeatEnded", {2020, 1, 1}, {2026, 1, 1}, false},
                                           WindowRow{"SpanIntoTheWindow", {2026, 10, 1}, {2026, 11, 10}, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Window, MonthsEndInsideTheMonth) {
  const ScheduleWindow w = ScheduleWindow::around({2027, 3, 31}, 1, 11);
  EXPECT_TRUE(sameDate(w.first, {2027, 2, 28}));
  EXPECT_TRUE(sameDate(w.last, {2028, 2, 29}));
}

TEST(ScheduleConduit, ConstantsAndResources) {
  EXPECT_EQ(g_ConduitDef.kind, CONDUIT_SCHEDULE);
  EXPECT_EQ(g_ConduitDef.timeSlot, 0);
  EXPECT_EQ(g_ConduitDef.creator, 0x64617465u);
  EXPECT_STREQ(g_ConduitDef.resourceLibrary, "scheduleres.dll");
  char text[64];
  EXPECT_STREQ(conduitText(CONDRES_RECORD_NAME, text, sizeof text), "Date Book record");
}

}  // namespace
