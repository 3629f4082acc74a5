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

CGWMemoRec::CGWMemoRec() : CGWMemoConstRec("CGWMemoRec", nullptr) { m_RecPtr = &m_Data.data(); }

CGWMemoRec::~CGWMemoRec() = default;

void CGWMemoRec::setSubject(const char* subject) { m_Data.set<&__MEMO_DATA::pszName>(subject, "Subject"); }
void CGWMemoRec::setData(const char* body) { m_Data.set<&__MEMO_DATA::pszData>(body, "Body"); }

void CGWMemoRec::assign(const CGWRecord& other) {
  const auto* d = static_cast<const __MEMO_DATA*>(other.getRecPtr());
  if (d == &m_Data.data()) return;
  static const __MEMO_DATA kEmpty{};
  m_Data.copyFrom(d ? *d : kEmpty, {"Subject", "Body"});
}

template class CGWRecRelOf<CGWMemoRecRel, CGWMemoConstRec>;
template class CGWDataSrcOf<CGWMemoDataSrc, CMemoConnection, CGWMemoRecRel, CGWMemoRec>;
template class CGWKeyedDataSrcOf<CGWMemoDataSrc, CMemoConnection, CGWMemoRecRel, CGWMemoRec>;

CGWMemoDataSrc::CGWMemoDataSrc(CGWSession& session) : CGWKeyedDataSrcOf(session) {}

CGWMemoDataSrc::~CGWMemoDataSrc() = default;

DWORD CGWMemoDataSrc::getSyncSetting(const __SYNC5_SET* set) { return set->nMemoMode; }
