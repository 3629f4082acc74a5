// Addresses: item definitions ("SyncAddressItem") and cards ("SyncAddress").
// A card reply begins with a header line naming its columns; each card line
// carries its values in those columns.
#include <strings.h>

#include <algorithm>
#include <memory>

#include "gwclient/src/connection.h"
#include "gwclient/src/kinds.h"

namespace {

const CODE_NAME kBuiltinItems[] = {
    {-1, "FirstName"}, {-2, "LastName"}, {-3, "Post"},    {-4, "City"},
    {-5, "State"},     {-6, "Country"},  {-7, "Address"}, {-8, "Zip"},
    {-9, "Tel"},       {-10, "Mail"},    {-11, "Memo"},   {0, nullptr},
};

const CODE_NAME kItemTypes[] = {{1, "Text"}, {2, "File"}, {0, nullptr}};

// A card as held: cards made by Set own copies of their item definitions,
// cards read from the server point at the item page's.
struct CARD : __ADDRESS_DATA {
  bool bOwnsItems;
};

// Digits only: that id; else a built-in name (any case); else 0.
LONG ItemId(const std::string& field) {
  if (IsNumber(field.c_str())) return field.size() <= 9 ? NumberValue(field.c_str()) : 0;
  return NameToCode(field.c_str(), kBuiltinItems, true, 0);
}

void FreeItem(__ADDRESS_ITEM* item) {
  if (!item) return;
  FreeString(item->pszName);
  delete item;
}

void FreeValues(CARD* card) {
  for (LONG i = 0; card->pValues && i < card->nItemCount; ++i) {
    FreeString(card->pValues[i].pszValue);
    if (card->bOwnsItems) FreeItem(card->pValues[i].pItem);
  }
  delete[] card->pValues;
  card->pValues = nullptr;
  card->nItemCount = 0;
}

void FreeCard(CARD* card) {
  FreeValues(card);
  FreeString(card->pszCategory);
  delete card;
}

CARD* NewCard() {
  auto* card = new CARD{};
  card->pszCategory = DupString(nullptr);
  return card;
}

char* Dup(const std::string& s) { return DupString(s.c_str(), static_cast<int>(s.size())); }

}  // namespace

// ---------------------------------------------------------------------------

CAddressItemPage::~CAddressItemPage() {
  Reset();
  for (void* item : m_Retired) DeleteItem(item);
}

void CAddressItemPage::Reset() {
  // Never allocates: ParseItem kept the room (items only come from there).
  m_Retired.insert(m_Retired.end(), m_Items.begin(), m_Items.end());
  m_Items.clear();
  m_Pos = SIZE_MAX;
  m_bLoaded = 0;
}

void CAddressItemPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncAddressItem";
}

void* CAddressItemPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  const LONG id = ItemId(f[0]);
  if (id == 0 || f[4].empty()) return nullptr;
  // Room to retire this item with all the others, grown geometrically.
  const size_t need = m_Retired.size() + m_Items.size() + 1;
  if (m_Retired.capacity() < need) m_Retired.reserve(std::max(need, 2 * m_Retired.capacity()));
  auto item = std::make_unique<__ADDRESS_ITEM>(__ADDRESS_ITEM{id, nullptr, 0, 0, 0});
  item->nType = NameToCode(f[1].c_str(), kItemTypes, true, 0);
  item->bNecessary = f[2].empty() ? 0 : 1;
  item->bDisable = f[3].empty() ? 0 : 1;
  item->pszName = Dup(f[4]);
  return item.release();
}

void CAddressItemPage::DeleteItem(void* item) { FreeItem(static_cast<__ADDRESS_ITEM*>(item)); }

__ADDRESS_ITEM* CAddressItemPage::Find(LONG id) const {
  if (id == 0) return nullptr;
  for (void* item : m_Items)
    if (static_cast<__ADDRESS_ITEM*>(item)->nID == id) return static_cast<__ADDRESS_ITEM*>(item);
  return nullptr;
}

// ---------------------------------------------------------------------------

CAddressPage::~CAddressPage() { Reset(); }

std::string CAddressPage::Describe(const void* item) const {
  // Item ids -2 and -1 are the last and first names.
  const auto* card = static_cast<const __ADDRESS_DATA*>(item);
  std::string last, first, other;
  for (LONG i = 0; i < card->nItemCount; ++i) {
    const __ADDRESS_ITEM_VALUE& v = card->pValues[i];
    if (!v.pszValue || !*v.pszValue) continue;
    const LONG id = v.pItem ? v.pItem->nID : 0;
    if (id == -2) last = v.pszValue;
    else if (id == -1) first = v.pszValue;
    else if (other.empty()) other = v.pszValue;
  }
  if (last.empty() && first.empty()) return other;
  return last.empty() || first.empty() ? last + first : last + ", " + first;
}

void CAddressPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncAddress";
  if (m_nLastTimeStamp >= 1) url += "&ts=ts." + std::to_string(m_nLastTimeStamp);
  AppendLabel(url);
}

void* CAddressPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  if (!IsNumber(f[0].c_str())) return nullptr;
  const DWORD id = static_cast<DWORD>(NumberValue(f[0].c_str()));
  if (id == 0) {
    // The header line; only the first one of the session counts.
    if (m_bHaveColumns) return nullptr;
    std::vector<__ADDRESS_ITEM*> columns;
    LONG matching = 0;
    for (size_t i = 4; i < f.GetCount() && !f[i].empty(); ++i) {
      __ADDRESS_ITEM* item = m_pItemPage ? m_pItemPage->Find(ItemId(f[i])) : nullptr;
      if (item) ++matching;
      columns.push_back(item);
    }
    m_Columns.swap(columns);
    m_nMatchingColumns = matching;
    m_bHaveColumns = true;
    return nullptr;
  }
  if (!m_bHaveColumns) return nullptr;
  std::unique_ptr<CARD, void (*)(CARD*)> card(NewCard(), FreeCard);
  card->nID = id;
  card->nTimeStamp = ParseTimeStamp(f[1].c_str());
  card->nKind = NumberValue(f[2].c_str());
  card->pszCategory = Dup(f[3]);
  card->bOwnsItems = false;
  if (m_nMatchingColumns > 0) {
    card->pValues = new __ADDRESS_ITEM_VALUE[static_cast<size_t>(m_nMatchingColumns)]{};
    for (size_t c = 0; c < m_Columns.size(); ++c) {
      if (!m_Columns[c]) continue;
      __ADDRESS_ITEM_VALUE& v = card->pValues[card->nItemCount];
      v.pItem = m_Columns[c];
      v.pszValue = Dup(f[4 + c]);  // past the line's end: empty
      ++card->nItemCount;
    }
  }
  return static_cast<__ADDRESS_DATA*>(card.release());
}

void CAddressPage::DeleteItem(void* item) {
  FreeCard(static_cast<CARD*>(static_cast<__ADDRESS_DATA*>(item)));
}

void* CAddressPage::CreateItem(const void* record) {
  CARD* card = nullptr;
  try {
    card = NewCard();
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(GWERR_NO_MEMORY);
    return nullptr;
  }
  card->nKind = 1;
  if (!CopyItem(static_cast<__ADDRESS_DATA*>(card), record)) {
    FreeCard(card);
    return nullptr;
  }
  return static_cast<__ADDRESS_DATA*>(card);
}

int CAddressPage::CopyItem(void* item, const void* record) {
  auto* to = static_cast<CARD*>(static_cast<__ADDRESS_DATA*>(item));
  auto* from = static_cast<const __ADDRESS_DATA*>(record);
  // The new values are built whole before the old ones go, so that a
  // failure leaves the held card as it was.
  const LONG count = from->pValues && from->nItemCount > 0 ? from->nItemCount : 0;
  CARD fresh{};
  fresh.bOwnsItems = true;
  try {
    fresh.pszCategory = DupString(from->pszCategory);
    if (count > 0) {
      fresh.pValues = new __ADDRESS_ITEM_VALUE[static_cast<size_t>(count)]{};
      for (LONG i = 0; i < count; ++i) {
        const __ADDRESS_ITEM_VALUE& v = from->pValues[i];
        fresh.pValues[i].pszValue = DupString(v.pszValue);
        fresh.nItemCount = i + 1;
        if (v.pItem) {
          auto copy = std::make_unique<__ADDRESS_ITEM>(*v.pItem);
          copy->pszName = DupString(v.pItem->pszName);
          fresh.pValues[i].pItem = copy.release();
        }
      }
    }
  } catch (const std::bad_alloc&) {
    FreeValues(&fresh);
    FreeString(fresh.pszCategory);
    SetLastErrorCode(GWERR_NO_MEMORY);
    return 0;
  }
  FreeValues(to);
  FreeString(to->pszCategory);
  to->pszCategory = fresh.pszCategory;
  to->pValues = fresh.pValues;
  to->nItemCount = count;
  to->bOwnsItems = true;
  to->nTimeStamp = from->nTimeStamp;
  to->nKind = from->nKind;
  return 1;
}

bool CAddressPage::WriteRecord(std::string& body, void* item, DWORD key) {
  auto* card = static_cast<__ADDRESS_DATA*>(item);
  WriteField(body, "i", static_cast<LONG>(card->nID));
  WriteField(body, "t", 1);
  if (!WriteField(body, "g", card->pszCategory)) return false;
  WriteField(body, "c", card->nItemCount);
  for (LONG i = 0; i < card->nItemCount; ++i) {
    const __ADDRESS_ITEM_VALUE& v = card->pValues[i];
    // A value without its item cannot be named to the server.
    if (!v.pItem) continue;
    if (!WriteField(body, std::to_string(v.pItem->nID).c_str(), v.pszValue)) return false;
  }
  if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
  return true;
}

// ---------------------------------------------------------------------------

CAddressConnection::~CAddressConnection() {
  if (CServerSession* s = FindSession(m_pSession->m_dwHandle)) s->m_AddressPage.Reset();
}

GW_DATA_MEMBERS(CAddressConnection, m_AddressPage, __ADDRESS_DATA)

const __ADDRESS_ITEM* CAddressConnection::FindFirstItem() {
  return WithSession<const __ADDRESS_ITEM*>(m_pSession, nullptr, [](CServerSession& s) {
    return static_cast<const __ADDRESS_ITEM*>(s.m_AddressItemPage.FindFirst());
  });
}

const __ADDRESS_ITEM* CAddressConnection::FindNextItem() {
  return WithSession<const __ADDRESS_ITEM*>(m_pSession, nullptr, [](CServerSession& s) {
    return static_cast<const __ADDRESS_ITEM*>(s.m_AddressItemPage.FindNext());
  });
}

long CAddressConnection::GetItemCount() {
  return WithSession<long>(m_pSession, 0,
                           [](CServerSession& s) { return s.m_AddressItemPage.GetCount(); });
}

int CAddressConnection::SetLastTimeStamp(long timeStamp) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    s.m_AddressPage.m_nLastTimeStamp = static_cast<LONG>(timeStamp);
    return 1;
  });
}
