// The Address Book record: walking its packed fields, building it from a
// server card, and filling a server card from it.
#include "conduits/address/addressrecord.h"

#include <cstring>
#include <new>
#include <string>

#include "conduits/common/conduit.h"
#include "log/log.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"

namespace {

const char* const kFieldNames[ADDR_FIELD_COUNT] = {
    "last name", "first name", "company", "phone 1", "phone 2",  "phone 3",  "phone 4",  "phone 5",  "address", "city",
    "state",     "zip code",   "country", "title",   "custom 1", "custom 2", "custom 3", "custom 4", "note"};

DWORD getBE32(const BYTE* p) { return (DWORD{p[0]} << 24) | (DWORD{p[1]} << 16) | (DWORD{p[2]} << 8) | DWORD{p[3]}; }

void putBE32(BYTE* p, DWORD v) {
  p[0] = static_cast<BYTE>(v >> 24);
  p[1] = static_cast<BYTE>(v >> 16);
  p[2] = static_cast<BYTE>(v >> 8);
  p[3] = static_cast<BYTE>(v);
}

int labelOf(DWORD options, int slot) { return static_cast<int>((options >> (4 * slot)) & 0xF); }

DWORD withLabel(DWORD options, int slot, int label) {
  const int shift = 4 * slot;
  return (options & ~(DWORD{0xF} << shift)) | (static_cast<DWORD>(label) << shift);
}

// The card's first non-empty text of item id, or null.
const char* cardText(const CGWAddressConstRec& card, LONG id) {
  const __ADDRESS_ITEM_VALUE* values = nullptr;
  LONG n = card.getItemValues(&values);
  for (LONG i = 0; i < n; ++i)
    if (values[i].pItem && values[i].pItem->nID == id && values[i].pszValue && values[i].pszValue[0])
      return values[i].pszValue;
  return nullptr;
}

// Appends texts after the header, never past the end of the buffer; once
// something did not fit, every later write is refused too.
class CRecordWriter {
 public:
  CRecordWriter(BYTE* out, DWORD size) : m_Out(out), m_Size(size), m_Pos(kAddrHeaderSize), m_Overflow(false) {}

  // src converted by mode, at most limit bytes and never a split character,
  // and its terminator.
  void putText(const char* src, int mode, int limit) {
    char converted[kAddrNoteMax + 1];
    int n = copyDbcsText(converted, src, limit + 1, mode, nullptr);
    putBytes(converted, static_cast<DWORD>(n));
  }
  // A terminated text as it is.
  void putRaw(const char* text) { putBytes(text, static_cast<DWORD>(std::strlen(text)) + 1); }

  DWORD pos() const { return m_Pos; }
  bool overflow() const { return m_Overflow; }

 private:
  void putBytes(const void* bytes, DWORD n) {
    if (m_Overflow || n > m_Size - m_Pos) {
      m_Overflow = true;
      return;
    }
    std::memcpy(m_Out + m_Pos, bytes, n);
    m_Pos += n;
  }

  BYTE* m_Out;
  DWORD m_Size;
  DWORD m_Pos;
  bool m_Overflow;
};

// The server item each phone slot takes (0: none) after the slots' labels in
// *options were fitted to the map: a mapped label goes to the first slot that
// carries it, else to the first slot whose label the map does not name and
// that the previous record (old, may be null) leaves empty.
void placePhones(const LONG* map, const AddressFields* old, DWORD* options, LONG slotItem[kAddrPhoneSlots]) {
  for (int label = 0; label < kAddrPhoneLabels; ++label) {
    const LONG id = map[label + 1];
    if (id == 0) continue;
    int slot = -1;
    for (int s = 0; s < kAddrPhoneSlots && slot < 0; ++s)
      if (labelOf(*options, s) == label) slot = s;
    for (int s = 0; s < kAddrPhoneSlots && slot < 0; ++s) {
      const int current = labelOf(*options, s);
      if (current < kAddrPhoneLabels && map[current + 1] != 0) continue;
      const char* before = old ? old->text[ADDR_PHONE1 + s] : nullptr;
      if (before && before[0]) continue;
      slot = s;
      *options = withLabel(*options, s, label);
    }
    if (slot >= 0) slotItem[slot] = id;
  }
}

// The server category of a handheld category index: "" for index 0, the
// entry's name when the entry is in use, else none.
void setServerCategory(WORD index, const CPalmCategoryList& categories, CGWAddressConstRec& target) {
  if (index == 0) {
    target.setCategory("");
    return;
  }
  if (index >= kPalmCategoryCount || !categories.at(index).isValid()) {
    target.setCategory(nullptr);
    return;
  }
  // The stored name fills its 16 bytes when it has no room for a terminator.
  char name[sizeof(CPalmCategory::m_Name) + 1] = {};
  std::memcpy(name, categories.at(index).m_Name, sizeof(CPalmCategory::m_Name));
  target.setCategory(name);
}

}  // namespace

