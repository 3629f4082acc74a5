// Helpers shared by the test programs: a private temporary folder and whole
// file reads.
//
//   testutil::TempDir dir("trace");          // removed with everything in it
//   std::string text = testutil::readFile(dir / "trace-address");
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace testutil {

// The bytes of a file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh folder under the system's temporary folder. mkdtemp makes the name
// unique on the file system itself, so test processes never share or remove
// each other's folders, even when they run in different process namespaces
// and so may have the same process number.
inline std::filesystem::path makeTempFolder(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("gw-" + tag + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data()))
    throw std::filesystem::filesystem_error("cannot create a temporary folder", pattern,
                                            std::error_code(errno, std::generic_category()));
  return pattern;
}

class TempDir {
 public:
  explicit TempDir(const std::string& tag) : path_(makeTempFolder(tag)) {}
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace testutil
