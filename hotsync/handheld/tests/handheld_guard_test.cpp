// The handheld tool refusing what would lose a record or garble a text: a
// full database, damaged files under every write command, text that has no
// form on the handheld; and text shown as the terminal reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "hotsync/handheld/records.h"
#include "hotsync/handheld/tests/toolrun.h"
#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

const std::string kTanakaUtf8 = "\xe7\x94\xb0\xe4\xb8\xad";  // 田中
const std::string kTanakaSjis = "\x93\x63\x92\x86";

using Outcome = HandheldRun;

class Guard : public ::testing::Test {
 protected:
  // Runs the tool in a UTF-8 terminal.
  Outcome run(const std::vector<std::string> &args) {
    return runHandheld(folder_, dir_.path(), args, "LC_ALL=C.UTF-8 ");
  }
  std::string ok(const std::vector<std::string> &args) {
    return handheldOk(folder_, dir_.path(), args, "LC_ALL=C.UTF-8 ");
  }

  fs::path memoFile() const { return folder_ / "MemoDB.pdb"; }
  fs::path addressFile() const { return folder_ / "AddressDB.pdb"; }

  palm::Database database(const fs::path &file) {
    palm::Database db;
    palm::StoreStatus st = palm::readDatabaseFile(file.string(), db);
    EXPECT_TRUE(st) << st.message;
    return db;
  }

  void SetUp() override { ok({"create"}); }

  testutil::TempDir dir_{"handheld-guard"};
  fs::path folder_ = dir_ / "palm";
};

TEST_F(Guard, TheMemoAfterTheLastTheFormatHoldsIsRefusedAndTheFileKept) {
  palm::Database full = database(memoFile());
  for (uint32_t i = 1; i <= palm::kMaxEntries; ++i) {
    palm::Record r;
    r.uniqueId = i;
    r.data = palm::packMemo("m");
    full.records.push_back(r);
  }
  full.uniqueIdSeed = palm::kMaxEntries;
  ASSERT_TRUE(palm::writeDatabaseFile(memoFile().string(), full));
  const std::string before = testutil::readFile(memoFile());
  Outcome r = run({"add", "memo", "--text", "one too many"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("holds 65535 records"), std::string::npos) << r.err;
  EXPECT_EQ(testutil::readFile(memoFile()), before);
  const std::string listed = ok({"list", "memo"});
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 65535);
}

