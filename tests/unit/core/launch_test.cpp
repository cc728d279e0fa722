#include "core/launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/url.h"
#include "os/folder_lock.h"
#include "package/package_folder.h"
#include "support/build_image.h"
#include "support/fake_app_io.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"
#include "text/path_text.h"
#include "velm_config.h"

namespace velm {
namespace {

const std::string kHost = config::kCatalogueHost;

class Launch : public ::testing::Test {
 protected:
  Launch() {
    options_.exeDir = dir_.str();
    options_.version = Version{2, 0, 0};
    io_.keys = {trustedTestKey()};
  }

  int runWith(const std::string& arguments = "") {
    options_.arguments = arguments;
    return run(options_, io_);
  }

  std::string notInstalled(const std::string& reason) const {
    return reason + ", and Velm Co-op is not installed in " + options_.exeDir +
           " yet. Connect to the internet and start it again.";
  }

  std::string savedCatalogue() const { return dir_.read("Velm Co-op/games.json"); }
  std::filesystem::path packageFolder() const { return packageFolderPath(dir_.path()); }

  TempDir dir_;
  LaunchOptions options_;
  FakeAppIo io_;
};

TEST_F(Launch, AnswersVersionWithTheBannerAlone) {
  for (const char* arguments : {"--version", "--version  ", "--version\t \t"}) {
    FakeAppIo io;
    options_.arguments = arguments;
    EXPECT_EQ(run(options_, io), 0) << arguments;
    EXPECT_EQ(io.log, std::vector<std::string>{"Velm Co-op 2.0.0"}) << arguments;
    EXPECT_TRUE(io.fakeNet.requested.empty()) << arguments;
    EXPECT_TRUE(io.selfUpdate.calls.empty()) << "no leftover removal for --version";
  }
}

TEST_F(Launch, RunsNormallyForAnyOtherArgumentText) {
  for (const char* arguments : {"--version x", " --version", "-v", "--Version", "\"--version\""}) {
    FakeAppIo io;
    options_.arguments = arguments;
    EXPECT_EQ(run(options_, io), 1) << arguments;
    EXPECT_EQ(io.fakeNet.requested.size(), 1u) << arguments;
  }
}

TEST_F(Launch, FirstRunWithoutServerReportsNotInstalled) {
  io_.offline = true;
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.log, (std::vector<std::string>{"Velm Co-op 2.0.0",
                                               "E: " + notInstalled("Could not reach " + kHost),
                                               "E: Press any key to exit."}));
  EXPECT_EQ(io_.keyWaits, 1);
  EXPECT_TRUE(io_.starts.empty());
}

TEST_F(Launch, TreatsEveryCatalogueStatusButOkAsUnreachable) {
  for (uint32_t status : {0u, 404u, 500u, 301u}) {
    FakeAppIo io;
    io.fakeNet.answer(catalogueUrl(), status);
    EXPECT_EQ(run(options_, io), 1) << status;
    EXPECT_EQ(io.err.front(), notInstalled("Could not reach " + kHost)) << status;
    EXPECT_EQ(io.fakeNet.requested, std::vector<std::string>{catalogueUrl()}) << status;
  }
}

TEST_F(Launch, ExplainsAMissingOrBrokenSignature) {
  const std::string sigUrl = catalogueUrl() + ".sig";
  const std::string catalogue = catalogueJson({testGame("a", "game.exe")});
  struct Case {
    uint32_t status;
    std::string body;
    std::string reason;
  } cases[] = {
      {0, "", "Could not reach " + kHost},
      {404, "",
       kHost + " sent a file without a valid signature (games.json is not signed: " + sigUrl +
           " said HTTP 404)"},
      {200, "not hex",
       kHost + " sent a file without a valid signature (games.json: the signature is not 128 hex "
               "digits)"},
      {200, std::string(128, '0'),
       kHost + " sent a file without a valid signature (games.json: the signature does not "
               "match)"},
  };
  for (const Case& c : cases) {
    FakeAppIo io;
    io.keys = {trustedTestKey()};
    io.fakeNet.serve(catalogueUrl(), catalogue);
    if (c.status == 200) {
      io.fakeNet.serve(sigUrl, c.body);
    } else {
      io.fakeNet.answer(sigUrl, c.status);
    }
    EXPECT_EQ(run(options_, io), 1) << c.status;
    ASSERT_FALSE(io.err.empty());
    EXPECT_EQ(io.err.front(), notInstalled(c.reason));
    EXPECT_FALSE(dir_.exists("Velm Co-op/games.json")) << "an unsigned catalogue is never saved";
  }
}

TEST_F(Launch, RefusesACatalogueSignedByAnotherKey) {
  serveSigned(io_.fakeNet, catalogueUrl(), catalogueJson({testGame("a", "game.exe")}),
              untrustedSeed());
  dir_.write("game.exe", "");
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err.front(),
            notInstalled(kHost + " sent a file without a valid signature (games.json: the "
                                 "signature does not match)"));
  EXPECT_TRUE(io_.starts.empty());
}

