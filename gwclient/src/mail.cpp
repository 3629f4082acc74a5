// Mail: the mail box ("SyncMail"), the queue of mails to send and its send,
// and the relation data on the mail relation page.
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

const char kMailAppName[] = "VuzIzud";

std::vector<CPageRequest::CommitLine> CMailPage::DescribeCommit() {
  std::vector<CommitLine> lines;
  for (const auto& m : m_Queue)
    lines.push_back({{"server", "add", "SyncMail", "0", m->pszSubject ? m->pszSubject : ""}});
  return lines;
}

void CMailPage::FreeQueue() { m_Queue.clear(); }

void CMailPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncMail&rw=";
  url += UrlEscape(kMailAppName);
}

std::unique_ptr<CMailPage::Record> CMailPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  // id, stamp, sent, subject, read mark, from, to, cc, bcc, reply-to,
  // content type, body
  if (!IsNumber(f[0].c_str()) || (f[3].empty() && f[11].empty())) return nullptr;
  auto mail = std::make_unique<Record>();
  mail->nID = static_cast<DWORD>(NumberValue(f[0].c_str()));
  mail->nTimeStamp = ParseTimeStamp(f[1].c_str());
  mail->nTimeSent = ParseTimeStamp(f[2].c_str());
  mail->bRead = f[4].empty() ? 0 : 1;
  mail->pszSubject = DupString(f[3]);
  mail->pszFrom = DupString(f[5]);
  mail->pszTo = DupString(f[6]);
  mail->pszCC = DupString(f[7]);
  mail->pszBCC = DupString(f[8]);
  mail->pszReplyTo = DupString(f[9]);
  mail->pszContentType = DupString(f[10]);
  mail->pszData = DupString(f[11]);
  return mail;
}

void CMailPage::QueueCopy(const __MAIL_DATA& from) {
  // Only the texts are kept: ids, stamps and the read mark are the server's.
  auto mail = std::make_unique<Record>(from);
  mail->nID = 0;
  mail->nTimeStamp = mail->nTimeSent = 0;
  mail->bRead = 0;
  m_Queue.push_back(std::move(mail));
}

bool CMailPage::BuildCommitBody(std::string& body) {
  // A mail that cannot be escaped throws std::bad_alloc and fails the send
  // whole: left out, it would be lost from the queue by the send's success.
  body += "page=SyncMail";
  for (const auto& mail : m_Queue) {
    body += "&s=" + UrlEscape(mail->pszSubject);
    body += "&t=" + UrlEscape(mail->pszTo);
    body += "&c=" + UrlEscape(mail->pszCC);
    body += "&b=" + UrlEscape(mail->pszBCC);
    body += "&d=" + UrlEscape(mail->pszData);
  }
  return true;
}

bool CMailPage::CheckErrorLine(const std::string& line) {
  if (line.compare(0, 10, "ErrorCode,") != 0) return false;
  CFieldList fields(line);
  SetLastErrorCode(GWERR_SERVER_OTHER);
  m_pSession->m_dwDetailError = static_cast<DWORD>(NumberValue(fields[1].c_str()));
  m_nSendErrorPosition = NumberValue(fields[2].c_str());
  return true;
}

int CMailPage::ParseCommitReply(CReplyReader& reply) {
  if (!CPageRequest::ParseCommitReply(reply)) return 0;  // the queue is kept
  FreeQueue();
  return 1;
}

// ---------------------------------------------------------------------------

CMailConnection::~CMailConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) {
    s->m_MailPage.FreeQueue();
    s->m_MailPage.Reset();
    s->m_MailRelationPage.Reset();
  }
}

GW_LIST_MEMBERS(CMailConnection, m_MailPage, __MAIL_DATA)

int CMailConnection::Set(const __MAIL_DATA* mail) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    if (!mail) {
      SetLastErrorCode(GWERR_BAD_ID);
      return 0;
    }
    s.m_MailPage.QueueCopy(*mail);
    return 1;
  });
}

int CMailConnection::Set(const char* subject, const char* to, const char* cc, const char* bcc, const char* data) {
  // The texts are only read by the copy that is queued.
  __MAIL_DATA mail{};
  char empty[1] = {'\0'};
  for (auto text : {&__MAIL_DATA::pszFrom, &__MAIL_DATA::pszReplyTo, &__MAIL_DATA::pszContentType}) mail.*text = empty;
  mail.pszSubject = const_cast<char*>(subject ? subject : "");
  mail.pszTo = const_cast<char*>(to ? to : "");
  mail.pszCC = const_cast<char*>(cc ? cc : "");
  mail.pszBCC = const_cast<char*>(bcc ? bcc : "");
  mail.pszData = const_cast<char*>(data ? data : "");
  return Set(&mail);
}

int CMailConnection::Send() {
  return WithSession<int>(m_pSession, 0, [](CServerSession& s) { return s.m_MailPage.Commit(); });
}

long CMailConnection::GetSendErrorPosition() {
  return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.m_MailPage.m_nSendErrorPosition; });
}

int CMailConnection::Commit() {
  return WithSession<int>(m_pSession, 0, [](CServerSession& s) { return s.m_MailRelationPage.Commit(); });
}

const __REL_DATA* CMailConnection::FindFirstRelation() {
  return WithSession<const __REL_DATA*>(m_pSession, nullptr,
                                        [](CServerSession& s) { return s.m_MailRelationPage.FindFirstRelation(); });
}

const __REL_DATA* CMailConnection::FindNextRelation() {
  return WithSession<const __REL_DATA*>(m_pSession, nullptr,
                                        [](CServerSession& s) { return s.m_MailRelationPage.FindNextRelation(); });
}

long CMailConnection::GetRelationCount() {
  return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.m_MailRelationPage.GetRelationCount(); });
}

int CMailConnection::SetRelation(unsigned long serverId, unsigned long handheldId) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    return s.m_MailRelationPage.SetRelation(static_cast<DWORD>(serverId), static_cast<DWORD>(handheldId));
  });
}

int CMailConnection::RemoveRelation(unsigned long serverId) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    return s.m_MailRelationPage.RemoveRelation(static_cast<DWORD>(serverId));
  });
}

long CMailConnection::GetRelationTimeStamp() {
  return WithSession<long>(
      m_pSession, 0, [](CServerSession& s) { return static_cast<long>(s.m_MailRelationPage.GetRelationTimeStamp()); });
}

int CMailConnection::SetRelationTimeStamp(long timeStamp) {
  return WithSession<int>(m_pSession, 0,
                          [&](CServerSession& s) { return s.m_MailRelationPage.SetRelationTimeStamp(timeStamp); });
}
