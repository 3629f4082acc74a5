#include "gwclient/src/pages.h"

#include <strings.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "gwclient/src/session.h"
#include "platform/internet.h"

namespace {

// Settings pages by device type: the dtype name and the max number sent.
struct DEVICE_ROW {
  int nType;
  const char* pszName;
  int nMax;
};
const DEVICE_ROW kDevices[] = {
    {kDeviceNone, "None", 0},
    {kDevicePalm, "Palm", 19},
    {kDevicePocketPC, "PocketPC", 38},
    {kDeviceZaurus, "Zaurus", 5},
};

const CODE_NAME kModeWords[] = {{GWSYNC_DOWN, "Down"}, {GWSYNC_BOTH, "Sync"}, {0, nullptr}};

const CODE_NAME kSettingKeys[] = {{'s', "s"}, {'t', "t"}, {'a', "a"}, {'w', "w"}, {'m', "m"}, {0, nullptr}};

// A decimal fraction read as tenths, truncated toward zero ("2.5" -> 25);
// 0 for text that is no number.
LONG Tenths(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '+') ++p;
  double value = 0;
  auto [end, ec] = std::from_chars(p, p + std::strlen(p), value);
  (void)end;
  if (ec != std::errc() || !std::isfinite(value)) return 0;
  double tenths = std::trunc(value * 10);
  if (tenths > 2147483647.0 || tenths < -2147483648.0) return 0;
  return static_cast<LONG>(tenths);
}

// A field that is digits only, as a number; -1 otherwise (and for numbers
// too long to be any setting).
LONG Digits(const std::string& field) {
  if (!IsNumber(field.c_str()) || field.size() > 9) return -1;
  return NumberValue(field.c_str());
}

// Digits only, and not all zeros (however long).
bool NonZeroNumber(const std::string& field) {
  return IsNumber(field.c_str()) && field.find_first_not_of('0') != std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------

void CUserPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncUserList&_Logout=1&_System=Login";
}

std::unique_ptr<CUserPage::Record> CUserPage::ParseItem(const std::string& line) {
  size_t comma = line.find(',');
  if (comma == std::string::npos || comma + 1 == line.size()) return nullptr;
  std::string id = line.substr(0, comma);
  if (!IsNumber(id.c_str())) return nullptr;
  auto user = std::make_unique<Record>();
  user->nID = static_cast<DWORD>(NumberValue(id.c_str()));
  user->pszName = DupString(line.c_str() + comma + 1, static_cast<int>(line.size() - comma - 1));
  return user;
}

// ---------------------------------------------------------------------------

void CVersionPage::Reset() {
  m_nMajor = 0;
  m_nMinor = 0;
  m_ProductID.reset();
  CPageRequest::Reset();
}

void CVersionPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncPXVersion&_Logout=1&_System=Login";
}

int CVersionPage::Parse(CReplyReader& reply) {
  return ReadLines(reply, [&](const std::string& line) {
    CFieldList fields(line);
    const std::string& key = fields[0];
    if (strcasecmp(key.c_str(), "version") == 0) {
      m_nMajor = Tenths(fields[1]);
      m_nMinor = Tenths(fields[2]);
    } else if (strcasecmp(key.c_str(), "ProductID") == 0) {
      // A copy that cannot be had fails the fetch (Fetch resets the page).
      m_ProductID.reset(DupString(fields[1].c_str()));
    }
  });
}

// ---------------------------------------------------------------------------

CSettingPage::CSettingPage(CServerSession* session) : CPageRequest(session) { Reset(); }

void CSettingPage::Reset() {
  std::memset(&m_Set, 0, sizeof m_Set);
  m_Set.nScheduleNumberA = 1;
  m_Set.nScheduleNumberB = 3;
  CPageRequest::Reset();
}

void CSettingPage::BuildURL(std::string& url) {
  const DEVICE_ROW* row = &kDevices[0];
  for (const auto& r : kDevices)
    if (r.nType == m_nDeviceType) row = &r;
  url += m_pSession->m_ObjectPath;
  url += "page=SyncSetting&dtype=";
  url += row->pszName;
  url += "&max=" + std::to_string(row->nMax);
}

