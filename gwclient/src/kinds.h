// The pages of the five data kinds: addresses (items and cards), mail, memos,
// schedules, to-dos and to-do categories. Private to the library.
#pragma once

#include <memory>
#include <ranges>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/page.h"
#include "gwclient/src/reply.h"

// The application name the mail kind is known by on the server.
extern const char kMailAppName[];
// "無題" in Shift-JIS: the title of a memo or to-do sent without one.
extern const char kUntitled[];

// Address item definitions: lines "id-or-name,type,necessary,disable,name".
class CAddressItemPage : public CListPage<__ADDRESS_ITEM> {
 public:
  using CListPage::CListPage;
  // Cards and the address page's columns point at the definitions: a fetch
  // after a failed one keeps the old ones alive until the session ends.
  void Reset() override;
  void BuildURL(std::string& url) override;
  // Also keeps room to retire every item held, so that Reset never needs
  // memory (a fetch that fails for memory resets the page).
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  // The held definition with id; null when none (or id 0).
  __ADDRESS_ITEM* Find(LONG id) const;

 private:
  std::vector<std::unique_ptr<Record>> m_Retired;
};

// Address cards: a header line naming the columns, then one line per card
// whose values follow those columns; then the relation section.
class CAddressPage : public CDataPage<__ADDRESS_DATA> {
 public:
  CAddressPage(CServerSession* session, CAddressItemPage* items) : CDataPage(session), m_pItemPage(items) {}
  void BuildURL(std::string& url) override;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  const char* CommitPageName() const override { return "SyncAddress"; }
  // The last and first names, else the first value the card has.
  std::string Describe(const __ADDRESS_DATA& card) const override;
  bool WriteRecord(std::string& body, Record& card, DWORD key) override;

  CAddressItemPage* m_pItemPage;
  // One entry per column of the first header line read in the session: the
  // matching definition, or null.
  std::vector<__ADDRESS_ITEM*> m_Columns;
  bool m_bHaveColumns = false;
  LONG m_nMatchingColumns = 0;
  LONG m_nLastTimeStamp = 0;
};

class CMemoPage : public CDataPage<__MEMO_DATA> {
 public:
  using CDataPage::CDataPage;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  const char* CommitPageName() const override { return "SyncMemo"; }
  std::string Describe(const __MEMO_DATA& memo) const override;
  bool WriteRecord(std::string& body, Record& memo, DWORD key) override;
};

class CToDoPage : public CDataPage<__TODO_DATA> {
 public:
  using CDataPage::CDataPage;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  const char* CommitPageName() const override { return "SyncToDo"; }
  std::string Describe(const __TODO_DATA& todo) const override;
  bool WriteRecord(std::string& body, Record& todo, DWORD key) override;
};

// A to-do category as the category page holds it.
struct CATEGORY {
  char* pszName;
};
template <>
struct CRecordTexts<CATEGORY> {
  static constexpr char* CATEGORY::*kList[] = {&CATEGORY::pszName};
};

// To-do categories: lines "c,<name>"; the commit sends the whole list.
class CToDoCategoryPage : public CListPage<CATEGORY> {
 public:
  using CListPage::CListPage;
  void BuildURL(std::string& url) override;
  bool BuildCommitBody(std::string& body) override;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;

  const char* FindFirstName();
  const char* FindNextName();
  int SetCategory(const char* name);
  int RemoveCategory(const char* name);
};

// Schedules. Removed schedules are kept whole until the next commit's reply,
// because the server is told a removal by id and start date.
class CSchedulePage : public CDataPage<__SCHEDULE_DATA> {
 public:
  using CDataPage::CDataPage;
  void Reset() override;
  int ParseCommitReply(CReplyReader& reply) override;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  const char* CommitPageName() const override { return "SyncCalendar"; }
  // The start date and the event.
  std::string Describe(const __SCHEDULE_DATA& s) const override;
  // The removed schedules are held whole (see above), not in the base's list.
  std::vector<CommitLine> DescribeCommit() override;
  bool WriteRecord(std::string& body, Record& s, DWORD key) override;
  void WriteRemoved(std::string& body) override;

  // Moves the schedule to the removed list; error 15 when none.
  int Remove(DWORD id) override;
  const std::vector<std::unique_ptr<Record>>& RemovedRecords() const { return m_RemovedRecords; }

 private:
  std::vector<std::unique_ptr<Record>> m_RemovedRecords;
};

// The mail box, the queue of mails to send and the position the server
// gave when it refused one.
class CMailPage : public CListPage<__MAIL_DATA> {
 public:
  using CListPage::CListPage;
  void BuildURL(std::string& url) override;
  bool BuildCommitBody(std::string& body) override;
  int ParseCommitReply(CReplyReader& reply) override;
  bool CheckErrorLine(const std::string& line) override;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  // Appends a copy of the mail's texts to the send queue; throws bad_alloc.
  virtual void QueueCopy(const __MAIL_DATA& mail);
  // Drops the mails not sent. A fetch keeps them: mails queued before the
  // mail box is read are still sent.
  void FreeQueue();
  const char* RecordKind() const override { return "SyncMail"; }
  // A line per mail sent, by subject.
  std::vector<CommitLine> DescribeCommit() override;

  // The mails queued, as pointers (owned by the page).
  auto Queue() const { return m_Queue | std::views::transform(HeldPointer<Record>); }
  LONG m_nSendErrorPosition = 0;

 private:
  std::vector<std::unique_ptr<Record>> m_Queue;
};

// Repeat-type names of schedules, by code.
extern const CODE_NAME kRepeatTypes[];
// The date a schedule is known by: its start date when it does not repeat,
// else its valid date.
__OFFICE_DATE ScheduleIdentityDate(const __SCHEDULE_DATA& s);
