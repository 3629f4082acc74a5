// The handheld side of a conduit's sync run, over the Sync Manager: the
// records as the handheld stores them, the set they are read into, the
// handheld's category list, the last sync time kept on the handheld, and the
// data source that the engine drives.
//
//   CPalmCategoryList categories;
//   CPalmRecordSet records(sizeof(CAddressRecord), placeAddressRecord);
//   SyncTimeStore times(1);                       // this conduit's GWSyncDB slot
//   CPalmLSDataSrc hh(&categories, &records, &times, "AddressDB", 0, 'addr');
//   CSyncCore core(hh, gw, true);
//
// Everything here lives for one run on the stack of OpenConduit and is used
// from its thread only. Numbers inside records and blocks are big-endian.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "conduits/common/syncmgr.h"
#include "synccore/hhdatasrc.h"
#include "synccore/objbuf.h"

// Flags of a CPalmRecord.
enum : BYTE {
  PALMREC_DELETED = 0x01,
  PALMREC_MODIFIED = 0x02,
  PALMREC_PRIVATE = 0x04,
  PALMREC_ARCHIVED = 0x08,
  PALMREC_IN_CHANGED_CATEGORY = 0x10,  // read because its category was changed
};

constexpr DWORD kPalmSharedBufferSize = 65534;  // also the size of every read buffer

// A request to read one record of the open database `handle` into buffer,
// which holds kPalmSharedBufferSize bytes.
inline CRawRecordInfo recordReadInfo(BYTE handle, BYTE* buffer) {
  CRawRecordInfo info{};
  info.m_FileHandle = handle;
  info.m_TotalBytes = static_cast<WORD>(kPalmSharedBufferSize);
  info.m_pBytes = buffer;
  return info;
}
constexpr int kPalmCategoryCount = 16;
constexpr DWORD kPalmCategoryBlockSize = 276;
constexpr DWORD kPalmAppInfoSize = 4096;

// One handheld record. Each application derives its record class and
// overrides the conversions; the base converts nothing.
class CPalmRecord : public CHHRecord {
 public:
  // sharedBuffer (may be null): a buffer of kPalmSharedBufferSize bytes that
  // the record writes into instead of owning one; it must outlive the record.
  explicit CPalmRecord(BYTE* sharedBuffer = nullptr);
  ~CPalmRecord() override;
  // Throws CMemoryRunOut ("CPalmRecord", "Copy Constructor" / "operator=",
  // "Alloc for Raw data").
  CPalmRecord(const CPalmRecord& other);
  CPalmRecord& operator=(const CPalmRecord& other);

  // Ids, indices, flags and data of other (a CPalmRecord).
  void assign(const CHHRecord& other) override;
  int getStatus() const override;
  DWORD getRecordId() const override { return m_RecId; }
  void setRecordId(DWORD recId) override { m_RecId = recId; }
  bool acceptForGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* related, DWORD* msgCode) override;
  bool convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) override;
  bool acceptFromGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* record, DWORD* msgCode) override;
  bool convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing, const CGWRecord* source) override;
  // The base gives an empty text.
  char* getRecIdStr(char* buffer, int length) const override;
  // "Id:0x%x RIdx:%d CIdx:%d Attrib:0x%02x Size:%d", and above level 9 a hex
  // dump of at most 32 bytes.
  void trace() const override;
  int getSize() const override { return sizeof(CPalmRecord); }

  // Copies size bytes in (copyRawData). A record on the shared buffer cuts
  // the data to the buffer (traced at level 1); one with its own buffer
  // grows it to exactly size. Throws CMemoryRunOut ("CPalmRecord",
  // "setRawData", "Alloc for Palm rec raw data").
  void setRawData(const BYTE* data, DWORD size);
  // The record's trace line into buffer (always terminated); answers buffer.
  char* describe(char* buffer, int length) const;

  const BYTE* data() const { return m_Data; }
  DWORD dataSize() const { return m_DataSize; }
  // For conversions that build the data in place: the buffer, its size, and
  // the size of what was built.
  BYTE* buffer() { return m_Data; }
  DWORD bufferSize() const { return m_BufSize; }
  void setDataSize(DWORD size) { m_DataSize = size; }

  DWORD m_RecId;  // 0: not yet on the handheld
  WORD m_RecIndex;
  WORD m_CatIndex;  // 0..15
  BYTE m_Flags;     // PALMREC_...

 protected:
  friend class CPalmRecordSet;
  CPalmRecord* m_HashNext;  // the next record of its bucket in the set
  bool m_SharedBuf;
  DWORD m_BufSize;
  DWORD m_DataSize;
  BYTE* m_Data;
};

