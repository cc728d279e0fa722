#include "cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace velm {
namespace {

struct ToolRun {
  int code;
  std::string out;
  std::string err;
};

ToolRun run(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  int code = runPublishTool(arguments, out, err);
  return ToolRun{code, out.str(), err.str()};
}

std::string joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += argument + " ";
  return text;
}

const char kManifest[] =
    R"({"version": "1", "files": [{"name": "coop.exe", "size": 3,
    "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}]})";

TEST(Cli, EveryCommandHasHelp) {
  for (const char* command :
       {"keygen", "public-key", "manifest", "check", "sign", "verify", "publish"}) {
    ToolRun result = run({command, "--help"});
    EXPECT_EQ(result.code, 0) << command;
    EXPECT_EQ(result.out.find(std::string("usage: velm-publish ") + command), 0u) << command;
    EXPECT_EQ(result.err, "") << command;
  }
  ToolRun result = run({"--help"});
  EXPECT_EQ(result.code, 0);
  EXPECT_NE(result.out.find("Commands:"), std::string::npos);
}

TEST(Cli, WrongUsageExitsWithTwo) {
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  std::vector<Case> cases = {
      {{}, "usage: velm-publish COMMAND"},
      {{"frobnicate"}, "velm-publish: unknown command frobnicate (see velm-publish --help)\n"},
      {{"keygen"},
       "velm-publish keygen: needs a file or folder argument (see velm-publish keygen "
       "--help)\n"},
      {{"keygen", "a.pem", "b.pem"}, "velm-publish keygen: takes one file or folder argument"},
      {{"keygen", "--force", "a.pem"}, "velm-publish keygen: unknown option --force"},
      {{"manifest", "--launcher", "coop.exe", "pkg"},
       "velm-publish manifest: --version is required"},
      {{"manifest", "pkg", "--version"}, "velm-publish manifest: --version needs a value"},
      {{"sign", "x.json"}, "velm-publish sign: --key is required"},
      {{"verify", "x.json"}, "velm-publish verify: --launcher-key is required"},
      {{"publish", "--catalogue=g", "--host=h", "--key=k", "--launcher-key=x", "--package", "p",
        "-o", "out"},
       "velm-publish: --package takes ID=FOLDER, not p\n"},
      {{"publish", "--allow-test-build=yes", "--catalogue=g", "--host=h", "--key=k",
        "--launcher-key=x", "--package=a=b", "-o", "out"},
       "velm-publish publish: --allow-test-build takes no value"},
      {{"publish", "stray", "--catalogue=g", "--host=h", "--key=k", "--launcher-key=x",
        "--package=a=b", "-o", "out"},
       "velm-publish publish: takes no file or folder argument"},
  };
  // The serial's range, 1 to 2^53 - 1, and a sane expiry, before anything is read.
  const std::vector<std::string> publish = {
      "publish",          "--catalogue=g", "--host=h", "--key=k",
      "--launcher-key=x", "--package=a=b", "-o",       "out"};
  const char kSerialRange[] =
      "velm-publish: --serial takes a whole number from 1 to 9007199254740991, not ";
  const char kDaysRange[] =
      "velm-publish: --expires-in takes a whole number of days from 1 to 36500, not ";
  const std::vector<std::pair<std::string, std::string>> values = {
      {"--serial=0", kSerialRange + std::string("0\n")},
      {"--serial=9007199254740992", kSerialRange + std::string("9007199254740992\n")},
      {"--serial=9999999999999999999", kSerialRange + std::string("9999999999999999999\n")},
      {"--serial=18446744073709551617", kSerialRange + std::string("18446744073709551617\n")},
      {"--serial=-1", kSerialRange + std::string("-1\n")},
      {"--serial=+5", kSerialRange + std::string("+5\n")},
      {"--serial=", kSerialRange + std::string("\n")},
      {"--serial=1e3", kSerialRange + std::string("1e3\n")},
      {"--expires-in=0", kDaysRange + std::string("0\n")},
      {"--expires-in=36501", kDaysRange + std::string("36501\n")},
      {"--expires-in=7.5", kDaysRange + std::string("7.5\n")},
  };
  for (const auto& [value, message] : values) {
    std::vector<std::string> arguments = publish;
    arguments.push_back(value);
    cases.push_back({arguments, message});
  }
  for (const Case& c : cases) {
    ToolRun result = run(c.arguments);
    EXPECT_EQ(result.code, 2) << joined(c.arguments);
    EXPECT_EQ(result.err.find(c.err), 0u) << joined(c.arguments) << "\n  got: " << result.err;
  }
}

