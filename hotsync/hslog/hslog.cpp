#include "hotsync/hslog/hslog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/module.h"

GWSYNC_EXPORT_ORDINALS = {{52, "LogAddEntry"}, {0, nullptr}};

LONG LogAddEntry(LPCSTR text, LONG activity, BOOL /*timeStamp*/) {
  std::string line = std::to_string(activity);
  line += '\t';
  line += text ? text : "";
  line += '\n';

  const char* path = std::getenv("GWSYNC_HSLOG");
  bool toFile = path && *path;
  int fd = toFile ? ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : STDERR_FILENO;
  if (fd < 0) return static_cast<LONG>(platform::winErrorFromErrno(errno));
  // One write per entry: with O_APPEND, entries of several processes never
  // interleave within a line.
  LONG result = ERROR_SUCCESS;
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    result = static_cast<LONG>(platform::winErrorFromErrno(errno ? errno : EIO));
  if (toFile) ::close(fd);
  return result;
}
