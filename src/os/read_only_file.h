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

// Whether a symbolic link (or junction) at the file's own name is followed or refused.
enum class Links { Follow, Refuse };

// Null when the file cannot be opened or is not a plain file: a folder, a FIFO or a device in
// its place is never waited on (a FIFO would hold the open, or the first read, until another
// program wrote to it).
ReadOnlyFile openReadOnly(const std::filesystem::path& path, Links links = Links::Follow);

// The whole content of a plain file, never read through a link: anything else at path counts as
// missing. False when there is no such file, it cannot be opened or a read fails.
[[nodiscard]] bool readWholeFile(const std::filesystem::path& path, std::string& content);

}  // namespace velm
