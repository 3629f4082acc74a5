// The handheld side of the sync model: the data source a handheld platform
// implements, its records, categories and record set, and the result list
// through which handheld writes report back.
//
//   class CMyDataSrc : public CHHDataSrc { ... };   // one per sync run
//   CMyDataSrc hh(&categories, &records);
//   CSyncCore core(hh, gw, true);
//
// The engine owns no handheld object: the data source, its category list and
// record set belong to the conduit and outlive the engine's run.
#pragma once

#include <vector>

#include "platform/wintypes.h"
#include "synccore/boundedlist.h"
#include "synccore/except.h"

class CGWDataSrc;
class CGWRecord;
class CHHDataSrc;

// Results of handheld writes (writeCategories, updateRecord, addRecord,
// deleteRecord, completeRecordOps).
enum : int {
  HH_QUEUED = 0,   // the result comes later through a result list
  HH_RESULTS = 1,  // results of earlier queued writes wait in the list; ask again
  HH_DONE = 2,     // done; the list holds the result
  HH_NOTHING = 3,  // nothing done
  HH_FAILED = 4,
};

// Operations of a result entry.
enum : DWORD {
  HHOP_ADD = 0,
  HHOP_DELETE = 1,
  HHOP_MODIFY = 2,
  HHOP_CATEGORIES = 3,
};

// Record status (CHHRecord::getStatus).
enum : int {
  HHSTAT_UNCHANGED = 0,
  HHSTAT_CHANGED = 1,  // new or modified since the last sync
  HHSTAT_DELETED = 2,
};

// The operation number recordDone and batchDone are given for the record
// just handled. Not an HHOP_ entry operation: the numbers differ.
enum : int {
  RECDONE_OP_NONE = 0,
  RECDONE_OP_ADD = 1,  // also a mail handed to the server
  RECDONE_OP_MODIFY = 2,
  RECDONE_OP_DELETE = 3,
  RECDONE_OP_FAILED = 4,  // the record was skipped, or its batch's commit or send failed
};

// Answers of recordDone.
enum : int {
  RECDONE_GO_ON = 0,
  RECDONE_END_BATCH = 1,  // a batch ends here: the engine commits or sends, then calls batchDone
  RECDONE_ABORT = 2,
};

// batchDone's batch result when the batch's commit or send went well; a
// failed commit gives 0, a failed send the 0-based place of the failed mail.
constexpr LONG BATCH_FINE = -1;
// batchDone's answer to go on; any other aborts the sync.
constexpr int BATCHDONE_GO_ON = 0;

// Kinds of record CHHRecordSet::newRecord makes.
enum : int {
  NEWREC_SCRATCH = 0,   // holds its own data; the engine's is the server-to-handheld filter
  NEWREC_TO_WRITE = 1,  // to be filled and written to the handheld
};

// Types of addLogEntry.
enum : int {
  HHLOG_SIGNAL = 1,  // an error signal, without text
  HHLOG_TEXT = 2,    // a message text
};

// Engine marks of a handheld record.
enum : BYTE {
  HHMARK_PASS3 = 0x01,      // a handheld operation waits for pass 3-1
  HHMARK_MAIL_SENT = 0x02,  // the server took this mail in mail pass 1
};

struct CHHRecOpResultItem {
  DWORD m_Op;      // HHOP_...
  BYTE m_Success;  // 0 or 1
  DWORD m_RecId;   // the handheld record id (the new one after an add)
};

// Result list of handheld writes, filled by the handheld data source and read
// by the engine. Header-only, so libsynccore.so and each conduit carry their
// own copy.
struct CHHRecOpResultNames {
  static constexpr const char* kClass = "CHHRecOpResult";
  static constexpr const char* kAllocFailed = "New CHHRecOpResult";
  static constexpr const char* kFull = "push into a full result list";
};

class CHHRecOpResult : public CBoundedList<CHHRecOpResultItem, CHHRecOpResultNames> {
 public:
  // Uses inlineItems when inlineCount >= capacity, else allocates capacity
  // entries; throws CMemoryRunOut ("CHHRecOpResult", "Constructor", "New
  // CHHRecOpResult") when they cannot be had. inlineItems (may be null when
  // inlineCount is 0) must outlive the list. The destructor frees only an
  // allocated array.
  CHHRecOpResult(DWORD capacity, CHHRecOpResultItem* inlineItems, DWORD inlineCount)
      : CBoundedList(capacity, inlineItems, inlineCount) {}