TEST_F(Launch, ReportsAnUnreadableCatalogueWithItsPath) {
  serveSigned(io_.fakeNet, catalogueUrl(), "{\"schema\": 2}");
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err.front(),
            notInstalled(kHost + " sent a file this version cannot read (schema: 2 is not a "
                                 "format this launcher knows (only 1))"));
}

TEST_F(Launch, ReportsNoGameWithEveryCatalogueExe) {
  serveSigned(io_.fakeNet, catalogueUrl(),
              catalogueJson({testGame("a", "a.exe"), testGame("b", "B.exe")}));
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err, (std::vector<std::string>{
                         "Could not find a Velm modded game in " + options_.exeDir,
                         "Looking for: a.exe, B.exe",
                         "Put Velm Co-op.exe next to the game's exe and start it again.",
                         "Press any key to exit."}));
  EXPECT_EQ(io_.keyWaits, 1);
}

TEST_F(Launch, ReportsSeveralGames) {
  serveSigned(
      io_.fakeNet, catalogueUrl(),
      catalogueJson({testGame("a", "a.exe"), testGame("c", "c.exe"), testGame("b", "b.exe")}));
  dir_.write("B.EXE", "");
  dir_.write("a.exe", "");
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err,
            (std::vector<std::string>{
                "Found more than one Velm modded game in " + options_.exeDir + ": a.exe, b.exe",
                "Velm Co-op.exe can only serve one game per folder.", "Press any key to exit."}));
}

TEST_F(Launch, SavesTheCatalogueWhenTheManifestCannotBeReached) {
  const std::string catalogue = catalogueJson({testGame("a", "game.exe")});
  serveSigned(io_.fakeNet, catalogueUrl(), catalogue);
  io_.fakeNet.answer("https://cdn.test/a/manifest.json", 0);
  dir_.write("game.exe", "");
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(savedCatalogue(), catalogue);
  EXPECT_FALSE(dir_.exists("Velm Co-op/games.json.new"));
  EXPECT_EQ(io_.err.front(), notInstalled("Could not reach " + kHost));
}

TEST_F(Launch, RemovesTheUpdateLeftoverBeforeFetching) {
  io_.selfUpdate.exe = utf8ToWide(dir_.str() + "/Velm Co-op.exe");
  dir_.write("Velm Co-op.old.exe", "old build");
  io_.offline = true;
  runWith();
  EXPECT_FALSE(dir_.exists("Velm Co-op.old.exe"));
}

// A catalogue with one game "a" (game.exe, coop.exe) and its package: the launcher and one
// data file, both required unless said otherwise.
class LaunchWithPackage : public Launch {
 protected:
  LaunchWithPackage() {
    dir_.write("game.exe", "");
    catalogue_ = catalogueJson({testGame("a", "game.exe")});
    serveSigned(io_.fakeNet, catalogueUrl(), catalogue_);
    files_ = {{"coop.exe", "co-op launcher"}, {"data.pak", "package data"}};
  }

