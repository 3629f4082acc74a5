#include "platform/textconv.h"

#include <iconv.h>
#include <langinfo.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

// Converts as much as converts; *stopped is the offset of the first byte
// that did not, or text.size().
std::string convert(iconv_t cd, std::string_view text, size_t *stopped) {
  std::string out;
  char *in = const_cast<char *>(text.data());
  size_t inLeft = text.size();
  char buffer[256];
  while (inLeft > 0) {
    char *outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) break;
  }
  *stopped = text.size() - inLeft;
  return out;
}

// Shift-JIS family: a lead byte and its second byte are one character.
bool doubleByteCharset(const std::string &charset) {
  std::string upper;
  for (char c : charset) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == "CP932" || upper == "SHIFT_JIS" || upper == "SHIFT-JIS" || upper == "SJIS" ||
         upper == "WINDOWS-31J" || upper == "MS_KANJI";
}

}  // namespace

bool knownCharset(const std::string &charset) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

std::optional<size_t> invalidHandheldByte(std::string_view text, const std::string &charset) {
  if (isAscii(text)) return std::nullopt;
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  size_t stopped = 0;
  convert(cd, text, &stopped);
  iconv_close(cd);
  if (stopped == text.size()) return std::nullopt;
  return stopped;
}

std::string terminalCharset() { return nl_langinfo(CODESET); }

std::string handheldToTerminal(std::string_view text, bool *lossy, const std::string &charset) {
  return handheldTo(terminalCharset(), text, lossy, charset);
}

std::string handheldTo(const std::string &target, std::string_view text, bool *lossy, const std::string &charset) {
  if (isAscii(text)) return std::string(text);
  iconv_t cd = iconv_open(target.c_str(), charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (lossy) *lossy = true;
    cd = nullptr;
  }
  std::string out;
  while (!text.empty()) {
    size_t stopped = 0;
    if (cd) {
      out += convert(cd, text, &stopped);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    text.remove_prefix(stopped);
    if (text.empty()) break;
    // A character without a form here is shown as its bytes, not dropped.
    const unsigned char lead = static_cast<unsigned char>(text[0]);
    const bool doubleByte = doubleByteCharset(charset) &&
                            ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) && text.size() > 1;
    for (size_t i = 0; i < (doubleByte ? 2u : 1u); ++i) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += escape;
    }
    text.remove_prefix(doubleByte ? 2 : 1);
    if (lossy) *lossy = true;
  }
  if (cd) iconv_close(cd);
  return out;
}

std::optional<std::string> terminalToHandheld(std::string_view text, const std::string &charset) {
  if (isAscii(text)) return std::string(text);
  iconv_t cd = iconv_open(charset.c_str(), terminalCharset().c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  size_t stopped = 0;
  std::string out = convert(cd, text, &stopped);
  iconv_close(cd);
  if (stopped != text.size()) return std::nullopt;
  return out;
}

}  // namespace platform
