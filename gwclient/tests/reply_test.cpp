// Splitting reply lines, the value formats of replies, and the form encoding
// of commit bodies.
#include "gwclient/src/reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::string>;

Fields split(const std::string& line) {
  CFieldList list(line);
  Fields out;
  for (size_t i = 0; i < list.GetCount(); ++i) out.push_back(list[i]);
  return out;
}

// Legend: the reply line as it arrives (CRs already dropped), the fields it
// splits into.
struct SplitRow {
  const char* line;
  Fields fields;
};
void PrintTo(const SplitRow& r, std::ostream* os) { *os << "'" << r.line << "'"; }

class SplitTest : public ::testing::TestWithParam<SplitRow> {};

TEST_P(SplitTest, SplitsAsTheServerQuotes) { EXPECT_EQ(split(GetParam().line), GetParam().fields) << GetParam().line; }

INSTANTIATE_TEST_SUITE_P(Rows, SplitTest,
                         ::testing::Values(
                             /* 0 */ SplitRow{"", {}},
                             /* 1 */ SplitRow{"a", {"a"}},
                             /* 2 */ SplitRow{"1,Ann,x", {"1", "Ann", "x"}},
                             /* 3 quoted comma */ SplitRow{"1,\"Smith, Ann\",3", {"1", "Smith, Ann", "3"}},
                             /* 4 doubled quote */ SplitRow{"\"say \"\"hi\"\"\",2", {"say \"hi\"", "2"}},
                             /* 5 line break */ SplitRow{"a&#010;b,\"c&#010;d\"", {"a\nb", "c\nd"}},
                             /* 6 leading comma */ SplitRow{",a", {"", "a"}},
                             /* 7 trailing comma */ SplitRow{"a,", {"a"}},
                             /* 8 two commas */ SplitRow{"a,,", {"a", ""}},
                             /* 9 lone comma */ SplitRow{",", {""}},
                             /* 10 unclosed quote */ SplitRow{"1,\"open, end", {"1", "open, end"}},
                             /* 11 after quote */ SplitRow{"\"a\"junk,b", {"a", "b"}},
                             /* 12 empty quoted */ SplitRow{"\"\",x", {"", "x"}},
                             /* 13 lone quote */ SplitRow{"a,\"", {"a", ""}},
                             /* 14 quote in plain */ SplitRow{"ab\"c,d", {"ab\"c", "d"}},
                             /* 15 doubled at end */ SplitRow{"\"ab\"\"", {"ab\""}},
                             /* 16 single last char */ SplitRow{"a,b", {"a", "b"}},
                             /* 17 escape split by quotes stays */ SplitRow{"\"&#0\"\"10;\"", {"&#0\"10;"}},
                             /* 18 shift-jis bytes pass */ SplitRow{"\x83\x65,\x82\xA0", {"\x83\x65", "\x82\xA0"}}));

TEST(FieldList, NextFieldReadsPastTheEndAsEmpty) {
  CFieldList list("a,b");
  EXPECT_EQ(list.NextField(), "a");
  EXPECT_EQ(list.NextField(), "b");
  EXPECT_EQ(list.NextField(), "");
  EXPECT_EQ(list.NextField(), "");
  EXPECT_EQ(list[7], "");
}

// Legend: reply body, the lines read from it.
struct ReaderRow {
  std::string body;
  Fields lines;
};
void PrintTo(const ReaderRow& r, std::ostream* os) { *os << "'" << r.body << "'"; }
class ReplyReaderTest : public ::testing::TestWithParam<ReaderRow> {};
TEST_P(ReplyReaderTest, ReadsLines) {
  CReplyReader reader(GetParam().body);
  Fields lines;
  std::string line;
  while (reader.ReadLine(line)) lines.push_back(line);
  EXPECT_EQ(lines, GetParam().lines);
}
INSTANTIATE_TEST_SUITE_P(Rows, ReplyReaderTest,
                         ::testing::Values(ReaderRow{"", {}}, ReaderRow{"\n", {""}}, ReaderRow{"a", {"a"}},
                                           ReaderRow{"a\nb\n", {"a", "b"}}, ReaderRow{"a\r\nb", {"a", "b"}},
                                           ReaderRow{"a\rb\r\r\n\r\n", {"ab", ""}}, ReaderRow{"\n\nx", {"", "", "x"}},
                                           // a NUL stays inside its line; the line ends only at LF
                                           ReaderRow{std::string("a\0b\nc", 5), {std::string("a\0b", 3), "c"}}));

