#include "documents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "net/net.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

const std::string kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string catalogueWithVersion(const std::string& version) {
  return R"({"schema": 1, "launcher": {"version": ")" + version +
         R"(", "url": "https://cdn.test/velm.exe", "sha256": ")" + kAbcSha256 +
         R"(", "size": 3}, "games": [{"id": "demo", "name": "Demo", "exe": "demo.exe",
         "steam_appid": 480, "manifest": "https://cdn.test/demo/manifest.json",
         "launcher": "coop.exe"}]})";
}

// A valid catalogue but for the build's and the game manifest's addresses.
std::string catalogueWithUrls(const std::string& buildUrl, const std::string& manifestUrl) {
  std::string text = catalogueWithVersion("2.1.0");
  text.replace(text.find("https://cdn.test/velm.exe"), 25, buildUrl);
  text.replace(text.find("https://cdn.test/demo/manifest.json"), 35, manifestUrl);
  return text;
}

std::string manifestWith(const std::string& entries) {
  return R"({"version": "1", "files": [)" + entries + "]}";
}

std::string entry(const std::string& name, bool required = true) {
  return R"({"name": ")" + name + R"(", "size": 3, "sha256": ")" + kAbcSha256 + "\"" +
         (required ? "" : ", \"required\": false") + "}";
}

TEST(Documents, GuessesTheKind) {
  struct Case {
    std::string name;
    std::string text;
    DocumentKind kind;
  };
  const std::vector<Case> cases = {
      {"games.json", "not even JSON", DocumentKind::Catalogue},
      {"out/games.json", "{}", DocumentKind::Catalogue},
      {"draft.json", R"({"games": []})", DocumentKind::Catalogue},
      {"manifest.json", R"({"games": []})", DocumentKind::Catalogue},
      {"manifest.json", R"({"files": []})", DocumentKind::Manifest},
      {"games.json.bak", R"([{"games": 1}])", DocumentKind::Manifest},
      {"x.json", "", DocumentKind::Manifest},
  };
  for (const Case& c : cases) EXPECT_EQ(guessDocumentKind(c.name, c.text), c.kind) << c.name;
}

TEST(Documents, ChecksCataloguesWithTheLaunchersTexts) {
  Catalogue catalogue;
  EXPECT_EQ(checkCatalogue(catalogueWithVersion("2.1.0"), &catalogue), "");
  ASSERT_EQ(catalogue.games.size(), 1u);
  EXPECT_EQ(catalogue.games[0].launcher, "coop.exe");

  struct Case {
    std::string text;
    std::string problem;
  };
  std::string noExe = catalogueWithVersion("2.1.0");
  noExe.replace(noExe.find("demo.exe"), 8, "demo.bat");
  const std::vector<Case> cases = {
      {"", "not valid JSON"},
      {"[]", "(top level): must be an object"},
      {noExe, "games[0].exe: \"demo.bat\" does not end in .exe"},
      {catalogueWithVersion("1.2"), "launcher.version: \"1.2\" is not MAJOR.MINOR.PATCH"},
      // Valid for the catalogue, but the self-update cannot read it: every player would see
      // this warning on every start.
      {catalogueWithVersion("2.1.2147483648"),
       "self-update: the server's launcher version \"2.1.2147483648\" is not MAJOR.MINOR.PATCH"},
      {catalogueWithVersion("2.1.0") + std::string(kMaxTextBody, ' '),
       "the document is larger than the launcher reads (16777216 bytes)"},
  };
  for (const Case& c : cases) EXPECT_EQ(checkCatalogue(c.text, nullptr), c.problem) << c.problem;
}

