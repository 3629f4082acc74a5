#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/errors.h"

// An open key: the hive and the path below it, with each name in the case it
// has in the file. The key itself lives in the file, so every call looks it up
// again; a key deleted meanwhile (by this or another process) makes the
// handle's calls fail with ERROR_KEY_DELETED. Should a key of the same path be
// created again, the handle reaches the new key.
struct HKEY__ {
  size_t hive;
  std::vector<std::string> path;
};

namespace {

// The position of the next key-path separator: a backslash that is not the
// second byte of a Shift-JIS character (as in "\x83\x5c"), or npos. Key
// names are the system's multi-byte text and must not be cut inside one.
size_t findSeparator(std::string_view path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c == '\\') return i;
    if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < path.size()) ++i;
  }
  return std::string_view::npos;
}

// ---------------------------------------------------------------------------
// Names

// Names are bytes in the system's code page (Shift-JIS on a Japanese
// system), so only ASCII letters fold. The byte after a Shift-JIS lead byte
// never folds: a trail byte may fall in the ASCII letter range, and folding it
// would make two different characters one name.
unsigned char foldCase(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

bool isShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc); }

// Upper-case order, as the registry sorts its keys.
int compareNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  bool trail = false;  // the same for both: their bytes so far are equal
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if (!trail) {
      ca = foldCase(ca);
      cb = foldCase(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    trail = !trail && isShiftJisLead(ca);
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && compareNames(a, b) == 0;
}

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A name with a line break or other control character cannot be written on
// one line of the file.
bool isStorableName(std::string_view name) {
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return isControl(static_cast<unsigned char>(c)); });
}

// ---------------------------------------------------------------------------
// The model of the file

struct Value {
  std::string name;  // empty for the default value
  DWORD type;
  std::string data;  // as the caller reads it; a REG_SZ includes its NUL
};

struct Key {
  std::string name;
  std::vector<Value> values;  // in the order they were first set
  std::vector<Key> subkeys;   // sorted with compareNames

  const Key* findSubkey(std::string_view wanted) const {
    const size_t slot = subkeySlot(wanted);
    return slot < subkeys.size() && sameName(subkeys[slot].name, wanted) ? &subkeys[slot] : nullptr;
  }

  Key* findSubkey(std::string_view wanted) {
    return const_cast<Key*>(std::as_const(*this).findSubkey(wanted));
  }

  Key& subkeyOrCreate(std::string_view wanted) {
    const size_t slot = subkeySlot(wanted);
    if (slot < subkeys.size() && sameName(subkeys[slot].name, wanted)) return subkeys[slot];
    return *subkeys.insert(subkeys.begin() + static_cast<ptrdiff_t>(slot),
                           Key{std::string(wanted), {}, {}});
  }

  void eraseSubkey(const Key* sub) { subkeys.erase(subkeys.begin() + (sub - subkeys.data())); }

  const Value* findValue(std::string_view wanted) const {
    for (const Value& v : values) {
      if (sameName(v.name, wanted)) return &v;
    }
    return nullptr;
  }

  // Returns whether anything changed, so that setting a value to what it
  // already is does not rewrite the file.
  bool setValue(std::string_view valueName, DWORD type, std::string data) {
    for (Value& v : values) {
      if (!sameName(v.name, valueName)) continue;
      if (v.type == type && v.data == data) return false;
      v.type = type;
      v.data = std::move(data);
      return true;
    }
    values.push_back(Value{std::string(valueName), type, std::move(data)});
    return true;
  }

  bool eraseValue(std::string_view wanted) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const Value& v) { return sameName(v.name, wanted); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
  }

 private:
  // Where a sub-key of that name is, or would go.
  size_t subkeySlot(std::string_view wanted) const {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), wanted,
                               [](const Key& k, std::string_view n) {
                                 return compareNames(k.name, n) < 0;
                               });
    return static_cast<size_t>(it - subkeys.begin());
  }
};

// In the order of the predefined handles, which is also the order of the
// sections in the file.
constexpr std::array<std::string_view, 4> kHiveNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
constexpr std::array<std::string_view, 4> kHiveShortNames = {"HKCR", "HKCU", "HKLM", "HKU"};
constexpr uintptr_t kFirstHiveHandle = 0x80000000u;

struct Registry {
  std::array<Key, kHiveNames.size()> hives;
};

