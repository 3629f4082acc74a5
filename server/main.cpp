// gwserver: the groupware server of the sync protocol, on one SQLite file.
// Usage is printed by `gwserver help`; server/README.md tells the formats.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "server/admin.h"
#include "server/httpserver.h"
#include "server/service.h"
#include "server/store.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  gwserver init DB\n"
    "  gwserver user add DB NAME [--password-file FILE]   password from FILE or standard input;\n"
    "                                                     prints the new user's id\n"
    "  gwserver user passwd DB NAME [--password-file FILE]\n"
    "  gwserver user delete DB NAME [--yes]               the user, its data and relation data\n"
    "  gwserver user list DB\n"
    "  gwserver user sync DB NAME yes|no      allow or forbid synchronising\n"
    "  gwserver item add DB NAME [Text|File]  a user-defined address item; prints its id\n"
    "  gwserver settings DB DEVICE < LINES    DEVICE: None, Palm, PocketPC, Zaurus\n"
    "  gwserver export DB NAME > FILE\n"
    "  gwserver import DB NAME [--replace] < FILE\n"
    "  gwserver serve DB [--port N] [--bind ADDR] [--path /gw] [--basic-auth-file FILE]\n"
    "                    [--faults] [--log] [--login-timeout SECONDS] [--max-body BYTES]\n"
    "                    [--header-timeout S] [--body-timeout S] [--idle-timeout S]\n"
    "                    [--max-connections N] [--max-per-client N]\n";

const char kVisible[] =
    "gwserver: warning: a password on the command line can be seen by other users (ps, shell history); "
    "give it on standard input or in a file (--password-file)\n";

// The first line of a file, without its line end.
std::string firstLine(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw gwserver::AdminError(std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno));
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// One line from standard input; on a terminal asked for without echo.
std::string readSecret(const std::string& prompt) {
  bool tty = isatty(0);
  termios saved{};
  if (tty) {
    std::cerr << prompt << std::flush;
    tcgetattr(0, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSAFLUSH, &quiet);
  }
  std::string line;
  bool got = static_cast<bool>(std::getline(std::cin, line));
  if (tty) {
    tcsetattr(0, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!got) throw gwserver::AdminError("no password on standard input");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A new password: from --password-file, else standard input (asked twice on
// a terminal).
std::string newPassword(const std::string& file, const std::string& name) {
  std::string password;
  if (!file.empty()) {
    password = firstLine(file, "password file");
  } else {
    password = readSecret("Password for " + name + ": ");
    if (isatty(0) && readSecret("Again: ") != password) throw gwserver::AdminError("the passwords differ");
  }
  if (password.empty()) throw gwserver::AdminError("a password must not be empty");
  return password;
}

// Parses NAME [PASSWORD] [--password-file FILE] [--yes] after "user SUB DB".
struct UserArgs {
  std::string name, password, file;
  bool hasPassword = false, yes = false;
};
bool userArgs(int argc, char** argv, int from, UserArgs& out, bool allowPassword, bool allowYes) {
  for (int i = from; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--password-file" && i + 1 < argc && !allowYes) out.file = argv[++i];
    else if (a == "--yes" && allowYes) out.yes = true;
    else if (out.name.empty() && a.rfind("--", 0) != 0) out.name = a;
    else if (allowPassword && !out.hasPassword && a.rfind("--", 0) != 0) {
      out.password = a;
      out.hasPassword = true;
    } else return false;
  }
  return !out.name.empty() && !(out.hasPassword && !out.file.empty());
}

int usage() {
  std::cerr << kUsage;
  return 2;
}

int serve(const std::string& path, int argc, char** argv) {
  gwserver::HttpOptions http;
  gwserver::ServiceOptions service;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw gwserver::AdminError(a + " needs a value");
      return argv[++i];
    };
    auto number = [&]() -> long {
      std::string v = value();
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 0) throw gwserver::AdminError(a + " needs a number");
      return n;
    };
    if (a == "--port") {
      http.port = static_cast<int>(number());
      if (http.port > 65535) throw gwserver::AdminError("--port is 0 to 65535");
    } else if (a == "--bind") {
      http.bind = value();
    } else if (a == "--path") {
      http.path = value();
      if (http.path.empty() || http.path[0] != '/') throw gwserver::AdminError("--path begins with /");
    } else if (a == "--basic-auth" || a == "--basic-auth-file") {
      if (a == "--basic-auth") {
        http.basicAuth = value();
        std::cerr << kVisible;
      } else {
        http.basicAuth = firstLine(value(), "--basic-auth-file");
      }
      if (http.basicAuth.find(':') == std::string::npos) throw gwserver::AdminError(a + " gives USER:PASS");
    } else if (a == "--header-timeout") {
      http.headerSeconds = static_cast<int>(std::max(1L, number()));
    } else if (a == "--body-timeout") {
      http.bodySeconds = static_cast<int>(std::max(1L, number()));
    } else if (a == "--idle-timeout") {
      http.idleSeconds = static_cast<int>(std::max(1L, number()));
    } else if (a == "--max-connections") {
      http.maxConnections = static_cast<int>(std::clamp(number(), 1L, 4096L));
    } else if (a == "--max-per-client") {
      http.maxPerClient = static_cast<int>(std::clamp(number(), 1L, 100000L));
    } else if (a == "--faults") {
      http.faults = true;
    } else if (a == "--log") {
      http.log = true;
    } else if (a == "--login-timeout") {
      service.loginIdle = std::chrono::seconds(number());
    } else if (a == "--max-body") {
      http.maxBody = static_cast<size_t>(number());
    } else {
      throw gwserver::AdminError("unknown option " + a);
    }
  }
  { gwserver::Db check(path); }  // a missing or foreign file stops here, with its reason

  // SIGINT and SIGTERM are taken by one waiting thread, which stops the server.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  gwserver::DbPool pool(path);
  gwserver::Service pages(pool, service);
  gwserver::HttpServer server(http, pages);
  std::string url = server.bind();
  if (url.empty()) {
    std::cerr << "gwserver: " << server.error() << "\n";
    return 1;
  }
  std::cout << url << std::endl;
  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    // A signal that comes before the server is serving must still stop it.
    while (!finished && !server.running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!finished) server.stop();
  });
  bool ok = server.run();
  finished = true;
  kill(getpid(), SIGTERM);  // releases the waiter when the server ended by itself
  waiter.join();
  std::cerr << "gwserver: stopped\n";
  return ok ? 0 : 1;
}

