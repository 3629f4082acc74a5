#include "hotsync/hotsync/runreport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <set>

#include "hotsync/handheld/records.h"
#include "hotsync/store/store.h"
#include "platform/runrecord.h"
#include "platform/textconv.h"

namespace hotsync {

namespace {

const char* sideName(Side s) { return s == Side::Handheld ? "handheld" : "server"; }

bool sameContent(const palm::Record& a, const palm::Record& b) {
  return a.data == b.data && a.category == b.category && a.secret == b.secret;
}

long toLong(const std::string& s) { return std::strtol(s.c_str(), nullptr, 10); }

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string plural(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", ms / 1000);
  return text;
}

// A JSON string of handheld text, converted to UTF-8.
std::string jsonText(const std::string& handheldText, bool convert = true) {
  const std::string text = convert ? platform::handheldTo("UTF-8", handheldText) : handheldText;
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string jsonRecords(const std::vector<RecordChange>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    const RecordChange& c = list[i];
    out += std::string(i ? "," : "") + "{\"side\":\"" + sideName(c.side) + "\",\"what\":" + jsonText(c.what, false) +
           ",\"id\":" + jsonText(c.id, false) + ",\"text\":" + jsonText(c.text) +
           ",\"kind\":" + jsonText(c.kind, false) + "}";
  }
  return out + "]";
}

std::string jsonSide(const ConduitReport& r, Side side) {
  const bool hh = side == Side::Handheld;
  return "{\"records\":" + std::to_string(hh ? r.handheldRecords : r.serverRecords) +
         ",\"read\":" + std::to_string(hh ? r.handheldRead : r.serverRead) +
         ",\"added\":" + std::to_string(r.count(side, "add")) +
         ",\"changed\":" + std::to_string(r.count(side, "change")) +
         ",\"deleted\":" + std::to_string(r.count(side, "delete")) + "}";
}

}  // namespace

long ConduitReport::count(Side side, const std::string& what) const {
  return std::count_if(changes.begin(), changes.end(),
                       [&](const RecordChange& c) { return c.side == side && c.what == what; });
}

long DatabaseSnapshot::live() const {
  return std::count_if(records.begin(), records.end(), [](const auto& r) { return r.second.live(); });
}

DatabaseSnapshot snapshotDatabase(const std::string& folder, const std::string& name) {
  DatabaseSnapshot s;
  std::unique_ptr<palm::StoredDatabase> db;
  if (!palm::StoredDatabase::open(folder, name, false, db)) return s;
  s.found = true;
  s.creator = db->db().creator;
  for (const palm::Record& r : db->db().records) s.records[r.uniqueId] = r;
  db->close();
  return s;
}

void addHandheldChanges(const DatabaseSnapshot& before, const DatabaseSnapshot& after, ConduitReport& report) {
  const uint32_t creator = after.found ? after.creator : before.creator;
  std::vector<const palm::Record*> gone, came;
  for (const auto& [id, was] : before.records) {
    if (!was.live()) continue;
    auto now = after.records.find(id);
    if (now == after.records.end() || !now->second.live()) gone.push_back(&was);
    else if (!sameContent(was, now->second))
      report.changes.push_back(
          {Side::Handheld, "change", std::to_string(id), report.database, describeRecord(creator, now->second.data)});
  }
  for (const auto& [id, now] : after.records) {
    if (!now.live()) continue;
    auto was = before.records.find(id);
    if (was == before.records.end() || !was->second.live()) came.push_back(&now);
  }
  // A record written again under a new id is the same record to a person.
  for (auto g = gone.begin(); g != gone.end();) {
    auto twin = std::find_if(came.begin(), came.end(), [&](const palm::Record* c) { return sameContent(**g, *c); });
    if (twin == came.end()) {
      ++g;
      continue;
    }
    came.erase(twin);
    g = gone.erase(g);
  }
  for (const palm::Record* r : came)
    report.changes.push_back(
        {Side::Handheld, "add", std::to_string(r->uniqueId), report.database, describeRecord(creator, r->data)});
  for (const palm::Record* r : gone)
    report.changes.push_back(
        {Side::Handheld, "delete", std::to_string(r->uniqueId), report.database, describeRecord(creator, r->data)});
}

void addRunRecord(const std::string& path, ConduitReport& report) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::set<std::string> filtered;
  while (std::getline(in, line)) {
    std::vector<std::string> f = platform::splitRunRecordLine(line);
    f.resize(std::max<size_t>(f.size(), 7));
    if (f[0] == "http") {
      ++report.httpRequests;
      report.bytesSent += static_cast<uint64_t>(std::strtoull(f[3].c_str(), nullptr, 10));
      report.bytesReceived += static_cast<uint64_t>(std::strtoull(f[4].c_str(), nullptr, 10));
    } else if (f[0] == "server" && f[1] == "read") {
      const long n = toLong(f[3]);
      report.serverRead += n;
      report.serverRecords = std::max(report.serverRecords, n);
    } else if (f[0] == "server" && f[1] == "relations") {
      report.relationsSet += toLong(f[3]);
      report.relationsRemoved += toLong(f[4]);
    } else if (f[0] == "server" && (f[1] == "add" || f[1] == "change" || f[1] == "delete")) {
      report.changes.push_back({Side::Server, f[1], f[3], f[2], f[4], f[5], f[6]});
    } else if (f[0] == "engine") {
      const Side side = f[2] == "server" ? Side::Server : Side::Handheld;
      if (f[1] == "conflict") report.conflicts.push_back({side, f[1], f[3], report.database, f[4]});
      if (f[1] == "skipped") report.skipped.push_back({side, f[1], f[3], report.database, f[4]});
      if (f[1] == "filtered") filtered.insert(f[3]);
    }
  }
  report.filtered += static_cast<long>(filtered.size());
}