  // Appends an entry. A full list is a programming error of the data source
  // (its capacity is a limit it must respect): the process stops.
  void push(DWORD op, BYTE success, DWORD recId) { pushItem(CHHRecOpResultItem{op, success, recId}); }
  // first, next, clear, count: the bounded list's.
};

// One category of the handheld's category list; the fields are the
// platform's.
class SYNCCORE_API CHHCategory {
 public:
  virtual ~CHHCategory() = default;
  // The category's name as the handheld stores it.
  virtual const char* getName() const = 0;
};

class SYNCCORE_API CHHCategoryList {
 public:
  virtual ~CHHCategoryList() = default;
  // The entry of that name, or null. Valid while the list lives.
  virtual const CHHCategory* find(const char* name) const = 0;
  // Adds a category; its entry, or null when the list is full.
  virtual CHHCategory* add(const char* name) = 0;
};

class CHHRecord;

class SYNCCORE_API CHHRecordSet {
 public:
  virtual ~CHHRecordSet() = default;
  // Iteration over the records read in this run; null at the end. Records
  // belong to the set.
  virtual CHHRecord* getFirst() = 0;
  virtual CHHRecord* getNext() = 0;
  // The record of that id read in this run, or null (also when it exists on
  // the handheld but was not read).
  virtual CHHRecord* find(DWORD recId) = 0;
  // A new record of kind NEWREC_SCRATCH (the engine's only one is the
  // server-to-handheld filter) or NEWREC_TO_WRITE. Owned by the set
  // until given back with releaseRecord; may throw CMemoryRunOut. New and
  // released records must not disturb an iteration in progress (the engine
  // writes records while it walks the ones read).
  virtual CHHRecord* newRecord(int kind) = 0;
  virtual void releaseRecord(CHHRecord* record) = 0;
};

class SYNCCORE_API CHHRecord {
 public:
  CHHRecord() : m_SyncMark(0) {}
  virtual ~CHHRecord() = default;
  virtual void assign(const CHHRecord& other) = 0;
  // HHSTAT_UNCHANGED, HHSTAT_CHANGED or HHSTAT_DELETED.
  virtual int getStatus() const = 0;
  virtual DWORD getRecordId() const = 0;
  virtual void setRecordId(DWORD recId) = 0;
  // True when this record takes part in handheld-to-server sync; false with
  // *msgCode (0 = no message) when it is to be skipped. related may be null.
  virtual bool acceptForGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* related, DWORD* msgCode) = 0;
  // Fills target (a record from the server data source's createRecord) from
  // this record; existing (may be null) is the related server record.
  virtual bool convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) = 0;
  // On the scratch record: true when the server record is to reach the
  // handheld; false with *msgCode otherwise.
  virtual bool acceptFromGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* record, DWORD* msgCode) = 0;
  // Fills this record from source; existing (may be null) is the handheld
  // record it replaces.
  virtual bool convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing, const CGWRecord* source) = 0;
  // A short identification for messages, always terminated; answers buffer.
  virtual char* getRecIdStr(char* buffer, int length) const = 0;
  // Dumps the record to the trace (callers test the level first).
  virtual void trace() const = 0;
  virtual int getSize() const = 0;

  BYTE m_SyncMark;  // HHMARK_..., owned by the engine; 0 when read
};

// A handheld record added for a server record, and that server record.
struct HHPairing {
  DWORD m_HHRecId;
  DWORD m_GWRecId;
};

// The handheld data source. Operations answer as each comment says; the
// engine decides what to do with the answers.
class SYNCCORE_API CHHDataSrc {
 public:
  // Both pointers stay the conduit's and must outlive the data source.
  CHHDataSrc(CHHCategoryList* categories, CHHRecordSet* records);
  virtual ~CHHDataSrc();

