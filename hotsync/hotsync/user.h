// The handheld user of a run: the name as the conduits need it and the
// user's folder on the desktop.
//
//   std::string problem;
//   auto user = handheldUserName("Tanaka", "", 255, problem);   // charset of the locale
//   std::string folder = defaultUserFolder(user->typed, problem);
//   if (folder.empty() || !makeUserFolder(folder, problem)) fail(problem);
#pragma once

#include <optional>
#include <string>

namespace hotsync {

// The Shift-JIS form (code page 932) that passes the bytes on unchanged.
inline constexpr const char* kHandheldCharset = "CP932";

struct UserName {
  std::string typed;     // as given, in the terminal's character set
  std::string handheld;  // code page 932, as the handheld and the conduits hold it
};

// Converts a user name typed in `charset` (empty: the character set of the
// locale, LC_CTYPE) to code page 932 and checks that it fits maxBytes.
// Nothing, with problem set, for an empty name, control characters, an
// unknown character set, characters without a Shift-JIS form or a name too long.
std::optional<UserName> handheldUserName(const std::string& typed, const std::string& charset, size_t maxBytes,
                                         std::string& problem);

// $XDG_DATA_HOME/gwsync/<name>, or $HOME/.local/share/gwsync/<name> when
// XDG_DATA_HOME is unset or empty. Empty, with problem set, when neither
// variable is set or the name cannot be a folder name ("/", ".", "..").
std::string defaultUserFolder(const std::string& typedName, std::string& problem);

// Creates folder and its missing parents, each created one private to the
// user (mode 0700). False, with problem set, when that fails or folder is
// not a folder.
bool makeUserFolder(const std::string& folder, std::string& problem);

}  // namespace hotsync
