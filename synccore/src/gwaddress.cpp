// Address card records and the address data source.
#include "synccore/gwaddress.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "log/log.h"
#include "synccore/gwowned.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"
#include "synccore/src/gwrecutil.h"

LONG CGWAddressConstRec::getItemValues(const __ADDRESS_ITEM_VALUE** values) const {
  *values = data() ? data()->pValues : nullptr;
  return data() && data()->pValues ? data()->nItemCount : 0;
}

void CGWAddressConstRec::setItemValues(const __ADDRESS_ITEM_VALUE*, LONG) { fatalStop(m_ClassName, "setItemValues"); }
__ADDRESS_ITEM_VALUE* CGWAddressConstRec::setItemCount(LONG) { fatalStop(m_ClassName, "setItemCount"); }
__ADDRESS_ITEM_VALUE* CGWAddressConstRec::setItemValue(__ADDRESS_ITEM_VALUE*, const __ADDRESS_ITEM_VALUE&) {
  fatalStop(m_ClassName, "setItemValue");
}
void CGWAddressConstRec::setCategory(const char*) { fatalStop(m_ClassName, "setCategory"); }

char* CGWAddressConstRec::getRecIdStr(char* buffer, int length) const {
  const char* last = "";
  const char* first = "";
  const __ADDRESS_ITEM_VALUE* v = nullptr;
  LONG n = getItemValues(&v);
  for (LONG i = 0; i < n && !(*last && *first); ++i) {
    if (!v[i].pItem) continue;
    const char* value = v[i].pszValue ? v[i].pszValue : "";
    if (v[i].pItem->nID == -2) last = value;
    if (v[i].pItem->nID == -1) first = value;
  }
  char text[256];
  std::snprintf(text, sizeof text, "%s %s", last, first);
  copyDbcsText(buffer, text, length, DBCS_COPY, "...");
  return buffer;
}

void CGWAddressConstRec::trace() const {
  if (!g_TraceObj.shouldTrace(10)) return;
  const __ADDRESS_DATA* d = data();
  if (!d) return;
  g_TraceObj.write(10, "*** Address *** nID:%d nTimeStamp:0x%lx nItemCount:%d\n", static_cast<int>(d->nID),
                   static_cast<unsigned long>(static_cast<DWORD>(d->nTimeStamp)), d->nItemCount);
  for (LONG i = 0; d->pValues && i < d->nItemCount; ++i) {
    const __ADDRESS_ITEM* item = d->pValues[i].pItem;
    g_TraceObj.write(10, "  nID:%d pszName:%db nType:%d bNecessary:%d bDisable:%d pszValue:%db\n", item ? item->nID : 0,
                     item ? gwrec::len(item->pszName) : 0, item ? item->nType : 0, item ? item->bNecessary : 0,
                     item ? item->bDisable : 0, gwrec::len(d->pValues[i].pszValue));
  }
}

namespace {

// What a value of our own cards owns: its item definition, which its pItem
// points at, and the item's name and the value's text.
struct COwnedValue {
  __ADDRESS_ITEM item;
  std::unique_ptr<char[]> name;
  std::unique_ptr<char[]> text;
};
// The owner is found again from pItem, the address of its first member.
static_assert(std::is_standard_layout_v<COwnedValue> && offsetof(COwnedValue, item) == 0,
              "a value's pItem must be the address of its owner");

COwnedValue* ownerOf(__ADDRESS_ITEM* item) { return reinterpret_cast<COwnedValue*>(item); }

}  // namespace

// Delegates to the default constructor so that a throw from the body still
// destroys the part already had.
CGWAddressRec::CValues::CValues(LONG count) : CValues() {
  if (count <= 0) return;
  m_Values.reset(new (std::nothrow) __ADDRESS_ITEM_VALUE[static_cast<size_t>(count)]());
  if (!m_Values) throw CMemoryRunOut("CGWAddressRec", "allocItemValues", "Alloc buffer of item list");
  m_Count = count;
  for (LONG i = 0; i < count; ++i) {
    auto* owner = new (std::nothrow) COwnedValue{};
    if (!owner) throw CMemoryRunOut("CGWAddressRec", "allocItemValues", "Alloc buffer of address item");
    m_Values[i].pItem = &owner->item;
  }
}

CGWAddressRec::CValues::~CValues() {
  for (LONG i = 0; m_Values && i < m_Count; ++i) delete ownerOf(m_Values[i].pItem);
}

CGWAddressRec::CValues::CValues(CValues&& other) noexcept
    : m_Values(std::move(other.m_Values)), m_Count(std::exchange(other.m_Count, 0)) {}

