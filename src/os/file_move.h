// Moving a finished ".new" file over its target, and telling a link from what it leads to;
// platform/os_error.h words a failed move.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace velm {

// Where a move may take a file, and what it refuses on the way.
enum class MoveScope {
  // A file of the package folder: the system may copy it across volumes, and a target folder
  // that is a link is refused, since the link would carry the move into another folder.
  PackageFolder,
  // A build of the launcher beside the running one: renamed within the folder the launcher runs
  // from, never copied, in that folder wherever the player's links led to it.
  ExeFolder,
};

// When a move's new name reaches stable storage.
enum class MoveSync {
  // Before the move returns (POSIX: the target's folder flushed).
  Now,
  // When the caller calls flushFolder on the target's folder, once for a batch of moves whose
  // outcome a journal already records: one flush instead of one per file.
  Later,
};

// Moves source over target, replacing an existing target (Windows: MoveFileExW with
// replace-existing, and copy-allowed for PackageFolder; POSIX: rename, else for PackageFolder
// copy and delete, and by sync the folder's entry flushed). A source and target that are two names
// of one file leave the target's name alone. The source comes from an ExclusiveFile, whose close
// put its bytes on stable storage. A source or target that is a link, or by the scope's rule a
// target folder, is refused before anything moves, with error set to linkRefusedError(). On
// failure returns false with error set to the system's code.
[[nodiscard]] bool moveReplacing(const std::filesystem::path& source,
                                 const std::filesystem::path& target, std::error_code& error,
                                 MoveScope scope = MoveScope::PackageFolder,
                                 MoveSync sync = MoveSync::Now);

// Puts the names that moves with MoveSync::Later gave in folder on stable storage (POSIX: fsync
// of the folder; Windows: nothing, as no move there flushes its folder: NTFS journals its names).
// On failure returns false with error set.
[[nodiscard]] bool flushFolder(const std::filesystem::path& folder, std::error_code& error);

// Deletes a file (not a folder); a link is deleted, not what it leads to, also under Wine, where
// a Unix link looks like the file it names (own_file.h's dropName). A missing file is no failure.
// On failure returns false with error set to the system's code.
[[nodiscard]] bool removeFile(const std::filesystem::path& path, std::error_code& error);

// Deletes an empty folder, or on POSIX a link to a folder (the link, not what it leads to). A
// folder link on Windows is refused with linkRefusedError(): Wine would remove the folder it
// leads to. On failure returns false with error set.
[[nodiscard]] bool removeFolder(const std::filesystem::path& path, std::error_code& error);

// Gives the regular file at file a second name, backup, whose content a later move over file
// leaves as it was: a hard link where the file system has them, else a copy on stable storage.
// An existing backup is replaced. On failure returns false with error set.
[[nodiscard]] bool keepBackup(const std::filesystem::path& file,
                              const std::filesystem::path& backup, std::error_code& error);

// Writes a file's cached bytes to stable storage (FlushFileBuffers, fsync). On failure returns
// false with error set.
[[nodiscard]] bool flushToDisk(const std::filesystem::path& file, std::error_code& error);

// True when path itself, not what it leads to, is a symbolic link, a junction, a mount point or
// another reparse point that names something else (a cloud file's placeholder holds its own
// data and is no link). Only the last component counts: the folders above it may be links. A
// path that cannot be examined (a missing one) is no link.
[[nodiscard]] bool isLink(const std::filesystem::path& path);

// The platform half of moveReplacing: the move itself, links already refused.
[[nodiscard]] bool renameReplacing(const std::filesystem::path& source,
                                   const std::filesystem::path& target, MoveScope scope,
                                   MoveSync sync, std::error_code& error);
// The platform halves of keepBackup: a hard link named link to file; a copy of file's bytes at
// copy, on stable storage. Neither follows a link at copy.
[[nodiscard]] bool hardLink(const std::filesystem::path& file, const std::filesystem::path& link,
                            std::error_code& error);
[[nodiscard]] bool copyToDisk(const std::filesystem::path& file, const std::filesystem::path& copy,
                              std::error_code& error);

}  // namespace velm
