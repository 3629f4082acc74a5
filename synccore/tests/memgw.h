// A server data source held in memory, for tests of the record set and the
// engine: records of a small test kind (id, stamp, name, category), relation
// pairs and a relation time stamp, with pending changes that reach the
// "server" only at commit, and failure switches per operation.
//
//   CGWSession session;
//   MemGWDataSrc gw(session);
//   gw.addServerRecord("Lunch", 100);            // id 1, stamp 100
//   gw.relate(1, 0x10);                          // server 1 <-> handheld 0x10
//   gw.failOn("putRelation", 1);                 // the next putRelation fails
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "synccore/gwdatasrc.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"

namespace testgw {

// A kill of the syncing process, shared by both in-memory sides: after
// `after` more operations of either side, every operation fails, as if the
// process had died there (nothing after that point takes effect).
struct Crash {
  int after = -1;  // -1: never
  int calls = 0;
  bool dead() { return after >= 0 && ++calls > after; }
};

// The test kind's record structure: id and stamp first, like every server
// record structure of the client library.
struct TEST_DATA {
  DWORD nID;
  DWORD nTimeStamp;
  char* pszName;
  char* pszCategory;
};

// Read-only record on a structure owned by the data source.
class ConstRec : public CGWRecord {
 public:
  explicit ConstRec(const TEST_DATA* d = nullptr) : CGWRecord("TestConstRec", d) {}
  const TEST_DATA* data() const { return static_cast<const TEST_DATA*>(m_RecPtr); }
  const char* getCategory() const override { return data() ? data()->pszCategory : nullptr; }
  char* getRecIdStr(char* buffer, int length) const override {
    copyDbcsText(buffer, data() ? data()->pszName : nullptr, length, DBCS_COPY, "...");
    return buffer;
  }
};

// Mutable record owning its structure and strings.
class Rec : public CGWRecord {
 public:
  Rec() : CGWRecord("TestRec", nullptr), m_Data{} { m_RecPtr = &m_Data; }
  ~Rec() override {
    delete[] m_Data.pszName;
    delete[] m_Data.pszCategory;
  }
  void setRecordId(DWORD id) override { m_Data.nID = id; }
  void setName(const char* s) { copy(m_Data.pszName, s); }
  void setCategory(const char* s) { copy(m_Data.pszCategory, s); }
  const char* getCategory() const override { return m_Data.pszCategory; }
  const char* name() const { return m_Data.pszName ? m_Data.pszName : ""; }
  char* getRecIdStr(char* buffer, int length) const override {
    copyDbcsText(buffer, m_Data.pszName, length, DBCS_COPY, "...");
    return buffer;
  }

 private:
  static void copy(char*& field, const char* s) {
    delete[] field;
    field = nullptr;
    if (!s) return;
    field = new char[std::strlen(s) + 1];
    std::strcpy(field, s);
  }
  TEST_DATA m_Data;
};

class RecRel : public CGWRecRel {
 public:
  RecRel() : CGWRecRel(&m_Rec) {}
  RecRel(const RecRel& other) : CGWRecRel(&m_Rec) { copyFrom(other); }
  // Refills the entry as a data source's current entry.
  void reset(DWORD attrib, DWORD gwId, DWORD hhId, const TEST_DATA* d) {
    m_Next = nullptr;
    m_Marks = 0;
    m_Attrib = attrib;
    m_GWRecId = gwId;
    m_HHRecId = hhId;
    m_Rec.setRecPtr(d);
  }
  CGWRecRel* clone(ObjBuf& pool) const override {
    void* p = pool.alloc();
    return new (p) RecRel(*this);
  }
  int getSize() const override { return sizeof(RecRel); }

 private:
  ConstRec m_Rec;
};

// One record as the "server" keeps it.
struct Stored {
  DWORD id = 0;
  DWORD stamp = 0;
  std::string name;
  std::string category;
};

class MemGWDataSrc : public CGWDataSrc {
 public:
  explicit MemGWDataSrc(CGWSession& session) : CGWDataSrc(session, sizeof(RecRel)) {}
  ~MemGWDataSrc() override {
    freeViews();
    freeViews();
  }

  // --- the "server" ---------------------------------------------------------
  DWORD addServerRecord(const std::string& name, DWORD stamp, const std::string& category = "") {
    DWORD id = m_NextId++;
    m_Records[id] = Stored{id, stamp, name, category};
    return id;
  }
  void changeServerRecord(DWORD id, const std::string& name, DWORD stamp) {
    m_Records[id].name = name;
    m_Records[id].stamp = stamp;
  }
  void removeServerRecord(DWORD id) { m_Records.erase(id); }
  void relate(DWORD gwId, DWORD hhId) { m_Relations.push_back({gwId, hhId}); }
  void setRelationStamp(LONG t) { m_RelStamp = t; }
  void setClock(LONG t) { m_Clock = t; }
  const std::map<DWORD, Stored>& records() const { return m_Records; }
  const std::vector<__REL_DATA>& relations() const { return m_Relations; }
  LONG relationStamp() const { return m_RelStamp; }
  void setSetting(DWORD w) { m_Setting = w; }
  // A new run opens a new connection: changes never committed are gone.
  void newRun() { m_Pending.clear(); }

  // After `after` more calls of op succeed, the next `count` calls fail (op:
  // "putNewRecord", "putRecord", "removeRecord", "commitChanges",
  // "putRelation", "removeRelation", "putRelationTimeStamp", "findFirst",
  // "findFirstRelation"; "commitReply": a commit applied, then failing).
  void failOn(const std::string& op, int count = 1, int after = 0) { m_Fail[op] = {after, count}; }
  std::map<std::string, int> calls;
  Crash* crash = nullptr;

