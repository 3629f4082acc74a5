// Cross-checks with an independent reader and writer of Palm databases, the
// Perl Palm::PDB modules: what the Sync Manager and the handheld tool write,
// Perl reads with the same records, attributes, categories and ids; what
// Perl writes, the Sync Manager reads the same way, and changes it keeps
// readable for Perl.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hotsync/handheld/records.h"
#include "hotsync/pdb/pdb.h"
#include "hotsync/sync20/sync20.h"
#include "testutil/files.h"
#include "testutil/shell.h"
#include "testutil/syncrecords.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// Prints every database given: header, named categories, records (ids,
// category, attributes, decoded fields) and resources, one line each.
const char kDumpScript[] = R"PERL(
use strict; use warnings;
use Palm::PDB; use Palm::Raw; use Palm::Address; use Palm::Memo; use Palm::Mail;
Palm::PDB::RegisterPRCHandlers("Palm::Raw", ["psys", "sprf"]);
for my $file (@ARGV) {
  my $pdb = Palm::PDB->new; $pdb->Load($file);
  print "db $pdb->{name} $pdb->{type} $pdb->{creator}\n";
  if (ref $pdb->{appinfo} eq 'HASH' && $pdb->{appinfo}{categories}) {
    my $i = 0;
    for my $c (@{$pdb->{appinfo}{categories}}) {
      print "cat $i $c->{name} $c->{id} $c->{renamed}\n" if defined $c->{name} && $c->{name} ne '';
      $i++;
    }
  }
  for my $r (@{$pdb->{records} || []}) {
    my $a = $r->{attributes};
    my $flags = join ',', grep { $a->{$_} } qw(expunged dirty private archive);
    my @f;
    if ($pdb->{creator} eq 'addr' && $r->{fields}) {
      for my $k (qw(name firstName company phone1 phone2 phone3 phone4 phone5 address city state
                    zipCode country title custom1 custom2 custom3 custom4 note)) {
        push @f, "$k=$r->{fields}{$k}" if defined $r->{fields}{$k} && $r->{fields}{$k} ne '';
      }
      push @f, "labels=" . join '', map { $r->{phoneLabel}{"phone$_"} } 1..5;
    } elsif ($pdb->{creator} eq 'memo') {
      push @f, "text=$r->{data}" if defined $r->{data};
    } elsif ($pdb->{creator} eq 'mail' && defined $r->{subject}) {
      push @f, map { "$_=" . ($r->{$_} // '') } qw(subject from to cc body year month day hour minute);
      push @f, "read=" . ($r->{is_read} ? 1 : 0), "priority=$r->{priority}";
    }
    printf "rec %d %s %s %s\n", $r->{id}, $r->{category} // '-', $flags || '-', join ';', @f;
  }
  for my $r (@{$pdb->{resources} || []}) {
    printf "res %s %d %s\n", $r->{type}, $r->{id}, unpack('H*', $r->{data});
  }
}
)PERL";

// Writes an Address Book, a Memo Pad and a Mail database the way desktop
// tools do, with fixed record ids.
const char kWriteScript[] = R"PERL(
use strict; use warnings;
use Palm::PDB; use Palm::Address; use Palm::Memo; use Palm::Mail;
my $dir = shift;

my $addr = Palm::Address->new;
my $cats = $addr->{appinfo}{categories};
$cats->[1] = { name => 'Business', id => 1, renamed => 0 };
$cats->[2] = { name => 'Personal', id => 2, renamed => 1 };
$cats->[5] = { name => 'Desktop', id => 130, renamed => 1 };
my $r = $addr->new_Record;
$r->{id} = 0x123456; $r->{category} = 2;
$r->{attributes} = { dirty => 1, private => 1 };
$r->{fields}{name} = "Tanaka"; $r->{fields}{firstName} = "\x91\xbe\x98\x59";
$r->{fields}{company} = "Example Co"; $r->{fields}{phone1} = "03-1234"; $r->{fields}{phone2} = "090-9999";
$r->{phoneLabel}{phone2} = 7; $r->{fields}{note} = "line1\nline2";
$addr->append_Record($r);
my $gone = $addr->new_Record; $gone->{id} = 0x20; $gone->{attributes} = { expunged => 1, dirty => 1 };
$addr->append_Record($gone);
my $kept = $addr->new_Record; $kept->{id} = 0x21;
$kept->{attributes} = { expunged => 1, archive => 1 }; $kept->{fields}{name} = "Archived";
$addr->append_Record($kept);
$addr->Write("$dir/AddressDB.pdb");

my $memo = Palm::Memo->new;
$memo->{appinfo}{categories}[1] = { name => 'Business', id => 1, renamed => 0 };
my $m = $memo->new_Record; $m->{id} = 0x10; $m->{category} = 1; $m->{data} = "Title\nbody";
$m->{attributes} = {};
$memo->append_Record($m);
$memo->Write("$dir/MemoDB.pdb");

my $mail = Palm::Mail->new;
$mail->{appinfo}{categories}[3] = { name => 'Filed', id => 3, renamed => 0 };
my $x = $mail->new_Record; $x->{id} = 0x30; $x->{category} = 3;
@$x{qw(subject from to body year month day hour minute is_read priority)} =
  ('Report', 'ann@example.com', 'bob@example.com', "Hello\nBob", 2026, 12, 7, 9, 30, 1, 1);
$mail->append_Record($x);
$mail->Write("$dir/MailDB.pdb");
)PERL";