bool walkAddressFields(const BYTE* data, DWORD size, AddressFields* out) {
  *out = AddressFields{};
  if (!data || size < kAddrHeaderSize) {
    out->complete = false;
    return false;
  }
  out->options = getBE32(data);
  out->flags = getBE32(data + 4);
  out->companyOffset = data[8];
  DWORD pos = kAddrHeaderSize;
  for (int k = 0; k < ADDR_FIELD_COUNT; ++k) {
    if (!(out->flags & (DWORD{1} << k))) continue;
    const void* end = pos < size ? std::memchr(data + pos, '\0', size - pos) : nullptr;
    if (!end) {
      out->complete = false;
      break;
    }
    out->text[k] = reinterpret_cast<const char*>(data + pos);
    pos = static_cast<DWORD>(static_cast<const BYTE*>(end) - data) + 1;
  }
  return true;
}

int addressMapIndex(int field, DWORD options) {
  if (field == ADDR_COMPANY) return 0;
  if (field >= ADDR_PHONE1 && field < ADDR_PHONE1 + kAddrPhoneSlots) {
    int label = labelOf(options, field - ADDR_PHONE1);
    return label < kAddrPhoneLabels ? label + 1 : -1;
  }
  if (field >= ADDR_ADDRESS && field < ADDR_FIELD_COUNT) return field + 1;
  return -1;
}

std::vector<AddressItem> addressItems(const AddressFields& fields, const LONG* map) {
  std::vector<AddressItem> items;
  for (int k = 0; k < ADDR_FIELD_COUNT; ++k) {
    const char* text = fields.text[k];
    if (!text || !text[0]) continue;
    LONG id;
    if (k == ADDR_LAST_NAME) {
      id = kAddrLastNameItem;
    } else if (k == ADDR_FIRST_NAME) {
      id = kAddrFirstNameItem;
    } else {
      int index = addressMapIndex(k, fields.options);
      if (index < 0) continue;
      id = map[index];
    }
    if (id != 0) items.push_back({id, text});
  }
  return items;
}

