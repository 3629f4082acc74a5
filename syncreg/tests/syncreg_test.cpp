// The syncreg program run as a child. Each test builds a folder of its own
// with a copy of the program in bin/ and the libraries it chooses in lib/
// (the program looks beside itself, in $GWSYNC_LIBDIR and in ../lib), a
// registry file of its own, scripted dialog answers and an empty runtime
// folder, so that no resident HotSync Manager is found.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hotsync/condmgr/condmgr.h"
#include "platform/dialog.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A copy of a file of the build whose version note carries the four numbers.
std::string withVersion(std::string bytes, unsigned major, unsigned minor, unsigned buildMajor, unsigned buildMinor) {
  const std::string head("\x07\0\0\0\x18\0\0\0\x01\0\0\0GWSync\0\0", 20);
  size_t at = bytes.find(head);
  if (at == std::string::npos) return {};
  auto put = [&](size_t offset, unsigned hi, unsigned lo) {
    uint32_t v = (hi & 0xFFFF) << 16 | (lo & 0xFFFF);
    for (int i = 0; i < 4; ++i) bytes[at + 20 + offset + i] = static_cast<char>(v >> (8 * i));
  };
  put(8, major, minor);
  put(12, buildMajor, buildMinor);
  return bytes;
}

class SyncRegTest : public ::testing::Test {
 protected:
  SyncRegTest()
      : dir_("syncreg"),
        bin_(dir_ / "bin"),
        lib_(dir_ / "lib"),
        registry_(dir_ / "registry.reg"),
        answers_(dir_ / "answers.txt"),
        dialogLog_(dir_ / "dialog.log") {}

  void SetUp() override {
    fs::create_directories(bin_);
    fs::create_directories(lib_);
    fs::create_directories(dir_ / "run");
    fs::copy_file(fs::path(GWSYNC_TEST_BINDIR) / "syncreg", program());
    setenv("GWSYNC_REGISTRY", registry_.c_str(), 1);
    setenv("GWSYNC_DIALOG_SCRIPT", answers_.c_str(), 1);
    setenv("GWSYNC_DIALOG_LOG", dialogLog_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
    unsetenv("GWSYNC_LIBDIR");
    writeFile(answers_, "");
  }

  fs::path program() const { return bin_ / "syncreg"; }
  void installCondMgr() { fs::copy_file(fs::path(GWSYNC_TEST_LIBDIR) / "libcondmgr.so", lib_ / "libcondmgr.so"); }
  // A file where the program looks for a conduit; it is never loaded.
  fs::path placeLibrary(const fs::path& folder, const std::string& file) {
    fs::create_directories(folder);
    writeFile(folder / file, "placeholder");
    return fs::canonical(folder / file);
  }

  // Runs syncreg with these arguments; standard error joins standard output.
  testutil::CommandResult syncreg(const std::vector<std::string>& args = {}, const std::string& answers = "") {
    writeFile(answers_, answers);
    std::vector<std::string> all = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", program().string()};
    all.insert(all.end(), args.begin(), args.end());
    return testutil::runCommand(all);
  }

  static void registerAs(const char* creator, const char* title, const char* module = "x.dll") {
    ASSERT_EQ(CmInstallCreator(creator, CM_CREATOR_TYPE_CONDUIT), CM_ERR_NONE);
    ASSERT_EQ(CmSetCreatorTitle(creator, title), CM_ERR_NONE);
    ASSERT_EQ(CmSetCreatorModule(creator, module), CM_ERR_NONE);
  }
  static std::optional<CmConduitType> registration(const char* creator) {
    CmConduitType c{};
    c.dwVersion = CM_CONDUIT_VERSION;
    c.dwSize = sizeof c;
    if (CmGetConduitByCreator(creator, &c) != CM_ERR_NONE) return std::nullopt;
    return c;
  }

  std::vector<platform::DialogLogRecord> forms() const {
    std::vector<platform::DialogLogRecord> all;
    for (auto& r : platform::readDialogLog(dialogLog_.string()))
      if (r.type == platform::DialogLogRecord::Form) all.push_back(r);
    return all;
  }
  static std::string valueOf(const platform::DialogLogRecord& form, const std::string& name) {
    for (const auto& c : form.controls)
      if (c.name == name) return c.value;
    return "(no control " + name + ")";
  }

  testutil::TempDir dir_;
  fs::path bin_, lib_, registry_, answers_, dialogLog_;
};

// ---- clear ----

// Legend: a command line that asks for clear, in any case and place.
class SyncRegClearTest : public SyncRegTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(SyncRegClearTest, RemovesOnlyConduitsRegisteredUnderTheirOwnTitleWithoutADialog) {
  installCondMgr();
  registerAs("addr", "Tessel AddressBook Sync");
  registerAs("mail", "Tessel Mail Sync");
  registerAs("memo", "Tessel Note Sync (old)");  // same creator, another title: not ours
  registerAs("lnch", "Launcher");                // not in the table at all
  auto r = syncreg(GetParam(), "ok\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(registration("addr"));
  EXPECT_FALSE(registration("mail"));
  ASSERT_TRUE(registration("memo"));
  EXPECT_STREQ(registration("memo")->szTitle, "Tessel Note Sync (old)");
  EXPECT_TRUE(registration("lnch"));
  EXPECT_EQ(r.out,
            "Removed addr: Tessel AddressBook Sync\nRemoved mail: "
            "Tessel Mail Sync\n");
  EXPECT_FALSE(fs::exists(dialogLog_)) << "a form was shown";
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SyncRegClearTest,
                         ::testing::Values(std::vector<std::string>{"CLEAR"}, std::vector<std::string>{"/Clear"},
                                           std::vector<std::string>{"--all", "unCLEARed"}));

// ---- the main dialog ----

TEST_F(SyncRegTest, DialogStartsFromTheRegisteredConduits) {
  installCondMgr();
  registerAs("addr", "Tessel AddressBook Sync");
  registerAs("mail", "Tessel Mail Sync");
  registerAs("memo", "Someone else's memo sync");
  auto r = syncreg({}, "cancel\n");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<platform::DialogLogRecord> shown = forms();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].resourceId, 102);
  std::vector<std::pair<int, std::string>> checks;
  for (const auto& c : shown[0].controls)
    if (c.kind == "check") checks.emplace_back(c.id, c.name + "=" + c.value);
  EXPECT_EQ(
      checks,
      (std::vector<std::pair<int, std::string>>{
          {1000, "schedule=off"}, {1001, "todo=off"}, {1002, "address=on"}, {1003, "memo=off"}, {1004, "mail=on"}}));
}

