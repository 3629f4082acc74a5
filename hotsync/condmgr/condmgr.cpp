#include "hotsync/condmgr/condmgr.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

constexpr const char* kConduitsKey = "Software\\GWSync\\HotSync\\Conduits";

std::string g_problem;

// Ends a call: records what went wrong (nothing on success) and returns rc.
int finish(int rc, std::string problem = {}) {
  g_problem = rc == CM_ERR_NONE ? std::string() : std::move(problem);
  return rc;
}

int badArgument(const std::string& why) { return finish(CM_ERR_BAD_ARGUMENT, why); }

// A registry failure: the stand-in's own words when it has some.
int registryFailure(LONG rc, const std::string& what) {
  std::string words = platform::registryProblem();
  if (words.empty()) {
    const char* text = platform::systemErrorText(static_cast<DWORD>(rc));
    words = text ? text : "error " + std::to_string(rc);
  }
  return finish(CM_ERR_REGISTRY, what + ": " + words);
}

bool validCreator(const char* creator) {
  if (!creator || std::strlen(creator) != 4) return false;
  return std::all_of(creator, creator + 4, [](char c) { return c >= 0x20 && c <= 0x7e; });
}

int badCreator(const char* creator) {
  return badArgument(creator ? "creator \"" + std::string(creator) + "\" is not 4 printable characters" : "no creator");
}

std::string keyNameOf(const char* creator) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", static_cast<unsigned char>(creator[0]),
                static_cast<unsigned char>(creator[1]), static_cast<unsigned char>(creator[2]),
                static_cast<unsigned char>(creator[3]));
  return hex;
}

// The creator a key name stands for; nothing when the name is not one.
std::optional<std::string> creatorOfKeyName(const std::string& name) {
  if (name.size() != 8) return std::nullopt;
  std::string creator;
  for (size_t i = 0; i < 8; i += 2) {
    unsigned value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      char c = name[j];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    creator += static_cast<char>(value);
  }
  if (!validCreator(creator.c_str())) return std::nullopt;
  return creator;
}

std::string keyPathOf(const char* creator) { return std::string(kConduitsKey) + "\\" + keyNameOf(creator); }

// An open registry key, closed when it goes.
class CKey {
 public:
  CKey() = default;
  ~CKey() {
    if (m_Key) RegCloseKey(m_Key);
  }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  HKEY* out() { return &m_Key; }
  HKEY get() const { return m_Key; }

 private:
  HKEY m_Key = nullptr;
};

// Opens the creator's key. CM_ERR_NONE, CM_ERR_NOT_FOUND or CM_ERR_REGISTRY.
int openCreator(const char* creator, CKey& key) {
  LONG rc = RegOpenKeyEx(HKEY_CURRENT_USER, keyPathOf(creator).c_str(), 0, KEY_ALL_ACCESS, key.out());
  if (rc == ERROR_SUCCESS) return CM_ERR_NONE;
  if (rc == ERROR_FILE_NOT_FOUND)
    return finish(CM_ERR_NOT_FOUND, "creator \"" + std::string(creator) + "\" is not registered");
  return registryFailure(rc, "cannot open the registration of \"" + std::string(creator) + "\"");
}

int setText(HKEY key, const char* name, const std::string& text) {
  LONG rc = RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  return rc == ERROR_SUCCESS ? CM_ERR_NONE : registryFailure(rc, std::string("cannot store ") + name);
}

int setNumber(HKEY key, const char* name, int number) {
  DWORD value = static_cast<DWORD>(number);
  LONG rc = RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  return rc == ERROR_SUCCESS ? CM_ERR_NONE : registryFailure(rc, std::string("cannot store ") + name);
}

// Reads a text value; a value never set reads as empty.
int getText(HKEY key, const char* name, std::string& text) {
  text.clear();
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueEx(key, name, nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return CM_ERR_NONE;
  if (rc != ERROR_SUCCESS) return registryFailure(rc, std::string("cannot read ") + name);
  if (type != REG_SZ) return finish(CM_ERR_REGISTRY, std::string("value ") + name + " is not a text");
  std::string data(size, '\0');
  rc = RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  if (rc != ERROR_SUCCESS) return registryFailure(rc, std::string("cannot read ") + name);
  data.resize(strnlen(data.c_str(), size));
  if (data.size() >= CM_MAX_TEXT)
    return finish(CM_ERR_REGISTRY,
                  std::string("value ") + name + " is longer than " + std::to_string(CM_MAX_TEXT - 1) + " bytes");
  text = std::move(data);
  return CM_ERR_NONE;
}

// Reads a number value; a value never set reads as fallback.
int getNumber(HKEY key, const char* name, int fallback, int& number) {
  number = fallback;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  LONG rc = RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (rc == ERROR_FILE_NOT_FOUND) return CM_ERR_NONE;
  if (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && type != REG_DWORD))
    return finish(CM_ERR_REGISTRY, std::string("value ") + name + " is not a number");
  if (rc != ERROR_SUCCESS) return registryFailure(rc, std::string("cannot read ") + name);
  number = static_cast<int>(value);
  return CM_ERR_NONE;
}