std::string describeRecord(uint32_t creator, const std::string& data) {
  if (creator == palm::fourCC("addr")) {
    palm::AddressRecord a;
    if (!palm::parseAddress(data, a, nullptr)) return "";
    const std::string last = a.fields[palm::kLastName].value_or("");
    const std::string first = a.fields[palm::kFirstName].value_or("");
    if (last.empty() && first.empty()) return a.fields[palm::kCompany].value_or("");
    return last.empty() || first.empty() ? last + first : last + ", " + first;
  }
  if (creator == palm::fourCC("memo")) return firstLine(palm::memoText(data));
  if (creator == palm::fourCC("mail")) {
    palm::MailRecord m;
    return palm::parseMail(data, m, nullptr) ? m.texts[palm::kSubject] : "";
  }
  if (creator == palm::fourCC("todo")) {
    palm::ToDoRecord t;
    return palm::parseToDo(data, t, nullptr) ? t.description : "";
  }
  if (creator == palm::fourCC("date")) {
    palm::EventRecord e;
    if (!palm::parseEvent(data, e, nullptr)) return "";
    const palm::Ymd d = palm::unpackDate(e.date);
    return std::to_string(d.year) + "/" + std::to_string(d.month) + "/" + std::to_string(d.day) + " " +
           e.description.value_or("");
  }
  return "";
}

std::string reportLine(const ConduitReport& r) {
  auto side = [&](Side s, long of) {
    return std::to_string(r.count(s, "add")) + " added, " + std::to_string(r.count(s, "change")) + " changed, " +
           std::to_string(r.count(s, "delete")) + " deleted of " + std::to_string(of);
  };
  return r.conduit + ": handheld " + side(Side::Handheld, r.handheldRecords) + "; server " +
         side(Side::Server, r.serverRecords) + "; " +
         plural(static_cast<long>(r.conflicts.size()), "conflict", "conflicts") + ", " +
         std::to_string(r.skipped.size() + static_cast<size_t>(r.filtered)) + " skipped; " +
         plural(r.httpRequests, "HTTP request", "HTTP requests") + ", " + std::to_string(r.bytesSent) +
         " bytes sent, " + std::to_string(r.bytesReceived) + " received; " +
         plural(r.syncCalls, "Sync Manager call", "Sync Manager calls") + "; " + seconds(r.wallMs);
}

