#include <new>

#include "synccore/except.h"
#include "synccore/hhdatasrc.h"

CHHRecOpResult::CHHRecOpResult(DWORD capacity, CHHRecOpResultItem* inlineItems, DWORD inlineCount)
    : m_Capacity(capacity),
      m_Count(0),
      m_Cursor(0),
      m_Items(nullptr),
      m_Inline(inlineItems),
      m_InlineCount(inlineCount) {
  if (inlineItems && inlineCount >= capacity) {
    m_Items = inlineItems;
    return;
  }
  m_Items = new (std::nothrow) CHHRecOpResultItem[capacity ? capacity : 1];
  if (!m_Items) throw CMemoryRunOut("CHHRecOpResult", "Constructor", "New CHHRecOpResult");
}

CHHRecOpResult::~CHHRecOpResult() {
  if (m_Items != m_Inline) delete[] m_Items;
}

void CHHRecOpResult::push(DWORD op, BYTE success, DWORD recId) {
  if (m_Count >= m_Capacity) fatalStop("CHHRecOpResult", "push into a full result list");
  m_Items[m_Count++] = CHHRecOpResultItem{op, success, recId};
}

const CHHRecOpResultItem* CHHRecOpResult::first() {
  m_Cursor = 0;
  return next();
}

const CHHRecOpResultItem* CHHRecOpResult::next() {
  if (m_Cursor >= m_Count) return nullptr;
  return &m_Items[m_Cursor++];
}