bool validText(const char* text) { return text && strnlen(text, CM_MAX_TEXT) < CM_MAX_TEXT; }

// One text value of an existing registration.
int setCreatorText(const char* creator, const char* name, const char* text) {
  if (!validCreator(creator)) return badCreator(creator);
  if (!validText(text))
    return badArgument(text ? std::string(name) + " is longer than " + std::to_string(CM_MAX_TEXT - 1) + " bytes"
                            : std::string("no ") + name);
  CKey key;
  if (int rc = openCreator(creator, key)) return rc;
  if (int rc = setText(key.get(), name, text)) return rc;
  return finish(CM_ERR_NONE);
}

int getCreatorText(const char* creator, const char* name, char* buffer, int* size) {
  if (!validCreator(creator)) return badCreator(creator);
  if (!buffer || !size || *size < 0) return badArgument("no buffer or no size");
  CKey key;
  if (int rc = openCreator(creator, key)) return rc;
  std::string text;
  if (int rc = getText(key.get(), name, text)) return rc;
  int needed = static_cast<int>(text.size()) + 1;
  if (needed > *size) {
    if (*size > 0) buffer[0] = '\0';
    *size = needed;
    return finish(CM_ERR_BUFFER_TOO_SMALL, std::string(name) + " needs " + std::to_string(needed) + " bytes");
  }
  std::memcpy(buffer, text.c_str(), static_cast<size_t>(needed));
  *size = needed;
  return finish(CM_ERR_NONE);
}

struct Registered {
  std::string creator;
  int priority;
};

// Every registration, in run order.
int readAll(std::vector<Registered>& all) {
  all.clear();
  CKey root;
  LONG rc = RegOpenKeyEx(HKEY_CURRENT_USER, kConduitsKey, 0, KEY_READ, root.out());
  if (rc == ERROR_FILE_NOT_FOUND) return finish(CM_ERR_NONE);
  if (rc != ERROR_SUCCESS) return registryFailure(rc, std::string("cannot open HKEY_CURRENT_USER\\") + kConduitsKey);
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof name;
    rc = RegEnumKeyEx(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) continue;  // far too long to be a creator's key
    if (rc != ERROR_SUCCESS) return registryFailure(rc, std::string("cannot list HKEY_CURRENT_USER\\") + kConduitsKey);
    std::optional<std::string> creator = creatorOfKeyName(name);
    if (!creator) continue;
    CKey key;
    if (int open = openCreator(creator->c_str(), key)) return open;
    int priority = CM_PRIORITY_DEFAULT;
    if (int got = getNumber(key.get(), "Priority", CM_PRIORITY_DEFAULT, priority)) return got;
    all.push_back({*creator, priority});
  }
  std::sort(all.begin(), all.end(), [](const Registered& a, const Registered& b) {
    if (a.priority != b.priority) return a.priority < b.priority;
    // Byte order, as the creator's four bytes compare as a number.
    return std::lexicographical_compare(
        a.creator.begin(), a.creator.end(), b.creator.begin(), b.creator.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
  });
  return finish(CM_ERR_NONE);
}

bool validPriority(int priority) { return priority >= CM_PRIORITY_FIRST && priority <= CM_PRIORITY_LAST; }

int badPriority(int priority) {
  return badArgument("priority " + std::to_string(priority) + " is not between " + std::to_string(CM_PRIORITY_FIRST) +
                     " and " + std::to_string(CM_PRIORITY_LAST));
}

// The text values of a registration and where they sit in CmConduitType.
const struct {
  const char* name;
  char (CmConduitType::*field)[CM_MAX_TEXT];
} kTextFields[] = {
    {"Name", &CmConduitType::szName},           {"Module", &CmConduitType::szModule},
    {"Directory", &CmConduitType::szDirectory}, {"Remote", &CmConduitType::szRemote},
    {"Title", &CmConduitType::szTitle},         {"Info", &CmConduitType::szInfo},
    {"File", &CmConduitType::szFile},           {"Argument", &CmConduitType::szArgument},
};