struct Perl {
  int code;
  std::string out;
};

Perl perl(const fs::path& script, const std::vector<std::string>& args) {
  std::string cmd = "perl '" + script.string() + "'";
  for (const std::string& a : args) cmd += " '" + a + "'";
  cmd += " 2>&1";
  testutil::ShellResult r = testutil::runShell(cmd);
  return Perl{r.code, r.out};
}

class PerlCrossCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "dump.pl") << kDumpScript;
    std::ofstream(dir_ / "write.pl") << kWriteScript;
    fs::create_directories(folder_);
    ASSERT_EQ(SyncSetHandheldFolder(folder_.c_str()), 0);
  }
  void TearDown() override {
    for (BYTE h = 1; h <= 32; ++h) SyncCloseDB(h);
    SyncSetHandheldFolder(nullptr);
  }

  std::string dump(const std::vector<std::string>& names) {
    std::vector<std::string> files;
    for (const std::string& n : names) files.push_back((folder_ / n).string());
    Perl p = perl(dir_ / "dump.pl", files);
    EXPECT_EQ(p.code, 0) << p.out;
    return p.out;
  }

  std::string tool(const std::string& args) {
    std::string cmd = std::string(GWSYNC_TEST_BINDIR) + "/handheld --folder '" + folder_.string() + "' " + args;
    testutil::ShellResult r = testutil::runShell(cmd);
    EXPECT_EQ(r.code, 0) << cmd;
    return r.out;
  }

  DWORD write(BYTE h, const std::string& data, BYTE attributes, short category, DWORD id = 0) {
    return testutil::writeRecord(h, data, attributes, category, id);
  }

  testutil::TempDir dir_{"perl-crosscheck"};
  fs::path folder_ = dir_ / "palm";
};

TEST_F(PerlCrossCheck, PerlReadsWhatTheSyncManagerWrites) {
  CDbCreateDB create{};
  create.m_Creator = palm::fourCC("addr");
  create.m_Type = palm::fourCC("DATA");
  std::strcpy(create.m_Name, "AddressDB");
  ASSERT_EQ(SyncCreateDB(&create), 0) << SyncGetLastProblem();
  const BYTE h = create.m_FileHandle;
  CInitDatabaseParam param{h, {}, create.m_Creator, create.m_Type, 0, 0};
  CCallModuleParams call{};
  call.m_dwCreatorID = create.m_Creator;
  call.m_dwTypeID = palm::fourCC("appl");
  call.m_wActionCode = sysAppLaunchCmdInitDatabase;
  call.m_dwParamSize = sizeof param;
  call.m_pParam = &param;
  ASSERT_EQ(SyncCallRemoteModule(&call), 0);

  // A desktop-side category in slot 4, as a conduit would add it.
  std::string block = *palm::defaultAppInfo(create.m_Creator);
  palm::CategoryBlock c;
  palm::parseCategoryBlock(block, c);
  c.names[4] = "GWSync";
  c.ids[4] = 128;
  palm::storeCategoryBlock(c, block);
  ASSERT_NO_FATAL_FAILURE(testutil::writeAppInfo(h, block));

  palm::AddressRecord a;
  a.fields[palm::kLastName] = "Smith";
  a.fields[palm::kFirstName] = "John";
  a.fields[palm::kCompany] = "Acme";
  a.fields[palm::kPhone1] = "123";
  a.fields[palm::kPhone2] = "456";
  a.setPhoneLabel(1, 7);
  EXPECT_EQ(write(h, palm::packAddress(a), 0, 1), 1u);
  palm::AddressRecord b;
  b.fields[palm::kLastName] = "\x8d\xb2\x93\xa1";
  b.fields[palm::kNote] = "secret";
  EXPECT_EQ(write(h, palm::packAddress(b), eRecAttrDirty | eRecAttrSecret, 4), 2u);
  DWORD archived = write(h, palm::packAddress(a), 0, 2);
  DWORD deleted = write(h, palm::packAddress(b), 0, 3);
  write(h, palm::packAddress(a), eRecAttrArchived | eRecAttrDirty, 2, archived);
  write(h, "", eRecAttrDeleted | eRecAttrDirty, 0, deleted);
  ASSERT_EQ(SyncCloseDB(h), 0);

  EXPECT_EQ(dump({"AddressDB.pdb"}),
            "db AddressDB DATA addr\n"
            "cat 0 Unfiled 0 0\ncat 1 Business 1 0\ncat 2 Personal 2 0\ncat 3 QuickList 3 0\n"
            "cat 4 GWSync 128 0\n"
            "rec 1 1 - name=Smith;firstName=John;company=Acme;phone1=123;phone2=456;labels=07234\n"
            "rec 2 4 dirty,private name=\x8d\xb2\x93\xa1;note=secret;labels=01234\n"
            "rec 3 - expunged,dirty,archive name=Smith;firstName=John;company=Acme;phone1=123;phone2=456;"
            "labels=07234\n"
            "rec 4 - expunged,dirty \n"s);  // no data: no fields
}

