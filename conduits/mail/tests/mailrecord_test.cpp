// Mail records to and from server mails, the Mail preference and its filter,
// through the record class the conduit places in its record set.
#include "conduits/mail/mailrecord.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "conduits/common/conduit.h"
#include "conduits/mail/maildatasrc.h"
#include "hotsync/pdb/pdb.h"
#include "platform/module.h"
#include "synccore/helpers.h"

using namespace std::string_literals;

// In the conduit library the application object loads the resource library.
char* conduitText(UINT id, char* buffer, int size) {
  static HMODULE resources = LoadLibrary(GWSYNC_TEST_LIBDIR "/libmailres.so");
  return loadResourceText(resources, id, buffer, size);
}

namespace {

// A server mail whose texts the test owns.
struct ServerMail {
  std::string subject, from, to, cc, bcc, replyTo, body;
  LONG sent = 0;
  BOOL read = 0;
  __MAIL_DATA data{};
  CGWMailConstRec rec() {
    data = {7,         0,         sent,       read,           subject.data(), from.data(),
            to.data(), cc.data(), bcc.data(), replyTo.data(), nullptr,        body.data()};
    return CGWMailConstRec(&data);
  }
};

// The eight texts of a record; fails the test unless the record is exactly
// header + eight NUL-terminated texts.
std::vector<std::string> texts(const std::string& record) {
  std::vector<std::string> out;
  EXPECT_GE(record.size(), kMailMinRecord);
  size_t pos = kMailHeaderSize;
  for (int i = 0; i < kMailTextCount && pos < record.size(); ++i) {
    size_t nul = record.find('\0', pos);
    if (nul == std::string::npos) break;
    out.push_back(record.substr(pos, nul - pos));
    pos = nul + 1;
  }
  EXPECT_EQ(out.size(), 8u);
  EXPECT_EQ(pos, record.size()) << "bytes after the body";
  out.resize(8);
  return out;
}

std::string convert(ServerMail& m, WORD limit = 0, DWORD outSize = kPalmSharedBufferSize) {
  std::vector<BYTE> out(outSize + 16, 0xEE);
  DWORD size = 0;
  CGWMailConstRec rec = m.rec();
  EXPECT_TRUE(mailFromServer(out.data(), outSize, rec, limit, &size));
  EXPECT_LE(size, outSize);
  for (DWORD i = outSize; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "written past the buffer at " << i;
  return {reinterpret_cast<const char*>(out.data()), size};
}

const std::string kSjis = "\x93\xfa\x96\x7b";  // two double-byte characters

class UtcTime : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

using MailFromServer = UtcTime;

TEST_F(MailFromServer, HeaderAndTextsInOrder) {
  ServerMail m{"Hello",           "ann@example.com",   "bob@example.com", "cc@example.com",
               "bcc@example.com", "reply@example.com", "line1\r\nline2"};
  m.sent = 1700000000;  // 2023-11-14 22:13 UTC
  std::string r = convert(m);
  EXPECT_EQ(r.substr(0, 6), "\xEF\x6E\x16\x0D\x04\x00"s);
  EXPECT_EQ(texts(r), (std::vector<std::string>{"Hello", "ann@example.com", "bob@example.com", "cc@example.com",
                                                "bcc@example.com", "reply@example.com", "", "line1\r\nline2"}));
  m.read = 1;
  EXPECT_EQ(convert(m).substr(4, 2), "\x84\x00"s);
}

TEST_F(MailFromServer, DatesOutsideTheHandheldsRangeAreClamped) {
  WORD date;
  BYTE hour, minute;
  mailDateFromTime(INT32_MIN, &date, &hour, &minute);  // 1901
  EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(hour, 0);
  mailDateFromTime(INT32_MAX, &date, &hour, &minute);  // 2038
  EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(hour, 23);
  EXPECT_EQ(minute, 59);
  mailDateFromTime(0, &date, &hour, &minute);  // 1970-01-01 00:00
  EXPECT_EQ(date, (66 << 9) | (1 << 5) | 1);
}

TEST_F(MailFromServer, SubjectKeeps63BytesOrIsCutWithDots) {
  ServerMail m;
  m.subject = std::string(70, 's');
  EXPECT_EQ(texts(convert(m))[0], std::string(60, 's') + "...");
  m.subject = std::string(63, 's');
  EXPECT_EQ(texts(convert(m))[0], m.subject);
  m.subject = std::string(64, 's');
  EXPECT_EQ(texts(convert(m))[0], std::string(60, 's') + "...");
  // 'x' then double-byte characters: byte 60 would split one.
  m.subject = "x";
  for (int i = 0; i < 40; ++i) m.subject += kSjis.substr(0, 2);
  EXPECT_EQ(texts(convert(m))[0], m.subject.substr(0, 59) + "...");
}

TEST_F(MailFromServer, AddressListsAreCutAfterAWholeAddress) {
  ServerMail m;
  std::string list;
  while (list.size() < 600) list += "someone@example.com,";
  m.to = list;
  m.cc = std::string(600, 'c');  // no comma: nothing kept
  std::vector<std::string> t = texts(convert(m));
  EXPECT_LE(t[2].size(), 511u);
  EXPECT_EQ(t[2].back(), ',');
  EXPECT_EQ(t[2], list.substr(0, t[2].size()));
  EXPECT_GT(t[2].size(), 511u - 20);
  EXPECT_EQ(t[3], "");
  m.to = std::string(511, 't');
  EXPECT_EQ(texts(convert(m))[2], m.to);
}

TEST_F(MailFromServer, LongBodyIsTruncatedWithLineFeedsAndDots) {
  ServerMail m;
  for (int i = 0; i < 400; ++i) m.body += "0123456789\r\n";
  std::string body = texts(convert(m))[7];
  ASSERT_GE(body.size(), 3u);
  EXPECT_EQ(body.substr(body.size() - 3), "...");
  EXPECT_LT(body.size(), 4000u);
  EXPECT_GT(body.size(), 3990u);
  EXPECT_EQ(body.find('\r'), std::string::npos);
  EXPECT_EQ(body.substr(0, 22), "0123456789\n0123456789\n");

  body = texts(convert(m, 100))[7];  // the preference's truncation size
  EXPECT_LE(body.size(), 100u);
  EXPECT_EQ(body.substr(body.size() - 3), "...");

  m.body = "short\r\nbody";  // fits: as sent
  EXPECT_EQ(texts(convert(m, 100))[7], "short\r\nbody");
}

// Any buffer size: the record stays whole, nothing is written past it, and
// what does not fit is cut (to empty at worst), earlier texts first.
TEST_F(MailFromServer, SmallBuffersNeverOverflowAndStayWellFormed) {
  ServerMail m{std::string(80, 's'), std::string(90, 'f'), "a@x,b@y,c@z",        "d@x,e@y",
               std::string(50, 'b'), std::string(50, 'r'), std::string(300, 'y')};
  for (DWORD size = kMailMinRecord; size < 700; ++size) {
    SCOPED_TRACE(size);
    std::string r = convert(m, 0, size);
    std::vector<std::string> t = texts(r);
    EXPECT_EQ(t[6], "");
  }
  std::vector<BYTE> tiny(kMailMinRecord - 1);
  DWORD size = 0;
  CGWMailConstRec rec = m.rec();
  EXPECT_FALSE(mailFromServer(tiny.data(), static_cast<DWORD>(tiny.size()), rec, 0, &size));
  // The exact minimum: every text empty.
  EXPECT_EQ(convert(m, 0, kMailMinRecord).substr(6), std::string(8, '\0'));
}

TEST(MailToServer, TextsSetOrNullAndPlainText) {
  std::string rec = "\0\0\0\0\x04\0"s + "Subj\0from\0to@x\0\0bcc\0\0sent-to\0body\r\ntext\0"s;
  CGWMailRec mail;
  mail.setCC("stale");
  mailToServer(reinterpret_cast<const BYTE*>(rec.data()), static_cast<DWORD>(rec.size()), mail);
  auto s = [](const char* p) { return p ? std::string(p) : "(null)"s; };
  EXPECT_EQ(s(mail.getSubject()), "Subj");
  EXPECT_EQ(s(mail.getFrom()), "from");
  EXPECT_EQ(s(mail.getTo()), "to@x");
  EXPECT_EQ(s(mail.getCC()), "(null)");
  EXPECT_EQ(s(mail.getBCC()), "bcc");
  EXPECT_EQ(s(mail.getReplyTo()), "(null)");
  EXPECT_EQ(s(mail.getData()), "body\r\ntext");
  EXPECT_EQ(s(mail.getContentType()), "text/plain");

  // Cut short: the texts the data holds, the rest empty; never read past it.
  std::string cut = "\0\0\0\0\x04\0"s + "Subj\0fr"s;
  std::vector<BYTE> exact(cut.begin(), cut.end());
  CGWMailRec partial;
  mailToServer(exact.data(), static_cast<DWORD>(exact.size()), partial);
  EXPECT_EQ(s(partial.getSubject()), "Subj");
  EXPECT_EQ(s(partial.getFrom()), "fr");
  EXPECT_EQ(s(partial.getTo()), "(null)");
  EXPECT_EQ(s(partial.getData()), "(null)");
}

std::string pref(BYTE type, BYTE include, WORD trunc, const std::string& filters) {
  return std::string{static_cast<char>(type),        0, static_cast<char>(include), 0, static_cast<char>(trunc >> 8),
                     static_cast<char>(trunc & 0xFF)} +
         filters;
}

bool parse(const std::string& bytes, MailSyncPref& p) {
  std::vector<BYTE> exact(bytes.begin(), bytes.end());  // no byte to spare
  return parseMailSyncPref(exact.data(), static_cast<int>(exact.size()), p);
}

TEST(MailPreference, FilterTextsReadWithinTheirSize) {
  MailSyncPref p;
  ASSERT_TRUE(parse(pref(2, 1, 2000, "to\0from\0subj\0"s), p));
  EXPECT_EQ(p.syncType, 2);
  EXPECT_EQ(p.includeMatching, 1);
  EXPECT_EQ(p.bodyLimit(), 2000);
  EXPECT_STREQ(p.filterTo, "to");
  EXPECT_STREQ(p.filterFrom, "from");
  EXPECT_STREQ(p.filterSubject, "subj");

  // The subject's NUL is missing: kept up to the end, reported.
  EXPECT_FALSE(parse(pref(2, 0, 0, "to\0from\0sub"s), p));
  EXPECT_STREQ(p.filterFrom, "from");
  EXPECT_STREQ(p.filterSubject, "sub");
  EXPECT_EQ(p.bodyLimit(), 4000);
  EXPECT_FALSE(parse(pref(2, 0, 0, ""), p));
  EXPECT_STREQ(p.filterTo, "");

  ASSERT_TRUE(parse(pref(2, 1, 0, std::string(300, 'x') + "\0\0\0"s), p));
  EXPECT_EQ(std::strlen(p.filterTo), 255u);

  // Other sync types read no texts; a short preference keeps what it holds.
  ASSERT_TRUE(parse(pref(3, 0, 0, "to\0\0\0"s), p));
  EXPECT_STREQ(p.filterTo, "");
  ASSERT_TRUE(parse("\x01\x00"s, p));
  EXPECT_EQ(p.syncType, 1);
  EXPECT_EQ(p.truncation, 0);
  ASSERT_TRUE(parseMailSyncPref(nullptr, 0, p));
  EXPECT_EQ(p.syncType, 0);
}

TEST(MailFilter, IncludeExcludeAndUnread) {
  ServerMail urgent, plain;
  urgent.subject = "urgent: call", urgent.from = "boss@x", urgent.to = "me@x";
  plain.subject = "lunch", plain.from = "friend@x", plain.to = "me@x";
  MailSyncPref p;
  EXPECT_TRUE(mailPassesFilter(p, urgent.rec()));
  ASSERT_TRUE(parse(pref(2, 1, 0, "\0\0urgent\0"s), p));
  EXPECT_TRUE(mailPassesFilter(p, urgent.rec()));
  EXPECT_FALSE(mailPassesFilter(p, plain.rec()));
  ASSERT_TRUE(parse(pref(2, 0, 0, "\0\0urgent\0"s), p));
  EXPECT_FALSE(mailPassesFilter(p, urgent.rec()));
  EXPECT_TRUE(mailPassesFilter(p, plain.rec()));
  ASSERT_TRUE(parse(pref(2, 1, 0, "\0friend\0\0"s), p));  // from only
  EXPECT_TRUE(mailPassesFilter(p, plain.rec()));
  EXPECT_FALSE(mailPassesFilter(p, urgent.rec()));
  ASSERT_TRUE(parse(pref(3, 0, 0, ""), p));
  plain.read = 1;
  EXPECT_FALSE(mailPassesFilter(p, plain.rec()));
  EXPECT_TRUE(mailPassesFilter(p, urgent.rec()));
}

// The record class as the engine uses it: filter and conversion from the
// data source's preference, the name from the resource library.
TEST(MailRecordClass, UsesTheDataSourcesPreference) {
  CPalmCategoryList categories;
  CPalmRecordSet records(g_ConduitDef.recordSize, g_ConduitDef.placeRecord);
  SyncTimeStore times(g_ConduitDef.timeSlot);
  auto hh = g_ConduitDef.makeHandheldSource(&categories, &records, &times, "MailDB", g_ConduitDef.creator);
  auto* mail = dynamic_cast<PalmLSMailDataSrc*>(hh.get());
  ASSERT_NE(mail, nullptr);
  std::string p = pref(3, 0, 10, "");
  mail->storePref(reinterpret_cast<const BYTE*>(p.data()), static_cast<int>(p.size()));
  EXPECT_EQ(mail->determineHowToSync(0x0800), 0x0800);
  ServerMail m{"s", "f", "t", "", "", "", "a body of some length"};
  m.read = 1;
  CGWMailConstRec rec = m.rec();
  auto* r = static_cast<CPalmRecord*>(records.newRecord(1));
  DWORD code = 99;
  EXPECT_FALSE(r->acceptFromGW(hh.get(), nullptr, &rec, &code));
  EXPECT_EQ(code, 0u);
  ASSERT_TRUE(r->convertGW2HH(hh.get(), nullptr, nullptr, &rec));
  EXPECT_EQ(texts(std::string(reinterpret_cast<const char*>(r->data()), r->dataSize()))[7], "a body...");
  char name[32];
  EXPECT_STREQ(r->getRecIdStr(name, sizeof name), "Mail record");

  p = pref(1, 0, 0, "");
  mail->storePref(reinterpret_cast<const BYTE*>(p.data()), static_cast<int>(p.size()));
  EXPECT_EQ(mail->determineHowToSync(0x0800), 0x0801);
  records.releaseRecord(r);
}

}  // namespace
