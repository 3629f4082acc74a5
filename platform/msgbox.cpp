#include "platform/msgbox.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/tabrecords.h"

using platform::escapeField;
using platform::splitRecord;

namespace {

const char* iconName(UINT style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONHAND: return "stop";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "exclamation";
    case MB_ICONASTERISK: return "information";
    default: return "none";
  }
}

struct Button {
  int id;
  const char* name;
};

// The buttons of a style, default first.
std::vector<Button> buttonsOf(UINT style) {
  switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL: return {{IDOK, "ok"}, {IDCANCEL, "cancel"}};
    case MB_ABORTRETRYIGNORE: return {{IDABORT, "abort"}, {IDRETRY, "retry"}, {IDIGNORE, "ignore"}};
    case MB_YESNOCANCEL: return {{IDYES, "yes"}, {IDNO, "no"}, {IDCANCEL, "cancel"}};
    case MB_YESNO: return {{IDYES, "yes"}, {IDNO, "no"}};
    case MB_RETRYCANCEL: return {{IDRETRY, "retry"}, {IDCANCEL, "cancel"}};
    default: return {{IDOK, "ok"}};
  }
}

int parseAnswer(const std::string& word, int fallback) {
  static const Button kNames[] = {{IDOK, "ok"},         {IDCANCEL, "cancel"}, {IDABORT, "abort"}, {IDRETRY, "retry"},
                                  {IDIGNORE, "ignore"}, {IDYES, "yes"},       {IDNO, "no"}};
  std::string w;
  for (char c : word)
    if (!std::isspace(static_cast<unsigned char>(c)))
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Button& b : kNames)
    if (w == b.name) return b.id;
  char* end = nullptr;
  long n = std::strtol(w.c_str(), &end, 10);
  return (!w.empty() && *end == '\0') ? static_cast<int>(n) : fallback;
}

// The n-th answer of $GWSYNC_MSGBOX_ANSWERS, or fallback.
int scriptedAnswer(size_t n, int fallback) {
  const char* list = std::getenv("GWSYNC_MSGBOX_ANSWERS");
  if (!list) return fallback;
  std::stringstream in(list);
  std::string word;
  for (size_t i = 0; std::getline(in, word, ','); ++i)
    if (i == n) return parseAnswer(word, fallback);
  return fallback;
}

// Appends a record under an exclusive lock, so that the count of earlier
// records and the append are one step even when several processes show boxes.
int scriptedBox(const char* logPath, const std::string& text, const std::string& caption, UINT style, int fallback) {
  int fd = ::open(logPath, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return fallback;
  ::flock(fd, LOCK_EX);
  size_t shown = 0;
  char chunk[4096];
  ssize_t n;
  ::lseek(fd, 0, SEEK_SET);
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
    for (ssize_t i = 0; i < n; ++i) shown += chunk[i] == '\n';
  int answer = scriptedAnswer(shown, fallback);
  char styleText[16];
  std::snprintf(styleText, sizeof styleText, "0x%08x", style);
  std::string record = escapeField(caption) + "\t" + escapeField(text) + "\t" + styleText + "\t" + iconName(style) +
                       "\t" + std::to_string(answer) + "\n";
  ssize_t written = ::write(fd, record.data(), record.size());
  (void)written;  // a lost record shows up as a failed assertion in the test
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return answer;
}

int terminalBox(const std::string& text, const std::string& caption, UINT style) {
  std::vector<Button> buttons = buttonsOf(style);
  std::cerr << "== " << caption << " ==\n" << text;
  if (text.empty() || text.back() != '\n') std::cerr << '\n';
  if (!::isatty(STDIN_FILENO)) return buttons.front().id;
  if (buttons.size() == 1) {
    std::cerr << "[Enter] " << std::flush;
    std::string line;
    std::getline(std::cin, line);
    return buttons.front().id;
  }
  for (;;) {
    for (size_t i = 0; i < buttons.size(); ++i)
      std::cerr << (i ? " / " : "") << '[' << static_cast<char>(std::toupper(buttons[i].name[0])) << ']'
                << (buttons[i].name + 1);
    std::cerr << "? " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return buttons.front().id;
    if (line.empty()) return buttons.front().id;
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
    for (const Button& b : buttons)
      if (b.name[0] == c) return b.id;
  }
}

}  // namespace

int MessageBox(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT style) {
  std::string body = text ? text : "";
  std::string title = caption ? caption : "Error";
  int fallback = buttonsOf(style).front().id;
  if (const char* log = std::getenv("GWSYNC_MSGBOX_LOG"); log && *log)
    return scriptedBox(log, body, title, style, fallback);
  return terminalBox(body, title, style);
}

namespace platform {

std::vector<MessageBoxRecord> readMessageBoxLog(const std::string& path) {
  std::vector<MessageBoxRecord> records;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f = splitRecord(line);
    if (f.size() != 5) continue;
    MessageBoxRecord r;
    r.caption = f[0];
    r.text = f[1];
    r.style = static_cast<UINT>(std::strtoul(f[2].c_str(), nullptr, 16));
    r.icon = f[3];
    r.answer = std::atoi(f[4].c_str());
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace platform
