// Captures the user messages a test provokes: the message texts are
// registered the way an installation does, the HotSync log bridge is loaded,
// and every forwarded entry is kept in order.
//
//   LogCapture log(dir.path());
//   ... code that writes messages ...
//   EXPECT_EQ(log.count("Server request failed"), 1);
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"

namespace testutil {

struct LoggedEntry {
  unsigned short level;
  std::string text;
};

inline std::vector<LoggedEntry>& loggedEntries() {
  static std::vector<LoggedEntry> entries;
  return entries;
}

class LogCapture {
 public:
  explicit LogCapture(const std::filesystem::path& dir) {
    ::setenv("GWSYNC_REGISTRY", (dir / "registry.reg").c_str(), 1);
    ::setenv("GWSYNC_HSLOG", (dir / "hotsync.log").c_str(), 1);
    ::setenv("GWSYNC_MSGBOX_LOG", (dir / "boxes").c_str(), 1);
    std::string command = std::string(GWSYNC_TEST_BINDIR) + "/logtext-install >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Log::openLog("condlog.dll"), 0u);
    loggedEntries().clear();
    Log::setWriteCallback([](unsigned short level, const char* text) { loggedEntries().push_back({level, text}); });
  }
  ~LogCapture() {
    Log::setWriteCallback(nullptr);
    Log::closeLog();
  }
  const std::vector<LoggedEntry>& entries() const { return loggedEntries(); }
  // Number of entries whose text contains part.
  int count(const std::string& part) const {
    int n = 0;
    for (const auto& e : loggedEntries()) n += e.text.find(part) != std::string::npos;
    return n;
  }
  void clear() { loggedEntries().clear(); }
  std::string all() const {
    std::string s;
    for (const auto& e : loggedEntries()) s += e.text;
    return s;
  }
};

}  // namespace testutil
