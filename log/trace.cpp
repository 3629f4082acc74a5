// The trace facility: g_TraceObj and its file and console outputs.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log/log.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/msgbox.h"

namespace {

constexpr int kRecordSize = 2048;   // a file record, time stamp included
constexpr int kConsoleSize = 1024;  // a console record
constexpr int kHexLineSize = 128;
constexpr int kFileNameSize = 260;

struct tm localNow() {
  time_t now = time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  return parts;
}

}  // namespace

LOG_API CTrace g_TraceObj;

// ---------------------------------------------------------------- console

CTraceConsole::CTraceConsole() : m_Screen(INVALID_HANDLE_VALUE), m_UseStdout(false) {}

CTraceConsole::~CTraceConsole() = default;

void CTraceConsole::open(int /*rows*/, int /*columns*/) {
  if (AllocConsole()) return;  // never on this platform: the process has one
  DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    m_UseStdout = true;
    return;
  }
  char text[256];
  std::snprintf(text, sizeof text, "AllocConsole fail. error no:%d", static_cast<int>(error));
  MessageBox(nullptr, text, "Console", MB_SETFOREGROUND);
}

void CTraceConsole::close() {
  // Only a console of our own would be released here; standard output is
  // the process's and stays open.
  m_Screen = INVALID_HANDLE_VALUE;
}

void CTraceConsole::write(const char* text) {
  if (m_UseStdout) {
    std::fputs(text, stdout);
    std::fflush(stdout);
  }
}

void CTraceConsole::vwrite(const char* format, va_list& args) {
  if (m_UseStdout) {
    std::vprintf(format, args);
    std::fflush(stdout);
  }
}

// ---------------------------------------------------------------- trace

CTrace::CTrace()
    : m_Started(false),
      m_Level(0),
      m_Mode(static_cast<OutputMode>(0)),
      m_MaxFileSize(0),
      m_MaxFiles(0),
      m_Rotate(false),
      m_Append(false),
      m_Path{},
      m_FileIndex(0),
      m_FileBytes(0),
      m_File(nullptr) {}

CTrace::~CTrace() {
  stop();
  m_Console.close();
}

void CTrace::start(int level, OutputMode mode, const char* path, int maxSizeKB, int maxFiles, bool rotate,
                   bool append) {
  m_Level = level;
  m_Started = true;

  bool hadConsole = (m_Mode & TraceToConsole) != 0;
  bool wantsConsole = (mode & TraceToConsole) != 0;
  if (wantsConsole && !hadConsole) m_Console.open(1000, 90);
  if (!wantsConsole && hadConsole) m_Console.close();

  m_Mode = mode;
  m_Rotate = rotate;
  m_MaxFileSize = maxSizeKB * 1024;
  m_MaxFiles = static_cast<int16_t>(maxFiles);
  m_Append = append;
  m_FileIndex = 0;
  m_FileBytes = 0;

  // A second start without stop would otherwise leak the earlier stream.
  if (m_File) {
    std::fclose(m_File);
    m_File = nullptr;
  }
  if (path) {
    std::snprintf(m_Path, sizeof m_Path, "%s", path);
    openTF();
  } else {
    m_Path[0] = '\0';
  }

  struct tm now = localNow();
  char header[80];
  int length = std::snprintf(header, sizeof header, "***** Trace Opened %02d/%02d/%02d %02d:%02d:%02d *****\n",
                             now.tm_year % 100, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  writeTF(header, length);
}

void CTrace::stop() {
  if (m_Mode & TraceToConsole) m_Console.close();
  m_Mode = static_cast<OutputMode>(0);
  if (m_File) {
    std::fclose(m_File);
    m_File = nullptr;
  }
}

void CTrace::openTF() {
  char name[kFileNameSize + 1];
  if (m_Rotate) std::snprintf(name, sizeof name, "%s-%03d", m_Path, m_FileIndex);
  else std::snprintf(name, sizeof name, "%s", m_Path);

  m_File = std::fopen(name, m_Append ? "a" : "w");
  if (!m_File) {
    char text[512];
    std::snprintf(text, sizeof text, "Can't open trace file %s.", name);
    MessageBox(nullptr, text, "CTrace::openTF", MB_SETFOREGROUND);
    return;
  }
  if (m_Rotate) {
    // Any count below 2 keeps a ring of one file, -000.
    if (++m_FileIndex >= m_MaxFiles) m_FileIndex = 0;
  }
}

void CTrace::writeTF(const char* bytes, int length) {
  if (!m_File) return;
  std::fwrite(bytes, 1, static_cast<size_t>(length), m_File);
  std::fflush(m_File);
  if (!m_Rotate) return;
  m_FileBytes += length;
  if (m_FileBytes >= m_MaxFileSize) {
    std::fclose(m_File);
    m_File = nullptr;
    openTF();
    m_FileBytes = 0;
  }
}

void CTrace::write(int level, const char* format, ...) {
  if (!shouldTrace(level)) return;
  va_list args;
  va_start(args, format);
  vdoTrace(format, args);
  va_end(args);
}

void CTrace::vwrite(int level, const char* format, va_list& args) {
  if (shouldTrace(level)) vdoTrace(format, args);
}

void CTrace::doTrace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vdoTrace(format, args);
  va_end(args);
}

