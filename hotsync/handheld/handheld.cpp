// handheld: what a person does on the device, from the command line.
//
//   handheld create ~/palm
//   handheld --folder ~/palm add memo --text $'Shopping\nmilk' --category Personal
//   handheld --folder ~/palm list memo
//   handheld --folder ~/palm delete memo 0x2
//   handheld --folder ~/palm add todo --description Taxes --due 2026-04-15 --priority 1
//   handheld --folder ~/palm add event --description Meeting --date 2026-12-08 --start 09:30 --end 10:30
//
// Every change is made as the handheld's own applications make it: new and
// edited records are dirty, deleted records keep their id with the deleted
// mark (archived ones keep their data too), renamed categories get their
// renamed bit. Changes go through the same durable store as the Sync
// Manager, so a HotSync running at the same time makes this tool wait.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hotsync/handheld/records.h"
#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "platform/cmdline.h"
#include "platform/textconv.h"

namespace {

using palm::Record;
using palm::StoredDatabase;

// A failure to report: the message and the exit code (1 a refused action,
// 2 a wrong command line).
struct Failure {
  std::string message;
  int exitCode = 1;
};
[[noreturn]] void usageError(const std::string& message) { throw Failure{message, 2}; }
[[noreturn]] void refuse(const std::string& message) { throw Failure{message, 1}; }

// ---- Applications ----

enum class App { Address, Memo, Mail, ToDo, Event };

struct AppInfo {
  const char* word;
  App app;
  const char* database;
  const char* creator;
};

const AppInfo kApps[] = {
    {"address", App::Address, "AddressDB", "addr"}, {"memo", App::Memo, "MemoDB", "memo"},
    {"mail", App::Mail, "MailDB", "mail"},          {"todo", App::ToDo, "ToDoDB", "todo"},
    {"event", App::Event, "DatebookDB", "date"},
};

const AppInfo& appByWord(const std::string& word) {
  for (const AppInfo& a : kApps)
    if (word == a.word) return a;
  usageError("unknown application \"" + word + "\" (address, memo, mail, todo or event)");
}

uint32_t creatorOf(const AppInfo& a) { return palm::fourCC(*reinterpret_cast<const char(*)[5]>(a.creator)); }

// ---- Text between the terminal and the handheld ----

std::string g_folder;
std::string g_charset;  // from --charset; else the folder's "charset" file; else CP932
bool g_raw = false;     // --raw: texts pass byte for byte, as scripts want them

std::string folder();

// The handheld's character set: --charset, else the first line of the
// folder's "charset" file, else Shift-JIS.
const std::string& charset() {
  static std::string chosen;
  if (!chosen.empty()) return chosen;
  std::string name = g_charset;
  if (name.empty()) {
    const char* env = std::getenv("GWSYNC_HANDHELD");
    std::string dir = !g_folder.empty() ? g_folder : env ? env : "";
    if (FILE* f = dir.empty() ? nullptr : std::fopen((dir + "/charset").c_str(), "r")) {
      char line[64] = {};
      if (std::fgets(line, sizeof line, f)) name = line;
      std::fclose(f);
      while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    }
  }
  if (name.empty()) name = platform::kHandheldCharset;
  if (!platform::knownCharset(name)) usageError("unknown character set \"" + name + "\"");
  return chosen = name;
}

// A text typed on the command line, in the handheld's character set; what
// cannot be converted is refused, naming the field.
std::string takeText(const std::string& field, const std::string& typed) {
  if (g_raw) {
    if (auto bad = platform::invalidHandheldByte(typed, charset()))
      refuse(field + ": byte " + std::to_string(*bad + 1) + " is not valid " + charset() +
             " (a lead byte without its second byte, or an unassigned byte)");
    return typed;
  }
  std::optional<std::string> converted = platform::terminalToHandheld(typed, charset());
  if (!converted)
    refuse(field + ": the text is not valid " + platform::terminalCharset() + " or has a character that " + charset() +
           " (the handheld's character set) cannot hold; nothing was changed");
  return *converted;
}

// A handheld text as the terminal shows it (escapes for what has no form).
std::string show(const std::string& stored) {
  return g_raw ? stored : platform::handheldToTerminal(stored, nullptr, charset());
}

// ---- Command line ----

using Args = platform::CommandArgs;

// Splits arguments by the command's option lists. Unknown options and
// missing values are usage errors. --raw and --charset are taken first,
// wherever they stand; every option value is then taken as a typed text.
Args parseArgs(const std::vector<std::string>& given, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags) {
  std::vector<std::string> in;
  for (size_t i = 0; i < given.size(); ++i) {
    if (given[i] == "--raw") {
      g_raw = true;
    } else if (given[i] == "--charset") {
      if (i + 1 >= given.size()) usageError("--charset needs a value");
      g_charset = given[++i];
    } else {
      in.push_back(given[i]);
    }
  }
  try {
    return platform::parseCommandArgs(in, valued, flags, takeText);
  } catch (const platform::CommandLineError& e) {
    usageError(e.what());
  }
}

uint32_t parseId(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end || errno || v == 0 || v > 0xFFFFFF)
    usageError("\"" + text + "\" is not a record id (1 to 0xFFFFFF)");
  return static_cast<uint32_t>(v);
}

void needPositional(const Args& a, size_t n, const char* what) {
  if (a.positional.size() < n) usageError(std::string("missing ") + what);
  if (a.positional.size() > n) usageError("unexpected argument \"" + a.positional[n] + "\"");
}

// ---- The folder and its databases ----

std::string folder() {
  if (!g_folder.empty()) return g_folder;
  const char* env = std::getenv("GWSYNC_HANDHELD");
  if (env && *env) return env;
  usageError("no handheld folder: give --folder DIR or set GWSYNC_HANDHELD");
}

palm::CategoryBlock categories(const StoredDatabase& db) {
  palm::CategoryBlock c;
  if (!db.db().appInfo || !palm::parseCategoryBlock(*db.db().appInfo, c)) refuse(db.path() + " has no category block");
  return c;
}

// Whether the folder holds a handheld (its Address Book).
bool hasHandheld() {
  struct stat st {};
  return ::stat(palm::databaseFile(folder(), "AddressDB", false).c_str(), &st) == 0;
}

// Makes an application's empty database with its standard categories.
palm::StoreStatus createDatabase(const AppInfo& app, std::unique_ptr<StoredDatabase>& made) {
  palm::Database db;
  db.name = app.database;
  db.attributes = palm::kDbBackup;
  db.type = palm::fourCC("DATA");
  db.creator = creatorOf(app);
  db.created = db.modified = palm::palmNow();
  db.appInfo = palm::defaultAppInfo(db.creator);
  return StoredDatabase::create(folder(), db, made);
}