// Places a record of the application's class in memory of the record set's
// pool (size: the class's size) and answers it.
typedef CPalmRecord* (*PalmRecordPlacer)(void* memory, BYTE* sharedBuffer);

// The records read in one run, hashed by record id into 101 buckets to
// begin with; the buckets double (and one) whenever they hold more than two
// records each, outside a walk, so a find stays as cheap at 50,000 records
// as at 100. A walk runs bucket by bucket.
class CPalmRecordSet : public CHHRecordSet {
 public:
  static constexpr int kBuckets = 101;
  // recordSize: the application's record class size; place builds one.
  // Throws CMemoryRunOut when the pool's first blocks cannot be had.
  CPalmRecordSet(WORD recordSize, PalmRecordPlacer place);
  ~CPalmRecordSet() override;
  CPalmRecordSet(const CPalmRecordSet&) = delete;
  CPalmRecordSet& operator=(const CPalmRecordSet&) = delete;

  CHHRecord* getFirst() override;
  CHHRecord* getNext() override;
  CHHRecord* find(DWORD recId) override;
  // NEWREC_TO_WRITE records write into the one shared buffer; NEWREC_SCRATCH ones own theirs.
  CHHRecord* newRecord(int kind) override;
  void releaseRecord(CHHRecord* record) override;

  // Empties the set (every record back to the pool).
  void init();
  // Adds a record from newRecord(NEWREC_SCRATCH), keyed by its id.
  void add(CPalmRecord* record);
  // Traces the end of reading with the count.
  void traceRead() const;
  int count() const { return m_NRecords; }

 private:
  CPalmRecord* scanFrom(int bucket);
  void destroy(CPalmRecord* record);
  void unlink(CPalmRecord* record);
  CPalmRecord*& bucketOf(DWORD recId) { return m_Buckets[recId % m_Buckets.size()]; }
  void growIfCrowded();

  ObjBuf m_Pool;
  PalmRecordPlacer m_Place;
  std::unique_ptr<BYTE[]> m_SharedBuf;
  std::vector<CPalmRecord*> m_Buckets;
  int m_CurBucket;
  CPalmRecord* m_Next;
  bool m_Walking = false;  // between getFirst and the getNext that ends the walk
  int m_NRecords;
};

// One entry of the handheld's category list; index fixed to its position.
class CPalmCategory : public CHHCategory {
 public:
  const char* getName() const override { return m_Name; }
  // Index and id set and the name not empty.
  bool isValid() const { return m_Index != -1 && m_UniqueId != -1 && m_Name[0] != '\0'; }

  short m_Index = -1;
  short m_UniqueId = -1;
  char m_Name[16] = {};
  bool m_Changed = false;
};

class CPalmCategoryList : public CHHCategoryList {
 public:
  CPalmCategoryList();
  // Compares with name converted to the handheld form (15 bytes at most);
  // an entry with an empty name never matches. Traces a miss.
  const CHHCategory* find(const char* name) const override;
  // The first free entry gets the name and the lowest id in 128..143 that no
  // valid entry uses; null (traced) when all 16 are taken.
  CHHCategory* add(const char* name) override;
  // The index of that name (as find), or -1.
  int indexOf(const char* name) const;
  CPalmCategory& at(int index) { return m_Entries[index]; }
  const CPalmCategory& at(int index) const { return m_Entries[index]; }

