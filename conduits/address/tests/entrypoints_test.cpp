// The built libaddressconduit.so as the HotSync Manager meets it: loaded by
// path, its five exports looked up by name and called with good and bad
// arguments, and runs that must stop before they touch either side.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "hotsync/condapi/condapi.h"
#include "hotsync/sync20/sync20.h"
#include "platform/dialog.h"
#include "platform/registry.h"
#include "synccore/tests/logcapture.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"

namespace {

class Conduit : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("GWSYNC_DIALOG_LOG", (dir_ / "dialogs").c_str(), 1);
    ::setenv("GWSYNC_DIALOG_SCRIPT", (dir_ / "answers").c_str(), 1);
    std::ofstream(dir_ / "answers") << "cancel\n";
    module_ = dlopen(GWSYNC_TEST_LIBDIR "/libaddressconduit.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    open_ = reinterpret_cast<PFN_OPENCONDUIT>(dlsym(module_, "OpenConduit"));
    name_ = reinterpret_cast<PFN_GETCONDUITNAME>(dlsym(module_, "GetConduitName"));
    version_ = reinterpret_cast<PFN_GETCONDUITVERSION>(dlsym(module_, "GetConduitVersion"));
    info_ = reinterpret_cast<PFN_GETCONDUITINFO>(dlsym(module_, "GetConduitInfo"));
    cfg_ = reinterpret_cast<PFN_CFGCONDUIT>(dlsym(module_, "CfgConduit"));
    ASSERT_TRUE(open_ && name_ && version_ && info_ && cfg_);
  }
  void TearDown() override {
    SyncSetHandheldFolder(nullptr);
    if (module_) dlclose(module_);
  }
  size_t formsShown() { return platform::readDialogLog((dir_ / "dialogs").string()).size(); }

  testutil::TempDir dir_{"entrypoints"};
  testutil::LogCapture log_{dir_.path()};
  void* module_ = nullptr;
  PFN_OPENCONDUIT open_ = nullptr;
  PFN_GETCONDUITNAME name_ = nullptr;
  PFN_GETCONDUITVERSION version_ = nullptr;
  PFN_GETCONDUITINFO info_ = nullptr;
  PFN_CFGCONDUIT cfg_ = nullptr;
};

TEST_F(Conduit, NameAndVersion) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(name_(buffer, 0), 0);
  EXPECT_EQ(buffer[0], 'x');  // a size of 0 writes nothing
  EXPECT_EQ(name_(buffer, 7), 0);
  EXPECT_STREQ(buffer, "GWSync");
  EXPECT_EQ(buffer[7], 'x');
  EXPECT_EQ(name_(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "GWSync Address Book");
  EXPECT_EQ(version_(), 0x00010000u);
}

// One row per GetConduitInfo call: what goes in, the result, what comes out.
struct InfoCase {
  const char* name;
  int type;
  bool input;  // a request record (version 1, size 80)
  DWORD inputVersion;
  bool output;
  bool size;
  DWORD outSize;
  long result;
  const char* written;  // the output as text, or null: left as it was
};

