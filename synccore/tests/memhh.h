// A handheld data source held in memory, for tests of the model and the
// engine: records with a name and category, changed and deleted marks, a
// category list of limited size, a last sync time, and writes that complete
// at once (answer 2), with failure switches per operation.
//
//   MemHH hh;
//   DWORD id = hh.addRecord("Lunch");          // a new (changed) record
//   hh.markClean();                            // as after a completed sync
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "synccore/gwmemo.h"
#include "synccore/helpers.h"
#include "synccore/hhdatasrc.h"
#include "synccore/tests/memgw.h"

namespace testhh {

class Category : public CHHCategory {
 public:
  explicit Category(std::string name) : m_Name(std::move(name)) {}
  const char* getName() const override { return m_Name.c_str(); }

 private:
  std::string m_Name;
};

class CategoryList : public CHHCategoryList {
 public:
  explicit CategoryList(size_t capacity = 15) : m_Capacity(capacity) {}
  const CHHCategory* find(const char* name) const override {
    for (const auto& c : m_List)
      if (std::strcmp(c->getName(), name) == 0) return c.get();
    return nullptr;
  }
  CHHCategory* add(const char* name) override {
    if (m_List.size() >= m_Capacity) return nullptr;
    m_List.push_back(std::make_unique<Category>(name));
    return m_List.back().get();
  }
  size_t size() const { return m_List.size(); }

 private:
  size_t m_Capacity;
  std::vector<std::unique_ptr<Category>> m_List;
};

// One handheld record as the store keeps it.
struct Stored {
  DWORD id = 0;
  std::string name;
  std::string category;
  bool dirty = false;
  bool deleted = false;
  std::string body;  // a second text, for kinds that carry one (memo body, mail body)
};

// How records cross to and from a real server kind (the records of
// gwmemo.h and the others); without one, the test kind of memgw.h is used.
struct Conversion {
  virtual ~Conversion() = default;
  virtual bool toGW(const Stored& s, CGWRecord* target) const = 0;
  virtual bool fromGW(const CGWRecord* source, Stored& s) const = 0;
  // The filter of records coming from the server; *code is the message.
  virtual bool accept(const CGWRecord*, DWORD* code) const {
    *code = 0;
    return true;
  }
};

class Record : public CHHRecord {
 public:
  Stored s;
  int status = HHSTAT_UNCHANGED;
  bool failConvert = false;  // convertHH2GW answers false
  bool outboxOnly = false;   // only changed records go to the server (mail)
  const Conversion* conv = nullptr;

  void assign(const CHHRecord& other) override { s = static_cast<const Record&>(other).s; }
  int getStatus() const override { return status; }
  DWORD getRecordId() const override { return s.id; }
  void setRecordId(DWORD id) override { s.id = id; }
  bool acceptForGW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, DWORD* code) override {
    *code = 0;
    return !outboxOnly || s.dirty;
  }
  bool convertHH2GW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, CGWRecord* target) override {
    if (failConvert) return false;
    if (conv) return conv->toGW(s, target);
    auto* r = static_cast<testgw::Rec*>(target);
    r->setName(s.name.c_str());
    r->setCategory(s.category.empty() ? nullptr : s.category.c_str());
    return true;
  }
  // The filter: server records whose name starts with "x-" stay off the
  // handheld (message 0x40000099 for the test).
  bool acceptFromGW(CHHDataSrc*, CGWDataSrc*, const CGWRecord* record, DWORD* code) override {
    if (conv) return conv->accept(record, code);
    auto* d = static_cast<const testgw::TEST_DATA*>(record->getRecPtr());
    bool ok = !(d && d->pszName && std::strncmp(d->pszName, "x-", 2) == 0);
    *code = ok ? 0 : 0x40000099;
    return ok;
  }
  bool convertGW2HH(CHHDataSrc*, CGWDataSrc*, const CHHRecord*, const CGWRecord* source) override {
    if (conv) return conv->fromGW(source, s);
    auto* d = static_cast<const testgw::TEST_DATA*>(source->getRecPtr());
    if (!d || (d->pszName && std::strcmp(d->pszName, "unconvertible") == 0)) return false;
    s.name = d->pszName ? d->pszName : "";
    s.category = d->pszCategory ? d->pszCategory : "";
    return true;
  }
  char* getRecIdStr(char* buffer, int length) const override {
    copyDbcsText(buffer, s.name.c_str(), length, DBCS_COPY, "...");
    return buffer;
  }
  void trace() const override {}
  int getSize() const override { return sizeof(Record); }
};

class RecordSet : public CHHRecordSet {
 public:
  CHHRecord* getFirst() override {
    m_Pos = 0;
    return getNext();
  }
  CHHRecord* getNext() override { return m_Pos < m_Read.size() ? m_Read[m_Pos++].get() : nullptr; }
  CHHRecord* find(DWORD id) override {
    for (auto& r : m_Read)
      if (r->s.id == id) return r.get();
    return nullptr;
  }
  CHHRecord* newRecord(int) override {
    m_New.push_back(std::make_unique<Record>());
    m_New.back()->conv = conv;
    return m_New.back().get();
  }
  void releaseRecord(CHHRecord* r) override {
    std::erase_if(m_New, [r](const std::unique_ptr<Record>& p) { return p.get() == r; });
  }
  void clearRead() { m_Read.clear(); }
  void addRead(std::unique_ptr<Record> r) { m_Read.push_back(std::move(r)); }
  size_t outstanding() const { return m_New.size(); }
  const Conversion* conv = nullptr;  // given to every record read or made

