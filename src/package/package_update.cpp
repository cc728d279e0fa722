#include "package/package_update.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/file_name.h"
#include "net/sha256.h"
#include "net/url.h"
#include "os/file_move.h"
#include "os/held_file.h"
#include "os/name_compare.h"
#include "os/os_error.h"
#include "os/own_file.h"
#include "package/chunk_index.h"
#include "package/delta_download.h"
#include "package/download_phase.h"
#include "package/download_record.h"
#include "package/package_folder.h"
#include "package/pending_file.h"
#include "package/progress_line.h"
#include "package/replace_journal.h"
#include "package/verified_files.h"
#include "text/ascii.h"
#include "text/path_text.h"
#include "text/text.h"

namespace velm {
namespace {

std::string quoted(const std::string& name) { return "file name \"" + name + "\""; }

// The indexes of keys in the order's sequence, equal keys by index.
std::vector<size_t> sortedByKey(const std::vector<std::wstring>& keys, const NameOrder& order) {
  std::vector<size_t> sorted(keys.size());
  std::iota(sorted.begin(), sorted.end(), size_t{0});
  std::sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) {
    const int compared = order.compare(keys[a], keys[b]);
    return compared != 0 ? compared < 0 : a < b;
  });
  return sorted;
}

// The lowest index whose key the order takes for key's equal; SIZE_MAX when there is none.
size_t firstWithKey(const std::vector<size_t>& sorted, const std::vector<std::wstring>& keys,
                    const std::wstring& key, const NameOrder& order) {
  const auto found = std::lower_bound(sorted.begin(), sorted.end(), key,
                                      [&](size_t index, const std::wstring& wanted) {
                                        return order.compare(keys[index], wanted) < 0;
                                      });
  return found != sorted.end() && order.compare(keys[*found], key) == 0 ? *found : SIZE_MAX;
}

// Names that would make two of the update's files one file under the rule: the manifest's own
// check compares ASCII case only and knows nothing of ".new" files or the saved copies. The
// names are sorted once; each name then finds, by binary search, the earliest file it clashes
// with, so the first clash in manifest order is the one reported. Every order compares keys a
// unit at a time, so a ".new" name's key is the name's key and the suffix's: a name is another's
// temporary when it is that name's key with the suffix's key after it, and none of the ".new"
// keys need be kept (100,000 of them are about 10 MB).
bool findNameClash(const Manifest& manifest, std::string& reason, const NameOrder& order) {
  const std::vector<ManifestFile>& files = manifest.files;
  std::vector<std::wstring> names;
  names.reserve(files.size());
  for (const ManifestFile& file : files) names.push_back(order.key(file.name));
  const std::vector<size_t> byName = sortedByKey(names, order);
  std::vector<std::wstring> saved;
  for (const std::string& name : savedCopyNames()) saved.push_back(order.key(name));
  const std::wstring suffix = order.key(kTemporarySuffix);

  std::wstring key;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].name;
    for (const std::wstring& savedKey : saved) {
      if (order.compare(names[i], savedKey) == 0) {
        reason = quoted(name) + " is reserved for the launcher's saved copies";
        return true;
      }
    }
    // The earliest file of each kind of clash; an index of i or later is none.
    const size_t twice = firstWithKey(byName, names, names[i], order);
    size_t itsTemporary = SIZE_MAX;
    const std::wstring& own = names[i];
    if (own.size() >= suffix.size()) {
      key.assign(own, own.size() - suffix.size());
      if (order.compare(key, suffix) == 0) {
        key.assign(own, 0, own.size() - suffix.size());
        itsTemporary = firstWithKey(byName, names, key, order);
      }
    }
    key.assign(own).append(suffix);
    const size_t ourTemporary = firstWithKey(byName, names, key, order);
    const size_t earliest = std::min({twice, itsTemporary, ourTemporary});
    if (earliest >= i) continue;
    const std::string& earlier = files[earliest].name;
    if (twice == earliest) {
      reason = quoted(name) + " is listed twice";
    } else if (itsTemporary == earliest) {
      reason = quoted(name) + " collides with the temporary file of \"" + earlier + "\"";
    } else {
      reason = quoted(earlier) + " collides with the temporary file of \"" + name + "\"";
    }
    return true;
  }
  return false;
}

bool listsRequiredLauncher(const Manifest& manifest, const std::string& launcherName) {
  const std::string wanted = toLowerAscii(launcherName);
  for (const ManifestFile& file : manifest.files) {
    if (file.required && toLowerAscii(file.name) == wanted) return true;
  }
  return false;
}

