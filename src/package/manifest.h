// manifest.json: the signed list of a game's package files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velm {

struct ManifestFile {
  std::string name;
  uint64_t size = 0;
  std::string sha256;  // 64 hex digits as written
  bool required = true;
};

struct Manifest {
  std::string version;
  std::vector<ManifestFile> files;
};

// On success replaces manifest and returns true; on failure leaves it, sets *error (if given).
[[nodiscard]] bool parseManifest(const std::string& text, Manifest& manifest, std::string* error);

}  // namespace velm
