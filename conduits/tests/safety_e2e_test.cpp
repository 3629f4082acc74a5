// What a person sees before and after a HotSync, end to end with the address
// conduit, hotsync and gwserver: the dry run's plan is what the real run then
// does and leaves both sides as they were; the report counts what changed;
// undo puts the handheld back; the brake stops a run that would empty a side.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "conduits/tests/e2e.h"

namespace {

namespace fs = std::filesystem;
using e2e::Card;

constexpr long kLast = -2, kFirst = -1, kTitle = 5;

// A record change as "side what text", the form the report's JSON and the
// test's own reading of both sides share.
using Changes = std::multiset<std::string>;

// The "changes" list of each conduit in the JSON of a report.
Changes changesOf(const std::string& json) {
  Changes out;
  static const std::regex change(
      R"re(\{"side":"(\w+)","what":"(\w+)","id":"[^"]*","text":"((?:[^"\\]|\\.)*)","kind":"[^"]*"\})re");
  for (size_t at = json.find("\"changes\":["); at != std::string::npos; at = json.find("\"changes\":[", at + 1)) {
    const size_t end = json.find("],\"conflictRecords\"", at);
    const std::string list = json.substr(at, end - at);
    for (std::sregex_iterator m(list.begin(), list.end(), change), none; m != none; ++m)
      out.insert((*m)[1].str() + " " + (*m)[2].str() + " " + (*m)[3].str());
  }
  return out;
}

// The number after the first `path":` of a report, such as "\"conflicts\"".
long numberAfter(const std::string& json, const std::string& path) {
  const size_t at = json.find(path);
  if (at == std::string::npos) return -1;
  return std::strtol(json.c_str() + at + path.size() + 1, nullptr, 10);
}

std::string nameOf(const std::string& last, const std::string& first) {
  return last.empty() || first.empty() ? last + first : last + ", " + first;
}

class SafetySync : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  SafetySync() {
    configure();
    setBrake("");  // as a person has it: on
  }

  void syncOk(const std::vector<std::string>& extra = {}) {
    testutil::CommandResult r = sync(extra);
    ASSERT_EQ(r.status, 0) << r.out;
  }

  // Every file of the handheld folder, by name (not its lock file).
  std::map<std::string, std::string> handheldFiles() const {
    std::map<std::string, std::string> out;
    for (const fs::directory_entry& e : fs::directory_iterator(handheld_))
      if (e.path().filename().string()[0] != '.') out[e.path().filename().string()] = testutil::readFile(e.path());
    return out;
  }

  // Live address records by unique id: name, and the bytes that a change alters.
  std::map<DWORD, std::pair<std::string, std::string>> handheldState() const {
    std::map<DWORD, std::pair<std::string, std::string>> out;
    for (const e2e::Address& a : addresses())
      out[a.record.uniqueId] = {nameOf(a.field(palm::kLastName), a.field(palm::kFirstName)),
                                a.record.data + char('0' + a.record.category)};
    return out;
  }
  std::map<DWORD, std::pair<std::string, std::string>> serverState() const {
    std::map<DWORD, std::pair<std::string, std::string>> out;
    for (const Card& c : cards()) {
      std::string content = c.category;
      for (const auto& [id, text] : c.items) content += "|" + std::to_string(id) + "=" + text;
      out[c.id] = {nameOf(c.item(kLast), c.item(kFirst)), content};
    }
    return out;
  }
  // What changed between two states of one side, read by the test itself.
  static void diff(const std::string& side, const std::map<DWORD, std::pair<std::string, std::string>>& before,
                   const std::map<DWORD, std::pair<std::string, std::string>>& after, Changes& out) {
    for (const auto& [id, was] : before) {
      auto now = after.find(id);
      if (now == after.end()) out.insert(side + " delete " + was.first);
      else if (now->second.second != was.second) out.insert(side + " change " + now->second.first);
    }
    for (const auto& [id, now] : after)
      if (!before.count(id)) out.insert(side + " add " + now.first);
  }

  std::string lastSync() const { return testutil::readFile(userDir_ / "last-sync.json"); }

  // Twelve cards made on the server, synced to the handheld.
  void twelveSynced() {
    std::string lines;
    for (int i = 0; i < 12; ++i) lines += "card\t-\t-\t1\t\t-2=Person" + std::to_string(i) + "\n";
    import(lines);
    syncOk();
    ASSERT_EQ(addresses().size(), 12u);
  }
};

