// The command line and the environment of a started process, by the rules of Windows programs:
// how arguments are quoted and split, and how an environment block is read, changed and written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velm {

// quoteArgument(launcher) + " " + quoteArgument(gameExe) [+ " " + arguments, verbatim]
std::string buildCommandLine(const std::string& launcherPath, const std::string& gameExePath,
                             const std::string& arguments);
// Quotes by the rules with which Windows programs split their command line.
std::string quoteArgument(const std::string& text);
// Splits by the C runtime's argument rules, the program token included, so that it undoes
// quoteArgument exactly; the POSIX port builds the child's argv with it.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The environment of the child. Entries are NAME=value, in block order. The functions are
// written once for both string widths: wide on Windows, bytes on the POSIX port.
template <class String>
std::vector<String> splitEnvironmentBlock(const typename String::value_type* block);
template <class String>
String environmentName(const String& entry);
// Drops SteamAppId and SteamGameId in any case, appends both with the id, sorts by name
// (ASCII case ignored, stable). An id of 0 returns the list unchanged.
template <class String>
std::vector<String> buildEnvironment(const std::vector<String>& list, uint64_t steamAppId);
// Each entry followed by one zero unit, then one more.
template <class String>
String joinEnvironmentBlock(const std::vector<String>& list);

}  // namespace velm