CGWAddressRec::CValues& CGWAddressRec::CValues::operator=(CValues&& other) noexcept {
  std::swap(m_Values, other.m_Values);
  std::swap(m_Count, other.m_Count);
  return *this;
}

void CGWAddressRec::CValues::copyInto(LONG i, const __ADDRESS_ITEM_VALUE& value) {
  std::unique_ptr<char[]> name = gwrec::copyText(value.pItem ? value.pItem->pszName : nullptr, "CGWAddressRec",
                                                 "copyItemValue", "Alloc buffer of item name");
  std::unique_ptr<char[]> text =
      gwrec::copyText(value.pszValue, "CGWAddressRec", "copyItemValue", "Alloc buffer of item");
  __ADDRESS_ITEM_VALUE& slot = m_Values[i];
  COwnedValue* owner = ownerOf(slot.pItem);
  if (value.pItem) owner->item = *value.pItem;
  owner->item.pszName = name.get();
  owner->name = std::move(name);
  slot.pszValue = text.get();
  owner->text = std::move(text);
}

CGWAddressRec::CGWAddressRec() : CGWAddressConstRec("CGWAddressRec", nullptr), m_Data{}, m_Category{} {
  m_RecPtr = &m_Data;
}

CGWAddressRec::~CGWAddressRec() = default;

CGWAddressRec::CValues CGWAddressRec::copyValues(const __ADDRESS_ITEM_VALUE* values, LONG count) {
  CValues copy(values ? count : 0);
  for (LONG i = 0; i < copy.count(); ++i) copy.copyInto(i, values[i]);
  return copy;
}

void CGWAddressRec::adoptValues(CValues values) {
  m_Values = std::move(values);
  m_Data.pValues = m_Values.get();
  m_Data.nItemCount = m_Values.count();
}

__ADDRESS_ITEM_VALUE* CGWAddressRec::setItemCount(LONG count) {
  adoptValues(CValues(count));
  return m_Data.pValues;
}

__ADDRESS_ITEM_VALUE* CGWAddressRec::setItemValue(__ADDRESS_ITEM_VALUE* cursor, const __ADDRESS_ITEM_VALUE& value) {
  // A cursor outside the array would write into someone else's memory.
  if (!cursor || cursor < m_Data.pValues || cursor >= m_Data.pValues + m_Data.nItemCount)
    throw CWrongIndex("CGWAddressRec", "setItemValue",
                      static_cast<DWORD>(cursor && m_Data.pValues ? cursor - m_Data.pValues : 0));
  m_Values.copyInto(static_cast<LONG>(cursor - m_Data.pValues), value);
  return cursor + 1;
}

void CGWAddressRec::setItemValues(const __ADDRESS_ITEM_VALUE* values, LONG count) {
  adoptValues(copyValues(values, count));
}

void CGWAddressRec::setCategory(const char* category) {
  if (!category) {
    m_Data.pszCategory = nullptr;
    return;
  }
  std::snprintf(m_Category, sizeof m_Category, "%s", category);
  m_Data.pszCategory = m_Category;
}

void CGWAddressRec::assign(const CGWRecord& other) {
  const auto* d = static_cast<const __ADDRESS_DATA*>(other.getRecPtr());
  if (d == &m_Data) return;
  static const __ADDRESS_DATA kEmpty{};
  if (!d) d = &kEmpty;
  // The only copies that can fail come first: then nothing has changed.
  adoptValues(copyValues(d->pValues, d->nItemCount));
  setCategory(d->pszCategory);
  m_Data.nID = d->nID;
  m_Data.nTimeStamp = d->nTimeStamp;
  m_Data.nKind = d->nKind;
}

template class CGWRecRelOf<CGWAddressRecRel, CGWAddressConstRec>;
template class CGWDataSrcOf<CGWAddressDataSrc, CAddressConnection, CGWAddressRecRel, CGWAddressRec>;
template class CGWKeyedDataSrcOf<CGWAddressDataSrc, CAddressConnection, CGWAddressRecRel, CGWAddressRec>;

CGWAddressDataSrc::CGWAddressDataSrc(CGWSession& session) : CGWKeyedDataSrcOf(session) {}

CGWAddressDataSrc::~CGWAddressDataSrc() = default;

bool CGWAddressDataSrc::prepare() {
  const __ADDRESS_ITEM* item = m_Conn.FindFirstItem();
  if (!item && clientFailed()) {
    report("FindFirstIten", nullptr);  // empty text
    return false;
  }
  while (item) item = m_Conn.FindNextItem();
  return true;
}
