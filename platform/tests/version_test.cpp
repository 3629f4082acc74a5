// Version notes read from real files of the build, and from copies of them
// cut short or damaged: a file without a sound note has no version.
#include "platform/version.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testutil/files.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

fs::path ownProgram() { return fs::read_symlink("/proc/self/exe"); }
fs::path fixtureLibrary() { return ownProgram().parent_path() / "libgwfixture.so"; }

Bytes readBytes(const fs::path& path) {
  std::string s = testutil::readFile(path);
  return Bytes(s.begin(), s.end());
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
uint64_t get64(const Bytes& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

// Where the note and its section header sit in a file, found without the
// reader under test: the note by its bytes, its header by its offset.
struct Layout {
  size_t note = 0;           // start of the note (its name size)
  size_t sectionHeader = 0;  // the note section's entry in the section table
};

Layout locate(const Bytes& b) {
  static const unsigned char head[] = {7, 0, 0, 0, 24, 0, 0, 0, 1, 0, 0, 0, 'G', 'W', 'S', 'y', 'n', 'c', 0, 0};
  Layout l;
  auto it = std::search(b.begin(), b.end(), std::begin(head), std::end(head));
  if (it == b.end()) return l;
  l.note = static_cast<size_t>(it - b.begin());
  uint64_t table = get64(b, offsetof(Elf64_Ehdr, e_shoff));
  size_t count = b[offsetof(Elf64_Ehdr, e_shnum)] | b[offsetof(Elf64_Ehdr, e_shnum) + 1] << 8;
  for (size_t i = 0; i < count; ++i) {
    size_t at = table + i * sizeof(Elf64_Shdr);
    if (get64(b, at + offsetof(Elf64_Shdr, sh_offset)) == l.note) l.sectionHeader = at;
  }
  return l;
}

std::optional<VS_FIXEDFILEINFO> parse(const Bytes& b) {
  // A copy of exactly this size, so that a read past the end is a read past
  // the allocation (and a finding of the sanitizer build).
  std::unique_ptr<unsigned char[]> exact(new unsigned char[b.size() ? b.size() : 1]);
  std::memcpy(exact.get(), b.data(), b.size());
  return platform::parseFileVersionInfo(exact.get(), b.size());
}

class VersionFileTest : public ::testing::Test {
 protected:
  testutil::TempDir dir_{"version"};
};

TEST_F(VersionFileTest, ProgramAndLibraryOfTheBuildCarryTheProjectVersion) {
  for (const fs::path& file : {ownProgram(), fixtureLibrary()}) {
    std::optional<VS_FIXEDFILEINFO> v = platform::GetFileVersionInfo(file.string());
    ASSERT_TRUE(v) << file;
    EXPECT_EQ(v->dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(v->dwStrucVersion, VS_FFI_STRUCVERSION);
    EXPECT_EQ(v->dwFileVersionMS, static_cast<DWORD>(GWSYNC_VERSION_MS)) << file;
    EXPECT_EQ(v->dwFileVersionLS, static_cast<DWORD>(GWSYNC_VERSION_LS)) << file;
    EXPECT_EQ(v->dwProductVersionMS, v->dwFileVersionMS);
    EXPECT_EQ(v->dwProductVersionLS, v->dwFileVersionLS);
  }
}

TEST_F(VersionFileTest, ReadsTheNumbersStoredInTheNote) {
  Bytes b = readBytes(fixtureLibrary());
  Layout l = locate(b);
  ASSERT_NE(l.note, 0u);
  put32(b, l.note + 20 + 8, 0x00030007);
  put32(b, l.note + 20 + 12, 0x8001FFFF);
  writeBytes(dir_ / "patched.so", b);
  std::optional<VS_FIXEDFILEINFO> v = platform::GetFileVersionInfo((dir_ / "patched.so").string());
  ASSERT_TRUE(v);
  EXPECT_EQ(v->dwFileVersionMS, 0x00030007u);
  EXPECT_EQ(v->dwFileVersionLS, 0x8001FFFFu);
}

TEST_F(VersionFileTest, FilesWithoutANoteHaveNoVersion) {
  Bytes lib = readBytes(fixtureLibrary());
  // The same library with its note section renamed is a library without one.
  Bytes renamed = lib;
  const std::string name = ".note.gwsync.version";
  auto at = std::search(renamed.begin(), renamed.end(), name.begin(), name.end());
  ASSERT_NE(at, renamed.end());
  *(at + static_cast<long>(name.size()) - 1) = 'X';
  writeBytes(dir_ / "renamed.so", renamed);
  writeBytes(dir_ / "text.dll", Bytes{'M', 'Z', 'n', 'o', 't', ' ', 'E', 'L', 'F'});
  writeBytes(dir_ / "empty.so", Bytes{});
  writeBytes(dir_ / "half.so", Bytes(lib.begin(), lib.begin() + static_cast<long>(lib.size() / 2)));
  for (const char* file : {"renamed.so", "text.dll", "empty.so", "half.so", "missing.so", "."})
    EXPECT_FALSE(platform::GetFileVersionInfo((dir_ / file).string())) << file;
}

TEST(VersionParse, EveryTruncationOfALibraryGivesNothingOrTheTrueVersion) {
  Bytes lib = readBytes(fixtureLibrary());
  std::optional<VS_FIXEDFILEINFO> whole = parse(lib);
  ASSERT_TRUE(whole);
  for (size_t size = 0; size < lib.size(); ++size) {
    Bytes cut(lib.begin(), lib.begin() + static_cast<long>(size));
    std::optional<VS_FIXEDFILEINFO> v = platform::parseFileVersionInfo(cut.data(), cut.size());
    // The section table is at the end of the file: without it, no version.
    if (size + sizeof(Elf64_Shdr) <= lib.size()) {
      ASSERT_FALSE(v) << "cut at " << size;
    } else if (v) {
      ASSERT_EQ(std::memcmp(&*v, &*whole, sizeof *v), 0) << "cut at " << size;
    }
  }
}

// Legend: what is damaged in a copy of the fixture library; every row must
// read as "no version information".
struct Damage {
  const char* legend;
  std::function<void(Bytes&, const Layout&)> apply;
};

const Damage kDamages[] = {
    {"32-bit class", [](Bytes& b, const Layout&) { b[EI_CLASS] = ELFCLASS32; }},
    {"big-endian", [](Bytes& b, const Layout&) { b[EI_DATA] = ELFDATA2MSB; }},
    {"bad magic", [](Bytes& b, const Layout&) { b[1] = 'e'; }},
    {"section table beyond the end",
     [](Bytes& b, const Layout&) { put64(b, offsetof(Elf64_Ehdr, e_shoff), b.size() - 8); }},
    {"section table offset wraps around",
     [](Bytes& b, const Layout&) { put64(b, offsetof(Elf64_Ehdr, e_shoff), ~uint64_t{0} - 16); }},
    {"section entries too small", [](Bytes& b, const Layout&) { b[offsetof(Elf64_Ehdr, e_shentsize)] = 8; }},
    {"too many sections",
     [](Bytes& b, const Layout&) {
       b[offsetof(Elf64_Ehdr, e_shnum)] = 0xFE;
       b[offsetof(Elf64_Ehdr, e_shnum) + 1] = 0xFF;
     }},
    {"name table index out of range",
     [](Bytes& b, const Layout&) {
       b[offsetof(Elf64_Ehdr, e_shstrndx)] = 0xF0;
       b[offsetof(Elf64_Ehdr, e_shstrndx) + 1] = 0x7F;
     }},
    {"note section beyond the end",
     [](Bytes& b, const Layout& l) { put64(b, l.sectionHeader + offsetof(Elf64_Shdr, sh_offset), b.size() - 4); }},
    {"note section size wraps around",
     [](Bytes& b, const Layout& l) { put64(b, l.sectionHeader + offsetof(Elf64_Shdr, sh_size), ~uint64_t{0}); }},
    {"note section too small for its note",
     [](Bytes& b, const Layout& l) { put64(b, l.sectionHeader + offsetof(Elf64_Shdr, sh_size), 30); }},
    {"note name size past the section", [](Bytes& b, const Layout& l) { put32(b, l.note, 0xFFFFFFF0u); }},
    {"note record size past the section", [](Bytes& b, const Layout& l) { put32(b, l.note + 4, 0xFFFFFFFDu); }},
    {"note record of another size", [](Bytes& b, const Layout& l) { put32(b, l.note + 4, 16); }},
    {"note of another type", [](Bytes& b, const Layout& l) { put32(b, l.note + 8, 2); }},
    {"note of another owner", [](Bytes& b, const Layout& l) { b[l.note + 12] = 'X'; }},
    {"wrong signature", [](Bytes& b, const Layout& l) { put32(b, l.note + 20, 0xFEEF04BC); }},
};

class VersionDamageTest : public ::testing::TestWithParam<size_t> {};

TEST_P(VersionDamageTest, DamagedFileHasNoVersion) {
  const Damage& d = kDamages[GetParam()];
  Bytes b = readBytes(fixtureLibrary());
  Layout l = locate(b);
  ASSERT_NE(l.note, 0u);
  ASSERT_NE(l.sectionHeader, 0u);
  ASSERT_TRUE(parse(b));
  d.apply(b, l);
  EXPECT_FALSE(parse(b)) << d.legend;
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionDamageTest, ::testing::Range<size_t>(0, std::size(kDamages)),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return "Row" + std::to_string(info.param);
                         });

}  // namespace
