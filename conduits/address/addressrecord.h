// The handheld Address Book record and its conversion to and from the
// server's address cards. Which handheld field goes with which server item is
// the server's choice: the first 20 entries of the settings' address map
// (__SYNC5_SET::nRelations). Fields the map leaves out stay on their side.
//
//   CPalmAddressRecord rec(sharedBuffer);             // a record to be written
//   addressFromServer(rec, *set, categories, previous, card);
//   addressToServer(rec, *set, categories, existingCard, newCard);
//
// The record class only gathers its inputs from the data sources and calls
// the plain functions below, which the tests drive directly.
#pragma once

#include <vector>

#include "conduits/common/palmdatasrc.h"
#include "synccore/gwaddress.h"

// Fields of a record, in the order their texts are stored.
enum AddressField : int {
  ADDR_LAST_NAME = 0,
  ADDR_FIRST_NAME = 1,
  ADDR_COMPANY = 2,
  ADDR_PHONE1 = 3,  // .. ADDR_PHONE1 + 4: phone slots 1..5
  ADDR_ADDRESS = 8,
  ADDR_CITY = 9,
  ADDR_STATE = 10,
  ADDR_ZIP = 11,
  ADDR_COUNTRY = 12,
  ADDR_TITLE = 13,
  ADDR_CUSTOM1 = 14,  // .. ADDR_CUSTOM1 + 3: custom 1..4
  ADDR_NOTE = 18,
  ADDR_FIELD_COUNT = 19,
};

// Phone labels held in the options, one 4-bit label per slot.
enum : int {
  ADDR_LABEL_WORK = 0,
  ADDR_LABEL_HOME = 1,
  ADDR_LABEL_FAX = 2,
  ADDR_LABEL_OTHER = 3,
  ADDR_LABEL_EMAIL = 4,
  ADDR_LABEL_MAIN = 5,
  ADDR_LABEL_PAGER = 6,
  ADDR_LABEL_MOBILE = 7,
};

constexpr DWORD kAddrHeaderSize = 9;            // options, flags, company offset
constexpr DWORD kAddrDefaultOptions = 0x43210;  // work, home, fax, other, e-mail
constexpr int kAddrPhoneSlots = 5;
constexpr int kAddrPhoneLabels = 8;
constexpr int kAddrMapSize = 20;        // entries of nRelations the conduit uses
constexpr LONG kAddrLastNameItem = -2;  // fixed server items of the two names
constexpr LONG kAddrFirstNameItem = -1;
constexpr int kAddrNameMax = 255;  // bytes of text, without the terminator
constexpr int kAddrFieldMax = 255;
constexpr int kAddrNoteMax = 4096;

// A record's fields as stored. Texts point into the walked data and are
// terminated inside it; null for a field that is absent.
struct AddressFields {
  DWORD options = 0;
  DWORD flags = 0;
  BYTE companyOffset = 0;
  const char* text[ADDR_FIELD_COUNT] = {};
  // False when the walk stopped at a flagged text with no terminator before
  // the end of the data (that field and the ones after it are absent).
  bool complete = true;
};

// Walks size bytes of a record. False (everything absent) when they are
// fewer than the 9-byte header; never reads past size.
bool walkAddressFields(const BYTE* data, DWORD size, AddressFields* out);

// The map index of a field: 0 company, label + 1 for a phone slot (by its
// label in options), field + 1 for address .. note; -1 for the two names and
// for a phone slot whose label is not one of the eight.
int addressMapIndex(int field, DWORD options);

// One server item the record yields.
struct AddressItem {
  LONG id;
  const char* text;  // points into the walked data
};

// The items of a walked record in field order: the names as items -2 and -1,
// every other field through the map (map: kAddrMapSize entries, 0 = not
// mapped). Empty texts and unmapped fields yield nothing.
std::vector<AddressItem> addressItems(const AddressFields& fields, const LONG* map);

// Builds a record for card into out (outSize bytes): names always written,
// mapped fields from the card, unmapped ones copied from the previous record
// (prev, prevSize; prev null = none). *size gets the bytes written. False,
// with out's contents undefined, when out is smaller than the header or the
// record does not fit, or prev is shorter than the header.
bool buildAddressRecord(const CGWAddressConstRec& card, const LONG* map, const BYTE* prev, DWORD prevSize, BYTE* out,
                        DWORD outSize, DWORD* size);

// Handheld to server: fills target (item count, items, category) from rec
// and, when given, the items of the related card that rec has no field for
// (a mapped phone counts only when one of rec's slots carries its label).
// False, with target unchanged, when rec's data is not a whole record
// (shorter than the header, or a text without terminator).
bool addressToServer(const CPalmRecord& rec, const __SYNC5_SET& set, const CPalmCategoryList& categories,
                     const CGWAddressConstRec* existing, CGWAddressConstRec& target);

// Server to handheld: builds rec's data from card, keeping what the map
// leaves out of prev (null, or deleted, = none); sets rec's category (added to
// categories when missing) and private flag (the settings' address flags: 1
// sets, 2 clears, else as prev had it). False when rec's buffer is under 9
// bytes, a live prev is, or the record does not fit.
bool addressFromServer(CPalmRecord& rec, const __SYNC5_SET& set, CPalmCategoryList& categories, const CPalmRecord* prev,
                       const CGWAddressConstRec& card);

// recordName, then ": " and the last and first names when data has them,
// into buffer (length bytes, cut with "..."). Answers buffer.
char* describeAddressRecord(const char* recordName, const BYTE* data, DWORD size, char* buffer, int length);

// An Address Book record of the handheld.
class CPalmAddressRecord : public CPalmRecord {
 public:
  explicit CPalmAddressRecord(BYTE* sharedBuffer = nullptr) : CPalmRecord(sharedBuffer) {}

  bool acceptForGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* related, DWORD* msgCode) override;
  // hh must be a CPalmLSDataSrc, target a CGWAddressRec; as addressToServer.
  bool convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) override;
  bool acceptFromGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* record, DWORD* msgCode) override;
  // hh must be a CPalmLSDataSrc, source a card; as addressFromServer.
  bool convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing, const CGWRecord* source) override;
  // The conduit's name for a record (resource string 9) and the record's
  // names, as describeAddressRecord.
  char* getRecIdStr(char* buffer, int length) const override;
  // The base trace line; at level 10 also the fields' sizes.
  void trace() const override;
  int getSize() const override { return sizeof(CPalmAddressRecord); }
};

// Places a CPalmAddressRecord in memory (PalmRecordPlacer).
CPalmRecord* placeAddressRecord(void* memory, BYTE* sharedBuffer);
