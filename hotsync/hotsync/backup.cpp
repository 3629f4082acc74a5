#include "hotsync/hotsync/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "platform/files.h"

namespace hotsync {

namespace {

namespace fs = std::filesystem;

constexpr const char* kMarkerHeader = "GWSync backup 1";
constexpr size_t kCopyChunk = 1 << 20;

std::string systemError(int err) { return std::strerror(err); }

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

using platform::CFileDescriptor;
using platform::syncFolder;

// The lock the handheld store takes on the folder itself, so that the
// `handheld` tool (or any program of the store) is never half-way through a
// change while the folder is copied or put back. Waits up to ten seconds.
class CStoreFolderLock {
 public:
  bool take(const std::string& folder, std::string& problem) {
    m_Fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_Fd < 0) {
      problem = "cannot open the handheld folder " + folder + ": " + systemError(errno);
      return false;
    }
    for (int attempt = 0; ::flock(m_Fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || attempt >= 200) {
        problem = "the handheld folder " + folder + " is in use by another program";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
  ~CStoreFolderLock() {
    if (m_Fd >= 0) ::close(m_Fd);
  }

 private:
  int m_Fd = -1;
};

// Copies `from` to `temp`, flushed to the disk, then renames it to `to`.
// Fills size and crc with what was copied. The temporary file is removed
// on failure.
bool copyAtomic(const std::string& from, const std::string& temp, const std::string& to, mode_t mode, BackupFile* info,
                std::string& problem) {
  CFileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) {
    problem = "cannot read " + from + ": " + systemError(errno);
    return false;
  }
  CFileDescriptor out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!out.valid()) {
    problem = "cannot write " + temp + ": " + systemError(errno);
    return false;
  }
  auto fail = [&](const std::string& what, const std::string& path) {
    problem = what + " " + path + ": " + systemError(errno);
    ::unlink(temp.c_str());
    return false;
  };
  std::vector<char> buffer(kCopyChunk);
  unsigned long long size = 0;
  uint32_t crc = 0;
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("cannot read", from);
    if (n == 0) break;
    if (!platform::writeAll(out.get(), std::string_view(buffer.data(), static_cast<size_t>(n))))
      return fail("cannot write", temp);
    crc = palm::crc32(std::string_view(buffer.data(), static_cast<size_t>(n)), crc);
    size += static_cast<unsigned long long>(n);
  }
  // The mode asked for, whatever the umask made of it.
  if (::fchmod(out.get(), mode) != 0 || ::fsync(out.get()) != 0 || out.close() != 0) return fail("cannot write", temp);
  if (::rename(temp.c_str(), to.c_str()) != 0) return fail("cannot rename " + temp + " to", to);
  if (info) {
    info->size = size;
    info->crc = crc;
  }
  return true;
}

// Size and CRC-32 of a file; false when it cannot be read.
bool fileSum(const std::string& path, unsigned long long& size, uint32_t& crc) {
  CFileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  std::vector<char> buffer(kCopyChunk);
  size = 0;
  crc = 0;
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    crc = palm::crc32(std::string_view(buffer.data(), static_cast<size_t>(n)), crc);
    size += static_cast<unsigned long long>(n);
  }
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether two regular files hold the same bytes.
bool sameBytes(const std::string& a, const std::string& b) {
  if (!isRegularFile(a) || !isRegularFile(b)) return false;
  CFileDescriptor inA(::open(a.c_str(), O_RDONLY | O_CLOEXEC)), inB(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
  if (!inA.valid() || !inB.valid()) return false;
  std::vector<char> bufA(kCopyChunk), bufB(kCopyChunk);
  for (;;) {
    ssize_t nA = ::read(inA.get(), bufA.data(), bufA.size());
    if (nA < 0) return false;
    // Fill the same count from b, so that short reads never misalign them.
    size_t got = 0;
    while (got < static_cast<size_t>(nA)) {
      ssize_t nB = ::read(inB.get(), bufB.data() + got, static_cast<size_t>(nA) - got);
      if (nB <= 0) return false;
      got += static_cast<size_t>(nB);
    }
    if (nA == 0) {
      char extra = 0;
      return ::read(inB.get(), &extra, 1) == 0;
    }
    if (std::memcmp(bufA.data(), bufB.data(), got) != 0) return false;
  }
}

bool writeTextAtomic(const std::string& folder, const std::string& name, const std::string& text,
                     std::string& problem) {
  std::string path = folder + "/" + name;
  platform::ReplaceFileOptions options;
  options.temp = path + ".part";
  if (platform::replaceFile(path, text, options, nullptr)) return true;
  problem = "cannot write " + path + ": " + systemError(errno);
  return false;
}

// The database files of a folder, by name, sorted.
bool databaseFilesOf(const std::string& folder, std::vector<std::string>& names, std::string& problem) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    problem = "cannot read the handheld folder " + folder + ": " + systemError(errno);
    return false;
  }
  names.clear();
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (isBackedUpFileName(name) && isRegularFile(folder + "/" + name)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return true;
}

// A backup folder's name: "YYYYmmddTHHMMSSZ" or that with "-N", N >= 2.
// Gives the stamp and N (1 without a suffix) to order backups by.
bool parseStamp(const std::string& name, std::string& base, unsigned long& n) {
  static const char kShape[] = "ddddddddTddddddZ";
  const size_t baseSize = sizeof kShape - 1;
  if (name.size() < baseSize) return false;
  for (size_t i = 0; i < baseSize; ++i) {
    bool digit = name[i] >= '0' && name[i] <= '9';
    if (kShape[i] == 'd' ? !digit : name[i] != kShape[i]) return false;
  }
  base = name.substr(0, baseSize);
  n = 1;
  if (name.size() == baseSize) return true;
  if (name[baseSize] != '-' || name.size() == baseSize + 1 || name.size() > baseSize + 10) return false;
  n = 0;
  for (size_t i = baseSize + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    n = n * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return n >= 2;
}

// Newest first.
bool newerStamp(const std::string& a, const std::string& b) {
  std::string baseA, baseB;
  unsigned long nA = 0, nB = 0;
  parseStamp(a, baseA, nA);
  parseStamp(b, baseB, nB);
  return baseA != baseB ? baseA > baseB : nA > nB;
}

std::string escapePath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string unescapePath(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      out += text[i] == 'n' ? '\n' : text[i];
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string markerText(const std::string& handheld, const std::vector<BackupFile>& files) {
  std::string text = std::string(kMarkerHeader) + "\nhandheld " + escapePath(handheld) + "\n";
  for (const BackupFile& f : files) {
    char sum[16];
    std::snprintf(sum, sizeof sum, "%08x", f.crc);
    text += "file " + std::to_string(f.size) + " " + sum + " " + f.name + "\n";
  }
  return text + "end\n";
}

// Reads a backup's marker; false when there is none or it is not whole.
bool readMarker(const std::string& folder, Backup& out) {
  std::ifstream in(folder + "/" + kBackupComplete, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line) || line != kMarkerHeader) return false;
  if (!std::getline(in, line) || line.compare(0, 9, "handheld ") != 0) return false;
  out.handheld = unescapePath(line.substr(9));
  out.files.clear();
  while (std::getline(in, line)) {
    if (line == "end") return true;
    std::istringstream fields(line);
    std::string word, sum;
    BackupFile f;
    if (!(fields >> word >> f.size >> sum) || word != "file" || sum.size() != 8 || fields.get() != ' ') return false;
    std::getline(fields, f.name);
    char* end = nullptr;
    f.crc = static_cast<unsigned>(std::strtoul(sum.c_str(), &end, 16));
    if (*end || !isBackedUpFileName(f.name)) return false;
    out.files.push_back(f);
  }
  return false;
}

std::string utcStamp() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// Makes the folder of a new backup, named after now; "-2", "-3"... after
// the runs earlier in the same second, counting on past the highest such
// name seen, so that a name freed by pruning never makes a new backup look
// older than the one before it.
bool makeStampFolder(const std::string& backupsFolder, std::string& folder, std::string& problem) {
  std::string stamp = utcStamp();
  unsigned long first = 1;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(backupsFolder, ec)) {
    std::string base;
    unsigned long n = 0;
    if (parseStamp(e.path().filename().string(), base, n) && base == stamp) first = std::max(first, n + 1);
  }
  for (unsigned long n = first; n < first + 10000; ++n) {
    folder = backupsFolder + "/" + stamp + (n == 1 ? "" : "-" + std::to_string(n));
    if (::mkdir(folder.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) break;
  }
  problem = "cannot make the backup folder " + folder + ": " + systemError(errno);
  return false;
}

bool makeFolder(const std::string& folder, std::string& problem) {
  if (::mkdir(folder.c_str(), 0700) == 0 || (errno == EEXIST && fs::is_directory(folder))) return true;
  problem = "cannot make the backup folder " + folder + ": " + systemError(errno == EEXIST ? ENOTDIR : errno);
  return false;
}

// Removes the whole backups beyond the `keep` newest, and the cut-short
// ones older than `newest` (left by a run that stopped while taking its
// backup). A folder that cannot be removed gets another try next time.
void prune(const std::string& userFolder, unsigned keep, const std::string& newest) {
  std::string backupsFolder = userFolder + "/backups";
  std::vector<Backup> whole = backups(userFolder);
  std::error_code ec;
  for (size_t i = keep; i < whole.size(); ++i) fs::remove_all(whole[i].folder, ec);
  std::set<std::string> wholeNames;
  for (const Backup& b : whole) wholeNames.insert(b.stamp);
  for (const fs::directory_entry& e : fs::directory_iterator(backupsFolder, ec)) {
    std::string name = e.path().filename().string();
    std::string base;
    unsigned long n = 0;
    if (!parseStamp(name, base, n) || wholeNames.count(name) || !e.is_directory(ec)) continue;
    if (newest.empty() || newerStamp(newest, name)) fs::remove_all(e.path(), ec);
  }
}

}  // namespace

bool isBackedUpFileName(const std::string& fileName) {
  // The handheld's own log of its HotSyncs, which each run adds to.
  if (fileName == "synclog.txt") return true;
  std::string name = fileName;
  if (endsWith(name, ".journal")) name.resize(name.size() - 8);
  if (!endsWith(name, ".pdb") && !endsWith(name, ".prc")) return false;
  return palm::validDatabaseName(name.substr(0, name.size() - 4));
}

std::string canonicalFolder(const std::string& folder) {
  std::error_code ec;
  fs::path canonical = fs::canonical(folder, ec);
  if (ec) canonical = fs::absolute(folder, ec).lexically_normal();
  return canonical.string();
}

std::string makeBackup(const std::string& handheldFolder, const std::string& userFolder, unsigned keep,
                       std::string& problem) {
  problem.clear();
  std::string backupsFolder = userFolder + "/backups";
  if (keep == 0) {
    prune(userFolder, 0, "");
    return "";
  }
  if (!makeFolder(backupsFolder, problem)) return "";

  CStoreFolderLock lock;
  std::vector<std::string> names;
  if (!lock.take(handheldFolder, problem) || !databaseFilesOf(handheldFolder, names, problem)) return "";
  std::string folder;
  if (!makeStampFolder(backupsFolder, folder, problem)) return "";
  std::vector<BackupFile> files;
  bool ok = true;
  for (const std::string& name : names) {
    BackupFile f;
    f.name = name;
    // A file that went away since the listing was a temporary one.
    if (!isRegularFile(handheldFolder + "/" + name)) continue;
    ok = copyAtomic(handheldFolder + "/" + name, folder + "/" + name + ".part", folder + "/" + name, 0600, &f, problem);
    if (!ok) break;
    files.push_back(f);
  }
  ok = ok && writeTextAtomic(folder, kBackupComplete, markerText(canonicalFolder(handheldFolder), files), problem);
  if (ok && !syncFolder(backupsFolder)) {
    problem = "cannot flush " + backupsFolder + ": " + systemError(errno);
    ok = false;
  }
  if (!ok) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    return "";
  }
  prune(userFolder, keep, fs::path(folder).filename().string());
  return folder;
}