// Opens an application's database. Reading and writing pass the same checks
// (the store's, then the category block every application has), so a file
// that cannot be listed is never rewritten either.
std::unique_ptr<StoredDatabase> openApp(const AppInfo& app, bool writable) {
  std::unique_ptr<StoredDatabase> db;
  palm::StoreStatus st = StoredDatabase::open(folder(), app.database, writable, db);
  if (st.code == palm::StoreError::NotFound && writable && (app.app == App::ToDo || app.app == App::Event) &&
      hasHandheld()) {
    // Handhelds made before the To Do List or the Date Book was kept get it as the handheld
    // would: empty, with its standard categories.
    st = createDatabase(app, db);
    if (st.code == palm::StoreError::Exists) st = StoredDatabase::open(folder(), app.database, writable, db);
  }
  if (st.code == palm::StoreError::NotFound)
    refuse("the handheld in " + folder() + " has no " + app.database + " (run \"handheld create\" first)");
  if (!st) refuse(st.message);
  categories(*db);
  return db;
}

void check(const palm::StoreStatus& st) {
  if (!st) refuse(st.message);
}

void storeCategories(StoredDatabase& db, const palm::CategoryBlock& c) {
  std::string block = *db.db().appInfo;
  palm::storeCategoryBlock(c, block);
  check(db.setAppInfo(block));
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

int findCategory(const palm::CategoryBlock& c, const std::string& name) {
  for (int i = 0; i < 16; ++i)
    if (!c.names[i].empty() && c.names[i] == name) return i;
  for (int i = 0; i < 16; ++i)
    if (!c.names[i].empty() && sameName(c.names[i], name)) return i;
  return -1;
}

int categoryIndex(const StoredDatabase& db, const std::string& name) {
  int i = findCategory(categories(db), name);
  if (i < 0) refuse("no category \"" + show(name) + "\" (see \"handheld categories\")");
  return i;
}

const Record& recordById(const StoredDatabase& db, uint32_t id) {
  long at = db.indexOf(id);
  if (at < 0) refuse("no record with id " + std::to_string(id));
  return db.db().records[static_cast<size_t>(at)];
}

// ---- Showing records ----

std::string attributeWords(const Record& r) {
  std::string w;
  auto add = [&](bool on, const char* word) {
    if (!on) return;
    if (!w.empty()) w += ',';
    w += word;
  };
  add(r.dirty, "dirty");
  add(r.secret, "private");
  add(r.deleted, "deleted");
  add(r.archived, "archived");
  return w.empty() ? "-" : w;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// "YYYY-MM-DD", or "-" without a due date.
std::string dueText(const palm::ToDoRecord& t) {
  if (!t.hasDueDate()) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

// ---- Date Book texts ----

const char* const kRepeatWords[6] = {"none", "daily", "weekly", "monthly-by-day", "monthly-by-date", "yearly"};
const char* const kWeekdays[7] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
const char* const kWeekNames[5] = {"1st", "2nd", "3rd", "4th", "last"};

std::string repeatWord(uint8_t type) { return type < 6 ? kRepeatWords[type] : "type " + std::to_string(type); }

// "YYYY-MM-DD" of a handheld date.
std::string dayText(uint16_t date) {
  const palm::Ymd d = palm::unpackDate(date);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.day);
  return text;
}

// "HH:MM-HH:MM", or "-" for an event without time.
std::string timeText(const palm::EventRecord& e) {
  if (!e.timed()) return "-";
  char text[24];
  std::snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", e.startHour, e.startMinute, e.endHour, e.endMinute);
  return text;
}

// "weekly every 2 until 2027-03-31 on mon,wed".
std::string repeatText(const palm::EventRepeat& r) {
  std::string s = repeatWord(r.type) + " every " + std::to_string(r.frequency) + " until " +
                  (r.end == palm::kNoEnd ? std::string("-") : dayText(r.end));
  if (r.type == palm::kRepeatWeekly) {
    std::string days;
    for (int d = 0; d < 7; ++d)
      if (r.on & (1 << d)) days += (days.empty() ? "" : ",") + std::string(kWeekdays[d]);
    s += " on " + (days.empty() ? std::string("-") : days);
  } else if (r.type == palm::kRepeatMonthlyByDay) {
    s += std::string(" on ") + kWeekNames[std::min(r.on / 7, 4)] + " " + kWeekdays[r.on % 7];
  }
  return s;
}

std::string summary(App app, const Record& r) {
  if (r.deleted) return "";
  std::string why;
  switch (app) {
    case App::Address: {
      palm::AddressRecord a;
      if (!palm::parseAddress(r.data, a, &why)) return "(unreadable: " + why + ")";
      std::string s = a.fields[palm::kLastName].value_or("");
      if (a.fields[palm::kFirstName] && !a.fields[palm::kFirstName]->empty())
        s += (s.empty() ? "" : ", ") + *a.fields[palm::kFirstName];
      if (s.empty()) s = a.fields[palm::kCompany].value_or("");
      return s;
    }
    case App::Memo: return firstLine(palm::memoText(r.data));
    case App::Mail: {
      palm::MailRecord m;
      if (!palm::parseMail(r.data, m, &why)) return "(unreadable: " + why + ")";
      return m.texts[palm::kSubject];
    }
    case App::ToDo: {
      palm::ToDoRecord t;
      if (!palm::parseToDo(r.data, t, &why)) return "(unreadable: " + why + ")";
      return std::string(t.completed ? "[x] " : "[ ] ") + std::to_string(t.priority) + " " + dueText(t) + " " +
             t.description;
    }
    case App::Event: {
      palm::EventRecord e;
      if (!palm::parseEvent(r.data, e, &why)) return "(unreadable: " + why + ")";
      std::string s = dayText(e.date) + " " + timeText(e) + " " + e.description.value_or("");
      if (e.repeat && e.repeat->type != palm::kRepeatNone) s += " (" + repeatWord(e.repeat->type) + ")";
      return s;
    }
  }
  return "";
}

std::string categoryName(const palm::CategoryBlock& c, const Record& r) {
  if (!r.live()) return "-";
  // The Date Book names no categories: its records all stay in the first.
  if (c.names[r.category].empty()) return r.category == 0 ? "-" : "#" + std::to_string(r.category);
  return c.names[r.category];
}

void printField(const char* name, const std::string& value) {
  std::string line = std::string(name) + ": " + show(value) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void showRecord(App app, const palm::CategoryBlock& c, const Record& r) {
  std::printf("id: %u\n", r.uniqueId);
  printField("category", categoryName(c, r));
  printField("attributes", attributeWords(r));
  if (r.deleted) return;
  std::string why;
  switch (app) {
    case App::Address: {
      palm::AddressRecord a;
      if (!palm::parseAddress(r.data, a, &why)) refuse(why);
      for (int k = 0; k < palm::kAddressFieldCount; ++k) {
        if (!a.fields[k]) continue;
        std::string name = palm::kAddressFieldNames[k];
        if (k >= palm::kPhone1 && k <= palm::kPhone5)
          name += std::string(" (") + palm::kPhoneLabels[a.phoneLabel(k - palm::kPhone1) & 7] + ")";
        printField(name.c_str(), *a.fields[k]);
      }
      std::printf("shown phone: %d\n", a.shownPhone() + 1);
      break;
    }
    case App::Memo: printField("text", palm::memoText(r.data)); break;
    case App::Mail: {
      palm::MailRecord m;
      if (!palm::parseMail(r.data, m, &why)) refuse(why);
      if (m.year) std::printf("date: %04d-%02d-%02d %02d:%02d\n", m.year, m.month, m.day, m.hour, m.minute);
      else std::printf("date: -\n");
      static const char* const kPriorities[4] = {"high", "normal", "low", "?"};
      std::printf("read: %s\npriority: %s\n", (m.flags & palm::kMailRead) ? "yes" : "no", kPriorities[m.priority()]);
      for (int t = 0; t < palm::kMailTextCount; ++t) printField(palm::kMailTextNames[t], m.texts[t]);
      break;
    }
    case App::ToDo: {
      palm::ToDoRecord t;
      if (!palm::parseToDo(r.data, t, &why)) refuse(why);
      std::printf("due: %s\npriority: %d\ncompleted: %s\n", dueText(t).c_str(), t.priority, t.completed ? "yes" : "no");
      printField("description", t.description);
      printField("note", t.note);
      break;
    }
    case App::Event: {
      palm::EventRecord e;
      if (!palm::parseEvent(r.data, e, &why)) refuse(why);
      std::printf("date: %s\ntime: %s\n", dayText(e.date).c_str(), timeText(e).c_str());
      static const char* const kUnits[3] = {"m", "h", "d"};
      if (e.alarm) std::printf("alarm: %d%s\n", e.alarm->advance, e.alarm->unit < 3 ? kUnits[e.alarm->unit] : "?");
      else std::printf("alarm: -\n");
      std::printf("repeat: %s\n", e.repeat ? repeatText(*e.repeat).c_str() : "-");
      std::string dates;
      for (uint16_t d : e.exceptions.value_or(std::vector<uint16_t>{}))
        dates += (dates.empty() ? "" : " ") + dayText(d);
      std::printf("exceptions: %s\n", dates.empty() ? "-" : dates.c_str());
      printField("description", e.description.value_or(""));
      printField("note", e.note.value_or(""));
      break;
    }
  }
}

// ---- Building records from options ----

const std::vector<std::string> kAddressOptions = {"last",    "first",   "company", "phone",    "address",   "city",
                                                  "state",   "zip",     "country", "title",    "custom1",   "custom2",
                                                  "custom3", "custom4", "note",    "category", "show-phone"};
const std::vector<std::string> kMemoOptions = {"text", "category"};
const std::vector<std::string> kMailOptions = {"subject", "from", "to",   "cc",       "bcc",     "reply-to",
                                               "sent-to", "body", "date", "priority", "category"};
const std::vector<std::string> kToDoOptions = {"description", "note", "due", "priority", "category"};
const std::vector<std::string> kRecordFlags = {"private", "public", "read", "unread", "help"};
const std::vector<std::string> kToDoFlags = {"private", "public", "completed", "not-completed", "help"};
const std::vector<std::string> kEventOptions = {"description", "note",  "date",  "start", "end",   "alarm",
                                                "repeat",      "every", "until", "on",    "except"};
const std::vector<std::string> kEventFlags = {"private", "public", "untimed", "help"};

int phoneLabel(const std::string& word) {
  for (int i = 0; i < 8; ++i)
    if (word == palm::kPhoneLabels[i]) return i;
  usageError("unknown phone label \"" + word + "\" (work, home, fax, other, e-mail, main, pager, mobile)");
}

// Applies the address options to a record; an empty value removes a field.
void applyAddress(const Args& a, palm::AddressRecord& r) {
  static const std::pair<const char*, int> kPlain[] = {
      {"last", palm::kLastName},   {"first", palm::kFirstName}, {"company", palm::kCompany},
      {"address", palm::kAddress}, {"city", palm::kCity},       {"state", palm::kState},
      {"zip", palm::kZip},         {"country", palm::kCountry}, {"title", palm::kTitle},
      {"custom1", palm::kCustom1}, {"custom2", palm::kCustom2}, {"custom3", palm::kCustom3},
      {"custom4", palm::kCustom4}, {"note", palm::kNote}};
  for (const auto& [option, field] : kPlain)
    if (auto v = a.get(option)) r.fields[field] = v->empty() ? std::nullopt : std::optional<std::string>(*v);
  std::vector<std::string> phones = a.all("phone");
  if (!phones.empty()) {
    if (phones.size() > 5) usageError("at most 5 phones");
    for (int slot = 0; slot < 5; ++slot) {
      r.fields[palm::kPhone1 + slot].reset();
      r.setPhoneLabel(slot, (palm::kDefaultAddressOptions >> (4 * slot)) & 0xF);
    }
    for (size_t slot = 0; slot < phones.size(); ++slot) {
      size_t eq = phones[slot].find('=');
      if (eq == std::string::npos) usageError("--phone takes LABEL=NUMBER, e.g. mobile=090-1234");
      r.setPhoneLabel(static_cast<int>(slot), phoneLabel(phones[slot].substr(0, eq)));
      std::string number = phones[slot].substr(eq + 1);
      if (!number.empty()) r.fields[palm::kPhone1 + slot] = number;
    }
  }
  if (auto v = a.get("show-phone")) {
    if (v->size() != 1 || (*v)[0] < '1' || (*v)[0] > '5') usageError("--show-phone takes 1 to 5");
    r.options = (r.options & ~0x00F00000u) | (uint32_t((*v)[0] - '1') << 20);
  }
}

void parseDate(const std::string& text, palm::MailRecord& m) {
  int y, mo, d, h = 0, mi = 0;
  char tail;
  int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d%c", &y, &mo, &d, &h, &mi, &tail);
  if ((n != 3 && n != 5) || y < 1904 || y > 2031 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
      mi > 59)
    usageError("--date takes YYYY-MM-DD or \"YYYY-MM-DD HH:MM\" (years 1904 to 2031)");
  m.year = y, m.month = mo, m.day = d, m.hour = h, m.minute = mi;
}

void applyMail(const Args& a, palm::MailRecord& m) {
  static const std::pair<const char*, int> kTexts[] = {
      {"subject", palm::kSubject}, {"from", palm::kFrom},        {"to", palm::kTo},          {"cc", palm::kCc},
      {"bcc", palm::kBcc},         {"reply-to", palm::kReplyTo}, {"sent-to", palm::kSentTo}, {"body", palm::kBody}};
  for (const auto& [option, text] : kTexts)
    if (auto v = a.get(option)) m.texts[text] = *v;
  if (auto v = a.get("date")) parseDate(*v, m);
  if (auto v = a.get("priority")) {
    static const char* const kWords[3] = {"high", "normal", "low"};
    int p = -1;
    for (int i = 0; i < 3; ++i)
      if (*v == kWords[i]) p = i;
    if (p < 0) usageError("--priority takes high, normal or low");
    m.setPriority(p);
  }
  if (a.has("read")) m.flags |= palm::kMailRead;
  if (a.has("unread")) m.flags &= static_cast<uint16_t>(~palm::kMailRead);
}

// Whether the calendar has that day.
bool calendarDay(int year, int month, int day) {
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  return month != 2 || day <= 28 || (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0));
}

// Applies the to-do options to a record.
void applyToDo(const Args& a, palm::ToDoRecord& t) {
  if (auto v = a.get("description")) t.description = *v;
  if (auto v = a.get("note")) t.note = *v;
  if (auto v = a.get("due")) {
    int y, mo, d;
    char tail;
    if (*v == "none") {
      t.year = t.month = t.day = 0;
    } else if (std::sscanf(v->c_str(), "%d-%d-%d%c", &y, &mo, &d, &tail) != 3 || y < 1904 || y > 2031 ||
               !calendarDay(y, mo, d)) {
      usageError("--due takes a day YYYY-MM-DD (years 1904 to 2031) or none");
    } else {
      t.year = y, t.month = mo, t.day = d;
    }
  }
  if (auto v = a.get("priority")) {
    if (v->size() != 1 || (*v)[0] < '1' || (*v)[0] > '5') usageError("--priority takes 1 to 5");
    t.priority = (*v)[0] - '0';
  }
  if (a.has("completed")) t.completed = true;
  if (a.has("not-completed")) t.completed = false;
}

// A day typed as YYYY-MM-DD (years 1904 to 2031) as a handheld date.
uint16_t eventDay(const std::string& option, const std::string& text) {
  int y, mo, d;
  char tail;
  if (std::sscanf(text.c_str(), "%d-%d-%d%c", &y, &mo, &d, &tail) != 3 || y < 1904 || y > 2031 ||
      !calendarDay(y, mo, d))
    usageError("--" + option + " takes a day YYYY-MM-DD (years 1904 to 2031)");
  return palm::packDate(y, mo, d);
}

// HH:MM, 00:00 to 23:59 (24:00 for an end at midnight).
std::pair<uint8_t, uint8_t> eventTime(const std::string& option, const std::string& text) {
  int h, m;
  char tail;
  if (std::sscanf(text.c_str(), "%d:%d%c", &h, &m, &tail) != 2 || h < 0 || m < 0 || m > 59 ||
      (h > 23 && !(option == "end" && h == 24 && m == 0)))
    usageError("--" + option + " takes HH:MM");
  return {static_cast<uint8_t>(h), static_cast<uint8_t>(m)};
}

// Day of the week of a handheld date, 0 Sunday.
int weekdayOf(uint16_t date) {
  const palm::Ymd d = palm::unpackDate(date);
  const std::chrono::year_month_day ymd{std::chrono::year(d.year), std::chrono::month(d.month),
                                        std::chrono::day(d.day)};
  return static_cast<int>(std::chrono::weekday(std::chrono::sys_days(ymd)).c_encoding());
}

// What a monthly-by-day repeat holds for its start date: the week of the
// month (4 when asked for "last") and the weekday.
uint8_t monthlyByDayOn(uint16_t date, bool last) {
  const int week = last ? 4 : (palm::unpackDate(date).day - 1) / 7;
  return static_cast<uint8_t>(week * 7 + weekdayOf(date));
}

// Applies the event options to a record, as the Date Book's dialogs do.
void applyEvent(const Args& a, palm::EventRecord& e) {
  if (auto v = a.get("description")) e.description = *v;
  if (auto v = a.get("note")) {
    if (v->empty()) e.note.reset();
    else e.note = *v;
  }
  if (auto v = a.get("date")) e.date = eventDay("date", *v);
  if (a.has("untimed")) {
    if (a.get("start") || a.get("end")) usageError("--untimed goes with neither --start nor --end");
    e.startHour = e.startMinute = e.endHour = e.endMinute = palm::kNoTime;
  }
  if (auto v = a.get("start")) {
    auto [h, m] = eventTime("start", *v);
    const bool wasTimed = e.timed();
    e.startHour = h, e.startMinute = m;
    if (!wasTimed && !a.get("end")) e.endHour = std::min(h + 1, 24), e.endMinute = h == 23 ? 0 : m;
  }
  if (auto v = a.get("end")) {
    if (!e.timed()) usageError("--end needs --start (the event has no time)");
    auto [h, m] = eventTime("end", *v);
    e.endHour = h, e.endMinute = m;
  }
  if (e.timed() && e.endHour * 60 + e.endMinute < e.startHour * 60 + e.startMinute)
    usageError("the event ends before it starts");
  if (auto v = a.get("alarm")) {
    if (*v == "none") {
      e.alarm.reset();
    } else {
      int n;
      char unit = 'm', tail;
      const int got = std::sscanf(v->c_str(), "%d%c%c", &n, &unit, &tail);
      const std::string units = "mhd";
      if (got < 1 || got > 2 || units.find(unit) == std::string::npos || n < 0 || n > 99)
        usageError("--alarm takes N (0 to 99) minutes, Nm, Nh, Nd, or none");
      e.alarm = palm::EventAlarm{static_cast<int8_t>(n), static_cast<uint8_t>(units.find(unit))};
    }
  }
  if (auto v = a.get("repeat")) {
    int type = -1;
    for (int t = 0; t < 6; ++t)
      if (*v == kRepeatWords[t]) type = t;
    if (type < 0) usageError("--repeat takes daily, weekly, monthly-by-day, monthly-by-date, yearly or none");
    if (type == palm::kRepeatNone) {
      e.repeat.reset();
      e.exceptions.reset();
    } else {
      palm::EventRepeat r = e.repeat.value_or(palm::EventRepeat{});
      r.type = static_cast<uint8_t>(type);
      r.on = 0;
      e.repeat = r;
    }
  }
  if (!e.repeat && (a.get("every") || a.get("until") || a.get("on") || a.get("except")))
    usageError("--every, --until, --on and --except need a repeating event (--repeat)");
  if (!e.repeat) return;
  palm::EventRepeat& r = *e.repeat;
  if (auto v = a.get("every")) {
    char* end = nullptr;
    const long n = std::strtol(v->c_str(), &end, 10);
    if (v->empty() || *end || n < 1 || n > 99) usageError("--every takes 1 to 99");
    r.frequency = static_cast<uint8_t>(n);
  }
  if (auto v = a.get("until")) r.end = *v == "none" ? palm::kNoEnd : eventDay("until", *v);
  if (r.end != palm::kNoEnd && r.end < e.date) usageError("the repeat ends before the event's date");
  const auto on = a.get("on");
  if (r.type == palm::kRepeatWeekly) {
    if (on) {
      r.on = 0;
      size_t from = 0;
      while (from <= on->size()) {
        const std::string day = on->substr(from, on->find(',', from) - from);
        const auto* hit = std::find(std::begin(kWeekdays), std::end(kWeekdays), day);
        if (hit == std::end(kWeekdays)) usageError("--on takes weekdays: sun,mon,tue,wed,thu,fri,sat");
        r.on |= static_cast<uint8_t>(1 << (hit - std::begin(kWeekdays)));
        from += day.size() + 1;
      }
    } else if (r.on == 0) {
      r.on = static_cast<uint8_t>(1 << weekdayOf(e.date));
    }
  } else if (r.type == palm::kRepeatMonthlyByDay) {
    if (on && *on != "last") usageError("--on for monthly-by-day takes last (else the week of --date is used)");
    r.on = monthlyByDayOn(e.date, on ? true : r.on / 7 == 4);
  } else if (on) {
    usageError("--on goes with weekly and monthly-by-day repeats");
  }
  for (const std::string& day : a.all("except")) {
    if (day == "none") {
      e.exceptions.reset();
      continue;
    }
    const uint16_t d = eventDay("except", day);
    if (!e.exceptions) e.exceptions.emplace();
    if (std::find(e.exceptions->begin(), e.exceptions->end(), d) == e.exceptions->end()) e.exceptions->push_back(d);
  }
}

void nowInto(palm::MailRecord& m) {
  time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  m.year = t.tm_year + 1900, m.month = t.tm_mon + 1, m.day = t.tm_mday, m.hour = t.tm_hour, m.minute = t.tm_min;
}

// ---- Commands ----

struct Command {
  const char* name;
  const char* usage;
  std::function<void(const std::vector<std::string>&)> run;
};

void cmdCreate(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {}, {"help"});
  if (a.positional.size() > 1) usageError("unexpected argument \"" + a.positional[1] + "\"");
  if (!a.positional.empty()) g_folder = a.positional[0];
  const std::string dir = folder();
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) refuse("cannot make " + dir + ": " + std::strerror(errno));
  for (const AppInfo& app : kApps) {
    struct stat st {};
    for (bool resource : {false, true})
      if (::stat(palm::databaseFile(dir, app.database, resource).c_str(), &st) == 0)
        refuse(std::string("a database \"") + app.database + "\" exists in " + dir +
               "; the folder holds a handheld already");
  }
  for (const AppInfo& app : kApps) {
    std::unique_ptr<StoredDatabase> made;
    palm::StoreStatus st = createDatabase(app, made);
    if (st.code == palm::StoreError::Exists) refuse(st.message + "; the folder holds a handheld already");
    check(st);
    check(made->close());
  }
  std::printf("created a handheld in %s with an empty Address Book, Memo Pad, Mail, To Do List and Date Book\n",
              dir.c_str());
}

