// The Date Book record: taking it apart, building it from a server
// schedule, and the repeat types of each side mapped onto the other's.
#include "conduits/schedule/schedulerecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "conduits/common/conduit.h"
#include "log/log.h"
#include "synccore/helpers.h"

namespace {

constexpr WORD kFlagAlarm = 0x4000;
constexpr WORD kFlagRepeat = 0x2000;
constexpr WORD kFlagNote = 0x1000;
constexpr WORD kFlagExceptions = 0x0800;
constexpr WORD kFlagDescription = 0x0400;
constexpr WORD kFlagParts = kFlagAlarm | kFlagRepeat | kFlagNote | kFlagExceptions | kFlagDescription;

WORD getU16(const BYTE *p) { return static_cast<WORD>(p[0] << 8 | p[1]); }
void putU16(std::string &out, WORD v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

// One NUL-terminated text at `at`; false when no NUL follows within the data.
bool takeText(const BYTE *data, DWORD size, DWORD &at, std::string &out) {
  if (at > size) return false;
  const char *text = reinterpret_cast<const char *>(data) + at;
  const void *nul = std::memchr(text, '\0', size - at);
  if (!nul) return false;
  out.assign(text, static_cast<size_t>(static_cast<const char *>(nul) - text));
  at += static_cast<DWORD>(out.size()) + 1;
  return true;
}

// A server text as the handheld holds it: at most max bytes, cut between
// characters, CR LF as LF.
std::string handheldText(const char *text, int max) {
  std::string out(static_cast<size_t>(max) + 1, '\0');
  const int used = copyDbcsText(out.data(), text ? text : "", max + 1, DBCS_CRLF_TO_LF, nullptr);
  out.resize(used > 0 ? static_cast<size_t>(used - 1) : 0);
  return out;
}

bool isNoDate(const __OFFICE_DATE &d) { return d.lYear == 0 && d.lMonth == 0 && d.lDay == 0; }

bool isLeap(LONG year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysIn(LONG year, LONG month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

bool isCalendarDate(LONG year, LONG month, LONG day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= daysIn(year, month);
}

// Dates compared as one number.
long dayKey(const __OFFICE_DATE &d) { return d.lYear * 10000L + d.lMonth * 100L + d.lDay; }

// The same day months later (or earlier), kept inside the month.
__OFFICE_DATE addMonths(const __OFFICE_DATE &d, long months) {
  long index = d.lYear * 12L + (d.lMonth - 1) + months;
  __OFFICE_DATE out{static_cast<LONG>(index / 12), static_cast<LONG>(index % 12 + 1), d.lDay};
  out.lDay = std::min<LONG>(out.lDay, daysIn(out.lYear, out.lMonth));
  return out;
}

std::vector<WORD> handheldDates(const __SCHEDULE_DATA &s) {
  std::vector<WORD> out;
  for (LONG i = 0; i < s.nExceptionCount && s.pExceptions; ++i)
    if (WORD d = eventHandheldDate(s.pExceptions[i])) out.push_back(d);
  return out;
}

bool sameRepeat(const EventRepeatPart &a, const EventRepeatPart &b) {
  return a.type == b.type && a.end == b.end && a.frequency == b.frequency && a.on == b.on;
}

// What the handheld holds of a server schedule's times.
void timesFromServer(const __SCHEDULE_DATA &s, EventFields &f) {
  const bool timed = s.timeSet.lHour >= 0 && s.timeSet.lHour <= 23 && s.timeSet.lMinute >= 0 && s.timeSet.lMinute <= 59;
  if (!timed) {
    f.startHour = f.startMinute = f.endHour = f.endMinute = kEventNoTime;
    return;
  }
  f.startHour = static_cast<BYTE>(s.timeSet.lHour);
  f.startMinute = static_cast<BYTE>(s.timeSet.lMinute);
  const long start = s.timeSet.lHour * 60L + s.timeSet.lMinute;
  const long end = s.timeEnd.lHour * 60L + s.timeEnd.lMinute;
  const bool endHeld = s.timeEnd.lHour >= 0 && s.timeEnd.lMinute >= 0 && s.timeEnd.lMinute <= 59 && end <= 24 * 60;
  // An end the handheld cannot show on the same day ends with the start.
  if (endHeld && end >= start) {
    f.endHour = static_cast<BYTE>(s.timeEnd.lHour);
    f.endMinute = static_cast<BYTE>(s.timeEnd.lMinute);
  } else {
    f.endHour = f.startHour;
    f.endMinute = f.startMinute;
  }
}

}  // namespace

bool parseEventRecord(const BYTE *data, DWORD size, EventFields &out) {
  if (!data || size < 8) return false;
  EventFields f;
  f.startHour = data[0];
  f.startMinute = data[1];
  f.endHour = data[2];
  f.endMinute = data[3];
  f.date = getU16(data + 4);
  const WORD flags = getU16(data + 6);
  f.otherFlags = flags & static_cast<WORD>(~kFlagParts);
  DWORD at = 8;
  if (flags & kFlagAlarm) {
    if (size - at < 2) return false;
    f.hasAlarm = true;
    f.alarmAdvance = static_cast<signed char>(data[at]);
    f.alarmUnit = data[at + 1];
    at += 2;
  }
  if (flags & kFlagRepeat) {
    if (size - at < 8) return false;
    f.hasRepeat = true;
    f.repeat = {data[at], data[at + 1], getU16(data + at + 2), data[at + 4], data[at + 5], data[at + 6], data[at + 7]};
    at += 8;
  }
  if (flags & kFlagExceptions) {
    if (size - at < 2) return false;
    const DWORD count = getU16(data + at);
    at += 2;
    if ((size - at) / 2 < count) return false;
    f.hasExceptions = true;
    for (DWORD i = 0; i < count; ++i, at += 2) f.exceptions.push_back(getU16(data + at));
  }
  if (flags & kFlagDescription) {
    if (!takeText(data, size, at, f.description)) return false;
    f.hasDescription = true;
  }
  if (flags & kFlagNote) {
    if (!takeText(data, size, at, f.note)) return false;
    f.hasNote = true;
  }
  out = std::move(f);
  return true;
}

std::string packEventRecord(const EventFields &f) {
  WORD flags = f.otherFlags & static_cast<WORD>(~kFlagParts);
  if (f.hasAlarm) flags |= kFlagAlarm;
  if (f.hasRepeat) flags |= kFlagRepeat;
  if (f.hasNote) flags |= kFlagNote;
  if (f.hasExceptions) flags |= kFlagExceptions;
  if (f.hasDescription) flags |= kFlagDescription;
  std::string out;
  for (BYTE b : {f.startHour, f.startMinute, f.endHour, f.endMinute}) out.push_back(static_cast<char>(b));
  putU16(out, f.date);
  putU16(out, flags);
  if (f.hasAlarm) {
    out.push_back(static_cast<char>(f.alarmAdvance));
    out.push_back(static_cast<char>(f.alarmUnit));
  }
  if (f.hasRepeat) {
    const EventRepeatPart &r = f.repeat;
    out.push_back(static_cast<char>(r.type));
    out.push_back(static_cast<char>(r.reserved1));
    putU16(out, r.end);
    for (BYTE b : {r.frequency, r.on, r.startOfWeek, r.reserved2}) out.push_back(static_cast<char>(b));
  }
  if (f.hasExceptions) {
    const size_t count = std::min<size_t>(f.exceptions.size(), 0xFFFF);
    putU16(out, static_cast<WORD>(count));
    for (size_t i = 0; i < count; ++i) putU16(out, f.exceptions[i]);
  }
  if (f.hasDescription) out.append(f.description.c_str()).push_back('\0');
  if (f.hasNote) out.append(f.note.c_str()).push_back('\0');
  return out;
}

WORD eventHandheldDate(const __OFFICE_DATE &d) {
  if (d.lYear < 1904 || d.lYear > 2031 || !isCalendarDate(d.lYear, d.lMonth, d.lDay)) return 0;
  return static_cast<WORD>((d.lYear - 1904) << 9 | d.lMonth << 5 | d.lDay);
}

__OFFICE_DATE eventServerDate(WORD date) {
  const __OFFICE_DATE d{1904 + (date >> 9), (date >> 5) & 0xF, date & 0x1F};
  return isCalendarDate(d.lYear, d.lMonth, d.lDay) ? d : __OFFICE_DATE{};
}

int weekdayOf(const __OFFICE_DATE &d) {
  // Zeller's congruence, shifted so that Sunday is 0.
  LONG y = d.lYear, m = d.lMonth;
  if (m < 3) m += 12, --y;
  const LONG k = y % 100, j = y / 100;
  const LONG h = (d.lDay + 13 * (m + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7;  // 0 Saturday
  return static_cast<int>((h + 6) % 7);
}

bool serverRepeatOf(const EventFields &f, ServerRepeat &out) {
  if (!f.repeats()) {
    out = {};
    return true;
  }
  const EventRepeatPart &r = f.repeat;
  if (r.frequency != 1) return false;
  ServerRepeat s;
  s.end = r.end == kEventNoEnd ? __OFFICE_DATE{} : eventServerDate(r.end);
  const __OFFICE_DATE start = eventServerDate(f.date);
  switch (r.type) {
    case kEventRepeatDaily: s.type = kServerRepeatDaily; break;
    case kEventRepeatYearly: s.type = kServerRepeatYearly; break;
    case kEventRepeatWeekly:
      if ((r.on & 0x7F) == 0) return false;
      s.type = kServerRepeatWeekly;
      s.day = r.on & 0x7F;
      break;
    case kEventRepeatMonthlyByDate:
      s.type = kServerRepeatMonthly;
      s.day = start.lDay;
      break;
    case kEventRepeatMonthlyByDay:
      if (r.on >= 35) return false;
      s.type = r.on / 7 == 4 ? kServerRepeatWeekLast : kServerRepeatWeek1 + r.on / 7;
      s.day = r.on % 7;
      break;
    default: return false;
  }
  out = s;
  return true;
}

bool handheldRepeatOf(const __SCHEDULE_DATA &s, EventRepeatPart &out) {
  EventRepeatPart r;
  r.end = isNoDate(s.dateEnd) ? kEventNoEnd : eventHandheldDate(s.dateEnd);
  if (r.end == 0) r.end = kEventNoEnd;  // an end the handheld cannot hold: the repeat goes on
  const bool realDay = isCalendarDate(s.dateSet.lYear, s.dateSet.lMonth, s.dateSet.lDay);
  const int weekday = realDay ? weekdayOf(s.dateSet) : 0;
  switch (s.nType) {
    case kServerRepeatDaily: r.type = kEventRepeatDaily; break;
    case kServerRepeatYearly: r.type = kEventRepeatYearly; break;
    case kServerRepeatWeekly:
      r.type = kEventRepeatWeekly;
      r.on = static_cast<BYTE>(s.nDay > 0 && s.nDay <= 0x7F ? s.nDay : 1 << weekday);
      break;
    case kServerRepeatMonthly: r.type = kEventRepeatMonthlyByDate; break;
    case kServerRepeatWeek1:
    case kServerRepeatWeek1 + 1:
    case kServerRepeatWeek1 + 2:
    case kServerRepeatWeek1 + 3:
    case kServerRepeatWeekLast: {
      r.type = kEventRepeatMonthlyByDay;
      const int day = s.nDay >= 0 && s.nDay <= 6 ? static_cast<int>(s.nDay) : weekday;
      r.on = static_cast<BYTE>((s.nType - kServerRepeatWeek1) * 7 + day);
      break;
    }
    default: return false;
  }
  out = r;
  return true;
}

void eventToServer(const EventFields &f, bool isPrivate, const CGWScheduleConstRec *existing,
                   CGWScheduleConstRec &target) {
  const __SCHEDULE_DATA *was = existing ? existing->data() : nullptr;
  const __OFFICE_DATE start = eventServerDate(f.date);
  target.setDateSet(start);
  if (f.timed()) {
    target.setTimeSet({f.startHour, f.startMinute});
    target.setTimeEnd({f.endHour, f.endMinute});
  } else {
    target.setTimeSet({-1, -1});
    target.setTimeEnd({-1, -1});
  }
  ServerRepeat repeat;
  const bool expressible = serverRepeatOf(f, repeat);
  if (!expressible) repeat = {};  // the server gets the first day alone
  std::vector<__OFFICE_DATE> exceptions;
  if (expressible && f.repeats())
    for (WORD d : f.exceptions)
      if (__OFFICE_DATE e = eventServerDate(d); !isNoDate(e)) exceptions.push_back(e);
  target.setType(repeat.type);
  target.setDay(repeat.day);
  target.setDateValid(repeat.type ? start : __OFFICE_DATE{});
  target.setDateEnd(repeat.type ? repeat.end : start);
  target.setExceptions(exceptions.data(), static_cast<LONG>(exceptions.size()));

  if (was) {
    // A part the handheld holds as the server's copy gave it has not been
    // changed there: the server's own value stays.
    EventFields held;
    if (eventFieldsFromServer(*was, nullptr, held)) {
      if (held.date == f.date && held.repeats() == f.repeats() && (!f.repeats() || sameRepeat(held.repeat, f.repeat))) {
        target.setDateSet(was->dateSet);
        target.setDateValid(was->dateValid);
        target.setDateEnd(was->dateEnd);
        target.setType(was->nType);
        target.setDay(was->nDay);
        if (held.exceptions == (f.repeats() && expressible ? f.exceptions : std::vector<WORD>{}))
          target.setExceptions(was->pExceptions, was->nExceptionCount);
      }
      if (held.startHour == f.startHour && held.startMinute == f.startMinute && held.endHour == f.endHour &&
          held.endMinute == f.endMinute) {
        target.setTimeSet(was->timeSet);
        target.setTimeEnd(was->timeEnd);
      }
    }
  }
  target.setEvent(was && handheldText(was->pszEvent, kEventDescriptionMax) == f.description ? was->pszEvent
                                                                                            : f.description.c_str());
  target.setMemo(was && handheldText(was->pszMemo, kEventNoteMax) == f.note ? was->pszMemo : f.note.c_str());
  target.setDetail(was ? was->pszDetail : nullptr);
  target.setBanner(was ? was->bBanner : 0);
  target.setPrivate(isPrivate ? 1 : 0);
}

bool eventFieldsFromServer(const __SCHEDULE_DATA &s, const EventFields *prev, EventFields &out) {
  EventFields f;
  f.date = eventHandheldDate(s.dateSet);
  if (f.date == 0) return false;
  timesFromServer(s, f);
  EventRepeatPart repeat;
  if (handheldRepeatOf(s, repeat)) {
    f.hasRepeat = true;
    f.repeat = repeat;
    f.exceptions = handheldDates(s);
    f.hasExceptions = !f.exceptions.empty();
  }
  f.hasDescription = true;
  f.description = handheldText(s.pszEvent, kEventDescriptionMax);
  f.note = handheldText(s.pszMemo, kEventNoteMax);
  f.hasNote = !f.note.empty();
  if (prev) {
    // The server knows no alarms.
    f.hasAlarm = prev->hasAlarm;
    f.alarmAdvance = prev->alarmAdvance;
    f.alarmUnit = prev->alarmUnit;
    f.otherFlags = prev->otherFlags;
    ServerRepeat held;
    if (!serverRepeatOf(*prev, held)) {
      // A repeat the server could not take went there as its first day
      // alone: while the server still has it so, the handheld's repeat stays.
      if (!f.repeats() && prev->date == f.date) {
        f.hasRepeat = prev->hasRepeat;
        f.repeat = prev->repeat;
        f.hasExceptions = prev->hasExceptions;
        f.exceptions = prev->exceptions;
      }
    } else if (f.repeats() && prev->repeats() && sameRepeat(f.repeat, prev->repeat)) {
      f.repeat = prev->repeat;  // start of week and reserved bytes as the
                                // handheld had them
    }
  }
  out = std::move(f);
  return true;
}

bool eventFromServer(CPalmRecord &rec, const CPalmRecord *prev, const CGWScheduleConstRec &s) {
  if (!s.data() || !rec.buffer()) return false;
  EventFields before;
  const bool hasPrev =
      prev && !(prev->m_Flags & PALMREC_DELETED) && parseEventRecord(prev->data(), prev->dataSize(), before);
  EventFields f;
  if (!eventFieldsFromServer(*s.data(), hasPrev ? &before : nullptr, f)) return false;
  const std::string bytes = packEventRecord(f);
  if (bytes.size() > rec.bufferSize()) return false;
  std::memcpy(rec.buffer(), bytes.data(), bytes.size());
  rec.setDataSize(static_cast<DWORD>(bytes.size()));
  rec.m_CatIndex = prev ? prev->m_CatIndex : 0;
  if (s.getPrivate()) rec.m_Flags |= PALMREC_PRIVATE;
  else rec.m_Flags &= static_cast<BYTE>(~PALMREC_PRIVATE);
  return true;
}

char *describeEventRecord(const BYTE *data, DWORD size, char *buffer, int length) {
  EventFields f;
  std::string text;
  if (parseEventRecord(data, size, f)) {
    const __OFFICE_DATE d = eventServerDate(f.date);
    text = std::to_string(d.lMonth) + "/" + std::to_string(d.lDay) + " " + f.description;
  }
  copyDbcsText(buffer, text.c_str(), length, DBCS_COPY, "...");
  return buffer;
}

ScheduleWindow ScheduleWindow::around(const __OFFICE_DATE &today, DWORD monthsBefore, DWORD monthsAfter) {
  return {addMonths(today, -static_cast<long>(monthsBefore)), addMonths(today, static_cast<long>(monthsAfter))};
}

bool ScheduleWindow::meets(const __OFFICE_DATE &start, const __OFFICE_DATE &end) const {
  if (!isNoDate(last) && !isNoDate(start) && dayKey(start) > dayKey(last)) return false;
  const __OFFICE_DATE &until = isNoDate(end) ? end : (dayKey(end) < dayKey(start) ? start : end);
  if (!isNoDate(first) && !isNoDate(until) && dayKey(until) < dayKey(first)) return false;
  return true;
}

bool ScheduleWindow::meetsSchedule(const __SCHEDULE_DATA &s) const {
  // A repeat without an end goes on for ever; a single schedule ends on its
  // end date when it has one after its start.
  if (s.nType != kServerRepeatNone) return meets(s.dateSet, s.dateEnd);
  return meets(s.dateSet, isNoDate(s.dateEnd) ? s.dateSet : s.dateEnd);
}

bool ScheduleWindow::meetsEvent(const EventFields &f) const {
  const __OFFICE_DATE start = eventServerDate(f.date);
  if (!f.repeats()) return meets(start, start);
  return meets(start, f.repeat.end == kEventNoEnd ? __OFFICE_DATE{} : eventServerDate(f.repeat.end));
}

bool CPalmEventRecord::convertHH2GW(CHHDataSrc *, CGWDataSrc *, const CGWRecord *existing, CGWRecord *target) {
  if (!target) return false;
  EventFields f;
  if (!parseEventRecord(data(), dataSize(), f)) {
    g_TraceObj.write(1, "CPalmEventRecord|*ERR* record 0x%x ends inside its parts (%d bytes)\n", m_RecId,
                     static_cast<int>(dataSize()));
    return false;
  }
  eventToServer(f, (m_Flags & PALMREC_PRIVATE) != 0, static_cast<const CGWScheduleConstRec *>(existing),
                *static_cast<CGWScheduleConstRec *>(target));
  return true;
}

bool CPalmEventRecord::convertGW2HH(CHHDataSrc *, CGWDataSrc *, const CHHRecord *existing, const CGWRecord *source) {
  if (!source) return false;
  const auto &s = *static_cast<const CGWScheduleConstRec *>(source);
  if (!eventFromServer(*this, static_cast<const CPalmRecord *>(existing), s)) {
    char name[64];
    s.getRecIdStr(name, sizeof name);
    g_TraceObj.write(1,
                     "CPalmEventRecord|*ERR* \"%s\": its date cannot be held "
                     "on the handheld\n",
                     name);
    return false;
  }
  return true;
}

char *CPalmEventRecord::getRecIdStr(char *buffer, int length) const {
  EventFields f;
  if (parseEventRecord(data(), dataSize(), f)) return describeEventRecord(data(), dataSize(), buffer, length);
  return damagedRecordText(m_RecId, buffer, length);
}

void CPalmEventRecord::trace() const {
  CPalmRecord::trace();
  if (!g_TraceObj.shouldTrace(10)) return;
  EventFields f;
  if (!parseEventRecord(data(), dataSize(), f)) {
    g_TraceObj.write(10, "  (cut short)\n");
    return;
  }
  g_TraceObj.write(10,
                   "  date:0x%04x time:%d:%d-%d:%d alarm:%d repeat:%d/%d "
                   "exceptions:%d description:%db note:%db\n",
                   f.date, f.startHour, f.startMinute, f.endHour, f.endMinute, f.hasAlarm ? 1 : 0,
                   f.hasRepeat ? f.repeat.type : 0, f.hasRepeat ? f.repeat.frequency : 0,
                   static_cast<int>(f.exceptions.size()), static_cast<int>(f.description.size()),
                   static_cast<int>(f.note.size()));
}

CPalmRecord *placeEventRecord(void *memory, BYTE *sharedBuffer) { return new (memory) CPalmEventRecord(sharedBuffer); }