TEST(FieldList, DropsEveryCarriageReturn) {
  std::string line = "a\r,b\r\r";
  DropCarriageReturns(line);
  EXPECT_EQ(line, "a,b");
}

// Legend: text, allow minus, IsNumber.
struct NumberRow {
  const char* text;
  bool minus;
  bool number;
};
void PrintTo(const NumberRow& r, std::ostream* os) { *os << "'" << r.text << (r.minus ? "' signed" : "'"); }
class IsNumberTest : public ::testing::TestWithParam<NumberRow> {};
TEST_P(IsNumberTest, Decides) {
  EXPECT_EQ(IsNumber(GetParam().text, GetParam().minus), GetParam().number) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(Rows, IsNumberTest,
                         ::testing::Values(NumberRow{"0", false, true}, NumberRow{"", false, false},
                                           NumberRow{"12a", false, false}, NumberRow{" 1", false, false},
                                           NumberRow{"-5", false, false}, NumberRow{"-5", true, true},
                                           NumberRow{"-", true, false}, NumberRow{"5-", true, false},
                                           NumberRow{"+5", true, false}));

TEST(Values, TimeStampNeedsItsPrefixAndDigitsOnly) {
  EXPECT_EQ(ParseTimeStamp("ts.1700000000"), 1700000000);
  EXPECT_EQ(ParseTimeStamp("ts."), 0);
  EXPECT_EQ(ParseTimeStamp("ts.12x"), 0);
  EXPECT_EQ(ParseTimeStamp("TS.12"), 0);
  EXPECT_EQ(ParseTimeStamp("12"), 0);
  EXPECT_EQ(ParseTimeStamp(nullptr), 0);
}

// Legend: text, parsed, year, month, day.
struct DateRow {
  const char* text;
  bool ok;
  __OFFICE_DATE date;
};
void PrintTo(const DateRow& r, std::ostream* os) { *os << "'" << r.text << "'"; }
class ParseDateTest : public ::testing::TestWithParam<DateRow> {};
TEST_P(ParseDateTest, Reads) {
  __OFFICE_DATE d{7, 7, 7};
  EXPECT_EQ(ParseDate(GetParam().text, &d), GetParam().ok) << GetParam().text;
  EXPECT_EQ(d.lYear, GetParam().date.lYear);
  EXPECT_EQ(d.lMonth, GetParam().date.lMonth);
  EXPECT_EQ(d.lDay, GetParam().date.lDay);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, ParseDateTest,
    ::testing::Values(DateRow{"", true, {0, 0, 0}}, DateRow{"2024/2/29", true, {2024, 2, 29}},
                      DateRow{"2000/02/29", true, {2000, 2, 29}}, DateRow{"1900/2/29", false, {0, 0, 0}},
                      DateRow{"2023/2/29", false, {0, 0, 0}}, DateRow{"2023/4/31", false, {0, 0, 0}},
                      DateRow{"2023/13/1", false, {0, 0, 0}}, DateRow{"2023/0/1", false, {0, 0, 0}},
                      DateRow{"2023/1/0", false, {0, 0, 0}}, DateRow{"2023/1", false, {0, 0, 0}},
                      DateRow{"2023/1/2/3", false, {0, 0, 0}}, DateRow{"2023/-1/2", false, {0, 0, 0}},
                      DateRow{"2023/1/ 2", false, {0, 0, 0}},
                      DateRow{"2023/1/99999999999999999999", false, {0, 0, 0}}));

// Legend: text, parsed, hour, minute.
struct TimeRow {
  const char* text;
  bool ok;
  __OFFICE_TIME time;
};
void PrintTo(const TimeRow& r, std::ostream* os) { *os << "'" << r.text << "'"; }
class ParseTimeTest : public ::testing::TestWithParam<TimeRow> {};
TEST_P(ParseTimeTest, Reads) {
  __OFFICE_TIME t{7, 7};
  EXPECT_EQ(ParseTime(GetParam().text, &t), GetParam().ok) << GetParam().text;
  EXPECT_EQ(t.lHour, GetParam().time.lHour);
  EXPECT_EQ(t.lMinute, GetParam().time.lMinute);
}
INSTANTIATE_TEST_SUITE_P(Rows, ParseTimeTest,
                         ::testing::Values(TimeRow{"", true, {-1, -1}}, TimeRow{"9:05", true, {9, 5}},
                                           TimeRow{"23:59:58", true, {23, 59}}, TimeRow{"24:00", true, {24, 0}},
                                           TimeRow{"24:01", false, {-1, -1}}, TimeRow{"12:60", false, {-1, -1}},
                                           TimeRow{"12", false, {-1, -1}}, TimeRow{"12:", false, {-1, -1}},
                                           TimeRow{"a:10", false, {-1, -1}}));

TEST(Values, DaysInMonthFollowsTheLeapRules) {
  const int expected[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int m = 1; m <= 12; ++m) EXPECT_EQ(DaysInMonth(2023, m), expected[m - 1]) << m;
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2100, 2), 28);
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(2023, 0), 0);
  EXPECT_EQ(DaysInMonth(2023, 13), 0);
}