std::string reportText(const std::vector<ConduitReport>& reports, bool plan) {
  std::string out;
  const char* add = plan ? " to add, " : " added, ";
  const char* change = plan ? " to change, " : " changed, ";
  const char* del = plan ? " to delete" : " deleted";
  for (const ConduitReport& r : reports) {
    out += r.label + ": " + r.conduit + " (" + r.database + "): " + r.outcome + "\n";
    if (!r.ran) continue;
    for (Side s : {Side::Handheld, Side::Server})
      out += std::string("  ") + (s == Side::Handheld ? "handheld: " : "server:   ") +
             std::to_string(r.count(s, "add")) + add + std::to_string(r.count(s, "change")) + change +
             std::to_string(r.count(s, "delete")) + del + " (of " +
             std::to_string(s == Side::Handheld ? r.handheldRecords : r.serverRecords) + ")\n";
    if (!r.conflicts.empty())
      out += "  conflicts: " + std::to_string(r.conflicts.size()) + ", the server's version " +
             (plan ? "to be kept" : "kept") + "\n";
    if (!r.skipped.empty() || r.filtered)
      out += "  skipped: " + std::to_string(r.skipped.size()) + " that one side cannot hold, " +
             std::to_string(r.filtered) + " kept off the handheld by a filter\n";
    if (r.relationsSet || r.relationsRemoved)
      out += "  relations: " + std::to_string(r.relationsSet) + " set, " + std::to_string(r.relationsRemoved) +
             " removed\n";
    for (const RecordChange& c : r.changes) {
      const char mark = c.what == "add" ? '+' : c.what == "change" ? '~' : '-';
      out += std::string("    ") + mark + " " + (c.side == Side::Handheld ? "handheld " : "server   ") +
             platform::handheldToTerminal(c.text) + "\n";
    }
    for (const RecordChange& c : r.conflicts) out += "    ! conflict " + platform::handheldToTerminal(c.text) + "\n";
    for (const RecordChange& c : r.skipped)
      out += std::string("    ? skipped  ") + sideName(c.side) + " " + platform::handheldToTerminal(c.text) + "\n";
  }
  return out;
}

std::string reportJson(const std::vector<ConduitReport>& reports, const RunInfo& info, bool records) {
  std::string out = "{\"started\":" + jsonText(info.started, false) + ",\"user\":" + jsonText(info.user, false) +
                    ",\"handheld\":" + jsonText(info.handheld, false) +
                    ",\"dryRun\":" + (info.dryRun ? "true" : "false") + ",\"status\":" + std::to_string(info.status) +
                    ",\"conduits\":[";
  for (size_t i = 0; i < reports.size(); ++i) {
    const ConduitReport& r = reports[i];
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", r.wallMs);
    out += std::string(i ? "," : "") + "{\"label\":" + jsonText(r.label, false) +
           ",\"conduit\":" + jsonText(r.conduit, false) + ",\"database\":" + jsonText(r.database, false) +
           ",\"ok\":" + (r.ok ? "true" : "false") + ",\"outcome\":" + jsonText(r.outcome, false) +
           ",\"handheld\":" + jsonSide(r, Side::Handheld) + ",\"server\":" + jsonSide(r, Side::Server) +
           ",\"conflicts\":" + std::to_string(r.conflicts.size()) + ",\"skipped\":" + std::to_string(r.skipped.size()) +
           ",\"filtered\":" + std::to_string(r.filtered) + ",\"relations\":{\"set\":" + std::to_string(r.relationsSet) +
           ",\"removed\":" + std::to_string(r.relationsRemoved) +
           "},\"http\":{\"requests\":" + std::to_string(r.httpRequests) +
           ",\"bytesSent\":" + std::to_string(r.bytesSent) + ",\"bytesReceived\":" + std::to_string(r.bytesReceived) +
           "},\"syncManagerCalls\":" + std::to_string(r.syncCalls) + ",\"wallMs\":" + ms;
    if (records)
      out += ",\"changes\":" + jsonRecords(r.changes) + ",\"conflictRecords\":" + jsonRecords(r.conflicts) +
             ",\"skippedRecords\":" + jsonRecords(r.skipped);
    out += "}";
  }
  return out + "]}";
}

std::string serverChangesText(const std::vector<ConduitReport>& reports) {
  std::string out;
  for (const ConduitReport& r : reports)
    for (const RecordChange& c : r.changes) {
      if (c.side != Side::Server) continue;
      std::string line = c.what + "\t" + c.kind + "\t" + c.id + "\t";
      for (char ch : c.text) line += ch == '\t' || ch == '\n' || ch == '\r' ? ' ' : ch;
      // The earlier line is escaped by the client library: no tab or line end.
      out += line + "\t" + c.earlier + "\t" + c.pairedWith + "\n";
    }
  return out;
}

std::vector<RecordChange> parseServerChanges(const std::string& text) {
  std::vector<RecordChange> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> f = platform::splitRunRecordLine(std::string_view(text).substr(at, end - at));
    at = end + 1;
    if (f.size() < 4) continue;
    f.resize(6);
    out.push_back({Side::Server, f[0], f[2], f[1], f[3], f[4], f[5]});
  }
  return out;
}

