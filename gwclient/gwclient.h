// Client of the groupware server's HTTP page protocol: the session, the user
// list, the server version and the per-device sync settings, the records
// shared by every kind of server data, and one connection class per kind
// (addresses, mail, memos, schedules, to-dos) with its relation data.
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
  GWERR_NOT_OPEN = 2,       // the handle names no open session
  GWERR_NOT_CONNECTED = 3,  // login without an HTTP connection
  GWERR_ALREADY_OPEN = 4,   // already open or already connected
  GWERR_BAD_URL = 5,
  GWERR_EMPTY_USER = 6,    // empty user name in the HTTP credentials
  GWERR_UNAUTHORIZED = 7,  // HTTP 401
  GWERR_HTTP_STATUS = 8,   // any other status but 200 (detail: the status)
  GWERR_NO_LOGIN_COOKIE = 9,
  GWERR_CONNECT = 10,
  GWERR_SEND = 11,  // not sent or not received, time-outs included
  GWERR_NO_STATUS = 12,
  GWERR_NOT_LOADED = 13,  // the page holds no fetched data yet
  GWERR_NO_SESSION = 14,
  GWERR_NOT_FOUND = 15,
  GWERR_BAD_ID = 16,  // an id is 0, or a record replaces itself
  GWERR_READ_ONLY = 17,
  GWERR_SERVER_AUTH = 18,   // server errors 16401, 16403
  GWERR_SERVER_USER = 19,   // server errors 16402, 16404
  GWERR_SERVER_LOGIN = 20,  // server error 16405
  GWERR_SERVER_OTHER = 21,  // any other server error (detail: its code)
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

  DWORD m_dwHandle;     // number of the open server session; 0 = not open
  char* m_pszUser;      // HTTP user set by SetAuth, or null
  char* m_pszPassword;  // HTTP password set by SetAuth, or null
  DWORD m_dwTimeout;    // ms, 90000
  DWORD m_dwRetry;      // attempts per request, 1
  BOOL m_bRemote;       // remote sync, 0

 private:
  // Replaces this object's credentials by copies of other's.
  void CopyCredentials(const COfficeSession& other);
  __SYNC5_SET* GetSetting(int deviceType);
};

// ---------------------------------------------------------------------------
// The data kinds.
//
//   CMemoConnection memos(session);
//   for (const __MEMO_DATA* m = memos.FindFirst(); m; m = memos.FindNext()) ...
//   memos.Set(0, 0, "title", "text", handheldId);   // a new memo, keyed
//   memos.SetRelationTimeStamp(-1);                  // "stamp it now"
//   memos.Commit();                                  // records and relations
//   long stamp = memos.GetRelationTimeStamp();       // the server's time
//
// A connection holds only a pointer to its COfficeSession, which must outlive
// it; every call finds the server session again and fails with error 2 when
// it is closed. Pages are fetched on first use and kept until the connection
// is destroyed or the session closes. Records returned belong to the library
// (see the note at the top); records passed in are copied. Strings in
// returned records are never null.
//
// Common members, the same on every connection:
//   FindFirst/FindNext  walk the records; null at the end, on an empty list
//                       (last error untouched) or when the fetch failed.
//   GetCount            number of records; 0 on failure.
//   Get(id)             the record with that id; error 15 when none.
//   Set(record, key)    id 0: a new record keyed by the handheld id it came
//                       from (a second Set with the same non-zero key updates
//                       it); id not 0: a change of the held record. Needs the
//                       page fetched (error 13). The held record, or null.
//   Remove(id)          drops a held record; error 15 when none. 1 or 0.
//   Commit              sends removals, changes, new records and all relation
//                       pairs in one request; new ids are filled into the
//                       held records and related to their keys. A failed
//                       commit keeps everything pending for the next one.
//   FindFirstRelation/FindNextRelation/GetRelationCount  the relation pairs.
//   SetRelation(server, handheld)  adds or replaces a pair (error 13 before
//                       a fetch, 16 for an id 0).
//   RemoveRelation(server)  1, or 0 when there is no such pair.
//   GetRelationTimeStamp/SetRelationTimeStamp  the time of the last completed
//                       sync; set -1 before Commit to have the server stamp it.

