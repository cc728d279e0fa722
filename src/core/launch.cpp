#include "core/launch.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "catalogue/catalogue.h"
#include "core/game_search.h"
#include "core/game_start.h"
#include "core/offline_start.h"
#include "net/url.h"
#include "os/held_file.h"
#include "package/package_folder.h"
#include "package/package_update.h"
#include "package/replace_journal.h"
#include "selfupdate/self_update.h"
#include "text/path_text.h"
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

// "2 minutes": whole minutes, as the launcher's own limit is; seconds for a shorter one.
std::string durationText(std::chrono::milliseconds limit) {
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(limit).count();
  const bool minutes = seconds >= 60 && seconds % 60 == 0;
  const auto count = minutes ? seconds / 60 : seconds;
  const char* unit =
      minutes ? (count == 1 ? " minute" : " minutes") : (count == 1 ? " second" : " seconds");
  return decimalText(static_cast<uint64_t>(count)) + unit;
}

// Another program kept the folder locked past the limit. Whatever it is doing there, no file
// may change without the lock, and the installed package may be half replaced: the run stops.
int reportHeldFolder(const LaunchOptions& options, AppIo& io) {
  return failAndWait(
      io, {"Another program has held the Velm Co-op folder in " + options.exeDir + " for " +
           durationText(options.lockWait) + " -- start Velm Co-op again once it is done."});
}

bool isVersionRequest(const std::string& arguments) {
  size_t end = arguments.find_last_not_of(" \t");
  return end != std::string::npos && arguments.compare(0, end + 1, "--version") == 0;
}

// savedAs: text was left out because path held text of that digest when it came.
void saveCopy(AppIo& io, const std::filesystem::path& path, const std::string& text,
              const char* consequence, const std::optional<Sha256Digest>& savedAs = std::nullopt) {
  HeldFiles held([&io](const std::string& name) { io.printLine(HeldFiles::waitingLine(name)); });
  if (savedAs ? !resaveFile(path, *savedAs, &held) : !saveFileIfChanged(path, text, &held)) {
    io.printError("Could not save " + pathToUtf8(path) + " -- an offline start will not find the " +
                  consequence + ".");
  }
}

