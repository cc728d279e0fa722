#include "signature/ed25519.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "unit/signature/rfc8032_vectors.h"

namespace velm {
namespace {

using Key = std::array<uint8_t, 32>;

constexpr size_t kAllOnes = ~size_t{0};
constexpr uint8_t kFill = 0xa5;

Key keyFromHex(const std::string& hex) {
  std::vector<uint8_t> bytes = hexBytes(hex);
  Key key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = bytes.at(i);
  return key;
}

// A key of 32 bytes: low byte first, then 30 middle bytes, then the top byte.
Key key32(uint8_t low, uint8_t middle, uint8_t top) {
  Key key;
  key.fill(middle);
  key[0] = low;
  key[31] = top;
  return key;
}

std::vector<uint8_t> signedMessage(const Rfc8032Vector& vector) {
  std::vector<uint8_t> sm = hexBytes(vector.signature);
  std::vector<uint8_t> message = hexBytes(vector.message);
  sm.insert(sm.end(), message.begin(), message.end());
  return sm;
}

struct Opened {
  int result = 0;
  size_t length = 0;
  std::vector<uint8_t> m;
};

Opened open(const std::vector<uint8_t>& sm, const Key& key) {
  Opened opened;
  opened.m.assign(sm.size(), kFill);
  opened.result = signOpen(opened.m.data(), &opened.length, sm.data(), sm.size(), key);
  return opened;
}

bool verifies(const std::vector<uint8_t>& sm, const Key& key) { return open(sm, key).result == 0; }

TEST(Ed25519, Rfc8032VectorsVerifyAndYieldTheMessage) {
  for (const Rfc8032Vector& vector : rfc8032Vectors()) {
    std::vector<uint8_t> sm = signedMessage(vector);
    std::vector<uint8_t> message = hexBytes(vector.message);
    Opened opened = open(sm, keyFromHex(vector.publicKey));
    EXPECT_EQ(opened.result, 0) << vector.name;
    EXPECT_EQ(opened.length, message.size()) << vector.name;
    EXPECT_EQ(std::vector<uint8_t>(opened.m.begin(), opened.m.begin() + message.size()), message)
        << vector.name;
  }
}

// Every part of R, S, the message and the key matters: one bit in every byte (its position
// moving from byte to byte) and the top bit of each 32-byte field. Exhaustive flips would cost
// minutes in an unoptimised build; the OpenSSL cross-check adds random flips on top.
TEST(Ed25519, AnySingleBitFlipFails) {
  const Rfc8032Vector& vector = rfc8032Vectors()[2];
  const std::vector<uint8_t> sm = signedMessage(vector);
  const Key key = keyFromHex(vector.publicKey);
  std::vector<size_t> bits = {255, 511};  // the sign bit of R, the top bit of S
  for (size_t byte = 0; byte < sm.size(); ++byte) bits.push_back(byte * 8 + (byte * 3 + 1) % 8);
  for (size_t bit : bits) {
    std::vector<uint8_t> flipped = sm;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(verifies(flipped, key)) << "signed message bit " << bit;
  }
  std::vector<size_t> keyBits = {255};
  for (size_t byte = 0; byte < key.size(); ++byte) keyBits.push_back(byte * 8 + (byte * 5) % 8);
  for (size_t bit : keyBits) {
    Key flipped = key;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(verifies(sm, flipped)) << "key bit " << bit;
  }

  const Rfc8032Vector& longVector = rfc8032Vectors()[3];
  std::vector<uint8_t> longSm = signedMessage(longVector);
  longSm[64 + 500] ^= 0x10;
  EXPECT_FALSE(verifies(longSm, keyFromHex(longVector.publicKey)));
}

// Adds the group order L to the signature's S (bytes 32 to 63); false when the sum passes 2^256.
bool addGroupOrderToS(std::vector<uint8_t>& sm) {
  static const std::vector<uint8_t> order =
      hexBytes("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  unsigned carry = 0;
  for (size_t i = 0; i < 32; ++i) {
    carry += sm[32 + i] + order[i];
    sm[32 + i] = static_cast<uint8_t>(carry);
    carry >>= 8;
  }
  return carry == 0;
}

TEST(Ed25519, SPlusGroupOrderStillVerifies) {
  for (const Rfc8032Vector& vector : rfc8032Vectors()) {
    std::vector<uint8_t> sm = signedMessage(vector);
    ASSERT_TRUE(addGroupOrderToS(sm)) << vector.name;
    EXPECT_TRUE(verifies(sm, keyFromHex(vector.publicKey))) << vector.name;
  }
}

// S is read over all 256 bits: S + kL for every k that still fits reaches bits 252 to 255, where
// the reduced S of a signer never goes, and must verify as S does.
TEST(Ed25519, SPlusEachMultipleOfTheOrderThatFitsStillVerifies) {
  const Rfc8032Vector& vector = rfc8032Vectors()[0];
  std::vector<uint8_t> sm = signedMessage(vector);
  for (int k = 1;; ++k) {
    if (!addGroupOrderToS(sm)) {
      EXPECT_GE(k, 15);  // 16L passes 2^256; S + 15L does not for this S
      break;
    }
    EXPECT_TRUE(verifies(sm, keyFromHex(vector.publicKey))) << "S + " << k << "L";
    sm[0] ^= 1;  // the same scalar against another R still fails
    EXPECT_FALSE(verifies(sm, keyFromHex(vector.publicKey))) << "S + " << k << "L";
    sm[0] ^= 1;
  }
}

TEST(Ed25519, FailedComparisonZeroesTheMessageArea) {
  const Rfc8032Vector& vector = rfc8032Vectors()[2];
  std::vector<uint8_t> sm = signedMessage(vector);
  sm[40] ^= 1;
  Opened opened = open(sm, keyFromHex(vector.publicKey));
  EXPECT_EQ(opened.result, -1);
  EXPECT_EQ(opened.length, kAllOnes);
  EXPECT_EQ(opened.m[0], 0);
  EXPECT_EQ(opened.m[1], 0);
}

TEST(Ed25519, ShortSignedMessageFailsWithoutTouchingTheOutput) {
  std::vector<uint8_t> sm = signedMessage(rfc8032Vectors()[0]);
  sm.pop_back();
  Opened opened = open(sm, keyFromHex(rfc8032Vectors()[0].publicKey));
  EXPECT_EQ(opened.result, -1);
  EXPECT_EQ(opened.length, kAllOnes);
  EXPECT_EQ(opened.m, std::vector<uint8_t>(63, kFill));
}

// Whether a key decodes shows in the output: a key that is no curve point fails before m is
// touched, a decoded one reaches the final comparison, which zeroes the one message byte (R is
// all ones, a non-canonical encoding that can never match).
TEST(Ed25519, KeyDecoding) {
  struct Case {
    const char* what;
    Key key;
    bool decodes;
  };
  const Case cases[] = {
      {"y = 2, no point", key32(2, 0, 0), false},
      {"y = 2 with the sign bit", key32(2, 0, 0x80), false},
      {"y = p + 2, non-canonical 2", key32(0xef, 0xff, 0x7f), false},
      {"y = 0", key32(0, 0, 0), true},
      {"y = p, non-canonical 0", key32(0xed, 0xff, 0x7f), true},
      {"y = 2^255 - 1, non-canonical 18", key32(0xff, 0xff, 0x7f), true},
      {"y = 1 with x = 0 and the sign bit", key32(1, 0, 0x80), true},
      {"y = 3", key32(3, 0, 0), true},
  };
  std::vector<uint8_t> sm(65, 0);
  for (size_t i = 0; i < 32; ++i) sm[i] = 0xff;
  sm[64] = 'x';
  for (const Case& c : cases) {
    Opened opened = open(sm, c.key);
    EXPECT_EQ(opened.result, -1) << c.what;
    EXPECT_EQ(opened.length, kAllOnes) << c.what;
    EXPECT_EQ(opened.m[0], c.decodes ? 0 : kFill) << c.what;
    if (!c.decodes) {
      EXPECT_EQ(opened.m, std::vector<uint8_t>(65, kFill)) << c.what;
    }
  }
}

// With the neutral point as key, [h]A vanishes for every h, so S = 0 and R = the encoding of the
// neutral point verify any message. This pins the rules that differ from a strict verifier:
// small-order and non-canonical keys are accepted, R is compared as bytes with the canonical
// encoding, and the equation has no cofactor.
TEST(Ed25519, AcceptanceRulesAtTheEdges) {
  const Key neutral = key32(1, 0, 0);
  const Key neutralWithSign = key32(1, 0, 0x80);
  const Key neutralNonCanonical = key32(0xee, 0xff, 0x7f);  // y = p + 1
  struct Case {
    const char* what;
    Key key;
    Key r;
    bool verifies;
  };
  const Case cases[] = {
      {"neutral key", neutral, neutral, true},
      {"x = 0 with the sign bit", neutralWithSign, neutral, true},
      {"non-canonical key y = p + 1", neutralNonCanonical, neutral, true},
      {"non-canonical R y = p + 1", neutral, neutralNonCanonical, false},
      {"R with the sign bit on x = 0", neutral, neutralWithSign, false},
      // (sqrt(-1), 0) has order 4: a cofactored check would take it, this one must not.
      {"small-order R off the neutral point", neutral, key32(0, 0, 0), false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> sm(c.r.begin(), c.r.end());
    sm.resize(64, 0);
    const std::string message = "any message at all";
    sm.insert(sm.end(), message.begin(), message.end());
    Opened opened = open(sm, c.key);
    EXPECT_EQ(opened.result == 0, c.verifies) << c.what;
    EXPECT_EQ(opened.length, c.verifies ? message.size() : kAllOnes) << c.what;
  }
}

}  // namespace
}  // namespace velm
