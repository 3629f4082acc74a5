// The Memo Pad end to end: `hotsync sync` runs the memo conduit on a handheld
// folder against a gwserver process. Only the memos of the conduit's own
// category travel; the person's other memos stay exactly as they were.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "conduits/tests/e2e.h"

namespace {

using namespace std::string_literals;
using Texts = std::multiset<std::string>;
using ServerMemos = std::multimap<std::string, std::string>;  // title -> body

constexpr char kCategory[] = "GWSync";

std::string describe(const palm::Record& r) {
  return std::to_string(r.category) + (r.deleted ? " deleted" : "") + (r.archived ? " archived" : "") +
         (r.dirty ? " dirty" : "") + (r.secret ? " private" : "") + " [" + r.data + "]";
}

class MemoConduitSync : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  MemoConduitSync() {
    conduit_ = "memoconduit";
    configure();
  }

  void syncOk() {
    testutil::CommandResult r = sync();
    ASSERT_EQ(r.status, 0) << r.out;
  }
  DWORD hhMemo(const std::string& text, const std::string& category, bool isPrivate = false) {
    std::vector<std::string> args = {"add", "memo", "--text", text, "--category", category};
    if (isPrivate) args.push_back("--private");
    testutil::CommandResult r = hh(args);
    EXPECT_EQ(r.status, 0) << r.out;
    return static_cast<DWORD>(std::stoul(r.out));
  }
  void hhDo(const std::vector<std::string>& args) { ASSERT_EQ(hh(args).status, 0) << args[0]; }

  int productIndex() const {
    palm::CategoryBlock block;
    palm::Database db = database("MemoDB");
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    for (int i = 0; i < 16; ++i)
      if (block.names[i] == kCategory) return i;
    return -1;
  }
  // The conduit's memos: live records of its category, as texts.
  Texts ours() const {
    Texts out;
    const int index = productIndex();
    for (const palm::Record& r : database("MemoDB").records) {
      if (!r.live() || r.category != index) continue;
      EXPECT_FALSE(r.dirty) << describe(r);
      out.insert(palm::memoText(r.data));
    }
    return out;
  }
  // Every other record, whole, by id (deleted and archived ones keep no
  // category in the file).
  std::map<DWORD, std::string> others() const {
    std::map<DWORD, std::string> out;
    const int index = productIndex();
    for (const palm::Record& r : database("MemoDB").records)
      if (!r.live() || r.category != index) out[r.uniqueId] = describe(r);
    return out;
  }

  ServerMemos serverMemos() const {
    ServerMemos out;
    for (const auto& f : server_.exported(serverUser_, "memo")) out.emplace(f.at(3), f.at(4));
    return out;
  }
  // Changes (or, without a body, removes) the server memo of that title as
  // another client of the server would, past the last sync's second.
  void serverEdit(const std::string& title, std::optional<std::string> body) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    COfficeSession session;
    ASSERT_NO_FATAL_FAILURE(loginAsTaro(session));
    CMemoConnection memos(session);
    const __MEMO_DATA* m = memos.FindFirst();
    while (m && title != m->pszName) m = memos.FindNext();
    ASSERT_NE(m, nullptr) << title;
    if (body) ASSERT_NE(memos.Set(m->nID, m->nTimeStamp, m->pszName, body->c_str(), 0), nullptr);
    else ASSERT_EQ(memos.Remove(m->nID), 1);
    ASSERT_EQ(memos.Commit(), 1);
    session.Close();
  }
  size_t relationCount() const { return server_.relations(serverUser_, "SyncMemo").size(); }
};

