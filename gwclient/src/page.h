// Server pages: the base that fetches (GET) and commits (POST) a page, the
// list page that holds the parsed lines as records of one kind (owned, see
// record.h), and the data page that also keeps pending changes and relation
// data. Private to the library.
#pragma once

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <ranges>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/record.h"
#include "gwclient/src/relations.h"
#include "gwclient/src/reply.h"
#include "platform/runrecord.h"

namespace platform {
class HttpRequest;
}

class CServerSession;

// Hands each line of a reply to handler until it returns false.
void ForEachReplyLine(CReplyReader& reply, const std::function<bool(const std::string&)>& handler);

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
  // Hands each line of reply to handler, up to a server error line (which
  // sets its error): 1, or 0 when one came.
  int ReadLines(CReplyReader& reply, const std::function<void(const std::string&)>& handler);

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
  // Reads the status of a sent request: true for 200 (the exchange
  // succeeded); else the status is the detail error and the last error is 8,
  // or 7 for a 401 when tellUnauthorized.
  bool TakeStatus(platform::HttpRequest& request, bool tellUnauthorized);

  CServerSession* m_pSession;
  int m_bLoaded = 0;
};

// A page whose reply lines become records of kind T, kept in server order
// and owned by the page (freed with it). Base is CPageRequest, or
// CDataPageBase for a page of records that can be changed.
template <typename T, typename Base = CPageRequest>
class CListPage : public Base {
 public:
  using Record = CRecord<T>;
  using Base::Base;

  void Reset() override {
    ClearItems();
    this->m_bLoaded = 0;
  }
  int Parse(CReplyReader& reply) override;
  // One reply line to a new record; null to skip the line. May throw
  // std::bad_alloc.
  virtual std::unique_ptr<Record> ParseItem(const std::string& line) = 0;

  // The iteration model that the connection classes export: fetch when not
  // loaded, then walk the records.
  Record* FindFirst() {
    if (!this->Fetch() || m_Items.empty()) return nullptr;
    m_Pos = 1;
    return m_Items[0].get();
  }
  Record* FindNext() { return m_Pos < m_Items.size() ? m_Items[m_Pos++].get() : nullptr; }
  long GetCount() { return this->Fetch() ? static_cast<long>(m_Items.size()) : 0; }
  // The record with id; error 15 when none or id 0.
  Record* Get(DWORD id) {
    if (!this->Fetch()) return nullptr;
    long i = id ? IndexOf(id) : -1;
    if (i < 0) {
      SetLastErrorCode(GWERR_NOT_FOUND);
      return nullptr;
    }
    return m_Items[static_cast<size_t>(i)].get();
  }
  // What the run record calls the page's records ("SyncMemo"); null for a
  // page whose reading is not recorded.
  virtual const char* RecordKind() const { return nullptr; }

  // The held records, as pointers (owned by the page).
  auto Items() const { return m_Items | std::views::transform(HeldPointer<Record>); }

 protected:
  void ClearItems() noexcept {
    m_Items.clear();
    m_Pos = SIZE_MAX;
  }
  // Records how many records a successful parse read.
  void RecordRead(int parsed) const {
    if (parsed && RecordKind())
      platform::appendRunRecord({"server", "read", RecordKind(), std::to_string(m_Items.size())});
  }
  // Appends a parsed record (null: nothing); when the list cannot grow the
  // record is freed and std::bad_alloc thrown on.
  void AppendItem(std::unique_ptr<Record> item) {
    if (item) m_Items.push_back(std::move(item));
  }
  // Takes the record at i out of the list; the cursor stays on the record
  // it was on.
  std::unique_ptr<Record> TakeItem(size_t i) noexcept {
    std::unique_ptr<Record> item = std::move(m_Items[i]);
    m_Items.erase(m_Items.begin() + static_cast<long>(i));
    if (m_Pos != SIZE_MAX && i < m_Pos) --m_Pos;
    return item;
  }
  // Position of the record with id, or -1.
  long IndexOf(DWORD id) const {
    for (size_t i = 0; i < m_Items.size(); ++i)
      if (static_cast<DWORD>(m_Items[i]->nID) == id) return static_cast<long>(i);
    return -1;
  }

