// The records of the handheld's Address Book, Memo Pad, Mail, To Do List and Date Book, and the
// Mail application's HotSync preference, as bytes and back.
//
//   palm::AddressRecord a;
//   a.fields[palm::kLastName] = "Smith";
//   std::string bytes = palm::packAddress(a);
//   std::string why;
//   if (!palm::parseAddress(bytes, a, &why)) ...
//
// Texts are byte strings and pass through unchanged (Shift-JIS included);
// numbers are big-endian. Parsers refuse data that ends inside a field.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace palm {

// ---- Address Book ----

enum AddressField {
  kLastName,
  kFirstName,
  kCompany,
  kPhone1,
  kPhone2,
  kPhone3,
  kPhone4,
  kPhone5,
  kAddress,
  kCity,
  kState,
  kZip,
  kCountry,
  kTitle,
  kCustom1,
  kCustom2,
  kCustom3,
  kCustom4,
  kNote,
  kAddressFieldCount
};

// Phone labels 0..7.
extern const char* const kPhoneLabels[8];
// Field names as the tool shows them ("last name", ...).
extern const char* const kAddressFieldNames[kAddressFieldCount];

constexpr uint32_t kDefaultAddressOptions = 0x00043210;

struct AddressRecord {
  uint32_t options = kDefaultAddressOptions;  // phone labels (4 bits each), shown phone at bits 20..23
  std::array<std::optional<std::string>, kAddressFieldCount> fields;

  int phoneLabel(int slot) const { return (options >> (4 * slot)) & 0xF; }  // slot 0..4
  void setPhoneLabel(int slot, int label) {
    options = (options & ~(0xFu << (4 * slot))) | (uint32_t(label & 0xF) << (4 * slot));
  }
  int shownPhone() const { return (options >> 20) & 0xF; }
};

bool parseAddress(std::string_view data, AddressRecord& out, std::string* error);
// Present fields only (an empty text is written as present and empty); the
// company offset is the company's position after the 9-byte head plus 1.
std::string packAddress(const AddressRecord& record);

// ---- Memo Pad ----

// The memo's text: up to the first NUL (or all of it when there is none).
std::string memoText(std::string_view data);
std::string packMemo(const std::string& text);

// ---- Mail ----

enum MailText { kSubject, kFrom, kTo, kCc, kBcc, kReplyTo, kSentTo, kBody, kMailTextCount };
extern const char* const kMailTextNames[kMailTextCount];

constexpr uint16_t kMailRead = 0x8000;
constexpr uint16_t kMailSignature = 0x4000;
constexpr uint16_t kMailConfirmRead = 0x2000;
constexpr uint16_t kMailConfirmDelivery = 0x1000;

struct MailRecord {
  int year = 0, month = 0, day = 0;  // year 0: no date
  int hour = 0, minute = 0;
  uint16_t flags = 0x0400;  // normal priority
  std::array<std::string, kMailTextCount> texts;

  int priority() const { return (flags >> 10) & 3; }  // 0 high, 1 normal, 2 low
  void setPriority(int p) { flags = static_cast<uint16_t>((flags & ~0x0C00) | ((p & 3) << 10)); }
};

bool parseMail(std::string_view data, MailRecord& out, std::string* error);
std::string packMail(const MailRecord& record);

// Handheld dates: (year - 1904) << 9 | month << 5 | day; 0 for none.
uint16_t packDate(int year, int month, int day);

// ---- To Do List ----

constexpr uint16_t kNoDueDate = 0xFFFF;
constexpr uint8_t kToDoCompleted = 0x80;  // on the priority byte

struct ToDoRecord {
  int year = 0, month = 0, day = 0;  // year 0: no due date
  int priority = 1;                  // 1..5 as the application sets it; 0..127 read
  bool completed = false;
  std::string description;
  std::string note;

  bool hasDueDate() const { return year != 0; }
};

