#include "hotsync/handheld/records.h"

#include <algorithm>

#include "hotsync/pdb/pdb.h"

namespace palm {

const char* const kPhoneLabels[8] = {"work", "home", "fax", "other", "e-mail", "main", "pager", "mobile"};

const char* const kAddressFieldNames[kAddressFieldCount] = {
    "last name", "first name", "company", "phone 1", "phone 2",  "phone 3",  "phone 4",  "phone 5",  "address", "city",
    "state",     "zip code",   "country", "title",   "custom 1", "custom 2", "custom 3", "custom 4", "note"};

const char* const kMailTextNames[kMailTextCount] = {"subject", "from",     "to",      "cc",
                                                    "bcc",     "reply-to", "sent-to", "body"};

namespace {

bool fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// Takes one NUL-terminated text at `at`; false when the NUL is missing.
bool takeText(std::string_view data, size_t& at, std::string& out) {
  size_t nul = data.find('\0', at);
  if (nul == std::string_view::npos) return false;
  out = std::string(data.substr(at, nul - at));
  at = nul + 1;
  return true;
}

}  // namespace

bool parseAddress(std::string_view data, AddressRecord& out, std::string* error) {
  if (data.size() < 9)
    return fail(error, "an address record needs 9 bytes, this one has " + std::to_string(data.size()));
  AddressRecord r;
  r.options = getU32(data, 0);
  const uint32_t flags = getU32(data, 4);
  if (flags >> kAddressFieldCount)
    return fail(error, "the address record marks fields that do not exist (flags " + std::to_string(flags) + ")");
  size_t at = 9;
  for (int k = 0; k < kAddressFieldCount; ++k) {
    if (!(flags & (1u << k))) continue;
    std::string text;
    if (!takeText(data, at, text))
      return fail(error, std::string("the address record ends inside its ") + kAddressFieldNames[k]);
    r.fields[k] = std::move(text);
  }
  out = std::move(r);
  return true;
}

std::string packAddress(const AddressRecord& r) {
  std::string out;
  appendU32(out, r.options);
  uint32_t flags = 0;
  for (int k = 0; k < kAddressFieldCount; ++k)
    if (r.fields[k]) flags |= 1u << k;
  appendU32(out, flags);
  out.push_back('\0');  // company offset, set below
  for (int k = 0; k < kAddressFieldCount; ++k) {
    if (!r.fields[k]) continue;
    if (k == kCompany) out[8] = static_cast<char>(out.size() - 9 + 1);
    out += *r.fields[k];
    out.push_back('\0');
  }
  return out;
}

std::string memoText(std::string_view data) { return std::string(data.substr(0, data.find('\0'))); }

std::string packMemo(const std::string& text) { return text + std::string(1, '\0'); }

uint16_t packDate(int year, int month, int day) {
  if (year == 0) return 0;
  return static_cast<uint16_t>(((year - 1904) << 9) | (month << 5) | day);
}

bool parseMail(std::string_view data, MailRecord& out, std::string* error) {
  if (data.size() < 6) return fail(error, "a mail record needs 6 bytes, this one has " + std::to_string(data.size()));
  MailRecord m;
  const uint16_t date = getU16(data, 0);
  if (date != 0) {
    m.year = 1904 + (date >> 9);
    m.month = (date >> 5) & 0xF;
    m.day = date & 0x1F;
  }
  m.hour = static_cast<uint8_t>(data[2]);
  m.minute = static_cast<uint8_t>(data[3]);
  m.flags = getU16(data, 4);
  size_t at = 6;
  for (int t = 0; t < kMailTextCount; ++t)
    if (!takeText(data, at, m.texts[t]))
      return fail(error, std::string("the mail record ends inside its ") + kMailTextNames[t]);
  out = std::move(m);
  return true;
}

std::string packMail(const MailRecord& m) {
  std::string out;
  appendU16(out, packDate(m.year, m.month, m.day));
  out.push_back(static_cast<char>(m.hour));
  out.push_back(static_cast<char>(m.minute));
  appendU16(out, m.flags);
  for (const std::string& text : m.texts) {
    out += text;
    out.push_back('\0');
  }
  return out;
}

bool parseToDo(std::string_view data, ToDoRecord& out, std::string* error) {
  if (data.size() < 3) return fail(error, "a to-do record needs 3 bytes, this one has " + std::to_string(data.size()));
  ToDoRecord t;
  const uint16_t date = getU16(data, 0);
  if (date != kNoDueDate) {
    t.year = 1904 + (date >> 9);
    t.month = (date >> 5) & 0xF;
    t.day = date & 0x1F;
  }
  const auto priority = static_cast<uint8_t>(data[2]);
  t.completed = (priority & kToDoCompleted) != 0;
  t.priority = priority & 0x7F;
  size_t at = 3;
  if (!takeText(data, at, t.description)) return fail(error, "the to-do record ends inside its description");
  if (!takeText(data, at, t.note)) return fail(error, "the to-do record ends inside its note");
  out = std::move(t);
  return true;
}

std::string packToDo(const ToDoRecord& t) {
  std::string out;
  const bool holdable = t.year >= 1904 && t.year <= 2031 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31;
  appendU16(out, holdable ? packDate(t.year, t.month, t.day) : kNoDueDate);
  out.push_back(static_cast<char>((t.priority & 0x7F) | (t.completed ? kToDoCompleted : 0)));
  out += t.description;
  out.push_back('\0');
  out += t.note;
  out.push_back('\0');
  return out;
}

Ymd unpackDate(uint16_t date) { return {1904 + (date >> 9), (date >> 5) & 0xF, date & 0x1F}; }

bool parseEvent(std::string_view data, EventRecord& out, std::string* error) {
  if (data.size() < 8) return fail(error, "an event record needs 8 bytes, this one has " + std::to_string(data.size()));
  EventRecord e;
  e.startHour = static_cast<uint8_t>(data[0]);
  e.startMinute = static_cast<uint8_t>(data[1]);
  e.endHour = static_cast<uint8_t>(data[2]);
  e.endMinute = static_cast<uint8_t>(data[3]);
  e.date = getU16(data, 4);
  const uint16_t flags = getU16(data, 6);
  e.otherFlags = flags & static_cast<uint16_t>(~kEventParts);
  size_t at = 8;
  auto need = [&](size_t n, const char* part) {
    if (data.size() - at >= n) return true;
    return fail(error, std::string("the event record ends inside its ") + part);
  };
  if (flags & kEventAlarm) {
    if (!need(2, "alarm")) return false;
    e.alarm = EventAlarm{static_cast<int8_t>(data[at]), static_cast<uint8_t>(data[at + 1])};
    at += 2;
  }
  if (flags & kEventRepeat) {
    if (!need(8, "repeat")) return false;
    EventRepeat r;
    r.type = static_cast<uint8_t>(data[at]);
    r.reserved1 = static_cast<uint8_t>(data[at + 1]);
    r.end = getU16(data, at + 2);
    r.frequency = static_cast<uint8_t>(data[at + 4]);
    r.on = static_cast<uint8_t>(data[at + 5]);
    r.startOfWeek = static_cast<uint8_t>(data[at + 6]);
    r.reserved2 = static_cast<uint8_t>(data[at + 7]);
    e.repeat = r;
    at += 8;
  }
  if (flags & kEventExceptions) {
    if (!need(2, "exception count")) return false;
    const size_t count = getU16(data, at);
    at += 2;
    if (!need(2 * count, "exception dates")) return false;
    e.exceptions.emplace();
    for (size_t i = 0; i < count; ++i, at += 2) e.exceptions->push_back(getU16(data, at));
  }
  if (flags & kEventDescription) {
    e.description.emplace();
    if (!takeText(data, at, *e.description)) return fail(error, "the event record ends inside its description");
  }
  if (flags & kEventNote) {
    e.note.emplace();
    if (!takeText(data, at, *e.note)) return fail(error, "the event record ends inside its note");
  }
  out = std::move(e);
  return true;
}

std::string packEvent(const EventRecord& e) {
  uint16_t flags = e.otherFlags & static_cast<uint16_t>(~kEventParts);
  if (e.alarm) flags |= kEventAlarm;
  if (e.repeat) flags |= kEventRepeat;
  if (e.note) flags |= kEventNote;
  if (e.exceptions) flags |= kEventExceptions;
  if (e.description) flags |= kEventDescription;
  std::string out;
  for (uint8_t b : {e.startHour, e.startMinute, e.endHour, e.endMinute}) out.push_back(static_cast<char>(b));
  appendU16(out, e.date);
  appendU16(out, flags);
  if (e.alarm) {
    out.push_back(static_cast<char>(e.alarm->advance));
    out.push_back(static_cast<char>(e.alarm->unit));
  }
  if (e.repeat) {
    const EventRepeat& r = *e.repeat;
    out.push_back(static_cast<char>(r.type));
    out.push_back(static_cast<char>(r.reserved1));
    appendU16(out, r.end);
    for (uint8_t b : {r.frequency, r.on, r.startOfWeek, r.reserved2}) out.push_back(static_cast<char>(b));
  }
  if (e.exceptions) {
    // The count is a u16: more dates than that cannot be held.
    const size_t count = std::min<size_t>(e.exceptions->size(), 0xFFFF);
    appendU16(out, static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) appendU16(out, (*e.exceptions)[i]);
  }
  for (const std::optional<std::string>* text : {&e.description, &e.note}) {
    if (!*text) continue;
    // A NUL inside would end the text early for every reader.
    out.append((*text)->data(), std::min((*text)->size(), (*text)->find('\0')));
    out.push_back('\0');
  }
  return out;
}

bool parseMailPreference(std::string_view data, MailPreference& out, std::string* error) {
  if (data.size() < 8)
    return fail(error, "the mail preference needs 8 bytes, this one has " + std::to_string(data.size()));
  MailPreference p;
  p.version = getU16(data, 0);
  p.syncType = static_cast<uint8_t>(data[2]);
  p.retrieveHighPriority = static_cast<uint8_t>(data[3]);
  p.includeMatching = static_cast<uint8_t>(data[4]);
  p.truncation = getU16(data, 6);
  // The filter texts may be missing altogether (older preferences).
  size_t at = 8;
  for (std::string* text : {&p.to, &p.from, &p.subject}) {
    if (at >= data.size()) break;
    if (!takeText(data, at, *text)) return fail(error, "the mail preference ends inside a filter text");
  }
  out = std::move(p);
  return true;
}

std::string packMailPreference(const MailPreference& p) {
  std::string out;
  appendU16(out, p.version);
  out.push_back(static_cast<char>(p.syncType));
  out.push_back(static_cast<char>(p.retrieveHighPriority));
  out.push_back(static_cast<char>(p.includeMatching));
  out.push_back('\0');
  appendU16(out, p.truncation);
  for (const std::string* text : {&p.to, &p.from, &p.subject}) {
    out += *text;
    out.push_back('\0');
  }
  return out;
}

}  // namespace palm