TEST_F(PerlCrossCheck, PerlReadsWhatTheHandheldToolWrites) {
  tool("create");
  tool("add memo --text 'Groceries\nmilk' --category Personal --private");
  tool("add memo --text 'to delete'");
  tool("delete memo 2");
  tool("category memo rename Business Work");
  tool(
      "add mail --subject Hi --from me@example.com --to you@example.com --body 'see you' "
      "--date '2026-12-24 18:05' --priority high --read");
  tool("mail-pref --sync filter --from boss --truncate 1000");
  EXPECT_EQ(dump({"MemoDB.pdb", "MailDB.pdb", "Saved Preferences.prc"}),
            "db MemoDB DATA memo\n"
            "cat 0 Unfiled 0 0\ncat 1 Work 1 1\ncat 2 Personal 2 0\n"
            "rec 1 2 dirty,private text=Groceries\nmilk\n"
            "rec 2 - expunged,dirty text=\n"
            "db MailDB DATA mail\n"
            "cat 0 Inbox 0 0\ncat 1 Outbox 1 0\ncat 2 Deleted 2 0\ncat 3 Filed 3 0\ncat 4 Draft 4 0\n"
            "rec 1 1 dirty subject=Hi;from=me@example.com;to=you@example.com;cc=;body=see you;year=2026;"
            "month=12;day=24;hour=18;minute=5;read=1;priority=0\n"
            "db Saved Preferences sprf psys\n"
            "res mail 1 00020200010003e800626f73730000\n");
}

