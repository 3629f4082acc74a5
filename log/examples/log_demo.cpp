// log-demo: a short run of the trace and the message path, as a conduit
// makes them during a HotSync.
//
//   GWSYNC_TRACE="10,file,/tmp/demo/trace-demo" log-demo
//
// Starts the trace named by $GWSYNC_TRACE (level[,output[,path]]) rotating
// over three files of 1 KB, writes records and a hex dump, then opens the
// message service with the HotSync log bridge and writes a few messages,
// which land in the trace and in the HotSync log ($GWSYNC_HSLOG).
#include <cstdio>

#include "log/log.h"
#include "log/msgids.h"

int main() {
  int level = 0;
  bool console = false;
  const char* path = nullptr;
  if (!CTrace::getTraceInfo("GWSYNC_TRACE", &level, &console, &path)) {
    std::fprintf(stderr, "log-demo: set GWSYNC_TRACE to level[,console|file[,path]]\n");
    return 2;
  }
  OutputMode mode = console ? TraceToFile | TraceToConsole : TraceToFile;
  g_TraceObj.start(level, mode, *path ? path : nullptr, 1, 3, true, false);

  g_TraceObj.write(9, "Demo|trace started at level %d\n", level);
  for (int pass = 1; pass <= 3; ++pass) {
    g_TraceObj.write(9, "SyncCore|pass %d begins\n", pass);
    for (int record = 1; record <= 8; ++record)
      g_TraceObj.write(10, "SyncCore|pass %d record %d: decision 'copy to handheld'\n", pass, record);
  }
  const unsigned char record[] = "\x00\x01\x02\x03Ann\x00\x82\xa0\x82\xa2\xff";
  if (g_TraceObj.shouldTrace(10)) {
    g_TraceObj.doTrace("PalmDataSrc|record dump (%d bytes):\n", static_cast<int>(sizeof record));
    g_TraceObj.doHexTrace(record, sizeof record);
  }

  DWORD opened = Log::openLog("condlog.dll");
  if (opened != 0) {
    std::fprintf(stderr,
                 "log-demo: the message service did not open (error %u); "
                 "run logtext-install first\n",
                 opened);
  }
  Log::writeLog(MSG_RESTORED_FROM_SERVER, "Ann Example (card 12)");
  Log::writeLog(MSG_SERVER_REQUEST_FAILED, "commit addresses", 21, 16406, "ErrorCode,16406");
  Log::writeLog(MSG_SYNC_SUCCEEDED, "Address Book");
  Log::closeLog();

  g_TraceObj.write(9, "Demo|done\n");
  g_TraceObj.stop();
  return opened == 0 ? 0 : 1;
}
