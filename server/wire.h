// The server's end of the page protocol's text forms: form bodies and query
// strings in, comma-separated reply lines out.
//
//   auto form = gwserver::decodeForm("page=SyncMemo&n=%83e+x");  // ordered pairs
//   out += gwserver::quoteField("a,b\nc");                   // "a,b&#010;c"
//
// Everything here works on bytes: text stays Shift-JIS (or whatever the client
// sent) from request to storage to reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gwserver {

// One key=value piece of a form body or query, in the order sent.
struct FormField {
  std::string key;
  std::string value;
  bool hasEquals = true;  // false for a piece without '=' (its text is in key)
};
using Form = std::vector<FormField>;

// Decodes %XX (either case of hex digit) and '+' as a blank. A '%' that is not
// followed by two hex digits is kept as it stands, so that text a client
// failed to escape still arrives whole.
std::string urlDecode(std::string_view text);

// Splits at '&' and decodes each key and value; empty pieces are dropped.
Form decodeForm(std::string_view body);

// The value of the first field with this key, or nullopt.
std::optional<std::string> formValue(const Form& form, std::string_view key);

// A text field of a reply line: always quoted, a double quote doubled, LF
// written as "&#010;". Other bytes (CR and Shift-JIS included) pass unchanged.
std::string quoteField(std::string_view text);

// Decimal digits only (no sign, no blanks), fitting in 32 bits.
std::optional<uint32_t> parseUnsigned(std::string_view text);
// As parseUnsigned with an optional leading '-', fitting in a signed 32 bits.
std::optional<int32_t> parseSigned(std::string_view text);
// "ts." and a signed decimal number (the -1 of "stamp it now" included).
std::optional<int64_t> parseStamp(std::string_view text);

// A calendar day; all 0 = none.
struct Date {
  int year = 0, month = 0, day = 0;
  bool empty() const { return year == 0 && month == 0 && day == 0; }
  bool operator==(const Date&) const = default;
};
// A time of day; hour -1 = none.
struct Time {
  int hour = -1, minute = -1;
  bool empty() const { return hour < 0; }
  bool operator==(const Time&) const = default;
};

bool isValidDate(const Date& d);
// Commit form "da.Y.M.D" of a real calendar day.
std::optional<Date> parseCommitDate(std::string_view text);
// Commit form "tm.H.M.S" (seconds ignored); 0:00 to 23:59 and 24:00.
std::optional<Time> parseCommitTime(std::string_view text);
// Reply forms "Y/M/D" and "H:M"; empty for none. These are also the stored forms.
std::string formatDate(const Date& d);
std::string formatTime(const Time& t);
// The stored forms read back; empty text gives none, anything else malformed
// gives nullopt.
std::optional<Date> parseStoredDate(std::string_view text);
std::optional<Time> parseStoredTime(std::string_view text);

// Shift-JIS lead byte: the byte after it belongs to the same character.
inline bool isSjisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

}  // namespace gwserver
