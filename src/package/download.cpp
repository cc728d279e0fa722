#include "package/download.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

#include "net/sha256.h"
#include "os/exclusive_file.h"
#include "os/held_file.h"
#include "text/text.h"

namespace velm {
namespace {

// Over HTTP/2 a body comes in frames of a few KiB each; a large file gathers them so that each
// write to the system carries 64 KiB. Small files keep stdio's own small buffer: dozens of them
// may be in flight at once.
constexpr uint64_t kGatheredWritesFrom = 1048576;
constexpr size_t kWriteBuffer = 65536;

// One download's file, hash and count, carried from one request to the next.
class Arrival {
 public:
  Arrival(const DownloadRequest& request, const std::function<void(uint64_t)>& onChunk)
      : request_(request), onChunk_(onChunk) {}

  bool open() {
    const size_t buffer = request_.size >= kGatheredWritesFrom ? kWriteBuffer : 0;
    ExclusiveFile::Claim claim;
    claim.asideFolder = request_.asideFolder;
    const bool keep = request_.resume && request_.known.has_value();
    if (keep) claim.known = &*request_.known;
    if (!out_.open(request_.temporary,
                   keep ? ExclusiveFile::Existing::Keep : ExclusiveFile::Existing::Truncate, buffer,
                   claim)) {
      return false;
    }
    if (request_.onMade && !(keep && out_.identity() == *request_.known)) {
      request_.onMade(out_.identity());
    }
    if (!keep) return true;
    // What an earlier run left: hashed as if it had just arrived, or dropped when it cannot be
    // the start of this file.
    uint64_t kept = 0;
    const bool read = out_.readBack(
        [this](const char* data, size_t length) { hasher_.update(data, length); }, kept);
    resumed_ = read && kept > 0 && kept <= request_.size;
    if (resumed_) {
      received_ = kept;
    } else {
      empty();
    }
    return true;
  }

  // Back to byte 0: the server sent the whole body, or the kept bytes were wrong.
  void restart() {
    empty();
    if (onChunk_) onChunk_(0);
  }

  bool take(const char* data, size_t length) {
    if (cancelled()) return false;
    if (length > request_.size - received_) {
      // Counted, so the caller can say how much came; never written.
      received_ += length;
      tooLarge_ = true;
      return false;
    }
    if (!out_.write(data, length)) {
      writeFailed_ = true;
      return false;
    }
    hasher_.update(data, length);
    received_ += length;
    if (onChunk_) onChunk_(received_);
    return true;
  }

  bool cancelled() const { return request_.cancel != nullptr && request_.cancel->load(); }
  // Every announced byte is here; only the digest can say more about them.
  bool complete() const { return received_ > 0 && received_ == request_.size; }
  bool close() {
    return out_.close(request_.flushLater ? ExclusiveFile::Flush::Later
                                          : ExclusiveFile::Flush::Now);
  }
  bool resumed() const { return resumed_; }
  void forgetResume() { resumed_ = false; }
  bool tooLarge() const { return tooLarge_; }
  bool writeFailed() const { return writeFailed_; }
  uint64_t received() const { return received_; }
  Sha256Digest digest() { return hasher_.finalDigest(); }

 private:
  void empty() {
    if (!out_.restart()) writeFailed_ = true;
    hasher_.reset();
    received_ = 0;
  }