// u16 due date (kNoDueDate: none), the priority byte, the description and
// the note, each with its NUL. A record that ends before the note's NUL is
// refused; bytes after it are ignored.
bool parseToDo(std::string_view data, ToDoRecord& out, std::string* error);
// The priority keeps its low 7 bits; a due date outside 1904..2031 cannot
// be held and is written as none.
std::string packToDo(const ToDoRecord& record);

// ---- Date Book ----

enum RepeatType : uint8_t {
  kRepeatNone = 0,
  kRepeatDaily = 1,
  kRepeatWeekly = 2,
  kRepeatMonthlyByDay = 3,   // "the 2nd Tuesday": on = week * 7 + weekday, week 4 = the last
  kRepeatMonthlyByDate = 4,  // "the 15th"
  kRepeatYearly = 5,
};
enum AlarmUnit : uint8_t { kAlarmMinutes = 0, kAlarmHours = 1, kAlarmDays = 2 };

constexpr uint16_t kEventAlarm = 0x4000;
constexpr uint16_t kEventRepeat = 0x2000;
constexpr uint16_t kEventNote = 0x1000;
constexpr uint16_t kEventExceptions = 0x0800;
constexpr uint16_t kEventDescription = 0x0400;
// The flags that say which parts follow the head.
constexpr uint16_t kEventParts = kEventAlarm | kEventRepeat | kEventNote | kEventExceptions | kEventDescription;
constexpr uint8_t kNoTime = 0xFF;    // all four time bytes of an event without time
constexpr uint16_t kNoEnd = 0xFFFF;  // a repeat that goes on for ever

struct EventAlarm {
  int8_t advance = 5;  // before the start; negative is after
  uint8_t unit = kAlarmMinutes;
};

struct EventRepeat {
  uint8_t type = kRepeatNone;
  uint16_t end = kNoEnd;  // a handheld date (packDate)
  uint8_t frequency = 1;  // every N days, weeks, months or years
  uint8_t on = 0;         // weekday bits (bit 0 Sunday) or week * 7 + weekday
  uint8_t startOfWeek = 0;
  uint8_t reserved1 = 0, reserved2 = 0;  // kept as read
};

// Dates are the handheld's u16 form (packDate, unpackDate), so that a record
// read and written again is the same bytes.
struct EventRecord {
  uint8_t startHour = kNoTime, startMinute = kNoTime, endHour = kNoTime, endMinute = kNoTime;
  uint16_t date = 0;
  uint16_t otherFlags = 0;  // flag bits outside kEventParts, kept as read
  std::optional<EventAlarm> alarm;
  std::optional<EventRepeat> repeat;
  std::optional<std::vector<uint16_t>> exceptions;
  std::optional<std::string> description;
  std::optional<std::string> note;

  bool timed() const { return startHour != kNoTime; }
};

struct Ymd {
  int year = 0, month = 0, day = 0;
};
// The parts of a handheld date (no check that the day exists).
Ymd unpackDate(uint16_t date);

// The 8-byte head, then each part its flag promises, in flag order. A record
// that ends inside a promised part, or an exception count larger than the
// bytes that follow, is refused; bytes after the last part are ignored.
bool parseEvent(std::string_view data, EventRecord& out, std::string* error);
// Flags from the parts present (plus otherFlags), then the parts.
std::string packEvent(const EventRecord& record);

// ---- The Mail HotSync preference ----

enum MailSyncType : uint8_t { kMailSyncAll = 0, kMailSyncSendOnly = 1, kMailSyncFilter = 2, kMailSyncUnread = 3 };

struct MailPreference {
  uint16_t version = 2;
  uint8_t syncType = kMailSyncAll;
  uint8_t retrieveHighPriority = 0;
  uint8_t includeMatching = 1;
  uint16_t truncation = 4000;
  std::string to, from, subject;  // filters
};

// The resource data: u16 version, then the preference bytes.
bool parseMailPreference(std::string_view data, MailPreference& out, std::string* error);
std::string packMailPreference(const MailPreference& pref);

}  // namespace palm
