// Client of the groupware server's HTTP page protocol: the session, the user
// list, the server version and the per-device sync settings, and the records
// shared by every kind of server data.
//
//   COfficeSession session;
//   if (!session.Open("http://server/cgi-bin/gw", nullptr, 0)) return session.GetLastError();
//   session.SetLocale("CP932");
//   for (__USER_DATA* u = session.FindFirstUser(); u; u = session.FindNextUser())
//     if (std::strcmp(u->pszName, "ann") == 0) session.Login(u->nID, password);
//   __SYNC5_SET* set = session.GetSettingForPalm();
//   session.Close();
//
// Every call reports failure by its result (0 or null) and sets the library's
// one process-wide last error (GetLastError, codes below); HTTP statuses and
// server error codes are kept as the session's detail error. Records and
// texts returned are owned by the library: they stay valid until the page
// holding them is fetched again or the session is closed, and the caller
// never frees them. Everything is used from one thread.
#pragma once

#include <cstdint>

#include "platform/wintypes.h"

#define GWCLIENT_API __attribute__((visibility("default")))

// Error codes of COfficeSession::GetLastError.
enum : DWORD {
  GWERR_NONE = 0,
  GWERR_NO_MEMORY = 1,
  GWERR_NOT_OPEN = 2,          // the handle names no open session
  GWERR_NOT_CONNECTED = 3,     // login without an HTTP connection
  GWERR_ALREADY_OPEN = 4,      // already open or already connected
  GWERR_BAD_URL = 5,
  GWERR_EMPTY_USER = 6,        // empty user name in the HTTP credentials
  GWERR_UNAUTHORIZED = 7,      // HTTP 401
  GWERR_HTTP_STATUS = 8,       // any other status but 200 (detail: the status)
  GWERR_NO_LOGIN_COOKIE = 9,
  GWERR_CONNECT = 10,
  GWERR_SEND = 11,             // not sent or not received, time-outs included
  GWERR_NO_STATUS = 12,
  GWERR_NOT_LOADED = 13,       // the page holds no fetched data yet
  GWERR_NO_SESSION = 14,
  GWERR_NOT_FOUND = 15,
  GWERR_BAD_ID = 16,           // an id is 0, or a record replaces itself
  GWERR_READ_ONLY = 17,
  GWERR_SERVER_AUTH = 18,      // server errors 16401, 16403
  GWERR_SERVER_USER = 19,      // server errors 16402, 16404
  GWERR_SERVER_LOGIN = 20,     // server error 16405
  GWERR_SERVER_OTHER = 21,     // any other server error (detail: its code)
};

// A calendar day; all three 0 = no date.
struct __OFFICE_DATE {
  LONG lYear;
  LONG lMonth;
  LONG lDay;
};

// A time of day; both -1 = no time.
struct __OFFICE_TIME {
  LONG lHour;
  LONG lMinute;
};

// A relation pair: a server record and the handheld record it is paired with.
struct __REL_DATA {
  DWORD nServerID;
  DWORD nHandheldID;
};

// A server user.
struct __USER_DATA {
  DWORD nID;
  char* pszName;  // never null
};

// Sync modes in the settings: bits of "from server" (1), "from handheld" (2)
// and "delete the handheld's records before the download" (4).
enum : DWORD {
  GWSYNC_NONE = 0,
  GWSYNC_DOWN = 1,
  GWSYNC_BOTH = 3,
  GWSYNC_DELETE_FIRST = 4,
};

// The server's sync settings for one kind of handheld. Copied whole by the
// sync engine: the number, order and width of the fields are fixed.
struct __SYNC5_SET {
  DWORD nScheduleMode;      // 0
  DWORD nScheduleNumberA;   // 1: 0 to 12
  DWORD nScheduleNumberB;   // 2: 1 to 12
  DWORD nToDoMode;          // 3
  DWORD nAddressMode;       // 4
  DWORD nAddressNumber;     // 5
  DWORD nAddressFlags;      // 6: values 2 and 1
  DWORD nAddressTimeStamp;  // 7
  LONG nRelations[100];     // 8 to 107: map of handheld fields to address items
  DWORD nMailMode;          // 108
  DWORD nMailNumberA;       // 109
  DWORD nMailNumberB;       // 110
  DWORD nMemoMode;          // 111
  DWORD nMemoNumber;        // 112
};

