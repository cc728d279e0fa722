// The one streaming download, for package files and the launcher's own new build alike: the
// body goes from the Net into an exclusive ".new" file and the launcher's SHA-256 as it arrives,
// never into memory, and is checked against the size and digest that a signed document gave.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "net/net.h"
#include "package/manifest.h"
#include "text/text.h"

namespace velm {

struct DownloadRequest {
  std::string url;
  std::filesystem::path temporary;  // the ".new" file beside the target
  uint64_t size = 0;                // the announced size
  Sha256Digest sha256{};            // the announced digest
  RequestOptions options;
};

enum class DownloadOutcome : uint32_t {
  Ok,           // the temporary holds exactly the announced bytes, on disk
  NotOpened,    // the temporary could not be opened; nothing was requested
  NoAnswer,     // no answer, or the transfer broke
  HttpStatus,   // an answer other than 200
  NotWritten,   // a write, the close or the flush of the temporary failed
  TooLarge,     // the body passed the announced size
  TooShort,     // the body ended before the announced size
  WrongDigest,  // the right size, other bytes
};

struct Download {
  DownloadOutcome outcome = DownloadOutcome::NoAnswer;
  uint32_t status = 0;    // as the Net answered
  uint64_t received = 0;  // body bytes that arrived; with TooLarge, up to the chunk that passed
};

// Streams the body into request.temporary, stopping at the first chunk that would pass the
// announced size (nothing of it is written). onChunk, when given, hears the byte count after
// every chunk. On every outcome but Ok and NotOpened the temporary is deleted; one that could not
// be opened may belong to another writer and is left alone.
Download streamDownload(Net& net, const DownloadRequest& request,
                        const std::function<void(uint64_t received)>& onChunk = {});

struct PendingFile {
  const ManifestFile& file;
  std::filesystem::path target;
  std::filesystem::path temporary;  // target + ".new"
  bool downloaded = false;
};

// One package file through streamDownload. Files over 4 MiB draw a percentage line on progress
// (which may be null). Empty on success, else the reason, a phrase without the file name.
std::string downloadFile(Net& net, const std::string& url, const PendingFile& pending,
                         FILE* progress);

}  // namespace velm
