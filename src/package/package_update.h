// Bringing the package folder in line with the game's signed manifest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "net/net.h"
#include "package/manifest.h"
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

// True, with the reason, when two of the manifest's names, their ".new" files or the saved
// copies' names would be one file on this platform.
[[nodiscard]] bool findNameClash(const Manifest& manifest, std::string& reason);
// True when the manifest lists launcherName (ASCII case ignored) as a required file.
bool listsRequiredLauncher(const Manifest& manifest, const std::string& launcherName);

// Prints only to progress, and nothing when it is null.
void updatePackage(PackageResult& result, const std::filesystem::path& packageFolder,
                   const std::string& manifestUrl, const std::string& launcherName, Net& net,
                   FILE* progress, const std::vector<TrustedKey>& keys);

}  // namespace velm
