// Whole syncs between the in-memory handheld and a real gwserver process:
// the server is started with the Palm settings given, a user "taro" is
// added, and every run opens its own session as a conduit does. The server's
// state is read back with `gwserver export`, independent of the client.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "synccore/gwsession.h"
#include "synccore/synccore.h"
#include "synccore/tests/logcapture.h"
#include "synccore/tests/memhh.h"
#include "testutil/files.h"
#include "testutil/gwserver.h"
#include "testutil/rawhttp.h"

namespace testsync {

using Fields = std::vector<std::string>;
using Names = std::multiset<std::string>;

// Settings under which every kind syncs both ways.
inline const char kBothWays[] = "s,Sync,1,3\nt,Sync\na,Sync,0,0,0,0,ts.0\nw,Sync,0,0,0\nm,Sync,0\n";

// A handheld whose pass hooks can act on the server mid-run.
class HookedHH : public testhh::MemHH {
 public:
  std::function<void(int)> onPass;
  void beginPass(int pass) override {
    testhh::MemHH::beginPass(pass);
    if (onPass) onPass(pass);
  }
  // Called as the handheld's records are read (after the server's lists).
  std::function<void()> onRead;
  bool readRecords(CGWDataSrc* gw, bool all) override {
    if (onRead) onRead();
    return testhh::MemHH::readRecords(gw, all);
  }
};

class ServerSync : public ::testing::Test {
 protected:
  explicit ServerSync(const char* settings = kBothWays) {
    server_.addUser("taro", "taro-pw");
    setSettings(settings);
    server_.start();
  }

  void setSettings(const std::string& lines) {
    EXPECT_EQ(server_.admin({"settings", server_.db(), "Palm"}, lines).status, 0);
  }

  // One run as a conduit makes it: session, data source, open, sync, close.
  template <class Src>
  bool sync(const char* name = "Test Book") {
    CGWSession session;
    if (!session.open(server_.url().c_str(), nullptr, nullptr, nullptr, 0)) return false;
    if (session.login("taro", "taro-pw") != GWLOGIN_OK || !session.setLabel("Palm", 1)) return false;
    Src gw(session);
    CSyncCore core(hh_, gw, true);
    if (!core.openSync(name, 30)) return false;
    bool ok = core.doSync();
    core.closeSync();
    lastFlags_ = core.getFlags();
    session.close();
    return ok;
  }

  // Data lines of one kind from `gwserver export`, fields unescaped.
  std::vector<Fields> exported(const std::string& kind) const { return server_.exported("taro", kind); }
  // Relation pairs server id -> handheld id of one application.
  std::multimap<DWORD, DWORD> relations(const std::string& app) const { return server_.relations("taro", app); }
  void import(const std::string& lines) {
    ASSERT_EQ(server_.admin({"import", server_.db(), "taro"}, "gwserver-export 1\n" + lines).status, 0);
  }
  void armFault(const std::string& query) {
    testutil::RawReply r =
        testutil::rawRequest(testutil::HttpUrl(server_.url()).port,
                             "GET /_fault?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(r.status, 200);
  }

  Names handheldNames() const { return hh_.liveNames(); }
  DWORD hhIdOf(const std::string& name) const { return hh_.idOf(name); }
  int messages(const std::string& part) const { return log_.count(part); }

  testutil::TempDir dir_{"serversync"};
  testutil::LogCapture log_{dir_.path()};
  testutil::GwServer server_{dir_.path()};
  HookedHH hh_;
  WORD lastFlags_ = 0;
};

}  // namespace testsync
