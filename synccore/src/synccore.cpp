// The sync engine: kinds of sync, their passes, server commands, handheld
// writes and deferred relation commands.
#include "synccore/synccore.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "log/log.h"
#include "log/msgids.h"
#include "platform/runrecord.h"
#include "synccore/gwsession.h"
#include "synccore/helpers.h"
#include "synccore/src/decisions.h"

using namespace synccore;

namespace {

// Results of applying a decision to the handheld (applyToHH, writeToHH and
// the deferred commands). Not the CMD_ results below: APPLY_RELATION_ADD_FAILED
// and CMD_ADDREL_FAILED share a value but not a meaning, and neither leaves
// the engine.
enum : int {
  APPLY_DONE = 0,
  APPLY_SKIPPED = 1,
  APPLY_RELATION_ADD_FAILED = 5,
  APPLY_RELATION_DELETE_FAILED = 6,
  APPLY_COMMIT_FAILED = 7,
  APPLY_HH_FAILED = 8,
};

// Results of executeGWCmds (passes 1 and 2): done, skipped, or the server
// command that failed.
enum : int {
  CMD_DONE = 0,
  CMD_SKIPPED = 1,  // the record could not be converted
  CMD_ADDREC_FAILED = 2,
  CMD_MODIFYREC_FAILED = 3,
  CMD_DELREC_FAILED = 4,
  CMD_ADDREL_FAILED = 5,
  CMD_DELREL_FAILED = 6,
};

constexpr DWORD kMailFilteredHHId = 255;
constexpr int kRecIdStrSize = 30;
constexpr int kMessageSize = 1024;

// An apply result that lets the run go on.
bool applyGoesOn(int result) { return result == APPLY_DONE || result == APPLY_SKIPPED; }

// Gives a handheld record from newRecord back on every path.
class NewRecord {
 public:
  NewRecord(CHHRecordSet& set, int kind) : m_Set(set), m_Record(set.newRecord(kind)) {}
  ~NewRecord() {
    if (m_Record) m_Set.releaseRecord(m_Record);
  }
  NewRecord(const NewRecord&) = delete;
  NewRecord& operator=(const NewRecord&) = delete;
  CHHRecord* get() const { return m_Record; }

 private:
  CHHRecordSet& m_Set;
  CHHRecord* m_Record;
};

// A server record from createRecord, destroyed on every path.
class ServerRecord {
 public:
  explicit ServerRecord(CGWDataSrc& gw) : m_GW(gw), m_Record(gw.createRecord()) {}
  ~ServerRecord() { m_GW.destroyRecord(m_Record); }
  ServerRecord(const ServerRecord&) = delete;
  ServerRecord& operator=(const ServerRecord&) = delete;
  CGWRecord* get() const { return m_Record; }

