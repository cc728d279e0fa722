// The known-good signature of the signature targets: a fixed test key pair, a fixed document,
// and the one way a changed signature may still verify.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/test_signer.h"

namespace velm {
namespace fuzz {

inline const TestSeed& signingSeed() {
  static const TestSeed seed = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a,
                                0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32,
                                0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
  return seed;
}

// A key that signed nothing here.
inline const TestSeed& otherSeed() {
  static const TestSeed seed = {0x4c, 0xcd, 0x08, 0x9b, 0x28, 0xff, 0x96, 0xda, 0x9d, 0xb6, 0xc3,
                                0x46, 0xec, 0x11, 0x4e, 0x0f, 0x5b, 0x8a, 0x31, 0x9f, 0x35, 0xab,
                                0xa6, 0x24, 0xda, 0x8c, 0xf6, 0xed, 0x4f, 0xb8, 0xa6, 0xfb};
  return seed;
}

// The signed document of the seeds in corpus/signature and corpus/sign_open.
inline const std::string& signedDocument() {
  static const std::string document = "{\"schema\":1,\"games\":[]}\n";
  return document;
}

// Ed25519's group order L, little-endian.
inline const std::array<uint8_t, 32>& groupOrder() {
  static const std::array<uint8_t, 32> order = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                                0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                                0,    0,    0,    0,    0,    0,    0,    0,
                                                0,    0,    0,    0,    0,    0,    0,    0x10};
  return order;
}

// True when s is below L (the signer's S always is).
inline bool isReduced(const uint8_t* s) {
  const std::array<uint8_t, 32>& order = groupOrder();
  for (size_t i = 32; i-- > 0;) {
    if (s[i] != order[i]) return s[i] < order[i];
  }
  return false;
}

// True when s = reduced + k * L for some k >= 0 within 256 bits: the launcher takes S as it stands,
// so these, and only these, are other spellings of the same signature.
inline bool isSameScalar(const uint8_t* s, const uint8_t* reduced) {
  std::array<uint8_t, 32> candidate;
  for (size_t i = 0; i < 32; ++i) candidate[i] = reduced[i];
  for (;;) {
    bool equal = true;
    for (size_t i = 0; i < 32; ++i) equal = equal && candidate[i] == s[i];
    if (equal) return true;
    unsigned carry = 0;
    for (size_t i = 0; i < 32; ++i) {
      const unsigned sum = candidate[i] + groupOrder()[i] + carry;
      candidate[i] = static_cast<uint8_t>(sum);
      carry = sum >> 8;
    }
    if (carry != 0) return false;
  }
}

}  // namespace fuzz
}  // namespace velm