const Key* findKey(const Registry& registry, size_t hive, const std::vector<std::string>& path) {
  const Key* key = &registry.hives[hive];
  for (const std::string& name : path) {
    key = key->findSubkey(name);
    if (!key) return nullptr;
  }
  return key;
}

Key* findKey(Registry& registry, size_t hive, const std::vector<std::string>& path) {
  return const_cast<Key*>(findKey(std::as_const(registry), hive, path));
}

// ---------------------------------------------------------------------------
// Reading the file

struct ParseError {
  size_t line;
  std::string message;
};

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to maxDigits hex digits that make up all of s.
std::optional<DWORD> parseHexNumber(std::string_view s, size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return std::nullopt;
  DWORD n = 0;
  for (char c : s) {
    const int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    n = n * 16 + static_cast<DWORD>(d);
  }
  return n;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<ParseError> parse(Registry& out) {
    // A file that was never written holds nothing.
    if (text_.empty()) return std::nullopt;
    std::string_view line;
    if (!nextLine(line) || line != kHeader) return fail("the first line is not REGEDIT4");
    Key* section = nullptr;
    while (nextLine(line)) {
      if (line.empty() || line.front() == ';') continue;
      std::optional<ParseError> error;
      if (line.front() == '[') {
        error = parseSection(line, out, section);
      } else if (line.front() == '"' || line.front() == '@') {
        if (!section) return fail("value line before any [key] section");
        error = parseValue(line, *section);
      } else {
        return fail("not a [key] section, value or comment");
      }
      if (error) return error;
    }
    return std::nullopt;
  }

 private:
  ParseError fail(std::string message) const { return ParseError{lineNumber_, std::move(message)}; }

  // The next line without its line end and surrounding blanks.
  bool nextLine(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    line = trim(text_.substr(pos_, end - pos_));
    pos_ = end + 1;
    ++lineNumber_;
    return true;
  }

  std::optional<ParseError> parseSection(std::string_view line, Registry& out, Key*& section) {
    if (line.size() < 2 || line.back() != ']') return fail("unterminated [key] section");
    std::string_view path = line.substr(1, line.size() - 2);
    const std::string_view hiveName = path.substr(0, findSeparator(path));
    size_t hive = 0;
    while (hive < kHiveNames.size() && !sameName(hiveName, kHiveNames[hive]) &&
           !sameName(hiveName, kHiveShortNames[hive])) {
      ++hive;
    }
    if (hive == kHiveNames.size()) return fail("unknown root key \"" + std::string(hiveName) + "\"");
    Key* key = &out.hives[hive];
    path.remove_prefix(hiveName.size());
    // Each name of the path exists as a key, whether it has a section or not.
    while (!path.empty()) {
      path.remove_prefix(1);  // the backslash
      const std::string_view name = path.substr(0, findSeparator(path));
      if (name.empty()) return fail("empty key name in [key] section");
      if (!isStorableName(name)) return fail("control character in a key name");
      key = &key->subkeyOrCreate(name);
      path.remove_prefix(name.size());
    }
    section = key;
    return std::nullopt;
  }

  std::optional<ParseError> parseValue(std::string_view line, Key& section) {
    std::string name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else if (auto error = parseQuoted(line, name)) {
      return error;
    } else if (!isStorableName(name)) {
      return fail("control character in a value name");
    }
    line = trim(line);
    if (line.empty() || line.front() != '=') return fail("missing = after the value name");
    line = trim(line.substr(1));

    DWORD type = REG_SZ;
    std::string data;
    if (!line.empty() && line.front() == '"') {
      if (auto error = parseQuoted(line, data)) return error;
      if (!trim(line).empty()) return fail("unexpected text after the quoted value");
      data.push_back('\0');
    } else if (line.starts_with("dword:")) {
      const std::optional<DWORD> n = parseHexNumber(line.substr(6), 8);
      if (!n) return fail("a dword needs 1 to 8 hex digits");
      type = REG_DWORD;
      for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<char>(*n >> shift));
    } else if (line.starts_with("hex")) {
      if (auto error = parseHex(line, type, data)) return error;
    } else {
      return fail("unknown value data (expected \"text\", dword: or hex:)");
    }
    section.setValue(name, type, std::move(data));
    return std::nullopt;
  }

  // Reads "..." with \\ and \" escapes from the start of s and removes it.
  std::optional<ParseError> parseQuoted(std::string_view& s, std::string& out) {
    for (size_t i = 1; i < s.size(); ++i) {
      const char c = s[i];
      if (c == '"') {
        s.remove_prefix(i + 1);
        return std::nullopt;
      }
      if (c == '\\') {
        if (i + 1 == s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
          return fail("bad escape in quoted text (only \\\\ and \\\" are allowed)");
        }
        ++i;
      }
      out.push_back(s[i]);
    }
    return fail("unterminated quoted text");
  }

  // hex:01,02 (REG_BINARY) or hex(N):01,02 (type N in hex); a line ending in
  // a backslash continues on the next one, as exported files wrap long data.
  std::optional<ParseError> parseHex(std::string_view line, DWORD& type, std::string& data) {
    line.remove_prefix(3);
    type = REG_BINARY;
    if (!line.empty() && line.front() == '(') {
      const size_t close = line.find(')');
      const std::optional<DWORD> n =
          close == std::string_view::npos ? std::nullopt : parseHexNumber(line.substr(1, close - 1), 8);
      if (!n) return fail("bad type in hex(N):");
      type = *n;
      line.remove_prefix(close + 1);
    }
    if (line.empty() || line.front() != ':') return fail("missing : after hex");
    line.remove_prefix(1);

    std::string bytes(line);
    while (!bytes.empty() && bytes.back() == '\\') {
      bytes.pop_back();
      std::string_view next;
      if (!nextLine(next)) return fail("hex data continues past the end of the file");
      bytes += next;
    }
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      const std::optional<DWORD> byte = parseHexNumber(trim(rest.substr(0, comma)), 2);
      if (!byte) return fail("bad byte in hex data");
      data.push_back(static_cast<char>(*byte));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
      if (rest.empty()) return fail("hex data ends with a comma");
    }
    return std::nullopt;
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t lineNumber_ = 0;
};

