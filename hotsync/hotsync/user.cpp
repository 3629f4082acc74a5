#include "hotsync/hotsync/user.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hotsync {

namespace {

// Converts text from `from` to code page 932. Nothing, with problem set,
// when the character set is unknown or the text is not valid in it or has
// characters without a Shift-JIS form.
std::optional<std::string> toHandheldCharset(const std::string& text, const std::string& from, std::string& problem) {
  iconv_t cd = iconv_open(kHandheldCharset, from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    problem = "the character set \"" + from +
              "\" of the user name is unknown; name it with --user-charset"
              " (for example UTF-8, or CP932 for Shift-JIS bytes passed as they are)";
    return std::nullopt;
  }
  std::vector<char> out(text.size() * 4 + 16);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  int err = errno;
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) {
    if (err == EILSEQ && inLeft > 0) {
      // Either not valid in the source character set or without a Shift-JIS form;
      // iconv does not tell which, so both are named.
      problem = "the user name \"" + text + "\" is not " + from +
                " text or has characters that Shift-JIS cannot hold (name its character set with --user-charset)";
    } else {
      problem = "the user name \"" + text + "\" ends in the middle of a " + from + " character";
    }
    return std::nullopt;
  }
  return std::string(out.data(), static_cast<size_t>(outPtr - out.data()));
}

}  // namespace

std::optional<UserName> handheldUserName(const std::string& typed, const std::string& charset, size_t maxBytes,
                                         std::string& problem) {
  if (typed.empty()) {
    problem = "the user name is empty";
    return std::nullopt;
  }
  for (unsigned char c : typed) {
    if (c < 0x20 || c == 0x7f) {
      problem = "the user name has a control character";
      return std::nullopt;
    }
  }
  std::string from = charset.empty() ? nl_langinfo(CODESET) : charset;
  UserName name{typed, typed};
  if (strcasecmp(from.c_str(), kHandheldCharset) != 0) {
    std::optional<std::string> converted = toHandheldCharset(typed, from, problem);
    if (!converted) return std::nullopt;
    name.handheld = *converted;
  }
  if (name.handheld.size() > maxBytes) {
    problem = "the user name \"" + typed + "\" is " + std::to_string(name.handheld.size()) +
              " bytes in Shift-JIS; at most " + std::to_string(maxBytes) + " fit";
    return std::nullopt;
  }
  return name;
}

std::string defaultUserFolder(const std::string& typedName, std::string& problem) {
  if (typedName == "." || typedName == ".." || typedName.find('/') != std::string::npos) {
    problem = "the user name \"" + typedName + "\" cannot be a folder name; choose the user folder with --userdir";
    return {};
  }
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) return std::string(data) + "/gwsync/" + typedName;
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/gwsync/" + typedName;
  problem = "neither XDG_DATA_HOME nor HOME is set; choose the user folder with --userdir";
  return {};
}

bool makeUserFolder(const std::string& folder, std::string& problem) {
  std::string path;
  size_t start = 0;
  while (start <= folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == std::string::npos) slash = folder.size();
    path = folder.substr(0, slash);
    start = slash + 1;
    if (path.empty()) continue;  // the root
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      problem = "cannot create the user folder " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    problem = "the user folder " + folder + " is not a folder";
    return false;
  }
  return true;
}

}  // namespace hotsync
