// The server side of the sync model: records, relation entries, the record
// set built from the server's records and relation data, the deferred
// relation commands, and the abstract server data source that each kind of
// server data (address, mail, memo, schedule, to-do) implements.
//
//   class CGWMemoDataSrc : public CGWDataSrc { ... };      // one per sync run (see gwdatasrcof.h)
//   CGWMemoDataSrc gw(session);
//   if (!gw.initRecordSet()) ...;                           // relations + records
//   for (CGWRecRel* e = gw.getFirstRecRel(); e; e = gw.getNextRecRel()) ...
//
// A data source lives on the conduit's stack for one run; its entries and
// their records stay valid until it is destroyed (their structures belong to
// the client library and live while the connection is open).
#pragma once

#include <cstdarg>

#include "gwclient/gwclient.h"
#include "platform/wintypes.h"
#include "synccore/boundedlist.h"
#include "synccore/except.h"
#include "synccore/objbuf.h"

class CGWSession;

// Sync flags (16 bits). The top four bits survive every doSync.
enum : WORD {
  SYNC_ONE_WAY = 0x0001,
  SYNC_DELETE_GW_RECORDS = 0x0010,
  SYNC_DELETE_GW_RELATIONS = 0x0020,
  SYNC_DELETE_HH_RECORDS = 0x0040,
  SYNC_NONE = 0x0100,
  SYNC_TWO_WAY = 0x0200,
  SYNC_REFRESH = 0x0400,
  SYNC_MAIL = 0x0800,
  SYNC_SINGLE_COMMIT = 0x1000,
  SYNC_INITIAL = 0x2000,
  SYNC_KEPT_BITS = 0xF000,
};

// Server commands run for one handheld record, in list order until GW_END.
enum GWSyncCmd : int {
  GW_ADDREC = 0,
  GW_MODIFYREC = 1,
  GW_DELREC = 2,
  GW_ADDREL = 3,
  GW_DELREL = 4,
  GW_END = 5,
};

// Attributes of a relation entry.
enum : DWORD {
  GWATTR_NEW = 0x01,       // server record no relation names
  GWATTR_CHANGED = 0x02,   // newer than the relation time stamp
  GWATTR_DELETED = 0x04,   // relation without record, or removed by the engine
  GWATTR_RELATION = 0x10,  // made from relation data
};

// Engine marks of a relation entry.
enum : BYTE {
  GWMARK_PASS1 = 0x01,          // handled in pass 1
  GWMARK_PASS3 = 0x02,          // a handheld operation waits for pass 3-2
  GWMARK_MAIL_FILTERED = 0x10,  // relate to handheld id 255 in mail pass 3
  GWMARK_MAIL_DELREL = 0x20,    // delete the relation in mail pass 3
};

// The sync flags a settings word gives (the address, memo, schedule and
// to-do rule): the top four bits of flags kept, then the kind and the
// deletion bits of the word.
SYNCCORE_API WORD syncFlagsFromSetting(WORD flags, DWORD setting);
// The mail rule: SYNC_NONE or SYNC_MAIL, plus SYNC_DELETE_HH_RECORDS for 4.
SYNCCORE_API WORD mailSyncFlagsFromSetting(WORD flags, DWORD setting);

// Base of every server record: wraps one of the client library's record
// structures, whose first two fields are the server record id and the time
// stamp.
class SYNCCORE_API CGWRecord {
 public:
  // className: a constant string naming the class in allocation-failure
  // messages. record: the structure (may be null), not owned.
  CGWRecord(const char* className, const void* record) : m_ClassName(className), m_RecPtr(record) {}
  virtual ~CGWRecord() = default;

  // Read-only records stop fatally; mutable ones copy id, stamp and fields.
  virtual void assign(const CGWRecord& other);
  // The category text, or null (base).
  virtual const char* getCategory() const { return nullptr; }
  // Mutable records store the id in their structure (base: nothing).
  virtual void setRecordId(DWORD /*recId*/) {}
  // A short identification for messages, always terminated; answers buffer.
  virtual char* getRecIdStr(char* buffer, int length) const = 0;
  // Dumps the record (callers test the trace level first; base: nothing).
  virtual void trace() const {}

  const void* getRecPtr() const { return m_RecPtr; }
  void setRecPtr(const void* record) { m_RecPtr = record; }
  const char* getClassName() const { return m_ClassName; }
  // The structure's first field; 0 without a structure.
  DWORD getRecordId() const { return m_RecPtr ? static_cast<const DWORD*>(m_RecPtr)[0] : 0; }
  // The structure's second field (seconds since 1970); 0 without one.
  LONG getTimeStamp() const { return m_RecPtr ? static_cast<LONG>(static_cast<const DWORD*>(m_RecPtr)[1]) : 0; }