 private:
  std::vector<std::unique_ptr<Record>> m_Read;
  std::vector<std::unique_ptr<Record>> m_New;
  size_t m_Pos = 0;
};

// Handheld name <-> memo subject, body <-> memo text.
struct MemoConversion : Conversion {
  bool toGW(const Stored& s, CGWRecord* target) const override {
    auto* r = static_cast<CGWMemoRec*>(target);
    r->setSubject(s.name.c_str());
    r->setData(s.body.c_str());
    return true;
  }
  bool fromGW(const CGWRecord* source, Stored& s) const override {
    auto* r = static_cast<const CGWMemoConstRec*>(source);
    s.name = r->getSubject() ? r->getSubject() : "";
    s.body = r->getData() ? r->getData() : "";
    return true;
  }
};

class MemHH : public CHHDataSrc {
 public:
  MemHH() : CHHDataSrc(&categories, &records), m_Result(4, m_Inline, 4) {}

  CategoryList categories;
  RecordSet records;
  std::map<DWORD, Stored> store;  // the handheld's database
  DWORD lastSyncTime = 0;
  std::vector<std::string> log;  // addLogEntry texts ("<signal>" for type 1)
  std::vector<int> cleanupCounts;
  std::map<std::string, int> fail;       // operation name -> answer HH_FAILED / false once
  std::map<std::string, int> failAfter;  // operation name -> calls that still succeed before fail
  std::map<std::string, int> calls;      // operation name -> calls so far
  bool dbOpen = false;
  testgw::Crash* crash = nullptr;
  // With keepsNote, the pairing note of the handheld: reservations choose the
  // new record's id.
  bool keepsNote = false;
  std::vector<HHPairing> note;
  bool firstSyncBegun = false;

  // The names of the records the database holds, deleted ones left out.
  std::multiset<std::string> liveNames() const {
    std::multiset<std::string> n;
    for (const auto& [id, s] : store)
      if (!s.deleted) n.insert(s.name);
    return n;
  }
  // The id of the first record of that name; 0 for none.
  DWORD idOf(const std::string& name) const {
    for (const auto& [id, s] : store)
      if (s.name == name) return id;
    return 0;
  }

  DWORD addRecord(const std::string& name, const std::string& category = "") {
    DWORD id = m_NextId++;
    store[id] = Stored{id, name, category, true, false, ""};
    return id;
  }
  void markClean() {
    for (auto& [id, s] : store) s.dirty = false;
  }

  bool openDB() override { return dbOpen = !failing("openDB"); }
  bool closeDB() override {
    dbOpen = false;
    return true;
  }
  bool isFirstSync(LONG) override { return lastSyncTime == 0; }
  WORD extraFlags = 0;  // added by determineHowToSync (SYNC_ONE_WAY for mail)
  WORD determineHowToSync(WORD flags) override { return flags | extraFlags; }
  void notifyNoSync() override { log.push_back("<no sync>"); }
  bool readCategories() override { return !failing("readCategories"); }
  int writeCategories(CHHRecOpResult** result) override {
    m_Result.clear();
    *result = &m_Result;
    if (failing("writeCategories")) return HH_FAILED;
    m_Result.push(HHOP_CATEGORIES, 1, 0);
    return HH_DONE;
  }
  void beginPass(int pass) override { passes.push_back(pass); }
  void endPass(int pass) override { passes.push_back(-pass); }
  std::vector<int> passes;  // beginPass n, endPass -n

