// Trace file and user messages, shared by every library of the system.
//
// The trace is developer output: one time-stamped line per record, written to
// a file (optionally rotated over a ring of files) and/or the console.
//
//   g_TraceObj.start(10, TraceToFile, "/home/ann/gw/trace-address", 1000, 2, false, false);
//   g_TraceObj.write(9, "SyncCore|pass %d started\n", 1);
//   if (g_TraceObj.shouldTrace(10)) g_TraceObj.doHexTrace(record, 32);
//   g_TraceObj.stop();
//
// Messages are for the user: a numbered id (log/msgids.h) whose text comes
// from the message-text library named in the registry, forwarded to a
// forwarding library (the HotSync log bridge) at the id's error level.
//
//   Log::openLog("condlog.dll");
//   Log::writeLog(MSG_SYNC_SUCCEEDED, "Address Book");
//   Log::closeLog();
//
// Everything here is used from one thread, the one that runs the conduit.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "platform/wintypes.h"

#define LOG_API __attribute__((visibility("default")))

// Where trace records go; both bits may be set.
enum OutputMode : uint32_t {
  TraceToFile = 0x01,
  TraceToConsole = 0x10,
};

inline OutputMode operator|(OutputMode a, OutputMode b) {
  return static_cast<OutputMode>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}

// The trace's console writer. On this platform the process always owns a
// console already, so text goes to standard output.
class LOG_API CTraceConsole {
 public:
  CTraceConsole();
  ~CTraceConsole();
  CTraceConsole(const CTraceConsole&) = delete;
  CTraceConsole& operator=(const CTraceConsole&) = delete;

  // Gets a console of rows x columns; without one, tells the user in a box.
  void open(int rows, int columns);
  void close();
  // Writes text unchanged.
  void write(const char* text);
  // Writes formatted text (cut at 1024 bytes on a console of our own).
  void vwrite(const char* format, va_list& args);

  HANDLE m_Screen;   // a console of our own; INVALID_HANDLE_VALUE when none
  bool m_UseStdout;  // the process had a console: write to standard output
};

class LOG_API CTrace {
 public:
  CTrace();
  ~CTrace();
  CTrace(const CTrace&) = delete;
  CTrace& operator=(const CTrace&) = delete;

  // Configures the outputs and writes the header line to the file. path may
  // be null (no file). maxSizeKB and maxFiles matter only with rotate. A file
  // that cannot be opened is reported in a message box; tracing goes on
  // without it. A file still open from an earlier start is closed first.
  void start(int level, OutputMode mode, const char* path, int maxSizeKB, int maxFiles, bool rotate, bool append);
  // Closes the console (if used) and the file; the level is kept.
  void stop();

  // One record when shouldTrace(level); the text is cut at 2048 bytes with
  // its time stamp (1024 on the console) and always ends in a line feed.
  void write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vwrite(int level, const char* format, va_list& args);
  // One record regardless of the level.
  void doTrace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vdoTrace(const char* format, va_list& args);
  // Hex dump of length bytes when shouldTrace(level); 16 bytes to a line.
  void writeHex(int level, const unsigned char* data, int length);
  void doHexTrace(const unsigned char* data, int length);

  void flush() {
    if (m_File) std::fflush(m_File);
  }
  bool hasStarted() const { return m_Started; }
  bool shouldTrace(int level) const { return m_Level != 0 && level <= m_Level; }

  // Reads "level[,output[,path]]" from the environment variable. Returns
  // false (level 0, no console, empty path) when it is unset or empty. *path
  // points into the environment and is not copied.
  static bool getTraceInfo(const char* variableName, int* level, bool* console, const char** path);

  // Opens the current file: m_Path, or m_Path-NNN when rotating.
  void openTF();
  // Writes raw bytes to the file and switches to the next file of the ring
  // once m_MaxFileSize bytes have been written.
  void writeTF(const char* bytes, int length);

  bool m_Started;
  int32_t m_Level;
  OutputMode m_Mode;
  int32_t m_MaxFileSize;
  int16_t m_MaxFiles;
  bool m_Rotate;
  bool m_Append;
  char m_Path[256];
  int32_t m_FileIndex;
  int32_t m_FileBytes;
  FILE* m_File;
  CTraceConsole m_Console;
};

// The one trace object of the process.
extern LOG_API CTrace g_TraceObj;

// Observer of forwarded entries: (error level, text).
typedef void (*LOG_WRITE_CALLBACK)(unsigned short level, const char* text);

// User messages by id. All members are static; the state is process-wide.
class LOG_API Log {
 public:
  // Entry points of a forwarding library, exported under these names.
  typedef DWORD (*PFN_OPENLOG)();
  typedef void (*PFN_CLOSELOG)();
  typedef void (*PFN_WRITELOG)(unsigned short level, const char* text);

  // Loads the message-text library named by the registry's event-source key
  // and, when forwardingLibrary is given, the forwarding library. Returns 0,
  // the registry's error code, the loader's error code, or the forwarding
  // library's openLog result. On failure nothing stays loaded.
  static DWORD openLog(const char* forwardingLibrary);
  // Closes the forwarding library and unloads both libraries.
  static void closeLog();

  // Formats the message (1024 bytes at most) and forwards it.
  static void writeLog(DWORD id, ...);
  // Forwards a finished text at the level of id; then calls the callback.
  // Does nothing when no forwarding library is loaded.
  static void writeEditedLog(DWORD id, const char* text);
  // Formats the message into buffer (at most bufferSize - 1 characters, always
  // terminated) and returns its length; a null buffer or a size below 1
  // writes nothing and returns 0.
  static long getMessage(DWORD id, char* buffer, int bufferSize, ...);
  // 0 success, 4 information, 2 warning, 1 error, from the id's top two bits.
  static unsigned short getErrorLevel(DWORD id);
  // Shows the message in an OK box with an icon chosen by its level.
  static void showMsgBox(HWND owner, const char* caption, DWORD id, ...);
  // Sets (or with null removes) the observer of forwarded entries.
  static void setWriteCallback(LOG_WRITE_CALLBACK callback);

  static HMODULE m_MsgDllHandle;
  static HMODULE m_LogDllHandle;
  static PFN_CLOSELOG m_pfnCloseLog;
  static PFN_WRITELOG m_pfnWriteLog;
  static LOG_WRITE_CALLBACK m_pfnWriteCallback;
};