// To-dos both ways: what the tool writes, Palm::ToDo reads field for field
// (the description typed in UTF-8 reaches Perl in Shift-JIS); what Perl
// writes, the tool lists and shows.
TEST_F(PerlCrossCheck, ToDosReadTheSameInPerlAndInTheTool) {
  const std::string taroUtf8 = "\xe5\xa4\xaa\xe9\x83\x8e", taroSjis = "\x91\xbe\x98\x59";
  tool("create");
  tool(
      "add todo --description 'File taxes' --note 'forms\nreceipts' --due 2027-04-15 --priority 2 "
      "--category Business");
  ASSERT_EQ(
      std::system(("LC_ALL=C.UTF-8 " + std::string(GWSYNC_TEST_BINDIR) + "/handheld --folder '" + folder_.string() +
                   "' add todo --description '" + taroUtf8 + "' --completed --priority 5 --private >/dev/null")
                      .c_str()),
      0);
  std::ofstream(dir_ / "todo.pl") << R"PERL(
use strict; use warnings; use Palm::PDB; use Palm::ToDo;
my ($cmd, $file) = @ARGV;
if ($cmd eq 'read') {
  my $pdb = Palm::PDB->new; $pdb->Load($file);
  for my $r (@{$pdb->{records}}) {
    my $due = defined $r->{due_year} ? "$r->{due_year}-$r->{due_month}-$r->{due_day}" : '-';
    (my $note = $r->{note} // '') =~ s/\n/|/g;
    print join(' ', $r->{id}, $pdb->{appinfo}{categories}[$r->{category}]{name}, $due, $r->{priority},
               $r->{completed} ? 'done' : 'open', $r->{attributes}{private} ? 'private' : 'public',
               $r->{description}, $note), "\n";
  }
} else {
  my $pdb = Palm::ToDo->new; $pdb->{name} = 'ToDoDB';
  $pdb->{appinfo}{categories}[2] = { name => 'Errands', id => 130, renamed => 0 };
  my $r = $pdb->new_Record; $r->{id} = 0x40; $r->{description} = 'From Perl'; $r->{note} = "a\nb";
  $r->{due_year} = 2028; $r->{due_month} = 2; $r->{due_day} = 29; $r->{priority} = 3; $r->{completed} = 1;
  $r->{category} = 2; $pdb->append_Record($r);
  $pdb->Write($file);
}
)PERL";
  const std::string file = (folder_ / "ToDoDB.pdb").string();
  Perl read = perl(dir_ / "todo.pl", {"read", file});
  EXPECT_EQ(read.code, 0) << read.out;
  EXPECT_EQ(read.out,
            "1 Business 2027-4-15 2 open public File taxes forms|receipts\n"
            "2 Unfiled - 5 done private " +
                taroSjis + " \n");

  fs::remove(file);
  Perl written = perl(dir_ / "todo.pl", {"write", file});
  ASSERT_EQ(written.code, 0) << written.out;
  EXPECT_EQ(tool("list todo"), "64\tErrands\tdirty\t[x] 3 2028-02-29 From Perl\n");
  EXPECT_EQ(tool("show todo 64"),
            "id: 64\ncategory: Errands\nattributes: dirty\ndue: 2028-02-29\npriority: 3\n"
            "completed: yes\ndescription: From Perl\nnote: a\nb\n");
}

// Events both ways: what the tool writes, Palm::Datebook reads part for part
// (times, alarm, repeat with its weekdays and end, exceptions, texts); what
// Perl writes, the tool lists and shows.
TEST_F(PerlCrossCheck, EventsReadTheSameInPerlAndInTheTool) {
  tool("create");
  tool(
      "add event --description 'Team meeting' --note 'Room 3' --date 2026-12-08 --start 09:30 --end 10:45 "
      "--alarm 2h --repeat weekly --every 2 --on mon,wed --until 2027-03-31 --except 2026-12-16");
  tool("add event --description Holiday --date 2026-12-24 --private");
  tool("add event --description Club --date 2026-12-31 --repeat monthly-by-day");
  std::ofstream(dir_ / "date.pl") << R"PERL(
use strict; use warnings; use Palm::PDB; use Palm::Datebook;
my ($cmd, $file) = @ARGV;
if ($cmd eq 'read') {
  my $pdb = Palm::PDB->new; $pdb->Load($file);
  for my $r (@{$pdb->{records}}) {
    my @f = ($r->{id}, "$r->{year}-$r->{month}-$r->{day}",
             $r->{start_hour} == 255 ? 'untimed' : "$r->{start_hour}:$r->{start_minute}-$r->{end_hour}:$r->{end_minute}");
    push @f, $r->{alarm} ? "alarm=$r->{alarm}{advance}/$r->{alarm}{unit}" : 'noalarm';
    if (my $p = $r->{repeat}) {
      my $end = defined $p->{end_year} ? "$p->{end_year}-$p->{end_month}-$p->{end_day}" : '-';
      my $on = $p->{type} == 2 ? join('', @{$p->{repeat_days}})
             : $p->{type} == 3 ? "$p->{weeknum}/$p->{daynum}" : '';
      push @f, "repeat=$p->{type}/$p->{frequency}/$end/$on";
    }
    push @f, 'except=' . join ',', map { "$_->[2]-$_->[1]-$_->[0]" } @{$r->{exceptions}} if $r->{exceptions};
    push @f, $r->{attributes}{private} ? 'private' : 'public', $r->{description}, $r->{note} // '-';
    print join(' ', @f), "\n";
  }
} else {
  my $pdb = Palm::Datebook->new; $pdb->{name} = 'DatebookDB';
  my $r = $pdb->new_Record; $r->{id} = 0x50;
  @$r{qw(year month day start_hour start_minute end_hour end_minute description note other_flags)} =
    (2027, 1, 15, 14, 0, 15, 30, 'From Perl', "a\nb", 0);
  $r->{alarm} = { advance => 15, unit => 0 };
  $r->{repeat} = { type => 4, frequency => 1, end_year => 2027, end_month => 12, end_day => 15, unknown => 0 };
  $r->{exceptions} = [[15, 3, 2027]];
  $pdb->append_Record($r);
  my $u = $pdb->new_Record; $u->{id} = 0x51;
  @$u{qw(year month day start_hour start_minute end_hour end_minute description other_flags)} =
    (2027, 2, 1, 255, 255, 255, 255, 'All day', 0);
  $pdb->append_Record($u);
  $pdb->Write($file);
}
)PERL";
  const std::string file = (folder_ / "DatebookDB.pdb").string();
  Perl read = perl(dir_ / "date.pl", {"read", file});
  EXPECT_EQ(read.code, 0) << read.out;
  EXPECT_EQ(read.out,
            "1 2026-12-8 9:30-10:45 alarm=2/1 repeat=2/2/2027-3-31/0101000 except=2026-12-16 public "
            "Team meeting Room 3\n"
            "2 2026-12-24 untimed noalarm private Holiday -\n"
            "3 2026-12-31 untimed noalarm repeat=3/1/-/4/4 public Club -\n");

  fs::remove(file);
  Perl written = perl(dir_ / "date.pl", {"write", file});
  ASSERT_EQ(written.code, 0) << written.out;
  EXPECT_EQ(tool("list event"),
            "80\tUnfiled\tdirty\t2027-01-15 14:00-15:30 From Perl (monthly-by-date)\n"
            "81\tUnfiled\tdirty\t2027-02-01 - All day\n");
  EXPECT_EQ(tool("show event 80"),
            "id: 80\ncategory: Unfiled\nattributes: dirty\ndate: 2027-01-15\ntime: 14:00-15:30\n"
            "alarm: 15m\nrepeat: monthly-by-date every 1 until 2027-12-15\n"
            "exceptions: 2027-03-15\ndescription: From Perl\nnote: a\nb\n");
}