 private:
  CGWDataSrc& m_GW;
  CGWRecord* m_Record;
};

void traceTimeStamp(LONG t) {
  if (!g_TraceObj.shouldTrace(10)) return;
  std::tm tm{};
  std::time_t tt = t;
  if (t >= 0 && ::localtime_r(&tt, &tm)) {
    g_TraceObj.write(10, "SyncCore| sync proc. Relation Data TStamp: %d/%d/%d %d:%d:%d\n", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  } else {
    g_TraceObj.write(10, "SyncCore|doSync *ERR* Bad TStamp: 0x%x\n", static_cast<DWORD>(t));
  }
}

}  // namespace

CSyncCore::CSyncCore(CHHDataSrc& hh, CGWDataSrc& gw, bool singleCommit)
    : m_SyncName{}, m_HH(hh), m_GW(gw), m_Filter(nullptr), m_Flags(singleCommit ? SYNC_SINGLE_COMMIT : 0) {}

CSyncCore::~CSyncCore() = default;

// --- messages ---------------------------------------------------------------

namespace {

// The run record's name for what a record message tells: a conflict, a
// record left out, or another note.
const char* recordEvent(DWORD code) {
  switch (code) {
    case MSG_CONFLICT_SERVER_WINS: return "conflict";
    case MSG_HH_RECORD_NOT_CONVERTED:
    case MSG_SERVER_RECORD_NOT_CONVERTED: return "skipped";
    default: return "note";
  }
}

}  // namespace

void CSyncCore::hhRecordMessage(const CHHRecord* r, DWORD code) {
  char id[kRecIdStrSize] = "";
  r->getRecIdStr(id, sizeof id);
  platform::appendRunRecord({"engine", recordEvent(code), "handheld", std::to_string(r->getRecordId()), id});
  char text[kMessageSize];
  Log::getMessage(code, text, sizeof text, id);
  if (singleCommit()) {
    Log::writeEditedLog(code, text);
  } else {
    m_HH.addLogEntry(HHLOG_TEXT, text);
  }
  g_TraceObj.write(10, "SyncCore|Sync HHRId:0x%lx %s\n", static_cast<unsigned long>(r->getRecordId()), text);
}

void CSyncCore::gwRecordMessage(const CGWRecRel* e, DWORD code) {
  char id[kRecIdStrSize] = "";
  if (e->getRecord()->getRecPtr()) e->getRecord()->getRecIdStr(id, sizeof id);
  platform::appendRunRecord({"engine", recordEvent(code), "server", std::to_string(e->m_GWRecId), id});
  char text[kMessageSize];
  Log::getMessage(code, text, sizeof text, id);
  if (singleCommit()) {
    Log::writeEditedLog(code, text);
  } else {
    m_HH.addLogEntry(HHLOG_TEXT, text);
  }
  g_TraceObj.write(10, "SyncCore|Sync GWRId:0x%lx %s\n", static_cast<unsigned long>(e->m_GWRecId), text);
}

void CSyncCore::statusMessage(DWORD code) {
  if (!singleCommit()) return;
  char text[kMessageSize];
  Log::getMessage(code, text, sizeof text, m_SyncName);
  Log::writeEditedLog(code, text);
  m_HH.addLogEntry(HHLOG_TEXT, text);
}

void CSyncCore::sendFailureSignal() {
  if (!singleCommit()) m_HH.addLogEntry(HHLOG_SIGNAL, nullptr);
  Log::writeLog(MSG_MAIL_SEND_FAILED);
}

namespace {

// At level 10: the record a conversion started from, what it answered and,
// when it succeeded, the record it made.
template <class From, class To>
void traceConversion(const char* fromText, const char* call, const char* toText, const From* from, bool ok,
                     const To* to) {
  if (!g_TraceObj.shouldTrace(10)) return;
  g_TraceObj.write(10, "%s", fromText);
  from->trace();
  g_TraceObj.write(10, "%s() returned %d\n", call, ok ? 1 : 0);
  if (ok) {
    g_TraceObj.write(10, "%s", toText);
    to->trace();
  }
}

}  // namespace

void CSyncCore::traceHH2GW(const CHHRecord* r, bool ok, const CGWRecord* x) {
  traceConversion("+++ Converting the following HH record:\n", "convertHH2GW", "Converted GW record follows:\n", r, ok,
                  x);
}

void CSyncCore::traceGW2HH(const CGWRecord* x, bool ok, const CHHRecord* y) {
  traceConversion("+++ Converting following GW record:\n", "convertGW2HH", "Converted HH record follows:\n", x, ok, y);
}

// --- open, run, close -------------------------------------------------------

bool CSyncCore::openSync(const char* name, int maxnbatch) {
  copyDbcsText(m_SyncName, name, sizeof m_SyncName, DBCS_COPY, nullptr);
  g_TraceObj.write(9, "++++++++++ openSync %s maxnbatch:%d++++++++++\n", m_SyncName, maxnbatch);
  if (!singleCommit()) {
    try {
      m_DList = std::make_unique<CGWRecOpDList>(static_cast<DWORD>(maxnbatch > 0 ? maxnbatch : 0));
    } catch (const CMemoryRunOut&) {
      reportMemoryRunOut(
          CMemoryRunOut("SyncCore", "openSync", "Corvane record/ List of Relation Data Operation deley"));
      m_HH.closeDB();
      statusMessage(MSG_SYNC_FAILED);
      return false;
    } catch (const std::bad_alloc&) {
      reportBadAlloc("SyncCore", "openSync");
      m_HH.closeDB();
      statusMessage(MSG_SYNC_FAILED);
      return false;
    }
  }
  if (!m_GW.prepare() || !m_HH.openDB()) {
    statusMessage(MSG_SYNC_FAILED);
    return false;
  }
  if (!m_HH.readCategories() || !m_HH.prepareSync()) {
    m_HH.closeDB();
    statusMessage(MSG_SYNC_FAILED);
    return false;
  }
  return true;
}

void CSyncCore::closeSync() {
  g_TraceObj.write(9, "++++++++++ closeSync %s ++++++++++\n", m_SyncName);
  m_HH.closeDB();
  m_DList.reset();
}

bool CSyncCore::doSync() {
  g_TraceObj.write(9, "++++++++++ doSync %s ++++++++++\n", m_SyncName);
  if (m_GW.getRelationCount() < 0) return false;
  const LONG t = m_GW.getRelationTimeStamp();
  traceTimeStamp(t);
  if (m_GW.isInitialSync() || m_HH.isFirstSync(t)) m_Flags |= SYNC_INITIAL;
  m_Flags = m_GW.determineHowToSync(m_Flags);
  m_Flags = m_HH.determineHowToSync(m_Flags);
  g_TraceObj.write(10, "SyncCore| sync proc. determine how to sync. GW:0x%x-->0x%x\n",
                   m_GW.getSyncSetting(m_GW.getSession().getSyncSet()), m_Flags);
  if (m_Flags & SYNC_NONE) {
    m_HH.notifyNoSync();
    Log::writeLog(MSG_SYNC_NOT_WANTED, m_SyncName);
    return true;
  }
  bool ok = runKindGuarded() && finishRun();
  // A mark left by a failed clear is dropped by the next run that is not a
  // first sync, before it could be taken for a first sync of this handheld.
  if (ok && !m_HH.clearFirstSyncNote())
    g_TraceObj.write(1, "SyncCore|*ERR* the handheld's first sync mark could not be cleared\n");
  statusMessage(ok ? MSG_SYNC_SUCCEEDED : MSG_SYNC_FAILED);
  return ok;
}

// Records written to the handheld are related on the server only by a
// commit. The relations of handheld adds are committed every kPairingBatch
// adds and as soon as the passes are done, before the time stamp is renewed,
// so that a failure of the final stamp leaves no handheld record without its
// pair. When the run fails before such a commit, the handheld records added
// since are deleted again: the server still offers them as new, and the next
// run writes each once. A run that cannot take them back (it was killed, or
// the handheld refused) leaves them in the handheld's pairing note, and the
// next run relates them before anything else.
bool CSyncCore::runKindGuarded() {
  bool ok = false;
  m_UncommittedAdds.clear();
  m_RelationsPending = false;
  planAdds({});
  try {
    NewRecord filter(*m_HH.getRecordSet(), NEWREC_SCRATCH);
    m_Filter = filter.get();
    ok = recoverPairings() && ((m_Flags & SYNC_INITIAL) || m_HH.clearFirstSyncNote()) && runKind();
    if (ok && (m_RelationsPending || !m_UncommittedAdds.empty())) ok = commitServer();
  } catch (const CMemoryRunOut& e) {
    reportMemoryRunOut(e);
  } catch (const std::bad_alloc&) {
    reportBadAlloc("SyncCore", "doSync");
  } catch (const CWrongIndex& e) {
    reportWrongIndex(e);
  }
  m_Filter = nullptr;
  if (!ok) undoUncommittedAdds();
  return ok;
}

bool CSyncCore::commitServer() {
  if (!commitGW()) return false;
  m_UncommittedAdds.clear();
  m_RelationsPending = false;
  // Clearing the note drops the reservations not yet used with it.
  m_Reserved.clear();
  // A note left behind after its relations were committed would be applied
  // again by a later run, over relations changed since: the run fails instead.
  return m_HH.clearPairings();
}

// The handheld's writes reach its disk before the server hears of them: a
// power loss could otherwise take back a record the server has paired, and
// the next run would take it for deleted there and delete it here.
bool CSyncCore::commitGW() { return m_HH.makeDurable() && m_GW.commit(); }

bool CSyncCore::recoverPairings() {
  std::vector<HHPairing> pairs;
  if (!m_HH.readPairings(pairs)) return false;
  if (pairs.empty()) return m_HH.clearPairings();
  g_TraceObj.write(9, "SyncCore|relating %d handheld records added by a run that did not finish\n",
                   static_cast<int>(pairs.size()));
  for (const HHPairing& p : pairs)
    if (!m_GW.addRelation(p.m_HHRecId, p.m_GWRecId)) return false;
  return commitServer();
}

void CSyncCore::undoUncommittedAdds() {
  if (m_UncommittedAdds.empty()) return;
  g_TraceObj.write(9, "SyncCore|undoing %d handheld adds whose relations were not committed\n",
                   static_cast<int>(m_UncommittedAdds.size()));
  for (DWORD id : m_UncommittedAdds) {
    CHHRecOpResult* results = nullptr;
    int answer = m_HH.deleteRecord(id, &results);
    if (answer == HH_FAILED)
      g_TraceObj.write(1,
                       "SyncCore|*ERR* handheld record RId:0x%x could not be taken back; the next run may add it "
                       "again\n",
                       id);
  }
  if (!singleCommit()) {
    CHHRecOpResult* results = nullptr;
    m_HH.completeRecordOps(&results);
  }
  m_UncommittedAdds.clear();
}

bool CSyncCore::runKind() {
  if (m_Flags & SYNC_TWO_WAY) return syncTwoWay();
  if (m_Flags & SYNC_REFRESH) return syncRefresh();
  if (m_Flags & SYNC_MAIL) return syncMail();
  fatalStop("SyncCore", "no kind of sync in the flags");
}

// The relation time stamp is renewed and committed only after a complete
// run; a failure of either fails the run, so the handheld's last sync time
// is never moved past changes the server did not take.
bool CSyncCore::finishRun() {
  const bool oneWay = (m_Flags & SYNC_ONE_WAY) != 0;
  if (!((m_Flags & SYNC_MAIL) && oneWay)) {
    if (!m_GW.setRelationTimeStamp(-1) || !commitGW()) return false;
  }
  LONG m = m_GW.getRelationTimeStamp();
  return m_HH.setLastSyncTime(oneWay ? 0 : static_cast<DWORD>(m));
}

// --- deferred list ----------------------------------------------------------

void CSyncCore::pushDeferred(const GWSyncCmd* cmds, DWORD gwRecId) {
  if (!m_DList) fatalStop("SyncCore", "a handheld write was queued although every write must complete at once");
  m_DList->push(cmds, gwRecId);
}

void CSyncCore::clearDeferred() {
  if (m_DList) m_DList->clear();
}

int CSyncCore::processDeferred(CHHRecOpResult* results, bool commitAfter) {
  if (!m_DList) fatalStop("SyncCore", "results of queued writes although every write must complete at once");
  int result = APPLY_DONE;
  int done = 0;
  const CGWRecOpDItem* d = m_DList->first();
  for (const CHHRecOpResultItem* it = results ? results->first() : nullptr; it && result == APPLY_DONE;
       it = results->next(), d = m_DList->next()) {
    g_TraceObj.write(9, "SyncCore|DeferedGW Operation. Result of HHRecord Operation: RecOp:%d Result:%d RId:0x%x\n",
                     static_cast<int>(it->m_Op), it->m_Success, it->m_RecId);
    if (!d) fatalStop("SyncCore", "more results than queued handheld writes");
    if (!it->m_Success) {
      g_TraceObj.write(1, "SyncCore|DeferedGW operation HHRecord Operation fail. RecOp:%d Result:%d RId:0x%x\n",
                       static_cast<int>(it->m_Op), it->m_Success, it->m_RecId);
      continue;
    }
    const GWSyncCmd* cmds = d->m_Cmds;
    if (it->m_Op == HHOP_ADD && it->m_RecId != 0) m_UncommittedAdds.push_back(it->m_RecId);
    if (it->m_Op == HHOP_MODIFY && it->m_RecId != 0) cmds = gw_delrel_addrel;
    for (const GWSyncCmd* c = cmds; c && *c != GW_END; ++c) {
      m_RelationsPending = true;
      if (*c == GW_ADDREL) {
        if (!m_GW.addRelation(it->m_RecId, d->m_GWRecId)) result = APPLY_RELATION_ADD_FAILED;
      } else if (*c == GW_DELREL) {
        if (!m_GW.deleteRelation(d->m_GWRecId)) result = APPLY_RELATION_DELETE_FAILED;
      } else {
        g_TraceObj.write(1, "SyncCore|DeferedGW Operation *ERR* Bad GWSyncCmd:%d\n", static_cast<int>(*c));
        fatalStop("SyncCore", "bad deferred command");
      }
      if (result != APPLY_DONE) break;
      ++done;
    }
  }
  if (result == APPLY_DONE && done > 0 && commitAfter && !commitServer()) result = APPLY_COMMIT_FAILED;
  m_DList->clear();
  return result;
}

// --- server commands --------------------------------------------------------

int CSyncCore::executeGWCmds(const GWSyncCmd* cmds, CHHRecord* r, CGWRecRel* e, bool& changed) {
  changed = false;
  int n = 0;  // every executed command is a change that must be committed
  int result = CMD_DONE;
  for (const GWSyncCmd* c = cmds; *c != GW_END && result == CMD_DONE; ++c) {
    if ((*c == GW_ADDREC || *c == GW_MODIFYREC || *c == GW_ADDREL) && !r)
      fatalStop("SyncCore", "a record command without a handheld record");
    if ((*c == GW_MODIFYREC || *c == GW_DELREC || *c == GW_ADDREL || *c == GW_DELREL) && !e)
      fatalStop("SyncCore", "a relation command without an entry");
    switch (*c) {
      case GW_ADDREC: {
        ServerRecord x(m_GW);
        bool ok = r->convertHH2GW(&m_HH, &m_GW, nullptr, x.get());
        traceHH2GW(r, ok, x.get());
        if (!ok) result = CMD_SKIPPED;
        else if (m_GW.addRecord(x.get(), r->getRecordId())) ++n;
        else result = CMD_ADDREC_FAILED;
        break;
      }
      case GW_MODIFYREC: {
        ServerRecord x(m_GW);
        x.get()->setRecordId(e->m_GWRecId);
        bool ok = r->convertHH2GW(&m_HH, &m_GW, e->getRecord(), x.get());
        traceHH2GW(r, ok, x.get());
        if (!ok) result = CMD_SKIPPED;
        else if (m_GW.modifyRecord(x.get())) ++n;
        else result = CMD_MODIFYREC_FAILED;
        break;
      }
      case GW_DELREC:
        if (m_GW.removeRecordEntry(e)) ++n;
        else result = CMD_DELREC_FAILED;
        break;
      case GW_ADDREL:
        if (m_GW.addRelation(r->getRecordId(), e->m_GWRecId)) ++n;
        else result = CMD_ADDREL_FAILED;
        break;
      case GW_DELREL:
        if (m_GW.deleteRelation(e->m_GWRecId)) ++n;
        else result = CMD_DELREL_FAILED;
        break;
      default: fatalStop("SyncCore", "bad server command");
    }
  }
  if (result == CMD_DONE) changed = n > 0;
  if (result == CMD_SKIPPED) hhRecordMessage(r, MSG_HH_RECORD_NOT_CONVERTED);
  return result;
}

int CSyncCore::executeGWCmdsAfterHH(const GWSyncCmd* cmds, DWORD hhRecId, DWORD gwRecId) {
  for (const GWSyncCmd* c = cmds; *c != GW_END; ++c) {
    m_RelationsPending = true;
    if (*c == GW_ADDREL) {
      if (!m_GW.addRelation(hhRecId, gwRecId)) return APPLY_RELATION_ADD_FAILED;
    } else if (*c == GW_DELREL) {
      if (!m_GW.deleteRelation(gwRecId)) return APPLY_RELATION_DELETE_FAILED;
    } else {
      g_TraceObj.write(1, "SyncCore|executeGWCmds3 *ERR* Bad GWSyncCmd:%d\n", static_cast<int>(*c));
      fatalStop("SyncCore", "bad command after a handheld write");
    }
  }
  return APPLY_DONE;
}

// --- handheld writes --------------------------------------------------------

// One handheld write and what follows from its answer. An answer HH_RESULTS
// has the waiting results processed and the write asked again; the second
// answer is handled like a first one (so that a write done at once still gets
// its relation).
template <typename Write>
int CSyncCore::writeToHH(Write write, const GWSyncCmd* cmds, DWORD gwRecId, DWORD writtenId) {
  CHHRecOpResult* results = nullptr;
  int answer = write(&results);
  if (answer == HH_RESULTS) {
    if (singleCommit()) fatalStop("SyncCore", "a handheld write answered 1 in single-commit mode");
    int r = processDeferred(results, true);
    if (r != APPLY_DONE) return r;
    answer = write(&results);
    if (answer == HH_RESULTS) {
      g_TraceObj.write(1, "SyncCore|writeToHH *ERR* the handheld answered 1 twice\n");
      return APPLY_HH_FAILED;
    }
  }
  switch (answer) {
    case HH_DONE: {
      const CHHRecOpResultItem* it = results ? results->first() : nullptr;
      if (!it) return APPLY_HH_FAILED;
      if (!it->m_Success) return APPLY_SKIPPED;
      DWORD id = it->m_RecId;
      if (it->m_Op == HHOP_ADD && id != 0) m_UncommittedAdds.push_back(id);
      // A modify that moved the record to a new id moves its relation too.
      if (it->m_Op == HHOP_MODIFY && id != 0 && id != writtenId) cmds = gw_delrel_addrel;
      int r = executeGWCmdsAfterHH(cmds, id ? id : writtenId, gwRecId);
      if (r == APPLY_DONE && m_UncommittedAdds.size() >= kPairingBatch && !commitServer()) r = APPLY_COMMIT_FAILED;
      return r;
    }
    case HH_QUEUED:
      if (singleCommit()) fatalStop("SyncCore", "a handheld write was queued in single-commit mode");
      pushDeferred(cmds, gwRecId);
      return APPLY_DONE;
    case HH_FAILED: return APPLY_HH_FAILED;
    default: return APPLY_DONE;  // nothing done
  }
}

int CSyncCore::applyToHH(HHAction action, const GWSyncCmd* cmds, CHHRecord* hr, CGWRecRel* e) {
  if (action == HHACT_NONE) return APPLY_DONE;
  if (action == HHACT_DELETE) {
    DWORD id = e->m_HHRecId;
    return writeToHH([&](CHHRecOpResult** L) { return m_HH.deleteRecord(id, L); }, cmds, e->m_GWRecId, id);
  }
  NewRecord y(*m_HH.getRecordSet(), NEWREC_TO_WRITE);
  addMissingCategory(action, e);
  if (action == HHACT_MODIFY) y.get()->setRecordId(e->m_HHRecId);
  bool ok = y.get()->convertGW2HH(&m_HH, &m_GW, hr, e->getRecord());
  traceGW2HH(e->getRecord(), ok, y.get());
  if (!ok) {
    gwRecordMessage(e, MSG_SERVER_RECORD_NOT_CONVERTED);
    return APPLY_SKIPPED;
  }
  CHHRecord* rec = y.get();
  if (action == HHACT_ADD) {
    DWORD reserved = 0;
    if (!reserveFor(e->m_GWRecId, &reserved)) return APPLY_HH_FAILED;
    if (reserved) rec->setRecordId(reserved);
    return writeToHH([&](CHHRecOpResult** L) { return m_HH.addRecord(rec, L); }, cmds, e->m_GWRecId, 0);
  }
  return writeToHH([&](CHHRecOpResult** L) { return m_HH.updateRecord(rec, L); }, cmds, e->m_GWRecId, e->m_HHRecId);
}

void CSyncCore::planAdds(std::vector<DWORD> gwRecIds) {
  m_PlannedAdds = std::move(gwRecIds);
  m_PlannedNext = 0;
  m_PlanIndex.clear();
  for (size_t i = 0; i < m_PlannedAdds.size(); ++i) m_PlanIndex.emplace(m_PlannedAdds[i], i);
  m_Reserved.clear();
}

// The reserved id of the next add, reserving it with the planned adds that
// follow it (or alone, for an add that was not planned).
bool CSyncCore::reserveFor(DWORD gwRecId, DWORD* hhRecId) {
  if (auto it = m_Reserved.find(gwRecId); it != m_Reserved.end()) {
    *hhRecId = it->second;
    m_Reserved.erase(it);
    return true;
  }
  std::vector<DWORD> batch;
  auto planned = m_PlanIndex.find(gwRecId);
  if (planned != m_PlanIndex.end() && planned->second >= m_PlannedNext) {
    // Planned adds before this one that were not asked for were skipped.
    size_t from = planned->second;
    size_t end = std::min(m_PlannedAdds.size(), from + kNoteBatch);
    batch.assign(m_PlannedAdds.begin() + static_cast<long>(from), m_PlannedAdds.begin() + static_cast<long>(end));
    m_PlannedNext = end;
  } else {
    batch.push_back(gwRecId);
  }
  std::vector<DWORD> ids;
  if (!m_HH.reservePairings(batch, ids) || ids.size() != batch.size()) return false;
  *hhRecId = ids[0];
  for (size_t i = 1; i < batch.size(); ++i) m_Reserved[batch[i]] = ids[i];
  return true;
}

int CSyncCore::writeCategories() {
  CHHRecOpResult* results = nullptr;
  int answer = m_HH.writeCategories(&results);
  if (answer == HH_RESULTS) {
    if (singleCommit()) fatalStop("SyncCore", "the category write answered 1 in single-commit mode");
    int r = processDeferred(results, true);
    if (r != APPLY_DONE) return r;
    answer = m_HH.writeCategories(&results);
  }
  if (answer == HH_QUEUED) pushDeferred(nullptr, 0);
  return answer == HH_FAILED || answer == HH_RESULTS ? APPLY_HH_FAILED : APPLY_DONE;
}

int CSyncCore::completeRecordOps() {
  CHHRecOpResult* results = nullptr;
  int answer = m_HH.completeRecordOps(&results);
  if (answer == HH_FAILED) return APPLY_HH_FAILED;
  if (answer == HH_RESULTS) return processDeferred(results, false);
  return APPLY_DONE;
}

void CSyncCore::addMissingCategory(HHAction action, const CGWRecRel* e) {
  if (action != HHACT_ADD && action != HHACT_MODIFY) return;
  const char* category = e->getRecord()->getRecPtr() ? e->getRecord()->getCategory() : nullptr;
  if (category && *category && !m_HH.findCategory(category)) m_HH.addCategory(category);
}

bool CSyncCore::filterAccepts(const CGWRecRel* e, DWORD* code) {
  *code = 0;
  if (m_Filter->acceptFromGW(&m_HH, &m_GW, e->getRecord(), code)) return true;
  // Asked more than once for a record in some passes: the report counts ids.
  platform::appendRunRecord({"engine", "filtered", "server", std::to_string(e->m_GWRecId)});
  return false;
}

// A first sync starts from no relations, since those on the server may be
// another handheld's or a reset one's. When this handheld's own first sync
// began before and failed, the relations it committed are kept: dropping
// them would send every record it already sent again.
bool CSyncCore::beginFirstSync(const char* traceLine) {
  bool begun = false;
  if (!m_HH.readFirstSyncNote(&begun)) return false;
  if (begun) {
    g_TraceObj.write(9, "----- Init sync: resuming this handheld's first sync; its relations are kept -----\n");
    return true;
  }
  return deleteAllRelationsAndCommit(traceLine) && m_HH.noteFirstSyncBegun();
}

bool CSyncCore::deleteAllRelationsAndCommit(const char* traceLine) {
  g_TraceObj.write(9, "%s", traceLine);
  int n = m_GW.deleteAllRelations();
  if (n < 0) return false;
  return n == 0 || commitServer();
}

// --- two-way sync -----------------------------------------------------------

bool CSyncCore::syncTwoWay() {
  g_TraceObj.write(9, "----------  Two-way sync start %s ----------\n", m_SyncName);
  if (m_Flags & SYNC_DELETE_HH_RECORDS) {
    g_TraceObj.write(9, "----- Deleting all HH records -----\n");
    if (!m_HH.deleteAllRecord()) return false;
  }
  if (m_Flags & (SYNC_DELETE_GW_RECORDS | SYNC_DELETE_GW_RELATIONS)) {
    int deleted = 0;
    if (m_Flags & SYNC_DELETE_GW_RECORDS) {
      g_TraceObj.write(9, "----- Deleting all GW records -----\n");
      int n = m_GW.deleteAllRecords();
      if (n < 0) return false;
      deleted += n;
    }
    if (m_Flags & SYNC_DELETE_GW_RELATIONS) {
      g_TraceObj.write(9, "----- Deleting all GW relations -----\n");
      int n = m_GW.deleteAllRelations();
      if (n < 0) return false;
      deleted += n;
    }
    if (deleted > 0 && !commitServer()) return false;
  }
  if ((m_Flags & SYNC_INITIAL) && !beginFirstSync("----- Init sync: Deleting all GW relations -----\n")) return false;
  return twoWayPass1() && twoWayPass2() && twoWayPass3();
}

namespace {

// Tells the handheld side that a record of a pass is done. When that ends
// a batch, endBatch(operation) commits or sends the batch and answers its
// result for batchDone (BATCH_FINE, or where it failed), setting operation
// to RECDONE_OP_FAILED on a failure. False when the pass must stop.
template <class EndBatch>
bool finishRecord(CHHDataSrc& hh, int operation, EndBatch endBatch) {
  const int done = hh.recordDone(operation);
  if (done == RECDONE_ABORT) return false;
  if (done != RECDONE_END_BATCH) return true;
  const LONG batch = endBatch(operation);
  return hh.batchDone(batch, operation) == BATCHDONE_GO_ON;
}

}  // namespace

bool CSyncCore::twoWayPass1() {
  g_TraceObj.write(9, "---------- sync pass1 ----------\n");
  m_HH.beginPass(1);
  if (!m_GW.initRecordSet()) return false;
  if (!m_HH.readRecords(&m_GW, (m_Flags & SYNC_INITIAL) != 0)) return false;
  bool changed = false;
  CHHRecord* r = nullptr;
  for (bool more = m_HH.getFirstRecordToSync(&r);; more = m_HH.getNextRecordToSync(&r)) {
    if (!more) return false;
    if (!r) break;
    CGWRecRel* e = m_GW.findRecRel(r->getRecordId());
    int operation = RECDONE_OP_NONE;
    DWORD code = 0;
    if (!r->acceptForGW(&m_HH, &m_GW, e ? e->getRecord() : nullptr, &code)) {
      if (code) hhRecordMessage(r, code);
    } else {
      const Decision& d = decideHHSide(r->getStatus(), e);
      g_TraceObj.write(10, "SyncCore|Sync Operation hhstatus:0x%02x gwattrib:%02x Operation:%s\n", r->getStatus(),
                       e ? e->m_Attrib : 0, d.label);
      operation = operationNumber(d.action);
      if (d.action != HHACT_NONE) {
        addMissingCategory(d.action, e);
        r->m_SyncMark |= HHMARK_PASS3;
      } else if (d.cmds != gw_none) {
        bool ch = false;
        int result = executeGWCmds(d.cmds, r, e, ch);
        if (result == CMD_DONE) {
          if (e) e->m_Marks |= GWMARK_PASS1;
          changed |= ch;
          if (d.message) hhRecordMessage(r, d.message);
        } else if (result == CMD_SKIPPED) {
          operation = RECDONE_OP_FAILED;
        } else {
          return false;
        }
      }
    }
    const bool goOn = finishRecord(m_HH, operation, [&](int& op) -> LONG {
      if (singleCommit() || !changed || commitServer()) return BATCH_FINE;
      op = RECDONE_OP_FAILED;
      return 0;  // the batch's commit failed
    });
    if (!goOn) return false;
  }
  if (singleCommit() && changed && !commitServer()) return false;
  if (!m_HH.cleanupSyncRecords(0)) return false;
  m_HH.endPass(1);
  return true;
}

bool CSyncCore::twoWayPass2() {
  g_TraceObj.write(9, "---------- sync pass 2 ----------\n");
  m_HH.beginPass(2);
  bool changed = false;
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel()) {
    DWORD code = 0;
    if (!(e->m_Attrib & GWATTR_DELETED) && !filterAccepts(e, &code)) {
      g_TraceObj.write(10, "SyncCore|Two-Way Sync GWRec(RId:0x%x) filtered out\n", e->m_GWRecId);
      continue;
    }
    CHHRecord* hr = e->m_HHRecId ? m_HH.findRecord(e->m_HHRecId) : nullptr;
    const Decision& d = decideGWSide(e->m_Attrib, hr != nullptr, e->m_HHRecId);
    g_TraceObj.write(10, "SyncCore|Sync Operation gwattrib:0x%02x hhstatus:%02x Operation:%s\n", e->m_Attrib,
                     hr ? hr->getStatus() : 0, d.label);
    if (d.action != HHACT_NONE) {
      addMissingCategory(d.action, e);
      if (hr) hr->m_SyncMark |= HHMARK_PASS3;
      else e->m_Marks |= GWMARK_PASS3;
    } else if (d.cmds != gw_none) {
      bool ch = false;
      int result = executeGWCmds(d.cmds, nullptr, e, ch);
      if (result != CMD_DONE && result != CMD_SKIPPED) return false;
      changed |= ch;
    }
  }
  // Single-commit mode commits here too: the relations of records deleted
  // on the server must not wait for the final commit.
  if (changed && !commitServer()) return false;
  m_HH.endPass(2);
  return true;
}