class ConduitInfo : public Conduit, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ConduitInfo, AnswersAsTheHotSyncManagerExpects) {
  const InfoCase& c = GetParam();
  ConduitRequestInfoType request{c.inputVersion, sizeof(ConduitRequestInfoType), 0x61646472, 0, "Ann"};
  char out[64];
  std::memset(out, 'x', sizeof out);
  DWORD outSize = c.outSize;
  long rc = info_(static_cast<ConduitInfoEnum>(c.type), c.input ? &request : nullptr, c.output ? out : nullptr,
                  c.size ? &outSize : nullptr);
  EXPECT_EQ(rc, c.result);
  if (c.written == nullptr) {
    EXPECT_EQ(out[0], 'x');
  } else if (c.type == 0) {
    EXPECT_STREQ(out, c.written);
  } else {
    DWORD value;
    std::memcpy(&value, out, 4);
    EXPECT_EQ(value, std::strtoul(c.written, nullptr, 16));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ConduitInfo,
                         ::testing::Values(
                             //       name              type input  ver out    size   outSize result  written
                             InfoCase{"NoOutput", 0, true, 1, false, true, 64, 0x1071, nullptr},
                             InfoCase{"NoOutputSize", 0, true, 1, true, false, 64, 0x1077, nullptr},
                             InfoCase{"NameNoInput", 0, false, 1, true, true, 64, 0x1074, nullptr},
                             InfoCase{"NameBadVersion", 0, true, 2, true, true, 64, 0x1075, nullptr},
                             InfoCase{"Name", 0, true, 1, true, true, 64, 0, "GWSync Address Book"},
                             InfoCase{"NameCut", 0, true, 1, true, true, 7, 0, "GWSync"},
                             InfoCase{"FrameworkWrongSize", 1, false, 1, true, true, 8, 0x1073, nullptr},
                             InfoCase{"Framework", 1, false, 1, true, true, 4, 0, "10000000"},
                             InfoCase{"DefaultAction", 2, false, 1, true, true, 4, 0, "0"},
                             InfoCase{"Unknown", 3, false, 1, true, true, 4, 0x1070, nullptr}),
                         [](const ::testing::TestParamInfo<InfoCase>& info) { return info.param.name; });

TEST_F(Conduit, CfgConduitChecksItsArgumentsBeforeAnyDialog) {
  CfgConduitInfoType info{};
  info.dwVersion = 1;
  info.dwSize = sizeof info;
  std::strcpy(info.szUser, "Ann");
  DWORD size = sizeof info;
  DWORD wrong = sizeof info - 1;
  EXPECT_EQ(cfg_(eConfig1, nullptr, &size), 0x1074);
  EXPECT_EQ(cfg_(eConfig1, &info, nullptr), 0x1078);
  EXPECT_EQ(cfg_(eConfig1, &info, &wrong), 0x107A);
  EXPECT_EQ(cfg_(static_cast<ConduitCfgEnum>(1), &info, &size), 0x1079);
  info.dwVersion = 2;
  EXPECT_EQ(cfg_(eConfig1, &info, &size), 0x107B);
  EXPECT_EQ(formsShown(), 0u);

  // Accepted: the dialog runs (cancelled by the script) and nothing is saved.
  info.dwVersion = 1;
  EXPECT_EQ(cfg_(eConfig1, &info, &size), 0);
  EXPECT_GE(formsShown(), 1u);
  HKEY key;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Ann", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, bytes = 0;
  EXPECT_EQ(RegQueryValueEx(key, "ZaDiridoUser", nullptr, &type, nullptr, &bytes), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

// A run whose properties name a handheld folder and user "Ann".
class ConduitRun : public Conduit {
 protected:
  void SetUp() override {
    Conduit::SetUp();
    std::filesystem::create_directories(dir_ / "palm");
    ASSERT_EQ(SyncSetHandheldFolder((dir_ / "palm").c_str()), 0);
    std::strcpy(props_.m_PathName, dir_.path().c_str());
    std::strcpy(props_.m_UserName, "Ann");
    props_.m_RemoteName = remote_;
    props_.m_nRemoteCount = 1;
  }
  void configure(const std::string& url) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Ann", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key, nullptr),
              ERROR_SUCCESS);
    for (auto [name, value] : {std::pair<const char*, std::string>{"ZaDiridoURL", url},
                               {"ZaDiridoUser", "taro"},
                               {"ZaDiridoPwd", "taro-pw"}})
      RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                    static_cast<DWORD>(value.size() + 1));
    DWORD off = 0;
    RegSetValueEx(key, "DetailLog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), 4);
    RegCloseKey(key);
  }

  char database_[16] = "AddressDB";
  char* remote_[1] = {database_};
  CSyncProperties props_{};
};

TEST_F(ConduitRun, AConfigurationThatCannotBeLoadedStopsBeforeTheSyncManager) {
  // Holding the Sync Manager's registration makes any attempt of the
  // conduit's to register show in the log.
  CONDHANDLE held = 0;
  ASSERT_EQ(SyncRegisterConduit(&held), 0);
  // The user's key cannot be created: every change of the registry fails.
  std::filesystem::remove(dir_ / "registry.reg.lock");
  std::filesystem::create_directory(dir_ / "registry.reg.lock");
  EXPECT_EQ(open_(nullptr, props_), -1);
  EXPECT_EQ(log_.count("settings could not be loaded"), 1) << log_.all();
  EXPECT_EQ(log_.count("SyncRegisterConduit"), 0) << log_.all();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "palm" / "AddressDB.pdb"));
  SyncUnRegisterConduit(held);
}

TEST_F(ConduitRun, ARefusedRegistrationIsReturnedAndNothingIsSynced) {
  testutil::GwServer server(dir_.path());
  server.addUser("taro", "taro-pw");
  server.start();
  configure(server.url());
  CONDHANDLE held = 0;
  ASSERT_EQ(SyncRegisterConduit(&held), 0);
  EXPECT_EQ(open_(nullptr, props_), SYNCERR_ALREADY_REGISTERED);
  EXPECT_EQ(log_.count("error in SyncRegisterConduit"), 1) << log_.all();
  EXPECT_EQ(log_.count("synchronisation"), 0) << log_.all();  // the engine never ran
  EXPECT_FALSE(std::filesystem::exists(dir_ / "palm" / "AddressDB.pdb"));
  SyncUnRegisterConduit(held);
  // Once free, the same run syncs.
  EXPECT_EQ(open_(nullptr, props_), 0) << log_.all();
  EXPECT_TRUE(std::filesystem::exists(dir_ / "palm" / "AddressDB.pdb"));
}

}  // namespace