  std::vector<std::unique_ptr<Record>> m_Items;
  size_t m_Pos = SIZE_MAX;  // next record of FindNext; SIZE_MAX before FindFirst
};

template <typename T, typename Base>
int CListPage<T, Base>::Parse(CReplyReader& reply) {
  // A record that cannot be had fails the whole parse (Fetch resets the
  // page): a list without it would be taken for the server's.
  const int result = this->ReadLines(reply, [&](const std::string& line) { AppendItem(ParseItem(line)); });
  RecordRead(result);
  return result;
}

// What every page of records that can be changed has, whatever its kind:
// the relation data, read after the records, and what the run record's undo
// asks of a page.
class CDataPageBase : public CPageRequest {
 public:
  explicit CDataPageBase(CServerSession* session) : CPageRequest(session), m_Relations(GWERR_NONE) {}

  // The commit's page name, e.g. "SyncAddress"; default none.
  virtual const char* CommitPageName() const { return ""; }
  // The page of the commit's name, with the session label.
  void BuildURL(std::string& url) override;
  // Removes a held record (its removal is sent by the next commit); error 15
  // when none. 1 or 0.
  virtual int Remove(DWORD id) = 0;
  // Sets the record of a server line (as the page reads it): with deleted
  // false a change of the held record of its id, with deleted true a new
  // record keyed by key. Error 16 for a line that is no record. 1 or 0.
  virtual int PutBack(const std::string& line, bool deleted, DWORD key) = 0;

  // Relation data; the first three fetch the page when it is not loaded.
  __REL_DATA* FindFirstRelation() { return Fetch() ? m_Relations.First() : nullptr; }
  __REL_DATA* FindNextRelation() { return m_Relations.Next(); }
  long GetRelationCount() { return Fetch() ? m_Relations.Count() : 0; }
  int SetRelation(DWORD serverId, DWORD handheldId) { return m_Relations.SetPair(m_bLoaded, serverId, handheldId); }
  // 0, and the last error untouched, when there is no such pair.
  int RemoveRelation(DWORD serverId) { return m_Relations.RemovePair(serverId); }
  long GetRelationTimeStamp() const { return m_Relations.TimeStamp(); }
  int SetRelationTimeStamp(long timeStamp) { return m_Relations.SetTimeStamp(m_bLoaded, timeStamp); }
  const std::vector<std::unique_ptr<__REL_DATA>>& Relations() const { return m_Relations.Pairs(); }

 protected:
  // The id a dry run gives a new record: one count, down from the top of the
  // positive range, for every kind of the process.
  static DWORD NextProvisionalId();

  CRelationSet m_Relations;
};

// A list page of records of kind T that can be changed and sent back, with
// the relation data of the kind.
template <typename T>
class CDataPage : public CListPage<T, CDataPageBase> {
  using List = CListPage<T, CDataPageBase>;

 public:
  using typename List::Record;
  struct NEW_ENTRY {
    DWORD nKey;     // the handheld record it came from, or 0
    Record* pItem;  // also in the record list
  };

  using List::List;

  void Reset() override;
  int Parse(CReplyReader& reply) override;
  bool BuildCommitBody(std::string& body) override;
  int ParseCommitReply(CReplyReader& reply) override;
  std::vector<CPageRequest::CommitLine> DescribeCommit() override;
  std::string DryRunReply() override;
  const char* RecordKind() const override { return *this->CommitPageName() ? this->CommitPageName() : nullptr; }

