// The client library on 10,000 records of each data kind, served by a real
// gwserver on loopback: the time to fetch and parse the page, the time to
// build the commit body with every record changed (mail: queued for
// sending), and the peak memory of a process that does only that, beside
// the curl program fetching the same page.
//
//   build/bin/gwclient_kinds_bench [RECORDS] [ROUNDS]    defaults: 10000 3
//
// Each kind runs in a child process of its own so that its peak resident
// memory (ru_maxrss) is its own; "base" is the peak of a child that only
// logs in. Times are the best and the median of the rounds. Nothing is
// asserted.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gwclient/gwclient.h"
#include "gwclient/src/session.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// What a child reports through its pipe.
struct Measure {
  double fetchBest = 0, fetchMedian = 0, bodyBest = 0, bodyMedian = 0;
  long records = 0;
  size_t bodyBytes = 0;
  long peakKb = 0;
};

void bestAndMedian(std::vector<double> v, double& best, double& median) {
  std::sort(v.begin(), v.end());
  best = v.front();
  median = v[v.size() / 2];
}

// Runs work in a child process; returns what it wrote and its peak memory.
Measure inChild(const std::function<Measure()>& work) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Measure m = work();
    ssize_t n = write(fds[1], &m, sizeof m);
    _exit(n == static_cast<ssize_t>(sizeof m) ? 0 : 1);
  }
  close(fds[1]);
  Measure m;
  ssize_t n = read(fds[0], &m, sizeof m);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (n != static_cast<ssize_t>(sizeof m)) std::fprintf(stderr, "child failed\n");
  m.peakKb = usage.ru_maxrss;
  return m;
}

// One data kind: its page name, and how to fetch, change everything and build
// the commit body in a logged-in session.
struct Kind {
  const char* name;
  const char* page;  // query after the object path
  // Fetches (forced) and returns the record count.
  std::function<long(CServerSession&)> fetch;
  // Changes every record (or queues every mail).
  std::function<void(CServerSession&)> change;
  std::function<std::string(CServerSession&)> body;
};

// Sets every held record of type T from a copy of itself: each becomes a
// changed record, its texts copied as a caller's change would be.
template <typename T, typename Page>
void changeAll(Page& page) {
  std::vector<T> copies;
  for (void* r : page.Items()) copies.push_back(*static_cast<T*>(r));
  for (const T& r : copies) page.Set(&r, 0);
}

// The export file: records of every kind with text of a realistic size,
// Shift-JIS and line breaks included.
std::string exportFile(int n) {
  const std::string jp = "\x8E\x52\x93\x63\x83\x5C\x83\x74\x83\x67";
  std::string out = "gwserver-export 1\n";
  for (int i = 1; i <= n; ++i) {
    std::string k = std::to_string(i);
    out += "memo\t-\t-\tMemo " + k + " " + jp + "\tfirst line, \"quoted\"\\nsecond line " + k + "\n";
    out += "card\t-\t-\t1\tWork\t-2=Name" + k + "\t-1=" + jp + "\t-9=03-0000-" + k + "\t-10=p" + k +
           "@example.com\t-7=1-2-3 Minato\\nTokyo\t-11=memo " + k + "\n";
    out += "schedule\t-\t-\t\t2026/12/10\t2026/12/10\t10:00\t11:30\t\t\t0\t0\tMeeting " + k +
           "\tRoom 3\tBring the report\n";
    out += "todo\t-\t-\t2026/12/20\t1\t0\t\tWork\tTask " + k + "\tnotes " + jp + "\n";
    out += "mail\t-\t-\t-\t0\tSubject " + k +
           "\tfrom@example.com\tto@example.com\t\t\t\ttext/plain\t"
           "Hello,\\nthis is mail " +
           k + ".\\n" + jp + "\n";
  }
  return out;
}

