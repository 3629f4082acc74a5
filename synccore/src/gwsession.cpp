#include "synccore/gwsession.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "log/msgids.h"

namespace {
const char* orEmpty(const char* s) { return s ? s : ""; }

bool isLoginServerError(DWORD e) { return e == GWERR_SERVER_AUTH || e == GWERR_SERVER_USER || e == GWERR_SERVER_LOGIN; }

int loginAnswerFor(DWORD e) { return static_cast<int>(e - GWERR_SERVER_AUTH) + GWLOGIN_SERVER_AUTH; }
}  // namespace

CGWSession::CGWSession() { std::memset(&m_SyncSet, 0, sizeof m_SyncSet); }

CGWSession::~CGWSession() = default;

void CGWSession::vreportServerError(const char* operation, const char* format, va_list args) {
  char text[512] = "";
  if (format && *format) std::vsnprintf(text, sizeof text, format, args);
  DWORD e = m_Session.GetLastError();
  DWORD d =
      (e == GWERR_UNAUTHORIZED || e == GWERR_HTTP_STATUS || e == GWERR_SERVER_OTHER) ? m_Session.GetDetailError() : 0;
  Log::writeLog(MSG_SERVER_REQUEST_FAILED, operation, e, d, text);
}

void CGWSession::reportServerError(const char* operation, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreportServerError(operation, format, args);
  va_end(args);
}

bool CGWSession::open(const char* url, const char* httpUser, const char* httpPassword, const char* proxy,
                      WORD proxyPort) {
  if (httpUser && !m_Session.SetAuth(httpUser, httpPassword)) {
    reportServerError("SetAuth", nullptr);
    return false;
  }
  if (!m_Session.Open(url, proxy, static_cast<short>(proxyPort))) {
    reportServerError("Open", "URL(%s) is Invalid.", orEmpty(url));
    return false;
  }
  g_TraceObj.write(9, "GWSession|open URL(%s) Proxy(%s:%d)opened\n", orEmpty(url), orEmpty(proxy),
                   static_cast<int>(proxyPort));
  return true;
}

void CGWSession::close() {
  m_Session.Close();
  g_TraceObj.write(9, "GWSession|close Closed\n");
}

__USER_DATA* CGWSession::findFirstUser(bool* ok) {
  __USER_DATA* user = m_Session.FindFirstUser();
  bool fine = user || m_Session.GetLastError() == 0;
  if (!fine) reportServerError("FindFirstUser", nullptr);
  if (ok) *ok = fine;
  return user;
}

int CGWSession::login(const char* userName, const char* password) {
  __USER_DATA* user = m_Session.FindFirstUser();
  DWORD e = m_Session.GetLastError();
  if (!user && isLoginServerError(e)) return loginAnswerFor(e);
  if (!user && e != 0) {
    reportServerError("FindFirstUser", nullptr);
    return GWLOGIN_FAILED;
  }
  while (user && std::strcmp(user->pszName, orEmpty(userName)) != 0) {
    user = m_Session.FindNextUser();
    // A list that breaks off is a failure to read it, not an unknown user.
    if (!user && m_Session.GetLastError() != 0) {
      reportServerError("FindNextUser", nullptr);
      return GWLOGIN_FAILED;
    }
  }
  if (!user) {
    reportServerError("FindFirst/NextUser", "User(%s) not found.", orEmpty(userName));
    return GWLOGIN_USER_NOT_FOUND;
  }
  if (m_Session.Login(user->nID, password)) {
    g_TraceObj.write(9, "GWSession|login user %s logined\n", user->pszName);
    return GWLOGIN_OK;
  }
  e = m_Session.GetLastError();
  if (isLoginServerError(e)) return loginAnswerFor(e);
  reportServerError("Login", "User:%s Id:%d", orEmpty(userName), static_cast<int>(user->nID));
  return GWLOGIN_REFUSED;
}

bool CGWSession::setLabel(const char* syncName, DWORD syncId) {
  if (!m_Session.SetLabel(syncName, syncId)) {
    reportServerError("SetLabel", "syncname:%s syncid:%d", orEmpty(syncName), static_cast<int>(syncId));
    return false;
  }
  __SYNC5_SET* set = nullptr;
  if (syncName && std::strcmp(syncName, "Palm") == 0) {
    set = m_Session.GetSettingForPalm();
  } else if (syncName && std::strcmp(syncName, "PPC") == 0) {
    set = m_Session.GetSettingForPocketPC();
  } else {
    reportServerError("GetSettingFor...", "syncname:%s", orEmpty(syncName));
    return false;
  }
  if (!set) {
    reportServerError("GetSettingForPalm", nullptr);
    return false;
  }
  std::memcpy(&m_SyncSet, set, sizeof m_SyncSet);
  return true;
}

bool CGWSession::setLocale(const char* codePage) {
  if (!m_Session.SetLocale(codePage)) {
    reportServerError("SetLocale", "codepage:%s", orEmpty(codePage));
    return false;
  }
  g_TraceObj.write(9, "GWSession|setLocale codepage:%s\n", orEmpty(codePage));
  return true;
}

void CGWSession::logout() { g_TraceObj.write(9, "GWSession|logout Logouted\n"); }
