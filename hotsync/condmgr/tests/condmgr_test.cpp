#include "hotsync/condmgr/condmgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testutil/files.h"

namespace {

namespace fs = std::filesystem;

class CondMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/gwsync-condmgr-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    file_ = dir_ + "/registry.reg";
    setenv("GWSYNC_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void install(const char* creator, int priority) {
    ASSERT_EQ(CmInstallCreator(creator, CM_CREATOR_TYPE_CONDUIT), CM_ERR_NONE) << creator;
    ASSERT_EQ(CmSetCreatorPriority(creator, priority), CM_ERR_NONE) << creator;
  }
  std::vector<std::string> runOrder() {
    std::vector<std::string> order;
    int count = CmGetConduitCount();
    EXPECT_GE(count, 0) << CmGetLastProblem();
    for (int i = 0; i < count; ++i) {
      char creator[5] = {};
      EXPECT_EQ(CmGetCreatorByIndex(i, creator), CM_ERR_NONE);
      order.push_back(creator);
    }
    return order;
  }

  std::string dir_;
  std::string file_;
};

// One text value of a registration: its setter, its getter and its name in
// the registry file and in CmConduitType.
struct TextValue {
  const char* name;
  int (*set)(const char*, const char*);
  int (*get)(const char*, char*, int*);
  char (CmConduitType::*field)[CM_MAX_TEXT];
};

const TextValue kTextValues[] = {
    {"Name", CmSetCreatorName, CmGetCreatorName, &CmConduitType::szName},
    {"Module", CmSetCreatorModule, CmGetCreatorModule, &CmConduitType::szModule},
    {"Directory", CmSetCreatorDirectory, CmGetCreatorDirectory, &CmConduitType::szDirectory},
    {"Remote", CmSetCreatorRemote, CmGetCreatorRemote, &CmConduitType::szRemote},
    {"Title", CmSetCreatorTitle, CmGetCreatorTitle, &CmConduitType::szTitle},
    {"Info", CmSetCreatorInfo, CmGetCreatorInfo, &CmConduitType::szInfo},
    {"File", CmSetCreatorFile, CmGetCreatorFile, &CmConduitType::szFile},
    {"Argument", CmSetCreatorArgument, CmGetCreatorArgument, &CmConduitType::szArgument},
};

void PrintTo(const TextValue& v, std::ostream* os) { *os << v.name; }

class CondMgrTextTest : public CondMgrTest, public ::testing::WithParamInterface<TextValue> {};

TEST_P(CondMgrTextTest, StoresReadsAndKeepsApartFromTheOtherValues) {
  const TextValue& v = GetParam();
  install("addr", 2);
  // Every other value gets its own text, so a setter writing the wrong
  // value name shows up in one of the two reads below.
  for (const TextValue& other : kTextValues) ASSERT_EQ(other.set("addr", other.name), CM_ERR_NONE);
  // Shift-JIS bytes pass through untouched.
  const std::string text = std::string("\x83\x65\x83\x58\x83\x67 ") + v.name;
  ASSERT_EQ(v.set("addr", text.c_str()), CM_ERR_NONE);

  char buffer[CM_MAX_TEXT];
  int size = sizeof buffer;
  ASSERT_EQ(v.get("addr", buffer, &size), CM_ERR_NONE);
  EXPECT_EQ(buffer, text);
  EXPECT_EQ(size, static_cast<int>(text.size()) + 1);

  CmConduitType whole{};
  whole.dwVersion = CM_CONDUIT_VERSION;
  whole.dwSize = sizeof whole;
  ASSERT_EQ(CmGetConduitByCreator("addr", &whole), CM_ERR_NONE);
  for (const TextValue& other : kTextValues)
    EXPECT_EQ(std::string(whole.*other.field), std::string(other.name) == v.name ? text : std::string(other.name))
        << other.name;
}

TEST_P(CondMgrTextTest, UnknownCreatorIsNotFoundAndNothingIsCreated) {
  const TextValue& v = GetParam();
  install("memo", 2);
  EXPECT_EQ(v.set("addr", "x"), CM_ERR_NOT_FOUND);
  char buffer[16] = "untouched";
  int size = sizeof buffer;
  EXPECT_EQ(v.get("addr", buffer, &size), CM_ERR_NOT_FOUND);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(size, 16);
  EXPECT_EQ(runOrder(), std::vector<std::string>{"memo"});
}

