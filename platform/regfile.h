// The registry file's text: a pure model of keys and values, the parser of
// the REGEDIT4 text and its writer. No file access: the registry API reads
// and writes the file (platform/registry.cpp), the fuzz target feeds the
// parser any bytes.
//
//   platform::regfile::Registry r;
//   if (auto error = platform::regfile::parseRegistry(text, r)) ... error->line
//   std::string again = platform::regfile::formatRegistry(r);
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/wintypes.h"

namespace platform::regfile {

// The position of the next key-path separator: a backslash that is not the
// second byte of a Shift-JIS character (as in "\x83\x5c"), or npos.
size_t findSeparator(std::string_view path);
// Upper-case order of names, as the registry sorts its keys; only ASCII
// letters fold, never a Shift-JIS trail byte.
int compareNames(std::string_view a, std::string_view b);
bool sameName(std::string_view a, std::string_view b);
// A name with a line break or other control character cannot be written on
// one line of the file.
bool isStorableName(std::string_view name);

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

  Key* findSubkey(std::string_view wanted) { return const_cast<Key*>(std::as_const(*this).findSubkey(wanted)); }

  Key& subkeyOrCreate(std::string_view wanted) {
    const size_t slot = subkeySlot(wanted);
    if (slot < subkeys.size() && sameName(subkeys[slot].name, wanted)) return subkeys[slot];
    return *subkeys.insert(subkeys.begin() + static_cast<ptrdiff_t>(slot), Key{std::string(wanted), {}, {}});
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
    auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return sameName(v.name, wanted); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
  }

 private:
  // Where a sub-key of that name is, or would go.
  size_t subkeySlot(std::string_view wanted) const {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), wanted,
                               [](const Key& k, std::string_view n) { return compareNames(k.name, n) < 0; });
    return static_cast<size_t>(it - subkeys.begin());
  }
};

// In the order of the predefined handles, which is also the order of the
// sections in the file.
constexpr std::array<std::string_view, 4> kHiveNames = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                                        "HKEY_USERS"};
constexpr std::array<std::string_view, 4> kHiveShortNames = {"HKCR", "HKCU", "HKLM", "HKU"};

struct Registry {
  std::array<Key, kHiveNames.size()> hives;
};

// The key at path below a hive, or null.
const Key* findKey(const Registry& registry, size_t hive, const std::vector<std::string>& path);
Key* findKey(Registry& registry, size_t hive, const std::vector<std::string>& path);

struct ParseError {
  size_t line;  // 1-based
  std::string message;
};

// Reads the text of a registry file into out (empty text: nothing); a text
// that is not a registry file answers where and why.
std::optional<ParseError> parseRegistry(std::string_view text, Registry& out);
// The text of the file, which parseRegistry reads back the same.
std::string formatRegistry(const Registry& registry);

}  // namespace platform::regfile
