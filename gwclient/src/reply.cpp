#include "gwclient/src/reply.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/internet.h"

namespace {

DWORD g_LastError = 0;

char g_EmptyString[1] = {'\0'};

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

void SetLastErrorCode(DWORD code) { g_LastError = code; }
DWORD LastErrorCode() { return g_LastError; }

// ---------------------------------------------------------------------------

// The fields' strings are kept from line to line, so that a page of
// thousands of records is split without an allocation per field.
std::string& CFieldList::NextSlot() {
  if (m_Count == m_Fields.size()) m_Fields.emplace_back();
  std::string& f = m_Fields[m_Count++];
  f.clear();
  return f;
}

// Appends text with each "&#010;" read as a line break.
void CFieldList::AppendDecoded(std::string& field, std::string_view text) {
  static constexpr std::string_view kLineBreak = "&#010;";
  for (size_t at = text.find(kLineBreak); at != std::string_view::npos; at = text.find(kLineBreak)) {
    field.append(text.substr(0, at));
    field += '\n';
    text.remove_prefix(at + kLineBreak.size());
  }
  field.append(text);
}

// Fields are separated by commas. A field that starts with a quote runs to
// the next lone quote, "" standing for one quote, and what follows it up to
// the next comma is dropped; one without a closing quote runs to the end. A
// comma that ends the line starts no further field.
void CFieldList::Split(std::string_view line) {
  m_Count = 0;
  m_Pos = 0;
  const size_t n = line.size();
  size_t i = 0;
  while (i < n) {
    std::string& field = NextSlot();
    if (line[i] == ',') {
      ++i;
      continue;
    }
    if (line[i] != '"') {
      const size_t comma = line.find(',', i);
      const size_t end = comma == std::string_view::npos ? n : comma;
      AppendDecoded(field, line.substr(i, end - i));
      i = end == n ? n : end + 1;
      continue;
    }
    for (size_t from = i + 1;;) {
      const size_t quote = line.find('"', from);
      if (quote == std::string_view::npos) {
        AppendDecoded(field, line.substr(from));
        i = n;
        break;
      }
      AppendDecoded(field, line.substr(from, quote - from));
      if (quote + 1 < n && line[quote + 1] == '"') {
        field += '"';
        from = quote + 2;
        continue;
      }
      const size_t comma = line.find(',', quote + 1);
      i = comma == std::string_view::npos ? n : comma + 1;
      break;
    }
  }
}

const std::string& CFieldList::NextField() {
  static const std::string kEmpty;
  return m_Pos < m_Count ? m_Fields[m_Pos++] : kEmpty;
}

const std::string& CFieldList::operator[](size_t i) const {
  static const std::string kEmpty;
  return i < m_Count ? m_Fields[i] : kEmpty;
}

void DropCarriageReturns(std::string& line) {
  if (line.find('\r') != std::string::npos) std::erase(line, '\r');
}

bool CReplyReader::ReadLine(std::string& line) {
  if (m_pRequest) {
    if (!m_pRequest->readLine(line)) return false;
  } else {
    if (m_Pos >= m_Body.size()) return false;
    size_t lf = m_Body.find('\n', m_Pos);
    size_t end = lf == std::string_view::npos ? m_Body.size() : lf;
    line.assign(m_Body.substr(m_Pos, end - m_Pos));
    m_Pos = lf == std::string_view::npos ? m_Body.size() : lf + 1;
  }
  DropCarriageReturns(line);
  return true;
}

// ---------------------------------------------------------------------------

bool IsNumber(const char* text, bool allowMinus) {
  if (!text) return false;
  if (allowMinus && *text == '-') ++text;
  return AllDigits(text);
}

LONG NumberValue(const char* text) {
  if (!text) return 0;
  return static_cast<LONG>(static_cast<uint32_t>(std::strtoll(text, nullptr, 10)));
}

LONG ParseTimeStamp(const char* text) {
  if (!text || std::strncmp(text, "ts.", 3) != 0 || !AllDigits(text + 3)) return 0;
  return NumberValue(text + 3);
}

std::string EscapeRecordedLine(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\t': out += "%09"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UnescapeRecordedLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const std::string_view code = text.substr(i, 3);
    const char c = code == "%25" ? '%' : code == "%09" ? '\t' : code == "%0D" ? '\r' : code == "%0A" ? '\n' : 0;
    if (c) {
      out += c;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool ParseNumberPair(const std::string& line, DWORD* first, DWORD* second) {
  size_t comma = line.find(',');
  if (comma == std::string::npos) return false;
  std::string a = line.substr(0, comma), b = line.substr(comma + 1);
  if (!IsNumber(a.c_str()) || !IsNumber(b.c_str())) return false;
  *first = static_cast<DWORD>(NumberValue(a.c_str()));
  *second = static_cast<DWORD>(NumberValue(b.c_str()));
  return true;
}

bool ParseTimeStampLine(const std::string& line, LONG* timeStamp) {
  if (line.compare(0, 3, "ts.") != 0) return false;
  std::string digits = line.substr(3);
  digits.erase(digits.find_last_not_of(" \t\v\f\r\n") + 1);
  if (!IsNumber(digits.c_str())) return false;
  *timeStamp = NumberValue(digits.c_str());
  return true;
}

int DaysInMonth(LONG year, LONG month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

bool IsValidDate(const __OFFICE_DATE& date) {
  return date.lDay >= 1 && date.lDay <= DaysInMonth(date.lYear, date.lMonth);
}

bool IsValidTime(const __OFFICE_TIME& time) {
  if (time.lHour == 24) return time.lMinute == 0;
  return time.lHour >= 0 && time.lHour <= 23 && time.lMinute >= 0 && time.lMinute <= 59;
}

bool ParseDate(const char* text, __OFFICE_DATE* date) {
  *date = {0, 0, 0};
  if (!text || !*text) return true;
  std::string_view s(text);
  size_t a = s.find('/');
  if (a == std::string_view::npos) return false;
  size_t b = s.find('/', a + 1);
  if (b == std::string_view::npos) return false;
  std::string_view y = s.substr(0, a), m = s.substr(a + 1, b - a - 1), d = s.substr(b + 1);
  // More than a few digits cannot be a day of any year we keep.
  if (!AllDigits(y) || !AllDigits(m) || !AllDigits(d) || y.size() > 9 || m.size() > 9 || d.size() > 9) return false;
  __OFFICE_DATE v{std::atoi(std::string(y).c_str()), std::atoi(std::string(m).c_str()),
                  std::atoi(std::string(d).c_str())};
  if (v.lMonth < 1 || v.lMonth > 12 || v.lDay < 1 || v.lDay > 31 || !IsValidDate(v)) return false;
  *date = v;
  return true;
}

bool ParseTime(const char* text, __OFFICE_TIME* time) {
  *time = {-1, -1};
  if (!text || !*text) return true;
  std::string_view s(text);
  size_t a = s.find(':');
  if (a == std::string_view::npos) return false;
  std::string_view h = s.substr(0, a), m = s.substr(a + 1);
  m = m.substr(0, m.find(':'));
  if (!AllDigits(h) || !AllDigits(m) || h.size() > 9 || m.size() > 9) return false;
  __OFFICE_TIME v{std::atoi(std::string(h).c_str()), std::atoi(std::string(m).c_str())};
  if (!IsValidTime(v)) return false;
  *time = v;
  return true;
}

// ---------------------------------------------------------------------------

char* DupString(const char* text, int length) {
  if (!text || !*text || length == 0) return g_EmptyString;
  size_t n = length < 0 ? std::strlen(text) : strnlen(text, static_cast<size_t>(length));
  // Through operator new like every other allocation of the library, so
  // that its failure is met where the others are.
  char* copy = new char[n + 1];
  std::memcpy(copy, text, n);
  copy[n] = '\0';
  return copy;
}

void FreeString(char* text) {
  if (text && text != g_EmptyString) delete[] text;
}

int NameToCode(const char* name, const CODE_NAME* table, bool ignoreCase, int def) {
  if (!name) return def;
  for (; table->pszName; ++table)
    if ((ignoreCase ? strcasecmp(name, table->pszName) : std::strcmp(name, table->pszName)) == 0) return table->nCode;
  return def;
}

const char* CodeToName(int code, const CODE_NAME* table) {
  for (; table->pszName; ++table)
    if (table->nCode == code) return table->pszName;
  return nullptr;
}

// ---------------------------------------------------------------------------

std::string UrlEscape(const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  if (!text) return out;
  out.reserve(std::strlen(text) * 3);
  auto escape = [&](unsigned char c) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    unsigned char c = *p;
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF)) {
      escape(c);
      // The trail byte, whatever it is; never the terminator.
      if (p[1]) escape(*++p);
    } else {
      escape(c);
    }
  }
  return out;
}

bool WriteField(std::string& body, const char* key, const char* text) {
  if (!text || !*text) return true;
  try {
    std::string escaped = UrlEscape(text);
    body.append("&").append(key).append("=").append(escaped);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void WriteField(std::string& body, const char* key, LONG number) {
  body.append("&").append(key).append("=").append(std::to_string(number));
}

void WriteFlag(std::string& body, const char* key, bool flag, bool writeZero) {
  if (flag || writeZero) body.append("&").append(key).append(flag ? "=1" : "=0");
}

void WriteField(std::string& body, const char* key, const __OFFICE_DATE& date) {
  if (!IsValidDate(date)) return;
  body.append("&")
      .append(key)
      .append("=da.")
      .append(std::to_string(date.lYear))
      .append(".")
      .append(std::to_string(date.lMonth))
      .append(".")
      .append(std::to_string(date.lDay));
}

void WriteField(std::string& body, const char* key, const __OFFICE_TIME& time) {
  if (!IsValidTime(time)) return;
  body.append("&")
      .append(key)
      .append("=tm.")
      .append(std::to_string(time.lHour))
      .append(".")
      .append(std::to_string(time.lMinute))
      .append(".0");
}
