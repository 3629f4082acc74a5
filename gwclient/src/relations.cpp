#include "gwclient/src/relations.h"

#include <ctime>
#include <new>

#include "gwclient/src/reply.h"

void CRelationSet::Clear() noexcept {
  m_TimeStamp = 0;
  m_Pairs.clear();
  m_Pos = SIZE_MAX;
  m_SetCount = m_RemovedCount = 0;
  m_Index.clear();
  m_bIndexStale = false;
  m_Spare.clear();
}

void CRelationSet::ParseLine(const std::string& line) {
  if (line.find(',') == std::string::npos) {
    ParseTimeStampLine(line, &m_TimeStamp);
    return;
  }
  DWORD server = 0, handheld = 0;
  if (ParseNumberPair(line, &server, &handheld)) Append(server, handheld);
}

void CRelationSet::Append(DWORD serverId, DWORD handheldId) {
  auto pair = std::make_unique<__REL_DATA>(__REL_DATA{serverId, handheldId});
  if (m_Pairs.size() == m_Pairs.capacity()) m_Pairs.reserve(2 * m_Pairs.size() + 16);
  if (!m_bIndexStale) m_Index.emplace(serverId, m_Pairs.size());
  m_Pairs.push_back(std::move(pair));  // cannot throw after the reserve
}

long CRelationSet::IndexOf(DWORD serverId) {
  if (m_bIndexStale) {
    try {
      m_Index.clear();
      for (size_t i = 0; i < m_Pairs.size(); ++i) m_Index.emplace(m_Pairs[i]->nServerID, i);
      m_bIndexStale = false;
    } catch (const std::bad_alloc&) {
      m_Index.clear();
      for (size_t i = 0; i < m_Pairs.size(); ++i)
        if (m_Pairs[i]->nServerID == serverId) return static_cast<long>(i);
      return -1;
    }
  }
  auto it = m_Index.find(serverId);
  return it == m_Index.end() ? -1 : static_cast<long>(it->second);
}

__REL_DATA* CRelationSet::First() {
  if (m_Pairs.empty()) return nullptr;
  m_Pos = 1;
  return m_Pairs[0].get();
}

__REL_DATA* CRelationSet::Next() {
  if (m_Pos >= m_Pairs.size()) return nullptr;
  return m_Pairs[m_Pos++].get();
}

int CRelationSet::SetPair(bool loaded, DWORD serverId, DWORD handheldId) {
  if (!loaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  if (serverId == 0 || handheldId == 0) {
    SetLastErrorCode(GWERR_BAD_ID);
    return 0;
  }
  if (long i = IndexOf(serverId); i >= 0) {
    m_Pairs[static_cast<size_t>(i)]->nHandheldID = handheldId;
  } else {
    try {
      Append(serverId, handheldId);
    } catch (const std::bad_alloc&) {
      SetLastErrorCode(GWERR_NO_MEMORY);
      return 0;
    }
  }
  ++m_SetCount;
  return 1;
}

int CRelationSet::RemovePair(DWORD serverId) {
  long at = serverId ? IndexOf(serverId) : -1;
  if (at < 0) {
    if (m_dwMissingError != GWERR_NONE) SetLastErrorCode(m_dwMissingError);
    return 0;
  }
  const size_t i = static_cast<size_t>(at);
  m_Pairs.erase(m_Pairs.begin() + at);
  ++m_RemovedCount;
  m_bIndexStale = true;  // the pairs after it moved
  if (m_Pos != SIZE_MAX && i < m_Pos) --m_Pos;
  return 1;
}

DWORD CRelationSet::HandheldOf(DWORD serverId) {
  long i = IndexOf(serverId);
  return i < 0 ? 0 : m_Pairs[static_cast<size_t>(i)]->nHandheldID;
}

int CRelationSet::SetTimeStamp(bool loaded, long timeStamp) {
  if (!loaded) {
    SetLastErrorCode(GWERR_NOT_LOADED);
    return 0;
  }
  m_TimeStamp = static_cast<LONG>(timeStamp);
  return 1;
}

void CRelationSet::ReadCommitStamp(const std::string& line) { m_TimeStamp = NumberValue(line.c_str()); }

void CRelationSet::WriteCommit(std::string& body) const {
  body += "&rt=ts." + std::to_string(m_TimeStamp);
  for (const auto& pair : m_Pairs) {
    WriteField(body, "i", static_cast<LONG>(pair->nServerID));
    WriteField(body, "s", static_cast<LONG>(pair->nHandheldID));
  }
}

std::string CRelationSet::StampReply() const {
  return std::to_string(m_TimeStamp == -1 ? static_cast<LONG>(std::time(nullptr)) : m_TimeStamp) + "\n";
}

void CRelationSet::Reserve(size_t count) {
  m_Spare.clear();
  m_Spare.reserve(count);
  while (m_Spare.size() < count) m_Spare.push_back(std::make_unique<__REL_DATA>(__REL_DATA{0, 0}));
  m_Pairs.reserve(m_Pairs.size() + count);
}

void CRelationSet::AddFromReply(DWORD serverId, DWORD handheldId) {
  std::unique_ptr<__REL_DATA> pair;
  if (!m_Spare.empty()) {
    pair = std::move(m_Spare.back());
    m_Spare.pop_back();
  } else {
    pair = std::make_unique<__REL_DATA>();
  }
  *pair = __REL_DATA{serverId, handheldId};
  m_Pairs.push_back(std::move(pair));
  m_bIndexStale = true;  // indexed at the next lookup: nothing here may fail
}

std::vector<std::string> CRelationSet::RunRecordFields(const char* page, long added) const {
  if (!m_SetCount && !m_RemovedCount && !added) return {};
  return {"server", "relations", page, std::to_string(m_SetCount + added), std::to_string(m_RemovedCount)};
}

void CRelationSet::Committed() noexcept {
  m_SetCount = m_RemovedCount = 0;
  m_Spare.clear();
}
