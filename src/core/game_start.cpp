#include "core/game_start.h"

#include <string>

#include "core/game_search.h"
#include "package/package_folder.h"
#include "platform/command_line.h"

namespace velm {

int startGame(const LaunchOptions& options, AppIo& io, const Game& game) {
  const std::filesystem::path folder = packageFolder(options);
  const std::string launcherPath = packageFilePath(folder, game.launcher).u8string();
  const std::string gameExePath = joinPath(options.exeDir, game.exe);
  const std::string commandLine = buildCommandLine(launcherPath, gameExePath, options.arguments);
  io.printLine("Starting " + game.name + " with co-op: " + game.launcher);
  std::string error;
  if (io.startProcess(launcherPath, commandLine, folder.u8string(), game.steam_appid, error)) {
    return 0;
  }
  return failAndWait(io, {"Could not start " + launcherPath + " (" + error + ")"});
}

}  // namespace velm
