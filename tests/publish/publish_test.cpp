#include "publish.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "documents.h"
#include "net/sha256.h"
#include "package/package_update.h"
#include "signing_key.h"
#include "support/build_image.h"
#include "support/fake_net.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

const char kManifestUrl[] = "https://CDN.test/demo/manifest.json?v=2";
const uint64_t kSerial = 1700000000;

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
    request_.serial = kSerial;
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
  // An expiry is written only when asked for; the team's own is dropped.
  std::string team = dir_.read("games.json");
  dir_.write("games.json", team.insert(1, R"("expires": "2001-01-01T00:00:00Z", )"));
  std::string error;
  ASSERT_TRUE(publishSite(request_, &error)) << error;

  const std::string catalogue = dir_.read("site/cdn.test/games.json");
  EXPECT_EQ(verifySignature("games.json", catalogue, dir_.read("site/cdn.test/games.json.sig"),
                            request_.launcherKeys),
            "");
  const CatalogueResult parsed = parseCatalogue(catalogue);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.catalogue.serial, kSerial);
  EXPECT_EQ(parsed.catalogue.expires, "");
  // The digest of the manifest's bytes exactly as they are served, and the same serial in it.
  const std::string manifest = dir_.read("site/cdn.test/demo/manifest.json");
  Sha256 hasher;
  hasher.update(manifest.data(), manifest.size());
  EXPECT_EQ(parsed.catalogue.games[0].manifestSha256, hasher.finalDigest());
  Manifest published;
  ASSERT_TRUE(parseManifest(manifest, published, nullptr));
  EXPECT_EQ(published.serial, kSerial);

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

const std::string kReleaseMarker("velm-build: release\0", 20);

TEST_F(Publish, PlacesTheLauncherBuildAndRecordsItsDigest) {
  const std::string build =
      identifiedBuild(ImageFormat::Pe, "cdn.test", request_.launcherKeys, kReleaseMarker);
  request_.launcherBuild = dir_.write("velm.exe", build).string();
  dir_.write("games.json",
             catalogueText(R"({"version": "2.1.0", "url": "https://dl.test/b/Velm%20Co-op.exe",
                               "sha256": "", "size": 0, "notes": "kept"})",
                           game("demo", "demo.exe", kManifestUrl)));
  std::string error;
  ASSERT_TRUE(publishSite(request_, &error)) << error;
  EXPECT_EQ(dir_.read("site/dl.test/b/Velm Co-op.exe"), build);
  const CatalogueResult parsed = parseCatalogue(dir_.read("site/cdn.test/games.json"));
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.catalogue.launcher.size, build.size());
  EXPECT_EQ(parsed.catalogue.launcher.sha256, textSha256(build));
  EXPECT_NE(dir_.read("site/cdn.test/games.json").find("\"notes\": \"kept\""), std::string::npos);
}

// Players are offered release builds alone: the marker of a test build, or no marker at all,
// stops the publication, and --allow-test-build lets a test build through but nothing else.
TEST_F(Publish, PublishesAReleaseBuildAlone) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::string tail;  // after the image of a build that players could use
    bool allowTest;
    const char* refusal;  // nullptr: published
  };
  const char kTest[] =
      " is a test build (built without VELM_RELEASE); only a release build may "
      "be published";
  const char kNone[] =
      " is not a Velm Co-op launcher build (it carries no build marker); only a "
      "release build may be published";
  const std::vector<Case> cases = {
      {"release", "velm-build: release\0"s, false, nullptr},
      {"release, test builds allowed", "velm-build: release\0"s, true, nullptr},
      {"test", "velm-build: test\0"s, false, kTest},
      {"test, test builds allowed", "velm-build: test\0"s, true, nullptr},
      {"both markers", "velm-build: release\0velm-build: test\0"s, false, kTest},
      {"both markers, the test one first", "velm-build: test\0velm-build: release\0"s, false,
       kTest},
      {"no marker", "\0just a program\0"s, false, kNone},
      {"no marker, test builds allowed", "\0just a program\0"s, true, kNone},
      {"the prefix alone, as velm-publish holds it", "velm-build: \0"s, false, kNone},
      {"an unknown kind", "velm-build: beta\0"s, true, kNone},
      {"a kind that only starts like release", "velm-build: released\0"s, false, kNone},
      {"a marker cut off at the end of the file", "velm-build: release"s, false, kNone},
      {"a marker in another case", "VELM-BUILD: RELEASE\0"s, false, kNone},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_.path() / "site");
    request_.launcherBuild = dir_.write("build.exe", identifiedBuild(ImageFormat::Pe, "cdn.test",
                                                                     request_.launcherKeys, c.tail))
                                 .string();
    request_.allowTestBuild = c.allowTest;
    std::string error;
    const bool published = publishSite(request_, &error);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(published) << c.what << ": " << error;
      continue;
    }
    EXPECT_FALSE(published) << c.what;
    EXPECT_EQ(error, request_.launcherBuild + c.refusal) << c.what;
    EXPECT_FALSE(fs::exists(dir_.path() / "site")) << c.what;
  }
}

