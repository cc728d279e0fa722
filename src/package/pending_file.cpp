#include "package/pending_file.h"

#include "package/package_folder.h"
#include "text/text.h"

namespace velm {

Download fetchPackageFile(Net& net, const std::string& url, const PendingFile& pending,
                          const std::function<void(uint64_t received)>& onChunk,
                          const std::atomic<bool>* cancel, RetryClock* clock, bool flushLater) {
  DownloadRequest request{url, pending.temporary, pending.file.size, pending.file.sha256, {}};
  request.clock = clock;
  // A ".new" that a killed run left is this file's start, unless its digest says otherwise; only
  // one the record proves the launcher's own is continued.
  request.resume = true;
  request.asideFolder = pending.asideFolder;
  DownloadRecord* record = pending.record;
  if (record != nullptr) {
    request.known = record->known(pending.file.name);
    const std::string name = pending.file.name;
    request.onMade = [record, name](const FileIdentity& identity) { record->made(name, identity); };
  }
  request.cancel = cancel;
  request.flushLater = flushLater;
  return streamDownload(net, request, onChunk);
}

std::string downloadReason(const Download& download, const ManifestFile& file) {
  switch (download.outcome) {
    case DownloadOutcome::Ok:
      return std::string();
    case DownloadOutcome::NotOpened:
    case DownloadOutcome::NotWritten:
      return "could not write " + temporaryName(file.name);
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
