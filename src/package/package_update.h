// Bringing the package folder in line with the game's signed manifest.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Prints only to progress, and nothing when it is null.
void updatePackage(PackageResult& result, const std::string& packageFolder,
                   const std::string& manifestUrl, const std::string& launcherName, Net& net,
                   FILE* progress, const std::vector<TrustedKey>& keys);

}  // namespace velm