// ---------------------------------------------------------------------------
// Writing the file

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// A text goes in quotes when it reads back the same: one NUL at its end and
// no control characters. Anything else keeps its exact bytes as hex(1).
bool isQuotable(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  return std::none_of(data.begin(), data.end() - 1,
                      [](char c) { return isControl(static_cast<unsigned char>(c)); });
}

void appendHexBytes(std::string& out, std::string_view data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    if (i > 0) out.push_back(',');
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xf]);
  }
}

void appendValue(std::string& out, const Value& v) {
  if (v.name.empty()) {
    out.push_back('@');
  } else {
    appendQuoted(out, v.name);
  }
  out.push_back('=');
  char number[24];
  if (v.type == REG_SZ && isQuotable(v.data)) {
    appendQuoted(out, std::string_view(v.data).substr(0, v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    DWORD n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(n));
    out += number;
  } else {
    if (v.type == REG_BINARY) {
      out += "hex:";
    } else {
      std::snprintf(number, sizeof number, "hex(%x):", static_cast<unsigned>(v.type));
      out += number;
    }
    appendHexBytes(out, v.data);
  }
  out.push_back('\n');
}

// A key gets a section when it has values or when nothing else would show
// that it exists; keys on the way to a sub-key are implied by its section.
void appendKey(std::string& out, const std::string& path, const Key& key, bool isHive) {
  if (!key.values.empty() || (key.subkeys.empty() && !isHive)) {
    out += "\n[";
    out += path;
    out += "]\n";
    for (const Value& v : key.values) appendValue(out, v);
  }
  for (const Key& sub : key.subkeys) appendKey(out, path + '\\' + sub.name, sub, false);
}

std::string formatRegistry(const Registry& registry) {
  std::string out(kHeader);
  out.push_back('\n');
  for (size_t hive = 0; hive < kHiveNames.size(); ++hive) {
    appendKey(out, std::string(kHiveNames[hive]), registry.hives[hive], true);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Problems with the file

thread_local std::string t_problem;

// Tells a person once about each distinct problem, since a program may
// just report the bare error code.
void reportProblem(std::string problem) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (reported.insert(problem).second) std::fprintf(stderr, "%s\n", problem.c_str());
  }
  t_problem = std::move(problem);
}

LONG fileFailure(const std::string& path, const char* what, int err) {
  reportProblem(path + ": " + what + ": " + std::strerror(err));
  return static_cast<LONG>(platform::winErrorFromErrno(err));
}

// ---------------------------------------------------------------------------
// File access

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now so that a failure (a delayed write error) can be seen.
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Removes a temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates dir and any missing parents, private to the user.
bool makeDirectories(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const std::string parent = directoryOf(dir);
  if (parent == dir || !makeDirectories(parent)) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads the file; a missing file is an empty registry.
LONG readFile(const std::string& path, std::string& text) {
  text.clear();
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return ERROR_SUCCESS;
    return fileFailure(path, "cannot open", errno);
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) return ERROR_SUCCESS;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fileFailure(path, "cannot read", errno);
    }
    text.append(buffer, static_cast<size_t>(n));
  }
}