  const DownloadRequest& request_;
  const std::function<void(uint64_t)>& onChunk_;
  ExclusiveFile out_;
  Sha256 hasher_;
  uint64_t received_ = 0;
  bool resumed_ = false;  // the bytes before this run's first request came from an earlier one
  bool tooLarge_ = false;
  bool writeFailed_ = false;
};

// Requests the body from what has arrived on, continuing after cuts; returns the last status,
// 200 once every byte is here. A complete file is never continued: a Range from its end could
// only be refused, and the digest judges it.
uint32_t fetch(Net& net, const DownloadRequest& request, Arrival& arrival) {
  RetryClock& clock = request.clock != nullptr ? *request.clock : systemRetryClock();
  if (arrival.complete()) return 200;  // all of it kept from an earlier run
  for (size_t cuts = 0;; ++cuts) {
    RequestOptions options = request.options;
    options.firstByte = arrival.received();
    options.onBody = [&arrival, &options](uint32_t status) {
      if (status == 200 && options.firstByte > 0) arrival.restart();
    };
    uint64_t wholeLength = UINT64_MAX;
    options.onRangeNotSatisfiable = [&wholeLength](uint64_t length) { wholeLength = length; };
    ByteSink sink = [&arrival](const char* data, size_t length) {
      return arrival.take(data, length);
    };
    const uint32_t status = net.get(request.url, sink, options);
    // The server's whole body is the bytes held: nothing of it is missing.
    if (status == 416 && options.firstByte > 0 && wholeLength == options.firstByte) return 200;
    const bool broke = status == 0 && !arrival.writeFailed() && !arrival.tooLarge();
    // The last byte came before the break (a chunked body without its last chunk, a
    // Content-Length past the body).
    if (broke && !arrival.cancelled() && arrival.complete()) return 200;
    if (!broke || arrival.cancelled() || cuts == std::size(kCutPauses)) return status;
    pauseUnlessCancelled(clock, kCutPauses[cuts], request.cancel);
  }
}

}  // namespace

void pauseUnlessCancelled(RetryClock& clock, std::chrono::milliseconds length,
                          const std::atomic<bool>* cancel) {
  constexpr std::chrono::milliseconds kSlice(100);
  for (std::chrono::milliseconds left = length; left.count() > 0; left -= kSlice) {
    if (cancel != nullptr && cancel->load()) return;
    clock.sleep(std::min(left, kSlice));
  }
}

Download streamDownload(Net& net, const DownloadRequest& request,
                        const std::function<void(uint64_t received)>& onChunk) {
  Download result;
  Arrival arrival(request, onChunk);
  // No other writer, another launcher included, may touch the file while it arrives.
  if (!arrival.open()) {
    result.outcome = DownloadOutcome::NotOpened;
    return result;
  }
  Sha256Digest digest{};
  for (;;) {
    result.status = fetch(net, request, arrival);
    if (result.status == 206) result.status = 200;  // the rest of a body that began earlier
    digest = result.status == 200 && !arrival.tooLarge() && !arrival.writeFailed() &&
                     arrival.received() == request.size
                 ? arrival.digest()
                 : Sha256Digest{};
    // Bytes kept from an interrupted run may be what made the digest wrong: once from byte 0.
    if (!arrival.resumed() || result.status != 200 || digest == request.sha256 ||
        arrival.received() != request.size) {
      break;
    }
    arrival.forgetResume();
    arrival.restart();
  }
  result.received = arrival.received();

  const bool closed = arrival.close();
  if (result.status == 0) {
    result.outcome = DownloadOutcome::NoAnswer;
  } else if (result.status != 200) {
    result.outcome = DownloadOutcome::HttpStatus;
  } else if (arrival.writeFailed() || !closed) {
    result.outcome = DownloadOutcome::NotWritten;
  } else if (arrival.tooLarge()) {
    result.outcome = DownloadOutcome::TooLarge;
  } else if (result.received != request.size) {
    result.outcome = DownloadOutcome::TooShort;
  } else if (digest != request.sha256) {
    result.outcome = DownloadOutcome::WrongDigest;
  } else {
    result.outcome = DownloadOutcome::Ok;
  }
  if (result.outcome != DownloadOutcome::Ok) {
    // A scanner may be reading what was written.
    std::error_code ignored;
    (void)HeldFiles().remove(request.temporary.filename().u8string(), request.temporary, ignored);
  }
  return result;
}

}  // namespace velm
