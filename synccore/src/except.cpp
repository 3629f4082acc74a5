#include "synccore/except.h"

#include <cstdio>
#include <cstdlib>

#include "log/log.h"
#include "log/msgids.h"

void reportMemoryRunOut(const CMemoryRunOut& e) {
  Log::writeLog(MSG_OUT_OF_MEMORY, e.getClassName(), e.getMethod(), e.getMessage());
}

void reportBadAlloc(const char* className, const char* method) {
  reportMemoryRunOut(CMemoryRunOut(className, method, "std::bad_alloc"));
}

void reportWrongIndex(const CWrongIndex& e) {
  Log::writeLog(MSG_WRONG_INDEX, e.getClassName(), e.getMethod(), e.getIndex());
}

void fatalStop(const char* className, const char* what) {
  g_TraceObj.write(1, "%s|*FATAL* %s\n", className, what);
  g_TraceObj.flush();
  std::fprintf(stderr, "%s: fatal: %s\n", className, what);
  std::abort();
}
