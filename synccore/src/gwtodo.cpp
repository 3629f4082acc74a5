// To-do records and the to-do data source.
#include "synccore/gwtodo.h"

#include "log/log.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"
#include "synccore/src/gwrecutil.h"

void CGWToDoConstRec::setDateLimit(const __OFFICE_DATE&) { fatalStop(m_ClassName, "setDateLimit"); }
void CGWToDoConstRec::setImportant(LONG) { fatalStop(m_ClassName, "setImportant"); }
void CGWToDoConstRec::setFinish(BOOL) { fatalStop(m_ClassName, "setFinish"); }
void CGWToDoConstRec::setDateEnd(const __OFFICE_DATE&) { fatalStop(m_ClassName, "setDateEnd"); }
void CGWToDoConstRec::setName(const char*) { fatalStop(m_ClassName, "setName"); }
void CGWToDoConstRec::setCategory(const char*) { fatalStop(m_ClassName, "setCategory"); }
void CGWToDoConstRec::setMemo(const char*) { fatalStop(m_ClassName, "setMemo"); }

char* CGWToDoConstRec::getRecIdStr(char* buffer, int length) const {
  copyDbcsText(buffer, getName() ? getName() : "", length, DBCS_COPY, "...");
  return buffer;
}

void CGWToDoConstRec::trace() const {
  if (!g_TraceObj.shouldTrace(10)) return;
  const __TODO_DATA* d = data();
  if (!d) return;
  g_TraceObj.write(10, "*** ToDo *** nID:%d nTimeStamp:0x%lx\n", static_cast<int>(d->nID),
                   static_cast<unsigned long>(static_cast<DWORD>(d->nTimeStamp)));
  g_TraceObj.write(10, "  dateLimit:%d/%d/%d nPriority:%d bFinish:%d dateEnd:%d/%d/%d\n", d->dateLimit.lYear,
                   d->dateLimit.lMonth, d->dateLimit.lDay, d->nPriority, d->bFinish, d->dateEnd.lYear,
                   d->dateEnd.lMonth, d->dateEnd.lDay);
  g_TraceObj.write(10, "  pszName:%db pszCategory:%db\n", gwrec::len(d->pszName), gwrec::len(d->pszCategory));
  g_TraceObj.write(10, "  pszMemo:%db\n", gwrec::len(d->pszMemo));
}

CGWToDoRec::CGWToDoRec() : CGWToDoConstRec("CGWToDoRec", nullptr) { m_RecPtr = &m_Data.data(); }

CGWToDoRec::~CGWToDoRec() = default;

void CGWToDoRec::setName(const char* t) { m_Data.set<&__TODO_DATA::pszName>(t, "ToDo"); }
void CGWToDoRec::setCategory(const char* t) { m_Data.set<&__TODO_DATA::pszCategory>(t, "Category"); }
void CGWToDoRec::setMemo(const char* t) { m_Data.set<&__TODO_DATA::pszMemo>(t, "Memo"); }

void CGWToDoRec::assign(const CGWRecord& other) {
  const auto* d = static_cast<const __TODO_DATA*>(other.getRecPtr());
  if (d == &m_Data.data()) return;
  static const __TODO_DATA kEmpty{};
  m_Data.copyFrom(d ? *d : kEmpty, {"ToDo Name", "Category", "Memo"});
}

template class CGWRecRelOf<CGWToDoRecRel, CGWToDoConstRec>;
template class CGWDataSrcOf<CGWToDoDataSrc, CToDoConnection, CGWToDoRecRel, CGWToDoRec>;
template class CGWKeyedDataSrcOf<CGWToDoDataSrc, CToDoConnection, CGWToDoRecRel, CGWToDoRec>;

CGWToDoDataSrc::CGWToDoDataSrc(CGWSession& session) : CGWKeyedDataSrcOf(session) {}

CGWToDoDataSrc::~CGWToDoDataSrc() = default;
