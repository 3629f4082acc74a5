#include "gwclient/src/record.h"

#include <algorithm>

void DetachParts(__SCHEDULE_DATA& r) noexcept {
  DetachParts<__SCHEDULE_DATA>(r);
  r.pExceptions = nullptr;
  r.nExceptionCount = 0;
}

void CopyParts(__SCHEDULE_DATA& to, const __SCHEDULE_DATA& from) {
  CopyParts<__SCHEDULE_DATA>(to, from);
  // A count without dates (or a negative one) carries no exceptions.
  const LONG count = from.pExceptions && from.nExceptionCount > 0 ? from.nExceptionCount : 0;
  if (count == 0) return;
  to.pExceptions = new __OFFICE_DATE[static_cast<size_t>(count)];
  std::copy(from.pExceptions, from.pExceptions + count, to.pExceptions);
  to.nExceptionCount = count;
}

void FreeParts(__SCHEDULE_DATA& r) noexcept {
  FreeParts<__SCHEDULE_DATA>(r);
  delete[] r.pExceptions;
}

// ---------------------------------------------------------------------------

CRecord<__ADDRESS_DATA>::CRecord(const __ADDRESS_DATA& from) : CRecord() {
  nID = from.nID;
  nTimeStamp = from.nTimeStamp;
  nKind = from.nKind;
  pszCategory = DupString(from.pszCategory);
  const LONG count = from.pValues && from.nItemCount > 0 ? from.nItemCount : 0;
  if (count == 0) return;
  pValues = new __ADDRESS_ITEM_VALUE[static_cast<size_t>(count)]{};
  // Counted as they are had, so that a failure frees exactly those.
  for (LONG i = 0; i < count; ++i) {
    const __ADDRESS_ITEM_VALUE& v = from.pValues[i];
    pValues[i].pszValue = DupString(v.pszValue);
    nItemCount = i + 1;
    if (v.pItem) pValues[i].pItem = new CRecord<__ADDRESS_ITEM>(*v.pItem);
  }
}

void CRecord<__ADDRESS_DATA>::AllocateSharedValues(LONG count) {
  pValues = new __ADDRESS_ITEM_VALUE[static_cast<size_t>(count)]{};
  m_bOwnsItems = false;
}

void CRecord<__ADDRESS_DATA>::FreeValues() noexcept {
  for (LONG i = 0; pValues && i < nItemCount; ++i) {
    FreeString(pValues[i].pszValue);
    if (m_bOwnsItems) delete static_cast<CRecord<__ADDRESS_ITEM>*>(pValues[i].pItem);
  }
  delete[] pValues;
}