// A build that would refuse the catalogues this key signs for this host, or that does not say
// what it trusts, is never announced: the first run would strand every player on it.
TEST_F(Publish, PublishesOnlyABuildThatCanReadTheCatalogue) {
  using namespace std::string_literals;
  const TrustedKey other = testPublicKey(untrustedSeed());
  const TrustedKey key = request_.launcherKeys.front();
  const std::string couldNotTell = ", so whether players could use it cannot be told";
  struct Case {
    const char* what;
    std::string build;
    std::string refusal;  // empty: published
  };
  const Case cases[] = {
      {"the key among others, the host in capitals",
       identifiedBuild(ImageFormat::Elf, "CDN.test", {other, key}, kReleaseMarker), ""},
      {"another key", identifiedBuild(ImageFormat::Pe, "cdn.test", {other}, kReleaseMarker),
       " does not trust " + request_.key + " (public key " + publicKeyHex(key) +
           "): players who update to it would refuse every catalogue it signs"},
      {"another host", identifiedBuild(ImageFormat::Elf, "cdn.test:8443", {key}, kReleaseMarker),
       " fetches its catalogue from cdn.test:8443, not cdn.test: players who update to it would "
       "never read this catalogue again"},
      {"a marker without an image", "MZ\0"s + kReleaseMarker,
       " does not say which key and host it trusts (it has no .velmid section)" + couldNotTell},
      {"an identity of another format",
       makeTestImage(ImageFormat::Pe, {{".velmid", "VLID\2"}}).bytes + kReleaseMarker,
       " has a .velmid section that this velm-publish cannot read" + couldNotTell},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_.path() / "site");
    request_.launcherBuild = dir_.write("build.exe", c.build).string();
    std::string error;
    const bool published = publishSite(request_, &error);
    if (c.refusal.empty()) {
      EXPECT_TRUE(published) << c.what << ": " << error;
      continue;
    }
    EXPECT_FALSE(published) << c.what;
    EXPECT_EQ(error, request_.launcherBuild + c.refusal) << c.what;
    EXPECT_FALSE(fs::exists(dir_.path() / "site")) << c.what;
  }
}

// Each field stands beside what it qualifies, and what the team wrote in the tool's fields, even
// a value the launcher would refuse, is replaced.
TEST_F(Publish, WritesTheFieldsBesideWhatTheyQualify) {
  dir_.write("games.json", R"({"schema": 1, "games": [{"id": "demo", "name": "Demo",
      "manifest_sha256": "00", "exe": "demo.exe", "steam_appid": 480,
      "manifest": "https://cdn.test/m.json", "launcher": "coop.exe"}],
      "expires": "2001-02-30T00:00:00Z", "launcher": {"version": "2.0.0",
      "url": "https://cdn.test/v.exe",
      "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
      "size": 3}, "serial": 0})");
  const std::string teamManifest = dir_.read("pkg/manifest.json");
  std::string stale = teamManifest;
  dir_.write("pkg/manifest.json", stale.insert(2, "  \"serial\": 99999999999999999999,\n"));
  request_.expires = "2030-01-01T00:00:00Z";
  std::string error;
  ASSERT_TRUE(publishSite(request_, &error)) << error;

  std::string expectedManifest = teamManifest;
  expectedManifest.insert(teamManifest.find('\n', teamManifest.find("\"version\"")) + 1,
                          "  \"serial\": 1700000000,\n");
  const std::string manifest = dir_.read("site/cdn.test/m.json");
  EXPECT_EQ(manifest, expectedManifest);
  Sha256 hasher;
  hasher.update(manifest.data(), manifest.size());
  EXPECT_EQ(dir_.read("site/cdn.test/games.json"),
            "{\n"
            "  \"schema\": 1,\n"
            "  \"serial\": 1700000000,\n"
            "  \"expires\": \"2030-01-01T00:00:00Z\",\n"
            "  \"games\": [\n"
            "    {\n"
            "      \"id\": \"demo\",\n"
            "      \"name\": \"Demo\",\n"
            "      \"exe\": \"demo.exe\",\n"
            "      \"steam_appid\": 480,\n"
            "      \"manifest\": \"https://cdn.test/m.json\",\n"
            "      \"manifest_sha256\": \"" +
                hasher.finalHex() +
                "\",\n"
                "      \"launcher\": \"coop.exe\"\n"
                "    }\n"
                "  ],\n"
                "  \"launcher\": {\n"
                "    \"version\": \"2.0.0\",\n"
                "    \"url\": \"https://cdn.test/v.exe\",\n"
                "    \"sha256\": "
                "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\",\n"
                "    \"size\": 3\n"
                "  }\n"
                "}\n");
}

