// Text between the handheld's character set (Shift-JIS, code page 932) and
// the terminal's (the LC_CTYPE locale's; the program calls setlocale first).
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

// The terminal's character set as iconv names it ("UTF-8", "ANSI_X3.4-1968").
std::string terminalCharset();

// The text in the terminal's character set. A byte sequence without a form
// there is shown as \xNN escapes and sets *lossy (when given).
std::string handheldToTerminal(std::string_view text, bool* lossy = nullptr);

// Typed text in code page 932; nothing when it is not valid in the
// terminal's character set or a character has no Shift-JIS form. Plain
// ASCII passes unchanged.
std::optional<std::string> terminalToHandheld(std::string_view text);

}  // namespace platform