// Says so on standard error when the database or its side files are open to
// other users.
void warnModes(const std::string& path) {
  std::string warnings = gwserver::modeWarnings(path);
  for (size_t pos = 0; pos < warnings.size();) {
    size_t end = warnings.find('\n', pos);
    std::cerr << "gwserver: " << warnings.substr(pos, end - pos) << "\n";
    pos = end + 1;
  }
}

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "help" || cmd == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (argc < 3) return usage();
  if (cmd == "init") {
    gwserver::initDatabase(argv[2]);
    warnModes(argv[2]);
    return 0;
  }
  warnModes((cmd == "user" || cmd == "item") && argc >= 4 ? argv[3] : argv[2]);
  if (cmd == "user" && argc >= 4) {
    std::string sub = argv[2];
    gwserver::Db db(argv[3]);
    UserArgs u;
    if (sub == "add" && userArgs(argc, argv, 4, u, true, false)) {
      if (u.hasPassword) std::cerr << kVisible;
      std::string password = u.hasPassword ? u.password : newPassword(u.file, u.name);
      std::cout << gwserver::addUser(db, u.name, password) << "\n";
      return 0;
    }
    if (sub == "passwd" && userArgs(argc, argv, 4, u, false, false)) {
      gwserver::userId(db, u.name);  // an unknown name fails before the password is asked
      gwserver::setPassword(db, u.name, newPassword(u.file, u.name));
      return 0;
    }
    if (sub == "delete" && userArgs(argc, argv, 4, u, false, true)) {
      gwserver::UserData data = gwserver::userData(db, u.name);
      if (!u.yes) {
        std::cerr << "Delete user " << u.name << " (id " << data.id << ") with " << data.records << " records and "
                  << data.relations << " relation pairs? Type yes to delete: " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (!answer.empty() && answer.back() == '\r') answer.pop_back();
        if (answer != "yes") {
          std::cerr << "gwserver: nothing deleted\n";
          return 1;
        }
      }
      gwserver::deleteUser(db, u.name);
      return 0;
    }
    if (sub == "list" && argc == 4) {
      gwserver::Stmt s(db, "SELECT id, name, may_sync FROM users ORDER BY id");
      while (s.step())
        std::cout << s.integer(0) << "\t" << s.text(1) << (s.integer(2) ? "" : "\t(may not sync)") << "\n";
      return 0;
    }
    if (sub == "sync" && argc == 6 && (std::strcmp(argv[5], "yes") == 0 || std::strcmp(argv[5], "no") == 0)) {
      gwserver::setMaySync(db, argv[4], std::strcmp(argv[5], "yes") == 0);
      return 0;
    }
    return usage();
  }
  if (cmd == "item" && argc >= 5 && std::strcmp(argv[2], "add") == 0 && argc <= 6) {
    gwserver::Db db(argv[3]);
    std::cout << gwserver::addItem(db, argv[4], argc == 6 ? argv[5] : "Text") << "\n";
    return 0;
  }
  if (cmd == "settings" && argc == 4) {
    gwserver::Db db(argv[2]);
    gwserver::setSettings(db, argv[3], std::cin);
    return 0;
  }
  if (cmd == "export" && argc == 4) {
    gwserver::Db db(argv[2]);
    gwserver::exportUser(db, argv[3], std::cout);
    return std::cout.good() ? 0 : 1;
  }
  if (cmd == "import" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--replace") == 0))) {
    gwserver::Db db(argv[2]);
    int lines = gwserver::importUser(db, argv[3], std::cin, argc == 5);
    std::cerr << "gwserver: imported " << lines << " lines\n";
    return 0;
  }
  if (cmd == "serve") return serve(argv[2], argc - 3, argv + 3);
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "gwserver: " << e.what() << "\n";
    return 1;
  }
}