  virtual bool openDB() = 0;
  virtual bool closeDB() = 0;
  virtual bool prepareSync();  // base: true
  virtual bool isFirstSync(LONG relationTimeStamp) = 0;
  virtual WORD determineHowToSync(WORD flags);  // base: flags unchanged
  virtual void notifyNoSync() = 0;
  virtual bool readCategories() = 0;
  // HH_DONE (entry op HHOP_CATEGORIES), HH_NOTHING, HH_FAILED or HH_QUEUED.
  // *result points to the data source's own list, valid until its next write.
  virtual int writeCategories(CHHRecOpResult** result) = 0;
  // True when the category list took the name (base: category list add).
  virtual bool addCategory(const char* name);
  virtual void beginPass(int pass) = 0;
  virtual void endPass(int pass) = 0;
  // Reads the records to sync (all, or only the changed ones) into the set.
  virtual bool readRecords(CGWDataSrc* gw, bool all) = 0;
  // *record null = no (more) records; false aborts the sync.
  virtual bool getFirstRecordToSync(CHHRecord** record) = 0;
  virtual bool getNextRecordToSync(CHHRecord** record) = 0;
  // operation: RECDONE_OP_... Answers RECDONE_GO_ON, RECDONE_END_BATCH or
  // RECDONE_ABORT (base: RECDONE_END_BATCH).
  virtual int recordDone(int operation);
  // batchResult: BATCH_FINE, or what failed. BATCHDONE_GO_ON, else the sync
  // is aborted (base: BATCHDONE_GO_ON).
  virtual int batchDone(LONG batchResult, int operation);
  virtual int updateRecord(CHHRecord* record, CHHRecOpResult** result) = 0;
  virtual int addRecord(CHHRecord* record, CHHRecOpResult** result) = 0;
  // A record that no longer exists counts as deleted.
  virtual int deleteRecord(DWORD recId, CHHRecOpResult** result) = 0;
  virtual bool deleteAllRecord() = 0;
  // HH_RESULTS when the list holds results of queued writes, HH_FAILED, or
  // anything else for nothing to do.
  virtual int completeRecordOps(CHHRecOpResult** result) = 0;
  virtual bool cleanupSyncRecords(int count) = 0;
  // time 0 = leave unchanged.
  virtual bool setLastSyncTime(DWORD time) = 0;
  // type HHLOG_TEXT with a message text, HHLOG_SIGNAL an error signal
  // without text (text may be null).
  virtual void addLogEntry(int type, const char* text) = 0;

  // A handheld record added for a server record is paired with it on the
  // server only by a later commit, so a run killed in between would have the
  // next run add it again. A data source that can keep a note on the
  // handheld closes that window: reservePairings chooses the ids of the next
  // records to add for those server records (hhRecIds, one each) and notes
  // the pairs before the adds, in one handheld write; readPairings gives the next run the
  // noted pairs whose handheld record exists (in any state); clearPairings
  // forgets them once their relations are committed. The base keeps no note:
  // ids 0 (the add chooses), no pairs, nothing to clear.
  virtual bool reservePairings(const std::vector<DWORD>& gwRecIds, std::vector<DWORD>& hhRecIds);
  virtual bool readPairings(std::vector<HHPairing>& pairs);
  virtual bool clearPairings();
  // The note also marks a first sync of this handheld that has begun: the
  // relations on the server are then this handheld's, and a first sync run
  // again after a failure keeps them instead of starting over, which would
  // send every record to the other side a second time. readFirstSyncNote is
  // asked after readPairings; clearFirstSyncNote says a first sync is done,
  // and a data source that keeps its last sync time apart drops the mark only
  // once that time is kept. Base: nothing kept, never begun.
  virtual bool noteFirstSyncBegun();
  virtual bool readFirstSyncNote(bool* begun);
  virtual bool clearFirstSyncNote();

  // Has the handheld keep every write made so far through a power loss. The
  // engine asks before each server commit, so that the server never pairs a
  // record that the handheld could still lose; a data source that keeps a
  // note has it kept before the adds it covers, too. Base: the handheld
  // keeps what it is sent, nothing to do.
  virtual bool makeDurable();

  // The category list's entry of that name, or null.
  const CHHCategory* findCategory(const char* name) const;
  // The record of that id read in this run, or null.
  CHHRecord* findRecord(DWORD recId) const;
  CHHCategoryList* getCategoryList() const { return m_Categories; }
  CHHRecordSet* getRecordSet() const { return m_Records; }

 protected:
  CHHCategoryList* m_Categories;
  CHHRecordSet* m_Records;
};