void cmdList(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {"category"}, {"help"});
  needPositional(a, 1, "application (address, memo, mail, todo or event)");
  const AppInfo& app = appByWord(a.positional[0]);
  auto db = openApp(app, false);
  palm::CategoryBlock c = categories(*db);
  int only = a.get("category") ? categoryIndex(*db, *a.get("category")) : -1;
  for (const Record& r : db->db().records) {
    if (only >= 0 && (!r.live() || r.category != only)) continue;
    std::printf("%u\t", r.uniqueId);
    std::string line = show(categoryName(c, r)) + "\t" + attributeWords(r) + "\t" + show(summary(app.app, r)) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
}

void cmdShow(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {}, {"help"});
  needPositional(a, 2, "application and record id");
  const AppInfo& app = appByWord(a.positional[0]);
  uint32_t id = parseId(a.positional[1]);
  auto db = openApp(app, false);
  showRecord(app.app, categories(*db), recordById(*db, id));
}

// Writes a record as the handheld application does: dirty, in the given
// category, private when asked.
uint32_t store(StoredDatabase& db, const Args& a, Record r, const std::string& data) {
  r.data = data;
  r.dirty = true;
  if (auto name = a.get("category")) r.category = static_cast<uint8_t>(categoryIndex(db, *name));
  if (a.has("private")) r.secret = true;
  if (a.has("public")) r.secret = false;
  uint32_t id = 0;
  check(db.writeRecord(r, &id));
  return id;
}