TEST(Strings, DupStringSharesOneEmptyStringAndCopiesTheRest) {
  char* a = DupString(nullptr);
  char* b = DupString("");
  EXPECT_EQ(a, b);
  EXPECT_STREQ(a, "");
  FreeString(a);  // never freed: the next empty text gets it again
  EXPECT_EQ(DupString(""), b);
  char* c = DupString("abcdef", 3);
  EXPECT_STREQ(c, "abc");
  char* d = DupString("ab", 10);  // never reads past the terminator
  EXPECT_STREQ(d, "ab");
  FreeString(c);
  FreeString(d);
  FreeString(nullptr);
}

TEST(Strings, NameAndCodeTables) {
  const CODE_NAME table[] = {{1, "Down"}, {3, "Sync"}, {4, "down"}, {0, nullptr}};
  EXPECT_EQ(NameToCode("down", table, false, -1), 4);
  EXPECT_EQ(NameToCode("DOWN", table, true, -1), 1);
  EXPECT_EQ(NameToCode("DOWN", table, false, -1), -1);
  EXPECT_EQ(NameToCode(nullptr, table, true, -2), -2);
  EXPECT_STREQ(CodeToName(3, table), "Sync");
  EXPECT_EQ(CodeToName(9, table), nullptr);
}

// Legend: text, escaped form value.
struct EscapeRow {
  const char* text;
  const char* escaped;
};
void PrintTo(const EscapeRow& r, std::ostream* os) { *os << "'" << r.text << "'"; }
class UrlEscapeTest : public ::testing::TestWithParam<EscapeRow> {};
TEST_P(UrlEscapeTest, Escapes) { EXPECT_EQ(UrlEscape(GetParam().text), GetParam().escaped); }
INSTANTIATE_TEST_SUITE_P(Rows, UrlEscapeTest,
                         ::testing::Values(EscapeRow{"", ""}, EscapeRow{"Az09", "Az09"}, EscapeRow{"a b", "a+b"},
                                           EscapeRow{"a&b=c+d%", "a%26b%3Dc%2Bd%25"}, EscapeRow{".-_~", "%2E%2D%5F%7E"},
                                           EscapeRow{"\n\t", "%0A%09"},
                                           // a lead byte takes the next byte with it, whatever it is
                                           EscapeRow{"\x82\x41z", "%82%41z"}, EscapeRow{"\xE0 ", "%E0%20"},
                                           // a lead byte at the very end is escaped alone
                                           EscapeRow{"a\x81", "a%81"},
                                           // bytes that are no lead byte are escaped one by one
                                           EscapeRow{"\xA0\xF0\x7F", "%A0%F0%7F"}));

TEST(CommitFields, WriteOnlyWhatTheRulesAllow) {
  std::string body;
  EXPECT_TRUE(WriteField(body, "n", static_cast<const char*>(nullptr)));
  EXPECT_TRUE(WriteField(body, "n", ""));
  EXPECT_EQ(body, "");
  EXPECT_TRUE(WriteField(body, "n", "Ann Lee&Co"));
  WriteField(body, "i", static_cast<LONG>(-3));
  WriteField(body, "z", static_cast<LONG>(0));
  WriteFlag(body, "f", true);
  WriteFlag(body, "g", false);
  WriteFlag(body, "h", false, true);
  WriteField(body, "d", __OFFICE_DATE{2024, 2, 29});
  WriteField(body, "e", __OFFICE_DATE{2023, 2, 29});
  WriteField(body, "e", __OFFICE_DATE{0, 0, 0});
  WriteField(body, "t", __OFFICE_TIME{24, 0});
  WriteField(body, "u", __OFFICE_TIME{-1, -1});
  WriteField(body, "u", __OFFICE_TIME{10, 60});
  EXPECT_EQ(body, "&n=Ann+Lee%26Co&i=-3&z=0&f=1&h=0&d=da.2024.2.29&t=tm.24.0.0");
}

}  // namespace
