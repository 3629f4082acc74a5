#include "platform/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::CommandLineError;
using platform::parseCommandArgs;

TEST(CommandArgsTest, SplitsOptionsFlagsAndPositionalsKeepingTheOrderOfRepeats) {
  const auto a = parseCommandArgs({"sync", "--user", "ann", "--json", "--conduit", "a.so", "x", "--conduit", "b.so"},
                                  {"user", "conduit"}, {"json", "dry-run"});
  EXPECT_EQ(a.positional, (std::vector<std::string>{"sync", "x"}));
  EXPECT_EQ(a.get("user"), "ann");
  EXPECT_TRUE(a.has("json"));
  EXPECT_EQ(a.get("json"), "");
  EXPECT_FALSE(a.has("dry-run"));
  EXPECT_FALSE(a.get("dry-run"));
  EXPECT_EQ(a.all("conduit"), (std::vector<std::string>{"a.so", "b.so"}));
  EXPECT_EQ(a.get("conduit"), "b.so");
  // A value that looks like an option is still the value.
  EXPECT_EQ(parseCommandArgs({"--user", "--json"}, {"user"}, {"json"}).get("user"), "--json");
  // "-" and "--" alone are positionals.
  EXPECT_EQ(parseCommandArgs({"-", "--"}, {}, {}).positional, (std::vector<std::string>{"-", "--"}));
}

TEST(CommandArgsTest, HelpIsAFlagOfEveryCommand) {
  EXPECT_TRUE(parseCommandArgs({"-h"}, {}, {}).has("help"));
  EXPECT_TRUE(parseCommandArgs({"x", "--help"}, {"user"}, {}).has("help"));
}

TEST(CommandArgsTest, UnknownOptionsAndMissingValuesAreRefusedByName) {
  auto refusal = [](const std::vector<std::string>& in) -> std::string {
    try {
      parseCommandArgs(in, {"user"}, {"json"});
    } catch (const CommandLineError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refusal({"--users", "x"}), "unknown option --users");
  EXPECT_EQ(refusal({"--json", "--user"}), "--user needs a value");
  EXPECT_EQ(refusal({"--json=1"}), "unknown option --json=1");
}

TEST(CommandArgsTest, TakeValueTurnsEachValueAndMayRefuseIt) {
  const auto tagged = [](const std::string& option, const std::string& value) {
    if (value.empty()) throw CommandLineError(option + " is empty");
    return option + "=" + value;
  };
  EXPECT_EQ(parseCommandArgs({"--user", "ann"}, {"user"}, {}, tagged).get("user"), "--user=ann");
  EXPECT_THROW(parseCommandArgs({"--user", ""}, {"user"}, {}, tagged), CommandLineError);
}

}  // namespace
