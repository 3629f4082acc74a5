// Memos on the server: the data source over the client library's memo
// connection and the records the engine and the memo conduit's converter use.
//
//   CGWMemoDataSrc gw(session);          // session opened, logged in, labelled
//   CSyncCore core(hh, gw, true);        // hh: the Memo Pad side; the engine drives both
//   CGWMemoRec* r = static_cast<CGWMemoRec*>(gw.createRecord());
//   r->setSubject("Shopping");           // copied
//   gw.destroyRecord(r);
#pragma once

#include "synccore/gwdatasrcof.h"
#include "synccore/gwowned.h"

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
  void setRecordId(DWORD recId) override { m_Data.data().nID = recId; }
  // Copies id, stamp and both texts of another memo record; a failed copy
  // leaves this record as it was.
  void assign(const CGWRecord& other) override;

 private:
  CGWOwnedTexts<__MEMO_DATA, &__MEMO_DATA::pszName, &__MEMO_DATA::pszData> m_Data;
};

// The record set's entry for memos.
class SYNCCORE_API CGWMemoRecRel : public CGWRecRelOf<CGWMemoRecRel, CGWMemoConstRec> {
 public:
  static constexpr char kClassName[] = "CGWMemoRecRel";
};

class SYNCCORE_API CGWMemoDataSrc;
extern template class CGWRecRelOf<CGWMemoRecRel, CGWMemoConstRec>;
extern template class CGWDataSrcOf<CGWMemoDataSrc, CMemoConnection, CGWMemoRecRel, CGWMemoRec>;
extern template class CGWKeyedDataSrcOf<CGWMemoDataSrc, CMemoConnection, CGWMemoRecRel, CGWMemoRec>;

// The memo data source: one per sync run, on a session that stays open for
// its whole life.
class SYNCCORE_API CGWMemoDataSrc
    : public CGWKeyedDataSrcOf<CGWMemoDataSrc, CMemoConnection, CGWMemoRecRel, CGWMemoRec> {
 public:
  static constexpr char kClassName[] = "CGWMemoDataSrc";
  static constexpr char kAllocRecord[] = "Alloc CGWMemoRec";

  explicit CGWMemoDataSrc(CGWSession& session);
  ~CGWMemoDataSrc() override;

  // The memo sync mode.
  DWORD getSyncSetting(const __SYNC5_SET* set) override;
};
