// Written from RFC 8032 and FIPS 180-4 alone, on purpose differently from the launcher's verifier:
// 32-bit words, a streaming hash, dedicated doubling, plain double-and-add, constants derived at
// run time from their definitions. Speed and side channels do not matter in tests.
#include "support/test_signer.h"

#include <cstddef>

namespace velm {
namespace {

// ---- SHA-512 ----

constexpr uint64_t kInitial[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

constexpr uint64_t kRounds[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

uint64_t rotateRight(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

class Sha512 {
 public:
  void add(const uint8_t* data, size_t length) {
    total_ += length;
    for (size_t i = 0; i < length; ++i) {
      block_[used_++] = data[i];
      if (used_ == 128) {
        compress();
        used_ = 0;
      }
    }
  }
  void add(const std::string& text) {
    add(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  std::array<uint8_t, 64> finish() {
    uint64_t bits = total_ * 8;
    uint8_t padding[128 + 16] = {0x80};
    size_t zeros = (used_ < 112 ? 112 : 240) - used_ - 1;
    // Messages here stay far below 2^64 bits, so the upper half of the length is zero.
    for (int i = 0; i < 8; ++i) {
      padding[1 + zeros + 8 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    add(padding, 1 + zeros + 16);
    std::array<uint8_t, 64> digest{};
    for (size_t i = 0; i < 64; ++i) {
      digest[i] = static_cast<uint8_t>(state_[i / 8] >> (56 - 8 * (i % 8)));
    }
    return digest;
  }

 private:
  void compress() {
    uint64_t w[80];
    for (int t = 0; t < 16; ++t) {
      w[t] = 0;
      for (int k = 0; k < 8; ++k) w[t] = (w[t] << 8) | block_[8 * t + k];
    }
    for (int t = 16; t < 80; ++t) {
      uint64_t s0 = rotateRight(w[t - 15], 1) ^ rotateRight(w[t - 15], 8) ^ (w[t - 15] >> 7);
      uint64_t s1 = rotateRight(w[t - 2], 19) ^ rotateRight(w[t - 2], 61) ^ (w[t - 2] >> 6);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint64_t v[8];
    for (int i = 0; i < 8; ++i) v[i] = state_[i];
    for (int t = 0; t < 80; ++t) {
      uint64_t e = v[4], a = v[0];
      uint64_t t1 = v[7] + (rotateRight(e, 14) ^ rotateRight(e, 18) ^ rotateRight(e, 41)) +
                    ((e & v[5]) ^ (~e & v[6])) + kRounds[t] + w[t];
      uint64_t t2 = (rotateRight(a, 28) ^ rotateRight(a, 34) ^ rotateRight(a, 39)) +
                    ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
      for (int i = 7; i > 0; --i) v[i] = v[i - 1];
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) state_[i] += v[i];
  }

  uint64_t state_[8] = {kInitial[0], kInitial[1], kInitial[2], kInitial[3],
                        kInitial[4], kInitial[5], kInitial[6], kInitial[7]};
  uint8_t block_[128] = {};
  size_t used_ = 0;
  uint64_t total_ = 0;
};

// ---- 256-bit numbers as eight little-endian 32-bit words ----

using Words = std::array<uint32_t, 8>;
using Bytes32 = std::array<uint8_t, 32>;

Words wordsFromBytes(const uint8_t* bytes) {
  Words w{};
  for (size_t i = 0; i < 32; ++i) w[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
  return w;
}

Bytes32 bytesFromWords(const Words& w) {
  Bytes32 bytes{};
  for (size_t i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(w[i / 4] >> (8 * (i % 4)));
  return bytes;
}

// 2^bit - small, for the exponents and the prime below.
constexpr Words powerOfTwoMinus(int bit, uint32_t small) {
  Words w{};
  w[bit / 32] = uint32_t{1} << (bit % 32);
  uint64_t borrow = small;
  for (auto& word : w) {
    uint64_t t = static_cast<uint64_t>(word) - borrow;
    word = static_cast<uint32_t>(t);
    borrow = (t >> 63) & 1;
  }
  return w;
}

bool lessThan(const Words& a, const Words& b) {
  for (int i = 7; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

// a - b modulo 2^256; borrow is 1 when b was the larger.
Words subtractWords(const Words& a, const Words& b, uint64_t& borrow) {
  Words r{};
  borrow = 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t t = static_cast<uint64_t>(a[i]) - b[i] - borrow;
    r[i] = static_cast<uint32_t>(t);
    borrow = (t >> 63) & 1;
  }
  return r;
}

// a - b for a >= b.
Words subtractSmaller(const Words& a, const Words& b) {
  uint64_t borrow = 0;
  return subtractWords(a, b, borrow);
}

bool bitOf(const Words& w, int bit) { return (w[bit / 32] >> (bit % 32)) & 1; }

// ---- GF(2^255 - 19): values below 2^256, reduced fully only when encoded ----

constexpr Words kPrime = powerOfTwoMinus(255, 19);

// Adds 38 * carry back in, since 2^256 = 38 (mod p), until nothing carries out.
void foldCarry(Words& r, uint64_t carry) {
  while (carry != 0) {
    uint64_t c = carry * 38;
    for (auto& word : r) {
      c += word;
      word = static_cast<uint32_t>(c);
      c >>= 32;
    }
    carry = c;
  }
}

Words feAdd(const Words& a, const Words& b) {
  Words r{};
  uint64_t c = 0;
  for (int i = 0; i < 8; ++i) {
    c += static_cast<uint64_t>(a[i]) + b[i];
    r[i] = static_cast<uint32_t>(c);
    c >>= 32;
  }
  foldCarry(r, c);
  return r;
}

Words feSub(const Words& a, const Words& b) {
  uint64_t borrow = 0;
  Words r = subtractWords(a, b, borrow);
  // A borrow out means r = a - b + 2^256; take 38 off again per wrap.
  while (borrow != 0) {
    uint64_t take = 38;
    for (auto& word : r) {
      uint64_t t = static_cast<uint64_t>(word) - take;
      word = static_cast<uint32_t>(t);
      take = (t >> 63) & 1;
    }
    borrow = take;
  }
  return r;
}

Words feMul(const Words& a, const Words& b) {
  uint32_t wide[16] = {};
  for (int i = 0; i < 8; ++i) {
    uint64_t c = 0;
    for (int j = 0; j < 8; ++j) {
      c += static_cast<uint64_t>(a[i]) * b[j] + wide[i + j];
      wide[i + j] = static_cast<uint32_t>(c);
      c >>= 32;
    }
    wide[i + 8] = static_cast<uint32_t>(c);
  }
  Words r{};
  uint64_t c = 0;
  for (int i = 0; i < 8; ++i) {
    c += static_cast<uint64_t>(wide[i]) + static_cast<uint64_t>(wide[i + 8]) * 38;
    r[i] = static_cast<uint32_t>(c);
    c >>= 32;
  }
  foldCarry(r, c);
  return r;
}

Words fePow(const Words& base, const Words& exponent) {
  Words r{1};
  for (int bit = 255; bit >= 0; --bit) {
    r = feMul(r, r);
    if (bitOf(exponent, bit)) r = feMul(r, base);
  }
  return r;
}

Words feInvert(const Words& a) { return fePow(a, powerOfTwoMinus(255, 21)); }

Words feCanonical(Words a) {
  while (!lessThan(a, kPrime)) a = subtractSmaller(a, kPrime);
  return a;
}

// ---- The curve -x^2 + y^2 = 1 + d x^2 y^2 in extended coordinates ----

struct Point {
  Words x, y, z, t;
};

struct Curve {
  Words d2;
  Point base;
};

const Curve& curve() {
  static const Curve c = [] {
    Curve built;
    Words d = feSub(Words{}, feMul(Words{121665}, feInvert(Words{121666})));
    built.d2 = feAdd(d, d);
    // The base point: y = 4/5, x the even root of (y^2 - 1) / (d y^2 + 1).
    Words y = feMul(Words{4}, feInvert(Words{5}));
    Words yy = feMul(y, y);
    Words xx = feMul(feSub(yy, Words{1}), feInvert(feAdd(feMul(d, yy), Words{1})));
    Words x = fePow(xx, powerOfTwoMinus(252, 2));
    if (feCanonical(feMul(x, x)) != feCanonical(xx)) {
      x = feMul(x, fePow(Words{2}, powerOfTwoMinus(253, 5)));
    }
    x = feCanonical(x);
    if (x[0] & 1) x = feSub(Words{}, x);
    built.base = Point{x, y, Words{1}, feMul(x, y)};
    return built;
  }();
  return c;
}

Point pointAdd(const Point& p, const Point& q) {
  Words a = feMul(feSub(p.y, p.x), feSub(q.y, q.x));
  Words b = feMul(feAdd(p.y, p.x), feAdd(q.y, q.x));
  Words c = feMul(feMul(p.t, curve().d2), q.t);
  Words zz = feMul(p.z, q.z);
  Words d = feAdd(zz, zz);
  Words e = feSub(b, a), f = feSub(d, c), g = feAdd(d, c), h = feAdd(b, a);
  return Point{feMul(e, f), feMul(g, h), feMul(f, g), feMul(e, h)};
}

Point pointDouble(const Point& p) {
  Words a = feMul(p.x, p.x);
  Words b = feMul(p.y, p.y);
  Words zz = feMul(p.z, p.z);
  Words c = feAdd(zz, zz);
  Words h = feAdd(a, b);
  Words xy = feAdd(p.x, p.y);
  Words e = feSub(h, feMul(xy, xy));
  Words g = feSub(a, b);
  Words f = feAdd(c, g);
  return Point{feMul(e, f), feMul(g, h), feMul(f, g), feMul(e, h)};
}

Bytes32 baseMultiplyEncoded(const Words& scalar) {
  Point r{Words{}, Words{1}, Words{1}, Words{}};
  for (int bit = 255; bit >= 0; --bit) {
    r = pointDouble(r);
    if (bitOf(scalar, bit)) r = pointAdd(r, curve().base);
  }
  Words zInverse = feInvert(r.z);
  Words x = feCanonical(feMul(r.x, zInverse));
  Bytes32 encoded = bytesFromWords(feCanonical(feMul(r.y, zInverse)));
  encoded[31] |= static_cast<uint8_t>((x[0] & 1) << 7);
  return encoded;
}

// ---- Scalars modulo L = 2^252 + 27742317777372353535851937790883648493 ----

const Words& groupOrder() {
  static const Words order = [] {
    const uint8_t bytes[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                               0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                               0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    return wordsFromBytes(bytes);
  }();
  return order;
}

// A 512-bit little-endian number (sixteen words) modulo L, one bit at a time.
Words reduceModOrder(const uint32_t (&wide)[16]) {
  Words r{};
  for (int bit = 511; bit >= 0; --bit) {
    uint32_t in = (wide[bit / 32] >> (bit % 32)) & 1;
    for (int i = 7; i > 0; --i) r[i] = (r[i] << 1) | (r[i - 1] >> 31);
    r[0] = (r[0] << 1) | in;
    if (!lessThan(r, groupOrder())) r = subtractSmaller(r, groupOrder());
  }
  return r;
}

Words reduceDigest(const std::array<uint8_t, 64>& digest) {
  uint32_t wide[16] = {};
  for (size_t i = 0; i < 64; ++i) wide[i / 4] |= static_cast<uint32_t>(digest[i]) << (8 * (i % 4));
  return reduceModOrder(wide);
}

// (r + k * a) mod L.
Words multiplyAddModOrder(const Words& k, const Words& a, const Words& r) {
  uint32_t wide[16] = {};
  for (int i = 0; i < 8; ++i) {
    uint64_t c = 0;
    for (int j = 0; j < 8; ++j) {
      c += static_cast<uint64_t>(k[i]) * a[j] + wide[i + j];
      wide[i + j] = static_cast<uint32_t>(c);
      c >>= 32;
    }
    wide[i + 8] = static_cast<uint32_t>(c);
  }
  uint64_t c = 0;
  for (int i = 0; i < 16; ++i) {
    c += static_cast<uint64_t>(wide[i]) + (i < 8 ? r[i] : 0);
    wide[i] = static_cast<uint32_t>(c);
    c >>= 32;
  }
  return reduceModOrder(wide);
}

struct KeyPair {
  Words secretScalar;
  std::array<uint8_t, 32> prefix;
  TrustedKey publicKey;
};

KeyPair expandSeed(const TestSeed& seed) {
  Sha512 hash;
  hash.add(seed.data(), seed.size());
  std::array<uint8_t, 64> h = hash.finish();
  h[0] &= 248;
  h[31] &= 127;
  h[31] |= 64;
  KeyPair pair;
  pair.secretScalar = wordsFromBytes(h.data());
  for (size_t i = 0; i < 32; ++i) pair.prefix[i] = h[32 + i];
  pair.publicKey = baseMultiplyEncoded(pair.secretScalar);
  return pair;
}

}  // namespace

TrustedKey testPublicKey(const TestSeed& seed) { return expandSeed(seed).publicKey; }

SignatureBytes testSign(const TestSeed& seed, const std::string& message) {
  KeyPair pair = expandSeed(seed);
  Sha512 nonceHash;
  nonceHash.add(pair.prefix.data(), pair.prefix.size());
  nonceHash.add(message);
  Words nonce = reduceDigest(nonceHash.finish());
  Bytes32 r = baseMultiplyEncoded(nonce);

  Sha512 challengeHash;
  challengeHash.add(r.data(), r.size());
  challengeHash.add(pair.publicKey.data(), pair.publicKey.size());
  challengeHash.add(message);
  Words challenge = reduceDigest(challengeHash.finish());
  Bytes32 s = bytesFromWords(multiplyAddModOrder(challenge, pair.secretScalar, nonce));

  SignatureBytes signature{};
  for (size_t i = 0; i < 32; ++i) {
    signature[i] = r[i];
    signature[32 + i] = s[i];
  }
  return signature;
}

std::string testSignatureHex(const TestSeed& seed, const std::string& message) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : testSign(seed, message)) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace velm