// A file the record vouches for is not read at all. One with a chunk index is cut into chunks in
// the same read that hashes it, for its own update or another's.
bool isUpToDate(const PendingFile& pending, VerifiedFiles& verified, LocalChunks& local) {
  std::optional<FileStamp> stamp;
  if (verified.vouchesFor(pending.file, pending.target, stamp)) return true;
  Sha256Digest digest;
  uint64_t size = 0;
  if (pending.file.chunks) {
    ChunkingHasher hasher;
    if (!readFilePieces(
            pending.target,
            [&hasher](const char* data, size_t length) { hasher.update(data, length); }, size)) {
      return false;
    }
    digest = hasher.finish();
    local.add(pending.target, hasher.chunks());
  } else if (!fileSha256(pending.target, digest, size)) {
    return false;
  }
  verified.learn(pending.file.name, stamp, digest);
  return size == pending.file.size && digest == pending.file.sha256;
}

// Fetches, verifies and reads the manifest and checks its names; on failure returns false with
// the status and message set.
bool acceptManifest(PackageResult& result, const std::filesystem::path& packageFolder,
                    const std::string& manifestUrl, const std::string& launcherName, Net& net,
                    const std::vector<TrustedKey>& keys, const ManifestPin& pin) {
  if (!isHttpsUrl(manifestUrl)) {
    result.status = PackageStatus::Unreadable;
    result.message = "the manifest URL is not https: " + manifestUrl;
    return false;
  }
  const std::string sigUrl = signatureUrl(manifestUrl);
  // Both at once where the connection multiplexes; the manifest's failure still speaks first.
  TextPair fetched = getTextPair(net, manifestUrl, sigUrl);
  std::string& text = fetched.first;
  const std::string& signature = fetched.second;
  const uint32_t status = fetched.firstStatus;
  if (status != 200) {
    result.status = PackageStatus::Unreachable;
    result.message = status == 0 ? "no answer from " + manifestUrl
                                 : manifestUrl + " said HTTP " + decimalText(status);
    return false;
  }
  const uint32_t sigStatus = fetched.secondStatus;
  if (sigStatus == 0) {
    result.status = PackageStatus::Unreachable;
    result.message = "no answer from " + sigUrl;
    return false;
  }
  if (sigStatus != 200) {
    result.status = PackageStatus::Unsigned;
    result.message =
        "the manifest is not signed: " + sigUrl + " said HTTP " + decimalText(sigStatus);
    return false;
  }
  result.message = verifySignature("the manifest", text, signature, keys);
  if (!result.message.empty()) {
    result.status = PackageStatus::Unsigned;
    return false;
  }
  Manifest manifest;
  if (!parseManifest(text, manifest, &result.message)) {
    result.status = PackageStatus::Unreadable;
    return false;
  }
  result.version = manifest.version;
  result.manifestText = std::move(text);
  result.manifest = std::move(manifest);
  if (!acceptsManifestFiles(result.manifest, launcherName, &result.message)) {
    result.status = PackageStatus::Unreadable;
    return false;
  }
  bool saved = false;
  if (!isCurrentManifest(
          result.manifestText, result.manifest, pin,
          savedManifestSerial(packageFolder, result.manifestText, result.manifest, &saved),
          &result.message)) {
    // Like a bad signature: neither copy is saved, nothing is installed.
    result.status = PackageStatus::Unsigned;
    result.outdated = true;
    return false;
  }
  if (saved) {
    result.manifestSavedAs = textSha256(result.manifestText);
    std::string().swap(result.manifestText);
  }
  return true;
}

// The files whose target is missing or differs from the manifest, in manifest order.
std::vector<PendingFile> planDownloads(const Manifest& manifest,
                                       const std::filesystem::path& folder, DownloadRecord& record,
                                       VerifiedFiles& verified, LocalChunks& local) {
  std::vector<PendingFile> pending;
  for (const ManifestFile& file : manifest.files) {
    const std::filesystem::path target = joinPath(folder, file.name);
    PendingFile candidate{file, target, temporaryName(target)};
    if (file.size >= kRecordedDownloadsFrom) candidate.record = &record;
    candidate.asideFolder = asideFolderPath(folder);
    if (!isUpToDate(candidate, verified, local)) pending.push_back(std::move(candidate));
  }
  return pending;
}

// Waited for under the file's own name: one wait and one notice per file, whatever is held.
void removeTemporary(const PendingFile& entry, HeldFiles& held) {
  std::error_code ignored;
  (void)held.remove(entry.file.name, entry.temporary, ignored);
}

