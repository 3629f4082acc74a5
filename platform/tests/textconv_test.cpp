// Shift-JIS text shown in the terminal's character set and typed text taken
// back, in a UTF-8 locale and in the plain C locale.
#include "platform/textconv.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

const std::string kTanakaSjis = "\x93\x63\x92\x86";  // 田中
const std::string kTanakaUtf8 = "\xe7\x94\xb0\xe4\xb8\xad";
const std::string kSoSjis = "\x83\x5c";  // ソ: its second byte is '\'

class Locale : public ::testing::Test {
 protected:
  void use(const char* name) { ASSERT_NE(std::setlocale(LC_CTYPE, name), nullptr) << name; }
  void TearDown() override { std::setlocale(LC_CTYPE, "C"); }
};

TEST_F(Locale, Utf8TerminalSeesAndTypesJapanese) {
  use("C.UTF-8");
  bool lossy = false;
  EXPECT_EQ(platform::handheldToTerminal("Mr " + kTanakaSjis + kSoSjis, &lossy), "Mr " + kTanakaUtf8 + "\xe3\x82\xbd");
  EXPECT_FALSE(lossy);
  EXPECT_EQ(platform::terminalToHandheld(kTanakaUtf8 + "\xe3\x82\xbd"), kTanakaSjis + kSoSjis);
  // A character Shift-JIS has no form for, and bytes that are no UTF-8.
  EXPECT_EQ(platform::terminalToHandheld("\xf0\x9f\x98\x80"), std::nullopt);
  EXPECT_EQ(platform::terminalToHandheld("\xff\xfe"), std::nullopt);
  // A stray lead byte at the end is shown, not dropped.
  lossy = false;
  EXPECT_EQ(platform::handheldToTerminal("a\x81", &lossy), "a\\x81");
  EXPECT_TRUE(lossy);
}

TEST_F(Locale, AsciiTerminalGetsEscapesAndRefusesWhatItCannotType) {
  use("C");
  bool lossy = false;
  EXPECT_EQ(platform::handheldToTerminal("plain", &lossy), "plain");
  EXPECT_FALSE(lossy);
  EXPECT_EQ(platform::handheldToTerminal("x" + kTanakaSjis, &lossy), "x\\x93\\x63\\x92\\x86");
  EXPECT_TRUE(lossy);
  EXPECT_EQ(platform::terminalToHandheld("taro"), "taro");
  EXPECT_EQ(platform::terminalToHandheld(kTanakaUtf8), std::nullopt);
}

TEST_F(Locale, AnotherHandheldCharsetAndInvalidHandheldBytes) {
  use("C.UTF-8");
  EXPECT_EQ(platform::terminalToHandheld("caf\xc3\xa9", "CP1252"), "caf\xe9");
  EXPECT_EQ(platform::handheldToTerminal("caf\xe9", nullptr, "CP1252"), "caf\xc3\xa9");
  EXPECT_EQ(platform::terminalToHandheld(kTanakaUtf8, "CP1252"), std::nullopt);
  // The default stays Shift-JIS.
  EXPECT_EQ(platform::terminalToHandheld("caf\xc3\xa9"), std::nullopt);
  EXPECT_EQ(platform::invalidHandheldByte(kTanakaSjis + kSoSjis), std::nullopt);
  EXPECT_EQ(platform::invalidHandheldByte("a\x81"), 1u);  // a lone lead byte
  EXPECT_EQ(platform::invalidHandheldByte("ab\xa0", "CP1252"), std::nullopt);
  EXPECT_TRUE(platform::knownCharset("CP1252"));
  EXPECT_FALSE(platform::knownCharset("NO-SUCH-CHARSET"));
}

}  // namespace