  std::string manifestText(bool dataRequired = true) const {
    Manifest manifest;
    manifest.version = "1.0.0";
    for (const auto& [name, content] : files_) {
      ManifestFile file;
      file.name = name;
      file.size = content.size();
      file.sha256 = sha256Of(content);
      file.required = dataRequired || name == "coop.exe";
      manifest.files.push_back(file);
    }
    return manifestJson(manifest);
  }

  void servePackage(const std::string& manifest) {
    serveSigned(io_.fakeNet, kManifestUrl, manifest);
    for (const auto& [name, content] : files_)
      io_.fakeNet.serve("https://cdn.test/a/" + name, content);
  }

  void installPackage(const std::string& manifest) {
    dir_.write("Velm Co-op/games.json", catalogue_);
    dir_.write("Velm Co-op/manifest.json", manifest);
    for (const auto& [name, content] : files_) dir_.write("Velm Co-op/" + name, content);
  }

  std::string package(const std::string& name) const {
    return pathToUtf8(joinPath(packageFolder(), name));
  }

  const std::string kManifestUrl = "https://cdn.test/a/manifest.json";
  std::string catalogue_;
  std::vector<std::pair<std::string, std::string>> files_;
};

TEST_F(LaunchWithPackage, InstallsSavesBothCopiesAndStartsTheGame) {
  const std::string manifest = manifestText();
  servePackage(manifest);
  EXPECT_EQ(runWith("-windowed \"two words\""), 0);
  EXPECT_EQ(io_.out,
            (std::vector<std::string>{"Velm Co-op 2.0.0", "Starting Game a with co-op: coop.exe"}));
  EXPECT_TRUE(io_.err.empty());
  ASSERT_EQ(io_.starts.size(), 1u);
  const FakeAppIo::Start& start = io_.starts[0];
  EXPECT_EQ(start.exePath, package("coop.exe"));
  EXPECT_EQ(start.commandLine, "\"" + package("coop.exe") + "\" " +
                                   pathToUtf8(joinPath(dir_.path(), "game.exe")) +
                                   " -windowed \"two words\"");
  EXPECT_EQ(start.workingFolder, pathToUtf8(packageFolder()));
  EXPECT_EQ(start.steamAppId, 480u);
  EXPECT_EQ(savedCatalogue(), catalogue_);
  EXPECT_EQ(dir_.read("Velm Co-op/manifest.json"), manifest);
  EXPECT_EQ(dir_.read("Velm Co-op/data.pak"), "package data");
  EXPECT_NE(io_.progressText().find("[+] data.pak updated\n"), std::string::npos);
}

TEST_F(LaunchWithPackage, KeepsTheOldCatalogueWhenTheManifestIsUnsigned) {
  dir_.write("Velm Co-op/games.json", "the old catalogue");
  io_.fakeNet.serve(kManifestUrl, manifestText());
  io_.fakeNet.answer(kManifestUrl + ".sig", 404);
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(savedCatalogue(), "the old catalogue");
  EXPECT_EQ(io_.err.front(),
            notInstalled(kHost +
                         " sent a file without a valid signature (the manifest is not "
                         "signed: " +
                         kManifestUrl + ".sig said HTTP 404)"));
}

TEST_F(LaunchWithPackage, StartsTheInstalledVersionWhenTheManifestIsUnreadable) {
  installPackage(manifestText());
  serveSigned(io_.fakeNet, kManifestUrl, "{\"version\": \"1.0\"}");
  EXPECT_EQ(runWith(), 0);
  EXPECT_EQ(io_.err, std::vector<std::string>{
                         kHost + " sent a file this version cannot read (\"version\" is neither "
                                 "N nor X.Y.Z: 1.0) -- starting the installed version."});
  EXPECT_EQ(io_.starts.size(), 1u);
}

