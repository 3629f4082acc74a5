// Time and peak memory of gwserver serving a commit and a fetch of 10,000
// memos and of 10,000 address cards, over real HTTP on loopback.
//
//   build/bin/gwserver_bench [RECORDS] [ROUNDS]     defaults: 10000 3
//
// Prints one line per operation: the best and median wall time of the rounds,
// the request and reply sizes, and at the end the server's peak resident
// memory (VmHWM) and the database size. Nothing is asserted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  std::vector<double> ms;
  size_t requestBytes = 0, replyBytes = 0;
};

std::string peakMemory(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return line.substr(6);
  return "?";
}

void report(const char* what, Result r) {
  std::sort(r.ms.begin(), r.ms.end());
  std::printf("%-34s best %8.1f ms  median %8.1f ms  request %8zu B  reply %8zu B\n", what, r.ms.front(),
              r.ms[r.ms.size() / 2], r.requestBytes, r.replyBytes);
}

// The body a client sends to add n records to a data page, each related to
// handheld record i + 1.
std::string newRecordsBody(const std::string& page, int n, bool cards) {
  std::string body = "page=" + page + "&label=Bench";
  for (int i = 0; i < n; ++i) {
    std::string k = std::to_string(i + 1);
    if (cards)
      body += "&i=0&t=1&g=Work&c=4&-2=Name" + k + "&-1=Given&-9=03-0000-" + k + "&-10=p" + k + "%40example.com&s=" + k;
    else body += "&i=0&n=Memo+" + k + "&d=line+one%0Aline+two%2C+with+a+comma&s=" + k;
  }
  return body + "&i=0&rt=ts.-1&sync=1&rw=1";
}

}  // namespace

int main(int argc, char** argv) {
  int records = argc > 1 ? std::atoi(argv[1]) : 10000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  testutil::TempDir dir("gwbench");
  testutil::GwServer server(dir.path());
  std::string id = server.addUser("bench", "pw");
  server.start();
  testutil::HttpUrl url(server.url());

  auto login = testutil::rawRequest(
      url.port,
      testutil::postRequest(url, "page=PXBlank&_System=login&_Login=1&_ID=" + id + "&Password=pw&Submit=1&sync=1"));
  std::string cookie = login.header("Set-Cookie");
  cookie = cookie.substr(0, cookie.find(';'));
  if (cookie.empty()) {
    std::fprintf(stderr, "gwserver_bench: login failed\n");
    return 1;
  }
  std::printf("gwserver at %s, %d records, %d rounds\n", server.url().c_str(), records, rounds);

  for (bool cards : {false, true}) {
    std::string page = cards ? "SyncAddress" : "SyncMemo";
    Result commit, fetch;
    for (int round = 0; round < rounds; ++round) {
      // Each round starts from an empty page: the previous round's records go
      // in one removal commit that is not timed.
      std::string body = newRecordsBody(page, records, cards);
      auto start = Clock::now();
      auto r = testutil::rawRequest(url.port, testutil::postRequest(url, body, cookie), 600);
      commit.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      commit.requestBytes = body.size();
      commit.replyBytes = r.body.size();
      if (r.status != 200 || r.body.find("ErrorCode") != std::string::npos) {
        std::fprintf(stderr, "gwserver_bench: commit failed: %d %.80s\n", r.status, r.body.c_str());
        return 1;
      }
      std::string query = "page=" + page + "&label=Bench&sync=1";
      start = Clock::now();
      auto f = testutil::rawRequest(url.port, testutil::getRequest(url, query, cookie), 600);
      fetch.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      fetch.requestBytes = query.size();
      fetch.replyBytes = f.body.size();

      // Record lines run up to the blank line before the relation section.
      std::string removal = "page=" + page + "&label=Bench";
      bool first = true;
      size_t pos = 0;
      while (pos < f.body.size()) {
        size_t end = f.body.find('\n', pos);
        if (end == std::string::npos) end = f.body.size();
        std::string line = f.body.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) break;
        std::string idText = line.substr(0, line.find(','));
        if (idText == "0") continue;  // the address header
        removal += "&i=" + idText;
        first = false;
      }
      if (!first) testutil::rawRequest(url.port, testutil::postRequest(url, removal + "&i=0&rt=ts.0", cookie), 600);
    }
    report(cards ? "commit of new address cards" : "commit of new memos", commit);
    report(cards ? "fetch of address cards" : "fetch of memos", fetch);
  }
  std::printf("server peak resident memory:%s\n", peakMemory(server.pid()).c_str());
  std::printf(
      "database size: %ju bytes\n",
      static_cast<uintmax_t>(std::filesystem::file_size(server.db())) +
          (std::filesystem::exists(server.db() + "-wal") ? std::filesystem::file_size(server.db() + "-wal") : 0));
  server.stop();
  return 0;
}