// A session with the groupware server. The six fields are read and written
// by code compiled into other libraries (the inline members): their order
// and widths are fixed.
class GWCLIENT_API COfficeSession {
 public:
  COfficeSession();
  // Closes the session when it is open.
  ~COfficeSession();
  // A copy names the same server session and holds its own copies of the
  // credentials; closing either copy closes the session for both.
  COfficeSession(const COfficeSession& other) : COfficeSession() { *this = other; }
  COfficeSession& operator=(const COfficeSession& other) {
    if (this != &other) {
      m_dwHandle = other.m_dwHandle;
      CopyCredentials(other);
      m_dwTimeout = other.m_dwTimeout;
      m_dwRetry = other.m_dwRetry;
      m_bRemote = other.m_bRemote;
    }
    return *this;
  }

  // HTTP Basic credentials for the next Open; the strings are copied. Only
  // while not open: else 0 and the last error untouched. 1 when stored.
  int SetAuth(const char* user, const char* password);
  // Time-out in ms for connect, send and receive, and the number of attempts
  // of every request (0 counts as 1). Only while not open: else error 4, 0.
  int SetTimeout(DWORD timeout, DWORD retry);
  // Asks for remote sync from the next Open on.
  void SetRemoteSync() { m_bRemote = 1; }

  // Prepares the session for url; sends nothing (the first request
  // connects). proxy "host" with port, or null for the system's setting.
  // 1 when open; 0 and the session back at its defaults on failure.
  int Open(const char* url, const char* proxy, short port);
  // Open, then Login; a failed login closes the session again.
  int Open(const char* url, DWORD userId, const char* password, const char* proxy, short port);
  // Logs user id in with password. 1 when the server set a login cookie.
  int Login(DWORD userId, const char* password);
  // The label that tells this handheld's relation data apart: name followed
  // by id, or only id when name is null. 1, or 0 with error 2.
  int SetLabel(const char* name, DWORD id);
  // Sends cookie "lc" = locale with every later request to the server. 1
  // when stored; 0 with error 2 when not open, or 0 with the last error
  // untouched when the cookie store refuses the text (control characters).
  int SetLocale(const char* locale);
  int IsOpen() const { return m_dwHandle != 0; }
  // Ends the session and returns every setting to its default.
  void Close();
  DWORD GetLastError() const;
  // HTTP status or server error code of the last failure; 0 after any
  // successful exchange, and 0 (error 2) when not open.
  DWORD GetDetailError() const;

  // The server's users; the first call fetches the list (which logs the
  // session out on the server, so call it before Login). Null at the end,
  // on an empty list (last error 0) or on failure (last error set).
  __USER_DATA* FindFirstUser();
  __USER_DATA* FindNextUser();
  // Server version: major << 16 | minor, each as tenths (2.5 -> 25); 0 on
  // failure. Logs the session out on the server.
  DWORD Version();
  // The product id the server sent; null when none or on failure.
  const char* ProductID();
  // The server's sync settings for this kind of handheld, fetched once per
  // session: the first of the three calls fixes what all of them return.
  // Writable; null on failure.
  __SYNC5_SET* GetSettingForPalm();
  __SYNC5_SET* GetSettingForPocketPC();
  __SYNC5_SET* GetSettingForZaurus();

  DWORD m_dwHandle;       // number of the open server session; 0 = not open
  char* m_pszUser;        // HTTP user set by SetAuth, or null
  char* m_pszPassword;    // HTTP password set by SetAuth, or null
  DWORD m_dwTimeout;      // ms, 90000
  DWORD m_dwRetry;        // attempts per request, 1
  BOOL m_bRemote;         // remote sync, 0

 private:
  // Replaces this object's credentials by copies of other's.
  void CopyCredentials(const COfficeSession& other);
  __SYNC5_SET* GetSetting(int deviceType);
};
