#include "core/game_start.h"

#include <string>

#include "core/game_search.h"
#include "os/command_line.h"
#include "package/package_folder.h"
#include "text/path_text.h"

namespace velm {

int startGame(const LaunchOptions& options, const std::filesystem::path& packageFolder, AppIo& io,
              const Game& game) {
  const std::string launcherPath = pathToUtf8(joinPath(packageFolder, game.launcher));
  const std::string gameExePath = pathToUtf8(joinPath(pathFromUtf8(options.exeDir), game.exe));
  const std::string commandLine = buildCommandLine(launcherPath, gameExePath, options.arguments);
  io.printLine("Starting " + game.name + " with co-op: " + game.launcher);
  std::string error;
  if (io.startProcess(launcherPath, commandLine, pathToUtf8(packageFolder), game.steam_appid,
                      error)) {
    return 0;
  }
  return failAndWait(io, {"Could not start " + launcherPath + " (" + error + ")"});
}

}  // namespace velm
