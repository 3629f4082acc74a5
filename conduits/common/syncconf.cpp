#include "conduits/common/syncconf.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "synccore/helpers.h"

namespace {

// One value of a group: {kind, value name, field, capacity, default text,
// default number}; a table ends with kind 0.
enum : DWORD { ENTRY_END = 0, ENTRY_TEXT = REG_SZ, ENTRY_NUMBER = REG_DWORD };

struct RegEntry {
  DWORD kind;
  const char* name;
  void* field;  // char[capacity] for a text, DWORD for a number
  DWORD capacity;
  const char* defaultText;  // null: the field is emptied
  DWORD defaultNumber;
};

const char kPalmRoot[] = "Software\\GWSync\\Palm";
const char kRemoteRoot[] = "Software\\GWSync\\Remote";
const char kDeviceKey[] = "Software\\GWSync\\Remote\\Device";

// Defaults of the general tables that the handheld variant never loads.
constexpr DWORD kDefaultTimeouts[CGWSyncConfGeneral::kTimeouts] = {60, 60, 60, 120, 60};
constexpr DWORD kDefaultLimits[CGWSyncConfGeneral::kLimits] = {65535, 65535, 1500, 10};
constexpr DWORD kDefaultLogKeepDays = 30;
constexpr DWORD kDefaultMaxProcesses = 10;

void setText(char* field, DWORD capacity, const char* text) {
  copyDbcsText(field, text, static_cast<int>(capacity), DBCS_COPY, nullptr);
}

void applyDefault(const RegEntry& e) {
  if (e.kind == ENTRY_TEXT) setText(static_cast<char*>(e.field), e.capacity, e.defaultText);
  else *static_cast<DWORD*>(e.field) = e.defaultNumber;
}

// A value that is missing, of another type or larger than its field takes
// its default; none of these is an error.
void loadEntry(HKEY key, const RegEntry& e) {
  DWORD type = REG_NONE;
  if (e.kind == ENTRY_TEXT) {
    char* field = static_cast<char*>(e.field);
    DWORD size = e.capacity;
    if (RegQueryValueEx(key, e.name, nullptr, &type, reinterpret_cast<BYTE*>(field), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
      field[size < e.capacity ? size : e.capacity - 1] = '\0';
      return;
    }
  } else {
    DWORD number = 0;
    DWORD size = sizeof number;
    if (RegQueryValueEx(key, e.name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof number) {
      *static_cast<DWORD*>(e.field) = number;
      return;
    }
  }
  applyDefault(e);
}

bool saveEntry(HKEY key, const RegEntry& e) {
  if (e.kind == ENTRY_TEXT) {
    const char* field = static_cast<const char*>(e.field);
    return RegSetValueEx(key, e.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(field),
                         static_cast<DWORD>(std::strlen(field) + 1)) == ERROR_SUCCESS;
  }
  return RegSetValueEx(key, e.name, 0, REG_DWORD, static_cast<const BYTE*>(e.field), sizeof(DWORD)) == ERROR_SUCCESS;
}

// Loading without a key (it could not be opened) gives every value its
// default. Saving writes every value and answers false when any write
// failed: a configuration the user confirmed must not be lost silently.
bool runTable(HKEY key, bool load, const RegEntry* table) {
  bool saved = true;
  for (const RegEntry* e = table; e->kind != ENTRY_END; ++e) {
    if (load && !key) applyDefault(*e);
    else if (load) loadEntry(key, *e);
    else if (!saveEntry(key, *e)) saved = false;
  }
  return saved;
}

bool createKey(HKEY root, const char* path, HKEY* key) {
  LONG rc = RegCreateKeyEx(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key, nullptr);
  if (rc == ERROR_SUCCESS) return true;
  g_TraceObj.write(10, "RegCreateKeyEx fail(%d).\n", static_cast<int>(GetLastError()));
  // The registry library prints nothing; where its file is wrong goes here.
  if (std::string problem = platform::registryProblem(); !problem.empty())
    g_TraceObj.write(1, "RegCreateKeyEx: %s\n", problem.c_str());
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// CGWSyncConfGeneral

CGWSyncConfGeneral::CGWSyncConfGeneral()
    : m_ProxyEnable(0),
      m_ProxyPort(0),
      m_BasicAuth(0),
      m_ServicePort(0),
      m_ListenTimeout(500),
      m_DetailLog(0),
      m_LogKeepDays(0),
      m_Timeouts{},
      m_Limits{},
      m_DeviceCount(0),
      m_Devices{},
      m_MaxProcesses(0) {
  m_ServerUrl[0] = '\0';
  m_ServerUser[0] = '\0';
  m_ServerPassword[0] = '\0';
  m_ProxyAddr[0] = '\0';
  m_BasicAuthUser[0] = '\0';
  m_BasicAuthPassword[0] = '\0';
  m_MainService[0] = '\0';
  m_LogSubDir[0] = '\0';
  m_KeyName[0] = '\0';
}

CGWSyncConfGeneral::~CGWSyncConfGeneral() = default;

bool CGWSyncConfGeneral::load() {
  HKEY key = nullptr;
  bool ok = openRootRegKey(&key);
  if (ok) {
    ok = regOp1(key, true) && regOp2(key, true) && regOp3(key, true) && regOp4(key, true);
    RegCloseKey(key);
  } else {
    // A caller that goes on (the configuration dialog) edits the defaults,
    // not a half-empty record.
    regOp1(nullptr, true);
    regOp2(nullptr, true);
    regOp3(nullptr, true);
  }
  if (!ok) g_TraceObj.write(10, "CGWSyncConf::load fail.\n");
  return ok;
}

bool CGWSyncConfGeneral::save() {
  HKEY key = nullptr;
  if (!openRootRegKey(&key)) {
    g_TraceObj.write(10, "CGWSyncConf::save fail.\n");
    return false;
  }
  // Every group is written even when an earlier one failed.
  bool ok = regOp1(key, false);
  ok = regOp2(key, false) && ok;
  ok = regOp3(key, false) && ok;
  ok = regOp4(key, false) && ok;
  RegCloseKey(key);
  if (!ok) g_TraceObj.write(10, "CGWSyncConf::save fail.\n");
  return ok;
}

void CGWSyncConfGeneral::setServerUrl(const char* v) { setText(m_ServerUrl, sizeof m_ServerUrl, v); }

void CGWSyncConfGeneral::setServerUser(const char* v) { setText(m_ServerUser, sizeof m_ServerUser, v); }

void CGWSyncConfGeneral::setServerPassword(const char* v) { setText(m_ServerPassword, sizeof m_ServerPassword, v); }

void CGWSyncConfGeneral::setBasicAuthUser(const char* v) { setText(m_BasicAuthUser, sizeof m_BasicAuthUser, v); }

void CGWSyncConfGeneral::setBasicAuthPassword(const char* v) {
  setText(m_BasicAuthPassword, sizeof m_BasicAuthPassword, v);
}

DWORD CGWSyncConfGeneral::getTimeout(int i) const { return i >= 0 && i < kTimeouts ? m_Timeouts[i] : 0; }

DWORD CGWSyncConfGeneral::getLimit(int i) const { return i >= 0 && i < kLimits ? m_Limits[i] : 0; }

void CGWSyncConfGeneral::setKeyName(const char* name) { setText(m_KeyName, sizeof m_KeyName, name); }

bool CGWSyncConfGeneral::regOp1(HKEY key, bool load) {
  const RegEntry table[] = {{ENTRY_TEXT, "ZaDiridoURL", m_ServerUrl, sizeof m_ServerUrl, "http://", 0},
                            {ENTRY_NUMBER, "ProxyEnable", &m_ProxyEnable, 0, nullptr, 0},
                            {ENTRY_TEXT, "ProxyAddr", m_ProxyAddr, sizeof m_ProxyAddr, nullptr, 0},
                            {ENTRY_NUMBER, "ProxyPort", &m_ProxyPort, 0, nullptr, 0},
                            {ENTRY_NUMBER, "Ba", &m_BasicAuth, 0, nullptr, 0},
                            {ENTRY_TEXT, "BaUser", m_BasicAuthUser, sizeof m_BasicAuthUser, nullptr, 0},
                            {ENTRY_TEXT, "BaPwd", m_BasicAuthPassword, sizeof m_BasicAuthPassword, nullptr, 0},
                            {ENTRY_NUMBER, "DetailLog", &m_DetailLog, 0, nullptr, 1},
                            {ENTRY_END, nullptr, nullptr, 0, nullptr, 0}};
  return runTable(key, load, table);
}

bool CGWSyncConfGeneral::regOp2(HKEY key, bool load) {
  const RegEntry table[] = {{ENTRY_NUMBER, "RsToConnection", &m_Timeouts[0], 0, nullptr, kDefaultTimeouts[0]},
                            {ENTRY_NUMBER, "RsToSession", &m_Timeouts[1], 0, nullptr, kDefaultTimeouts[1]},
                            {ENTRY_NUMBER, "RsToHHData", &m_Timeouts[2], 0, nullptr, kDefaultTimeouts[2]},
                            {ENTRY_NUMBER, "RsToSvrDataRep", &m_Timeouts[3], 0, nullptr, kDefaultTimeouts[3]},
                            {ENTRY_NUMBER, "RsToRefRep", &m_Timeouts[4], 0, nullptr, kDefaultTimeouts[4]},
                            {ENTRY_NUMBER, "RsMaxRcvBuf", &m_Limits[0], 0, nullptr, kDefaultLimits[0]},
                            {ENTRY_NUMBER, "RsMaxSndBuf", &m_Limits[1], 0, nullptr, kDefaultLimits[1]},
                            {ENTRY_NUMBER, "RsMaxBatchSndSz", &m_Limits[2], 0, nullptr, kDefaultLimits[2]},
                            {ENTRY_NUMBER, "RsMaxNDataPerBatchSnd", &m_Limits[3], 0, nullptr, kDefaultLimits[3]},
                            {ENTRY_END, nullptr, nullptr, 0, nullptr, 0}};
  return runTable(key, load, table);
}

bool CGWSyncConfGeneral::regOp3(HKEY key, bool load) {
  const RegEntry table[] = {{ENTRY_NUMBER, "DLogKeep", &m_LogKeepDays, 0, nullptr, kDefaultLogKeepDays},
                            {ENTRY_TEXT, "DLogSubDir", m_LogSubDir, sizeof m_LogSubDir, "GWlog", 0},
                            {ENTRY_NUMBER, "SvcPort", &m_ServicePort, 0, nullptr, 2000},
                            // The service name's field holds 512 bytes; its value is read into 256.
                            {ENTRY_TEXT, "RsMain", m_MainService, 256, nullptr, 0},
                            {ENTRY_NUMBER, "RsLstnTo", &m_ListenTimeout, 0, nullptr, 500},
                            {ENTRY_NUMBER, "RsMaxProc", &m_MaxProcesses, 0, nullptr, kDefaultMaxProcesses},
                            {ENTRY_END, nullptr, nullptr, 0, nullptr, 0}};
  return runTable(key, load, table);
}

// The devices are read only; saving leaves them as they are.
bool CGWSyncConfGeneral::regOp4(HKEY /*key*/, bool load) {
  if (!load) return true;
  HKEY devices = nullptr;
  if (!createKey(HKEY_LOCAL_MACHINE, kDeviceKey, &devices)) {
    g_TraceObj.write(10, "CGWSyncConf::regOp4 fail.\n");
    return false;
  }
  bool ok = true;
  DWORD count = 0;
  for (DWORD index = 0; count < kDevices; ++index) {
    char name[256];
    DWORD nameSize = sizeof name;
    LONG rc = RegEnumKeyEx(devices, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) {
      g_TraceObj.write(10, "RegEnumKeyEx fail(%d).\n", static_cast<int>(rc));
      ok = false;
      break;
    }
    Device& device = m_Devices[count];
    unsigned short id = 0;
    if (std::sscanf(name, "%hx", &id) != 1) id = 0;
    device.id = id;
    HKEY sub = nullptr;
    if (!createKey(devices, name, &sub)) {
      ok = false;
      break;
    }
    const RegEntry path = {ENTRY_TEXT, "DevCondPath", device.conduitPath, sizeof device.conduitPath, nullptr, 0};
    loadEntry(sub, path);
    RegCloseKey(sub);
    ++count;
  }
  RegCloseKey(devices);
  m_DeviceCount = count;
  if (!ok) g_TraceObj.write(10, "CGWSyncConf::regOp4 fail.\n");
  return ok;
}

bool CGWSyncConfGeneral::openRootRegKey(HKEY* key) {
  if (createKey(HKEY_LOCAL_MACHINE, kRemoteRoot, key)) return true;
  g_TraceObj.write(10, "CGWSyncConf::openRootRegKey fail.\n");
  return false;
}

// ---------------------------------------------------------------------------
// CGWSyncConf

CGWSyncConf::CGWSyncConf() {
  for (int i = 0; i < kTimeouts; ++i) m_Timeouts[i] = kDefaultTimeouts[i];
  for (int i = 0; i < kLimits; ++i) m_Limits[i] = kDefaultLimits[i];
  m_LogKeepDays = kDefaultLogKeepDays;
  m_MaxProcesses = kDefaultMaxProcesses;
}

bool CGWSyncConf::regOp2(HKEY key, bool load) {
  const RegEntry table[] = {{ENTRY_TEXT, "ZaDiridoUser", m_ServerUser, sizeof m_ServerUser, nullptr, 0},
                            {ENTRY_TEXT, "ZaDiridoPwd", m_ServerPassword, sizeof m_ServerPassword, nullptr, 0},
                            {ENTRY_END, nullptr, nullptr, 0, nullptr, 0}};
  return runTable(key, load, table);
}

bool CGWSyncConf::regOp3(HKEY, bool) { return true; }

bool CGWSyncConf::regOp4(HKEY, bool) { return true; }

bool CGWSyncConf::openRootRegKey(HKEY* key) {
  char path[256];
  std::snprintf(path, sizeof path, "%s\\%s", kPalmRoot, m_KeyName);
  if (createKey(HKEY_CURRENT_USER, path, key)) return true;
  g_TraceObj.write(10, "CGWSyncConf::openRootRegKey fail.\n");
  return false;
}
