#include "gwclient/src/page.h"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <new>

#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"
#include "platform/internet.h"
#include "platform/runrecord.h"

namespace {

// Server error codes and the library errors they stand for; any other code
// is error 21 with the code as detail.
struct SERVER_ERROR {
  LONG nServerCode;
  DWORD dwError;
};
const SERVER_ERROR kServerErrors[] = {
    {16401, GWERR_SERVER_AUTH},  {16403, GWERR_SERVER_AUTH}, {16402, GWERR_SERVER_USER},
    {16404, GWERR_SERVER_USER},  {16405, GWERR_SERVER_LOGIN},
};

}  // namespace

bool CheckServerErrorLine(CServerSession* session, const std::string& line) {
  if (line.compare(0, 10, "ErrorCode,") != 0) return false;
  CFieldList fields(line);
  fields.NextField();
  LONG code = NumberValue(fields.NextField().c_str());
  for (const auto& e : kServerErrors) {
    if (e.nServerCode == code) {
      SetLastErrorCode(e.dwError);
      return true;
    }
  }
  SetLastErrorCode(GWERR_SERVER_OTHER);
  if (session) session->m_dwDetailError = static_cast<DWORD>(code);
  return true;
}

void ForEachReplyLine(CReplyReader& reply,
                      const std::function<bool(const std::string&)>& handler) {
  std::string line;
  while (reply.ReadLine(line))
    if (!handler(line)) break;
}

// ---------------------------------------------------------------------------

int CPageRequest::ParseCommitReply(CReplyReader& reply) {
  int result = 1;
  ForEachReplyLine(reply, [&](const std::string& line) {
    if (!CheckErrorLine(line)) return true;
    result = 0;
    return false;
  });
  return result;
}

void CPageRequest::AppendLabel(std::string& text) const {
  text += "&label=";
  text += UrlEscape(m_pSession ? m_pSession->m_Label.c_str() : "");
}

bool CPageRequest::CheckErrorLine(const std::string& line) {
  return CheckServerErrorLine(m_pSession, line);
}

bool CPageRequest::SendGet(platform::HttpRequest& request) {
  DWORD status = 0;
  if (!request.send(nullptr, 0)) {
    SetLastErrorCode(GWERR_SEND);
    return false;
  }
  if (!request.status(&status)) {
    SetLastErrorCode(GWERR_NO_STATUS);
    return false;
  }
  if (status == 200) {
    m_pSession->ExchangeSucceeded();
    return true;
  }
  m_pSession->m_dwDetailError = status;
  SetLastErrorCode(status == 401 ? GWERR_UNAUTHORIZED : GWERR_HTTP_STATUS);
  return false;
}

bool CPageRequest::SendPost(platform::HttpRequest& request, const char* body, size_t length) {
  // The body is handed over whole: the request sends it as the connection
  // takes it.
  bool sent = request.begin(length) && (length == 0 || request.write(body, length));
  if (!sent || !request.end()) {
    SetLastErrorCode(GWERR_SEND);
    return false;
  }
  DWORD status = 0;
  if (!request.status(&status)) {
    SetLastErrorCode(GWERR_NO_STATUS);
    return false;
  }
  if (status == 200) {
    m_pSession->ExchangeSucceeded();
    return true;
  }
  m_pSession->m_dwDetailError = status;
  SetLastErrorCode(GWERR_HTTP_STATUS);
  return false;
}

bool CPageRequest::Attempt(const std::function<bool()>& send) {
  // No attempt at all would leave a reply to parse that was never asked
  // for: a retry count of 0 counts as 1.
  DWORD attempts = std::max<DWORD>(m_pSession->m_dwRetry, 1);
  for (DWORD i = 0; i < attempts; ++i) {
    if (send()) return true;
    if (LastErrorCode() == GWERR_UNAUTHORIZED) break;
  }
  return false;
}