TEST_F(PerlCrossCheck, AJapaneseNameTypedInUtf8IsShiftJisForPerlAndUtf8InTheList) {
  const std::string tanakaUtf8 = "\xe7\x94\xb0\xe4\xb8\xad", taroUtf8 = "\xe5\xa4\xaa\xe9\x83\x8e";
  const std::string tanakaSjis = "\x93\x63\x92\x86", taroSjis = "\x91\xbe\x98\x59";
  tool("create");
  const std::string utf8 = "LC_ALL=C.UTF-8 ";
  std::string cmd = utf8 + GWSYNC_TEST_BINDIR + "/handheld --folder '" + folder_.string() + "' add address --last '" +
                    tanakaUtf8 + "' --first '" + taroUtf8 + "' >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string dumped = dump({"AddressDB.pdb"});
  EXPECT_NE(dumped.find("rec 1 0 dirty name=" + tanakaSjis + ";firstName=" + taroSjis + ";"), std::string::npos)
      << dumped;
  cmd = utf8 + GWSYNC_TEST_BINDIR + "/handheld --folder '" + folder_.string() + "' list address";
  FILE* f = ::popen(cmd.c_str(), "r");
  char buf[256];
  std::string listed(buf, std::fread(buf, 1, sizeof buf, f));
  ::pclose(f);
  EXPECT_EQ(listed, "1\tUnfiled\tdirty\t" + tanakaUtf8 + ", " + taroUtf8 + "\n");
}

