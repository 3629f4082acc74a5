// What one conduit's run did, or would do in a dry run: the records added,
// changed and deleted on each side with the text a person knows them by, the
// conflicts and the records left out, and what the run cost. The handheld's
// side comes from the database as it was before and after the run; the
// server's, the conflicts and the costs from the run record the conduit's
// libraries kept (platform/runrecord.h).
//
//   ConduitReport r;
//   DatabaseSnapshot before = snapshotDatabase(folder, "AddressDB");
//   ... the conduit runs with $GWSYNC_RUN_RECORD set to recordPath ...
//   addHandheldChanges(before, snapshotDatabase(folder, "AddressDB"), r);
//   addRunRecord(recordPath, r);
//   log.add(reportLine(r));
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hotsync/pdb/pdb.h"

namespace hotsync {

enum class Side { Handheld, Server };

struct RecordChange {
  Side side = Side::Handheld;
  std::string what;  // "add", "change" or "delete"
  std::string id;    // the record's id on that side; "0" when not known
  std::string kind;  // the server's page ("SyncAddress") or the handheld database
  std::string text;  // how a person knows it, in the handheld's character set
  // A server record changed or deleted: its server line before the run (as
  // the run record keeps it), and the handheld id it was paired with.
  std::string earlier{};
  std::string pairedWith{};
};

struct ConduitReport {
  std::string label;     // the creator, or the library of an unregistered conduit
  std::string conduit;   // the conduit's name
  std::string database;  // the handheld database it syncs
  bool ran = false;      // loaded and called (false: it could not run)
  bool ok = false;
  std::string outcome;  // "synchronised", "failed (result -1)", why it could not run

  long handheldRecords = 0;  // live records of the database before the run
  long serverRecords = 0;    // records the server listed (the largest listing of a kind)
  long handheldRead = 0;     // records the conduit was handed
  long serverRead = 0;       // records listed by the server, over every listing
  std::vector<RecordChange> changes;
  std::vector<RecordChange> conflicts;  // the record named in the message
  std::vector<RecordChange> skipped;    // records one side could not hold
  long filtered = 0;                    // server records a filter kept off the handheld
  long relationsSet = 0, relationsRemoved = 0;
  long httpRequests = 0;
  uint64_t bytesSent = 0, bytesReceived = 0;
  long syncCalls = 0;  // Sync Manager calls
  double wallMs = 0;

  long count(Side side, const std::string& what) const;
};

// A database's records by unique id, deleted and archived ones included.
struct DatabaseSnapshot {
  bool found = false;
  uint32_t creator = 0;
  std::map<uint32_t, palm::Record> records;
  long live() const;
};

// The database as a reader sees it now (a journal left beside it applied);
// found false when there is none or it cannot be read.
DatabaseSnapshot snapshotDatabase(const std::string& folder, const std::string& name);

// Adds the handheld's changes between the snapshots: records that became
// live (add), live records whose data, category or private mark changed
// (change) and live records that went (delete). Records deleted or archived
// before the run are not the run's; a record that went and came back with
// the same data and category under another id (a refresh) is no change.
void addHandheldChanges(const DatabaseSnapshot& before, const DatabaseSnapshot& after, ConduitReport& report);

// Adds what the run record file at path says; a missing file adds nothing.
void addRunRecord(const std::string& path, ConduitReport& report);

// How a person knows a handheld record of that creator's application: a
// name, a first line, a subject, a description with its date. Empty for
// records that cannot be read.
std::string describeRecord(uint32_t creator, const std::string& data);

// The run in one line for the HotSync log.
std::string reportLine(const ConduitReport& r);

// What the runs did (or, plan true, would do), for a person: per conduit,
// the counts on each side, then each record change, conflict and record
// left out, texts in the terminal's character set.
std::string reportText(const std::vector<ConduitReport>& reports, bool plan);

struct RunInfo {
  std::string started;   // UTC, "2026-12-08T21:40:00Z"
  std::string user;      // as typed
  std::string handheld;  // the handheld folder
  bool dryRun = false;
  int status = 0;  // the exit status of the run
};

// The runs as one line of JSON (UTF-8); with records false, without the
// lists of records (for the history).
std::string reportJson(const std::vector<ConduitReport>& reports, const RunInfo& info, bool records);

// The server's side of the runs, a line per record change ("add", "change"
// or "delete", the page, the id, the text, the earlier line, the handheld id
// it was paired with), for undo: kept beside the run's backup.
std::string serverChangesText(const std::vector<ConduitReport>& reports);
std::vector<RecordChange> parseServerChanges(const std::string& text);
// What a person would do on the server to take those changes back, a line
// each, texts in the terminal's character set.
std::vector<std::string> inverseCommands(const std::vector<RecordChange>& serverChanges);

// One line per run of a history file (history.jsonl), newest last: when,
// the exit status, and per conduit the counts on each side.
std::vector<std::string> historyLines(const std::string& historyText);

// The brake on mass deletion: a run that would delete more than `share`
// percent of a side's records, and at least `minimum` of them, is stopped.
struct BrakeSettings {
  bool on = true;
  int share = 50;
  int minimum = 10;
};

// The settings of a user folder's "settings" file (lines "name=value":
// mass-delete-brake=on|off, mass-delete-share=1..100,
// mass-delete-minimum=N); defaults for what it lacks. problem is set for a
// value that cannot be read, and the default kept.
BrakeSettings readBrakeSettings(const std::string& userFolder, std::string& problem);

// Why the run must be stopped, naming the side, the counts and how to go on;
// empty when the brake lets it through.
std::string massDeletion(const ConduitReport& r, const BrakeSettings& brake);

}  // namespace hotsync
