// An Ed25519 signer for tests (RFC 8032, deterministic from a 32-byte seed). The launcher itself
// only verifies; tests sign their catalogue and manifest fixtures with this. It shares no code
// with the launcher's verifier, so every fixture that verifies is also a cross-check of both.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "signature/signature.h"

namespace velm {

using TestSeed = std::array<uint8_t, 32>;

// The public key A of the key pair made from seed (the RFC 8032 "secret key").
TrustedKey testPublicKey(const TestSeed& seed);
// The 64-byte signature R || S of message.
SignatureBytes testSign(const TestSeed& seed, const std::string& message);
// The same signature as a ".sig" file holds it: 128 lowercase hex digits, nothing else.
std::string testSignatureHex(const TestSeed& seed, const std::string& message);

}  // namespace velm
