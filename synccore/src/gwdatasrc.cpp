// The server data source's operations that the engine calls: each wraps one
// virtual operation and reports a client failure once through the session.
#include "synccore/gwdatasrc.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "log/log.h"
#include "synccore/gwsession.h"

namespace {

// Local calendar time of a time stamp; false when it is no valid time.
bool localTime(LONG stamp, std::tm& out) {
  if (stamp < 0) return false;
  std::time_t t = stamp;
  return ::localtime_r(&t, &out) != nullptr;
}

void traceRecordStamp(LONG stamp) {
  if (!g_TraceObj.shouldTrace(10)) return;
  std::tm tm{};
  if (localTime(stamp, tm)) {
    g_TraceObj.write(10, "Initialize GWDataSrc|RecordSet Record TStamp:%d/%d/%d %d:%d:%d\n", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  } else {
    g_TraceObj.write(10, "GWDataSrc|initRecordSet Bad Record TStamp:0x%x", static_cast<DWORD>(stamp));
  }
}

}  // namespace

CGWDataSrc::CGWDataSrc(CGWSession& session, WORD entrySize) : m_Session(session), m_RecordSet(entrySize) {}

CGWDataSrc::~CGWDataSrc() = default;

DWORD CGWDataSrc::clientError() const { return m_Session.getOfficeSession().GetLastError(); }

void CGWDataSrc::report(const char* operation, const char* format, ...) {
  va_list args;
  va_start(args, format);
  m_Session.vreportServerError(operation, format, args);
  va_end(args);
}

bool CGWDataSrc::isInitialSync() {
  LONG r = getRelationTimeStamp();
  g_TraceObj.write(10, "GWDataSrc| check initial sync. Relation Data TStamp:0x%x --> Initial Sync:%s\n",
                   static_cast<DWORD>(r), r == 0 ? "Yes" : "No");
  return r == 0;
}

WORD CGWDataSrc::determineHowToSync(WORD flags) {
  const __SYNC5_SET* set = m_Session.getSyncSet();
  DWORD w = getSyncSetting(set);
  if (g_TraceObj.shouldTrace(10)) {
    g_TraceObj.write(10, "CGWDataSrc|determineHowToSync Address relation setting.\n");
    for (int i = 0; i < 38; ++i)
      g_TraceObj.write(10, "    ADDRESS_SET.nRelations[%d] = %d\n", i, static_cast<int>(set->nRelations[i]));
  }
  return syncFlagsFromSetting(flags, w);
}

bool CGWDataSrc::initRecordSet() {
  m_RecordSet.clear();
  const LONG r = getRelationTimeStamp();

  CGWRecRel* e = findFirstRelation();
  if (!e && clientFailed()) {
    report("FindFirstRelation", nullptr);
    return false;
  }
  for (; e; e = findNextRelation()) m_RecordSet.add(*e);

  e = findFirst();
  if (!e && clientFailed()) {
    report("FindFirst", nullptr);
    return false;
  }
  for (; e; e = findNext()) {
    LONG s = e->getRecord()->getTimeStamp();
    traceRecordStamp(s);
    if (s > r) e->m_Attrib |= GWATTR_CHANGED;
    m_RecordSet.add(*e);
  }
  m_RecordSet.finish();
  return true;
}

bool CGWDataSrc::addRecord(CGWRecord* record, DWORD hhRecId) {
  if (putNewRecord(record, hhRecId)) return true;
  report("Set", "hhrecid:0x%x.", hhRecId);
  return false;
}

bool CGWDataSrc::modifyRecord(CGWRecord* record) {
  if (putRecord(record)) return true;
  report("Set", nullptr);
  return false;
}

bool CGWDataSrc::removeRecordById(DWORD gwRecId) {
  if (removeRecord(gwRecId)) return true;
  report("Remove", nullptr);
  return false;
}

bool CGWDataSrc::removeRecordEntry(CGWRecRel* entry) {
  if (!removeRecordById(entry->m_GWRecId)) return false;
  entry->m_Attrib |= GWATTR_DELETED;
  return true;
}

int CGWDataSrc::deleteAllRecords() {
  CGWRecRel* e = findFirst();
  if (!e && clientFailed()) {
    report("FindFirst", nullptr);
    return -1;
  }
  int removed = 0;
  for (; e; e = findNext()) {
    if (!removeRecordById(e->m_GWRecId)) return -1;
    ++removed;
  }
  return removed;
}

bool CGWDataSrc::commit() {
  g_TraceObj.write(9, "GWDataSrc::commit() called\n");
  if (commitChanges()) return true;
  report("Commit", nullptr);
  return false;
}

bool CGWDataSrc::addRelation(DWORD hhRecId, DWORD gwRecId) {
  if (!putRelation(hhRecId, gwRecId)) {
    report("SetRelation", "hhrecid:0x%x gwrecid:0x%x.", hhRecId, gwRecId);
    return false;
  }
  g_TraceObj.write(10, "GWDataSrc| add a Relation Data. hhrecid:0x%x gwrecid:0x%x\n", hhRecId, gwRecId);
  return true;
}

bool CGWDataSrc::deleteRelation(DWORD gwRecId) {
  if (!removeRelation(gwRecId)) {
    report("RemoveRelation", "gwrecid:0x%x.", gwRecId);
    return false;
  }
  g_TraceObj.write(10, "GWDataSrc| delete a Relation Data. gwrecid:0x%x\n", gwRecId);
  return true;
}

int CGWDataSrc::deleteAllRelations() {
  CGWRecRel* e = findFirstRelation();
  if (!e && clientFailed()) {
    report("FindFirstRelation", nullptr);
    return -1;
  }
  int deleted = 0;
  for (; e; e = findNextRelation()) {
    if (!deleteRelation(e->m_GWRecId)) return -1;
    ++deleted;
  }
  g_TraceObj.write(10, "GWDataSrc| delete ALL Relation Data. deleted %d records.\n", deleted);
  return deleted;
}

bool CGWDataSrc::setRelationTimeStamp(LONG timeStamp) {
  if (!putRelationTimeStamp(timeStamp)) {
    report("SetRelationTimeStamp", "timestamp:0x%x.", static_cast<DWORD>(timeStamp));
    return false;
  }
  g_TraceObj.write(10, "GWDataSrc| update TStamp of Relation Data. TStamp:0x%x\n", static_cast<DWORD>(timeStamp));
  return true;
}