TEST_F(LaunchWithPackage, JudgesAFailedUpdateByTheFreshManifest) {
  installPackage(manifestText());
  files_.push_back({"new.pak", "a file the installed version lacks"});
  const std::string manifest = manifestText();
  servePackage(manifest);
  io_.fakeNet.answer("https://cdn.test/a/new.pak", 404);
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err.front(),
            notInstalled("Could not update Velm Co-op (new.pak the server said HTTP 404 -- "
                         "nothing was replaced)"));
  EXPECT_NE(dir_.read("Velm Co-op/manifest.json"), manifest) << "only an Ok update saves it";
  EXPECT_EQ(savedCatalogue(), catalogue_);
}

TEST_F(LaunchWithPackage, StartsThePackageOfBeforeWhenAFileCannotBeMovedIn) {
  installPackage(manifestText());
  files_[1].second = "package data, version 2";
  files_.push_back({"new.pak", "a file the installed version lacks"});
  servePackage(manifestText());
  // A folder in new.pak's place: the move fails (on Windows after the wait for a held file).
  dir_.write("Velm Co-op/new.pak/inside", "x");
  EXPECT_EQ(runWith(), 0);
  ASSERT_EQ(io_.err.size(), 1u);
  const std::string& line = io_.err.front();
  EXPECT_EQ(line.rfind("Could not update Velm Co-op (could not replace new.pak (", 0), 0u) << line;
  EXPECT_NE(line.find(") -- is the game running?) -- starting the installed version."),
            std::string::npos)
      << line;
  EXPECT_EQ(dir_.read("Velm Co-op/data.pak"), "package data") << "put back";
  EXPECT_EQ(io_.starts.size(), 1u);
}

TEST_F(LaunchWithPackage, StillStartsTheGameWhenNeitherCopyCanBeSaved) {
  const std::string manifest = manifestText();
  servePackage(manifest);
  dir_.write("Velm Co-op/games.json/keep", "");
  dir_.write("Velm Co-op/manifest.json/keep", "");
  EXPECT_EQ(runWith(), 0);
  EXPECT_EQ(io_.err,
            (std::vector<std::string>{"Could not save " + package("games.json") +
                                          " -- an offline start will not find the game.",
                                      "Could not save " + package("manifest.json") +
                                          " -- an offline start will not find the package."}));
  EXPECT_EQ(io_.starts.size(), 1u);
  EXPECT_FALSE(dir_.exists("Velm Co-op/games.json.new"));
  EXPECT_FALSE(dir_.exists("Velm Co-op/manifest.json.new"));
}

// A catalogue for the game with the freshness fields given; 0 and "" leave a field out.
std::string freshCatalogue(uint64_t serial, const std::string& expires = "",
                           std::optional<Sha256Digest> manifestSha256 = std::nullopt) {
  Catalogue catalogue;
  catalogue.launcher = testLauncherInfo();
  catalogue.games = {testGame("a", "game.exe")};
  catalogue.games[0].manifestSha256 = manifestSha256;
  if (serial != 0) catalogue.serial = serial;
  catalogue.expires = expires;
  return catalogueJson(catalogue);
}

std::string withSerial(const std::string& manifest, uint64_t serial) {
  return "{\"serial\": " + decimalText(serial) + ", " + manifest.substr(1);
}

