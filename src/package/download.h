// The one streaming download, for package files and the launcher's own new build alike: the
// body goes from the Net into an exclusive ".new" file and the launcher's SHA-256 as it arrives,
// never into memory, and is checked against the size and digest that a signed document gave.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "net/net.h"
#include "os/held_file.h"
#include "os/own_file.h"
#include "text/text.h"

namespace velm {

struct DownloadRequest {
  std::string url;
  std::filesystem::path temporary;  // the ".new" file beside the target
  uint64_t size = 0;                // the announced size
  Sha256Digest sha256{};            // the announced digest
  RequestOptions options;
  // Continue what an earlier, interrupted run left in the temporary when it is no longer than
  // size (all of it is judged by its digest alone) and the launcher made it (known, its
  // recorded identity); else start afresh.
  bool resume = false;
  std::optional<FileIdentity> known{};
  // Where whatever else stands at the temporary's name is moved; empty: such a thing is refused.
  std::filesystem::path asideFolder{};
  // Hears the identity of a temporary this download made, for the next run's resume.
  std::function<void(const FileIdentity&)> onMade{};
  // Set from another thread to end the download early (its outcome is then NoAnswer).
  const std::atomic<bool>* cancel = nullptr;
  // Times the pauses before a cut transfer is continued; null for the real clock.
  RetryClock* clock = nullptr;
  // An Ok temporary is left for the caller to put on disk (flushToDisk) before it is moved.
  bool flushLater = false;
};

// A transfer that ends early (closed, reset, stalled) is continued from the bytes already
// written, after each of these pauses in turn; when they are used up it has failed.
inline constexpr std::chrono::milliseconds kCutPauses[] = {std::chrono::milliseconds(1000),
                                                           std::chrono::milliseconds(2000),
                                                           std::chrono::milliseconds(4000)};

// The pause before a cut transfer goes on, cut short by a cancel.
void pauseUnlessCancelled(RetryClock& clock, std::chrono::milliseconds length,
                          const std::atomic<bool>* cancel);

enum class DownloadOutcome : uint32_t {
  Ok,           // the temporary holds exactly the announced bytes, on disk unless flushLater
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
// announced size (nothing of it is written). A transfer that breaks is continued with a Range
// request after each of kCutPauses (a server that answers it with the whole body is read from
// byte 0 again), unless every announced byte is in (a 416 that gives the body's length as the
// bytes held says so too): then the digest judges them. A resumed file whose digest does not
// match is fetched once more from byte 0.
// onChunk, when given, hears the byte count after every chunk (it may go down on a restart). On
// every outcome but Ok and NotOpened the temporary is deleted; one that could not be opened may
// belong to another writer and is left alone.
Download streamDownload(Net& net, const DownloadRequest& request,
                        const std::function<void(uint64_t received)>& onChunk = {});

}  // namespace velm
