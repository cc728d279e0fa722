#include "catalogue/catalogue.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <utility>

#include "catalogue/file_name.h"
#include "net/url.h"
#include "text/ascii.h"
#include "text/json_document.h"
#include "text/text.h"

namespace velm {
namespace {

using Json = nlohmann::json;

constexpr size_t kMaxIdLength = 32;

// The validator's own failure, "path: message". It derives from nothing so that no handler
// for std::exception elsewhere can swallow it; parseCatalogue is the only place that catches it.
class Invalid {
 public:
  explicit Invalid(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

[[noreturn]] void fail(const std::string& path, const std::string& message) {
  throw Invalid(path + ": " + message);
}

std::string inQuotes(const std::string& value) { return "\"" + value + "\""; }

// nlohmann sorts a number with a minus sign into the signed kind (-0 included), and an integer
// out of both 64-bit ranges into the floating-point kind.
bool isSignedInteger(const Json& value) {
  return value.is_number_integer() && !value.is_number_unsigned();
}

std::string signedDecimal(int64_t value) {
  if (value >= 0) return decimalText(static_cast<uint64_t>(value));
  // Negate in unsigned arithmetic so that the smallest value has a magnitude too.
  return "-" + decimalText(uint64_t{0} - static_cast<uint64_t>(value));
}

const Json& requireField(const Json& object, const char* key, const std::string& path) {
  const auto found = object.find(key);
  if (found == object.end()) fail(path, "missing");
  return *found;
}

const Json* optionalField(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string stringValue(const Json& value, const std::string& path) {
  if (!value.is_string()) fail(path, "must be a string");
  return value.get<std::string>();
}

std::string readString(const Json& object, const char* key, const std::string& path) {
  return stringValue(requireField(object, key, path), path);
}

uint64_t integerValue(const Json& value, const std::string& path, uint64_t minimum) {
  const std::string tooSmall = "must be at least " + decimalText(minimum);
  if (isSignedInteger(value)) fail(path, tooSmall);
  if (!value.is_number_unsigned()) fail(path, "must be an integer");
  const uint64_t number = value.get<uint64_t>();
  if (number < minimum) fail(path, tooSmall);
  return number;
}

uint64_t readInteger(const Json& object, const char* key, const std::string& path,
                     uint64_t minimum) {
  return integerValue(requireField(object, key, path), path, minimum);
}

// The optional digest of a game's manifest, as the launcher's other digests are read.
std::optional<Sha256Digest> readManifestDigest(const Json& entry, const std::string& path) {
  const Json* value = optionalField(entry, "manifest_sha256");
  if (value == nullptr) return std::nullopt;
  Sha256Digest digest{};
  if (!parseSha256Hex(stringValue(*value, path), digest)) {
    fail(path, "must be exactly 64 hex digits");
  }
  return digest;
}

std::string readExeName(const Json& object, const char* key, const std::string& path) {
  const std::string name = readString(object, key, path);
  std::string reason;
  if (!isPlainFileName(name, &reason)) {
    fail(path, inQuotes(name) + " is not a plain file name (" + reason + ")");
  }
  if (!endsWithExe(name)) fail(path, inQuotes(name) + " does not end in .exe");
  return name;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// One run of digits from i whose value fits in 64 bits unsigned; leading zeros are allowed.
bool readUint64Run(const std::string& text, size_t& i) {
  const std::string_view digits = leadingDigits(std::string_view(text).substr(i));
  uint64_t value = 0;
  if (!parseDecimal(digits, UINT64_MAX, value)) return false;
  i += digits.size();
  return true;
}

bool isVersionTriple(const std::string& text) {
  size_t i = 0;
  for (int run = 0; run < 3; ++run) {
    if (run > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    if (!readUint64Run(text, i)) return false;
  }
  return i == text.size();
}

bool isGameId(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || isDigit(c) || c == '-')) return false;
  }
  return true;
}

void checkSchema(const Json& top) {
  const Json& schema = requireField(top, "schema", "schema");
  const std::string unknown = " is not a format this launcher knows (only 1)";
  if (isSignedInteger(schema)) fail("schema", signedDecimal(schema.get<int64_t>()) + unknown);
  if (!schema.is_number_unsigned()) fail("schema", "must be an integer");
  const uint64_t number = schema.get<uint64_t>();
  if (number != 1) fail("schema", decimalText(number) + unknown);
}

LauncherInfo readLauncher(const Json& top) {
  const Json& block = requireField(top, "launcher", "launcher");
  if (!block.is_object()) fail("launcher", "must be an object");
  LauncherInfo launcher;
  launcher.version = readString(block, "version", "launcher.version");
  if (!isVersionTriple(launcher.version)) {
    fail("launcher.version", inQuotes(launcher.version) + " is not MAJOR.MINOR.PATCH");
  }
  launcher.url = readString(block, "url", "launcher.url");
  if (!isAbsoluteHttpsUrl(launcher.url)) {
    fail("launcher.url", inQuotes(launcher.url) + " is not an absolute https:// URL");
  }
  if (!parseSha256Hex(readString(block, "sha256", "launcher.sha256"), launcher.sha256)) {
    fail("launcher.sha256", "must be exactly 64 hex digits");
  }
  launcher.size = readInteger(block, "size", "launcher.size", 1);
  return launcher;
}

// One entry of games, field by field; the duplicate checks across entries come after.
Game readGame(const Json& entry, const std::string& path) {
  if (!entry.is_object()) fail(path, "must be an object");
  Game game;
  game.id = readString(entry, "id", path + ".id");
  if (!isGameId(game.id)) {
    fail(path + ".id", inQuotes(game.id) + " must be 1-32 characters from a-z, 0-9 and -");
  }
  game.name = readString(entry, "name", path + ".name");
  if (game.name.empty()) fail(path + ".name", "is empty");
  game.exe = readExeName(entry, "exe", path + ".exe");
  game.steam_appid = readInteger(entry, "steam_appid", path + ".steam_appid", 0);
  game.manifest = readString(entry, "manifest", path + ".manifest");
  if (!isAbsoluteHttpsUrl(game.manifest)) {
    fail(path + ".manifest", inQuotes(game.manifest) + " is not an absolute https:// URL");
  }
  game.launcher = readExeName(entry, "launcher", path + ".launcher");
  game.manifestSha256 = readManifestDigest(entry, path + ".manifest_sha256");
  return game;
}

std::vector<Game> readGames(const Json& top) {
  const Json& list = requireField(top, "games", "games");
  if (!list.is_array()) fail("games", "must be an array");
  if (list.empty()) fail("games", "has no entries");
  std::vector<Game> games;
  std::set<std::string> seenIds;
  std::set<std::string> seenExes;  // lower-cased: Windows finds GAME.EXE and game.exe alike
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string path = "games[" + decimalText(static_cast<uint64_t>(i)) + "]";
    Game game = readGame(list[i], path);
    if (!seenIds.insert(game.id).second) fail(path + ".id", inQuotes(game.id) + " appears twice");
    if (!seenExes.insert(toLowerAscii(game.exe)).second) {
      fail(path + ".exe", inQuotes(game.exe) + " appears twice");
    }
    games.push_back(std::move(game));
  }
  return games;
}

Catalogue readCatalogue(const Json& top) {
  if (!top.is_object()) fail("(top level)", "must be an object");
  checkSchema(top);
  Catalogue catalogue;
  catalogue.launcher = readLauncher(top);
  catalogue.games = readGames(top);
  if (const Json* serial = optionalField(top, "serial")) {
    catalogue.serial = integerValue(*serial, "serial", 1);
    if (*catalogue.serial > kMaxSerial) {
      fail("serial", "must be at most " + decimalText(kMaxSerial));
    }
  }
  if (const Json* expires = optionalField(top, "expires")) {
    catalogue.expires = stringValue(*expires, "expires");
    if (!parseUtcTime(catalogue.expires, catalogue.expiresAt)) {
      fail("expires", inQuotes(catalogue.expires) + " is not a UTC time YYYY-MM-DDTHH:MM:SSZ");
    }
  }
  return catalogue;
}

}  // namespace

CatalogueResult parseCatalogue(const std::string& text) {
  CatalogueResult result;
  const Json document = parseJsonDocument(text);
  if (document.is_discarded()) {
    result.error = "not valid JSON";
    return result;
  }
  try {
    result.catalogue = readCatalogue(document);
  } catch (const Invalid& invalid) {
    result.catalogue = Catalogue{};
    result.error = invalid.text();
    return result;
  }
  result.ok = true;
  return result;
}

bool isNotOlder(const std::string& documentName, std::optional<uint64_t> serial,
                std::optional<uint64_t> savedSerial, std::string* detail) {
  if (!savedSerial || (serial && *serial >= *savedSerial)) return true;
  if (detail != nullptr) {
    *detail =
        documentName + " serial " +
        (serial ? decimalText(*serial) + " is older than " : "is missing; the saved copy has ") +
        decimalText(*savedSerial);
  }
  return false;
}

bool isCurrentCatalogue(const Catalogue& catalogue, std::optional<uint64_t> savedSerial,
                        int64_t now, std::string* detail) {
  if (!isNotOlder(kCatalogueName, catalogue.serial, savedSerial, detail)) return false;
  if (catalogue.expires.empty() || catalogue.expiresAt >= now) return true;
  if (detail != nullptr) *detail = std::string(kCatalogueName) + " expired on " + catalogue.expires;
  return false;
}

std::string catalogueUrlForHost(const std::string& host) {
  return "https://" + host + "/" + kCatalogueName;
}

}  // namespace velm