TEST_F(LaunchWithPackage, AcceptsOnlyACatalogueAsNewAsTheSavedOneAndNotExpired) {
  options_.now = 1796744878;  // 2026-12-08T15:47:58Z
  struct Case {
    uint64_t saved;  // 0: the saved copy has no serial
    std::string served;
    std::string detail;  // "" when the catalogue is current
  };
  const Case cases[] = {
      {5, freshCatalogue(4), "games.json serial 4 is older than 5"},
      {5, freshCatalogue(0), "games.json serial is missing; the saved copy has 5"},
      {0, freshCatalogue(0, "2026-12-08T15:47:57Z"), "games.json expired on 2026-12-08T15:47:57Z"},
      {3, freshCatalogue(9, "2020-01-01T00:00:00Z"), "games.json expired on 2020-01-01T00:00:00Z"},
      {5, freshCatalogue(5), ""},
      {5, freshCatalogue(6, "2026-12-08T15:47:58Z"), ""},
      {0, freshCatalogue(1), ""},
      {0, freshCatalogue(0), ""},
  };
  const std::string manifest = manifestText();
  for (const Case& c : cases) {
    FakeAppIo io;
    io.keys = {trustedTestKey()};
    const std::string saved = freshCatalogue(c.saved);
    installPackage(manifest);
    dir_.write("Velm Co-op/games.json", saved);
    serveSigned(io.fakeNet, catalogueUrl(), c.served);
    serveSigned(io.fakeNet, kManifestUrl, manifest);
    EXPECT_EQ(run(options_, io), 0) << c.served;
    EXPECT_EQ(io.starts.size(), 1u) << c.served;
    if (c.detail.empty()) {
      EXPECT_TRUE(io.err.empty()) << c.served;
      EXPECT_EQ(savedCatalogue(), c.served);
      continue;
    }
    EXPECT_EQ(io.err, std::vector<std::string>{kHost + " sent an outdated file (" + c.detail +
                                               ") -- starting the installed version."});
    EXPECT_EQ(savedCatalogue(), saved) << c.served;
    EXPECT_EQ(io.fakeNet.requested.size(), 2u) << "nothing after the catalogue and its signature";
  }
}

TEST_F(LaunchWithPackage, KeepsANewerCatalogueThatAnotherLauncherSavedMeanwhile) {
  const std::string manifest = manifestText();
  installPackage(manifest);
  dir_.write("Velm Co-op/games.json", freshCatalogue(4));
  serveSigned(io_.fakeNet, catalogueUrl(), freshCatalogue(5));
  serveSigned(io_.fakeNet, kManifestUrl, manifest);
  // A second launcher in this folder saves serial 6 after this one judged serial 5 current.
  io_.fakeNet.onRequest = [this](const std::string& url) {
    if (url == kManifestUrl) dir_.write("Velm Co-op/games.json", freshCatalogue(6));
  };
  EXPECT_EQ(runWith(), 0);
  EXPECT_TRUE(io_.err.empty());
  EXPECT_EQ(io_.starts.size(), 1u);
  EXPECT_EQ(savedCatalogue(), freshCatalogue(6));
}

TEST_F(LaunchWithPackage, RefusesAManifestOlderThanTheSavedOneOrNotTheCataloguesOwn) {
  const std::string installed = withSerial(manifestText(), 3);
  files_.push_back({"new.pak", "a file the installed version lacks"});
  const std::string newer = manifestText();
  struct Case {
    std::string catalogue;
    std::string manifest;
    std::string detail;
  };
  const Case cases[] = {
      {freshCatalogue(0), withSerial(newer, 2), "manifest.json serial 2 is older than 3"},
      {freshCatalogue(0), newer, "manifest.json serial is missing; the saved copy has 3"},
      {freshCatalogue(0, "", sha256Of(installed)), withSerial(newer, 4),
       "manifest.json of Game a does not match games.json"},
      {freshCatalogue(0, "", sha256Of(withSerial(newer, 4))), withSerial(newer, 4), ""},
      {freshCatalogue(0), withSerial(newer, 3), ""},
  };
  for (const Case& c : cases) {
    FakeAppIo io;
    io.keys = {trustedTestKey()};
    const std::string oldCatalogue = freshCatalogue(0);
    installPackage(installed);
    std::filesystem::remove(dir_.path() / "Velm Co-op" / "new.pak");
    dir_.write("Velm Co-op/games.json", oldCatalogue + " ");
    serveSigned(io.fakeNet, catalogueUrl(), c.catalogue);
    serveSigned(io.fakeNet, kManifestUrl, c.manifest);
    for (const auto& [name, content] : files_) {
      io.fakeNet.serve("https://cdn.test/a/" + name, content);
    }
    EXPECT_EQ(run(options_, io), 0) << c.manifest;
    EXPECT_EQ(io.starts.size(), 1u) << c.manifest;
    if (c.detail.empty()) {
      EXPECT_TRUE(io.err.empty()) << c.manifest;
      EXPECT_EQ(dir_.read("Velm Co-op/manifest.json"), c.manifest);
      EXPECT_TRUE(dir_.exists("Velm Co-op/new.pak"));
      continue;
    }
    EXPECT_EQ(io.err, std::vector<std::string>{kHost + " sent an outdated file (" + c.detail +
                                               ") -- starting the installed version."});
    EXPECT_EQ(savedCatalogue(), oldCatalogue + " ") << "neither copy is saved";
    EXPECT_EQ(dir_.read("Velm Co-op/manifest.json"), installed);
    EXPECT_FALSE(dir_.exists("Velm Co-op/new.pak")) << "nothing is installed";
  }
}

