// A list of at most a fixed number of entries, filled with push and read back
// with a cursor: the shape of both the handheld write results
// (CHHRecOpResult) and the engine's deferred relation commands
// (CGWRecOpDList). Header-only, so that every module that includes it (the
// engine and each conduit) carries its own copy.
//
//   struct MyNames {
//     static constexpr const char* kClass = "CMyList";         // in both failure texts
//     static constexpr const char* kAllocFailed = "Alloc";     // CMemoryRunOut's message
//     static constexpr const char* kFull = "push into a full list";  // fatalStop's text
//   };
//   class CMyList : public CBoundedList<Item, MyNames> { ... };
#pragma once

#include <new>

#include "platform/wintypes.h"
#include "synccore/except.h"

template <typename Item, typename Names>
class CBoundedList {
 public:
  CBoundedList(const CBoundedList&) = delete;
  CBoundedList& operator=(const CBoundedList&) = delete;

  void clear() { m_Count = 0; }
  // Resets the cursor; the first entry or null. Valid until the next push or
  // clear.
  const Item* first() {
    m_Cursor = 0;
    return next();
  }
  // The entry at the cursor, advancing; null past the count.
  const Item* next() {
    if (m_Cursor >= m_Count) return nullptr;
    return &m_Items[m_Cursor++];
  }

  DWORD count() const { return m_Count; }
  DWORD capacity() const { return m_Capacity; }
  bool usesInlineItems() const { return m_Items == m_Inline; }

 protected:
  // Uses inlineItems when it is given and inlineCount >= capacity, else
  // allocates capacity entries (one at least); throws CMemoryRunOut
  // (Names::kClass, "Constructor", Names::kAllocFailed) when they cannot be
  // had. inlineItems must outlive the list; it is only kept here, never read
  // or written before the first push, so a derived class may pass a member
  // of its own.
  CBoundedList(DWORD capacity, Item* inlineItems, DWORD inlineCount)
      : m_Capacity(capacity), m_Count(0), m_Cursor(0), m_Items(nullptr), m_Inline(inlineItems) {
    if (inlineItems && inlineCount >= capacity) {
      m_Items = inlineItems;
      return;
    }
    m_Items = new (std::nothrow) Item[capacity ? capacity : 1];
    if (!m_Items) throw CMemoryRunOut(Names::kClass, "Constructor", Names::kAllocFailed);
  }
  // Frees only an allocated array.
  ~CBoundedList() {
    if (m_Items != m_Inline) delete[] m_Items;
  }

  // Appends an entry. The capacity is a limit the filler promised to respect,
  // so a full list is a programming error: the process stops rather than
  // write past the entries.
  void pushItem(const Item& item) {
    if (m_Count >= m_Capacity) fatalStop(Names::kClass, Names::kFull);
    m_Items[m_Count++] = item;
  }

 private:
  DWORD m_Capacity;
  DWORD m_Count;
  DWORD m_Cursor;
  Item* m_Items;
  Item* m_Inline;
};
