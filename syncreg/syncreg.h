// syncreg: registers the system's conduits with HotSync Manager through the
// Conduit Manager library, removes them again, and shows the versions of the
// system's files.
//
//   CConduitManager cm;
//   if (!cm.load()) { fprintf(stderr, "%s\n", cm.problem().c_str()); return 1; }
//   DWORD registered = cm.registeredSelection();
//   applySelection(cm, kConduitBitAddress | kConduitBitMail, registered);
//   restartHotSync(cm);
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "hotsync/condmgr/condmgr.h"
#include "platform/version.h"
#include "platform/wintypes.h"

namespace syncreg {

// One conduit the tool knows; `checkId` and `checkName` are its check box in
// the main dialog.
struct ConduitEntry {
  DWORD bit;
  const char* creator;
  const char* file;
  const char* database;
  const char* title;
  int checkId;
  const char* checkName;
  const char* label;
};

inline constexpr DWORD kConduitBitSchedule = 0x01;
inline constexpr DWORD kConduitBitToDo = 0x02;
inline constexpr DWORD kConduitBitAddress = 0x04;
inline constexpr DWORD kConduitBitMemo = 0x08;
inline constexpr DWORD kConduitBitMail = 0x10;

// The conduits in the order used everywhere (registration, removal, dialog).
// The databases are those the handheld holds: the Date Book's is DatebookDB.
inline constexpr std::array<ConduitEntry, 5> kConduits = {{
    {kConduitBitSchedule, "date", "scheduleconduit.dll", "DatebookDB", "Tessel Scheduler Sync", 1000, "schedule",
     "Scheduler"},
    {kConduitBitToDo, "todo", "todoconduit.dll", "ToDoDB", "Tessel ToDo Sync", 1001, "todo", "ToDo"},
    {kConduitBitAddress, "addr", "addressconduit.dll", "AddressDB", "Tessel AddressBook Sync", 1002, "address",
     "Address Book"},
    {kConduitBitMemo, "memo", "memoconduit.dll", "MemoDB", "Tessel Note Sync", 1003, "memo", "Notes (Memo Pad)"},
    {kConduitBitMail, "mail", "mailconduit.dll", "MailDB", "Tessel Mail Sync", 1004, "mail", "Mail"},
}};

// The files whose versions the About box lists, in its order.
inline constexpr std::array<const char*, 10> kVersionFiles = {
    "scheduleconduit.dll", "todoconduit.dll", "addressconduit.dll", "memoconduit.dll", "mailconduit.dll",
    "synccore.dll",        "log.dll",         "logtext.dll",        "condlog.dll",     "gwclient.dll"};

// Dialog resources and control ids.
inline constexpr int IDD_SYNCREG = 102;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDC_ABOUT_VERSION = 1002;
inline constexpr int IDC_ABOUT_FILES = 1004;
inline constexpr int IDM_ABOUTBOX = 16;  // the system-menu command that opens the About box

// The Conduit Manager library, loaded by name with every function the tool
// uses looked up; the library is released with the object.
class CConduitManager {
 public:
  CConduitManager() = default;
  ~CConduitManager();
  CConduitManager(const CConduitManager&) = delete;
  CConduitManager& operator=(const CConduitManager&) = delete;

  // Loads "condmgr.dll" (from librarySearchFolders(), else wherever
  // LoadLibrary finds it) and looks up every function. False when the
  // library or any function is missing; problem() then says which, and no
  // other member may be called.
  bool load();
  const std::string& problem() const { return m_Problem; }

  // True when the title held for the entry's creator is the entry's title,
  // byte for byte.
  bool isRegistered(const ConduitEntry& c) const;
  // The bits of the registered conduits.
  DWORD registeredSelection() const;

  // The ten registration steps for c, with module as its file name. Results
  // of the calls are not checked (a failing registry shows in the next run).
  void registerConduit(const ConduitEntry& c, const std::string& module) const;
  void removeConduit(const ConduitEntry& c) const;
  // Tells HotSync Manager that a batch of changes is complete.
  void restoreSettings() const;
  // HotSync Manager's program; nothing when the Conduit Manager knows none.
  std::optional<std::string> hotSyncExecPath() const;

 private:
  HMODULE m_Module = nullptr;
  std::string m_Problem;
  decltype(&CmGetHotSyncExecPath) m_GetHotSyncExecPath = nullptr;
  decltype(&CmRemoveConduitByCreatorID) m_RemoveConduitByCreatorID = nullptr;
  decltype(&CmRestoreHotSyncSettings) m_RestoreHotSyncSettings = nullptr;
  decltype(&CmInstallCreator) m_InstallCreator = nullptr;
  decltype(&CmSetCreatorPriority) m_SetCreatorPriority = nullptr;
  decltype(&CmSetCreatorName) m_SetCreatorName = nullptr;
  decltype(&CmSetCreatorModule) m_SetCreatorModule = nullptr;
  decltype(&CmSetCreatorDirectory) m_SetCreatorDirectory = nullptr;
  decltype(&CmSetCreatorRemote) m_SetCreatorRemote = nullptr;
  decltype(&CmSetCreatorTitle) m_SetCreatorTitle = nullptr;
  decltype(&CmSetCreatorInfo) m_SetCreatorInfo = nullptr;
  decltype(&CmSetCreatorFile) m_SetCreatorFile = nullptr;
  decltype(&CmSetCreatorArgument) m_SetCreatorArgument = nullptr;
  decltype(&CmGetCreatorTitle) m_GetCreatorTitle = nullptr;
  decltype(&CmGetConduitByCreator) m_GetConduitByCreator = nullptr;
  decltype(&CmInstallConduit) m_InstallConduit = nullptr;
};

// The folders where the system's libraries are looked for: the program's
// own, each of $GWSYNC_LIBDIR, then ../lib beside the program.
std::vector<std::string> librarySearchFolders();

// The full path of the library a Windows-style name stands for
// ("addressconduit.dll" -> ".../libaddressconduit.so"); empty when it is in
// none of librarySearchFolders().
std::string findLibrary(const std::string& name);

// Registers every conduit whose bit is in selection and removes the others
// that were in registered, in table order; then restores the settings once.
// Says what it did on standard output.
void applySelection(const CConduitManager& cm, DWORD selection, DWORD registered);

// Removes every registered conduit, restores the settings once.
void clearRegistrations(const CConduitManager& cm);

// Restarts the resident HotSync Manager so that it sees the change; nothing
// when none is running.
void restartHotSync(const CConduitManager& cm);

// "Version 1.2 Build(3.4)", each number masked with 0x7FFF.
std::string versionText(const VS_FIXEDFILEINFO& v);

// The About box texts: the tool's own version (empty when its file carries
// none), and one "name : Version ..." line with CR LF for each file of
// kVersionFiles that has version information.
std::string aboutVersionText();
std::string aboutFilesText();

}  // namespace syncreg
