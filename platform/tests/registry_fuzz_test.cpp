// Runs the registry fuzz target over seeded mutations of valid files, so that
// every CI run (and its sanitizer build) reads a few thousand damaged files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "testutil/files.h"
#include "testutil/mutate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

const char* const kSeeds[] = {
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\GWSync]\n"
    "\"ConfigFile\"=\"C:\\\\gw\\\\rs.cfg\"\n"
    "\"Retries\"=dword:0000000a\n\n"
    "[HKEY_CURRENT_USER\\Software\\GWSync\\Palm\\Ann]\n"
    "@=\"default\"\n"
    "\"Bin\"=hex:01,02,ff\n"
    "\"Multi\"=hex(1):61,0d,0a,62,00\n",
    "REGEDIT4\r\n\r\n; comment\r\n[HKCU\\A\\B\\C]\r\n\"x\"=hex:00,\\\r\n  01\r\n",
    "",
};

void run(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(RegistryFuzz, DamagedFilesAreReadOrRefusedWhole) {
  testutil::TempDir dir("registry-fuzz");
  ::setenv("GWSYNC_REGISTRY", (dir / "registry.reg").c_str(), 1);
  std::mt19937 random(20261207);
  const std::string alphabet = "[]\\\"=@:,;\r\n \x82\xa0hexdwordREGEDIT4HKEY_0123456789abcdef(";
  for (const char* seed : kSeeds) {
    run(seed);
    for (int round = 0; round < 400; ++round) {
      std::string bytes = testutil::damage(seed, random, alphabet, 4);
      SCOPED_TRACE(bytes);
      run(bytes);
    }
  }
}

}  // namespace
