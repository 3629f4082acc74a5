// Whole mail syncs against gwserver: the handheld's outbox is sent, the
// server's mail box comes to the handheld once, and filtered mail is
// related to handheld id 255 so that it is not offered again.
#include <gtest/gtest.h>

#include <cstring>

#include "synccore/gwmail.h"
#include "synccore/tests/serversync.h"

namespace {

using testsync::Fields;
using testsync::Names;

// Handheld name <-> subject, body <-> body; subjects starting "x-" are
// refused by the handheld's filter.
struct MailConversion : testhh::Conversion {
  bool toGW(const testhh::Stored& s, CGWRecord* target) const override {
    auto* r = static_cast<CGWMailRec*>(target);
    r->setSubject(s.name.c_str());
    if (s.name.rfind("nobody", 0) != 0) r->setTo("ann@example.com");
    r->setData(s.body.c_str());
    return true;
  }
  bool fromGW(const CGWRecord* source, testhh::Stored& s) const override {
    auto* r = static_cast<const CGWMailConstRec*>(source);
    s.name = r->getSubject() ? r->getSubject() : "";
    s.body = r->getData() ? r->getData() : "";
    return true;
  }
  bool accept(const CGWRecord* source, DWORD* code) const override {
    const char* subject = static_cast<const CGWMailConstRec*>(source)->getSubject();
    bool ok = !(subject && std::strncmp(subject, "x-", 2) == 0);
    *code = ok ? 0 : 0x40000099;
    return ok;
  }
};

class MailSync : public testsync::ServerSync {
 protected:
  MailSync() {
    hh_.records.conv = &conv_;
    hh_.mailOutbox = true;
  }
  bool sync() { return ServerSync::sync<CGWMailDataSrc>("Mail"); }

  std::vector<std::string> sentSubjects() const {
    std::vector<std::string> s;
    for (const Fields& f : exported("sent")) s.push_back(f.at(2));
    return s;
  }
  DWORD mailIdOf(const std::string& subject) const {
    for (const Fields& f : exported("mail"))
      if (f.at(5) == subject) return std::stoul(f.at(1));
    return 0;
  }
  // Relation pairs of the mail application, whatever its name.
  std::multimap<DWORD, DWORD> mailRelations() const {
    std::multimap<DWORD, DWORD> all;
    for (const Fields& f : exported("relation"))
      if (f.size() > 2 && f[2].rfind("Sync", 0) != 0) {
        auto r = relations(f[2]);
        all.insert(r.begin(), r.end());
      }
    return all;
  }
  void addServerMail(const std::string& subject) {
    import("mail\t-\t-\t-\t0\t" + subject + "\tbob@example.com\ttaro@example.com\t\t\t\ttext/plain\tbody of " +
           subject + "\n");
  }

  MailConversion conv_;
};

TEST_F(MailSync, OutboxIsSentOnceAndNewMailArrivesOnce) {
  hh_.addRecord("to Ann");
  hh_.store.at(hhIdOf("to Ann")).body = "see you";
  addServerMail("hello");
  ASSERT_TRUE(sync());
  EXPECT_EQ(sentSubjects(), (std::vector<std::string>{"to Ann"}));
  EXPECT_EQ(exported("sent").at(0).at(6), "see you");
  EXPECT_EQ(handheldNames(), (Names{"hello", "to Ann"}));
  EXPECT_EQ(hh_.store.at(hhIdOf("hello")).body, "body of hello");
  auto rel = mailRelations();
  ASSERT_EQ(rel.size(), 1u);
  EXPECT_EQ(rel.begin()->first, mailIdOf("hello"));
  EXPECT_EQ(rel.begin()->second, hhIdOf("hello"));
  EXPECT_FALSE(hh_.store.at(hhIdOf("to Ann")).dirty);
  // Nothing is sent or copied twice.
  ASSERT_TRUE(sync());
  EXPECT_EQ(sentSubjects().size(), 1u);
  EXPECT_EQ(handheldNames(), (Names{"hello", "to Ann"}));
  EXPECT_EQ(mailRelations().size(), 1u);
}

TEST_F(MailSync, RefusedMailStopsTheBatchAtItsPosition) {
  for (const char* n : {"m1", "nobody m2", "m3"}) hh_.addRecord(n);
  ASSERT_TRUE(sync()) << log_.all();  // a refused mail does not fail the run
  EXPECT_EQ(sentSubjects(), (std::vector<std::string>{"m1"}));
  EXPECT_EQ(hh_.cleanupCounts, (std::vector<int>{1}));  // only the first is marked sent
  EXPECT_EQ(messages("Server request failed: Send (error 21, detail 16409) 2th Mail failed."), 1) << log_.all();
  EXPECT_EQ(messages("2th Mail failed."), 1);
  EXPECT_EQ(messages("could not be sent through the server"), 1);
}

TEST_F(MailSync, FilteredMailIsRelatedTo255AndNeverOfferedAgain) {
  addServerMail("x-spam");
  addServerMail("real");
  ASSERT_TRUE(sync());
  EXPECT_EQ(handheldNames(), (Names{"real"}));
  auto rel = mailRelations();
  ASSERT_EQ(rel.size(), 2u);
  ASSERT_EQ(rel.count(mailIdOf("x-spam")), 1u);
  EXPECT_EQ(rel.find(mailIdOf("x-spam"))->second, 255u);
  EXPECT_EQ(messages("1 new mail(s) on the server were not copied"), 1);
  log_.clear();
  ASSERT_TRUE(sync());
  EXPECT_EQ(messages("were not copied"), 0);
  EXPECT_EQ(handheldNames(), (Names{"real"}));
  EXPECT_EQ(mailRelations().size(), 2u);
}

TEST_F(MailSync, MailSettingOffSendsNothing) {
  hh_.addRecord("draft");
  setSettings("m,Sync,0\n");  // no mail line
  ASSERT_TRUE(sync());
  EXPECT_TRUE(sentSubjects().empty());
  EXPECT_TRUE(hh_.store.at(hhIdOf("draft")).dirty);
  EXPECT_EQ(messages("the server's settings ask for no synchronisation"), 1);
}

}  // namespace
