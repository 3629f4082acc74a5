// The hotsync program run as a child process, with a fixture conduit that
// reports what it was handed (tests/fixture_conduit.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hotsync/condmgr/condmgr.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

namespace fs = std::filesystem;
using Call = std::map<std::string, std::string>;

std::string hotsyncProgram() { return std::string(GWSYNC_TEST_BINDIR) + "/hotsync"; }

std::string fixtureLibrary() { return (fs::read_symlink("/proc/self/exe").parent_path() / "libhsfixture.so").string(); }

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The lines of the output after "HotSync log:" up to the summary.
std::vector<std::string> printedLog(const std::string& out) {
  std::vector<std::string> lines;
  size_t at = out.find("HotSync log:\n");
  if (at == std::string::npos) return lines;
  std::istringstream in(out.substr(at + 13));
  std::string line;
  while (std::getline(in, line) && line.compare(0, 2, "  ") == 0) lines.push_back(line.substr(2));
  return lines;
}

class HotSyncTest : public ::testing::Test {
 protected:
  HotSyncTest() : dir_("hotsync"), handheld_(dir_ / "palm"), data_(dir_ / "data"), out_(dir_ / "calls.txt") {}

  void SetUp() override {
    fs::create_directories(handheld_);
    setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    setenv("XDG_DATA_HOME", data_.c_str(), 1);
    setenv("HSFIXTURE_OUT", out_.c_str(), 1);
    setenv("LC_ALL", "C", 1);
    for (const char* name : {"GWSYNC_HANDHELD", "GWSYNC_LIBDIR", "GWSYNC_HSLOG", "HSFIXTURE_RESULT", "HSFIXTURE_THROW"})
      unsetenv(name);
  }

  // Runs hotsync; standard error joins standard output.
  testutil::CommandResult hotsync(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", hotsyncProgram()};
    all.insert(all.end(), args.begin(), args.end());
    return testutil::runCommand(all);
  }
  testutil::CommandResult sync(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"sync", "--handheld", handheld_.string(), "--user", "Ann"};
    args.insert(args.end(), extra.begin(), extra.end());
    return hotsync(args);
  }
  void registerFixture(const std::string& creator, const std::string& database, int priority) {
    auto r = hotsync({"register", "--creator", creator, "--module", fixtureLibrary(), "--database", database,
                      "--priority", std::to_string(priority)});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // What the fixture was handed, one map per call ("call" = open or cfg).
  std::vector<Call> calls() const {
    std::vector<Call> all;
    std::istringstream in(testutil::readFile(out_));
    std::string line;
    while (std::getline(in, line)) {
      Call call;
      std::istringstream fields(line);
      std::string field;
      std::getline(fields, field, '\t');
      call["call"] = field;
      while (std::getline(fields, field, '\t')) {
        size_t eq = field.find('=');
        call[field.substr(0, eq)] = field.substr(eq + 1);
      }
      all.push_back(call);
    }
    return all;
  }
  std::string userFolder(const std::string& name = "Ann") const { return (data_ / "gwsync" / name).string(); }

  testutil::TempDir dir_;
  fs::path handheld_, data_, out_;
};

