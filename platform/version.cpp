#include "platform/version.h"

#include <elf.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace platform {
namespace {

// The file is untrusted: every read goes through this view, which checks the
// range first and decodes little-endian whatever the host's order.
class CBytes {
 public:
  CBytes(const unsigned char* data, size_t size) : m_Data(data), m_Size(size) {}

  bool has(uint64_t offset, uint64_t length) const { return offset <= m_Size && length <= m_Size - offset; }
  // Callers check has() first.
  uint16_t u16(uint64_t at) const { return static_cast<uint16_t>(m_Data[at] | m_Data[at + 1] << 8); }
  uint32_t u32(uint64_t at) const { return u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16; }
  uint64_t u64(uint64_t at) const { return u32(at) | static_cast<uint64_t>(u32(at + 4)) << 32; }
  const unsigned char* at(uint64_t offset) const { return m_Data + offset; }

 private:
  const unsigned char* m_Data;
  size_t m_Size;
};

struct Section {
  uint32_t name = 0;
  uint32_t type = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t link = 0;
};

uint64_t padded4(uint64_t n) { return (n + 3) & ~uint64_t{3}; }

std::optional<VS_FIXEDFILEINFO> findInNotes(const CBytes& file, uint64_t offset, uint64_t size) {
  const uint64_t end = offset + size;  // in range: the caller checked has(offset, size)
  const std::string_view owner(kVersionNoteOwner, sizeof kVersionNoteOwner);  // NUL included
  while (end - offset >= 12) {
    uint64_t nameSize = file.u32(offset), descSize = file.u32(offset + 4);
    uint32_t type = file.u32(offset + 8);
    uint64_t name = offset + 12;
    uint64_t desc = name + padded4(nameSize);
    if (padded4(nameSize) > end - name || padded4(descSize) > end - desc) return std::nullopt;
    if (type == kVersionNoteType && nameSize == owner.size() &&
        std::memcmp(file.at(name), owner.data(), owner.size()) == 0 && descSize == 6 * 4) {
      VS_FIXEDFILEINFO v{file.u32(desc),      file.u32(desc + 4),  file.u32(desc + 8),
                         file.u32(desc + 12), file.u32(desc + 16), file.u32(desc + 20)};
      if (v.dwSignature != VS_FFI_SIGNATURE) return std::nullopt;
      return v;
    }
    offset = desc + padded4(descSize);
  }
  return std::nullopt;
}

}  // namespace

std::optional<VS_FIXEDFILEINFO> parseFileVersionInfo(const unsigned char* data, size_t size) {
  if (!data) return std::nullopt;
  CBytes file(data, size);
  if (!file.has(0, sizeof(Elf64_Ehdr))) return std::nullopt;
  if (std::memcmp(data, ELFMAG, SELFMAG) != 0 || data[EI_CLASS] != ELFCLASS64 || data[EI_DATA] != ELFDATA2LSB)
    return std::nullopt;
  const uint64_t tableOffset = file.u64(offsetof(Elf64_Ehdr, e_shoff));
  const uint64_t entrySize = file.u16(offsetof(Elf64_Ehdr, e_shentsize));
  uint64_t count = file.u16(offsetof(Elf64_Ehdr, e_shnum));
  uint32_t namesIndex = file.u16(offsetof(Elf64_Ehdr, e_shstrndx));
  if (tableOffset == 0 || entrySize < sizeof(Elf64_Shdr)) return std::nullopt;

  auto section = [&](uint64_t index) -> std::optional<Section> {
    if (index > UINT64_MAX / entrySize) return std::nullopt;
    uint64_t at = tableOffset + index * entrySize;
    if (at < tableOffset || !file.has(at, sizeof(Elf64_Shdr))) return std::nullopt;
    Section s;
    s.name = file.u32(at + offsetof(Elf64_Shdr, sh_name));
    s.type = file.u32(at + offsetof(Elf64_Shdr, sh_type));
    s.offset = file.u64(at + offsetof(Elf64_Shdr, sh_offset));
    s.size = file.u64(at + offsetof(Elf64_Shdr, sh_size));
    s.link = file.u32(at + offsetof(Elf64_Shdr, sh_link));
    return s;
  };
  // Files with very many sections keep the real numbers in section 0.
  if (count == 0 || namesIndex == SHN_XINDEX) {
    std::optional<Section> first = section(0);
    if (!first) return std::nullopt;
    if (count == 0) count = first->size;
    if (namesIndex == SHN_XINDEX) namesIndex = first->link;
  }
  // A table that claims more entries than the file holds is damaged.
  if (count > UINT64_MAX / entrySize || !file.has(tableOffset, count * entrySize)) return std::nullopt;
  std::optional<Section> names = section(namesIndex);
  if (!names || names->type == SHT_NOBITS || !file.has(names->offset, names->size)) return std::nullopt;
  const std::string_view wanted(kVersionNoteSection, sizeof kVersionNoteSection);  // NUL included

  for (uint64_t i = 0; i < count; ++i) {
    std::optional<Section> s = section(i);
    if (!s) return std::nullopt;
    if (s->type == SHT_NOBITS || s->name >= names->size) continue;
    // The name must end inside the name table, NUL included.
    if (names->size - s->name < wanted.size() ||
        std::memcmp(file.at(names->offset + s->name), wanted.data(), wanted.size()) != 0)
      continue;
    if (!file.has(s->offset, s->size)) return std::nullopt;
    return findInNotes(file, s->offset, s->size);
  }
  return std::nullopt;
}

std::optional<VS_FIXEDFILEINFO> GetFileVersionInfo(const std::string& path) {
  // Read rather than mapped: a file cut short by someone else while mapped
  // would end the process with SIGBUS.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  // No library of ours comes near this; a larger file is not read at all.
  constexpr uintmax_t kLargestFile = uintmax_t{1} << 30;
  if (std::filesystem::file_size(path, ec) > kLargestFile || ec) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<unsigned char> bytes;
  try {
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return std::nullopt;  // a read error inside the file: no version to be had
  }
  return parseFileVersionInfo(bytes.data(), bytes.size());
}

}  // namespace platform
