// libcondlog.so: forwards each finished log entry to the trace and to the
// HotSync log. Loaded by Log::openLog by name; keeps no state.
#include <cstring>

#include "hotsync/hslog/hslog.h"
#include "log/log.h"

#define CONDLOG_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kEntrySize = 1024;

struct LevelInfo {
  const char* prefix;
  LONG activity;
};

LevelInfo levelInfo(unsigned short level) {
  switch (level) {
    case 0: return {"*OK*", kHsLogActivityNone};
    case 1: return {"*ERR*", kHsLogActivityError};
    case 2: return {"*WARN*", kHsLogActivityWarning};
    case 4: return {"*INFO*", kHsLogActivityNone};
    default: return {"", kHsLogActivityNone};
  }
}

}  // namespace

CONDLOG_API DWORD openLog() { return 0; }

CONDLOG_API void closeLog() {}

CONDLOG_API void writeLog(unsigned short level, const char* text) {
  if (!text) text = "";
  LevelInfo info = levelInfo(level);
  g_TraceObj.write(1, "%s %s", info.prefix, text);

  // The HotSync log shows one line per entry: the text's first line.
  char line[kEntrySize];
  size_t length = std::strcspn(text, "\r\n");
  if (length > kEntrySize - 1) length = kEntrySize - 1;
  std::memcpy(line, text, length);
  line[length] = '\0';
  LogAddEntry(line, info.activity, 0);
}