std::vector<std::string> optionsOf(App app) {
  switch (app) {
    case App::Address: return kAddressOptions;
    case App::Memo: return kMemoOptions;
    case App::Mail: return kMailOptions;
    case App::ToDo: return kToDoOptions;
    case App::Event: return kEventOptions;
  }
  return {};
}

const std::vector<std::string>& flagsOf(App app) {
  return app == App::ToDo ? kToDoFlags : app == App::Event ? kEventFlags : kRecordFlags;
}

void cmdAdd(const std::vector<std::string>& in) {
  if (in.empty() || in[0].compare(0, 2, "--") == 0)
    usageError("missing application (address, memo, mail, todo or event)");
  const AppInfo& app = appByWord(in[0]);
  Args a = parseArgs({in.begin() + 1, in.end()}, optionsOf(app.app), flagsOf(app.app));
  needPositional(a, 0, "");
  auto db = openApp(app, true);
  std::string data;
  Record r;
  switch (app.app) {
    case App::Address: {
      palm::AddressRecord rec;
      applyAddress(a, rec);
      if (std::none_of(rec.fields.begin(), rec.fields.end(), [](const auto& f) { return f.has_value(); }))
        usageError("an address needs at least one field");
      data = palm::packAddress(rec);
      break;
    }
    case App::Memo: {
      auto text = a.get("text");
      if (!text || text->empty()) usageError("a memo needs --text");
      data = palm::packMemo(*text);
      break;
    }
    case App::Mail: {
      palm::MailRecord m;
      nowInto(m);
      applyMail(a, m);
      data = palm::packMail(m);
      // A message written on the handheld waits in the Outbox.
      if (!a.get("category")) r.category = static_cast<uint8_t>(std::max(0, findCategory(categories(*db), "Outbox")));
      break;
    }
    case App::ToDo: {
      palm::ToDoRecord t;
      applyToDo(a, t);
      if (t.description.empty()) usageError("a to-do needs --description");
      data = palm::packToDo(t);
      break;
    }
    case App::Event: {
      palm::EventRecord e;
      if (!a.get("date")) usageError("an event needs --date");
      applyEvent(a, e);
      if (e.description.value_or("").empty()) usageError("an event needs --description");
      data = palm::packEvent(e);
      break;
    }
  }
  uint32_t id = store(*db, a, r, data);
  check(db->close());
  std::printf("%u\n", id);
}

