// Starting the game's co-op launcher: its command line, its environment and the start itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "core/launch.h"
#include "platform/app_io.h"

namespace velm {

// Returns 0 when the process was created, else 1 after the report and the key wait.
int startGame(const LaunchOptions& options, AppIo& io, const Game& game);

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