TEST_F(HotSyncTest, RunsRegisteredConduitsByPriorityThenCreator) {
  registerFixture("date", "ScheduleDB", 3);
  registerFixture("mail", "MailDB", 2);
  registerFixture("addr", "AddressDB", 2);
  registerFixture("memo", "MemoDB", 1);
  registerFixture("todo", "ToDoDB", 0);
  auto r = sync();
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> order;
  for (const Call& c : calls()) order.push_back(c.at("creator") + "/" + c.at("remote"));
  EXPECT_EQ(order, (std::vector<std::string>{"todo/ToDoDB", "memo/MemoDB", "addr/AddressDB", "mail/MailDB",
                                             "date/ScheduleDB"}));
  for (const char* creator : {"todo", "memo", "addr", "mail", "date"})
    EXPECT_NE(r.out.find(std::string("\n") + creator + ": synchronised\n"), std::string::npos) << creator;
  EXPECT_NE(r.out.find("addr: Fixture Conduit 1.2 (" + fixtureLibrary() + "), database AddressDB\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("HotSync finished: 5 synchronised, 0 failed."), std::string::npos) << r.out;
}

TEST_F(HotSyncTest, PropertiesRecordCarriesWhatTheConduitNeeds) {
  registerFixture("addr", "AddressDB", 2);
  fs::path userdir = dir_ / "elsewhere" / "ann";
  auto r = sync({"--userdir", userdir.string()});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(calls().size(), 1u);
  Call c = calls()[0];
  EXPECT_EQ(c["call"], "open");
  EXPECT_EQ(c["creator"], "addr");
  EXPECT_EQ(c["remote"], "AddressDB");
  EXPECT_EQ(c["remotes"], "1");
  EXPECT_EQ(c["user"], "Ann");
  EXPECT_EQ(c["userdir"], userdir.string());
  EXPECT_EQ(c["local"], "gw_addr.dat");
  EXPECT_EQ(c["hslog"], (userdir / "hotsync.log").string());
  // The conduit's Sync Manager works on the folder hotsync chose.
  EXPECT_EQ(c["handheld"], "created");
  EXPECT_TRUE(fs::exists(handheld_ / "FxAddressDB.pdb"));
  EXPECT_TRUE(fs::is_directory(userdir));
}

TEST_F(HotSyncTest, HandheldFolderFromTheEnvironment) {
  registerFixture("addr", "AddressDB", 2);
  setenv("GWSYNC_HANDHELD", handheld_.c_str(), 1);
  auto r = hotsync({"sync", "--user", "Ann"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(handheld_ / "FxAddressDB.pdb")) << r.out;
}

TEST_F(HotSyncTest, DefaultUserFolderIsCreatedPrivate) {
  registerFixture("addr", "AddressDB", 2);
  auto r = sync();
  ASSERT_EQ(r.status, 0) << r.out;
  struct stat st {};
  ASSERT_EQ(stat(userFolder().c_str(), &st), 0) << r.out;
  EXPECT_EQ(st.st_mode & 0777, 0700u) << r.out;
  EXPECT_EQ(calls().at(0).at("userdir"), userFolder()) << r.out;
}

TEST_F(HotSyncTest, NamedLibraryRunsWithoutRegistration) {
  auto r = sync({"--conduit", fixtureLibrary() + "=NotesDB"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].at("remote"), "NotesDB");
  EXPECT_EQ(calls()[0].at("creator"), "");
  EXPECT_NE(r.out.find("libhsfixture.so: synchronised"), std::string::npos) << r.out;
}

TEST_F(HotSyncTest, NamedLibraryTakesItsRegistrationAndRunsNothingElse) {
  registerFixture("memo", "MemoDB", 2);
  ASSERT_EQ(
      hotsync({"register", "--creator", "addr", "--module", "nosuchconduit.dll", "--database", "AddressDB"}).status, 0);
  auto r = sync({"--conduit", fixtureLibrary()});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].at("creator"), "memo");
  EXPECT_EQ(calls()[0].at("remote"), "MemoDB");
  EXPECT_EQ(calls()[0].at("local"), "gw_memo.dat");
  EXPECT_EQ(r.out.find("nosuchconduit"), std::string::npos) << r.out;
}

TEST_F(HotSyncTest, NamedLibraryOfTheSystemsOwnConduitsKnowsItsDatabase) {
  fs::path lib = dir_ / "lib";
  fs::create_directories(lib);
  fs::copy_file(fixtureLibrary(), lib / "libmemoconduit.so");
  fs::copy_file(fixtureLibrary(), lib / "libmailconduit.so");
  // A plain name is looked for in GWSYNC_LIBDIR, which hotsync keeps in front of its own.
  setenv("GWSYNC_LIBDIR", lib.c_str(), 1);
  auto r = sync({"--conduit", (lib / "libmemoconduit.so").string(), "--conduit", "mailconduit.dll"});
  ASSERT_EQ(r.status, 0) << r.out;
  // Under those names the brake's dry run runs them first, the same way.
  ASSERT_EQ(calls().size(), 4u);
  for (size_t dry : {0u, 2u}) {
    EXPECT_EQ(calls()[dry].at("creator") + "/" + calls()[dry].at("remote"), "memo/MemoDB");
    EXPECT_EQ(calls()[dry + 1].at("creator") + "/" + calls()[dry + 1].at("remote"), "mail/MailDB");
  }
}

TEST_F(HotSyncTest, OwnLibraryFolderIsSearched) {
  // liblogtext.so lives only in the build's lib folder: found, and refused as no conduit.
  auto r = sync({"--conduit", "logtext.dll=X"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("logtext.dll is not a conduit: it has no entry point OpenConduit"), std::string::npos) << r.out;
}

// Legend: the fixture's results; whether it throws; exit status; lines the
// output must hold.
struct OutcomeRow {
  const char* result;
  bool throws;
  int status;
  std::vector<std::string> lines;
};

void PrintTo(const OutcomeRow& row, std::ostream* os) {
  *os << "result \"" << row.result << "\"" << (row.throws ? ", throws" : "");
}

class HotSyncOutcomeTest : public HotSyncTest, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(HotSyncOutcomeTest, ExitStatusFollowsTheConduits) {
  const OutcomeRow& row = GetParam();
  registerFixture("addr", "AddressDB", 1);
  registerFixture("memo", "MemoDB", 2);
  if (*row.result) setenv("HSFIXTURE_RESULT", row.result, 1);
  if (row.throws) setenv("HSFIXTURE_THROW", "1", 1);
  auto r = sync();
  EXPECT_EQ(r.status, row.status) << r.out;
  for (const std::string& line : row.lines)
    EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(calls().size(), 2u) << "a failed conduit does not stop the run";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HotSyncOutcomeTest,
    ::testing::Values(
        /* 0 */ OutcomeRow{"0", false, 0, {"addr: synchronised", "memo: synchronised"}},
        /* 1 */
        OutcomeRow{"addr=-1",
                   false,
                   1,
                   {"addr: failed (result -1)", "memo: synchronised", "error: Fixture Conduit: failed (result -1)",
                    "HotSync finished: 1 synchronised, 1 failed."}},
        /* 2 */ OutcomeRow{"memo=16385", false, 1, {"addr: synchronised", "memo: failed (result 16385)"}},
        /* 3 */
        OutcomeRow{"",
                   true,
                   1,
                   {"addr: failed (result -1): the conduit threw an exception: fixture gave up",
                    "HotSync finished: 0 synchronised, 2 failed."}}));

TEST_F(HotSyncTest, PrintedLogHoldsOnlyThisRun) {
  registerFixture("addr", "AddressDB", 2);
  setenv("HSFIXTURE_RESULT", "-1", 1);
  auto first = sync();
  ASSERT_EQ(first.status, 1) << first.out;
  unsetenv("HSFIXTURE_RESULT");
  auto second = sync();
  ASSERT_EQ(second.status, 0) << second.out;

  std::vector<std::string> log = printedLog(second.out);
  ASSERT_EQ(log.size(), 4u) << second.out;
  EXPECT_EQ(log[0].rfind("HotSync started ", 0), 0u) << log[0];
  EXPECT_NE(log[0].find(" for Ann"), std::string::npos) << log[0];
  EXPECT_EQ(log[1], "Fixture addr: AddressDB");
  EXPECT_EQ(log[2], "Fixture Conduit: synchronised");
  EXPECT_EQ(log[3].rfind("Fixture Conduit: handheld 0 added, 0 changed, 0 deleted of 0; server ", 0), 0u) << log[3];
  // The file keeps both runs.
  std::string file = testutil::readFile(userFolder() + "/hotsync.log");
  EXPECT_EQ(countOf(file, "HotSync started "), 2u) << file;
  EXPECT_EQ(countOf(file, "\tFixture addr: AddressDB\n"), 2u) << file;
  EXPECT_EQ(countOf(file, "13\tFixture Conduit: failed (result -1)\n"), 1u) << file;
}

TEST_F(HotSyncTest, LibrariesThatCannotRunAreReportedInTheLoadersWords) {
  registerFixture("addr", "AddressDB", 2);
  std::ofstream(dir_ / "libjunk.so") << "not a library";
  auto reg = [&](const char* creator, const std::string& module) {
    auto r = hotsync({"register", "--creator", creator, "--module", module, "--database", "X", "--priority", "0"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: "), std::string::npos) << r.out;
  };
  reg("miss", "nosuchconduit.dll");
  reg("junk", (dir_ / "libjunk.so").string());
  reg("logt", std::string(GWSYNC_TEST_LIBDIR) + "/libhslog20.so");
  // Made by another tool, without a database.
  ASSERT_EQ(CmInstallCreator("nodb", CM_CREATOR_TYPE_CONDUIT), CM_ERR_NONE);
  ASSERT_EQ(CmSetCreatorModule("nodb", fixtureLibrary().c_str()), CM_ERR_NONE);
  auto r = sync();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("miss: nosuchconduit.dll could not be loaded: libnosuchconduit.so: not found"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("libjunk.so: not a shared library"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("libhslog20.so is not a conduit: it has no entry point OpenConduit"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("nodb: " + fixtureLibrary() + " cannot run: its registration names no handheld database"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("addr: synchronised"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HotSync finished: 1 synchronised, 4 failed."), std::string::npos) << r.out;
  EXPECT_EQ(countOf(r.out, "  error: "), 4u) << r.out;
  EXPECT_EQ(calls().size(), 1u);
}

TEST_F(HotSyncTest, ConfigurePassesTheUserAndTheRecordSize) {
  registerFixture("addr", "AddressDB", 2);
  auto r = hotsync({"configure", "addr", "--user", "Ann"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("addr: configuring Fixture Conduit 1.2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("addr: configuration done (result 0)"), std::string::npos) << r.out;
  ASSERT_EQ(calls().size(), 1u);
  Call c = calls()[0];
  EXPECT_EQ(c["call"], "cfg");
  EXPECT_EQ(c["type"], "0");
  EXPECT_EQ(c["size"], "352");
  EXPECT_EQ(c["dwsize"], "352");
  EXPECT_EQ(c["version"], "1");
  EXPECT_EQ(c["creator"], "addr");
  EXPECT_EQ(c["user"], "Ann");
  EXPECT_EQ(c["userdir"], userFolder());

  setenv("HSFIXTURE_RESULT", "4218", 1);
  r = hotsync({"configure", "memo", "--user", "Bob", "--conduit", fixtureLibrary()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("memo: configuration failed (result 0x107A)"), std::string::npos) << r.out;
  EXPECT_EQ(calls().at(1).at("creator"), "memo");
  EXPECT_EQ(calls().at(1).at("user"), "Bob");

  // szUser holds 63 bytes and a NUL.
  unsetenv("HSFIXTURE_RESULT");
  r = hotsync({"configure", "addr", "--user", std::string(64, 'a')});
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("at most 63"), std::string::npos) << r.out;
  r = hotsync({"configure", "addr", "--user", std::string(63, 'a')});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(calls().at(2).at("user"), std::string(63, 'a'));
}

TEST_F(HotSyncTest, UserNameReachesTheConduitInShiftJis) {
  registerFixture("addr", "AddressDB", 2);
  const std::string tanaka = "\xe7\x94\xb0\xe4\xb8\xad";  // 田中 in UTF-8
  setenv("LC_ALL", "C.UTF-8", 1);
  auto r = hotsync({"sync", "--handheld", handheld_.string(), "--user", tanaka});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(calls().at(0).at("user"), "\x93\x63\x92\x86") << r.out;
  EXPECT_EQ(calls().at(0).at("userdir"), userFolder(tanaka)) << r.out;

  // A locale that cannot hold the name: refused with a way out.
  setenv("LC_ALL", "C", 1);
  r = hotsync({"sync", "--handheld", handheld_.string(), "--user", tanaka});
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("--user-charset"), std::string::npos) << r.out;
  r = hotsync({"sync", "--handheld", handheld_.string(), "--user", tanaka, "--user-charset", "UTF-8"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(calls().at(1).at("user"), "\x93\x63\x92\x86") << r.out;
}

TEST_F(HotSyncTest, RegisterListAndUnregister) {
  auto r = hotsync({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "No conduits are registered.\n");

  r = hotsync({"register", "--creator", "addr", "--module", fixtureLibrary(), "--database", "AddressDB"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Registered addr: \"Fixture Conduit\""), std::string::npos) << r.out;
  r = hotsync({"register", "--creator", "memo", "--module", "memoconduit.dll", "--database", "MemoDB", "--title",
               "Notes", "--priority", "1"});
  ASSERT_EQ(r.status, 0) << r.out;

  r = hotsync({"list"});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("CREATOR  PRIORITY  TITLE", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("memo     1         Notes            memoconduit.dll", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("addr     2         Fixture Conduit  " + fixtureLibrary(), 0), 0u) << lines[2];
  EXPECT_NE(lines[2].find("AddressDB"), std::string::npos);

  // Registering again replaces.
  r = hotsync(
      {"register", "--creator", "addr", "--module", fixtureLibrary(), "--database", "OtherDB", "--priority", "0"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("addr was registered already"), std::string::npos) << r.out;
  r = hotsync({"list"});
  EXPECT_LT(r.out.find("\naddr "), r.out.find("\nmemo ")) << r.out;
  EXPECT_NE(r.out.find("OtherDB"), std::string::npos) << r.out;

  r = hotsync({"unregister", "addr"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = hotsync({"unregister", "addr"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("no conduit is registered for addr"), std::string::npos) << r.out;
  r = hotsync({"list"});
  EXPECT_EQ(r.out.find("addr"), std::string::npos) << r.out;
}

// Legend: arguments ("HH" stands for the handheld folder); exit status; a
// part of the message.
struct RefusalRow {
  std::vector<std::string> args;
  int status;
  const char* says;
};

void PrintTo(const RefusalRow& row, std::ostream* os) {
  *os << "hotsync";
  for (const std::string& a : row.args) *os << " " << a;
}

class HotSyncRefusalTest : public HotSyncTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(HotSyncRefusalTest, SaysWhatIsWrong) {
  registerFixture("addr", "AddressDB", 2);
  std::vector<std::string> args = GetParam().args;
  for (std::string& a : args)
    if (a == "HH") a = handheld_.string();
  auto r = hotsync(args);
  EXPECT_EQ(r.status, GetParam().status) << r.out;
  EXPECT_NE(r.out.find(GetParam().says), std::string::npos) << r.out;
  EXPECT_TRUE(calls().empty()) << "no conduit runs";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HotSyncRefusalTest,
    ::testing::Values(
        /* 0 */ RefusalRow{{}, 2, "usage: hotsync COMMAND"},
        /* 1 */ RefusalRow{{"frob"}, 2, "unknown command \"frob\""},
        /* 2 */ RefusalRow{{"sync", "--handheld", "HH"}, 2, "--user is missing"},
        /* 3 */ RefusalRow{{"sync", "--handheld", "HH", "--user", "Ann", "--bogus", "x"}, 2, "unknown option --bogus"},
        /* 4 */ RefusalRow{{"sync", "--user", "Ann"}, 2, "no handheld folder"},
        /* 5 */
        RefusalRow{{"sync", "--handheld", "/nonexistent/palm", "--user", "Ann"},
                   1,
                   "the handheld folder /nonexistent/palm does not exist"},
        /* 6 */ RefusalRow{{"sync", "--handheld", "HH", "--user", "a/b"}, 2, "cannot be a folder name"},
        /* 7 */
        RefusalRow{{"sync", "--handheld", "HH", "--user", "Ann", "--user-charset", "NOPE"},
                   2,
                   "character set \"NOPE\" of the user name is unknown"},
        /* 8 */
        RefusalRow{{"sync", "--handheld", "HH", "--user", "Ann", "--conduit", "/x/libother.so"},
                   2,
                   "name it as /x/libother.so=DATABASE"},
        /* 9 */
        RefusalRow{{"register", "--creator", "addrs", "--module", "m.dll", "--database", "D"},
                   2,
                   "creator \"addrs\" is not 4 printable characters"},
        /* 10 */
        RefusalRow{{"register", "--creator", "addr", "--module", "m.dll", "--database", "D", "--priority", "9"},
                   2,
                   "--priority 9 is not a number from 0 to 4"},
        /* 11 */ RefusalRow{{"register", "--creator", "addr", "--database", "D"}, 2, "--module is missing"},
        /* 12 */ RefusalRow{{"configure", "--user", "Ann"}, 2, "configure needs one CREATOR"},
        /* 13 */ RefusalRow{{"configure", "todo", "--user", "Ann"}, 1, "no conduit is registered for todo"},
        /* 14 */ RefusalRow{{"unregister", "todo"}, 1, "no conduit is registered for todo"}));

TEST_F(HotSyncTest, NothingRegisteredIsSaid) {
  auto r = sync();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("no conduits are registered"), std::string::npos) << r.out;
}

TEST_F(HotSyncTest, UnreadableRegistryIsReportedWithTheFile) {
  std::ofstream(dir_ / "registry.reg") << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\n";
  for (auto args : {std::vector<std::string>{"list"},
                    std::vector<std::string>{"sync", "--handheld", handheld_.string(), "--user", "Ann"}}) {
    auto r = hotsync(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("hotsync: cannot read the conduit registrations: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find((dir_ / "registry.reg").string() + ":3: "), std::string::npos) << r.out;
  }
  // A library named with its database needs no registration, but its
  // settings and messages live in the registry too: nothing runs.
  auto r = sync({"--conduit", fixtureLibrary() + "=AddressDB"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("the registry cannot be read, no conduit runs: " + (dir_ / "registry.reg").string() + ":3: "),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find(": synchronised"), std::string::npos) << r.out;
}

TEST_F(HotSyncTest, HelpForEveryCommand) {
  auto r = hotsync({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: hotsync COMMAND"), std::string::npos);
  for (const char* command :
       {"sync", "configure", "list", "register", "unregister", "start", "button", "status", "stop", "unit"}) {
    r = hotsync({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("usage: hotsync ") + command, 0), 0u) << r.out;
  }
}

// ---- the resident HotSync Manager ----

class ResidentTest : public HotSyncTest {
 protected:
  void SetUp() override {
    HotSyncTest::SetUp();
    fs::create_directories(dir_ / "run");
    setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
    setenv("HSFIXTURE_RESULT_FILE", (dir_ / "result").c_str(), 1);
    registerFixture("addr", "AddressDB", 2);
  }
  void TearDown() override {
    if (pid_t pid = residentPid(); pid > 0) ::kill(pid, SIGKILL);
    unsetenv("HSFIXTURE_RESULT_FILE");
  }
  testutil::CommandResult start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"start", "--handheld", handheld_.string(), "--user", "Ann"};
    args.insert(args.end(), extra.begin(), extra.end());
    return hotsync(args);
  }
  void result(const std::string& text) { std::ofstream(dir_ / "result") << text << "\n"; }
  pid_t residentPid() const {
    return static_cast<pid_t>(
        std::atol(testutil::readFile((dir_ / "run" / "gwsync" / "hotsync.pid").string()).c_str()));
  }
};

TEST_F(ResidentTest, StartsOnceAnswersStatusRunsOnTheButtonAndStops) {
  auto r = hotsync({"status"});
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_EQ(r.out, "No resident HotSync Manager is running.\n");
  EXPECT_EQ(hotsync({"button"}).status, 1);

  r = start();
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("HotSync Manager started (pid "), std::string::npos) << r.out;
  r = start();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("a resident HotSync Manager is already running for this user (pid " +
                       std::to_string(residentPid()) + ")"),
            std::string::npos)
      << r.out;

  r = hotsync({"status"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  user: Ann\n  handheld folder: " + handheld_.string() + "\n  last run: none yet\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(calls().empty());

  r = hotsync({"button"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("HotSync finished: 1 synchronised, 0 failed."), std::string::npos) << r.out;
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].at("user"), "Ann");
  EXPECT_NE(hotsync({"status"}).out.find(", synchronised\n"), std::string::npos);

  r = hotsync({"stop"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(hotsync({"status"}).status, 3);
  EXPECT_FALSE(fs::exists(dir_ / "run" / "gwsync" / "hotsync.sock"));
  EXPECT_EQ(hotsync({"stop"}).out, "No resident HotSync Manager is running.\n");
}

TEST_F(ResidentTest, SurvivesFailingAndCrashingRuns) {
  ASSERT_EQ(start().status, 0);
  result("-1");
  auto r = hotsync({"button"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(hotsync({"status"}).out.find(", failed (exit status 1)\n"), std::string::npos);
  result("abort");
  r = hotsync({"button"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(hotsync({"status"}).out.find(", failed: hotsync sync ended by signal 6\n"), std::string::npos);
  result("0");
  r = hotsync({"button"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(calls().size(), 3u);
}

TEST_F(ResidentTest, AKilledInstanceBlocksNothing) {
  ASSERT_EQ(start().status, 0);
  pid_t pid = residentPid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) ::usleep(10000);
  // Its pid file and socket are left behind, and name no one.
  EXPECT_TRUE(fs::exists(dir_ / "run" / "gwsync" / "hotsync.pid"));
  EXPECT_EQ(hotsync({"status"}).status, 3);
  auto r = start();
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(residentPid(), pid);
  EXPECT_EQ(hotsync({"button"}).status, 0);
}

TEST_F(ResidentTest, WatchingRunsOnceForEachChangeOfTheHandheld) {
  ASSERT_EQ(start({"--watch"}).status, 0);
  std::ofstream(handheld_ / "MemoDB.pdb") << "changed by the handheld";
  // Up to 20 s: on a loaded machine the watcher's run takes a while to start.
  for (int i = 0; i < 400 && calls().empty(); ++i) ::usleep(50000);
  ASSERT_EQ(calls().size(), 1u);
  // The run's own writes (the fixture's database) start no other run.
  ::sleep(3);
  EXPECT_EQ(calls().size(), 1u);
  EXPECT_NE(hotsync({"status"}).out.find("(watched)"), std::string::npos);
}

// A second run on one handheld folder waits for the first: the two never
// overlap.
TEST_F(HotSyncTest, RunsOnOneHandheldFolderNeverOverlap) {
  registerFixture("addr", "AddressDB", 2);
  setenv("HSFIXTURE_SLEEP_MS", "700", 1);
  testutil::CommandResult first;
  std::thread other([&] { first = sync(); });
  ::usleep(200000);
  auto second = sync();
  other.join();
  unsetenv("HSFIXTURE_SLEEP_MS");
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(second.status, 0) << second.out;
  EXPECT_NE(second.out.find("Waiting for the HotSync run in progress on " + handheld_.string()), std::string::npos)
      << second.out;
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_GE(std::stoll(calls()[1].at("begin")), std::stoll(calls()[0].at("end")));
}

TEST_F(HotSyncTest, UnitFileForTheServiceManager) {
  auto r = hotsync({"unit", "--handheld", handheld_.string(), "--user", "Ann", "--watch"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\nExecStart=" + hotsyncProgram() + " start --foreground --handheld " + handheld_.string() +
                       " --user Ann --watch\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nExecStop=" + hotsyncProgram() + " stop\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n[Install]\nWantedBy=default.target\n"), std::string::npos) << r.out;
  // A value with a blank is quoted for the unit file.
  r = hotsync({"unit", "--handheld", handheld_.string(), "--user", "Palm User"});
  EXPECT_NE(r.out.find(" --user \"Palm User\"\n"), std::string::npos) << r.out;
}

}  // namespace
