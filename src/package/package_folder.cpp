#include "package/package_folder.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "catalogue/catalogue.h"
#include "net/sha256.h"
#include "os/exclusive_file.h"
#include "os/file_move.h"
#include "os/own_file.h"
#include "os/read_only_file.h"
#include "package/manifest.h"
#include "text/path_text.h"

namespace velm {

std::filesystem::path packageFolderPath(const std::filesystem::path& exeFolder) {
  return joinPath(exeFolder, kPackageFolderName);
}

std::filesystem::path savedCataloguePath(const std::filesystem::path& folder) {
  return joinPath(folder, kCatalogueName);
}

std::filesystem::path savedManifestPath(const std::filesystem::path& folder) {
  return joinPath(folder, kManifestName);
}

const std::vector<std::string>& savedCopyNames() {
  static const std::vector<std::string> names = {kCatalogueName, kManifestName,
                                                 temporaryName<std::string>(kCatalogueName),
                                                 temporaryName<std::string>(kManifestName)};
  return names;
}

std::filesystem::path backupFolderPath(const std::filesystem::path& folder) {
  return joinPath(folder, kBackupFolderName);
}

std::filesystem::path asideFolderPath(const std::filesystem::path& folder) {
  return joinPath(folder, kAsideFolderName);
}

bool createBackupFolder(const std::filesystem::path& folder) {
  const std::filesystem::path backups = backupFolderPath(folder);
  std::error_code error;
  if (isLink(backups) || !std::filesystem::is_directory(backups, error)) {
    (void)clearName(backups, asideFolderPath(folder), error);
  }
  std::filesystem::create_directory(backups, error);
  // Backups are removed by name after the update: in a linked folder that would delete another
  // folder's files.
  return std::filesystem::is_directory(backups, error) && !isLink(backups);
}

namespace {

// A link goes, never what it names; a folder goes when empty, else aside: the launcher puts none
// there, and one left in the way would fail every later update of that file.
void removeEntry(const std::filesystem::path& path, const std::filesystem::file_status& status,
                 const std::filesystem::path& aside, HeldFiles& held) {
  std::error_code error;
  const bool link = isLink(path);
  if ((link || std::filesystem::is_directory(status)) && removeFolder(path, error)) return;
  if (!std::filesystem::is_directory(status) || link) {
    (void)held.remove(path.filename().u8string(), path, error);
  } else if (!aside.empty()) {
    (void)clearName(path, aside, error);
  }
}

}  // namespace

void removeBackupFolder(const std::filesystem::path& folder, HeldFiles& held) {
  const std::filesystem::path backups = backupFolderPath(folder);
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(backups, error);
  if (error || !std::filesystem::exists(status)) return;
  if (!isLink(backups) && std::filesystem::is_directory(status)) {
    std::filesystem::directory_iterator entries(backups, error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
      removeEntry(entries->path(), entries->symlink_status(), asideFolderPath(folder), held);
    }
  }
  removeEntry(backups, status, std::filesystem::path(), held);
}

bool createPackageFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  // A linked package folder would carry every write, move and delete into the folder it names;
  // the folders above it may be links (a game library moved to another drive).
  return std::filesystem::is_directory(folder, error) && !isLink(folder);
}

bool saveFile(const std::filesystem::path& path, const std::string& bytes, HeldFiles* held) {
  if (isLink(path.parent_path())) return false;
  const std::filesystem::path temporary = temporaryName(path);
  {
    ExclusiveFile file;
    ExclusiveFile::Claim claim;
    claim.asideFolder = asideFolderPath(path.parent_path());
    if (!file.open(temporary, ExclusiveFile::Existing::Truncate, 0, claim)) return false;
    const bool written = file.write(bytes.data(), bytes.size());
    if (!file.close() || !written) return false;
  }
  HeldFiles quiet;
  HeldFiles& waits = held != nullptr ? *held : quiet;
  const std::string name = path.filename().u8string();
  std::error_code error;
  if (waits.move(name, temporary, path, error)) return true;
  (void)waits.remove(name, temporary, error);
  return false;
}

