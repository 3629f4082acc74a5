// Runs the version-note fuzz target over seeded damage of a real library of
// the build. Damage anywhere in a library mostly lands in code, so most of it
// is aimed at what the reader walks: the ELF header, the section headers and
// the note itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "testutil/files.h"
#include "testutil/mutate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

template <class T>
T readAt(const std::string& bytes, size_t at) {
  T value{};
  if (at + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// Where the reader looks: [begin, end) ranges of the file.
std::vector<std::pair<size_t, size_t>> walkedRanges(const std::string& elf) {
  std::vector<std::pair<size_t, size_t>> ranges = {{0, 64}};
  const uint64_t shoff = readAt<uint64_t>(elf, 0x28);
  const uint16_t shnum = readAt<uint16_t>(elf, 0x3C);
  ranges.emplace_back(shoff, shoff + shnum * 64u);
  // The note: name size 7, description size 24, type 1, "GWSync".
  const size_t note = elf.find(std::string("\x07\0\0\0\x18\0\0\0\x01\0\0\0GWSync", 18));
  if (note != std::string::npos) ranges.emplace_back(note, note + 12 + 8 + 24);
  return ranges;
}

TEST(VersionFuzz, DamagedLibrariesGiveTheirVersionOrNone) {
  const std::string library = testutil::readFile(std::string(GWSYNC_TEST_LIBDIR) + "/liblogtext.so");
  ASSERT_GT(library.size(), 64u);
  const auto ranges = walkedRanges(library);
  ASSERT_EQ(ranges.size(), 3u) << "the library carries no version note";
  std::mt19937 random(20261208);
  const char special[] = {'\0', '\x01', '\x7f', '\x80', '\xff', '\x40', '\x08'};
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = library;
    const auto& [begin, end] = ranges[random() % ranges.size()];
    ASSERT_LT(begin, end);
    ASSERT_LE(end, bytes.size());
    for (int edit = 0, edits = 1 + static_cast<int>(random() % 4); edit < edits; ++edit) {
      size_t at = begin + random() % (end - begin);
      bytes[at] = random() % 2 ? special[random() % sizeof special] : static_cast<char>(random());
    }
    run(bytes);
  }
  // And damage that moves and cuts whatever follows it.
  for (int round = 0; round < 200; ++round) run(testutil::damage(library, random, std::string("\0\xff\x01", 3), 4));
}

}  // namespace
