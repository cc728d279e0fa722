#include "core/launch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/fake_app_io.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
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
  EXPECT_EQ(io_.log, (std::vector<std::string>{
                         "Velm Co-op 2.0.0", "E: " + notInstalled("Could not reach " + kHost),
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
      {404, "", kHost + " sent a file without a valid signature (games.json is not signed: " +
                    sigUrl + " said HTTP 404)"},
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
  serveSigned(io_.fakeNet, catalogueUrl(),
              catalogueJson({testGame("a", "a.exe"), testGame("c", "c.exe"),
                             testGame("b", "b.exe")}));
  dir_.write("B.EXE", "");
  dir_.write("a.exe", "");
  EXPECT_EQ(runWith(), 1);
  EXPECT_EQ(io_.err, (std::vector<std::string>{
                         "Found more than one Velm modded game in " + options_.exeDir +
                             ": a.exe, b.exe",
                         "Velm Co-op.exe can only serve one game per folder.",
                         "Press any key to exit."}));
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

TEST(PackageFolder, JoinsTheExeFolderWithTheFolderName) {
  LaunchOptions options;
  options.exeDir = "";
  EXPECT_EQ(packageFolder(options), "Velm Co-op");
  std::string sep(1, static_cast<char>(std::filesystem::path::preferred_separator));
  options.exeDir = "games" + sep + "x";
  EXPECT_EQ(packageFolder(options), "games" + sep + "x" + sep + "Velm Co-op");
}

TEST(JoinPath, AddsOneSeparatorOnlyWhereNeeded) {
  std::string sep(1, static_cast<char>(std::filesystem::path::preferred_separator));
  EXPECT_EQ(joinPath("", "games.json"), "games.json");
  EXPECT_EQ(joinPath("a", "b"), "a" + sep + "b");
  EXPECT_EQ(joinPath("a" + sep, "b"), "a" + sep + "b");
  EXPECT_EQ(joinPath(sep, "b"), sep + "b");
  EXPECT_EQ(joinPath("caf\xC3\xA9", "\xC3\xA4.dll"), "caf\xC3\xA9" + sep + "\xC3\xA4.dll");
}

TEST(SaveFile, ReplacesTheFileThroughATemporaryCopy) {
  TempDir dir;
  std::string path = joinPath(dir.str(), "games.json");
  ASSERT_TRUE(saveFile(path, "first"));
  ASSERT_TRUE(saveFile(path, std::string("second\0with zero", 16)));
  EXPECT_EQ(dir.read("games.json"), std::string("second\0with zero", 16));
  EXPECT_FALSE(dir.exists("games.json.new"));
  ASSERT_TRUE(saveFile(path, ""));
  EXPECT_EQ(dir.read("games.json"), "");
}

TEST(SaveFile, FailsWithoutLeavingATemporaryWhenTheMoveFails) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "games.json" / "inside");
  EXPECT_FALSE(saveFile(joinPath(dir.str(), "games.json"), "x"));
  EXPECT_FALSE(dir.exists("games.json.new"));
  EXPECT_FALSE(saveFile(joinPath(dir.str(), joinPath("missing", "games.json")), "x"));
}

TEST(Messages, WrapTheDetailWithTheHost) {
  EXPECT_EQ(unreadableMessage("x: y"), kHost + " sent a file this version cannot read (x: y)");
  EXPECT_EQ(unsignedMessage("z"), kHost + " sent a file without a valid signature (z)");
  EXPECT_EQ(catalogueUrl(), "https://" + kHost + "/games.json");
}

}  // namespace
}  // namespace velm
