// The conduit configuration in the registry: defaults of a new user, the
// round trip, values that are missing, mistyped or too long, the key name,
// a registry that cannot be used, the general variant, and passwords kept
// out of the trace.
#include "conduits/common/syncconf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "log/log.h"
#include "platform/registry.h"
#include "testutil/files.h"

namespace {

const char kPalmKey[] = "Software\\GWSync\\Palm\\";

class SyncConfTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("GWSYNC_REGISTRY", registry().c_str(), 1); }
  void TearDown() override { g_TraceObj.stop(); }

  std::string registry() const { return (dir_ / "registry.reg").string(); }

  // Stores one raw value under the user's key.
  void store(const std::string& user, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, (kPalmKey + user).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                             nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void storeText(const std::string& user, const char* name, const std::string& text) {
    store(user, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }
  void storeNumber(const std::string& user, const char* name, DWORD n) { store(user, name, REG_DWORD, &n, sizeof n); }
  // Type and bytes of a stored value; false when there is none.
  bool fetch(HKEY root, const std::string& path, const char* name, DWORD* type, std::string* data) {
    HKEY key;
    if (RegOpenKeyEx(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char buf[1024];
    DWORD size = sizeof buf;
    LONG rc = RegQueryValueEx(key, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    data->assign(buf, size);
    return true;
  }
  std::string startTrace() {
    std::string path = (dir_ / "trace").string();
    g_TraceObj.start(10, TraceToFile, path.c_str(), 1000, 2, false, false);
    return path;
  }

  testutil::TempDir dir_{"syncconf"};
};

TEST_F(SyncConfTest, NewUserGetsTheDefaultsAndAKey) {
  CGWSyncConf conf;
  conf.setKeyName("Ann");
  ASSERT_TRUE(conf.load());
  EXPECT_STREQ(conf.getServerUrl(), "http://");
  EXPECT_STREQ(conf.getServerUser(), "");
  EXPECT_STREQ(conf.getServerPassword(), "");
  EXPECT_EQ(conf.getBasicAuth(), 0u);
  EXPECT_STREQ(conf.getBasicAuthUser(), "");
  EXPECT_EQ(conf.getDetailLog(), 1u);
  EXPECT_EQ(conf.getProxyEnable(), 0u);
  // Never loaded by this variant, but defined.
  EXPECT_EQ(conf.getLimit(CGWSyncConfGeneral::LIMIT_MAX_NDATA_PER_BATCH_SND), 10u);
  EXPECT_EQ(conf.getTimeout(3), 120u);
  EXPECT_EQ(conf.getLogKeepDays(), 30u);
  EXPECT_EQ(conf.getMaxProcesses(), 10u);
  EXPECT_EQ(conf.getDeviceCount(), 0u);
  EXPECT_EQ(conf.getLimit(4), 0u);
  EXPECT_EQ(conf.getTimeout(-1), 0u);

  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\GWSync\\Palm\\Ann", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(SyncConfTest, SavedValuesComeBackWithTheirTypesAndPasswordsStayOutOfTheTrace) {
  std::string trace = startTrace();
  {
    CGWSyncConf conf;
    conf.setKeyName("Ann");
    conf.setServerUrl("http://gw.example/cgi-bin/gw");
    conf.setServerUser("taro");
    conf.setServerPassword("pw&=%");
    conf.setBasicAuth(1);
    conf.setBasicAuthUser("web");
    conf.setBasicAuthPassword("");
    conf.setDetailLog(0);
    ASSERT_TRUE(conf.save());
  }
  CGWSyncConf conf;
  conf.setKeyName("Ann");
  ASSERT_TRUE(conf.load());
  EXPECT_STREQ(conf.getServerUrl(), "http://gw.example/cgi-bin/gw");
  EXPECT_STREQ(conf.getServerUser(), "taro");
  EXPECT_STREQ(conf.getServerPassword(), "pw&=%");
  EXPECT_EQ(conf.getBasicAuth(), 1u);
  EXPECT_STREQ(conf.getBasicAuthUser(), "web");
  EXPECT_EQ(conf.getDetailLog(), 0u);
  g_TraceObj.stop();
  EXPECT_EQ(testutil::readFile(trace).find("pw&=%"), std::string::npos);

  const std::string path = "Software\\GWSync\\Palm\\Ann";
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(fetch(HKEY_CURRENT_USER, path, "ZaDiridoPwd", &type, &data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, std::string("pw&=%", 6));  // plain text with its NUL
  ASSERT_TRUE(fetch(HKEY_CURRENT_USER, path, "BaPwd", &type, &data));
  EXPECT_EQ(data, std::string(1, '\0'));  // an empty text is one NUL
  ASSERT_TRUE(fetch(HKEY_CURRENT_USER, path, "Ba", &type, &data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data.size(), 4u);
  ASSERT_TRUE(fetch(HKEY_CURRENT_USER, path, "ProxyPort", &type, &data));
  // The handheld variant writes nothing of the general groups.
  EXPECT_FALSE(fetch(HKEY_CURRENT_USER, path, "RsMaxNDataPerBatchSnd", &type, &data));
  EXPECT_FALSE(fetch(HKEY_CURRENT_USER, path, "DLogKeep", &type, &data));
}

// A stored value and what load makes of it. Legend: value name, stored type,
// stored bytes (a text gets its NUL added), the field read back (a text, or
// a number in decimal).
struct StoredRow {
  const char* name;
  DWORD type;
  std::string stored;
  std::string expected;
};

std::string fieldOf(const CGWSyncConf& c, const std::string& name) {
  if (name == "ZaDiridoURL") return c.getServerUrl();
  if (name == "ZaDiridoUser") return c.getServerUser();
  if (name == "ZaDiridoPwd") return c.getServerPassword();
  if (name == "BaUser") return c.getBasicAuthUser();
  if (name == "Ba") return std::to_string(c.getBasicAuth());
  if (name == "DetailLog") return std::to_string(c.getDetailLog());
  if (name == "ProxyPort") return std::to_string(c.getProxyPort());
  return "?";
}

class StoredValue : public SyncConfTest, public ::testing::WithParamInterface<StoredRow> {};

TEST_P(StoredValue, MissingMistypedOrOversizedValuesTakeTheirDefault) {
  const StoredRow& row = GetParam();
  if (row.type == REG_SZ) storeText("Ann", row.name, row.stored);
  else store("Ann", row.name, row.type, row.stored.data(), static_cast<DWORD>(row.stored.size()));
  CGWSyncConf conf;
  conf.setKeyName("Ann");
  ASSERT_TRUE(conf.load());
  EXPECT_EQ(fieldOf(conf, row.name), row.expected);
}

std::string dword(DWORD n) { return std::string(reinterpret_cast<const char*>(&n), 4); }

INSTANTIATE_TEST_SUITE_P(Rows, StoredValue,
                         ::testing::Values(
                             /* 0 URL as a number      */ StoredRow{"ZaDiridoURL", REG_DWORD, dword(7), "http://"},
                             /* 1 URL of 511 bytes fits*/
                             StoredRow{"ZaDiridoURL", REG_SZ, std::string(511, 'u'), std::string(511, 'u')},
                             /* 2 URL of 512 too long  */
                             StoredRow{"ZaDiridoURL", REG_SZ, std::string(512, 'u'), "http://"},
                             /* 3 user of 255 fits     */
                             StoredRow{"ZaDiridoUser", REG_SZ, std::string(255, 'n'), std::string(255, 'n')},
                             /* 4 user of 256 too long */ StoredRow{"ZaDiridoUser", REG_SZ, std::string(256, 'n'), ""},
                             /* 5 password as binary   */ StoredRow{"ZaDiridoPwd", REG_BINARY, "pw", ""},
                             /* 6 Ba user as a number  */ StoredRow{"BaUser", REG_DWORD, dword(1), ""},
                             /* 7 detail log as text   */ StoredRow{"DetailLog", REG_SZ, "0", "1"},
                             /* 8 detail log 2 bytes  */ StoredRow{"DetailLog", REG_BINARY, std::string(2, '\0'), "1"},
                             /* 9 Ba as long text     */ StoredRow{"Ba", REG_SZ, "enabled", "0"},
                             /* 10 port low 16 bits    */ StoredRow{"ProxyPort", REG_DWORD, dword(0x12345), "9029"}));

// Key names. Legend: handheld user name, the key name kept.
struct KeyRow {
  std::string user;
  std::string key;
};

class KeyName : public SyncConfTest, public ::testing::WithParamInterface<KeyRow> {};

TEST_P(KeyName, KeepsAtMost63BytesWithoutSplittingACharacter) {
  const KeyRow& row = GetParam();
  CGWSyncConf conf;
  conf.setKeyName(row.user.c_str());
  EXPECT_EQ(std::string(conf.getKeyName()), row.key);
  conf.setServerUser("taro");
  ASSERT_TRUE(conf.save());
  DWORD type;
  std::string data;
  EXPECT_TRUE(fetch(HKEY_CURRENT_USER, kPalmKey + row.key, "ZaDiridoUser", &type, &data));
}

INSTANTIATE_TEST_SUITE_P(Rows, KeyName,
                         ::testing::Values(
                             /* 0 short                 */ KeyRow{"Ann", "Ann"},
                             /* 1 70 characters         */ KeyRow{std::string(70, 'a'), std::string(63, 'a')},
                             /* 2 exactly 63            */ KeyRow{std::string(63, 'b'), std::string(63, 'b')},
                             /* 3 double-byte at 62..63 */
                             KeyRow{std::string(62, 'c') + "\x93\xfa\x96\x7b", std::string(62, 'c')},
                             /* 4 double-byte at 61..62 */
                             KeyRow{std::string(61, 'd') + "\x93\xfa\x96\x7b", std::string(61, 'd') + "\x93\xfa"}));

TEST_F(SyncConfTest, SettersCopyAtMostCapacityAndNullEmpties) {
  CGWSyncConf conf;
  conf.setServerUser(std::string(300, 'x').c_str());
  EXPECT_EQ(std::strlen(conf.getServerUser()), 255u);
  conf.setServerUser(nullptr);
  EXPECT_STREQ(conf.getServerUser(), "");
  // 254 bytes, then a double-byte character that would end at byte 256.
  conf.setBasicAuthUser((std::string(254, 'y') + "\x82\xa0").c_str());
  EXPECT_EQ(std::string(conf.getBasicAuthUser()), std::string(254, 'y'));
}

TEST_F(SyncConfTest, AnUnusableRegistryFailsWithTracesAndLeavesTheDefaults) {
  { std::ofstream(registry()) << "not a registry file\n"; }
  std::string trace = startTrace();
  CGWSyncConf conf;
  conf.setKeyName("Ann");
  conf.setServerPassword("secret-one");
  EXPECT_FALSE(conf.load());
  EXPECT_STREQ(conf.getServerUrl(), "http://");
  EXPECT_STREQ(conf.getServerPassword(), "");
  EXPECT_EQ(conf.getDetailLog(), 1u);
  conf.setServerPassword("secret-two");
  conf.setBasicAuthPassword("secret-three");
  EXPECT_FALSE(conf.save());
  g_TraceObj.stop();

  std::string text = testutil::readFile(trace);
  const char* expected[] = {"RegCreateKeyEx fail(1009).", "CGWSyncConf::openRootRegKey fail.",
                            "CGWSyncConf::load fail.", "CGWSyncConf::save fail."};
  size_t at = 0;
  for (const char* line : expected) {
    at = text.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("secret"), std::string::npos) << text;
  EXPECT_EQ(testutil::readFile(registry()), "not a registry file\n");
}

TEST_F(SyncConfTest, GeneralVariantReadsTheServiceValuesAndUpToFiveDevices) {
  const char* ids[] = {"1a2b", "0002", "3", "4", "5", "6"};
  for (const char* id : ids) {
    HKEY key;
    std::string path = std::string("Software\\GWSync\\Remote\\Device\\") + id;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::string cond = std::string("/opt/cond-") + id;
    RegSetValueEx(key, "DevCondPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(cond.c_str()),
                  static_cast<DWORD>(cond.size() + 1));
    RegCloseKey(key);
  }
  HKEY root;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\GWSync\\Remote", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &root, nullptr),
            ERROR_SUCCESS);
  DWORD n = 5;
  RegSetValueEx(root, "RsMaxNDataPerBatchSnd", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4);
  RegCloseKey(root);

  CGWSyncConfGeneral conf;
  ASSERT_TRUE(conf.load());
  EXPECT_EQ(conf.getLimit(CGWSyncConfGeneral::LIMIT_MAX_NDATA_PER_BATCH_SND), 5u);
  EXPECT_EQ(conf.getLimit(CGWSyncConfGeneral::LIMIT_MAX_BATCH_SND_SZ), 1500u);
  EXPECT_EQ(conf.getTimeout(0), 60u);
  EXPECT_EQ(conf.getTimeout(3), 120u);
  EXPECT_STREQ(conf.getLogSubDir(), "GWlog");
  EXPECT_EQ(conf.getServicePort(), 2000);
  EXPECT_EQ(conf.getListenTimeout(), 500u);
  EXPECT_EQ(conf.getMaxProcesses(), 10u);
  EXPECT_EQ(conf.getLogKeepDays(), 30u);
  EXPECT_STREQ(conf.getServerUser(), "");  // not a value of this variant
  ASSERT_EQ(conf.getDeviceCount(), 5u);
  // Sub-keys come in name order; each name is a hexadecimal id.
  EXPECT_EQ(conf.getDeviceId(0), 0x0002);
  EXPECT_STREQ(conf.getDeviceConduitPath(0), "/opt/cond-0002");
  EXPECT_EQ(conf.getDeviceId(1), 0x1a2b);
  EXPECT_EQ(conf.getDeviceId(4), 0x5);
  EXPECT_STREQ(conf.getDeviceConduitPath(5), "");

  // Saving writes the service values but leaves the devices alone.
  ASSERT_TRUE(conf.save());
  DWORD type;
  std::string data;
  EXPECT_TRUE(fetch(HKEY_LOCAL_MACHINE, "Software\\GWSync\\Remote", "RsLstnTo", &type, &data));
  EXPECT_FALSE(fetch(HKEY_LOCAL_MACHINE, "Software\\GWSync\\Remote", "ZaDiridoUser", &type, &data));
}

}  // namespace