bool buildAddressRecord(const CGWAddressConstRec& card, const LONG* map, const BYTE* prev, DWORD prevSize, BYTE* out,
                        DWORD outSize, DWORD* size) {
  if (!out || outSize < kAddrHeaderSize) return false;
  AddressFields old;
  if (prev && !walkAddressFields(prev, prevSize, &old)) return false;
  const AddressFields* before = prev ? &old : nullptr;

  DWORD options = before ? before->options : kAddrDefaultOptions;
  LONG slotItem[kAddrPhoneSlots] = {};
  placePhones(map, before, &options, slotItem);

  CRecordWriter w(out, outSize);
  // The names are always there, even empty, so that the handheld lists the
  // record (under its company when it has no name).
  w.putText(cardText(card, kAddrLastNameItem), DBCS_COPY, kAddrNameMax);
  w.putText(cardText(card, kAddrFirstNameItem), DBCS_COPY, kAddrNameMax);
  DWORD flags = (DWORD{1} << ADDR_LAST_NAME) | (DWORD{1} << ADDR_FIRST_NAME);
  BYTE companyOffset = 0;

  for (int k = ADDR_COMPANY; k < ADDR_FIELD_COUNT; ++k) {
    LONG id;
    if (k == ADDR_COMPANY) id = map[0];
    else if (k < ADDR_PHONE1 + kAddrPhoneSlots) id = slotItem[k - ADDR_PHONE1];
    else id = map[k + 1];
    const DWORD at = w.pos();
    if (id != 0) {
      const char* text = cardText(card, id);
      if (!text) continue;
      w.putText(text, DBCS_CRLF_TO_LF, k == ADDR_NOTE ? kAddrNoteMax : kAddrFieldMax);
    } else if (before && before->text[k]) {
      w.putRaw(before->text[k]);
    } else {
      continue;
    }
    flags |= DWORD{1} << k;
    // The file format counts the company's position from byte 8; a position
    // that a byte cannot hold is left out (the text itself is kept).
    if (k == ADDR_COMPANY && at - 8 <= 0xFF) companyOffset = static_cast<BYTE>(at - 8);
  }
  if (w.overflow()) return false;

  putBE32(out, options);
  putBE32(out + 4, flags);
  out[8] = companyOffset;
  *size = w.pos();
  return true;
}

bool addressToServer(const CPalmRecord& rec, const __SYNC5_SET& set, const CPalmCategoryList& categories,
                     const CGWAddressConstRec* existing, CGWAddressConstRec& target) {
  AddressFields fields;
  // A broken record would clear the server's copy of what it lost.
  if (!walkAddressFields(rec.data(), rec.dataSize(), &fields) || !fields.complete) return false;
  const LONG* map = set.nRelations;
  std::vector<AddressItem> items = addressItems(fields, map);

  // The related card's items that this record has no field for stay. The
  // names always have one; a phone only when a slot carries its label, so a
  // card with more phones than the record has slots keeps the others.
  auto handheldOwns = [&](LONG id) {
    if (id == kAddrLastNameItem || id == kAddrFirstNameItem) return true;
    for (int k = ADDR_COMPANY; k < ADDR_FIELD_COUNT; ++k) {
      const int index = addressMapIndex(k, fields.options);
      if (index >= 0 && map[index] != 0 && map[index] == id) return true;
    }
    return false;
  };
  std::vector<const __ADDRESS_ITEM_VALUE*> kept;
  const __ADDRESS_ITEM_VALUE* values = nullptr;
  const LONG n = existing ? existing->getItemValues(&values) : 0;
  for (LONG i = 0; i < n; ++i)
    if (values[i].pItem && !handheldOwns(values[i].pItem->nID)) kept.push_back(&values[i]);

  __ADDRESS_ITEM_VALUE* cursor = target.setItemCount(static_cast<LONG>(items.size() + kept.size()));
  for (const AddressItem& item : items) {
    __ADDRESS_ITEM definition{};
    definition.nID = item.id;
    __ADDRESS_ITEM_VALUE value{&definition, const_cast<char*>(item.text)};
    cursor = target.setItemValue(cursor, value);
  }
  for (const __ADDRESS_ITEM_VALUE* value : kept) cursor = target.setItemValue(cursor, *value);
  setServerCategory(rec.m_CatIndex, categories, target);
  return true;
}

