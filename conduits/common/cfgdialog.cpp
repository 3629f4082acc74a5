#include "conduits/common/cfgdialog.h"

#include <cstring>
#include <string>

#include "log/log.h"
#include "log/msgids.h"
#include "platform/dialog.h"

namespace {

// The Log message that tells the user about a failed connection.
DWORD connectMessage(int result) {
  switch (result) {
    case CFGCONNECT_SERVER_AUTH: return MSG_LOGIN_EXPIRED;
    case CFGCONNECT_SERVER_USER: return MSG_LOGIN_BAD_CREDENTIALS;
    default: return MSG_TEST_OPEN_FAILED;
  }
}

// The message for a user list that could not be read (client error e).
DWORD listMessage(DWORD e) {
  return e == GWERR_SERVER_AUTH   ? MSG_LOGIN_EXPIRED
         : e == GWERR_SERVER_USER ? MSG_LOGIN_BAD_CREDENTIALS
                                  : MSG_TEST_OPEN_FAILED;
}

class CServerSettingsDialog {
 public:
  CServerSettingsDialog(CGWSyncConf& conf, const char* caption, const char* chooseUserText)
      : m_Conf(conf),
        m_Caption(caption ? caption : ""),
        m_Choose(chooseUserText ? chooseUserText : ""),
        m_Dlg(m_Caption, IDD_SERVER_SETTINGS) {
    m_Dlg.addCombo(IDC_USER, "user", "Groupware user", true);
    m_Dlg.addEdit(IDC_SERVER_URL, "url", "Server URL", conf.getServerUrl());
    m_Dlg.addPassword(IDC_PASSWORD, "password", "Password", conf.getServerPassword());
    m_Dlg.addButton(IDC_REFRESH, "refresh", "Refresh the user list");
    m_Dlg.addButton(IDC_TEST, "test", "Test the connection");
    m_Dlg.addButton(IDC_BASIC_AUTH, "auth", "Web server authentication...");
    m_Dlg.addButton(IDOK, "ok", "OK");
    m_Dlg.addButton(IDCANCEL, "cancel", "Cancel");
  }

  bool run() {
    refreshUsers();
    for (;;) {
      switch (m_Dlg.run()) {
        case IDC_REFRESH:
          storeFields();
          refreshUsers();
          break;
        case IDC_TEST: testConnection(); break;
        case IDC_BASIC_AUTH: runBasicAuthDialog(m_Conf, m_Caption.c_str()); break;
        case IDOK:
          if (noUserChosen(m_Dlg.text(IDC_USER))) {
            show(MSG_CFG_NO_USER);
          } else if (m_Dlg.text(IDC_SERVER_URL).empty()) {
            show(MSG_CFG_NO_SERVER_URL);
          } else {
            storeFields();
            return true;
          }
          break;
        case IDCANCEL: return false;
        default: break;
      }
    }
  }

 private:
  bool noUserChosen(const std::string& user) const { return user.empty() || user == m_Choose; }

  void show(DWORD id) const { Log::showMsgBox(nullptr, m_Caption.c_str(), id); }

  // The entry that asks for a choice is no user name: it is stored as none.
  void storeFields() {
    std::string user = m_Dlg.text(IDC_USER);
    m_Conf.setServerUser(noUserChosen(user) ? "" : user.c_str());
    m_Conf.setServerUrl(m_Dlg.text(IDC_SERVER_URL).c_str());
    m_Conf.setServerPassword(m_Dlg.text(IDC_PASSWORD).c_str());
  }

  // Without the server's list the configured user stays in the box, so that
  // OK keeps it instead of asking for a choice the list cannot offer.
  void keepConfiguredUser() {
    if (*m_Conf.getServerUser()) m_Dlg.setText(IDC_USER, m_Conf.getServerUser());
    else m_Dlg.select(IDC_USER, 0);
  }

  void refreshUsers() {
    m_Dlg.resetContent(IDC_USER);
    m_Dlg.addItem(IDC_USER, m_Choose);
    COfficeSession session;
    int result = connectForConfiguration(session, m_Conf);
    if (result != CFGCONNECT_OK) {
      session.Close();
      keepConfiguredUser();
      show(connectMessage(result));
      return;
    }
    __USER_DATA* user = session.FindFirstUser();
    DWORD error = user ? GWERR_NONE : session.GetLastError();
    int selected = 0;
    for (; user; user = session.FindNextUser()) {
      int index = m_Dlg.addItem(IDC_USER, user->pszName);
      if (selected == 0 && std::strcmp(user->pszName, m_Conf.getServerUser()) == 0) selected = index;
    }
    session.Close();
    if (error != GWERR_NONE) {
      keepConfiguredUser();
      show(listMessage(error));
      return;
    }
    m_Dlg.select(IDC_USER, selected);
  }

  void testConnection() {
    storeFields();
    if (noUserChosen(m_Dlg.text(IDC_USER))) {
      show(MSG_CFG_NO_USER);
      return;
    }
    COfficeSession session;
    DWORD message = testLogin(session);
    session.Close();
    show(message);
  }

