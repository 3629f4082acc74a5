// Writing and then reading 10,000 Address Book records through the Sync
// Manager, beside a plain copy of the file they end up in.
//
//   build/bench/bench_handheld [--benchmark_filter=...]
//
// Each write is on disk when its call returns (journal entry and flush), so
// the write figure is bounded by the disk's flush time; the read figure is
// the in-memory walk after the open. Peak memory is the process's maximum
// resident size after each step. Nothing here asserts a time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "hotsync/handheld/records.h"
#include "hotsync/pdb/pdb.h"
#include "hotsync/sync20/sync20.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRecords = 10000;

const fs::path& folder() {
  static const fs::path f = [] {
    fs::path p = fs::temp_directory_path() / ("gw-bench-handheld-" + std::to_string(::getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    SyncSetHandheldFolder(p.c_str());
    return p;
  }();
  return f;
}

std::string addressRecord(int n) {
  palm::AddressRecord a;
  a.fields[palm::kLastName] = "Lastname" + std::to_string(n);
  a.fields[palm::kFirstName] = "First";
  a.fields[palm::kCompany] = "Example Company " + std::to_string(n % 97);
  a.fields[palm::kPhone1] = "03-5555-" + std::to_string(1000 + n % 9000);
  a.fields[palm::kPhone5] = "person" + std::to_string(n) + "@example.com";
  a.fields[palm::kAddress] = "1-2-3 Somewhere";
  a.fields[palm::kCity] = "Tokyo";
  a.fields[palm::kNote] = std::string(40 + n % 80, 'n');
  return palm::packAddress(a);
}

void reportMemory(benchmark::State& state) {
  struct rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_kB"] = static_cast<double>(usage.ru_maxrss);
}

void WriteRecords(benchmark::State& state) {
  std::vector<std::string> records;
  for (int n = 0; n < kRecords; ++n) records.push_back(addressRecord(n));
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(folder() / "AddressDB.pdb");
    state.ResumeTiming();
    CDbCreateDB create{};
    create.m_Creator = palm::fourCC("addr");
    create.m_Type = palm::fourCC("DATA");
    std::strcpy(create.m_Name, "AddressDB");
    if (SyncCreateDB(&create) != 0) state.SkipWithError(SyncGetLastProblem());
    for (const std::string& data : records) {
      CRawRecordInfo info{};
      info.m_FileHandle = create.m_FileHandle;
      info.m_RecSize = static_cast<DWORD>(data.size());
      info.m_pBytes = reinterpret_cast<BYTE*>(const_cast<char*>(data.data()));
      if (SyncWriteRec(&info) != 0) state.SkipWithError(SyncGetLastProblem());
    }
    if (SyncCloseDB(create.m_FileHandle) != 0) state.SkipWithError(SyncGetLastProblem());
  }
  state.counters["records"] = kRecords;
  state.counters["records_per_s"] = benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(folder() / "AddressDB.pdb"));
  reportMemory(state);
}

void ReadRecords(benchmark::State& state) {
  static BYTE buffer[65534];
  size_t bytes = 0;
  for (auto _ : state) {
    BYTE h = 0;
    if (SyncOpenDB("AddressDB", 0, &h, eDbRead | eDbShowSecret) != 0) state.SkipWithError(SyncGetLastProblem());
    int read = 0;
    for (WORD i = 0;; ++i) {
      CRawRecordInfo info{};
      info.m_FileHandle = h;
      info.m_RecIndex = i;
      info.m_TotalBytes = sizeof buffer;
      info.m_pBytes = buffer;
      if (SyncReadRecordByIndex(&info) != 0) break;
      bytes += info.m_RecSize;
      ++read;
    }
    SyncCloseDB(h);
    if (read != kRecords) state.SkipWithError("the database does not hold the records written");
  }
  benchmark::DoNotOptimize(bytes);
  state.counters["records_per_s"] = benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
  reportMemory(state);
}

// The floor: copying the finished file, flushed like the store flushes it.
void CopyFile(benchmark::State& state) {
  const fs::path from = folder() / "AddressDB.pdb";
  const fs::path to = folder() / "copy.pdb";
  for (auto _ : state) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    FILE* f = std::fopen(to.c_str(), "r+");
    if (f) {
      ::fsync(fileno(f));
      std::fclose(f);
    }
  }
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(from));
  reportMemory(state);
}

}  // namespace

BENCHMARK(WriteRecords)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ReadRecords)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(CopyFile)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  folder();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(folder());
  return 0;
}
