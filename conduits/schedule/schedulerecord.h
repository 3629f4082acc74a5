// The handheld Date Book record and its conversion to and from the server's
// schedules. A record is a head (start and end time, date, flags), then the
// parts its flags promise: alarm, repeat, exception dates, description, note.
//
//   EventFields f;
//   if (!parseEventRecord(rec.data(), rec.dataSize(), f)) ...   // cut short
//   eventToServer(f, isPrivate, existing, newSchedule);
//   eventFromServer(rec, previous, serverSchedule);
//
// Whatever one side cannot hold stays on the side that has it: the alarm,
// a repeat every 2nd day (or week, month, year) and the exceptions of such
// a repeat stay on the handheld when the server changes the event; the
// server's detail text, banner mark, end date of a single event, day number
// and texts longer than the handheld's survive a change made on the
// handheld. The record class gathers its inputs from the data sources and
// calls the plain functions below, which the tests drive directly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conduits/common/palmdatasrc.h"
#include "synccore/gwschedule.h"

// Handheld repeat types.
enum : BYTE {
  kEventRepeatNone = 0,
  kEventRepeatDaily = 1,
  kEventRepeatWeekly = 2,
  kEventRepeatMonthlyByDay = 3,
  kEventRepeatMonthlyByDate = 4,
  kEventRepeatYearly = 5,
};

// Server repeat type codes (the client library's table).
enum : LONG {
  kServerRepeatNone = 0,
  kServerRepeatDaily = 1,     // "d"
  kServerRepeatYearly = 2,    // "n"
  kServerRepeatWeekly = 3,    // "w": the day number holds weekday bits
  kServerRepeatMonthly = 4,   // "m": the day number is the day of the month
  kServerRepeatWeek1 = 5,     // "1".."4": that week of the month, the day number a weekday
  kServerRepeatWeekLast = 9,  // "l": the last week of the month
};

constexpr BYTE kEventNoTime = 0xFF;
constexpr WORD kEventNoEnd = 0xFFFF;
// Bytes the handheld keeps of a description and of a note.
constexpr int kEventDescriptionMax = 255;
constexpr int kEventNoteMax = 4096;

struct EventRepeatPart {
  BYTE type = kEventRepeatNone;
  BYTE reserved1 = 0;
  WORD end = kEventNoEnd;
  BYTE frequency = 1;
  BYTE on = 0;  // weekday bits (weekly) or week * 7 + weekday (monthly by day)
  BYTE startOfWeek = 0;
  BYTE reserved2 = 0;
};

// A handheld record taken apart.
struct EventFields {
  BYTE startHour = kEventNoTime, startMinute = kEventNoTime, endHour = kEventNoTime, endMinute = kEventNoTime;
  WORD date = 0;
  WORD otherFlags = 0;  // flag bits that announce no part, kept as read
  bool hasAlarm = false;
  signed char alarmAdvance = 0;
  BYTE alarmUnit = 0;
  bool hasRepeat = false;
  EventRepeatPart repeat;
  bool hasExceptions = false;
  std::vector<WORD> exceptions;
  bool hasDescription = false;
  std::string description;
  bool hasNote = false;
  std::string note;

  bool timed() const { return startHour != kEventNoTime; }
  // A repeat that really repeats (type 1..5).
  bool repeats() const { return hasRepeat && repeat.type != kEventRepeatNone; }
};

// Reads size bytes of a record. False when it ends inside the head or inside
// a part its flags promise (an exception count beyond the data included);
// never reads past size.
bool parseEventRecord(const BYTE *data, DWORD size, EventFields &out);
// The record's bytes: flags from the parts present, then the parts.
std::string packEventRecord(const EventFields &f);

// The handheld date of a server date; 0 for none and for a date the handheld
// cannot hold (years 1904..2031 only, days the calendar has).
WORD eventHandheldDate(const __OFFICE_DATE &date);
// The server date of a handheld date; all zero for a day the calendar lacks.
__OFFICE_DATE eventServerDate(WORD date);
// Day of the week of a real calendar day, 0 Sunday.
int weekdayOf(const __OFFICE_DATE &date);

// The server's form of a handheld repeat (type, day number, end date);
// false when the server cannot express it (every 2nd day, week, month or
// year; a type the handheld application does not define).
struct ServerRepeat {
  LONG type = kServerRepeatNone;
  LONG day = -1;
  __OFFICE_DATE end{};
};
bool serverRepeatOf(const EventFields &f, ServerRepeat &out);
// The handheld's form of a server schedule's repeat; false for none (type 0,
// and a type the table does not know).
bool handheldRepeatOf(const __SCHEDULE_DATA &s, EventRepeatPart &out);

// Handheld to server: fills target from f and the record's private mark,
// and, when the server has a copy (existing, may be null), keeps what the
// handheld cannot hold.
void eventToServer(const EventFields &f, bool isPrivate, const CGWScheduleConstRec *existing,
                   CGWScheduleConstRec &target);
// Server to handheld: the fields of a record for s; prev (may be null) is
// the handheld's copy, whose alarm and inexpressible repeat are kept. False
// when the server's start date cannot be held on the handheld.
bool eventFieldsFromServer(const __SCHEDULE_DATA &s, const EventFields *prev, EventFields &out);
// Builds rec's data from s (prev: the handheld's copy, null or deleted =
// none) and sets its private mark from the server's. False when the date
// cannot be held or the record does not fit rec's buffer.
bool eventFromServer(CPalmRecord &rec, const CPalmRecord *prev, const CGWScheduleConstRec &s);

// "M/D description" into buffer (length bytes, cut with "..."); empty for a
// record that cannot be read. Answers buffer.
char *describeEventRecord(const BYTE *data, DWORD size, char *buffer, int length);

// The schedule window of the server's settings: months before and after
// today. A schedule (or event) is in it when the days it spans, its repeats
// included, meet the window.
struct ScheduleWindow {
  __OFFICE_DATE first{};  // all zero: no limit
  __OFFICE_DATE last{};
  // The window around today (local time) for the settings' numbers.
  static ScheduleWindow around(const __OFFICE_DATE &today, DWORD monthsBefore, DWORD monthsAfter);
  // start: the first day; end: the last (all zero: open, for a repeat
  // without end).
  bool meets(const __OFFICE_DATE &start, const __OFFICE_DATE &end) const;
  bool meetsSchedule(const __SCHEDULE_DATA &s) const;
  bool meetsEvent(const EventFields &f) const;
};

// A Date Book record of the handheld.
class CPalmEventRecord : public CPalmRecord {
 public:
  explicit CPalmEventRecord(BYTE *sharedBuffer = nullptr) : CPalmRecord(sharedBuffer) {}

  // target must be a CGWScheduleRec. False for a record cut short (the
  // engine reports and skips it).
  bool convertHH2GW(CHHDataSrc *hh, CGWDataSrc *gw, const CGWRecord *existing, CGWRecord *target) override;
  // source must be a schedule. False when its start date cannot be held.
  bool convertGW2HH(CHHDataSrc *hh, CGWDataSrc *gw, const CHHRecord *existing, const CGWRecord *source) override;
  // As describeEventRecord; a record cut short is named by resource string
  // 9 and its id ("Date Book record 0x2a").
  char *getRecIdStr(char *buffer, int length) const override;
  // The base trace line; at level 10 also the fields.
  void trace() const override;
  int getSize() const override { return sizeof(CPalmEventRecord); }
};

// Places a CPalmEventRecord in memory (PalmRecordPlacer).
CPalmRecord *placeEventRecord(void *memory, BYTE *sharedBuffer);
