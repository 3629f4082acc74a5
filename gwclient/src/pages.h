// The user list, version and sync-settings pages. Private to the library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/page.h"
#include "gwclient/src/relations.h"
#include "gwclient/src/reply.h"

// Users: lines "id,name" (the name is the whole rest, commas included).
// Read-only.
class CUserPage : public CDataPage<__USER_DATA> {
 public:
  using CDataPage::CDataPage;
  void BuildURL(std::string& url) override;
  std::unique_ptr<Record> ParseItem(const std::string& line) override;
  bool IsReadOnly() const override { return true; }
};

// The server version: lines "version,major,minor" and "ProductID,text".
class CVersionPage : public CPageRequest {
 public:
  using CPageRequest::CPageRequest;
  void Reset() override;
  int Parse(CReplyReader& reply) override;
  void BuildURL(std::string& url) override;

  LONG m_nMajor = 0;
  LONG m_nMinor = 0;
  CText m_ProductID;  // null when the server sent none
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
class CRelationPage : public CPageRequest {
 public:
  explicit CRelationPage(CServerSession* session) : CPageRequest(session), m_Relations(GWERR_NOT_FOUND) {}
  void Reset() override;
  int Parse(CReplyReader& reply) override;
  void BuildURL(std::string& url) override;
  bool BuildCommitBody(std::string& body) override;
  int ParseCommitReply(CReplyReader& reply) override;

  // The first two fetch the page when it is not loaded.
  __REL_DATA* FindFirstRelation() { return Fetch() ? m_Relations.First() : nullptr; }
  long GetRelationCount() { return Fetch() ? m_Relations.Count() : 0; }
  __REL_DATA* FindNextRelation() { return m_Relations.Next(); }
  // Not loaded: error 13; an id 0: error 16; replaces the handheld id of an
  // existing pair, else appends one. 1 or 0.
  int SetRelation(DWORD serverId, DWORD handheldId) { return m_Relations.SetPair(m_bLoaded, serverId, handheldId); }
  // Id 0 or no such pair: error 15, 0.
  int RemoveRelation(DWORD serverId) { return m_Relations.RemovePair(serverId); }
  long GetRelationTimeStamp() const { return m_Relations.TimeStamp(); }
  int SetRelationTimeStamp(long timeStamp) { return m_Relations.SetTimeStamp(m_bLoaded, timeStamp); }
  std::vector<CommitLine> DescribeCommit() override;
  // The time stamp line the server answers.
  std::string DryRunReply() override { return m_Relations.StampReply(); }
  const std::vector<std::unique_ptr<__REL_DATA>>& Relations() const { return m_Relations.Pairs(); }

  std::string m_AppName = "VuzIzud";

 private:
  CRelationSet m_Relations;
};