// Documents that check accepted while a launcher refused them: the catalogue validator is
// looser than the self-update and than the HTTP clients, and the manifest's names were judged
// by the rule of the platform velm-publish runs on. Each now fails with the launcher's reason.
TEST(Documents, RefusesWhatAnyLauncherRefuses) {
  struct Case {
    std::string text;
    std::string problem;
  };
  const std::string manifestUrl = "https://cdn.test/demo/manifest.json";
  const std::string buildUrl = "https://cdn.test/velm.exe";
  const std::string incomplete = "self-update: the server's launcher block is incomplete";
  const std::vector<Case> catalogues = {
      {catalogueWithUrls("HTTPS://cdn.test/velm.exe", manifestUrl), incomplete},
      {catalogueWithUrls("Https://cdn.test/velm.exe", manifestUrl), incomplete},
      {catalogueWithUrls("https://:443/velm.exe", manifestUrl),
       "self-update: not an https URL: https://:443/velm.exe"},
      {catalogueWithUrls("https://user@/velm.exe", manifestUrl),
       "self-update: not an https URL: https://user@/velm.exe"},
      {catalogueWithUrls("https://cdn.test:65536/velm.exe", manifestUrl),
       "self-update: not an https URL: https://cdn.test:65536/velm.exe"},
      {catalogueWithUrls("https://cdn<test>/velm.exe", manifestUrl),
       "self-update: not an https URL: https://cdn<test>/velm.exe"},
      {catalogueWithUrls("https://[zz]/velm.exe", manifestUrl),
       "self-update: not an https URL: https://[zz]/velm.exe"},
      {catalogueWithUrls(buildUrl, "https://:8443/demo/manifest.json"),
       "games[0].manifest: \"https://:8443/demo/manifest.json\" names no host and port that a "
       "launcher can ask"},
      {catalogueWithUrls(buildUrl, "https://cdn.test:443x/demo/manifest.json"),
       "games[0].manifest: \"https://cdn.test:443x/demo/manifest.json\" names no host and port "
       "that a launcher can ask"},
      {catalogueWithUrls(buildUrl, "https://cdn^test/demo/manifest.json"),
       "games[0].manifest: \"https://cdn^test/demo/manifest.json\" names no host and port that "
       "a launcher can ask"},
      // Still accepted: every launcher reads a manifest URL's scheme in any case.
      {catalogueWithUrls(buildUrl, "HTTPS://cdn.test/demo/manifest.json"), ""},
  };
  for (const Case& c : catalogues) EXPECT_EQ(checkCatalogue(c.text, nullptr), c.problem) << c.text;

  // The Windows launcher takes names that differ in any letter's case for one file.
  const std::vector<Case> manifests = {
      {manifestWith(entry("\xC3\x84.dll") + "," + entry("\xC3\xA4.dll")),
       "file name \"\xC3\xA4.dll\" is listed twice"},
      {manifestWith(entry("\xCE\xA3.dat") + "," + entry("\xCF\x83.dat")),
       "file name \"\xCF\x83.dat\" is listed twice"},
      {manifestWith(entry("\xC3\x84.dll") + "," + entry("\xC3\xA4.DLL.NEW")),
       "file name \"\xC3\xA4.DLL.NEW\" collides with the temporary file of \"\xC3\x84.dll\""},
      {manifestWith(entry("\xC3\x84.dll") + "," + entry("A.dll")), ""},
  };
  for (const Case& c : manifests)
    EXPECT_EQ(checkManifest(c.text, "", nullptr), c.problem) << c.text;
}

TEST(Documents, ChecksManifestsWithTheLaunchersTexts) {
  Manifest manifest;
  EXPECT_EQ(checkManifest(manifestWith(entry("coop.exe")), "COOP.EXE", &manifest), "");
  EXPECT_EQ(manifest.files.size(), 1u);

  struct Case {
    std::string text;
    std::string launcher;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"{", "", "the manifest is not JSON"},
      {manifestWith(entry("a/b")), "", "rejected file name \"a/b\": it contains /"},
      {manifestWith(entry("coop.exe", false)), "coop.exe",
       "the manifest does not list coop.exe as a required file"},
      {manifestWith(entry("a.dll")), "coop.exe",
       "the manifest does not list coop.exe as a required file"},
      {manifestWith(entry("games.json")), "",
       "file name \"games.json\" is reserved for the launcher's saved copies"},
      {manifestWith(entry("a.dll") + "," + entry("A.DLL.new")), "",
       "file name \"A.DLL.new\" collides with the temporary file of \"a.dll\""},
      {manifestWith(entry("a.dll") + std::string(kMaxTextBody, ' ')), "",
       "the document is larger than the launcher reads (16777216 bytes)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checkManifest(c.text, c.launcher, nullptr), c.problem) << c.text.substr(0, 80);
  }
}

TEST(Documents, WritesTheDocumentedLayout) {
  Sha256Digest abc;
  ASSERT_TRUE(parseSha256Hex(kAbcSha256, abc));
  Manifest manifest;
  manifest.version = "1.2.3";
  manifest.files = {{"coop.exe", 3, abc, true, {}, {}},
                    {"b\xC3\xBC"
                     "cher.dll",
                     1,
                     abc,
                     false,
                     {},
                     {}}};
  EXPECT_EQ(manifestJson(manifest),
            "{\n"
            "  \"version\": \"1.2.3\",\n"
            "  \"files\": [\n"
            "    {\n"
            "      \"name\": \"coop.exe\",\n"
            "      \"size\": 3,\n"
            "      \"sha256\": \"" +
                kAbcSha256 +
                "\"\n"
                "    },\n"
                "    {\n"
                "      \"name\": \"b\xC3\xBC"
                "cher.dll\",\n"
                "      \"size\": 1,\n"
                "      \"sha256\": \"" +
                kAbcSha256 +
                "\",\n"
                "      \"required\": false\n"
                "    }\n"
                "  ]\n"
                "}\n");
  // The serial beside the version it grows with, before the list.
  manifest.serial = 9007199254740991;
  EXPECT_EQ(
      manifestJson(manifest).substr(0, 73),
      "{\n  \"version\": \"1.2.3\",\n  \"serial\": 9007199254740991,\n  \"files\": [\n    {\n");
}

