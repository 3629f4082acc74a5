// Every Sync Manager call of a mail HotSync failing at its N-th call, for
// every N, through the real conduit, hotsync and gwserver: after the failed
// run and a clean one, every Outbox mail was sent and filed, and every
// server mail is in the Inbox once.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "conduits/tests/e2e.h"

namespace {

using Subjects = std::multiset<std::string>;

class MailRun : public e2e::HotSyncRun {
 public:
  MailRun() {
    conduit_ = "mailconduit";
    configure(server_.url(), "taro", "taro-pw", 0);
    for (const char* s : {"one", "two", "three"})
      EXPECT_EQ(hh({"add", "mail", "--subject", s, "--to", "bob@example.com"}).status, 0);
    import(
        "mail\t-\t-\t1700000000\t0\tnews\ta@x\ttaro@x\t\t\t\ttext/plain\tb\n"
        "mail\t-\t-\t1700000000\t1\tnotes\ta@x\ttaro@x\t\t\t\ttext/plain\tb\n");
  }
  Subjects in(const std::string& category) const {
    palm::Database db = database("MailDB");
    palm::CategoryBlock block;
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    Subjects out;
    for (const palm::Record& r : db.records) {
      palm::MailRecord m;
      if (r.live() && block.names[r.category] == category && palm::parseMail(r.data, m, nullptr))
        out.insert(m.texts[palm::kSubject]);
    }
    return out;
  }
  Subjects sent() const {
    Subjects out;
    for (const e2e::Fields& f : server_.exported(serverUser_, "sent")) out.insert(f.at(2));
    return out;
  }
};

TEST(MailFaults, EverySyncManagerCallFailingLosesNoMail) {
  const Subjects outbox = {"one", "two", "three"};
  int doubled = 0;
  const int calls = e2e::sweepSyncManagerFaults<MailRun>([&](MailRun& run) {
    EXPECT_EQ(run.in("Outbox"), Subjects{});
    EXPECT_EQ(run.in("Filed"), outbox);
    EXPECT_EQ(run.in("Inbox"), (Subjects{"news", "notes"}));
    const Subjects sent = run.sent();
    for (const std::string& s : outbox) EXPECT_GE(sent.count(s), 1u) << s;
    // A sent mail whose filing write failed is sent again: the server
    // cannot tell. One failed call leaves one such mail at most.
    EXPECT_LE(sent.size(), outbox.size() + 1);
    doubled += sent.size() > outbox.size();
  });
  // The run makes its calls (the fault was given), and only the three
  // filing writes can double a mail.
  EXPECT_GT(calls, 10);
  EXPECT_LE(doubled, 3);
  std::cout << calls << " calls faulted, " << doubled << " runs sent a mail twice\n";
}

}  // namespace
