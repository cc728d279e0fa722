// The start of the co-op launcher as the player sees it: its paths, its command line, its line
// on the console and the report when it cannot be started.
#include "core/game_start.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "package/package_folder.h"
#include "support/fake_app_io.h"
#include "text/path_text.h"

namespace velm {
namespace {

const std::string kSep(1, static_cast<char>(std::filesystem::path::preferred_separator));

Game coopGame() {
  Game game;
  game.id = "x";
  game.name = "Example Game";
  game.exe = "game.exe";
  game.steam_appid = 480;
  game.launcher = "coop.exe";
  return game;
}

TEST(GameStart, StartsTheLauncherInThePackageFolder) {
  FakeAppIo io;
  LaunchOptions options;
  options.exeDir = "G" + kSep + "My Games";
  options.arguments = "-windowed  \"two words\"";
  EXPECT_EQ(startGame(options, packageFolderPath(pathFromUtf8(options.exeDir)), io, coopGame()), 0);

  const std::string folder = "G" + kSep + "My Games" + kSep + "Velm Co-op";
  const std::string launcher = folder + kSep + "coop.exe";
  ASSERT_EQ(io.starts.size(), 1u);
  EXPECT_EQ(io.starts[0].exePath, launcher);
  EXPECT_EQ(io.starts[0].commandLine, "\"" + launcher + "\" \"G" + kSep + "My Games" + kSep +
                                          "game.exe\" -windowed  \"two words\"");
  EXPECT_EQ(io.starts[0].workingFolder, folder);
  EXPECT_EQ(io.starts[0].steamAppId, 480u);
  EXPECT_EQ(io.log, std::vector<std::string>{"Starting Example Game with co-op: coop.exe"});
  EXPECT_EQ(io.keyWaits, 0);
}

TEST(GameStart, ReportsAFailedStart) {
  FakeAppIo io;
  io.startError = "error 2";
  LaunchOptions options;
  options.exeDir = "G";
  EXPECT_EQ(startGame(options, packageFolderPath(pathFromUtf8(options.exeDir)), io, coopGame()), 1);
  const std::string launcher = "G" + kSep + "Velm Co-op" + kSep + "coop.exe";
  EXPECT_EQ(io.log, (std::vector<std::string>{
                        "Starting Example Game with co-op: coop.exe",
                        "E: Could not start " + launcher + " (error 2)",
                        "E: Press any key to exit.",
                    }));
  EXPECT_EQ(io.keyWaits, 1);
}

}  // namespace
}  // namespace velm