bool validRecord(const CmConduitType* conduit) {
  return conduit && conduit->dwVersion == CM_CONDUIT_VERSION && conduit->dwSize == sizeof(CmConduitType);
}

}  // namespace

// ---- HotSync Manager ----

int CmGetHotSyncExecPath(char* path, int* size) {
  if (!path || !size || *size < 0) return badArgument("no buffer or no size");
  std::string folder = platform::callingModuleFolder();
  if (folder.empty()) return finish(CM_ERR_NOT_FOUND, "the library's own folder cannot be told");
  std::string program = std::filesystem::path(folder + "/../bin/hotsync").lexically_normal().string();
  if (::access(program.c_str(), X_OK) != 0) return finish(CM_ERR_NOT_FOUND, program + " is not there");
  int needed = static_cast<int>(program.size()) + 1;
  if (needed > *size) {
    if (*size > 0) path[0] = '\0';
    *size = needed;
    return finish(CM_ERR_BUFFER_TOO_SMALL, "the path needs " + std::to_string(needed) + " bytes");
  }
  std::memcpy(path, program.c_str(), static_cast<size_t>(needed));
  *size = needed;
  return finish(CM_ERR_NONE);
}

int CmRestoreHotSyncSettings(int /*reserved*/) { return finish(CM_ERR_NONE); }

const char* CmGetLastProblem() { return g_problem.c_str(); }

// ---- Registering ----

int CmInstallCreator(const char* creator, int type) {
  if (!validCreator(creator)) return badCreator(creator);
  if (type != CM_CREATOR_TYPE_CONDUIT) return badArgument("type " + std::to_string(type) + " is not a conduit");
  CKey key;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyEx(HKEY_CURRENT_USER, keyPathOf(creator).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.out(), &disposition);
  if (rc != ERROR_SUCCESS)
    return registryFailure(rc, "cannot create the registration of \"" + std::string(creator) + "\"");
  if (disposition == REG_OPENED_EXISTING_KEY)
    return finish(CM_ERR_ALREADY_INSTALLED, "creator \"" + std::string(creator) + "\" is registered already");
  if (int r = setText(key.get(), "Creator", creator)) return r;
  if (int r = setNumber(key.get(), "Type", type)) return r;
  if (int r = setNumber(key.get(), "Priority", CM_PRIORITY_DEFAULT)) return r;
  return finish(CM_ERR_NONE);
}

int CmRemoveConduitByCreatorID(const char* creator) {
  if (!validCreator(creator)) return badCreator(creator);
  LONG rc = RegDeleteKey(HKEY_CURRENT_USER, keyPathOf(creator).c_str());
  if (rc == ERROR_SUCCESS) return finish(CM_ERR_NONE);
  if (rc == ERROR_FILE_NOT_FOUND)
    return finish(CM_ERR_NOT_FOUND, "creator \"" + std::string(creator) + "\" is not registered");
  return registryFailure(rc, "cannot remove the registration of \"" + std::string(creator) + "\"");
}

int CmSetCreatorPriority(const char* creator, int priority) {
  if (!validCreator(creator)) return badCreator(creator);
  if (!validPriority(priority)) return badPriority(priority);
  CKey key;
  if (int rc = openCreator(creator, key)) return rc;
  if (int rc = setNumber(key.get(), "Priority", priority)) return rc;
  return finish(CM_ERR_NONE);
}

int CmSetCreatorName(const char* creator, const char* name) { return setCreatorText(creator, "Name", name); }
int CmSetCreatorModule(const char* creator, const char* module) { return setCreatorText(creator, "Module", module); }
int CmSetCreatorDirectory(const char* creator, const char* directory) {
  return setCreatorText(creator, "Directory", directory);
}
int CmSetCreatorRemote(const char* creator, const char* database) {
  return setCreatorText(creator, "Remote", database);
}
int CmSetCreatorTitle(const char* creator, const char* title) { return setCreatorText(creator, "Title", title); }
int CmSetCreatorInfo(const char* creator, const char* info) { return setCreatorText(creator, "Info", info); }
int CmSetCreatorFile(const char* creator, const char* file) { return setCreatorText(creator, "File", file); }
int CmSetCreatorArgument(const char* creator, const char* argument) {
  return setCreatorText(creator, "Argument", argument);
}

