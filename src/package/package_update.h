// Bringing the package folder in line with the game's signed manifest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "net/net.h"
#include "package/manifest.h"
#include "package/name_compare.h"
#include "signature/signature.h"

namespace velm {

enum class PackageStatus : uint32_t { Ok, Unreachable, Unreadable, Unsigned, Failed };

struct PackageResult {
  PackageStatus status = PackageStatus::Failed;
  std::string message;
  std::string version;
  std::vector<std::string> updated;
  std::vector<std::string> skipped;
  std::string manifestText;  // as downloaded, saved as manifest.json after Ok
  Manifest manifest;
};

// What the launcher asks of a valid manifest before it touches a file, and velm-publish asks of
// every manifest it passes: for a non-empty launcherName, that file listed as required (ASCII
// case ignored); and no two of its names, their ".new" files or the saved copies' names one
// file by sameName (this platform's rule, or the Windows launcher's for the publisher). False
// with *problem set to the launcher's reason otherwise.
[[nodiscard]] bool acceptsManifestFiles(const Manifest& manifest, const std::string& launcherName,
                                        std::string* problem, SameNameRule sameName = sameFileName);

// Prints only to progress, and nothing when it is null.
void updatePackage(PackageResult& result, const std::filesystem::path& packageFolder,
                   const std::string& manifestUrl, const std::string& launcherName, Net& net,
                   FILE* progress, const std::vector<TrustedKey>& keys);

}  // namespace velm
