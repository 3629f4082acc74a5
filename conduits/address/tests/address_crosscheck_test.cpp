// Address Book records checked against an independent reader and writer of
// the same files, the Perl Palm::Address module: what the converter builds
// from server cards, Perl reads with the expected fields and labels, and
// packs back to the same bytes (company offset included).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "conduits/address/tests/addresstest.h"
#include "testutil/files.h"
#include "testutil/shell.h"

using namespace std::string_literals;
using namespace addrtest;

// Only the record name needs it, and no test here asks for one.
char* conduitText(UINT, char* buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  return buffer;
}

namespace {

const char kDumpScript[] = R"PERL(
use strict; use warnings;
use Palm::PDB; use Palm::Address;
my $pdb = Palm::PDB->new; $pdb->Load(shift);
for my $r (@{$pdb->{records}}) {
  my @f;
  for my $k (qw(name firstName company phone1 phone2 phone3 phone4 phone5 address city state
                zipCode country title custom1 custom2 custom3 custom4 note)) {
    push @f, "$k=$r->{fields}{$k}" if defined $r->{fields}{$k} && $r->{fields}{$k} ne '';
  }
  my $labels = join '', map { $r->{phoneLabel}{"phone$_"} } 1..5;
  printf "rec %d %s %s labels=%s\n", $r->{category}, $r->{attributes}{private} ? 'private' : '-',
         join(';', @f), $labels;
  printf "packed %s\n", unpack('H*', $pdb->PackRecord($r));
}
)PERL";

struct PerlRun {
  int code;
  std::string out;
};

PerlRun perl(const std::filesystem::path& script, const std::string& arg) {
  std::string cmd = "perl '" + script.string() + "' '" + arg + "' 2>&1";
  testutil::ShellResult r = testutil::runShell(cmd);
  return PerlRun{r.code, r.out};
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Company, work, fax, e-mail, mobile, address, city and note mapped; home
// and other not.
__SYNC5_SET mapped() {
  return settings(
      {{0, kCompany}, {1, kWork}, {3, kFax}, {5, kEmail}, {8, kMobile}, {9, kAddress}, {10, kCity}, {19, kNote}});
}

class AddressCrossCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "dump.pl") << kDumpScript;
    categories_ = addressCategories();
  }

  testutil::TempDir dir_{"address-crosscheck"};
  CPalmCategoryList categories_;
  std::vector<BYTE> shared_ = std::vector<BYTE>(kPalmSharedBufferSize);
};

TEST_F(AddressCrossCheck, PerlReadsWhatTheConverterWrites) {
  const __SYNC5_SET set = mapped();
  palm::Database db;
  db.name = "AddressDB";
  db.type = palm::fourCC("DATA");
  db.creator = palm::fourCC("addr");
  db.appInfo = palm::defaultAppInfo(db.creator);
  std::vector<std::string> built;

  auto add = [&](const Items& items, const char* category, DWORD policy) {
    TestCard card(items, category);
    CPalmAddressRecord rec(shared_.data());
    __SYNC5_SET s = set;
    s.nAddressFlags = policy;
    ASSERT_TRUE(addressFromServer(rec, s, categories_, nullptr, card.rec()));
    palm::Record r;
    r.uniqueId = static_cast<uint32_t>(db.records.size() + 1);
    r.category = static_cast<uint8_t>(rec.m_CatIndex);
    r.secret = (rec.m_Flags & PALMREC_PRIVATE) != 0;
    r.data = bytesOf(rec);
    built.push_back(r.data);
    db.records.push_back(r);
  };
  add({{kAddrLastNameItem, "Tanaka"},
       {kAddrFirstNameItem, "\x91\xbe\x98\x59"},
       {kCompany, "Example Co"},
       {kWork, "03-1234"},
       {kMobile, "090-9999"},
       {kCity, "Tokyo"},
       {kNote, "line1\r\nline2"}},
      "Personal", 1);
  add({{kCompany, "ACME"}}, nullptr, 0);
  std::ofstream(dir_ / "AddressDB.pdb", std::ios::binary) << palm::serializeDatabase(db);

  PerlRun r = perl(dir_ / "dump.pl", (dir_ / "AddressDB.pdb").string());
  ASSERT_EQ(r.code, 0) << r.out;
  // Mobile went to slot 2 (home is the first label the map leaves out),
  // whose label became 7.
  const std::string expected =
      "rec 2 private name=Tanaka;firstName=\x91\xbe\x98\x59;company=Example Co;phone1=03-1234;phone2=090-9999;"
      "city=Tokyo;note=line1\nline2 labels=07234\n"
      "packed " +
      hex(built[0]) +
      "\n"
      "rec 0 - company=ACME labels=07234\n"
      "packed 00043270000000040141434d4500\n";
  EXPECT_EQ(r.out, expected);
}

}  // namespace