TEST_P(CondMgrTextTest, TooSmallBufferGivesTheSizeNeededAndAnEmptyText) {
  const TextValue& v = GetParam();
  install("addr", 2);
  ASSERT_EQ(v.set("addr", "Address"), CM_ERR_NONE);
  char buffer[12];
  std::memset(buffer, '#', sizeof buffer);
  int size = 7;  // one short of "Address" and its NUL
  EXPECT_EQ(v.get("addr", buffer, &size), CM_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');
  size = 8;
  EXPECT_EQ(v.get("addr", buffer, &size), CM_ERR_NONE);
  EXPECT_STREQ(buffer, "Address");
  EXPECT_EQ(buffer[8], '#');
}

TEST_P(CondMgrTextTest, TextLengthLimit) {
  const TextValue& v = GetParam();
  install("addr", 2);
  const std::string longest(CM_MAX_TEXT - 1, 'x');
  EXPECT_EQ(v.set("addr", longest.c_str()), CM_ERR_NONE);
  EXPECT_EQ(v.set("addr", (longest + "x").c_str()), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(v.set("addr", nullptr), CM_ERR_BAD_ARGUMENT);
  char buffer[CM_MAX_TEXT];
  int size = sizeof buffer;
  ASSERT_EQ(v.get("addr", buffer, &size), CM_ERR_NONE);
  EXPECT_EQ(buffer, longest);
}

INSTANTIATE_TEST_SUITE_P(Values, CondMgrTextTest, ::testing::ValuesIn(kTextValues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CondMgrTest, NewRegistrationHasDefaultsAndEmptyTexts) {
  ASSERT_EQ(CmInstallCreator("addr", CM_CREATOR_TYPE_CONDUIT), CM_ERR_NONE);
  int priority = -1, type = -1;
  EXPECT_EQ(CmGetCreatorPriority("addr", &priority), CM_ERR_NONE);
  EXPECT_EQ(priority, CM_PRIORITY_DEFAULT);
  EXPECT_EQ(CmGetCreatorType("addr", &type), CM_ERR_NONE);
  EXPECT_EQ(type, CM_CREATOR_TYPE_CONDUIT);
  char title[8] = "garbage";
  int size = sizeof title;
  EXPECT_EQ(CmGetCreatorTitle("addr", title, &size), CM_ERR_NONE);
  EXPECT_STREQ(title, "");
  EXPECT_EQ(size, 1);
}

TEST_F(CondMgrTest, InstallingAgainKeepsTheRegistration) {
  install("addr", 4);
  ASSERT_EQ(CmSetCreatorTitle("addr", "Address"), CM_ERR_NONE);
  EXPECT_EQ(CmInstallCreator("addr", CM_CREATOR_TYPE_CONDUIT), CM_ERR_ALREADY_INSTALLED);
  int priority = 0;
  EXPECT_EQ(CmGetCreatorPriority("addr", &priority), CM_ERR_NONE);
  EXPECT_EQ(priority, 4);
  char title[32];
  int size = sizeof title;
  EXPECT_EQ(CmGetCreatorTitle("addr", title, &size), CM_ERR_NONE);
  EXPECT_STREQ(title, "Address");
}

TEST_F(CondMgrTest, RunOrderIsPriorityThenCreatorBytes) {
  install("todo", 2);
  install("mail", 4);
  install("addr", 2);
  install("date", 0);
  install("Addr", 2);  // 'A' sorts before 'a'
  install("memo", 3);
  EXPECT_EQ(runOrder(), (std::vector<std::string>{"date", "Addr", "addr", "todo", "memo", "mail"}));
  ASSERT_EQ(CmSetCreatorPriority("mail", 0), CM_ERR_NONE);
  EXPECT_EQ(runOrder(), (std::vector<std::string>{"date", "mail", "Addr", "addr", "todo", "memo"}));
  char creator[5] = "none";
  EXPECT_EQ(CmGetCreatorByIndex(6, creator), CM_ERR_NOT_FOUND);
  EXPECT_EQ(CmGetCreatorByIndex(-1, creator), CM_ERR_NOT_FOUND);
  EXPECT_STREQ(creator, "none");
}

TEST_F(CondMgrTest, CreatorsDifferingInCaseAreTwoRegistrations) {
  install("addr", 1);
  install("ADDR", 3);
  ASSERT_EQ(CmSetCreatorRemote("addr", "AddressDB"), CM_ERR_NONE);
  ASSERT_EQ(CmSetCreatorRemote("ADDR", "OtherDB"), CM_ERR_NONE);
  char remote[32];
  int size = sizeof remote;
  ASSERT_EQ(CmGetCreatorRemote("addr", remote, &size), CM_ERR_NONE);
  EXPECT_STREQ(remote, "AddressDB");
  ASSERT_EQ(CmRemoveConduitByCreatorID("ADDR"), CM_ERR_NONE);
  size = sizeof remote;
  EXPECT_EQ(CmGetCreatorRemote("addr", remote, &size), CM_ERR_NONE);
  EXPECT_EQ(runOrder(), std::vector<std::string>{"addr"});
}

TEST_F(CondMgrTest, RemoveTakesOnlyThatCreator) {
  EXPECT_EQ(CmGetConduitCount(), 0);
  install("addr", 2);
  install("memo", 2);
  ASSERT_EQ(CmSetCreatorTitle("addr", "Address"), CM_ERR_NONE);
  EXPECT_EQ(CmRemoveConduitByCreatorID("addr"), CM_ERR_NONE);
  EXPECT_EQ(CmRemoveConduitByCreatorID("addr"), CM_ERR_NOT_FOUND);
  EXPECT_EQ(runOrder(), std::vector<std::string>{"memo"});
  char title[32];
  int size = sizeof title;
  EXPECT_EQ(CmGetCreatorTitle("addr", title, &size), CM_ERR_NOT_FOUND);
  // Registering again starts from the defaults, not from what was removed.
  ASSERT_EQ(CmInstallCreator("addr", CM_CREATOR_TYPE_CONDUIT), CM_ERR_NONE);
  size = sizeof title;
  EXPECT_EQ(CmGetCreatorTitle("addr", title, &size), CM_ERR_NONE);
  EXPECT_STREQ(title, "");
}

TEST_F(CondMgrTest, BadArgumentsChangeNothing) {
  install("addr", 2);
  for (const char* creator : {"add", "addrs", "", "ad\x01r", "ad\x7fr"}) {
    EXPECT_EQ(CmInstallCreator(creator, CM_CREATOR_TYPE_CONDUIT), CM_ERR_BAD_ARGUMENT) << creator;
    EXPECT_EQ(CmSetCreatorTitle(creator, "t"), CM_ERR_BAD_ARGUMENT) << creator;
    EXPECT_EQ(CmRemoveConduitByCreatorID(creator), CM_ERR_BAD_ARGUMENT) << creator;
  }
  EXPECT_EQ(CmInstallCreator(nullptr, CM_CREATOR_TYPE_CONDUIT), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(CmInstallCreator("memo", 0), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(CmSetCreatorPriority("addr", CM_PRIORITY_FIRST - 1), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(CmSetCreatorPriority("addr", CM_PRIORITY_LAST + 1), CM_ERR_BAD_ARGUMENT);
  EXPECT_NE(std::string(CmGetLastProblem()).find("priority 5"), std::string::npos) << CmGetLastProblem();
  int priority = 0;
  EXPECT_EQ(CmGetCreatorPriority("addr", nullptr), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(CmGetCreatorPriority("addr", &priority), CM_ERR_NONE);
  EXPECT_EQ(priority, 2);
  EXPECT_EQ(CmGetCreatorTitle("addr", nullptr, &priority), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(CmGetCreatorByIndex(0, nullptr), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(runOrder(), std::vector<std::string>{"addr"});
  EXPECT_STREQ(CmGetLastProblem(), "");
}

TEST_F(CondMgrTest, WholeRegistrationInstallsAndReplaces) {
  CmConduitType c{};
  c.dwVersion = CM_CONDUIT_VERSION;
  c.dwSize = sizeof c;
  std::strcpy(c.szCreator, "mail");
  c.iType = CM_CREATOR_TYPE_CONDUIT;
  c.iPriority = 1;
  std::strcpy(c.szModule, "mailconduit.dll");
  std::strcpy(c.szRemote, "MailDB");
  ASSERT_EQ(CmInstallConduit(&c), CM_ERR_NONE) << CmGetLastProblem();
  c.iPriority = 3;
  std::strcpy(c.szTitle, "Mail");
  ASSERT_EQ(CmInstallConduit(&c), CM_ERR_NONE);

  CmConduitType back{};
  back.dwVersion = CM_CONDUIT_VERSION;
  back.dwSize = sizeof back;
  ASSERT_EQ(CmGetConduitByCreator("mail", &back), CM_ERR_NONE);
  EXPECT_STREQ(back.szCreator, "mail");
  EXPECT_EQ(back.iPriority, 3);
  EXPECT_STREQ(back.szModule, "mailconduit.dll");
  EXPECT_STREQ(back.szRemote, "MailDB");
  EXPECT_STREQ(back.szTitle, "Mail");

  CmConduitType wrong = c;
  wrong.dwSize = 352;
  EXPECT_EQ(CmInstallConduit(&wrong), CM_ERR_BAD_ARGUMENT);
  wrong = c;
  std::memset(wrong.szTitle, 'x', sizeof wrong.szTitle);  // no NUL anywhere
  EXPECT_EQ(CmInstallConduit(&wrong), CM_ERR_BAD_ARGUMENT);
  back.dwVersion = 2;
  EXPECT_EQ(CmGetConduitByCreator("mail", &back), CM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(CmGetConduitCount(), 1);
}

TEST_F(CondMgrTest, RegistrationIsReadableInTheRegistryFile) {
  install("addr", 1);
  ASSERT_EQ(CmSetCreatorModule("addr", "addressconduit.dll"), CM_ERR_NONE);
  std::string text = testutil::readFile(file_);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\GWSync\\HotSync\\Conduits\\61646472]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Creator\"=\"addr\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"Priority\"=dword:00000001"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Module\"=\"addressconduit.dll\""), std::string::npos) << text;
}

TEST_F(CondMgrTest, KeysThatAreNotCreatorsArePassedOver) {
  install("addr", 2);
  std::string text = testutil::readFile(file_);
  text +=
      "\n[HKEY_CURRENT_USER\\Software\\GWSync\\HotSync\\Conduits\\notes]\n"
      "\"Priority\"=dword:00000000\n"
      "\n[HKEY_CURRENT_USER\\Software\\GWSync\\HotSync\\Conduits\\6164647]\n"
      "\n[HKEY_CURRENT_USER\\Software\\GWSync\\HotSync\\Conduits\\01020304]\n";
  std::ofstream(file_, std::ios::binary) << text;
  EXPECT_EQ(runOrder(), std::vector<std::string>{"addr"});
}

TEST_F(CondMgrTest, MistypedValueIsARegistryFailure) {
  install("addr", 2);
  std::string text = testutil::readFile(file_);
  size_t at = text.find("\"Priority\"=dword:00000002");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, std::strlen("\"Priority\"=dword:00000002"), "\"Priority\"=\"2\"");
  std::ofstream(file_, std::ios::binary) << text;
  int priority = 0;
  EXPECT_EQ(CmGetCreatorPriority("addr", &priority), CM_ERR_REGISTRY);
  EXPECT_NE(std::string(CmGetLastProblem()).find("Priority"), std::string::npos) << CmGetLastProblem();
  EXPECT_EQ(CmGetConduitCount(), CM_ERR_REGISTRY);
}

TEST_F(CondMgrTest, UnparsableRegistryFailsEveryCallAndIsLeftAlone) {
  const std::string broken = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\n\"Title\"=\"no closing bracket\"\n";
  std::ofstream(file_, std::ios::binary) << broken;
  EXPECT_EQ(CmGetConduitCount(), CM_ERR_REGISTRY);
  std::string problem = CmGetLastProblem();
  EXPECT_NE(problem.find(file_), std::string::npos) << problem;
  EXPECT_EQ(CmInstallCreator("addr", CM_CREATOR_TYPE_CONDUIT), CM_ERR_REGISTRY);
  EXPECT_EQ(CmSetCreatorTitle("addr", "t"), CM_ERR_REGISTRY);
  EXPECT_EQ(CmRemoveConduitByCreatorID("addr"), CM_ERR_REGISTRY);
  char creator[5];
  EXPECT_EQ(CmGetCreatorByIndex(0, creator), CM_ERR_REGISTRY);
  EXPECT_EQ(testutil::readFile(file_), broken);
}

TEST_F(CondMgrTest, HotSyncProgramIsBesideTheLibrary) {
  char path[CM_MAX_TEXT];
  int size = sizeof path;
  ASSERT_EQ(CmGetHotSyncExecPath(path, &size), CM_ERR_NONE) << CmGetLastProblem();
  EXPECT_EQ(fs::canonical(path), fs::canonical(std::string(GWSYNC_TEST_BINDIR) + "/hotsync"));
  EXPECT_EQ(size, static_cast<int>(std::strlen(path)) + 1);
  int tooSmall = size - 1;
  EXPECT_EQ(CmGetHotSyncExecPath(path, &tooSmall), CM_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall, size);
  EXPECT_EQ(CmRestoreHotSyncSettings(0), CM_ERR_NONE);
}

}  // namespace