std::vector<std::string> inverseCommands(const std::vector<RecordChange>& serverChanges) {
  static const std::map<std::string, std::string> kKinds = {{"SyncAddress", "card"},
                                                            {"SyncMemo", "memo"},
                                                            {"SyncToDo", "to-do"},
                                                            {"SyncCalendar", "schedule"},
                                                            {"SyncMail", "sent mail"}};
  std::vector<std::string> out;
  for (const RecordChange& c : serverChanges) {
    auto k = kKinds.find(c.kind);
    const std::string kind = k == kKinds.end() ? c.kind : k->second;
    const std::string name = "\"" + platform::handheldToTerminal(c.text) + "\"";
    if (c.kind == "SyncMail") out.push_back("the mail " + name + " was sent; a sent mail cannot be taken back");
    else if (c.what == "add")
      out.push_back("delete the " + kind + " " + name + " (id " + c.id + "), which the run made");
    else if (c.what == "change")
      out.push_back("change the " + kind + " " + name + " (id " + c.id + ") back; the run changed it");
    else if (c.what == "delete")
      out.push_back("make the " + kind + " " + name + " again; the run deleted it (it was id " + c.id + ")");
  }
  return out;
}

std::vector<std::string> historyLines(const std::string& historyText) {
  static const std::regex run(R"re("started":"([^"]*)".*?"dryRun":(\w+),"status":(-?\d+))re");
  static const std::regex conduit(
      R"re(\{"label":"([^"]*)","conduit":"([^"]*)".*?"outcome":"((?:[^"\\]|\\.)*)","handheld":\{"records":(\d+),"read":\d+,"added":(\d+),"changed":(\d+),"deleted":(\d+)\},"server":\{"records":(\d+),"read":\d+,"added":(\d+),"changed":(\d+),"deleted":(\d+)\},"conflicts":(\d+),"skipped":(\d+))re");
  std::vector<std::string> out;
  size_t at = 0;
  while (at < historyText.size()) {
    size_t end = historyText.find('\n', at);
    if (end == std::string::npos) end = historyText.size();
    const std::string line = historyText.substr(at, end - at);
    at = end + 1;
    std::smatch m;
    if (!std::regex_search(line, m, run)) continue;
    out.push_back(m[1].str() + "  exit status " + m[3].str() + (m[2] == "true" ? " (dry run)" : ""));
    for (std::sregex_iterator c(line.begin(), line.end(), conduit), none; c != none; ++c) {
      const std::smatch& f = *c;
      out.push_back("  " + f[1].str() + " " + f[3].str() + ": handheld +" + f[5].str() + " ~" + f[6].str() + " -" +
                    f[7].str() + " of " + f[4].str() + ", server +" + f[9].str() + " ~" + f[10].str() + " -" +
                    f[11].str() + " of " + f[8].str() + ", " + f[12].str() + " conflicts, " + f[13].str() + " skipped");
    }
  }
  return out;
}

BrakeSettings readBrakeSettings(const std::string& userFolder, std::string& problem) {
  BrakeSettings b;
  std::ifstream in(userFolder + "/settings");
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    const bool number = !value.empty() && *end == '\0';
    if (name == "mass-delete-brake" && (value == "on" || value == "off")) b.on = value == "on";
    else if (name == "mass-delete-share" && number && n >= 1 && n <= 100) b.share = static_cast<int>(n);
    else if (name == "mass-delete-minimum" && number && n >= 1 && n <= 1000000) b.minimum = static_cast<int>(n);
    else if (name.rfind("mass-delete-", 0) == 0)
      problem = userFolder + "/settings: \"" + line + "\" cannot be read; the default is used";
  }
  return b;
}

std::string massDeletion(const ConduitReport& r, const BrakeSettings& brake) {
  if (!brake.on || !r.ok) return "";
  for (Side s : {Side::Handheld, Side::Server}) {
    const long deleted = r.count(s, "delete");
    const long of = s == Side::Handheld ? r.handheldRecords : r.serverRecords;
    if (deleted < brake.minimum || deleted * 100 <= static_cast<long>(brake.share) * of) continue;
    return r.conduit + " would delete " + std::to_string(deleted) + " of the " + std::to_string(of) +
           " records on the " + sideName(s) + " (more than " + std::to_string(brake.share) +
           "%), so nothing was synchronised and nothing changed. If that is what you want, run "
           "\"hotsync sync --allow-mass-delete\" once; \"hotsync sync --dry-run\" shows each record first.";
  }
  return "";
}

}  // namespace hotsync
