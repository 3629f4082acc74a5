// OpenConduit: one HotSync run of the conduit, from the handheld objects and
// the server session to the engine and back. Everything of the run lives on
// this stack and is gone when OpenConduit returns.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "conduits/common/conduit.h"
#include "conduits/common/syncconf.h"
#include "hotsync/condapi/condapi.h"
#include "log/log.h"
#include "log/msgids.h"
#include "platform/runrecord.h"
#include "synccore/synccore.h"

namespace {

constexpr char kLocale[] = "CP1252";
constexpr char kLabel[] = "Palm";
constexpr DWORD kSyncId = 256;

// Closes the log and stops the trace on every way out of the run.
class LogScope {
 public:
  LogScope() { Log::openLog("condlog.dll"); }
  ~LogScope() {
    Log::closeLog();
    g_TraceObj.stop();
  }
  LogScope(const LogScope&) = delete;
  LogScope& operator=(const LogScope&) = delete;
};

// Logs out and closes the server session once it was opened.
class SessionScope {
 public:
  explicit SessionScope(CGWSession& session) : m_Session(session) {}
  ~SessionScope() {
    if (m_Open) {
      m_Session.logout();
      m_Session.close();
    }
  }
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;
  void opened() { m_Open = true; }

 private:
  CGWSession& m_Session;
  bool m_Open = false;
};

// Copies a fixed-size text field of the properties record, always terminated.
template <size_t N>
void copyField(char (&out)[N], const char* field, size_t fieldSize) {
  size_t n = strnlen(field, fieldSize);
  if (n > N - 1) n = N - 1;
  std::memcpy(out, field, n);
  out[n] = '\0';
}

void startTrace(const char* userDir, const char* tag) {
  // Cut to the trace's own path size.
  std::string path = std::string(userDir) + "/trace-" + tag;
  if (path.size() > 255) path.resize(255);
  g_TraceObj.start(10, TraceToFile, path.c_str(), 1000, 2, false, false);
}

// Connects and logs in; false after the run's message.
bool connect(CGWSession& session, SessionScope& scope, const CGWSyncConf& conf) {
  const bool basicAuth = conf.getBasicAuth() != 0;
  if (!session.open(conf.getServerUrl(), basicAuth ? conf.getBasicAuthUser() : nullptr,
                    basicAuth ? conf.getBasicAuthPassword() : nullptr, nullptr, 0)) {
    Log::writeLog(MSG_SESSION_NOT_OPENED);
    return false;
  }
  scope.opened();
  if (!session.setLocale(kLocale)) return false;
  switch (session.login(conf.getServerUser(), conf.getServerPassword())) {
    case GWLOGIN_OK: break;
    case GWLOGIN_SERVER_AUTH: Log::writeLog(MSG_LOGIN_EXPIRED); return false;
    case GWLOGIN_SERVER_USER: Log::writeLog(MSG_LOGIN_BAD_CREDENTIALS); return false;
    default: Log::writeLog(MSG_LOGIN_FAILED); return false;
  }
  return session.setLabel(kLabel, kSyncId);
}

// Steps 10 to 13: the engine between the two data sources, inside the Sync
// Manager's conduit registration.
long syncWith(CPalmLSDataSrc& hh, CGWSession& session) {
  const SyncManager& sm = *syncManager();
  ConduitKind& kind = conduitKind();
  bool ok = false;
  try {
    std::unique_ptr<CGWDataSrc> gw = g_ConduitDef.makeServerSource(session);
    CSyncCore core(hh, *gw, true);
    LONG err = sm.RegisterConduit(&kind.m_Handle);
    if (err != 0) {
      logSyncError("SyncRegisterConduit", err);
      return err;
    }
    try {
      if (core.openSync(kind.m_SyncName, kind.m_MaxNBatch)) {
        ok = core.doSync();
        core.closeSync();
      }
    } catch (const CMemoryRunOut& e) {
      reportMemoryRunOut(e);
    } catch (const std::bad_alloc&) {
      reportBadAlloc("CSyncCore", "doSync");
    }
    err = sm.UnRegisterConduit(kind.m_Handle);
    if (err != 0) {
      logSyncError("SyncUnRegisterConduit", err);
      return err;
    }
  } catch (const CMemoryRunOut& e) {
    reportMemoryRunOut(e);  // building the server data source
    return -1;
  } catch (const std::bad_alloc&) {
    reportBadAlloc("OpenConduit", "new server data source");
    return -1;
  }
  return ok ? 0 : -1;
}

long run(CSyncProperties& props) {
  char userDir[BIG_PATH];
  char userName[BIG_PATH];
  copyField(userDir, props.m_PathName, sizeof props.m_PathName);
  copyField(userName, props.m_UserName, sizeof props.m_UserName);
  const char* dbName = props.m_nRemoteCount > 0 && props.m_RemoteName ? props.m_RemoteName[0] : nullptr;

  // Step 1: the handheld side.
  CPalmCategoryList categories;
  CPalmRecordSet records(g_ConduitDef.recordSize, g_ConduitDef.placeRecord);
  SyncTimeStore times(g_ConduitDef.timeSlot);
  std::unique_ptr<CPalmLSDataSrc> hh;
  if (dbName) {
    hh = g_ConduitDef.makeHandheldSource
             ? g_ConduitDef.makeHandheldSource(&categories, &records, &times, dbName, g_ConduitDef.creator)
             : std::make_unique<CPalmLSDataSrc>(&categories, &records, &times, dbName, 0, g_ConduitDef.creator);
  }
  // Step 2: the session wrapper.
  CGWSession session;
  // Step 3: the log, closed with the trace on every way out.
  LogScope logScope;
  if (!hh) {
    g_TraceObj.write(1, "*ERR* OpenConduit: the run names no handheld database\n");
    return -1;
  }
  if (!syncManager()) {
    g_TraceObj.write(1, "*ERR* OpenConduit: %s\n", syncManagerProblem());
    logSyncError("LoadLibrary(SYNC20.dll)", ERROR_MOD_NOT_FOUND);
    return -1;
  }
  // Step 4: the configuration of the handheld user.
  CGWSyncConf conf;
  conf.setKeyName(userName);
  if (!conf.load()) {
    Log::writeLog(MSG_CONFIG_NOT_LOADED);
    return -1;
  }
  // Step 5.
  if (conf.getDetailLog()) startTrace(userDir, g_ConduitDef.tag);
  // Steps 6 to 9.
  SessionScope sessionScope(session);
  if (!connect(session, sessionScope, conf)) return -1;
  conduitKind().m_MaxNBatch = static_cast<int>(conf.getLimit(CGWSyncConfGeneral::LIMIT_MAX_NDATA_PER_BATCH_SND));
  // Steps 10 to 13; step 14 is the scopes' and the stack's.
  return syncWith(*hh, session);
}

}  // namespace