bool addressFromServer(CPalmRecord& rec, const __SYNC5_SET& set, CPalmCategoryList& categories, const CPalmRecord* prev,
                       const CGWAddressConstRec& card) {
  if (!rec.buffer() || rec.bufferSize() < kAddrHeaderSize) return false;
  if (prev && (prev->m_Flags & PALMREC_DELETED)) prev = nullptr;
  if (prev && (!prev->data() || prev->dataSize() < kAddrHeaderSize)) return false;

  DWORD size = 0;
  if (!buildAddressRecord(card, set.nRelations, prev ? prev->data() : nullptr, prev ? prev->dataSize() : 0,
                          rec.buffer(), rec.bufferSize(), &size))
    return false;
  rec.setDataSize(size);

  // What the server does not say stays as the handheld had it.
  if (prev) {
    rec.m_CatIndex = prev->m_CatIndex;
    rec.m_Flags = static_cast<BYTE>((rec.m_Flags & ~PALMREC_PRIVATE) | (prev->m_Flags & PALMREC_PRIVATE));
  }
  const char* category = card.getCategory();
  if (category && category[0]) {
    int index = categories.indexOf(category);
    if (index < 0) {
      CHHCategory* added = categories.add(category);
      if (added) index = static_cast<CPalmCategory*>(added)->m_Index;
    }
    if (index >= 0) rec.m_CatIndex = static_cast<WORD>(index);
  }
  if (set.nAddressFlags == 1) rec.m_Flags |= PALMREC_PRIVATE;
  if (set.nAddressFlags == 2) rec.m_Flags &= static_cast<BYTE>(~PALMREC_PRIVATE);
  return true;
}

char* describeAddressRecord(const char* recordName, const BYTE* data, DWORD size, char* buffer, int length) {
  std::string text = recordName ? recordName : "";
  AddressFields fields;
  if (walkAddressFields(data, size, &fields)) {
    std::string names = fields.text[ADDR_LAST_NAME] ? fields.text[ADDR_LAST_NAME] : "";
    const char* first = fields.text[ADDR_FIRST_NAME];
    if (first && first[0]) names += names.empty() ? first : std::string(" ") + first;
    if (!names.empty()) text += (text.empty() ? "" : ": ") + names;
  }
  copyDbcsText(buffer, text.c_str(), length, DBCS_COPY, "...");
  return buffer;
}

bool CPalmAddressRecord::acceptForGW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, DWORD* msgCode) {
  if (msgCode) *msgCode = 0;
  return true;
}

bool CPalmAddressRecord::convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) {
  if (!hh || !gw || !target) return false;
  const CPalmCategoryList* categories = static_cast<CPalmLSDataSrc*>(hh)->palmCategories();
  return addressToServer(*this, *gw->getSession().getSyncSet(), *categories,
                         static_cast<const CGWAddressConstRec*>(existing), *static_cast<CGWAddressConstRec*>(target));
}

bool CPalmAddressRecord::acceptFromGW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, DWORD* msgCode) {
  if (msgCode) *msgCode = 0;
  return true;
}

bool CPalmAddressRecord::convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing,
                                      const CGWRecord* source) {
  if (!hh || !gw || !source) return false;
  CPalmCategoryList* categories = static_cast<CPalmLSDataSrc*>(hh)->palmCategories();
  return addressFromServer(*this, *gw->getSession().getSyncSet(), *categories,
                           static_cast<const CPalmRecord*>(existing), *static_cast<const CGWAddressConstRec*>(source));
}

char* CPalmAddressRecord::getRecIdStr(char* buffer, int length) const {
  char recordName[64];
  conduitText(CONDRES_RECORD_NAME, recordName, sizeof recordName);
  return describeAddressRecord(recordName, data(), dataSize(), buffer, length);
}

void CPalmAddressRecord::trace() const {
  CPalmRecord::trace();
  if (!g_TraceObj.shouldTrace(10)) return;
  AddressFields fields;
  if (!walkAddressFields(data(), dataSize(), &fields)) return;
  g_TraceObj.write(10, "  options:0x%05x flags:0x%05x company offset:%d%s\n", static_cast<unsigned>(fields.options),
                   static_cast<unsigned>(fields.flags), fields.companyOffset,
                   fields.complete ? "" : " (a text runs past the end)");
  for (int k = 0; k < ADDR_FIELD_COUNT; ++k)
    if (fields.text[k])
      g_TraceObj.write(10, "  %s:%db\n", kFieldNames[k], static_cast<int>(std::strlen(fields.text[k])));
}

CPalmRecord* placeAddressRecord(void* memory, BYTE* sharedBuffer) {
  return new (memory) CPalmAddressRecord(sharedBuffer);
}