std::vector<Backup> backups(const std::string& userFolder) {
  std::vector<Backup> all;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(userFolder + "/backups", ec)) {
    std::string name = e.path().filename().string();
    std::string base;
    unsigned long n = 0;
    if (!parseStamp(name, base, n) || !e.is_directory(ec)) continue;
    Backup b;
    b.folder = e.path().string();
    b.stamp = name;
    if (!readMarker(b.folder, b)) continue;
    b.undone = fs::exists(b.folder + "/" + kBackupUndone, ec);
    all.push_back(std::move(b));
  }
  std::sort(all.begin(), all.end(), [](const Backup& a, const Backup& b) { return newerStamp(a.stamp, b.stamp); });
  return all;
}

bool restoreBackup(const Backup& backup, const std::string& handheldFolder, RestoreReport& report,
                   std::string& problem) {
  report = RestoreReport{};
  std::string here = canonicalFolder(handheldFolder);
  if (backup.handheld != here) {
    problem = "the backup " + backup.folder + " is of " + backup.handheld + ", not of " + here;
    return false;
  }
  CStoreFolderLock lock;
  if (!lock.take(handheldFolder, problem)) return false;

  // Every copy checked first: a damaged backup changes nothing.
  std::set<std::string> kept;
  for (const BackupFile& f : backup.files) {
    unsigned long long size = 0;
    uint32_t crc = 0;
    std::string copy = backup.folder + "/" + f.name;
    if (!fileSum(copy, size, crc)) {
      problem = "the backup " + backup.folder + " is incomplete: cannot read " + copy + ": " + systemError(errno);
      return false;
    }
    if (size != f.size || crc != f.crc) {
      problem = "the backup " + backup.folder + " is damaged: " + copy + " is not as it was backed up";
      return false;
    }
    kept.insert(f.name);
  }

  // Files the run made go first, journals included: a journal left beside
  // a file put back would replay the run's changes onto it.
  std::vector<std::string> now;
  if (!databaseFilesOf(handheldFolder, now, problem)) return false;
  for (const std::string& name : now) {
    if (kept.count(name)) continue;
    std::string path = handheldFolder + "/" + name;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      problem = "cannot remove " + path + ": " + systemError(errno);
      return false;
    }
    report.removed.push_back(name);
  }
  for (const BackupFile& f : backup.files) {
    std::string path = handheldFolder + "/" + f.name;
    if (sameBytes(path, backup.folder + "/" + f.name)) {
      report.unchanged.push_back(f.name);
      continue;
    }
    // The file keeps its mode; one made again gets the store's.
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    // A hidden temporary name, which no reader of the folder takes for a
    // database.
    if (!copyAtomic(backup.folder + "/" + f.name, handheldFolder + "/." + f.name + ".undo", path, mode, nullptr,
                    problem))
      return false;
    report.restored.push_back(f.name);
  }
  if (!syncFolder(handheldFolder)) {
    problem = "cannot flush the handheld folder " + handheldFolder + ": " + systemError(errno);
    return false;
  }
  return true;
}

bool markUndone(const Backup& backup, std::string& problem) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[40];
  std::strftime(text, sizeof text, "undone %Y-%m-%dT%H:%M:%SZ\n", &utc);
  return writeTextAtomic(backup.folder, kBackupUndone, text, problem);
}

}  // namespace hotsync
