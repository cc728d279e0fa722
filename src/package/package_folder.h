// The package folder beside the launcher and every file the launcher keeps in it, named in this
// one place as leveldb's db/filename.h names a database's files: the saved copies of the two
// signed documents, the ".new" file that each file is written to before it is moved in, and the
// folder that keeps what an update replaces until the update is whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "os/held_file.h"
#include "text/text.h"

namespace velm {

struct Manifest;

inline constexpr char kPackageFolderName[] = "Velm Co-op";
// Appended to a file's name while it is written; it is moved over the file once complete.
inline constexpr char kTemporarySuffix[] = ".new";
// Inside the package folder: the files an update replaces, kept until every required file is
// in. No package file can take the name: names may not contain "..".
inline constexpr char kBackupFolderName[] = "..backup";
// Inside the package folder: what stood at a name the launcher writes and was not its own (a
// link, a folder, a special file), moved there rather than deleted or written through.
inline constexpr char kAsideFolderName[] = "..aside";
// Inside the package folder: the file a launcher locks while it changes files in the game folder
// (os/folder_lock.h). No package file can take the name either.
inline constexpr char kLockFileName[] = "..lock";

// Inside the package folder: the record of the files the launcher has hashed or installed
// (package/verified_files.h). No package file can take the name either.
inline constexpr char kVerifiedFilesName[] = "..verified";

// The package folder: the exe's folder (may be empty) joined with "Velm Co-op".
std::filesystem::path packageFolderPath(const std::filesystem::path& exeFolder);
// The copies of the last catalogue and manifest that were accepted, for offline starts.
std::filesystem::path savedCataloguePath(const std::filesystem::path& folder);
std::filesystem::path savedManifestPath(const std::filesystem::path& folder);
// The names above and their ".new" files: no package file may take one.
const std::vector<std::string>& savedCopyNames();
// A file's temporary name: its UTF-8 name, wide path or path with ".new" appended. Every
// temporary name the launcher makes comes from here.
template <class Name>
Name temporaryName(Name name) {
  for (const char* c = kTemporarySuffix; *c != '\0'; ++c) name += typename Name::value_type(*c);
  return name;
}

// The backup and aside folders of a package folder.
std::filesystem::path backupFolderPath(const std::filesystem::path& folder);
std::filesystem::path asideFolderPath(const std::filesystem::path& folder);
// Creates the backup folder, after moving aside whatever else stood at its name; true when it is
// a folder afterwards, and not a link to one.
[[nodiscard]] bool createBackupFolder(const std::filesystem::path& folder);
// Removes the backup folder and the files in it, retrying held ones; links in or at its place
// are removed, never followed, and folders in it moved aside. Whatever cannot be removed
// stays, for the next run to try.
void removeBackupFolder(const std::filesystem::path& folder, HeldFiles& held);

// Creates the folder and its missing parents; true when it is a folder afterwards, and not a
// symbolic link or junction to one.
[[nodiscard]] bool createPackageFolder(const std::filesystem::path& folder);
// Writes temporaryPath(path), closed to other writers, and moves it over path; true when path
// now holds exactly bytes. A failed move leaves no ".new" behind. Whatever stood at the ".new"
// is moved aside first, never written through. False, with nothing written, when path's folder
// or path is a link. The move and the removal of a ".new" that
// could not be moved wait for a held file through held, when given.
[[nodiscard]] bool saveFile(const std::filesystem::path& path, const std::string& bytes,
                            HeldFiles* held = nullptr);
// saveFile, unless path is already a plain file holding exactly bytes, nothing stands at its
// ".new" name and a save could be made (so a copy that cannot be written still fails): a saved
// copy of a large manifest is usually the one fetched again, and rewriting it costs a write and
// a flush.
[[nodiscard]] bool saveFileIfChanged(const std::filesystem::path& path, const std::string& bytes,
                                     HeldFiles* held = nullptr);
// saveFileIfChanged for bytes known only by their digest, not kept because path held them when
// they came; a save that is due after all writes what path holds. False, nothing saved, when
// path no longer holds them.
[[nodiscard]] bool resaveFile(const std::filesystem::path& path, const Sha256Digest& digest,
                              HeldFiles* held = nullptr);
// The serial of the saved catalogue or manifest: the highest one this folder has accepted.
// None when the copy is missing, no longer valid, or has no serial.
std::optional<uint64_t> savedCatalogueSerial(const std::filesystem::path& folder);
std::optional<uint64_t> savedManifestSerial(const std::filesystem::path& folder);
// The same, given a manifest just parsed from text: a copy that holds exactly that text has its
// serial, and is not parsed again; holdsText, when given, tells whether it does.
std::optional<uint64_t> savedManifestSerial(const std::filesystem::path& folder,
                                            const std::string& text, const Manifest& parsed,
                                            bool* holdsText = nullptr);

}  // namespace velm