CONDUIT_API long OpenConduit(PROGRESSFN /*progress*/, CSyncProperties& props) {
  if (!conduitResources()) return -1;
  try {
    return run(props);
  } catch (const CMemoryRunOut& e) {
    reportMemoryRunOut(e);
  } catch (const std::bad_alloc&) {
    reportBadAlloc("OpenConduit", "run");
  }
  return -1;
}

// Takes back on the server what a run of this conduit did there, for the
// hotsync program's undo. changes: a line per record change of the run on
// this conduit's server page, as hotsync keeps them beside the run's backup
// ("add", "change" or "delete", the page, the server id, the record's text,
// its server line before the run, the handheld id it was paired with). Lines
// of other pages are left alone. The number of changes taken back, or -1
// after the HotSync log's message (nothing is sent then).
namespace {

// The server page of this conduit's records; empty for mail, which a sent
// mail cannot be taken back from.
const char* serverPage() {
  switch (g_ConduitDef.kind) {
    case CONDUIT_ADDRESS: return "SyncAddress";
    case CONDUIT_MEMO: return "SyncMemo";
    case CONDUIT_TODO: return "SyncToDo";
    case CONDUIT_SCHEDULE: return "SyncCalendar";
    default: return "";
  }
}

}  // namespace

CONDUIT_API long UndoServerChanges(const char* userName, const char* changes) {
  if (!conduitResources() || !userName || !changes) return -1;
  LogScope logScope;
  CGWSyncConf conf;
  conf.setKeyName(userName);
  if (!conf.load()) {
    Log::writeLog(MSG_CONFIG_NOT_LOADED);
    return -1;
  }
  CGWSession session;
  SessionScope sessionScope(session);
  if (!connect(session, sessionScope, conf)) return -1;
  CSyncUndo undo(session.getOfficeSession());
  std::string page;
  long taken = 0;
  for (const char* at = changes; *at;) {
    const char* end = std::strchr(at, '\n');
    const std::string line(at, end ? static_cast<size_t>(end - at) : std::strlen(at));
    at = end ? end + 1 : at + line.size();
    std::vector<std::string> f = platform::splitRunRecordLine(line);
    f.resize(std::max<size_t>(f.size(), 6));
    if (f[1].empty() || f[1] != serverPage()) continue;
    page = f[1];
    const unsigned long id = std::strtoul(f[2].c_str(), nullptr, 10);
    int done = 0;
    if (f[0] == "add") done = undo.RemoveMade(page.c_str(), id);
    if (f[0] == "change") done = undo.PutBack(page.c_str(), f[4].c_str(), false, 0);
    if (f[0] == "delete")
      done = undo.PutBack(page.c_str(), f[4].c_str(), true, std::strtoul(f[5].c_str(), nullptr, 10));
    if (!done) {
      session.reportServerError("Undo", "%s %s %lu", f[0].c_str(), page.c_str(), id);
      return -1;
    }
    ++taken;
  }
  if (taken > 0 && !undo.Commit(page.c_str())) {
    session.reportServerError("Undo", "Commit %s", page.c_str());
    return -1;
  }
  return taken;
}
