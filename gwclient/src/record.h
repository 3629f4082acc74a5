// The records the pages hold: each an exported C record together with the
// storage it owns (its texts and arrays), freed in one place, its destructor.
// Texts are DupString copies and are freed by FreeString; arrays are new[].
// Private to the library.
//
//   auto memo = std::make_unique<CRecord<__MEMO_DATA>>();  // empty texts
//   memo->pszName = DupString("title");                    // owned from here on
//   CRecord<__MEMO_DATA> copy(*memo);                      // deep; throws bad_alloc, leaks nothing
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "gwclient/gwclient.h"
#include "gwclient/src/reply.h"

// An owned text of the library's own: a DupString copy, freed by FreeString.
struct CTextFree {
  void operator()(char* text) const noexcept { FreeString(text); }
};
using CText = std::unique_ptr<char, CTextFree>;

// What a record of each kind owns, in three steps that CRecord takes:
//   DetachParts(T&)          sets the owned members to "none" (texts to the
//                            shared empty string, arrays to null and their
//                            counts to 0); never allocates.
//   CopyParts(T&, const T&)  into a record that owns nothing, copies of
//                            from's parts; throws std::bad_alloc, and what was
//                            copied by then is left for FreeParts.
//   FreeParts(T&)            frees what the record owns.
// A kind that owns only texts names them in CRecordTexts<T>::kList; a kind
// with arrays too overloads the three.
template <typename T>
struct CRecordTexts;

template <typename T>
void DetachParts(T& r) noexcept {
  for (auto text : CRecordTexts<T>::kList) r.*text = DupString(nullptr);  // the shared empty string
}
template <typename T>
void CopyParts(T& to, const T& from) {
  for (auto text : CRecordTexts<T>::kList) to.*text = DupString(from.*text);
}
template <typename T>
void FreeParts(T& r) noexcept {
  for (auto text : CRecordTexts<T>::kList) FreeString(r.*text);
}

template <>
struct CRecordTexts<__USER_DATA> {
  static constexpr char* __USER_DATA::*kList[] = {&__USER_DATA::pszName};
};
template <>
struct CRecordTexts<__ADDRESS_ITEM> {
  static constexpr char* __ADDRESS_ITEM::*kList[] = {&__ADDRESS_ITEM::pszName};
};
template <>
struct CRecordTexts<__MEMO_DATA> {
  static constexpr char* __MEMO_DATA::*kList[] = {&__MEMO_DATA::pszName, &__MEMO_DATA::pszData};
};
template <>
struct CRecordTexts<__TODO_DATA> {
  static constexpr char* __TODO_DATA::*kList[] = {&__TODO_DATA::pszName, &__TODO_DATA::pszCategory,
                                                  &__TODO_DATA::pszMemo};
};
template <>
struct CRecordTexts<__MAIL_DATA> {
  static constexpr char* __MAIL_DATA::*kList[] = {
      &__MAIL_DATA::pszSubject, &__MAIL_DATA::pszFrom,    &__MAIL_DATA::pszTo,          &__MAIL_DATA::pszCC,
      &__MAIL_DATA::pszBCC,     &__MAIL_DATA::pszReplyTo, &__MAIL_DATA::pszContentType, &__MAIL_DATA::pszData,
  };
};
template <>
struct CRecordTexts<__SCHEDULE_DATA> {
  static constexpr char* __SCHEDULE_DATA::*kList[] = {&__SCHEDULE_DATA::pszEvent, &__SCHEDULE_DATA::pszDetail,
                                                      &__SCHEDULE_DATA::pszMemo};
};
// A schedule also owns its exception dates.
void DetachParts(__SCHEDULE_DATA& r) noexcept;
void CopyParts(__SCHEDULE_DATA& to, const __SCHEDULE_DATA& from);
void FreeParts(__SCHEDULE_DATA& r) noexcept;

// A held record of kind T: is-a T (a CRecord<T>* is the T* handed out) and
// owns T's parts. Not copyable; a deep copy is made from a T explicitly.
template <typename T>
class CRecord : public T {
 public:
  static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>,
                "the exported records are plain C structs");

  CRecord() noexcept : T{} { DetachParts(Data()); }
  // A deep copy of from (its id included). Throws std::bad_alloc; once the
  // first constructor has run the destructor frees whatever was copied.
  explicit CRecord(const T& from) : CRecord() {
    T scalars = from;
    DetachParts(scalars);
    Data() = scalars;
    CopyParts(Data(), from);
  }
  ~CRecord() { FreeParts(Data()); }
  CRecord(const CRecord&) = delete;
  CRecord& operator=(const CRecord&) = delete;

  // Exchanges the contents (and so the ownership) of two records.
  void Swap(CRecord& other) noexcept { std::swap(Data(), other.Data()); }

 private:
  // The exported record itself: what the per-kind steps are chosen by.
  T& Data() noexcept { return *this; }
};

// An address card. Cards read from the server point at the item page's
// definitions; a card made from a caller's record owns copies of its own.
template <>
class CRecord<__ADDRESS_DATA> : public __ADDRESS_DATA {
  static_assert(std::is_trivially_copyable_v<__ADDRESS_DATA>, "Swap exchanges the record bytewise");

 public:
  CRecord() noexcept : __ADDRESS_DATA{} { pszCategory = DupString(nullptr); }
  // A deep copy of from, item definitions included (owned).
  explicit CRecord(const __ADDRESS_DATA& from);
  ~CRecord() {
    FreeValues();
    FreeString(pszCategory);
  }
  CRecord(const CRecord&) = delete;
  CRecord& operator=(const CRecord&) = delete;

  void Swap(CRecord& other) noexcept {
    std::swap(static_cast<__ADDRESS_DATA&>(*this), static_cast<__ADDRESS_DATA&>(other));
    std::swap(m_bOwnsItems, other.m_bOwnsItems);
  }
  // Makes room for count values (none held yet), pointing at definitions
  // the card does not own. Throws std::bad_alloc.
  void AllocateSharedValues(LONG count);

 private:
  void FreeValues() noexcept;

  bool m_bOwnsItems = true;
};

// What a change of a held record keeps of it: its id (a caller's record
// never renames a held one). Overloaded where a kind keeps more.
template <typename T>
void KeepIdentity(T& fresh, const T& held) {
  fresh.nID = held.nID;
}
// A schedule also keeps the date the server knows it by.
inline void KeepIdentity(__SCHEDULE_DATA& fresh, const __SCHEDULE_DATA& held) {
  fresh.nID = held.nID;
  fresh.datePrev = held.datePrev;
}

// Replaces held's contents by a copy of record, keeping held's identity
// (see KeepIdentity). Built whole before anything changes: on
// std::bad_alloc held is as it was.
template <typename T>
void CopyRecordInto(CRecord<T>& held, const T& record) {
  CRecord<T> fresh(record);
  KeepIdentity(static_cast<T&>(fresh), static_cast<const T&>(held));
  held.Swap(fresh);
}

// The record a held pointer owns: what a page's lists show of their records.
template <typename Record>
Record* HeldPointer(const std::unique_ptr<Record>& held) noexcept {
  return held.get();
}
