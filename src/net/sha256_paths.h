// The two SHA-256 compression paths behind Sha256, for the hasher, its tests and the benchmarks.
// Not part of the launcher's interface: callers hash through Sha256.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velm {

using Sha256Compress = void (*)(uint32_t state[8], const uint8_t* blocks, size_t count);

extern const uint32_t kSha256RoundConstants[64];

// FIPS 180-4 compression of `count` whole 64-byte blocks into the state; runs anywhere.
void sha256CompressPortable(uint32_t state[8], const uint8_t* blocks, size_t count);
// The same on the processor's SHA instructions. Call it only when sha256HardwareAvailable(): on
// an x86-64 processor without them it faults with an illegal instruction.
void sha256CompressHardware(uint32_t state[8], const uint8_t* blocks, size_t count);
// The processor has SHA, SSSE3 and SSE4.1 (x86-64 only; false everywhere else).
bool sha256HardwareAvailable();
// The path Sha256 uses, chosen once on first use.
Sha256Compress sha256ChosenCompress();
bool sha256UsesHardware();

}  // namespace velm
