#include "publish.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "documents.h"
#include "package/package_update.h"
#include "signing_key.h"
#include "support/fake_net.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

const char kManifestUrl[] = "https://CDN.test/demo/manifest.json?v=2";

std::string catalogueText(const std::string& launcherBlock, const std::string& games) {
  return R"({"schema": 1, "launcher": )" + launcherBlock + R"(, "games": [)" + games + "]}";
}

std::string game(const std::string& id, const std::string& exe, const std::string& manifest) {
  return R"({"id": ")" + id + R"(", "name": "Game )" + id + R"(", "exe": ")" + exe +
         R"(", "steam_appid": 480, "manifest": ")" + manifest + R"(", "launcher": "coop.exe"})";
}

const char kLauncherBlock[] =
    R"({"version": "2.0.0", "url": "https://cdn.test/velm.exe",
        "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "size": 3})";

class Publish : public ::testing::Test {
 public:
  void SetUp() override {
    request_ = PublishRequest();
    SigningKey key;
    std::string error;
    ASSERT_TRUE(SigningKey::generate(key, &error) && key.writeNew(path("key.pem"), &error));
    request_.key = path("key.pem");
    request_.launcherKeys = {key.publicKey()};
    request_.host = "cdn.test";
    request_.catalogue =
        dir_.write("games.json",
                   catalogueText(kLauncherBlock, game("demo", "demo.exe", kManifestUrl)))
            .string();
    writePackage("pkg", {"coop.exe", "my mod.dll"});
    request_.packages = {{"demo", path("pkg")}};
    request_.out = path("site");
  }

  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }

  // Each file holds its name after tag ("pkg/coop.exe"); tag defaults to the folder.
  void writePackage(const std::string& folder, const std::vector<std::string>& names,
                    std::string tag = std::string()) {
    if (tag.empty()) tag = folder;
    for (const std::string& name : names) dir_.write(folder + "/" + name, tag + "/" + name);
    std::string text, error;
    ASSERT_TRUE(
        buildManifest({path(folder), "1.0.0", "coop.exe", {}, {"manifest.json"}}, text, &error))
        << error;
    dir_.write(folder + "/manifest.json", text);
  }

  TempDir dir_;
  PublishRequest request_;
};

TEST_F(Publish, TheLauncherAcceptsThePublishedTree) {
  std::string error;
  ASSERT_TRUE(publishSite(request_, &error)) << error;

  const std::string catalogue = dir_.read("site/cdn.test/games.json");
  EXPECT_EQ(catalogue, dir_.read("games.json"));  // published byte for byte
  EXPECT_EQ(verifySignature("games.json", catalogue, dir_.read("site/cdn.test/games.json.sig"),
                            request_.launcherKeys),
            "");
  EXPECT_TRUE(parseCatalogue(catalogue).ok);

  // The package update of the launcher, fed the published files at the URLs it requests.
  FakeNet net;
  net.serve(kManifestUrl, dir_.read("site/cdn.test/demo/manifest.json"));
  net.serve("https://CDN.test/demo/manifest.json.sig",
            dir_.read("site/cdn.test/demo/manifest.json.sig"));
  net.serve("https://CDN.test/demo/coop.exe", dir_.read("site/cdn.test/demo/coop.exe"));
  net.serve("https://CDN.test/demo/my%20mod.dll", dir_.read("site/cdn.test/demo/my mod.dll"));
  PackageResult result;
  updatePackage(result, path("game/Velm Co-op"), kManifestUrl, "coop.exe", net, nullptr,
                request_.launcherKeys);
  EXPECT_EQ(result.status, PackageStatus::Ok) << result.message;
  EXPECT_EQ(dir_.read("game/Velm Co-op/my mod.dll"), "pkg/my mod.dll");
  EXPECT_EQ(dir_.read("game/Velm Co-op/coop.exe"), "pkg/coop.exe");
}

TEST_F(Publish, PlacesTheLauncherBuildAndRecordsItsDigest) {
  request_.launcherBuild = dir_.write("velm.exe", "the new build").string();
  dir_.write("games.json",
             catalogueText(R"({"version": "2.1.0", "url": "https://dl.test/b/Velm%20Co-op.exe",
                               "sha256": "", "size": 0, "notes": "kept"})",
                           game("demo", "demo.exe", kManifestUrl)));
  std::string error;
  ASSERT_TRUE(publishSite(request_, &error)) << error;
  EXPECT_EQ(dir_.read("site/dl.test/b/Velm Co-op.exe"), "the new build");
  const CatalogueResult parsed = parseCatalogue(dir_.read("site/cdn.test/games.json"));
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.catalogue.launcher.size, 13u);
  EXPECT_EQ(sha256Hex(parsed.catalogue.launcher.sha256),
            "a8cb2a184d1346449b557cd334809b2af9b25d378955a0de50bd2f91bb1a3665");
  EXPECT_NE(dir_.read("site/cdn.test/games.json").find("\"notes\": \"kept\""), std::string::npos);
}

// Two games with their manifests in one folder of the host.
void addSecondGame(Publish& t, const std::string& tag) {
  t.writePackage("pkg2", {"coop.exe", "my mod.dll"}, tag);
  t.dir_.write("games.json",
               catalogueText(kLauncherBlock,
                             game("demo", "demo.exe", kManifestUrl) + "," +
                                 game("other", "other.exe", "https://cdn.test/demo/m2.json")));
  t.request_.packages.push_back({"other", t.path("pkg2")});
}

TEST_F(Publish, GamesMayShareFilesWithTheSameBytes) {
  addSecondGame(*this, "pkg");
  std::string error;
  ASSERT_TRUE(publishSite(request_, &error)) << error;
  EXPECT_EQ(dir_.read("site/cdn.test/demo/coop.exe"), "pkg/coop.exe");
  EXPECT_TRUE(fs::exists(dir_.path() / "site/cdn.test/demo/m2.json.sig"));
}

