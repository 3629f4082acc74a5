// What the five kinds of server data (address, mail, memo, schedule, to-do)
// share, written once over each kind's types: the record set's entry
// (CGWRecRelOf) and the data source over the kind's client connection
// (CGWDataSrcOf; CGWKeyedDataSrcOf adds writing records by handheld key and
// removing them by id, which every kind but mail does).
//
//   class SYNCCORE_API CGWMemoRecRel : public CGWRecRelOf<CGWMemoRecRel, CGWMemoConstRec> {
//    public:
//     static constexpr char kClassName[] = "CGWMemoRecRel";  // named in clone's CMemoryRunOut
//   };
//
// Each kind's class derives from its instance and keeps only what is its own.
// The member definitions are private to libsynccore, which instantiates every
// kind once; the kinds' headers declare those instances extern.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "synccore/gwdatasrc.h"

// A record set entry with the kind's read-only record embedded. Self: the
// kind's entry class (a constant kClassName). ConstRec: the kind's read-only
// record, whose data() gives the kind's record structure. (The structure is
// no template argument: a type without export visibility among the
// arguments would hide the instance from the library's users.)
template <class Self, class ConstRec>
class SYNCCORE_API CGWRecRelOf : public CGWRecRel {
 public:
  using RecordData = std::remove_cv_t<std::remove_pointer_t<decltype(std::declval<const ConstRec&>().data())>>;
  // CGWRecord reads the server record id and the time stamp as the
  // structure's first two 32-bit fields.
  static_assert(std::is_standard_layout_v<RecordData> && offsetof(RecordData, nID) == 0 &&
                    offsetof(RecordData, nTimeStamp) == sizeof(DWORD) && sizeof(LONG) == sizeof(DWORD),
                "a record structure must start with its id and time stamp");

  CGWRecRelOf() : CGWRecRel(&m_Rec) {}
  CGWRecRelOf(const CGWRecRelOf& other) : CGWRecRel(&m_Rec) { copyFrom(other); }
  // Refills the entry as the data source's current entry: marks 0, next
  // null, record not owned (null for a relation-only entry).
  void reset(DWORD attrib, DWORD gwRecId, DWORD hhRecId, const RecordData* record);
  // A Self placed in pool memory. Throws CMemoryRunOut(Self::kClassName,
  // "clone", "Placement new") when the pool gives none.
  CGWRecRel* clone(ObjBuf& pool) const override;
  int getSize() const override { return sizeof(Self); }

 private:
  ConstRec m_Rec;
};

// A kind's data source over its connection Conn. Self: the kind's class,
// with the constants kClassName and kAllocRecord (the texts of
// createRecord's CMemoryRunOut). RecRel: the kind's entry; Rec: its mutable
// record. Client failures answer false, -1 or null; the engine's wrappers
// report them.
template <class Self, class Conn, class RecRel, class Rec>
class SYNCCORE_API CGWDataSrcOf : public CGWDataSrc {
 public:
  using RecordData = typename RecRel::RecordData;

  // -1 after one server-error report when the client fails.
  int getRelationCount() override;
  LONG getRelationTimeStamp() override;
  // A new Rec, owned by the caller (destroyRecord). Throws CMemoryRunOut
  // (Self::kClassName, "createRecord", Self::kAllocRecord) instead of
  // answering null.
  CGWRecord* createRecord() override;
  void destroyRecord(CGWRecord* record) override;
  // The current entry (valid until the next find call), or null at the end.
  CGWRecRel* findFirst() override;
  CGWRecRel* findNext() override;
  CGWRecRel* findFirstRelation() override;
  CGWRecRel* findNextRelation() override;
  bool commitChanges() override;
  bool putRelation(DWORD hhRecId, DWORD gwRecId) override;
  bool removeRelation(DWORD gwRecId) override;
  bool putRelationTimeStamp(LONG timeStamp) override;

  Conn& connection() { return m_Conn; }

 protected:
  // session must be open for the data source's whole life.
  explicit CGWDataSrcOf(CGWSession& session);

  Conn m_Conn;
  RecRel m_Current;
};

// A data source whose records are written with their handheld key (0 for a
// change) and removed by server id.
template <class Self, class Conn, class RecRel, class Rec>
class SYNCCORE_API CGWKeyedDataSrcOf : public CGWDataSrcOf<Self, Conn, RecRel, Rec> {
 public:
  bool putNewRecord(CGWRecord* record, DWORD hhRecId) override;
  bool putRecord(CGWRecord* record) override;
  bool removeRecord(DWORD gwRecId) override;

 protected:
  using CGWDataSrcOf<Self, Conn, RecRel, Rec>::CGWDataSrcOf;
};
