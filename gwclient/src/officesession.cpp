// COfficeSession: the exported session, its login and the user, version and
// settings members.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "gwclient/gwclient.h"
#include "gwclient/src/connection.h"
#include "gwclient/src/record.h"
#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"

namespace {

const DWORD kDefaultTimeout = 90000;
const DWORD kDefaultRetry = 1;

// Runs body; an allocation failure becomes error 1 and the result fail.
template <typename T, typename Body>
T Guarded(T fail, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return fail;
  }
}

// A copy of a credential, owned like every text of the library; null stays
// null. Throws std::bad_alloc.
CText CopyText(const char* text) { return CText(text ? DupString(text) : nullptr); }

// Replaces the session's credentials, freeing the ones it held.
void SetCredentials(COfficeSession& session, CText user, CText password) noexcept {
  FreeString(session.m_pszUser);
  FreeString(session.m_pszPassword);
  session.m_pszUser = user.release();
  session.m_pszPassword = password.release();
}

// The open session of handle; error 2 and null when there is none.
CServerSession* Lookup(DWORD handle) {
  CServerSession* session = handle ? FindSession(handle) : nullptr;
  if (!session) SetLastErrorCode(GWERR_NOT_OPEN);
  return session;
}

// Whether the raw reply headers set the login cookie; the mark is then
// "Cookie:" and the rest of that header line.
bool FindLoginCookie(const std::string& headers, std::string& mark) {
  for (size_t pos = 0; pos < headers.size();) {
    size_t lf = headers.find('\n', pos);
    size_t end = lf == std::string::npos ? headers.size() : lf + 1;
    std::string_view line(headers.data() + pos, end - pos);
    if (line.size() >= 11 && strncasecmp(line.data(), "Set-Cookie:", 11) == 0 &&
        line.find("Login") != std::string_view::npos) {
      mark = "Cookie:";
      mark.append(line.substr(11));
      return true;
    }
    pos = end;
  }
  return false;
}

}  // namespace

CServerSession* SessionOf(const COfficeSession* session) { return Lookup(session ? session->m_dwHandle : 0); }

COfficeSession::COfficeSession()
    : m_dwHandle(0),
      m_pszUser(nullptr),
      m_pszPassword(nullptr),
      m_dwTimeout(kDefaultTimeout),
      m_dwRetry(kDefaultRetry),
      m_bRemote(0) {}

COfficeSession::~COfficeSession() {
  Close();
  // A copy that was never opened still owns its credential strings.
  FreeString(m_pszUser);
  FreeString(m_pszPassword);
}

void COfficeSession::CopyCredentials(const COfficeSession& other) {
  Guarded(0, [&] {
    SetCredentials(*this, CopyText(other.m_pszUser), CopyText(other.m_pszPassword));
    return 1;
  });
}

int COfficeSession::SetAuth(const char* user, const char* password) {
  if (m_dwHandle != 0) return 0;
  return Guarded(0, [&] {
    SetCredentials(*this, CopyText(user ? user : ""), CopyText(password ? password : ""));
    return 1;
  });
}

int COfficeSession::SetTimeout(DWORD timeout, DWORD retry) {
  if (m_dwHandle != 0) {
    SetLastErrorCode(GWERR_ALREADY_OPEN);
    return 0;
  }
  m_dwTimeout = timeout;
  m_dwRetry = retry;
  return 1;
}

int COfficeSession::Open(const char* url, const char* proxy, short port) {
  if (m_dwHandle != 0) {
    SetLastErrorCode(GWERR_ALREADY_OPEN);
    return 0;
  }
  CServerSession* session = nullptr;
  try {
    std::string proxyText;
    if (proxy) {
      char buffer[32];
      // The port comes as a signed 16-bit number; ports above 32767 are
      // still ports, not negative numbers.
      std::snprintf(buffer, sizeof buffer, ":%u", static_cast<unsigned>(static_cast<uint16_t>(port)));
      proxyText = std::string(proxy) + buffer;
    }
    auto created = std::make_unique<CServerSession>(proxy ? proxyText.c_str() : nullptr);
    created->Internet().setTimeout(m_dwTimeout);
    created->Internet().setConnectRetries(m_dwRetry);
    session = created.get();
    m_dwHandle = AddSession(std::move(created));
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }

  if (m_pszUser) {
    if (session->HasConnection()) {
      SetLastErrorCode(GWERR_ALREADY_OPEN);
    } else if (!*m_pszUser) {
      SetLastErrorCode(GWERR_EMPTY_USER);  // goes on without credentials
    } else {
      session->m_User = m_pszUser;
      session->m_Password = m_pszPassword ? m_pszPassword : "";
    }
  }
  session->m_dwTimeout = m_dwTimeout;
  session->m_dwRetry = m_dwRetry;
  session->m_bRemote = m_bRemote;

  DWORD error = Guarded<DWORD>(GWERR_NO_MEMORY, [&] { return session->Connect(url); });
  if (error != GWERR_NONE) {
    SetLastErrorCode(error);
    Close();
    return 0;
  }
  return 1;
}

int COfficeSession::Open(const char* url, DWORD userId, const char* password, const char* proxy, short port) {
  if (!Open(url, proxy, port)) return 0;
  if (Login(userId, password)) return 1;
  DWORD error = LastErrorCode();
  Close();
  SetLastErrorCode(error);
  return 0;
}

