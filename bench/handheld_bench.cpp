// Writing and then reading 10,000 Address Book records through the Sync
// Manager, beside Perl's Palm::PDB writing the same records to a file (the
// tool a person would script instead) and a plain copy of the file.
//
//   build/bench/bench_handheld [--benchmark_filter=...]
//
// A write reaches the operating system when its call returns; the disk is
// waited for when the journal starts and grows and when the database is
// closed (disk_flushes counts those waits per run). Perl's figure includes
// starting perl and loading its modules (perl_startup_ms), and Perl writes
// the file without waiting for the disk at all. The read figure is the
// in-memory walk after the open. Peak memory is the process's maximum
// resident size after each step. Nothing here asserts a time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_kB"] = static_cast<double>(usage.ru_maxrss);
}

void WriteRecords(benchmark::State& state) {
  std::vector<std::string> records;
  for (int n = 0; n < kRecords; ++n) records.push_back(addressRecord(n));
  const DWORD flushesBefore = SyncGetDiskFlushCount();
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
  state.counters["disk_flushes"] =
      static_cast<double>(SyncGetDiskFlushCount() - flushesBefore) / static_cast<double>(state.iterations());
  reportMemory(state);
}

// The same records as addressRecord() gives, built and written by Perl's
// Palm::Address (fields set by name, packed by the module).
const char kPerlWriter[] = R"PERL(
use strict; use warnings;
use Palm::PDB; use Palm::Address;
my ($file, $count) = @ARGV;
my $db = Palm::Address->new;
$db->{name} = "AddressDB";
for my $n (0 .. $count - 1) {
  my $r = $db->new_Record;
  $r->{fields}{name} = "Lastname$n";
  $r->{fields}{firstName} = "First";
  $r->{fields}{company} = "Example Company " . ($n % 97);
  $r->{fields}{phone1} = "03-5555-" . (1000 + $n % 9000);
  $r->{fields}{phone5} = "person$n\@example.com";
  $r->{fields}{address} = "1-2-3 Somewhere";
  $r->{fields}{city} = "Tokyo";
  $r->{fields}{note} = "n" x (40 + $n % 80);
  $db->append_Record($r);
}
$db->Write($file);
)PERL";

double perlRunMs(const fs::path& script, int count) {
  const std::string command =
      "perl '" + script.string() + "' '" + (folder() / "perl.pdb").string() + "' " + std::to_string(count);
  auto start = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return status == 0 ? ms : -1;
}

void PerlPalmPdbWrite(benchmark::State& state) {
  const fs::path script = folder() / "write.pl";
  std::ofstream(script) << kPerlWriter;
  const double startup = perlRunMs(script, 0);
  if (startup < 0) {
    state.SkipWithError("perl with Palm::PDB could not run (scripts/bootstrap installs libpalm-perl)");
    return;
  }
  for (auto _ : state) {
    double ms = perlRunMs(script, kRecords);
    if (ms < 0) state.SkipWithError("the perl writer failed");
    state.SetIterationTime(ms / 1000.0);
  }
  state.counters["perl_startup_ms"] = startup;
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(folder() / "perl.pdb"));
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
BENCHMARK(PerlPalmPdbWrite)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
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
