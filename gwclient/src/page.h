// Server pages: the base that fetches (GET) and commits (POST) a page, the
// list page that holds the parsed lines as items, and the data page that
// also keeps pending changes and relation data. Private to the library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/reply.h"

namespace platform {
class HttpRequest;
}

class CServerSession;

// Hands each line of a reply to handler until it returns false.
void ForEachReplyLine(CReplyReader& reply,
                      const std::function<bool(const std::string&)>& handler);

// True for a server error line ("ErrorCode,<code>,..."); sets the library
// error it stands for and, for an unknown code, the session's detail error.
bool CheckServerErrorLine(CServerSession* session, const std::string& line);

class CPageRequest {
 public:
  explicit CPageRequest(CServerSession* session) : m_pSession(session) {}
  virtual ~CPageRequest() = default;
  CPageRequest(const CPageRequest&) = delete;
  CPageRequest& operator=(const CPageRequest&) = delete;

  // Forgets the held data and clears the loaded flag.
  virtual void Reset() { m_bLoaded = 0; }
  // Reads a fetched reply; 1 when it held no error line.
  virtual int Parse(CReplyReader& reply) = 0;
  // Appends the object path and the page's query to url.
  virtual void BuildURL(std::string& url) = 0;
  // Appends the form fields of a commit to body. False when a record could
  // not be written whole (out of memory): the commit then fails unsent.
  // May throw std::bad_alloc, with the same meaning.
  virtual bool BuildCommitBody(std::string& body) {
    (void)body;
    return true;
  }
  // Reads a commit reply; the base only looks for an error line.
  virtual int ParseCommitReply(CReplyReader& reply);

  // One line of the run record (platform/runrecord.h) for a change a commit
  // sends. idAfter, when set, is read once the commit succeeded: the id the
  // server gave a new record, which replaces fields[3].
  struct CommitLine {
    std::vector<std::string> fields;
    const DWORD* idAfter = nullptr;
  };
  // The run record's lines for the pending changes; appended once the
  // commit succeeded. Default none.
  virtual std::vector<CommitLine> DescribeCommit() { return {}; }
  // The reply the server gives a commit of the pending changes that it
  // takes whole: a dry run reads it instead of sending. Default no line.
  virtual std::string DryRunReply() { return ""; }
  // True for a server error line; sets the error it stands for.
  virtual bool CheckErrorLine(const std::string& line);
  // Sends a prepared request and checks its status; true for 200.
  virtual bool SendGet(platform::HttpRequest& request);
  virtual bool SendPost(platform::HttpRequest& request, const char* body, size_t length);

  // Gets and parses the page unless it is loaded already (or force). A
  // reply that cannot be read whole for memory is error 1 and leaves the
  // page reset (empty, not loaded): never a shorter list taken for the whole.
  int Fetch(bool force = false);
  // Sends the page's pending changes. A body that cannot be built whole is
  // error 1 before anything is sent; the pending changes are kept.
  int Commit();
  int IsLoaded() const { return m_bLoaded; }
  // Appends "&label=" and the session label, escaped like any form value
  // (it is the user's text), to a URL or a commit body.
  void AppendLabel(std::string& text) const;
  CServerSession* GetSession() const { return m_pSession; }

 protected:
  // Runs up to the session's retry count attempts of send; stops early
  // after a 401. True when one attempt succeeded.
  bool Attempt(const std::function<bool()>& send);

  CServerSession* m_pSession;
  int m_bLoaded = 0;
};

// A page whose reply lines become items, kept in server order.
class CListPage : public CPageRequest {
 public:
  using CPageRequest::CPageRequest;
  ~CListPage() override;

  void Reset() override;
  int Parse(CReplyReader& reply) override;
  // One reply line to a new item; null to skip the line.
  virtual void* ParseItem(const std::string& line) = 0;
  virtual void DeleteItem(void* item) = 0;

  // The iteration model that the connection classes export: fetch when not
  // loaded, then walk the items.
  void* FindFirst();
  void* FindNext();
  long GetCount();
  // The item whose id (first field) is id; error 15 when none or id 0.
  void* Get(DWORD id);
  // What the run record calls the page's records ("SyncMemo"); null for a
  // page whose reading is not recorded.
  virtual const char* RecordKind() const { return nullptr; }

  const std::vector<void*>& Items() const { return m_Items; }

 protected:
  void DeleteAllItems();
  // Records how many records a successful parse read.
  void RecordRead(int parsed) const;
  // Appends a parsed item (null: nothing); when the list cannot grow the
  // item is deleted and std::bad_alloc thrown on.
  void AppendItem(void* item);
  // Position of the item with id, or -1.
  long IndexOf(DWORD id) const;
  static DWORD IdOf(const void* item) { return *static_cast<const DWORD*>(item); }

  std::vector<void*> m_Items;
  size_t m_Pos = SIZE_MAX;  // next item of FindNext; SIZE_MAX before FindFirst
};

