// A conduit for the hotsync tests. It reports what it was handed, one line
// per call, to the file named by $HSFIXTURE_OUT:
//
//   open<TAB>creator=addr<TAB>remote=AddressDB<TAB>...
//   cfg<TAB>type=0<TAB>size=352<TAB>...
//
// and answers with the result $HSFIXTURE_RESULT gives (or the first line of
// the file $HSFIXTURE_RESULT_FILE, read at each call): a number for every
// creator, or "addr=-1,memo=0" per creator (0 when not named); "abort"
// crashes the process. $HSFIXTURE_SLEEP_MS makes each open last that long,
// and the line says when it began and ended (begin=, end= in ms). OpenConduit
// also creates the database "Fx<remote>" through the Sync Manager (so the
// test sees which handheld folder it reached) and adds a HotSync log entry.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "hotsync/condapi/condapi.h"
#include "hotsync/sync20/sync20.h"
#include "platform/module.h"

namespace {

std::string creatorText(DWORD creator) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((creator >> shift) & 0xff);
  return creator ? text : "";
}

std::string wantedResult() {
  if (const char* file = std::getenv("HSFIXTURE_RESULT_FILE")) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
  }
  const char* wanted = std::getenv("HSFIXTURE_RESULT");
  return wanted ? wanted : "";
}

long resultFor(const std::string& creator) {
  std::string s = wantedResult();
  if (s.empty()) return 0;
  if (s == "abort") std::abort();
  const char* wanted = s.c_str();
  if (s.find('=') == std::string::npos) return std::strtol(wanted, nullptr, 10);
  size_t at = 0;
  while (at < s.size()) {
    size_t comma = s.find(',', at);
    std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (item.compare(0, creator.size() + 1, creator + "=") == 0)
      return std::strtol(item.c_str() + creator.size() + 1, nullptr, 10);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return 0;
}

void report(const std::string& line) {
  const char* path = std::getenv("HSFIXTURE_OUT");
  if (!path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

// Makes a database through the Sync Manager the way a conduit reaches it.
std::string createMarker(const std::string& remote, DWORD creator) {
  HMODULE sync = LoadLibrary("SYNC20.dll");
  if (!sync) return "no-sync20:" + platform::loaderProblem();
  auto create = reinterpret_cast<decltype(&SyncCreateDB)>(GetProcAddress(sync, "SyncCreateDB"));
  auto close = reinterpret_cast<decltype(&SyncCloseDB)>(GetProcAddress(sync, "SyncCloseDB"));
  CDbCreateDB db{};
  db.m_Creator = creator;
  db.m_Type = 0x44415441;  // 'DATA'
  std::snprintf(db.m_Name, sizeof db.m_Name, "Fx%s", remote.c_str());
  LONG rc = create(&db);
  if (rc == SYNCERR_NONE) close(db.m_FileHandle);
  FreeLibrary(sync);
  return rc == SYNCERR_NONE ? "created" : "error:" + std::to_string(rc);
}

void logEntry(const std::string& text) {
  HMODULE hslog = LoadLibrary("HSLOG20.dll");
  if (!hslog) return;
  auto add = reinterpret_cast<LONG (*)(LPCSTR, LONG, BOOL)>(GetProcAddress(hslog, "LogAddEntry"));
  if (add) add(text.c_str(), -1, FALSE);
  FreeLibrary(hslog);
}

}  // namespace

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

CONDUIT_API long OpenConduit(PROGRESSFN, CSyncProperties& props) {
  const long long begin = nowMs();
  if (const char* sleep = std::getenv("HSFIXTURE_SLEEP_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleep)));
  std::string creator = creatorText(props.m_Creator);
  std::string remote = props.m_nRemoteCount > 0 && props.m_RemoteName ? props.m_RemoteName[0] : "";
  const char* hslog = std::getenv("GWSYNC_HSLOG");
  report("open\tcreator=" + creator + "\tremote=" + remote + "\tremotes=" + std::to_string(props.m_nRemoteCount) +
         "\tuser=" + props.m_UserName + "\tuserdir=" + props.m_PathName + "\tlocal=" + props.m_LocalName +
         "\thslog=" + (hslog ? hslog : "") + "\thandheld=" + createMarker(remote, props.m_Creator) +
         "\tbegin=" + std::to_string(begin) + "\tend=" + std::to_string(nowMs()));
  logEntry("Fixture " + creator + ": " + remote);
  if (std::getenv("HSFIXTURE_THROW")) throw std::runtime_error("fixture gave up");
  return resultFor(creator);
}

CONDUIT_API long GetConduitName(char* name, WORD size) {
  if (size == 0) return 0;
  std::snprintf(name, size, "%s", "Fixture Conduit");
  return 0;
}

CONDUIT_API DWORD GetConduitVersion() { return 0x00010002; }

CONDUIT_API long GetConduitInfo(ConduitInfoEnum, void*, void*, DWORD*) { return CONDERR_UNKNOWN_INFO_TYPE; }

CONDUIT_API long CfgConduit(ConduitCfgEnum type, void* args, DWORD* size) {
  auto* info = static_cast<CfgConduitInfoType*>(args);
  std::string creator = info ? creatorText(info->dwCreatorId) : "";
  report("cfg\ttype=" + std::to_string(type) + "\tsize=" + (size ? std::to_string(*size) : "null") +
         "\tversion=" + (info ? std::to_string(info->dwVersion) : "") +
         "\tdwsize=" + (info ? std::to_string(info->dwSize) : "") + "\tcreator=" + creator +
         "\tuser=" + (info ? std::string(info->szUser, strnlen(info->szUser, sizeof info->szUser)) : "") +
         "\tuserdir=" + (info ? info->m_PathName : ""));
  return resultFor(creator);
}
