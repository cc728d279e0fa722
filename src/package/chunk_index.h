// Content-defined chunks of a large package file, and the index of them that velm-publish puts
// beside the file, so that an update can fetch only the chunks a player does not hold. The cut
// points depend on the bytes alone (a gear hash over the last 64 bytes, with FastCDC's
// normalised chunking), so an insert moves the boundaries after it along with the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/sha256.h"

namespace velm {

// Package files of at least this size get an index.
inline constexpr uint64_t kChunkIndexFrom = 4194304;
inline constexpr uint32_t kMinChunk = 16384;
inline constexpr uint32_t kAverageChunk = 65536;
inline constexpr uint32_t kMaxChunk = 262144;

// The first 12 bytes of a chunk's SHA-256. A wrong match of two chunks of 4 GiB files (2^16
// chunks each, 2^32 pairs) has a chance of 2^-64; it would cost a whole download, never a wrong
// install, since the assembled file must still have the manifest's SHA-256.
inline constexpr size_t kChunkHashSize = 12;
using ChunkHash = std::array<uint8_t, kChunkHashSize>;

struct Chunk {
  uint64_t offset = 0;
  uint32_t length = 0;
  ChunkHash hash{};
};

// Finds the chunk boundaries of a stream fed to it in pieces of any size.
class ChunkCutter {
 public:
  // How many of the length bytes belong to the current chunk: length when it goes on past them,
  // fewer when it ends among them (the count then includes its last byte, and the next call
  // starts a new chunk).
  size_t scan(const uint8_t* data, size_t length);
  // Whether the last scan ended a chunk.
  bool ended() const { return ended_; }

 private:
  uint64_t print_ = 0;
  uint32_t filled_ = 0;  // bytes of the current chunk so far
  bool ended_ = false;
};

// Hashes a stream as fileSha256 does and cuts it into chunks with their hashes, in one pass.
class ChunkingHasher {
 public:
  void update(const void* data, size_t length);
  // The whole stream's digest; the chunks are complete afterwards (the last may be short).
  Sha256Digest finish();
  const std::vector<Chunk>& chunks() const { return chunks_; }
  uint64_t size() const { return size_; }

 private:
  void endChunk();
  ChunkCutter cutter_;
  Sha256 whole_;
  Sha256 chunk_;
  uint32_t chunkLength_ = 0;
  uint64_t size_ = 0;
  std::vector<Chunk> chunks_;
};

ChunkHash chunkHash(const void* data, size_t length);

// The index as published: "VELMCHK1", the three chunk sizes the cutter used and the file's size,
// the chunk count, then per chunk its length and hash, numbers in little-endian order.
std::string chunkIndexBytes(const std::vector<Chunk>& chunks, uint64_t fileSize);
// Reads an index of a file of fileSize bytes into chunks (offsets filled in). False for anything
// but a whole index made with this cutter whose chunks add up to fileSize.
[[nodiscard]] bool parseChunkIndex(const std::string& bytes, uint64_t fileSize,
                                   std::vector<Chunk>& chunks);

// A file's name on the server for its index.
std::string chunkIndexName(const std::string& fileName);

}  // namespace velm
