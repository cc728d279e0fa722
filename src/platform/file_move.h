// Moving a finished ".new" file over its target; platform/os_error.h words a failed move.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace velm {

// Moves source over target, replacing an existing target; may copy across volumes (Windows:
// MoveFileExW with replace-existing and copy-allowed; POSIX: rename, else copy and delete).
// The source comes from an ExclusiveFile, whose close put its bytes on stable storage. On
// failure returns false with error set to the system's code.
[[nodiscard]] bool moveReplacing(const std::filesystem::path& source,
                                 const std::filesystem::path& target, std::error_code& error);

// Writes a file's cached bytes to stable storage (FlushFileBuffers, fsync). On failure returns
// false with error set.
[[nodiscard]] bool flushToDisk(const std::filesystem::path& file, std::error_code& error);

}  // namespace velm
