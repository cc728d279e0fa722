#include "core/offline_start.h"

#include <filesystem>
#include <system_error>

#include "core/game_search.h"
#include "core/game_start.h"
#include "os/read_only_file.h"
#include "package/package_folder.h"
#include "text/path_text.h"

namespace velm {
namespace {

// Presence only: an error while asking counts as absence.
bool isRegularFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

}  // namespace

int startOffline(const LaunchOptions& options, const std::filesystem::path& packageFolder,
                 AppIo& io, const std::string& reason) {
  std::string text;
  if (!readWholeFile(savedCataloguePath(packageFolder), text)) {
    return reportNotInstalled(options, io, reason);
  }
  CatalogueResult saved = parseCatalogue(text);
  if (!saved.ok) return reportNotInstalled(options, io, reason);

  GameSearch search = findGames(pathFromUtf8(options.exeDir), saved.catalogue.games);
  switch (search.kind) {
    case GameSearchKind::NoGame:
      return reportNoGame(options, io, saved.catalogue.games);
    case GameSearchKind::SeveralGames:
      return reportManyGames(options, io, search.games);
    case GameSearchKind::OneGame:
      break;
  }
  return startInstalled(options, packageFolder, io, reason, search.games.front(), nullptr);
}

int startInstalled(const LaunchOptions& options, const std::filesystem::path& packageFolder,
                   AppIo& io, const std::string& reason, const Game& game,
                   const Manifest* manifest) {
  if (!isInstalled(packageFolder, game, manifest)) return reportNotInstalled(options, io, reason);
  io.printError(reason + " -- starting the installed version.");
  return startGame(options, packageFolder, io, game);
}

bool isInstalled(const std::filesystem::path& folder, const Game& game, const Manifest* manifest) {
  Manifest saved;
  if (manifest == nullptr) {
    std::string text;
    if (!readWholeFile(savedManifestPath(folder), text)) return false;
    if (!parseManifest(text, saved, nullptr)) return false;
    manifest = &saved;
  }
  if (!isRegularFile(joinPath(folder, game.launcher))) return false;
  for (const ManifestFile& file : manifest->files) {
    if (file.required && !isRegularFile(joinPath(folder, file.name))) return false;
  }
  return true;
}

int reportNotInstalled(const LaunchOptions& options, AppIo& io, const std::string& reason) {
  return failAndWait(io, {reason + ", and Velm Co-op is not installed in " + options.exeDir +
                          " yet. Connect to the internet and start it again."});
}

}  // namespace velm
