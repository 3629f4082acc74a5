// POSIX file helpers shared by the stores that must not lose a file to a
// crash or a full disk: the registry file, the handheld's databases, the
// HotSync log and the backups.
//
//   platform::ReplaceFileOptions options;
//   options.mode = 0600;
//   platform::ReplaceFileFailure failure;
//   if (!platform::replaceFile(path, text, options, &failure)) ...
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// An open file descriptor, closed when the holder goes.
class CFileDescriptor {
 public:
  explicit CFileDescriptor(int fd = -1) : m_Fd(fd) {}
  CFileDescriptor(const CFileDescriptor&) = delete;
  CFileDescriptor& operator=(const CFileDescriptor&) = delete;
  ~CFileDescriptor();

  // Closes the one held and holds fd.
  void reset(int fd = -1);
  int get() const { return m_Fd; }
  bool valid() const { return m_Fd >= 0; }
  // Closes now, so that a late write error shows: 0, or -1 with errno.
  int close();

 private:
  int m_Fd;
};

// Writes all of data, resuming after signals and short writes. False with
// errno set (ENOSPC when the file took nothing).
bool writeAll(int fd, std::string_view data);
// The same at an offset, leaving the file position alone.
bool pwriteAll(int fd, std::string_view data, uint64_t offset);
// The whole file into out; false with errno set.
bool readWholeFile(const std::string& path, std::string& out);

// The folder part of a path: "." when it has none, "/" for one in the root.
std::string folderOf(const std::string& path);
// Makes dir and any missing parents with mode; true when it exists.
bool makeFolders(const std::string& dir, mode_t mode);
// Flushes a folder's entries (a file created or renamed there) to the disk.
bool syncFolder(const std::string& folder);

// The steps of replaceFile, in order; a failure names the one that failed.
enum class ReplaceStep { Create, SetMode, Write, Flush, Close, Rename, SyncFolder };

struct ReplaceFileOptions {
  // Mode of a new temporary; with exactMode it is set whatever the umask.
  mode_t mode = 0600;
  bool exactMode = false;
  // The temporary's path; empty for a fresh unique name beside the file.
  std::string temp;
  // False: a folder that cannot be flushed after the rename only weakens
  // how durable the change is, and is not a failure.
  bool folderSyncRequired = true;
  // A test's hook: answers false to make the step fail with EIO. It is
  // asked "write", "flush", "rename" and (for the folder) "flush" again.
  std::function<bool(const char* step)> gate;
};

struct ReplaceFileFailure {
  ReplaceStep step = ReplaceStep::Create;
  int error = 0;     // errno of the step
  std::string temp;  // the temporary's path, when one was made
};

// Replaces path with bytes so that a crash or a full disk leaves either the
// old file or the new one whole: a temporary beside it, written and flushed,
// renamed over it, and the folder flushed. On failure the temporary is gone,
// the old file untouched (unless only the folder flush failed), and
// *failure (may be null) says which step failed and why.
bool replaceFile(const std::string& path, std::string_view bytes, const ReplaceFileOptions& options,
                 ReplaceFileFailure* failure);

}  // namespace platform