bool CSyncCore::twoWayPass3() {
  g_TraceObj.write(9, "---------- sync pass 3 ----------\n");
  m_HH.beginPass(3);
  clearDeferred();
  g_TraceObj.write(9, "----- sync pass 3-1 -----\n");
  if (writeCategories() != APPLY_DONE) return false;
  CHHRecordSet& set = *m_HH.getRecordSet();
  for (CHHRecord* r = set.getFirst(); r; r = set.getNext()) {
    if (!(r->m_SyncMark & HHMARK_PASS3)) continue;
    CGWRecRel* e = m_GW.findRecRel(r->getRecordId());
    const Decision& d = decideHHSide(r->getStatus(), e);
    if (!applyGoesOn(applyToHH(d.action, d.cmds, r, e))) return false;
    if (d.message && e) gwRecordMessage(e, d.message);
  }
  g_TraceObj.write(9, "----- sync pass 3-2 -----\n");
  // The decision for a server record, or null when it is left out (code:
  // the filter's message when the filter refused it).
  auto decide = [&](CGWRecRel* e, DWORD* code, CHHRecord** hr) -> const Decision* {
    *code = 0;
    if (!(e->m_Attrib & GWATTR_DELETED) && !filterAccepts(e, code)) return nullptr;
    *code = 0;
    if (!(e->m_Marks & GWMARK_PASS3)) return nullptr;
    *hr = e->m_HHRecId ? m_HH.findRecord(e->m_HHRecId) : nullptr;
    return &decideGWSide(e->m_Attrib, *hr != nullptr, e->m_HHRecId);
  };
  std::vector<DWORD> plan;
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel()) {
    DWORD code = 0;
    CHHRecord* hr = nullptr;
    const Decision* d = decide(e, &code, &hr);
    if (d && d->action == HHACT_ADD) plan.push_back(e->m_GWRecId);
  }
  planAdds(std::move(plan));
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel()) {
    DWORD code = 0;
    CHHRecord* hr = nullptr;
    const Decision* d = decide(e, &code, &hr);
    if (!d) {
      if (code) gwRecordMessage(e, code);
      continue;
    }
    if (!applyGoesOn(applyToHH(d->action, d->cmds, hr, e))) return false;
  }
  g_TraceObj.write(9, "----- sync pass 3-3 -----\n");
  if (completeRecordOps() != APPLY_DONE) return false;
  m_HH.endPass(3);
  return true;
}