int COfficeSession::Login(DWORD userId, const char* password) {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return 0;
  if (!session->HasConnection()) {
    SetLastErrorCode(GWERR_NOT_CONNECTED);
    return 0;
  }
  return Guarded(0, [&] {
    // The password is a form value like any other: escaped, so that '&',
    // '=', '+' or '%' in it neither break the login nor add parameters.
    std::string body = "page=PXBlank&_System=login&_Login=1&_ID=" + std::to_string(static_cast<int>(userId)) +
                       "&Password=" + UrlEscape(password) + "&Submit=1" + (session->m_bRemote ? "&remote=1" : "") +
                       "&sync=1";
    platform::HttpRequest request(*session->Connection(), "POST", session->m_ObjectPath);
    bool sent = false;
    for (DWORD i = 0, n = std::max<DWORD>(session->m_dwRetry, 1); i < n && !sent; ++i) {
      DWORD status = 0;
      if (!request.send(body.data(), body.size())) {
        SetLastErrorCode(GWERR_SEND);
      } else if (!request.status(&status)) {
        SetLastErrorCode(GWERR_NO_STATUS);
      } else if (status == 401) {
        SetLastErrorCode(GWERR_UNAUTHORIZED);
        break;
      } else {
        session->ExchangeSucceeded();  // the reply and its cookie decide
        sent = true;
      }
    }
    if (!sent) return 0;

    bool errorLine = false;
    CReplyReader reader(request);
    ForEachReplyLine(reader, [&](const std::string& line) {
      errorLine = CheckServerErrorLine(session, line);
      return !errorLine;
    });
    if (errorLine) return 0;
    // A login that fails after an earlier one succeeded must not look
    // logged in: the mark is set by this reply or not at all.
    session->m_LoginMark.clear();
    FindLoginCookie(request.rawHeaders(), session->m_LoginMark);
    if (!session->m_LoginMark.empty()) return 1;
    SetLastErrorCode(GWERR_NO_LOGIN_COOKIE);
    return 0;
  });
}

int COfficeSession::SetLabel(const char* name, DWORD id) {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return 0;
  return Guarded(0, [&] {
    session->m_Label = (name ? std::string(name) : std::string()) + std::to_string(static_cast<int>(id));
    return 1;
  });
}

int COfficeSession::SetLocale(const char* locale) {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return 0;
  return Guarded(
      0, [&] { return session->Internet().setCookie(session->m_URL.c_str(), "lc", locale ? locale : "") ? 1 : 0; });
}

void COfficeSession::Close() {
  if (m_dwHandle == 0) return;
  if (!RemoveSession(m_dwHandle)) SetLastErrorCode(GWERR_NOT_OPEN);
  m_dwHandle = 0;
  m_dwTimeout = kDefaultTimeout;
  m_dwRetry = kDefaultRetry;
  m_bRemote = 0;
  SetCredentials(*this, nullptr, nullptr);
}

DWORD COfficeSession::GetLastError() const { return LastErrorCode(); }

DWORD COfficeSession::GetDetailError() const {
  CServerSession* session = Lookup(m_dwHandle);
  return session ? session->m_dwDetailError : 0;
}

__USER_DATA* COfficeSession::FindFirstUser() {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return nullptr;
  session->m_LoginMark.clear();  // the user page logs out
  return Guarded<__USER_DATA*>(nullptr, [&] { return static_cast<__USER_DATA*>(session->m_UserPage.FindFirst()); });
}

__USER_DATA* COfficeSession::FindNextUser() {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return nullptr;
  return static_cast<__USER_DATA*>(session->m_UserPage.FindNext());
}

DWORD COfficeSession::Version() {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return 0;
  session->m_LoginMark.clear();  // the version page logs out
  return Guarded<DWORD>(0, [&]() -> DWORD {
    CVersionPage& page = session->m_VersionPage;
    if (!page.Fetch()) return 0;
    return static_cast<DWORD>(page.m_nMajor) << 16 | (static_cast<DWORD>(page.m_nMinor) & 0xFFFF);
  });
}

const char* COfficeSession::ProductID() {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return nullptr;
  CVersionPage& page = session->m_VersionPage;
  if (!page.IsLoaded()) session->m_LoginMark.clear();
  return Guarded<const char*>(nullptr,
                              [&]() -> const char* { return page.Fetch() ? page.m_ProductID.get() : nullptr; });
}

__SYNC5_SET* COfficeSession::GetSetting(int deviceType) {
  CServerSession* session = Lookup(m_dwHandle);
  if (!session) return nullptr;
  CSettingPage& page = session->m_SettingPage;
  page.m_nDeviceType = deviceType;
  return Guarded<__SYNC5_SET*>(nullptr, [&] { return page.Fetch() ? &page.m_Set : nullptr; });
}

__SYNC5_SET* COfficeSession::GetSettingForPalm() { return GetSetting(kDevicePalm); }
__SYNC5_SET* COfficeSession::GetSettingForPocketPC() { return GetSetting(kDevicePocketPC); }
__SYNC5_SET* COfficeSession::GetSettingForZaurus() { return GetSetting(kDeviceZaurus); }