namespace {

// Whether path is a plain file, no link, whose bytes are exactly bytes; read a block at a time,
// as the copy may be large.
bool holdsExactly(const std::filesystem::path& path, const std::string& bytes) {
  const ReadOnlyFile file = openReadOnly(path, Links::Refuse);
  if (file == nullptr) return false;
  char block[65536];
  size_t offset = 0;
  for (;;) {
    const size_t got = std::fread(block, 1, sizeof block, file.get());
    if (got == 0) break;
    if (got > bytes.size() - offset || bytes.compare(offset, got, block, got) != 0) return false;
    offset += got;
  }
  return !std::ferror(file.get()) && offset == bytes.size();
}

// Whether a save of path could be made now, without writing it: its ".new" can be made in the
// folder (not read-only, not full of names) and the copy itself opened for writing (Windows
// refuses that for a read-only file, as it refuses to move a file over one). A copy that could
// not be saved is reported as before, whether or not it already holds the bytes.
bool couldSave(const std::filesystem::path& path) {
  const std::filesystem::path temporary = temporaryName(path);
  ExclusiveFile file;
  if (!file.open(temporary)) return false;
  const bool made = file.close(ExclusiveFile::Flush::Later);
  std::error_code error;
  const bool removed = removeFile(temporary, error);
  return made && removed && flushToDisk(path, error);
}

// Whether a save of what path holds would change nothing, holds telling whether path holds it.
template <typename Holds>
bool saveChangesNothing(const std::filesystem::path& path, const Holds& holds) {
  // Whatever stands at the ".new" name is cleared by a save, as after any other.
  std::error_code error;
  const bool temporaryFree =
      !std::filesystem::exists(std::filesystem::symlink_status(temporaryName(path), error));
  return !isLink(path.parent_path()) && temporaryFree && holds() && couldSave(path);
}

}  // namespace

bool saveFileIfChanged(const std::filesystem::path& path, const std::string& bytes,
                       HeldFiles* held) {
  if (saveChangesNothing(path, [&] { return holdsExactly(path, bytes); })) return true;
  return saveFile(path, bytes, held);
}

bool resaveFile(const std::filesystem::path& path, const Sha256Digest& digest, HeldFiles* held) {
  // Hashed a block at a time: the copy read whole here would bring back the 15 MB (100,000
  // files) that leaving its text out saved, and lift that start's peak from 59 to 75 MiB.
  const auto holds = [&] {
    const ReadOnlyFile file = openReadOnly(path, Links::Refuse);
    Sha256 hasher;
    char block[65536];
    size_t got;
    while (file && (got = std::fread(block, 1, sizeof block, file.get())) > 0) {
      hasher.update(block, got);
    }
    return file && !std::ferror(file.get()) && hasher.finalDigest() == digest;
  };
  if (saveChangesNothing(path, holds)) return true;
  // A save is due after all (a ".new" left by a kill, say): the bytes are still the copy's.
  std::string bytes;
  return readWholeFile(path, bytes) && textSha256(bytes) == digest && saveFile(path, bytes, held);
}

std::optional<uint64_t> savedCatalogueSerial(const std::filesystem::path& folder) {
  std::string text;
  if (!readWholeFile(savedCataloguePath(folder), text)) return std::nullopt;
  const CatalogueResult saved = parseCatalogue(text);
  return saved.ok ? saved.catalogue.serial : std::nullopt;
}

std::optional<uint64_t> savedManifestSerial(const std::filesystem::path& folder) {
  std::string text;
  Manifest saved;
  if (!readWholeFile(savedManifestPath(folder), text) || !parseManifest(text, saved, nullptr)) {
    return std::nullopt;
  }
  return saved.serial;
}

std::optional<uint64_t> savedManifestSerial(const std::filesystem::path& folder,
                                            const std::string& text, const Manifest& parsed,
                                            bool* holdsText) {
  const bool holds = holdsExactly(savedManifestPath(folder), text);
  if (holdsText != nullptr) *holdsText = holds;
  return holds ? parsed.serial : savedManifestSerial(folder);
}

}  // namespace velm
