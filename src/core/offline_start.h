// Starting what is installed when the server cannot be used, from the copies of games.json and
// manifest.json that earlier runs saved in the package folder.
#pragma once

#include <filesystem>
#include <string>

#include "catalogue/catalogue.h"
#include "core/launch.h"
#include "package/manifest.h"
#include "platform/app_io.h"

namespace velm {

// packageFolder is the package folder beside the exe, as the run computed it.
int startOffline(const LaunchOptions& options, const std::filesystem::path& packageFolder,
                 AppIo& io, const std::string& reason);
// manifest may be null: the saved manifest.json is read then.
int startInstalled(const LaunchOptions& options, const std::filesystem::path& packageFolder,
                   AppIo& io, const std::string& reason, const Game& game,
                   const Manifest* manifest);
bool isInstalled(const std::filesystem::path& packageFolder, const Game& game,
                 const Manifest* manifest);
int reportNotInstalled(const LaunchOptions& options, AppIo& io, const std::string& reason);

}  // namespace velm
