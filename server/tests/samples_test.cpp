// The sample data loads, and a user sees it through the pages with the Palm
// settings that make every application synchronise both ways.
#include <gtest/gtest.h>

#include "server/tests/fixture.h"

namespace gwtest {
namespace {

TEST(Samples, LoadAndServeEveryApplication) {
  testutil::TempDir dir("samples");
  std::string db = (dir / "samples.db").string();
  auto load = testutil::runCommand({std::string(GWSERVER_SAMPLES) + "/load", db, testutil::gwserverProgram()});
  ASSERT_EQ(load.status, 0) << load.out;

  // Serve the loaded file with a server object of its own.
  std::vector<std::string> args = {testutil::gwserverProgram(), "user", "list", db};
  auto users = testutil::runCommand(args);
  EXPECT_NE(users.out.find("1\ttaro\n"), std::string::npos);
  EXPECT_NE(users.out.find("2\t" + kYamada), std::string::npos) << "the second user's name is Shift-JIS";

  testutil::TempDir runDir("samples-run");
  testutil::GwServer server(runDir.path());
  std::filesystem::copy_file(db, server.db(), std::filesystem::copy_options::overwrite_existing);
  server.start();
  Session s(server);
  ASSERT_NE(s.login("1", "taro-pw").header("Set-Cookie"), "");
  auto settings = lines(s.get("page=SyncSetting&dtype=Palm&max=19").body);
  ASSERT_EQ(settings.size(), 5u);
  for (const auto& l : settings) EXPECT_EQ(fields(l)[1], "Sync") << l;
  EXPECT_EQ(fields(settings[2]).size(), 107u);  // key, mode, five numbers, a hundred relation numbers
  for (const char* page : {"SyncAddress", "SyncMemo", "SyncCalendar", "SyncToDo"}) {
    auto body = s.get(std::string("page=") + page + "&label=Palm1").body;
    EXPECT_GE(records(body).size(), 2u) << page;
    EXPECT_EQ(relationSection(body).front(), "ts.0") << page;
  }
  EXPECT_EQ(lines(s.get("page=SyncToDoCategory").body).size(), 2u);
  EXPECT_EQ(lines(s.get("page=SyncMail&rw=VuzIzud").body).size(), 2u);
  Session h(server);
  ASSERT_NE(h.login("2", "hanako-pw").header("Set-Cookie"), "");
  auto memos = records(h.get("page=SyncMemo&label=Palm1").body);
  ASSERT_EQ(memos.size(), 2u);
  EXPECT_EQ(fields(memos[0])[3], "\x8B\x8D\x93\xFB\n\x83\x70\x83\x93\n\x83\x5C\x81\x5B\x83\x58");  // 牛乳 パン ソース
}

}  // namespace
}  // namespace gwtest
