// What the address record tests share: server cards built from {item id,
// text} pairs, handheld records built from fields, and the address map.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "conduits/address/addressrecord.h"
#include "hotsync/pdb/pdb.h"

namespace addrtest {

using Items = std::vector<std::pair<LONG, std::string>>;

// A card seen through the read-only record the engine hands the converter;
// item n's definition is named "item<n>".
class TestCard {
 public:
  explicit TestCard(const Items& items, const char* category = nullptr)
      : m_Names(items.size()), m_Texts(items.size()), m_Defs(items.size()), m_Values(items.size()) {
    for (size_t i = 0; i < items.size(); ++i) {
      m_Names[i] = "item" + std::to_string(items[i].first);
      m_Texts[i] = items[i].second;
      m_Defs[i] = {items[i].first, m_Names[i].data(), 1, 0, 0};
      m_Values[i] = {&m_Defs[i], m_Texts[i].data()};
    }
    m_Category = category ? category : "";
    m_Data = {7, 0, 1, category ? m_Category.data() : nullptr, static_cast<LONG>(items.size()), m_Values.data()};
    m_Rec.setRecPtr(&m_Data);
  }
  TestCard(const TestCard&) = delete;
  TestCard& operator=(const TestCard&) = delete;
  const CGWAddressConstRec& rec() const { return m_Rec; }

 private:
  std::vector<std::string> m_Names, m_Texts;
  std::vector<__ADDRESS_ITEM> m_Defs;
  std::vector<__ADDRESS_ITEM_VALUE> m_Values;
  std::string m_Category;
  __ADDRESS_DATA m_Data{};
  CGWAddressConstRec m_Rec;
};

inline Items itemsOf(const CGWAddressConstRec& card) {
  Items out;
  const __ADDRESS_ITEM_VALUE* v = nullptr;
  for (LONG i = 0, n = card.getItemValues(&v); i < n; ++i) out.emplace_back(v[i].pItem->nID, v[i].pszValue);
  return out;
}

// Server items the tests map handheld fields to.
constexpr LONG kCompany = 101, kWork = 102, kHome = 103, kFax = 104, kEmail = 105, kMobile = 106, kTitle = 107;
constexpr LONG kAddress = -7, kCity = -4, kState = -5, kZip = -8, kCountry = -6, kNote = -11;

// Settings whose address map holds {map index, item id}.
inline __SYNC5_SET settings(const std::map<int, LONG>& map, DWORD addressFlags = 0) {
  __SYNC5_SET set{};
  for (const auto& [index, id] : map) set.nRelations[index] = id;
  set.nAddressFlags = addressFlags;
  return set;
}

// Company, the work, home, fax, e-mail and mobile phones, the address block,
// title and note mapped; the other, main and pager labels and the customs not.
inline __SYNC5_SET typicalSettings(DWORD addressFlags = 0) {
  return settings({{0, kCompany},
                   {1, kWork},
                   {2, kHome},
                   {3, kFax},
                   {5, kEmail},
                   {8, kMobile},
                   {9, kAddress},
                   {10, kCity},
                   {11, kState},
                   {12, kZip},
                   {13, kCountry},
                   {14, kTitle},
                   {19, kNote}},
                  addressFlags);
}

// The typical map gives mobile slot 4 of the default labels: "other" is the
// first label it leaves out.
constexpr DWORD kTypicalOptions = 0x47210;

// A handheld record of {field, text}, its company offset as the file format
// counts it unless one is given.
inline std::string packed(DWORD options, const std::map<int, std::string>& fields, int companyOffset = -1) {
  std::string head;
  palm::appendU32(head, options);
  DWORD flags = 0;
  std::string texts;
  for (const auto& [k, text] : fields) {
    flags |= DWORD{1} << k;
    if (k == ADDR_COMPANY && companyOffset < 0) companyOffset = static_cast<int>(texts.size()) + 1;
    texts += text + '\0';
  }
  palm::appendU32(head, flags);
  return head + static_cast<char>(companyOffset < 0 ? 0 : companyOffset) + texts;
}

inline std::string bytesOf(const CPalmRecord& rec) {
  return {reinterpret_cast<const char*>(rec.data()), rec.dataSize()};
}

// A record as read from the handheld: it owns a copy of bytes.
inline void setRecord(CPalmRecord& rec, const std::string& bytes, WORD category = 0, BYTE flags = 0) {
  rec.setRawData(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
  rec.m_CatIndex = category;
  rec.m_Flags = flags;
}

// The categories of a new Address Book: Unfiled, Business, Personal, QuickList.
inline CPalmCategoryList addressCategories() {
  CPalmCategoryList list;
  std::string block = *palm::defaultAppInfo(palm::fourCC("addr"));
  list.fromBlock(reinterpret_cast<const BYTE*>(block.data()));
  return list;
}

}  // namespace addrtest