 protected:
  const char* m_ClassName;
  const void* m_RecPtr;
};

// One entry of the record set: a server record and/or a relation. Each kind
// of server data derives one with its read-only record embedded.
class SYNCCORE_API CGWRecRel {
 public:
  // record: the entry's embedded read-only record (never null).
  explicit CGWRecRel(CGWRecord* record)
      : m_Next(nullptr), m_Marks(0), m_Attrib(0), m_HHRecId(0), m_GWRecId(0), m_Record(record) {}
  virtual ~CGWRecRel() = default;
  // Copies go through clone: a plain copy would share the other entry's
  // embedded record.
  CGWRecRel(const CGWRecRel&) = delete;
  CGWRecRel& operator=(const CGWRecRel&) = delete;
  // A copy placed in memory from pool (marks, attributes, ids, the embedded
  // record's structure pointer; next null). Throws CMemoryRunOut (class
  // name, "clone", "Placement new") when the pool gives no memory. Destroy
  // with the virtual destructor and give the memory back to the pool.
  virtual CGWRecRel* clone(ObjBuf& pool) const = 0;
  // Size of the object with its embedded record: the pool's object size.
  virtual int getSize() const = 0;

  CGWRecord* getRecord() const { return m_Record; }
  // "Flgs:%x Attrib:%x [%x, %x]" (marks, attributes, server id, handheld
  // id), at most length - 1 bytes; answers buffer.
  char* describe(char* buffer, int length) const;

  CGWRecRel* m_Next;
  BYTE m_Marks;
  DWORD m_Attrib;
  DWORD m_HHRecId;
  DWORD m_GWRecId;

 protected:
  // Copies ids, marks, attributes and the structure pointer of other.
  void copyFrom(const CGWRecRel& other);
  CGWRecord* m_Record;
};

// Every server record and relation of one kind of data in one hash table:
// keyed by server record id while it is filled, by handheld record id after
// finish.
class SYNCCORE_API CGWRecordSet {
 public:
  static constexpr int kBuckets = 1011;

  // entrySize: the kind's CGWRecRel object size. Throws CMemoryRunOut when
  // the pool's first blocks cannot be had.
  explicit CGWRecordSet(WORD entrySize);
  // Destroys every entry and gives the pool's blocks back.
  virtual ~CGWRecordSet();
  CGWRecordSet(const CGWRecordSet&) = delete;
  CGWRecordSet& operator=(const CGWRecordSet&) = delete;

  // Destroys every entry: the set is empty and can be filled again.
  void clear();
  // While filling: adds a clone of e, or merges a server record into the
  // entry of its relation. Throws CMemoryRunOut (from clone).
  void add(const CGWRecRel& e);
  // Ends filling: re-keys by handheld record id and marks relations whose
  // record never came as deleted.
  void finish();
  // Iteration in bucket order, each chain from its head; null at the end.
  // Entries stay owned by the set.
  CGWRecRel* getFirstRecRel();
  CGWRecRel* getNextRecRel();
  // After finish: the entry of that handheld record id, or null.
  CGWRecRel* findByHHRecId(DWORD hhRecId);
  // While filling: the entry of that server record id, or null.
  CGWRecRel* findByGWRecId(DWORD gwRecId);
  int count() const { return m_Count; }

 private:
  CGWRecRel* scanFrom(int bucket);

  ObjBuf m_Pool;
  int m_Count;
  CGWRecRel* m_Buckets[kBuckets];
  int m_CurBucket;
  CGWRecRel* m_NextEntry;
};

// Relation commands waiting for the results of queued handheld writes.
struct CGWRecOpDItem {
  const GWSyncCmd* m_Cmds;  // null: the placeholder of a category list write
  DWORD m_GWRecId;
};

struct CGWRecOpDListNames {
  static constexpr const char* kClass = "CGWRecOpDList";
  static constexpr const char* kAllocFailed = "Alloc Buffer";
  static constexpr const char* kFull = "push into a full list of deferred relation commands";
};

class SYNCCORE_API CGWRecOpDList : public CBoundedList<CGWRecOpDItem, CGWRecOpDListNames> {
 public:
  static constexpr DWORD kInline = 30;
  // Up to 30 entries use the room inside; more are allocated, and failure
  // throws CMemoryRunOut ("CGWRecOpDList", "Constructor", "Alloc Buffer").
  explicit CGWRecOpDList(DWORD capacity);
  ~CGWRecOpDList();

