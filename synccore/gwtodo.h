// To-dos on the server: the data source over the client library's to-do
// connection and the records the engine and a to-do converter use.
#pragma once

#include "synccore/gwdatasrcof.h"
#include "synccore/gwowned.h"

// A to-do as the client library holds it; read-only (setters stop the
// process).
class SYNCCORE_API CGWToDoConstRec : public CGWRecord {
 public:
  explicit CGWToDoConstRec(const __TODO_DATA* record = nullptr) : CGWRecord("CGWToDoConstRec", record) {}

  const __TODO_DATA* data() const { return static_cast<const __TODO_DATA*>(m_RecPtr); }
  // Zeroed dates, 0 or null when there is no structure.
  __OFFICE_DATE getDateLimit() const { return data() ? data()->dateLimit : __OFFICE_DATE{}; }
  LONG getImportant() const { return data() ? data()->nPriority : 0; }
  BOOL getFinish() const { return data() ? data()->bFinish : 0; }
  __OFFICE_DATE getDateEnd() const { return data() ? data()->dateEnd : __OFFICE_DATE{}; }
  const char* getName() const { return data() ? data()->pszName : nullptr; }
  const char* getCategory() const override { return data() ? data()->pszCategory : nullptr; }
  const char* getMemo() const { return data() ? data()->pszMemo : nullptr; }

  virtual void setDateLimit(const __OFFICE_DATE& date);
  virtual void setImportant(LONG priority);
  virtual void setFinish(BOOL finished);
  virtual void setDateEnd(const __OFFICE_DATE& date);
  virtual void setName(const char* name);
  virtual void setCategory(const char* category);
  virtual void setMemo(const char* memo);

  // The name, cut with "..." to fit length bytes.
  char* getRecIdStr(char* buffer, int length) const override;
  void trace() const override;

 protected:
  CGWToDoConstRec(const char* className, const __TODO_DATA* record) : CGWRecord(className, record) {}
};

// A to-do of our own, owning its structure and texts. String setters throw
// CMemoryRunOut("CGWRecord", "copyStrField", label).
class SYNCCORE_API CGWToDoRec : public CGWToDoConstRec {
 public:
  CGWToDoRec();
  ~CGWToDoRec() override;
  CGWToDoRec(const CGWToDoRec&) = delete;
  CGWToDoRec& operator=(const CGWToDoRec&) = delete;

  void setDateLimit(const __OFFICE_DATE& date) override { m_Data.data().dateLimit = date; }
  void setImportant(LONG priority) override { m_Data.data().nPriority = priority; }
  void setFinish(BOOL finished) override { m_Data.data().bFinish = finished; }
  void setDateEnd(const __OFFICE_DATE& date) override { m_Data.data().dateEnd = date; }
  void setName(const char* name) override;
  void setCategory(const char* category) override;
  void setMemo(const char* memo) override;
  void setRecordId(DWORD recId) override { m_Data.data().nID = recId; }
  // Copies every field of another to-do record; a failed copy leaves this
  // record as it was.
  void assign(const CGWRecord& other) override;

 private:
  CGWOwnedTexts<__TODO_DATA, &__TODO_DATA::pszName, &__TODO_DATA::pszCategory, &__TODO_DATA::pszMemo> m_Data;
};

class SYNCCORE_API CGWToDoRecRel : public CGWRecRelOf<CGWToDoRecRel, CGWToDoConstRec> {
 public:
  static constexpr char kClassName[] = "CGWToDoRecRel";
};

class SYNCCORE_API CGWToDoDataSrc;
extern template class CGWRecRelOf<CGWToDoRecRel, CGWToDoConstRec>;
extern template class CGWDataSrcOf<CGWToDoDataSrc, CToDoConnection, CGWToDoRecRel, CGWToDoRec>;
extern template class CGWKeyedDataSrcOf<CGWToDoDataSrc, CToDoConnection, CGWToDoRecRel, CGWToDoRec>;

// The to-do data source; client failures answer false, -1 or null and the
// engine's wrappers report them.
class SYNCCORE_API CGWToDoDataSrc
    : public CGWKeyedDataSrcOf<CGWToDoDataSrc, CToDoConnection, CGWToDoRecRel, CGWToDoRec> {
 public:
  static constexpr char kClassName[] = "CGWToDoDataSrc";
  static constexpr char kAllocRecord[] = "Alloc CGWToDoRec";

  explicit CGWToDoDataSrc(CGWSession& session);
  ~CGWToDoDataSrc() override;

  // The to-do sync mode.
  DWORD getSyncSetting(const __SYNC5_SET* set) override { return set->nToDoMode; }
};