void CTrace::vdoTrace(const char* format, va_list& args) {
  if ((m_Mode & TraceToFile) && m_File) {
    // Room for a full 2048-byte record, the line feed it may need and the
    // terminator that vsnprintf always writes: the record itself never
    // carries a NUL, and record and line feed reach the file in one write so
    // a rotation cannot split them.
    char record[kRecordSize + 2];
    struct tm now = localNow();
    int stamp = std::snprintf(record, sizeof record, "%02d/%02d/%02d %02d:%02d:%02d ", now.tm_year % 100,
                              now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    va_list copy;
    va_copy(copy, args);
    int text = std::vsnprintf(record + stamp, kRecordSize + 1 - stamp, format, copy);
    va_end(copy);
    int length = text < 0 ? stamp : stamp + text;
    if (length > kRecordSize) length = kRecordSize;
    if (length == 0 || record[length - 1] != '\n') record[length++] = '\n';
    writeTF(record, length);
  }
  if (m_Mode & TraceToConsole) {
    va_list copy;
    va_copy(copy, args);
    m_Console.vwrite(format, copy);
    va_end(copy);
    size_t n = std::strlen(format);
    if (n == 0 || format[n - 1] != '\n') m_Console.write("\n");
  }
}

void CTrace::writeHex(int level, const unsigned char* data, int length) {
  if (shouldTrace(level)) doHexTrace(data, length);
}

void CTrace::doHexTrace(const unsigned char* data, int length) {
  if (!data || length <= 0) return;
  auto emit = [this](const char* line, int size) {
    if ((m_Mode & TraceToFile) && m_File) writeTF(line, size);
    if (m_Mode & TraceToConsole) m_Console.write(line);
  };
  static const char kDigits[] = "0123456789abcdef";
  char line[kHexLineSize];
  int used = 0;
  for (int i = 0; i < length; ++i) {
    line[used++] = kDigits[data[i] >> 4];
    line[used++] = kDigits[data[i] & 0x0f];
    if (i % 2 == 1) line[used++] = ' ';
    if (i % 16 == 15) {
      line[used - 1] = '\n';  // a full line ends without its last blank
      line[used] = '\0';
      emit(line, used);
      used = 0;
    }
  }
  if (used > 0) {
    line[used++] = '\n';
    line[used] = '\0';
    emit(line, used);
  }
}

bool CTrace::getTraceInfo(const char* variableName, int* level, bool* console, const char** path) {
  *level = 0;
  *console = false;
  *path = "";
  const char* value = variableName ? std::getenv(variableName) : nullptr;
  if (!value || !*value) return false;
  *level = std::atoi(value);
  const char* comma = std::strchr(value, ',');
  if (!comma) {
    *console = true;
    return true;
  }
  const char* output = comma + 1;
  while (*output == ' ') ++output;
  *console = std::strncmp(output, "console", 7) == 0;
  const char* second = std::strchr(output, ',');
  if (!second) return true;
  const char* rest = second + 1;
  while (*rest == ' ') ++rest;
  *path = rest;
  return true;
}
