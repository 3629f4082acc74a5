// Reply parsing at scale: 10,000 record lines with the fields and quoting of
// real replies, read three ways over the same bytes: a plain line split (the
// floor), the reply reader with field splitting, and a whole data-page parse
// that keeps every record. Also the commit body of 10,000 changed records.
// Reports time and heap allocations per record; asserts nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "gwclient/src/page.h"
#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"

namespace {

std::atomic<size_t> g_Allocations{0};

}  // namespace

void* operator new(size_t size) {
  ++g_Allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

const int kRecords = 10000;

struct BENCH_REC {
  DWORD nID;
  DWORD nTimeStamp;
  char* pszName;
  char* pszNote;
  __OFFICE_DATE date;
  __OFFICE_TIME time;
};

}  // namespace

template <>
struct CRecordTexts<BENCH_REC> {
  static constexpr char* BENCH_REC::*kList[] = {&BENCH_REC::pszName, &BENCH_REC::pszNote};
};

namespace {

// An address-like kind: id, time stamp, quoted name with a comma, a note
// with line breaks, a phone, an empty field, mail, a date and a time.
class CBenchPage : public CDataPage<BENCH_REC> {
 public:
  using CDataPage::CDataPage;
  void BuildURL(std::string& url) override { url += "page=Bench"; }
  std::unique_ptr<Record> ParseItem(const std::string& line) override {
    CFieldList f(line);
    if (f.GetCount() < 10 || !IsNumber(f[0].c_str())) return nullptr;
    auto r = std::make_unique<Record>();
    r->nID = static_cast<DWORD>(NumberValue(f[0].c_str()));
    r->nTimeStamp = static_cast<DWORD>(ParseTimeStamp(f[1].c_str()));
    r->pszName = DupString(f[2].c_str());
    r->pszNote = DupString(f[4].c_str());
    ParseDate(f[8].c_str(), &r->date);
    ParseTime(f[9].c_str(), &r->time);
    return r;
  }
  const char* CommitPageName() const override { return "Bench"; }
  bool WriteRecord(std::string& body, Record& r, DWORD key) override {
    WriteField(body, "i", static_cast<LONG>(r.nID));
    if (!WriteField(body, "n", r.pszName) || !WriteField(body, "t", r.pszNote)) return false;
    WriteField(body, "d", r.date);
    WriteField(body, "h", r.time);
    if (key != 0) WriteField(body, "s", static_cast<LONG>(key));
    return true;
  }
  void MarkAllModified() {
    for (Record* r : Items()) m_Modified.push_back(r);
  }
};

const std::string& Reply() {
  static const std::string body = [] {
    std::string b;
    for (int i = 1; i <= kRecords; ++i) {
      b += std::to_string(i) + ",ts.17000" + std::to_string(10000 + i) + ",\"Lee, Ann " + std::to_string(i) +
           "\",Ann,\"2-1 Chuo&#010;Tokyo \"\"HQ\"\"\",03-1234-5678,,ann" + std::to_string(i) +
           "@example.com,2024/2/29,10:30\r\n";
    }
    b += "\r\nrelation\r\nts.1700000000\r\n";
    for (int i = 1; i <= kRecords; ++i) b += std::to_string(i) + "," + std::to_string(i + 5000) + "\r\n";
    return b;
  }();
  return body;
}

void ReportPerRecord(benchmark::State& state, size_t allocations) {
  state.counters["allocs/record"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations()) / kRecords;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Reply().size()));
}

void BM_PlainLineSplit(benchmark::State& state) {
  const std::string& body = Reply();
  size_t before = g_Allocations;
  for (auto _ : state) {
    size_t lines = 0;
    for (size_t pos = 0; pos < body.size();) {
      size_t lf = body.find('\n', pos);
      pos = lf == std::string::npos ? body.size() : lf + 1;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  ReportPerRecord(state, g_Allocations - before);
}
BENCHMARK(BM_PlainLineSplit);

void BM_ReaderAndFieldSplit(benchmark::State& state) {
  const std::string& body = Reply();
  size_t before = g_Allocations;
  for (auto _ : state) {
    CReplyReader reader(body);
    std::string line;
    size_t fields = 0;
    while (reader.ReadLine(line)) fields += CFieldList(line).GetCount();
    benchmark::DoNotOptimize(fields);
  }
  ReportPerRecord(state, g_Allocations - before);
}
BENCHMARK(BM_ReaderAndFieldSplit);

void BM_DataPageParse(benchmark::State& state) {
  CServerSession session(nullptr);
  CBenchPage page(&session);
  size_t before = g_Allocations;
  for (auto _ : state) {
    page.Reset();
    CReplyReader reader(Reply());
    benchmark::DoNotOptimize(page.Parse(reader));
  }
  state.counters["records"] = static_cast<double>(page.Items().size());
  ReportPerRecord(state, g_Allocations - before);
}
BENCHMARK(BM_DataPageParse);

void BM_CommitBody(benchmark::State& state) {
  CServerSession session(nullptr);
  session.m_Label = "Palm1";
  CBenchPage page(&session);
  CReplyReader reader(Reply());
  page.Parse(reader);
  page.MarkAllModified();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string body;
    page.BuildCommitBody(body);
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["body bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_CommitBody);

}  // namespace

BENCHMARK_MAIN();
