#include "core/launch.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "catalogue/catalogue.h"
#include "core/game_search.h"
#include "core/game_start.h"
#include "core/offline_start.h"
#include "package/package_folder.h"
#include "package/package_update.h"
#include "platform/folder_lock.h"
#include "platform/held_file.h"
#include "selfupdate/self_update.h"
#include "velm_config.h"

namespace velm {
namespace {

// Another launcher in the folder holds its lock for as long as its update takes; the player
// hears why this one waits, once in a run.
class FolderWait {
 public:
  explicit FolderWait(AppIo& io) : io_(io) {}
  FolderWait(const FolderWait&) = delete;
  FolderWait& operator=(const FolderWait&) = delete;

  std::function<void()> notice() {
    return [this] {
      if (told_) return;
      told_ = true;
      io_.printLine("[*] waiting for another Velm Co-op in this folder");
    };
  }

 private:
  AppIo& io_;
  bool told_ = false;
};

std::string reachMessage() { return std::string("Could not reach ") + config::kCatalogueHost; }

bool isVersionRequest(const std::string& arguments) {
  size_t end = arguments.find_last_not_of(" \t");
  return end != std::string::npos && arguments.compare(0, end + 1, "--version") == 0;
}

void saveCopy(AppIo& io, const std::filesystem::path& path, const std::string& text,
              const char* consequence) {
  HeldFiles held([&io](const std::string& name) { io.printLine(HeldFiles::waitingLine(name)); });
  if (!saveFile(path, text, &held)) {
    io.printError("Could not save " + path.u8string() + " -- an offline start will not find the " +
                  consequence + ".");
  }
}

// Steps 9 to 11: bring the package up to date, keep the copies, start the game.
int updateAndStart(const LaunchOptions& options, AppIo& io, const Game& game,
                   const std::string& catalogueText, std::optional<uint64_t> catalogueSerial,
                   FolderWait& wait) {
  const std::filesystem::path folder = packageFolder(options);
  PackageResult package;
  {
    // Released before the game starts or anything waits for a key.
    FolderLock lock(options.exeDir, wait.notice());
    const std::vector<TrustedKey>& keys = io.trustedKeys();
    FILE* progress = io.progressOutput();
    updatePackage(package, folder, game.manifest, game.launcher, io.net(), progress, keys,
                  ManifestPin{game.name, game.manifestSha256});

    if (package.status != PackageStatus::Unsigned) {
      // The update may have stopped before it made the folder; a failure shows in the save.
      (void)createPackageFolder(folder);
      // Another launcher may have saved a newer catalogue since this one was judged, outside
      // the lock: a serial once saved is never given up.
      if (isNotOlder(kCatalogueName, catalogueSerial, savedCatalogueSerial(folder), nullptr)) {
        saveCopy(io, savedCataloguePath(folder), catalogueText, "game");
      }
    }
    if (package.status == PackageStatus::Ok) {
      saveCopy(io, savedManifestPath(folder), package.manifestText, "package");
    }
  }
  switch (package.status) {
    case PackageStatus::Ok:
      return startGame(options, io, game);
    case PackageStatus::Unreachable:
      return startInstalled(options, io, reachMessage(), game, nullptr);
    case PackageStatus::Unreadable:
      return startInstalled(options, io, unreadableMessage(package.message), game, nullptr);
    case PackageStatus::Unsigned:
      return startInstalled(
          options, io,
          package.outdated ? outdatedMessage(package.message) : unsignedMessage(package.message),
          game, nullptr);
    case PackageStatus::Failed:
      break;
  }
  // A failed download left the package as it was, judged by what the fresh manifest requires; a
  // failed replace put the package of before back, which only the saved manifest describes (the
  // fresh one may require files it never had). One that could not put it all back left neither
  // package, and no saved manifest: nothing to start.
  return startInstalled(options, io, "Could not update Velm Co-op (" + package.message + ")", game,
                        package.restored || package.mixed ? nullptr : &package.manifest);
}

}  // namespace

std::string bannerText(const Version& version) {
  return std::string(config::kProductName) + " " + formatVersion(version);
}

std::string catalogueUrl() { return catalogueUrlForHost(config::kCatalogueHost); }

int run(const LaunchOptions& options, AppIo& io) {
  io.printLine(bannerText(options.version));
  if (isVersionRequest(options.arguments)) return 0;
  FolderWait wait(io);

  {
    // Another launcher in this folder may be in the middle of its self-update.
    FolderLock lock(options.exeDir, wait.notice());
    removeUpdateLeftover(io.selfUpdateIo());
  }

  std::string url = catalogueUrl();
  std::string catalogueText;
  if (getText(io.net(), url, catalogueText) != 200) {
    return startOffline(options, io, reachMessage());
  }

  std::string sigUrl = signatureUrl(url);
  std::string signatureText;
  uint32_t sigStatus = getText(io.net(), sigUrl, signatureText);
  if (sigStatus == 0) return startOffline(options, io, reachMessage());
  std::string problem =
      sigStatus == 200
          ? verifySignature(kCatalogueName, catalogueText, signatureText, io.trustedKeys())
          : std::string(kCatalogueName) + " is not signed: " + sigUrl + " said HTTP " +
                decimalText(sigStatus);
  if (!problem.empty()) return startOffline(options, io, unsignedMessage(problem));

  CatalogueResult parsed = parseCatalogue(catalogueText);
  if (!parsed.ok) return startOffline(options, io, unreadableMessage(parsed.error));
  // A signed catalogue may still be a replayed or frozen one: it must not undo what the saved
  // copy has seen, nor outlive its date.
  if (!isCurrentCatalogue(parsed.catalogue, savedCatalogueSerial(packageFolder(options)),
                          options.now, &problem)) {
    return startOffline(options, io, outdatedMessage(problem));
  }

  {
    FolderLock lock(options.exeDir, wait.notice());
    if (runSelfUpdate(parsed.catalogue.launcher, options.version, io.selfUpdateIo(), io.net()) ==
        SelfUpdateResult::Restarting) {
      return 0;
    }
  }

  GameSearch search = findGames(std::filesystem::u8path(options.exeDir), parsed.catalogue.games);
  switch (search.kind) {
    case GameSearchKind::NoGame:
      return reportNoGame(options, io, parsed.catalogue.games);
    case GameSearchKind::SeveralGames:
      return reportManyGames(options, io, search.games);
    case GameSearchKind::OneGame:
      break;
  }
  return updateAndStart(options, io, search.games.front(), catalogueText, parsed.catalogue.serial,
                        wait);
}

std::filesystem::path packageFolder(const LaunchOptions& options) {
  return packageFolderPath(options.exeDir);
}

std::string joinPath(const std::string& folder, const std::string& name) {
  return (std::filesystem::u8path(folder) / std::filesystem::u8path(name)).u8string();
}

std::string unreadableMessage(const std::string& detail) {
  return std::string(config::kCatalogueHost) + " sent a file this version cannot read (" + detail +
         ")";
}

std::string outdatedMessage(const std::string& detail) {
  return std::string(config::kCatalogueHost) + " sent an outdated file (" + detail + ")";
}

std::string unsignedMessage(const std::string& detail) {
  return std::string(config::kCatalogueHost) + " sent a file without a valid signature (" +
         detail + ")";
}

}  // namespace velm
