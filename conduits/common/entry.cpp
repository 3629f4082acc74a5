// The conduit library's static objects and four of its five exports: name,
// version, information and configuration. OpenConduit is in run.cpp.
#include <cstdint>
#include <cstring>

#include "conduits/common/cfgdialog.h"
#include "conduits/common/conduit.h"
#include "hotsync/condapi/condapi.h"
#include "log/log.h"
#include "platform/module.h"
#include "platform/msgbox.h"
#include "platform/strres.h"
#include "synccore/helpers.h"

namespace {

constexpr WORD kVersionMajor = 1;
constexpr WORD kVersionMinor = 0;

void noResourceFile(const char* library) {
  char text[128];
  std::snprintf(text, sizeof text, "No resource file! %s", library);
  MessageBox(nullptr, text, "GWSync", MB_OK | MB_ICONSTOP);
}

// The library's application object: loads the conduit's resource library
// with the conduit. Without it every entry point that needs its texts fails.
// The resource library is not freed when the conduit goes: a static
// destructor runs inside the loader's own unloading (or at exit, after the
// HotSync Manager has let the conduit go), where unloading another library
// can take the conduit's code away under the running destructor.
class ConduitApp {
 public:
  ConduitApp() : m_Resources(LoadLibrary(g_ConduitDef.resourceLibrary)) {
    if (!m_Resources) noResourceFile(g_ConduitDef.resourceLibrary);
  }
  ConduitApp(const ConduitApp&) = delete;
  ConduitApp& operator=(const ConduitApp&) = delete;
  HMODULE resources() const { return m_Resources; }

 private:
  HMODULE m_Resources;
};

ConduitKind makeConduitKind() {
  ConduitKind k{};
  k.m_Kind = g_ConduitDef.kind;
  k.m_VersionMajor = kVersionMajor;
  k.m_VersionMinor = kVersionMinor;
  std::snprintf(k.m_Tag, sizeof k.m_Tag, "%s", g_ConduitDef.tag);
  k.m_MaxNBatch = 10;
  HMODULE strings = LoadLibrary("handstrings.dll");
  if (!strings) {
    noResourceFile("handstrings.dll");
    return k;
  }
  LoadString(strings, k.m_Kind + 1, k.m_ConduitName, sizeof k.m_ConduitName);
  LoadString(strings, k.m_Kind + 6, k.m_SyncName, sizeof k.m_SyncName);
  FreeLibrary(strings);
  return k;
}

// Built in this order when the library loads.
ConduitApp g_App;
ConduitKind g_Kind = makeConduitKind();

unsigned traceable(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// Copies the conduit's name into a buffer of size bytes, always terminated;
// a size of 0 writes nothing.
void copyName(char* buffer, WORD size) {
  if (!buffer || size == 0) return;
  copyDbcsText(buffer, g_Kind.m_ConduitName, size, DBCS_COPY, nullptr);
}

}  // namespace

ConduitKind& conduitKind() { return g_Kind; }

HMODULE conduitResources() { return g_App.resources(); }

char* conduitText(UINT id, char* buffer, int size) { return loadResourceText(conduitResources(), id, buffer, size); }

CONDUIT_API long GetConduitName(char* name, WORD size) {
  copyName(name, size);
  return 0;
}

CONDUIT_API DWORD GetConduitVersion() { return DWORD{g_Kind.m_VersionMajor} << 16 | g_Kind.m_VersionMinor; }

CONDUIT_API long GetConduitInfo(ConduitInfoEnum infoType, void* inArgs, void* out, DWORD* outSize) {
  g_TraceObj.write(9, "GetConduitInfo(%d, 0x%x, 0x%x, ...) called\n", infoType, traceable(inArgs), traceable(out));
  if (!out) return CONDERR_NO_OUTPUT;
  if (!outSize) return CONDERR_NO_OUTPUT_SIZE;
  switch (infoType) {
    case eConduitName: {
      if (!inArgs) return CONDERR_NO_INPUT;
      const auto* request = static_cast<const ConduitRequestInfoType*>(inArgs);
      if (request->dwVersion != CONDUIT_REQUEST_VERSION || request->dwSize != sizeof(ConduitRequestInfoType))
        return CONDERR_BAD_INPUT_VERSION;
      copyName(static_cast<char*>(out), static_cast<WORD>(*outSize & 0xFFFF));
      return CONDERR_NONE;
    }
    case eMfcVersion:
      if (*outSize != sizeof(DWORD)) return CONDERR_BAD_OUTPUT_SIZE;
      *static_cast<DWORD*>(out) = MFC_VERSION_INFO;
      return CONDERR_NONE;
    case eDefaultAction:
      if (*outSize != sizeof(DWORD)) return CONDERR_BAD_OUTPUT_SIZE;
      *static_cast<DWORD*>(out) = 0;
      return CONDERR_NONE;
    default: return CONDERR_UNKNOWN_INFO_TYPE;
  }
}

CONDUIT_API long CfgConduit(ConduitCfgEnum cfgType, void* args, DWORD* argsSize) {
  g_TraceObj.write(9, "CfgConduit(%d, 0x%x, %d) called\n", cfgType, traceable(args),
                   argsSize ? static_cast<int>(*argsSize) : 0);
  g_TraceObj.write(9, "cfgConduit(%d, 0x%x, %d) called\n", cfgType, traceable(args),
                   argsSize ? static_cast<int>(*argsSize) : 0);
  if (!args) return CONDERR_NO_INPUT;
  if (!argsSize) return CONDERR_NO_ARG_SIZE;
  if (*argsSize != sizeof(CfgConduitInfoType)) return CONDERR_BAD_ARG_SIZE;
  if (cfgType != eConfig1) return CONDERR_UNKNOWN_CFG_TYPE;
  const auto* info = static_cast<const CfgConduitInfoType*>(args);
  if (info->dwVersion != CFG_CONDUIT_INFO_VERSION) return CONDERR_BAD_ARG_VERSION;
  if (!conduitResources()) return -1;
  char user[sizeof info->szUser + 1];
  std::memcpy(user, info->szUser, sizeof info->szUser);
  user[sizeof info->szUser] = '\0';
  char caption[256];
  char chooseUser[256];
  conduitText(CONDRES_CAPTION, caption, sizeof caption);
  conduitText(CONDRES_CHOOSE_USER, chooseUser, sizeof chooseUser);
  runConfiguration(user, caption, chooseUser);
  return 0;
}
