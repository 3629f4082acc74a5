#include "gwclient/src/session.h"

#include <map>
#include <new>

namespace {

// Open sessions by number, and the last number given out. Used from the one
// thread of a sync run, as the rest of the library. The table is never
// destroyed, so that a session closed by a static object's destructor at exit
// still finds it.
std::map<DWORD, std::unique_ptr<CServerSession>>& SessionTable() {
  static auto* table = new std::map<DWORD, std::unique_ptr<CServerSession>>;
  return *table;
}
DWORD g_LastSessionNumber = 0;

}  // namespace

CServerSession::CServerSession(const char* proxy)
    : m_pInternet(std::make_unique<platform::InternetSession>(proxy)),
      m_SettingPage(this),
      m_UserPage(this),
      m_VersionPage(this),
      m_SchedulePage(this),
      m_ToDoPage(this),
      m_ToDoCategoryPage(this),
      m_AddressItemPage(this),
      m_AddressPage(this, &m_AddressItemPage),
      m_MailPage(this),
      m_MailRelationPage(this),
      m_MemoPage(this) {
  if (!m_pInternet->ok()) throw std::bad_alloc();
}

CServerSession::~CServerSession() = default;

DWORD CServerSession::Connect(const char* url) {
  if (m_pConnection) return GWERR_ALREADY_OPEN;
  platform::UrlParts parts;
  if (!platform::crackUrl(url, parts)) return GWERR_BAD_URL;
  m_URL = url;
  m_ObjectPath = parts.path;
  if (m_ObjectPath.back() != '?') m_ObjectPath += '?';
  // A connection without credentials still carries a password of one blank.
  std::string password = m_User.empty() && m_Password.empty() ? " " : m_Password;
  try {
    m_pConnection = std::make_unique<platform::HttpConnection>(*m_pInternet, parts.scheme, parts.host, parts.port,
                                                               m_User, password);
  } catch (...) {
    return GWERR_CONNECT;
  }
  return GWERR_NONE;
}

DWORD AddSession(std::unique_ptr<CServerSession> session) {
  DWORD number = ++g_LastSessionNumber;
  session->m_dwNumber = number;
  SessionTable().emplace(number, std::move(session));
  return number;
}

CServerSession* FindSession(DWORD number) {
  auto& table = SessionTable();
  auto it = table.find(number);
  return it == table.end() ? nullptr : it->second.get();
}

bool RemoveSession(DWORD number) { return SessionTable().erase(number) != 0; }
