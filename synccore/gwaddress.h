// Address cards on the server: the data source over the client library's
// address connection and the records the engine and the address conduit's
// converter use.
//
//   CGWAddressRec r;
//   __ADDRESS_ITEM_VALUE* v = r.setItemCount(2);   // room for two values
//   v = r.setItemValue(v, lastName);                // copied; the next cursor
//   r.setItemValue(v, firstName);
#pragma once

#include <memory>

#include "synccore/gwdatasrcof.h"

// A card as the client library holds it; read-only (setters stop the
// process).
class SYNCCORE_API CGWAddressConstRec : public CGWRecord {
 public:
  explicit CGWAddressConstRec(const __ADDRESS_DATA* record = nullptr) : CGWRecord("CGWAddressConstRec", record) {}

  const __ADDRESS_DATA* data() const { return static_cast<const __ADDRESS_DATA*>(m_RecPtr); }
  // *values: the card's values (owned by the record, may be null); answers
  // their count.
  LONG getItemValues(const __ADDRESS_ITEM_VALUE** values) const;
  const char* getCategory() const override { return data() ? data()->pszCategory : nullptr; }

  // Copies count values, each with its own copy of its item definition.
  virtual void setItemValues(const __ADDRESS_ITEM_VALUE* values, LONG count);
  // Makes room for count empty values; answers a cursor on the first (null
  // for 0). Fill with setItemValue.
  virtual __ADDRESS_ITEM_VALUE* setItemCount(LONG count);
  // Copies value (definition and text) at cursor; answers the next cursor.
  virtual __ADDRESS_ITEM_VALUE* setItemValue(__ADDRESS_ITEM_VALUE* cursor, const __ADDRESS_ITEM_VALUE& value);
  // Copied into the record's own 256 bytes, cut to fit (null: none).
  virtual void setCategory(const char* category);

  // "last first": the values of items -2 and -1.
  char* getRecIdStr(char* buffer, int length) const override;
  void trace() const override;

 protected:
  CGWAddressConstRec(const char* className, const __ADDRESS_DATA* record) : CGWRecord(className, record) {}
};

// A card of our own, owning its structure, values, definitions and texts.
// Copies throw CMemoryRunOut("CGWAddressRec", "allocItemValues" or
// "copyItemValue", what failed) and leave the card as it was.
class SYNCCORE_API CGWAddressRec : public CGWAddressConstRec {
 public:
  CGWAddressRec();
  ~CGWAddressRec() override;
  CGWAddressRec(const CGWAddressRec&) = delete;
  CGWAddressRec& operator=(const CGWAddressRec&) = delete;

  void setItemValues(const __ADDRESS_ITEM_VALUE* values, LONG count) override;
  __ADDRESS_ITEM_VALUE* setItemCount(LONG count) override;
  __ADDRESS_ITEM_VALUE* setItemValue(__ADDRESS_ITEM_VALUE* cursor, const __ADDRESS_ITEM_VALUE& value) override;
  void setCategory(const char* category) override;
  void setRecordId(DWORD recId) override { m_Data.nID = recId; }
  // Copies every field of another card; a failed copy leaves this card as
  // it was.
  void assign(const CGWRecord& other) override;

 private:
  // The values m_Data.pValues points at, each owning its copy of its item
  // definition (pItem) and both texts. Moving keeps them where they are.
  class CValues {
   public:
    CValues() = default;
    // count values (none for 0 or less) with zeroed definitions; throws
    // CMemoryRunOut("CGWAddressRec", "allocItemValues", ...).
    explicit CValues(LONG count);
    ~CValues();
    CValues(CValues&& other) noexcept;
    CValues& operator=(CValues&& other) noexcept;

    __ADDRESS_ITEM_VALUE* get() const { return m_Values.get(); }
    LONG count() const { return m_Count; }
    // Value i takes value's definition and copies of its name and text; a
    // failed copy throws CMemoryRunOut("CGWAddressRec", "copyItemValue",
    // ...) and leaves value i as it was.
    void copyInto(LONG i, const __ADDRESS_ITEM_VALUE& value);

   private:
    std::unique_ptr<__ADDRESS_ITEM_VALUE[]> m_Values;
    LONG m_Count = 0;
  };

  // A copy of count values (none for a null array).
  static CValues copyValues(const __ADDRESS_ITEM_VALUE* values, LONG count);
  void adoptValues(CValues values);

  __ADDRESS_DATA m_Data;
  char m_Category[256];
  CValues m_Values;
};

class SYNCCORE_API CGWAddressRecRel : public CGWRecRelOf<CGWAddressRecRel, CGWAddressConstRec> {
 public:
  static constexpr char kClassName[] = "CGWAddressRecRel";
};

class SYNCCORE_API CGWAddressDataSrc;
extern template class CGWRecRelOf<CGWAddressRecRel, CGWAddressConstRec>;
extern template class CGWDataSrcOf<CGWAddressDataSrc, CAddressConnection, CGWAddressRecRel, CGWAddressRec>;
extern template class CGWKeyedDataSrcOf<CGWAddressDataSrc, CAddressConnection, CGWAddressRecRel, CGWAddressRec>;

class SYNCCORE_API CGWAddressDataSrc
    : public CGWKeyedDataSrcOf<CGWAddressDataSrc, CAddressConnection, CGWAddressRecRel, CGWAddressRec> {
 public:
  static constexpr char kClassName[] = "CGWAddressDataSrc";
  static constexpr char kAllocRecord[] = "Alloc CGWAddressRec";

  explicit CGWAddressDataSrc(CGWSession& session);
  ~CGWAddressDataSrc() override;

  // Loads the item definitions (cards are matched to them when read). False
  // after one server-error report when they cannot be read.
  bool prepare() override;
  // The address sync mode.
  DWORD getSyncSetting(const __SYNC5_SET* set) override { return set->nAddressMode; }
};
