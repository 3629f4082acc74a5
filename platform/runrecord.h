// The record of one conduit run: the libraries a conduit loads (the client
// library, the sync engine) append what they did to the file the hotsync
// program names in $GWSYNC_RUN_RECORD, one event per line, and the program
// reads it back for the run's report and a dry run's plan. Unset, nothing is
// written. $GWSYNC_DRY_RUN=1 asks the client library to record its commits
// instead of sending them.
//
//   platform::appendRunRecord({"server", "add", "SyncMemo", "0", "Groceries"});
//
// A line is its fields joined by tabs. Tabs and line breaks inside a field
// become blanks, so a field never splits a line.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kRunRecordVariable = "GWSYNC_RUN_RECORD";
inline constexpr const char* kDryRunVariable = "GWSYNC_DRY_RUN";

// True when a run record is being kept.
bool runRecordActive();
// True when commits are to be recorded rather than sent.
bool dryRun();
// One event as a line; appended whole (one write) so that lines of the
// libraries never interleave. Failures are ignored: the record serves the
// report, never the sync itself.
void appendRunRecord(std::initializer_list<std::string_view> fields);
// Several lines at once, each as appendRunRecord would write it.
void appendRunRecordLines(const std::vector<std::vector<std::string>>& lines);
// The fields of one line as appended.
std::vector<std::string> splitRunRecordLine(std::string_view line);

}  // namespace platform
