// Mail records and the mail data source.
#include "synccore/gwmail.h"

#include "log/log.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"
#include "synccore/src/gwrecutil.h"

void CGWMailConstRec::setRead(BOOL) { fatalStop(m_ClassName, "setRead"); }
void CGWMailConstRec::setSubject(const char*) { fatalStop(m_ClassName, "setSubject"); }
void CGWMailConstRec::setFrom(const char*) { fatalStop(m_ClassName, "setFrom"); }
void CGWMailConstRec::setTo(const char*) { fatalStop(m_ClassName, "setTo"); }
void CGWMailConstRec::setCC(const char*) { fatalStop(m_ClassName, "setCC"); }
void CGWMailConstRec::setBCC(const char*) { fatalStop(m_ClassName, "setBCC"); }
void CGWMailConstRec::setReplyTo(const char*) { fatalStop(m_ClassName, "setReplyTo"); }
void CGWMailConstRec::setContentType(const char*) { fatalStop(m_ClassName, "setContentType"); }
void CGWMailConstRec::setData(const char*) { fatalStop(m_ClassName, "setData"); }

char* CGWMailConstRec::getRecIdStr(char* buffer, int length) const {
  copyDbcsText(buffer, getSubject() ? getSubject() : "", length, DBCS_COPY, "...");
  return buffer;
}

void CGWMailConstRec::trace() const {
  if (!g_TraceObj.shouldTrace(10)) return;
  const __MAIL_DATA* d = data();
  if (!d) return;
  using gwrec::len;
  g_TraceObj.write(10, "*** Mail *** nID:%d nTimeStamp:0x%lx bRead:%d\n", static_cast<int>(d->nID),
                   static_cast<unsigned long>(static_cast<DWORD>(d->nTimeStamp)), d->bRead);
  g_TraceObj.write(10,
                   "  pszSubject:%db pszFrom:%db  pszTo:%db pszCC:%db pszBCC:%db pszReplyTo:%db "
                   "pszContentType:%db pszData:%db\n",
                   len(d->pszSubject), len(d->pszFrom), len(d->pszTo), len(d->pszCC), len(d->pszBCC),
                   len(d->pszReplyTo), len(d->pszContentType), len(d->pszData));
}

CGWMailRec::CGWMailRec() : CGWMailConstRec("CGWMailRec", nullptr) { m_RecPtr = &m_Data.data(); }

CGWMailRec::~CGWMailRec() = default;

void CGWMailRec::setSubject(const char* t) { m_Data.set<&__MAIL_DATA::pszSubject>(t, "Subject"); }
void CGWMailRec::setFrom(const char* t) { m_Data.set<&__MAIL_DATA::pszFrom>(t, "From"); }
void CGWMailRec::setTo(const char* t) { m_Data.set<&__MAIL_DATA::pszTo>(t, "To"); }
void CGWMailRec::setCC(const char* t) { m_Data.set<&__MAIL_DATA::pszCC>(t, "CC"); }
void CGWMailRec::setBCC(const char* t) { m_Data.set<&__MAIL_DATA::pszBCC>(t, "BCC"); }
void CGWMailRec::setReplyTo(const char* t) { m_Data.set<&__MAIL_DATA::pszReplyTo>(t, "ReplyTo"); }
void CGWMailRec::setContentType(const char* t) { m_Data.set<&__MAIL_DATA::pszContentType>(t, "Content type"); }
void CGWMailRec::setData(const char* t) { m_Data.set<&__MAIL_DATA::pszData>(t, "Body"); }

void CGWMailRec::assign(const CGWRecord& other) {
  const auto* d = static_cast<const __MAIL_DATA*>(other.getRecPtr());
  if (d == &m_Data.data()) return;
  static const __MAIL_DATA kEmpty{};
  // The labels of a failed copy, in field order.
  m_Data.copyFrom(d ? *d : kEmpty, {"Subject", "From", "To", "CC", "BCC", "ReplyTo", "Content-Type", "Body"});
}

template class CGWRecRelOf<CGWMailRecRel, CGWMailConstRec>;
template class CGWDataSrcOf<CGWMailDataSrc, CMailConnection, CGWMailRecRel, CGWMailRec>;

CGWMailDataSrc::CGWMailDataSrc(CGWSession& session) : CGWDataSrcOf(session) {}

CGWMailDataSrc::~CGWMailDataSrc() = default;

WORD CGWMailDataSrc::determineHowToSync(WORD flags) {
  return mailSyncFlagsFromSetting(flags, getSyncSetting(m_Session.getSyncSet()));
}

int CGWMailDataSrc::send() {
  if (m_Conn.Send()) {
    int sent = m_Queued;
    m_Queued = 0;
    return sent;
  }
  long p = m_Conn.GetSendErrorPosition();
  if (p) {
    report("Send", "%dth Mail failed.", static_cast<int>(p));
    return -static_cast<int>(p);
  }
  report("Send", "%dth Mail failed.(connecting server error)", 1);
  return -1;
}

DWORD CGWMailDataSrc::getSyncSetting(const __SYNC5_SET* set) { return set->nMailMode; }

bool CGWMailDataSrc::putNewRecord(CGWRecord* record, DWORD) { return putRecord(record); }
bool CGWMailDataSrc::putRecord(CGWRecord* record) {
  if (!m_Conn.Set(static_cast<const __MAIL_DATA*>(record->getRecPtr()))) return false;
  ++m_Queued;
  return true;
}
bool CGWMailDataSrc::removeRecord(DWORD) { fatalStop("CGWMailDataSrc", "removeRecord"); }
