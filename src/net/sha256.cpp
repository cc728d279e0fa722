#include "net/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "net/sha256_paths.h"
#include "os/read_only_file.h"
#include "text/text.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace velm {

// Shared with the SHA-instruction path, which loads them four at a time.
const uint32_t kSha256RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr size_t kBlockSize = 64;
constexpr size_t kLengthOffset = 56;  // where the 64-bit message length goes in the last block
constexpr size_t kFileReadSize = 1048576;

inline uint32_t rotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBigEndian(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Everything in the hasher reaches the round function through here; the path is chosen once.
inline void compressBlocks(uint32_t state[8], const uint8_t* blocks, size_t count) {
  sha256ChosenCompress()(state, blocks, count);
}

}  // namespace

void sha256CompressPortable(uint32_t state[8], const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += kBlockSize) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
      const uint32_t choose = (e & f) ^ (~e & g);
      const uint32_t t1 = h + sum1 + choose + kSha256RoundConstants[t] + w[t];
      const uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
      const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      const uint32_t t2 = sum0 + majority;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

bool sha256HardwareAvailable() {
#if defined(__x86_64__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

Sha256Compress sha256ChosenCompress() {
  // A function-local static: initialised once, thread-safe, and ready even for a hasher that
  // runs during another file's static initialisation.
  static const Sha256Compress chosen =
      sha256HardwareAvailable() ? sha256CompressHardware : sha256CompressPortable;
  return chosen;
}

bool sha256UsesHardware() { return sha256ChosenCompress() == sha256CompressHardware; }

void Sha256::reset() {
  std::memcpy(state_, kInitialState, sizeof state_);
  std::memset(block_, 0, sizeof block_);
  blockFill_ = 0;
  total_ = 0;
}

void Sha256::update(const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  total_ += length;
  if (blockFill_ > 0) {
    const size_t take = std::min(length, kBlockSize - static_cast<size_t>(blockFill_));
    std::memcpy(block_ + blockFill_, bytes, take);
    blockFill_ += take;
    bytes += take;
    length -= take;
    if (blockFill_ < kBlockSize) return;
    compressBlocks(state_, block_, 1);
    blockFill_ = 0;
  }
  // Whole blocks are compressed where they lie; only a tail is copied.
  const size_t wholeBlocks = length / kBlockSize;
  compressBlocks(state_, bytes, wholeBlocks);
  bytes += wholeBlocks * kBlockSize;
  length -= wholeBlocks * kBlockSize;
  if (length > 0) {
    std::memcpy(block_, bytes, length);
    blockFill_ = length;
  }
}

Sha256Digest Sha256::finalDigest() {
  const uint64_t bitLength = total_ * 8;
  block_[blockFill_++] = 0x80;
  if (blockFill_ > kLengthOffset) {
    std::memset(block_ + blockFill_, 0, kBlockSize - blockFill_);
    compressBlocks(state_, block_, 1);
    blockFill_ = 0;
  }
  std::memset(block_ + blockFill_, 0, kLengthOffset - blockFill_);
  for (int i = 0; i < 8; ++i) {
    block_[kLengthOffset + i] = static_cast<uint8_t>(bitLength >> (56 - 8 * i));
  }
  compressBlocks(state_, block_, 1);
  blockFill_ = 0;

  Sha256Digest digest;
  for (int word = 0; word < 8; ++word) {
    for (int byte = 0; byte < 4; ++byte) {
      digest[word * 4 + byte] = static_cast<uint8_t>(state_[word] >> (24 - 8 * byte));
    }
  }
  return digest;
}

Sha256Digest textSha256(const std::string& bytes) {
  Sha256 hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finalDigest();
}

bool readFilePieces(const std::filesystem::path& file,
                    const std::function<void(const char* data, size_t length)>& reader,
                    uint64_t& byteCount) {
  // A NUL would cut the name short at the system call and read some other file.
  if (file.native().find(std::filesystem::path::value_type(0)) !=
      std::filesystem::path::string_type::npos) {
    return false;
  }
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::status(file, error))) return false;
  const ReadOnlyFile stream = openReadOnly(file);
  if (!stream) return false;

  // One buffer a thread, kept: a fresh 1 MiB for each file, zeroed, cost more than reading a
  // small file (100,000 of them: over a minute under Wine, whose heap maps and unmaps each).
  thread_local std::vector<char> buffer(kFileReadSize);
  uint64_t count = 0;
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), stream.get())) > 0) {
    reader(buffer.data(), got);
    count += got;
  }
  if (std::ferror(stream.get())) return false;
  byteCount = count;
  return true;
}

bool fileSha256(const std::filesystem::path& file, Sha256Digest& digest, uint64_t& byteCount) {
  Sha256 hasher;
  uint64_t count = 0;
  if (!readFilePieces(
          file, [&hasher](const char* data, size_t length) { hasher.update(data, length); },
          count)) {
    return false;
  }
  digest = hasher.finalDigest();
  byteCount = count;
  return true;
}

}  // namespace velm
