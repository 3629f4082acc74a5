// HotSync Manager's conduit interface: the records it hands a conduit and the
// five functions every conduit library exports. The hotsync program fills the
// records and calls the functions; each conduit implements them.
//
//   CSyncProperties props{};
//   std::snprintf(props.m_PathName, sizeof props.m_PathName, "%s", userDir);
//   std::snprintf(props.m_UserName, sizeof props.m_UserName, "%s", userName);
//   char* remote[] = {const_cast<char*>("AddressDB")};
//   props.m_RemoteName = remote;  props.m_nRemoteCount = 1;
//   long rc = openConduit(nullptr, props);        // 0 synced, -1 failed
//
// The records keep the field order and widths that conduits were written
// against. Where a pointer is involved the offsets of this 64-bit build differ
// from the 32-bit originals; the static_asserts below pin what holds.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

#define CONDUIT_API extern "C" __attribute__((visibility("default")))

constexpr int BIG_PATH = 256;

// Kind of sync HotSync Manager asks for (the conduits decide for themselves).
enum eSyncTypes : int { eFast = 0, eSlow, eHHtoPC, ePCtoHH, eInstall, eBackup, eDoNothing, eProfileInstall };
enum eFirstSync : int { eNeither = 0, ePC, eHH };
enum eConnType : int { eCradle = 0, eModem };

// The run properties record handed to OpenConduit.
struct CSyncProperties {
  eSyncTypes m_SyncType;       // 0
  char m_PathName[BIG_PATH];   // 4: the user's folder on the desktop
  char m_LocalName[BIG_PATH];  // 260: the conduit's local file name
  char m_UserName[BIG_PATH];   // 516: the handheld user's name
  char** m_RemoteName;         // 772 (776 here): names of the handheld databases
  void* m_RemoteDbList;        // unused here
  int m_nRemoteCount;          // entries of m_RemoteName
  DWORD m_Creator;             // the creator the conduit is registered for
  WORD m_CardNo;
  DWORD m_DbType;
  DWORD m_AppInfoSize;
  DWORD m_SortInfoSize;
  eFirstSync m_FirstDevice;
  eConnType m_Connection;
  char m_Registry[BIG_PATH];
  void* m_hKey;
  DWORD m_dwReserved;
};
static_assert(offsetof(CSyncProperties, m_PathName) == 4);
static_assert(offsetof(CSyncProperties, m_UserName) == 516);
// 772 in the original; a pointer is aligned to 8 on this build.
static_assert(offsetof(CSyncProperties, m_RemoteName) ==
              (772 + alignof(char**) - 1) / alignof(char**) * alignof(char**));

// CfgConduit's argument record: 352 bytes, no pointers, the same on every build.
enum eSyncPref : int { eNoPreference = 0, ePermanentPreference, eTemporaryPreference };
struct CfgConduitInfoType {
  DWORD dwVersion;  // 1
  DWORD dwSize;     // 352
  DWORD dwCreatorId;
  DWORD dwUserId;
  char szUser[64];            // 16: the handheld user's name
  char m_PathName[BIG_PATH];  // 80
  eSyncTypes syncPermanent;   // 336
  eSyncTypes syncTemporary;
  eSyncTypes syncNew;
  eSyncPref syncPref;
};
static_assert(offsetof(CfgConduitInfoType, szUser) == 16);
static_assert(sizeof(CfgConduitInfoType) == 352);

// GetConduitInfo's input for info type 0 (the conduit's name): 80 bytes.
struct ConduitRequestInfoType {
  DWORD dwVersion;  // 1
  DWORD dwSize;     // 80
  DWORD dwCreatorId;
  DWORD dwUserId;
  char szUser[64];
};
static_assert(sizeof(ConduitRequestInfoType) == 80);

enum ConduitInfoEnum : int { eConduitName = 0, eMfcVersion = 1, eDefaultAction = 2 };
enum ConduitCfgEnum : int { eConfig1 = 0 };

constexpr DWORD CONDUIT_REQUEST_VERSION = 1;
constexpr DWORD CFG_CONDUIT_INFO_VERSION = 1;
constexpr DWORD MFC_VERSION_INFO = 0x10000000;  // GetConduitInfo's answer to info type 1

// Results of GetConduitInfo and CfgConduit, in the order they are checked.
constexpr long CONDERR_NONE = 0;
constexpr long CONDERR_UNKNOWN_INFO_TYPE = 0x1070;
constexpr long CONDERR_NO_OUTPUT = 0x1071;
constexpr long CONDERR_BAD_OUTPUT_SIZE = 0x1073;
constexpr long CONDERR_NO_INPUT = 0x1074;  // also CfgConduit's missing argument record
constexpr long CONDERR_BAD_INPUT_VERSION = 0x1075;
constexpr long CONDERR_NO_OUTPUT_SIZE = 0x1077;
constexpr long CONDERR_NO_ARG_SIZE = 0x1078;
constexpr long CONDERR_UNKNOWN_CFG_TYPE = 0x1079;
constexpr long CONDERR_BAD_ARG_SIZE = 0x107A;
constexpr long CONDERR_BAD_ARG_VERSION = 0x107B;

// Progress callback of OpenConduit (not used by the conduits of this system).
typedef long (*PROGRESSFN)(char*);

// The five exports, as the hotsync program looks them up by name.
typedef long (*PFN_OPENCONDUIT)(PROGRESSFN progress, CSyncProperties& props);
typedef long (*PFN_GETCONDUITNAME)(char* name, WORD size);
typedef DWORD (*PFN_GETCONDUITVERSION)();
typedef long (*PFN_GETCONDUITINFO)(ConduitInfoEnum infoType, void* inArgs, void* out, DWORD* outSize);
typedef long (*PFN_CFGCONDUIT)(ConduitCfgEnum cfgType, void* args, DWORD* argsSize);