TEST(Cli, SignsOnlyWhatTheLauncherAccepts) {
  TempDir dir;
  const std::string key = (dir.path() / "key.pem").string();
  ToolRun made = run({"keygen", key});
  ASSERT_EQ(made.code, 0) << made.err;
  const std::string publicKey = made.out.substr(0, 64);
  ASSERT_EQ(made.out, publicKey + "\n");

  const std::string manifest = dir.write("m.json", kManifest).string();
  ToolRun signedOk = run({"sign", "--key", key, "--launcher-key", publicKey, manifest});
  ASSERT_EQ(signedOk.code, 0) << signedOk.err;
  EXPECT_EQ(dir.read("m.json.sig").size(), 129u);
  ToolRun verified = run({"verify", "--launcher-key", publicKey, manifest});
  EXPECT_EQ(verified.code, 0) << verified.err;
  // The digest from Python's hashlib over the bytes of kManifest.
  EXPECT_EQ(verified.out, manifest +
                              ": the signature matches\nserial: none\nsha256: "
                              "19ca567e39a348e76fdc391922c1067b8a331d2120481328064c823b0cb05136\n");

  struct Case {
    std::vector<std::string> extra;
    std::string document;
    std::string err;
  };
  const std::string other(64, '0');
  const std::vector<Case> cases = {
      {{"--launcher", "other.exe"},
       kManifest,
       ": the launcher would refuse this manifest: the manifest does not list other.exe as a "
       "required file\n"},
      {{}, R"({"games": []})", ": the launcher would refuse this catalogue: schema: missing\n"},
      {{"--as", "catalogue"},
       kManifest,
       ": the launcher would refuse this catalogue: schema: missing\n"},
      {{"--as", "games"}, kManifest, "velm-publish: --as takes catalogue or manifest, not games\n"},
      {{"--launcher-key", other},
       kManifest,
       ": not signed: the manifest: the signature does not match\n"},
      {{"--launcher-key", "abc"},
       kManifest,
       "velm-publish: --launcher-key: \"abc\" is not a public key of 64 hex digits\n"},
  };
  for (const Case& c : cases) {
    const std::string document = dir.write("doc.json", c.document).string();
    std::vector<std::string> arguments = {"sign", "--key", key, document};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    ToolRun result = run(arguments);
    EXPECT_EQ(result.code, 1) << joined(arguments);
    EXPECT_NE(result.err.find(c.err), std::string::npos)
        << joined(arguments) << "\n  got: " << result.err;
    EXPECT_FALSE(dir.exists("doc.json.sig")) << joined(arguments);
  }
}

// The whole command, as a team runs it before an upload.
TEST(Cli, CheckRefusesABuildAddressNoLauncherUses) {
  TempDir dir;
  const std::string catalogue = R"({"schema": 1, "launcher": {"version": "2.1.0",
      "url": "HTTPS://cdn.test/Velm%20Co-op.exe",
      "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "size": 3},
      "games": [{"id": "demo", "name": "Demo", "exe": "demo.exe", "steam_appid": 480,
      "manifest": "https://cdn.test/demo/manifest.json", "launcher": "coop.exe"}]})";
  const std::string path = dir.write("games.json", catalogue).string();
  ToolRun refused = run({"check", path});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "velm-publish: " + path +
                             ": the launcher would refuse this catalogue: self-update: the "
                             "server's launcher block is incomplete\n");

  std::string fixed = catalogue;
  fixed.replace(fixed.find("HTTPS://"), 8, "https://");
  dir.write("games.json", fixed);
  ToolRun accepted = run({"check", path});
  EXPECT_EQ(accepted.code, 0) << accepted.err;
  EXPECT_EQ(accepted.out, path +
                              ": the launcher accepts it\nserial: none\nexpires: never\n"
                              "game demo: manifest_sha256 none\n");
}

