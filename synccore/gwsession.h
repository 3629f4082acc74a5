// The sync side's session with the groupware server: owns the client
// library's COfficeSession, turns each call into a success flag with a trace
// line, reports every client failure as exactly one event-log message
// 0xc0000022, and keeps the copy of the server's sync settings that the
// server data sources read.
//
//   CGWSession session;
//   if (!session.open(url, httpUser, httpPassword, proxy, port)) return -1;
//   session.setLocale("CP932");
//   if (session.login(user, password) != 0) ...
//   session.setLabel("Palm", syncId);
//   ... data sources built on session ...
//   session.logout(); session.close();
//
// Compiled into libsynccore.so and into each conduit (synccore_common). Used
// from one thread; never throws.
#pragma once

#include <cstdarg>

#include "gwclient/gwclient.h"

// Answers of CGWSession::login.
enum : int {
  GWLOGIN_OK = 0,
  GWLOGIN_USER_NOT_FOUND = 3,
  GWLOGIN_REFUSED = 4,
  GWLOGIN_SERVER_AUTH = 5,   // client error 18
  GWLOGIN_SERVER_USER = 6,   // client error 19
  GWLOGIN_SERVER_LOGIN = 7,  // client error 20
  GWLOGIN_FAILED = 8,        // the user list could not be read
};

class CGWSession {
 public:
  CGWSession();
  // Destroys the COfficeSession (which closes it when still open).
  virtual ~CGWSession();
  CGWSession(const CGWSession&) = delete;
  CGWSession& operator=(const CGWSession&) = delete;

  // Sets the HTTP credentials when httpUser is given (not null), then opens
  // url through proxy:port (proxy may be null). False after one server-error
  // report ("SetAuth" or "Open"). The password is never traced.
  bool open(const char* url, const char* httpUser, const char* httpPassword, const char* proxy, WORD proxyPort);
  void close();
  // Looks userName up in the server's user list (byte for byte, case
  // matters) and logs it in. Answers GWLOGIN_...; every answer but OK and
  // 5 to 7 has written one server-error report.
  int login(const char* userName, const char* password);
  // The first user of the server's list, or null. *ok is false (after one
  // server-error report) when the list could not be read.
  __USER_DATA* findFirstUser(bool* ok);
  // Sets the label and copies the sync settings of syncName ("Palm" or
  // "PPC", exactly). False after one server-error report.
  bool setLabel(const char* syncName, DWORD syncId);
  bool setLocale(const char* codePage);
  // Traces only: nothing is sent to the server.
  void logout();

  // Writes one event-log message 0xc0000022: operation, the client's last
  // error, its detail (for errors 7, 8 and 21, else 0) and the formatted
  // text (at most 511 bytes; empty for a null or empty format).
  void reportServerError(const char* operation, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vreportServerError(const char* operation, const char* format, va_list args);

  COfficeSession& getOfficeSession() { return m_Session; }
  // The settings copied by the last successful setLabel (zeroed before).
  const __SYNC5_SET* getSyncSet() const { return &m_SyncSet; }

 private:
  COfficeSession m_Session;
  __SYNC5_SET m_SyncSet;
};
