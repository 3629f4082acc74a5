// Address card records and the address data source.
#include "synccore/gwaddress.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
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
    g_TraceObj.write(10, "  nID:%d pszName:%db nType:%d bNecessary:%d bDisable:%d pszValue:%db\n",
                     item ? item->nID : 0, item ? gwrec::len(item->pszName) : 0, item ? item->nType : 0,
                     item ? item->bNecessary : 0, item ? item->bDisable : 0, gwrec::len(d->pValues[i].pszValue));
  }
}

CGWAddressRec::CGWAddressRec() : CGWAddressConstRec("CGWAddressRec", nullptr), m_Data{}, m_Category{} {
  m_RecPtr = &m_Data;
}

CGWAddressRec::~CGWAddressRec() { freeItems(); }

namespace {

void freeValues(__ADDRESS_ITEM_VALUE* values, LONG count) {
  for (LONG i = 0; values && i < count; ++i) {
    if (values[i].pItem) delete[] values[i].pItem->pszName;
    delete values[i].pItem;
    delete[] values[i].pszValue;
  }
  delete[] values;
}

// count values, each with its own zeroed definition.
__ADDRESS_ITEM_VALUE* allocItemValues(LONG count) {
  if (count <= 0) return nullptr;
  auto* values = new (std::nothrow) __ADDRESS_ITEM_VALUE[static_cast<size_t>(count)]();
  if (!values) throw CMemoryRunOut("CGWAddressRec", "allocItemValues", "Alloc buffer of item list");
  for (LONG i = 0; i < count; ++i) {
    values[i].pItem = new (std::nothrow) __ADDRESS_ITEM{};
    if (!values[i].pItem) {
      freeValues(values, count);
      throw CMemoryRunOut("CGWAddressRec", "allocItemValues", "Alloc buffer of address item");
    }
  }
  return values;
}

// Copies value's definition (name duplicated) and text into slot, whose old
// texts are freed once the copies are had.
void copyItemValue(__ADDRESS_ITEM_VALUE& slot, const __ADDRESS_ITEM_VALUE& value) {
  char* name = gwrec::dup(value.pItem ? value.pItem->pszName : nullptr, "CGWAddressRec", "copyItemValue",
                          "Alloc buffer of item name");
  char* text = nullptr;
  try {
    text = gwrec::dup(value.pszValue, "CGWAddressRec", "copyItemValue", "Alloc buffer of item");
  } catch (...) {
    delete[] name;
    throw;
  }
  delete[] slot.pItem->pszName;
  delete[] slot.pszValue;
  if (value.pItem) *slot.pItem = *value.pItem;
  slot.pItem->pszName = name;
  slot.pszValue = text;
}

}  // namespace

void CGWAddressRec::freeItems() {
  freeValues(m_Data.pValues, m_Data.nItemCount);
  m_Data.pValues = nullptr;
  m_Data.nItemCount = 0;
}

__ADDRESS_ITEM_VALUE* CGWAddressRec::setItemCount(LONG count) {
  __ADDRESS_ITEM_VALUE* values = allocItemValues(count);
  freeItems();
  m_Data.pValues = values;
  m_Data.nItemCount = values ? count : 0;
  return values;
}

__ADDRESS_ITEM_VALUE* CGWAddressRec::setItemValue(__ADDRESS_ITEM_VALUE* cursor, const __ADDRESS_ITEM_VALUE& value) {
  // A cursor outside the array would write into someone else's memory.
  if (!cursor || cursor < m_Data.pValues || cursor >= m_Data.pValues + m_Data.nItemCount)
    throw CWrongIndex("CGWAddressRec", "setItemValue",
                      static_cast<DWORD>(cursor && m_Data.pValues ? cursor - m_Data.pValues : 0));
  copyItemValue(*cursor, value);
  return cursor + 1;
}

void CGWAddressRec::setItemValues(const __ADDRESS_ITEM_VALUE* values, LONG count) {
  if (!values) count = 0;
  __ADDRESS_ITEM_VALUE* copy = allocItemValues(count);
  try {
    for (LONG i = 0; i < count; ++i) copyItemValue(copy[i], values[i]);
  } catch (...) {
    freeValues(copy, count);
    throw;
  }
  freeItems();
  m_Data.pValues = copy;
  m_Data.nItemCount = copy ? count : 0;
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
  setItemValues(d->pValues, d->nItemCount);
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

