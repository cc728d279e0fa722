// Detached signatures: the trusted keys built into the launcher, the ".sig" file format and the
// check that ties a document to one of the keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velm {

using TrustedKey = std::array<uint8_t, 32>;
using SignatureBytes = std::array<uint8_t, 64>;

// Decodes the built-in key table; entries that are not 64 hex digits are skipped silently.
std::vector<TrustedKey> buildTrustedKeys();
// Same, over a given table (the built-in one comes from the build settings).
std::vector<TrustedKey> buildTrustedKeys(const char* const* texts, size_t count);

// 128 hex digits, optionally followed by blanks, tabs, CR and LF. On failure *reason (if given)
// becomes "the signature is not 128 hex digits".
[[nodiscard]] bool parseSignature(const std::string& text, SignatureBytes& signature,
                                  std::string* reason);

// Empty when the document verifies under one of the keys, else name + ": " + the reason. The key
// that verified it goes to *signer (when given): what the document's readers must trust too.
std::string verifySignature(const std::string& name, const std::string& document,
                            const std::string& signatureText, const std::vector<TrustedKey>& keys,
                            TrustedKey* signer = nullptr);

// True when the Ed25519 signature verifies for the document under key. A document longer than
// kMaxTextBody (16 MiB) never verifies.
[[nodiscard]] bool verifyWithKey(const SignatureBytes& signature, const std::string& document,
                                 const TrustedKey& key);

}  // namespace velm