void cmdEdit(const std::vector<std::string>& in) {
  if (in.empty() || in[0].compare(0, 2, "--") == 0)
    usageError("missing application (address, memo, mail, todo or event)");
  const AppInfo& app = appByWord(in[0]);
  Args a = parseArgs({in.begin() + 1, in.end()}, optionsOf(app.app), flagsOf(app.app));
  needPositional(a, 1, "record id");
  uint32_t id = parseId(a.positional[0]);
  auto db = openApp(app, true);
  Record r = recordById(*db, id);
  if (!r.live()) refuse("record " + std::to_string(id) + " is deleted");
  std::string why, data;
  switch (app.app) {
    case App::Address: {
      palm::AddressRecord rec;
      if (!palm::parseAddress(r.data, rec, &why)) refuse(why);
      applyAddress(a, rec);
      data = palm::packAddress(rec);
      break;
    }
    case App::Memo: data = a.get("text") ? palm::packMemo(*a.get("text")) : r.data; break;
    case App::Mail: {
      palm::MailRecord m;
      if (!palm::parseMail(r.data, m, &why)) refuse(why);
      applyMail(a, m);
      data = palm::packMail(m);
      break;
    }
    case App::ToDo: {
      palm::ToDoRecord t;
      if (!palm::parseToDo(r.data, t, &why)) refuse(why);
      applyToDo(a, t);
      data = palm::packToDo(t);
      break;
    }
    case App::Event: {
      palm::EventRecord e;
      if (!palm::parseEvent(r.data, e, &why)) refuse(why);
      applyEvent(a, e);
      data = palm::packEvent(e);
      break;
    }
  }
  store(*db, a, r, data);
  check(db->close());
}

