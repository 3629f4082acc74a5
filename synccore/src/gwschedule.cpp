// Schedule records and the schedule data source.
#include "synccore/gwschedule.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "log/log.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"
#include "synccore/src/gwrecutil.h"

LONG CGWScheduleConstRec::getExceptions(const __OFFICE_DATE** dates) const {
  *dates = data() ? data()->pExceptions : nullptr;
  return data() && data()->pExceptions ? data()->nExceptionCount : 0;
}

void CGWScheduleConstRec::setDateValid(const __OFFICE_DATE&) { fatalStop(m_ClassName, "setDateValid"); }
void CGWScheduleConstRec::setDateSet(const __OFFICE_DATE&) { fatalStop(m_ClassName, "setDateSet"); }
void CGWScheduleConstRec::setDateEnd(const __OFFICE_DATE&) { fatalStop(m_ClassName, "setDateEnd"); }
void CGWScheduleConstRec::setTimeSet(const __OFFICE_TIME&) { fatalStop(m_ClassName, "setTimeSet"); }
void CGWScheduleConstRec::setTimeEnd(const __OFFICE_TIME&) { fatalStop(m_ClassName, "setTimeEnd"); }
void CGWScheduleConstRec::setType(LONG) { fatalStop(m_ClassName, "setType"); }
void CGWScheduleConstRec::setDay(LONG) { fatalStop(m_ClassName, "setDay"); }
void CGWScheduleConstRec::setEvent(const char*) { fatalStop(m_ClassName, "setEvent"); }
void CGWScheduleConstRec::setDetail(const char*) { fatalStop(m_ClassName, "setDetail"); }
void CGWScheduleConstRec::setMemo(const char*) { fatalStop(m_ClassName, "setMemo"); }
void CGWScheduleConstRec::setExceptions(const __OFFICE_DATE*, LONG) { fatalStop(m_ClassName, "setExceptions"); }
__OFFICE_DATE* CGWScheduleConstRec::setExceptionCount(LONG) { fatalStop(m_ClassName, "setExceptionCount"); }
__OFFICE_DATE* CGWScheduleConstRec::setException(__OFFICE_DATE*, const __OFFICE_DATE&) {
  fatalStop(m_ClassName, "setException");
}
void CGWScheduleConstRec::setPrivate(BOOL) { fatalStop(m_ClassName, "setPrivate"); }
void CGWScheduleConstRec::setBanner(BOOL) { fatalStop(m_ClassName, "setBanner"); }

char* CGWScheduleConstRec::getRecIdStr(char* buffer, int length) const {
  char text[256] = "";
  if (const __SCHEDULE_DATA* d = data()) {
    const char* what = d->pszEvent && *d->pszEvent ? d->pszEvent : (d->pszDetail ? d->pszDetail : "");
    std::snprintf(text, sizeof text, "%d/%d %s", static_cast<int>(d->dateSet.lMonth), static_cast<int>(d->dateSet.lDay),
                  what);
  }
  copyDbcsText(buffer, text, length, DBCS_COPY, "...");
  return buffer;
}

void CGWScheduleConstRec::trace() const {
  if (!g_TraceObj.shouldTrace(10)) return;
  const __SCHEDULE_DATA* d = data();
  if (!d) return;
  g_TraceObj.write(10, "*** Schedule *** nID:%d nTimeStamp:0x%lx\n", static_cast<int>(d->nID),
                   static_cast<unsigned long>(static_cast<DWORD>(d->nTimeStamp)));
  g_TraceObj.write(10,
                   "  dateValid:%d/%d/%d dateSet:%d/%d/%d dateEnd:%d/%d/%d timeSet:%d:%d timeEnd:%d:%d nType:%d "
                   "nDay:%d\n",
                   d->dateValid.lYear, d->dateValid.lMonth, d->dateValid.lDay, d->dateSet.lYear, d->dateSet.lMonth,
                   d->dateSet.lDay, d->dateEnd.lYear, d->dateEnd.lMonth, d->dateEnd.lDay, d->timeSet.lHour,
                   d->timeSet.lMinute, d->timeEnd.lHour, d->timeEnd.lMinute, d->nType, d->nDay);
  g_TraceObj.write(10, "  pszEvent:%db pszDetail:%db pszMemo:%db nExceptionCount:%d\n", gwrec::len(d->pszEvent),
                   gwrec::len(d->pszDetail), gwrec::len(d->pszMemo), d->nExceptionCount);
  for (LONG i = 0; d->pExceptions && i < d->nExceptionCount; ++i)
    g_TraceObj.write(10, " %d/%d/%d", d->pExceptions[i].lYear, d->pExceptions[i].lMonth, d->pExceptions[i].lDay);
  g_TraceObj.write(10, "\n  bPrivate: %d bBanner: %d\n", d->bPrivate, d->bBanner);
}

