// Address, memo, mail, to-do and Date Book records and the Mail preference as reference bytes,
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
      "\x00\x04\x32\x10"s  // phone labels: work home fax other e-mail
      "\x00\x04\x00\x0F"s  // fields 0-3 and 18
      "\x0C"s              // company after the 11 bytes of the two names, plus 1
      "Smith\0John\0Acme\0"
      "123\0\x93\xfa\x96\x7b\0"s;
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
                      Broken{"AddressUnknownField", "\x00\x04\x32\x10\x00\x08\x00\x00\x00"s, false, "do not exist"},
                      Broken{"MailHead", "\xF5\x87\x09"s, true, "needs 6 bytes"},
                      Broken{"MailCutInBody", "\xF5\x87\x09\x05\x84\x00s\0f\0t\0\0\0\0\0bo"s, true, "inside its body"}),
    [](const auto& info) { return std::string(info.param.name); });

// 2026-12-20 is (122 << 9) | (12 << 5) | 20 = 0xF594.
TEST(ToDoRecord, PacksToTheReferenceBytes) {
  palm::ToDoRecord t;
  t.year = 2026, t.month = 12, t.day = 20;
  t.priority = 2;
  t.completed = true;
  t.description = "Report";
  t.note = "pages\n1-3";
  const std::string bytes = "\xF5\x94\x82Report\0pages\n1-3\0"s;
  EXPECT_EQ(palm::packToDo(t), bytes);
  palm::ToDoRecord back;
  std::string why;
  ASSERT_TRUE(palm::parseToDo(bytes, back, &why)) << why;
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.month, 12);
  EXPECT_EQ(back.day, 20);
  EXPECT_EQ(back.priority, 2);
  EXPECT_TRUE(back.completed);
  EXPECT_EQ(back.description, "Report");
  EXPECT_EQ(back.note, "pages\n1-3");
}

TEST(ToDoRecord, WithoutDueDateOrNote) {
  palm::ToDoRecord t;
  t.priority = 5;
  t.description = "\x89\xD4";  // Shift-JIS passes unchanged
  EXPECT_EQ(palm::packToDo(t), "\xFF\xFF\x05\x89\xD4\0\0"s);
  palm::ToDoRecord back;
  ASSERT_TRUE(palm::parseToDo("\xFF\xFF\x05\x89\xD4\0\0"s, back, nullptr));
  EXPECT_FALSE(back.hasDueDate());
  EXPECT_FALSE(back.completed);
  EXPECT_EQ(back.description, "\x89\xD4");
  EXPECT_EQ(back.note, "");
  // A date the record cannot hold is written as none rather than wrapped.
  t.year = 2040, t.month = 1, t.day = 1;
  EXPECT_EQ(palm::packToDo(t).substr(0, 2), "\xFF\xFF"s);
}

// Legend: what is wrong, the bytes, words of the refusal.
struct BrokenToDo {
  const char* name;
  std::string bytes;
  const char* words;
};

void PrintTo(const BrokenToDo& b, std::ostream* os) { *os << b.name; }

class BrokenToDoRecord : public ::testing::TestWithParam<BrokenToDo> {};

