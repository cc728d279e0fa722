// SHA-256 (FIPS 180-4), incremental, and the hash of a whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "text/text.h"

namespace velm {

// Works in place on its 64-byte block: no allocation, whatever the input length.
class Sha256 {
 public:
  Sha256() { reset(); }
  // Back to the initial hash value with nothing fed.
  void reset();
  void update(const void* data, size_t length);
  // The hasher is spent afterwards until reset.
  Sha256Digest finalDigest();
  // The same as 64 lower-case hex digits.
  std::string finalHex() { return sha256Hex(finalDigest()); }

 private:
  uint32_t state_[8];
  uint8_t block_[64];
  uint64_t blockFill_;
  uint64_t total_;
};

// The digest of bytes held in memory: a document as it was fetched or is published.
Sha256Digest textSha256(const std::string& bytes);

// Feeds a regular file to reader in reads of 1 MiB, in order, and sets byteCount to its size.
// False for a path that holds a NUL or is not a regular file, or a read error.
[[nodiscard]] bool readFilePieces(
    const std::filesystem::path& file,
    const std::function<void(const char* data, size_t length)>& reader, uint64_t& byteCount);

// Hashes a regular file in 1 MiB reads. False for a path that holds a NUL or is not a regular
// file, or a read error; outputs are written only on success.
[[nodiscard]] bool fileSha256(const std::filesystem::path& file, Sha256Digest& digest,
                              uint64_t& byteCount);

}  // namespace velm
