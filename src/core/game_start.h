// Starting the game's co-op launcher from the package folder: the last step of every run that
// gets that far.
#pragma once

#include <filesystem>

#include "catalogue/catalogue.h"
#include "core/launch.h"
#include "platform/app_io.h"

namespace velm {

// Prints the start line and starts the launcher with the game's exe and the player's arguments.
// Returns 0 when the process was created, else 1 after the report and the key wait.
int startGame(const LaunchOptions& options, const std::filesystem::path& packageFolder, AppIo& io,
              const Game& game);

}  // namespace velm