// An address item: a column a card may carry. Built-in items have negative
// ids (-1 FirstName ... -11 Memo), user-defined ones positive ids.
struct __ADDRESS_ITEM {
  LONG nID;
  char* pszName;
  LONG nType;  // 1 Text, 2 File, 0 other
  BOOL bNecessary;
  BOOL bDisable;
};

// One value of a card.
struct __ADDRESS_ITEM_VALUE {
  __ADDRESS_ITEM* pItem;
  char* pszValue;  // may hold line breaks
};

// An address card.
struct __ADDRESS_DATA {
  DWORD nID;  // 0 = not on the server yet
  LONG nTimeStamp;
  LONG nKind;  // as the server sent it; 1 for new cards
  char* pszCategory;
  LONG nItemCount;
  __ADDRESS_ITEM_VALUE* pValues;  // nItemCount values; null when 0
};

struct __MAIL_DATA {
  DWORD nID;
  LONG nTimeStamp;
  LONG nTimeSent;  // a server time stamp
  BOOL bRead;
  char* pszSubject;
  char* pszFrom;
  char* pszTo;
  char* pszCC;
  char* pszBCC;
  char* pszReplyTo;
  char* pszContentType;
  char* pszData;  // the body
};

struct __MEMO_DATA {
  DWORD nID;  // 0 = not on the server yet
  LONG nTimeStamp;
  char* pszName;  // title; an empty one is sent as "無題" (Shift-JIS)
  char* pszData;
};

// Repeat types of a schedule (nType).
enum : LONG {
  GWREPEAT_UNKNOWN = -1,  // a name this library does not know
  GWREPEAT_NONE = 0,
  GWREPEAT_DAILY = 1,    // "d"
  GWREPEAT_N = 2,        // "n"
  GWREPEAT_WEEKLY = 3,   // "w"
  GWREPEAT_MONTHLY = 4,  // "m"
  GWREPEAT_1 = 5,        // "1"
  GWREPEAT_2 = 6,        // "2"
  GWREPEAT_3 = 7,        // "3"
  GWREPEAT_4 = 8,        // "4"
  GWREPEAT_L = 9,        // "l"
};

struct __SCHEDULE_DATA {
  DWORD nID;  // 0 = not on the server yet
  LONG nTimeStamp;
  __OFFICE_DATE datePrev;   // the date the server knows it by, as loaded
  __OFFICE_DATE dateValid;  // valid date of a repeating schedule
  __OFFICE_DATE dateSet;    // start
  __OFFICE_DATE dateEnd;
  __OFFICE_TIME timeSet;
  __OFFICE_TIME timeEnd;
  LONG nType;  // GWREPEAT_*
  LONG nDay;   // -1 = none
  char* pszEvent;
  char* pszDetail;
  char* pszMemo;
  LONG nExceptionCount;
  __OFFICE_DATE* pExceptions;  // nExceptionCount dates; null when 0
  BOOL bPrivate;
  BOOL bBanner;
};

struct __TODO_DATA {
  DWORD nID;  // 0 = not on the server yet
  LONG nTimeStamp;
  __OFFICE_DATE dateLimit;  // due
  LONG nPriority;
  BOOL bFinish;
  __OFFICE_DATE dateEnd;
  char* pszName;  // an empty one is sent as "無題" (Shift-JIS)
  char* pszCategory;
  char* pszMemo;
};

// Addresses: item definitions, cards and their relation data. Fetch the
// items (FindFirstItem or GetItemCount) before the cards: card values are
// matched to the definitions held when the cards are read, and values of
// columns without a definition are dropped.
class GWCLIENT_API CAddressConnection {
 public:
  explicit CAddressConnection(COfficeSession& session) : m_pSession(&session) {}
  // Drops the cards (the next use fetches again); the items are kept.
  ~CAddressConnection();
  CAddressConnection(const CAddressConnection&) = delete;
  CAddressConnection& operator=(const CAddressConnection&) = delete;

  const __ADDRESS_ITEM* FindFirstItem();
  const __ADDRESS_ITEM* FindNextItem();
  long GetItemCount();
  // Only cards changed after timeStamp (1 or more) are fetched from then on;
  // takes effect at the next fetch. 1, or 0 with error 2.
  int SetLastTimeStamp(long timeStamp);

