// One conduit library as the hotsync program holds it: loaded, its five
// entry points found by name, released when the object goes.
//
//   CConduitLibrary conduit;
//   if (!conduit.load("addressconduit.dll")) fail(conduit.problem());
//   printf("%s %s\n", conduit.name().c_str(), versionText(conduit.version()).c_str());
//   long rc = conduit.open(props);
#pragma once

#include <optional>
#include <string>

#include "hotsync/condapi/condapi.h"
#include "platform/wintypes.h"

namespace hotsync {

class CConduitLibrary {
 public:
  CConduitLibrary() = default;
  ~CConduitLibrary();
  CConduitLibrary(const CConduitLibrary&) = delete;
  CConduitLibrary& operator=(const CConduitLibrary&) = delete;

  // Loads module (a plain name such as "addressconduit.dll" or a path) and
  // looks up the five entry points. False, with problem() in the loader's
  // words, when the library or one of them is missing.
  bool load(const std::string& module);
  const std::string& problem() const { return m_Problem; }

  // GetConduitName's answer (at most 255 bytes); empty before load().
  std::string name() const;
  // GetConduitVersion's answer: major << 16 | minor.
  DWORD version() const;
  // OpenConduit with no progress callback. An exception thrown out of the
  // conduit is caught and reported as -1 with problem() set.
  long open(CSyncProperties& props);
  // CfgConduit(eConfig1, &info, &size) with size sizeof info (352).
  long configure(CfgConduitInfoType& info);
  // This system's own extra entry point UndoServerChanges(user, changes):
  // takes back on the server what a run did there (see hotsync undo). The
  // number of changes taken back, -1 on failure, and -2 with problem() set
  // when the conduit has no such entry point.
  long undoServerChanges(const std::string& handheldUser, const std::string& changes);

 private:
  HMODULE m_Module = nullptr;
  PFN_OPENCONDUIT m_Open = nullptr;
  PFN_GETCONDUITNAME m_GetName = nullptr;
  PFN_GETCONDUITVERSION m_GetVersion = nullptr;
  PFN_GETCONDUITINFO m_GetInfo = nullptr;
  PFN_CFGCONDUIT m_Configure = nullptr;
  // Looked up only when asked for: conduits of other makers lack it.
  long (*m_UndoServer)(const char*, const char*) = nullptr;
  std::string m_Problem;
};

// "1.0" for 0x00010000.
std::string versionText(DWORD version);

// The file LoadLibrary opens for a module name, without its folder:
// "addressconduit.dll", "AddressConduit" and "/opt/gw/libaddressconduit.so"
// all give "libaddressconduit.so". Used to tell whether two names mean the
// same library.
std::string libraryFileOf(const std::string& module);

// What the system's own conduit libraries sync, by library file.
struct KnownConduit {
  const char* library;   // "libaddressconduit.so"
  const char* creator;   // "addr"
  const char* database;  // "AddressDB"
  const char* page;      // the server's page of its records; "" for mail
};
std::optional<KnownConduit> knownConduitOf(const std::string& module);
// The system's conduit whose records live on that server page.
std::optional<KnownConduit> knownConduitOfPage(const std::string& page);

// A creator's four characters as the number handheld records carry
// ('addr' = 0x61646472); the text must be 4 bytes long.
DWORD creatorCode(const std::string& creator);

// True for 4 printable ASCII characters, the creators this system registers.
bool validCreator(const std::string& creator);

}  // namespace hotsync
