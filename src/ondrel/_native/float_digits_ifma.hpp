// Sixteen decimal digits from two 52-bit multiply-adds a lane (AVX-512 IFMA), for the float
// text: every digit comes out at once, where the SSE2 kernel divides in three dependent rounds
// and so lengthens each value's chain of dependent steps.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

namespace ondrel::float_digits {

// Lane j of x < 10^8 holds digit j (the first is lane 0): ceil(2^52 / 10^(8-j)) times x keeps
// frac(x / 10^(8-j)) in its low 52 bits, and the high 52 bits of ten times that are the digit.
// The first digit's fraction would need more bits, so its lane takes x / 10^7 from one high
// product instead. Exact for every x < 10^8 (the native test goes through all of them).
struct IfmaConstants {
  alignas(64) uint64_t fraction[8];
  alignas(64) uint64_t digit[8];
  alignas(64) uint8_t low_bytes[64];  // byte 0 of each lane: the first operand's, then the second's

  static constexpr uint64_t ceil_2_52_over(uint64_t d) { return ((uint64_t{1} << 52) + d - 1) / d; }

  constexpr IfmaConstants() : fraction{}, digit{}, low_bytes{} {
    uint64_t p = 10000000;  // 10^(8-j) for j = 1
    fraction[0] = 1;
    digit[0] = ceil_2_52_over(p);
    for (int j = 1; j < 8; ++j, p /= 10) {
      fraction[j] = ceil_2_52_over(p);
      digit[j] = 10;
    }
    for (int i = 0; i < 16; ++i) low_bytes[i] = static_cast<uint8_t>(8 * i);
  }
};
inline constexpr IfmaConstants kIfma{};

// The digits of mid and lo (each below 10^8) as text in 16 lanes, mid's first: '0' is the
// high products' addend.
[[gnu::target("avx512f,avx512vl,avx512ifma,avx512vbmi")]] inline __m128i sixteen_digits_ifma(
    uint32_t mid, uint32_t lo) {
  const __m512i fraction = _mm512_load_si512(kIfma.fraction);
  const __m512i digit = _mm512_load_si512(kIfma.digit);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i ascii_zero = _mm512_set1_epi64('0');
  const __m512i m = _mm512_madd52hi_epu64(
      ascii_zero, _mm512_madd52lo_epu64(zero, _mm512_set1_epi64(mid), fraction), digit);
  const __m512i l = _mm512_madd52hi_epu64(
      ascii_zero, _mm512_madd52lo_epu64(zero, _mm512_set1_epi64(lo), fraction), digit);
  const __m512i both = _mm512_permutex2var_epi8(m, _mm512_load_si512(kIfma.low_bytes), l);
  // The low lanes by a shuffle of the vector type: g++ 12's _mm512_castsi512_si128 warns of an
  // uninitialised operand.
  return __builtin_shufflevector(static_cast<__v8di>(both), static_cast<__v8di>(both), 0, 1);
}

}  // namespace ondrel::float_digits

#endif
