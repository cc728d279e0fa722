// Downloading one package file into its ".new" file, checked against the manifest as it streams.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "net/net.h"
#include "package/manifest.h"

namespace velm {

struct PendingFile {
  const ManifestFile& file;
  std::filesystem::path target;
  std::filesystem::path temporary;  // target + ".new"
  bool downloaded = false;
};

// Streams the body into pending.temporary, never into memory, stopping at the first chunk past
// the announced size. Files over 4 MiB draw a percentage line on progress (which may be null).
// Empty on success (the temporary holds exactly the announced bytes), else the reason, a phrase
// without the file name. On failure the temporary is deleted, unless it could not be opened.
std::string downloadFile(Net& net, const std::string& url, const PendingFile& pending,
                         FILE* progress);

}  // namespace velm