std::vector<Kind> kinds() {
  return {
      {"memo", "page=SyncMemo&label=Bench0",
       [](CServerSession& s) { return s.m_MemoPage.Fetch(true) ? s.m_MemoPage.GetCount() : -1L; },
       [](CServerSession& s) { changeAll<__MEMO_DATA>(s.m_MemoPage); },
       [](CServerSession& s) {
         std::string b;
         s.m_MemoPage.BuildCommitBody(b);
         return b;
       }},
      {"address", "page=SyncAddress&label=Bench0",
       [](CServerSession& s) {
         s.m_AddressItemPage.Fetch();
         return s.m_AddressPage.Fetch(true) ? s.m_AddressPage.GetCount() : -1L;
       },
       [](CServerSession& s) { changeAll<__ADDRESS_DATA>(s.m_AddressPage); },
       [](CServerSession& s) {
         std::string b;
         s.m_AddressPage.BuildCommitBody(b);
         return b;
       }},
      {"schedule", "page=SyncCalendar&label=Bench0",
       [](CServerSession& s) { return s.m_SchedulePage.Fetch(true) ? s.m_SchedulePage.GetCount() : -1L; },
       [](CServerSession& s) { changeAll<__SCHEDULE_DATA>(s.m_SchedulePage); },
       [](CServerSession& s) {
         std::string b;
         s.m_SchedulePage.BuildCommitBody(b);
         return b;
       }},
      {"todo", "page=SyncToDo&label=Bench0",
       [](CServerSession& s) { return s.m_ToDoPage.Fetch(true) ? s.m_ToDoPage.GetCount() : -1L; },
       [](CServerSession& s) { changeAll<__TODO_DATA>(s.m_ToDoPage); },
       [](CServerSession& s) {
         std::string b;
         s.m_ToDoPage.BuildCommitBody(b);
         return b;
       }},
      {"mail", "page=SyncMail&rw=VuzIzud",
       [](CServerSession& s) { return s.m_MailPage.Fetch(true) ? s.m_MailPage.GetCount() : -1L; },
       [](CServerSession& s) {
         for (void* m : s.m_MailPage.Items()) s.m_MailPage.QueueCopy(*static_cast<__MAIL_DATA*>(m));
       },
       [](CServerSession& s) {
         std::string b;
         s.m_MailPage.BuildCommitBody(b);
         return b;
       }},
  };
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int rounds = std::max(1, argc > 2 ? std::atoi(argv[2]) : 3);
  for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);

  testutil::TempDir dir("gwclient-kinds-bench");
  testutil::GwServer server(dir.path());
  const std::string id = server.addUser("bench", "pw");
  if (server.admin({"import", server.db(), "bench"}, exportFile(records)).status != 0) {
    std::fprintf(stderr, "import failed\n");
    return 1;
  }
  server.start();
  const std::string url = server.url();

  auto login = [&](COfficeSession& o) -> CServerSession* {
    if (!o.Open(url.c_str(), static_cast<DWORD>(std::stoul(id)), "pw", nullptr, 0)) return nullptr;
    o.SetLabel("Bench", 0);
    // The label is "Bench0"; curl asks for the same pages below.
    return FindSession(o.m_dwHandle);
  };

  Measure base = inChild([&] {
    COfficeSession o;
    login(o);
    return Measure{};
  });
  std::printf("%d records per kind, %d rounds; base peak (logged in, nothing fetched) %ld KiB\n\n", records, rounds,
              base.peakKb);
  std::printf("%-9s %8s  %21s  %21s  %10s  %9s  %21s  %9s\n", "kind", "records", "fetch+parse best/med",
              "commit body best/med", "body bytes", "peak KiB", "curl fetch best/med", "curl KiB");

  // curl logs in once and keeps the cookie in a jar.
  const std::string jar = (dir.path() / "cookies").string();
  const std::string login_body = "page=PXBlank&_System=login&_Login=1&_ID=" + id + "&Password=pw&Submit=1&sync=1";
  testutil::runCommand({"/usr/bin/curl", "-s", "-o", "/dev/null", "-c", jar, "--data", login_body, url + "?"});

  for (const Kind& kind : kinds()) {
    Measure m = inChild([&] {
      Measure r;
      COfficeSession o;
      CServerSession* s = login(o);
      if (!s) return r;
      std::vector<double> fetches, bodies;
      for (int i = 0; i < rounds; ++i) {
        auto t = Clock::now();
        r.records = kind.fetch(*s);
        fetches.push_back(msSince(t));
      }
      kind.change(*s);
      for (int i = 0; i < rounds; ++i) {
        auto t = Clock::now();
        std::string body = kind.body(*s);
        bodies.push_back(msSince(t));
        r.bodyBytes = body.size();
      }
      bestAndMedian(fetches, r.fetchBest, r.fetchMedian);
      bestAndMedian(bodies, r.bodyBest, r.bodyMedian);
      return r;
    });

    // curl fetching the same page into /dev/null.
    std::vector<double> curlMs;
    long curlKb = 0;
    const std::string pageUrl = url + "?" + kind.page + "&sync=1";
    for (int i = 0; i < rounds; ++i) {
      std::fflush(stdout);
      auto t = Clock::now();
      pid_t pid = fork();
      if (pid == 0) {
        execl("/usr/bin/curl", "curl", "-s", "-o", "/dev/null", "-b", jar.c_str(), pageUrl.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
      }
      int status = 0;
      rusage usage{};
      wait4(pid, &status, 0, &usage);
      curlMs.push_back(msSince(t));
      curlKb = std::max(curlKb, usage.ru_maxrss);
    }
    double curlBest = 0, curlMedian = 0;
    bestAndMedian(curlMs, curlBest, curlMedian);
    std::printf("%-9s %8ld  %9.1f /%8.1f ms  %9.1f /%8.1f ms  %10zu  %9ld  %9.1f /%8.1f ms  %9ld\n", kind.name,
                m.records, m.fetchBest, m.fetchMedian, m.bodyBest, m.bodyMedian, m.bodyBytes, m.peakKb, curlBest,
                curlMedian, curlKb);
  }
  return 0;
}