// All or nothing for required files: the first that fails removes every ".new" of the run.
bool downloadAll(PackageResult& result, std::vector<PendingFile>& pending,
                 const std::string& manifestUrl, Net& net, HeldFiles& held, FILE* progress,
                 const LocalChunks& local) {
  DownloadPhase phase = downloadPending(
      pending, [&manifestUrl](const std::string& name) { return fileUrl(manifestUrl, name); }, net,
      progress, held.clock(), &local);
  result.skipped = std::move(phase.skipped);
  if (phase.failure.empty()) return true;
  for (const PendingFile& other : pending) removeTemporary(other, held);
  result.status = PackageStatus::Failed;
  result.message = std::move(phase.failure);
  return false;
}

// One file moved in by the replace phase, and how to undo it.
struct Replaced {
  const PendingFile* entry;
  std::filesystem::path backup;
  bool backedUp;  // else the target did not exist before, or was no regular file
};

// Keeps the target's old content at backup (when there is a file to keep), then moves the
// downloaded file over it; both wait for a held file. A folder or link planted at the backup's
// name, which would fail this file's every update, is moved into aside first.
bool replaceOne(Replaced& replaced, bool backupsUsable, const std::filesystem::path& aside,
                HeldFiles& held, std::error_code& error) {
  const PendingFile& entry = *replaced.entry;
  const std::string& name = entry.file.name;
  std::error_code statusError;
  if (std::filesystem::is_regular_file(
          std::filesystem::symlink_status(entry.target, statusError))) {
    if (!backupsUsable || !clearName(replaced.backup, aside, error)) {
      if (!backupsUsable) error = linkRefusedError();
      return false;
    }
    const auto keep = [&](std::error_code& failure) {
      return keepBackup(entry.target, replaced.backup, failure);
    };
    if (!held.retry(name, keep, error)) return false;
    replaced.backedUp = true;
  }
  // The journal is on disk before the first move and leaves only after the folder is flushed
  // once, below: a move lost in a crash is one the next start's recovery would undo anyway.
  return held.move(name, entry.temporary, entry.target, error, MoveScope::PackageFolder,
                   MoveSync::Later);
}

// Undoes the moves of this run, the last first: each old file back, each new one gone. False
// when a file could not be put back.
bool putBack(const std::vector<Replaced>& moved, HeldFiles& held) {
  held.renewWaits();
  bool complete = true;
  for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
    const PendingFile& entry = *it->entry;
    std::error_code ignored;
    if (it->backedUp) {
      complete &= held.move(entry.file.name, it->backup, entry.target, ignored);
    } else {
      complete &= held.remove(entry.file.name, entry.target, ignored);
    }
  }
  return complete;
}

// All or nothing for required files: the files moved in stay only when every required one is
// in, so the folder never holds a package that no manifest described. Returns the failure of a
// required file, empty when there is none. The lines of the moves come once the outcome is known.
std::string replaceAll(PackageResult& result, const std::vector<PendingFile>& pending,
                       const std::filesystem::path& folder, HeldFiles& held, FILE* progress) {
  const bool backupsUsable = createBackupFolder(folder);
  const std::filesystem::path backups = backupFolderPath(folder);
  // Before the first move: a start after a kill puts the old package back from it.
  std::vector<JournalEntry> journal;
  for (const PendingFile& entry : pending) {
    std::error_code error;
    if (!entry.downloaded) continue;
    journal.push_back({entry.file.name,
                       backupsUsable && std::filesystem::is_regular_file(
                                            std::filesystem::symlink_status(entry.target, error))});
  }
  if (!writeReplaceJournal(folder, journal)) {
    const std::string failure = std::string("could not write ") + kReplaceJournalName;
    printPackageLine(progress, "[!] " + failure);
    for (const PendingFile& entry : pending) removeTemporary(entry, held);
    return failure;
  }
  std::vector<Replaced> moved;
  std::vector<std::string> lines;
  std::vector<std::string> skipped;
  std::string failure;
  for (const PendingFile& entry : pending) {
    if (!entry.downloaded) continue;
    const std::string& name = entry.file.name;
    Replaced replaced{&entry, joinPath(backups, name), false};
    std::error_code error;
    if (replaceOne(replaced, backupsUsable, asideFolderPath(folder), held, error)) {
      moved.push_back(replaced);
      lines.push_back("[+] " + name + " updated");
      continue;
    }
    const std::string text = "could not replace " + name + " (" + systemErrorMessage(error) +
                             ") -- is the game running?";
    removeTemporary(entry, held);
    if (entry.file.required) {
      failure = text;
      break;
    }
    lines.push_back("[!] " + text);
    skipped.push_back(text);
  }
  if (failure.empty()) {
    // The new names on disk before the journal that could undo them goes. A failed flush is no
    // failed update: the names are in place, as after a move whose own flush failed.
    std::error_code flushError;
    (void)flushFolder(folder, flushError);
    for (const std::string& line : lines) printPackageLine(progress, line);
    for (const Replaced& replaced : moved) result.updated.push_back(replaced.entry->file.name);
    result.skipped.insert(result.skipped.end(), skipped.begin(), skipped.end());
    // The moment the new package is whole: from here no start undoes it.
    (void)removeReplaceJournal(folder, held);
  } else {
    printPackageLine(progress, "[!] " + failure);
    result.restored = putBack(moved, held);
    result.mixed = !result.restored;
    // A package that could not be put back keeps its journal: the next start tries again.
    if (result.restored) (void)removeReplaceJournal(folder, held);
    if (result.mixed) {
      // Neither package is in the folder: without the saved manifest no start, online or
      // offline, takes it for an installed one, and the next update completes it.
      std::error_code ignored;
      (void)held.remove(kManifestName, savedManifestPath(folder), ignored);
    }
    for (const PendingFile& entry : pending) removeTemporary(entry, held);
  }
  // The journal of a package that could not be put back needs its backups.
  if (!result.mixed) removeBackupFolder(folder, held);
  return failure;
}

