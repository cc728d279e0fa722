// Writing manifest.json, apart from the parser so that the launcher, which only reads
// manifests, does not carry the writer.
#include <nlohmann/json.hpp>

#include "package/manifest.h"
#include "text/text.h"

namespace velm {

std::string manifestJson(const Manifest& manifest) {
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  for (const ManifestFile& file : manifest.files) {
    nlohmann::ordered_json entry;
    entry["name"] = file.name;
    entry["size"] = file.size;
    entry["sha256"] = sha256Hex(file.sha256);
    if (!file.required) entry["required"] = false;
    if (file.chunks) {
      nlohmann::ordered_json chunks;
      chunks["name"] = file.chunks->name;
      chunks["size"] = file.chunks->size;
      chunks["sha256"] = sha256Hex(file.chunks->sha256);
      entry["chunks"] = std::move(chunks);
    }
    files.push_back(std::move(entry));
  }
  nlohmann::ordered_json document;
  document["version"] = manifest.version;
  // Beside the version it grows with, above the list that may run to thousands of lines.
  if (manifest.serial) document["serial"] = *manifest.serial;
  document["files"] = std::move(files);
  return document.dump(2) + "\n";
}

}  // namespace velm
