// Whole HotSync runs for the conduit tests: a real gwserver with the sample
// address items and Palm settings, a handheld folder made and changed with
// the `handheld` tool, the conduit's configuration in a registry file of the
// test's own, and `hotsync sync` run as a child process. Both sides are read
// back independently of the conduit: the handheld's .pdb files with the Palm
// file reader, the server with `gwserver export`.
//
//   HotSyncRun t;                           // in a test fixture
//   t.configure();                          // server URL, taro / taro-pw
//   std::string id = t.hh({"add", "address", "--last", "Sato"});
//   ASSERT_EQ(t.sync().status, 0);
//   t.cards();  t.addresses();
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gwclient/gwclient.h"
#include "hotsync/handheld/records.h"
#include "hotsync/pdb/pdb.h"
#include "platform/registry.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace e2e {

using Fields = std::vector<std::string>;

inline std::string bin(const std::string& program) { return std::string(GWSYNC_TEST_BINDIR) + "/" + program; }
inline std::string lib(const std::string& name) { return std::string(GWSYNC_TEST_LIBDIR) + "/lib" + name + ".so"; }

// The settings lines with addresses synced both ways, the private policy
// of records written to the handheld (0 leave, 1 set, 2 clear: the fifth and
// sixth fields of the "a" line) and the 20 map entries given. Map index 0
// company, 1..8 phone labels 0..7, 9..19 address ... note.
inline std::string addressSettings(int privatePolicy, const std::vector<int>& map) {
  std::string line =
      std::string("a,Sync,0,0,") + (privatePolicy == 2 ? "1" : "0") + "," + (privatePolicy == 1 ? "1" : "0") + ",ts.0";
  for (size_t i = 0; i < 100; ++i) line += "," + std::to_string(i < map.size() ? map[i] : 0);
  return "s,Sync,1,3\nt,Sync\n" + line + "\nw,Sync,0,0,0\nm,Sync,0\n";
}

// The sample server's map: company 1, work -9, home 2, fax 3, e-mail -10,
// mobile 4, address -7, city -4, state -5, zip -8, country -6, title 5,
// note -11; other, main, pager and the custom fields unmapped.
inline const std::vector<int> kSampleMap = {1, -9, 2, 3, 0, -10, 0, 0, 4, -7, -4, -5, -8, -6, 5, 0, 0, 0, 0, -11};

struct Card {
  DWORD id = 0;
  std::string category;
  std::map<long, std::string> items;  // item id -> text
  std::string item(long id) const {
    auto it = items.find(id);
    return it == items.end() ? std::string() : it->second;
  }
};

struct Address {
  palm::Record record;
  palm::AddressRecord fields;
  std::string field(int k) const { return fields.fields[k].value_or(""); }
  bool has(int k) const { return fields.fields[k].has_value(); }
};