// Adds, changes and deletes on both sides and a record changed on both: the
// dry run changes nothing, its plan is exactly what the real run then does
// (read back from both sides by the test), the report says the same, and
// undo puts every handheld file back.
TEST_F(SafetySync, TheDryRunsPlanIsTheRunsEffectAndUndoTakesTheHandheldBack) {
  import(
      "card\t-\t-\t1\t\t-2=Ando\t-1=Aki\n"
      "card\t-\t-\t1\t\t-2=Baba\n"
      "card\t-\t-\t1\t\t-2=Chiba\n");
  const DWORD doi = hhAdd({"--last", "Doi", "--first", "Dai"});
  const DWORD endo = hhAdd({"--last", "Endo"});
  syncOk();
  const DWORD ando = addressByLast("Ando")->record.uniqueId;

  hhAdd({"--last", "Fujita"});
  ASSERT_EQ(hh({"edit", "address", std::to_string(doi), "--title", "Chief"}).status, 0);
  ASSERT_EQ(hh({"delete", "address", std::to_string(endo)}).status, 0);
  ASSERT_EQ(hh({"edit", "address", std::to_string(ando), "--city", "Kobe"}).status, 0);
  changeCard("Ando", [](const Card& c) {
    auto v = c.items;
    v[kTitle] = "Head";
    return v;
  });
  changeCard("Baba", [](const Card& c) {
    auto v = c.items;
    v[kFirst] = "Bun";
    return v;
  });
  changeCard("Chiba", [](const Card&) { return std::map<long, std::string>{}; });
  import("card\t-\t-\t1\t\t-2=Goto\t-1=Gen\n");

  const std::map<std::string, std::string> filesBefore = handheldFiles();
  const std::string exportBefore = exportText();
  const auto hhBefore = handheldState();
  const auto serverBefore = serverState();

  testutil::CommandResult dry = sync({"--dry-run", "--json"});
  ASSERT_EQ(dry.status, 0) << dry.out;
  EXPECT_EQ(handheldFiles(), filesBefore);
  EXPECT_EQ(exportText(), exportBefore);
  const std::string planJson = dry.out.substr(dry.out.find("{\"started\""));
  const Changes plan = changesOf(planJson);

  syncOk();
  Changes effect;
  diff("handheld", hhBefore, handheldState(), effect);
  diff("server", serverBefore, serverState(), effect);
  EXPECT_EQ(plan, effect) << planJson;
  EXPECT_EQ(effect,
            (Changes{"handheld add Goto, Gen", "handheld change Ando, Aki", "handheld change Baba, Bun",
                     "handheld delete Chiba", "server add Fujita", "server change Doi, Dai", "server delete Endo"}));
  EXPECT_EQ(numberAfter(planJson, "\"conflicts\""), 1);

  // The report of the real run counts the same.
  const std::string report = lastSync();
  EXPECT_EQ(changesOf(report), effect) << report;
  EXPECT_EQ(numberAfter(report, "\"conflicts\""), 1);
  EXPECT_EQ(numberAfter(report, "\"handheld\":{\"records\""), 5);  // live before the run
  EXPECT_EQ(numberAfter(report, "\"server\":{\"records\""), 5);
  EXPECT_GT(numberAfter(report, "\"requests\""), 2);
  EXPECT_GT(numberAfter(report, "\"syncManagerCalls\""), 10);
  const std::string log = hotsyncLogFile();
  EXPECT_NE(log.find("GWSync Address Book: handheld 1 added, 2 changed, 1 deleted of 5; server 1 added, 1 changed, "
                     "1 deleted of 5; 1 conflict, 0 skipped;"),
            std::string::npos)
      << log;
  EXPECT_NE(testutil::readFile(userDir_ / "history.jsonl").find("\"dryRun\":false"), std::string::npos);

  // Undo: the handheld as it was before the run, byte for byte.
  testutil::CommandResult undo = testutil::runCommand({e2e::bin("hotsync"), "undo", "--handheld", handheld_.string(),
                                                       "--user", handheldUser(), "--userdir", userDir_.string()});
  ASSERT_EQ(undo.status, 0) << undo.out;
  EXPECT_EQ(handheldFiles(), filesBefore);
  // What it cannot put back on the server, as what a person would do there.
  for (const char* line :
       {"delete the card \"Fujita\"", "change the card \"Doi, Dai\"", "make the card \"Endo\" again"})
    EXPECT_NE(undo.out.find(line), std::string::npos) << line << "\n" << undo.out;

  // The history has both runs, the last with its counts.
  testutil::CommandResult history =
      testutil::runCommand({e2e::bin("hotsync"), "history", "--user", handheldUser(), "--userdir", userDir_.string()});
  ASSERT_EQ(history.status, 0) << history.out;
  EXPECT_NE(history.out.find("addr synchronised: handheld +1 ~2 -1 of 5, server +1 ~1 -1 of 5, 1 conflicts, 0 skipped"),
            std::string::npos)
      << history.out;
  EXPECT_EQ(std::count(history.out.begin(), history.out.end(), 'Z'), 2) << history.out;  // two runs, UTC times
}

