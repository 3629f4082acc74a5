#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/regfile.h"

// An open key: the hive and the path below it, with each name in the case it
// has in the file. The key itself lives in the file, so every call looks it up
// again; a key deleted meanwhile (by this or another process) makes the
// handle's calls fail with ERROR_KEY_DELETED. Should a key of the same path be
// created again, the handle reaches the new key.
struct HKEY__ {
  size_t hive;
  std::vector<std::string> path;
};

namespace {

using namespace platform::regfile;

constexpr uintptr_t kFirstHiveHandle = 0x80000000u;

// ---------------------------------------------------------------------------
// Problems with the file

// The problem of the calling thread's last call, for platform::registryProblem:
// a library never prints, so a program tells it to a person with the error.
thread_local std::string t_problem;

void reportProblem(std::string problem) { t_problem = std::move(problem); }

LONG fileFailure(const std::string& path, const char* what, int err) {
  reportProblem(path + ": " + what + ": " + std::strerror(err));
  return static_cast<LONG>(platform::winErrorFromErrno(err));
}

// ---------------------------------------------------------------------------
// File access

// Reads the file; a missing file is an empty registry.
LONG readFile(const std::string& path, std::string& text) {
  if (platform::readWholeFile(path, text)) return ERROR_SUCCESS;
  if (errno == ENOENT) return ERROR_SUCCESS;
  return fileFailure(path, "cannot read", errno);
}

// Reads and parses; a file that does not parse is ERROR_BADDB.
// Reads take no lock: a save replaces the file by rename, so a reader sees
// the old file or the new one, never a half-written one.
LONG loadRegistry(const std::string& path, Registry& registry) {
  std::string text;
  if (LONG rc = readFile(path, text); rc != ERROR_SUCCESS) return rc;
  if (std::optional<ParseError> error = parseRegistry(text, registry)) {
    reportProblem(path + ":" + std::to_string(error->line) + ": " + error->message);
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

// Writes a temporary file beside the registry and renames it into place, so
// that a crash or a full disk leaves the old file whole. The user's settings
// are private to the user, whatever the umask. Once renamed, a folder that
// cannot be flushed only weakens how durable the change is.
LONG saveRegistry(const std::string& path, const Registry& registry) {
  platform::ReplaceFileOptions options;
  options.mode = 0600;
  options.exactMode = true;
  options.folderSyncRequired = false;
  platform::ReplaceFileFailure failure;
  if (platform::replaceFile(path, formatRegistry(registry), options, &failure)) return ERROR_SUCCESS;
  using Step = platform::ReplaceStep;
  switch (failure.step) {
    case Step::Create: return fileFailure(path, "cannot create a temporary file", failure.error);
    case Step::SetMode: return fileFailure(failure.temp, "cannot set mode", failure.error);
    case Step::Write: return fileFailure(failure.temp, "cannot write", failure.error);
    case Step::Flush: return fileFailure(failure.temp, "cannot sync", failure.error);
    case Step::Close: return fileFailure(failure.temp, "cannot close", failure.error);
    case Step::Rename:
    case Step::SyncFolder: break;
  }
  return fileFailure(path, "cannot replace", failure.error);
}

// Holds the exclusive lock that serialises changes to the file, across
// processes and threads alike (each holder opens the lock file itself).
class WriteLock {
 public:
  LONG acquire(const std::string& registryPath) {
    const std::string dir = platform::folderOf(registryPath);
    const std::string lockPath = registryPath + ".lock";
    if (!platform::makeFolders(dir, 0700)) return fileFailure(dir, "cannot create the directory", errno);
    fd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_.valid()) return fileFailure(lockPath, "cannot open", errno);
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return fileFailure(lockPath, "cannot lock", errno);
    }
    return ERROR_SUCCESS;
  }

 private:
  platform::CFileDescriptor fd_;  // closing it releases the lock
};

// Runs read(Registry&) on a fresh copy of the current file.
template <class F>
LONG readRegistry(F&& read) {
  Registry registry;
  if (LONG rc = loadRegistry(platform::registryFilePath(), registry); rc != ERROR_SUCCESS) return rc;
  return read(registry);
}

// Runs change(Registry&, bool& changed) on the current file under the write
// lock and saves the result when the change succeeded and changed something.
template <class F>
LONG changeRegistry(F&& change) {
  const std::string path = platform::registryFilePath();
  WriteLock lock;
  if (LONG rc = lock.acquire(path); rc != ERROR_SUCCESS) return rc;
  Registry registry;
  if (LONG rc = loadRegistry(path, registry); rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  if (LONG rc = change(registry, changed); rc != ERROR_SUCCESS) return rc;
  return changed ? saveRegistry(path, registry) : ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Handles

std::mutex g_handlesMutex;
std::unordered_set<HKEY> g_handles;

std::optional<size_t> hiveOf(HKEY hKey) {
  const auto value = reinterpret_cast<uintptr_t>(hKey);
  if (value >= kFirstHiveHandle && value < kFirstHiveHandle + kHiveNames.size()) {
    return value - kFirstHiveHandle;
  }
  return std::nullopt;
}

// Copies what a handle names, so that a handle closed by another thread
// meanwhile cannot be touched.
LONG keyOfHandle(HKEY hKey, HKEY__& out) {
  if (std::optional<size_t> hive = hiveOf(hKey)) {
    out = HKEY__{*hive, {}};
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  if (!g_handles.contains(hKey)) return ERROR_INVALID_HANDLE;
  out = *hKey;
  return ERROR_SUCCESS;
}

HKEY newHandle(HKEY__ key) {
  auto handle = std::make_unique<HKEY__>(std::move(key));
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  g_handles.insert(handle.get());
  return handle.release();
}

// Splits a sub-key path at its backslashes. As on Windows, a leading
// backslash is refused and a trailing one ignored; an empty name in the
// middle (a doubled backslash) is refused too.
LONG splitSubKey(LPCSTR subKey, std::vector<std::string>& names) {
  std::string_view path = subKey ? subKey : "";
  if (path.starts_with('\\')) return ERROR_BAD_PATHNAME;
  while (!path.empty()) {
    const size_t end = std::min(findSeparator(path), path.size());
    // A trailing separator is ignored.
    if (end + 1 == path.size()) path.remove_suffix(1);
    const std::string_view name = path.substr(0, end);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (!isStorableName(name)) return ERROR_INVALID_NAME;
    names.emplace_back(name);
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return ERROR_SUCCESS;
}

std::string_view valueNameOf(LPCSTR valueName) { return valueName ? valueName : ""; }

// Copies a value out with the size rules of RegQueryValueEx.
LONG copyValueData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  if (data && !cbData) return ERROR_INVALID_PARAMETER;
  if (type) *type = value.type;
  if (!cbData) return ERROR_SUCCESS;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (data && needed > *cbData) {
    *cbData = needed;
    return ERROR_MORE_DATA;
  }
  if (data) std::memcpy(data, value.data.data(), needed);
  *cbData = needed;
  return ERROR_SUCCESS;
}

// Copies a name into a buffer of *cch characters, NUL included.
LONG copyName(const std::string& name, LPSTR buffer, LPDWORD cch) {
  if (name.size() >= *cch) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// The common frame of the API calls: the problem text belongs to this call,
// failures set the last error, and no exception leaves.
template <class F>
LONG apiCall(F&& body) {
  t_problem.clear();
  LONG rc;
  try {
    rc = body();
  } catch (const std::bad_alloc&) {
    rc = ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    rc = ERROR_GEN_FAILURE;
  }
  if (rc != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(rc));
  return rc;
}

LONG openKey(HKEY hKey, LPCSTR subKey, PHKEY result, bool create, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  HKEY__ base;
  if (LONG rc = keyOfHandle(hKey, base); rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> names;
  if (LONG rc = splitSubKey(subKey, names); rc != ERROR_SUCCESS) return rc;

  HKEY__ target;
  bool created = false;
  // Walks to the key, creating what is missing when allowed; target gets the
  // names in the case the file has them.
  auto walk = [&](Registry& registry, bool mayCreate) -> LONG {
    Key* key = findKey(registry, base.hive, base.path);
    if (!key) return ERROR_KEY_DELETED;
    target = base;
    created = false;
    for (const std::string& name : names) {
      Key* next = key->findSubkey(name);
      if (!next) {
        if (!mayCreate) return ERROR_FILE_NOT_FOUND;
        next = &key->subkeyOrCreate(name);
        created = true;
      }
      key = next;
      target.path.push_back(key->name);
    }
    return ERROR_SUCCESS;
  };

  // Opening what exists needs no lock and works on a read-only file too.
  LONG rc = readRegistry([&](Registry& registry) { return walk(registry, false); });
  if (rc == ERROR_FILE_NOT_FOUND && create) {
    rc = changeRegistry([&](Registry& registry, bool& changed) {
      const LONG walked = walk(registry, true);
      changed = created;
      return walked;
    });
  }
  if (rc != ERROR_SUCCESS) return rc;
  *result = newHandle(std::move(target));
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyEx(HKEY hKey, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, LPVOID, PHKEY result, LPDWORD disposition) {
  return apiCall([&] { return openKey(hKey, subKey, result, true, disposition); });
}

LONG RegOpenKeyEx(HKEY hKey, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
  return apiCall([&] { return openKey(hKey, subKey, result, false, nullptr); });
}

LONG RegCloseKey(HKEY hKey) {
  return apiCall([&]() -> LONG {
    if (hiveOf(hKey)) return ERROR_SUCCESS;
    {
      std::lock_guard<std::mutex> lock(g_handlesMutex);
      if (g_handles.erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
  });
}

LONG RegQueryValueEx(HKEY hKey, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  return apiCall([&]() -> LONG {
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return readRegistry([&](const Registry& registry) -> LONG {
      const Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      const Value* value = found->findValue(valueNameOf(valueName));
      if (!value) return ERROR_FILE_NOT_FOUND;
      return copyValueData(*value, type, data, cbData);
    });
  });
}

LONG RegSetValueEx(HKEY hKey, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
  return apiCall([&]() -> LONG {
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    const std::string_view name = valueNameOf(valueName);
    if (!isStorableName(name)) return ERROR_INVALID_NAME;
    if (!data && cbData > 0) return ERROR_INVALID_PARAMETER;
    std::string bytes(reinterpret_cast<const char*>(data), data ? cbData : 0);
    if (type == REG_SZ) {
      bytes.resize(std::min(bytes.find('\0'), bytes.size()));
      bytes.push_back('\0');
    } else if (type == REG_DWORD && cbData != 4) {
      return ERROR_INVALID_PARAMETER;
    }
    return changeRegistry([&](Registry& registry, bool& changed) -> LONG {
      Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      changed = found->setValue(name, type, std::move(bytes));
      return ERROR_SUCCESS;
    });
  });
}

LONG RegEnumKeyEx(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD, LPSTR keyClass, LPDWORD cchClass,
                  PFILETIME lastWriteTime) {
  return apiCall([&]() -> LONG {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return readRegistry([&](const Registry& registry) -> LONG {
      const Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
      if (LONG rc = copyName(found->subkeys[index].name, name, cchName); rc != ERROR_SUCCESS) {
        return rc;
      }
      // Keys have no class and the file keeps no write times.
      if (keyClass && cchClass && *cchClass > 0) keyClass[0] = '\0';
      if (cchClass) *cchClass = 0;
      if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
      return ERROR_SUCCESS;
    });
  });
}

LONG RegEnumValue(HKEY hKey, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD, LPDWORD type, LPBYTE data,
                  LPDWORD cbData) {
  return apiCall([&]() -> LONG {
    if (!valueName || !cchValueName) return ERROR_INVALID_PARAMETER;
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return readRegistry([&](const Registry& registry) -> LONG {
      const Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      if (index >= found->values.size()) return ERROR_NO_MORE_ITEMS;
      const Value& value = found->values[index];
      // The name comes first so that a caller whose data buffer was too small
      // can ask for the value by name.
      if (LONG rc = copyName(value.name, valueName, cchValueName); rc != ERROR_SUCCESS) return rc;
      return copyValueData(value, type, data, cbData);
    });
  });
}

LONG RegDeleteKey(HKEY hKey, LPCSTR subKey) {
  return apiCall([&]() -> LONG {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> names;
    if (LONG rc = splitSubKey(subKey, names); rc != ERROR_SUCCESS) return rc;
    // An empty sub-key deletes the handle's own key.
    std::vector<std::string> parentPath = key.path;
    parentPath.insert(parentPath.end(), names.begin(), names.end());
    if (parentPath.empty()) return ERROR_ACCESS_DENIED;  // a hive itself
    const std::string victim = std::move(parentPath.back());
    parentPath.pop_back();
    return changeRegistry([&](Registry& registry, bool& changed) -> LONG {
      if (!findKey(registry, key.hive, key.path)) return ERROR_KEY_DELETED;
      Key* parent = findKey(registry, key.hive, parentPath);
      const Key* target = parent ? parent->findSubkey(victim) : nullptr;
      if (!target) return ERROR_FILE_NOT_FOUND;
      if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
      parent->eraseSubkey(target);
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LONG RegDeleteValue(HKEY hKey, LPCSTR valueName) {
  return apiCall([&]() -> LONG {
    HKEY__ key;
    if (LONG rc = keyOfHandle(hKey, key); rc != ERROR_SUCCESS) return rc;
    return changeRegistry([&](Registry& registry, bool& changed) -> LONG {
      Key* found = findKey(registry, key.hive, key.path);
      if (!found) return ERROR_KEY_DELETED;
      changed = found->eraseValue(valueNameOf(valueName));
      return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
  });
}

namespace platform {

std::string registryFilePath() {
  if (const char* path = std::getenv("GWSYNC_REGISTRY"); path && *path) return path;
  // Relative XDG paths are to be ignored, as the base directory rules say.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return std::string(config) + "/gwsync/registry.reg";
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return home + "/.config/gwsync/registry.reg";
}

std::string registryProblem() { return t_problem; }

}  // namespace platform
