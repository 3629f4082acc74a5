#include "server/wire.h"

#include <charconv>

namespace gwserver {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Splits "a<sep>b<sep>c" into exactly n numbers, each digits only.
bool splitNumbers(std::string_view text, char sep, int* out, int n) {
  for (int i = 0; i < n; ++i) {
    size_t end = text.find(sep);
    std::string_view part = text.substr(0, end);
    if (!allDigits(part) || part.size() > 6) return false;
    std::from_chars(part.data(), part.data() + part.size(), out[i]);
    if (i == n - 1) return end == std::string_view::npos;
    if (end == std::string_view::npos) return false;
    text.remove_prefix(end + 1);
  }
  return true;
}

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return days[month - 1];
}

bool isValidTime(const Time& t) {
  return (t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59) || (t.hour == 24 && t.minute == 0);
}

}  // namespace

std::string urlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

Form decodeForm(std::string_view body) {
  Form form;
  while (!body.empty()) {
    size_t amp = body.find('&');
    std::string_view piece = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos) form.push_back({urlDecode(piece), std::string(), false});
    else form.push_back({urlDecode(piece.substr(0, eq)), urlDecode(piece.substr(eq + 1)), true});
  }
  return form;
}

std::optional<std::string> formValue(const Form& form, std::string_view key) {
  for (const auto& f : form)
    if (f.hasEquals && f.key == key) return f.value;
  return std::nullopt;
}

std::string quoteField(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    if (c == '"') out += "\"\"";
    else if (c == '\n') out += "&#010;";
    else out += c;
  }
  out += '"';
  return out;
}

std::optional<uint32_t> parseUnsigned(std::string_view text) {
  if (!allDigits(text)) return std::nullopt;
  uint32_t v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<int32_t> parseSigned(std::string_view text) {
  bool minus = !text.empty() && text[0] == '-';
  std::string_view digits = minus ? text.substr(1) : text;
  if (!allDigits(digits)) return std::nullopt;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (ec != std::errc() || p != digits.data() + digits.size()) return std::nullopt;
  if (minus) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<int64_t> parseStamp(std::string_view text) {
  if (text.substr(0, 3) != "ts.") return std::nullopt;
  auto v = parseSigned(text.substr(3));
  if (!v) return std::nullopt;
  return *v;
}

bool isValidDate(const Date& d) {
  return d.year >= 1 && d.year <= 9999 && d.day >= 1 && d.day <= daysInMonth(d.year, d.month);
}

std::optional<Date> parseCommitDate(std::string_view text) {
  if (text.substr(0, 3) != "da.") return std::nullopt;
  int n[3];
  if (!splitNumbers(text.substr(3), '.', n, 3)) return std::nullopt;
  Date d{n[0], n[1], n[2]};
  if (!isValidDate(d)) return std::nullopt;
  return d;
}

std::optional<Time> parseCommitTime(std::string_view text) {
  if (text.substr(0, 3) != "tm.") return std::nullopt;
  int n[3];
  std::string_view rest = text.substr(3);
  // The seconds part is optional and ignored.
  if (!splitNumbers(rest, '.', n, 3) && !splitNumbers(rest, '.', n, 2)) return std::nullopt;
  Time t{n[0], n[1]};
  if (!isValidTime(t)) return std::nullopt;
  return t;
}

std::string formatDate(const Date& d) {
  if (d.empty()) return {};
  return std::to_string(d.year) + "/" + std::to_string(d.month) + "/" + std::to_string(d.day);
}

std::string formatTime(const Time& t) {
  if (t.empty()) return {};
  std::string minute = std::to_string(t.minute);
  return std::to_string(t.hour) + ":" + (minute.size() < 2 ? "0" : "") + minute;
}

std::optional<Date> parseStoredDate(std::string_view text) {
  if (text.empty()) return Date{};
  int n[3];
  if (!splitNumbers(text, '/', n, 3)) return std::nullopt;
  Date d{n[0], n[1], n[2]};
  if (!isValidDate(d)) return std::nullopt;
  return d;
}

std::optional<Time> parseStoredTime(std::string_view text) {
  if (text.empty()) return Time{};
  int n[2];
  if (!splitNumbers(text, ':', n, 2)) return std::nullopt;
  Time t{n[0], n[1]};
  if (!isValidTime(t)) return std::nullopt;
  return t;
}

}  // namespace gwserver
