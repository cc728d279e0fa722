// Paths and the UTF-8 text inside the launcher: one path type, std::filesystem::path, made from
// and shown as UTF-8 by these conversions alone, and one join. None of them throws: an
// ill-formed sequence becomes U+FFFD, as the Windows conversions make it.
#pragma once

#include <filesystem>
#include <string>

namespace velm {

// UTF-8 text as a path: its bytes as they stand on the POSIX port, UTF-16 on Windows.
std::filesystem::path pathFromUtf8(const std::string& text);
// A wide path as a path: as it stands on Windows, through UTF-8 on the POSIX port.
std::filesystem::path pathFromWide(const std::wstring& path);
// A path as UTF-8 text, for messages and names; a Windows name may hold an unpaired surrogate,
// which becomes U+FFFD, where path::u8string() would throw.
std::string pathToUtf8(const std::filesystem::path& path);

// folder joined with a UTF-8 name by the file system's path rules: no separator after an empty
// folder, a folder that already ends in one, or (on Windows) a bare drive designator.
std::filesystem::path joinPath(const std::filesystem::path& folder, const std::string& name);

}  // namespace velm
