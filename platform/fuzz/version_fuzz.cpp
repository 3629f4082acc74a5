// Fuzz target for the version-note reader: any bytes as a library file.
//
// Every input must give either no version information or a record with the
// version signature, and never a read outside the input (the sanitizers
// watch that). Built for libFuzzer with -DGWSYNC_FUZZ=ON (clang); the test
// suite runs the same function over seeded damage of a real library
// (platform/tests/version_fuzz_test.cpp).
#include <cstdint>
#include <cstdlib>

#include "platform/version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<VS_FIXEDFILEINFO> info = platform::parseFileVersionInfo(data, size);
  if (info && info->dwSignature != VS_FFI_SIGNATURE) __builtin_trap();
  return 0;
}
