// The server session behind an open COfficeSession, and the process-wide
// table that finds it by number. Private to the library.
#pragma once

#include <memory>
#include <string>

#include "gwclient/gwclient.h"
#include "gwclient/src/kinds.h"
#include "gwclient/src/pages.h"
#include "platform/internet.h"

class CServerSession {
 public:
  // A session through proxy ("host:port", or null for the system's
  // setting). Creates every page. Throws std::bad_alloc.
  explicit CServerSession(const char* proxy);
  ~CServerSession();
  CServerSession(const CServerSession&) = delete;
  CServerSession& operator=(const CServerSession&) = delete;

  // Splits url and prepares the connection to its server (nothing is sent).
  // Returns 0 or the error code (4, 5, 10).
  DWORD Connect(const char* url);
  bool HasConnection() const { return m_pConnection != nullptr; }
  platform::HttpConnection* Connection() { return m_pConnection.get(); }
  platform::InternetSession& Internet() { return *m_pInternet; }

  // Ok: sets the last error to 0 and the detail to 0 (a successful exchange).
  void ExchangeSucceeded() {
    SetLastErrorCode(GWERR_NONE);
    m_dwDetailError = 0;
  }

  DWORD m_dwNumber = 0;
  std::unique_ptr<platform::InternetSession> m_pInternet;
  std::unique_ptr<platform::HttpConnection> m_pConnection;
  std::string m_URL;
  std::string m_ObjectPath;  // always ends in '?'
  std::string m_Label;
  std::string m_User;
  std::string m_Password;
  std::string m_LoginMark;  // "Cookie:..." once logged in
  DWORD m_dwDetailError = 0;
  DWORD m_dwTimeout = 90000;
  DWORD m_dwRetry = 1;
  BOOL m_bRemote = 0;

  CSettingPage m_SettingPage;
  CUserPage m_UserPage;
  CVersionPage m_VersionPage;
  CSchedulePage m_SchedulePage;
  CToDoPage m_ToDoPage;
  CToDoCategoryPage m_ToDoCategoryPage;
  CAddressItemPage m_AddressItemPage;
  CAddressPage m_AddressPage;  // after the item page, which it points to
  CMailPage m_MailPage;
  CRelationPage m_MailRelationPage;
  CMemoPage m_MemoPage;
};

// The session table: sessions by number; numbers start at 1 and are never
// used twice in a process.
DWORD AddSession(std::unique_ptr<CServerSession> session);
// Null when number names no open session.
CServerSession* FindSession(DWORD number);
// False when number names no open session.
bool RemoveSession(DWORD number);
