// Whole HotSyncs of the Address Book: `hotsync sync` with the address
// conduit against gwserver on loopback, as a person runs it. For each size N
// an initial sync moves N/2 cards made on the server and N/2 records made on
// the handheld to the other side; a second sync moves 100 changes made on
// each side. Reported per run: wall time, hotsync's peak resident memory and
// the HTTP requests it made, beside the floor: curl fetching the same pages
// (the GET requests of the run, logged in once) plus a copy of AddressDB.pdb.
// Nothing is asserted.
//
//   build/bin/hotsync_bench [N ...]     default: 1000 10000
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gwclient/gwclient.h"
#include "hotsync/handheld/records.h"
#include "hotsync/pdb/pdb.h"
#include "platform/registry.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kSettings[] =
    "a,Sync,0,0,0,0,ts.0,1,-9,2,3,0,-10,0,0,4,-7,-4,-5,-8,-6,5,0,0,0,0,-11\n";
constexpr int kChanges = 100;

std::string bin(const std::string& name) { return std::string(GWSYNC_TEST_BINDIR) + "/" + name; }

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Run {
  int status = -1;
  double ms = 0;
  long peakKb = 0;
};

// Runs a program to its end with its output thrown away; its own peak memory.
Run runTimed(const std::vector<std::string>& args) {
  Run r;
  std::fflush(stdout);  // else the child's copy of the buffer is written too
  auto t = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.ms = msSince(t);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.peakKb = usage.ru_maxrss;
  return r;
}