// An earlier tree's serials bound the next publication from below: its catalogue's, and those
// of the manifests that launchers saved from it.
TEST_F(Publish, NeverGoesBelowThePreviousTree) {
  const auto edit = [](Publish& t, const std::string& name, const std::string& from,
                       const std::string& to) {
    std::string text = t.dir_.read(name);
    ASSERT_NE(text.find(from), std::string::npos) << name;
    t.dir_.write(name, text.replace(text.find(from), from.size(), to));
  };
  // The launcher's own reason, and the serial that would do.
  const auto older = [](const std::string& file, const std::string& name) {
    return "--previous: every launcher that saw {}/old/cdn.test/" + file +
           " would refuse this tree (" + name +
           " serial 200 is older than 300); give --serial 300 or higher";
  };
  struct Case {
    const char* what;
    uint64_t before;  // the earlier tree's serial
    std::function<void(Publish&)> change;
    std::string error;  // empty when the new tree (serial 200) is published; {} is the folder
  };
  const std::vector<Case> cases = {
      {"the same serial", 200, [](Publish&) {}, ""},
      {"a lower serial", 199, [](Publish&) {}, ""},
      {"a higher catalogue serial", 300, [](Publish&) {}, older("games.json", "games.json")},
      {"a higher manifest serial", 100,
       [&](Publish& t) {
         edit(t, "old/cdn.test/demo/manifest.json", "\"serial\": 100", "\"serial\": 300");
       },
       older("demo/manifest.json", "manifest.json")},
      // The launcher compares with the manifest it saved, wherever the catalogue now puts it.
      {"a higher serial in the manifest at its earlier address", 100,
       [&](Publish& t) {
         edit(t, "old/cdn.test/demo/manifest.json", "\"serial\": 100", "\"serial\": 300");
         t.dir_.write("games.json", catalogueText(kLauncherBlock, game("demo", "demo.exe",
                                                                       "https://cdn.test/v2/m")));
       },
       older("demo/manifest.json", "manifest.json")},
      {"a tree from before serials", 300,
       [&](Publish& t) {
         edit(t, "old/cdn.test/games.json", "\"serial\": 300,", "");
         edit(t, "old/cdn.test/demo/manifest.json", "\"serial\": 300,", "");
       },
       ""},
      {"a new game", 100,
       [&](Publish& t) {
         edit(t, "old/cdn.test/demo/manifest.json", "\"serial\": 100", "\"serial\": 300");
         t.dir_.write("games.json",
                      catalogueText(kLauncherBlock, game("new", "demo.exe", kManifestUrl)));
         t.request_.packages = {{"new", t.path("pkg")}};
       },
       ""},
      {"no catalogue for this host", 100,
       [](Publish& t) { fs::remove(t.dir_.path() / "old/cdn.test/games.json"); },
       "--previous: {}/old has no games.json for cdn.test ({}/old/cdn.test/games.json): give the "
       "folder that publish -o wrote"},
      {"no manifest", 100,
       [](Publish& t) { fs::remove(t.dir_.path() / "old/cdn.test/demo/manifest.json"); },
       "--previous: {}/old/cdn.test/demo/manifest.json: cannot be read"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_.path());
    fs::create_directory(dir_.path());
    SetUp();
    request_.serial = c.before;
    request_.out = path("old");
    std::string error;
    ASSERT_TRUE(publishSite(request_, &error)) << c.what << ": " << error;
    c.change(*this);
    request_.serial = 200;
    request_.out = path("site");
    request_.previous = path("old");
    const bool published = publishSite(request_, &error);
    EXPECT_EQ(published, c.error.empty()) << c.what << ": " << error;
    if (published) continue;
    std::string expected = c.error;
    for (size_t at; (at = expected.find("{}")) != std::string::npos;) {
      expected.replace(at, 2, dir_.path().string());
    }
    EXPECT_EQ(error, expected) << c.what;
    EXPECT_FALSE(fs::exists(dir_.path() / "site")) << c.what;
  }
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
      {"a serial of 0", [](Publish& t) { t.request_.serial = 0; },
       "the launcher would refuse it: serial: must be at least 1"},
      {"a serial above 2^53 - 1", [](Publish& t) { t.request_.serial = kMaxSerial + 1; },
       "the launcher would refuse it: serial: must be at most 9007199254740991"},
      {"an expiry that is no date", [](Publish& t) { t.request_.expires = "2030-02-30T00:00:00Z"; },
       "{}/games.json: the launcher would refuse it: expires: \"2030-02-30T00:00:00Z\""},
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