  // --- CGWDataSrc -----------------------------------------------------------
  int getRelationCount() override { return static_cast<int>(m_Relations.size()); }
  LONG getRelationTimeStamp() override { return m_RelStamp; }
  DWORD getSyncSetting(const __SYNC5_SET*) override { return m_Setting; }
  CGWRecord* createRecord() override { return new Rec; }
  void destroyRecord(CGWRecord* r) override { delete r; }
  CGWRecRel* findFirst() override {
    if (failing("findFirst")) return nullptr;
    freeViews();
    for (const auto& [id, s] : m_Records) m_Views.push_back(view(s));
    m_Pos = 0;
    return findNext();
  }
  CGWRecRel* findNext() override {
    if (m_Pos >= m_Views.size()) return nullptr;
    const TEST_DATA* d = m_Views[m_Pos++];
    m_Current.reset(0, d->nID, 0, d);
    return &m_Current;
  }
  CGWRecRel* findFirstRelation() override {
    if (failing("findFirstRelation")) return nullptr;
    m_RelSnapshot = m_Relations;
    m_RelPos = 0;
    return findNextRelation();
  }
  CGWRecRel* findNextRelation() override {
    if (m_RelPos >= m_RelSnapshot.size()) return nullptr;
    const __REL_DATA& r = m_RelSnapshot[m_RelPos++];
    m_Current.reset(GWATTR_RELATION, r.nServerID, r.nHandheldID, nullptr);
    return &m_Current;
  }
  bool putNewRecord(CGWRecord* record, DWORD hhRecId) override {
    if (failing("putNewRecord")) return false;
    auto* rec = static_cast<Rec*>(record);
    m_Pending.push_back([this, name = std::string(rec->name()),
                         cat = std::string(rec->getCategory() ? rec->getCategory() : ""), hhRecId] {
      DWORD id = addServerRecord(name, static_cast<DWORD>(m_Clock), cat);
      m_Relations.push_back({id, hhRecId});
    });
    return true;
  }
  bool putRecord(CGWRecord* record) override {
    if (failing("putRecord")) return false;
    auto* rec = static_cast<Rec*>(record);
    DWORD id = rec->getRecordId();
    if (!m_Records.count(id)) return false;
    m_Pending.push_back([this, id, name = std::string(rec->name())] {
      if (m_Records.count(id)) changeServerRecord(id, name, static_cast<DWORD>(m_Clock));
    });
    return true;
  }
  bool removeRecord(DWORD id) override {
    if (failing("removeRecord")) return false;
    m_Pending.push_back([this, id] { m_Records.erase(id); });
    return true;
  }
  bool commitChanges() override {
    if (failing("commitChanges")) {
      m_Pending.clear();  // a failed commit changes nothing
      return false;
    }
    for (auto& change : m_Pending) change();
    m_Pending.clear();
    // The commit was applied but its reply was lost on the way back.
    return !failing("commitReply");
  }
  bool putRelation(DWORD hhRecId, DWORD gwRecId) override {
    if (failing("putRelation")) return false;
    // One relation per server record, as the client library keeps them.
    m_Pending.push_back([this, hhRecId, gwRecId] {
      std::erase_if(m_Relations, [gwRecId](const __REL_DATA& r) { return r.nServerID == gwRecId; });
      m_Relations.push_back({gwRecId, hhRecId});
    });
    return true;
  }
  bool removeRelation(DWORD gwRecId) override {
    if (failing("removeRelation")) return false;
    m_Pending.push_back([this, gwRecId] {
      std::erase_if(m_Relations, [gwRecId](const __REL_DATA& r) { return r.nServerID == gwRecId; });
    });
    return true;
  }
  bool putRelationTimeStamp(LONG t) override {
    if (failing("putRelationTimeStamp")) return false;
    m_Pending.push_back([this, t] { m_RelStamp = t == -1 ? m_Clock : t; });
    return true;
  }
  DWORD clientError() const override { return m_Error; }

 protected:
  bool failing(const std::string& op) {
    ++calls[op];
    m_Error = 0;
    if (crash && crash->dead()) {
      m_Error = GWERR_SERVER_OTHER;
      return true;
    }
    auto it = m_Fail.find(op);
    if (it == m_Fail.end()) return false;
    auto& [after, count] = it->second;
    if (after > 0) {
      --after;
      return false;
    }
    if (count <= 0) return false;
    --count;
    m_Error = GWERR_SERVER_OTHER;
    return true;
  }

 private:
  const TEST_DATA* view(const Stored& s) {
    auto* d = new TEST_DATA{s.id, s.stamp, dup(s.name), dup(s.category)};
    return d;
  }
  static char* dup(const std::string& s) {
    char* p = new char[s.size() + 1];
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
  }
  // Views stay valid until the next findFirst, like the client library's
  // page buffers; the record set's entries point into them.
  void freeViews() {
    for (const TEST_DATA* d : m_Old) {
      delete[] d->pszName;
      delete[] d->pszCategory;
      delete d;
    }
    m_Old = m_Views;
    m_Views.clear();
  }

  std::map<DWORD, Stored> m_Records;
  std::vector<__REL_DATA> m_Relations;
  std::vector<__REL_DATA> m_RelSnapshot;
  std::vector<std::function<void()>> m_Pending;
  std::vector<const TEST_DATA*> m_Views, m_Old;
  std::map<std::string, std::pair<int, int>> m_Fail;  // op -> (calls to let through, calls to fail)
  size_t m_Pos = 0, m_RelPos = 0;
  RecRel m_Current;
  DWORD m_NextId = 1;
  LONG m_RelStamp = 0;
  LONG m_Clock = 1000;
  DWORD m_Error = 0;

 protected:
  DWORD m_Setting = 3;
};

}  // namespace testgw