CGWScheduleRec::CGWScheduleRec() : CGWScheduleConstRec("CGWScheduleRec", nullptr) { m_RecPtr = &own(); }

CGWScheduleRec::~CGWScheduleRec() = default;

void CGWScheduleRec::setEvent(const char* t) { m_Texts.set<&__SCHEDULE_DATA::pszEvent>(t, "Subject"); }
void CGWScheduleRec::setDetail(const char* t) { m_Texts.set<&__SCHEDULE_DATA::pszDetail>(t, "Detail"); }
void CGWScheduleRec::setMemo(const char* t) { m_Texts.set<&__SCHEDULE_DATA::pszMemo>(t, "Memo"); }

namespace {
// A zeroed array of count dates, or null for none; throws with the method
// name given.
std::unique_ptr<__OFFICE_DATE[]> newDates(LONG count, const char* method) {
  if (count <= 0) return nullptr;
  std::unique_ptr<__OFFICE_DATE[]> p(new (std::nothrow) __OFFICE_DATE[static_cast<size_t>(count)]());
  if (!p) throw CMemoryRunOut("CGWScheduleRec", method, "Alloc Buffer of Exception Date");
  return p;
}

// A copy of count dates (none for a null array).
std::unique_ptr<__OFFICE_DATE[]> copyDates(const __OFFICE_DATE* dates, LONG count) {
  std::unique_ptr<__OFFICE_DATE[]> p = newDates(dates ? count : 0, "copyDateField");
  if (p) std::copy(dates, dates + count, p.get());
  return p;
}
}  // namespace

void CGWScheduleRec::adoptExceptions(std::unique_ptr<__OFFICE_DATE[]> dates, LONG count) {
  m_Exceptions = std::move(dates);
  own().pExceptions = m_Exceptions.get();
  own().nExceptionCount = m_Exceptions ? count : 0;
}

__OFFICE_DATE* CGWScheduleRec::setExceptionCount(LONG count) {
  adoptExceptions(newDates(count, "setExceptionCount"), count);
  return m_Exceptions.get();
}

__OFFICE_DATE* CGWScheduleRec::setException(__OFFICE_DATE* cursor, const __OFFICE_DATE& date) {
  // A cursor outside the array would write into someone else's memory.
  __OFFICE_DATE* const dates = m_Exceptions.get();
  if (!cursor || cursor < dates || cursor >= dates + own().nExceptionCount)
    throw CWrongIndex("CGWScheduleRec", "setException", static_cast<DWORD>(cursor && dates ? cursor - dates : 0));
  *cursor = date;
  return cursor + 1;
}

void CGWScheduleRec::setExceptions(const __OFFICE_DATE* dates, LONG count) {
  adoptExceptions(copyDates(dates, count), count);
}

void CGWScheduleRec::assign(const CGWRecord& other) {
  const auto* d = static_cast<const __SCHEDULE_DATA*>(other.getRecPtr());
  if (d == &own()) return;
  static const __SCHEDULE_DATA kEmpty{};
  if (!d) d = &kEmpty;
  // Every copy is had before anything changes: texts first, then the dates.
  Texts texts;
  texts.copyFrom(*d, {"Subject", "Detail", "Memo"});
  std::unique_ptr<__OFFICE_DATE[]> dates = copyDates(d->pExceptions, d->nExceptionCount);
  m_Texts = std::move(texts);
  adoptExceptions(std::move(dates), d->nExceptionCount);
}

template class CGWRecRelOf<CGWScheduleRecRel, CGWScheduleConstRec>;
template class CGWDataSrcOf<CGWScheduleDataSrc, CScheduleConnection, CGWScheduleRecRel, CGWScheduleRec>;
template class CGWKeyedDataSrcOf<CGWScheduleDataSrc, CScheduleConnection, CGWScheduleRecRel, CGWScheduleRec>;

CGWScheduleDataSrc::CGWScheduleDataSrc(CGWSession& session) : CGWKeyedDataSrcOf(session) {}

CGWScheduleDataSrc::~CGWScheduleDataSrc() = default;
