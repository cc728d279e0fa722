// Which catalogue game lies in the launcher's folder, and the fatal reports when not exactly one.
#include "core/game_search.h"

#include <set>
#include <system_error>

#include "catalogue/file_name.h"
#include "text/ascii.h"
#include "text/path_text.h"

namespace velm {
namespace {

// The regular files of the folder (links followed), ASCII letters lowered.
std::set<std::string> regularFileNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code statusError;
    std::filesystem::file_status status = it->status(statusError);
    if (statusError || status.type() != std::filesystem::file_type::regular) continue;
    names.insert(toLowerAscii(fileNameText(it->path())));
  }
  return names;
}

GameSearchKind kindFor(size_t matches) {
  if (matches == 0) return GameSearchKind::NoGame;
  if (matches == 1) return GameSearchKind::OneGame;
  return GameSearchKind::SeveralGames;
}

}  // namespace

std::string fileNameText(const std::filesystem::path& path) { return pathToUtf8(path.filename()); }

GameSearch findGames(const std::filesystem::path& folder, const std::vector<Game>& games) {
  std::set<std::string> names = regularFileNames(folder);
  GameSearch search;
  for (const Game& game : games) {
    if (names.count(toLowerAscii(game.exe)) != 0) search.games.push_back(game);
  }
  search.kind = kindFor(search.games.size());
  return search;
}

std::string exeNameList(const std::vector<Game>& games) {
  std::string list;
  for (size_t i = 0; i < games.size(); ++i) {
    if (i != 0) list += ", ";
    list += games[i].exe;
  }
  return list;
}

int reportNoGame(const LaunchOptions& options, AppIo& io, const std::vector<Game>& games) {
  return failAndWait(io, {"Could not find a Velm modded game in " + options.exeDir,
                          "Looking for: " + exeNameList(games),
                          "Put Velm Co-op.exe next to the game's exe and start it again."});
}

int reportManyGames(const LaunchOptions& options, AppIo& io, const std::vector<Game>& games) {
  return failAndWait(
      io, {"Found more than one Velm modded game in " + options.exeDir + ": " + exeNameList(games),
           "Velm Co-op.exe can only serve one game per folder."});
}

int failAndWait(AppIo& io, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) io.printError(line);
  io.printError("Press any key to exit.");
  io.waitForKey();
  return 1;
}

}  // namespace velm