// Legend: answers that leave the dialog without a new selection; the
// registry file must stay byte for byte as it was.
class SyncRegNoChangeTest : public SyncRegTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SyncRegNoChangeTest, LeavesTheRegistryAsItWas) {
  installCondMgr();
  registerAs("addr", "Tessel AddressBook Sync");
  registerAs("memo", "Someone else's memo sync");
  const std::string before = testutil::readFile(registry_);
  ASSERT_FALSE(before.empty());
  auto r = syncreg({}, GetParam());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(testutil::readFile(registry_), before);
  EXPECT_EQ(r.out, "");  // nothing registered, removed or restarted
}

INSTANTIATE_TEST_SUITE_P(Answers, SyncRegNoChangeTest,
                         ::testing::Values("ok\n",                                    // unchanged
                                           "mail\naddress=off\nmail\naddress\nok\n",  // changed and back
                                           "memo\nmail\ncancel\n",                    // changed, then Cancel
                                           "memo\n"));                                // answers end: Cancel

TEST_F(SyncRegTest, NewSelectionRegistersTheTickedAndRemovesTheUnticked) {
  installCondMgr();
  registerAs("addr", "Tessel AddressBook Sync");
  registerAs("mail", "Tessel Mail Sync");   // registered again, with the module found now
  registerAs("todo", "Another ToDo Sync");  // not ours: neither counted nor removed
  const fs::path memo = placeLibrary(lib_, "libmemoconduit.so");
  const fs::path mail = placeLibrary(dir_ / "extra", "libmailconduit.so");
  setenv("GWSYNC_LIBDIR", ("/nonexistent:" + (dir_ / "extra").string()).c_str(), 1);
  auto r = syncreg({}, "address=off\nmemo\nschedule=on\nok\n");
  EXPECT_EQ(r.status, 0) << r.out;

  EXPECT_FALSE(registration("addr"));
  ASSERT_TRUE(registration("todo"));
  EXPECT_STREQ(registration("todo")->szTitle, "Another ToDo Sync");
  struct Expected {
    const char* creator;
    std::string module;
    const char* remote;
    const char* title;
  };
  for (const Expected& e : {Expected{"date", "scheduleconduit.dll", "DatebookDB", "Tessel Scheduler Sync"},
                            Expected{"memo", memo.string(), "MemoDB", "Tessel Note Sync"},
                            Expected{"mail", mail.string(), "MailDB", "Tessel Mail Sync"}}) {
    SCOPED_TRACE(e.creator);
    std::optional<CmConduitType> c = registration(e.creator);
    ASSERT_TRUE(c);
    const std::string creator = e.creator;
    EXPECT_EQ(c->iType, CM_CREATOR_TYPE_CONDUIT);
    EXPECT_EQ(c->iPriority, 2);
    EXPECT_EQ(c->szName, e.module);
    EXPECT_EQ(c->szModule, e.module);
    EXPECT_EQ(c->szDirectory, "gw_" + creator);
    EXPECT_STREQ(c->szRemote, e.remote);
    EXPECT_STREQ(c->szTitle, e.title);
    EXPECT_EQ(c->szInfo, creator);
    EXPECT_EQ(c->szFile, "gw_" + creator + ".dat");
    EXPECT_EQ(c->szArgument, creator);
  }
  EXPECT_EQ(r.out,
            "syncreg: warning: libscheduleconduit.so is not beside syncreg, in "
            "$GWSYNC_LIBDIR or in ../lib; date "
            "is registered as scheduleconduit.dll\n"
            "Registered date: Tessel Scheduler Sync (scheduleconduit.dll)\n"
            "Removed addr: Tessel AddressBook Sync\n"
            "Registered memo: Tessel Note Sync (" +
                memo.string() +
                ")\n"
                "Registered mail: Tessel Mail Sync (" +
                mail.string() + ")\n");
}

