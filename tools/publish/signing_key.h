// The publisher's Ed25519 private key: made, stored and used by OpenSSL's libcrypto, so no
// signing code of our own ever touches it.
#pragma once

#include <string>
#include <vector>

#include "signature/signature.h"

struct evp_pkey_st;

namespace velm {

class SigningKey {
 public:
  SigningKey() = default;
  ~SigningKey();
  SigningKey(SigningKey&& other) noexcept;
  SigningKey& operator=(SigningKey&& other) noexcept;
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // A fresh key from the system's random source. On failure returns false with *error set.
  [[nodiscard]] static bool generate(SigningKey& key, std::string* error);
  // Reads an unencrypted PEM private key, which must be Ed25519 in a file that only its owner
  // may read (no permission for group or others); never asks for a passphrase.
  [[nodiscard]] static bool load(const std::string& path, SigningKey& key, std::string* error);

  // Writes the key as PKCS#8 PEM to a new file readable only by its owner; an existing file is
  // never replaced, and a file this call created is removed again when writing fails.
  [[nodiscard]] bool writeNew(const std::string& path, std::string* error) const;
  TrustedKey publicKey() const;
  [[nodiscard]] bool sign(const std::string& document, SignatureBytes& signature,
                          std::string* error) const;

 private:
  evp_pkey_st* key_ = nullptr;
};

// Signs document and checks the result with the launcher's own verifier under keys (the key's
// own public half when keys is empty), so a signature is only ever handed out after the
// launcher's code has accepted it. On failure returns false with *error set: label and the
// launcher's text when the check fails.
[[nodiscard]] bool signDocument(const SigningKey& key, const std::string& label,
                                const std::string& document, const std::vector<TrustedKey>& keys,
                                std::string& signatureText, std::string* error);

// A ".sig" file's content: 128 lower-case hex digits and a line feed.
std::string signatureFileText(const SignatureBytes& signature);

// 64 hex digits, the form VELM_TRUSTED_KEYS takes.
std::string publicKeyHex(const TrustedKey& key);

// Appends the keys of one ';'-separated list of 64-hex keys (as VELM_TRUSTED_KEYS is written).
// Unlike the launcher's table, a malformed entry is an error here: a typo must not silently
// leave a key out.
[[nodiscard]] bool parsePublicKeys(const std::string& text, std::vector<TrustedKey>& keys,
                                   std::string* error);

}  // namespace velm
