#include "syncreg/syncreg.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <type_traits>

#include "hotsync/resident/resident.h"
#include "platform/module.h"

namespace fs = std::filesystem;

namespace syncreg {

CConduitManager::~CConduitManager() {
  if (m_Module) FreeLibrary(m_Module);
}

bool CConduitManager::load() {
  // The program's own ../lib is named explicitly: a dlopen on the program's
  // behalf does not always search its run path (it does not under the
  // sanitizers, whose dlopen is the caller).
  const std::string found = findLibrary("condmgr.dll");
  m_Module = LoadLibrary(found.empty() ? "condmgr.dll" : found.c_str());
  if (!m_Module) {
    m_Problem = "the Conduit Manager library condmgr.dll (" + platform::sharedLibraryFileName("condmgr.dll") +
                ") cannot be loaded: " + platform::loaderProblem();
    return false;
  }
  std::vector<std::string> missing;
  auto bind = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(GetProcAddress(m_Module, name));
    if (!fn) missing.push_back(name);
  };
  bind(m_GetHotSyncExecPath, "CmGetHotSyncExecPath");
  bind(m_RemoveConduitByCreatorID, "CmRemoveConduitByCreatorID");
  bind(m_RestoreHotSyncSettings, "CmRestoreHotSyncSettings");
  bind(m_InstallCreator, "CmInstallCreator");
  bind(m_SetCreatorPriority, "CmSetCreatorPriority");
  bind(m_SetCreatorName, "CmSetCreatorName");
  bind(m_SetCreatorModule, "CmSetCreatorModule");
  bind(m_SetCreatorDirectory, "CmSetCreatorDirectory");
  bind(m_SetCreatorRemote, "CmSetCreatorRemote");
  bind(m_SetCreatorTitle, "CmSetCreatorTitle");
  bind(m_SetCreatorInfo, "CmSetCreatorInfo");
  bind(m_SetCreatorFile, "CmSetCreatorFile");
  bind(m_SetCreatorArgument, "CmSetCreatorArgument");
  bind(m_GetCreatorTitle, "CmGetCreatorTitle");
  bind(m_GetConduitByCreator, "CmGetConduitByCreator");
  bind(m_InstallConduit, "CmInstallConduit");
  if (missing.empty()) return true;
  m_Problem = "the Conduit Manager library condmgr.dll lacks ";
  for (size_t i = 0; i < missing.size(); ++i) m_Problem += (i ? ", " : "") + missing[i];
  FreeLibrary(m_Module);
  m_Module = nullptr;
  return false;
}

bool CConduitManager::isRegistered(const ConduitEntry& c) const {
  char title[CM_MAX_TEXT] = {};
  int size = sizeof title;
  return m_GetCreatorTitle(c.creator, title, &size) == CM_ERR_NONE && std::strcmp(title, c.title) == 0;
}

DWORD CConduitManager::registeredSelection() const {
  DWORD bits = 0;
  for (const ConduitEntry& c : kConduits)
    if (isRegistered(c)) bits |= c.bit;
  return bits;
}

void CConduitManager::registerConduit(const ConduitEntry& c, const std::string& module) const {
  const std::string directory = std::string("gw_") + c.creator;
  const std::string file = directory + ".dat";
  m_InstallCreator(c.creator, CM_CREATOR_TYPE_CONDUIT);
  m_SetCreatorPriority(c.creator, CM_PRIORITY_DEFAULT);
  m_SetCreatorName(c.creator, module.c_str());
  m_SetCreatorModule(c.creator, module.c_str());
  m_SetCreatorDirectory(c.creator, directory.c_str());
  m_SetCreatorRemote(c.creator, c.database);
  m_SetCreatorTitle(c.creator, c.title);
  m_SetCreatorInfo(c.creator, c.creator);
  m_SetCreatorFile(c.creator, file.c_str());
  m_SetCreatorArgument(c.creator, c.creator);
}

void CConduitManager::removeConduit(const ConduitEntry& c) const { m_RemoveConduitByCreatorID(c.creator); }

void CConduitManager::restoreSettings() const { m_RestoreHotSyncSettings(0); }

std::optional<std::string> CConduitManager::hotSyncExecPath() const {
  char path[CM_MAX_TEXT] = {};
  int size = sizeof path;
  if (m_GetHotSyncExecPath(path, &size) != CM_ERR_NONE || !*path) return std::nullopt;
  return std::string(path);
}