// Deleting keeps the record's id and the deleted mark (and, when archived,
// its data) until the next HotSync has told the desktop.
void markRecord(const std::vector<std::string>& in, bool archive) {
  Args a = parseArgs(in, {}, {"help"});
  needPositional(a, 2, "application and record id");
  const AppInfo& app = appByWord(a.positional[0]);
  uint32_t id = parseId(a.positional[1]);
  auto db = openApp(app, true);
  Record r = recordById(*db, id);
  if (!r.live()) refuse("record " + std::to_string(id) + " is deleted already");
  r.dirty = true;
  (archive ? r.archived : r.deleted) = true;
  if (!archive) r.data.clear();
  check(db->writeRecord(r, nullptr));
  check(db->close());
  std::printf(archive ? "archived %s record %u (its data kept until the next HotSync)\n"
                      : "deleted %s record %u (its id kept until the next HotSync)\n",
              app.word, id);
}

void cmdCategories(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {}, {"help"});
  needPositional(a, 1, "application (address, memo, mail, todo or event)");
  auto db = openApp(appByWord(a.positional[0]), false);
  palm::CategoryBlock c = categories(*db);
  for (int i = 0; i < 16; ++i) {
    if (c.names[i].empty()) continue;
    std::printf("%d\t%d\t%s\t", i, c.ids[i], (c.renamed >> i) & 1 ? "renamed" : "-");
    std::string name = show(c.names[i]) + "\n";
    std::fwrite(name.data(), 1, name.size(), stdout);
  }
}

void checkCategoryName(const std::string& name) {
  if (name.empty()) usageError("a category needs a name");
  if (name.size() > 15) usageError("category names have at most 15 bytes on the handheld (" + charset() + ")");
  if (name.find('\0') != std::string::npos) usageError("category names cannot hold NUL");
}

// The handheld gives new categories ids 1 to 127 after the last one it gave.
uint8_t newHandheldId(const palm::CategoryBlock& c) {
  for (int step = 1; step <= 127; ++step) {
    int id = (c.lastUniqueId % 128 + step) % 128;
    if (id == 0) continue;
    bool used = false;
    for (int i = 0; i < 16; ++i) used = used || (!c.names[i].empty() && c.ids[i] == id);
    if (!used) return static_cast<uint8_t>(id);
  }
  refuse("no free category id");
}

