#include "support/fixtures.h"

#include <nlohmann/json.hpp>

#include "net/sha256.h"
#include "net/url.h"
#include "support/test_signer.h"

namespace velm {

const std::array<uint8_t, 32>& trustedSeed() {
  static const std::array<uint8_t, 32> seed = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                               12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                               23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  return seed;
}

const std::array<uint8_t, 32>& untrustedSeed() {
  static const std::array<uint8_t, 32> seed = {99, 98, 97, 96, 95, 94, 93, 92, 91, 90, 89,
                                               88, 87, 86, 85, 84, 83, 82, 81, 80, 79, 78,
                                               77, 76, 75, 74, 73, 72, 71, 70, 69, 68};
  return seed;
}

TrustedKey trustedTestKey() { return testPublicKey(trustedSeed()); }

Game testGame(const std::string& id, const std::string& exe, const std::string& launcher,
              uint64_t steamAppId) {
  Game game;
  game.id = id;
  game.name = "Game " + id;
  game.exe = exe;
  game.steam_appid = steamAppId;
  game.manifest = "https://cdn.test/" + id + "/manifest.json";
  game.launcher = launcher;
  return game;
}

LauncherInfo testLauncherInfo(const std::string& version) {
  LauncherInfo launcher;
  launcher.version = version;
  launcher.url = "https://cdn.test/launcher/Velm%20Co-op.exe";
  launcher.sha256.fill(0xaa);
  launcher.size = 1000;
  return launcher;
}

std::string catalogueJson(const Catalogue& catalogue) {
  nlohmann::ordered_json document;
  document["schema"] = 1;
  if (catalogue.serial) document["serial"] = *catalogue.serial;
  if (!catalogue.expires.empty()) document["expires"] = catalogue.expires;
  const LauncherInfo& launcher = catalogue.launcher;
  document["launcher"] = {{"version", launcher.version},
                          {"url", launcher.url},
                          {"sha256", sha256Hex(launcher.sha256)},
                          {"size", launcher.size}};
  document["games"] = nlohmann::ordered_json::array();
  for (const Game& game : catalogue.games) {
    nlohmann::ordered_json entry = {{"id", game.id},
                                    {"name", game.name},
                                    {"exe", game.exe},
                                    {"steam_appid", game.steam_appid},
                                    {"manifest", game.manifest},
                                    {"launcher", game.launcher}};
    if (game.manifestSha256) entry["manifest_sha256"] = sha256Hex(*game.manifestSha256);
    document["games"].push_back(entry);
  }
  return document.dump(2) + "\n";
}

std::string catalogueJson(const std::vector<Game>& games, const LauncherInfo& launcher) {
  Catalogue catalogue;
  catalogue.games = games;
  catalogue.launcher = launcher;
  return catalogueJson(catalogue);
}

Sha256Digest sha256Of(const std::string& content) { return textSha256(content); }

void serveSigned(FakeNet& net, const std::string& url, const std::string& document,
                 const std::array<uint8_t, 32>& seed) {
  net.serve(url, document);
  net.serve(signatureUrl(url), testSignatureHex(seed, document) + "\n");
}

}  // namespace velm