// Reads and parses; a file that does not parse is ERROR_BADDB.
// Reads take no lock: a save replaces the file by rename, so a reader sees
// the old file or the new one, never a half-written one.
LONG loadRegistry(const std::string& path, Registry& registry) {
  std::string text;
  if (LONG rc = readFile(path, text); rc != ERROR_SUCCESS) return rc;
  if (std::optional<ParseError> error = Parser(text).parse(registry)) {
    reportProblem(path + ":" + std::to_string(error->line) + ": " + error->message);
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

// Writes a temporary file beside the registry and renames it into place, so
// that a crash or a full disk leaves the old file whole.
LONG saveRegistry(const std::string& path, const Registry& registry) {
  const std::string text = formatRegistry(registry);
  std::string tempPath = path + ".tmp.XXXXXX";
  FileDescriptor fd(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (!fd.valid()) return fileFailure(path, "cannot create a temporary file", errno);
  TemporaryFile temp(tempPath);
  // The user's settings are private to the user, whatever the umask.
  if (::fchmod(fd.get(), 0600) != 0) return fileFailure(tempPath, "cannot set mode", errno);
  if (!writeAll(fd.get(), text)) return fileFailure(tempPath, "cannot write", errno);
  if (::fsync(fd.get()) != 0) return fileFailure(tempPath, "cannot sync", errno);
  if (fd.close() != 0) return fileFailure(tempPath, "cannot close", errno);
  if (::rename(tempPath.c_str(), path.c_str()) != 0) return fileFailure(path, "cannot replace", errno);
  temp.release();
  // The rename has happened; a failure here only weakens how durable it is.
  FileDescriptor dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return ERROR_SUCCESS;
}

// Holds the exclusive lock that serialises changes to the file, across
// processes and threads alike (each holder opens the lock file itself).
class WriteLock {
 public:
  LONG acquire(const std::string& registryPath) {
    const std::string dir = directoryOf(registryPath);
    const std::string lockPath = registryPath + ".lock";
    if (!makeDirectories(dir)) return fileFailure(dir, "cannot create the directory", errno);
    fd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_.valid()) return fileFailure(lockPath, "cannot open", errno);
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return fileFailure(lockPath, "cannot lock", errno);
    }
    return ERROR_SUCCESS;
  }

 private:
  FileDescriptor fd_;  // closing it releases the lock
};

// Runs read(Registry&) on a fresh copy of the current file.
template <class F>
LONG readRegistry(F&& read) {
  Registry registry;
  if (LONG rc = loadRegistry(platform::registryFilePath(), registry); rc != ERROR_SUCCESS) return rc;
  return read(registry);
}

// Runs change(Registry&, bool& changed) on the current file under the write
// lock and saves the result when the change succeeded and changed something.
template <class F>
LONG changeRegistry(F&& change) {
  const std::string path = platform::registryFilePath();
  WriteLock lock;
  if (LONG rc = lock.acquire(path); rc != ERROR_SUCCESS) return rc;
  Registry registry;
  if (LONG rc = loadRegistry(path, registry); rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  if (LONG rc = change(registry, changed); rc != ERROR_SUCCESS) return rc;
  return changed ? saveRegistry(path, registry) : ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Handles

std::mutex g_handlesMutex;
std::unordered_set<HKEY> g_handles;

std::optional<size_t> hiveOf(HKEY hKey) {
  const auto value = reinterpret_cast<uintptr_t>(hKey);
  if (value >= kFirstHiveHandle && value < kFirstHiveHandle + kHiveNames.size()) {
    return value - kFirstHiveHandle;
  }
  return std::nullopt;
}

// Copies what a handle names, so that a handle closed by another thread
// meanwhile cannot be touched.
LONG keyOfHandle(HKEY hKey, HKEY__& out) {
  if (std::optional<size_t> hive = hiveOf(hKey)) {
    out = HKEY__{*hive, {}};
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  if (!g_handles.contains(hKey)) return ERROR_INVALID_HANDLE;
  out = *hKey;
  return ERROR_SUCCESS;
}

HKEY newHandle(HKEY__ key) {
  auto handle = std::make_unique<HKEY__>(std::move(key));
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  g_handles.insert(handle.get());
  return handle.release();
}

// Splits a sub-key path at its backslashes. As on Windows, a leading
// backslash is refused and a trailing one ignored; an empty name in the
// middle (a doubled backslash) is refused too.
LONG splitSubKey(LPCSTR subKey, std::vector<std::string>& names) {
  std::string_view path = subKey ? subKey : "";
  if (path.starts_with('\\')) return ERROR_BAD_PATHNAME;
  while (!path.empty()) {
    const size_t end = std::min(findSeparator(path), path.size());
    // A trailing separator is ignored.
    if (end + 1 == path.size()) path.remove_suffix(1);
    const std::string_view name = path.substr(0, end);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (!isStorableName(name)) return ERROR_INVALID_NAME;
    names.emplace_back(name);
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return ERROR_SUCCESS;
}

std::string_view valueNameOf(LPCSTR valueName) { return valueName ? valueName : ""; }

// Copies a value out with the size rules of RegQueryValueEx.
LONG copyValueData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  if (data && !cbData) return ERROR_INVALID_PARAMETER;
  if (type) *type = value.type;
  if (!cbData) return ERROR_SUCCESS;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (data && needed > *cbData) {
    *cbData = needed;
    return ERROR_MORE_DATA;
  }
  if (data) std::memcpy(data, value.data.data(), needed);
  *cbData = needed;
  return ERROR_SUCCESS;
}

// Copies a name into a buffer of *cch characters, NUL included.
LONG copyName(const std::string& name, LPSTR buffer, LPDWORD cch) {
  if (name.size() >= *cch) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// The common frame of the API calls: the problem text belongs to this call,
// failures set the last error, and no exception leaves.
template <class F>
LONG apiCall(F&& body) {
  t_problem.clear();
  LONG rc;
  try {
    rc = body();
  } catch (const std::bad_alloc&) {
    rc = ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    rc = ERROR_GEN_FAILURE;
  }
  if (rc != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(rc));
  return rc;
}

LONG openKey(HKEY hKey, LPCSTR subKey, PHKEY result, bool create, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  HKEY__ base;
  if (LONG rc = keyOfHandle(hKey, base); rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> names;
  if (LONG rc = splitSubKey(subKey, names); rc != ERROR_SUCCESS) return rc;

  HKEY__ target;
  bool created = false;
  // Walks to the key, creating what is missing when allowed; target gets the
  // names in the case the file has them.
  auto walk = [&](Registry& registry, bool mayCreate) -> LONG {
    Key* key = findKey(registry, base.hive, base.path);
    if (!key) return ERROR_KEY_DELETED;
    target = base;
    created = false;
    for (const std::string& name : names) {
      Key* next = key->findSubkey(name);
      if (!next) {
        if (!mayCreate) return ERROR_FILE_NOT_FOUND;
        next = &key->subkeyOrCreate(name);
        created = true;
      }
      key = next;
      target.path.push_back(key->name);
    }
    return ERROR_SUCCESS;
  };

  // Opening what exists needs no lock and works on a read-only file too.
  LONG rc = readRegistry([&](Registry& registry) { return walk(registry, false); });
  if (rc == ERROR_FILE_NOT_FOUND && create) {
    rc = changeRegistry([&](Registry& registry, bool& changed) {
      const LONG walked = walk(registry, true);
      changed = created;
      return walked;
    });
  }
  if (rc != ERROR_SUCCESS) return rc;
  *result = newHandle(std::move(target));
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyEx(HKEY hKey, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, LPVOID, PHKEY result,
                    LPDWORD disposition) {
  return apiCall([&] { return openKey(hKey, subKey, result, true, disposition); });
}

LONG RegOpenKeyEx(HKEY hKey, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
  return apiCall([&] { return openKey(hKey, subKey, result, false, nullptr); });
}

LONG RegCloseKey(HKEY hKey) {
  return apiCall([&]() -> LONG {
    if (hiveOf(hKey)) return ERROR_SUCCESS;
    {
      std::lock_guard<std::mutex> lock(g_handlesMutex);
      if (g_handles.erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
  });
}

LONG RegQueryValueEx(HKEY hKey, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                     LPDWORD cbData) {
  return apiCall([&]() -> LONG {
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return readRegistry([&](const Registry& registry) -> LONG {
      const Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      const Value* value = found->findValue(valueNameOf(valueName));
      if (!value) return ERROR_FILE_NOT_FOUND;
      return copyValueData(*value, type, data, cbData);
    });
  });
}

LONG RegSetValueEx(HKEY hKey, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                   DWORD cbData) {
  return apiCall([&]() -> LONG {
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    const std::string_view name = valueNameOf(valueName);
    if (!isStorableName(name)) return ERROR_INVALID_NAME;
    if (!data && cbData > 0) return ERROR_INVALID_PARAMETER;
    std::string bytes(reinterpret_cast<const char*>(data), data ? cbData : 0);
    if (type == REG_SZ) {
      bytes.resize(std::min(bytes.find('\0'), bytes.size()));
      bytes.push_back('\0');
    } else if (type == REG_DWORD && cbData != 4) {
      return ERROR_INVALID_PARAMETER;
    }
    return changeRegistry([&](Registry& registry, bool& changed) -> LONG {
      Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      changed = found->setValue(name, type, std::move(bytes));
      return ERROR_SUCCESS;
    });
  });
}

LONG RegEnumKeyEx(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD, LPSTR keyClass,
                  LPDWORD cchClass, PFILETIME lastWriteTime) {
  return apiCall([&]() -> LONG {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return readRegistry([&](const Registry& registry) -> LONG {
      const Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
      if (LONG rc = copyName(found->subkeys[index].name, name, cchName); rc != ERROR_SUCCESS) {
        return rc;
      }
      // Keys have no class and the file keeps no write times.
      if (keyClass && cchClass && *cchClass > 0) keyClass[0] = '\0';
      if (cchClass) *cchClass = 0;
      if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
      return ERROR_SUCCESS;
    });
  });
}

LONG RegEnumValue(HKEY hKey, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD,
                  LPDWORD type, LPBYTE data, LPDWORD cbData) {
  return apiCall([&]() -> LONG {
    if (!valueName || !cchValueName) return ERROR_INVALID_PARAMETER;
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return readRegistry([&](const Registry& registry) -> LONG {
      const Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      if (index >= found->values.size()) return ERROR_NO_MORE_ITEMS;
      const Value& value = found->values[index];
      // The name comes first so that a caller whose data buffer was too small
      // can ask for the value by name.
      if (LONG rc = copyName(value.name, valueName, cchValueName); rc != ERROR_SUCCESS) return rc;
      return copyValueData(value, type, data, cbData);
    });
  });
}

LONG RegDeleteKey(HKEY hKey, LPCSTR subKey) {
  return apiCall([&]() -> LONG {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> names;
    if (LONG rc = splitSubKey(subKey, names); rc != ERROR_SUCCESS) return rc;
    // An empty sub-key deletes the handle's own key.
    std::vector<std::string> parentPath = key.path;
    parentPath.insert(parentPath.end(), names.begin(), names.end());
    if (parentPath.empty()) return ERROR_ACCESS_DENIED;  // a hive itself
    const std::string victim = std::move(parentPath.back());
    parentPath.pop_back();
    return changeRegistry([&](Registry& registry, bool& changed) -> LONG {
      if (!findKey(registry, key.hive, key.path)) return ERROR_KEY_DELETED;
      Key* parent = findKey(registry, key.hive, parentPath);
      const Key* target = parent ? parent->findSubkey(victim) : nullptr;
      if (!target) return ERROR_FILE_NOT_FOUND;
      if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
      parent->eraseSubkey(target);
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LONG RegDeleteValue(HKEY hKey, LPCSTR valueName) {
  return apiCall([&]() -> LONG {
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return changeRegistry([&](Registry& registry, bool& changed) -> LONG {
      Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      changed = found->eraseValue(valueNameOf(valueName));
      return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
  });
}

namespace platform {

std::string registryFilePath() {
  if (const char* path = std::getenv("GWSYNC_REGISTRY"); path && *path) return path;
  // Relative XDG paths are to be ignored, as the base directory rules say.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return std::string(config) + "/gwsync/registry.reg";
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return home + "/.config/gwsync/registry.reg";
}

std::string registryProblem() { return t_problem; }

}  // namespace platform