void cmdCategory(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {}, {"help"});
  if (a.positional.size() < 3) usageError("usage: handheld category APP add|rename|remove NAME [NEW]");
  const AppInfo& app = appByWord(a.positional[0]);
  const std::string& action = a.positional[1];
  auto db = openApp(app, true);
  palm::CategoryBlock c = categories(*db);
  const std::string name = takeText("the category name", a.positional[2]);
  std::string done;
  if (action == "add") {
    needPositional(a, 3, "category name");
    checkCategoryName(name);
    if (findCategory(c, name) >= 0) refuse("a category \"" + name + "\" exists");
    int slot = -1;
    for (int i = 1; i < 16 && slot < 0; ++i)
      if (c.names[i].empty()) slot = i;
    if (slot < 0) refuse("all 15 categories are in use");
    c.names[slot] = name;
    c.ids[slot] = newHandheldId(c);
    c.lastUniqueId = c.ids[slot];
    c.renamed |= static_cast<uint16_t>(1u << slot);
    done = "added category \"" + show(name) + "\" to " + app.word;
  } else if (action == "rename") {
    needPositional(a, 4, "old and new category name");
    const std::string to = takeText("the new category name", a.positional[3]);
    checkCategoryName(to);
    int slot = categoryIndex(*db, name);
    if (slot == 0) refuse("the first category cannot be renamed");
    int other = findCategory(c, to);
    if (other >= 0 && other != slot) refuse("a category \"" + to + "\" exists");
    done = "renamed " + std::string(app.word) + " category \"" + show(c.names[slot]) + "\" to \"" + show(to) + "\"";
    c.names[slot] = to;
    c.renamed |= static_cast<uint16_t>(1u << slot);
  } else if (action == "remove") {
    needPositional(a, 3, "category name");
    int slot = categoryIndex(*db, name);
    if (slot == 0) refuse("the first category cannot be removed");
    // Its records go to the first category, changed.
    std::vector<Record> moved;
    for (const Record& r : db->db().records)
      if (r.live() && r.category == slot) moved.push_back(r);
    for (Record& r : moved) {
      r.category = 0;
      r.dirty = true;
      check(db->writeRecord(r, nullptr));
    }
    done = "removed " + std::string(app.word) + " category \"" + show(c.names[slot]) + "\"; " +
           std::to_string(moved.size()) + " record" + (moved.size() == 1 ? "" : "s") + " moved to \"" +
           show(c.names[0]) + "\"";
    c.names[slot].clear();
    c.ids[slot] = 0;
    c.renamed |= static_cast<uint16_t>(1u << slot);
  } else {
    usageError("unknown category action \"" + action + "\" (add, rename, remove)");
  }
  storeCategories(*db, c);
  check(db->close());
  std::fwrite((done + "\n").data(), 1, done.size() + 1, stdout);
}

// Replays what a damaged journal still holds; the database is refused
// until this has run.
void cmdRecover(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {}, {"help"});
  needPositional(a, 1, "database (AddressDB, MemoDB, MailDB, ToDoDB, DatebookDB, or address, memo, mail, todo, event)");
  std::string name = a.positional[0];
  for (const AppInfo& app : kApps)
    if (name == app.word) name = app.database;
  palm::RecoverReport report;
  check(StoredDatabase::recover(folder(), name, report));
  if (!report.found) {
    std::printf("%s has no journal to recover from; nothing was changed\n", name.c_str());
  } else if (report.stale) {
    std::printf("%s: the journal's changes were in the database already; none used, journal kept as %s\n", name.c_str(),
                report.keptAs.c_str());
  } else {
    std::printf("recovered %s: %zu change%s of the journal used, %zu skipped as damaged; journal kept as %s\n",
                name.c_str(), report.used, report.used == 1 ? "" : "s", report.skipped, report.keptAs.c_str());
  }
}

const char* const kSyncTypes[4] = {"all", "send", "filter", "unread"};

void cmdMailPref(const std::vector<std::string>& in) {
  Args a = parseArgs(in, {"sync", "truncate", "to", "from", "subject", "high-priority", "include"}, {"remote", "help"});
  needPositional(a, 0, "");
  const std::string dir = folder();
  const std::string name = "Saved Preferences";
  const uint16_t prefId = a.has("remote") ? 2 : 1;
  // Held open only for the folder lock: preferences are written whole.
  std::unique_ptr<StoredDatabase> lock;
  palm::StoreStatus st = StoredDatabase::open(dir, name, false, lock);
  palm::Database prefs;
  if (st) {
    prefs = lock->db();
  } else if (st.code == palm::StoreError::NotFound) {
    prefs.name = name;
    prefs.attributes = palm::kDbResource | palm::kDbBackup;
    prefs.type = palm::fourCC("sprf");
    prefs.creator = palm::fourCC("psys");
    prefs.created = prefs.modified = palm::palmNow();
  } else {
    refuse(st.message);
  }
  palm::Resource* res = nullptr;
  for (palm::Resource& r : prefs.resources)
    if (r.type == palm::fourCC("mail") && r.id == prefId) res = &r;
  palm::MailPreference p;
  std::string why;
  if (res && !palm::parseMailPreference(res->data, p, &why)) refuse(why);

  bool change = false;
  if (auto v = a.get("sync")) {
    int t = -1;
    for (int i = 0; i < 4; ++i)
      if (*v == kSyncTypes[i]) t = i;
    if (t < 0) usageError("--sync takes all, send, filter or unread");
    p.syncType = static_cast<uint8_t>(t);
    change = true;
  }
  auto yesNo = [&](const char* option, uint8_t& field) {
    if (auto v = a.get(option)) {
      if (*v != "yes" && *v != "no") usageError(std::string("--") + option + " takes yes or no");
      field = *v == "yes";
      change = true;
    }
  };
  yesNo("high-priority", p.retrieveHighPriority);
  yesNo("include", p.includeMatching);
  if (auto v = a.get("truncate")) {
    char* end = nullptr;
    long n = std::strtol(v->c_str(), &end, 10);
    if (v->empty() || *end || n < 0 || n > 65535) usageError("--truncate takes 0 to 65535 bytes");
    p.truncation = static_cast<uint16_t>(n);
    change = true;
  }
  for (auto [option, field] : {std::pair{"to", &p.to}, std::pair{"from", &p.from}, std::pair{"subject", &p.subject}})
    if (auto v = a.get(option)) {
      *field = *v;
      change = true;
    }
  if (change) {
    std::string data = palm::packMailPreference(p);
    if (res) res->data = data;
    else prefs.resources.push_back({palm::fourCC("mail"), prefId, data});
    prefs.modified = palm::palmNow();
    ++prefs.modificationNumber;
    check(palm::writeDatabaseFile(palm::databaseFile(dir, name, true), prefs));
  }
  std::printf("sync: %s\nhigh priority: %s\ninclude matching: %s\ntruncate: %u\n",
              p.syncType < 4 ? kSyncTypes[p.syncType] : "?", p.retrieveHighPriority ? "yes" : "no",
              p.includeMatching ? "yes" : "no", p.truncation);
  printField("to", p.to);
  printField("from", p.from);
  printField("subject", p.subject);
}

