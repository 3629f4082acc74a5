// Memos on the server: the data source over the client library's memo
// connection and the records the engine and the memo conduit's converter use.
//
//   CGWMemoDataSrc gw(session);          // session opened, logged in, labelled
//   CSyncCore core(&hh, &gw, &session);  // the engine drives it
//   CGWMemoRec* r = static_cast<CGWMemoRec*>(gw.createRecord());
//   r->setSubject("Shopping");           // copied
//   gw.destroyRecord(r);
#pragma once

#include "synccore/gwdatasrc.h"

// A memo as the client library holds it. Read-only: the structure belongs to
// the library (valid while the data source's connection lives); every setter
// is a programming error and stops the process.
class SYNCCORE_API CGWMemoConstRec : public CGWRecord {
 public:
  explicit CGWMemoConstRec(const __MEMO_DATA* record = nullptr) : CGWRecord("CGWMemoConstRec", record) {}

  const __MEMO_DATA* data() const { return static_cast<const __MEMO_DATA*>(m_RecPtr); }
  // Null when there is no structure or no text.
  const char* getSubject() const { return data() ? data()->pszName : nullptr; }
  const char* getData() const { return data() ? data()->pszData : nullptr; }
  virtual void setSubject(const char* subject);
  virtual void setData(const char* body);

  // The subject, cut with "..." to fit length bytes.
  char* getRecIdStr(char* buffer, int length) const override;
  void trace() const override;

 protected:
  CGWMemoConstRec(const char* className, const __MEMO_DATA* record) : CGWRecord(className, record) {}
};

// A memo of our own: owns its structure and copies of its texts. Setters
// throw CMemoryRunOut("CGWRecord", "copyStrField", label) when a copy cannot
// be had, leaving the field as it was.
class SYNCCORE_API CGWMemoRec : public CGWMemoConstRec {
 public:
  CGWMemoRec();
  ~CGWMemoRec() override;
  CGWMemoRec(const CGWMemoRec&) = delete;
  CGWMemoRec& operator=(const CGWMemoRec&) = delete;

  void setSubject(const char* subject) override;
  void setData(const char* body) override;
  void setRecordId(DWORD recId) override { m_Data.nID = recId; }
  // Copies id, stamp and both texts of another memo record.
  void assign(const CGWRecord& other) override;

 private:
  __MEMO_DATA m_Data;
};

// The record set's entry for memos.
class SYNCCORE_API CGWMemoRecRel : public CGWRecRel {
 public:
  CGWMemoRecRel() : CGWRecRel(&m_Rec) {}
  CGWMemoRecRel(const CGWMemoRecRel& other) : CGWRecRel(&m_Rec) { copyFrom(other); }
  // Refills the entry as the data source's current entry.
  void reset(DWORD attrib, DWORD gwRecId, DWORD hhRecId, const __MEMO_DATA* record);
  // Throws CMemoryRunOut("CGWMemoRecRel", "clone", "Placement new").
  CGWRecRel* clone(ObjBuf& pool) const override;
  int getSize() const override { return sizeof(CGWMemoRecRel); }

 private:
  CGWMemoConstRec m_Rec;
};

// The memo data source: one per sync run, on a session that stays open for
// its whole life. Client failures answer false, -1 or null; the engine's
// wrappers report them.
class SYNCCORE_API CGWMemoDataSrc : public CGWDataSrc {
 public:
  explicit CGWMemoDataSrc(CGWSession& session);
  ~CGWMemoDataSrc() override;

  int getRelationCount() override;
  LONG getRelationTimeStamp() override;
  // The memo sync mode.
  DWORD getSyncSetting(const __SYNC5_SET* set) override;
  // A new CGWMemoRec; throws CMemoryRunOut instead of answering null.
  CGWRecord* createRecord() override;
  void destroyRecord(CGWRecord* record) override;
  CGWRecRel* findFirst() override;
  CGWRecRel* findNext() override;
  CGWRecRel* findFirstRelation() override;
  CGWRecRel* findNextRelation() override;
  bool putNewRecord(CGWRecord* record, DWORD hhRecId) override;
  bool putRecord(CGWRecord* record) override;
  bool removeRecord(DWORD gwRecId) override;
  bool commitChanges() override;
  bool putRelation(DWORD hhRecId, DWORD gwRecId) override;
  bool removeRelation(DWORD gwRecId) override;
  bool putRelationTimeStamp(LONG timeStamp) override;

  CMemoConnection& connection() { return m_Conn; }

 private:
  CMemoConnection m_Conn;
  CGWMemoRecRel m_Current;
};