  // Appends an entry. Pushing into a full list is a programming error of the
  // handheld data source (it queued more than its batch size): the process
  // stops rather than write past the entries.
  void push(const GWSyncCmd* cmds, DWORD gwRecId);
  // The bounded list's own, defined in the library so that it exports them.
  const CGWRecOpDItem* first();
  const CGWRecOpDItem* next();

 private:
  CGWRecOpDItem m_Inline[kInline];
};

// The abstract server data source. The engine calls the non-virtual
// operations, which wrap the virtual ones and report client failures through
// the session (one message 0xc0000022 each).
class SYNCCORE_API CGWDataSrc {
 public:
  // session must outlive the data source. entrySize: the kind's CGWRecRel
  // object size.
  CGWDataSrc(CGWSession& session, WORD entrySize);
  virtual ~CGWDataSrc();
  CGWDataSrc(const CGWDataSrc&) = delete;
  CGWDataSrc& operator=(const CGWDataSrc&) = delete;

  // True when the relation time stamp is 0.
  virtual bool isInitialSync();
  virtual bool prepare() { return true; }
  // Base: syncFlagsFromSetting with the kind's settings word.
  virtual WORD determineHowToSync(WORD flags);
  // Mail: 1, or minus the 1-based position of the first failed mail. Base 0.
  virtual int send() { return 0; }
  // -1 when the client library reports an error.
  virtual int getRelationCount() = 0;
  virtual LONG getRelationTimeStamp() = 0;
  // The kind's settings word in set.
  virtual DWORD getSyncSetting(const __SYNC5_SET* set) = 0;
  // A new empty mutable record, owned by the caller (destroyRecord). Throws
  // CMemoryRunOut instead of answering null.
  virtual CGWRecord* createRecord() = 0;
  virtual void destroyRecord(CGWRecord* record) = 0;
  // The current entry (valid until the next find call), or null.
  virtual CGWRecRel* findFirst() = 0;
  virtual CGWRecRel* findNext() = 0;
  virtual CGWRecRel* findFirstRelation() = 0;
  virtual CGWRecRel* findNextRelation() = 0;
  virtual bool putNewRecord(CGWRecord* record, DWORD hhRecId) = 0;
  virtual bool putRecord(CGWRecord* record) = 0;
  virtual bool removeRecord(DWORD gwRecId) = 0;
  virtual bool commitChanges() = 0;
  virtual bool putRelation(DWORD hhRecId, DWORD gwRecId) = 0;
  virtual bool removeRelation(DWORD gwRecId) = 0;
  virtual bool putRelationTimeStamp(LONG timeStamp) = 0;
  // The client library's last error: non-zero when the last call failed
  // (base: the session's COfficeSession::GetLastError).
  virtual DWORD clientError() const;

  // Fills the record set from the relation data and the records. False
  // after one report when the client fails. Throws CMemoryRunOut.
  bool initRecordSet();
  // The record-and-relation operations of the engine; false (or -1) after
  // one report when the client fails.
  bool addRecord(CGWRecord* record, DWORD hhRecId);
  bool modifyRecord(CGWRecord* record);
  bool removeRecordById(DWORD gwRecId);
  // Also marks the entry deleted.
  bool removeRecordEntry(CGWRecRel* entry);
  // Number removed, or -1.
  int deleteAllRecords();
  bool commit();
  bool addRelation(DWORD hhRecId, DWORD gwRecId);
  bool deleteRelation(DWORD gwRecId);
  // Number deleted, or -1.
  int deleteAllRelations();
  bool setRelationTimeStamp(LONG timeStamp);

  CGWRecRel* getFirstRecRel() { return m_RecordSet.getFirstRecRel(); }
  CGWRecRel* getNextRecRel() { return m_RecordSet.getNextRecRel(); }
  CGWRecRel* findRecRel(DWORD hhRecId) { return m_RecordSet.findByHHRecId(hhRecId); }
  CGWRecordSet& getRecordSet() { return m_RecordSet; }
  CGWSession& getSession() { return m_Session; }
  // True when the client library's last call failed.
  bool lastCallFailed() const { return clientFailed(); }

 protected:
  bool clientFailed() const { return clientError() != 0; }
  void report(const char* operation, const char* format, ...) __attribute__((format(printf, 3, 4)));

  CGWSession& m_Session;
  CGWRecordSet m_RecordSet;
};
