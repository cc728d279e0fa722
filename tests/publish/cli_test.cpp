#include "cli.h"

#include <gtest/gtest.h>

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
  const std::vector<Case> cases = {
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
      {{"publish", "stray", "--catalogue=g", "--host=h", "--key=k", "--launcher-key=x",
        "--package=a=b", "-o", "out"},
       "velm-publish publish: takes no file or folder argument"},
  };
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
  EXPECT_EQ(verified.out, manifest + ": the signature matches\n");

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
  EXPECT_EQ(accepted.out, path + ": the launcher accepts it\n");
}

}  // namespace
}  // namespace velm
