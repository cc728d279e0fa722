// The two signed documents as the publisher handles them: checked with the launcher's own
// validators (so the tool refuses exactly what a player's launcher would), read from disk, and
// manifest.json written for a folder of package files.
#pragma once

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "package/manifest.h"

namespace velm {

enum class DocumentKind { Catalogue, Manifest };

// games.json is a catalogue, and so is any JSON object with a "games" key; anything else is
// taken for a manifest.
DocumentKind guessDocumentKind(const std::string& fileName, const std::string& text);

// Empty when every launcher accepts the catalogue, its self-update can act on the launcher
// block (version, completeness, the build's address) and each game's manifest has an address a
// launcher can ask; else the launcher's own text for the first problem. Fills *catalogue on
// success.
std::string checkCatalogue(const std::string& text, Catalogue* catalogue);
// Empty when every launcher accepts the manifest (its names judged by the Windows launcher's
// rule) and, for a non-empty launcherName, finds that file listed as required; else the
// launcher's own text. Fills *manifest on success. A "chunks" key that a launcher would ignore is
// refused too, unless it is about to be replaced.
enum class ChunkFields { Checked, Replaced };
std::string checkManifest(const std::string& text, const std::string& launcherName,
                          Manifest* manifest, ChunkFields chunks = ChunkFields::Checked);

// Reads a document, or its first kMaxTextBody + 1 bytes when it is larger (the checks refuse
// such a document anyway). On failure returns false with *error naming the path.
[[nodiscard]] bool readDocument(const std::string& path, std::string& text, std::string* error);

struct ManifestRequest {
  std::string folder;
  std::string version;
  std::string launcher;               // the co-op launcher: must be in the folder, required
  std::vector<std::string> optional;  // names written with "required": false
  std::vector<std::string> ignored;   // names in the folder that are not package files
};

// Lists every regular file of the folder (symbolic links followed) with its size and SHA-256,
// in byte order of the names, and checks the result as the launcher will. On failure returns
// false with *error set.
[[nodiscard]] bool buildManifest(const ManifestRequest& request, std::string& text,
                                 std::string* error);

}  // namespace velm
