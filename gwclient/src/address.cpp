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
    {-1, "FirstName"}, {-2, "LastName"}, {-3, "Post"}, {-4, "City"},  {-5, "State"}, {-6, "Country"},
    {-7, "Address"},   {-8, "Zip"},      {-9, "Tel"},  {-10, "Mail"}, {-11, "Memo"}, {0, nullptr},
};

const CODE_NAME kItemTypes[] = {{1, "Text"}, {2, "File"}, {0, nullptr}};

// Digits only: that id; else a built-in name (any case); else 0.
LONG ItemId(const std::string& field) {
  if (IsNumber(field.c_str())) return field.size() <= 9 ? NumberValue(field.c_str()) : 0;
  return NameToCode(field.c_str(), kBuiltinItems, true, 0);
}

}  // namespace

// ---------------------------------------------------------------------------

void CAddressItemPage::Reset() {
  // Never allocates: ParseItem kept the room (items only come from there).
  for (auto& item : m_Items) m_Retired.push_back(std::move(item));
  ClearItems();
  m_bLoaded = 0;
}

void CAddressItemPage::BuildURL(std::string& url) {
  url += m_pSession->m_ObjectPath;
  url += "page=SyncAddressItem";
}

std::unique_ptr<CAddressItemPage::Record> CAddressItemPage::ParseItem(const std::string& line) {
  CFieldList f(line);
  const LONG id = ItemId(f[0]);
  if (id == 0 || f[4].empty()) return nullptr;
  // Room to retire this item with all the others, grown geometrically.
  const size_t need = m_Retired.size() + m_Items.size() + 1;
  if (m_Retired.capacity() < need) m_Retired.reserve(std::max(need, 2 * m_Retired.capacity()));
  auto item = std::make_unique<Record>();
  item->nID = id;
  item->nType = NameToCode(f[1].c_str(), kItemTypes, true, 0);
  item->bNecessary = f[2].empty() ? 0 : 1;
  item->bDisable = f[3].empty() ? 0 : 1;
  item->pszName = DupString(f[4]);
  return item;
}

__ADDRESS_ITEM* CAddressItemPage::Find(LONG id) const {
  if (id == 0) return nullptr;
  for (const auto& item : m_Items)
    if (item->nID == id) return item.get();
  return nullptr;
}

// ---------------------------------------------------------------------------

std::string CAddressPage::Describe(const __ADDRESS_DATA& card) const {
  // Item ids -2 and -1 are the last and first names.
  std::string last, first, other;
  for (LONG i = 0; i < card.nItemCount; ++i) {
    const __ADDRESS_ITEM_VALUE& v = card.pValues[i];
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

std::unique_ptr<CAddressPage::Record> CAddressPage::ParseItem(const std::string& line) {
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
  auto card = std::make_unique<Record>();
  card->nID = id;
  card->nTimeStamp = ParseTimeStamp(f[1].c_str());
  card->nKind = NumberValue(f[2].c_str());
  card->pszCategory = DupString(f[3]);
  if (m_nMatchingColumns > 0) {
    card->AllocateSharedValues(m_nMatchingColumns);
    for (size_t c = 0; c < m_Columns.size(); ++c) {
      if (!m_Columns[c]) continue;
      __ADDRESS_ITEM_VALUE& v = card->pValues[card->nItemCount];
      v.pItem = m_Columns[c];
      v.pszValue = DupString(f[4 + c]);  // past the line's end: empty
      ++card->nItemCount;
    }
  }
  return card;
}

bool CAddressPage::WriteRecord(std::string& body, Record& card, DWORD key) {
  WriteField(body, "i", static_cast<LONG>(card.nID));
  WriteField(body, "t", 1);
  if (!WriteField(body, "g", card.pszCategory)) return false;
  WriteField(body, "c", card.nItemCount);
  for (LONG i = 0; i < card.nItemCount; ++i) {
    const __ADDRESS_ITEM_VALUE& v = card.pValues[i];
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
  return WithSession<const __ADDRESS_ITEM*>(m_pSession, nullptr,
                                            [](CServerSession& s) { return s.m_AddressItemPage.FindFirst(); });
}

const __ADDRESS_ITEM* CAddressConnection::FindNextItem() {
  return WithSession<const __ADDRESS_ITEM*>(m_pSession, nullptr,
                                            [](CServerSession& s) { return s.m_AddressItemPage.FindNext(); });
}

long CAddressConnection::GetItemCount() {
  return WithSession<long>(m_pSession, 0, [](CServerSession& s) { return s.m_AddressItemPage.GetCount(); });
}

int CAddressConnection::SetLastTimeStamp(long timeStamp) {
  return WithSession<int>(m_pSession, 0, [&](CServerSession& s) {
    s.m_AddressPage.m_nLastTimeStamp = static_cast<LONG>(timeStamp);
    return 1;
  });
}
