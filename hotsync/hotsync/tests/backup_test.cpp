// The backup taken before a HotSync, `hotsync undo`, and the archive of
// archived records, through the hotsync and handheld programs with the
// fixture conduit (which creates a database "Fx<remote>" on the handheld).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

namespace fs = std::filesystem;
using testutil::readFile;

std::string program(const std::string& name) { return std::string(GWSYNC_TEST_BINDIR) + "/" + name; }

std::string fixtureLibrary() { return (fs::read_symlink("/proc/self/exe").parent_path() / "libhsfixture.so").string(); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BackupRunTest : public ::testing::Test {
 protected:
  BackupRunTest() : dir_("hsbackup"), handheld_(dir_ / "palm"), user_(dir_ / "user"), out_(dir_ / "calls.txt") {}

  void SetUp() override {
    setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    setenv("HSFIXTURE_OUT", out_.c_str(), 1);
    setenv("LC_ALL", "C", 1);
    for (const char* name : {"GWSYNC_HANDHELD", "GWSYNC_LIBDIR", "GWSYNC_HSLOG", "HSFIXTURE_RESULT", "HSFIXTURE_THROW"})
      unsetenv(name);
    ASSERT_EQ(handheld({"create", handheld_.string()}).status, 0);
  }

  // Runs a program; standard error joins standard output.
  static testutil::CommandResult run(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", program(name)};
    all.insert(all.end(), args.begin(), args.end());
    return testutil::runCommand(all);
  }
  testutil::CommandResult handheld(std::vector<std::string> args, const fs::path& folder = {}) {
    args.insert(args.begin(), {"--folder", (folder.empty() ? handheld_ : folder).string()});
    if (args[2] == "create") args.erase(args.begin(), args.begin() + 2);
    return run("handheld", args);
  }
  testutil::CommandResult hotsync(const std::string& command, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {command, "--handheld", handheld_.string(), "--user",
                                     "Ann",   "--userdir",  user_.string()};
    if (command == "sync") args.insert(args.end(), {"--conduit", fixtureLibrary() + "=MemoDB"});
    args.insert(args.end(), extra.begin(), extra.end());
    return run("hotsync", args);
  }
  // The handheld's database files (and journals) with their bytes.
  std::map<std::string, std::string> databaseFiles() const {
    std::map<std::string, std::string> all;
    for (const fs::directory_entry& e : fs::directory_iterator(handheld_)) {
      std::string name = e.path().filename().string();
      if (name.find(".pdb") != std::string::npos || name.find(".prc") != std::string::npos)
        all[name] = readFile(e.path());
    }
    return all;
  }

  testutil::TempDir dir_;
  fs::path handheld_, user_, out_;
};

TEST_F(BackupRunTest, UndoPutsBackTheFolderAsItWasBeforeTheRun) {
  ASSERT_EQ(handheld({"add", "memo", "--text", "kept"}).status, 0);
  auto added = handheld({"add", "memo", "--text", "archived with a copy", "--private"});
  ASSERT_EQ(added.status, 0) << added.out;
  ASSERT_EQ(handheld({"archive", "memo", added.out.substr(0, added.out.find('\n'))}).status, 0);
  std::map<std::string, std::string> before = databaseFiles();
  auto r = hotsync("undo");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "hotsync: no backup of " + handheld_.string() + " in " + user_.string() + "/backups"))
      << r.out;
  EXPECT_EQ(databaseFiles(), before);

  r = hotsync("sync");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "archived 1 record of MemoDB to " + (user_ / "archive" / "MemoDB.pdb").string() + "\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Backup of the handheld folder: " + user_.string() + "/backups/")) << r.out;
  ASSERT_TRUE(fs::exists(handheld_ / "FxMemoDB.pdb"));
  // The person's archive reads as a Memo Pad, the copy a plain private memo.
  auto listed = handheld({"list", "memo"}, user_ / "archive");
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_TRUE(contains(listed.out, "\tUnfiled\tprivate\tarchived with a copy\n")) << listed.out;
  EXPECT_FALSE(contains(listed.out, "kept")) << listed.out;

  // What the run did to the handheld, as far as the fixture does not.
  ASSERT_EQ(handheld({"add", "memo", "--text", "from the server"}).status, 0);
  ASSERT_NE(databaseFiles(), before);

  r = hotsync("undo");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "removed FxMemoDB.pdb\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "restored MemoDB.pdb\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Undoing the HotSync run 2")) << r.out;
  EXPECT_EQ(databaseFiles(), before);

  // A second sync would copy the archived record again: the archive keeps one.
  r = hotsync("sync");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(contains(r.out, "archived ")) << r.out;

  // Undo goes back run by run, then there is nothing left to undo.
  EXPECT_EQ(hotsync("undo").status, 0);
  EXPECT_EQ(databaseFiles(), before);
  r = hotsync("undo");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "is undone already; nothing was changed")) << r.out;
  EXPECT_EQ(databaseFiles(), before);
}

TEST_F(BackupRunTest, RunStopsBeforeAnyConduitWhenTheBackupCannotBeMade) {
  fs::create_directories(user_);
  std::ofstream(user_ / "backups") << "a file where the backups folder should be";
  std::map<std::string, std::string> before = databaseFiles();
  auto r = hotsync("sync");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out,
                       "cannot be backed up, so no conduit runs: cannot "
                       "make the backup folder " +
                           (user_ / "backups").string() + ": Not a directory"))
      << r.out;
  EXPECT_FALSE(fs::exists(handheld_ / "FxMemoDB.pdb")) << "the conduit ran";
  EXPECT_EQ(databaseFiles(), before);

  // Without backups the run goes on.
  r = hotsync("sync", {"--keep-backups", "0"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(handheld_ / "FxMemoDB.pdb"));
  EXPECT_EQ(hotsync("sync", {"--keep-backups", "five"}).status, 2);
}

}  // namespace