TEST_F(MemoConduitSync, MemosTravelBothWaysAndOtherCategoriesStayAsTheyWere) {
  import(
      "memo\t-\t-\tShopping\tmilk\\r\\neggs\n"
      "memo\t-\t-\tOld news\tto be deleted\n");
  hhDo({"category", "memo", "add", kCategory});
  const DWORD call = hhMemo("Call Ito\nabout the trip", kCategory, true);
  const DWORD gone = hhMemo("Gone soon", kCategory);
  // The person's own memos: a dirty one, a private one, an archived one.
  const DWORD plan = hhMemo("Business plan\nfigures", "Business");
  hhMemo("PIN 1234", "Unfiled", true);
  hhDo({"archive", "memo", std::to_string(hhMemo("Keep a copy\nof this", "Personal"))});
  std::map<DWORD, std::string> before = others();
  syncOk();

  EXPECT_EQ(serverMemos(), (ServerMemos{{"Shopping", "milk\r\neggs"},
                                        {"Old news", "to be deleted"},
                                        {"Call Ito", "about the trip"},
                                        {"Gone soon", ""}}));
  EXPECT_EQ(ours(),
            (Texts{"Shopping\nmilk\neggs", "Old news\nto be deleted", "Call Ito\nabout the trip", "Gone soon"}));
  EXPECT_EQ(others(), before);
  EXPECT_EQ(relationCount(), 4u);

  // What the handheld holds, read by Perl's Palm::Memo: the records the
  // conduit wrote end with a second zero byte.
  std::ofstream(dir_ / "read.pl") << "use strict; use warnings; use Palm::PDB; use Palm::Memo;\n"
                                     "my $pdb = Palm::PDB->new; $pdb->Load($ARGV[0]); my @out;\n"
                                     "for my $r (@{$pdb->{records}}) { next if $r->{attributes}{archive};\n"
                                     "  (my $d = $r->{data}) =~ s/\\n/|/g; $d =~ s/\\0/<0>/g;\n"
                                     "  push @out, $pdb->{appinfo}{categories}[$r->{category}]{name}\n"
                                     "    . ($r->{attributes}{private} ? ' private' : '') . \": $d\\n\"; }\n"
                                     "print sort @out;\n";
  testutil::CommandResult perl =
      testutil::runCommand({"/usr/bin/perl", (dir_ / "read.pl").string(), (handheld_ / "MemoDB.pdb").string()});
  ASSERT_EQ(perl.status, 0) << perl.out;
  EXPECT_EQ(perl.out,
            "Business: Business plan|figures\n"
            "GWSync private: Call Ito|about the trip\n"
            "GWSync: Gone soon\n"
            "GWSync: Old news|to be deleted<0>\n"
            "GWSync: Shopping|milk|eggs<0>\n"
            "Unfiled private: PIN 1234\n");

  // A change and a deletion on each side; the person's memo changes again.
  hhDo({"edit", "memo", std::to_string(call), "--text", "Call Ito\nabout the trip\nand the bill"});
  hhDo({"delete", "memo", std::to_string(gone)});
  hhMemo("New on the handheld\nbody", kCategory);
  hhDo({"edit", "memo", std::to_string(plan), "--text", "Business plan\nnew figures"});
  serverEdit("Shopping", "milk\r\neggs\r\nbread");
  serverEdit("Old news", std::nullopt);
  before = others();
  ASSERT_EQ(before.erase(gone), 1u);  // purged once its deletion is on the server
  syncOk();

  EXPECT_EQ(serverMemos(), (ServerMemos{{"Shopping", "milk\r\neggs\r\nbread"},
                                        {"Call Ito", "about the trip\nand the bill"},
                                        {"New on the handheld", "body"}}));
  EXPECT_EQ(ours(), (Texts{"Shopping\nmilk\neggs\nbread", "Call Ito\nabout the trip\nand the bill",
                           "New on the handheld\nbody"}));
  EXPECT_EQ(others(), before);
  EXPECT_EQ(relationCount(), 3u);

  // Settled: a run without changes writes nothing.
  const std::string pdb = testutil::readFile(handheld_ / "MemoDB.pdb");
  syncOk();
  EXPECT_EQ(testutil::readFile(handheld_ / "MemoDB.pdb"), pdb);
}

TEST_F(MemoConduitSync, AFullCategoryListWithoutTheCategoryFailsAndChangesNothing) {
  import("memo\t-\t-\tShopping\tmilk\n");
  hhMemo("Mine", "Business");
  for (int i = 3; i < 16; ++i) hhDo({"category", "memo", "add", "Full" + std::to_string(i)});
  const std::string pdb = testutil::readFile(handheld_ / "MemoDB.pdb");
  const std::string server = exportText();
  testutil::CommandResult r = sync();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(hotsyncLogFile().find("Memo Pad has no free category for \"GWSync\""), std::string::npos)
      << hotsyncLogFile();
  EXPECT_EQ(testutil::readFile(handheld_ / "MemoDB.pdb"), pdb);
  EXPECT_EQ(exportText(), server);
  EXPECT_FALSE(std::filesystem::exists(handheld_ / "GWSyncDB.pdb"));
}

TEST_F(MemoConduitSync, AMemoMovedOutOfTheCategoryIsLeftAloneWhenTheServerChangesIt) {
  hhDo({"category", "memo", "add", kCategory});
  const DWORD trip = hhMemo("Trip\nday one", kCategory);
  syncOk();
  hhDo({"edit", "memo", std::to_string(trip), "--category", "Personal"});
  serverEdit("Trip", "day two");
  const std::map<DWORD, std::string> before = others();
  syncOk();
  EXPECT_EQ(others(), before);  // still in Personal, still dirty, as the person left it
  EXPECT_EQ(ours(), Texts{"Trip\nday two"});
  EXPECT_EQ(serverMemos(), (ServerMemos{{"Trip", "day two"}}));
  EXPECT_EQ(relationCount(), 1u);
}

TEST_F(MemoConduitSync, ADownloadReplacesOnlyTheCategorysMemos) {
  import("memo\t-\t-\tServer\tmemo\n");
  hhDo({"category", "memo", "add", kCategory});
  hhMemo("Local\nonly", kCategory);
  hhDo({"archive", "memo", std::to_string(hhMemo("Archived\nelsewhere", "Personal"))});
  syncOk();
  hhMemo("Not kept", kCategory);
  std::string settings = e2e::addressSettings(0, e2e::kSampleMap);
  settings.replace(settings.find("m,Sync"), 6, "m,Down");
  setSettings(settings);
  const std::map<DWORD, std::string> before = others();
  syncOk();
  EXPECT_EQ(ours(), (Texts{"Server\nmemo", "Local\nonly"}));
  EXPECT_EQ(others(), before);
}

}  // namespace
