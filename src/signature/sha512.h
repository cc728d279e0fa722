// SHA-512 (FIPS 180-4), the hash inside Ed25519. One-shot only: the verifier always has the whole
// signed message in one buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velm {

// The SHA-512 digest of the whole input in one call.
void sha512(std::array<uint8_t, 64>& digest, const uint8_t* data, size_t length);

// Runs the compression over every complete 128-byte block of data; returns how many bytes at
// the end were left for the caller (length mod 128).
size_t sha512Blocks(std::array<uint64_t, 8>& state, const uint8_t* data, size_t length);

}  // namespace velm
