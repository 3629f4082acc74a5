// The Date Book and the server's calendar as the schedule conduit sees them:
// only what meets the schedule window of the server's settings (months
// before and after today). A schedule or event wholly outside it is neither
// read, changed nor deleted on either side, and its pairing is kept.
//
//   CGWScheduleWindowDataSrc gw(session);      // the window from the session's
//   settings CPalmLSScheduleDataSrc hh(&categories, &records, &times,
//   "DatebookDB", 'date'); CSyncCore core(hh, gw, true);
#pragma once

#include <set>

#include "conduits/common/palmdatasrc.h"
#include "conduits/schedule/schedulerecord.h"
#include "synccore/gwschedule.h"

// The server's schedules inside the window, and the relations of those.
class CGWScheduleWindowDataSrc : public CGWScheduleDataSrc {
 public:
  // The window is taken from the session's settings copy and today's date.
  explicit CGWScheduleWindowDataSrc(CGWSession &session);
  CGWScheduleWindowDataSrc(CGWSession &session, const ScheduleWindow &window);
  ~CGWScheduleWindowDataSrc() override;

  CGWRecRel *findFirst() override;
  CGWRecRel *findNext() override;
  // Relations of schedules outside the window are left out (the server
  // keeps them): the engine would take them for schedules deleted there.
  CGWRecRel *findFirstRelation() override;
  CGWRecRel *findNextRelation() override;

  const ScheduleWindow &window() const { return m_Window; }
  // Whether the handheld record id is paired with a schedule outside the
  // window (known once the relations were read).
  bool pairedOutside(DWORD hhRecId) const { return m_HiddenHH.count(hhRecId) != 0; }
  // The server source of the run, while it lives (null else): the handheld
  // side asks it for the window.
  static CGWScheduleWindowDataSrc *current();

 private:
  CGWRecRel *skipOutside(CGWRecRel *e);
  CGWRecRel *skipHiddenRelations(CGWRecRel *e);

  ScheduleWindow m_Window;
  std::set<DWORD> m_HiddenGW;  // server ids outside the window
  std::set<DWORD> m_HiddenHH;  // handheld ids paired with those
};

// The Date Book records inside the window; every other record is left as
// it is, its dirty mark included, so that a change made to it reaches the
// server once it comes into the window.
class CPalmLSScheduleDataSrc : public CPalmLSDataSrc {
 public:
  CPalmLSScheduleDataSrc(CPalmCategoryList *categories, CPalmRecordSet *records, SyncTimeStore *times,
                         const char *dbName, DWORD creator)
      : CPalmLSDataSrc(categories, records, times, dbName, 0, creator) {}

  // All records inside the window (and those paired with shown schedules),
  // or the changed ones of those.
  bool readRecords(CGWDataSrc *gw, bool all) override;
  // Purges the records inside the window and the deleted ones; true when
  // there is none.
  bool deleteAllRecord() override;
  // Clears the dirty marks of the records read in this run and purges the
  // deleted ones; records outside the window keep their marks.
  bool cleanupSyncRecords(int count) override;

 protected:
  bool ownsRecord(const CRawRecordInfo &info, CGWDataSrc *gw) override;

 private:
  // A live record inside the window (a record that cannot be read is: the
  // engine reports it).
  bool inWindow(const CRawRecordInfo &info) const;
};

// The handheld data source of the schedule conduit (HandheldSourceMaker).
std::unique_ptr<CPalmLSDataSrc> makeScheduleHandheldSource(CPalmCategoryList *categories, CPalmRecordSet *records,
                                                           SyncTimeStore *times, const char *dbName, DWORD creator);