  // Every entry unused; nothing changed.
  void clear();
  // Fills the list from a category block of at least kPalmCategoryBlockSize bytes.
  void fromBlock(const BYTE* block);
  // Writes the kPalmCategoryBlockSize-byte block (renamed flags cleared).
  void toBlock(BYTE* block) const;
  // The level-10 dump, four entries to a line.
  void trace() const;

  bool m_Changed;
  BYTE m_LastUniqueId;

 private:
  CPalmCategory m_Entries[kPalmCategoryCount];
};

// The last sync times kept on the handheld: the first record of "GWSyncDB",
// five big-endian u32 slots, one per conduit.
class SyncTimeStore {
 public:
  static constexpr int kSlots = 5;
  explicit SyncTimeStore(int slot);
  // Reads the record; a missing database gives all zeros. False (after a
  // message) when the database cannot be read.
  bool read();
  // Writes the record back when a slot changed; false after a message.
  bool write();
  DWORD get() const { return m_Times[m_Slot]; }
  void set(DWORD time);
  DWORD slotValue(int slot) const { return m_Times[slot]; }
  int slot() const { return m_Slot; }

 private:
  int m_Slot;
  DWORD m_Times[kSlots];
  DWORD m_RecId;
  bool m_Changed;
};

// The handheld data source of one run. The category list, record set and
// time store belong to the caller and must outlive it.
class CPalmLSDataSrc : public CHHDataSrc {
 public:
  CPalmLSDataSrc(CPalmCategoryList* categories, CPalmRecordSet* records, SyncTimeStore* times, const char* dbName,
                 int cardNo, DWORD creator);
  ~CPalmLSDataSrc() override;

  bool openDB() override;
  bool closeDB() override;
  bool isFirstSync(LONG relationTimeStamp) override;
  void notifyNoSync() override {}
  bool readCategories() override;
  int writeCategories(CHHRecOpResult** result) override;
  void beginPass(int) override {}
  void endPass(int) override {}
  bool readRecords(CGWDataSrc* gw, bool all) override;
  bool getFirstRecordToSync(CHHRecord** record) override;
  bool getNextRecordToSync(CHHRecord** record) override;
  int updateRecord(CHHRecord* record, CHHRecOpResult** result) override;
  int addRecord(CHHRecord* record, CHHRecOpResult** result) override;
  int deleteRecord(DWORD recId, CHHRecOpResult** result) override;
  bool deleteAllRecord() override;
  int completeRecordOps(CHHRecOpResult** result) override;
  bool cleanupSyncRecords(int count) override;
  bool setLastSyncTime(DWORD time) override;
  void addLogEntry(int type, const char* text) override;
  // The pairing note is GWSyncPairDB on the handheld: records of 8-byte
  // pairs (handheld id, server id), one record per reservation, in the
  // category of the conduit's GWSyncDB slot. Each pair is written before its
  // add, so a killed run leaves every add it made in the note. A record in category slot + 8
  // marks a first sync that has begun; it is cleared at closeDB, after the
  // sync time is written.
  bool reservePairings(const std::vector<DWORD>& gwRecIds, std::vector<DWORD>& hhRecIds) override;
  bool readPairings(std::vector<HHPairing>& pairs) override;
  bool clearPairings() override;
  bool noteFirstSyncBegun() override;
  bool readFirstSyncNote(bool* begun) override;
  bool clearFirstSyncNote() override;
  // SyncFlushDBs, when the Sync Manager has it.
  bool makeDurable() override;

  CPalmCategoryList* palmCategories() const { return static_cast<CPalmCategoryList*>(m_Categories); }
  CPalmRecordSet* palmRecords() const { return static_cast<CPalmRecordSet*>(m_Records); }
  BYTE handle() const { return m_Handle; }
  DWORD creator() const { return m_Creator; }
  DWORD lastSyncTime() const { return m_LastSyncTime; }