  const __ADDRESS_DATA* FindFirst();
  const __ADDRESS_DATA* FindNext();
  long GetCount();
  const __ADDRESS_DATA* Get(unsigned long id);
  // The card's values keep their own copies of the item definitions.
  const __ADDRESS_DATA* Set(const __ADDRESS_DATA* card, unsigned long key);
  int Remove(unsigned long id);
  int Commit();

  const __REL_DATA* FindFirstRelation();
  const __REL_DATA* FindNextRelation();
  long GetRelationCount();
  int SetRelation(unsigned long serverId, unsigned long handheldId);
  int RemoveRelation(unsigned long serverId);
  long GetRelationTimeStamp();
  int SetRelationTimeStamp(long timeStamp);

 private:
  COfficeSession* m_pSession;
};

// Mail: the server's mail box is read; new mails are queued with Set and
// sent with Send; Commit writes only the relation data.
class GWCLIENT_API CMailConnection {
 public:
  explicit CMailConnection(COfficeSession& session) : m_pSession(&session) {}
  // Drops the mail list, unsent mails and the relation data.
  ~CMailConnection();
  CMailConnection(const CMailConnection&) = delete;
  CMailConnection& operator=(const CMailConnection&) = delete;

  const __MAIL_DATA* FindFirst();
  const __MAIL_DATA* FindNext();
  long GetCount();
  const __MAIL_DATA* Get(unsigned long id);
  // Queues a copy of the mail's texts for the next Send (ids, stamps and the
  // read mark are not kept). 1, or 0 with error 1.
  int Set(const __MAIL_DATA* mail);
  int Set(const char* subject, const char* to, const char* cc, const char* bcc, const char* data);
  // Sends every queued mail in one request; needs the mail list fetched
  // (error 13). 1 and the queue emptied; 0 and the queue kept when the server
  // refused one (error 21, detail the server's code, GetSendErrorPosition
  // its place from 1) or the request failed.
  int Send();
  // Place (from 1) of the mail the last refused Send named; 0 when none did.
  long GetSendErrorPosition();
  // Sends the relation data.
  int Commit();

  const __REL_DATA* FindFirstRelation();
  const __REL_DATA* FindNextRelation();
  long GetRelationCount();
  int SetRelation(unsigned long serverId, unsigned long handheldId);
  // Error 15 when there is no such pair.
  int RemoveRelation(unsigned long serverId);
  long GetRelationTimeStamp();
  int SetRelationTimeStamp(long timeStamp);

 private:
  COfficeSession* m_pSession;
};

class GWCLIENT_API CMemoConnection {
 public:
  explicit CMemoConnection(COfficeSession& session) : m_pSession(&session) {}
  ~CMemoConnection();
  CMemoConnection(const CMemoConnection&) = delete;
  CMemoConnection& operator=(const CMemoConnection&) = delete;

  const __MEMO_DATA* FindFirst();
  const __MEMO_DATA* FindNext();
  long GetCount();
  const __MEMO_DATA* Get(unsigned long id);
  const __MEMO_DATA* Set(const __MEMO_DATA* memo, unsigned long key);
  const __MEMO_DATA* Set(unsigned long nID, long nTimeStamp, const char* pszName, const char* pszData,
                         unsigned long key);
  int Remove(unsigned long id);
  int Commit();

  const __REL_DATA* FindFirstRelation();
  const __REL_DATA* FindNextRelation();
  long GetRelationCount();
  int SetRelation(unsigned long serverId, unsigned long handheldId);
  int RemoveRelation(unsigned long serverId);
  long GetRelationTimeStamp();
  int SetRelationTimeStamp(long timeStamp);

 private:
  COfficeSession* m_pSession;
};

class GWCLIENT_API CScheduleConnection {
 public:
  explicit CScheduleConnection(COfficeSession& session) : m_pSession(&session) {}
  ~CScheduleConnection();
  CScheduleConnection(const CScheduleConnection&) = delete;
  CScheduleConnection& operator=(const CScheduleConnection&) = delete;