const Command kCommands[] = {
    {"create",
     "handheld create [DIR]\n"
     "  Makes DIR (or the handheld folder) a new handheld with empty Address Book,\n"
     "  Memo Pad, Mail, To Do List and Date Book databases and their standard categories.\n",
     cmdCreate},
    {"list",
     "handheld list APP [--category NAME]\n"
     "  Lists the records of APP (address, memo, mail, todo, event), deleted ones included:\n"
     "  id, category, attributes (dirty, private, deleted, archived), summary (a to-do:\n"
     "  [x] when completed, priority, due date, description; an event: date, time,\n"
     "  description and its repeat).\n",
     cmdList},
    {"show", "handheld show APP ID\n  Shows every field of one record.\n", cmdShow},
    {"add",
     "handheld add address [--last T] [--first T] [--company T] [--phone LABEL=NUMBER]...\n"
     "        [--address T] [--city T] [--state T] [--zip T] [--country T] [--title T]\n"
     "        [--custom1..4 T] [--note T] [--show-phone 1-5] [--category NAME] [--private]\n"
     "handheld add memo --text TEXT [--category NAME] [--private]\n"
     "handheld add mail [--subject T] [--from T] [--to T] [--cc T] [--bcc T] [--reply-to T]\n"
     "        [--sent-to T] [--body T] [--date 'YYYY-MM-DD HH:MM'] [--priority high|normal|low]\n"
     "        [--read] [--category NAME (default Outbox)] [--private]\n"
     "handheld add todo --description T [--note T] [--due YYYY-MM-DD|none] [--priority 1-5]\n"
     "        [--completed] [--category NAME] [--private]\n"
     "handheld add event --description T --date YYYY-MM-DD [--start HH:MM [--end HH:MM]]\n"
     "        [--note T] [--alarm N[m|h|d]] [--private]\n"
     "        [--repeat daily|weekly|monthly-by-day|monthly-by-date|yearly [--every N]\n"
     "         [--until YYYY-MM-DD] [--on sun,mon,..|last] [--except YYYY-MM-DD]...]\n"
     "  Adds a record as the handheld application does (marked dirty) and prints its id.\n"
     "  Phone labels: work, home, fax, other, e-mail, main, pager, mobile.\n",
     cmdAdd},
    {"edit",
     "handheld edit APP ID [the options of add] [--public] [--unread] [--not-completed]\n"
     "        [--untimed] [--alarm none] [--repeat none] [--until none] [--except none]\n"
     "  Changes the given fields (an empty value removes an address field; --phone\n"
     "  options replace all phones) and marks the record dirty.\n",
     cmdEdit},
    {"delete",
     "handheld delete APP ID\n"
     "  Deletes a record as the handheld does: it keeps its id, loses its data and\n"
     "  is marked deleted and dirty until the next HotSync.\n",
     [](const std::vector<std::string>& in) { markRecord(in, false); }},
    {"archive",
     "handheld archive APP ID\n"
     "  Deletes a record keeping an archive copy: marked archived and dirty, data kept.\n",
     [](const std::vector<std::string>& in) { markRecord(in, true); }},
    {"categories",
     "handheld categories APP\n"
     "  Lists the categories: index, unique id, renamed mark, name.\n",
     cmdCategories},
    {"category",
     "handheld category APP add NAME\n"
     "handheld category APP rename NAME NEW\n"
     "handheld category APP remove NAME\n"
     "  Changes categories as the handheld does: the slot gets its renamed mark;\n"
     "  records of a removed category move to the first one, marked dirty.\n",
     cmdCategory},
    {"mail-pref",
     "handheld mail-pref [--sync all|send|filter|unread] [--truncate BYTES]\n"
     "        [--to T] [--from T] [--subject T] [--include yes|no]\n"
     "        [--high-priority yes|no] [--remote]\n"
     "  Shows, and with options sets, the Mail application's HotSync preference\n"
     "  (in \"Saved Preferences\"; --remote: the one for remote HotSync).\n",
     cmdMailPref},
    {"recover",
     "handheld recover DB\n"
     "  When a database is refused because its journal (the changes not yet folded\n"
     "  into the file) is damaged: applies every change of the journal that is\n"
     "  intact, says how many it used and skipped, and keeps the journal beside the\n"
     "  database as DB.pdb.journal.recovered.\n",
     cmdRecover},
};

void printHelp(FILE* to) {
  std::fprintf(to,
               "usage: handheld [--folder DIR] [--charset CS] [--raw] COMMAND ...\n"
               "The handheld is a folder of Palm database files: --folder DIR, else $GWSYNC_HANDHELD.\n"
               "Texts are shown and taken in the terminal's character set and stored in the\n"
               "handheld's: --charset CS, else the first line of DIR/charset, else CP932\n"
               "(Shift-JIS). --raw passes texts byte for byte.\n"
               "Commands (handheld COMMAND --help for each):\n");
  for (const Command& c : kCommands) std::fprintf(to, "  %s", c.usage);
}

}  // namespace

bool isHelp(const std::string& s) { return s == "--help" || s == "-h"; }

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* command = nullptr;
  try {
    for (;;) {
      if (args.size() >= 1 && args[0] == "--raw") {
        g_raw = true;
        args.erase(args.begin());
        continue;
      }
      if (args.empty() || (args[0] != "--folder" && args[0] != "--charset")) break;
      if (args.size() < 2) usageError(args[0] + " needs a value");
      (args[0] == "--folder" ? g_folder : g_charset) = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) usageError("missing command");
    if (isHelp(args[0]) || args[0] == "help") {
      printHelp(stdout);
      return 0;
    }
    for (const Command& c : kCommands) {
      if (args[0] != c.name) continue;
      command = c.name;
      std::vector<std::string> rest(args.begin() + 1, args.end());
      if (std::find_if(rest.begin(), rest.end(), isHelp) != rest.end()) {
        std::printf("usage: %s", c.usage);
        return 0;
      }
      c.run(rest);
      return 0;
    }
    usageError("unknown command \"" + args[0] + "\"");
  } catch (const Failure& f) {
    const std::string who = command ? std::string("handheld ") + command : "handheld";
    if (f.exitCode == 2)
      std::fprintf(stderr, "%s: %s (see \"%s --help\")\n", who.c_str(), f.message.c_str(), who.c_str());
    else std::fprintf(stderr, "handheld: %s\n", f.message.c_str());
    return f.exitCode;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "handheld: %s\n", e.what());
    return 1;
  }
}
