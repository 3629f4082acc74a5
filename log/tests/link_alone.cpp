// Built by the test suite with nothing but the repository root on the include
// path and -llog on the link line: the public header and the library must be
// enough for a program of someone else's.
#include "log/log.h"

int main() {
  g_TraceObj.start(1, TraceToConsole, nullptr, 0, 0, false, false);
  g_TraceObj.write(1, "linked with -llog alone: %d", Log::getErrorLevel(0xC0000001));
  g_TraceObj.stop();
  char text[64];
  return Log::getMessage(0x40000016, text, sizeof text, "x") > 0 ? 0 : 1;
}
