// A handheld user's conduit configuration in the registry: the groupware
// server's address, user and password, HTTP Basic authentication, proxy
// values and the detail-log switch, under
// HKEY_CURRENT_USER\Software\GWSync\Palm\<handheld user>.
//
//   CGWSyncConf conf;
//   conf.setKeyName(props.m_UserName);          // at most 63 characters kept
//   if (!conf.load()) ...                        // only a registry failure fails
//   session.open(conf.getServerUrl(), ...);
//
// CGWSyncConfGeneral is the general record (it also carries a server-side
// service's time-outs, limits and devices under HKEY_LOCAL_MACHINE);
// CGWSyncConf is the handheld variant the conduits use. Passwords are stored
// as plain text values, in the user's own registry file (mode 0600); they
// are never traced.
#pragma once

#include "platform/registry.h"
#include "platform/wintypes.h"

class CGWSyncConfGeneral {
 public:
  static constexpr int kTimeouts = 5;
  static constexpr int kLimits = 4;
  static constexpr int kDevices = 5;
  enum : int { LIMIT_MAX_RCV_BUF = 0, LIMIT_MAX_SND_BUF, LIMIT_MAX_BATCH_SND_SZ, LIMIT_MAX_NDATA_PER_BATCH_SND };

  CGWSyncConfGeneral();
  virtual ~CGWSyncConfGeneral();

  // Opens the root key (creating it), reads groups 1 to 4; a missing,
  // mistyped or oversized value takes its default. False only when the key
  // cannot be opened (every value then holds its default) or a group fails.
  virtual bool load();
  // Writes groups 1 to 4; false when the key cannot be opened or any value
  // could not be written (the others are still written).
  virtual bool save();

  // Text getters answer the record's own buffer; setters copy at most
  // capacity - 1 bytes (null empties the field).
  const char* getServerUrl() const { return m_ServerUrl; }
  void setServerUrl(const char* v);
  const char* getServerUser() const { return m_ServerUser; }
  void setServerUser(const char* v);
  const char* getServerPassword() const { return m_ServerPassword; }
  void setServerPassword(const char* v);
  DWORD getProxyEnable() const { return m_ProxyEnable; }
  const char* getProxyAddr() const { return m_ProxyAddr; }
  WORD getProxyPort() const { return static_cast<WORD>(m_ProxyPort); }
  DWORD getBasicAuth() const { return m_BasicAuth; }
  void setBasicAuth(DWORD v) { m_BasicAuth = v; }
  const char* getBasicAuthUser() const { return m_BasicAuthUser; }
  void setBasicAuthUser(const char* v);
  const char* getBasicAuthPassword() const { return m_BasicAuthPassword; }
  void setBasicAuthPassword(const char* v);
  WORD getServicePort() const { return static_cast<WORD>(m_ServicePort); }
  const char* getMainService() const { return m_MainService; }
  DWORD getListenTimeout() const { return m_ListenTimeout; }
  const char* getLogSubDir() const { return m_LogSubDir; }
  DWORD getDetailLog() const { return m_DetailLog; }
  void setDetailLog(DWORD v) { m_DetailLog = v; }
  DWORD getLogKeepDays() const { return m_LogKeepDays; }
  DWORD getTimeout(int i) const;  // 0..4; 0 outside
  DWORD getLimit(int i) const;    // 0..3; 0 outside
  DWORD getDeviceCount() const { return m_DeviceCount; }
  // The i-th device read by the general variant (0 .. count-1): its id, and
  // the conduit path (empty outside).
  WORD getDeviceId(int i) const { return inDevices(i) ? m_Devices[i].id : 0; }
  const char* getDeviceConduitPath(int i) const { return inDevices(i) ? m_Devices[i].conduitPath : ""; }
  DWORD getMaxProcesses() const { return m_MaxProcesses; }
  // The handheld user name the record is stored under; at most 63
  // characters of name are kept (never splitting a double-byte character).
  const char* getKeyName() const { return m_KeyName; }
  void setKeyName(const char* name);

 protected:
  bool inDevices(int i) const { return i >= 0 && i < static_cast<int>(m_DeviceCount); }
  // Value groups; load true reads, false writes. Each answers success. A
  // null key with load true gives the group's values their defaults.
  virtual bool regOp1(HKEY key, bool load);
  virtual bool regOp2(HKEY key, bool load);
  virtual bool regOp3(HKEY key, bool load);
  virtual bool regOp4(HKEY key, bool load);
  // Opens (creating) the record's root key into *key; false after the traces.
  virtual bool openRootRegKey(HKEY* key);

  char m_ServerUrl[512];
  char m_ServerUser[256];
  char m_ServerPassword[256];
  DWORD m_ProxyEnable;
  char m_ProxyAddr[256];
  DWORD m_ProxyPort;
  DWORD m_BasicAuth;
  char m_BasicAuthUser[256];
  char m_BasicAuthPassword[256];
  DWORD m_ServicePort;
  char m_MainService[512];
  DWORD m_ListenTimeout;
  char m_LogSubDir[512];
  DWORD m_DetailLog;
  DWORD m_LogKeepDays;
  DWORD m_Timeouts[kTimeouts];
  DWORD m_Limits[kLimits];
  DWORD m_DeviceCount;
  struct Device {
    WORD id;
    char conduitPath[512];
  } m_Devices[kDevices];
  DWORD m_MaxProcesses;
  char m_KeyName[64];
};

// The handheld variant: group 2 is the server user and password, groups 3
// and 4 are empty, the root key is HKEY_CURRENT_USER
// "Software\GWSync\Palm\<key name>". Fields the variant never loads hold the
// general table's defaults (the per-batch count is 10).
class CGWSyncConf : public CGWSyncConfGeneral {
 public:
  CGWSyncConf();

 protected:
  bool regOp2(HKEY key, bool load) override;
  bool regOp3(HKEY key, bool load) override;
  bool regOp4(HKEY key, bool load) override;
  bool openRootRegKey(HKEY* key) override;
};
