// Bringing the package folder in line with the game's signed manifest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "net/net.h"
#include "os/held_file.h"
#include "os/name_compare.h"
#include "package/manifest.h"
#include "signature/signature.h"

namespace velm {

enum class PackageStatus : uint32_t { Ok, Unreachable, Unreadable, Unsigned, Failed };

struct PackageResult {
  PackageStatus status = PackageStatus::Failed;
  std::string message;
  // With Unsigned: the manifest is signed but older than the folder's, or not the one the
  // catalogue names; message is the detail.
  bool outdated = false;
  // With Failed: a required file could not be moved in and every file of the run was put back;
  // the folder holds the package of before, as the saved manifest describes it. When a file
  // could not be put back either, mixed is set instead and the saved manifest is gone.
  bool restored = false;
  bool mixed = false;
  std::string version;
  std::vector<std::string> updated;
  std::vector<std::string> skipped;
  std::string manifestText;  // as downloaded, saved as manifest.json after Ok
  // Set, and manifestText left empty, when the saved manifest already held the text: the copy
  // need not be written, and 100,000 files' text (15 MB) is not kept through the run for it.
  std::optional<Sha256Digest> manifestSavedAs;
  Manifest manifest;
};

// What the launcher asks of a valid manifest before it touches a file, and velm-publish asks of
// every manifest it passes: for a non-empty launcherName, that file listed as required (ASCII
// case ignored); and no two of its names, their ".new" files or the saved copies' names one
// file by order (this platform's rule, or the Windows launcher's for the publisher). False
// with *problem set to the launcher's reason otherwise. Takes n log n comparisons for n files.
[[nodiscard]] bool acceptsManifestFiles(const Manifest& manifest, const std::string& launcherName,
                                        std::string* problem,
                                        const NameOrder& order = fileNameOrder());

// What the catalogue says of the manifest it points to.
struct ManifestPin {
  std::string gameName;
  std::optional<Sha256Digest> sha256;  // of the manifest's bytes, when the catalogue names it
};

// A manifest that passed its signature check and validation is current when its bytes have the
// pinned digest (if any) and it is not older than the saved copy, whose serial is savedSerial.
// Otherwise false with *detail set to "manifest.json of GAME does not match games.json" or
// isNotOlder's text.
[[nodiscard]] bool isCurrentManifest(const std::string& text, const Manifest& manifest,
                                     const ManifestPin& pin, std::optional<uint64_t> savedSerial,
                                     std::string* detail);

// Prints only to progress, and nothing when it is null. Moves and deletes wait for held files
// through held; without one, a HeldFiles that names them on progress. A file the folder's record
// of verified files vouches for is not read, unless fullCheck asks for every file to be hashed.
void updatePackage(PackageResult& result, const std::filesystem::path& packageFolder,
                   const std::string& manifestUrl, const std::string& launcherName, Net& net,
                   FILE* progress, const std::vector<TrustedKey>& keys,
                   const ManifestPin& pin = ManifestPin(), HeldFiles* held = nullptr,
                   bool fullCheck = false);

}  // namespace velm