  bool readRecords(CGWDataSrc*, bool all) override {
    if (failing("readRecords")) return false;
    records.clearRead();
    for (const auto& [id, s] : store) {
      if (!all && !s.dirty && !s.deleted) continue;
      auto r = std::make_unique<Record>();
      r->s = s;
      r->status = s.deleted ? HHSTAT_DELETED : (s.dirty || all ? HHSTAT_CHANGED : HHSTAT_UNCHANGED);
      r->failConvert = unconvertible.count(id) > 0;
      r->outboxOnly = mailOutbox;
      r->conv = records.conv;
      records.addRead(std::move(r));
    }
    return true;
  }
  std::map<DWORD, bool> unconvertible;
  bool mailOutbox = false;  // records read for mail: only changed ones are outgoing
  bool getFirstRecordToSync(CHHRecord** r) override {
    *r = records.getFirst();
    return true;
  }
  bool getNextRecordToSync(CHHRecord** r) override {
    *r = records.getNext();
    return true;
  }
  int updateRecord(CHHRecord* record, CHHRecOpResult** result) override {
    m_Result.clear();
    *result = &m_Result;
    if (failing("updateRecord")) return HH_FAILED;
    auto* r = static_cast<Record*>(record);
    Stored s = r->s;
    s.dirty = false;
    s.deleted = false;
    store[s.id] = s;
    m_Result.push(HHOP_MODIFY, 1, 0);
    return HH_DONE;
  }
  int addRecord(CHHRecord* record, CHHRecOpResult** result) override {
    m_Result.clear();
    *result = &m_Result;
    if (failing("addRecord")) return HH_FAILED;
    auto* r = static_cast<Record*>(record);
    Stored s = r->s;
    if (!keepsNote || s.id == 0) s.id = m_NextId++;
    s.dirty = false;
    store[s.id] = s;
    m_Result.push(HHOP_ADD, 1, s.id);
    return HH_DONE;
  }
  int deleteRecord(DWORD id, CHHRecOpResult** result) override {
    m_Result.clear();
    *result = &m_Result;
    if (failing("deleteRecord")) return HH_FAILED;
    store.erase(id);
    m_Result.push(HHOP_DELETE, 1, id);
    return HH_DONE;
  }
  bool deleteAllRecord() override {
    if (failing("deleteAllRecord")) return false;
    store.clear();
    return true;
  }
  int completeRecordOps(CHHRecOpResult** result) override {
    m_Result.clear();
    *result = &m_Result;
    return failing("completeRecordOps") ? HH_FAILED : HH_NOTHING;
  }
  bool cleanupSyncRecords(int count) override {
    cleanupCounts.push_back(count);
    if (failing("cleanupSyncRecords")) return false;
    for (auto it = store.begin(); it != store.end();) {
      if (it->second.deleted) {
        it = store.erase(it);
      } else {
        it->second.dirty = false;
        ++it;
      }
    }
    return true;
  }
  bool setLastSyncTime(DWORD t) override {
    if (failing("setLastSyncTime")) return false;
    if (t) lastSyncTime = t;
    return true;
  }
  void addLogEntry(int type, const char* text) override { log.push_back(type == 1 ? "<signal>" : (text ? text : "")); }
  bool reservePairings(const std::vector<DWORD>& gwRecIds, std::vector<DWORD>& hhRecIds) override {
    hhRecIds.assign(gwRecIds.size(), 0);
    if (!keepsNote) return true;
    if (failing("reservePairings")) return false;
    for (size_t i = 0; i < gwRecIds.size(); ++i) {
      hhRecIds[i] = m_NextId++;
      note.push_back({hhRecIds[i], gwRecIds[i]});
    }
    keepDurable();  // as a handheld on a disk must, before the adds
    return true;
  }
  bool readPairings(std::vector<HHPairing>& pairs) override {
    pairs.clear();
    if (failing("readPairings")) return false;
    for (const HHPairing& p : note)
      if (store.count(p.m_HHRecId)) pairs.push_back(p);
    return true;
  }
  bool noteFirstSyncBegun() override {
    if (!keepsNote) return true;
    if (failing("noteFirstSyncBegun")) return false;
    firstSyncBegun = true;
    return true;
  }
  bool readFirstSyncNote(bool* begun) override {
    *begun = keepsNote && firstSyncBegun;
    return true;
  }
  bool clearFirstSyncNote() override {
    if (!firstSyncBegun) return true;
    if (failing("clearFirstSyncNote")) return false;
    firstSyncBegun = false;
    return true;
  }
  bool clearPairings() override {
    if (note.empty()) return true;
    if (failing("clearPairings")) return false;
    note.clear();
    return true;
  }
  bool makeDurable() override {
    if (failing("makeDurable")) return false;
    keepDurable();
    return true;
  }

  // What the handheld's disk holds for sure: taken by makeDurable and by a
  // test once its set-up is written. powerLoss() goes back to it; with
  // keepRecords, the records written since survive and only the note and the
  // sync time are lost, as when the databases' sectors reach the disk in
  // another order than they were written.
  void keepDurable() { m_Durable = Durable{store, note, firstSyncBegun, lastSyncTime, m_NextId}; }
  void powerLoss(bool keepRecords = false) {
    if (!keepRecords) {
      store = m_Durable.store;
      m_NextId = m_Durable.nextId;
    }
    note = m_Durable.note;
    firstSyncBegun = m_Durable.firstSyncBegun;
    lastSyncTime = m_Durable.lastSyncTime;
  }

 private:
  bool failing(const std::string& op) {
    ++calls[op];
    if (crash && crash->dead()) return true;
    if (auto a = failAfter.find(op); a != failAfter.end() && a->second > 0) {
      --a->second;
      return false;
    }
    auto it = fail.find(op);
    if (it == fail.end() || it->second <= 0) return false;
    --it->second;
    return true;
  }
  struct Durable {
    std::map<DWORD, Stored> store;
    std::vector<HHPairing> note;
    bool firstSyncBegun = false;
    DWORD lastSyncTime = 0;
    DWORD nextId = 0x100;
  } m_Durable;
  CHHRecOpResultItem m_Inline[4];
  CHHRecOpResult m_Result;
  DWORD m_NextId = 0x100;
};

}  // namespace testhh