TEST_F(LaunchWithPackage, SaysOnceThatItWaitsForAnotherLauncherInTheFolder) {
  servePackage(manifestText());
  // Another launcher's update, holding the folder longer than the quiet wait; a thread of its
  // own, as a Windows mutex is re-entered by the thread that owns it.
  std::atomic<bool> taken{false};
  std::thread other([&] {
    const FolderLock lock = lockGameFolder(dir_.path());
    taken = true;
    std::this_thread::sleep_for(FolderLock::kQuietWait + std::chrono::milliseconds(800));
  });
  while (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int code = runWith();
  other.join();
  EXPECT_EQ(code, 0);
  ASSERT_GE(io_.out.size(), 3u);
  EXPECT_EQ(io_.out[1], "[*] waiting for another Velm Co-op in this folder");
  EXPECT_EQ(std::count(io_.out.begin(), io_.out.end(), io_.out[1]), 1);
  EXPECT_EQ(io_.starts.size(), 1u);
}

// Another program takes the folder's lock while the catalogue is checked and holds it past the
// limit: the run stops with the report, having changed nothing and started nothing.
TEST_F(LaunchWithPackage, StopsWhenAnotherProgramHoldsTheFolderPastTheLimit) {
  installPackage(manifestText());
  files_[1].second = "new package data";
  servePackage(manifestText());
  std::optional<FolderLock> other;
  io_.fakeNet.onRequest = [&](const std::string& url) {
    if (url == signatureUrl(catalogueUrl())) other.emplace(lockGameFolder(dir_.path()));
  };
  options_.lockWait = std::chrono::milliseconds(2000);
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.log, (std::vector<std::string>{
                         "Velm Co-op 2.0.0", "[*] waiting for another Velm Co-op in this folder",
                         "E: Another program has held the Velm Co-op folder in " + options_.exeDir +
                             " for 2 seconds -- start Velm Co-op again once it is done.",
                         "E: Press any key to exit."}));
  EXPECT_EQ(io_.fakeNet.requested.size(), 2u) << "asked for more once the wait began";
  EXPECT_TRUE(io_.starts.empty());
  EXPECT_EQ(dir_.read("Velm Co-op/data.pak"), "package data");
}

TEST_F(LaunchWithPackage, StartsOfflineFromTheSavedCopies) {
  installPackage(manifestText(/*dataRequired=*/false));
  io_.offline = true;
  EXPECT_EQ(runWith(), 0);
  EXPECT_EQ(io_.log, (std::vector<std::string>{
                         "Velm Co-op 2.0.0",
                         "E: Could not reach " + kHost + " -- starting the installed version.",
                         "Starting Game a with co-op: coop.exe"}));

  // An optional file may go; a required one may not.
  std::filesystem::remove(dir_.path() / "Velm Co-op" / "data.pak");
  FakeAppIo again;
  again.offline = true;
  EXPECT_EQ(run(options_, again), 0);
  std::filesystem::remove(dir_.path() / "Velm Co-op" / "coop.exe");
  FakeAppIo third;
  third.offline = true;
  EXPECT_EQ(run(options_, third), 1);
  EXPECT_EQ(third.err.front(), notInstalled("Could not reach " + kHost));
}

