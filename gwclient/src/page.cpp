#include "gwclient/src/page.h"

#include <algorithm>
#include <new>

#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"
#include "platform/internet.h"
#include "platform/runrecord.h"

namespace {

// Server error codes and the library errors they stand for; any other code
// is error 21 with the code as detail.
struct SERVER_ERROR {
  LONG nServerCode;
  DWORD dwError;
};
const SERVER_ERROR kServerErrors[] = {
    {16401, GWERR_SERVER_AUTH}, {16403, GWERR_SERVER_AUTH},  {16402, GWERR_SERVER_USER},
    {16404, GWERR_SERVER_USER}, {16405, GWERR_SERVER_LOGIN},
};

}  // namespace

bool CheckServerErrorLine(CServerSession* session, const std::string& line) {
  if (line.compare(0, 10, "ErrorCode,") != 0) return false;
  CFieldList fields(line);
  fields.NextField();
  LONG code = NumberValue(fields.NextField().c_str());
  for (const auto& e : kServerErrors) {
    if (e.nServerCode == code) {
      SetLastErrorCode(e.dwError);
      return true;
    }
  }
  SetLastErrorCode(GWERR_SERVER_OTHER);
  if (session) session->m_dwDetailError = static_cast<DWORD>(code);
  return true;
}

void ForEachReplyLine(CReplyReader& reply, const std::function<bool(const std::string&)>& handler) {
  std::string line;
  while (reply.ReadLine(line))
    if (!handler(line)) break;
}

// ---------------------------------------------------------------------------

int CPageRequest::ReadLines(CReplyReader& reply, const std::function<void(const std::string&)>& handler) {
  int result = 1;
  ForEachReplyLine(reply, [&](const std::string& line) {
    if (CheckErrorLine(line)) {
      result = 0;
      return false;
    }
    handler(line);
    return true;
  });
  return result;
}

int CPageRequest::ParseCommitReply(CReplyReader& reply) {
  return ReadLines(reply, [](const std::string&) {});
}

void CPageRequest::AppendLabel(std::string& text) const {
  text += "&label=";
  text += UrlEscape(m_pSession ? m_pSession->m_Label.c_str() : "");
}

bool CPageRequest::CheckErrorLine(const std::string& line) { return CheckServerErrorLine(m_pSession, line); }

bool CPageRequest::TakeStatus(platform::HttpRequest& request, bool tellUnauthorized) {
  DWORD status = 0;
  if (!request.status(&status)) {
    SetLastErrorCode(GWERR_NO_STATUS);
    return false;
  }
  if (status == 200) {
    m_pSession->ExchangeSucceeded();
    return true;
  }
  m_pSession->m_dwDetailError = status;
  SetLastErrorCode(tellUnauthorized && status == 401 ? GWERR_UNAUTHORIZED : GWERR_HTTP_STATUS);
  return false;
}

bool CPageRequest::SendGet(platform::HttpRequest& request) {
  if (!request.send(nullptr, 0)) {
    SetLastErrorCode(GWERR_SEND);
    return false;
  }
  return TakeStatus(request, true);
}

bool CPageRequest::SendPost(platform::HttpRequest& request, const char* body, size_t length) {
  // The body is handed over whole: the request sends it as the connection
  // takes it.
  bool sent = request.begin(length) && (length == 0 || request.write(body, length));
  if (!sent || !request.end()) {
    SetLastErrorCode(GWERR_SEND);
    return false;
  }
  // A commit tells a 401 no apart from any other status but 200.
  return TakeStatus(request, false);
}

bool CPageRequest::Attempt(const std::function<bool()>& send) {
  // No attempt at all would leave a reply to parse that was never asked
  // for: a retry count of 0 counts as 1.
  DWORD attempts = std::max<DWORD>(m_pSession->m_dwRetry, 1);
  for (DWORD i = 0; i < attempts; ++i) {
    if (send()) return true;
    if (LastErrorCode() == GWERR_UNAUTHORIZED) break;
  }
  return false;
}

int CPageRequest::Fetch(bool force) {
  if (!force && m_bLoaded) return 1;
  Reset();
  if (!m_pSession || !m_pSession->HasConnection()) {
    SetLastErrorCode(GWERR_NO_SESSION);
    return 0;
  }
  try {
    std::string url;
    BuildURL(url);
    if (m_pSession->m_bRemote) url += "&remote=1";
    url += "&sync=1";
    platform::HttpRequest request(*m_pSession->Connection(), "GET", url);
    if (!Attempt([&] { return SendGet(request); })) return 0;
    CReplyReader reader(request);
    m_bLoaded = Parse(reader);
  } catch (const std::bad_alloc&) {
    // What was read before the failure is not the page: a record missing
    // from it would look deleted on the server. Reset never allocates.
    Reset();
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  return m_bLoaded;
}

int CPageRequest::Commit() {
  if (!m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  if (!m_pSession || !m_pSession->HasConnection()) {
    SetLastErrorCode(GWERR_NO_SESSION);
    return 0;
  }
  // The body is built whole before a request exists: a record that could
  // not be written would reach the server without its fields, and be stored
  // empty.
  std::string body;
  try {
    body.reserve(1024);
    if (!BuildCommitBody(body)) {
      SetLastErrorCode(GWERR_NO_MEMORY);
      return 0;
    }
    body += "&sync=1";
    if (m_pSession->m_bRemote) body += "&remote=1";
    body += "&rw=1";
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  try {
    std::vector<CommitLine> lines;
    if (platform::runRecordActive()) lines = DescribeCommit();
    int result = 0;
    if (platform::dryRun()) {
      // Nothing is sent: the page takes the reply the server would give, so
      // that what follows in the run is decided as in a real one.
      const std::string reply = DryRunReply();
      CReplyReader reader{std::string_view(reply)};
      result = ParseCommitReply(reader);
    } else {
      platform::HttpRequest request(*m_pSession->Connection(), "POST", m_pSession->m_ObjectPath);
      if (!Attempt([&] { return SendPost(request, body.data(), body.size()); })) return 0;
      CReplyReader reader(request);
      result = ParseCommitReply(reader);
    }
    if (result && !lines.empty()) {
      std::vector<std::vector<std::string>> text;
      for (CommitLine& l : lines) {
        if (l.idAfter && l.fields.size() > 3) l.fields[3] = std::to_string(*l.idAfter);
        text.push_back(std::move(l.fields));
      }
      platform::appendRunRecordLines(text);
    }
    return result;
  } catch (const std::bad_alloc&) {
    // Once sent, the server may have applied the commit although its reply
    // could not be read: told as a failure, like a reply lost on the way,
    // and the pending changes are kept.
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
}

// ---------------------------------------------------------------------------

void CDataPageBase::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=";
  url += CommitPageName();
  AppendLabel(url);
}

DWORD CDataPageBase::NextProvisionalId() {
  static DWORD provisional = 0x7FFFFFF0u;
  return provisional--;
}