// Steps 9 to 11: bring the package up to date, keep the copies, start the game.
int updateAndStart(const LaunchOptions& options, const std::filesystem::path& folder, AppIo& io,
                   const Game& game, const std::string& catalogueText,
                   std::optional<uint64_t> catalogueSerial, FolderWait& wait) {
  PackageResult package;
  {
    // Released before the game starts or anything waits for a key.
    const FolderLock lock =
        lockGameFolder(pathFromUtf8(options.exeDir), wait.notice(), options.lockWait);
    if (lock.timedOut()) return reportHeldFolder(options, io);
    const std::vector<TrustedKey>& keys = io.trustedKeys();
    FILE* progress = io.progressOutput();
    updatePackage(package, folder, game.manifest, game.launcher, io.net(), progress, keys,
                  ManifestPin{game.name, game.manifestSha256}, nullptr, options.fullCheck);

    if (package.status != PackageStatus::Unsigned) {
      // An update that stopped at its manifest made no folder for the copy; a failure to make
      // it shows in the save.
      if (package.status == PackageStatus::Unreachable ||
          package.status == PackageStatus::Unreadable) {
        (void)createPackageFolder(folder);
      }
      // Another launcher may have saved a newer catalogue since this one was judged, outside
      // the lock: a serial once saved is never given up.
      if (isNotOlder(kCatalogueName, catalogueSerial, savedCatalogueSerial(folder), nullptr)) {
        saveCopy(io, savedCataloguePath(folder), catalogueText, "game");
      }
    }
    if (package.status == PackageStatus::Ok) {
      saveCopy(io, savedManifestPath(folder), package.manifestText, "package",
               package.manifestSavedAs);
    }
  }
  switch (package.status) {
    case PackageStatus::Ok:
      return startGame(options, folder, io, game);
    case PackageStatus::Unreachable:
      return startInstalled(options, folder, io, reachMessage(), game, nullptr);
    case PackageStatus::Unreadable:
      return startInstalled(options, folder, io, unreadableMessage(package.message), game, nullptr);
    case PackageStatus::Unsigned:
      return startInstalled(
          options, folder, io,
          package.outdated ? outdatedMessage(package.message) : unsignedMessage(package.message),
          game, nullptr);
    case PackageStatus::Failed:
      break;
  }
  // A failed download left the package as it was, judged by what the fresh manifest requires; a
  // failed replace put the package of before back, which only the saved manifest describes (the
  // fresh one may require files it never had). One that could not put it all back left neither
  // package, and no saved manifest: nothing to start.
  return startInstalled(options, folder, io,
                        "Could not update Velm Co-op (" + package.message + ")", game,
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
  const std::filesystem::path exeFolder = pathFromUtf8(options.exeDir);
  const std::filesystem::path folder = packageFolderPath(exeFolder);

  {
    // Another launcher in this folder may be in the middle of its self-update.
    const FolderLock lock = lockGameFolder(exeFolder, wait.notice(), options.lockWait);
    if (lock.timedOut()) return reportHeldFolder(options, io);
    removeUpdateLeftover(io.selfUpdateIo());
    // A package update cut short in its replace phase is undone before any start, online or
    // offline, trusts the folder.
    HeldFiles held([&io](const std::string& name) { io.printLine(HeldFiles::waitingLine(name)); });
    (void)recoverInterruptedReplace(folder, held);
  }

  std::string url = catalogueUrl();
  std::string sigUrl = signatureUrl(url);
  // Both at once where the connection multiplexes; the catalogue's failure still speaks first.
  TextPair fetched = getTextPair(io.net(), url, sigUrl);
  std::string& catalogueText = fetched.first;
  std::string& signatureText = fetched.second;
  const uint32_t sigStatus = fetched.secondStatus;
  if (fetched.firstStatus != 200) return startOffline(options, folder, io, reachMessage());
  if (sigStatus == 0) return startOffline(options, folder, io, reachMessage());
  // A new build must trust the key that signed this catalogue, and read it from this host.
  CatalogueOrigin origin{{}, config::kCatalogueHost};
  std::string problem = sigStatus == 200
                            ? verifySignature(kCatalogueName, catalogueText, signatureText,
                                              io.trustedKeys(), &origin.signer)
                            : std::string(kCatalogueName) + " is not signed: " + sigUrl +
                                  " said HTTP " + decimalText(sigStatus);
  if (!problem.empty()) return startOffline(options, folder, io, unsignedMessage(problem));

  CatalogueResult parsed = parseCatalogue(catalogueText);
  if (!parsed.ok) return startOffline(options, folder, io, unreadableMessage(parsed.error));
  // A signed catalogue may still be a replayed or frozen one: it must not undo what the saved
  // copy has seen, nor outlive its date.
  if (!isCurrentCatalogue(parsed.catalogue, savedCatalogueSerial(folder), options.now, &problem)) {
    return startOffline(options, folder, io, outdatedMessage(problem));
  }

  {
    const FolderLock lock = lockGameFolder(exeFolder, wait.notice(), options.lockWait);
    if (lock.timedOut()) return reportHeldFolder(options, io);
    if (runSelfUpdate(parsed.catalogue.launcher, options.version, origin, io.selfUpdateIo(),
                      io.net()) == SelfUpdateResult::Restarting) {
      return 0;
    }
  }

  GameSearch search = findGames(exeFolder, parsed.catalogue.games);
  switch (search.kind) {
    case GameSearchKind::NoGame:
      return reportNoGame(options, io, parsed.catalogue.games);
    case GameSearchKind::SeveralGames:
      return reportManyGames(options, io, search.games);
    case GameSearchKind::OneGame:
      break;
  }
  return updateAndStart(options, folder, io, search.games.front(), catalogueText,
                        parsed.catalogue.serial, wait);
}

FolderLock lockGameFolder(const std::filesystem::path& folder,
                          const std::function<void()>& onLongWait,
                          std::chrono::milliseconds limit) {
  if (folder.empty()) return FolderLock();
  const std::filesystem::path packageFolder = packageFolderPath(folder);
  // The lock file's folder must be the package folder itself: through a link, the file would
  // lock (and be made in) another folder.
  if (!createPackageFolder(packageFolder)) return FolderLock();
  return FolderLock(joinPath(packageFolder, kLockFileName), limit, onLongWait);
}

std::string unreadableMessage(const std::string& detail) {
  return std::string(config::kCatalogueHost) + " sent a file this version cannot read (" + detail +
         ")";
}

std::string outdatedMessage(const std::string& detail) {
  return std::string(config::kCatalogueHost) + " sent an outdated file (" + detail + ")";
}

std::string unsignedMessage(const std::string& detail) {
  return std::string(config::kCatalogueHost) + " sent a file without a valid signature (" + detail +
         ")";
}

}  // namespace velm
