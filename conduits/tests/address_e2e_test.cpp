// The Address Book end to end: `hotsync sync` runs the address conduit on a
// handheld folder against a gwserver process, and both sides are read back
// from their files. Nothing may be lost or duplicated, whatever the run.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>

#include "conduits/tests/e2e.h"
#include "testutil/fake_http_server.h"

namespace {

using e2e::Address;
using e2e::Card;

// Server item ids of the sample items and the built-in ones the map names.
constexpr long kLast = -2, kFirst = -1, kCompany = 1, kHome = 2, kMobile = 4, kTitle = 5;
constexpr long kWork = -9, kEmail = -10, kCity = -4, kNote = -11;

// "山田" and "花子" in Shift-JIS, and a character whose second byte is '\'.
const std::string kYamada = "\x8E\x52\x93\x63";
const std::string kHanako = "\x89\xD4\x8E\x71";
const std::string kSo = "\x83\x5C";

class AddressSync : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  AddressSync() { configure(); }
  explicit AddressSync(const std::string& settings) : e2e::HotSyncRun(settings) { configure(); }

  void syncOk() {
    testutil::CommandResult r = sync();
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // Every live handheld record belongs to exactly one card and back.
  void expectOneToOne() {
    std::multimap<DWORD, DWORD> rel = relations();
    std::set<DWORD> hhIds, cardIds, relHH, relServer;
    for (const Address& a : addresses()) hhIds.insert(a.record.uniqueId);
    for (const Card& c : cards()) cardIds.insert(c.id);
    for (const auto& [s, h] : rel) {
      EXPECT_TRUE(relServer.insert(s).second) << "card " << s << " related twice";
      EXPECT_TRUE(relHH.insert(h).second) << "record " << h << " related twice";
    }
    EXPECT_EQ(relHH, hhIds);
    EXPECT_EQ(relServer, cardIds);
  }
};

TEST_F(AddressSync, FirstSyncCarriesEachSideToTheOtherAndASecondChangesNothing) {
  import("card\t-\t-\t1\tBusiness\t-2=Yamada\t-1=Taro\t1=ACME\t4=090-1111\t-10=taro@example.com\n");
  DWORD sato = hhAdd({"--last", "Sato", "--first", "Ichiro", "--company", "Foo Ltd", "--phone", "work=03-1234",
                      "--phone", "e-mail=sato@example.com", "--category", "Personal", "--note", "line one\nline two"});
  EXPECT_FALSE(std::filesystem::exists(handheld_ / "GWSyncDB.pdb"));
  syncOk();

  const Card* c = cardByLast("Sato");
  ASSERT_NE(c, nullptr) << exportText();
  EXPECT_EQ(c->item(kFirst), "Ichiro");
  EXPECT_EQ(c->item(kCompany), "Foo Ltd");
  EXPECT_EQ(c->item(kWork), "03-1234");
  EXPECT_EQ(c->item(kEmail), "sato@example.com");
  EXPECT_EQ(c->item(kNote), "line one\nline two");
  EXPECT_EQ(c->category, "Personal");

  const Address* y = addressByLast("Yamada");
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->field(palm::kFirstName), "Taro");
  EXPECT_EQ(y->field(palm::kCompany), "ACME");
  bool mobile = false, email = false;
  for (int slot = 0; slot < 5; ++slot) {
    mobile |= y->fields.phoneLabel(slot) == 7 && y->field(palm::kPhone1 + slot) == "090-1111";
    email |= y->fields.phoneLabel(slot) == 4 && y->field(palm::kPhone1 + slot) == "taro@example.com";
  }
  EXPECT_TRUE(mobile && email);
  EXPECT_EQ(categories()[y->record.category], "Business");
  for (const Address& a : addresses()) EXPECT_FALSE(a.record.dirty) << a.record.uniqueId;
  EXPECT_EQ(relations().find(c->id)->second, sato);
  expectOneToOne();

  // The last sync time is kept on the handheld: one 20-byte record.
  palm::Database times = database("GWSyncDB");
  ASSERT_EQ(times.records.size(), 1u);
  ASSERT_EQ(times.records[0].data.size(), 20u);
  EXPECT_NE(palm::getU32(times.records[0].data, 4), 0u);  // the address slot

  std::string serverBefore = exportText();
  std::string handheldBefore = testutil::readFile(handheld_ / "AddressDB.pdb");
  syncOk();
  EXPECT_EQ(cards().size(), 2u);
  EXPECT_EQ(addresses().size(), 2u);
  EXPECT_EQ(testutil::readFile(handheld_ / "AddressDB.pdb").size(), handheldBefore.size());
  expectOneToOne();
}

