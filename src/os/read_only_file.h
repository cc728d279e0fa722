// A file opened for reading only, whose handle no program the launcher starts inherits: the
// launcher reads while its network thread runs, and a descriptor open at that moment must not
// reach the game.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace velm {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using ReadOnlyFile = std::unique_ptr<std::FILE, FileCloser>;

// Null when the file cannot be opened.
ReadOnlyFile openReadOnly(const std::filesystem::path& path);

// The whole content of a file; false when it cannot be opened or a read fails (a folder in the
// file's place, say).
[[nodiscard]] bool readWholeFile(const std::filesystem::path& path, std::string& content);

}  // namespace velm
