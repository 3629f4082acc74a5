// User messages: texts from the message-text library, forwarded by level.
#include "log/log.h"

#include <cstring>

#include "platform/errors.h"
#include "platform/module.h"
#include "platform/msgbox.h"
#include "platform/msgtable.h"
#include "platform/registry.h"

namespace {

constexpr const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\GWSync";
constexpr const char* kMessageFileValue = "EventMessageFile";
constexpr DWORD kMessageFileSize = 261;
constexpr int kEntrySize = 1024;
constexpr DWORD kTableTextSize = 2048;

// Copies text into buffer, cut to bufferSize - 1 characters; returns the length.
long copyCut(char* buffer, int bufferSize, const char* text) {
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(bufferSize - 1)) length = static_cast<size_t>(bufferSize - 1);
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<long>(length);
}

long formatMessage(DWORD id, char* buffer, int bufferSize, va_list args) {
  if (!buffer || bufferSize <= 0) return 0;
  if (!Log::m_MsgDllHandle) {
    return copyCut(buffer, bufferSize, "*ERR* Log::getMessage() m_MsgDllHandle == NULL");
  }
  char text[kTableTextSize];
  if (FormatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, Log::m_MsgDllHandle, id, 0, text,
                    sizeof text, nullptr) == 0) {
    std::snprintf(buffer, static_cast<size_t>(bufferSize), "There is no message for message id %lx",
                  static_cast<unsigned long>(id));
  } else {
    // The texts are the message library's printf formats; the caller's
    // arguments follow the id's contract in log/msgids.h.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(buffer, static_cast<size_t>(bufferSize), text, args);
#pragma GCC diagnostic pop
  }
  buffer[bufferSize - 1] = '\0';
  return static_cast<long>(std::strlen(buffer));
}

// Closes a registry key when it goes out of scope.
struct KeyCloser {
  HKEY key = nullptr;
  ~KeyCloser() {
    if (key) RegCloseKey(key);
  }
};

}  // namespace

HMODULE Log::m_MsgDllHandle = nullptr;
HMODULE Log::m_LogDllHandle = nullptr;
Log::PFN_CLOSELOG Log::m_pfnCloseLog = nullptr;
Log::PFN_WRITELOG Log::m_pfnWriteLog = nullptr;
LOG_WRITE_CALLBACK Log::m_pfnWriteCallback = nullptr;

DWORD Log::openLog(const char* forwardingLibrary) {
  KeyCloser source;
  LONG result = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &source.key);
  if (result != ERROR_SUCCESS) {
    source.key = nullptr;
    return static_cast<DWORD>(result);
  }
  // One byte more than the value may fill, for the terminator.
  char path[kMessageFileSize + 1];
  DWORD size = kMessageFileSize;
  DWORD type = REG_NONE;
  result = RegQueryValueEx(source.key, kMessageFileValue, nullptr, &type, reinterpret_cast<LPBYTE>(path), &size);
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
  path[size] = '\0';

  m_MsgDllHandle = LoadLibrary(path);
  if (!m_MsgDllHandle) return GetLastError();
  if (!forwardingLibrary) return ERROR_SUCCESS;

  HMODULE forwarder = LoadLibrary(forwardingLibrary);
  PFN_OPENLOG open = nullptr;
  PFN_CLOSELOG close = nullptr;
  PFN_WRITELOG write = nullptr;
  if (forwarder) {
    open = reinterpret_cast<PFN_OPENLOG>(GetProcAddress(forwarder, "openLog"));
    close = reinterpret_cast<PFN_CLOSELOG>(GetProcAddress(forwarder, "closeLog"));
    write = reinterpret_cast<PFN_WRITELOG>(GetProcAddress(forwarder, "writeLog"));
  }
  if (!forwarder || !open || !close || !write) {
    DWORD error = GetLastError();
    if (forwarder) FreeLibrary(forwarder);
    FreeLibrary(m_MsgDllHandle);
    m_MsgDllHandle = nullptr;
    return error;
  }
  m_LogDllHandle = forwarder;
  m_pfnCloseLog = close;
  m_pfnWriteLog = write;
  return open();
}

void Log::closeLog() {
  if (m_pfnCloseLog) m_pfnCloseLog();
  if (m_MsgDllHandle) FreeLibrary(m_MsgDllHandle);
  m_MsgDllHandle = nullptr;
  if (m_LogDllHandle) FreeLibrary(m_LogDllHandle);
  m_LogDllHandle = nullptr;
  m_pfnCloseLog = nullptr;
  m_pfnWriteLog = nullptr;
}

void Log::writeLog(DWORD id, ...) {
  char text[kEntrySize];
  va_list args;
  va_start(args, id);
  formatMessage(id, text, sizeof text, args);
  va_end(args);
  writeEditedLog(id, text);
}

void Log::writeEditedLog(DWORD id, const char* text) {
  if (!m_pfnWriteLog) return;
  unsigned short level = getErrorLevel(id);
  m_pfnWriteLog(level, text ? text : "");
  if (m_pfnWriteCallback) m_pfnWriteCallback(level, text ? text : "");
}

long Log::getMessage(DWORD id, char* buffer, int bufferSize, ...) {
  va_list args;
  va_start(args, bufferSize);
  long length = formatMessage(id, buffer, bufferSize, args);
  va_end(args);
  return length;
}

unsigned short Log::getErrorLevel(DWORD id) {
  static const unsigned short kLevels[4] = {0, 4, 2, 1};
  return kLevels[id >> 30];
}

void Log::showMsgBox(HWND owner, const char* caption, DWORD id, ...) {
  char text[kEntrySize];
  va_list args;
  va_start(args, id);
  formatMessage(id, text, sizeof text, args);
  va_end(args);
  UINT icon = 0;
  switch (getErrorLevel(id)) {
    case 1: icon = MB_ICONHAND; break;
    case 2:
    case 4: icon = MB_ICONASTERISK; break;
    default: break;
  }
  MessageBox(owner, text, caption, MB_OK | icon);
}

void Log::setWriteCallback(LOG_WRITE_CALLBACK callback) { m_pfnWriteCallback = callback; }
