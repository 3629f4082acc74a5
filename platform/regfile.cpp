#include "platform/regfile.h"

#include <cstdio>

#include "platform/registry.h"  // the value types

namespace platform::regfile {

namespace {

// Names are bytes in the system's code page (Shift-JIS on a Japanese
// system), so only ASCII letters fold. The byte after a Shift-JIS lead byte
// never folds: a trail byte may fall in the ASCII letter range, and folding it
// would make two different characters one name.
unsigned char foldCase(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

bool isShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc); }

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

// ---------------------------------------------------------------------------
// Names

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

bool sameName(std::string_view a, std::string_view b) { return a.size() == b.size() && compareNames(a, b) == 0; }

// A name with a line break or other control character cannot be written on
// one line of the file.
bool isStorableName(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) { return isControl(static_cast<unsigned char>(c)); });
}

// ---------------------------------------------------------------------------
// The model

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

namespace {

// ---------------------------------------------------------------------------
// Reading the file

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
  return std::none_of(data.begin(), data.end() - 1, [](char c) { return isControl(static_cast<unsigned char>(c)); });
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

}  // namespace

std::optional<ParseError> parseRegistry(std::string_view text, Registry& out) { return Parser(text).parse(out); }

std::string formatRegistry(const Registry& registry) {
  std::string out(kHeader);
  out.push_back('\n');
  for (size_t hive = 0; hive < kHiveNames.size(); ++hive) {
    appendKey(out, std::string(kHiveNames[hive]), registry.hives[hive], true);
  }
  return out;
}

}  // namespace platform::regfile
