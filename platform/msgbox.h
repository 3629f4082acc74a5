// Message boxes on the terminal, and their scripted answerer for tests.
//
//   if (MessageBox(nullptr, "Save the settings?", "GWSync", MB_YESNO | MB_ICONQUESTION) == IDYES)
//
// Interactive use: the caption and text go to standard error; when standard
// input is a terminal the box waits for Enter (MB_OK) or for the first letter
// of a button's name; otherwise it answers its default (first) button.
//
// Scripted use (tests, and runs of other programs under test): when
// $GWSYNC_MSGBOX_LOG names a file, a box never waits. It appends one record
// to that file, answering with the n-th entry of $GWSYNC_MSGBOX_ANSWERS (a
// comma-separated list of IDOK... as numbers or as ok, cancel, abort, retry,
// ignore, yes, no), where n counts the records already in the file; without
// an entry it answers the default button. The records are read back with
// platform::readMessageBoxLog, from this process or another one.
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

// Shows text under caption (null caption: "Error") with the buttons and icon
// of style. Returns the button chosen (IDOK, IDYES, ...).
PLATFORM_API int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

namespace platform {

struct MessageBoxRecord {
  std::string caption;
  std::string text;
  UINT style = 0;    // the whole style value
  std::string icon;  // "none", "stop", "question", "exclamation" or "information"
  int answer = 0;    // the button the answerer chose
};

// The records of a scripted message box file, in the order they were shown;
// empty when the file does not exist.
PLATFORM_API std::vector<MessageBoxRecord> readMessageBoxLog(const std::string& path);

}  // namespace platform