// --- refresh sync -----------------------------------------------------------

bool CSyncCore::syncRefresh() {
  g_TraceObj.write(9, "---------- Refresh sync start %s ----------\n", m_SyncName);
  if ((m_Flags & SYNC_DELETE_GW_RELATIONS) && !deleteAllRelationsAndCommit("----- Deleting all GW relations-----\n"))
    return false;
  m_HH.beginPass(1);
  clearDeferred();
  if (!m_GW.initRecordSet()) return false;
  if (m_Flags & SYNC_DELETE_HH_RECORDS) {
    g_TraceObj.write(9, "----- Deleting all HH records -----\n");
    if (!m_HH.deleteAllRecord()) return false;
  }
  DWORD code = 0;
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel())
    if (!(e->m_Attrib & GWATTR_DELETED) && filterAccepts(e, &code)) addMissingCategory(HHACT_ADD, e);
  if (writeCategories() != APPLY_DONE) return false;
  g_TraceObj.write(9, "----- Downloading to HH -----\n");
  std::vector<DWORD> plan;
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel())
    if (!(e->m_Attrib & GWATTR_DELETED) && filterAccepts(e, &code)) plan.push_back(e->m_GWRecId);
  planAdds(std::move(plan));
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel()) {
    if (e->m_Attrib & GWATTR_DELETED) continue;
    if (!filterAccepts(e, &code)) {
      if (code) gwRecordMessage(e, code);
      continue;
    }
    if (!applyGoesOn(applyToHH(HHACT_ADD, gw_addrel, nullptr, e))) return false;
  }
  g_TraceObj.write(9, "----- Cleaning up HH records -----\n");
  if (completeRecordOps() != APPLY_DONE) return false;
  if (!m_HH.cleanupSyncRecords(0)) return false;
  m_HH.endPass(1);
  return true;
}

