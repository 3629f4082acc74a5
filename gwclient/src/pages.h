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
  int Parse(CReplyReader& reply) override;
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
  int Parse(CReplyReader& reply) override;
  void BuildURL(std::string& url) override;
  // Applies one settings line (already known not to be an error line).
  void ApplyLine(const CFieldList& fields);

  __SYNC5_SET m_Set;
  int m_nDeviceType = kDeviceNone;
};

// The mail kind's relation data, on a page of its own: lines
// "server,handheld" and one "ts.<time stamp>" line.
class CRelationPage : public CListPage {
 public:
  explicit CRelationPage(CServerSession* session) : CListPage(session) {}
  ~CRelationPage() override;
  void Reset() override;
  void BuildURL(std::string& url) override;
  bool BuildCommitBody(std::string& body) override;
  int ParseCommitReply(CReplyReader& reply) override;
  void* ParseItem(const std::string& line) override;
  void DeleteItem(void* item) override;

  __REL_DATA* FindFirstRelation() { return static_cast<__REL_DATA*>(FindFirst()); }
  __REL_DATA* FindNextRelation() { return static_cast<__REL_DATA*>(FindNext()); }
  // Not loaded: error 13; an id 0: error 16; replaces the handheld id of an
  // existing pair, else appends one. 1 or 0.
  int SetRelation(DWORD serverId, DWORD handheldId);
  // Id 0 or no such pair: error 15, 0.
  int RemoveRelation(DWORD serverId);
  long GetRelationTimeStamp() const { return m_RelTimeStamp; }
  int SetRelationTimeStamp(long timeStamp);
  std::vector<CommitLine> DescribeCommit() override;
  // The time stamp line the server answers.
  std::string DryRunReply() override;

  std::string m_AppName = "VuzIzud";
  LONG m_RelTimeStamp = 0;
  // Pairs set and removed since the last commit, for the run record.
  long m_RelationsSet = 0;
  long m_RelationsRemoved = 0;
};
