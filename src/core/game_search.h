// Finding the one catalogue game whose exe lies in the launcher's folder, and the fatal reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "core/launch.h"
#include "platform/app_io.h"

namespace velm {

enum class GameSearchKind : uint32_t { NoGame = 0, OneGame = 1, SeveralGames = 2 };

struct GameSearch {
  GameSearchKind kind = GameSearchKind::NoGame;
  std::vector<Game> games;  // the games whose exe is present, in catalogue order
};

// The games whose exe is a regular file (links followed) in folder, matched ignoring ASCII case.
// Never fails: a folder that cannot be listed counts as empty.
GameSearch findGames(const std::filesystem::path& folder, const std::vector<Game>& games);
// The last component of path as UTF-8; never throws. A Windows name may hold an unpaired
// surrogate, which becomes U+FFFD; POSIX names are their bytes as they stand.
std::string fileNameText(const std::filesystem::path& path);
// The exe fields joined with ", ".
std::string exeNameList(const std::vector<Game>& games);
// The fatal reports for no game and for several games; both return 1.
int reportNoGame(const LaunchOptions& options, AppIo& io, const std::vector<Game>& games);
int reportManyGames(const LaunchOptions& options, AppIo& io, const std::vector<Game>& games);
// Prints the lines and "Press any key to exit." on standard error, waits for a key; returns 1.
int failAndWait(AppIo& io, const std::vector<std::string>& lines);

}  // namespace velm
