// hotsync: the HotSync Manager of this desktop. It runs the registered
// conduits against a handheld folder, runs a conduit's configuration, and
// registers conduits.
//
//   hotsync register --creator addr --module addressconduit.dll --database AddressDB
//   hotsync sync --handheld ~/palm --user Tanaka
//   hotsync configure addr --user Tanaka
//
// Exit status: 0 done, 1 a conduit failed or something was refused, 2 a
// wrong command line.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hotsync/condapi/condapi.h"
#include "hotsync/condmgr/condmgr.h"
#include "hotsync/hotsync/archive.h"
#include "hotsync/hotsync/backup.h"
#include "hotsync/hotsync/conduit.h"
#include "hotsync/hotsync/runreport.h"
#include "hotsync/hotsync/user.h"
#include "hotsync/hslog/hslog.h"
#include "hotsync/resident/files.h"
#include "hotsync/sync20/sync20.h"
#include "platform/cmdline.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/runrecord.h"

namespace {

using namespace hotsync;
namespace fs = std::filesystem;

// A failure to report: the message and the exit status (1 refused, 2 a
// wrong command line).
struct Failure {
  std::string message;
  int exitCode = 1;
};
[[noreturn]] void usageError(const std::string& message) { throw Failure{message, 2}; }
[[noreturn]] void refuse(const std::string& message) { throw Failure{message, 1}; }

// ---- Usage ----

const char* const kUsage =
    "usage: hotsync COMMAND [OPTIONS]\n"
    "\n"
    "The HotSync Manager: runs the registered conduits against a handheld folder.\n"
    "\n"
    "commands:\n"
    "  sync        run the conduits for a handheld user\n"
    "  undo        put the handheld folder back as it was before the last HotSync\n"
    "  history     show what the last HotSync runs did\n"
    "  configure   run a conduit's configuration dialog\n"
    "  list        show the registered conduits in the order they run\n"
    "  register    register a conduit\n"
    "  unregister  remove a conduit's registration\n"
    "  start       keep a HotSync Manager running in the background\n"
    "  button      run a whole HotSync in the running HotSync Manager\n"
    "  status      tell whether one runs, for whom, and its last run\n"
    "  stop        end it\n"
    "  unit        print a service-manager unit that keeps it running\n"
    "\n"
    "hotsync COMMAND --help tells more.\n";

const char* const kSyncUsage =
    "usage: hotsync sync [--handheld DIR] --user NAME [--userdir DIR] [--user-charset SET]\n"
    "                    [--conduit LIBRARY[=DATABASE]]... [--keep-backups N]\n"
    "                    [--dry-run [--json]] [--allow-mass-delete]\n"
    "\n"
    "Runs every registered conduit in priority order (lowest first), or only the\n"
    "conduit libraries named with --conduit, registered or not. A library that is\n"
    "not registered syncs DATABASE, or the database of the system's conduit of\n"
    "that name.\n"
    "\n"
    "  --handheld DIR      the handheld folder (default: $GWSYNC_HANDHELD)\n"
    "  --user NAME         the handheld user's name\n"
    "  --userdir DIR       the user's folder (default: $XDG_DATA_HOME/gwsync/NAME,\n"
    "                      ~/.local/share/gwsync/NAME when unset); created when missing\n"
    "  --user-charset SET  the character set NAME is written in (default: the\n"
    "                      locale's); CP932 passes Shift-JIS bytes as they are\n"
    "  --keep-backups N    backups of the handheld folder to keep (default 5; 0 keeps\n"
    "                      none and makes none)\n"
    "  --dry-run           show what the run would do, record by record, and change\n"
    "                      nothing on the handheld or the server (--json: as JSON)\n"
    "  --allow-mass-delete let this run delete more than the brake allows\n"
    "\n"
    "Before the conduits run, the handheld folder's databases are copied to\n"
    "USERDIR/backups/<time> (`hotsync undo` puts them back), and records archived\n"
    "on the handheld are copied to USERDIR/archive/<database>.pdb.\n"
    "\n"
    "A run that would delete more than half of either side's records (and at\n"
    "least 10) is stopped before it changes anything: the brake on mass deletion.\n"
    "USERDIR/settings sets it: mass-delete-brake=on|off, mass-delete-share=PERCENT,\n"
    "mass-delete-minimum=N.\n"
    "\n"
    "The HotSync log is USERDIR/hotsync.log; its entries of this run are shown at\n"
    "the end, with a line per conduit of what it did. The same, record by record,\n"
    "is kept as JSON in USERDIR/last-sync.json, and a line per run is added to\n"
    "USERDIR/history.jsonl (`hotsync history` shows it). Exit status 0 when every\n"
    "conduit synchronised, 3 when the brake stopped the run, 1 otherwise.\n";

const char* const kConfigureUsage =
    "usage: hotsync configure CREATOR --user NAME [--conduit LIBRARY] [--userdir DIR]\n"
    "                         [--user-charset SET]\n"
    "\n"
    "Runs the configuration dialog of the conduit registered for CREATOR (or of\n"
    "LIBRARY) for a handheld user, and prints the conduit's result.\n";

const char* const kListUsage =
    "usage: hotsync list\n"
    "\n"
    "Shows the registered conduits in the order they run: creator, priority,\n"
    "title, library and handheld database.\n";

const char* const kRegisterUsage =
    "usage: hotsync register --creator CREATOR --module LIBRARY --database DB\n"
    "                        [--title TITLE] [--priority N]\n"
    "\n"
    "Registers a conduit library for a handheld database, replacing an earlier\n"
    "registration of CREATOR. LIBRARY is a name such as addressconduit.dll or a\n"
    "path. The title defaults to the conduit's own name, the priority to 2\n"
    "(0 runs first, 4 last).\n";

const char* const kStartUsage =
    "usage: hotsync start [--handheld DIR] --user NAME [--watch] [--foreground] [sync options]\n"
    "\n"
    "Starts the resident HotSync Manager of this desktop user: it stays in the\n"
    "background and runs a whole HotSync (`hotsync sync` with the same options)\n"
    "each time `hotsync button` asks, and with --watch also whenever the handheld\n"
    "folder changes. One runs per user; its pid file, lock and control socket are\n"
    "in $XDG_RUNTIME_DIR/gwsync, its output in hotsync.out there. --foreground\n"
    "keeps it attached, for a service manager (see `hotsync unit`).\n";

const char* const kButtonUsage =
    "usage: hotsync button\n"
    "\n"
    "Has the resident HotSync Manager run a whole HotSync now, as the cradle's\n"
    "button does; prints the run's output and exits with its status.\n";

const char* const kStatusUsage =
    "usage: hotsync status\n"
    "\n"
    "Tells whether a resident HotSync Manager runs, for which user and handheld\n"
    "folder, and when it last ran a HotSync with what result. Exit status 0 when\n"
    "one runs, 3 when none does.\n";

const char* const kStopUsage =
    "usage: hotsync stop\n"
    "\n"
    "Ends the resident HotSync Manager (after the HotSync it is running).\n";

const char* const kUnitUsage =
    "usage: hotsync unit [--handheld DIR] --user NAME [--watch] [sync options]\n"
    "\n"
    "Prints a systemd user unit that runs `hotsync start --foreground` with these\n"
    "options at login. To install it:\n"
    "\n"
    "  hotsync unit --user NAME --handheld DIR > ~/.config/systemd/user/gwsync-hotsync.service\n"
    "  systemctl --user daemon-reload\n"
    "  systemctl --user enable --now gwsync-hotsync\n";

const char* const kUndoUsage =
    "usage: hotsync undo [--handheld DIR] --user NAME [--userdir DIR] [--user-charset SET] [--server]\n"
    "\n"
    "Puts the handheld folder back as it was before the newest HotSync run not\n"
    "undone yet, from its backup in USERDIR/backups: every database file is\n"
    "restored, and those the run created are removed. Run again, it goes one run\n"
    "further back. The server keeps what the runs sent it: undo lists what the run\n"
    "added, changed and deleted there, as what to do on the server to take it back.\n"
    "With --server it takes that back too, through the conduits that made it: the\n"
    "records the run made are deleted, and those it changed or deleted are put back\n"
    "as they were (a sent mail stays sent). Should that fail, undo --server again\n"
    "completes it.\n"
    "Options as for sync. Exit status 0 when the folder was put back, 1 when there\n"
    "is no backup to undo or it cannot be put back.\n";

const char* const kHistoryUsage =
    "usage: hotsync history --user NAME [--userdir DIR] [--user-charset SET] [--last N]\n"
    "\n"
    "Shows the last N HotSync runs (default 10) of the user from USERDIR/history.jsonl:\n"
    "when, the exit status, and per conduit the records added (+), changed (~) and\n"
    "deleted (-) on the handheld and on the server, conflicts and records skipped.\n"
    "USERDIR/last-sync.json holds the last run record by record.\n";

const char* const kUnregisterUsage =
    "usage: hotsync unregister CREATOR\n"
    "\n"
    "Removes the registration of CREATOR.\n";

// ---- Command line ----

using Args = platform::CommandArgs;

// The value of an option the command cannot do without.
std::string required(const Args& a, const std::string& name) {
  std::optional<std::string> value = a.get(name);
  if (!value) usageError("--" + name + " is missing");
  return *value;
}

// The options that take no value.
const std::vector<std::string> kFlags = {"watch", "foreground", "dry-run", "json", "allow-mass-delete", "server"};

// Splits the arguments by the command's options, some of them flags.
Args parseArgs(const std::vector<std::string>& in, const std::vector<std::string>& options) {
  std::vector<std::string> valued, flags;
  for (const std::string& o : options)
    (std::find(kFlags.begin(), kFlags.end(), o) != kFlags.end() ? flags : valued).push_back(o);
  try {
    return platform::parseCommandArgs(in, valued, flags);
  } catch (const platform::CommandLineError& e) {
    usageError(e.what());
  }
}

std::string checkedCreator(const std::string& creator) {
  if (!validCreator(creator)) usageError("creator \"" + creator + "\" is not 4 printable characters");
  return creator;
}

// ---- Registrations ----

[[noreturn]] void registryFailure(const std::string& what) { refuse(what + ": " + CmGetLastProblem()); }

CmConduitType emptyRegistration() {
  CmConduitType c{};
  c.dwVersion = CM_CONDUIT_VERSION;
  c.dwSize = sizeof c;
  return c;
}

// Every registration in run order. Throws when the registry cannot be read.
std::vector<CmConduitType> registrations() {
  int count = CmGetConduitCount();
  if (count < 0) registryFailure("cannot read the conduit registrations");
  std::vector<CmConduitType> all;
  for (int i = 0; i < count; ++i) {
    char creator[5];
    CmConduitType c = emptyRegistration();
    if (CmGetCreatorByIndex(i, creator) != CM_ERR_NONE || CmGetConduitByCreator(creator, &c) != CM_ERR_NONE)
      registryFailure("cannot read the conduit registrations");
    all.push_back(c);
  }
  return all;
}

// ---- sync ----

// One conduit of a run.
struct RunConduit {
  std::string creator;  // empty for an unregistered library of no known kind
  std::string module;
  std::string database;
  std::string localFile;
};

// The conduit that `--conduit LIBRARY[=DATABASE]` names.
RunConduit namedConduit(const std::string& given) {
  // The database follows the first "=" after the library's folder.
  size_t slash = given.rfind('/');
  size_t equals = given.find('=', slash == std::string::npos ? 0 : slash);
  RunConduit run;
  run.module = given.substr(0, equals);
  if (run.module.empty()) usageError("--conduit " + given + " names no library");
  std::optional<std::string> database;
  if (equals != std::string::npos) {
    database = given.substr(equals + 1);
    if (database->empty()) usageError("--conduit " + given + " names an empty database");
  }

  // A registration of the same library tells the creator and the database.
  std::string registryProblem;
  std::optional<CmConduitType> registered;
  int count = CmGetConduitCount();
  if (count < 0) {
    registryProblem = CmGetLastProblem();
  } else {
    for (const CmConduitType& c : registrations())
      if (libraryFileOf(c.szModule) == libraryFileOf(run.module)) {
        registered = c;
        break;
      }
  }
  if (registered) {
    run.creator = registered->szCreator;
    run.database = database ? *database : registered->szRemote;
    run.localFile = registered->szFile;
  } else if (std::optional<KnownConduit> known = knownConduitOf(run.module)) {
    run.creator = known->creator;
    run.database = database ? *database : known->database;
  } else if (database) {
    run.database = *database;
  } else {
    std::string message = "no database for " + run.module +
                          ": it is not registered and not one of the system's conduits; name it as " + run.module +
                          "=DATABASE";
    if (!registryProblem.empty()) message += " (the registrations cannot be read: " + registryProblem + ")";
    usageError(message);
  }
  return run;
}

std::vector<RunConduit> conduitsToRun(const Args& a) {
  std::vector<RunConduit> run;
  std::vector<std::string> named = a.all("conduit");
  for (const std::string& given : named) run.push_back(namedConduit(given));
  if (!named.empty()) return run;
  for (const CmConduitType& c : registrations()) run.push_back({c.szCreator, c.szModule, c.szRemote, c.szFile});
  if (run.empty())
    refuse("no conduits are registered; register one with `hotsync register` or name one with --conduit");
  return run;
}

void copyText(char* field, size_t size, const std::string& text) { std::snprintf(field, size, "%s", text.c_str()); }

off_t fileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// The HotSync log entries written since offset, one "<activity>\t<text>" a line.
std::vector<std::string> logEntriesFrom(const std::string& path, off_t offset) {
  std::ifstream in(path, std::ios::binary);
  // A log that was cut shorter in the meantime is read whole.
  if (fileSize(path) >= offset) in.seekg(offset);
  std::vector<std::string> entries;
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    std::string text = tab == std::string::npos ? line : line.substr(tab + 1);
    long activity = tab == std::string::npos ? kHsLogActivityNone : std::strtol(line.c_str(), nullptr, 10);
    if (activity == kHsLogActivityError) text = "error: " + text;
    if (activity == kHsLogActivityWarning) text = "warning: " + text;
    entries.push_back(text);
  }
  return entries;
}