 protected:
  // Whether a record read from the database is the conduit's to sync (gw,
  // may be null: the server side, whose relations name the records synced
  // before). Every record is, unless a conduit keeps to a part of its
  // database: then a changed record it does not own is not read, and one of
  // a changed server record reaches the engine as deleted on the handheld,
  // so the engine never writes over it.
  virtual bool ownsRecord(const CRawRecordInfo& info, CGWDataSrc* gw);
  // Reads one record into a new record of the set (flags from the raw
  // attributes). False after a message on a memory failure.
  bool addRawRecord(const CRawRecordInfo& info, BYTE extraFlags);
  int writePalmRecord(CPalmRecord* record, DWORD op, CHHRecOpResult** result);
  int readAllRecords();
  // Reads every record of the database by index, in order, and hands each to
  // visit; false after a message, or as soon as visit answers false.
  bool forEachRecord(const std::function<bool(const CRawRecordInfo&)>& visit);
  // Walks, from the start of the database, the records the handheld marks
  // changed (catIndex < 0) or those of category catIndex, and hands each to
  // visit. False after a message, or as soon as visit answers false.
  bool forEachNextRecord(int catIndex, const std::function<bool(CRawRecordInfo&)>& visit);
  // Reads each record of ids by id and hands it to visit; one the handheld
  // no longer holds is passed over. False after a message, or as soon as
  // visit answers false.
  bool forEachRecordById(const std::vector<DWORD>& ids, const std::function<bool(CRawRecordInfo&)>& visit);
  // Writes a record back as it was read, without its dirty and busy marks;
  // false after a message.
  bool writeBackClean(CRawRecordInfo& info);
  // Deletes a record of the database by id; one gone already is no failure.
  // False after a message.
  bool deleteRawRecord(DWORD recId);
  int readAllRecordsInCategory(int catIndex);
  // The live records of one category, extraFlags added (to the flags of a
  // record read already, which stays once in the set). The number added, or
  // -1 after a message.
  int readCategoryRecords(int catIndex, BYTE extraFlags);
  // The changed records the conduit owns; the number, or -1 after a message.
  int readModifiedRecords(CGWDataSrc* gw);
  bool readRecordsForModifiedGWRecs(CGWDataSrc* gw);
  // Opens the pairing note for reading and writing; creates it when create is
  // set. *found false (and true returned) when it does not exist.
  bool openPairingNote(bool create, bool* found);
  void closePairingNote();
  // The note's records: one written in a category (the note is created when
  // missing), the read position set back to the first, the next of a
  // category read into buffer (*got false past the last), and a category
  // purged. Each is false after a trace line when the Sync Manager fails.
  bool writeNoteRecord(int category, const BYTE* data, DWORD size);
  bool rewindNote();
  bool nextNoteRecord(int category, BYTE* buffer, CRawRecordInfo* info, bool* got);
  bool purgeNoteCategory(int category);
  // Whether the conduit's database has a record of that id, in any state.
  bool recordExists(DWORD recId, bool* exists);

  const char* m_DbName;
  int m_CardNo;
  DWORD m_LastSyncTime;
  WORD m_CatDirtyFlags;
  SyncTimeStore* m_Times;
  BYTE m_Handle;
  bool m_Open;
  DWORD m_Creator;
  BYTE m_AppInfo[kPalmAppInfoSize];
  DWORD m_AppInfoSize;
  CHHRecOpResultItem m_ResultItem;
  CHHRecOpResult m_Result;
  BYTE m_NoteHandle;
  bool m_NoteOpen;
  bool m_NoteHasPairs;
  int m_FirstSyncMark;      // -1 not read yet, 0 none, 1 a first sync began
  bool m_ClearMarkOnClose;  // the first sync is done: clear the mark once its time is kept
  DWORD m_NextCandidateId;  // 0 until the first reservation
};

// Flags of a record from the Sync Manager's raw attributes, and back.
BYTE palmFlagsFromAttributes(BYTE attributes);
BYTE palmAttributesFromFlags(BYTE flags);