// A list page of records that can be changed and sent back, with the
// relation data of the kind.
class CDataPage : public CListPage {
 public:
  struct NEW_ENTRY {
    DWORD nKey;    // the handheld record it came from, or 0
    void* pItem;   // also in the item list
  };

  using CListPage::CListPage;
  ~CDataPage() override;

  void Reset() override;
  int Parse(CReplyReader& reply) override;
  bool BuildCommitBody(std::string& body) override;
  int ParseCommitReply(CReplyReader& reply) override;

  // Holds a copy of record as a new one with key; null on failure.
  virtual void* NewEntry(const void* record, DWORD key);
  // A held copy of record (its id kept); default: error 17, null.
  virtual void* CreateItem(const void* record);
  // Copies record into the held item (keeping the held id); default: error 17, 0.
  virtual int CopyItem(void* item, const void* record);
  // The commit's page name, e.g. "SyncAddress"; default none.
  virtual const char* CommitPageName() const { return ""; }
  const char* RecordKind() const override { return *CommitPageName() ? CommitPageName() : nullptr; }
  // How a person knows the record, for the run record: a name or title.
  virtual std::string Describe(const void* item) const {
    (void)item;
    return "";
  }
  std::vector<CommitLine> DescribeCommit() override;
  std::string DryRunReply() override;
  // The server's line a held record was read from, escaped for the run
  // record; empty when none is kept.
  std::string EarlierLine(const void* item) const;
  // Appends a record's form fields, starting with "&i=<id>"; key is the
  // handheld key of a pending-new record (0 otherwise), written as "&s=" where
  // the kind places it. May fill in defaults of the held record (a title).
  // False when a text could not be escaped (the rest of the record is then
  // left out).
  virtual bool WriteRecord(std::string& body, void* item, DWORD key);
  // Appends the removed records; the default writes "&i=<id>" for each.
  virtual void WriteRemoved(std::string& body);

  // Changes or adds a record (id 0 = new, with key); the held record or null.
  void* Set(const void* record, DWORD key);
  int Remove(DWORD id);

  // Relation data.
  __REL_DATA* FindFirstRelation();
  __REL_DATA* FindNextRelation();
  long GetRelationCount();
  int SetRelation(DWORD serverId, DWORD handheldId);
  int RemoveRelation(DWORD serverId);
  long GetRelationTimeStamp() const { return m_RelTimeStamp; }
  int SetRelationTimeStamp(long timeStamp);

  const std::vector<NEW_ENTRY>& PendingNew() const { return m_New; }
  const std::vector<void*>& Modified() const { return m_Modified; }
  const std::vector<DWORD>& RemovedIds() const { return m_Removed; }
  const std::vector<std::unique_ptr<__REL_DATA>>& Relations() const { return m_Relations; }

 protected:
  // Ends a successful commit: the pending lists are sent.
  void ClearPending();
  // Reads "server,handheld" (both digits only) into a new pair; false for
  // any other line.
  bool ParseRelationLine(const std::string& line);
  // Appends a pair; throws std::bad_alloc with nothing changed.
  void AppendRelation(std::unique_ptr<__REL_DATA> pair);
  // Position of the first pair of that server id, or -1.
  long RelationIndexOf(DWORD serverId);

  std::vector<NEW_ENTRY> m_New;
  std::vector<void*> m_Modified;
  std::vector<DWORD> m_Removed;
  // How the removed records were known, kept while a run record is kept
  // (the records themselves are gone); parallel to m_Removed: the text, the
  // server's line for the record and the handheld id it was paired with.
  struct RemovedRecord {
    std::string text, line;
    DWORD handheldId = 0;
  };
  std::vector<RemovedRecord> m_RemovedAccounts;
  RemovedRecord RemovedAccount(const void* item);
  // The server's line each held record was read from, while a run record
  // is kept: what the record was before the run, for taking it back.
  std::unordered_map<const void*, std::string> m_Lines;
  // Pairs set and removed since the last commit, for the run record.
  long m_RelationsSet = 0;
  long m_RelationsRemoved = 0;
  LONG m_RelTimeStamp = 0;
  std::vector<std::unique_ptr<__REL_DATA>> m_Relations;
  size_t m_RelPos = SIZE_MAX;
  // Lookups that would otherwise scan a list per call, and so cost the
  // square of its length over a sync: the first pending-new entry of each
  // key, the modified items, and the first pair of each server id. The pair
  // index is rebuilt when it went stale (a pair removed, or pairs added where
  // nothing may fail); a rebuild that cannot be had falls back to a scan.
  std::unordered_map<DWORD, size_t> m_NewByKey;
  std::unordered_set<const void*> m_ModifiedSet;
  std::unordered_map<DWORD, size_t> m_RelIndex;
  bool m_RelIndexStale = false;
  // Pairs made ready while the body is built, one per pending-new record,
  // for the ids the commit reply gives (see BuildCommitBody).
  std::vector<std::unique_ptr<__REL_DATA>> m_SpareRelations;
};
