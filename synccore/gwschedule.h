// Schedules on the server: the data source over the client library's
// schedule connection and the records the engine and a schedule converter
// use.
#pragma once

#include <memory>

#include "synccore/gwdatasrcof.h"
#include "synccore/gwowned.h"

// A schedule as the client library holds it; read-only (setters stop the
// process).
class SYNCCORE_API CGWScheduleConstRec : public CGWRecord {
 public:
  explicit CGWScheduleConstRec(const __SCHEDULE_DATA* record = nullptr) : CGWRecord("CGWScheduleConstRec", record) {}

  const __SCHEDULE_DATA* data() const { return static_cast<const __SCHEDULE_DATA*>(m_RecPtr); }
  // Zeroed values or null when there is no structure.
  __OFFICE_DATE getDateValid() const { return data() ? data()->dateValid : __OFFICE_DATE{}; }
  __OFFICE_DATE getDateSet() const { return data() ? data()->dateSet : __OFFICE_DATE{}; }
  __OFFICE_DATE getDateEnd() const { return data() ? data()->dateEnd : __OFFICE_DATE{}; }
  __OFFICE_TIME getTimeSet() const { return data() ? data()->timeSet : __OFFICE_TIME{}; }
  __OFFICE_TIME getTimeEnd() const { return data() ? data()->timeEnd : __OFFICE_TIME{}; }
  LONG getType() const { return data() ? data()->nType : 0; }
  LONG getDay() const { return data() ? data()->nDay : 0; }
  const char* getEvent() const { return data() ? data()->pszEvent : nullptr; }
  const char* getDetail() const { return data() ? data()->pszDetail : nullptr; }
  const char* getMemo() const { return data() ? data()->pszMemo : nullptr; }
  // *dates: the record's exception array (owned by the record, may be null);
  // answers the count.
  LONG getExceptions(const __OFFICE_DATE** dates) const;
  BOOL getPrivate() const { return data() ? data()->bPrivate : 0; }
  BOOL getBanner() const { return data() ? data()->bBanner : 0; }

  virtual void setDateValid(const __OFFICE_DATE& date);
  virtual void setDateSet(const __OFFICE_DATE& date);
  virtual void setDateEnd(const __OFFICE_DATE& date);
  virtual void setTimeSet(const __OFFICE_TIME& time);
  virtual void setTimeEnd(const __OFFICE_TIME& time);
  virtual void setType(LONG type);
  virtual void setDay(LONG day);
  virtual void setEvent(const char* text);
  virtual void setDetail(const char* text);
  virtual void setMemo(const char* text);
  // Copies count dates (none for 0 or a null array).
  virtual void setExceptions(const __OFFICE_DATE* dates, LONG count);
  // Makes room for count dates (zeroed); answers a cursor on the first, or
  // null for 0. Fill with setException.
  virtual __OFFICE_DATE* setExceptionCount(LONG count);
  // Stores date at cursor; answers the next cursor.
  virtual __OFFICE_DATE* setException(__OFFICE_DATE* cursor, const __OFFICE_DATE& date);
  virtual void setPrivate(BOOL on);
  virtual void setBanner(BOOL on);

  // "M/D event" of the set date, with the detail when the event is empty.
  char* getRecIdStr(char* buffer, int length) const override;
  void trace() const override;

 protected:
  CGWScheduleConstRec(const char* className, const __SCHEDULE_DATA* record) : CGWRecord(className, record) {}
};

// A schedule of our own, owning its structure, texts and exception dates.
// String setters throw CMemoryRunOut("CGWRecord", "copyStrField", label);
// the exception array ("CGWScheduleRec", "setExceptionCount" or
// "copyDateField", "Alloc Buffer of Exception Date").
class SYNCCORE_API CGWScheduleRec : public CGWScheduleConstRec {
 public:
  CGWScheduleRec();
  ~CGWScheduleRec() override;
  CGWScheduleRec(const CGWScheduleRec&) = delete;
  CGWScheduleRec& operator=(const CGWScheduleRec&) = delete;

  void setDateValid(const __OFFICE_DATE& date) override { own().dateValid = date; }
  void setDateSet(const __OFFICE_DATE& date) override { own().dateSet = date; }
  void setDateEnd(const __OFFICE_DATE& date) override { own().dateEnd = date; }
  void setTimeSet(const __OFFICE_TIME& time) override { own().timeSet = time; }
  void setTimeEnd(const __OFFICE_TIME& time) override { own().timeEnd = time; }
  void setType(LONG type) override { own().nType = type; }
  void setDay(LONG day) override { own().nDay = day; }
  void setEvent(const char* text) override;
  void setDetail(const char* text) override;
  void setMemo(const char* text) override;
  void setExceptions(const __OFFICE_DATE* dates, LONG count) override;
  __OFFICE_DATE* setExceptionCount(LONG count) override;
  __OFFICE_DATE* setException(__OFFICE_DATE* cursor, const __OFFICE_DATE& date) override;
  void setPrivate(BOOL on) override { own().bPrivate = on; }
  void setBanner(BOOL on) override { own().bBanner = on; }
  void setRecordId(DWORD recId) override { own().nID = recId; }
  // Copies every field of another schedule record; a failed copy leaves
  // this record as it was.
  void assign(const CGWRecord& other) override;

 private:
  using Texts = CGWOwnedTexts<__SCHEDULE_DATA, &__SCHEDULE_DATA::pszEvent, &__SCHEDULE_DATA::pszDetail,
                              &__SCHEDULE_DATA::pszMemo>;
  __SCHEDULE_DATA& own() { return m_Texts.data(); }
  // The structure's exception array becomes dates (count of them; none
  // when dates is null).
  void adoptExceptions(std::unique_ptr<__OFFICE_DATE[]> dates, LONG count);

  Texts m_Texts;                                  // the structure and its texts
  std::unique_ptr<__OFFICE_DATE[]> m_Exceptions;  // what pExceptions points at
};

class SYNCCORE_API CGWScheduleRecRel : public CGWRecRelOf<CGWScheduleRecRel, CGWScheduleConstRec> {
 public:
  static constexpr char kClassName[] = "CGWScheduleRecRel";
};

class SYNCCORE_API CGWScheduleDataSrc;
extern template class CGWRecRelOf<CGWScheduleRecRel, CGWScheduleConstRec>;
extern template class CGWDataSrcOf<CGWScheduleDataSrc, CScheduleConnection, CGWScheduleRecRel, CGWScheduleRec>;
extern template class CGWKeyedDataSrcOf<CGWScheduleDataSrc, CScheduleConnection, CGWScheduleRecRel, CGWScheduleRec>;

class SYNCCORE_API CGWScheduleDataSrc
    : public CGWKeyedDataSrcOf<CGWScheduleDataSrc, CScheduleConnection, CGWScheduleRecRel, CGWScheduleRec> {
 public:
  static constexpr char kClassName[] = "CGWScheduleDataSrc";
  static constexpr char kAllocRecord[] = "Alloc CGWScheduleRec";

  explicit CGWScheduleDataSrc(CGWSession& session);
  ~CGWScheduleDataSrc() override;

  // The schedule sync mode.
  DWORD getSyncSetting(const __SYNC5_SET* set) override { return set->nScheduleMode; }
};
