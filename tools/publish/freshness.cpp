#include "freshness.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "failure.h"
#include "json_edit.h"
#include "net/sha256.h"
#include "package/manifest.h"
#include "site_tree.h"
#include "text/path_text.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

std::string serialText(const std::optional<uint64_t>& serial) {
  return serial ? decimalText(*serial) : std::string("none");
}

// The published file of url below the tree root, or false with *error.
bool treeFile(const std::string& root, const std::string& url, std::string& path,
              std::string* error) {
  std::string relative;
  if (!siteFilePath(url, relative, error)) return false;
  path = pathToUtf8(joinPath(pathFromUtf8(root), relative));
  return true;
}

// Through the launcher's own rule, so that the team reads the reason a player's launcher would
// give.
bool notOlder(const std::string& name, uint64_t serial, const std::optional<uint64_t>& before,
              const std::string& path, std::string* error) {
  std::string detail;
  if (isNotOlder(name, serial, before, &detail)) return true;
  return fail(error, "--previous: every launcher that saw " + path + " would refuse this tree (" +
                         detail + "); give --serial " + decimalText(*before) + " or higher");
}

}  // namespace

std::string stampManifest(const std::string& text, uint64_t serial) {
  std::string stamped = text;
  editJsonObject(stamped, [&](nlohmann::ordered_json& document) {
    setAfter(document, "version", "serial", serial);
  });
  return stamped;
}

std::string stampCatalogue(const std::string& text, uint64_t serial, const std::string& expires,
                           const std::map<std::string, Sha256Digest>& manifestDigests) {
  std::string stamped = text;
  editJsonObject(stamped, [&](nlohmann::ordered_json& document) {
    setAfter(document, "schema", "serial", serial);
    document.erase("expires");
    if (!expires.empty()) setAfter(document, "serial", "expires", expires);
    auto games = document.find("games");
    if (games == document.end() || !games->is_array()) return;
    for (nlohmann::ordered_json& game : *games) {
      if (!game.is_object()) continue;
      game.erase("manifest_sha256");
      auto id = game.find("id");
      if (id == game.end() || !id->is_string()) continue;
      auto digest = manifestDigests.find(id->get<std::string>());
      if (digest != manifestDigests.end()) {
        setAfter(game, "manifest", "manifest_sha256", sha256Hex(digest->second));
      }
    }
  });
  return stamped;
}

bool checkNotOlder(const std::string& previous, const std::string& host, const Catalogue& catalogue,
                   uint64_t serial, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(fs::u8path(previous), code)) {
    return fail(error, "--previous: " + previous + " is not a folder");
  }
  std::string cataloguePath, text, problem;
  if (!treeFile(previous, catalogueUrlForHost(host), cataloguePath, error)) return false;
  if (!fs::is_regular_file(fs::u8path(cataloguePath), code)) {
    return fail(error, "--previous: " + previous + " has no " + kCatalogueName + " for " + host +
                           " (" + cataloguePath + "): give the folder that publish -o wrote");
  }
  if (!readDocument(cataloguePath, text, error)) return false;
  const CatalogueResult before = parseCatalogue(text);
  if (!before.ok) return fail(error, "--previous: " + cataloguePath + ": " + before.error);
  if (!notOlder(kCatalogueName, serial, before.catalogue.serial, cataloguePath, error)) {
    return false;
  }

  // A launcher compares a manifest with the one it saved for the game, wherever that came from.
  for (const Game& game : catalogue.games) {
    const auto old = std::find_if(before.catalogue.games.begin(), before.catalogue.games.end(),
                                  [&](const Game& other) { return other.id == game.id; });
    if (old == before.catalogue.games.end()) continue;  // no launcher holds a manifest of it yet
    std::string manifestPath;
    Manifest manifest;
    if (!treeFile(previous, old->manifest, manifestPath, error)) return false;
    if (!readDocument(manifestPath, text, &problem)) return fail(error, "--previous: " + problem);
    if (!parseManifest(text, manifest, &problem)) {
      return fail(error, "--previous: " + manifestPath + ": " + problem);
    }
    if (!notOlder(kManifestName, serial, manifest.serial, manifestPath, error)) return false;
  }
  return true;
}

std::string describeFreshness(DocumentKind kind, const std::string& text) {
  if (kind == DocumentKind::Manifest) {
    Manifest manifest;
    if (!parseManifest(text, manifest, nullptr)) return std::string();
    return "serial: " + serialText(manifest.serial) + "\nsha256: " + sha256Hex(textSha256(text)) +
           "\n";
  }
  const CatalogueResult result = parseCatalogue(text);
  if (!result.ok) return std::string();
  const Catalogue& catalogue = result.catalogue;
  std::string lines = "serial: " + serialText(catalogue.serial) + "\nexpires: " +
                      (catalogue.expires.empty() ? std::string("never") : catalogue.expires) + "\n";
  for (const Game& game : catalogue.games) {
    lines += "game " + game.id + ": manifest_sha256 " +
             (game.manifestSha256 ? sha256Hex(*game.manifestSha256) : std::string("none")) + "\n";
  }
  return lines;
}

}  // namespace velm
