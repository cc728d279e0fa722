// The package folder's names and its two file operations: the atomic save of a copy, and reading
// one back byte for byte.
#include "package/package_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "net/sha256.h"
#include "os/own_file.h"
#include "package/manifest.h"
#include "support/temp_dir.h"
#include "text/path_text.h"
#include "unit/os/link_maker.h"

namespace velm {
namespace {

const std::string kSep(1, static_cast<char>(std::filesystem::path::preferred_separator));

TEST(PackageFolder, NamesEveryFileTheLauncherKeeps) {
  EXPECT_EQ(packageFolderPath("").u8string(), "Velm Co-op");
  const std::filesystem::path folder = packageFolderPath("games" + kSep + "x");
  EXPECT_EQ(folder.u8string(), "games" + kSep + "x" + kSep + "Velm Co-op");
  EXPECT_EQ(savedCataloguePath(folder).u8string(), folder.u8string() + kSep + "games.json");
  EXPECT_EQ(savedManifestPath(folder).u8string(), folder.u8string() + kSep + "manifest.json");
  const std::string name = "m\xC3\xB6" + std::string("d.dll");  // möd.dll
  EXPECT_EQ(joinPath(folder, name).u8string(), folder.u8string() + kSep + name);
  EXPECT_EQ(temporaryName(joinPath(folder, name)).u8string(),
            folder.u8string() + kSep + name + ".new");
  EXPECT_EQ(savedCopyNames(), (std::vector<std::string>{"games.json", "manifest.json",
                                                        "games.json.new", "manifest.json.new"}));
}

TEST(PackageFolder, CreatesItsParentsOrSaysItCannot) {
  TempDir dir;
  EXPECT_TRUE(createPackageFolder(dir.path() / "a" / "b" / "Velm Co-op"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b" / "Velm Co-op"));
  EXPECT_TRUE(createPackageFolder(dir.path() / "a" / "b" / "Velm Co-op")) << "already there";
  dir.write("blocker", "a file where a folder belongs");
  EXPECT_FALSE(createPackageFolder(dir.path() / "blocker" / "Velm Co-op"));
  EXPECT_FALSE(createPackageFolder(dir.path() / "blocker"));
}

// The game folder may be a link (a library moved to another drive); the package folder may not.
TEST(PackageFolder, RefusesToBeALinkBelowALinkedGameFolder) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "library" / "game");
  dir.write("elsewhere/games.json.new", "the player's file");
  if (!makeFolderLink(dir.path() / "game", dir.path() / "library" / "game")) {
    GTEST_SKIP() << kNoLinksHere;
  }
  const std::filesystem::path folder = dir.path() / "game" / "Velm Co-op";
  EXPECT_TRUE(createPackageFolder(folder));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "library" / "game" / "Velm Co-op"));
  std::filesystem::remove(dir.path() / "library" / "game" / "Velm Co-op");

  ASSERT_TRUE(makeFolderLink(folder, dir.path() / "elsewhere"));
  EXPECT_FALSE(createPackageFolder(folder));
  EXPECT_FALSE(saveFile(savedCataloguePath(folder), "{}"));
  EXPECT_EQ(dir.read("elsewhere/games.json.new"), "the player's file");
  EXPECT_FALSE(dir.exists("elsewhere/games.json"));
}

TEST(SaveFile, WritesNothingThroughALinkedCopyOrTemporary) {
  TempDir dir;
  const std::filesystem::path victim = dir.write("elsewhere/victim.json", "the player's file");
  for (const char* linked : {"games.json.new", "games.json"}) {
    std::filesystem::remove_all(dir.path() / "Velm Co-op");
    std::filesystem::create_directories(dir.path() / "Velm Co-op");
    if (!makeFileLink(dir.path() / "Velm Co-op" / linked, victim)) GTEST_SKIP() << kNoLinksHere;
    const bool temporary = std::string(linked) == "games.json.new";
    // A link at the temporary's name is moved aside; one at the copy's name is refused.
    EXPECT_EQ(saveFile(dir.path() / "Velm Co-op" / "games.json", "{}"), temporary) << linked;
    EXPECT_EQ(dir.read("elsewhere/victim.json"), "the player's file") << linked;
    EXPECT_TRUE(
        isLinkOnDisk(dir.path() / "Velm Co-op" / (temporary ? "..aside/games.json.new.1" : linked)))
        << linked << ": the link itself was replaced";
    EXPECT_FALSE(dir.exists("Velm Co-op/games.json.new")) << "a refused move leaves a temporary";
  }
}

TEST(SaveFile, ReplacesTheFileThroughATemporaryCopy) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / "games.json";
  ASSERT_TRUE(saveFile(path, "first"));
  ASSERT_TRUE(saveFile(path, std::string("second\0with zero", 16)));
  EXPECT_EQ(dir.read("games.json"), std::string("second\0with zero", 16));
  EXPECT_FALSE(dir.exists("games.json.new"));
  ASSERT_TRUE(saveFile(path, ""));
  EXPECT_EQ(dir.read("games.json"), "");
}

