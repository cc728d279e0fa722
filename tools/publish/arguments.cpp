#include "arguments.h"

#include "text/text.h"

namespace velm {

bool parseArguments(const std::vector<Option>& options, size_t positionals,
                    const std::vector<std::string>& arguments, Arguments& parsed, bool& help,
                    std::string* error) {
  bool optionsDone = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (optionsDone || argument.empty() || argument[0] != '-' || argument == "-") {
      parsed.positionals.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsDone = true;
      continue;
    }
    if (argument == "--help" || argument == "-h") {
      help = true;
      return true;
    }
    std::string value;
    bool hasValue = false;
    const size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = argument.substr(equals + 1);
      argument.resize(equals);
      hasValue = true;
    }
    if (argument == "-o") argument = "--out";
    const Option* known = nullptr;
    for (const Option& option : options) {
      if (argument == option.name) known = &option;
    }
    if (known == nullptr) {
      *error = "unknown option " + argument;
      return false;
    }
    if (known->flag) {
      if (hasValue) {
        *error = argument + " takes no value";
        return false;
      }
    } else if (!hasValue) {
      if (i + 1 == arguments.size()) {
        *error = argument + " needs a value";
        return false;
      }
      value = arguments[++i];
    }
    parsed.values[argument].push_back(value);
  }
  for (const Option& option : options) {
    if (option.required && parsed.values.count(option.name) == 0) {
      *error = std::string(option.name) + " is required";
      return false;
    }
  }
  if (parsed.positionals.size() != positionals) {
    *error = positionals == 0             ? "takes no file or folder argument"
             : parsed.positionals.empty() ? "needs a file or folder argument"
                                          : "takes one file or folder argument";
    return false;
  }
  return true;
}

bool parseCount(const std::string& text, uint64_t maximum, uint64_t& value) {
  uint64_t parsed = 0;
  if (!parseDecimal(text, maximum, parsed) || parsed < 1) return false;
  value = parsed;
  return true;
}

}  // namespace velm