TEST_F(AddressSync, ChangesOnBothSidesMoveInPlace) {
  import(
      "card\t-\t-\t1\t\t-2=Yamada\t-1=Taro\n"
      "card\t-\t-\t1\t\t-2=Kimura\n");
  DWORD sato = hhAdd({"--last", "Sato"});
  DWORD ito = hhAdd({"--last", "Ito"});
  syncOk();
  std::map<std::string, DWORD> ids;
  for (const Card& c : cards()) ids[c.item(kLast)] = c.id;

  ASSERT_EQ(hh({"edit", "address", std::to_string(sato), "--city", "Osaka"}).status, 0);
  ASSERT_EQ(hh({"delete", "address", std::to_string(ito)}).status, 0);
  hhAdd({"--last", "Kato"});
  changeCard("Yamada", [](const Card& c) {
    auto v = c.items;
    v[kTitle] = "Manager";
    return v;
  });
  changeCard("Kimura", [](const Card&) { return std::map<long, std::string>{}; });
  import("card\t-\t-\t1\t\t-2=Mori\n");
  syncOk();

  EXPECT_EQ(cardByLast("Sato")->item(kCity), "Osaka");
  EXPECT_EQ(cardByLast("Sato")->id, ids["Sato"]);
  EXPECT_EQ(cardByLast("Ito"), nullptr);
  EXPECT_NE(cardByLast("Kato"), nullptr);
  EXPECT_EQ(addressByLast("Yamada")->field(palm::kTitle), "Manager");
  EXPECT_EQ(addressByLast("Kimura"), nullptr);
  EXPECT_NE(addressByLast("Mori"), nullptr);
  EXPECT_EQ(addressByLast("Sato")->record.uniqueId, sato);
  EXPECT_EQ(cards().size(), 4u);
  EXPECT_EQ(addresses().size(), 4u);
  // Deleted records are purged from the handheld once synced.
  for (const palm::Record& r : database().records) EXPECT_TRUE(r.live()) << r.uniqueId;
  expectOneToOne();
}

// One row per case of a record changed on both sides since the last sync.
struct Conflict {
  const char* name;
  bool hhDeletes;      // else the handheld changes the record
  bool serverDeletes;  // else the server changes the card
  // What is left afterwards.
  bool onHandheld;
  bool onServer;
  const char* title;  // the title both sides then hold (when both have it)
};

class AddressConflict : public AddressSync, public ::testing::WithParamInterface<Conflict> {};

TEST_P(AddressConflict, EndsTheSameOnBothSides) {
  const Conflict& c = GetParam();
  DWORD id = hhAdd({"--last", "Both", "--title", "original"});
  syncOk();
  if (c.hhDeletes) ASSERT_EQ(hh({"delete", "address", std::to_string(id)}).status, 0);
  else ASSERT_EQ(hh({"edit", "address", std::to_string(id), "--title", "handheld"}).status, 0);
  changeCard("Both", [&](const Card& card) {
    if (c.serverDeletes) return std::map<long, std::string>{};
    auto v = card.items;
    v[kTitle] = "server";
    return v;
  });
  syncOk();
  const Address* a = addressByLast("Both");
  const Card* card = cardByLast("Both");
  EXPECT_EQ(a != nullptr, c.onHandheld);
  EXPECT_EQ(card != nullptr, c.onServer);
  if (a && card) {
    EXPECT_EQ(a->field(palm::kTitle), c.title);
    EXPECT_EQ(card->item(kTitle), c.title);
  }
  expectOneToOne();
  // Settled: a further run changes nothing.
  syncOk();
  EXPECT_EQ(addresses().size(), c.onHandheld ? 1u : 0u);
  EXPECT_EQ(cards().size(), c.onServer ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, AddressConflict,
                         ::testing::Values(
                             //      name                 hh del  srv del  on hh  on srv  title
                             Conflict{"BothChanged", false, false, true, true, "server"},
                             Conflict{"HandheldDeleted", true, false, true, true, "server"},
                             Conflict{"ServerDeleted", false, true, true, true, "handheld"},
                             Conflict{"BothDeleted", true, true, false, false, ""}),
                         [](const ::testing::TestParamInfo<Conflict>& info) { return info.param.name; });

TEST_F(AddressSync, CategoriesTravelBothWaysAndAFullListLosesNoRecord) {
  ASSERT_EQ(hh({"category", "address", "add", "Golf"}).status, 0);
  hhAdd({"--last", "Golfer", "--category", "Golf"});
  import("card\t-\t-\t1\tTravel\t-2=Traveller\n");
  syncOk();
  EXPECT_EQ(cardByLast("Golfer")->category, "Golf");
  const Address* t = addressByLast("Traveller");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(categories()[t->record.category], "Travel");

  // Fill the handheld's list; a server category that no longer fits leaves
  // its card Unfiled on the handheld, and the card keeps its category.
  for (int i = 0; categories()[15].empty(); ++i)
    ASSERT_EQ(hh({"category", "address", "add", "Full" + std::to_string(i)}).status, 0);
  import("card\t-\t-\t1\tOverflow\t-2=Overflowing\n");
  syncOk();
  const Address* o = addressByLast("Overflowing");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->record.category, 0);
  EXPECT_EQ(cardByLast("Overflowing")->category, "Overflow");
  expectOneToOne();
}