int CmInstallConduit(const CmConduitType* conduit) {
  if (!validRecord(conduit)) return badArgument("no conduit record, or one of another version or size");
  char creator[5];
  std::memcpy(creator, conduit->szCreator, 4);
  creator[4] = '\0';
  if (conduit->szCreator[4] != '\0' || !validCreator(creator)) return badCreator(creator);
  if (conduit->iType != CM_CREATOR_TYPE_CONDUIT)
    return badArgument("type " + std::to_string(conduit->iType) + " is not a conduit");
  if (!validPriority(conduit->iPriority)) return badPriority(conduit->iPriority);
  for (const auto& text : kTextFields)
    if (!validText(conduit->*text.field)) return badArgument(std::string(text.name) + " is not terminated");
  CKey key;
  LONG rc = RegCreateKeyEx(HKEY_CURRENT_USER, keyPathOf(creator).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
  if (rc != ERROR_SUCCESS)
    return registryFailure(rc, "cannot create the registration of \"" + std::string(creator) + "\"");
  if (int r = setText(key.get(), "Creator", creator)) return r;
  if (int r = setNumber(key.get(), "Type", conduit->iType)) return r;
  if (int r = setNumber(key.get(), "Priority", conduit->iPriority)) return r;
  for (const auto& text : kTextFields)
    if (int r = setText(key.get(), text.name, conduit->*text.field)) return r;
  return finish(CM_ERR_NONE);
}

// ---- Reading back ----

int CmGetConduitCount() {
  std::vector<Registered> all;
  if (int rc = readAll(all)) return rc;
  return static_cast<int>(all.size());
}

int CmGetCreatorByIndex(int index, char* creator) {
  if (!creator) return badArgument("no place for the creator");
  std::vector<Registered> all;
  if (int rc = readAll(all)) return rc;
  if (index < 0 || static_cast<size_t>(index) >= all.size())
    return finish(CM_ERR_NOT_FOUND, "there are " + std::to_string(all.size()) + " registrations");
  std::memcpy(creator, all[static_cast<size_t>(index)].creator.c_str(), 5);
  return finish(CM_ERR_NONE);
}

int CmGetConduitByCreator(const char* creator, CmConduitType* conduit) {
  if (!validCreator(creator)) return badCreator(creator);
  if (!validRecord(conduit)) return badArgument("no conduit record, or one of another version or size");
  CKey key;
  if (int rc = openCreator(creator, key)) return rc;
  CmConduitType read{};
  read.dwVersion = CM_CONDUIT_VERSION;
  read.dwSize = sizeof read;
  std::memcpy(read.szCreator, creator, 5);
  if (int rc = getNumber(key.get(), "Type", CM_CREATOR_TYPE_CONDUIT, read.iType)) return rc;
  if (int rc = getNumber(key.get(), "Priority", CM_PRIORITY_DEFAULT, read.iPriority)) return rc;
  for (const auto& text : kTextFields) {
    std::string value;
    if (int rc = getText(key.get(), text.name, value)) return rc;
    std::memcpy(read.*text.field, value.c_str(), value.size() + 1);
  }
  *conduit = read;
  return finish(CM_ERR_NONE);
}

int CmGetCreatorType(const char* creator, int* type) {
  if (!validCreator(creator)) return badCreator(creator);
  if (!type) return badArgument("no place for the type");
  CKey key;
  if (int rc = openCreator(creator, key)) return rc;
  if (int rc = getNumber(key.get(), "Type", CM_CREATOR_TYPE_CONDUIT, *type)) return rc;
  return finish(CM_ERR_NONE);
}

int CmGetCreatorPriority(const char* creator, int* priority) {
  if (!validCreator(creator)) return badCreator(creator);
  if (!priority) return badArgument("no place for the priority");
  CKey key;
  if (int rc = openCreator(creator, key)) return rc;
  if (int rc = getNumber(key.get(), "Priority", CM_PRIORITY_DEFAULT, *priority)) return rc;
  return finish(CM_ERR_NONE);
}

int CmGetCreatorName(const char* creator, char* name, int* size) { return getCreatorText(creator, "Name", name, size); }
int CmGetCreatorModule(const char* creator, char* module, int* size) {
  return getCreatorText(creator, "Module", module, size);
}
int CmGetCreatorDirectory(const char* creator, char* directory, int* size) {
  return getCreatorText(creator, "Directory", directory, size);
}
int CmGetCreatorRemote(const char* creator, char* database, int* size) {
  return getCreatorText(creator, "Remote", database, size);
}
int CmGetCreatorTitle(const char* creator, char* title, int* size) {
  return getCreatorText(creator, "Title", title, size);
}
int CmGetCreatorInfo(const char* creator, char* info, int* size) { return getCreatorText(creator, "Info", info, size); }
int CmGetCreatorFile(const char* creator, char* file, int* size) { return getCreatorText(creator, "File", file, size); }
int CmGetCreatorArgument(const char* creator, char* argument, int* size) {
  return getCreatorText(creator, "Argument", argument, size);
}
