// A ".new" file being written: created or truncated, and closed to every other writer until it
// is closed, so two launchers in one folder never write into each other's download.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

namespace velm {

class ExclusiveFile {
 public:
  ExclusiveFile() = default;
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  // What open does with the bytes a file already holds.
  enum class Existing { Truncate, Keep };

  // False when the file cannot be opened, another writer holds it, or it is a symbolic link or
  // junction (it is then left as it is: not truncated, and nothing written where a link leads).
  // Windows denies write and delete sharing; POSIX takes an exclusive lock that every launcher
  // asks for before it truncates. With Keep the bytes stay and writes go after them. A
  // writeBuffer of N gathers writes into N bytes before they go to the system (0: stdio's own).
  [[nodiscard]] bool open(const std::filesystem::path& path, Existing existing = Existing::Truncate,
                          size_t writeBuffer = 0);
  // Feeds the bytes the file holds to reader, in order, and sets size to their count; false
  // when a read fails. Writes go on after them.
  [[nodiscard]] bool readBack(const std::function<void(const char* data, size_t length)>& reader,
                              uint64_t& size);
  // Empties the file; writes start again at byte 0. False when that fails.
  [[nodiscard]] bool restart();
  // False once any write failed.
  [[nodiscard]] bool write(const void* data, size_t length);
  // Flushes, puts the bytes on disk and closes; false when that, or any earlier write, failed.
  // A finished file is moved over its target next, so a power loss after the move must never
  // find a target replaced by bytes that were still in the cache.
  [[nodiscard]] bool close();

 private:
  std::unique_ptr<char[]> buffer_;  // the stream's, when open was given one; freed after it
  FILE* file_ = nullptr;
  bool failed_ = false;
};

// The platform half: a stdio stream for reading and writing, emptied unless keep is set, or
// null; the sync of its written bytes to stable storage (fsync, FlushFileBuffers); and emptying
// an open file.
FILE* openExclusiveForWriting(const std::filesystem::path& path, bool keep);
[[nodiscard]] bool syncToDisk(FILE* file);
[[nodiscard]] bool truncateToZero(FILE* file);

}  // namespace velm
