// Runs a shell command for a test and takes what it printed.
//
//   testutil::ShellResult r = testutil::runShell("perl " + testutil::shellQuote(script));
//   EXPECT_EQ(r.code, 0) << r.out;
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testutil {

struct ShellResult {
  int code = -1;    // the exit status; -1 when it did not exit (a signal)
  std::string out;  // its standard output (redirect 2>&1 for both)
};

inline ShellResult runShell(const std::string& command) {
  ShellResult r;
  FILE* f = ::popen(command.c_str(), "r");
  if (!f) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.out.append(buf, n);
  const int status = ::pclose(f);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// s as one word of a shell command, whatever it holds.
inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace testutil
