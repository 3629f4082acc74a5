// Form decoding, reply quoting and the commit value forms, checked against the
// client's own reading rules (tests/reader.h).
#include "server/wire.h"

#include <gtest/gtest.h>

#include "server/tests/reader.h"

namespace gwserver {
namespace {

// Legend: encoded text, decoded bytes.
struct DecodeRow {
  const char* in;
  std::string out;
};

class UrlDecode : public ::testing::TestWithParam<DecodeRow> {};

TEST_P(UrlDecode, DecodesLikeAFormBody) { EXPECT_EQ(urlDecode(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(Rows, UrlDecode,
                         ::testing::Values(DecodeRow{"a+b", "a b"},                        // 0 plus is a blank
                                           DecodeRow{"%41%2b%2B", "A++"},                  // 1 hex of either case
                                           DecodeRow{"%96%B3%91%E8", "\x96\xB3\x91\xE8"},  // 2 Shift-JIS bytes
                                           DecodeRow{"100%", "100%"},                      // 3 lone percent kept
                                           DecodeRow{"%4", "%4"},                          // 4 short escape kept
                                           DecodeRow{"%zz1", "%zz1"},                      // 5 not hex: kept
                                           DecodeRow{"%00x", std::string("\0x", 2)},       // 6 NUL byte decoded
                                           DecodeRow{"", ""}));                            // 7 empty

TEST(DecodeForm, KeepsOrderRepeatsAndPiecesWithoutEquals) {
  Form f = decodeForm("page=SyncMemo&i=5&i=0&&n=%83%5C&bare&d=");
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[0].key, "page");
  EXPECT_EQ(f[1].value, "5");
  EXPECT_EQ(f[2].value, "0");
  EXPECT_EQ(f[3].value, "\x83\x5C");
  EXPECT_FALSE(f[4].hasEquals);
  EXPECT_EQ(f[4].key, "bare");
  EXPECT_TRUE(f[5].hasEquals);
  EXPECT_EQ(f[5].value, "");
  EXPECT_EQ(formValue(f, "i"), "5");
  EXPECT_FALSE(formValue(f, "bare").has_value());
}

// Every byte a client can send, in every position, comes back from a quoted
// field unchanged; CR is the one byte the client's reader drops.
TEST(QuoteField, EveryByteButCarriageReturnSurvivesTheClientsReader) {
  std::string all;
  for (int c = 1; c < 256; ++c)
    if (c != '\r') all += static_cast<char>(c);
  const std::string samples[] = {all,
                                 "",
                                 ",",
                                 "\"",
                                 "\"\"",
                                 "a,\"b\",c",
                                 "\n",
                                 "x\n",
                                 "\nx\n\n",
                                 "\x83\x5C\x83\x5C",
                                 "ends with quote\"",
                                 "\"starts",
                                 " lead blank"};
  for (const std::string& s : samples) {
    std::string line = "7," + quoteField(s) + "," + quoteField("after");
    ASSERT_EQ(line.find('\n'), std::string::npos);
    auto f = gwtest::fields(line);
    ASSERT_EQ(f.size(), 3u) << line;
    EXPECT_EQ(f[1], s);
    EXPECT_EQ(f[2], "after");
  }
}

TEST(QuoteField, CarriageReturnIsDroppedByTheReaderOnly) {
  std::string line = "1," + quoteField("a\r\nb");
  auto ls = gwtest::lines(line + "\n");
  ASSERT_EQ(ls.size(), 1u);
  EXPECT_EQ(gwtest::fields(ls[0])[1], "a\nb");
}

// Legend: text, valid, year, month, day.
struct DateRow {
  const char* text;
  bool ok;
  int y = 0, m = 0, d = 0;
};

class CommitDate : public ::testing::TestWithParam<DateRow> {};

TEST_P(CommitDate, Parses) {
  auto d = parseCommitDate(GetParam().text);
  ASSERT_EQ(d.has_value(), GetParam().ok) << GetParam().text;
  if (d) {
    EXPECT_EQ(*d, (Date{GetParam().y, GetParam().m, GetParam().d}));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CommitDate,
                         ::testing::Values(DateRow{"da.2024.2.29", true, 2024, 2, 29},  // 0 leap day
                                           DateRow{"da.1900.2.29", false},              // 1 not leap
                                           DateRow{"da.2000.2.29", true, 2000, 2, 29},  // 2 leap by 400
                                           DateRow{"da.2024.13.1", false},              // 3 month 13
                                           DateRow{"da.2024.4.31", false},              // 4 day 31 in April
                                           DateRow{"da.2024.1", false},                 // 5 too few parts
                                           DateRow{"da.2024.1.1.1", false},             // 6 too many parts
                                           DateRow{"2024.1.1", false},                  // 7 no prefix
                                           DateRow{"da.-1.1.1", false},                 // 8 sign
                                           DateRow{"da.0.0.0", false}));                // 9 no date is no valid date

// Legend: text, valid, hour, minute.
struct TimeRow {
  const char* text;
  bool ok;
  int h = -1, m = -1;
};

class CommitTime : public ::testing::TestWithParam<TimeRow> {};

TEST_P(CommitTime, Parses) {
  auto t = parseCommitTime(GetParam().text);
  ASSERT_EQ(t.has_value(), GetParam().ok) << GetParam().text;
  if (t) {
    EXPECT_EQ(*t, (Time{GetParam().h, GetParam().m}));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CommitTime,
                         ::testing::Values(TimeRow{"tm.9.5.0", true, 9, 5},    // 0
                                           TimeRow{"tm.24.0.0", true, 24, 0},  // 1 end of day
                                           TimeRow{"tm.24.1.0", false},        // 2
                                           TimeRow{"tm.23.60.0", false},       // 3
                                           TimeRow{"tm.12.30", true, 12, 30},  // 4 seconds optional
                                           TimeRow{"tm..0.0", false},          // 5
                                           TimeRow{"12:30", false}));          // 6 reply form is not a commit form

TEST(Numbers, RejectSignsBlanksAndOverflowWhereTheyDoNotBelong) {
  EXPECT_EQ(parseUnsigned("4294967295"), 4294967295u);
  EXPECT_FALSE(parseUnsigned("4294967296"));
  EXPECT_FALSE(parseUnsigned("-1"));
  EXPECT_FALSE(parseUnsigned(" 1"));
  EXPECT_FALSE(parseUnsigned(""));
  EXPECT_EQ(parseSigned("-11"), -11);
  EXPECT_FALSE(parseSigned("-"));
  EXPECT_EQ(parseStamp("ts.-1"), -1);
  EXPECT_EQ(parseStamp("ts.1700000000"), 1700000000);
  EXPECT_FALSE(parseStamp("1700000000"));
  EXPECT_FALSE(parseStamp("ts."));
}

TEST(StoredForms, RoundTrip) {
  EXPECT_EQ(formatDate({2024, 2, 9}), "2024/2/9");
  EXPECT_EQ(parseStoredDate("2024/2/9"), (Date{2024, 2, 9}));
  EXPECT_EQ(parseStoredDate(""), Date{});
  EXPECT_FALSE(parseStoredDate("2024/2/30"));
  EXPECT_EQ(formatTime({24, 0}), "24:00");
  EXPECT_EQ(parseStoredTime("7:05"), (Time{7, 5}));
  EXPECT_EQ(formatTime({}), "");
}

}  // namespace
}  // namespace gwserver