std::vector<std::string> lines(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

palm::AddressRecord person(const std::string& last, int i) {
  palm::AddressRecord a;
  a.fields[palm::kLastName] = last;
  a.fields[palm::kFirstName] = "Person " + std::to_string(i);
  a.fields[palm::kCompany] = "Company " + std::to_string(i % 97);
  a.fields[palm::kPhone1] = "03-5555-" + std::to_string(1000 + i % 9000);
  a.fields[palm::kCity] = "Tokyo";
  a.fields[palm::kNote] = "Met at meeting " + std::to_string(i);
  return a;
}

class Bench {
 public:
  explicit Bench(int n) : n_(n), dir_("hotsync_bench_" + std::to_string(n)), server_(dir_.path()) {
    ::setenv("GWSYNC_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("GWSYNC_MSGBOX_LOG", (dir_ / "boxes").c_str(), 1);
    std::system((bin("logtext-install") + " >/dev/null").c_str());
    for (const char* item : {"Company", "Home", "Fax", "Mobile", "Title"})
      server_.admin({"item", "add", server_.db(), item});
    server_.admin({"settings", server_.db(), "Palm"}, kSettings);
    userId_ = server_.addUser("bench", "bench-pw");
    std::string cards = "gwserver-export 1\n";
    for (int i = 0; i < n / 2; ++i)
      cards += "card\t-\t-\t1\tBusiness\t-2=Server\t-1=Person " + std::to_string(i) + "\t1=Company " +
               std::to_string(i % 97) + "\t-9=03-1111-" + std::to_string(1000 + i % 9000) + "\t-4=Osaka\n";
    server_.admin({"import", server_.db(), "bench"}, cards);
    requestLog_ = (dir_ / "requests.log").string();
    server_.setErrorLog(requestLog_);
    server_.start({"--log"});
    writeHandheld();
    configure();
  }

  void initial() { report("initial sync", sync()); }

  void incremental() {
    changeHandheld();
    changeServer();
    report("second sync (100 changes a side)", sync());
  }

 private:
  void writeHandheld() {
    fs::create_directories(dir_ / "palm");
    palm::Database db;
    db.name = "AddressDB";
    db.type = palm::fourCC("DATA");
    db.creator = palm::fourCC("addr");
    db.created = db.modified = palm::palmNow();
    db.appInfo = palm::defaultAppInfo(db.creator);
    for (int i = 0; i < n_ - n_ / 2; ++i) {
      palm::Record r;
      r.uniqueId = palm::nextUniqueId(db);
      r.category = 1;
      r.dirty = true;
      r.data = palm::packAddress(person("Handheld", i));
      db.records.push_back(r);
    }
    std::ofstream(dir_ / "palm" / "AddressDB.pdb", std::ios::binary) << palm::serializeDatabase(db);
  }

  void configure() {
    HKEY key;
    RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                   nullptr);
    for (auto [name, value] : {std::pair<const char*, std::string>{"ZaDiridoURL", server_.url()},
                               {"ZaDiridoUser", "bench"}, {"ZaDiridoPwd", "bench-pw"}})
      RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                    static_cast<DWORD>(value.size() + 1));
    DWORD off = 0;  // a detail trace would dump every record
    RegSetValueEx(key, "DetailLog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), 4);
    RegCloseKey(key);
  }

  struct Result {
    Run run;
    std::vector<std::string> requests;
  };

  Result sync() {
    size_t before = settledLog().size();
    Result r;
    r.run = runTimed({bin("hotsync"), "sync", "--handheld", (dir_ / "palm").string(), "--user", "Bench",
                      "--userdir", (dir_ / "user").string(), "--conduit", bin("../lib/libaddressconduit.so")});
    std::vector<std::string> all = settledLog();
    r.requests.assign(all.begin() + static_cast<long>(before), all.end());
    return r;
  }

  // The request log once the server has written it: its logger runs after
  // each reply is sent, so the last lines may follow the client's exit.
  std::vector<std::string> settledLog() const {
    std::vector<std::string> seen = lines(requestLog_);
    for (int quiet = 0, waited = 0; quiet < 5 && waited < 200; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::vector<std::string> now = lines(requestLog_);
      quiet = now.size() == seen.size() ? quiet + 1 : 0;
      seen = std::move(now);
    }
    return seen;
  }

  // The same GET pages fetched with curl after one login, and the handheld
  // file copied: what any tool moving the same data pays at least.
  double floorMs(const std::vector<std::string>& requests) {
    const std::string jar = (dir_ / "cookies").string();
    testutil::runCommand({"/usr/bin/curl", "-s", "-o", "/dev/null", "-c", jar, "--data",
                          "page=PXBlank&_System=login&_Login=1&_ID=" + userId_ + "&Password=bench-pw&Submit=1&sync=1",
                          server_.url() + "?"});
    double ms = 0;
    for (const std::string& line : requests) {
      // "gwserver: PEER METHOD PATH PAGE STATUS"
      std::istringstream in(line);
      std::string tag, peer, method, path, page;
      in >> tag >> peer >> method >> path >> page;
      if (method != "GET") continue;
      std::string url = server_.url() + "?page=" + page + "&label=Palm256&app=" + "SyncAddress" +
                        "&dtype=Palm&max=19&sync=1";
      Run r = runTimed({"/usr/bin/curl", "-s", "-o", "/dev/null", "-b", jar, url});
      ms += r.ms;
    }
    Run copy = runTimed({"/bin/cp", (dir_ / "palm" / "AddressDB.pdb").string(), (dir_ / "copy.pdb").string()});
    return ms + copy.ms;
  }

  void report(const char* what, const Result& r) {
    int gets = 0, posts = 0;
    for (const std::string& line : r.requests) (line.find(" GET ") != std::string::npos ? gets : posts)++;
    double floor = floorMs(r.requests);
    size_t pdbBytes = fs::file_size(dir_ / "palm" / "AddressDB.pdb");
    std::printf("%6d  %-34s %s %9.1f ms  peak %7ld KiB  %2d GET %2d POST | floor %8.1f ms  ratio %5.1fx  "
                "%5.1f us/record  pdb %zu KiB\n",
                n_, what, r.run.status == 0 ? "ok  " : "FAIL", r.run.ms, r.run.peakKb, gets, posts, floor,
                r.run.ms / floor, 1000.0 * r.run.ms / n_, pdbBytes / 1024);
    std::fflush(stdout);
  }

  void changeHandheld() {
    const fs::path file = dir_ / "palm" / "AddressDB.pdb";
    palm::Database db;
    palm::parseDatabase(testutil::readFile(file), db, nullptr);
    int changed = 0;
    for (palm::Record& r : db.records) {
      palm::AddressRecord a;
      if (changed == kChanges || !palm::parseAddress(r.data, a, nullptr)) continue;
      if (a.fields[palm::kLastName] != "Handheld") continue;
      a.fields[palm::kTitle] = "changed on the handheld";
      r.data = palm::packAddress(a);
      r.dirty = true;
      ++changed;
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << palm::serializeDatabase(db);
  }

  void changeServer() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the last sync's second
    COfficeSession session;
    if (!session.Open(server_.url().c_str(), static_cast<DWORD>(std::stoul(userId_)), "bench-pw", nullptr, 0)) return;
    CAddressConnection conn(session);
    __ADDRESS_ITEM title{};
    for (const __ADDRESS_ITEM* i = conn.FindFirstItem(); i; i = conn.FindNextItem())
      if (i->nID == 5) title = *i;
    std::string text = "changed on the server";
    int changed = 0;
    std::vector<__ADDRESS_DATA> picked;
    for (const __ADDRESS_DATA* c = conn.FindFirst(); c && changed < kChanges; c = conn.FindNext()) {
      bool fromServer = false;
      for (LONG i = 0; i < c->nItemCount; ++i)
        fromServer |= c->pValues[i].pItem->nID == -2 && std::string(c->pValues[i].pszValue) == "Server";
      if (!fromServer) continue;  // the handheld's own records change there
      picked.push_back(*c);
      ++changed;
    }
    for (const __ADDRESS_DATA& c : picked) {
      std::vector<__ADDRESS_ITEM_VALUE> values(c.pValues, c.pValues + c.nItemCount);
      values.push_back({&title, text.data()});
      __ADDRESS_DATA card = c;
      card.nItemCount = static_cast<LONG>(values.size());
      card.pValues = values.data();
      conn.Set(&card, 0);
    }
    conn.Commit();
    session.Close();
  }

  int n_;
  testutil::TempDir dir_;
  testutil::GwServer server_;
  std::string userId_;
  std::string requestLog_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000};
  std::printf("hotsync sync of the Address Book against gwserver; floor = curl GETs of the same pages + cp of the "
              ".pdb\n");
  std::fflush(stdout);
  for (int n : sizes) {
    Bench b(n);
    b.initial();
    b.incremental();
  }
  return 0;
}