  const __SCHEDULE_DATA* FindFirst();
  const __SCHEDULE_DATA* FindNext();
  long GetCount();
  const __SCHEDULE_DATA* Get(unsigned long id);
  // A changed schedule keeps the datePrev it was loaded with.
  const __SCHEDULE_DATA* Set(const __SCHEDULE_DATA* schedule, unsigned long key);
  const __SCHEDULE_DATA* Set(unsigned long nID, long nTimeStamp, const __OFFICE_DATE& dateSet,
                             const __OFFICE_DATE& dateEnd, const __OFFICE_TIME& timeSet, const __OFFICE_TIME& timeEnd,
                             long nType, long nDay, const char* pszEvent, const char* pszDetail, const char* pszMemo,
                             long nExceptionCount, __OFFICE_DATE* exceptions, int bPrivate, unsigned long key);
  // The removed schedule is sent as its id and start date.
  int Remove(unsigned long id);
  int Commit();

  const __REL_DATA* FindFirstRelation();
  const __REL_DATA* FindNextRelation();
  long GetRelationCount();
  int SetRelation(unsigned long serverId, unsigned long handheldId);
  int RemoveRelation(unsigned long serverId);
  long GetRelationTimeStamp();
  int SetRelationTimeStamp(long timeStamp);

 private:
  COfficeSession* m_pSession;
};

// To-dos and the user's list of to-do categories, fetched and committed
// independently of each other.
class GWCLIENT_API CToDoConnection {
 public:
  explicit CToDoConnection(COfficeSession& session) : m_pSession(&session) {}
  ~CToDoConnection();
  CToDoConnection(const CToDoConnection&) = delete;
  CToDoConnection& operator=(const CToDoConnection&) = delete;

  const __TODO_DATA* FindFirst();
  const __TODO_DATA* FindNext();
  long GetCount();
  const __TODO_DATA* Get(unsigned long id);
  const __TODO_DATA* Set(const __TODO_DATA* todo, unsigned long key);
  const __TODO_DATA* Set(unsigned long nID, long nTimeStamp, __OFFICE_DATE dateLimit, long nPriority, int bFinish,
                         const char* pszName, const char* pszCategory, const char* pszMemo, unsigned long key);
  int Remove(unsigned long id);
  int Commit();

  const __REL_DATA* FindFirstRelation();
  const __REL_DATA* FindNextRelation();
  long GetRelationCount();
  int SetRelation(unsigned long serverId, unsigned long handheldId);
  int RemoveRelation(unsigned long serverId);
  long GetRelationTimeStamp();
  int SetRelationTimeStamp(long timeStamp);

  // Category names; the first call fetches. Null at the end or on failure.
  const char* FindFirstCategory();
  const char* FindNextCategory();
  long GetCategoryCount();
  // Adds a name (an existing one, byte for byte, is kept once). Needs the
  // list fetched (error 13); null name: error 16. 1 or 0.
  int SetCategory(const char* name);
  // Error 15 when there is no category of exactly that name.
  int RemoveCategory(const char* name);
  // Sends the whole category list; needs it fetched (error 13).
  int CommitCategory();

 private:
  COfficeSession* m_pSession;
};

// Takes back on the server what one HotSync run did there, from what the run
// record kept (the hotsync program's undo): records the run made are removed
// with their pairs; records it changed or deleted are sent back as the
// server's own line held them before the run, a deleted one as a new record
// paired again with its handheld record. Works on the kinds with records and
// relation data: pages "SyncAddress", "SyncMemo", "SyncToDo" and
// "SyncCalendar" (others: error 17). Each call fetches the page when it is
// not loaded; Commit sends a page's changes as a sync does.
class GWCLIENT_API CSyncUndo {
 public:
  explicit CSyncUndo(COfficeSession& session) : m_pSession(&session) {}
  CSyncUndo(const CSyncUndo&) = delete;
  CSyncUndo& operator=(const CSyncUndo&) = delete;

  // Removes record id of page and its pair; error 15 when there is none. 1 or 0.
  int RemoveMade(const char* page, unsigned long id);
  // Sends back the record of line (escaped as the run record keeps it). With
  // deleted false it replaces the record of the line's id (error 15 when it
  // is gone); with deleted true it is made again, paired with handheldId
  // (0: unpaired). Error 16 for a line that is no record of the page. 1 or 0.
  int PutBack(const char* page, const char* line, bool deleted, unsigned long handheldId);
  int Commit(const char* page);

 private:
  COfficeSession* m_pSession;
};