class BuildManifest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("pkg/coop.exe", "abc");
    dir_.write("pkg/data.pak", "data");
  }
  ManifestRequest request() const {
    return ManifestRequest{(dir_.path() / "pkg").string(), "1.0.0", "coop.exe", {}, {}};
  }
  std::string folder() const { return (dir_.path() / "pkg").string(); }
  TempDir dir_;
};

TEST_F(BuildManifest, ListsEveryFileWithItsSizeAndDigest) {
  dir_.write("pkg/manifest.json", "an older manifest");
  dir_.write("pkg/manifest.json.sig", "its signature");
  ManifestRequest wanted = request();
  wanted.optional = {"data.pak"};
  wanted.ignored = {"manifest.json", "manifest.json.sig"};
  std::string text, error;
  ASSERT_TRUE(buildManifest(wanted, text, &error)) << error;
  Manifest manifest;
  ASSERT_TRUE(parseManifest(text, manifest, &error)) << error;
  EXPECT_EQ(manifest.version, "1.0.0");
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[0].name, "coop.exe");
  EXPECT_EQ(manifest.files[0].size, 3u);
  EXPECT_EQ(sha256Hex(manifest.files[0].sha256), kAbcSha256);
  EXPECT_TRUE(manifest.files[0].required);
  EXPECT_EQ(manifest.files[1].name, "data.pak");
  EXPECT_EQ(manifest.files[1].size, 4u);
  EXPECT_FALSE(manifest.files[1].required);
}

TEST_F(BuildManifest, RefusesWhatTheLauncherWouldRefuse) {
  struct Case {
    std::string extraFile;  // written into the folder first; empty for none
    std::string version;
    std::string launcher;
    std::vector<std::string> optional;
    std::string error;  // {} stands for the folder
  };
  const std::vector<Case> cases = {
      {"a:b", "1", "coop.exe", {}, "rejected file name \"a:b\": it contains :"},
      {"CON.txt", "1", "coop.exe", {}, "rejected file name \"CON.txt\": it is a Windows reserved"},
      {"ends.", "1", "coop.exe", {}, "rejected file name \"ends.\": it ends with ."},
      {"COOP.EXE", "1", "coop.exe", {}, "file name \"coop.exe\" is listed twice"},
      {"data.pak.new", "1", "coop.exe", {}, "collides with the temporary file of \"data.pak\""},
      {"manifest.json", "1", "coop.exe", {}, "is reserved for the launcher's saved copies"},
      {"", "1.2", "coop.exe", {}, "\"version\" is neither N nor X.Y.Z: 1.2"},
      {"", "v1", "coop.exe", {}, "\"version\" is neither N nor X.Y.Z: v1"},
      {"", "1", "coop.exe", {"coop.exe"}, "the manifest does not list coop.exe as a required file"},
      {"", "1", "other.exe", {}, "{} has no other.exe (the co-op launcher)"},
      {"", "1", "coop.exe", {"missing.dll"}, "--optional missing.dll: {} has no such file"},
  };
  for (const Case& c : cases) {
    if (!c.extraFile.empty()) dir_.write("pkg/" + c.extraFile, "x");
    ManifestRequest wanted = request();
    wanted.version = c.version;
    wanted.launcher = c.launcher;
    wanted.optional = c.optional;
    std::string text = "untouched", error;
    EXPECT_FALSE(buildManifest(wanted, text, &error)) << c.error;
    std::string expected = c.error;
    if (expected.compare(0, 2, "{}") == 0) expected.replace(0, 2, folder());
    if (expected.find("--optional") == 0) expected.replace(expected.find("{}"), 2, folder());
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_EQ(text, "untouched");
    if (!c.extraFile.empty()) std::filesystem::remove(dir_.path() / "pkg" / c.extraFile);
  }
}

TEST_F(BuildManifest, RefusesFoldersEmptyFilesAndNamesThatAreNotUtf8) {
  struct Case {
    std::string setUp;  // what is added to the package folder
    std::string error;
  };
  const std::vector<Case> cases = {
      {"folder", "sub is a folder: a package holds files only"},
      {"empty", "empty.dat: \"size\" is less than 1"},
      {"latin1", "the name is not UTF-8"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.write("pkg/coop.exe", "abc");
    if (c.setUp == "folder") dir.write("pkg/sub/inner.txt", "x");
    if (c.setUp == "empty") dir.write("pkg/empty.dat", "");
    if (c.setUp == "latin1")
      dir.write(
          "pkg/b\xFC"
          "cher.dll",
          "x");
    ManifestRequest wanted{(dir.path() / "pkg").string(), "1", "coop.exe", {}, {}};
    std::string text, error;
    EXPECT_FALSE(buildManifest(wanted, text, &error)) << c.setUp;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.setUp << ": " << error;
  }
  std::string text, error;
  ManifestRequest missing{(dir_.path() / "nowhere").string(), "1", "coop.exe", {}, {}};
  EXPECT_FALSE(buildManifest(missing, text, &error));
  EXPECT_EQ(error, missing.folder + " is not a folder");
}

}  // namespace
}  // namespace velm
