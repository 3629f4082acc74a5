// Memo records and the memo data source.
#include "synccore/gwmemo.h"

#include "log/log.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"
#include "synccore/src/gwrecutil.h"

void CGWMemoConstRec::setSubject(const char*) { fatalStop(m_ClassName, "setSubject"); }
void CGWMemoConstRec::setData(const char*) { fatalStop(m_ClassName, "setData"); }

char* CGWMemoConstRec::getRecIdStr(char* buffer, int length) const {
  copyDbcsText(buffer, getSubject() ? getSubject() : "", length, DBCS_COPY, "...");
  return buffer;
}

void CGWMemoConstRec::trace() const {
  if (!g_TraceObj.shouldTrace(10)) return;
  const __MEMO_DATA* d = data();
  if (!d) return;
  g_TraceObj.write(10, "*** Memo *** nID:%d nTimeStamp:0x%lx\n", static_cast<int>(d->nID),
                   static_cast<unsigned long>(static_cast<DWORD>(d->nTimeStamp)));
  g_TraceObj.write(10, "  pszName:%db pszData:%db\n", gwrec::len(d->pszName), gwrec::len(d->pszData));
}

CGWMemoRec::CGWMemoRec() : CGWMemoConstRec("CGWMemoRec", nullptr), m_Data{} { m_RecPtr = &m_Data; }

CGWMemoRec::~CGWMemoRec() {
  delete[] m_Data.pszName;
  delete[] m_Data.pszData;
}

void CGWMemoRec::setSubject(const char* subject) { gwrec::setStr(m_Data.pszName, subject, "Subject"); }
void CGWMemoRec::setData(const char* body) { gwrec::setStr(m_Data.pszData, body, "Body"); }

void CGWMemoRec::assign(const CGWRecord& other) {
  const auto* d = static_cast<const __MEMO_DATA*>(other.getRecPtr());
  if (d == &m_Data) return;
  setSubject(d ? d->pszName : nullptr);
  setData(d ? d->pszData : nullptr);
  m_Data.nID = d ? d->nID : 0;
  m_Data.nTimeStamp = d ? d->nTimeStamp : 0;
}

void CGWMemoRecRel::reset(DWORD attrib, DWORD gwRecId, DWORD hhRecId, const __MEMO_DATA* record) {
  m_Next = nullptr;
  m_Marks = 0;
  m_Attrib = attrib;
  m_GWRecId = gwRecId;
  m_HHRecId = hhRecId;
  m_Rec.setRecPtr(record);
}

CGWRecRel* CGWMemoRecRel::clone(ObjBuf& pool) const {
  return new (gwrec::cloneSlot(pool, "CGWMemoRecRel")) CGWMemoRecRel(*this);
}

CGWMemoDataSrc::CGWMemoDataSrc(CGWSession& session)
    : CGWDataSrc(session, sizeof(CGWMemoRecRel)), m_Conn(session.getOfficeSession()) {}

CGWMemoDataSrc::~CGWMemoDataSrc() = default;

int CGWMemoDataSrc::getRelationCount() {
  return gwrec::relationCount(*this, m_Conn.GetRelationCount());
}
LONG CGWMemoDataSrc::getRelationTimeStamp() { return static_cast<LONG>(m_Conn.GetRelationTimeStamp()); }
DWORD CGWMemoDataSrc::getSyncSetting(const __SYNC5_SET* set) { return set->nMemoMode; }

CGWRecord* CGWMemoDataSrc::createRecord() {
  CGWRecord* r = new (std::nothrow) CGWMemoRec;
  if (!r) throw CMemoryRunOut("CGWMemoDataSrc", "createRecord", "Alloc CGWMemoRec");
  return r;
}
void CGWMemoDataSrc::destroyRecord(CGWRecord* record) { delete record; }

CGWRecRel* CGWMemoDataSrc::findFirst() { return gwrec::fromRecord(m_Current, m_Conn.FindFirst()); }
CGWRecRel* CGWMemoDataSrc::findNext() { return gwrec::fromRecord(m_Current, m_Conn.FindNext()); }
CGWRecRel* CGWMemoDataSrc::findFirstRelation() { return gwrec::fromRelation(m_Current, m_Conn.FindFirstRelation()); }
CGWRecRel* CGWMemoDataSrc::findNextRelation() { return gwrec::fromRelation(m_Current, m_Conn.FindNextRelation()); }

bool CGWMemoDataSrc::putNewRecord(CGWRecord* record, DWORD hhRecId) {
  return m_Conn.Set(static_cast<const __MEMO_DATA*>(record->getRecPtr()), hhRecId) != nullptr;
}
bool CGWMemoDataSrc::putRecord(CGWRecord* record) {
  return m_Conn.Set(static_cast<const __MEMO_DATA*>(record->getRecPtr()), 0) != nullptr;
}
bool CGWMemoDataSrc::removeRecord(DWORD gwRecId) { return m_Conn.Remove(gwRecId) != 0; }
bool CGWMemoDataSrc::commitChanges() { return m_Conn.Commit() != 0; }
bool CGWMemoDataSrc::putRelation(DWORD hhRecId, DWORD gwRecId) { return m_Conn.SetRelation(gwRecId, hhRecId) != 0; }
bool CGWMemoDataSrc::removeRelation(DWORD gwRecId) { return m_Conn.RemoveRelation(gwRecId) != 0; }
bool CGWMemoDataSrc::putRelationTimeStamp(LONG timeStamp) { return m_Conn.SetRelationTimeStamp(timeStamp) != 0; }
