#include "hotsync/hotsync/conduit.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <type_traits>

#include "platform/module.h"

namespace hotsync {

CConduitLibrary::~CConduitLibrary() {
  if (m_Module) FreeLibrary(m_Module);
}

bool CConduitLibrary::load(const std::string& module) {
  m_Module = LoadLibrary(module.c_str());
  if (!m_Module) {
    m_Problem = platform::loaderProblem();
    if (m_Problem.empty()) m_Problem = module + " cannot be loaded";
    return false;
  }
  // Looked up by name, as the conduit interface defines them.
  auto find = [this, &module](const char* entry, auto& pointer) {
    pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(GetProcAddress(m_Module, entry));
    if (!pointer && m_Problem.empty()) m_Problem = module + " is not a conduit: it has no entry point " + entry;
    return pointer != nullptr;
  };
  m_Problem.clear();
  bool all = find("OpenConduit", m_Open);
  all = find("GetConduitName", m_GetName) && all;
  all = find("GetConduitVersion", m_GetVersion) && all;
  all = find("GetConduitInfo", m_GetInfo) && all;
  all = find("CfgConduit", m_Configure) && all;
  if (!all) {
    FreeLibrary(m_Module);
    m_Module = nullptr;
  }
  return all;
}

std::string CConduitLibrary::name() const {
  if (!m_Module) return {};
  char buffer[256] = {};
  m_GetName(buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';  // a conduit that fills the buffer to the end is still read safely
  return buffer;
}

DWORD CConduitLibrary::version() const { return m_Module ? m_GetVersion() : 0; }

long CConduitLibrary::open(CSyncProperties& props) {
  if (!m_Module) return -1;
  // A conduit is someone else's code: whatever it throws must not end the
  // run of the conduits after it.
  try {
    return m_Open(nullptr, props);
  } catch (const std::exception& e) {
    m_Problem = std::string("the conduit threw an exception: ") + e.what();
  } catch (...) {
    m_Problem = "the conduit threw an exception";
  }
  return -1;
}

long CConduitLibrary::configure(CfgConduitInfoType& info) {
  if (!m_Module) return -1;
  DWORD size = sizeof info;
  try {
    return m_Configure(eConfig1, &info, &size);
  } catch (const std::exception& e) {
    m_Problem = std::string("the conduit threw an exception: ") + e.what();
  } catch (...) {
    m_Problem = "the conduit threw an exception";
  }
  return -1;
}

long CConduitLibrary::undoServerChanges(const std::string& handheldUser, const std::string& changes) {
  if (!m_Module) return -1;
  if (!m_UndoServer)
    m_UndoServer = reinterpret_cast<decltype(m_UndoServer)>(GetProcAddress(m_Module, "UndoServerChanges"));
  if (!m_UndoServer) {
    m_Problem = "the conduit cannot take changes back on its server";
    return -2;
  }
  try {
    return m_UndoServer(handheldUser.c_str(), changes.c_str());
  } catch (...) {
    m_Problem = "the conduit threw an exception";
  }
  return -1;
}

std::string versionText(DWORD version) {
  return std::to_string(version >> 16) + "." + std::to_string(version & 0xffff);
}

std::string libraryFileOf(const std::string& module) {
  size_t slash = module.rfind('/');
  std::string file = slash == std::string::npos ? module : module.substr(slash + 1);
  // A path names the file itself; a plain name is mapped as LoadLibrary maps it.
  if (slash != std::string::npos) return file;
  return platform::sharedLibraryFileName(file);
}

namespace {

const KnownConduit kKnown[] = {
    {"libaddressconduit.so", "addr", "AddressDB", "SyncAddress"},
    {"libmemoconduit.so", "memo", "MemoDB", "SyncMemo"},
    {"libmailconduit.so", "mail", "MailDB", ""},
    {"libscheduleconduit.so", "date", "DatebookDB", "SyncCalendar"},
    {"libtodoconduit.so", "todo", "ToDoDB", "SyncToDo"},
};

}  // namespace

std::optional<KnownConduit> knownConduitOf(const std::string& module) {
  std::string file = libraryFileOf(module);
  for (const KnownConduit& known : kKnown)
    if (file == known.library) return known;
  return std::nullopt;
}

std::optional<KnownConduit> knownConduitOfPage(const std::string& page) {
  for (const KnownConduit& known : kKnown)
    if (!page.empty() && page == known.page) return known;
  return std::nullopt;
}

DWORD creatorCode(const std::string& creator) {
  DWORD code = 0;
  for (size_t i = 0; i < 4 && i < creator.size(); ++i) code = code << 8 | static_cast<unsigned char>(creator[i]);
  return code;
}

bool validCreator(const std::string& creator) {
  return creator.size() == 4 &&
         std::all_of(creator.begin(), creator.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

}  // namespace hotsync
