// Reading and writing the server's text formats: reply lines split into
// fields, numbers, time stamps, dates and times, and the form fields of
// commit bodies. Private to the library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "gwclient/gwclient.h"

namespace platform {
class HttpRequest;
}

// A reply body read line by line: a line ends at LF, which is removed, and
// every CR in it is dropped wherever it stands; a last line without LF is
// read too; an empty body has no lines. Reads the body of a request as
// received, or bytes given (tests, benchmarks).
class CReplyReader {
 public:
  explicit CReplyReader(platform::HttpRequest& request) : m_pRequest(&request) {}
  // body must outlive the reader.
  explicit CReplyReader(std::string_view body) : m_Body(body) {}
  // The next line; false at the end.
  bool ReadLine(std::string& line);

 private:
  platform::HttpRequest* m_pRequest = nullptr;
  std::string_view m_Body;
  size_t m_Pos = 0;
};

// The fields of one reply line. Fields are split on commas; a field may be
// quoted ("a,b" and "" for a quote inside), and "&#010;" in any field stands
// for a line break.
class CFieldList {
 public:
  CFieldList() = default;
  explicit CFieldList(std::string_view line) { Split(line); }

  // Replaces the fields by those of line and rewinds.
  void Split(std::string_view line);
  // The next field, then advances; past the last one, an empty string.
  const std::string& NextField();
  size_t GetCount() const { return m_Count; }
  const std::string& operator[](size_t i) const;

 private:
  std::string& NextSlot();
  static void AppendDecoded(std::string& field, std::string_view text);

  std::vector<std::string> m_Fields;  // the first m_Count hold this line's
  size_t m_Count = 0;
  size_t m_Pos = 0;
};

// A reply line kept in a run record, whose lines end at LF and whose fields
// end at tabs: '%', tab, CR and LF written as %25, %09, %0D and %0A. The
// unescaping takes back exactly those four.
std::string EscapeRecordedLine(std::string_view line);
std::string UnescapeRecordedLine(std::string_view text);

// Removes every CR from a line read off the wire.
void DropCarriageReturns(std::string& line);

// True when text is non-empty and all decimal digits; with allowMinus a '-'
// may stand first (followed by at least one digit).
bool IsNumber(const char* text, bool allowMinus = false);
// Decimal value as the standard conversion reads it (leading blanks,
// optional sign); the low 32 bits of anything larger.
LONG NumberValue(const char* text);
// "ts." followed by digits only: that number; anything else 0.
LONG ParseTimeStamp(const char* text);
// "a,b" with both parts digits only (no sign): the two numbers; false, and
// nothing stored, for any other line.
bool ParseNumberPair(const std::string& line, DWORD* first, DWORD* second);
// A relation time stamp line: "ts." and digits, trailing white space allowed.
// False, and nothing stored, for any other line.
bool ParseTimeStampLine(const std::string& line, LONG* timeStamp);
// "year/month/day" into date; empty text is no date (0,0,0). False, and
// date 0,0,0, for anything else that is not a valid day.
bool ParseDate(const char* text, __OFFICE_DATE* date);
// "hour:minute[:anything]" into time; empty text is no time (-1,-1). False,
// and time -1,-1, for anything else that is not a valid time.
bool ParseTime(const char* text, __OFFICE_TIME* time);
// Days of month in year; 0 for a month outside 1 to 12.
int DaysInMonth(LONG year, LONG month);
bool IsValidDate(const __OFFICE_DATE& date);
// 0:00 to 23:59, and 24:00.
bool IsValidTime(const __OFFICE_TIME& time);

// A heap copy of the first length bytes of text (length -1: all of it),
// NUL-terminated; null or empty text gives one shared empty string. Throws
// std::bad_alloc when memory runs out. Free with FreeString.
char* DupString(const char* text, int length = -1);
// A DupString copy of all of text (a NUL in it ends the copy).
inline char* DupString(const std::string& text) { return DupString(text.c_str(), static_cast<int>(text.size())); }
// Frees a DupString result; null and the shared empty string are left alone.
// Every text the library owns is had and freed by this pair.
void FreeString(char* text);

// Tables of names for codes, ended by a null name.
struct CODE_NAME {
  int nCode;
  const char* pszName;
};
int NameToCode(const char* name, const CODE_NAME* table, bool ignoreCase, int def);
// Null when no entry has code.
const char* CodeToName(int code, const CODE_NAME* table);

// Form-encodes text: letters and digits stay, a blank becomes '+', every
// other byte "%XX"; a Shift-JIS lead byte and the byte after it are escaped
// together (a lead byte that ends the text alone). Throws std::bad_alloc.
std::string UrlEscape(const char* text);

// Commit-body writers; each appends "&key=value" to body.
// Text: nothing for null or empty text; false (nothing written) when memory
// runs out, upon which the caller leaves out the rest of the record.
bool WriteField(std::string& body, const char* key, const char* text);
void WriteField(std::string& body, const char* key, LONG number);
// A set flag writes 1; a clear one writes 0 only with writeZero.
void WriteFlag(std::string& body, const char* key, bool flag, bool writeZero = false);
// Only a valid date: "da.year.month.day".
void WriteField(std::string& body, const char* key, const __OFFICE_DATE& date);
// Only a valid time: "tm.hour.minute.0".
void WriteField(std::string& body, const char* key, const __OFFICE_TIME& time);

// The library's process-wide last error.
void SetLastErrorCode(DWORD code);
DWORD LastErrorCode();
