// games.json: the signed catalogue of supported games and of the newest launcher build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "text/text.h"

namespace velm {

// The catalogue's name on the server, beside its ".sig", and in the package folder.
inline constexpr char kCatalogueName[] = "games.json";

// The largest serial of a signed document, 2^53 - 1: every JSON reader holds it exactly.
inline constexpr uint64_t kMaxSerial = 9007199254740991;

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
  // The SHA-256 of the game's manifest.json as published; absent in older catalogues.
  std::optional<Sha256Digest> manifestSha256;
};

struct Catalogue {
  LauncherInfo launcher;
  std::vector<Game> games;
  // Grows with every publication; absent in older catalogues.
  std::optional<uint64_t> serial;
  // The time after which no launcher accepts this catalogue, as written (YYYY-MM-DDTHH:MM:SSZ),
  // and as seconds since 1970-01-01 UTC; empty and 0 when the catalogue does not expire.
  std::string expires;
  int64_t expiresAt = 0;
};

struct CatalogueResult {
  bool ok = false;
  std::string error;  // "PATH: MESSAGE", or "not valid JSON"
  Catalogue catalogue;
};

// Pure: validates the document and reports the first failure with its path.
CatalogueResult parseCatalogue(const std::string& text);

// The freshness rule of both signed documents: a serial once seen is never given up. True when
// serial is at least savedSerial, or no serial was saved; otherwise false with *detail set to
// "NAME serial N is older than M" or "NAME serial is missing; the saved copy has M", NAME being
// documentName.
[[nodiscard]] bool isNotOlder(const std::string& documentName, std::optional<uint64_t> serial,
                              std::optional<uint64_t> savedSerial, std::string* detail);

// A catalogue that passed validation is current when it is not older than the saved copy, whose
// serial is savedSerial, and has not expired by now (seconds since 1970 UTC). Otherwise false
// with *detail set to isNotOlder's text or "games.json expired on DATE".
[[nodiscard]] bool isCurrentCatalogue(const Catalogue& catalogue,
                                      std::optional<uint64_t> savedSerial, int64_t now,
                                      std::string* detail);

// Where every launcher built for host (a name with an optional :port) fetches its catalogue:
// "https://" + host + "/games.json".
std::string catalogueUrlForHost(const std::string& host);

}  // namespace velm