  // True for a page whose records are only read: a Set that would copy a
  // record answers error 17.
  virtual bool IsReadOnly() const { return false; }
  // How a person knows the record, for the run record: a name or title.
  virtual std::string Describe(const T& item) const {
    (void)item;
    return "";
  }
  // The server's line a held record was read from, escaped for the run
  // record; empty when none is kept.
  std::string EarlierLine(const T* item) const {
    auto line = m_Lines.find(item);
    return line == m_Lines.end() ? std::string() : EscapeRecordedLine(line->second);
  }
  // Appends a record's form fields, starting with "&i=<id>"; key is the
  // handheld key of a pending-new record (0 otherwise), written as "&s=" where
  // the kind places it. May fill in defaults of the held record (a title).
  // False when a text could not be escaped (the rest of the record is then
  // left out).
  virtual bool WriteRecord(std::string& body, Record& item, DWORD key) {
    WriteField(body, "i", static_cast<LONG>(item.nID));
    if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
    return true;
  }
  // Appends the removed records; the default writes "&i=<id>" for each.
  virtual void WriteRemoved(std::string& body) {
    for (DWORD id : m_Removed) WriteField(body, "i", static_cast<LONG>(id));
  }

  // Changes or adds a record (id 0 = new, with key); the held record or null.
  Record* Set(const T* record, DWORD key);
  int Remove(DWORD id) override;
  int PutBack(const std::string& line, bool deleted, DWORD key) override;

  const std::vector<NEW_ENTRY>& PendingNew() const { return m_New; }
  const std::vector<Record*>& Modified() const { return m_Modified; }
  const std::vector<DWORD>& RemovedIds() const { return m_Removed; }

 protected:
  // Holds a copy of record as a new one with key; null on failure.
  Record* NewEntry(const T& record, DWORD key);
  // Copies record into the held one (keeping the held id); 1, or 0 with
  // the error set.
  int CopyItem(Record& held, const T& record);
  // Ends a successful commit: the pending lists are sent.
  void ClearPending();

  std::vector<NEW_ENTRY> m_New;
  std::vector<Record*> m_Modified;
  std::vector<DWORD> m_Removed;
  // How the removed records were known, kept while a run record is kept
  // (the records themselves are gone); parallel to m_Removed: the text, the
  // server's line for the record and the handheld id it was paired with.
  struct RemovedRecord {
    std::string text, line;
    DWORD handheldId = 0;
  };
  std::vector<RemovedRecord> m_RemovedAccounts;
  RemovedRecord RemovedAccount(const Record& item) {
    RemovedRecord r{Describe(item), "", 0};
    if (auto line = m_Lines.find(&item); line != m_Lines.end()) r.line = line->second;
    r.handheldId = this->m_Relations.HandheldOf(static_cast<DWORD>(item.nID));
    return r;
  }
  // The server's line each held record was read from, while a run record
  // is kept: what the record was before the run, for taking it back.
  std::unordered_map<const T*, std::string> m_Lines;
  // Lookups that would otherwise scan a list per call, and so cost the
  // square of its length over a sync: the first pending-new entry of each
  // key and the modified records.
  std::unordered_map<DWORD, size_t> m_NewByKey;
  std::unordered_set<const T*> m_ModifiedSet;
};

template <typename T>
void CDataPage<T>::Reset() {
  ClearPending();
  m_Lines.clear();
  this->m_Relations.Clear();
  List::Reset();
}

template <typename T>
int CDataPage<T>::Parse(CReplyReader& reply) {
  const bool recording = platform::runRecordActive();
  bool afterEmpty = false;
  bool inRelations = false;
  const int result = this->ReadLines(reply, [&](const std::string& line) {
    const bool empty = line.empty();
    if (!inRelations && afterEmpty && strcasecmp(line.c_str(), "relation") == 0) {
      inRelations = true;
      afterEmpty = false;
      return;
    }
    afterEmpty = empty;
    if (empty) return;
    // A record or pair that cannot be had fails the whole parse (Fetch
    // resets the page): one missing would read as deleted.
    if (inRelations) {
      this->m_Relations.ParseLine(line);
      return;
    }
    std::unique_ptr<Record> item = this->ParseItem(line);
    const Record* held = item.get();
    this->AppendItem(std::move(item));
    if (held && recording) m_Lines[held] = line;
  });
  this->RecordRead(result);
  return result;
}

