// Small helpers shared by the sync engine and every conduit: the bounded copy
// of Shift-JIS text, the configuration file path, the choice of a trace file
// name, system error texts, byte-order swaps, line ends, message boxes and
// string resources. They are compiled into libsynccore.so and again into each
// conduit (static library synccore_common), so each module has its own copy.
//
//   char name[33];
//   copyDbcsText(name, source, sizeof name, DBCS_COPY, "...");
//   WORD n = swapBytes16(raw);              // handheld numbers are big-endian
#pragma once

#include "platform/wintypes.h"

// Line-end modes of copyDbcsText.
enum : int {
  DBCS_COPY = 0,        // bytes as they are
  DBCS_CRLF_TO_LF = 1,  // CR LF becomes LF
  DBCS_LF_TO_CRLF = 2,  // a lone LF becomes CR LF
};

// True for the first byte of a Shift-JIS double-byte character.
inline bool isDbcsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF); }

// Copies src into dst (size bytes, terminator included) character by
// character, never splitting a double-byte character, converting line ends
// by mode. When src does not fit and suffix is given (and shorter than the
// room), the copy is shortened at a character boundary and suffix appended.
// A lead byte directly before src's terminator is copied alone. A null src
// gives an empty dst. Answers the bytes written including the terminator;
// 0 (nothing written) when dst is null or size < 1.
int copyDbcsText(char* dst, const char* src, int size, int mode, const char* suffix);

// Reads the configuration file path (value "ConfigFile" of
// HKEY_LOCAL_MACHINE "SOFTWARE\GWSync") into buffer (size bytes, always
// terminated on success). False after writing one event-log message
// 0xc0000005 when the key or value cannot be read or the value is no text;
// the buffer is then untouched.
bool getRSCfgFilePath(char* buffer, DWORD size);

// prefix (room for 260 bytes) is a path such as "/home/ann/gw/trace-address".
// Replaces it by the newest regular file named prefix* smaller than
// 1,000,000 bytes, else by prefix + "-YYYYMMDDhhmmss" in local time. A prefix
// without '/' is searched in the current folder. Always true.
bool pickLogFileName(char* prefix);

// The system's text for a Windows error code, or "There is no error message
// for error code N". Always terminated (when size >= 1); answers buffer.
char* getSystemErrorText(DWORD code, char* buffer, int size);

inline WORD swapBytes16(WORD v) { return static_cast<WORD>((v >> 8) | (v << 8)); }
inline DWORD swapBytes32(DWORD v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Index of the first line feed within the first 65536 bytes of text; 0 when
// the text ends before one (so 0 is also the answer for a line feed at index
// 0); -1 when 65536 bytes hold none. text must be terminated or at least
// 65536 bytes long.
int findLineEnd(const char* text);

// Formats at most 1023 bytes and shows them under caption in an OK box that
// comes to the foreground. Answers the box's result (IDOK).
int showMessageBox(const char* caption, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Loads string id of module into buffer (size bytes, always terminated when
// size >= 1). An empty text when module or buffer is missing or the string
// is not found. Answers buffer.
char* loadResourceText(HINSTANCE module, UINT id, char* buffer, int size);
