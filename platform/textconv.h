// Text between the handheld's character set (Shift-JIS, code page 932, unless
// a charset is given, e.g. "CP1252" for a Western handheld) and the
// terminal's (the LC_CTYPE locale's; the program calls setlocale first).
//
//   std::setlocale(LC_CTYPE, "");
//   bool lossy = false;
//   std::cout << platform::handheldToTerminal(name, &lossy);
//   std::optional<std::string> typed = platform::terminalToHandheld(line);
//   if (!typed) complain("no Shift-JIS form");
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The handheld character set when none is given.
constexpr char kHandheldCharset[] = "CP932";

// Whether iconv can convert between `charset` and UTF-8.
bool knownCharset(const std::string &charset);

// The offset of the first byte of `text` that is not valid in `charset` (a
// Shift-JIS lead byte without its second byte, an unassigned byte), or
// nothing when all of it is.
std::optional<size_t> invalidHandheldByte(std::string_view text, const std::string &charset = kHandheldCharset);

// The terminal's character set as iconv names it ("UTF-8", "ANSI_X3.4-1968").
std::string terminalCharset();

// The text in the terminal's character set. A byte sequence without a form
// there is shown as \xNN escapes and sets *lossy (when given).
std::string handheldToTerminal(std::string_view text, bool *lossy = nullptr,
                               const std::string &charset = kHandheldCharset);
// The same in another character set `target` ("UTF-8" for files that must
// be UTF-8, such as JSON).
std::string handheldTo(const std::string &target, std::string_view text, bool *lossy = nullptr,
                       const std::string &charset = kHandheldCharset);

// Typed text in the handheld's character set; nothing when it is not valid
// in the terminal's character set or a character has no form there. Plain
// ASCII passes unchanged.
std::optional<std::string> terminalToHandheld(std::string_view text, const std::string &charset = kHandheldCharset);

}  // namespace platform
