// Runs the handheld tool on a folder for the tool's tests, taking its
// standard output, standard error and exit status apart.
//
//   HandheldRun r = runHandheld(folder, scratch, {"list", "memo"}, "LC_ALL=C.UTF-8 ");
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "testutil/files.h"
#include "testutil/shell.h"

struct HandheldRun {
  int code;
  std::string out;
  std::string err;
};

// env goes before the command ("NAME=value "); standard input is empty.
// Standard error passes through a file in scratch.
inline HandheldRun runHandheld(const std::filesystem::path& folder, const std::filesystem::path& scratch,
                               const std::vector<std::string>& args, const std::string& env = "") {
  std::string cmd = env + GWSYNC_TEST_BINDIR + "/handheld --folder " + testutil::shellQuote(folder.string());
  for (const std::string& a : args) cmd += " " + testutil::shellQuote(a);
  const std::filesystem::path err = scratch / "stderr";
  cmd += " 2>" + testutil::shellQuote(err.string()) + " </dev/null";
  testutil::ShellResult shell = testutil::runShell(cmd);
  return HandheldRun{shell.code, shell.out, testutil::readFile(err)};
}

// Runs a command that must succeed; gives its output.
inline std::string handheldOk(const std::filesystem::path& folder, const std::filesystem::path& scratch,
                              const std::vector<std::string>& args, const std::string& env = "") {
  HandheldRun r = runHandheld(folder, scratch, args, env);
  EXPECT_EQ(r.code, 0) << r.err;
  return r.out;
}
