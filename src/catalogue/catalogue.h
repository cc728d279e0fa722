// games.json: the signed catalogue of supported games and of the newest launcher build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "text/text.h"

namespace velm {

// The catalogue's name on the server, beside its ".sig", and in the package folder.
inline constexpr char kCatalogueName[] = "games.json";

struct LauncherInfo {
  std::string version;  // MAJOR.MINOR.PATCH as written
  std::string url;      // absolute https URL of the build
  Sha256Digest sha256{};
  uint64_t size = 0;
};

struct Game {
  std::string id;
  std::string name;
  std::string exe;
  uint64_t steam_appid = 0;
  std::string manifest;
  std::string launcher;
};

struct Catalogue {
  LauncherInfo launcher;
  std::vector<Game> games;
};

struct CatalogueResult {
  bool ok = false;
  std::string error;  // "PATH: MESSAGE", or "not valid JSON"
  Catalogue catalogue;
};

// Pure: validates the document and reports the first failure with its path.
CatalogueResult parseCatalogue(const std::string& text);

// Where every launcher built for host (a name with an optional :port) fetches its catalogue:
// "https://" + host + "/games.json".
std::string catalogueUrlForHost(const std::string& host);

// Longer than 8 bytes, "https://" in any case, no blank, control or DEL byte, and neither '/',
// '?' nor '#' right after the scheme.
bool isAbsoluteHttpsUrl(const std::string& text);

}  // namespace velm