// --- mail sync --------------------------------------------------------------

bool CSyncCore::syncMail() {
  g_TraceObj.write(9, "---------- Mail two-way sync start %s ----------\n", m_SyncName);
  if ((m_Flags & SYNC_INITIAL) && !beginFirstSync("----- Init Sync: Deleting all GW relations -----\n")) return false;
  if (!mailPass1()) return false;
  if (m_Flags & SYNC_ONE_WAY) return true;
  return mailPass2() && mailPass3();
}

bool CSyncCore::mailPass1() {
  g_TraceObj.write(9, "---------- Mail sync pass1 ----------\n");
  m_HH.beginPass(1);
  if (!m_GW.initRecordSet()) return false;
  if (!m_HH.readRecords(&m_GW, true)) return false;
  int written = 0;
  bool unsent = false;  // mails handed to the server since the last send
  CHHRecord* r = nullptr;
  for (bool more = m_HH.getFirstRecordToSync(&r);; more = m_HH.getNextRecordToSync(&r)) {
    if (!more) return false;
    if (!r) break;
    int operation = RECDONE_OP_NONE;
    DWORD code = 0;
    if (!r->acceptForGW(&m_HH, &m_GW, nullptr, &code)) {
      if (code) hhRecordMessage(r, code);
    } else {
      bool ch = false;
      int result = executeGWCmds(gw_mail_out, r, nullptr, ch);
      if (result == CMD_DONE) {
        operation = RECDONE_OP_ADD;
        r->m_SyncMark |= HHMARK_MAIL_SENT;
        ++written;
        unsent |= ch;
      } else if (result == CMD_SKIPPED) {
        operation = RECDONE_OP_FAILED;
      } else {
        return false;
      }
    }
    const bool goOn = finishRecord(m_HH, operation, [&](int& op) -> LONG {
      if (singleCommit() || !unsent) return BATCH_FINE;
      int s = m_GW.send();
      unsent = false;
      if (s >= 0) return BATCH_FINE;
      op = RECDONE_OP_FAILED;
      sendFailureSignal();
      return -1 - s;  // send gave minus the failed mail's 1-based place
    });
    if (!goOn) return false;
  }
  int n = written;
  if (written > 0 && singleCommit()) {
    int s = m_GW.send();
    if (s < 0) {
      n = -1 - s;
      sendFailureSignal();
    } else if (s != written) {
      g_TraceObj.write(1, "SyncCore|syncMailHHGW *ERR* number of sended main are not match. Wrote:%d Send:%d\n",
                       written, s);
    }
  }
  if (!m_HH.cleanupSyncRecords(n)) return false;
  m_HH.endPass(1);
  return true;
}

