// The command-line grammar of every velm-publish command.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velm {

struct Option {
  const char* name;  // "--name"
  bool required;
  bool flag = false;  // a flag takes no value; it is there or not
};

struct Arguments {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> positionals;

  bool has(const std::string& name) const { return values.count(name) != 0; }
  // The last value given, or empty.
  std::string one(const std::string& name) const {
    auto found = values.find(name);
    return found == values.end() ? std::string() : found->second.back();
  }
  std::vector<std::string> all(const std::string& name) const {
    auto found = values.find(name);
    return found == values.end() ? std::vector<std::string>() : found->second;
  }
};

// arguments[0] is the command's name. Options may come before, after or between the
// positionals, as --name VALUE or --name=VALUE ("-o" is "--out"); "--" ends the options. On
// -h or --help sets help and returns true at once. A flag is recorded with an empty value. False
// with *error for an option not in options, a missing value or required option, a value given
// to a flag, or other than positionals positionals.
[[nodiscard]] bool parseArguments(const std::vector<Option>& options, size_t positionals,
                                  const std::vector<std::string>& arguments, Arguments& parsed,
                                  bool& help, std::string* error);

// An option's count: decimal digits alone, their value from 1 to maximum. False, value
// untouched, for anything else.
[[nodiscard]] bool parseCount(const std::string& text, uint64_t maximum, uint64_t& value);

}  // namespace velm
