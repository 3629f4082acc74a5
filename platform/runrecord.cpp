#include "platform/runrecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

const char* recordPath() {
  const char* path = std::getenv(kRunRecordVariable);
  return path && *path ? path : nullptr;
}

void appendField(std::string& line, std::string_view field) {
  for (char c : field) line += c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
}

void writeWhole(const std::string& text) {
  const char* path = recordPath();
  if (!path || text.empty()) return;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

template <typename Fields>
void appendLine(std::string& out, const Fields& fields) {
  bool first = true;
  for (const auto& f : fields) {
    if (!first) out += '\t';
    first = false;
    appendField(out, f);
  }
  out += '\n';
}

}  // namespace

bool runRecordActive() { return recordPath() != nullptr; }

bool dryRun() {
  const char* v = std::getenv(kDryRunVariable);
  return v && std::strcmp(v, "1") == 0;
}

void appendRunRecord(std::initializer_list<std::string_view> fields) {
  if (!runRecordActive()) return;
  std::string line;
  appendLine(line, fields);
  writeWhole(line);
}

void appendRunRecordLines(const std::vector<std::vector<std::string>>& lines) {
  if (!runRecordActive()) return;
  std::string text;
  for (const auto& fields : lines) appendLine(text, fields);
  writeWhole(text);
}

std::vector<std::string> splitRunRecordLine(std::string_view line) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t tab = line.find('\t', start);
    out.emplace_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return out;
}

}  // namespace platform