TEST_F(AddressSync, ShiftJisNamesAndALongNoteKeepTheirBytes) {
  std::string note;
  while (note.size() < 5000) note += kHanako;
  import("card\t-\t-\t1\t\t-2=" + kYamada + "\t-1=" + kHanako + "\t-11=" + note + "\n");
  hhAdd({"--last", kSo + kSo, "--first", kHanako});
  syncOk();
  const Address* y = addressByLast(kYamada);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->field(palm::kFirstName), kHanako);
  std::string cut = y->field(palm::kNote);
  EXPECT_LE(cut.size(), 4096u);
  EXPECT_GE(cut.size(), 4090u);
  EXPECT_EQ(cut.size() % 4, 0u) << "a double-byte character was split";
  EXPECT_EQ(cut, note.substr(0, cut.size()));
  const Card* c = cardByLast(kSo + kSo);
  ASSERT_NE(c, nullptr) << exportText();
  EXPECT_EQ(c->item(kFirst), kHanako);
}

TEST_F(AddressSync, AHandheldResetToFactoryStateGetsEveryCardBackOnce) {
  import("card\t-\t-\t1\t\t-2=Server\n");
  hhAdd({"--last", "Handheld"});
  syncOk();
  // A reset leaves the handheld without its databases and its sync times.
  std::filesystem::remove(handheld_ / "GWSyncDB.pdb");
  std::filesystem::remove(handheld_ / "AddressDB.pdb");
  syncOk();
  EXPECT_EQ(addresses().size(), 2u);
  EXPECT_EQ(cards().size(), 2u);
  EXPECT_EQ(categories()[1], "Business");  // the database was made as the handheld makes it
  expectOneToOne();
  ASSERT_EQ(database("GWSyncDB").records.size(), 1u);
}

class AddressPrivacy : public AddressSync {
 protected:
  AddressPrivacy() : AddressSync(e2e::addressSettings(1, e2e::kSampleMap)) {}
};

TEST_F(AddressPrivacy, PolicyOneMakesServerCardsPrivateAndTwoClearsIt) {
  import("card\t-\t-\t1\t\t-2=Secret\n");
  syncOk();
  ASSERT_NE(addressByLast("Secret"), nullptr);
  EXPECT_TRUE(addressByLast("Secret")->record.secret);

  setSettings(e2e::addressSettings(2, e2e::kSampleMap));
  changeCard("Secret", [](const Card& c) {
    auto v = c.items;
    v[kTitle] = "public now";
    return v;
  });
  syncOk();
  EXPECT_EQ(addressByLast("Secret")->field(palm::kTitle), "public now");
  EXPECT_FALSE(addressByLast("Secret")->record.secret);
}

class MobileOnlyMap : public AddressSync {
 protected:
  // Names, and of the phones only mobile; nothing else mapped.
  MobileOnlyMap() : AddressSync(e2e::addressSettings(0, {0, 0, 0, 0, 0, 0, 0, 0, kMobile})) {}
};

TEST_F(MobileOnlyMap, MobileTakesTheFirstUnmappedSlotAndUnmappedDataStays) {
  import("card\t-\t-\t1\t\t-2=Mobile\t4=090-2222\t2=home-stays\t5=title-stays\n");
  DWORD local = hhAdd({"--last", "Local", "--custom1", "custom stays", "--phone", "home=06-111"});
  syncOk();
  const Address* m = addressByLast("Mobile");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->fields.phoneLabel(0), 7);
  EXPECT_EQ(m->field(palm::kPhone1), "090-2222");
  EXPECT_EQ(m->fields.phoneLabel(1), 1);  // the others keep their labels
  // Unmapped on the server side: neither the home phone nor the custom field.
  const Card* l = cardByLast("Local");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->items.size(), 1u) << exportText();

  // A server change keeps the handheld's unmapped fields...
  changeCard("Local", [](const Card& c) {
    auto v = c.items;
    v[kMobile] = "080-3333";
    return v;
  });
  // ...and a handheld change keeps the server's unmapped items.
  ASSERT_EQ(hh({"edit", "address", std::to_string(m->record.uniqueId), "--first", "Mo"}).status, 0);
  syncOk();
  const Address* after = addressByLast("Local");
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->record.uniqueId, local);
  EXPECT_EQ(after->field(palm::kCustom1), "custom stays");
  bool home = false, mobile = false;
  for (int slot = 0; slot < 5; ++slot) {
    home |= after->field(palm::kPhone1 + slot) == "06-111";
    mobile |= after->fields.phoneLabel(slot) == 7 && after->field(palm::kPhone1 + slot) == "080-3333";
  }
  EXPECT_TRUE(home && mobile);
  const Card* mc = cardByLast("Mobile");
  EXPECT_EQ(mc->item(kFirst), "Mo");
  EXPECT_EQ(mc->item(kHome), "home-stays");
  EXPECT_EQ(mc->item(kTitle), "title-stays");
}

