// The sync engine: one synchronisation between one handheld data source and
// one server data source of the same kind of data.
//
//   CSyncCore core(hh, gw, true);               // single commit, as the conduits run it
//   if (core.openSync("Address Book", 30)) {
//     bool ok = core.doSync();                  // none, two-way, refresh or mail
//     core.closeSync();
//   }
//
// Decisions follow from two facts per record: the server's record is newer
// than the relation time stamp (changed on the server), and the handheld's
// record carries its changed or deleted mark. Every failure ends the run at
// once with message 0x40000017; what was committed before stays, and the
// next run sees the same changes again because the time stamps are renewed
// only after a complete run.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/wintypes.h"
#include "synccore/except.h"
#include "synccore/gwdatasrc.h"
#include "synccore/hhdatasrc.h"

namespace synccore {
struct Decision;
enum HHAction : int;
}  // namespace synccore

class SYNCCORE_API CSyncCore {
 public:
  // Both data sources belong to the caller and must outlive the engine.
  // singleCommit sets SYNC_SINGLE_COMMIT: every handheld write completes at
  // once (a data source that queues is a programming error), the server side
  // is committed once per pass, record messages go to the event log, and the
  // final status message is written.
  CSyncCore(CHHDataSrc& hh, CGWDataSrc& gw, bool singleCommit);
  ~CSyncCore();
  CSyncCore(const CSyncCore&) = delete;
  CSyncCore& operator=(const CSyncCore&) = delete;

  // Prepares both sides; name (cut to 32 bytes) names the run in messages.
  // maxnbatch: how many handheld writes may be queued at once. False after
  // status message 0x40000017; the handheld database is then closed.
  bool openSync(const char* name, int maxnbatch);
  // Runs the sync. True on success (also when the settings ask for none).
  bool doSync();
  // Closes the handheld database; must follow every successful openSync.
  void closeSync();

  WORD getFlags() const { return m_Flags; }

 private:
  bool singleCommit() const { return (m_Flags & SYNC_SINGLE_COMMIT) != 0; }
  bool runKind();
  bool runKindGuarded();
  bool commitServer();
  bool commitGW();
  bool recoverPairings();
  void planAdds(std::vector<DWORD> gwRecIds);
  bool reserveFor(DWORD gwRecId, DWORD* hhRecId);
  void undoUncommittedAdds();
  bool finishRun();
  bool syncTwoWay();
  bool twoWayPass1();
  bool twoWayPass2();
  bool twoWayPass3();
  bool syncRefresh();
  bool syncMail();
  bool mailPass1();
  bool mailPass2();
  bool mailPass3();
  bool beginFirstSync(const char* traceLine);
  bool deleteAllRelationsAndCommit(const char* traceLine);

  int executeGWCmds(const GWSyncCmd* cmds, CHHRecord* r, CGWRecRel* e, bool& changed);
  int executeGWCmdsAfterHH(const GWSyncCmd* cmds, DWORD hhRecId, DWORD gwRecId);
  int applyToHH(synccore::HHAction action, const GWSyncCmd* cmds, CHHRecord* hr, CGWRecRel* e);
  template <typename Write>
  int writeToHH(Write write, const GWSyncCmd* cmds, DWORD gwRecId, DWORD writtenId);
  int processDeferred(CHHRecOpResult* results, bool commitAfter);
  int writeCategories();
  int completeRecordOps();
  void addMissingCategory(synccore::HHAction action, const CGWRecRel* e);
  bool filterAccepts(const CGWRecRel* e, DWORD* code);
  void pushDeferred(const GWSyncCmd* cmds, DWORD gwRecId);
  void clearDeferred();

  void hhRecordMessage(const CHHRecord* r, DWORD code);
  void gwRecordMessage(const CGWRecRel* e, DWORD code);
  void statusMessage(DWORD code);
  void sendFailureSignal();
  void traceHH2GW(const CHHRecord* r, bool ok, const CGWRecord* x);
  void traceGW2HH(const CGWRecord* x, bool ok, const CHHRecord* y);

  char m_SyncName[33];
  CHHDataSrc& m_HH;
  CGWDataSrc& m_GW;
  CHHRecord* m_Filter;
  WORD m_Flags;
  std::unique_ptr<CGWRecOpDList> m_DList;
  // Handheld adds whose relations wait for a commit; committed every this many.
  static constexpr size_t kPairingBatch = 10000;
  std::vector<DWORD> m_UncommittedAdds;  // handheld adds whose relations wait for a commit
  bool m_RelationsPending = false;       // relation changes after handheld writes, not committed
  // Server records the current loop will add to the handheld, in its order,
  // and the handheld ids reserved for the next of them: their pairing notes
  // are written a batch of kNoteBatch at a time.
  static constexpr size_t kNoteBatch = 500;
  std::vector<DWORD> m_PlannedAdds;
  std::unordered_map<DWORD, size_t> m_PlanIndex;  // server id -> place in m_PlannedAdds
  size_t m_PlannedNext = 0;
  std::unordered_map<DWORD, DWORD> m_Reserved;  // server id -> reserved handheld id
};
