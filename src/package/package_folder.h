// The package folder beside the launcher and every file the launcher keeps in it, named in this
// one place as leveldb's db/filename.h names a database's files: the saved copies of the two
// signed documents, and the ".new" file that each file is written to before it is moved in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velm {

inline constexpr char kPackageFolderName[] = "Velm Co-op";
// Appended to a file's name while it is written; it is moved over the file once complete.
inline constexpr char kTemporarySuffix[] = ".new";

// The package folder: exeDir (UTF-8, may be empty) joined with "Velm Co-op".
std::filesystem::path packageFolderPath(const std::string& exeDir);
// A file of the folder by its UTF-8 name, which must be well-formed UTF-8.
std::filesystem::path packageFilePath(const std::filesystem::path& folder, const std::string& name);
// The copies of the last catalogue and manifest that were accepted, for offline starts.
std::filesystem::path savedCataloguePath(const std::filesystem::path& folder);
std::filesystem::path savedManifestPath(const std::filesystem::path& folder);
// The names above and their ".new" files: no package file may take one.
const std::vector<std::string>& savedCopyNames();
// path with ".new" appended.
std::filesystem::path temporaryPath(const std::filesystem::path& path);

// Creates the folder and its missing parents; true when it is a folder afterwards, and not a
// symbolic link or junction to one.
[[nodiscard]] bool createPackageFolder(const std::filesystem::path& folder);
// Writes temporaryPath(path), closed to other writers, and moves it over path; true when path
// now holds exactly bytes. A failed move leaves no ".new" behind. False, with nothing written,
// when path's folder, path or its ".new" is a link.
[[nodiscard]] bool saveFile(const std::filesystem::path& path, const std::string& bytes);
// The whole file, byte for byte; false when it cannot be opened.
[[nodiscard]] bool readTextFile(const std::filesystem::path& path, std::string& text);
// The serial of the saved catalogue or manifest: the highest one this folder has accepted.
// None when the copy is missing, no longer valid, or has no serial.
std::optional<uint64_t> savedCatalogueSerial(const std::filesystem::path& folder);
std::optional<uint64_t> savedManifestSerial(const std::filesystem::path& folder);

}  // namespace velm
