// The handheld Mail application as the mail conduit sees it: the mail
// written on the handheld waits in the send category (Outbox) until the
// server has taken it, then moves to the filed category (Filed); server mail
// arrives in the receive category (Inbox), filtered by the Mail
// application's HotSync preference. Category names are strings 2, 3 and 4
// of the conduit's resource library.
//
//   PalmLSMailDataSrc hh(&categories, &records, &times, "MailDB", 0, 'mail', "Outbox", "Filed", "Inbox");
//   CSyncCore core(hh, gw, true);
#pragma once

#include <string>
#include <vector>

#include "conduits/common/palmdatasrc.h"

// Strings of the mail conduit's resource library.
enum : UINT {
  MAILRES_RECEIVE_CATEGORY = 2,
  MAILRES_SEND_CATEGORY = 3,
  MAILRES_FILED_CATEGORY = 4,
  MAILRES_RECORD_NAME = 11,  // getRecIdStr of a mail record
};

// Sync types of the Mail preference.
enum : BYTE {
  MAILSYNC_ALL = 0,
  MAILSYNC_SEND_ONLY = 1,  // one way: handheld mail is sent, nothing comes back
  MAILSYNC_FILTER = 2,
  MAILSYNC_UNREAD = 3,
};

constexpr int kMailFilterMax = 255;  // bytes kept of each filter text
constexpr WORD kMailDefaultTruncation = 4000;

// The Mail application's HotSync preference, as the conduit keeps it.
struct MailSyncPref {
  BYTE syncType = MAILSYNC_ALL;
  BYTE highPriority = 0;  // kept, not used
  BYTE includeMatching = 0;
  WORD truncation = 0;  // 0: kMailDefaultTruncation
  char filterTo[kMailFilterMax + 1] = {};
  char filterFrom[kMailFilterMax + 1] = {};
  char filterSubject[kMailFilterMax + 1] = {};

  WORD bodyLimit() const { return truncation ? truncation : kMailDefaultTruncation; }
};

// Reads size bytes of the preference (after its version) into pref, which
// starts empty: the sync type, the two flags and the truncation size where
// the bytes hold them, and with sync type 2 the three filter texts (to, from,
// subject), each cut to 255 bytes. Nothing past size is read: when the
// texts run past it, message 0xc000001e (size, bytes needed) is logged and
// what stood before the end is kept. False then, true otherwise.
bool parseMailSyncPref(const BYTE* data, int size, MailSyncPref& pref);

class PalmLSMailDataSrc : public CPalmLSDataSrc {
 public:
  // The three category names are copied.
  PalmLSMailDataSrc(CPalmCategoryList* categories, CPalmRecordSet* records, SyncTimeStore* times, const char* dbName,
                    int cardNo, DWORD creator, const char* sendCategory, const char* filedCategory,
                    const char* receiveCategory);

  // The base openDB, then the Mail preference from "Saved Preferences"; a
  // missing or unreadable preference leaves it empty (every mail).
  bool openDB() override;
  // Sync type 1 adds SYNC_ONE_WAY.
  WORD determineHowToSync(WORD flags) override;
  // The live records of the send category, each marked modified; nothing
  // when the handheld has no such category. When there is mail to send and
  // the filed category is missing (renamed or deleted on the handheld), it
  // is added first; false, before anything is sent, when it cannot be.
  bool readRecords(CGWDataSrc* gw, bool all) override;
  // As the base; the order is remembered for cleanupSyncRecords.
  bool getFirstRecordToSync(CHHRecord** record) override;
  bool getNextRecordToSync(CHHRecord** record) override;
  // Purges the receive category only; true when there is none.
  bool deleteAllRecord() override;
  // Moves the first count mails the server took (HHMARK_MAIL_SENT, in the
  // order they were sent) to the filed category. Everything else stays as
  // it is: a mail not sent is still in the send category for the next run.
  bool cleanupSyncRecords(int count) override;

  const MailSyncPref& pref() const { return m_Pref; }
  // Stores size bytes of preference (a size of 0 or less: none).
  void storePref(const BYTE* data, int size);
  int sendCategory() const { return m_SendCat; }
  int filedCategory() const { return m_FiledCat; }
  int receiveCategory() const { return m_ReceiveCat; }
  CHHRecord* lastReturned() const { return m_LastReturned; }

 private:
  void findCategories();
  bool makeFiledCategory();
  void remember(CHHRecord* record);

  std::string m_SendName, m_FiledName, m_ReceiveName;
  int m_SendCat = -1;
  int m_FiledCat = -1;
  int m_ReceiveCat = -1;
  MailSyncPref m_Pref;
  CHHRecord* m_LastReturned = nullptr;
  std::vector<DWORD> m_SyncOrder;  // record ids as handed to the engine
};