// A run that cannot start changes nothing on either side and says why in
// the HotSync log.
class AddressRefused : public AddressSync {
 protected:
  void SetUp() override {
    import("card\t-\t-\t1\t\t-2=Server\n");
    hhAdd({"--last", "Handheld"});
    serverBefore_ = exportText();
    handheldBefore_ = testutil::readFile(handheld_ / "AddressDB.pdb");
  }
  void expectRefused(const std::string& message) {
    testutil::CommandResult r = sync();
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    EXPECT_NE(hotsyncLogFile().find(message), std::string::npos);
    EXPECT_EQ(exportText(), serverBefore_);
    EXPECT_EQ(testutil::readFile(handheld_ / "AddressDB.pdb"), handheldBefore_);
    EXPECT_FALSE(std::filesystem::exists(handheld_ / "GWSyncDB.pdb"));
  }
  std::string serverBefore_;
  std::string handheldBefore_;
};

TEST_F(AddressRefused, WrongPassword) {
  configure(server_.url(), "taro", "not-the-password");
  expectRefused("does not know this user or the password is wrong");
}

TEST_F(AddressRefused, UnknownUser) {
  configure(server_.url(), "nobody", "taro-pw");
  expectRefused("could not be found or could not log in");
}

TEST_F(AddressRefused, ServerDown) {
  server_.stop();
  expectRefused("could not be found or could not log in");
}

TEST_F(AddressRefused, LoginRefusedAsExpired) {
  armFault("page=PXBlank&error=16403");
  expectRefused("login has expired or was not made");
}

TEST_F(AddressRefused, AConfigurationThatCannotBeLoadedEndsBeforeAnyServerCall) {
  testutil::FakeHttpServer fake;
  configure(fake.url("/gw"));
  // A user without configuration whose key cannot be created: the registry
  // stays readable (the messages are found) but refuses every change.
  ::setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  {
    HKEY key;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKey(key, handheldUser().c_str()), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  std::filesystem::remove(dir_ / "registry.reg.lock");
  ASSERT_TRUE(std::filesystem::create_directory(dir_ / "registry.reg.lock"));
  expectRefused("settings could not be loaded");
  EXPECT_EQ(fake.requestCount(), 0u);
}

TEST_F(AddressRefused, ADamagedRegistryIsNamedAndNothingRuns) {
  {
    std::ofstream bad(dir_ / "registry.reg", std::ios::app);
    bad << "this line is not registry syntax\n";
  }
  expectRefused("registry.reg:");
}

TEST_F(AddressSync, FilesAfterASyncReadBackWithPerl) {
  import("card\t-\t-\t1\tBusiness\t-2=Yamada\t-1=Taro\t1=ACME\t4=090-1111\t-11=note\n");
  hhAdd({"--last", "Sato", "--company", "Foo Ltd", "--phone", "home=06-1"});
  syncOk();
  std::string script = dir_.path() / "read.pl";
  {
    std::ofstream out(script);
    out << "use strict; use warnings; use Palm::PDB; use Palm::Address;\n"
           "my $pdb = Palm::PDB->new; $pdb->Load($ARGV[0]);\n"
           "for my $r (@{$pdb->{records}}) { my $f = $r->{fields};\n"
           "  my $cat = $pdb->{appinfo}{categories}[$r->{category}]{name};\n"
           "  print join('|', map { defined $_ ? $_ : '' } $f->{name}, $f->{firstName}, $f->{company},\n"
           "    join(',', map { $f->{\"phone$_\"} || '' } 1..5), $f->{note}, $cat), \"\\n\"; }\n";
  }
  testutil::CommandResult r = testutil::runCommand({"/usr/bin/perl", script, (handheld_ / "AddressDB.pdb").string()});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Yamada|Taro|ACME|,,,090-1111,|note|Business\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sato||Foo Ltd|06-1,,,,||Unfiled\n"), std::string::npos) << r.out;
}

}  // namespace
