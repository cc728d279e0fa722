// SHA-256 compression on the x86-64 SHA extensions. Only this file is built with -msha -msse4.1,
// and sha256.cpp calls into it only after CPUID has shown those instructions are there.
#include "net/sha256_paths.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace velm {
namespace {

// W[t..t+3] from W[t-16..t-1]: msg1 adds sigma0, the shifted pair brings W[t-7..t-4], and msg2
// adds sigma1, which needs the two words it has just made for the upper half.
inline __m128i nextSchedule(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
  __m128i next = _mm_sha256msg1_epu32(w0, w1);
  next = _mm_add_epi32(next, _mm_alignr_epi8(w3, w2, 4));
  return _mm_sha256msg2_epu32(next, w3);
}

// Four rounds: rnds2 does two with the low two words of W+K and swaps the halves of the state.
inline void fourRounds(__m128i& abef, __m128i& cdgh, __m128i w, int group) {
  const __m128i k =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants + 4 * group));
  const __m128i wk = _mm_add_epi32(w, k);
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

}  // namespace

void sha256CompressHardware(uint32_t state[8], const uint8_t* blocks, size_t count) {
  // The instructions keep the state as {A,B,E,F} and {C,D,G,H}, highest lane first.
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  // Message words are big-endian.
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abefStart = abef;
    const __m128i cdghStart = cdgh;
    const __m128i* in = reinterpret_cast<const __m128i*>(blocks);
    __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byteSwap);
    __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byteSwap);
    __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byteSwap);
    __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byteSwap);
    fourRounds(abef, cdgh, w0, 0);
    fourRounds(abef, cdgh, w1, 1);
    fourRounds(abef, cdgh, w2, 2);
    fourRounds(abef, cdgh, w3, 3);
    for (int group = 4; group < 16; group += 4) {
      w0 = nextSchedule(w0, w1, w2, w3);
      fourRounds(abef, cdgh, w0, group);
      w1 = nextSchedule(w1, w2, w3, w0);
      fourRounds(abef, cdgh, w1, group + 1);
      w2 = nextSchedule(w2, w3, w0, w1);
      fourRounds(abef, cdgh, w2, group + 2);
      w3 = nextSchedule(w3, w0, w1, w2);
      fourRounds(abef, cdgh, w3, group + 3);
    }
    abef = _mm_add_epi32(abef, abefStart);
    cdgh = _mm_add_epi32(cdgh, cdghStart);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace velm

#else

namespace velm {

// No SHA instructions to use here; sha256HardwareAvailable() is false, so this is never chosen.
void sha256CompressHardware(uint32_t state[8], const uint8_t* blocks, size_t count) {
  sha256CompressPortable(state, blocks, count);
}

}  // namespace velm

#endif
