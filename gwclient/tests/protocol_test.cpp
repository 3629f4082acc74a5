#include <gtest/gtest.h>
#include "gwclient/gwclient.h"
#include "testutil/fake_http_server.h"
TEST(Probe, Bytes) {
  testutil::FakeHttpServer server;
  server.reply(testutil::httpReply(200, "", {"Set-Cookie: Login=abc; path=/"}));
  server.reply(testutil::httpReply(200, "1,Ann\n2,Bob\n"));
  COfficeSession s;
  ASSERT_TRUE(s.Open(server.url("/cgi/gw").c_str(), nullptr, 0));
  s.SetLocale("CP932");
  EXPECT_TRUE(s.Login(5, "p&w= +%"));
  EXPECT_NE(s.FindFirstUser(), nullptr);
  for (auto& r : server.requests()) printf("[%s]\n", r.c_str());
}
