// The line format of the records that scripted message boxes and dialogs
// leave for tests to read back: one record a line, fields separated by tabs,
// and backslash, tab, line feed and carriage return inside a field escaped.
// Private to the platform library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A field's text as it stands in a record.
std::string escapeField(std::string_view text);
// The fields of one record line, unescaped.
std::vector<std::string> splitRecord(std::string_view line);

}  // namespace platform
