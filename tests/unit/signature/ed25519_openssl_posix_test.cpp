// Cross-checks against OpenSSL's Ed25519 and SHA-512 on random keys and messages.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "signature/ed25519.h"
#include "signature/sha512.h"
#include "signature/signature.h"
#include "support/test_signer.h"

namespace velm {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct OpenSslSignature {
  TrustedKey publicKey{};
  SignatureBytes signature{};
};

OpenSslSignature opensslSign(const TestSeed& seed, const std::string& message) {
  OpenSslSignature out;
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  EXPECT_NE(key, nullptr);
  if (!key) return out;
  size_t keyLength = out.publicKey.size();
  EXPECT_EQ(EVP_PKEY_get_raw_public_key(key.get(), out.publicKey.data(), &keyLength), 1);
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
  EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()), 1);
  size_t signatureLength = out.signature.size();
  EXPECT_EQ(EVP_DigestSign(context.get(), out.signature.data(), &signatureLength,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size()),
            1);
  EXPECT_EQ(signatureLength, 64u);
  return out;
}

std::string randomText(std::mt19937& random, size_t length) {
  std::string text(length, '\0');
  for (char& c : text) c = static_cast<char>(random() & 0xff);
  return text;
}

TEST(Ed25519OpenSsl, RandomKeysAndMessagesVerifyAndCorruptionsFail) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 64; ++round) {
    TestSeed seed;
    for (uint8_t& byte : seed) byte = static_cast<uint8_t>(random() & 0xff);
    std::string message = randomText(random, random() % 600);
    OpenSslSignature signed_ = opensslSign(seed, message);

    // The test signer must agree with OpenSSL bit for bit.
    EXPECT_EQ(testPublicKey(seed), signed_.publicKey) << "round " << round;
    EXPECT_EQ(testSign(seed, message), signed_.signature) << "round " << round;

    EXPECT_TRUE(verifyWithKey(signed_.signature, message, signed_.publicKey)) << "round " << round;

    SignatureBytes badSignature = signed_.signature;
    badSignature[random() % 64] ^= static_cast<uint8_t>(1u << (random() % 8));
    EXPECT_FALSE(verifyWithKey(badSignature, message, signed_.publicKey)) << "round " << round;

    TrustedKey badKey = signed_.publicKey;
    badKey[random() % 32] ^= static_cast<uint8_t>(1u << (random() % 8));
    EXPECT_FALSE(verifyWithKey(signed_.signature, message, badKey)) << "round " << round;

    std::string badMessage = message + "x";
    if (!message.empty()) {
      badMessage = message;
      badMessage[random() % message.size()] ^= static_cast<char>(1u << (random() % 8));
    }
    EXPECT_FALSE(verifyWithKey(signed_.signature, badMessage, signed_.publicKey))
        << "round " << round;
  }
}

TEST(Ed25519OpenSsl, Sha512AgreesOnEveryLengthUpToThreeBlocks) {
  std::mt19937 random(7);
  std::string data = randomText(random, 400);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t length = 0; length <= data.size(); ++length) {
    std::array<uint8_t, 64> ours;
    sha512(ours, bytes, length);
    std::array<uint8_t, 64> theirs;
    SHA512(bytes, length, theirs.data());
    EXPECT_EQ(ours, theirs) << length << " bytes";
  }
}

}  // namespace
}  // namespace velm
