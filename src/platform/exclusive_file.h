// A ".new" file being written: created or truncated, and closed to every other writer until it
// is closed, so two launchers in one folder never write into each other's download.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>

namespace velm {

class ExclusiveFile {
 public:
  ExclusiveFile() = default;
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  // False when the file cannot be opened, another writer holds it, or it is a symbolic link or
  // junction (it is then left as it is: not truncated, and nothing written where a link leads).
  // Windows denies write and delete sharing; POSIX takes an exclusive lock that every launcher
  // asks for before it truncates.
  [[nodiscard]] bool open(const std::filesystem::path& path);
  // False once any write failed.
  [[nodiscard]] bool write(const void* data, size_t length);
  // Flushes, puts the bytes on disk and closes; false when that, or any earlier write, failed.
  // A finished file is moved over its target next, so a power loss after the move must never
  // find a target replaced by bytes that were still in the cache.
  [[nodiscard]] bool close();

 private:
  FILE* file_ = nullptr;
  bool failed_ = false;
};

// The platform half: a stdio stream for writing, or null; and the sync of its written bytes to
// stable storage (fsync, FlushFileBuffers).
FILE* openExclusiveForWriting(const std::filesystem::path& path);
[[nodiscard]] bool syncToDisk(FILE* file);

}  // namespace velm