TEST_F(Publish, RefusesWhatWouldLockPlayersOut) {
  struct Case {
    const char* what;
    std::function<void(Publish&)> change;
    std::string error;  // a part of the message; {} stands for the test folder
  };
  const std::vector<Case> cases = {
      {"a key the launcher does not trust",
       [](Publish& t) {
         SigningKey other;
         ASSERT_TRUE(SigningKey::generate(other, nullptr));
         t.request_.launcherKeys = {other.publicKey()};
       },
       "is not one of the launcher's keys: players would refuse everything it signs"},
      {"no launcher keys", [](Publish& t) { t.request_.launcherKeys.clear(); },
       "give the keys of the shipped launcher with --launcher-key"},
      {"a catalogue the launcher refuses",
       [](Publish& t) {
         t.dir_.write("games.json",
                      catalogueText(kLauncherBlock, game("Demo", "demo.exe", kManifestUrl)));
       },
       "{}/games.json: the launcher would refuse it: games[0].id: \"Demo\" must be 1-32 "
       "characters from a-z, 0-9 and -"},
      {"a missing package folder", [](Publish& t) { fs::remove_all(t.dir_.path() / "pkg"); },
       "game demo: the package folder {}/pkg is missing"},
      {"a missing co-op launcher file",
       [](Publish& t) { fs::remove(t.dir_.path() / "pkg/coop.exe"); },
       "game demo: its co-op launcher {}/pkg/coop.exe is missing or unreadable"},
      {"a file changed after the manifest was written",
       [](Publish& t) { t.dir_.write("pkg/my mod.dll", "changed"); },
       "game demo: {}/pkg/my mod.dll does not match {}/pkg/manifest.json"},
      {"no manifest", [](Publish& t) { fs::remove(t.dir_.path() / "pkg/manifest.json"); },
       "game demo: {}/pkg/manifest.json is missing (velm-publish manifest writes it)"},
      {"a manifest the launcher refuses",
       [](Publish& t) { t.dir_.write("pkg/manifest.json", R"({"version": "1", "files": []})"); },
       "game demo: {}/pkg/manifest.json: the launcher would refuse it: \"files\" is empty"},
      {"a manifest that lists the co-op launcher as optional",
       [](Publish& t) {
         std::string text, error;
         ASSERT_TRUE(
             buildManifest({t.path("pkg"), "1", "coop.exe", {}, {"manifest.json"}}, text, &error));
         text.replace(text.find("\"size\": 12,"), 11, "\"size\": 12, \"required\": false,");
         t.dir_.write("pkg/manifest.json", text);
       },
       "the launcher would refuse it: the manifest does not list coop.exe as a required file"},
      {"a game without a package", [](Publish& t) { t.request_.packages.clear(); },
       "game demo: no package folder (--package demo=FOLDER)"},
      {"a package for a game the catalogue lacks",
       [](Publish& t) {
         t.request_.packages.push_back({"ghost", t.path("pkg")});
       },
       "--package ghost: the catalogue has no game ghost"},
      {"a package given twice",
       [](Publish& t) {
         t.request_.packages.push_back({"demo", t.path("pkg")});
       },
       "--package demo is given twice"},
      {"a manifest URL that names a folder",
       [](Publish& t) {
         t.dir_.write("games.json", catalogueText(kLauncherBlock,
                                                  game("demo", "demo.exe", "https://cdn.test/p/")));
       },
       "\"https://cdn.test/p/\" cannot be published as a file: it names a folder, not a file"},
      {"a package file where the catalogue must be",
       [](Publish& t) {
         t.dir_.write("games.json", catalogueText(kLauncherBlock,
                                                  game("demo", "demo.exe", "https://cdn.test/m")));
         t.writePackage("pkg", {"games.json.sig"});
       },
       "cdn.test/games.json.sig: both the signature of games.json and games.json.sig of game "
       "demo would be published there"},
      {"a package file named like its own manifest",
       [](Publish& t) {
         t.dir_.write("games.json", catalogueText(kLauncherBlock, game("demo", "demo.exe",
                                                                       "https://cdn.test/d/m")));
         t.writePackage("pkg", {"m"});
       },
       "cdn.test/d/m: both the manifest of game demo and m of game demo would be published there"},
      {"two games with different files at one path", [](Publish& t) { addSecondGame(t, "pkg2"); },
       "cdn.test/demo/coop.exe: both coop.exe of game demo and coop.exe of game other would be "
       "published there"},
      {"a host with a path", [](Publish& t) { t.request_.host = "cdn.test/sub"; },
       "--host takes a host with an optional :port, as VELM_CATALOGUE_HOST, not cdn.test/sub"},
      {"a launcher build that is missing",
       [](Publish& t) { t.request_.launcherBuild = t.path("nothing.exe"); },
       "the launcher build {}/nothing.exe is missing or unreadable"},
      {"an output folder that is not empty",
       [](Publish& t) { t.dir_.write("site/old.txt", "old"); },
       "{}/site exists and is not an empty folder"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_.path());
    fs::create_directory(dir_.path());
    SetUp();
    c.change(*this);
    std::string error;
    EXPECT_FALSE(publishSite(request_, &error)) << c.what;
    std::string expected = c.error;
    for (size_t at; (at = expected.find("{}")) != std::string::npos;) {
      expected.replace(at, 2, dir_.path().string());
    }
    EXPECT_NE(error.find(expected), std::string::npos) << c.what << "\n  got: " << error;
    EXPECT_FALSE(fs::exists(dir_.path() / "site" / "cdn.test")) << c.what;
  }
}

}  // namespace
}  // namespace velm
