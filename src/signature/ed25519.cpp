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

// Sixteen 16-bit limbs, least significant first, each in a signed 64-bit integer so that sums,
// differences and products may leave 0..65535 (and go negative) between carry passes.
using FieldElement = std::array<int64_t, 16>;

constexpr FieldElement kZero = {};
constexpr FieldElement kOne = {1};
constexpr FieldElement kD = {0x78a3, 0x1359, 0x4dca, 0x75eb, 0xd8ab, 0x4141, 0x0a4d, 0x0070,
                             0xe898, 0x7779, 0x4079, 0x8cc7, 0xfe73, 0x2b6f, 0x6cee, 0x5203};
constexpr FieldElement kD2 = {0xf159, 0x26b2, 0x9b94, 0xebd6, 0xb156, 0x8283, 0x149a, 0x00e0,
                              0xd130, 0xeef3, 0x80f2, 0x198e, 0xfce7, 0x56df, 0xd9dc, 0x2406};
constexpr FieldElement kSqrtMinusOne = {0xa0b0, 0x4a0e, 0x1b27, 0xc4ee, 0xe478, 0xad2f,
                                        0x1806, 0x2f43, 0xd7a7, 0x3dfb, 0x0099, 0x2b4d,
                                        0xdf0b, 0x4fc1, 0x2480, 0x2b83};
constexpr FieldElement kBaseX = {0xd51a, 0x8f25, 0x2d60, 0xc956, 0xa7b2, 0x9525, 0xc760, 0x692c,
                                 0xdc5c, 0xfdd6, 0xe231, 0xc0a4, 0x53fe, 0xcd6e, 0x36d3, 0x2169};
constexpr FieldElement kBaseY = {0x6658, 0x6666, 0x6666, 0x6666, 0x6666, 0x6666, 0x6666, 0x6666,
                                 0x6666, 0x6666, 0x6666, 0x6666, 0x6666, 0x6666, 0x6666, 0x6666};

// Each limb passes its carry to the next; the top one re-enters limb 0 times 38 (2^256 = 38).
void carry(FieldElement& o) {
  for (int i = 0; i < 16; ++i) {
    int64_t c = floorShift(o[i], 16);
    o[i] -= c * 65536;
    if (i < 15) {
      o[i + 1] += c;
    } else {
      o[0] += 38 * c;
    }
  }
}

// Exchanges p and q when bit is 1, with a mask instead of a branch. int64_t is two's complement
// by definition, so the mask -1 has every bit set.
void swapIf(FieldElement& p, FieldElement& q, int64_t bit) {
  int64_t mask = -bit;
  for (int i = 0; i < 16; ++i) {
    int64_t t = mask & (p[i] ^ q[i]);
    p[i] ^= t;
    q[i] ^= t;
  }
}

// The canonical 32-byte little-endian form, in 0..p-1.
void pack(uint8_t out[32], const FieldElement& n) {
  FieldElement t = n;
  carry(t);
  carry(t);
  carry(t);
  // Now every limb is in 0..65535; two conditional subtractions of p bring the value below p.
  for (int pass = 0; pass < 2; ++pass) {
    FieldElement m;
    m[0] = t[0] - 0xffed;
    for (int i = 1; i < 16; ++i) {
      int64_t borrow = -floorShift(m[i - 1], 16);
      m[i - 1] += borrow * 65536;
      m[i] = t[i] - (i == 15 ? 0x7fff : 0xffff) - borrow;
    }
    int64_t borrow = -floorShift(m[15], 16);
    m[15] += borrow * 65536;
    swapIf(t, m, 1 - borrow);
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<uint8_t>(t[i] & 0xff);
    out[2 * i + 1] = static_cast<uint8_t>(t[i] >> 8);
  }
}

bool equal(const FieldElement& a, const FieldElement& b) {
  uint8_t x[32], y[32];
  pack(x, a);
  pack(y, b);
  return equal32(x, y);
}

int64_t parity(const FieldElement& a) {
  uint8_t bytes[32];
  pack(bytes, a);
  return bytes[0] & 1;
}

// Bit 255 is ignored; values from p up are kept as they are and act as value - p.
void unpack(FieldElement& o, const uint8_t in[32]) {
  for (int i = 0; i < 16; ++i) o[i] = in[2 * i] + (int64_t{in[2 * i + 1]} << 8);
  o[15] &= 0x7fff;
}

FieldElement add(const FieldElement& a, const FieldElement& b) {
  FieldElement o;
  for (int i = 0; i < 16; ++i) o[i] = a[i] + b[i];
  return o;
}

FieldElement subtract(const FieldElement& a, const FieldElement& b) {
  FieldElement o;
  for (int i = 0; i < 16; ++i) o[i] = a[i] - b[i];
  return o;
}

// Inputs are carried elements or one sum or difference of them (|limb| < 2^18), so every
// product and column sum stays far inside 64 bits.
FieldElement multiply(const FieldElement& a, const FieldElement& b) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) t[i + j] += a[i] * b[j];
  }
  for (int i = 0; i < 15; ++i) t[i] += 38 * t[i + 16];
  FieldElement o;
  for (int i = 0; i < 16; ++i) o[i] = t[i];
  carry(o);
  carry(o);
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

// The unified addition of RFC 8032 section 5.1.4 (a = -1, with 2d); also used for doubling.
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

void swapIf(Point& p, Point& q, int64_t bit) {
  swapIf(p.x, q.x, bit);
  swapIf(p.y, q.y, bit);
  swapIf(p.z, q.z, bit);
  swapIf(p.t, q.t, bit);
}

// [s]q by the ladder over all 256 bits of s, the same work for every bit value.
Point scalarMultiply(Point q, const uint8_t s[32]) {
  Point p = neutral();
  for (int i = 255; i >= 0; --i) {
    int64_t bit = (s[i / 8] >> (i & 7)) & 1;
    swapIf(p, q, bit);
    addTo(q, p);
    addTo(p, p);
    swapIf(p, q, bit);
  }
  return p;
}

Point scalarMultiplyBase(const uint8_t s[32]) {
  return scalarMultiply(Point{kBaseX, kBaseY, kOne, multiply(kBaseX, kBaseY)}, s);
}

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
  if (parity(x) == (key[31] >> 7)) x = subtract(kZero, x);
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
  Point p = scalarMultiply(negatedKey, h);
  addTo(p, scalarMultiplyBase(sm + 32));
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