// ---------------------------------------------------------------------------

std::vector<std::string> librarySearchFolders() {
  std::vector<std::string> folders;
  const std::string own = platform::callingModuleFolder();
  if (!own.empty()) folders.push_back(own);
  if (const char* env = std::getenv("GWSYNC_LIBDIR")) {
    const std::string list = env;
    for (size_t start = 0; start <= list.size();) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) folders.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  if (!own.empty()) folders.push_back((fs::path(own).parent_path() / "lib").string());
  return folders;
}

std::string findLibrary(const std::string& name) {
  const std::string file = platform::sharedLibraryFileName(name);
  for (const std::string& folder : librarySearchFolders()) {
    std::error_code ec;
    fs::path candidate = fs::path(folder) / file;
    if (fs::is_regular_file(candidate, ec)) {
      fs::path full = fs::weakly_canonical(candidate, ec);
      return (ec ? fs::absolute(candidate).lexically_normal() : full).string();
    }
  }
  return {};
}

void applySelection(const CConduitManager& cm, DWORD selection, DWORD registered) {
  for (const ConduitEntry& c : kConduits) {
    if (selection & c.bit) {
      std::string module = findLibrary(c.file);
      if (module.empty()) {
        std::fprintf(stderr,
                     "syncreg: warning: %s is not beside syncreg, in "
                     "$GWSYNC_LIBDIR or in ../lib; "
                     "%s is registered as %s\n",
                     platform::sharedLibraryFileName(c.file).c_str(), c.creator, c.file);
        module = c.file;
      }
      cm.registerConduit(c, module);
      std::printf("Registered %s: %s (%s)\n", c.creator, c.title, module.c_str());
    } else if (registered & c.bit) {
      cm.removeConduit(c);
      std::printf("Removed %s: %s\n", c.creator, c.title);
    }
    // In step with the warnings on standard error.
    std::fflush(stdout);
  }
  cm.restoreSettings();
}

void clearRegistrations(const CConduitManager& cm) {
  for (const ConduitEntry& c : kConduits) {
    if (!cm.isRegistered(c)) continue;
    cm.removeConduit(c);
    std::printf("Removed %s: %s\n", c.creator, c.title);
  }
  cm.restoreSettings();
  std::fflush(stdout);
}

namespace {

// Runs program without arguments and waits up to waitMs for it to end; one
// that takes longer is left running.
void runAndWait(const std::string& program, int waitMs) {
  pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    // Its output (the usage text when started bare) is not the user's concern.
    if (std::FILE* null = std::freopen("/dev/null", "w", stdout)) (void)null;
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (::waitpid(child, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

void restartHotSync(const CConduitManager& cm) {
  std::optional<resident::Instance> hs = resident::findLive();
  if (!hs) return;
  if (std::optional<std::string> program = cm.hotSyncExecPath();
      program && resident::sendControl(*hs, resident::kMsgCanRestart, 1, 0) != 0)
    runAndWait(*program, 10000);
  resident::sendControl(*hs, resident::kMsgClose, 0, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  if (resident::startAgain(*hs)) std::printf("HotSync Manager restarted.\n");
  else
    std::fprintf(stderr,
                 "syncreg: HotSync Manager could not be started again; "
                 "start it with `hotsync start`\n");
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------

std::string versionText(const VS_FIXEDFILEINFO& v) {
  char text[64];
  std::snprintf(text, sizeof text, "Version %u.%u Build(%u.%u)", HIWORD(v.dwFileVersionMS) & 0x7FFFu,
                LOWORD(v.dwFileVersionMS) & 0x7FFFu, HIWORD(v.dwFileVersionLS) & 0x7FFFu,
                LOWORD(v.dwFileVersionLS) & 0x7FFFu);
  return text;
}

std::string aboutVersionText() {
  std::optional<VS_FIXEDFILEINFO> own = platform::GetFileVersionInfo("/proc/self/exe");
  return own ? versionText(*own) : std::string();
}

std::string aboutFilesText() {
  std::string text;
  for (const char* name : kVersionFiles) {
    std::string path = findLibrary(name);
    if (path.empty()) continue;
    if (std::optional<VS_FIXEDFILEINFO> v = platform::GetFileVersionInfo(path))
      text += std::string(name) + " : " + versionText(*v) + "\r\n";
  }
  return text;
}

}  // namespace syncreg
