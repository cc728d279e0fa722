#include "support/test_signer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signature/ed25519.h"
#include "unit/signature/rfc8032_vectors.h"

namespace velm {
namespace {

TestSeed seedFromHex(const std::string& hex) {
  std::vector<uint8_t> bytes = hexBytes(hex);
  TestSeed seed{};
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = bytes.at(i);
  return seed;
}

template <size_t N>
std::vector<uint8_t> asVector(const std::array<uint8_t, N>& bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST(TestSigner, ReproducesRfc8032Vectors) {
  for (const Rfc8032Vector& vector : rfc8032Vectors()) {
    TestSeed seed = seedFromHex(vector.secretKey);
    std::vector<uint8_t> messageBytes = hexBytes(vector.message);
    std::string message(messageBytes.begin(), messageBytes.end());
    EXPECT_EQ(asVector(testPublicKey(seed)), hexBytes(vector.publicKey)) << vector.name;
    EXPECT_EQ(asVector(testSign(seed, message)), hexBytes(vector.signature)) << vector.name;
    EXPECT_EQ(testSignatureHex(seed, message), vector.signature) << vector.name;
  }
}

// The signer and the verifier share no code, so agreement on many keys and lengths (around the
// SHA-512 block edges too) checks both.
TEST(TestSigner, SignaturesVerifyWithSignOpen) {
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<uint8_t>(state >> 16);
  };
  const size_t lengths[] = {0, 1, 47, 48, 63, 64, 111, 112, 127, 128, 200, 1000};
  for (size_t length : lengths) {
    TestSeed seed;
    for (uint8_t& byte : seed) byte = next();
    std::string message;
    for (size_t i = 0; i < length; ++i) message += static_cast<char>(next());

    SignatureBytes signature = testSign(seed, message);
    std::vector<uint8_t> sm(signature.begin(), signature.end());
    sm.insert(sm.end(), message.begin(), message.end());
    std::vector<uint8_t> m(sm.size());
    size_t messageLength = 0;
    EXPECT_EQ(signOpen(m.data(), &messageLength, sm.data(), sm.size(), testPublicKey(seed)), 0)
        << length;
    EXPECT_EQ(messageLength, length);
  }
}

}  // namespace
}  // namespace velm
