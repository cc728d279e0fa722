// A package file on its way in: its target, its ".new" and the one download that fills it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "net/net.h"
#include "os/held_file.h"
#include "package/download.h"
#include "package/download_record.h"
#include "package/manifest.h"

namespace velm {

struct PendingFile {
  const ManifestFile& file;
  std::filesystem::path target;
  std::filesystem::path temporary;  // target + ".new"
  bool downloaded = false;
  // The package folder's record of the ".new" files it made (null: no resume for this file), and
  // the folder where whatever else stands at the ".new" goes.
  DownloadRecord* record = nullptr;
  std::filesystem::path asideFolder{};
};

// One package file through streamDownload into its ".new", continuing one that an interrupted
// run left; cancel (may be null) ends it early; clock (null: the real one) times the pauses;
// flushLater as DownloadRequest's.
Download fetchPackageFile(Net& net, const std::string& url, const PendingFile& pending,
                          const std::function<void(uint64_t received)>& onChunk,
                          const std::atomic<bool>* cancel, RetryClock* clock = nullptr,
                          bool flushLater = false);
// Empty for Ok, else the reason, a phrase without the file name.
std::string downloadReason(const Download& download, const ManifestFile& file);

}  // namespace velm
