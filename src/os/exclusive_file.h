// A ".new" file being written: created or truncated, and closed to every other writer until it
// is closed, so two launchers in one folder never write into each other's download.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "os/own_file.h"

namespace velm {

// What ExclusiveFile::open may do with what it finds at the name: the folder that takes anything
// else than a plain file (own_file.h's clearName), and the identity the launcher recorded when
// it made the file, the only one whose bytes Keep keeps.
struct FileClaim {
  std::filesystem::path asideFolder;
  const FileIdentity* known = nullptr;
};

class ExclusiveFile {
 public:
  ExclusiveFile() = default;
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  // What open does with the bytes a file already holds.
  enum class Existing { Truncate, Keep };

  using Claim = FileClaim;

  // The file is created anew, exclusively, after clearName freed its name, unless Keep finds at
  // it the plain file of claim.known: then its bytes stay and writes go after them. Nothing is
  // ever written or truncated through a link, a file with other names or a file the launcher
  // did not make. False when the name cannot be freed or the file created, or another writer
  // holds it (that file is left as it is). Windows denies write and delete sharing; POSIX takes
  // an exclusive lock that every launcher asks for. A writeBuffer of N gathers writes into N
  // bytes before they go to the system (0: stdio's own).
  [[nodiscard]] bool open(const std::filesystem::path& path, Existing existing = Existing::Truncate,
                          size_t writeBuffer = 0, const Claim& claim = Claim());
  // The open file's identity, for the caller's record.
  const FileIdentity& identity() const { return identity_; }
  // Feeds the bytes the file holds to reader, in order, and sets size to their count; false
  // when a read fails. Writes go on after them.
  [[nodiscard]] bool readBack(const std::function<void(const char* data, size_t length)>& reader,
                              uint64_t& size);
  // Empties the file; writes start again at byte 0. False when that fails.
  [[nodiscard]] bool restart();
  // False once any write failed.
  [[nodiscard]] bool write(const void* data, size_t length);
  // The same at a byte of the file, for a file assembled out of order; the next write goes on
  // after it. The caller keeps two threads from doing it at once.
  [[nodiscard]] bool writeAt(uint64_t offset, const void* data, size_t length);
  // Reads exactly length bytes from offset on; false when the file holds fewer or a read fails.
  [[nodiscard]] bool readAt(uint64_t offset, void* data, size_t length);
  // Whether close puts the bytes on disk itself.
  enum class Flush {
    Now,
    // The caller does it (file_move.h's flushToDisk) before it relies on them: the flushes of
    // many small files then wait for the disk together, not one after the other.
    Later,
  };
  // Flushes, puts the bytes on disk (by flush) and closes; false when that, or any earlier
  // write, failed. A finished file is moved over its target next, so a power loss after the
  // move must never find a target replaced by bytes that were still in the cache.
  [[nodiscard]] bool close(Flush flush = Flush::Now);

 private:
  std::unique_ptr<char[]> buffer_;  // the stream's, when open was given one; freed after it
  FILE* file_ = nullptr;
  FileIdentity identity_;
  bool failed_ = false;
};

// The platform half: a stdio stream for reading and writing on the plain file of identity known
// at path, or on a file created there exclusively (identity set), or null; whether another
// writer holds the file at path; the sync of its written bytes to stable storage (fsync,
// FlushFileBuffers); emptying an open file; and moving its position past 2 GiB.
FILE* openKnownForWriting(const std::filesystem::path& path, const FileIdentity& known);
FILE* createForWriting(const std::filesystem::path& path, FileIdentity& identity);
[[nodiscard]] bool heldByAnotherWriter(const std::filesystem::path& path);
[[nodiscard]] bool syncToDisk(FILE* file);
[[nodiscard]] bool truncateToZero(FILE* file);
[[nodiscard]] bool seekTo(FILE* file, uint64_t offset);

}  // namespace velm
