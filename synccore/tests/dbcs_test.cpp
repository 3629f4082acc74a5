// The bounded copy of Shift-JIS text: every mode, with and without suffix,
// never a split double-byte character, never a byte past the destination.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "synccore/helpers.h"

namespace {

// "ア" in Shift-JIS; its second byte is in the ASCII range's neighbourhood.
const std::string kA = "\x83\x41";
// "ソ": second byte 0x5C, a backslash when read alone.
const std::string kSo = "\x83\x5c";

std::string times(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// Legend: source text, destination size, mode, suffix (null = none),
// expected text, expected answer (bytes written with terminator).
struct CopyRow {
  const char* what;
  std::string src;
  int size;
  int mode;
  const char* suffix;
  std::string expected;
  int answer;
};

const CopyRow kRows[] = {
    // 0: 40 bytes, "A" + 12 chars + "BC" + 1 char + 5 chars + "E", into 30.
    {"mixed 40 into 30, no suffix: 29 bytes", "A" + times(kA, 12) + "BC" + kA + times(kA, 5) + "E", 30, DBCS_COPY,
     nullptr, "A" + times(kA, 12) + "BC" + kA, 30},
    {"mixed 40 into 30 with ...: 26 bytes and suffix", "A" + times(kA, 12) + "BC" + kA + times(kA, 5) + "E", 30,
     DBCS_COPY, "...", "A" + times(kA, 12) + "B" + "...", 30},
    {"all double-byte, room ends inside a character", times(kA, 20), 30, DBCS_COPY, nullptr, times(kA, 14), 29},
    {"all double-byte with ..., prefix ends inside a character", times(kA, 20), 29, DBCS_COPY, "...",
     times(kA, 12) + "...", 28},
    {"text that fits takes no suffix", "abc", 4, DBCS_COPY, "...", "abc", 4},
    {"suffix as long as the room is not used", "abcdef", 4, DBCS_COPY, "...", "abc", 4},
    {"second byte 0x5C stays with its lead byte", kSo + "x", 3, DBCS_COPY, nullptr, kSo, 3},
    {"half-width kana are single bytes", "\xb1\xb2\xb3", 3, DBCS_COPY, nullptr, "\xb1\xb2", 3},
    {"0xF0 is no lead byte", "\xf0\x41", 2, DBCS_COPY, nullptr, "\xf0", 2},
    {"0xA0 is no lead byte", "\xa0\x41", 2, DBCS_COPY, nullptr, "\xa0", 2},
    {"lead byte before the terminator is copied alone", "ab\x82", 10, DBCS_COPY, nullptr, "ab\x82", 4},
    {"mode 0 keeps CR LF and lone LF", "a\r\nb\nc", 10, DBCS_COPY, nullptr, "a\r\nb\nc", 7},
    {"mode 1 turns CR LF into LF", "a\r\nb\r\n", 10, DBCS_CRLF_TO_LF, nullptr, "a\nb\n", 5},
    {"mode 1 keeps a lone CR and a lone LF", "a\rb\nc", 10, DBCS_CRLF_TO_LF, nullptr, "a\rb\nc", 6},
    {"mode 2 turns a lone LF into CR LF", "a\nb", 10, DBCS_LF_TO_CRLF, nullptr, "a\r\nb", 5},
    {"mode 2 leaves CR LF as it is", "a\r\nb", 10, DBCS_LF_TO_CRLF, nullptr, "a\r\nb", 5},
    {"mode 2 never splits the CR LF it makes", "ab\n", 4, DBCS_LF_TO_CRLF, nullptr, "ab", 3},
    {"mode 2 line end counts in the room", "ab\ncd", 6, DBCS_LF_TO_CRLF, "..", "ab\r..", 6},
    {"size 1 gives an empty text", "abc", 1, DBCS_COPY, "...", "", 1},
    {"empty source", std::string(), 5, DBCS_LF_TO_CRLF, "...", "", 1},
};

void PrintTo(const CopyRow& row, std::ostream* os) { *os << row.what; }

class CopyDbcsText : public ::testing::TestWithParam<CopyRow> {};

TEST_P(CopyDbcsText, Row) {
  const CopyRow& row = GetParam();
  char dst[64];
  std::memset(dst, '#', sizeof dst);
  int answer = copyDbcsText(dst, row.src.c_str(), row.size, row.mode, row.suffix);
  EXPECT_EQ(answer, row.answer) << row.what;
  EXPECT_EQ(std::string(dst), row.expected) << row.what;
  ASSERT_LE(answer, row.size);
  for (size_t i = static_cast<size_t>(row.size); i < sizeof dst; ++i)
    ASSERT_EQ(dst[i], '#') << row.what << ": byte " << i << " written past the destination";
  // Walked by characters, the copy ends on a character boundary: its last
  // byte is never the first half of a double-byte character (the row whose
  // source itself ends in a lone lead byte aside).
  std::string out(dst);
  size_t i = 0;
  while (i < out.size()) i += isDbcsLeadByte(static_cast<unsigned char>(out[i])) ? 2 : 1;
  if (row.src.empty() || row.src.back() != '\x82') {
    EXPECT_EQ(i, out.size()) << row.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CopyDbcsText, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(CopyDbcsTextEdges, NullSourceAndNullDestination) {
  char dst[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(copyDbcsText(dst, nullptr, 4, DBCS_COPY, "..."), 1);
  EXPECT_EQ(dst[0], '\0');
  EXPECT_EQ(dst[1], '#');
  EXPECT_EQ(copyDbcsText(nullptr, "abc", 4, DBCS_COPY, nullptr), 0);
  dst[0] = '#';
  EXPECT_EQ(copyDbcsText(dst, "abc", 0, DBCS_COPY, nullptr), 0);
  EXPECT_EQ(dst[0], '#');
}

TEST(CopyDbcsTextEdges, LeadByteBeforeTerminatorReadsNothingBeyond) {
  // The source ends in a lead byte; the byte after its terminator must not
  // be read or copied.
  char src[4] = {'a', '\x82', '\0', 'Z'};
  char dst[8];
  std::memset(dst, '#', sizeof dst);
  EXPECT_EQ(copyDbcsText(dst, src, sizeof dst, DBCS_COPY, nullptr), 3);
  EXPECT_EQ(std::string(dst), "a\x82");
  EXPECT_EQ(dst[3], '#');
}

}  // namespace