TEST_F(LaunchWithPackage, OfflineReportsWhatTheSavedCatalogueFinds) {
  dir_.write("Velm Co-op/games.json",
             catalogueJson({testGame("a", "game.exe"), testGame("b", "b.exe")}));
  dir_.write("b.exe", "");
  io_.offline = true;
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err.front(),
            "Found more than one Velm modded game in " + options_.exeDir + ": game.exe, b.exe");
  FakeAppIo broken;
  broken.offline = true;
  dir_.write("Velm Co-op/games.json", "{\"schema\": 1}");
  EXPECT_EQ(run(options_, broken), 1);
  EXPECT_EQ(broken.err.front(), notInstalled("Could not reach " + kHost))
      << "an invalid saved catalogue is not shown";
}

TEST_F(LaunchWithPackage, EndsAtOnceWhenANewBuildStarts) {
  const std::string build = "the new launcher build";
  LauncherInfo launcher = testLauncherInfo("2.1.0");
  launcher.sha256 = sha256Of(build);
  launcher.size = build.size();
  serveSigned(io_.fakeNet, catalogueUrl(), catalogueJson({testGame("a", "game.exe")}, launcher));
  io_.selfUpdate.exe = utf8ToWide(pathToUtf8(joinPath(dir_.path(), "Velm Co-op.exe")));
  dir_.write("Velm Co-op.exe", "the running build");
  io_.fakeNet.serve(launcher.url, build);
  EXPECT_EQ(runWith(), 0);
  EXPECT_EQ(io_.selfUpdate.out.back(), "self-update: updated to 2.1.0 -- restarting");
  EXPECT_TRUE(io_.starts.empty());
  // The package folder holds the lock file alone.
  EXPECT_FALSE(dir_.exists("Velm Co-op/games.json")) << "saved when a new build takes over";
  EXPECT_FALSE(dir_.exists("Velm Co-op/manifest.json")) << "saved when a new build takes over";
  EXPECT_EQ(io_.fakeNet.requested,
            (std::vector<std::string>{catalogueUrl(), signatureUrl(catalogueUrl()), launcher.url}))
      << "no manifest is fetched";
}

// Of the keys this launcher trusts, the new build must trust the one that signed the catalogue.
TEST_F(LaunchWithPackage, MovesInOnlyABuildThatTrustsTheCataloguesSigner) {
  const TrustedKey other = testPublicKey(untrustedSeed());
  for (const TrustedKey& buildKey : {other, trustedTestKey()}) {
    FakeAppIo io;
    io.keys = {other, trustedTestKey()};
    const std::string build = identifiedBuild(ImageFormat::Elf, kHost, {buildKey});
    LauncherInfo launcher = testLauncherInfo("2.1.0");
    launcher.sha256 = sha256Of(build);
    launcher.size = build.size();
    serveSigned(io.fakeNet, catalogueUrl(), catalogueJson({testGame("a", "game.exe")}, launcher));
    io.fakeNet.serve(launcher.url, build);
    io.selfUpdate.exe = utf8ToWide(pathToUtf8(joinPath(dir_.path(), "Velm Co-op.exe")));
    dir_.write("Velm Co-op.exe", "the running build");
    run(options_, io);
    const bool fits = buildKey == trustedTestKey();
    EXPECT_EQ(dir_.read("Velm Co-op.exe"), fits ? build : "the running build");
    EXPECT_EQ(io.selfUpdate.err.empty(), fits);
  }
}

TEST(Messages, WrapTheDetailWithTheHost) {
  EXPECT_EQ(unreadableMessage("x: y"), kHost + " sent a file this version cannot read (x: y)");
  EXPECT_EQ(unsignedMessage("z"), kHost + " sent a file without a valid signature (z)");
  EXPECT_EQ(catalogueUrl(), "https://" + kHost + "/games.json");
}

}  // namespace
}  // namespace velm