bool CSyncCore::mailPass2() {
  g_TraceObj.write(9, "---------- Mail sync pass 2 ----------\n");
  m_HH.beginPass(2);
  clearDeferred();
  if (m_Flags & SYNC_DELETE_HH_RECORDS) {
    g_TraceObj.write(9, "----- Deleting all HH records -----\n");
    if (!m_HH.deleteAllRecord()) return false;
  }
  int skipped = 0;
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel()) {
    // Mail deleted on the server has no record to filter: it goes straight
    // to the decision, which removes its relation in pass 3.
    DWORD code = 0;
    if (!(e->m_Attrib & GWATTR_DELETED) && !filterAccepts(e, &code)) {
      if (e->m_Attrib & GWATTR_NEW) {
        e->m_Marks |= GWMARK_MAIL_FILTERED;
        ++skipped;
      }
      continue;
    }
    const Decision& d = decideMail(e->m_Attrib);
    g_TraceObj.write(10, "SyncCore|Sync Operation Operation:%s, del_rel:%d\n", d.label, d.deleteRelation ? 1 : 0);
    if (d.deleteRelation) {
      e->m_Marks |= GWMARK_MAIL_DELREL;
      continue;
    }
    if (!applyGoesOn(applyToHH(d.action, d.cmds, nullptr, e))) return false;
  }
  if (completeRecordOps() != APPLY_DONE) return false;
  if (skipped > 0) {
    char text[kMessageSize];
    Log::getMessage(MSG_MAILS_FILTERED, text, sizeof text, skipped);
    if (!singleCommit()) m_HH.addLogEntry(HHLOG_TEXT, text);
    Log::writeEditedLog(MSG_MAILS_FILTERED, text);
  }
  m_HH.endPass(2);
  return true;
}

bool CSyncCore::mailPass3() {
  g_TraceObj.write(9, "---------- Mail sync pass 3 ----------\n");
  m_HH.beginPass(3);
  for (CGWRecRel* e = m_GW.getFirstRecRel(); e; e = m_GW.getNextRecRel()) {
    if (e->m_Marks & GWMARK_MAIL_FILTERED) {
      if (!m_GW.addRelation(kMailFilteredHHId, e->m_GWRecId)) return false;
    } else if (e->m_Marks & GWMARK_MAIL_DELREL) {
      if (!m_GW.deleteRelation(e->m_GWRecId)) return false;
    }
  }
  m_HH.endPass(3);
  return true;
}