int CSettingPage::Parse(CReplyReader& reply) {
  return ReadLines(reply, [&](const std::string& line) { ApplyLine(CFieldList(line)); });
}

void CSettingPage::ApplyLine(const CFieldList& f) {
  // f[0] is the key, f[1] the mode word, f[2] on the numbers.
  DWORD mode = static_cast<DWORD>(NameToCode(f[1].c_str(), kModeWords, true, GWSYNC_NONE));
  const LONG third = Digits(f[2]);
  switch (NameToCode(f[0].c_str(), kSettingKeys, true, 0)) {
    case 's': {
      if (mode == GWSYNC_DOWN) mode |= GWSYNC_DELETE_FIRST;
      m_Set.nScheduleMode = mode;
      if (third >= 0 && third <= 12) m_Set.nScheduleNumberA = static_cast<DWORD>(third);
      LONG fourth = Digits(f[3]);
      if (fourth >= 1 && fourth <= 12) m_Set.nScheduleNumberB = static_cast<DWORD>(fourth);
      break;
    }
    case 't':
      if (mode == GWSYNC_DOWN) mode |= GWSYNC_DELETE_FIRST;
      m_Set.nToDoMode = mode;
      break;
    case 'a': {
      if (mode == GWSYNC_DOWN && NonZeroNumber(f[2])) mode |= GWSYNC_DELETE_FIRST;
      m_Set.nAddressMode = mode;
      if (IsNumber(f[3].c_str())) m_Set.nAddressNumber = static_cast<DWORD>(NumberValue(f[3].c_str()));
      if (NonZeroNumber(f[4])) m_Set.nAddressFlags |= 2;
      if (NonZeroNumber(f[5])) m_Set.nAddressFlags |= 1;
      m_Set.nAddressTimeStamp = static_cast<DWORD>(ParseTimeStamp(f[6].c_str()));
      for (size_t i = 0; i < 100; ++i) {
        const std::string& field = f[7 + i];
        m_Set.nRelations[i] = IsNumber(field.c_str(), true) ? NumberValue(field.c_str()) : 0;
      }
      break;
    }
    case 'w':
      if (NonZeroNumber(f[2])) mode += GWSYNC_DELETE_FIRST;
      m_Set.nMailMode = mode;
      if (IsNumber(f[3].c_str())) m_Set.nMailNumberA = static_cast<DWORD>(NumberValue(f[3].c_str()));
      if (IsNumber(f[4].c_str())) m_Set.nMailNumberB = static_cast<DWORD>(NumberValue(f[4].c_str()));
      break;
    case 'm':
      if (mode == GWSYNC_DOWN) mode |= GWSYNC_DELETE_FIRST;
      m_Set.nMemoMode = mode;
      if (IsNumber(f[2].c_str())) m_Set.nMemoNumber = static_cast<DWORD>(NumberValue(f[2].c_str()));
      break;
    default: break;  // not a setting of ours
  }
}

// ---------------------------------------------------------------------------

void CRelationPage::Reset() {
  m_Relations.Clear();
  CPageRequest::Reset();
}

int CRelationPage::Parse(CReplyReader& reply) {
  // A pair that cannot be had fails the whole parse (Fetch resets the page).
  return ReadLines(reply, [&](const std::string& line) { m_Relations.ParseLine(line); });
}

void CRelationPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncRelation&app=" + UrlEscape(m_AppName.c_str());
  AppendLabel(url);
}

bool CRelationPage::BuildCommitBody(std::string& body) {
  body += "page=SyncRelation&app=" + UrlEscape(m_AppName.c_str());
  AppendLabel(body);
  m_Relations.WriteCommit(body);
  return true;
}

int CRelationPage::ParseCommitReply(CReplyReader& reply) {
  bool first = true;
  const int result = ReadLines(reply, [&](const std::string& line) {
    if (first) m_Relations.ReadCommitStamp(line);
    first = false;
  });
  if (result) m_Relations.Committed();
  return result;
}

std::vector<CPageRequest::CommitLine> CRelationPage::DescribeCommit() {
  std::vector<std::string> fields = m_Relations.RunRecordFields("SyncRelation", 0);
  if (fields.empty()) return {};
  return {{std::move(fields)}};
}
