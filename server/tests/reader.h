// How a client reads gwserver's replies, written independently of the server
// code from the client's rules: lines end at LF, every CR is dropped, and a
// line splits into fields with quoting and "&#010;" for line breaks.
#pragma once

#include <string>
#include <vector>

namespace gwtest {

inline std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size()) s.replace(p, from.size(), to);
  return s;
}

inline std::vector<std::string> lines(const std::string& body) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : body) {
    if (c == '\n') {
      out.push_back(cur);
      cur.clear();
    } else if (c != '\r') {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// The four-state field splitter of the client.
inline std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0, n = line.size();
  while (i < n) {
    char c = line[i];
    if (c == ',') {
      out.push_back("");
      ++i;
    } else if (c == '"') {
      std::string raw;
      size_t j = i + 1;
      while (j < n) {
        if (line[j] == '"') {
          if (j + 1 < n && line[j + 1] == '"') {
            raw += "\"\"";
            j += 2;
            continue;
          }
          break;
        }
        raw += line[j++];
      }
      out.push_back(replaceAll(replaceAll(raw, "\"\"", "\""), "&#010;", "\n"));
      // after the closing quote: skip to the next comma
      while (j < n && line[j] != ',') ++j;
      i = j < n ? j + 1 : n;
    } else {
      if (i == n - 1) {
        out.push_back(std::string(1, c));
        break;
      }
      size_t j = line.find(',', i);
      std::string raw = line.substr(i, j == std::string::npos ? std::string::npos : j - i);
      out.push_back(replaceAll(raw, "&#010;", "\n"));
      i = j == std::string::npos ? n : j + 1;
    }
  }
  return out;
}

// Field k (0-based) of a split line, "" past its end.
inline std::string field(const std::vector<std::string>& f, size_t k) { return k < f.size() ? f[k] : ""; }

// The record lines of a data page (before its relation section).
inline std::vector<std::string> records(const std::string& body) {
  std::vector<std::string> out;
  for (const auto& l : lines(body)) {
    if (l.empty()) break;
    out.push_back(l);
  }
  return out;
}

// The relation section of a data page: its time stamp line, then the pairs.
inline std::vector<std::string> relationSection(const std::string& body) {
  auto ls = lines(body);
  for (size_t i = 0; i + 1 < ls.size(); ++i)
    if (ls[i].empty() && ls[i + 1] == "relation") return {ls.begin() + static_cast<long>(i) + 2, ls.end()};
  return {};
}

}  // namespace gwtest
