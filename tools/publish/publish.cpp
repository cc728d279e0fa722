#include "publish.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "catalogue/file_name.h"
#include "documents.h"
#include "failure.h"
#include "freshness.h"
#include "json_edit.h"
#include "launcher_build.h"
#include "net/sha256.h"
#include "net/url.h"
#include "os/name_compare.h"
#include "package/chunk_index.h"
#include "package/package_update.h"
#include "signing_key.h"
#include "site_tree.h"
#include "text/ascii.h"
#include "text/path_text.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

// Puts the build's digest and size into the launcher block, keeping every other key in its
// place. A document the launcher cannot read is left alone for checkCatalogue to report.
void fillLauncherBlock(std::string& text, const Sha256Digest& sha256, uint64_t size) {
  editJsonObject(text, [&](nlohmann::ordered_json& document) {
    auto launcher = document.find("launcher");
    if (launcher == document.end() || !launcher->is_object()) return;
    (*launcher)["sha256"] = sha256Hex(sha256);
    (*launcher)["size"] = size;
  });
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

// A game's package as it will be published.
struct Package {
  fs::path folder;
  std::string manifestPath;  // in the folder, as the team keeps it
  std::string manifestText;  // as published: with this publication's serial and chunk indexes
  Manifest manifest;
  std::map<std::string, std::string> chunkIndexes;  // by file name, the bytes published
};

// Cuts each large file of the package into chunks and names its index in the manifest's entry,
// so that a launcher fetches only the chunks it lacks. The "chunks" keys are the tool's: what the
// team wrote there is replaced, and small files get none.
bool stampChunkIndexes(const std::string& where, Package& package, std::string* error) {
  std::map<std::string, ChunkIndexRef> refs;
  for (const ManifestFile& file : package.manifest.files) {
    if (file.size < kChunkIndexFrom) continue;
    const fs::path sourcePath = joinPath(package.folder, file.name);
    ChunkingHasher hasher;
    uint64_t size = 0;
    const bool read = readFilePieces(
        sourcePath, [&](const char* data, size_t length) { hasher.update(data, length); }, size);
    if (!read || hasher.finish() != file.sha256 || size != file.size) {
      return fail(error, where + pathToUtf8(sourcePath) + " does not match " +
                             package.manifestPath + " (run velm-publish manifest again)");
    }
    ChunkIndexRef ref{chunkIndexName(file.name)};
    for (const ManifestFile& other : package.manifest.files) {
      if (sameFileNameOnWindows(other.name, ref.name)) {
        return fail(error, where + "the package file " + other.name +
                               " has the name of the chunk index of " + file.name);
      }
    }
    std::string bytes = chunkIndexBytes(hasher.chunks(), size);
    ref.size = bytes.size();
    ref.sha256 = textSha256(bytes);
    refs.emplace(file.name, std::move(ref));
    package.chunkIndexes.emplace(file.name, std::move(bytes));
  }
  editJsonObject(package.manifestText, [&](nlohmann::ordered_json& document) {
    auto files = document.find("files");
    if (files == document.end() || !files->is_array()) return;
    for (nlohmann::ordered_json& entry : *files) {
      if (!entry.is_object()) continue;
      entry.erase("chunks");
      auto name = entry.find("name");
      if (name == entry.end() || !name->is_string()) continue;
      auto ref = refs.find(name->get<std::string>());
      if (ref == refs.end()) continue;
      nlohmann::ordered_json chunks;
      chunks["name"] = ref->second.name;
      chunks["size"] = ref->second.size;
      chunks["sha256"] = sha256Hex(ref->second.sha256);
      entry["chunks"] = std::move(chunks);
    }
  });
  return true;
}

// Reads the game's manifest from its package folder and gives it the serial.
bool readPackage(const Game& game, const std::string& folder, uint64_t serial, Package& package,
                 std::string* error) {
  const std::string where = "game " + game.id + ": ";
  std::error_code code;
  if (!fs::is_directory(fs::u8path(folder), code)) {
    return fail(error, where + "the package folder " + folder + " is missing");
  }
  package.folder = pathFromUtf8(folder);
  package.manifestPath = pathToUtf8(joinPath(package.folder, kManifestName));
  std::string text;
  if (!fs::exists(fs::u8path(package.manifestPath), code)) {
    return fail(error,
                where + package.manifestPath + " is missing (velm-publish manifest writes it)");
  }
  if (!readDocument(package.manifestPath, text, error)) return false;
  // Checked as published, so that the serial and the new layout are checked too.
  package.manifestText = stampManifest(text, serial);
  // The team's own "chunks" keys are replaced before anything judges them.
  std::string problem =
      checkManifest(package.manifestText, game.launcher, &package.manifest, ChunkFields::Replaced);
  if (problem.empty()) {
    if (!stampChunkIndexes(where, package, error)) return false;
    problem = checkManifest(package.manifestText, game.launcher, &package.manifest);
  }
  if (!problem.empty()) {
    return fail(error, where + package.manifestPath + ": the launcher would refuse it: " + problem);
  }
  return true;
}

// The game's manifest, its signature and every file it lists, taken from the package folder.
bool addPackage(SiteTree& tree, const SigningKey& key, const std::vector<TrustedKey>& keys,
                const Game& game, const Package& package, std::string* error) {
  const std::string where = "game " + game.id + ": ";
  const std::string origin = "the manifest of game " + game.id;
  if (!addSigned(tree, key, keys, game.manifest, "the manifest", package.manifestText, origin,
                 error)) {
    return false;
  }
  for (const ManifestFile& file : package.manifest.files) {
    const fs::path sourcePath = joinPath(package.folder, file.name);
    const std::string source = pathToUtf8(sourcePath);
    Sha256Digest digest;
    std::string path;
    uint64_t size = 0;
    if (!fileSha256(sourcePath, digest, size)) {
      const bool isLauncher = toLowerAscii(file.name) == toLowerAscii(game.launcher);
      return fail(error, where + (isLauncher ? "its co-op launcher " : "") + source +
                             " is missing or unreadable");
    }
    if (size != file.size || digest != file.sha256) {
      return fail(error, where + source + " does not match " + package.manifestPath +
                             " (run velm-publish manifest again)");
    }
    if (!siteFilePath(fileUrl(game.manifest, file.name), path, error) ||
        !tree.addCopy(path, source, digest, size, file.name + " of game " + game.id, error)) {
      return false;
    }
    if (!file.chunks) continue;
    if (!siteFilePath(fileUrl(game.manifest, file.chunks->name), path, error) ||
        !tree.addText(path, package.chunkIndexes.at(file.name),
                      "the chunk index of " + file.name + " of game " + game.id, error)) {
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

  // The launcher builds its catalogue URL from a bare host, so a path here would publish the
  // catalogue where no launcher looks.
  if (request.host.empty() || request.host.find_first_of("/?#@") != std::string::npos) {
    return fail(error, "--host takes a host with an optional :port, as VELM_CATALOGUE_HOST, not " +
                           request.host);
  }

  std::string catalogueText;
  if (!readDocument(request.catalogue, catalogueText, error)) return false;
  // Whatever the team wrote in the tool's fields plays no part, not even in the first check.
  catalogueText = stampCatalogue(catalogueText, request.serial, request.expires, {});
  Sha256Digest buildDigest{};
  uint64_t buildSize = 0;
  if (!request.launcherBuild.empty()) {
    if (!checkLauncherBuild(request.launcherBuild, request.allowTestBuild, error) ||
        !checkBuildTrusts(request.launcherBuild, publicKey, request.key, request.host, error)) {
      return false;
    }
    if (!fileSha256(pathFromUtf8(request.launcherBuild), buildDigest, buildSize)) {
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

  if (!request.previous.empty() &&
      !checkNotOlder(request.previous, request.host, catalogue, request.serial, error)) {
    return false;
  }

  // The manifests first: the catalogue names the digest of each as published.
  std::vector<Package> packages(catalogue.games.size());
  std::map<std::string, Sha256Digest> manifestDigests;
  for (size_t i = 0; i < catalogue.games.size(); ++i) {
    const Game& game = catalogue.games[i];
    auto folder = folders.find(game.id);
    if (folder == folders.end()) {
      return fail(error,
                  "game " + game.id + ": no package folder (--package " + game.id + "=FOLDER)");
    }
    if (!readPackage(game, folder->second, request.serial, packages[i], error)) return false;
    manifestDigests[game.id] = textSha256(packages[i].manifestText);  // the bytes as published
  }
  catalogueText = stampCatalogue(catalogueText, request.serial, request.expires, manifestDigests);
  Catalogue published;
  problem = checkCatalogue(catalogueText, &published);
  if (!problem.empty()) {
    return fail(error, request.catalogue + ": the launcher would refuse it: " + problem);
  }
  // Each manifest must be the one its game's entry names, by the launcher's own comparison.
  for (size_t i = 0; i < published.games.size(); ++i) {
    const Game& game = published.games[i];
    if (!isCurrentManifest(packages[i].manifestText, packages[i].manifest,
                           ManifestPin{game.name, game.manifestSha256}, std::nullopt, &problem)) {
      return fail(error,
                  "game " + game.id + ": the launcher would refuse its manifest: " + problem);
    }
  }

  SiteTree tree;
  if (!addSigned(tree, key, request.launcherKeys, catalogueUrlForHost(request.host), kCatalogueName,
                 catalogueText, kCatalogueName, error)) {
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
  for (size_t i = 0; i < catalogue.games.size(); ++i) {
    if (!addPackage(tree, key, request.launcherKeys, catalogue.games[i], packages[i], error)) {
      return false;
    }
  }
  return tree.write(request.out, error);
}

}  // namespace velm
