// Mail end to end: `hotsync sync` runs the mail conduit on a handheld folder
// against a gwserver process. Handheld mail in the Outbox is sent by the
// server and filed; server mail reaches the Inbox as the Mail application's
// HotSync preference allows. A mail is never lost and never sent twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "conduits/tests/e2e.h"

namespace {

using namespace std::string_literals;
using Subjects = std::multiset<std::string>;

// Mail synced; refresh: the Inbox emptied before the server's mail comes.
std::string mailSettings(bool refresh) {
  std::string s = e2e::addressSettings(0, e2e::kSampleMap);
  if (refresh) s.replace(s.find("w,Sync,0,"), 9, "w,Sync,1,");
  return s;
}

struct HandheldMail {
  palm::Record record;
  palm::MailRecord mail;
  std::string category;
};

class MailConduitSync : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  explicit MailConduitSync(bool refresh = false) : e2e::HotSyncRun(mailSettings(refresh)) {
    conduit_ = "mailconduit";
    configure();
  }

  void syncOk() {
    testutil::CommandResult r = sync();
    ASSERT_EQ(r.status, 0) << r.out;
  }
  DWORD hhMail(const std::string& subject, const std::string& to, const std::string& body = "",
               const std::string& category = "Outbox") {
    std::vector<std::string> args = {"add", "mail", "--subject", subject, "--body", body, "--category", category};
    if (!to.empty()) args.insert(args.end(), {"--to", to});
    testutil::CommandResult r = hh(args);
    EXPECT_EQ(r.status, 0) << r.out;
    return static_cast<DWORD>(std::stoul(r.out));
  }
  void hhDo(const std::vector<std::string>& args) {
    testutil::CommandResult r = hh(args);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // A server mail (TAB-separated export fields; \r and \n escaped).
  void serverMail(const std::string& subject, bool read, const std::string& body = "body",
                  const std::string& from = "boss@example.com") {
    import("mail\t-\t-\t1700000000\t"s + (read ? "1" : "0") + "\t" + subject + "\t" + from +
           "\ttaro@example.com\t\t\t\ttext/plain\t" + body + "\n");
  }

  std::vector<HandheldMail> mails() const {
    palm::Database db = database("MailDB");
    palm::CategoryBlock block;
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    std::vector<HandheldMail> out;
    for (const palm::Record& r : db.records) {
      if (!r.live()) continue;
      HandheldMail m;
      m.record = r;
      m.category = block.names[r.category];
      std::string why;
      EXPECT_TRUE(palm::parseMail(r.data, m.mail, &why)) << why;
      out.push_back(m);
    }
    return out;
  }
  Subjects in(const std::string& category) const {
    Subjects out;
    for (const HandheldMail& m : mails())
      if (m.category == category) out.insert(m.mail.texts[palm::kSubject]);
    return out;
  }
  const HandheldMail* bySubject(const std::string& subject) const {
    static std::vector<HandheldMail> kept;
    kept = mails();
    for (const HandheldMail& m : kept)
      if (m.mail.texts[palm::kSubject] == subject) return &m;
    return nullptr;
  }
  // What the server sent for taro, in order: subject, to, body.
  std::vector<e2e::Fields> sent() const { return server_.exported(serverUser_, "sent"); }
  Subjects sentSubjects() const {
    Subjects out;
    for (const e2e::Fields& f : sent()) out.insert(f.at(2));
    return out;
  }
};

// No preference on the handheld: every server mail arrives, cut as the
// handheld keeps it; the Outbox goes out once and is filed; the other
// folders are not touched.
TEST_F(MailConduitSync, OutboxSentAndFiledAndEveryServerMailArrives) {
  const std::string sjisSubject = "\x89\xEF\x8B\x63\x82\xCC\x8C\x8F";  // 会議の件
  const std::string sjisLfBody = "\x96\xBE\x93\xFA\n\x82\xE6\x82\xEB\x82\xB5\x82\xAD";
  hhMail("Report", "bob@example.com", "Hello\nBob");
  hhMail(sjisSubject, "ken@example.com", "\x96\xBE\x93\xFA\x82\xC5\x82\xB7");
  hhMail("Draft", "x@example.com", "not yet", "Draft");
  std::string longBody;
  for (int i = 0; i < 500; ++i) longBody += "0123456789\\r\\n";
  serverMail(std::string(70, 's'), false, longBody);
  serverMail("Fits", true, "one\\r\\ntwo");
  serverMail(sjisSubject, false, "\x96\xBE\x93\xFA\\r\\n\x82\xE6\x82\xEB\x82\xB5\x82\xAD");
  syncOk();

  EXPECT_EQ(sentSubjects(), (Subjects{"Report", sjisSubject}));
  for (const e2e::Fields& f : sent())
    if (f.at(2) == sjisSubject) {
      EXPECT_EQ(f.at(6), "\x96\xBE\x93\xFA\x82\xC5\x82\xB7");
    }
  EXPECT_EQ(in("Outbox"), Subjects{});
  EXPECT_EQ(in("Filed"), (Subjects{"Report", sjisSubject}));
  EXPECT_FALSE(bySubject("Report")->record.dirty);
  EXPECT_EQ(in("Draft"), Subjects{"Draft"});
  EXPECT_EQ(in("Inbox"), (Subjects{std::string(60, 's') + "...", "Fits", sjisSubject}));

  const HandheldMail* cut = bySubject(std::string(60, 's') + "...");
  ASSERT_NE(cut, nullptr);
  const std::string& body = cut->mail.texts[palm::kBody];
  EXPECT_EQ(body.substr(body.size() - 3), "...");
  EXPECT_LT(body.size(), 4000u);
  EXPECT_EQ(body.find('\r'), std::string::npos);
  EXPECT_EQ(body.substr(0, 11), "0123456789\n");
  EXPECT_EQ(cut->mail.flags, 0x0400);
  // The client library hands mail over with LF line ends; a body that fits
  // keeps them and gets no "...".
  EXPECT_NE(bySubject("Fits")->record.data.find("\0one\ntwo\0"s), std::string::npos);
  EXPECT_EQ(bySubject("Fits")->mail.flags, 0x8400);
  const std::vector<HandheldMail> all = mails();
  auto japanese = std::find_if(all.begin(), all.end(), [&](const HandheldMail& m) {
    return m.category == "Inbox" && m.mail.texts[palm::kSubject] == sjisSubject;
  });
  ASSERT_NE(japanese, all.end());
  EXPECT_NE(japanese->record.data.find('\0' + sjisLfBody + '\0'), std::string::npos);
  EXPECT_EQ(japanese->mail.texts[palm::kFrom], "boss@example.com");

  // Nothing goes twice, in either direction.
  syncOk();
  EXPECT_EQ(sent().size(), 2u);
  EXPECT_EQ(in("Inbox").size(), 3u);
  EXPECT_EQ(in("Filed").size(), 2u);

  // Perl's Palm::Mail reads what the conduit wrote.
  std::ofstream(dir_ / "read.pl") << "use strict; use warnings; use Palm::PDB; use Palm::Mail;\n"
                                     "my $pdb = Palm::PDB->new; $pdb->Load($ARGV[0]); my @out;\n"
                                     "for my $r (@{$pdb->{records}}) {\n"
                                     "  my $b = $r->{body}; $b =~ s/\\r/<CR>/g; $b =~ s/\\n/|/g;\n"
                                     "  push @out, $pdb->{appinfo}{categories}[$r->{category}]{name}\n"
                                     "    . \": $r->{subject} / \" . ($r->{is_read} ? 'read' : 'unread') . \" / \"\n"
                                     "    . substr($b, 0, 14) . \"\\n\"; }\n"
                                     "print sort @out;\n";
  testutil::CommandResult perl =
      testutil::runCommand({"/usr/bin/perl", (dir_ / "read.pl").string(), (handheld_ / "MailDB.pdb").string()});
  ASSERT_EQ(perl.status, 0) << perl.out;
  EXPECT_EQ(perl.out,
            "Draft: Draft / unread / not yet\n"
            "Filed: Report / unread / Hello|Bob\n"
            "Filed: " +
                sjisSubject +
                " / unread / \x96\xBE\x93\xFA\x82\xC5\x82\xB7\n"
                "Inbox: Fits / read / one|two\n"
                "Inbox: " +
                std::string(60, 's') +
                "... / unread / 0123456789|012\n"
                "Inbox: " +
                sjisSubject + " / unread / " + sjisLfBody.substr(0, 4) + "|" + sjisLfBody.substr(5, 8) + "\n");
}

// The preference decides which server mail comes; a mail it keeps out is
// not offered again by the next sync.
struct PrefCase {
  const char* name;
  std::vector<std::string> pref;
  Subjects inbox;
};
void PrintTo(const PrefCase& c, std::ostream* os) { *os << c.name; }

class MailPreferenceSync : public MailConduitSync, public ::testing::WithParamInterface<PrefCase> {};

TEST_P(MailPreferenceSync, OnlyWhatThePreferenceTakes) {
  std::vector<std::string> args = {"mail-pref"};
  args.insert(args.end(), GetParam().pref.begin(), GetParam().pref.end());
  hhDo(args);
  serverMail("urgent: server down", false);
  serverMail("lunch", true, "body", "friend@example.com");
  serverMail("urgent lunch", true);
  serverMail("minutes", false, "body", "friend@example.com");
  syncOk();
  EXPECT_EQ(in("Inbox"), GetParam().inbox);
  syncOk();
  EXPECT_EQ(in("Inbox"), GetParam().inbox);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MailPreferenceSync,
    ::testing::Values(PrefCase{"All", {"--sync", "all"}, {"urgent: server down", "lunch", "urgent lunch", "minutes"}},
                      PrefCase{"UnreadOnly", {"--sync", "unread"}, {"urgent: server down", "minutes"}},
                      PrefCase{"IncludeMatching",
                               {"--sync", "filter", "--subject", "urgent", "--include", "yes"},
                               {"urgent: server down", "urgent lunch"}},
                      PrefCase{"ExcludeMatching",
                               {"--sync", "filter", "--subject", "urgent", "--from", "boss", "--include", "no"},
                               {"lunch", "minutes"}}),
    [](const ::testing::TestParamInfo<PrefCase>& info) { return info.param.name; });

TEST_F(MailConduitSync, SendOnlySendsAndReceivesNothing) {
  hhDo({"mail-pref", "--sync", "send"});
  hhMail("Out", "bob@example.com");
  serverMail("Stays on the server", false);
  syncOk();
  EXPECT_EQ(sentSubjects(), Subjects{"Out"});
  EXPECT_EQ(in("Filed"), Subjects{"Out"});
  EXPECT_EQ(in("Inbox"), Subjects{});
  EXPECT_TRUE(relations().empty());
}

// The server refuses a mail without recipients at its position: the mails
// handed over before it are sent and filed, it and the rest stay in the
// Outbox; once it is put right, the rest go out, each exactly once.
TEST_F(MailConduitSync, ARefusedMailAndThoseAfterItStayForTheNextSync) {
  std::vector<DWORD> ids;
  for (const char* s : {"one", "two", "refused", "four", "five"})
    ids.push_back(hhMail(s, std::string(s) == "refused" ? "" : "bob@example.com"));
  // The tool numbers records in order and the conduit sends them so: the
  // refused mail is the third.
  ASSERT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  testutil::CommandResult r = sync();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(sentSubjects(), (Subjects{"one", "two"}));
  EXPECT_EQ(in("Filed"), (Subjects{"one", "two"}));
  EXPECT_EQ(in("Outbox"), (Subjects{"refused", "four", "five"}));
  EXPECT_NE(r.out.find("3th Mail failed."), std::string::npos) << r.out;

  // The person deletes the mail without recipients; the rest go out once.
  hhDo({"delete", "mail", std::to_string(ids[2])});
  syncOk();
  EXPECT_EQ(sentSubjects(), (Subjects{"one", "two", "four", "five"}));
  EXPECT_EQ(in("Outbox"), Subjects{});
  EXPECT_EQ(in("Filed"), (Subjects{"one", "two", "four", "five"}));
  syncOk();
  EXPECT_EQ(sent().size(), 4u);
}

// A send that fails outright (the server answers 503): nothing is filed,
// and the next sync sends every mail once.
TEST_F(MailConduitSync, AFailedSendFilesNothingAndTheNextSyncSendsOnce) {
  hhMail("one", "bob@example.com");
  hhMail("two", "bob@example.com");
  armFault("page=SyncMail&skip=1&status=503&count=5");
  testutil::CommandResult failed = sync();
  // The mails were handed over and the send itself failed.
  EXPECT_NE(failed.out.find("Send"), std::string::npos) << failed.out;
  EXPECT_EQ(sent().size(), 0u);
  EXPECT_EQ(in("Outbox"), (Subjects{"one", "two"}));
  EXPECT_EQ(in("Filed"), Subjects{});
  armFault("page=SyncMail&count=0");
  syncOk();
  EXPECT_EQ(sentSubjects(), (Subjects{"one", "two"}));
  EXPECT_EQ(in("Filed"), (Subjects{"one", "two"}));
  EXPECT_EQ(in("Outbox"), Subjects{});
}

// Filed renamed away: a new Filed folder takes the sent mail. With no room
// for one, nothing is sent, so nothing can go out twice.
TEST_F(MailConduitSync, AMissingFiledFolderIsMadeBeforeAnythingIsSent) {
  hhDo({"category", "mail", "rename", "Filed", "Archive"});
  for (int i = 0; i < 11; ++i) hhDo({"category", "mail", "add", "Extra" + std::to_string(i)});
  hhMail("Out", "bob@example.com");
  testutil::CommandResult full = sync();
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.out.find("Mail has no free category for \"Filed\", where sent mail is kept, so no mail was sent"),
            std::string::npos)
      << full.out;
  EXPECT_EQ(sent().size(), 0u);
  EXPECT_EQ(in("Outbox"), Subjects{"Out"});

