#include "documents.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "catalogue/file_name.h"
#include "net/net.h"
#include "net/sha256.h"
#include "net/url.h"
#include "os/name_compare.h"
#include "package/package_update.h"
#include "selfupdate/self_update.h"
#include "text/ascii.h"
#include "text/json_document.h"
#include "text/path_text.h"
#include "text/text.h"
#include "text/utf8.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

// The launcher reads no document larger than this: it treats such a body as no answer.
std::string sizeProblem(const std::string& text) {
  if (text.size() <= kMaxTextBody) return std::string();
  return "the document is larger than the launcher reads (" + decimalText(uint64_t{kMaxTextBody}) +
         " bytes)";
}

void setError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace

DocumentKind guessDocumentKind(const std::string& fileName, const std::string& text) {
  if (fs::u8path(fileName).filename() == kCatalogueName) return DocumentKind::Catalogue;
  nlohmann::json document = parseJsonDocument(text);
  return document.is_object() && document.contains("games") ? DocumentKind::Catalogue
                                                            : DocumentKind::Manifest;
}

std::string checkCatalogue(const std::string& text, Catalogue* catalogue) {
  std::string problem = sizeProblem(text);
  if (!problem.empty()) return problem;
  CatalogueResult result = parseCatalogue(text);
  if (!result.ok) return result.error;
  // The catalogue's own rules are looser than the self-update's. Every launcher older than the
  // announced build judges the block by the self-update's, and one it cannot use greets every
  // player with a warning on every start and never updates anyone.
  Version announced;
  if (checkLauncherBlock(result.catalogue.launcher, announced, &problem) !=
      LauncherBlockFault::None) {
    return "self-update: " + problem;
  }
  // A manifest at an address no client asks for could never be fetched: the game would never
  // install.
  for (size_t i = 0; i < result.catalogue.games.size(); ++i) {
    const std::string& url = result.catalogue.games[i].manifest;
    if (!isRequestableHttpsUrl(url)) {
      return "games[" + decimalText(uint64_t{i}) + "].manifest: \"" + url +
             "\" names no host and port that a launcher can ask";
    }
  }
  if (catalogue != nullptr) *catalogue = std::move(result.catalogue);
  return std::string();
}

std::string checkManifest(const std::string& text, const std::string& launcherName,
                          Manifest* manifest, ChunkFields chunks) {
  std::string problem = sizeProblem(text);
  if (!problem.empty()) return problem;
  Manifest parsed;
  if (!parseManifest(text, parsed, &problem)) return problem;
  for (const ManifestFile& file : parsed.files) {
    // A launcher would download the file whole, which is never what the team meant.
    if (chunks == ChunkFields::Checked && !file.chunksIgnored.empty()) {
      return file.name + ": " + file.chunksIgnored;
    }
  }
  // By the Windows launcher's rule for names, the strictest one, wherever this tool runs.
  if (!acceptsManifestFiles(parsed, launcherName, &problem, fileNameOrderOnWindows())) {
    return problem;
  }
  if (manifest != nullptr) *manifest = std::move(parsed);
  return std::string();
}

bool readDocument(const std::string& path, std::string& text, std::string* error) {
  std::ifstream file(fs::u8path(path), std::ios::binary);
  if (!file.is_open()) {
    setError(error, path + ": cannot be read");
    return false;
  }
  text.assign(kMaxTextBody + 1, '\0');
  file.read(&text[0], static_cast<std::streamsize>(text.size()));
  if (file.bad()) {
    setError(error, path + ": cannot be read");
    return false;
  }
  text.resize(static_cast<size_t>(file.gcount()));
  return true;
}

bool buildManifest(const ManifestRequest& request, std::string& text, std::string* error) {
  const fs::path folder = fs::u8path(request.folder);
  std::error_code code;
  if (!fs::is_directory(folder, code)) {
    setError(error, request.folder + " is not a folder");
    return false;
  }
  // Sets, so that a folder of many files costs n log n comparisons however many are named.
  const std::set<std::string> ignored(request.ignored.begin(), request.ignored.end());
  const std::set<std::string> optional(request.optional.begin(), request.optional.end());
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
    std::string name = it->path().filename().u8string();
    if (ignored.count(name) == 0) names.push_back(std::move(name));
  }
  if (code) {
    setError(error, request.folder + ": cannot list the folder (" + code.message() + ")");
    return false;
  }
  std::sort(names.begin(), names.end());

  Manifest manifest;
  manifest.version = request.version;
  for (const std::string& name : names) {
    const fs::path file = joinPath(folder, name);
    const std::string path = pathToUtf8(file);
    if (!isWellFormedUtf8(name)) {
      setError(error, path + ": the name is not UTF-8, which the manifest cannot hold");
      return false;
    }
    if (fs::is_directory(file, code)) {
      setError(error, path + " is a folder: a package holds files only");
      return false;
    }
    ManifestFile entry;
    entry.name = name;
    if (!fileSha256(file, entry.sha256, entry.size)) {
      setError(error, path + " is not a readable regular file");
      return false;
    }
    entry.required = optional.count(name) == 0;
    manifest.files.push_back(std::move(entry));
  }
  for (const std::string& name : request.optional) {
    if (!std::binary_search(names.begin(), names.end(), name)) {
      setError(error, "--optional " + name + ": " + request.folder + " has no such file");
      return false;
    }
  }
  const std::string launcher = toLowerAscii(request.launcher);
  if (std::none_of(names.begin(), names.end(),
                   [&](const std::string& name) { return toLowerAscii(name) == launcher; })) {
    setError(error, request.folder + " has no " + request.launcher + " (the co-op launcher)");
    return false;
  }
  std::string written = manifestJson(manifest);
  std::string problem = checkManifest(written, request.launcher, nullptr);
  if (!problem.empty()) {
    setError(error, "the launcher would refuse this manifest: " + problem);
    return false;
  }
  text = std::move(written);
  return true;
}

}  // namespace velm
