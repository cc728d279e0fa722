#include "package/download.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "net/sha256.h"
#include "platform/exclusive_file.h"
#include "text/text.h"

namespace velm {
namespace {

// Small files finish too fast for a progress line to help.
constexpr uint64_t kProgressThreshold = 4194304;
constexpr uint32_t kNoPercentYet = UINT32_MAX;

// The transfer's state while the sink runs.
struct Transfer {
  ExclusiveFile out;
  Sha256 hasher;
  uint64_t received = 0;
  bool tooLarge = false;
  bool writeFailed = false;
  uint32_t lastPercent = kNoPercentYet;
};

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

std::string downloadFile(Net& net, const std::string& url, const PendingFile& pending,
                         FILE* progress) {
  const ManifestFile& file = pending.file;
  const std::string writeError = "could not write " + file.name + ".new";

  Transfer transfer;
  // No other writer, another launcher included, may touch the file while it arrives.
  if (!transfer.out.open(pending.temporary)) return writeError;

  const bool showProgress = progress != nullptr && file.size > kProgressThreshold;
  ByteSink sink = [&](const char* data, size_t length) {
    // Nothing of a chunk that would pass the announced size is written.
    if (length > file.size - transfer.received) {
      transfer.tooLarge = true;
      return false;
    }
    if (!transfer.out.write(data, length)) {
      transfer.writeFailed = true;
      return false;
    }
    transfer.hasher.update(data, length);
    transfer.received += length;
    if (showProgress) {
      const uint32_t percent = static_cast<uint32_t>(transfer.received * 100 / file.size);
      if (percent != transfer.lastPercent && percent % 5 == 0) {
        showPercent(progress, file.name, percent);
        transfer.lastPercent = percent;
      }
    }
    return true;
  };
  const uint32_t status = net.get(url, sink);
  if (showProgress) blankProgressLine(progress);

  const bool closed = transfer.out.close();
  const bool streamFailed = transfer.writeFailed || !closed;

  std::string reason;
  if (status == 0) {
    reason = "no answer from the server";
  } else if (status != 200) {
    reason = "the server said HTTP " + decimalText(status);
  } else if (streamFailed) {
    reason = writeError;
  } else if (transfer.tooLarge) {
    reason = "is larger than the " + decimalText(file.size) + " bytes the manifest says";
  } else if (transfer.received != file.size) {
    reason = "is " + decimalText(transfer.received) + " bytes, the manifest says " +
             decimalText(file.size);
  } else if (!sameSha256(transfer.hasher.finalHex(), file.sha256)) {
    reason = "does not match its sha256";
  }

  if (!reason.empty()) {
    std::error_code ignored;
    std::filesystem::remove(pending.temporary, ignored);
  }
  return reason;
}

}  // namespace velm
