#include "platform/cmdline.h"

#include <algorithm>
#include <iterator>

namespace platform {

std::optional<std::string> CommandArgs::get(const std::string& name) const {
  auto range = options.equal_range(name);
  if (range.first == range.second) return std::nullopt;
  return std::prev(range.second)->second;
}

std::vector<std::string> CommandArgs::all(const std::string& name) const {
  std::vector<std::string> out;
  for (auto [it, end] = options.equal_range(name); it != end; ++it) out.push_back(it->second);
  return out;
}

CommandArgs parseCommandArgs(
    const std::vector<std::string>& in, const std::vector<std::string>& valued, const std::vector<std::string>& flags,
    const std::function<std::string(const std::string& option, const std::string& value)>& takeValue) {
  auto listed = [](const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
  };
  CommandArgs a;
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& s = in[i];
    if (s == "-h" || s == "--help") {
      a.options.emplace("help", "");
    } else if (s.size() > 2 && s.compare(0, 2, "--") == 0) {
      const std::string name = s.substr(2);
      if (listed(valued, name)) {
        if (i + 1 >= in.size()) throw CommandLineError(s + " needs a value");
        const std::string& value = in[++i];
        a.options.emplace(name, takeValue ? takeValue(s, value) : value);
      } else if (listed(flags, name)) {
        a.options.emplace(name, "");
      } else {
        throw CommandLineError("unknown option " + s);
      }
    } else {
      a.positional.push_back(s);
    }
  }
  return a;
}

}  // namespace platform
