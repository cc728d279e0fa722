// games.json: whatever the server sends, parseCatalogue either refuses it with one path-qualified
// error and an empty catalogue, or returns values that every later step may rely on.
#include "catalogue/catalogue.h"

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "catalogue/file_name.h"
#include "fuzz_check.h"
#include "net/url.h"
#include "text/ascii.h"

namespace velm {
namespace {

bool isGameId(const std::string& id) {
  if (id.empty() || id.size() > 32) return false;
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || fuzz::isDigit(c) || c == '-')) return false;
  }
  return true;
}

// The URL rule as the catalogue states it, checked apart from the validator's own code.
bool isCatalogueUrl(const std::string& url) {
  if (url.size() <= 8 || toLowerAscii(url.substr(0, 8)) != "https://") return false;
  for (char c : url) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte == 0x7F) return false;
  }
  return url[8] != '/' && url[8] != '?' && url[8] != '#';
}

// A name that the launcher joins to a folder and then finds, replaces or starts.
bool isExeName(const std::string& name) {
  std::string reason;
  return isPlainFileName(name, &reason) && endsWithExe(name);
}

bool isEmpty(const Catalogue& catalogue) {
  const LauncherInfo& l = catalogue.launcher;
  return l.version.empty() && l.url.empty() && l.sha256 == Sha256Digest{} && l.size == 0 &&
         catalogue.games.empty();
}

// Every error names where it is: "(top level)", "schema", "launcher[.field]", "games" or
// "games[i][.field]", then ": " and the message.
bool hasKnownPath(const std::string& error) {
  const size_t colon = error.find(": ");
  if (colon == std::string::npos || colon + 2 == error.size()) return false;
  const std::string path = error.substr(0, colon);
  if (path == "(top level)" || path == "schema" || path == "launcher" || path == "games") {
    return true;
  }
  static const std::set<std::string> kLauncherFields = {"version", "url", "sha256", "size"};
  static const std::set<std::string> kGameFields = {"id",          "name",     "exe",
                                                    "steam_appid", "manifest", "launcher"};
  if (path.rfind("launcher.", 0) == 0) return kLauncherFields.count(path.substr(9)) == 1;
  if (path.rfind("games[", 0) != 0) return false;
  size_t i = 6;
  while (i < path.size() && fuzz::isDigit(path[i])) ++i;
  if (i == 6 || i == path.size() || path[i] != ']') return false;
  if (i + 1 == path.size()) return true;
  return path[i + 1] == '.' && kGameFields.count(path.substr(i + 2)) == 1;
}

std::string serialise(const Catalogue& catalogue) {
  nlohmann::json games = nlohmann::json::array();
  for (const Game& game : catalogue.games) {
    games.push_back({{"id", game.id},
                     {"name", game.name},
                     {"exe", game.exe},
                     {"steam_appid", game.steam_appid},
                     {"manifest", game.manifest},
                     {"launcher", game.launcher}});
  }
  const LauncherInfo& l = catalogue.launcher;
  nlohmann::json document = {
      {"schema", 1},
      {"launcher",
       {{"version", l.version}, {"url", l.url}, {"sha256", sha256Hex(l.sha256)}, {"size", l.size}}},
      {"games", games}};
  return document.dump();
}

bool sameCatalogue(const Catalogue& a, const Catalogue& b) {
  const LauncherInfo& x = a.launcher;
  const LauncherInfo& y = b.launcher;
  if (x.version != y.version || x.url != y.url || x.sha256 != y.sha256 || x.size != y.size ||
      a.games.size() != b.games.size()) {
    return false;
  }
  for (size_t i = 0; i < a.games.size(); ++i) {
    const Game& g = a.games[i];
    const Game& h = b.games[i];
    if (g.id != h.id || g.name != h.name || g.exe != h.exe || g.steam_appid != h.steam_appid ||
        g.manifest != h.manifest || g.launcher != h.launcher) {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const CatalogueResult result = parseCatalogue(fuzz::text(data, size));

  if (!result.ok) {
    // One error and nothing half-parsed: entries read before the failure must not survive.
    VELM_FUZZ_CHECK(isEmpty(result.catalogue));
    VELM_FUZZ_CHECK(result.error == "not valid JSON" || hasKnownPath(result.error));
    return 0;
  }

  VELM_FUZZ_CHECK(result.error.empty());
  const LauncherInfo& launcher = result.catalogue.launcher;
  // The self-update reads these as they stand.
  VELM_FUZZ_CHECK(fuzz::isDottedDigits(launcher.version, 3));
  VELM_FUZZ_CHECK(isCatalogueUrl(launcher.url));
  VELM_FUZZ_CHECK(launcher.size >= 1);

  VELM_FUZZ_CHECK(!result.catalogue.games.empty());
  std::set<std::string> ids;
  std::set<std::string> exes;
  for (const Game& game : result.catalogue.games) {
    VELM_FUZZ_CHECK(isGameId(game.id));
    VELM_FUZZ_CHECK(ids.insert(game.id).second);
    VELM_FUZZ_CHECK(!game.name.empty());
    // exe and launcher are joined to local folders: they must be plain names, and the game
    // search finds an exe in any case, so two entries may not differ only in case.
    VELM_FUZZ_CHECK(isExeName(game.exe));
    VELM_FUZZ_CHECK(exes.insert(toLowerAscii(game.exe)).second);
    VELM_FUZZ_CHECK(isExeName(game.launcher));
    VELM_FUZZ_CHECK(isCatalogueUrl(game.manifest));
    // The package update applies its own, looser test to the same URL; an accepted game must
    // never fail there.
    VELM_FUZZ_CHECK(isHttpsUrl(game.manifest));
  }

  // Only the values count (unknown keys, key order, duplicates and spelling of numbers do not):
  // the accepted values written out plainly must be accepted again, unchanged.
  const CatalogueResult again = parseCatalogue(serialise(result.catalogue));
  VELM_FUZZ_CHECK(again.ok);
  VELM_FUZZ_CHECK(sameCatalogue(again.catalogue, result.catalogue));
  return 0;
}