TEST_P(BrokenToDoRecord, IsRefused) {
  palm::ToDoRecord t;
  std::string why;
  EXPECT_FALSE(palm::parseToDo(GetParam().bytes, t, &why));
  EXPECT_NE(why.find(GetParam().words), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(Records, BrokenToDoRecord,
                         ::testing::Values(BrokenToDo{"Empty", ""s, "needs 3 bytes"},
                                           BrokenToDo{"NoPriority", "\xFF\xFF"s, "needs 3 bytes"},
                                           BrokenToDo{"NoDescription", "\xFF\xFF\x01"s, "inside its description"},
                                           BrokenToDo{"CutInDescription", "\xFF\xFF\x01Rep"s, "inside its description"},
                                           BrokenToDo{"NoNote", "\xFF\xFF\x01Report\0"s, "inside its note"},
                                           BrokenToDo{"CutInNote", "\xFF\xFF\x01Report\0pa"s, "inside its note"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every part present: the head, then alarm, repeat, exceptions,
// description and note in that order.
TEST(EventRecord, PacksToTheReferenceBytes) {
  palm::EventRecord e;
  e.startHour = 9, e.startMinute = 30, e.endHour = 10, e.endMinute = 45;
  e.date = palm::packDate(2026, 12, 8);
  e.alarm = palm::EventAlarm{10, palm::kAlarmMinutes};
  palm::EventRepeat r;
  r.type = palm::kRepeatWeekly;
  r.end = palm::packDate(2027, 3, 31);
  r.frequency = 2;
  r.on = 0x0A;  // Monday and Wednesday
  e.repeat = r;
  e.exceptions = std::vector<uint16_t>{palm::packDate(2026, 12, 16)};
  e.description = "Meeting";
  e.note = "Room 3";
  const std::string expected =
      "\x09\x1E\x0A\x2D"s                  // 9:30 to 10:45
      "\xF5\x88\x7C\x00"s                  // 2026-12-08, all five parts
      "\x0A\x00"s                          // alarm 10 minutes before
      "\x02\x00\xF6\x7F\x02\x0A\x00\x00"s  // weekly to 2027-03-31, every 2 weeks, Mon+Wed
      "\x00\x01\xF5\x90"s                  // one exception: 2026-12-16
      "Meeting\0Room 3\0"s;
  EXPECT_EQ(palm::packEvent(e), expected);
  palm::EventRecord back;
  std::string why;
  ASSERT_TRUE(palm::parseEvent(expected, back, &why)) << why;
  EXPECT_EQ(palm::packEvent(back), expected);
  ASSERT_TRUE(back.repeat && back.alarm && back.exceptions);
  EXPECT_EQ(back.repeat->on, 0x0A);
  EXPECT_EQ(back.alarm->advance, 10);
  EXPECT_EQ(back.exceptions->size(), 1u);
  EXPECT_EQ(*back.note, "Room 3");
  const palm::Ymd d = palm::unpackDate(back.date);
  EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20261208);
}

// An untimed event with only a description; a negative alarm advance and
// flag bits of other applications survive a read and a write.
TEST(EventRecord, UntimedWithOnlyADescriptionAndUnknownFlags) {
  const std::string bytes = "\xFF\xFF\xFF\xFF\xF5\x88\xC4\x01\xFE\x02Holiday\0"s;
  palm::EventRecord e;
  std::string why;
  ASSERT_TRUE(palm::parseEvent(bytes, e, &why)) << why;
  EXPECT_FALSE(e.timed());
  EXPECT_EQ(e.otherFlags, 0x8001);
  ASSERT_TRUE(e.alarm);
  EXPECT_EQ(e.alarm->advance, -2);
  EXPECT_EQ(e.alarm->unit, palm::kAlarmDays);
  EXPECT_FALSE(e.repeat || e.exceptions || e.note);
  EXPECT_EQ(*e.description, "Holiday");
  EXPECT_EQ(palm::packEvent(e), bytes);
}

TEST(EventRecord, ANulInsideATextEndsIt) {
  palm::EventRecord e;
  e.description = "one\0two"s;
  EXPECT_EQ(palm::packEvent(e), "\xFF\xFF\xFF\xFF\x00\x00\x04\x00one\0"s);
}

class BrokenEventRecord : public ::testing::TestWithParam<BrokenToDo> {};

TEST_P(BrokenEventRecord, IsRefused) {
  palm::EventRecord e;
  std::string why;
  EXPECT_FALSE(palm::parseEvent(GetParam().bytes, e, &why));
  EXPECT_NE(why.find(GetParam().words), std::string::npos) << why;
}

// Each flag promising a part that is missing or cut short.
INSTANTIATE_TEST_SUITE_P(
    Records, BrokenEventRecord,
    ::testing::Values(
        BrokenToDo{"Empty", ""s, "needs 8 bytes"},
        BrokenToDo{"HeadCut", "\x09\x00\x0A\x00\xF5\x88\x00"s, "needs 8 bytes"},
        BrokenToDo{"AlarmMissing", "\x09\x00\x0A\x00\xF5\x88\x40\x00"s, "inside its alarm"},
        BrokenToDo{"AlarmCut", "\x09\x00\x0A\x00\xF5\x88\x40\x00\x05"s, "inside its alarm"},
        BrokenToDo{"RepeatCut", "\x09\x00\x0A\x00\xF5\x88\x20\x00\x01\x00\xFF\xFF\x01\x00\x00"s, "inside its repeat"},
        BrokenToDo{"NoExceptionCount", "\x09\x00\x0A\x00\xF5\x88\x08\x00\x00"s, "inside its exception count"},
        BrokenToDo{"CountBeyondTheData", "\x09\x00\x0A\x00\xF5\x88\x08\x00\xFF\xFF\xF5\x90"s,
                   "inside its exception dates"},
        BrokenToDo{"DescriptionMissing", "\x09\x00\x0A\x00\xF5\x88\x04\x00"s, "inside its description"},
        BrokenToDo{"DescriptionCut", "\x09\x00\x0A\x00\xF5\x88\x04\x00Mee"s, "inside its description"},
        BrokenToDo{"NoteCut", "\x09\x00\x0A\x00\xF5\x88\x14\x00Meeting\0Ro"s, "inside its note"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