// The files the replace phase moved in: updated lists them in pending's order.
void recordInstalled(const std::vector<PendingFile>& pending,
                     const std::vector<std::string>& updated, VerifiedFiles& verified) {
  auto next = updated.begin();
  for (const PendingFile& entry : pending) {
    if (next == updated.end()) break;
    if (entry.file.name != *next) continue;
    verified.installed(entry.file, entry.target);
    ++next;
  }
}

}  // namespace

bool acceptsManifestFiles(const Manifest& manifest, const std::string& launcherName,
                          std::string* problem, const NameOrder& order) {
  std::string reason;
  if (!launcherName.empty() && !listsRequiredLauncher(manifest, launcherName)) {
    reason = "the manifest does not list " + launcherName + " as a required file";
  } else if (!findNameClash(manifest, reason, order)) {
    return true;
  }
  if (problem != nullptr) *problem = reason;
  return false;
}

bool isCurrentManifest(const std::string& text, const Manifest& manifest, const ManifestPin& pin,
                       std::optional<uint64_t> savedSerial, std::string* detail) {
  if (pin.sha256) {
    if (textSha256(text) != *pin.sha256) {
      if (detail != nullptr) {
        *detail = std::string(kManifestName) + " of " + pin.gameName + " does not match " +
                  kCatalogueName;
      }
      return false;
    }
  }
  return isNotOlder(kManifestName, manifest.serial, savedSerial, detail);
}

void updatePackage(PackageResult& result, const std::filesystem::path& packageFolder,
                   const std::string& manifestUrl, const std::string& launcherName, Net& net,
                   FILE* progress, const std::vector<TrustedKey>& keys, const ManifestPin& pin,
                   HeldFiles* held, bool fullCheck) {
  result = PackageResult();
  result.status = PackageStatus::Failed;
  if (!acceptManifest(result, packageFolder, manifestUrl, launcherName, net, keys, pin)) return;

  if (!createPackageFolder(packageFolder)) {
    result.status = PackageStatus::Failed;
    result.message = "could not create " + packageFolder.u8string();
    return;
  }
  HeldFiles naming([progress](const std::string& name) {
    printPackageLine(progress, HeldFiles::waitingLine(name));
  });
  HeldFiles& waits = held != nullptr ? *held : naming;
  // What a run that was cut short in its replace phase left: the launcher put it back before
  // it trusted the folder, unless a file was held then. A wait for one of them is not a wait
  // for the file of that name in this run.
  (void)recoverInterruptedReplace(packageFolder, waits);

  DownloadRecord record(packageFolder);
  VerifiedFiles verified(packageFolder, fullCheck);
  LocalChunks local;
  std::vector<PendingFile> pending =
      planDownloads(result.manifest, packageFolder, record, verified, local);
  if (pending.empty()) {
    result.status = PackageStatus::Ok;
    verified.save();
    return;
  }
  if (downloadAll(result, pending, manifestUrl, net, waits, progress, local)) {
    result.message = replaceAll(result, pending, packageFolder, waits, progress);
    result.status = result.message.empty() ? PackageStatus::Ok : PackageStatus::Failed;
    if (result.status == PackageStatus::Ok) recordInstalled(pending, result.updated, verified);
  }
  record.settle();
  verified.save();
}

}  // namespace velm