// The HotSync log library, loaded by name as the conduits load it. Linking it
// would put a second copy of its ordinal table beside the Sync Manager's in
// the program's global symbols.
class CHotSyncLog {
 public:
  CHotSyncLog() {
    m_Module = LoadLibrary("HSLOG20.dll");
    if (!m_Module) refuse("the HotSync log library cannot be loaded: " + platform::loaderProblem());
    m_Add = reinterpret_cast<decltype(&LogAddEntry)>(GetProcAddress(m_Module, "LogAddEntry"));
    if (!m_Add) {
      FreeLibrary(m_Module);
      refuse("the HotSync log library has no LogAddEntry");
    }
  }
  ~CHotSyncLog() { FreeLibrary(m_Module); }
  CHotSyncLog(const CHotSyncLog&) = delete;
  CHotSyncLog& operator=(const CHotSyncLog&) = delete;

  void add(const std::string& text, LONG activity) { m_Add(text.c_str(), activity, FALSE); }

 private:
  HMODULE m_Module = nullptr;
  decltype(&LogAddEntry) m_Add = nullptr;
};

std::string timeNow() {
  std::time_t now = std::time(nullptr);
  char text[32] = "";
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  return text;
}

std::string userFolderOf(const Args& a, const UserName& user) {
  std::string problem;
  std::string folder = a.get("userdir").value_or("");
  if (folder.empty()) folder = defaultUserFolder(user.typed, problem);
  if (folder.empty()) usageError(problem);
  if (folder.size() >= BIG_PATH) refuse("the user folder " + folder + " is longer than 255 bytes");
  if (!makeUserFolder(folder, problem)) refuse(problem);
  return folder;
}

