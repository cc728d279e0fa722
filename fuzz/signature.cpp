// Detached signatures: parseSignature takes exactly the documented ".sig" form, and
// verifySignature accepts what the key really signed and nothing that it did not.
// Input: the signature text, then optionally a NUL and the document; without a NUL the document
// is the one that the seed signatures sign, so mutations of a seed are tampered signatures.
#include "signature/signature.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "signing.h"

namespace velm {
namespace {

const char kName[] = "games.json";

struct Fixture {
  TrustedKey key = testPublicKey(fuzz::signingSeed());
  TrustedKey otherKey = testPublicKey(fuzz::otherSeed());
  SignatureBytes good = testSign(fuzz::signingSeed(), fuzz::signedDocument());
};

const Fixture& fixture() {
  static const Fixture fixture;
  return fixture;
}

// The ".sig" form as documented: 128 hex digits, then only blanks, tabs, CR and LF.
bool isSignatureText(const std::string& text) {
  const size_t end = text.find_last_not_of(" \t\r\n");
  return end != std::string::npos && fuzz::isHexText(text.substr(0, end + 1), 128);
}

int hexValue(char c) {
  if (fuzz::isDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const Fixture& f = fixture();
  const std::string input = fuzz::text(data, size);
  const bool hasDocument = input.find('\0') != std::string::npos;
  const auto [signatureText, documentText] = fuzz::splitAtNul(input);
  const std::string& document = hasDocument ? documentText : fuzz::signedDocument();

  SignatureBytes bytes{};
  std::string reason;
  const bool parsed = parseSignature(signatureText, bytes, &reason);
  VELM_FUZZ_CHECK(parsed == isSignatureText(signatureText));
  if (parsed) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      VELM_FUZZ_CHECK(bytes[i] ==
                      hexValue(signatureText[2 * i]) * 16 + hexValue(signatureText[2 * i + 1]));
    }
  } else {
    VELM_FUZZ_CHECK(reason == "the signature is not 128 hex digits");
  }

  const std::string verdict = verifySignature(kName, document, signatureText, {f.key});
  if (!parsed) {
    VELM_FUZZ_CHECK(verdict == "games.json: the signature is not 128 hex digits");
  } else if (!verdict.empty()) {
    VELM_FUZZ_CHECK(verdict == "games.json: the signature does not match");
  } else {
    // Accepted: only the signed document, with its own R and its S or S + k * L, may pass.
    // Anything else is a forgery the verifier let through.
    VELM_FUZZ_CHECK(document == fuzz::signedDocument());
    for (size_t i = 0; i < 32; ++i) VELM_FUZZ_CHECK(bytes[i] == f.good[i]);
    VELM_FUZZ_CHECK(fuzz::isSameScalar(bytes.data() + 32, f.good.data() + 32));
  }
  // The real signature of the signed document always passes.
  if (parsed && document == fuzz::signedDocument() && bytes == f.good) {
    VELM_FUZZ_CHECK(verdict.empty());
  }
  // No key, no acceptance.
  if (parsed) VELM_FUZZ_CHECK(!verifySignature(kName, document, signatureText, {}).empty());

  // Whatever the document, the key's real signature of it passes, also behind a key that fails.
  if (hasDocument) {
    const std::string real = testSignatureHex(fuzz::signingSeed(), document) + "\r\n";
    VELM_FUZZ_CHECK(verifySignature(kName, document, real, {f.otherKey, f.key}).empty());
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace velm;
  // The fixture must be what the seeds assume: a reduced S that verifies.
  const Fixture& f = fixture();
  VELM_FUZZ_CHECK(fuzz::isReduced(f.good.data() + 32));
  VELM_FUZZ_CHECK(verifySignature(kName, fuzz::signedDocument(),
                                  testSignatureHex(fuzz::signingSeed(), fuzz::signedDocument()),
                                  {f.key})
                      .empty());
  return 0;
}
