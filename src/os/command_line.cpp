#include "os/command_line.h"

#include <algorithm>
#include <type_traits>

#include "text/ascii.h"
#include "text/text.h"

namespace velm {
namespace {

bool needsQuotes(const std::string& text) {
  return text.empty() || text.find_first_of(" \t\n\v\"") != std::string::npos;
}

bool isArgumentGap(char c) { return c == ' ' || c == '\t'; }

// ASCII text in the environment's string type.
template <class String>
String widen(const std::string& ascii) {
  return String(ascii.begin(), ascii.end());
}

// A unit as a number, so that units past 127 sort after ASCII whatever the sign of char.
template <class Char>
auto unsignedUnit(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c);
}

// Names compared with ASCII letters raised, unit by unit; a prefix sorts first.
template <class String>
bool nameLess(const String& a, const String& b) {
  String nameA = environmentName(a);
  String nameB = environmentName(b);
  return std::lexicographical_compare(
      nameA.begin(), nameA.end(), nameB.begin(), nameB.end(),
      [](auto x, auto y) { return asciiUpper(unsignedUnit(x)) < asciiUpper(unsignedUnit(y)); });
}

}  // namespace

std::string buildCommandLine(const std::string& launcherPath, const std::string& gameExePath,
                             const std::string& arguments) {
  std::string commandLine = quoteArgument(launcherPath) + " " + quoteArgument(gameExePath);
  if (!arguments.empty()) commandLine += " " + arguments;
  return commandLine;
}

std::string quoteArgument(const std::string& text) {
  if (!needsQuotes(text)) return text;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
      quoted += '"';
      backslashes = 0;
    } else {
      quoted.append(backslashes, '\\');
      quoted += c;
      backslashes = 0;
    }
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

// The C runtime's argument rules, applied to every token. The program name is split by the same
// rules rather than Windows' own for it (quotes toggle, backslashes literal): they agree on every
// Windows path, and only these rules give back a POSIX path that holds a double quote.
std::vector<std::string> splitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  size_t i = 0;
  const size_t end = commandLine.size();
  for (;;) {
    while (i < end && isArgumentGap(commandLine[i])) ++i;
    if (i == end) break;
    std::string argument;
    bool inQuotes = false;
    while (i < end && (inQuotes || !isArgumentGap(commandLine[i]))) {
      size_t backslashes = 0;
      while (i < end && commandLine[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < end && commandLine[i] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument += '"';
        } else if (inQuotes && i + 1 < end && commandLine[i + 1] == '"') {
          argument += '"';  // "" inside quotes stands for one quote
          ++i;
        } else {
          inQuotes = !inQuotes;
        }
        ++i;
      } else {
        argument.append(backslashes, '\\');
        if (i < end && (inQuotes || !isArgumentGap(commandLine[i]))) argument += commandLine[i++];
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

template <class String>
std::vector<String> splitEnvironmentBlock(const typename String::value_type* block) {
  std::vector<String> list;
  if (block == nullptr) return list;
  while (*block != 0) {
    String entry(block);
    block += entry.size() + 1;
    list.push_back(std::move(entry));
  }
  return list;
}

template <class String>
String environmentName(const String& entry) {
  if (entry.size() <= 1) return entry;
  size_t equals = entry.find(typename String::value_type('='), 1);
  if (equals == String::npos) return entry;
  return entry.substr(0, equals);
}

template <class String>
std::vector<String> buildEnvironment(const std::vector<String>& list, uint64_t steamAppId) {
  if (steamAppId == 0) return list;
  String id = widen<String>(decimalText(steamAppId));
  std::vector<String> child;
  child.reserve(list.size() + 2);
  for (const String& entry : list) {
    String name = environmentName(entry);
    if (equalsNoCase(name, widen<String>("SteamAppId")) ||
        equalsNoCase(name, widen<String>("SteamGameId"))) {
      continue;
    }
    child.push_back(entry);
  }
  child.push_back(widen<String>("SteamAppId=") + id);
  child.push_back(widen<String>("SteamGameId=") + id);
  std::stable_sort(child.begin(), child.end(), nameLess<String>);
  return child;
}

template <class String>
String joinEnvironmentBlock(const std::vector<String>& list) {
  String block;
  for (const String& entry : list) {
    block += entry;
    block += typename String::value_type(0);
  }
  block += typename String::value_type(0);
  if (list.empty()) block += typename String::value_type(0);
  return block;
}

template std::vector<std::string> splitEnvironmentBlock<std::string>(const char*);
template std::vector<std::wstring> splitEnvironmentBlock<std::wstring>(const wchar_t*);
template std::string environmentName(const std::string&);
template std::wstring environmentName(const std::wstring&);
template std::vector<std::string> buildEnvironment(const std::vector<std::string>&, uint64_t);
template std::vector<std::wstring> buildEnvironment(const std::vector<std::wstring>&, uint64_t);
template std::string joinEnvironmentBlock(const std::vector<std::string>&);
template std::wstring joinEnvironmentBlock(const std::vector<std::wstring>&);

}  // namespace velm
