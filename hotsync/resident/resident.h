// The resident HotSync Manager: one `hotsync start` per desktop user, found
// through a pid file and a lock under $XDG_RUNTIME_DIR/gwsync/, and driven
// through a control socket beside them.
//
//   if (auto hs = resident::findLive()) {
//     long yes = resident::sendControl(*hs, resident::kMsgCanRestart, 1, 0);
//     resident::sendControl(*hs, resident::kMsgClose, 0, 0);   // it ends
//     resident::startAgain(*hs);                               // same arguments
//   }
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace resident {

// Control messages, numbered as the desktop HotSync Manager's window
// messages they stand for.
constexpr unsigned kMsgCanRestart = 0xBEC5;  // answers 1: it may be restarted
constexpr unsigned kMsgClose = 0x0010;       // ends the resident instance
constexpr unsigned kMsgButton = 0x0401;      // runs a whole HotSync now; answers its exit status
constexpr unsigned kMsgStatus = 0x0402;      // answers 1 (see statusText)

struct Instance {
  pid_t pid = 0;
  std::string socket;             // the control socket's path
  std::vector<std::string> args;  // the arguments of its `hotsync start`, without the program
  std::string program;            // the hotsync program it runs
};

// The folder of the pid file, lock and socket ($XDG_RUNTIME_DIR/gwsync, or
// /tmp/gwsync-UID when XDG_RUNTIME_DIR is unset).
std::string runtimeFolder();

// The live resident instance of this user, if any. A pid file whose process
// is gone, or that no process holds the lock of, is no instance.
std::optional<Instance> findLive();

// Sends one control message and returns the answer; 0 when the instance does
// not answer (gone, or not within `waitMs`).
long sendControl(const Instance& hs, unsigned message, long wParam, long lParam, int waitMs = 10000);

// The text `hotsync status` prints: user, handheld folder, last run and its
// result; "" when the instance does not answer.
std::string statusText(const Instance& hs);

// Starts `hotsync start` again with the instance's arguments, once the old
// one has ended (waiting up to `waitMs` for its lock); false when it could
// not be started.
bool startAgain(const Instance& hs, int waitMs = 10000);

}  // namespace resident
