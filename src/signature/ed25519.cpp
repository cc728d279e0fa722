#include "signature/ed25519.h"

namespace velm {
namespace {

// ---- Integer helpers ----

// floor(v / 2^bits) for every int64_t v and 1 <= bits <= 62. C++17 leaves >> of a negative value
// to the implementation and makes << of one undefined, so the carries below never shift a signed
// value: v is offset into the unsigned range, shifted there, and the offset taken off again.
constexpr int64_t floorShift(int64_t v, int bits) {
  constexpr uint64_t kOffset = uint64_t{1} << 63;
  uint64_t shifted = (static_cast<uint64_t>(v) + kOffset) >> bits;
  return static_cast<int64_t>(shifted) - static_cast<int64_t>(kOffset >> bits);
}

// Compares 32 bytes in time independent of where they differ.
bool equal32(const uint8_t* a, const uint8_t* b) {
  unsigned difference = 0;
  for (int i = 0; i < 32; ++i) difference |= static_cast<unsigned>(a[i] ^ b[i]);
  return difference == 0;
}

// ---- GF(2^255 - 19) ----

// Five 51-bit limbs, least significant first, in unsigned 64-bit integers; products are summed in
// 128 bits. Between carries a limb may grow past 51 bits: every multiply input below stays under
// 2^56, so each column (five products, four of them times 19) stays under 2^123.
using FieldElement = std::array<uint64_t, 5>;
using Wide = unsigned __int128;

constexpr uint64_t kLimbMask = (uint64_t{1} << 51) - 1;

constexpr FieldElement kZero = {};
constexpr FieldElement kOne = {1};
constexpr FieldElement kD = {0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb,
                             0x52036cee2b6ff};
constexpr FieldElement kD2 = {0x69b9426b2f159, 0x35050762add7a, 0x3cf44c0038052, 0x6738cc7407977,
                              0x2406d9dc56dff};
constexpr FieldElement kSqrtMinusOne = {0x61b274a0ea0b0, 0xd5a5fc8f189d, 0x7ef5e9cbd0c60,
                                        0x78595a6804c9e, 0x2b8324804fc1d};
constexpr FieldElement kBaseX = {0x62d608f25d51a, 0x412a4b4f6592a, 0x75b7171a4b31d, 0x1ff60527118fe,
                                 0x216936d3cd6e5};
constexpr FieldElement kBaseY = {0x6666666666658, 0x4cccccccccccc, 0x1999999999999, 0x3333333333333,
                                 0x6666666666666};

// Each limb passes what is above 51 bits to the next; the top one's re-enters limb 0 times 19
// (2^255 = 19).
void carry(FieldElement& o) {
  for (int i = 0; i < 4; ++i) {
    o[i + 1] += o[i] >> 51;
    o[i] &= kLimbMask;
  }
  o[0] += 19 * (o[4] >> 51);
  o[4] &= kLimbMask;
}

// The canonical 32-byte little-endian form, in 0..p-1.
void pack(uint8_t out[32], const FieldElement& n) {
  FieldElement t = n;
  carry(t);
  carry(t);
  // Now t < 2^255. Adding 19 carries into bit 255 exactly when t >= p; that carry is the
  // quotient q, and t + 19q - 2^255 q is t mod p.
  uint64_t q = (t[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (t[i] + q) >> 51;
  t[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    t[i + 1] += t[i] >> 51;
    t[i] &= kLimbMask;
  }
  t[4] &= kLimbMask;
  for (int i = 0; i < 32; ++i) {
    const int bit = 8 * i;
    const int limb = bit / 51;
    const int shift = bit % 51;
    uint64_t byte = t[limb] >> shift;
    if (shift > 43 && limb < 4) byte |= t[limb + 1] << (51 - shift);
    out[i] = static_cast<uint8_t>(byte & 0xff);
  }
}

bool equal(const FieldElement& a, const FieldElement& b) {
  uint8_t x[32], y[32];
  pack(x, a);
  pack(y, b);
  return equal32(x, y);
}

int parity(const FieldElement& a) {
  uint8_t bytes[32];
  pack(bytes, a);
  return bytes[0] & 1;
}

// Bit 255 is ignored; values from p up are kept as they are and act as value - p.
void unpack(FieldElement& o, const uint8_t in[32]) {
  for (int limb = 0; limb < 5; ++limb) {
    uint64_t value = 0;
    for (int bit = 51 * limb + 50; bit >= 51 * limb; --bit) {
      value = (value << 1) | ((in[bit / 8] >> (bit % 8)) & 1);
    }
    o[limb] = value;
  }
}

FieldElement add(const FieldElement& a, const FieldElement& b) {
  FieldElement o;
  for (int i = 0; i < 5; ++i) o[i] = a[i] + b[i];
  return o;
}

// a - b + 4p, so no limb wraps: b must be a product, a constant or a sum of two (limbs under
// 2^53, the smallest limb of 4p).
FieldElement subtract(const FieldElement& a, const FieldElement& b) {
  constexpr uint64_t kFourP0 = 4 * (kLimbMask - 18);
  constexpr uint64_t kFourP = 4 * kLimbMask;
  FieldElement o;
  o[0] = a[0] + kFourP0 - b[0];
  for (int i = 1; i < 5; ++i) o[i] = a[i] + kFourP - b[i];
  return o;
}

// The product, carried: limbs under 2^51 but limb 1, which may hold a few bits more.
FieldElement multiply(const FieldElement& a, const FieldElement& b) {
  // Limb products whose weight passes 2^255 come back times 19.
  const uint64_t b1 = 19 * b[1], b2 = 19 * b[2], b3 = 19 * b[3], b4 = 19 * b[4];
  Wide t[5];
  t[0] = Wide{a[0]} * b[0] + Wide{a[1]} * b4 + Wide{a[2]} * b3 + Wide{a[3]} * b2 + Wide{a[4]} * b1;
  t[1] =
      Wide{a[0]} * b[1] + Wide{a[1]} * b[0] + Wide{a[2]} * b4 + Wide{a[3]} * b3 + Wide{a[4]} * b2;
  t[2] =
      Wide{a[0]} * b[2] + Wide{a[1]} * b[1] + Wide{a[2]} * b[0] + Wide{a[3]} * b4 + Wide{a[4]} * b3;
  t[3] = Wide{a[0]} * b[3] + Wide{a[1]} * b[2] + Wide{a[2]} * b[1] + Wide{a[3]} * b[0] +
         Wide{a[4]} * b4;
  t[4] = Wide{a[0]} * b[4] + Wide{a[1]} * b[3] + Wide{a[2]} * b[2] + Wide{a[3]} * b[1] +
         Wide{a[4]} * b[0];
  for (int i = 0; i < 4; ++i) t[i + 1] += t[i] >> 51;
  FieldElement o;
  for (int i = 0; i < 5; ++i) o[i] = static_cast<uint64_t>(t[i]) & kLimbMask;
  const Wide top = Wide{o[0]} + (t[4] >> 51) * 19;
  o[0] = static_cast<uint64_t>(top) & kLimbMask;
  o[1] += static_cast<uint64_t>(top >> 51);
  return o;
}

FieldElement square(const FieldElement& a) { return multiply(a, a); }

// a^(p - 2); p - 2 = 2^255 - 21 has every bit from 254 down set except bits 4 and 2.
FieldElement invert(const FieldElement& a) {
  FieldElement c = a;
  for (int bit = 253; bit >= 0; --bit) {
    c = square(c);
    if (bit != 2 && bit != 4) c = multiply(c, a);
  }
  return c;
}

// a^((p - 5) / 8); (p - 5) / 8 = 2^252 - 3 has every bit from 251 down set except bit 1.
FieldElement powP58(const FieldElement& a) {
  FieldElement c = a;
  for (int bit = 250; bit >= 0; --bit) {
    c = square(c);
    if (bit != 1) c = multiply(c, a);
  }
  return c;
}

// ---- Points in extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z ----

struct Point {
  FieldElement x, y, z, t;
};

Point neutral() { return Point{kZero, kOne, kOne, kZero}; }

// The unified addition of RFC 8032 section 5.1.4 (a = -1, with 2d).
void addTo(Point& p, const Point& q) {
  FieldElement a = multiply(subtract(p.y, p.x), subtract(q.y, q.x));
  FieldElement b = multiply(add(p.x, p.y), add(q.x, q.y));
  FieldElement c = multiply(multiply(p.t, q.t), kD2);
  FieldElement d = multiply(p.z, q.z);
  d = add(d, d);
  FieldElement e = subtract(b, a);
  FieldElement f = subtract(d, c);
  FieldElement g = add(d, c);
  FieldElement h = add(b, a);
  p.x = multiply(e, f);
  p.y = multiply(h, g);
  p.z = multiply(g, f);
  p.t = multiply(e, h);
}

// [2]p, by the doubling of RFC 8032 section 5.1.4: four squares and four products, where the
// addition above takes nine products.
void doubleIn(Point& p) {
  const FieldElement xx = square(p.x);
  const FieldElement yy = square(p.y);
  const FieldElement zz = square(p.z);
  const FieldElement sum = add(yy, xx);
  const FieldElement e = subtract(square(add(p.x, p.y)), sum);
  const FieldElement g = subtract(yy, xx);
  const FieldElement f = add(add(zz, zz), subtract(xx, yy));  // 2z^2 - g
  p.x = multiply(e, f);
  p.y = multiply(sum, g);
  p.z = multiply(g, f);
  p.t = multiply(e, sum);
}

// [h]a + [s]b, both scalars read over all 256 bits. A verifier handles only public values, so
// this may take a branch on a bit: one doubling a bit and an addition where either bit is set.
Point doubleScalarMultiply(const Point& a, const uint8_t h[32], const Point& b,
                           const uint8_t s[32]) {
  Point both = a;
  addTo(both, b);
  Point p = neutral();
  for (int i = 255; i >= 0; --i) {
    doubleIn(p);
    const bool hBit = ((h[i / 8] >> (i & 7)) & 1) != 0;
    const bool sBit = ((s[i / 8] >> (i & 7)) & 1) != 0;
    if (hBit && sBit) {
      addTo(p, both);
    } else if (hBit) {
      addTo(p, a);
    } else if (sBit) {
      addTo(p, b);
    }
  }
  return p;
}

Point base() { return Point{kBaseX, kBaseY, kOne, multiply(kBaseX, kBaseY)}; }

void encode(uint8_t out[32], const Point& p) {
  FieldElement zInverse = invert(p.z);
  FieldElement x = multiply(p.x, zInverse);
  FieldElement y = multiply(p.y, zInverse);
  pack(out, y);
  out[31] |= static_cast<uint8_t>(parity(x) << 7);
}

// Decodes a public key into -A (the negation saves one later). False when y gives no point.
bool decodeNegated(Point& r, const uint8_t key[32]) {
  r.z = kOne;
  unpack(r.y, key);
  FieldElement yy = square(r.y);
  FieldElement u = subtract(yy, kOne);
  FieldElement v = add(multiply(kD, yy), kOne);
  FieldElement v2 = square(v);
  FieldElement v3 = multiply(v2, v);
  FieldElement v7 = multiply(square(v2), v3);
  FieldElement x = multiply(multiply(powP58(multiply(v7, u)), u), v3);
  if (!equal(multiply(square(x), v), u)) x = multiply(x, kSqrtMinusOne);
  if (!equal(multiply(square(x), v), u)) return false;
  if (parity(x) == (key[31] >> 7)) {
    x = subtract(kZero, x);
    carry(x);  // it is subtracted from in the additions
  }
  r.x = x;
  r.t = multiply(x, r.y);
  return true;
}

// ---- Scalars modulo L = 2^252 + 27742317777372353535851937790883648493 ----

constexpr int64_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// x holds 64 signed 8-bit limbs of a 512-bit number; out gets it modulo L, in 0..L-1.
void reduceModOrder(uint8_t out[32], int64_t x[64]) {
  // Limb i >= 32 weighs 2^(8i) = 2^(8(i-32)) * 16 * 2^252, and 2^252 = -(L - 2^252) mod L.
  for (int i = 63; i >= 32; --i) {
    int64_t c = 0;
    int j = i - 32;
    for (; j < i - 12; ++j) {
      x[j] += c - 16 * x[i] * kOrder[j - (i - 32)];
      c = floorShift(x[j] + 128, 8);
      x[j] -= c * 256;
    }
    x[j] += c;
    x[i] = 0;
  }
  int64_t c = 0;
  for (int j = 0; j < 32; ++j) {
    x[j] += c - floorShift(x[31], 4) * kOrder[j];
    c = floorShift(x[j], 8);
    x[j] -= c * 256;
  }
  for (int j = 0; j < 32; ++j) x[j] -= c * kOrder[j];
  for (int i = 0; i < 32; ++i) {
    int64_t high = floorShift(x[i], 8);
    x[i + 1] += high;
    out[i] = static_cast<uint8_t>(x[i] - high * 256);
  }
}

}  // namespace

int signOpen(uint8_t* m, size_t* messageLength, const uint8_t* sm, size_t n,
             const std::array<uint8_t, 32>& publicKey) {
  *messageLength = ~size_t{0};
  if (n < 64) return -1;
  Point negatedKey;
  if (!decodeNegated(negatedKey, publicKey.data())) return -1;

  // h = SHA-512(R || A || message) mod L, hashed in place in the scratch buffer.
  for (size_t i = 0; i < n; ++i) m[i] = sm[i];
  for (size_t i = 0; i < 32; ++i) m[32 + i] = publicKey[i];
  std::array<uint8_t, 64> digest;
  sha512(digest, m, n);
  int64_t limbs[64];
  for (int i = 0; i < 64; ++i) limbs[i] = digest[i];
  uint8_t h[32];
  reduceModOrder(h, limbs);

  // [h](-A) + [S]B must encode to exactly the R bytes; S is used as it stands.
  Point p = doubleScalarMultiply(negatedKey, h, base(), sm + 32);
  uint8_t encoded[32];
  encode(encoded, p);
  if (!equal32(sm, encoded)) {
    for (size_t i = 0; i < n - 64; ++i) m[i] = 0;
    return -1;
  }
  for (size_t i = 0; i < n - 64; ++i) m[i] = sm[64 + i];
  *messageLength = n - 64;
  return 0;
}

}  // namespace velm
