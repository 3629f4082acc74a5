#include "synccore/helpers.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "log/log.h"
#include "log/msgids.h"
#include "platform/errors.h"
#include "platform/findfile.h"
#include "platform/msgbox.h"
#include "platform/registry.h"
#include "platform/strres.h"

namespace {

// Bytes one source character takes in the destination, and in the source.
struct CharStep {
  int srcBytes;
  int dstBytes;
};

CharStep nextChar(const unsigned char* s, int mode) {
  if (isDbcsLeadByte(s[0]) && s[1] != '\0') return {2, 2};
  if (mode == DBCS_CRLF_TO_LF && s[0] == '\r' && s[1] == '\n') return {2, 1};
  return {1, 1};
}

// Writes one character; lfAfterCr tells whether the previous source byte was
// a carriage return (then a line feed in mode 2 stays a single line feed).
void putChar(char* d, const unsigned char* s, CharStep step, int mode, bool lfAfterCr) {
  if (step.srcBytes == 2 && step.dstBytes == 1) {
    d[0] = '\n';
  } else if (mode == DBCS_LF_TO_CRLF && s[0] == '\n' && !lfAfterCr) {
    d[0] = '\r';
    d[1] = '\n';
  } else {
    std::memcpy(d, s, static_cast<size_t>(step.srcBytes));
  }
}

// The longest prefix of the terminated text dst, walked by characters, that
// is at most limit bytes long.
int characterPrefix(const char* dst, int limit) {
  int i = 0;
  while (dst[i] != '\0') {
    int step = isDbcsLeadByte(static_cast<unsigned char>(dst[i])) && dst[i + 1] != '\0' ? 2 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

void reportRegistryFailure(const char* call, const char* what, const char* name, LONG code) {
  char target[300];
  std::snprintf(target, sizeof target, what, name);
  char systemText[512];
  getSystemErrorText(static_cast<DWORD>(code), systemText, sizeof systemText);
  Log::writeLog(MSG_REGISTRY_FAILED, call, "rsmain", "getRSCfgFilePath", target, static_cast<DWORD>(code), systemText);
}

}  // namespace

int copyDbcsText(char* dst, const char* src, int size, int mode, const char* suffix) {
  if (!dst || size < 1) return 0;
  if (!src) {
    dst[0] = '\0';
    return 1;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  const int room = size - 1;
  int in = 0, out = 0;
  while (s[in] != '\0') {
    CharStep step = nextChar(s + in, mode);
    if (mode == DBCS_LF_TO_CRLF && s[in] == '\n' && (in == 0 || s[in - 1] != '\r')) step.dstBytes = 2;
    if (out + step.dstBytes > room) break;
    putChar(dst + out, s + in, step, mode, in > 0 && s[in - 1] == '\r');
    in += step.srcBytes;
    out += step.dstBytes;
  }
  dst[out] = '\0';
  if (s[in] != '\0' && suffix) {
    int suffixLength = static_cast<int>(std::strlen(suffix));
    if (room > suffixLength) {
      out = characterPrefix(dst, room - suffixLength);
      std::memcpy(dst + out, suffix, static_cast<size_t>(suffixLength) + 1);
      out += suffixLength;
    }
  }
  return out + 1;
}

bool getRSCfgFilePath(char* buffer, DWORD size) {
  static const char kKey[] = "SOFTWARE\\GWSync";
  static const char kValue[] = "ConfigFile";
  HKEY key;
  LONG result = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key);
  if (result != ERROR_SUCCESS) {
    reportRegistryFailure("RegOpenKeyEx()", "OPEN REGISTRY KEY %s", kKey, result);
    return false;
  }
  DWORD type = REG_NONE;
  DWORD length = size;
  result = RegQueryValueEx(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &length);
  // A number stored where the path belongs would leave the buffer without a
  // terminator: refuse it like a missing value.
  if (result == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) result = ERROR_UNSUPPORTED_TYPE;
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    reportRegistryFailure("RegQueryValue()", "OPEN REGISTRY NAME %s", kValue, result);
    return false;
  }
  if (size > 0) buffer[length < size ? length : size - 1] = '\0';
  return true;
}

bool pickLogFileName(char* prefix) {
  constexpr size_t kRoom = 260;
  std::string path(prefix);
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

  WIN32_FIND_DATA found;
  std::string best;
  uint64_t bestTime = 0;
  HANDLE search = FindFirstFile((path + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (platform::fileSize(found) >= 1000000) continue;
      uint64_t t = platform::fileTimeValue(found.ftLastWriteTime);
      if (best.empty() || t > bestTime) {
        // A name that would not fit the caller's buffer cannot be reused.
        if (folder.size() + std::strlen(found.cFileName) >= kRoom) continue;
        best = found.cFileName;
        bestTime = t;
      }
    } while (FindNextFile(search, &found));
    FindClose(search);
  }
  if (!best.empty()) {
    std::snprintf(prefix, kRoom, "%s%s", folder.c_str(), best.c_str());
    return true;
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::snprintf(prefix, kRoom, "%s-%04d%02d%02d%02d%02d%02d", path.c_str(), local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return true;
}

char* getSystemErrorText(DWORD code, char* buffer, int size) {
  if (!buffer || size < 1) return buffer;
  if (const char* text = platform::systemErrorText(code)) {
    std::snprintf(buffer, static_cast<size_t>(size), "%s", text);
  } else {
    std::snprintf(buffer, static_cast<size_t>(size), "There is no error message for error code %d",
                  static_cast<int>(code));
  }
  return buffer;
}

int findLineEnd(const char* text) {
  for (int i = 0; i < 65536; ++i) {
    if (text[i] == '\n') return i;
    if (text[i] == '\0') return 0;
  }
  return -1;
}

int showMessageBox(const char* caption, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return MessageBox(nullptr, text, caption, MB_OK | MB_SETFOREGROUND);
}

char* loadResourceText(HINSTANCE module, UINT id, char* buffer, int size) {
  if (!buffer || size < 1) return buffer;
  buffer[0] = '\0';
  if (module) LoadString(module, id, buffer, size);
  return buffer;
}
