// The schedule window on both sides of the schedule conduit.
#include "conduits/schedule/scheduledatasrc.h"

#include <ctime>
#include <vector>

#include "conduits/common/syncmgr.h"
#include "log/log.h"
#include "synccore/gwsession.h"

namespace {

const SyncManager &sm() { return loadedSyncManager("CPalmLSScheduleDataSrc"); }

CGWScheduleWindowDataSrc *g_Current = nullptr;

__OFFICE_DATE localToday() {
  const time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
}

ScheduleWindow windowOf(CGWSession &session) {
  const __SYNC5_SET *set = session.getSyncSet();
  return ScheduleWindow::around(localToday(), set->nScheduleNumberA, set->nScheduleNumberB);
}

}  // namespace

CGWScheduleWindowDataSrc::CGWScheduleWindowDataSrc(CGWSession &session)
    : CGWScheduleWindowDataSrc(session, windowOf(session)) {}

CGWScheduleWindowDataSrc::CGWScheduleWindowDataSrc(CGWSession &session, const ScheduleWindow &window)
    : CGWScheduleDataSrc(session), m_Window(window) {
  g_TraceObj.write(9, "GWDataSrc| schedule window %d/%d/%d - %d/%d/%d\n", m_Window.first.lYear, m_Window.first.lMonth,
                   m_Window.first.lDay, m_Window.last.lYear, m_Window.last.lMonth, m_Window.last.lDay);
  g_Current = this;
}

CGWScheduleWindowDataSrc::~CGWScheduleWindowDataSrc() {
  if (g_Current == this) g_Current = nullptr;
}

CGWScheduleWindowDataSrc *CGWScheduleWindowDataSrc::current() { return g_Current; }

CGWRecRel *CGWScheduleWindowDataSrc::skipOutside(CGWRecRel *e) {
  for (; e; e = CGWScheduleDataSrc::findNext()) {
    const auto *rec = static_cast<const CGWScheduleConstRec *>(e->getRecord());
    if (!rec->data() || m_Window.meetsSchedule(*rec->data())) return e;
    g_TraceObj.write(10, "GWDataSrc| schedule 0x%x outside the window\n", e->m_GWRecId);
  }
  return nullptr;
}

CGWRecRel *CGWScheduleWindowDataSrc::findFirst() { return skipOutside(CGWScheduleDataSrc::findFirst()); }
CGWRecRel *CGWScheduleWindowDataSrc::findNext() { return skipOutside(CGWScheduleDataSrc::findNext()); }

CGWRecRel *CGWScheduleWindowDataSrc::skipHiddenRelations(CGWRecRel *e) {
  for (; e && m_HiddenGW.count(e->m_GWRecId); e = CGWScheduleDataSrc::findNextRelation())
    m_HiddenHH.insert(e->m_HHRecId);
  return e;
}

CGWRecRel *CGWScheduleWindowDataSrc::findFirstRelation() {
  // The relations come before the schedules: which schedules are outside
  // is read from the connection first.
  m_HiddenGW.clear();
  m_HiddenHH.clear();
  CScheduleConnection &conn = connection();
  for (const __SCHEDULE_DATA *s = conn.FindFirst(); s; s = conn.FindNext())
    if (!m_Window.meetsSchedule(*s)) m_HiddenGW.insert(s->nID);
  return skipHiddenRelations(CGWScheduleDataSrc::findFirstRelation());
}

CGWRecRel *CGWScheduleWindowDataSrc::findNextRelation() {
  return skipHiddenRelations(CGWScheduleDataSrc::findNextRelation());
}

bool CPalmLSScheduleDataSrc::inWindow(const CRawRecordInfo &info) const {
  const CGWScheduleWindowDataSrc *gw = CGWScheduleWindowDataSrc::current();
  EventFields f;
  if (!gw || !parseEventRecord(info.m_pBytes, info.m_RecSize, f)) return true;
  return gw->window().meetsEvent(f);
}

bool CPalmLSScheduleDataSrc::ownsRecord(const CRawRecordInfo &info, CGWDataSrc *gw) {
  const CGWScheduleWindowDataSrc *window = CGWScheduleWindowDataSrc::current();
  // A deleted or archived record has lost its date: its pairing says.
  if (info.m_Attribs & (eRecAttrDeleted | eRecAttrArchived)) return !window || !window->pairedOutside(info.m_RecId);
  if (inWindow(info)) return true;
  // Moved out of the window on the handheld while the server's copy is in it.
  return gw && gw->findRecRel(info.m_RecId);
}

bool CPalmLSScheduleDataSrc::readRecords(CGWDataSrc *gw, bool all) {
  if (!all) return CPalmLSDataSrc::readRecords(gw, false);
  g_TraceObj.write(9,
                   "CPalmLSScheduleDataSrc: ---------Reading all records in "
                   "the window--------\n");
  CPalmRecordSet *set = palmRecords();
  set->init();
  if (!forEachRecord(
          [&](const CRawRecordInfo &info) { return !ownsRecord(info, gw) || addRawRecord(info, PALMREC_MODIFIED); }))
    return false;
  set->traceRead();
  g_TraceObj.write(9, "CPalmLSScheduleDataSrc: ---------Records(%d records) read-----------\n", set->count());
  return true;
}

bool CPalmLSScheduleDataSrc::deleteAllRecord() {
  g_TraceObj.write(9, "deleteAllRecord() called: the records in the window\n");
  std::vector<DWORD> ids;
  if (!forEachRecord([&](const CRawRecordInfo &info) {
        if ((info.m_Attribs & (eRecAttrDeleted | eRecAttrArchived)) || inWindow(info)) ids.push_back(info.m_RecId);
        return true;
      }))
    return false;
  for (DWORD id : ids)
    if (!deleteRawRecord(id)) return false;
  return true;
}

bool CPalmLSScheduleDataSrc::cleanupSyncRecords(int /*count*/) {
  g_TraceObj.write(9,
                   "cleanupSyncRecords() called. Clearing the dirty bit of "
                   "the records read\n");
  std::vector<DWORD> ids;
  CPalmRecordSet *set = palmRecords();
  for (CHHRecord *r = set->getFirst(); r; r = set->getNext())
    if (!(static_cast<CPalmRecord *>(r)->m_Flags & PALMREC_DELETED)) ids.push_back(r->getRecordId());
  if (!forEachRecordById(ids, [this](CRawRecordInfo &info) {
        if (!(info.m_Attribs & eRecAttrDirty) || (info.m_Attribs & (eRecAttrDeleted | eRecAttrArchived))) return true;
        return writeBackClean(info);
      }))
    return false;
  // Deleted records go whether synced or not: outside the window their
  // server copies stay, as the window promises.
  LONG err = sm().PurgeDeletedRecs(m_Handle);
  if (err != 0) {
    logSyncError("SyncPurgeDeletedRecs", err);
    return false;
  }
  return true;
}

std::unique_ptr<CPalmLSDataSrc> makeScheduleHandheldSource(CPalmCategoryList *categories, CPalmRecordSet *records,
                                                           SyncTimeStore *times, const char *dbName, DWORD creator) {
  return std::make_unique<CPalmLSScheduleDataSrc>(categories, records, times, dbName, creator);
}