// undo --server takes back what a run did on the server too: the card it
// made is gone, the one it changed and the one it deleted are as they were,
// the deleted one paired again with its handheld record.
TEST_F(SafetySync, UndoOnTheServerPutsTheServerBackAsItWas) {
  import(
      "card\t-\t-\t1\tBusiness\t-2=Ando\t-1=Aki\t5=Head\n"
      "card\t-\t-\t1\t\t-2=Baba\t-4=Kobe\n");
  hhAdd({"--last", "Chiba"});
  syncOk();
  const DWORD ando = addressByLast("Ando")->record.uniqueId;
  const DWORD baba = addressByLast("Baba")->record.uniqueId;
  ASSERT_EQ(hh({"edit", "address", std::to_string(ando), "--title", "Chair"}).status, 0);
  ASSERT_EQ(hh({"delete", "address", std::to_string(baba)}).status, 0);
  hhAdd({"--last", "Doi"});
  const std::map<std::string, std::string> filesBefore = handheldFiles();
  auto contents = [&] {
    std::multiset<std::string> out;
    for (const auto& [id, card] : serverState()) out.insert(card.second);
    return out;
  };
  const std::multiset<std::string> serverBefore = contents();
  syncOk();
  ASSERT_NE(contents(), serverBefore);

  testutil::CommandResult undo =
      testutil::runCommand({e2e::bin("hotsync"), "undo", "--server", "--handheld", handheld_.string(), "--user",
                            handheldUser(), "--userdir", userDir_.string()});
  ASSERT_EQ(undo.status, 0) << undo.out;
  EXPECT_NE(undo.out.find("server: 3 changes of SyncAddress taken back"), std::string::npos) << undo.out;
  EXPECT_EQ(handheldFiles(), filesBefore);
  EXPECT_EQ(contents(), serverBefore) << exportText();

  // The next HotSync meets the handheld's changes of that run again. The
  // server's records put back are newer than the last sync, so where the
  // handheld changed or deleted one, the server's version wins (a conflict,
  // reported); the record the handheld made is sent again. Nothing is
  // doubled, and a further HotSync changes nothing.
  syncOk();
  EXPECT_EQ(cards().size(), 4u) << exportText();
  EXPECT_EQ(addresses().size(), 4u);
  EXPECT_EQ(cardByLast("Ando")->item(kTitle), "Head");
  EXPECT_EQ(addressByLast("Ando")->field(palm::kTitle), "Head");
  EXPECT_NE(addressByLast("Baba"), nullptr);
  EXPECT_NE(cardByLast("Doi"), nullptr);
  EXPECT_NE(hotsyncLogFile().find("the server's version was kept: Ando"), std::string::npos) << hotsyncLogFile();
  syncOk();
  EXPECT_EQ(cards().size(), 4u) << exportText();
  EXPECT_EQ(addresses().size(), 4u);
}

// A handheld emptied by mistake would empty the server: the run stops before
// it changes anything, says why in the HotSync log, and goes through once
// allowed.
TEST_F(SafetySync, TheBrakeStopsARunThatWouldEmptyTheServer) {
  ASSERT_NO_FATAL_FAILURE(twelveSynced());
  for (const e2e::Address& a : addresses())
    ASSERT_EQ(hh({"delete", "address", std::to_string(a.record.uniqueId)}).status, 0);
  const std::map<std::string, std::string> files = handheldFiles();
  const std::string exported = exportText();

  testutil::CommandResult r = sync();
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_EQ(handheldFiles(), files);
  EXPECT_EQ(exportText(), exported);
  EXPECT_NE(hotsyncLogFile().find("Stopped by the brake on mass deletion: GWSync Address Book would delete 12 of the "
                                  "12 records on the server"),
            std::string::npos)
      << hotsyncLogFile();

  syncOk({"--allow-mass-delete"});
  EXPECT_TRUE(cards().empty()) << exportText();
}

// A server account emptied (or the wrong user configured) would empty the
// handheld; the user's own minimum lets it through.
TEST_F(SafetySync, TheBrakeStopsARunThatWouldEmptyTheHandheld) {
  ASSERT_NO_FATAL_FAILURE(twelveSynced());
  {  // removed by another client of the server, as a person emptying the account would
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    COfficeSession session;
    ASSERT_NO_FATAL_FAILURE(loginAsTaro(session));
    CAddressConnection conn(session);
    ASSERT_NE(conn.FindFirst(), nullptr);
    for (const Card& c : cards()) ASSERT_EQ(conn.Remove(c.id), 1);
    ASSERT_EQ(conn.Commit(), 1);
    session.Close();
  }
  const std::map<std::string, std::string> files = handheldFiles();

  testutil::CommandResult r = sync();
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_NE(r.out.find("would delete 12 of the 12 records on the handheld"), std::string::npos) << r.out;
  EXPECT_EQ(handheldFiles(), files);

  // Fewer deletions than the user's minimum go through.
  setBrake("mass-delete-minimum=13\n");
  syncOk();
  EXPECT_TRUE(addresses().empty());
}

}  // namespace