// A copy that already holds the bytes is left as it is; any other is saved as saveFile saves it.
TEST(SaveFile, LeavesACopyThatHoldsTheSameBytes) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / "manifest.json";
  const std::string large(200000, 'm');
  ASSERT_TRUE(saveFile(path, large));
  FileIdentity before;
  ASSERT_TRUE(plainFileIdentity(path, before));
  ASSERT_TRUE(saveFileIfChanged(path, large));
  FileIdentity after;
  ASSERT_TRUE(plainFileIdentity(path, after));
  EXPECT_EQ(after, before) << "the same bytes were written again";
  for (const std::string& other : {large + "m", large.substr(1), "n" + large.substr(1),
                                   large.substr(0, 65536), std::string()}) {
    ASSERT_TRUE(saveFileIfChanged(path, other)) << other.size();
    EXPECT_EQ(dir.read("manifest.json"), other) << other.size();
  }
  ASSERT_TRUE(std::filesystem::remove(path));
  ASSERT_TRUE(saveFileIfChanged(path, "{}"));
  EXPECT_EQ(dir.read("manifest.json"), "{}");
  // Whatever stands at the ".new" name goes, as after any save.
  dir.write("manifest.json.new", "left by a kill");
  ASSERT_TRUE(saveFileIfChanged(path, "{}"));
  EXPECT_FALSE(dir.exists("manifest.json.new"));
  // A link to a file with these bytes is no copy of them.
  const std::filesystem::path victim = dir.write("elsewhere/victim.json", "{}");
  ASSERT_TRUE(std::filesystem::remove(path));
  if (!makeFileLink(path, victim)) GTEST_SKIP() << kNoLinksHere;
  EXPECT_FALSE(saveFileIfChanged(path, "{}"));
  EXPECT_TRUE(isLinkOnDisk(path));
}

TEST(SaveFile, FailsWithoutLeavingATemporaryWhenTheMoveFails) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "games.json" / "inside");
  EXPECT_FALSE(saveFile(dir.path() / "games.json", "x"));
  EXPECT_FALSE(dir.exists("games.json.new"));
  EXPECT_FALSE(saveFile(dir.path() / "missing" / "games.json", "x"));
}

TEST(SavedSerials, AreThoseOfValidCopiesOnly) {
  TempDir dir;
  EXPECT_FALSE(savedManifestSerial(dir.path()).has_value());
  EXPECT_FALSE(savedCatalogueSerial(dir.path()).has_value());
  const std::string entry =
      "{\"name\": \"coop.exe\", \"size\": 1, \"sha256\": \"" + std::string(64, 'a') + "\"}";
  dir.write("manifest.json", "{\"version\": \"1\", \"serial\": 12, \"files\": [" + entry + "]}");
  EXPECT_EQ(savedManifestSerial(dir.path()), std::optional<uint64_t>(12));
  dir.write("manifest.json", "{\"version\": \"1\", \"serial\": 12, \"files\": []}");
  EXPECT_FALSE(savedManifestSerial(dir.path()).has_value()) << "no longer valid";
  // Given the text a manifest was just parsed from, a copy of that very text is not read again:
  // the serial is the parsed one (here, on purpose, not the text's).
  const std::string saved = "{\"version\": \"1\", \"serial\": 12, \"files\": [" + entry + "]}";
  dir.write("manifest.json", saved);
  Manifest parsed;
  parsed.serial = 13;
  bool holds = false;
  EXPECT_EQ(savedManifestSerial(dir.path(), saved, parsed, &holds), std::optional<uint64_t>(13));
  EXPECT_TRUE(holds);
  EXPECT_EQ(savedManifestSerial(dir.path(), saved + " ", parsed, &holds),
            std::optional<uint64_t>(12));
  EXPECT_FALSE(holds);
  // The text left out of memory: the copy that still holds it is saved from itself; one changed
  // since cannot be saved without it.
  const std::filesystem::path path = dir.path() / "manifest.json";
  EXPECT_TRUE(resaveFile(path, textSha256(saved)));
  EXPECT_FALSE(resaveFile(path, textSha256(saved + " ")));
  dir.write("manifest.json.new", "left by a kill");
  EXPECT_TRUE(resaveFile(path, textSha256(saved)));
  EXPECT_FALSE(dir.exists("manifest.json.new"));
  EXPECT_EQ(dir.read("manifest.json"), saved);
  dir.write("games.json", "{\"serial\": 7}");
  EXPECT_FALSE(savedCatalogueSerial(dir.path()).has_value()) << "not a valid catalogue";
}

}  // namespace
}  // namespace velm