// ---- the Conduit Manager missing ----

TEST_F(SyncRegTest, WithoutTheConduitManagerNothingChanges) {
  registerAs("addr", "Tessel AddressBook Sync");
  const std::string before = testutil::readFile(registry_);
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"clear"}}) {
    auto r = syncreg(args, "memo\nok\n");
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("condmgr.dll (libcondmgr.so) cannot be loaded"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no conduit was registered or removed"), std::string::npos) << r.out;
  }
  EXPECT_EQ(testutil::readFile(registry_), before);
  EXPECT_FALSE(fs::exists(dialogLog_));
}

TEST_F(SyncRegTest, ConduitManagerWithoutAFunctionChangesNothingAndNamesWhatIsMissing) {
  fs::copy_file(fs::path(GWSYNC_TEST_BINDIR).parent_path() / "tests" / "libsyncregpartialcm.so",
                lib_ / "libcondmgr.so");
  registerAs("addr", "Tessel AddressBook Sync");
  const std::string before = testutil::readFile(registry_);
  auto r = syncreg({"clear"});
  EXPECT_NE(r.status, 0) << r.out;
  for (const char* missing : {"CmRemoveConduitByCreatorID", "CmInstallCreator", "CmSetCreatorArgument",
                              "CmGetConduitByCreator", "CmInstallConduit"})
    EXPECT_NE(r.out.find(missing), std::string::npos) << missing << " in " << r.out;
  // The two it has are not named.
  EXPECT_EQ(r.out.find("CmGetHotSyncExecPath"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("CmGetCreatorTitle"), std::string::npos) << r.out;
  EXPECT_EQ(testutil::readFile(registry_), before);
}

// ---- the About box ----

TEST_F(SyncRegTest, AboutBoxListsTheFilesWithVersionInformationInItsOrder) {
  installCondMgr();
  const std::string real = testutil::readFile(fs::path(GWSYNC_TEST_LIBDIR) / "liblogtext.so");
  ASSERT_FALSE(withVersion(real, 0, 0, 0, 0).empty()) << "liblogtext.so carries no version note";
  writeFile(program(), withVersion(testutil::readFile(program()), 9, 8, 7, 6));
  ::chmod(program().c_str(), 0755);
  writeFile(lib_ / "libaddressconduit.so", withVersion(real, 1, 2, 3, 4));
  // Each number is masked to 15 bits.
  writeFile(lib_ / "liblog.so", withVersion(real, 0xFFFF, 0x8000, 0x7FFF, 0x8001));
  writeFile(lib_ / "libmemoconduit.so", real.substr(0, real.size() / 2));  // cut short
  writeFile(lib_ / "libgwclient.so", "not a library\n");
  fs::create_directories(dir_ / "extra");
  writeFile(dir_ / "extra" / "libcondlog.so", withVersion(real, 5, 6, 7, 8));
  setenv("GWSYNC_LIBDIR", (dir_ / "extra").c_str(), 1);

  auto r = syncreg({}, "about\nok\ncancel\n");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<platform::DialogLogRecord> shown = forms();
  ASSERT_EQ(shown.size(), 3u);  // main, About, main again
  EXPECT_EQ(shown[0].resourceId, 102);
  EXPECT_EQ(shown[1].resourceId, 100);
  EXPECT_EQ(shown[2].resourceId, 102);
  EXPECT_EQ(valueOf(shown[1], "version"), "Version 9.8 Build(7.6)");
  EXPECT_EQ(valueOf(shown[1], "files"),
            "addressconduit.dll : Version 1.2 Build(3.4)\r\n"
            "log.dll : Version 32767.0 Build(32767.1)\r\n"
            "condlog.dll : Version 5.6 Build(7.8)\r\n");
}

// ---- restarting HotSync Manager ----

TEST_F(SyncRegTest, WithoutAResidentHotSyncManagerTheRestartDoesNothing) {
  installCondMgr();
  // The program the Conduit Manager names for HotSync Manager: it would
  // leave a mark if started.
  writeFile(bin_ / "hotsync", "#!/bin/sh\ntouch \"$0.started\"\n");
  ::chmod((bin_ / "hotsync").c_str(), 0755);
  auto r = syncreg({}, "mail\nok\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(registration("mail"));
  EXPECT_EQ(r.out.find("HotSync Manager"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(bin_ / "hotsync.started"));
  EXPECT_FALSE(fs::exists(dir_ / "run" / "gwsync")) << "the runtime folder was touched";
}

// A real resident HotSync Manager (`hotsync start` of the build), stopped
// at the end of the test.
class SyncRegResidentTest : public SyncRegTest {
 protected:
  void SetUp() override {
    SyncRegTest::SetUp();
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    fs::create_directories(dir_ / "palm");
    installCondMgr();
    // What the Conduit Manager names as HotSync Manager's program (bin/
    // beside its library): leaves a mark when started.
    writeFile(bin_ / "hotsync", "#!/bin/sh\ntouch \"$0.started\"\n");
    ::chmod((bin_ / "hotsync").c_str(), 0755);
    auto r = hotsync({"start", "--handheld", (dir_ / "palm").string(), "--user", "Ann"});
    ASSERT_EQ(r.status, 0) << r.out;
    started_ = true;
  }
  void TearDown() override {
    if (started_) hotsync({"stop"});
  }
  testutil::CommandResult hotsync(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                    (fs::path(GWSYNC_TEST_BINDIR) / "hotsync").string()};
    all.insert(all.end(), args.begin(), args.end());
    return testutil::runCommand(all);
  }
  // The pid `hotsync status` reports; empty when none runs.
  std::string residentPid() {
    auto r = hotsync({"status"});
    size_t at = r.out.find("(pid ");
    return at == std::string::npos ? "" : r.out.substr(at + 5, r.out.find(')', at) - at - 5);
  }
  bool started_ = false;
};

TEST_F(SyncRegResidentTest, ChangedSelectionRestartsTheResidentHotSyncManager) {
  const std::string before = residentPid();
  ASSERT_FALSE(before.empty());
  auto r = syncreg({}, "mail\nok\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("HotSync Manager restarted.\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(bin_ / "hotsync.started")) << "HotSync Manager's program was not started";
  const std::string after = residentPid();
  EXPECT_FALSE(after.empty());
  EXPECT_NE(after, before);
  // Its next HotSync runs the conduit just registered (which fails here,
  // unconfigured, after it started).
  r = hotsync({"button"});
  EXPECT_NE(r.out.find("mail: GWSync Mail "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("database MailDB\n"), std::string::npos) << r.out;
}

TEST_F(SyncRegResidentTest, UnchangedSelectionLeavesTheResidentHotSyncManagerRunning) {
  const std::string before = residentPid();
  ASSERT_FALSE(before.empty());
  auto r = syncreg({}, "ok\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(bin_ / "hotsync.started"));
  EXPECT_EQ(residentPid(), before);
}

}  // namespace
