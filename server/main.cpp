// gwserver: the groupware server of the sync protocol, on one SQLite file.
// Usage is printed by `gwserver help`; server/README.md tells the formats.
#include <signal.h>

#include <atomic>
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
    "  gwserver user add DB NAME PASSWORD     prints the new user's id\n"
    "  gwserver user list DB\n"
    "  gwserver user sync DB NAME yes|no      allow or forbid synchronising\n"
    "  gwserver item add DB NAME [Text|File]  a user-defined address item; prints its id\n"
    "  gwserver settings DB DEVICE < LINES    DEVICE: None, Palm, PocketPC, Zaurus\n"
    "  gwserver export DB NAME > FILE\n"
    "  gwserver import DB NAME [--replace] < FILE\n"
    "  gwserver serve DB [--port N] [--bind ADDR] [--path /gw] [--basic-auth USER:PASS]\n"
    "                    [--faults] [--log] [--login-timeout SECONDS] [--max-body BYTES]\n";

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
    } else if (a == "--basic-auth") {
      http.basicAuth = value();
      if (http.basicAuth.find(':') == std::string::npos) throw gwserver::AdminError("--basic-auth is USER:PASS");
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
    std::cerr << "gwserver: cannot listen on " << http.bind << " port " << http.port << "\n";
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
    return 0;
  }
  if (cmd == "user" && argc >= 4) {
    std::string sub = argv[2];
    gwserver::Db db(argv[3]);
    if (sub == "add" && argc == 6) {
      std::cout << gwserver::addUser(db, argv[4], argv[5]) << "\n";
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