  // Connects, finds the configured user and logs it in; answers the message
  // that tells how far it got.
  DWORD testLogin(COfficeSession& session) {
    switch (int result = connectForConfiguration(session, m_Conf)) {
      case CFGCONNECT_OK: break;
      case CFGCONNECT_AUTH: return MSG_TEST_AUTH_FAILED;
      default: return connectMessage(result);
    }
    __USER_DATA* user = session.FindFirstUser();
    if (!user && session.GetLastError() != GWERR_NONE) return listMessage(session.GetLastError());
    while (user && std::strcmp(user->pszName, m_Conf.getServerUser()) != 0) user = session.FindNextUser();
    if (!user) return MSG_TEST_USER_NOT_FOUND;
    if (session.Login(user->nID, m_Conf.getServerPassword())) return MSG_TEST_SUCCEEDED;
    switch (session.GetLastError()) {
      case GWERR_SERVER_AUTH: return MSG_LOGIN_EXPIRED;
      case GWERR_SERVER_USER: return MSG_LOGIN_BAD_CREDENTIALS;
      default: return MSG_TEST_LOGIN_REFUSED;
    }
  }

  CGWSyncConf& m_Conf;
  std::string m_Caption;
  std::string m_Choose;
  platform::CDialog m_Dlg;
};

}  // namespace

int connectForConfiguration(COfficeSession& session, const CGWSyncConf& conf) {
  if (conf.getBasicAuth() && !session.SetAuth(conf.getBasicAuthUser(), conf.getBasicAuthPassword()))
    return CFGCONNECT_AUTH;
  if (!session.Open(conf.getServerUrl(), nullptr, 0) || !session.SetLocale("CP1252")) return CFGCONNECT_OPEN;
  DWORD version = session.Version();
  if (version == 0) {
    switch (session.GetLastError()) {
      case GWERR_SERVER_AUTH: return CFGCONNECT_SERVER_AUTH;
      case GWERR_SERVER_USER: return CFGCONNECT_SERVER_USER;
      default: return CFGCONNECT_OPEN;
    }
  }
  DWORD major = version >> 16;
  return major >= 20 && major <= 29 ? CFGCONNECT_OK : CFGCONNECT_OPEN;
}

bool runServerSettingsDialog(CGWSyncConf& conf, const char* caption, const char* chooseUserText) {
  CServerSettingsDialog dialog(conf, caption, chooseUserText);
  return dialog.run();
}

bool runBasicAuthDialog(CGWSyncConf& conf, const char* caption) {
  platform::CDialog dlg("Web server authentication", IDD_BASIC_AUTH);
  const bool on = conf.getBasicAuth() != 0;
  dlg.addCheck(IDC_BA_ENABLE, "enable", "Use HTTP Basic authentication", on);
  dlg.addEdit(IDC_BA_USER, "user", "User name", conf.getBasicAuthUser()).enabled = on;
  dlg.addPassword(IDC_BA_PASSWORD, "password", "Password", conf.getBasicAuthPassword()).enabled = on;
  dlg.addButton(IDOK, "ok", "OK");
  dlg.addButton(IDCANCEL, "cancel", "Cancel");
  for (;;) {
    switch (dlg.run()) {
      case IDC_BA_ENABLE:
        dlg.enable(IDC_BA_USER, dlg.checked(IDC_BA_ENABLE));
        dlg.enable(IDC_BA_PASSWORD, dlg.checked(IDC_BA_ENABLE));
        break;
      case IDOK: {
        const bool enabled = dlg.checked(IDC_BA_ENABLE);
        if (enabled && dlg.text(IDC_BA_USER).empty()) {
          Log::showMsgBox(nullptr, caption, MSG_AUTH_NO_USER_NAME);
          break;
        }
        if (enabled && dlg.text(IDC_BA_PASSWORD).empty()) {
          Log::showMsgBox(nullptr, caption, MSG_AUTH_NO_PASSWORD);
          break;
        }
        conf.setBasicAuth(enabled ? 1 : 0);
        conf.setBasicAuthUser(dlg.text(IDC_BA_USER).c_str());
        conf.setBasicAuthPassword(dlg.text(IDC_BA_PASSWORD).c_str());
        return true;
      }
      case IDCANCEL: return false;
      default: break;
    }
  }
}

bool runConfiguration(const char* userName, const char* caption, const char* chooseUserText) {
  const char* boxCaption = caption ? caption : "";
  Log::openLog("condlog.dll");
  CGWSyncConf conf;
  conf.setKeyName(userName);
  if (!conf.load()) Log::writeLog(MSG_CONFIG_NOT_LOADED);
  bool saved = false;
  if (runServerSettingsDialog(conf, boxCaption, chooseUserText)) {
    saved = conf.save();
    if (!saved) Log::showMsgBox(nullptr, boxCaption, MSG_CONFIG_NOT_SAVED);
  }
  Log::closeLog();
  return saved;
}