// A catalogue the launcher accepts, with extra top-level keys and extra keys for its two games.
std::string catalogueWith(const std::string& top, const std::string& first,
                          const std::string& second) {
  return R"({"schema": 1, )" + top + R"("launcher": {"version": "2.1.0",
      "url": "https://cdn.test/velm.exe",
      "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "size": 3},
      "games": [{"id": "demo", "name": "Demo", "exe": "demo.exe", "steam_appid": 480,
      "manifest": "https://cdn.test/demo/manifest.json", )" +
         first + R"("launcher": "coop.exe"},
      {"id": "other", "name": "Other", "exe": "other.exe", "steam_appid": 480,
      "manifest": "https://cdn.test/other/manifest.json", )" +
         second + R"("launcher": "coop.exe"}]})";
}

// What a team sees of the fields before an upload, after a check and after a signature check.
TEST(Cli, CheckAndVerifyShowTheFreshnessFields) {
  TempDir dir;
  const std::string key = (dir.path() / "key.pem").string();
  const std::string publicKey = run({"keygen", key}).out.substr(0, 64);
  const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
  struct Case {
    std::string name;
    std::string document;
    std::string lines;
  };
  const std::vector<Case> cases = {
      {"games.json",
       catalogueWith(R"("serial": 9007199254740991, "expires": "9999-12-31T23:59:59Z", )",
                     R"("manifest_sha256": ")" + upper + R"(", )", ""),
       "serial: 9007199254740991\nexpires: 9999-12-31T23:59:59Z\ngame demo: manifest_sha256 " +
           digest + "\ngame other: manifest_sha256 none\n"},
      {"games.json", catalogueWith("", "", ""),
       "serial: none\nexpires: never\ngame demo: manifest_sha256 none\n"
       "game other: manifest_sha256 none\n"},
      // The digest from Python's hashlib over these exact bytes.
      {"manifest.json",
       R"({"version": "1", "serial": 7, "files": [{"name": "coop.exe", "size": 3, )"
       R"("sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}]})",
       "serial: 7\nsha256: 383840074de604eac38bc11671092cf957e8edc6acfbf3c755ae737d1f898a97\n"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.write(c.name, c.document).string();
    ToolRun checked = run({"check", path});
    EXPECT_EQ(checked.code, 0) << checked.err;
    EXPECT_EQ(checked.out, path + ": the launcher accepts it\n" + c.lines);
    ASSERT_EQ(run({"sign", "--key", key, path}).code, 0) << path;
    ToolRun verified = run({"verify", "--launcher-key", publicKey, path});
    EXPECT_EQ(verified.code, 0) << verified.err;
    EXPECT_EQ(verified.out, path + ": the signature matches\n" + c.lines);
  }

  // Every launcher refuses an expired catalogue, so neither check nor sign lets one through.
  std::filesystem::remove(dir.path() / "games.json.sig");
  const std::string expired =
      dir.write("games.json", catalogueWith(R"("expires": "2000-01-01T00:00:00Z", )", "", ""))
          .string();
  ToolRun checked = run({"check", expired});
  EXPECT_EQ(checked.code, 1);
  EXPECT_EQ(checked.err, "velm-publish: " + expired +
                             ": the launcher would refuse this catalogue: games.json expired on "
                             "2000-01-01T00:00:00Z\n");
  EXPECT_EQ(run({"sign", "--key", key, expired}).code, 1);
  EXPECT_FALSE(dir.exists("games.json.sig"));
}

}  // namespace
}  // namespace velm
