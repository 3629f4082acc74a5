#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

CFileDescriptor::~CFileDescriptor() {
  if (m_Fd >= 0) ::close(m_Fd);
}

void CFileDescriptor::reset(int fd) {
  if (m_Fd >= 0) ::close(m_Fd);
  m_Fd = fd;
}

int CFileDescriptor::close() {
  const int rc = ::close(m_Fd);
  m_Fd = -1;
  return rc;
}

namespace {

// Hands data to write(bytes, size) until all of it is taken, resuming after
// signals and short writes; write answers what it took, as write(2) does.
template <class Write>
bool writeLoop(std::string_view data, Write write) {
  while (!data.empty()) {
    const ssize_t n = write(data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view data) {
  return writeLoop(data, [fd](const char* bytes, size_t size) { return ::write(fd, bytes, size); });
}

bool pwriteAll(int fd, std::string_view data, uint64_t offset) {
  return writeLoop(data, [fd, &offset](const char* bytes, size_t size) {
    const ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (n > 0) offset += static_cast<uint64_t>(n);
    return n;
  });
}

bool readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  CFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool makeFolders(const std::string& dir, mode_t mode) {
  if (::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const std::string parent = folderOf(dir);
  if (parent == dir || !makeFolders(parent, mode)) return false;
  return ::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST;
}

bool syncFolder(const std::string& folder) {
  CFileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

namespace {

// Asks the options' gate; a refused step fails with EIO.
bool allowed(const ReplaceFileOptions& options, const char* step) {
  if (options.gate && !options.gate(step)) {
    errno = EIO;
    return false;
  }
  return true;
}

}  // namespace

bool replaceFile(const std::string& path, std::string_view bytes, const ReplaceFileOptions& options,
                 ReplaceFileFailure* failure) {
  std::string temp = options.temp;
  auto fail = [&](ReplaceStep step) {
    const int err = errno;
    if (!temp.empty() && step != ReplaceStep::Create && step != ReplaceStep::SyncFolder) ::unlink(temp.c_str());
    if (failure) *failure = ReplaceFileFailure{step, err, temp};
    errno = err;
    return false;
  };
  CFileDescriptor fd;
  if (temp.empty()) {
    temp = path + ".tmp.XXXXXX";
    fd.reset(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) {
      temp.clear();
      return fail(ReplaceStep::Create);
    }
  } else {
    fd.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, options.mode));
    if (!fd.valid()) return fail(ReplaceStep::Create);
  }
  if (options.exactMode && ::fchmod(fd.get(), options.mode) != 0) return fail(ReplaceStep::SetMode);
  if (!allowed(options, "write") || !writeAll(fd.get(), bytes)) return fail(ReplaceStep::Write);
  if (!allowed(options, "flush") || ::fsync(fd.get()) != 0) return fail(ReplaceStep::Flush);
  if (fd.close() != 0) return fail(ReplaceStep::Close);
  if (!allowed(options, "rename") || ::rename(temp.c_str(), path.c_str()) != 0) return fail(ReplaceStep::Rename);
  const bool synced = allowed(options, "flush") && syncFolder(folderOf(path));
  if (!synced && options.folderSyncRequired) return fail(ReplaceStep::SyncFolder);
  return true;
}

}  // namespace platform
