#include "publish.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "catalogue/file_name.h"
#include "documents.h"
#include "net/sha256.h"
#include "package/package_url.h"
#include "signing_key.h"
#include "site_tree.h"
#include "text/json_document.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

bool fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

std::string inFolder(const std::string& folder, const std::string& name) {
  return (fs::u8path(folder) / fs::u8path(name)).u8string();
}

// Puts the build's digest and size into the launcher block, keeping every other key in its
// place. A document the launcher cannot read is left alone for checkCatalogue to report.
void fillLauncherBlock(std::string& text, const Sha256Digest& sha256, uint64_t size) {
  if (parseJsonDocument(text).is_discarded()) return;
  nlohmann::ordered_json document = nlohmann::ordered_json::parse(text, nullptr, false, false);
  if (!document.is_object()) return;
  auto launcher = document.find("launcher");
  if (launcher == document.end() || !launcher->is_object()) return;
  (*launcher)["sha256"] = sha256Hex(sha256);
  (*launcher)["size"] = size;
  text = document.dump(2) + "\n";
}

// Adds a signed document and its ".sig" at the paths of url and its signature URL.
bool addSigned(SiteTree& tree, const SigningKey& key, const std::vector<TrustedKey>& keys,
               const std::string& url, const std::string& label, const std::string& document,
               const std::string& origin, std::string* error) {
  std::string path, sigPath, signature;
  return siteFilePath(url, path, error) && siteFilePath(signatureUrl(url), sigPath, error) &&
         signDocument(key, label, document, keys, signature, error) &&
         tree.addText(path, document, origin, error) &&
         tree.addText(sigPath, signature, "the signature of " + origin, error);
}

// The game's manifest, its signature and every file it lists, taken from the package folder.
bool addPackage(SiteTree& tree, const SigningKey& key, const std::vector<TrustedKey>& keys,
                const Game& game, const std::string& folder, std::string* error) {
  const std::string where = "game " + game.id + ": ";
  std::error_code code;
  if (!fs::is_directory(fs::u8path(folder), code)) {
    return fail(error, where + "the package folder " + folder + " is missing");
  }
  const std::string manifestPath = inFolder(folder, kManifestName);
  std::string text;
  if (!fs::exists(fs::u8path(manifestPath), code)) {
    return fail(error, where + manifestPath + " is missing (velm-publish manifest writes it)");
  }
  if (!readDocument(manifestPath, text, error)) return false;
  Manifest manifest;
  std::string problem = checkManifest(text, game.launcher, &manifest);
  if (!problem.empty()) {
    return fail(error, where + manifestPath + ": the launcher would refuse it: " + problem);
  }
  const std::string origin = "the manifest of game " + game.id;
  if (!addSigned(tree, key, keys, game.manifest, "the manifest", text, origin, error)) {
    return false;
  }
  for (const ManifestFile& file : manifest.files) {
    const std::string source = inFolder(folder, file.name);
    Sha256Digest digest;
    std::string path;
    uint64_t size = 0;
    if (!fileSha256(source, digest, size)) {
      const bool isLauncher = toLowerAscii(file.name) == toLowerAscii(game.launcher);
      return fail(error, where + (isLauncher ? "its co-op launcher " : "") + source +
                             " is missing or unreadable");
    }
    if (size != file.size || digest != file.sha256) {
      return fail(error, where + source + " does not match " + manifestPath +
                             " (run velm-publish manifest again)");
    }
    if (!siteFilePath(fileUrl(game.manifest, file.name), path, error) ||
        !tree.addCopy(path, source, digest, size, file.name + " of game " + game.id, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool publishSite(const PublishRequest& request, std::string* error) {
  SigningKey key;
  if (!SigningKey::load(request.key, key, error)) return false;
  if (request.launcherKeys.empty()) {
    return fail(error, "give the keys of the shipped launcher with --launcher-key");
  }
  const TrustedKey publicKey = key.publicKey();
  if (std::find(request.launcherKeys.begin(), request.launcherKeys.end(), publicKey) ==
      request.launcherKeys.end()) {
    return fail(error, request.key + " (public key " + publicKeyHex(publicKey) +
                           ") is not one of the launcher's keys: players would refuse "
                           "everything it signs");
  }

  std::string catalogueText;
  if (!readDocument(request.catalogue, catalogueText, error)) return false;
  Sha256Digest buildDigest{};
  uint64_t buildSize = 0;
  if (!request.launcherBuild.empty()) {
    if (!fileSha256(request.launcherBuild, buildDigest, buildSize)) {
      return fail(error,
                  "the launcher build " + request.launcherBuild + " is missing or unreadable");
    }
    fillLauncherBlock(catalogueText, buildDigest, buildSize);
  }
  Catalogue catalogue;
  std::string problem = checkCatalogue(catalogueText, &catalogue);
  if (!problem.empty()) {
    return fail(error, request.catalogue + ": the launcher would refuse it: " + problem);
  }

  std::map<std::string, std::string> folders;
  for (const auto& [id, folder] : request.packages) {
    const bool known = std::any_of(catalogue.games.begin(), catalogue.games.end(),
                                   [&](const Game& game) { return game.id == id; });
    if (!known) return fail(error, "--package " + id + ": the catalogue has no game " + id);
    if (!folders.emplace(id, folder).second) {
      return fail(error, "--package " + id + " is given twice");
    }
  }

  // The launcher builds its catalogue URL from a bare host, so a path here would publish the
  // catalogue where no launcher looks.
  if (request.host.empty() || request.host.find_first_of("/?#@") != std::string::npos) {
    return fail(error, "--host takes a host with an optional :port, as VELM_CATALOGUE_HOST, not " +
                           request.host);
  }
  SiteTree tree;
  if (!addSigned(tree, key, request.launcherKeys, catalogueUrlForHost(request.host),
                 kCatalogueName, catalogueText, kCatalogueName, error)) {
    return false;
  }
  if (!request.launcherBuild.empty()) {
    std::string path;
    if (!siteFilePath(catalogue.launcher.url, path, error) ||
        !tree.addCopy(path, request.launcherBuild, buildDigest, buildSize, "the launcher build",
                      error)) {
      return false;
    }
  }
  for (const Game& game : catalogue.games) {
    auto folder = folders.find(game.id);
    if (folder == folders.end()) {
      return fail(error,
                  "game " + game.id + ": no package folder (--package " + game.id + "=FOLDER)");
    }
    if (!addPackage(tree, key, request.launcherKeys, game, folder->second, error)) return false;
  }
  return tree.write(request.out, error);
}

}  // namespace velm