TEST_F(PerlCrossCheck, TheSyncManagerReadsWhatPerlWritesAndPerlReadsItsChanges) {
  Perl w = perl(dir_ / "write.pl", {folder_.string()});
  ASSERT_EQ(w.code, 0) << w.out;

  BYTE h = 0;
  ASSERT_EQ(SyncOpenDB("AddressDB", 0, &h, eDbRead | eDbWrite | eDbShowSecret), 0) << SyncGetLastProblem();
  BYTE buffer[65534];
  BYTE blockBytes[4096];
  CDbGenInfo blockInfo{};
  blockInfo.m_TotalBytes = sizeof blockBytes;
  blockInfo.m_pBytes = blockBytes;
  ASSERT_EQ(SyncReadDBAppInfoBlock(h, &blockInfo), 0);
  palm::CategoryBlock c;
  ASSERT_TRUE(palm::parseCategoryBlock(std::string(reinterpret_cast<char*>(blockBytes), blockInfo.m_BytesRead), c));
  EXPECT_EQ(c.names[2], "Personal");
  EXPECT_EQ(c.names[5], "Desktop");
  EXPECT_EQ(c.ids[5], 130);
  EXPECT_EQ(c.renamed, 0x0024);

  struct Seen {
    DWORD id;
    BYTE attributes;
    short category;
    std::string data;
  };
  std::vector<Seen> seen;
  for (WORD i = 0;; ++i) {
    CRawRecordInfo info{};
    info.m_FileHandle = h;
    info.m_RecIndex = i;
    info.m_TotalBytes = sizeof buffer;
    info.m_pBytes = buffer;
    LONG r = SyncReadRecordByIndex(&info);
    if (r == SYNCERR_NOT_FOUND) break;
    ASSERT_EQ(r, 0);
    seen.push_back(
        {info.m_RecId, info.m_Attribs, info.m_CatId, std::string(reinterpret_cast<char*>(buffer), info.m_RecSize)});
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].id, 0x123456u);
  EXPECT_EQ(seen[0].attributes, eRecAttrDirty | eRecAttrSecret);
  EXPECT_EQ(seen[0].category, 2);
  palm::AddressRecord a;
  ASSERT_TRUE(palm::parseAddress(seen[0].data, a, nullptr));
  EXPECT_EQ(a.fields[palm::kFirstName], "\x91\xbe\x98\x59");
  EXPECT_EQ(a.fields[palm::kCompany], "Example Co");
  EXPECT_EQ(a.fields[palm::kNote], "line1\nline2");
  EXPECT_EQ(a.phoneLabel(1), 7);
  // Perl's company offset (position after the head plus 1) is the one we write.
  EXPECT_EQ(palm::packAddress(a), seen[0].data);
  EXPECT_EQ(seen[1].id, 0x20u);
  EXPECT_EQ(seen[1].attributes, eRecAttrDeleted | eRecAttrDirty);
  EXPECT_EQ(seen[2].id, 0x21u);
  EXPECT_EQ(seen[2].attributes, eRecAttrArchived);

  // Our changes: a sync's clean-up and one new record.
  ASSERT_EQ(SyncResetSyncFlags(h), 0);
  ASSERT_EQ(SyncPurgeDeletedRecs(h), 0);
  palm::AddressRecord added;
  added.fields[palm::kLastName] = "Added";
  DWORD id = write(h, palm::packAddress(added), 0, 5);
  EXPECT_EQ(id & 0xFFFFFF, id);
  ASSERT_EQ(SyncCloseDB(h), 0);

  ASSERT_EQ(SyncOpenDB("MailDB", 0, &h, eDbRead), 0);
  CRawRecordInfo mailInfo{};
  mailInfo.m_FileHandle = h;
  mailInfo.m_RecId = 0x30;
  mailInfo.m_TotalBytes = sizeof buffer;
  mailInfo.m_pBytes = buffer;
  ASSERT_EQ(SyncReadRecordById(&mailInfo), 0);
  EXPECT_EQ(mailInfo.m_CatId, 3);
  palm::MailRecord m;
  ASSERT_TRUE(palm::parseMail(std::string(reinterpret_cast<char*>(buffer), mailInfo.m_RecSize), m, nullptr));
  EXPECT_EQ(m.texts[palm::kSubject], "Report");
  EXPECT_EQ(m.texts[palm::kBody], "Hello\nBob");
  EXPECT_EQ(m.year * 10000 + m.month * 100 + m.day, 20261207);
  EXPECT_EQ(m.flags, palm::kMailRead | 0x0400);
  SyncCloseDB(h);

  const std::string after = dump({"AddressDB.pdb", "MemoDB.pdb"});
  EXPECT_EQ(after,
            "db AddressDB DATA addr\n"
            "cat 0 Unfiled 0 0\ncat 1 Business 1 0\ncat 2 Personal 2 1\ncat 5 Desktop 130 1\n"
            "rec 1193046 2 private name=Tanaka;firstName=\x91\xbe\x98\x59;company=Example Co;phone1=03-1234;"
            "phone2=090-9999;note=line1\nline2;labels=07234\n"
            "rec " +
                std::to_string(id) +
                " 5 - name=Added;labels=01234\n"
                "db MemoDB DATA memo\n"
                "cat 0 Unfiled 0 0\ncat 1 Business 1 0\n"
                "rec 16 1 - text=Title\nbody\n");
}

}  // namespace
