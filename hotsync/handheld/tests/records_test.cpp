// Address, memo and mail records and the Mail preference as reference bytes,
// and records cut short.
#include "hotsync/handheld/records.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(AddressRecord, PacksToTheReferenceBytes) {
  palm::AddressRecord a;
  a.fields[palm::kLastName] = "Smith";
  a.fields[palm::kFirstName] = "John";
  a.fields[palm::kCompany] = "Acme";
  a.fields[palm::kPhone1] = "123";
  a.fields[palm::kNote] = "\x93\xfa\x96\x7b";  // Shift-JIS bytes
  const std::string expected =
      "\x00\x04\x32\x10"s    // phone labels: work home fax other e-mail
      "\x00\x04\x00\x0F"s    // fields 0-3 and 18
      "\x0C"s                // company after the 11 bytes of the two names, plus 1
      "Smith\0John\0Acme\0" "123\0\x93\xfa\x96\x7b\0"s;
  EXPECT_EQ(palm::packAddress(a), expected);
  palm::AddressRecord back;
  std::string why;
  ASSERT_TRUE(palm::parseAddress(expected, back, &why)) << why;
  EXPECT_EQ(back.fields, a.fields);
  EXPECT_EQ(back.options, palm::kDefaultAddressOptions);
}

TEST(AddressRecord, PhoneLabelsAndShownPhoneLiveInTheOptions) {
  palm::AddressRecord a;
  a.setPhoneLabel(1, 7);
  a.options |= 2u << 20;
  EXPECT_EQ(a.options, 0x00243270u);
  EXPECT_EQ(a.phoneLabel(1), 7);
  EXPECT_EQ(a.shownPhone(), 2);
  a.fields[palm::kCompany] = "only";
  EXPECT_EQ(palm::packAddress(a), "\x00\x24\x32\x70\x00\x00\x00\x04\x01only\0"s);
}

TEST(MailRecord, PacksToTheReferenceBytes) {
  palm::MailRecord m;
  m.year = 2026, m.month = 12, m.day = 7, m.hour = 9, m.minute = 5;
  m.flags = palm::kMailRead | 0x0400;
  m.texts = {"Hi", "a@b", "c@d", "", "", "", "", "Body\nline"};
  const std::string expected = "\xF5\x87\x09\x05\x84\x00Hi\0a@b\0c@d\0\0\0\0\0Body\nline\0"s;
  EXPECT_EQ(palm::packMail(m), expected);
  palm::MailRecord back;
  ASSERT_TRUE(palm::parseMail(expected, back, nullptr));
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.month, 12);
  EXPECT_EQ(back.day, 7);
  EXPECT_EQ(back.priority(), 1);
  EXPECT_EQ(back.texts, m.texts);
  ASSERT_TRUE(palm::parseMail("\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s, back, nullptr));
  EXPECT_EQ(back.year, 0);  // no date
}

TEST(MailPreference, PacksToTheReferenceBytesAndReadsShortOnes) {
  palm::MailPreference p;
  p.syncType = palm::kMailSyncFilter;
  p.truncation = 4000;
  p.to = "to";
  p.from = "from";
  p.subject = "subj";
  const std::string expected = "\x00\x02\x02\x00\x01\x00\x0F\xA0to\0from\0subj\0"s;
  EXPECT_EQ(palm::packMailPreference(p), expected);
  palm::MailPreference back;
  ASSERT_TRUE(palm::parseMailPreference(expected, back, nullptr));
  EXPECT_EQ(back.subject, "subj");
  ASSERT_TRUE(palm::parseMailPreference("\x00\x02\x03\x00\x00\x00\x01\x00"s, back, nullptr));
  EXPECT_EQ(back.syncType, palm::kMailSyncUnread);
  EXPECT_EQ(back.truncation, 256);
  EXPECT_EQ(back.to, "");
}

TEST(MemoRecord, TextEndsAtTheFirstNul) {
  EXPECT_EQ(palm::packMemo("title\nbody"), "title\nbody\0"s);
  EXPECT_EQ(palm::memoText("title\nbody\0\0"s), "title\nbody");
  EXPECT_EQ(palm::memoText("no terminator"), "no terminator");
}

// Legend: what is wrong, the bytes, words of the refusal.
struct Broken {
  const char* name;
  std::string bytes;
  bool mail;
  const char* words;
};

class BrokenRecord : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenRecord, IsRefused) {
  std::string why;
  const Broken& b = GetParam();
  if (b.mail) {
    palm::MailRecord m;
    EXPECT_FALSE(palm::parseMail(b.bytes, m, &why));
  } else {
    palm::AddressRecord a;
    EXPECT_FALSE(palm::parseAddress(b.bytes, a, &why));
  }
  EXPECT_NE(why.find(b.words), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Records, BrokenRecord,
    ::testing::Values(Broken{"AddressHead", "\x00\x04\x32\x10\x00"s, false, "needs 9 bytes"},
                      Broken{"AddressCutInFirstName", "\x00\x04\x32\x10\x00\x00\x00\x03\x00Smith\0Jo"s, false,
                             "inside its first name"},
                      Broken{"AddressUnknownField", "\x00\x04\x32\x10\x00\x08\x00\x00\x00"s, false,
                             "do not exist"},
                      Broken{"MailHead", "\xF5\x87\x09"s, true, "needs 6 bytes"},
                      Broken{"MailCutInBody", "\xF5\x87\x09\x05\x84\x00s\0f\0t\0\0\0\0\0bo"s, true,
                             "inside its body"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