// The bytes of a file, or for a large (sparse) one its size, change time
// and first megabyte: enough to see a rewrite without reading 300 MB.
std::string fingerprint(const fs::path &file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return "missing";
  if (st.st_size <= (1 << 20)) return testutil::readFile(file);
  std::ifstream in(file, std::ios::binary);
  std::string head(1 << 20, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  return std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" + head;
}

// Legend: what is wrong with MemoDB; every write command must refuse it and
// leave it byte for byte as it was.
struct DamageCase {
  const char *name;
  std::function<void(const fs::path &file)> make;
};

const std::vector<std::vector<std::string>> kWriteCommands = {
    {"add", "memo", "--text", "new"},
    {"edit", "memo", "1", "--text", "changed"},
    {"delete", "memo", "1"},
    {"archive", "memo", "1"},
    {"category", "memo", "add", "Extra"},
    {"category", "memo", "rename", "Business", "Work"},
    {"category", "memo", "remove", "Business"},
};

TEST_F(Guard, EveryWriteCommandRefusesADamagedDatabaseAndLeavesItAsItWas) {
  ok({"add", "memo", "--text", "first"});
  const std::string good = testutil::readFile(memoFile());
  const DamageCase cases[] = {
      {"record 0 inside the app-info block",
       [&](const fs::path &f) {
         std::string b = good;
         palm::putU32(b, 78, palm::getU32(b, 52) + 10);
         std::ofstream(f, std::ios::binary | std::ios::trunc) << b;
       }},
      {"300 MB file",
       [&](const fs::path &f) {
         std::ofstream(f, std::ios::binary | std::ios::trunc) << good;
         fs::resize_file(f, 300u << 20);
       }},
      {"fifo", [&](const fs::path &f) { ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0); }},
      {"damaged journal",
       [&](const fs::path &f) {
         std::ofstream(f, std::ios::binary | std::ios::trunc) << good;
         std::ofstream(f.string() + ".journal", std::ios::binary) << std::string("GWSJ\x7f junk", 10);
       }},
  };
  const auto started = std::chrono::steady_clock::now();
  for (const DamageCase &c : cases) {
    fs::remove(memoFile());
    fs::remove(memoFile().string() + ".journal");
    fs::remove(memoFile().string() + ".journal.damaged");
    c.make(memoFile());
    const bool regular = fs::is_regular_file(memoFile());
    const std::string before = regular ? fingerprint(memoFile()) : "";
    for (const auto &command : kWriteCommands) {
      Outcome r = run(command);
      EXPECT_EQ(r.code, 1) << c.name << ": " << command[0] << " " << r.out;
      EXPECT_NE(r.err.find("MemoDB.pdb"), std::string::npos) << c.name << ": " << r.err;
      if (regular) EXPECT_EQ(fingerprint(memoFile()), before) << c.name << ": " << command[0];
      else EXPECT_TRUE(fs::is_fifo(memoFile())) << c.name;
    }
    EXPECT_EQ(run({"list", "memo"}).code, 1) << c.name;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(Guard, ADamagedJournalIsRecoveredByTheToolWhichSaysWhatItUsed) {
  ok({"add", "memo", "--text", "kept"});
  std::ofstream(memoFile().string() + ".journal", std::ios::binary) << std::string("XWSJ", 4) << std::string(40, '\1');
  Outcome r = run({"list", "memo"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("damaged at offset 0"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("handheld recover MemoDB"), std::string::npos) << r.err;
  EXPECT_EQ(ok({"recover", "memo"}),
            "recovered MemoDB: 0 changes of the journal used, 1 skipped as "
            "damaged; journal kept as " +
                memoFile().string() + ".journal.recovered\n");
  EXPECT_TRUE(fs::exists(memoFile().string() + ".journal.recovered"));
  EXPECT_NE(ok({"list", "memo"}).find("kept"), std::string::npos);
  EXPECT_EQ(ok({"recover", "MemoDB"}), "MemoDB has no journal to recover from; nothing was changed\n");
}

TEST_F(Guard, TextTypedInUtf8IsStoredInShiftJisAndShownInUtf8) {
  std::string id = ok({"add", "address", "--last", kTanakaUtf8, "--category", "Business"});
  palm::Database db = database(addressFile());
  ASSERT_EQ(db.records.size(), 1u);
  palm::AddressRecord a;
  ASSERT_TRUE(palm::parseAddress(db.records[0].data, a, nullptr));
  EXPECT_EQ(a.fields[palm::kLastName], kTanakaSjis);
  EXPECT_EQ(ok({"list", "address"}), "1\tBusiness\tdirty\t" + kTanakaUtf8 + "\n");
  EXPECT_NE(ok({"show", "address", "1"}).find("last name: " + kTanakaUtf8 + "\n"), std::string::npos);
  // --raw shows and takes the stored bytes.
  EXPECT_EQ(ok({"--raw", "list", "address"}), "1\tBusiness\tdirty\t" + kTanakaSjis + "\n");
  EXPECT_EQ(ok({"category", "address", "add", kTanakaUtf8}), "added category \"" + kTanakaUtf8 + "\" to address\n");
  EXPECT_NE(ok({"categories", "address"}).find(kTanakaUtf8), std::string::npos);
}

// Legend: arguments, the field the refusal must name.
struct BadText {
  std::vector<std::string> args;
  const char *field;
};

TEST_F(Guard, TextWithoutAFormOnTheHandheldIsRefusedNamingTheField) {
  const BadText cases[] = {
      {{"add", "memo", "--text", "a\x81"}, "--text"},                // not UTF-8
      {{"--raw", "add", "memo", "--text", "a\x81"}, "--text"},       // a lone Shift-JIS lead byte
      {{"add", "address", "--last", "\xf0\x9f\x98\x80"}, "--last"},  // no Shift-JIS form
      {{"add", "memo", "--charset", "CP1252", "--text", kTanakaUtf8}, "--text"},
      {{"category", "memo", "add", "x\x82"}, "the category name"},
  };
  const std::string before = testutil::readFile(memoFile());
  for (const BadText &c : cases) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.code, 1) << c.field;
    EXPECT_EQ(r.err.rfind(std::string("handheld: ") + c.field + ":", 0), 0u) << r.err;
  }
  EXPECT_EQ(testutil::readFile(memoFile()), before);
  EXPECT_TRUE(database(addressFile()).records.empty());
}

TEST_F(Guard, AWesternHandheldStoresWindows1252ByOptionOrFolderSetting) {
  ok({"--charset", "CP1252", "add", "memo", "--text", "caf\xc3\xa9"});
  std::ofstream(folder_ / "charset") << "CP1252\n";
  ok({"add", "memo", "--text", "na\xc3\xafve"});
  palm::Database db = database(memoFile());
  ASSERT_EQ(db.records.size(), 2u);
  EXPECT_EQ(palm::memoText(db.records[0].data), "caf\xe9");
  EXPECT_EQ(palm::memoText(db.records[1].data), "na\xefve");
  EXPECT_EQ(ok({"list", "memo"}), "1\tUnfiled\tdirty\tcaf\xc3\xa9\n2\tUnfiled\tdirty\tna\xc3\xafve\n");
}

TEST_F(Guard, HelpUsageErrorsAndChangesSpeakPlainly) {
  Outcome h = run({"-h"});
  EXPECT_EQ(h.code, 0);
  EXPECT_EQ(h.out, run({"--help"}).out);
  EXPECT_EQ(run({"delete", "-h"}).out.rfind("usage: handheld delete", 0), 0u);

  Outcome bad = run({"add", "memo"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.err, "handheld add: a memo needs --text (see \"handheld add --help\")\n");
  Outcome unknown = run({"frobnicate"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(std::count(unknown.err.begin(), unknown.err.end(), '\n'), 1) << unknown.err;

  ok({"add", "memo", "--text", "a"});
  ok({"add", "memo", "--text", "b", "--category", "Business"});
  EXPECT_EQ(ok({"delete", "memo", "1"}), "deleted memo record 1 (its id kept until the next HotSync)\n");
  EXPECT_EQ(ok({"category", "memo", "rename", "Business", "Work"}), "renamed memo category \"Business\" to \"Work\"\n");
  EXPECT_EQ(ok({"category", "memo", "remove", "Work"}),
            "removed memo category \"Work\"; 1 record moved to \"Unfiled\"\n");
}

}  // namespace