  hhDo({"category", "mail", "remove", "Extra3"});
  syncOk();
  EXPECT_EQ(sentSubjects(), Subjects{"Out"});
  EXPECT_EQ(in("Filed"), Subjects{"Out"});
  EXPECT_EQ(in("Outbox"), Subjects{});
  syncOk();
  EXPECT_EQ(sent().size(), 1u);
}

// The handheld refuses one write while sent mail is filed: the sync fails,
// the other two are filed all the same, and only that one is left in the
// Outbox (to go out again: the server cannot tell it was sent).
TEST_F(MailConduitSync, AFilingWriteThatFailsLeavesOnlyThatMailBehind) {
  hhMail("one", "bob@example.com");
  hhMail("two", "bob@example.com");
  hhMail("three", "bob@example.com");
  ::setenv("GWSYNC_SYNC20_FAULT", "SyncWriteRec@2", 1);
  testutil::CommandResult r = sync();
  ::unsetenv("GWSYNC_SYNC20_FAULT");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(sentSubjects(), (Subjects{"one", "two", "three"}));
  const Subjects filed = in("Filed"), left = in("Outbox");
  EXPECT_EQ(filed.size(), 2u);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(filed.count(*left.begin()), 0u);
}

class MailRefreshSync : public MailConduitSync {
 protected:
  MailRefreshSync() : MailConduitSync(true) {}
};

// A refresh empties the Inbox before the server's mail comes; every other
// folder keeps its mail.
TEST_F(MailRefreshSync, RefreshRemovesOnlyTheInbox) {
  hhMail("old inbox mail", "", "", "Inbox");
  hhMail("kept draft", "", "", "Draft");
  hhMail("kept filed", "", "", "Filed");
  hhMail("kept deleted", "", "", "Deleted");
  serverMail("fresh", false);
  syncOk();
  EXPECT_EQ(in("Inbox"), Subjects{"fresh"});
  EXPECT_EQ(in("Draft"), Subjects{"kept draft"});
  EXPECT_EQ(in("Filed"), Subjects{"kept filed"});
  EXPECT_EQ(in("Deleted"), Subjects{"kept deleted"});
}

}  // namespace