UserName userOf(const Args& a, size_t maxBytes) {
  std::string problem;
  std::optional<UserName> user =
      handheldUserName(required(a, "user"), a.get("user-charset").value_or(""), maxBytes, problem);
  if (!user) usageError(problem);
  return *user;
}

// The registry file's problem when it cannot be parsed; empty otherwise.
std::string registryDamage() {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyEx(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc == ERROR_BADDB ? platform::registryProblem() : std::string();
}

// Two runs on one handheld folder at once would interleave their writes: a
// run waits for the one in progress (the resident manager's or another
// terminal's). The lock goes with the process, however it ends.
class HandheldLock {
 public:
  explicit HandheldLock(const std::string& folder) {
    std::string path = folder + "/.hotsync.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) refuse("cannot open " + path + ": " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    std::printf("Waiting for the HotSync run in progress on %s to end...\n", folder.c_str());
    std::fflush(stdout);
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~HandheldLock() { ::close(fd_); }
  HandheldLock(const HandheldLock&) = delete;
  HandheldLock& operator=(const HandheldLock&) = delete;

 private:
  int fd_ = -1;
};

// A whole file; empty when it cannot be read.
std::string wholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where a run works: the handheld folder the conduits change, the folder
// handed to them as the user's, and the file of the run record.
struct RunPlace {
  std::string handheld;
  std::string userFolder;
  std::string recordPath;
  bool quiet = false;   // no line per conduit on standard output
  bool dryRun = false;  // the handheld folder is a copy and the server's commits are recorded
};

// Exit status of a run the brake on mass deletion stopped.
constexpr int kBrakeStatus = 3;

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  char text[32] = "";
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return text;
}

// How output names a conduit: its creator, or the library of an
// unregistered one.
std::string labelOf(const RunConduit& run) { return run.creator.empty() ? libraryFileOf(run.module) : run.creator; }

// Runs one conduit and reports what it did.
ConduitReport runConduit(const RunConduit& run, const RunPlace& place, const UserName& user, CHotSyncLog& log) {
  ConduitReport report;
  report.label = labelOf(run);
  report.conduit = run.module;
  report.database = run.database;
  // A registration made by hand may lack what the properties record needs.
  std::string unfit = run.database.empty()               ? "its registration names no handheld database"
                      : run.localFile.size() >= BIG_PATH ? "its local file name is longer than 255 bytes"
                                                         : "";
  if (!unfit.empty()) {
    report.outcome = "cannot run: " + unfit;
    if (!place.quiet) std::printf("%s: %s cannot run: %s\n", report.label.c_str(), run.module.c_str(), unfit.c_str());
    log.add(run.module + " cannot run: " + unfit, kHsLogActivityError);
    return report;
  }
  CConduitLibrary conduit;
  if (!conduit.load(run.module)) {
    report.outcome = "could not be loaded: " + conduit.problem();
    if (!place.quiet)
      std::printf("%s: %s could not be loaded: %s\n", report.label.c_str(), run.module.c_str(),
                  conduit.problem().c_str());
    log.add(run.module + " could not be loaded: " + conduit.problem(), kHsLogActivityError);
    return report;
  }
  report.conduit = conduit.name();
  if (!place.quiet)
    std::printf("%s: %s %s (%s), database %s\n", report.label.c_str(), report.conduit.c_str(),
                versionText(conduit.version()).c_str(), run.module.c_str(), run.database.c_str());
  std::fflush(stdout);  // before the conduit's own output

  CSyncProperties props{};
  props.m_SyncType = eFast;
  copyText(props.m_PathName, sizeof props.m_PathName, place.userFolder);
  copyText(props.m_LocalName, sizeof props.m_LocalName, run.localFile);
  copyText(props.m_UserName, sizeof props.m_UserName, user.handheld);
  std::vector<char> remote(run.database.begin(), run.database.end());
  remote.push_back('\0');
  char* remoteNames[] = {remote.data()};
  props.m_RemoteName = remoteNames;
  props.m_nRemoteCount = 1;
  props.m_Creator = run.creator.empty() ? 0 : creatorCode(run.creator);
  props.m_CardNo = 0;
  props.m_DbType = creatorCode("DATA");
  props.m_FirstDevice = eNeither;
  props.m_Connection = eCradle;

  const DatabaseSnapshot before = snapshotDatabase(place.handheld, run.database);
  report.handheldRecords = before.live();
  DWORD calls0 = 0, read0 = 0, calls1 = 0, read1 = 0;
  SyncGetCallCounts(&calls0, &read0);
  std::error_code ec;
  fs::remove(place.recordPath, ec);
  setenv(platform::kRunRecordVariable, place.recordPath.c_str(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  long rc = conduit.open(props);
  report.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  unsetenv(platform::kRunRecordVariable);
  SyncGetCallCounts(&calls1, &read1);
  report.syncCalls = static_cast<long>(calls1 - calls0);
  report.handheldRead = static_cast<long>(read1 - read0);
  addHandheldChanges(before, snapshotDatabase(place.handheld, run.database), report);
  addRunRecord(place.recordPath, report);
  fs::remove(place.recordPath, ec);

  report.ran = true;
  report.ok = rc == 0;
  report.outcome = rc == 0 ? "synchronised" : "failed (result " + std::to_string(rc) + ")";
  if (rc != 0 && !conduit.problem().empty()) report.outcome += ": " + conduit.problem();
  if (!place.quiet) std::printf("%s: %s\n", report.label.c_str(), report.outcome.c_str());
  log.add(report.conduit + ": " + report.outcome, rc == 0 ? kHsLogActivityNone : kHsLogActivityError);
  return report;
}

// Runs the conduits in order, unless the registry cannot be read.
std::vector<ConduitReport> runConduits(const std::vector<RunConduit>& conduits, const RunPlace& place,
                                       const UserName& user, CHotSyncLog& log) {
  // Every conduit reads its settings and message texts from the registry:
  // a damaged file would make each fail without a word, so it is named
  // here and nothing runs.
  if (std::string problem = registryDamage(); !problem.empty()) {
    ConduitReport none;
    none.label = "registry";
    none.outcome = "the registry cannot be read, no conduit runs: " + problem;
    std::printf("%s\n", none.outcome.c_str());
    log.add(none.outcome, kHsLogActivityError);
    return {none};
  }
  std::vector<ConduitReport> reports;
  for (const RunConduit& run : conduits) {
    // Only this system's conduits record their server's changes instead of
    // making them; any other would change its server in a dry run.
    if (place.dryRun && !knownConduitOf(run.module)) {
      ConduitReport left;
      left.label = labelOf(run);
      left.conduit = run.module;
      left.database = run.database;
      left.ok = true;
      left.outcome = "left out: a dry run runs only this system's own conduits";
      reports.push_back(left);
      continue;
    }
    reports.push_back(runConduit(run, place, user, log));
  }
  return reports;
}

// Copies the database files of a handheld folder (not its lock files) to a
// new folder.
void copyHandheldFiles(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  for (const fs::directory_entry& e : fs::directory_iterator(from)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || name.empty() || name[0] == '.') continue;
    fs::copy_file(e.path(), fs::path(to) / name);
  }
}

// A dry run: every conduit runs on a copy of the handheld folder, with the
// client library recording its commits instead of sending them and the
// HotSync log and the conduits' own files kept aside. The handheld folder
// and the server are left as they are; what the run would do is returned.
std::vector<ConduitReport> dryRunConduits(const std::vector<RunConduit>& conduits, const std::string& handheld,
                                          const std::string& userFolder, const UserName& user, bool quiet,
                                          std::vector<std::string>* logEntries = nullptr) {
  std::string pattern = userFolder + "/dry-run.XXXXXX";
  if (!::mkdtemp(pattern.data()))
    refuse("cannot make a folder for the dry run in " + userFolder + ": " + std::strerror(errno));
  const std::string scratch = pattern;
  struct Restore {
    std::string scratch, handheld;
    ~Restore() {
      unsetenv(platform::kDryRunVariable);
      SyncSetHandheldFolder(handheld.c_str());
      std::error_code ec;
      fs::remove_all(scratch, ec);
    }
  } restore{scratch, handheld};
  try {
    copyHandheldFiles(handheld, scratch + "/handheld");
  } catch (const fs::filesystem_error& e) {
    refuse(std::string("cannot copy the handheld folder for the dry run: ") + e.what());
  }
  fs::create_directories(scratch + "/user");
  if (SyncSetHandheldFolder((scratch + "/handheld").c_str()) != SYNCERR_NONE)
    refuse(std::string("cannot choose the dry run's handheld folder: ") + SyncGetLastProblem());
  setenv(platform::kDryRunVariable, "1", 1);
  setenv("GWSYNC_HSLOG", (scratch + "/hotsync.log").c_str(), 1);
  CHotSyncLog log;
  RunPlace place{scratch + "/handheld", scratch + "/user", scratch + "/run-record", quiet, true};
  std::vector<ConduitReport> reports = runConduits(conduits, place, user, log);
  if (logEntries) *logEntries = logEntriesFrom(scratch + "/hotsync.log", 0);
  return reports;
}

// The user folder's last-sync.json, and a line of the history.
void keepReport(const std::vector<ConduitReport>& reports, const std::string& userFolder, const RunInfo& info) {
  const std::string last = userFolder + "/last-sync.json";
  {
    std::ofstream out(last + ".new", std::ios::binary | std::ios::trunc);
    out << reportJson(reports, info, true) << "\n";
    if (!out.flush()) std::printf("warning: cannot write %s\n", last.c_str());
  }
  std::error_code ec;
  fs::rename(last + ".new", last, ec);
  std::ofstream history(userFolder + "/history.jsonl", std::ios::binary | std::ios::app);
  history << reportJson(reports, info, false) << "\n";
  if (!history.flush()) std::printf("warning: cannot write %s/history.jsonl\n", userFolder.c_str());
}

// The handheld folder of --handheld or $GWSYNC_HANDHELD, absolute (so that
// a conduit changing the working folder still reaches it); refused when it
// is not a folder.
std::string handheldFolderOf(const Args& a) {
  std::string handheld = a.get("handheld").value_or("");
  if (handheld.empty()) {
    const char* env = std::getenv("GWSYNC_HANDHELD");
    if (env) handheld = env;
  }
  if (handheld.empty()) usageError("no handheld folder: give --handheld DIR or set GWSYNC_HANDHELD");
  std::error_code ec;
  if (!fs::is_directory(handheld, ec))
    refuse("the handheld folder " + handheld + " does not exist (make one with `handheld create " + handheld + "`)");
  return fs::absolute(handheld).lexically_normal().string();
}

int commandSync(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  const std::string handheld = handheldFolderOf(a);
  UserName user = userOf(a, BIG_PATH - 1);
  std::vector<RunConduit> conduits = conduitsToRun(a);
  std::string userFolder = userFolderOf(a, user);
  const std::string keepText = a.get("keep-backups").value_or("5");
  if (keepText.empty() || keepText.size() > 4 || keepText.find_first_not_of("0123456789") != std::string::npos)
    usageError("--keep-backups " + keepText + " is not a number from 0 to 9999");
  const unsigned keep = static_cast<unsigned>(std::stoul(keepText));
  HandheldLock handheldLock(handheld);
  const std::string started = utcNow();

  if (a.get("json") && !a.get("dry-run")) usageError("--json goes with --dry-run");
  if (a.get("dry-run")) {
    std::vector<std::string> logEntries;
    std::vector<ConduitReport> plan = dryRunConduits(conduits, handheld, userFolder, user, false, &logEntries);
    const int failed =
        static_cast<int>(std::count_if(plan.begin(), plan.end(), [](const ConduitReport& r) { return !r.ok; }));
    if (a.get("json")) {
      std::printf("%s\n", reportJson(plan, RunInfo{started, user.typed, handheld, true, failed ? 1 : 0}, true).c_str());
    } else {
      std::printf("Dry run: what a HotSync would do now. Nothing was changed on the handheld or the server.\n%s",
                  reportText(plan, true).c_str());
      if (failed) {
        // Why it failed is in the run's own log, which a dry run keeps aside.
        std::printf("The dry run's HotSync log:\n");
        for (const std::string& entry : logEntries) std::printf("  %s\n", entry.c_str());
      }
    }
    return failed ? 1 : 0;
  }
  // The brake on mass deletion decides from what the run would do, found
  // by a dry run first, so that it is exact and stops before any change.
  std::string brakeProblem;
  const BrakeSettings brake = readBrakeSettings(userFolder, brakeProblem);
  if (!brakeProblem.empty()) std::printf("warning: %s\n", brakeProblem.c_str());
  if (brake.on && !a.get("allow-mass-delete")) {
    std::printf("Checking what the run would delete (the brake on mass deletion)...\n");
    std::fflush(stdout);
    for (const ConduitReport& r : dryRunConduits(conduits, handheld, userFolder, user, true)) {
      const std::string stop = massDeletion(r, brake);
      if (stop.empty()) continue;
      setenv("GWSYNC_HSLOG", (userFolder + "/hotsync.log").c_str(), 1);
      CHotSyncLog log;
      log.add("HotSync started " + timeNow() + " for " + user.typed, kHsLogActivityNone);
      log.add("Stopped by the brake on mass deletion: " + stop, kHsLogActivityError);
      std::printf("Stopped by the brake on mass deletion: %s\n", stop.c_str());
      return kBrakeStatus;
    }
  }
  // Before any conduit runs: the copy of the handheld folder that `hotsync
  // undo` puts back, then the copies of archived records, which a run purges.
  // Either failing stops the run with the handheld folder as it was.
  std::string backup;
  {
    std::string problem;
    backup = makeBackup(handheld, userFolder, keep, problem);
    if (!problem.empty()) refuse("the handheld folder cannot be backed up, so no conduit runs: " + problem);
    if (!backup.empty()) std::printf("Backup of the handheld folder: %s\n", backup.c_str());
    std::vector<std::string> databases;
    for (const RunConduit& run : conduits) databases.push_back(run.database);
    ArchiveReport archived;
    if (!archiveRecords(handheld, userFolder, databases, archived, problem))
      refuse("the archived records cannot be saved, so no conduit runs: " + problem);
    for (const std::string& warning : archived.warnings) std::printf("warning: %s\n", warning.c_str());
    for (const ArchivedCopy& c : archived.copies)
      std::printf("archived %zu record%s of %s to %s\n", c.copied, c.copied == 1 ? "" : "s", c.database.c_str(),
                  c.file.c_str());
  }

  if (SyncSetHandheldFolder(handheld.c_str()) != SYNCERR_NONE)
    refuse(std::string("cannot choose the handheld folder: ") + SyncGetLastProblem());
  std::string logPath = userFolder + "/hotsync.log";
  setenv("GWSYNC_HSLOG", logPath.c_str(), 1);
  off_t logStart = fileSize(logPath);
  CHotSyncLog log;
  log.add("HotSync started " + timeNow() + " for " + user.typed, kHsLogActivityNone);

  std::printf("HotSync for user \"%s\"\n  handheld folder: %s\n  user folder: %s\n", user.typed.c_str(),
              handheld.c_str(), userFolder.c_str());
  RunPlace place{handheld, userFolder, userFolder + "/run-record"};
  std::vector<ConduitReport> reports = runConduits(conduits, place, user, log);
  for (const ConduitReport& r : reports)
    if (r.ran) log.add(reportLine(r), kHsLogActivityNone);
  const int failed =
      static_cast<int>(std::count_if(reports.begin(), reports.end(), [](const ConduitReport& r) { return !r.ok; }));
  const int status = failed == 0 ? 0 : 1;
  keepReport(reports, userFolder, RunInfo{started, user.typed, handheld, false, status});
  // What undo cannot put back by itself is kept with the backup it restores.
  if (!backup.empty()) {
    std::ofstream changes(backup + "/server-changes", std::ios::binary);
    changes << serverChangesText(reports);
  }

  std::printf("HotSync log:\n");
  for (const std::string& entry : logEntriesFrom(logPath, logStart)) std::printf("  %s\n", entry.c_str());
  std::printf("HotSync finished: %d synchronised, %d failed.\n", static_cast<int>(reports.size()) - failed, failed);
  return status;
}

// ---- undo ----

// Takes a run's server changes back through the conduits that made them,
// a server page at a time; the pages done are noted in the backup folder,
// so that an undo run again does not do them twice. True when every change
// that can be taken back was.
bool undoOnServer(const std::string& changes, const std::string& backupFolder, const UserName& user,
                  const std::string& userFolder) {
  const std::string donePath = backupFolder + "/server-undone";
  const std::string done = fs::exists(donePath) ? wholeFile(donePath) : std::string();
  std::vector<std::string> pages;
  for (const RecordChange& c : parseServerChanges(changes))
    if (std::find(pages.begin(), pages.end(), c.kind) == pages.end()) pages.push_back(c.kind);
  if (pages.empty()) std::printf("The run changed nothing on the server.\n");
  setenv("GWSYNC_HSLOG", (userFolder + "/hotsync.log").c_str(), 1);
  bool all = true;
  for (const std::string& page : pages) {
    if (done.find(page + "\n") != std::string::npos) {
      std::printf("server: %s was taken back already\n", page.c_str());
      continue;
    }
    std::optional<KnownConduit> known = knownConduitOfPage(page);
    if (!known) {
      std::printf("server: %s cannot be taken back (a sent mail stays sent)\n", page.c_str());
      continue;
    }
    CConduitLibrary conduit;
    long taken = conduit.load(known->library) ? conduit.undoServerChanges(user.handheld, changes) : -1;
    if (taken < 0) {
      std::printf("server: %s could not be taken back: %s (the HotSync log says more)\n", page.c_str(),
                  conduit.problem().empty() ? "the conduit failed" : conduit.problem().c_str());
      all = false;
      continue;
    }
    std::ofstream(donePath, std::ios::app) << page << "\n";
    std::printf("server: %ld change%s of %s taken back\n", taken, taken == 1 ? "" : "s", page.c_str());
  }
  return all;
}

int commandUndo(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  const std::string handheld = handheldFolderOf(a);
  UserName user = userOf(a, BIG_PATH - 1);
  std::string userFolder = userFolderOf(a, user);
  // Never while a run works on the folder.
  HandheldLock handheldLock(handheld);

  // The newest backup of this folder not undone yet. A user folder may hold
  // backups of other handheld folders too; those are never put here.
  std::string here = canonicalFolder(handheld);
  std::string where = userFolder + "/backups";
  std::optional<Backup> chosen;
  bool anyHere = false;
  std::string other;
  for (const Backup& b : backups(userFolder)) {
    if (b.handheld != here) {
      if (other.empty()) other = b.handheld;
      continue;
    }
    anyHere = true;
    if (!b.undone) {
      chosen = b;
      break;
    }
  }
  if (!chosen) {
    if (anyHere) refuse("every backup of " + handheld + " in " + where + " is undone already; nothing was changed");
    if (!other.empty())
      refuse("no backup of " + handheld + " in " + where + " (those there are of " + other + "); nothing was changed");
    refuse("no backup of " + handheld + " in " + where + " to undo; nothing was changed");
  }

  std::printf("Undoing the HotSync run %s (backup %s)\n", chosen->stamp.c_str(), chosen->folder.c_str());
  RestoreReport report;
  std::string problem;
  if (!restoreBackup(*chosen, handheld, report, problem)) refuse("the handheld folder cannot be put back: " + problem);
  for (const std::string& name : report.removed) std::printf("removed %s\n", name.c_str());
  for (const std::string& name : report.restored) std::printf("restored %s\n", name.c_str());
  std::printf(
      "The handheld folder is back as it was before the HotSync run %s (%zu files restored, %zu removed, %zu "
      "unchanged).\n",
      chosen->stamp.c_str(), report.restored.size(), report.removed.size(), report.unchanged.size());
  const std::string changesFile = chosen->folder + "/server-changes";
  const std::string changes = fs::exists(changesFile) ? wholeFile(changesFile) : std::string();
  if (a.get("server") && !undoOnServer(changes, chosen->folder, user, userFolder)) {
    // Not marked undone: undo --server again completes it (what was taken
    // back on the server already is remembered).
    std::printf("Not all of the run could be taken back on the server; `hotsync undo --server` again completes it.\n");
    return 1;
  }
  // Marked undone last, so that an undo cut short is done again.
  if (!markUndone(*chosen, problem))
    refuse(
        "the handheld folder is put back, but the backup cannot be marked undone (the next undo would take "
        "it again): " +
        problem);
  if (a.get("server")) return 0;
  if (!fs::exists(changesFile)) {
    std::printf("What the run changed on the server is not known (the run kept no record of it).\n");
    return 0;
  }
  std::vector<std::string> inverse = inverseCommands(parseServerChanges(changes));
  if (inverse.empty()) {
    std::printf("The run changed nothing on the server.\n");
    return 0;
  }
  std::printf(
      "The server keeps what the run did there. To take that back too, on the server\n"
      "(`hotsync undo --server` does it with the handheld, for the runs not undone yet):\n");
  for (const std::string& line : inverse) std::printf("  %s\n", line.c_str());
  std::printf("Until then the next HotSync brings those records back to the handheld as the server has them.\n");
  return 0;
}

// ---- history ----

int commandHistory(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  UserName user = userOf(a, BIG_PATH - 1);
  const std::string userFolder = userFolderOf(a, user);
  const std::string last = a.get("last").value_or("10");
  if (last.empty() || last.size() > 6 || last.find_first_not_of("0123456789") != std::string::npos)
    usageError("--last " + last + " is not a number");
  const std::string file = userFolder + "/history.jsonl";
  if (!fs::exists(file)) {
    std::printf("No HotSync run of %s is on record in %s.\n", user.typed.c_str(), userFolder.c_str());
    return 0;
  }
  std::vector<std::string> lines = historyLines(wholeFile(file));
  // The last N runs: a run's line starts without a blank.
  size_t runs = 0, from = lines.size();
  while (from > 0 && runs < std::stoul(last))
    if (lines[--from].rfind("  ", 0) != 0) ++runs;
  for (size_t i = from; i < lines.size(); ++i) std::printf("%s\n", lines[i].c_str());
  return 0;
}

// ---- configure ----

int commandConfigure(const Args& a) {
  if (a.positional.size() != 1) usageError("configure needs one CREATOR");
  std::string creator = checkedCreator(a.positional[0]);
  UserName user = userOf(a, sizeof CfgConduitInfoType{}.szUser - 1);
  std::string module = a.get("conduit").value_or("");
  if (module.empty()) {
    char registered[CM_MAX_TEXT];
    int size = sizeof registered;
    int rc = CmGetCreatorModule(creator.c_str(), registered, &size);
    if (rc == CM_ERR_NOT_FOUND) refuse("no conduit is registered for " + creator + "; name its library with --conduit");
    if (rc != CM_ERR_NONE) registryFailure("cannot read the registration of " + creator);
    module = registered;
  }
  std::string userFolder = userFolderOf(a, user);

  CConduitLibrary conduit;
  if (!conduit.load(module)) refuse(module + " could not be loaded: " + conduit.problem());
  std::printf("%s: configuring %s %s (%s) for user \"%s\"\n", creator.c_str(), conduit.name().c_str(),
              versionText(conduit.version()).c_str(), module.c_str(), user.typed.c_str());
  std::fflush(stdout);  // the dialog reads and writes the terminal itself

  CfgConduitInfoType info{};
  info.dwVersion = CFG_CONDUIT_INFO_VERSION;
  info.dwSize = sizeof info;
  info.dwCreatorId = creatorCode(creator);
  info.dwUserId = 0;
  copyText(info.szUser, sizeof info.szUser, user.handheld);
  copyText(info.m_PathName, sizeof info.m_PathName, userFolder);
  info.syncPermanent = eFast;
  info.syncTemporary = eFast;
  info.syncNew = eFast;
  info.syncPref = eNoPreference;
  long rc = conduit.configure(info);
  if (rc == 0) {
    std::printf("%s: configuration done (result 0)\n", creator.c_str());
    return 0;
  }
  // The conduit interface's own codes read best in hexadecimal (0x107A).
  char result[32];
  if (rc > 0) std::snprintf(result, sizeof result, "0x%lX", rc);
  else std::snprintf(result, sizeof result, "%ld", rc);
  std::printf("%s: configuration failed (result %s)%s%s\n", creator.c_str(), result,
              conduit.problem().empty() ? "" : ": ", conduit.problem().c_str());
  return 1;
}

// ---- list ----

int commandList(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  std::vector<CmConduitType> all = registrations();
  if (all.empty()) {
    std::printf("No conduits are registered.\n");
    return 0;
  }
  std::vector<std::vector<std::string>> rows = {{"CREATOR", "PRIORITY", "TITLE", "MODULE", "DATABASE"}};
  for (const CmConduitType& c : all)
    rows.push_back({c.szCreator, std::to_string(c.iPriority), c.szTitle, c.szModule, c.szRemote});
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

// ---- register, unregister ----

int commandRegister(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  std::string creator = checkedCreator(required(a, "creator"));
  std::string module = required(a, "module");
  std::string database = required(a, "database");
  if (module.empty() || database.empty()) usageError("--module and --database need a name");
  // A path is kept absolute, so that runs from any folder find the library.
  if (module.find('/') != std::string::npos) module = fs::absolute(module).lexically_normal().string();
  int priority = CM_PRIORITY_DEFAULT;
  if (std::optional<std::string> text = a.get("priority")) {
    char* end = nullptr;
    long n = std::strtol(text->c_str(), &end, 10);
    if (text->empty() || *end || n < CM_PRIORITY_FIRST || n > CM_PRIORITY_LAST)
      usageError("--priority " + *text + " is not a number from 0 to 4");
    priority = static_cast<int>(n);
  }
  std::string title = a.get("title").value_or("");
  if (title.empty()) {
    CConduitLibrary conduit;
    if (conduit.load(module)) title = conduit.name();
    else
      std::fprintf(stderr, "hotsync: warning: %s cannot be loaded now (%s); it is registered all the same\n",
                   module.c_str(), conduit.problem().c_str());
    if (title.empty()) title = module;
  }

  const char* c = creator.c_str();
  int rc = CmInstallCreator(c, CM_CREATOR_TYPE_CONDUIT);
  if (rc == CM_ERR_ALREADY_INSTALLED) std::printf("%s was registered already; its registration is replaced.\n", c);
  else if (rc != CM_ERR_NONE) registryFailure("cannot register " + creator);
  std::string directory = "gw_" + creator;
  std::string file = "gw_" + creator + ".dat";
  if (CmSetCreatorPriority(c, priority) || CmSetCreatorName(c, module.c_str()) ||
      CmSetCreatorModule(c, module.c_str()) || CmSetCreatorDirectory(c, directory.c_str()) ||
      CmSetCreatorRemote(c, database.c_str()) || CmSetCreatorTitle(c, title.c_str()) || CmSetCreatorInfo(c, c) ||
      CmSetCreatorFile(c, file.c_str()) || CmSetCreatorArgument(c, c))
    registryFailure("cannot register " + creator);
  CmRestoreHotSyncSettings(0);
  std::printf("Registered %s: \"%s\" (%s, database %s, priority %d)\n", c, title.c_str(), module.c_str(),
              database.c_str(), priority);
  return 0;
}

int commandUnregister(const Args& a) {
  if (a.positional.size() != 1) usageError("unregister needs one CREATOR");
  std::string creator = checkedCreator(a.positional[0]);
  int rc = CmRemoveConduitByCreatorID(creator.c_str());
  if (rc == CM_ERR_NOT_FOUND) refuse("no conduit is registered for " + creator);
  if (rc != CM_ERR_NONE) registryFailure("cannot remove the registration of " + creator);
  CmRestoreHotSyncSettings(0);
  std::printf("Unregistered %s\n", creator.c_str());
  return 0;
}

// ---- the resident HotSync Manager ----

std::string ownProgram() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("hotsync") : self.string();
}

resident::Instance liveOrRefuse() {
  std::optional<resident::Instance> hs = resident::findLive();
  if (!hs) refuse("no resident HotSync Manager is running; `hotsync start --user NAME` starts one");
  return *hs;
}

int commandStart(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  resident::ServeOptions o;
  o.program = ownProgram();
  o.watch = a.get("watch").has_value();
  o.foreground = a.get("foreground").has_value();
  for (const auto& [name, value] : a.options) {
    if (name == "watch" || name == "foreground") {
      o.startArgs.push_back("--" + name);
      continue;
    }
    if (value.find('\n') != std::string::npos) usageError("--" + name + " holds a line break");
    o.startArgs.insert(o.startArgs.end(), {"--" + name, value});
    o.syncArgs.insert(o.syncArgs.end(), {"--" + name, value});
  }
  o.user = required(a, "user");
  o.handheld = a.get("handheld").value_or("");
  if (o.handheld.empty()) {
    const char* env = std::getenv("GWSYNC_HANDHELD");
    if (env) o.handheld = env;
    if (o.handheld.empty()) usageError("no handheld folder: give --handheld DIR or set GWSYNC_HANDHELD");
    // Kept with the instance: a restart may come from another environment.
    o.startArgs.insert(o.startArgs.end(), {"--handheld", o.handheld});
    o.syncArgs.insert(o.syncArgs.end(), {"--handheld", o.handheld});
  }
  std::error_code ec;
  if (!fs::is_directory(o.handheld, ec))
    refuse("the handheld folder " + o.handheld + " does not exist (make one with `handheld create " + o.handheld +
           "`)");
  std::fflush(stdout);
  return resident::serve(o);
}

int commandButton(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  resident::Instance hs = liveOrRefuse();
  long status = -1;
  // A whole HotSync of a large handheld may take minutes.
  std::string output = resident::controlText(hs, resident::kMsgButton, 3600 * 1000, &status);
  if (status < 0) refuse("the resident HotSync Manager (pid " + std::to_string(hs.pid) + ") did not answer");
  std::fputs(output.c_str(), stdout);
  return static_cast<int>(status);
}

int commandStatus(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  std::optional<resident::Instance> hs = resident::findLive();
  if (!hs) {
    std::printf("No resident HotSync Manager is running.\n");
    return 3;
  }
  std::string text = resident::statusText(*hs);
  if (text.empty()) refuse("the resident HotSync Manager (pid " + std::to_string(hs->pid) + ") did not answer");
  std::fputs(text.c_str(), stdout);
  return 0;
}

int commandStop(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  std::optional<resident::Instance> hs = resident::findLive();
  if (!hs) {
    std::printf("No resident HotSync Manager is running.\n");
    return 0;
  }
  resident::sendControl(*hs, resident::kMsgClose, 0, 0);
  // It ends once the HotSync it may be running is over.
  if (!resident::waitUntilEnded(600 * 1000))
    refuse("the resident HotSync Manager (pid " + std::to_string(hs->pid) + ") did not end");
  std::printf("HotSync Manager stopped (pid %d).\n", static_cast<int>(hs->pid));
  return 0;
}

// A value for a unit file's command line: quoted when it holds a blank or a
// quote, with the characters the unit file syntax gives a meaning escaped.
std::string unitWord(const std::string& value) {
  std::string word;
  bool quote = value.empty();
  for (char c : value) {
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
    if (c == '"' || c == '\\') word += '\\';
    word += c == '%' ? std::string("%%") : std::string(1, c);
  }
  return quote ? "\"" + word + "\"" : word;
}

int commandUnit(const Args& a) {
  if (!a.positional.empty()) usageError("unexpected argument " + a.positional[0]);
  std::string user = required(a, "user");
  if (user.find('\n') != std::string::npos) usageError("--user holds a line break");
  std::string program = ownProgram();
  std::string command = unitWord(program) + " start --foreground";
  bool hasHandheld = false;
  for (const auto& [name, value] : a.options) {
    if (name == "foreground") continue;
    if (value.find('\n') != std::string::npos) usageError("--" + name + " holds a line break");
    command += " --" + name;
    if (name == "watch") continue;
    // The service manager starts it from another folder.
    bool path = name == "handheld" || name == "userdir";
    command += " " + unitWord(path ? fs::absolute(value).lexically_normal().string() : value);
    hasHandheld = hasHandheld || name == "handheld";
  }
  if (!hasHandheld) {
    const char* env = std::getenv("GWSYNC_HANDHELD");
    if (!env || !*env) usageError("no handheld folder: give --handheld DIR or set GWSYNC_HANDHELD");
    command += " --handheld " + unitWord(fs::absolute(env).lexically_normal().string());
  }
  std::printf(
      "# The GWSync HotSync Manager, kept running by the user's service manager.\n"
      "# Made by `hotsync unit`; install with `hotsync unit --help`.\n"
      "[Unit]\n"
      "Description=GWSync HotSync Manager for %s\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart=%s\n"
      "ExecStop=%s stop\n"
      "Restart=on-failure\n"
      "\n"
      "[Install]\n"
      "WantedBy=default.target\n",
      user.c_str(), command.c_str(), unitWord(program).c_str());
  return 0;
}

struct Command {
  const char* name;
  int (*run)(const Args&);
  const char* usage;
  std::vector<std::string> options;
};

const Command kCommands[] = {
    {"sync",
     commandSync,
     kSyncUsage,
     {"handheld", "user", "userdir", "user-charset", "conduit", "keep-backups", "dry-run", "json",
      "allow-mass-delete"}},
    {"undo", commandUndo, kUndoUsage, {"handheld", "user", "userdir", "user-charset", "server"}},
    {"history", commandHistory, kHistoryUsage, {"user", "userdir", "user-charset", "last"}},
    {"configure", commandConfigure, kConfigureUsage, {"user", "conduit", "userdir", "user-charset"}},
    {"list", commandList, kListUsage, {}},
    {"register", commandRegister, kRegisterUsage, {"creator", "module", "database", "title", "priority"}},
    {"unregister", commandUnregister, kUnregisterUsage, {}},
    {"start",
     commandStart,
     kStartUsage,
     {"handheld", "user", "userdir", "user-charset", "conduit", "keep-backups", "watch", "foreground"}},
    {"button", commandButton, kButtonUsage, {}},
    {"status", commandStatus, kStatusUsage, {}},
    {"stop", commandStop, kStopUsage, {}},
    {"unit",
     commandUnit,
     kUnitUsage,
     {"handheld", "user", "userdir", "user-charset", "conduit", "keep-backups", "watch"}},
};

// The build's own library folder (../lib beside bin/) goes after whatever
// GWSYNC_LIBDIR already names, so that registered plain names such as
// "addressconduit.dll" are found without setting anything.
void addOwnLibraryFolder() {
  std::string bin = platform::callingModuleFolder();
  if (bin.empty()) return;
  std::string lib = fs::path(bin + "/../lib").lexically_normal().string();
  std::error_code ec;
  if (!fs::is_directory(lib, ec)) return;
  const char* current = std::getenv("GWSYNC_LIBDIR");
  std::string value = current && *current ? std::string(current) + ":" + lib : lib;
  setenv("GWSYNC_LIBDIR", value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  addOwnLibraryFolder();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands)
    if (args[0] == c.name) command = &c;
  try {
    if (!command) usageError("unknown command \"" + args[0] + "\"");
    Args a = parseArgs(std::vector<std::string>(args.begin() + 1, args.end()), command->options);
    if (a.has("help")) {
      std::fputs(command->usage, stdout);
      return 0;
    }
    int status = command->run(a);
    std::fflush(stdout);
    return status;
  } catch (const Failure& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "hotsync: %s\n", f.message.c_str());
    if (f.exitCode == 2)
      std::fprintf(stderr, "Try 'hotsync %s--help'.\n", command ? (std::string(command->name) + " ").c_str() : "");
    return f.exitCode;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "hotsync: %s\n", e.what());
    return 1;
  }
}
