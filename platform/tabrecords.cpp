#include "platform/tabrecords.h"

namespace platform {

namespace {

std::string unescapeField(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

}  // namespace

std::string escapeField(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::vector<std::string> splitRecord(std::string_view line) {
  std::vector<std::string> fields;
  for (;;) {
    size_t tab = line.find('\t');
    fields.push_back(unescapeField(line.substr(0, tab)));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

}  // namespace platform
