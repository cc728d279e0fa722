#include "package/download.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "net/sha256.h"
#include "platform/exclusive_file.h"
#include "platform/held_file.h"
#include "text/text.h"

namespace velm {
namespace {

// Small files finish too fast for a progress line to help.
constexpr uint64_t kProgressThreshold = 4194304;
constexpr uint32_t kNoPercentYet = UINT32_MAX;

// The progress line is drawn with carriage returns and no newline, so a line-buffered console
// would hold it back until the next line; flush every time.
void showPercent(FILE* progress, const std::string& name, uint32_t percent) {
  std::fprintf(progress, "\r[*] %s  %3d%%", name.c_str(), static_cast<int>(percent));
  std::fflush(progress);
}

void blankProgressLine(FILE* progress) {
  std::fprintf(progress, "\r%40s\r", "");
  std::fflush(progress);
}

}  // namespace

Download streamDownload(Net& net, const DownloadRequest& request,
                        const std::function<void(uint64_t received)>& onChunk) {
  Download result;
  ExclusiveFile out;
  // No other writer, another launcher included, may touch the file while it arrives.
  if (!out.open(request.temporary)) {
    result.outcome = DownloadOutcome::NotOpened;
    return result;
  }

  Sha256 hasher;
  bool tooLarge = false;
  bool writeFailed = false;
  ByteSink sink = [&](const char* data, size_t length) {
    if (length > request.size - result.received) {
      // Counted, so the caller can say how much came; never written.
      result.received += length;
      tooLarge = true;
      return false;
    }
    if (!out.write(data, length)) {
      writeFailed = true;
      return false;
    }
    hasher.update(data, length);
    result.received += length;
    if (onChunk) onChunk(result.received);
    return true;
  };
  result.status = net.get(request.url, sink, request.options);

  const bool closed = out.close();
  if (result.status == 0) {
    result.outcome = DownloadOutcome::NoAnswer;
  } else if (result.status != 200) {
    result.outcome = DownloadOutcome::HttpStatus;
  } else if (writeFailed || !closed) {
    result.outcome = DownloadOutcome::NotWritten;
  } else if (tooLarge) {
    result.outcome = DownloadOutcome::TooLarge;
  } else if (result.received != request.size) {
    result.outcome = DownloadOutcome::TooShort;
  } else if (hasher.finalDigest() != request.sha256) {
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

std::string downloadFile(Net& net, const std::string& url, const PendingFile& pending,
                         FILE* progress) {
  const ManifestFile& file = pending.file;
  const bool showProgress = progress != nullptr && file.size > kProgressThreshold;
  uint32_t lastPercent = kNoPercentYet;
  const std::string shownName = showProgress ? displayText(file.name) : std::string();
  auto onChunk = [&](uint64_t received) {
    const uint32_t percent = static_cast<uint32_t>(received * 100 / file.size);
    if (percent != lastPercent && percent % 5 == 0) {
      showPercent(progress, shownName, percent);
      lastPercent = percent;
    }
  };
  const DownloadRequest request{url, pending.temporary, file.size, file.sha256, {}};
  const Download download =
      streamDownload(net, request, showProgress ? std::function<void(uint64_t)>(onChunk) : nullptr);
  if (showProgress && download.outcome != DownloadOutcome::NotOpened) blankProgressLine(progress);

  switch (download.outcome) {
    case DownloadOutcome::Ok:
      return std::string();
    case DownloadOutcome::NotOpened:
    case DownloadOutcome::NotWritten:
      return "could not write " + file.name + ".new";
    case DownloadOutcome::NoAnswer:
      return "no answer from the server";
    case DownloadOutcome::HttpStatus:
      return "the server said HTTP " + decimalText(download.status);
    case DownloadOutcome::TooLarge:
      return "is larger than the " + decimalText(file.size) + " bytes the manifest says";
    case DownloadOutcome::TooShort:
      return "is " + decimalText(download.received) + " bytes, the manifest says " +
             decimalText(file.size);
    case DownloadOutcome::WrongDigest:
      break;
  }
  return "does not match its sha256";
}

}  // namespace velm
