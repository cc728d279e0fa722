#include "signature/signature.h"

#include "net/net.h"
#include "signature/ed25519.h"
#include "text/text.h"
#include "velm_config.h"

namespace velm {
namespace {

const char kNotHex[] = "the signature is not 128 hex digits";
const char kNoMatch[] = ": the signature does not match";

}  // namespace

std::vector<TrustedKey> buildTrustedKeys() {
  return buildTrustedKeys(config::kTrustedKeyTexts, config::kTrustedKeyCount);
}

std::vector<TrustedKey> buildTrustedKeys(const char* const* texts, size_t count) {
  std::vector<TrustedKey> keys;
  for (size_t i = 0; i < count; ++i) {
    if (texts[i] == nullptr) continue;
    std::string text = texts[i];
    TrustedKey key;
    if (text.size() == 64 && decodeHex(text, key.data(), key.size())) keys.push_back(key);
  }
  return keys;
}

bool parseSignature(const std::string& text, SignatureBytes& signature, std::string* reason) {
  size_t end = text.find_last_not_of(" \t\n\r");
  std::string digits = end == std::string::npos ? std::string() : text.substr(0, end + 1);
  if (decodeHex(digits, signature.data(), signature.size())) return true;
  if (reason != nullptr) *reason = kNotHex;
  return false;
}

std::string verifySignature(const std::string& name, const std::string& document,
                            const std::string& signatureText, const std::vector<TrustedKey>& keys,
                            TrustedKey* signer) {
  SignatureBytes signature;
  std::string reason;
  if (!parseSignature(signatureText, signature, &reason)) return name + ": " + reason;
  for (const TrustedKey& key : keys) {
    if (!verifyWithKey(signature, document, key)) continue;
    if (signer != nullptr) *signer = key;
    return std::string();
  }
  return name + kNoMatch;
}

bool verifyWithKey(const SignatureBytes& signature, const std::string& document,
                   const TrustedKey& key) {
  // No document is ever larger than a downloaded text body. Refusing longer ones before the two
  // copies keeps a huge input from costing memory and keeps signOpen far below the 2^31 bytes
  // that its contract allows.
  if (document.size() > kMaxTextBody) return false;
  size_t length = signature.size() + document.size();
  std::vector<uint8_t> signedMessage(length);
  std::vector<uint8_t> scratch(length);
  for (size_t i = 0; i < signature.size(); ++i) signedMessage[i] = signature[i];
  for (size_t i = 0; i < document.size(); ++i) {
    signedMessage[signature.size() + i] = static_cast<uint8_t>(document[i]);
  }
  size_t messageLength = 0;
  return signOpen(scratch.data(), &messageLength, signedMessage.data(), length, key) == 0 &&
         messageLength == document.size();
}

}  // namespace velm