template <typename T>
int CDataPage<T>::CopyItem(Record& held, const T& record) {
  if (IsReadOnly()) {
    SetLastErrorCode(GWERR_READ_ONLY);
    return 0;
  }
  try {
    CopyRecordInto(held, record);
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  return 1;
}

template <typename T>
typename CDataPage<T>::Record* CDataPage<T>::NewEntry(const T& record, DWORD key) {
  if (IsReadOnly()) {
    SetLastErrorCode(GWERR_READ_ONLY);
    return nullptr;
  }
  bool keyed = false;
  try {
    auto copy = std::make_unique<Record>();
    CopyRecordInto(*copy, record);
    // Room grows geometrically, and is had before anything changes, so that
    // a failure leaves the lists as they were.
    auto& items = this->m_Items;
    if (items.size() == items.capacity()) items.reserve(2 * items.size() + 16);
    if (m_New.size() == m_New.capacity()) m_New.reserve(2 * m_New.size() + 16);
    if (key != 0) keyed = m_NewByKey.emplace(key, m_New.size()).second;
    m_New.push_back(NEW_ENTRY{key, copy.get()});
    items.push_back(std::move(copy));
    return m_New.back().pItem;
  } catch (const std::bad_alloc&) {
    if (keyed) m_NewByKey.erase(key);
    SetLastErrorCode(GWERR_NO_MEMORY);
    return nullptr;
  }
}

template <typename T>
typename CDataPage<T>::Record* CDataPage<T>::Set(const T* record, DWORD key) {
  if (!this->m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return nullptr;
  }
  if (!record) {
    SetLastErrorCode(GWERR_BAD_ID);
    return nullptr;
  }
  const DWORD id = static_cast<DWORD>(record->nID);
  if (id == 0) {
    if (key != 0) {
      if (auto it = m_NewByKey.find(key); it != m_NewByKey.end()) {
        Record* held = m_New[it->second].pItem;
        return CopyItem(*held, *record) ? held : nullptr;
      }
    }
    return NewEntry(*record, key);
  }
  long i = this->IndexOf(id);
  if (i < 0) {
    SetLastErrorCode(GWERR_NOT_FOUND);
    return nullptr;
  }
  Record* held = this->m_Items[static_cast<size_t>(i)].get();
  if (held == record) {
    SetLastErrorCode(GWERR_BAD_ID);
    return nullptr;
  }
  if (!m_ModifiedSet.count(held)) {
    try {
      if (m_Modified.size() == m_Modified.capacity()) m_Modified.reserve(2 * m_Modified.size() + 16);
      m_ModifiedSet.insert(held);
    } catch (const std::bad_alloc&) {
      SetLastErrorCode(GWERR_NO_MEMORY);
      return nullptr;
    }
    if (!CopyItem(*held, *record)) {
      m_ModifiedSet.erase(held);
      return nullptr;
    }
    m_Modified.push_back(held);
    return held;
  }
  return CopyItem(*held, *record) ? held : nullptr;
}

template <typename T>
int CDataPage<T>::Remove(DWORD id) {
  long i = id ? this->IndexOf(id) : -1;
  if (i < 0) {
    SetLastErrorCode(GWERR_NOT_FOUND);
    return 0;
  }
  Record* item = this->m_Items[static_cast<size_t>(i)].get();
  try {
    // Both lists stay parallel: the record's account is had first, the id after.
    if (platform::runRecordActive()) m_RemovedAccounts.push_back(RemovedAccount(*item));
    m_Removed.push_back(id);
  } catch (const std::bad_alloc&) {
    if (m_RemovedAccounts.size() > m_Removed.size()) m_RemovedAccounts.pop_back();
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  m_Lines.erase(item);
  if (m_ModifiedSet.erase(item)) std::erase(m_Modified, item);
  this->TakeItem(static_cast<size_t>(i));  // freed here
  return 1;
}

template <typename T>
int CDataPage<T>::PutBack(const std::string& line, bool deleted, DWORD key) {
  std::unique_ptr<Record> record = this->ParseItem(line);
  if (!record) {
    SetLastErrorCode(GWERR_BAD_ID);
    return 0;
  }
  if (deleted) record->nID = 0;  // made again: a new id
  return Set(record.get(), deleted ? key : 0) ? 1 : 0;
}

template <typename T>
bool CDataPage<T>::BuildCommitBody(std::string& body) {
  // The reply gives each new record its server id, and the record's pair
  // must then be had without allocating: an id without its pair would make
  // the next run pair the record again. So the pairs are had now, before
  // anything is sent.
  this->m_Relations.Reserve(m_New.size());
  body += "page=";
  body += this->CommitPageName();
  this->AppendLabel(body);
  WriteRemoved(body);
  for (Record* item : m_Modified)
    if (!WriteRecord(body, *item, 0)) return false;
  for (const auto& entry : m_New)
    if (!WriteRecord(body, *entry.pItem, entry.nKey)) return false;
  body += "&i=0";
  this->m_Relations.WriteCommit(body);
  return true;
}

template <typename T>
std::vector<CPageRequest::CommitLine> CDataPage<T>::DescribeCommit() {
  // "server", what, the page, the server id, how the record is known; for a
  // change and a deletion also the server's line of the record before the
  // run and, for a deletion, the handheld id it was paired with.
  std::vector<CPageRequest::CommitLine> lines;
  const char* page = this->CommitPageName();
  for (size_t i = 0; i < m_Removed.size(); ++i) {
    const RemovedRecord none;
    const RemovedRecord& r = i < m_RemovedAccounts.size() ? m_RemovedAccounts[i] : none;
    lines.push_back({{"server", "delete", page, std::to_string(m_Removed[i]), r.text, EscapeRecordedLine(r.line),
                      std::to_string(r.handheldId)}});
  }
  for (Record* item : m_Modified)
    lines.push_back({{"server", "change", page, std::to_string(item->nID), Describe(*item), EarlierLine(item)}});
  for (const NEW_ENTRY& entry : m_New)
    lines.push_back({{"server", "add", page, "0", Describe(*entry.pItem)}, &entry.pItem->nID});
  if (auto fields = this->m_Relations.RunRecordFields(page, static_cast<long>(m_New.size())); !fields.empty())
    lines.push_back({std::move(fields)});
  return lines;
}

template <typename T>
std::string CDataPage<T>::DryRunReply() {
  // The relation time stamp as the server stores it, then an id for each new
  // record sent with its handheld key. The ids count down from the top of
  // the positive range, far from any the server gives.
  std::string reply = this->m_Relations.StampReply();
  for (const NEW_ENTRY& entry : m_New)
    if (entry.nKey != 0) reply += std::to_string(entry.nKey) + "," + std::to_string(this->NextProvisionalId()) + "\n";
  return reply;
}

template <typename T>
void CDataPage<T>::ClearPending() {
  m_New.clear();
  m_NewByKey.clear();
  m_Modified.clear();
  m_ModifiedSet.clear();
  m_Removed.clear();
  m_RemovedAccounts.clear();
  this->m_Relations.Committed();
}

template <typename T>
int CDataPage<T>::ParseCommitReply(CReplyReader& reply) {
  bool first = true;
  const int result = this->ReadLines(reply, [&](const std::string& line) {
    if (first) {
      first = false;
      this->m_Relations.ReadCommitStamp(line);
      return;
    }
    DWORD key = 0, newId = 0;
    if (!ParseNumberPair(line, &key, &newId) || key == 0 || newId == 0) return;
    if (auto it = m_NewByKey.find(key); it != m_NewByKey.end()) {
      // A pair made ready with the body, so that this cannot fail; only a
      // key the reply names twice needs a new one (and may fail the commit,
      // before the record takes the id).
      this->m_Relations.AddFromReply(newId, key);
      m_New[it->second].pItem->nID = newId;
    }
  });
  if (result) ClearPending();
  return result;
}
