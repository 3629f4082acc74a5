// The user list, version and sync-settings pages. Private to the library.
#pragma once

#include <string>

#include "gwclient/gwclient.h"
#include "gwclient/src/page.h"
#include "gwclient/src/reply.h"

// Users: lines "id,name" (the name is the whole rest, commas included).
// Read-only.
class CUserPage : public CDataPage {
 public:
  using CDataPage::CDataPage;
  ~CUserPage() override;
  void BuildURL(std::string& url) override;
  void* ParseItem(const std::string& line) override;
  void DeleteItem(void* item) override;
};

// The server version: lines "version,major,minor" and "ProductID,text".
class CVersionPage : public CPageRequest {
 public:
  using CPageRequest::CPageRequest;
  ~CVersionPage() override;
  void Reset() override;
  int Parse(platform::HttpRequest& reply) override;
  void BuildURL(std::string& url) override;

  LONG m_nMajor = 0;
  LONG m_nMinor = 0;
  char* m_pszProductID = nullptr;
};

enum DeviceType { kDeviceNone = 0, kDevicePalm = 1, kDevicePocketPC = 2, kDeviceZaurus = 3 };

// The sync settings of one kind of handheld.
class CSettingPage : public CPageRequest {
 public:
  explicit CSettingPage(CServerSession* session);
  void Reset() override;
  int Parse(platform::HttpRequest& reply) override;
  void BuildURL(std::string& url) override;
  // Applies one settings line (already known not to be an error line).
  void ApplyLine(const CFieldList& fields);

  __SYNC5_SET m_Set;
  int m_nDeviceType = kDeviceNone;
};
