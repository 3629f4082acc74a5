// What the resident instance and its clients share beyond resident.h: where
// its files are, and the pieces `hotsync start`, `stop`, `status` and
// `button` use.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "hotsync/resident/resident.h"

namespace resident {

std::string lockPath();    // held (flock) by the live instance for its whole life
std::string pidPath();     // its pid, program and `start` arguments, a line each
std::string socketPath();  // its control socket

// Whether some process holds the lock.
bool lockHeld();
// Waits up to `waitMs` for the lock to be free; false when it is still held.
bool waitUntilEnded(int waitMs);
// The text after the answer's number (and the number in `result`); "" when
// there is no answer.
std::string controlText(const Instance& hs, unsigned message, int waitMs, long* result);

// Starts `program command args...`, its standard output and error on
// `outFd` when given; the child's pid, or -1.
pid_t spawnHotSync(const std::string& program, const char* command, const std::vector<std::string>& args,
                   int outFd = -1);

// How the resident instance runs.
struct ServeOptions {
  std::string program;                 // the hotsync program (run as `PROGRAM sync SYNCARGS`)
  std::vector<std::string> startArgs;  // the arguments `hotsync start` was given, for a restart
  std::vector<std::string> syncArgs;   // what each run passes to `hotsync sync`
  std::string handheld;                // the handheld folder
  std::string user;                    // the handheld user's name, for status
  bool watch = false;                  // also run when the handheld folder changes
  bool foreground = false;             // stay attached (under a service manager)
};

// Runs the resident instance; returns the exit status for `hotsync start`
// (in the background form, the starting process returns once the instance
// is ready). Prints why it cannot start on standard error.
int serve(const ServeOptions& options);

}  // namespace resident
