#include "package/chunk_index.h"

#include <algorithm>
#include <cstring>

namespace velm {
namespace {

// 256 fixed pseudo-random words (splitmix64): the cutter, and every published index, depend on
// them, so they never change.
struct GearTable {
  uint64_t words[256];
  constexpr GearTable() : words() {
    uint64_t state = 0x56454c4d43484b31u;  // "VELMCHK1"
    for (uint64_t& word : words) {
      state += 0x9e3779b97f4a7c15u;
      uint64_t mixed = state;
      mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9u;
      mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebu;
      word = mixed ^ (mixed >> 31);
    }
  }
};
constexpr GearTable kGear;

// Normalised chunking: a harder test before the average size and an easier one after it keep
// most chunks near the average. The top bits of the print depend on all of the last 64 bytes.
constexpr uint64_t topBits(int count) { return ~uint64_t(0) << (64 - count); }
constexpr uint64_t kMaskBeforeAverage = topBits(18);
constexpr uint64_t kMaskAfterAverage = topBits(14);

constexpr char kMagic[] = "VELMCHK1";
constexpr size_t kMagicSize = 8;
constexpr size_t kHeaderSize = kMagicSize + 4 * 3 + 8 + 4;
constexpr size_t kEntrySize = 4 + kChunkHashSize;

void putLittle(std::string& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

uint64_t getLittle(const std::string& in, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) {
    value |= uint64_t(static_cast<uint8_t>(in[at + i])) << (8 * i);
  }
  return value;
}

}  // namespace

size_t ChunkCutter::scan(const uint8_t* data, size_t length) {
  ended_ = false;
  size_t at = 0;
  // The bytes before the minimum are never a boundary, so they are not looked at.
  if (filled_ < kMinChunk) {
    const size_t skip = std::min<size_t>(length, kMinChunk - filled_);
    at = skip;
    filled_ += static_cast<uint32_t>(skip);
  }
  uint64_t print = print_;
  uint32_t filled = filled_;
  bool found = false;
  for (; at < length && filled < kAverageChunk; ++at) {
    print = (print << 1) + kGear.words[data[at]];
    ++filled;
    if ((print & kMaskBeforeAverage) == 0) {
      found = true;
      ++at;
      break;
    }
  }
  if (!found) {
    for (; at < length && filled < kMaxChunk; ++at) {
      print = (print << 1) + kGear.words[data[at]];
      ++filled;
      if ((print & kMaskAfterAverage) == 0 || filled == kMaxChunk) {
        found = true;
        ++at;
        break;
      }
    }
  }
  if (found) {
    ended_ = true;
    print_ = 0;
    filled_ = 0;
  } else {
    print_ = print;
    filled_ = filled;
  }
  return at;
}

void ChunkingHasher::update(const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  whole_.update(bytes, length);
  size_ += length;
  while (length > 0) {
    const size_t taken = cutter_.scan(bytes, length);
    chunk_.update(bytes, taken);
    chunkLength_ += static_cast<uint32_t>(taken);
    if (cutter_.ended()) endChunk();
    bytes += taken;
    length -= taken;
  }
}

void ChunkingHasher::endChunk() {
  Chunk chunk;
  chunk.offset = chunks_.empty() ? 0 : chunks_.back().offset + chunks_.back().length;
  chunk.length = chunkLength_;
  const Sha256Digest digest = chunk_.finalDigest();
  std::copy_n(digest.begin(), kChunkHashSize, chunk.hash.begin());
  chunks_.push_back(chunk);
  chunk_.reset();
  chunkLength_ = 0;
}

Sha256Digest ChunkingHasher::finish() {
  if (chunkLength_ > 0) endChunk();
  return whole_.finalDigest();
}

ChunkHash chunkHash(const void* data, size_t length) {
  Sha256 hasher;
  hasher.update(data, length);
  const Sha256Digest digest = hasher.finalDigest();
  ChunkHash hash;
  std::copy_n(digest.begin(), kChunkHashSize, hash.begin());
  return hash;
}

std::string chunkIndexBytes(const std::vector<Chunk>& chunks, uint64_t fileSize) {
  std::string out(kMagic, kMagicSize);
  putLittle(out, kMinChunk, 4);
  putLittle(out, kAverageChunk, 4);
  putLittle(out, kMaxChunk, 4);
  putLittle(out, fileSize, 8);
  putLittle(out, chunks.size(), 4);
  for (const Chunk& chunk : chunks) {
    putLittle(out, chunk.length, 4);
    out.append(reinterpret_cast<const char*>(chunk.hash.data()), kChunkHashSize);
  }
  return out;
}

bool parseChunkIndex(const std::string& bytes, uint64_t fileSize, std::vector<Chunk>& chunks) {
  if (bytes.size() < kHeaderSize || bytes.compare(0, kMagicSize, kMagic) != 0) return false;
  if (getLittle(bytes, 8, 4) != kMinChunk || getLittle(bytes, 12, 4) != kAverageChunk ||
      getLittle(bytes, 16, 4) != kMaxChunk || getLittle(bytes, 20, 8) != fileSize) {
    return false;
  }
  const uint64_t count = getLittle(bytes, 28, 4);
  if ((bytes.size() - kHeaderSize) % kEntrySize != 0 ||
      (bytes.size() - kHeaderSize) / kEntrySize != count) {
    return false;
  }
  std::vector<Chunk> read;
  read.reserve(count);
  uint64_t offset = 0;
  for (size_t at = kHeaderSize; at < bytes.size(); at += kEntrySize) {
    Chunk chunk;
    chunk.offset = offset;
    chunk.length = static_cast<uint32_t>(getLittle(bytes, at, 4));
    // Only the last chunk may be shorter than the minimum.
    const bool last = at + kEntrySize == bytes.size();
    if (chunk.length == 0 || chunk.length > kMaxChunk || (!last && chunk.length < kMinChunk)) {
      return false;
    }
    std::memcpy(chunk.hash.data(), bytes.data() + at + 4, kChunkHashSize);
    offset += chunk.length;
    read.push_back(chunk);
  }
  if (offset != fileSize) return false;
  chunks = std::move(read);
  return true;
}

std::string chunkIndexName(const std::string& fileName) { return fileName + ".chunks"; }

}  // namespace velm
