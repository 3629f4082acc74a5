// The arguments of a command-line tool, split by the command's option lists:
// "--name value" for an option that takes a value, "--name" alone for a
// flag, everything else positional. "-h" and "--help" are the flag "help"
// of every command.
//
//   platform::CommandArgs a = platform::parseCommandArgs(args, {"user"}, {"json"});
//   if (a.has("json")) ... a.get("user") ...
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

struct CommandArgs {
  std::vector<std::string> positional;
  // Option values by name, those of one name in the order given; a flag's
  // value is empty.
  std::multimap<std::string, std::string> options;

  bool has(const std::string& name) const { return options.count(name) > 0; }
  // The last value given for name.
  std::optional<std::string> get(const std::string& name) const;
  // Every value given for name, in order.
  std::vector<std::string> all(const std::string& name) const;
};

// An unknown option or a value missing; what() says which, for a usage
// message ("unknown option --x", "--user needs a value").
class CommandLineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Splits in. takeValue (may be empty) turns each option value as typed into
// the value kept, and may throw. Throws CommandLineError.
CommandArgs parseCommandArgs(
    const std::vector<std::string>& in, const std::vector<std::string>& valued, const std::vector<std::string>& flags,
    const std::function<std::string(const std::string& option, const std::string& value)>& takeValue = nullptr);

}  // namespace platform
