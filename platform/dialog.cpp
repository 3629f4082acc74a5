#include "platform/dialog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "platform/tabrecords.h"
#include "platform/textconv.h"

namespace platform {
namespace {

// ---------------------------------------------------------------------------
// Where answers come from

enum class Source { Script, Terminal, Stdin };

Source answerSource() {
  if (const char* s = std::getenv("GWSYNC_DIALOG_SCRIPT"); s && *s) return Source::Script;
  return ::isatty(STDIN_FILENO) ? Source::Terminal : Source::Stdin;
}

// The script is read once through, across every form of the process. A
// script that names another file, or whose file was replaced or rewritten
// since, starts again from its first line.
struct ScriptState {
  std::string path;
  ino_t inode = 0;
  struct timespec modified = {};
  std::ifstream in;
};

ScriptState& scriptState() {
  static ScriptState state;
  return state;
}

bool nextScriptLine(std::string& line) {
  ScriptState& s = scriptState();
  const char* path = std::getenv("GWSYNC_DIALOG_SCRIPT");
  struct stat st = {};
  if (::stat(path, &st) != 0) return false;
  if (s.path != path || s.inode != st.st_ino || s.modified.tv_sec != st.st_mtim.tv_sec ||
      s.modified.tv_nsec != st.st_mtim.tv_nsec) {
    s.path = path;
    s.inode = st.st_ino;
    s.modified = st.st_mtim;
    s.in = std::ifstream(s.path, std::ios::binary);
  }
  return static_cast<bool>(std::getline(s.in, line));
}

// One line of a descriptor, read byte by byte so that nothing behind it is
// taken from whoever reads the descriptor next. False at the end with
// nothing read.
bool readFdLine(int fd, std::string& line) {
  line.clear();
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

// Echo is switched off while a password is typed; a signal in between must
// not leave the terminal silent.
struct termios g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;

void restoreTerminalOnSignal(int sig) {
  if (g_echoOff) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// The prompt goes out only once echo is off, so that nothing typed in answer
// to it can be echoed.
bool readHiddenLine(const std::string& prompt, std::string& line) {
  if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) {
    std::cerr << prompt << std::flush;
    return readFdLine(STDIN_FILENO, line);
  }
  struct termios quiet = g_savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  auto oldInt = std::signal(SIGINT, restoreTerminalOnSignal);
  auto oldTerm = std::signal(SIGTERM, restoreTerminalOnSignal);
  g_echoOff = 1;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::cerr << prompt << std::flush;
  bool ok = readFdLine(STDIN_FILENO, line);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  g_echoOff = 0;
  std::signal(SIGINT, oldInt);
  std::signal(SIGTERM, oldTerm);
  return ok;
}

// The next answer line, or false at the end of the answers.
bool nextLine(Source source, std::string& line) {
  bool ok = false;
  switch (source) {
    case Source::Script: ok = nextScriptLine(line); break;
    case Source::Terminal:
      std::cerr << "> " << std::flush;
      ok = readFdLine(STDIN_FILENO, line);
      break;
    case Source::Stdin: ok = readFdLine(STDIN_FILENO, line); break;
  }
  if (ok && !line.empty() && line.back() == '\r') line.pop_back();
  return ok;
}

// ---------------------------------------------------------------------------
// The log

const char* kindName(DialogControlKind kind) {
  switch (kind) {
    case DialogControlKind::Edit: return "edit";
    case DialogControlKind::Password: return "password";
    case DialogControlKind::Combo: return "combo";
    case DialogControlKind::Check: return "check";
    case DialogControlKind::Button: return "button";
  }
  return "button";
}

std::string masked(const std::string& value) { return value.empty() ? std::string() : std::string(kPasswordMask); }

// What a form shows for a control's value.
std::string shownValue(const DialogControl& c) {
  switch (c.kind) {
    case DialogControlKind::Edit:
    case DialogControlKind::Combo: return c.text;
    case DialogControlKind::Password: return masked(c.text);
    case DialogControlKind::Check: return c.checked ? "on" : "off";
    case DialogControlKind::Button: return {};
  }
  return {};
}

// Appends text in one write under an exclusive lock, so that records of
// several processes never interleave.
void appendLog(const std::string& text) {
  const char* path = std::getenv("GWSYNC_DIALOG_LOG");
  if (!path || !*path) return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  ssize_t written = ::write(fd, text.data(), text.size());
  (void)written;  // a lost record shows up as a failed assertion in the test
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

std::string formRecord(const CDialog& dlg) {
  std::string out = "form\t" + std::to_string(dlg.resourceId()) + "\t" + escapeField(dlg.title()) + "\n";
  for (const DialogControl& c : dlg.controls()) {
    out += "control\t" + std::to_string(c.id) + "\t" + escapeField(c.name) + "\t" + kindName(c.kind) + "\t" +
           (c.enabled ? "1" : "0") + "\t" + escapeField(c.label) + "\t" + escapeField(shownValue(c)) + "\t" +
           std::to_string(c.kind == DialogControlKind::Combo ? c.selection : -1);
    if (c.kind == DialogControlKind::Combo)
      for (const std::string& item : c.items) out += "\t" + escapeField(item);
    out += "\n";
  }
  return out;
}

void logAnswer(int resourceId, const char* outcome, const std::string& answer) {
  appendLog("answer\t" + std::to_string(resourceId) + "\t" + outcome + "\t" + escapeField(answer) + "\n");
}

// ---------------------------------------------------------------------------
// The terminal form

void printForm(const CDialog& dlg) {
  // Texts are the handheld's (Shift-JIS); the terminal gets its own set.
  bool lossy = false;
  auto shown = [&](const std::string& text) { return handheldToTerminal(text, &lossy); };
  std::ostringstream out;
  out << "== " << shown(dlg.title()) << " ==\n";
  for (const DialogControl& c : dlg.controls()) {
    out << "  " << c.name;
    for (size_t i = c.name.size(); i < 10; ++i) out << ' ';
    switch (c.kind) {
      case DialogControlKind::Button: out << "<" << shown(c.label) << ">"; break;
      case DialogControlKind::Check: out << (c.checked ? "[x] " : "[ ] ") << shown(c.label); break;
      default: out << shown(c.label) << ": " << shown(shownValue(c)); break;
    }
    if (!c.enabled) out << "  (disabled)";
    out << "\n";
    if (c.kind == DialogControlKind::Combo)
      for (size_t i = 0; i < c.items.size(); ++i)
        out << "            #" << i << (static_cast<int>(i) == c.selection ? " * " : "   ") << shown(c.items[i])
            << "\n";
  }
  if (lossy)
    out << "(\\xNN: a byte of Shift-JIS text that the terminal's character set, " << terminalCharset()
        << ", cannot show)\n";
  out << "(name=value sets a field, a button's name presses it; end of input cancels)\n";
  std::cerr << out.str() << std::flush;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// on/off/1/0 (any case); -1 for anything else.
int parseSwitch(std::string_view value) {
  std::string v = trim(value);
  for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (v == "on" || v == "1") return 1;
  if (v == "off" || v == "0") return 0;
  return -1;
}

// "#index" of a combo's item list; -1 when value is no such index.
int parseIndex(std::string_view value, size_t count) {
  if (value.size() < 2 || value[0] != '#') return -1;
  size_t index = 0;
  for (char c : value.substr(1)) {
    if (c < '0' || c > '9') return -1;
    index = index * 10 + static_cast<size_t>(c - '0');
    if (index >= count) return -1;
  }
  return static_cast<int>(index);
}

// One answer line taken apart, and what became of it.
struct Answer {
  std::string name;
  bool hasValue = false;
  std::string value;
  bool secret = false;  // logged masked: a password, or a name that is no control
  const char* outcome = "set";
  std::string problem;  // why it was refused; empty when applied
  bool changed = false;

  void refuse(const char* why, std::string text) {
    outcome = why;
    problem = std::move(text);
  }
  std::string logged() const { return hasValue ? name + "=" + (secret ? masked(value) : value) : name; }
};

void applyCheck(DialogControl& c, Answer& a) {
  int on = a.hasValue ? parseSwitch(a.value) : !c.checked;
  if (on < 0) return a.refuse("invalid", c.name + " takes on or off");
  a.changed = c.checked != (on == 1);
  c.checked = on == 1;
}

// A field typed alone on the terminal has its value asked for (a password
// without echo); a password typed on the answer line is already on the
// screen, so the terminal refuses it there. False at the end of input.
bool askFieldValue(const DialogControl& c, Source source, Answer& a) {
  if (!a.hasValue && source == Source::Terminal) {
    const std::string prompt = c.label + ": ";
    bool read = false;
    if (c.kind == DialogControlKind::Password) {
      read = readHiddenLine(prompt, a.value);
    } else {
      std::cerr << prompt << std::flush;
      read = readFdLine(STDIN_FILENO, a.value);
    }
    if (!read) return false;
    if (!a.value.empty() && a.value.back() == '\r') a.value.pop_back();
    a.hasValue = true;
  } else if (!a.hasValue) {
    a.refuse("invalid", c.name + " needs a value: " + c.name + "=...");
  } else if (source == Source::Terminal && c.kind == DialogControlKind::Password) {
    a.refuse("invalid", "type \"" + c.name + "\" alone to enter the password without echo");
  }
  return true;
}

// A combo box takes an item's text, then "#index", then (when editable)
// any text.
void applyField(DialogControl& c, Answer& a) {
  if (c.kind != DialogControlKind::Combo) {
    a.changed = c.text != a.value;
    c.text = a.value;
    return;
  }
  int index = -1;
  for (size_t i = 0; i < c.items.size() && index < 0; ++i)
    if (c.items[i] == a.value) index = static_cast<int>(i);
  if (index < 0) index = parseIndex(a.value, c.items.size());
  if (index < 0 && !c.editable) return a.refuse("invalid", c.name + " has no item \"" + a.value + "\"");
  const std::string& text = index >= 0 ? c.items[static_cast<size_t>(index)] : a.value;
  a.changed = c.selection != index || c.text != text;
  c.selection = index;
  c.text = text;
}

}  // namespace

// ---------------------------------------------------------------------------
// CDialog

CDialog::CDialog(std::string title, int resourceId) : m_Title(std::move(title)), m_ResourceId(resourceId) {}

DialogControl& CDialog::add(DialogControl c) {
  m_Controls.push_back(std::move(c));
  return m_Controls.back();
}

namespace {

DialogControl newControl(int id, std::string name, std::string label, DialogControlKind kind) {
  DialogControl c;
  c.id = id;
  c.name = std::move(name);
  c.label = std::move(label);
  c.kind = kind;
  return c;
}

}  // namespace

DialogControl& CDialog::addEdit(int id, std::string name, std::string label, std::string text) {
  DialogControl& c = add(newControl(id, std::move(name), std::move(label), DialogControlKind::Edit));
  c.text = std::move(text);
  return c;
}

DialogControl& CDialog::addPassword(int id, std::string name, std::string label, std::string text) {
  DialogControl& c = addEdit(id, std::move(name), std::move(label), std::move(text));
  c.kind = DialogControlKind::Password;
  return c;
}

DialogControl& CDialog::addCombo(int id, std::string name, std::string label, bool editable) {
  DialogControl& c = add(newControl(id, std::move(name), std::move(label), DialogControlKind::Combo));
  c.editable = editable;
  return c;
}

DialogControl& CDialog::addCheck(int id, std::string name, std::string label, bool checked) {
  DialogControl& c = add(newControl(id, std::move(name), std::move(label), DialogControlKind::Check));
  c.checked = checked;
  c.notify = true;
  return c;
}

DialogControl& CDialog::addButton(int id, std::string name, std::string label) {
  return add(newControl(id, std::move(name), std::move(label), DialogControlKind::Button));
}

DialogControl* CDialog::control(int id) {
  for (DialogControl& c : m_Controls)
    if (c.id == id) return &c;
  return nullptr;
}

const DialogControl* CDialog::control(int id) const { return const_cast<CDialog*>(this)->control(id); }

DialogControl* CDialog::byName(std::string_view name) {
  for (DialogControl& c : m_Controls)
    if (c.name == name) return &c;
  return nullptr;
}

std::string CDialog::text(int id) const {
  const DialogControl* c = control(id);
  return c ? c->text : std::string();
}

void CDialog::setText(int id, std::string_view text) {
  DialogControl* c = control(id);
  if (!c) return;
  c->text = text;
  if (c->kind == DialogControlKind::Combo) {
    c->selection = -1;
    for (size_t i = 0; i < c->items.size() && c->selection < 0; ++i)
      if (c->items[i] == text) c->selection = static_cast<int>(i);
  }
}

bool CDialog::checked(int id) const {
  const DialogControl* c = control(id);
  return c && c->checked;
}

void CDialog::setChecked(int id, bool on) {
  if (DialogControl* c = control(id)) c->checked = on;
}

void CDialog::enable(int id, bool on) {
  if (DialogControl* c = control(id)) c->enabled = on;
}

void CDialog::resetContent(int id) {
  if (DialogControl* c = control(id)) {
    c->items.clear();
    c->text.clear();
    c->selection = -1;
  }
}

int CDialog::addItem(int id, std::string text) {
  DialogControl* c = control(id);
  if (!c) return -1;
  c->items.push_back(std::move(text));
  return static_cast<int>(c->items.size()) - 1;
}

void CDialog::select(int id, int index) {
  DialogControl* c = control(id);
  if (!c) return;
  if (index < 0 || static_cast<size_t>(index) >= c->items.size()) {
    c->selection = -1;
    c->text.clear();
    return;
  }
  c->selection = index;
  c->text = c->items[static_cast<size_t>(index)];
}

int CDialog::selection(int id) const {
  const DialogControl* c = control(id);
  return c ? c->selection : -1;
}

void CDialog::show() const {
  appendLog(formRecord(*this));
  if (answerSource() != Source::Script) printForm(*this);
}

int CDialog::run() {
  const Source source = answerSource();
  bool showForm = true;
  for (;;) {
    if (showForm) show();
    showForm = false;

    std::string line;
    if (!nextLine(source, line)) {
      logAnswer(m_ResourceId, "end", "");
      return IDCANCEL;
    }
    const std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;

    const size_t eq = line.find('=');
    Answer a;
    a.hasValue = eq != std::string::npos;
    a.name = trim(std::string_view(line).substr(0, eq));
    if (a.hasValue) a.value = line.substr(eq + 1);
    DialogControl* c = byName(a.name);
    a.secret = !c || c->kind == DialogControlKind::Password;
    if (!c) {
      a.refuse("unknown", "there is no field or button \"" + a.name + "\"");
    } else if (!c->enabled) {
      a.refuse("disabled", c->name + " is disabled");
    } else if (c->kind == DialogControlKind::Button) {
      if (a.hasValue) a.refuse("invalid", c->name + " is a button: type its name alone");
      else a.outcome = "pressed";
    } else if (c->kind == DialogControlKind::Check) {
      applyCheck(*c, a);
    } else if (!askFieldValue(*c, source, a)) {
      logAnswer(m_ResourceId, "end", "");
      return IDCANCEL;
    } else if (a.problem.empty()) {
      // Typed in the terminal's character set; held as the handheld's.
      if (std::optional<std::string> held = terminalToHandheld(a.value)) {
        a.value = std::move(*held);
        applyField(*c, a);
      } else {
        a.refuse("invalid",
                 c->name + ": the text is not " + terminalCharset() + " or has characters without a Shift-JIS form");
      }
    }

    logAnswer(m_ResourceId, a.outcome, a.logged());
    if (!a.problem.empty()) {
      if (source != Source::Script) std::cerr << "! " << a.problem << "\n" << std::flush;
      continue;
    }
    if (c->kind == DialogControlKind::Button) return c->id;
    showForm = true;
    if (a.changed && c->notify) return c->id;
  }
}

// ---------------------------------------------------------------------------
// Reading the log back

std::vector<DialogLogRecord> readDialogLog(const std::string& path) {
  std::vector<DialogLogRecord> records;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f = splitRecord(line);
    if (f[0] == "form" && f.size() == 3) {
      DialogLogRecord r;
      r.type = DialogLogRecord::Form;
      r.resourceId = std::atoi(f[1].c_str());
      r.title = f[2];
      records.push_back(std::move(r));
    } else if (f[0] == "control" && f.size() >= 8 && !records.empty() && records.back().type == DialogLogRecord::Form) {
      DialogLogControl c;
      c.id = std::atoi(f[1].c_str());
      c.name = f[2];
      c.kind = f[3];
      c.enabled = f[4] == "1";
      c.label = f[5];
      c.value = f[6];
      c.selection = std::atoi(f[7].c_str());
      c.items.assign(f.begin() + 8, f.end());
      records.back().controls.push_back(std::move(c));
    } else if (f[0] == "answer" && f.size() == 4) {
      DialogLogRecord r;
      r.type = DialogLogRecord::Answer;
      r.resourceId = std::atoi(f[1].c_str());
      r.outcome = f[2];
      r.answer = f[3];
      records.push_back(std::move(r));
    }
  }
  return records;
}

}  // namespace platform
