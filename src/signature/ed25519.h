// Ed25519 verification (RFC 8032, plain variant) with its SHA-512 (FIPS 180-4): small integer
// arithmetic (128-bit products, as GCC and Clang give them on 64-bit targets), no tables. The
// launcher only verifies; there is no signing here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "signature/sha512.h"

namespace velm {

// Checks a signed message sm of length n (64 signature bytes R || S, then the message) against
// publicKey. Returns 0 when it verifies: the first n - 64 bytes of m then hold the message and
// *messageLength is n - 64. Returns -1 otherwise, with *messageLength all ones; after a failed
// final comparison the first n - 64 bytes of m are zero, after an early failure (n < 64, a key
// that is no curve point) m is untouched. m must hold n bytes, is used as scratch and must not
// overlap sm.
// Acceptance: S is taken as it stands (not reduced, not checked against the group order), a key
// with a non-canonical y is accepted, R is compared through the canonical encoding of
// [S]B - [h]A (never decoded), and there is no cofactor.
int signOpen(uint8_t* m, size_t* messageLength, const uint8_t* sm, size_t n,
             const std::array<uint8_t, 32>& publicKey);

}  // namespace velm