int CPageRequest::Fetch(bool force) {
  if (!force && m_bLoaded) return 1;
  Reset();
  if (!m_pSession || !m_pSession->HasConnection()) {
    SetLastErrorCode(GWERR_NO_SESSION);
    return 0;
  }
  try {
    std::string url;
    BuildURL(url);
    if (m_pSession->m_bRemote) url += "&remote=1";
    url += "&sync=1";
    platform::HttpRequest request(*m_pSession->Connection(), "GET", url);
    if (!Attempt([&] { return SendGet(request); })) return 0;
    CReplyReader reader(request);
    m_bLoaded = Parse(reader);
  } catch (const std::bad_alloc&) {
    // What was read before the failure is not the page: a record missing
    // from it would look deleted on the server. Reset never allocates.
    Reset();
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  return m_bLoaded;
}

int CPageRequest::Commit() {
  if (!m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  if (!m_pSession || !m_pSession->HasConnection()) {
    SetLastErrorCode(GWERR_NO_SESSION);
    return 0;
  }
  // The body is built whole before a request exists: a record that could
  // not be written would reach the server without its fields, and be stored
  // empty.
  std::string body;
  try {
    body.reserve(1024);
    if (!BuildCommitBody(body)) {
      SetLastErrorCode(GWERR_NO_MEMORY);
      return 0;
    }
    body += "&sync=1";
    if (m_pSession->m_bRemote) body += "&remote=1";
    body += "&rw=1";
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  try {
    std::vector<CommitLine> lines;
    if (platform::runRecordActive()) lines = DescribeCommit();
    int result = 0;
    if (platform::dryRun()) {
      // Nothing is sent: the page takes the reply the server would give, so
      // that what follows in the run is decided as in a real one.
      const std::string reply = DryRunReply();
      CReplyReader reader{std::string_view(reply)};
      result = ParseCommitReply(reader);
    } else {
      platform::HttpRequest request(*m_pSession->Connection(), "POST", m_pSession->m_ObjectPath);
      if (!Attempt([&] { return SendPost(request, body.data(), body.size()); })) return 0;
      CReplyReader reader(request);
      result = ParseCommitReply(reader);
    }
    if (result && !lines.empty()) {
      std::vector<std::vector<std::string>> text;
      for (CommitLine& l : lines) {
        if (l.idAfter && l.fields.size() > 3) l.fields[3] = std::to_string(*l.idAfter);
        text.push_back(std::move(l.fields));
      }
      platform::appendRunRecordLines(text);
    }
    return result;
  } catch (const std::bad_alloc&) {
    // Once sent, the server may have applied the commit although its reply
    // could not be read: told as a failure, like a reply lost on the way,
    // and the pending changes are kept.
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
}

// ---------------------------------------------------------------------------

CListPage::~CListPage() {
  // Items are freed by the most derived page, which knows how (DeleteItem
  // cannot be reached from here).
}

void CListPage::DeleteAllItems() {
  for (void* item : m_Items) DeleteItem(item);
  m_Items.clear();
  m_Pos = SIZE_MAX;
}

void CListPage::Reset() {
  DeleteAllItems();
  m_bLoaded = 0;
}

int CListPage::Parse(CReplyReader& reply) {
  int result = 1;
  ForEachReplyLine(reply, [&](const std::string& line) {
    if (CheckErrorLine(line)) {
      result = 0;
      return false;
    }
    // An item that cannot be had fails the whole parse (Fetch resets the
    // page): a list without it would be taken for the server's.
    AppendItem(ParseItem(line));
    return true;
  });
  RecordRead(result);
  return result;
}

void CListPage::RecordRead(int parsed) const {
  if (parsed && RecordKind())
    platform::appendRunRecord({"server", "read", RecordKind(), std::to_string(m_Items.size())});
}

void CListPage::AppendItem(void* item) {
  if (!item) return;
  try {
    m_Items.push_back(item);
  } catch (...) {
    DeleteItem(item);
    throw;
  }
}

void* CListPage::FindFirst() {
  if (!Fetch() || m_Items.empty()) return nullptr;
  m_Pos = 1;
  return m_Items[0];
}

void* CListPage::FindNext() {
  if (m_Pos >= m_Items.size()) return nullptr;
  return m_Items[m_Pos++];
}

long CListPage::GetCount() { return Fetch() ? static_cast<long>(m_Items.size()) : 0; }

long CListPage::IndexOf(DWORD id) const {
  for (size_t i = 0; i < m_Items.size(); ++i)
    if (IdOf(m_Items[i]) == id) return static_cast<long>(i);
  return -1;
}

void* CListPage::Get(DWORD id) {
  if (!Fetch()) return nullptr;
  long i = id ? IndexOf(id) : -1;
  if (i < 0) {
    SetLastErrorCode(GWERR_NOT_FOUND);
    return nullptr;
  }
  return m_Items[static_cast<size_t>(i)];
}

// ---------------------------------------------------------------------------

CDataPage::~CDataPage() {
  // Items belong to the most derived page; only the entries and pairs are ours.
  m_New.clear();
  m_Relations.clear();
}

void CDataPage::Reset() {
  m_New.clear();
  m_NewByKey.clear();
  m_Modified.clear();
  m_ModifiedSet.clear();
  m_Removed.clear();
  m_RemovedAccounts.clear();
  m_Lines.clear();
  m_RelationsSet = m_RelationsRemoved = 0;
  m_Relations.clear();
  m_RelIndex.clear();
  m_RelIndexStale = false;
  m_SpareRelations.clear();
  m_RelTimeStamp = 0;
  m_RelPos = SIZE_MAX;
  CListPage::Reset();
}

bool CDataPage::ParseRelationLine(const std::string& line) {
  DWORD server = 0, handheld = 0;
  if (!ParseNumberPair(line, &server, &handheld)) return false;
  AppendRelation(std::make_unique<__REL_DATA>(__REL_DATA{server, handheld}));
  return true;
}

void CDataPage::AppendRelation(std::unique_ptr<__REL_DATA> pair) {
  if (m_Relations.size() == m_Relations.capacity()) m_Relations.reserve(2 * m_Relations.size() + 16);
  if (!m_RelIndexStale) m_RelIndex.emplace(pair->nServerID, m_Relations.size());
  m_Relations.push_back(std::move(pair));  // cannot throw after the reserve
}

long CDataPage::RelationIndexOf(DWORD serverId) {
  if (m_RelIndexStale) {
    try {
      m_RelIndex.clear();
      for (size_t i = 0; i < m_Relations.size(); ++i) m_RelIndex.emplace(m_Relations[i]->nServerID, i);
      m_RelIndexStale = false;
    } catch (const std::bad_alloc&) {
      m_RelIndex.clear();
      for (size_t i = 0; i < m_Relations.size(); ++i)
        if (m_Relations[i]->nServerID == serverId) return static_cast<long>(i);
      return -1;
    }
  }
  auto it = m_RelIndex.find(serverId);
  return it == m_RelIndex.end() ? -1 : static_cast<long>(it->second);
}

int CDataPage::Parse(CReplyReader& reply) {
  const bool recording = platform::runRecordActive();
  int result = 1;
  bool afterEmpty = false;
  bool inRelations = false;
  ForEachReplyLine(reply, [&](const std::string& line) {
    if (CheckErrorLine(line)) {
      result = 0;
      return false;
    }
    const bool empty = line.empty();
    if (!inRelations && afterEmpty && strcasecmp(line.c_str(), "relation") == 0) {
      inRelations = true;
      afterEmpty = false;
      return true;
    }
    afterEmpty = empty;
    if (empty) return true;
    // A record or pair that cannot be had fails the whole parse (Fetch
    // resets the page): one missing would read as deleted.
    if (!inRelations) {
      void* item = ParseItem(line);
      AppendItem(item);
      if (item && recording) m_Lines[item] = line;
    } else if (line.find(',') == std::string::npos) {
      ParseTimeStampLine(line, &m_RelTimeStamp);
    } else {
      ParseRelationLine(line);
    }
    return true;
  });
  RecordRead(result);
  return result;
}

void* CDataPage::CreateItem(const void*) {
  SetLastErrorCode(GWERR_READ_ONLY);
  return nullptr;
}

int CDataPage::CopyItem(void*, const void*) {
  SetLastErrorCode(GWERR_READ_ONLY);
  return 0;
}

void* CDataPage::NewEntry(const void* record, DWORD key) {
  void* copy = CreateItem(record);
  if (!copy) return nullptr;
  bool keyed = false;
  try {
    // Room grows geometrically, and is had before anything changes, so that
    // a failure leaves the lists as they were.
    if (m_Items.size() == m_Items.capacity()) m_Items.reserve(2 * m_Items.size() + 16);
    if (m_New.size() == m_New.capacity()) m_New.reserve(2 * m_New.size() + 16);
    if (key != 0) keyed = m_NewByKey.emplace(key, m_New.size()).second;
    m_New.push_back(NEW_ENTRY{key, copy});
    m_Items.push_back(copy);
  } catch (const std::bad_alloc&) {
    if (keyed) m_NewByKey.erase(key);
    DeleteItem(copy);
    SetLastErrorCode(GWERR_NO_MEMORY);
    return nullptr;
  }
  return copy;
}

void* CDataPage::Set(const void* record, DWORD key) {
  if (!m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return nullptr;
  }
  if (!record) {
    SetLastErrorCode(GWERR_BAD_ID);
    return nullptr;
  }
  const DWORD id = IdOf(record);
  if (id == 0) {
    if (key != 0) {
      if (auto it = m_NewByKey.find(key); it != m_NewByKey.end()) {
        void* held = m_New[it->second].pItem;
        return CopyItem(held, record) ? held : nullptr;
      }
    }
    return NewEntry(record, key);
  }
  long i = IndexOf(id);
  if (i < 0) {
    SetLastErrorCode(GWERR_NOT_FOUND);
    return nullptr;
  }
  void* held = m_Items[static_cast<size_t>(i)];
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
    if (!CopyItem(held, record)) {
      m_ModifiedSet.erase(held);
      return nullptr;
    }
    m_Modified.push_back(held);
    return held;
  }
  return CopyItem(held, record) ? held : nullptr;
}

int CDataPage::Remove(DWORD id) {
  long i = id ? IndexOf(id) : -1;
  if (i < 0) {
    SetLastErrorCode(GWERR_NOT_FOUND);
    return 0;
  }
  void* item = m_Items[static_cast<size_t>(i)];
  try {
    // Both lists stay parallel: the record's account is had first, the id after.
    if (platform::runRecordActive()) m_RemovedAccounts.push_back(RemovedAccount(item));
    m_Removed.push_back(id);
  } catch (const std::bad_alloc&) {
    if (m_RemovedAccounts.size() > m_Removed.size()) m_RemovedAccounts.pop_back();
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  m_Lines.erase(item);
  m_Items.erase(m_Items.begin() + i);
  if (m_Pos != SIZE_MAX && static_cast<size_t>(i) < m_Pos) --m_Pos;
  if (m_ModifiedSet.erase(item)) std::erase(m_Modified, item);
  DeleteItem(item);
  return 1;
}

__REL_DATA* CDataPage::FindFirstRelation() {
  if (!Fetch() || m_Relations.empty()) return nullptr;
  m_RelPos = 1;
  return m_Relations[0].get();
}

__REL_DATA* CDataPage::FindNextRelation() {
  if (m_RelPos >= m_Relations.size()) return nullptr;
  return m_Relations[m_RelPos++].get();
}

long CDataPage::GetRelationCount() {
  return Fetch() ? static_cast<long>(m_Relations.size()) : 0;
}

int CDataPage::SetRelation(DWORD serverId, DWORD handheldId) {
  if (!m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  if (serverId == 0 || handheldId == 0) {
    SetLastErrorCode(GWERR_BAD_ID);
    return 0;
  }
  ++m_RelationsSet;
  if (long i = RelationIndexOf(serverId); i >= 0) {
    m_Relations[static_cast<size_t>(i)]->nHandheldID = handheldId;
    return 1;
  }
  try {
    AppendRelation(std::make_unique<__REL_DATA>(__REL_DATA{serverId, handheldId}));
  } catch (const std::bad_alloc&) {
    --m_RelationsSet;
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  return 1;
}

int CDataPage::RemoveRelation(DWORD serverId) {
  if (serverId == 0) return 0;
  long at = RelationIndexOf(serverId);
  if (at < 0) return 0;
  const size_t i = static_cast<size_t>(at);
  m_Relations.erase(m_Relations.begin() + at);
  ++m_RelationsRemoved;
  m_RelIndexStale = true;  // the pairs after it moved
  if (m_RelPos != SIZE_MAX && i < m_RelPos) --m_RelPos;
  return 1;
}

int CDataPage::SetRelationTimeStamp(long timeStamp) {
  if (!m_bLoaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  m_RelTimeStamp = static_cast<LONG>(timeStamp);
  return 1;
}

bool CDataPage::WriteRecord(std::string& body, void* item, DWORD key) {
  WriteField(body, "i", static_cast<LONG>(IdOf(item)));
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  return true;
}

void CDataPage::WriteRemoved(std::string& body) {
  for (DWORD id : m_Removed) WriteField(body, "i", static_cast<LONG>(id));
}

bool CDataPage::BuildCommitBody(std::string& body) {
  // The reply gives each new record its server id, and the record's pair
  // must then be had without allocating: an id without its pair would make
  // the next run pair the record again. So the pairs are had now, before
  // anything is sent.
  m_SpareRelations.clear();
  m_SpareRelations.reserve(m_New.size());
  while (m_SpareRelations.size() < m_New.size())
    m_SpareRelations.push_back(std::make_unique<__REL_DATA>(__REL_DATA{0, 0}));
  m_Relations.reserve(m_Relations.size() + m_New.size());

  body += "page=";
  body += CommitPageName();
  AppendLabel(body);
  WriteRemoved(body);
  for (void* item : m_Modified)
    if (!WriteRecord(body, item, 0)) return false;
  for (const auto& entry : m_New)
    if (!WriteRecord(body, entry.pItem, entry.nKey)) return false;
  body += "&i=0";
  body += "&rt=ts." + std::to_string(m_RelTimeStamp);
  for (const auto& pair : m_Relations) {
    WriteField(body, "i", static_cast<LONG>(pair->nServerID));
    WriteField(body, "s", static_cast<LONG>(pair->nHandheldID));
  }
  return true;
}

CDataPage::RemovedRecord CDataPage::RemovedAccount(const void* item) {
  RemovedRecord r{Describe(item), "", 0};
  if (auto line = m_Lines.find(item); line != m_Lines.end()) r.line = line->second;
  if (long pair = RelationIndexOf(IdOf(item)); pair >= 0) r.handheldId = m_Relations[static_cast<size_t>(pair)]->nHandheldID;
  return r;
}

std::string CDataPage::EarlierLine(const void* item) const {
  auto line = m_Lines.find(item);
  return line == m_Lines.end() ? std::string() : EscapeRecordedLine(line->second);
}

std::vector<CPageRequest::CommitLine> CDataPage::DescribeCommit() {
  // "server", what, the page, the server id, how the record is known; for a
  // change and a deletion also the server's line of the record before the
  // run and, for a deletion, the handheld id it was paired with.
  std::vector<CommitLine> lines;
  const char* page = CommitPageName();
  for (size_t i = 0; i < m_Removed.size(); ++i) {
    const RemovedRecord none;
    const RemovedRecord& r = i < m_RemovedAccounts.size() ? m_RemovedAccounts[i] : none;
    lines.push_back({{"server", "delete", page, std::to_string(m_Removed[i]), r.text, EscapeRecordedLine(r.line),
                      std::to_string(r.handheldId)}});
  }
  for (void* item : m_Modified)
    lines.push_back({{"server", "change", page, std::to_string(IdOf(item)), Describe(item), EarlierLine(item)}});
  for (const NEW_ENTRY& entry : m_New)
    lines.push_back({{"server", "add", page, "0", Describe(entry.pItem)}, static_cast<const DWORD*>(entry.pItem)});
  if (m_RelationsSet || m_RelationsRemoved || !m_New.empty())
    lines.push_back({{"server", "relations", page, std::to_string(m_RelationsSet + static_cast<long>(m_New.size())),
                      std::to_string(m_RelationsRemoved)}});
  return lines;
}

std::string CDataPage::DryRunReply() {
  // The relation time stamp as the server stores it ("-1": stamped now),
  // then an id for each new record sent with its handheld key. The ids
  // count down from the top of the positive range, far from any the server
  // gives.
  static DWORD provisional = 0x7FFFFFF0u;
  std::string reply = std::to_string(m_RelTimeStamp == -1 ? static_cast<LONG>(std::time(nullptr)) : m_RelTimeStamp);
  reply += "\n";
  for (const NEW_ENTRY& entry : m_New)
    if (entry.nKey != 0) reply += std::to_string(entry.nKey) + "," + std::to_string(provisional--) + "\n";
  return reply;
}

void CDataPage::ClearPending() {
  m_New.clear();
  m_NewByKey.clear();
  m_Modified.clear();
  m_ModifiedSet.clear();
  m_Removed.clear();
  m_RemovedAccounts.clear();
  m_RelationsSet = m_RelationsRemoved = 0;
  m_SpareRelations.clear();
}

int CDataPage::ParseCommitReply(CReplyReader& reply) {
  int result = 1;
  bool first = true;
  ForEachReplyLine(reply, [&](const std::string& line) {
    if (CheckErrorLine(line)) {
      result = 0;
      return false;
    }
    if (first) {
      first = false;
      m_RelTimeStamp = NumberValue(line.c_str());
      return true;
    }
    DWORD key = 0, newId = 0;
    if (!ParseNumberPair(line, &key, &newId) || key == 0 || newId == 0) return true;
    if (auto it = m_NewByKey.find(key); it != m_NewByKey.end()) {
      NEW_ENTRY& entry = m_New[it->second];
      // A pair made ready with the body, so that this cannot fail; only a
      // key the reply names twice needs a new one (and may fail the commit,
      // before the record takes the id).
      std::unique_ptr<__REL_DATA> pair;
      if (!m_SpareRelations.empty()) {
        pair = std::move(m_SpareRelations.back());
        m_SpareRelations.pop_back();
      } else {
        pair = std::make_unique<__REL_DATA>();
      }
      *pair = __REL_DATA{newId, key};
      m_Relations.push_back(std::move(pair));
      m_RelIndexStale = true;  // indexed at the next lookup: nothing here may fail
      *static_cast<DWORD*>(entry.pItem) = newId;
    }
    return true;
  });
  if (result) ClearPending();
  return result;
}
