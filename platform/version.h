// Version information of the project's files: every library and program
// carries a fixed version record in an ELF note, readable without loading or
// running the file, as a version resource is on the desktop.
//
//   if (auto v = platform::GetFileVersionInfo("/usr/lib/gwsync/liblog.so"))
//     printf("%u.%u\n", HIWORD(v->dwFileVersionMS), LOWORD(v->dwFileVersionMS));
//
// The note (section ".note.gwsync.version", owner "GWSync", type
// kVersionNoteType) holds a VS_FIXEDFILEINFO: file and product version as
// four 16-bit numbers major, minor, build-major, build-minor, packed two per
// 32-bit word (major and build-major in the high halves).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/wintypes.h"

#ifndef HIWORD
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD>(l) >> 16) & 0xFFFF))
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD>(l) & 0xFFFF))
#endif

// The fixed part of a version record, in the layout the note stores
// (little-endian 32-bit words).
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;         // VS_FFI_SIGNATURE
  DWORD dwStrucVersion;      // VS_FFI_STRUCVERSION
  DWORD dwFileVersionMS;     // major << 16 | minor
  DWORD dwFileVersionLS;     // build-major << 16 | build-minor
  DWORD dwProductVersionMS;  // as the file version
  DWORD dwProductVersionLS;
};

#define VS_FFI_SIGNATURE 0xFEEF04BDu
#define VS_FFI_STRUCVERSION 0x00010000u

namespace platform {

// Owner name and type of the version note.
inline constexpr char kVersionNoteOwner[] = "GWSync";
inline constexpr DWORD kVersionNoteType = 1;
inline constexpr char kVersionNoteSection[] = ".note.gwsync.version";

// The version record of the ELF image in data[0, size), or nothing when it
// has none: not a 64-bit little-endian ELF file, no version note, or any
// offset or size that points outside the buffer. Never reads past size.
PLATFORM_API std::optional<VS_FIXEDFILEINFO> parseFileVersionInfo(const unsigned char* data, size_t size);

// The version record of the file at path; nothing when it cannot be read or
// carries no version information. The file is read, never loaded.
PLATFORM_API std::optional<VS_FIXEDFILEINFO> GetFileVersionInfo(const std::string& path);

}  // namespace platform