class HotSyncRun {
 public:
  explicit HotSyncRun(const std::string& settings = addressSettings(0, kSampleMap))
      : server_(dir_.path()), handheld_(dir_ / "palm"), userDir_(dir_ / "user") {
    ::setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("GWSYNC_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1);
    ::unsetenv("GWSYNC_HANDHELD");
    ::unsetenv("GWSYNC_HSLOG");
    // Under the sanitizers, the programs these tests start check for leaks
    // at their exit, and LeakSanitizer's own exit-time tracer was seen to
    // crash now and then in a hotsync that had loaded and unloaded a conduit
    // (one run in a few hundred). Their memory errors still stop them; leaks
    // of the conduit code are checked in-process by the entry-point tests.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
      ::setenv("ASAN_OPTIONS", (std::string(asan) + ":detect_leaks=0").c_str(), 1);
    EXPECT_EQ(std::system((bin("logtext-install") + " >/dev/null").c_str()), 0);
    for (const char* item : {"Company", "Home", "Fax", "Mobile", "Title"})
      EXPECT_EQ(server_.admin({"item", "add", server_.db(), item}).status, 0);
    setSettings(settings);
    server_.addUser("taro", "taro-pw");
    server_.start();
    EXPECT_EQ(hh({"create", handheld_.string()}).status, 0);
    // The brake's dry run before each sync would meet the faults these
    // tests plan for the real one; the brake has tests of its own.
    setBrake("mass-delete-brake=off\n");
  }

  // The user folder's settings file (the brake on mass deletion).
  void setBrake(const std::string& settings) {
    std::filesystem::create_directories(userDir_);
    std::ofstream(userDir_ / "settings") << settings;
  }

  void setSettings(const std::string& lines) {
    EXPECT_EQ(server_.admin({"settings", server_.db(), "Palm"}, lines).status, 0);
  }

  // The conduit configuration of handheld user "Palm User".
  void configure(const std::string& url, const std::string& user = "taro", const std::string& password = "taro-pw",
                 DWORD detailLog = 1) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, ("Software\\GWSync\\Palm\\" + handheldUser()).c_str(), 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto text = [&](const char* name, const std::string& v) {
      ASSERT_EQ(RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                              static_cast<DWORD>(v.size() + 1)),
                ERROR_SUCCESS);
    };
    text("ZaDiridoURL", url);
    text("ZaDiridoUser", user);
    text("ZaDiridoPwd", password);
    ASSERT_EQ(RegSetValueEx(key, "DetailLog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&detailLog), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void configure() { configure(server_.url()); }

  static std::string handheldUser() { return "Palm User"; }

  // A session of the server's user taro, as another client of the server.
  void loginAsTaro(COfficeSession& session) const {
    ASSERT_EQ(session.Open(server_.url().c_str(), nullptr, 0), 1);
    DWORD userId = 0;
    for (__USER_DATA* u = session.FindFirstUser(); u; u = session.FindNextUser())
      if (std::string(u->pszName) == "taro") userId = u->nID;
    ASSERT_EQ(session.Login(userId, "taro-pw"), 1);
  }

  // One HotSync with the Sync Manager failing as `fault` says (FUNCTION@N,
  // "*" for any function, "+" for every call from the N-th on); true when
  // the run met its fault. The run's result is lastRun_.
  bool syncFailing(const std::string& fault) {
    const std::filesystem::path log = dir_ / "faults";
    std::filesystem::remove(log);
    ::setenv("GWSYNC_SYNC20_FAULT", fault.c_str(), 1);
    ::setenv("GWSYNC_SYNC20_FAULT_LOG", log.c_str(), 1);
    lastRun_ = sync();
    ::unsetenv("GWSYNC_SYNC20_FAULT");
    ::unsetenv("GWSYNC_SYNC20_FAULT_LOG");
    return std::filesystem::exists(log) && std::filesystem::file_size(log) > 0;
  }

  // One HotSync of the conduit (conduit_), as the HotSync Manager runs it.
  testutil::CommandResult sync(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {bin("hotsync"), "sync",      "--handheld",      handheld_.string(), "--user",
                                     handheldUser(), "--userdir", userDir_.string(), "--conduit",        lib(conduit_)};
    args.insert(args.end(), extra.begin(), extra.end());
    testutil::CommandResult r = testutil::runCommand(args);
    lastOutput_ = r.out;
    return r;
  }

  // The handheld user's tool on this handheld.
  testutil::CommandResult hh(std::vector<std::string> args, const std::string& input = "") {
    if (args.empty() || args[0] != "create") {
      args.insert(args.begin(), handheld_.string());
      args.insert(args.begin(), "--folder");
    }
    // The tests give the handheld's own bytes (Shift-JIS), not terminal text.
    args.insert(args.begin(), "--raw");
    args.insert(args.begin(), bin("handheld"));
    return testutil::runCommand(args, input);
  }
  // Adds an address on the handheld; its id.
  DWORD hhAdd(std::vector<std::string> options) {
    options.insert(options.begin(), {"add", "address"});
    testutil::CommandResult r = hh(options);
    EXPECT_EQ(r.status, 0) << r.out;
    return static_cast<DWORD>(std::stoul(r.out));
  }

  // The Address Book as the file holds it, deleted records included.
  palm::Database database(const std::string& name = "AddressDB") const {
    palm::Database db;
    std::string why;
    EXPECT_TRUE(palm::parseDatabase(testutil::readFile(handheld_ / (name + ".pdb")), db, &why)) << why;
    return db;
  }
  // Live address records.
  std::vector<Address> addresses() const {
    std::vector<Address> out;
    for (const palm::Record& r : database().records) {
      if (!r.live()) continue;
      Address a;
      a.record = r;
      std::string why;
      EXPECT_TRUE(palm::parseAddress(r.data, a.fields, &why)) << why;
      out.push_back(a);
    }
    return out;
  }
  const Address* addressByLast(const std::string& last) const {
    static std::vector<Address> kept;
    kept = addresses();
    for (const Address& a : kept)
      if (a.field(palm::kLastName) == last) return &a;
    return nullptr;
  }
  std::vector<std::string> categories() const {
    palm::CategoryBlock block;
    palm::Database db = database();
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    return std::vector<std::string>(std::begin(block.names), std::end(block.names));
  }

  // Cards of taro as `gwserver export` writes them.
  std::vector<Card> cards() const {
    std::vector<Card> out;
    for (const Fields& f : exported("card")) {
      Card c;
      c.id = static_cast<DWORD>(std::stoul(f.at(1)));
      c.category = f.at(4);
      for (size_t i = 5; i < f.size(); ++i) {
        size_t eq = f[i].find('=');
        if (eq != std::string::npos) c.items[std::stol(f[i].substr(0, eq))] = f[i].substr(eq + 1);
      }
      out.push_back(c);
    }
    return out;
  }
  const Card* cardByLast(const std::string& last) const {
    static std::vector<Card> kept;
    kept = cards();
    for (const Card& c : kept)
      if (c.item(-2) == last) return &c;
    return nullptr;
  }
  // Relation pairs (server id -> handheld id) of the address book.
  std::multimap<DWORD, DWORD> relations() const { return server_.relations(serverUser_, "SyncAddress"); }
  std::string exportText() const { return server_.admin({"export", server_.db(), serverUser_}).out; }
  void import(const std::string& lines) {
    ASSERT_EQ(server_.admin({"import", server_.db(), serverUser_}, "gwserver-export 1\n" + lines).status, 0);
  }

  // Changes a card through the protocol, as another client of the server
  // would; edit gets the card's values and answers the new ones (empty map:
  // remove the card). Waits past the last sync's second first.
  void changeCard(const std::string& last, const std::function<std::map<long, std::string>(const Card&)>& edit,
                  const char* category = nullptr) {
    const Card* before = cardByLast(last);
    ASSERT_NE(before, nullptr) << last;
    Card card = *before;
    std::map<long, std::string> values = edit(card);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    COfficeSession session;
    ASSERT_NO_FATAL_FAILURE(loginAsTaro(session));
    CAddressConnection conn(session);
    const __ADDRESS_DATA* found = conn.Get(card.id);
    ASSERT_NE(found, nullptr);
    if (values.empty()) {
      ASSERT_EQ(conn.Remove(card.id), 1);
    } else {
      std::vector<__ADDRESS_ITEM> defs;
      defs.reserve(values.size());
      std::vector<__ADDRESS_ITEM_VALUE> vals;
      for (const auto& [id, text] : values) {
        __ADDRESS_ITEM def{};
        for (const __ADDRESS_ITEM* i = conn.FindFirstItem(); i; i = conn.FindNextItem())
          if (i->nID == id) def = *i;
        def.nID = id;
        defs.push_back(def);
        vals.push_back({&defs.back(), const_cast<char*>(text.c_str())});
      }
      __ADDRESS_DATA changed = *found;
      std::string cat = category ? category : card.category;
      changed.pszCategory = const_cast<char*>(cat.c_str());
      changed.nItemCount = static_cast<LONG>(vals.size());
      changed.pValues = vals.data();
      ASSERT_NE(conn.Set(&changed, 0), nullptr);
    }
    ASSERT_EQ(conn.Commit(), 1);
    session.Close();
  }

  // The HotSync log entries of the last run, as hotsync printed them.
  const std::string& lastOutput() const { return lastOutput_; }
  std::string hotsyncLogFile() const { return testutil::readFile(userDir_ / "hotsync.log"); }

  void armFault(const std::string& query) {
    testutil::RawReply r =
        testutil::rawRequest(testutil::HttpUrl(server_.url()).port,
                             "GET /_fault?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(r.status, 200);
  }

  testutil::TempDir dir_{"e2e"};
  testutil::CommandResult lastRun_;  // the run of syncFailing
  testutil::GwServer server_;
  std::filesystem::path handheld_;
  std::filesystem::path userDir_;
  std::string serverUser_ = "taro";         // whose cards, relations and imports the helpers see
  std::string conduit_ = "addressconduit";  // the library sync() runs

 private:
  std::vector<Fields> exported(const std::string& kind) const { return server_.exported(serverUser_, kind); }

  std::string lastOutput_;
};

// The Sync Manager fault sweep: for each n, a fresh Run whose sync has its
// n-th Sync Manager call fail, then a clean sync, whose outcome check
// asserts; until a sync meets no fault. The number of calls faulted.
template <typename Run>
int sweepSyncManagerFaults(const std::function<void(Run&)>& check) {
  int calls = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("fault at call " + std::to_string(n));
    auto run = std::make_unique<Run>();
    const bool faulted = run->syncFailing("*@" + std::to_string(n));
    testutil::CommandResult clean = run->sync();
    EXPECT_EQ(clean.status, 0) << clean.out;
    check(*run);
    if (!faulted) break;
    calls = n;
    if (n >= 200) {
      ADD_FAILURE() << "the run never stops making calls";
      break;
    }
  }
  return calls;
}

}  // namespace e2e
