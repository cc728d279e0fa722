// manifest.json: parseManifest either leaves the caller's record alone and explains why, or hands
// over entries whose names are safe to join to the package folder and to a download URL.
#include "package/manifest.h"

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "catalogue/file_name.h"
#include "fuzz_check.h"
#include "manifest_dom_reader.h"
#include "net/url.h"
#include "text/ascii.h"

namespace velm {
namespace {

const char kManifestUrl[] = "https://cdn.test/pkg/manifest.json?v=1";
const char kFolderUrl[] = "https://cdn.test/pkg/";

// A record that no document parses to, to see whether a failure touched it.
Manifest sentinel() {
  Manifest manifest;
  manifest.version = "sentinel";
  manifest.files.push_back(ManifestFile{"x/y", 0, Sha256Digest{}, false});
  return manifest;
}

bool sameManifest(const Manifest& a, const Manifest& b) {
  if (a.version != b.version || a.files.size() != b.files.size()) return false;
  for (size_t i = 0; i < a.files.size(); ++i) {
    const ManifestFile& f = a.files[i];
    const ManifestFile& g = b.files[i];
    if (f.name != g.name || f.size != g.size || f.sha256 != g.sha256 || f.required != g.required) {
      return false;
    }
  }
  return true;
}

// Every value the reader fills, chunk index and serial included.
bool sameValues(const Manifest& a, const Manifest& b) {
  if (!sameManifest(a, b) || a.serial != b.serial) return false;
  for (size_t i = 0; i < a.files.size(); ++i) {
    const ManifestFile& f = a.files[i];
    const ManifestFile& g = b.files[i];
    if (f.chunksIgnored != g.chunksIgnored || f.chunks.has_value() != g.chunks.has_value()) {
      return false;
    }
    if (f.chunks && (f.chunks->name != g.chunks->name || f.chunks->size != g.chunks->size ||
                     f.chunks->sha256 != g.chunks->sha256)) {
      return false;
    }
  }
  return true;
}

std::string serialise(const Manifest& manifest) {
  nlohmann::json files = nlohmann::json::array();
  for (const ManifestFile& file : manifest.files) {
    files.push_back({{"name", file.name},
                     {"size", file.size},
                     {"sha256", sha256Hex(file.sha256)},
                     {"required", file.required}});
  }
  return nlohmann::json{{"version", manifest.version}, {"files", files}}.dump();
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const std::string text = fuzz::text(data, size);
  Manifest manifest = sentinel();
  std::string error = "untouched";
  const bool ok = parseManifest(text, manifest, &error);

  // The one-pass reader says what reading the whole document said, word for word.
  Manifest whole;
  const std::string wholeError = dom::readManifest(text, whole);
  VELM_FUZZ_CHECK(wholeError.empty() == ok);
  if (!ok) VELM_FUZZ_CHECK(wholeError == error);
  if (ok) VELM_FUZZ_CHECK(sameValues(whole, manifest));

  // Without an error string the verdict is the same.
  Manifest quiet;
  VELM_FUZZ_CHECK(parseManifest(text, quiet, nullptr) == ok);

  if (!ok) {
    // The offline start keeps using what it had when a saved manifest does not parse.
    VELM_FUZZ_CHECK(sameManifest(manifest, sentinel()));
    VELM_FUZZ_CHECK(!error.empty() && error != "untouched");
    return 0;
  }

  VELM_FUZZ_CHECK(error == "untouched");
  VELM_FUZZ_CHECK(fuzz::isDottedDigits(manifest.version, 1) ||
                  fuzz::isDottedDigits(manifest.version, 3));
  VELM_FUZZ_CHECK(!manifest.files.empty());
  std::set<std::string> names;
  for (const ManifestFile& file : manifest.files) {
    // Each name becomes a path in the package folder: plain, and unique the way Windows
    // compares names, or two entries would write one file.
    std::string reason;
    VELM_FUZZ_CHECK(isPlainFileName(file.name, &reason));
    VELM_FUZZ_CHECK(names.insert(toLowerAscii(file.name)).second);
    VELM_FUZZ_CHECK(file.size >= 1);
    // ...and the last segment of a URL in the manifest's folder: it may not leave that folder.
    const std::string url = fileUrl(kManifestUrl, file.name);
    VELM_FUZZ_CHECK(url.rfind(kFolderUrl, 0) == 0);
    VELM_FUZZ_CHECK(url.find_first_of("/?#", sizeof kFolderUrl - 1) == std::string::npos);
  }

  // Only the values count: written out plainly, they must come back unchanged.
  Manifest again;
  VELM_FUZZ_CHECK(parseManifest(serialise(manifest), again, nullptr));
  VELM_FUZZ_CHECK(sameManifest(again, manifest));
  return 0;
}
