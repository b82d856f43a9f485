// Sixteen decimal digits in one SSE2 register, for the float text's vector levels.
#pragma once

#if defined(__SSE2__)

#include <emmintrin.h>

#include <cstdint>

namespace ondrel::float_digits {

// The digits of mid and lo (each below 10^8) as byte values in 16 lanes, all lanes divided at
// once: by 10^4 in 64-bit lanes, by 100 and 10 in 16-bit ones (each reciprocal exact below
// its bound).
inline __m128i sixteen_digits(uint32_t mid, uint32_t lo) {
  // Both halves moved in from registers: _mm_set_epi64x goes through the stack.
  const __m128i x = _mm_unpacklo_epi64(_mm_cvtsi32_si128(static_cast<int>(mid)),
                                       _mm_cvtsi32_si128(static_cast<int>(lo)));
  // The multipliers held opaque: g++ expands a product by a constant into four shifts and adds
  // where one pmullw does.
  __m128i k100 = _mm_set1_epi16(100);
  __m128i k10 = _mm_set1_epi16(10);
  __asm__("" : "+x"(k100), "+x"(k10));
  const __m128i h4 = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi64x(109951163)), 40);
  const __m128i l4 = _mm_sub_epi64(x, _mm_mul_epu32(h4, _mm_set1_epi64x(10000)));
  const __m128i v4 = _mm_or_si128(h4, _mm_slli_epi64(l4, 32));
  const __m128i h2 = _mm_srli_epi16(_mm_mulhi_epu16(v4, _mm_set1_epi16(5243)), 3);
  const __m128i l2 = _mm_sub_epi16(v4, _mm_mullo_epi16(h2, k100));
  const __m128i v2 = _mm_or_si128(h2, _mm_slli_epi32(l2, 16));
  const __m128i h1 = _mm_mulhi_epu16(v2, _mm_set1_epi16(6554));
  const __m128i l1 = _mm_sub_epi16(v2, _mm_mullo_epi16(h1, k10));
  return _mm_or_si128(h1, _mm_slli_epi16(l1, 8));
}

// Bit i set where digit i is zero.
inline unsigned zero_digits(__m128i v) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// The digits of mid and lo as text at d[0, 16); returns zero_digits.
inline unsigned sixteen_digits_sse2(char* d, uint32_t mid, uint32_t lo) {
  const __m128i v = sixteen_digits(mid, lo);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_add_epi8(v, _mm_set1_epi8('0')));
  return zero_digits(v);
}

}  // namespace ondrel::float_digits

#endif
