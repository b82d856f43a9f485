// Vector byte kernels, one copy per level that earned its place (SSE2, AVX2, AVX-512BW/VL;
// NEON on aarch64, in simd_bytes_neon.hpp), called by the portable kernels in common.hpp,
// utf8.hpp and the reader once simd::level() allows. Each takes only the sizes its caller hands it,
// says which in its comment, and never reads or writes outside its arguments. AVX-512 works on
// 256-bit registers: what it adds is the masked load and store of a short string's tail, and the
// narrower registers leave Intel's clock where it was.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::simd {

// What the ASCII copies return at the first block with a byte from 0x80 up.
inline constexpr size_t kNotAscii = SIZE_MAX;

}  // namespace ondrel::simd

#if defined(__x86_64__)
#include <immintrin.h>

#define ONDREL_AVX2 __attribute__((target("avx2")))
#define ONDREL_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))

namespace ondrel::simd {

// ---- writer: copy a string and say whether a byte may need escaping -----------------------
// Suspects are the bytes below 0x20, '"', '\\' and DEL, as common::detail::raw_suspects.

inline __m128i flagged16(__m128i v) {
  const __m128i low = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), _mm_setzero_si128());
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F));
  return _mm_or_si128(_mm_or_si128(low, quote), _mm_or_si128(slash, del));
}

// n >= 16; the last block overlaps the one before it.
inline bool copy_checked_sse2(char* out, const char* s, size_t n) {
  __m128i hit = _mm_setzero_si128();
  for (size_t i = 0; i + 16 < n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    hit = _mm_or_si128(hit, flagged16(v));
  }
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n - 16), v);
  return _mm_movemask_epi8(_mm_or_si128(hit, flagged16(v))) != 0;
}

// Lanes of `v` under `k` that are suspects.
ONDREL_AVX512 inline __mmask32 flagged_k(__mmask32 k, __m256i v) {
  return _mm256_mask_cmple_epu8_mask(k, v, _mm256_set1_epi8(0x1F)) |
         _mm256_mask_cmpeq_epi8_mask(k, v, _mm256_set1_epi8('"')) |
         _mm256_mask_cmpeq_epi8_mask(k, v, _mm256_set1_epi8('\\')) |
         _mm256_mask_cmpeq_epi8_mask(k, v, _mm256_set1_epi8(0x7F));
}

// The first `n` lanes (n <= 32).
ONDREL_AVX512 inline __mmask32 first_lanes(size_t n) {
  return static_cast<__mmask32>((uint64_t{1} << n) - 1);
}

// Any n: the tail is one masked load and store, so a short string costs no branch on its size.
ONDREL_AVX512 inline bool copy_checked_avx512(char* out, const char* s, size_t n) {
  __mmask32 hit = 0;
  size_t i = 0;
  for (; n - i > 32; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    hit |= flagged_k(0xFFFFFFFFu, v);
  }
  const __mmask32 k = first_lanes(n - i);
  const __m256i v = _mm256_maskz_loadu_epi8(k, s + i);
  _mm256_mask_storeu_epi8(out + i, k, v);
  return (hit | flagged_k(k, v)) != 0;
}

// ---- reader: the first byte that ends a plain run of a string ------------------------------
// A stop is the quote, a backslash (kBasic), a byte below 0x20 or DEL. Returns the first stop,
// or null with p moved to where fewer than 16 bytes are left; `high` gets 0x80 when a byte
// from 0x80 up was passed. SSE2 only: wider versions, being calls from the parser instead of
// inlined code, measured no fewer instructions on the benchmark's strings, and the scan is
// about 3% of the reader's.

template <bool kBasic>
inline const unsigned char* find_stop_sse2(const unsigned char*& p, const unsigned char* end,
                                           unsigned char quote, uint32_t& high) {
  const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
    if constexpr (kBasic) stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    stop = _mm_or_si128(stop,
                        _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), _mm_setzero_si128()));
    const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(stop));
    const unsigned h = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (m != 0) {
      if (h & (m - 1) & ~m) high |= 0x80;
      return p + __builtin_ctz(m);
    }
    if (h != 0) high |= 0x80;
  }
  return nullptr;
}

// ---- building an ASCII str: copy while checking --------------------------------------------
// Each copies whole blocks of data into out and returns how many bytes it copied, all ASCII
// (AVX-512: all n), or kNotAscii at the first block with a byte from 0x80 up. Without kCopy
// they only check (out is not used): for text already in place.

template <bool kCopy = true>
inline size_t copy_ascii_sse2([[maybe_unused]] char* out, const char* data, size_t n) {
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    __m128i v[4];
    for (size_t k = 0; k < 4; ++k) {
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16 * k));
      if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16 * k), v[k]);
    }
    const __m128i any = _mm_or_si128(_mm_or_si128(v[0], v[1]), _mm_or_si128(v[2], v[3]));
    if (_mm_movemask_epi8(any) != 0) return kNotAscii;
  }
  return i;
}

template <bool kCopy = true>
ONDREL_AVX2 inline size_t copy_ascii_avx2([[maybe_unused]] char* out, const char* data, size_t n) {
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
    if constexpr (kCopy) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), a);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 32), b);
    }
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) return kNotAscii;
  }
  return i;
}

template <bool kCopy = true>
ONDREL_AVX512 inline size_t copy_ascii_avx512([[maybe_unused]] char* out, const char* data,
                                              size_t n) {
  const size_t whole = copy_ascii_avx2<kCopy>(out, data, n);
  if (whole == kNotAscii) return kNotAscii;
  const size_t left = n - whole;
  const __mmask32 k0 = first_lanes(left < 32 ? left : 32);
  const __mmask32 k1 = first_lanes(left > 32 ? left - 32 : 0);
  const __m256i a = _mm256_maskz_loadu_epi8(k0, data + whole);
  const __m256i b = _mm256_maskz_loadu_epi8(k1, data + whole + 32);
  if constexpr (kCopy) {
    _mm256_mask_storeu_epi8(out + whole, k0, a);
    _mm256_mask_storeu_epi8(out + whole + 32, k1, b);
  }
  return _mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0 ? kNotAscii : n;
}

}  // namespace ondrel::simd

#elif defined(__aarch64__)
#include "ondrel/_native/simd_bytes_neon.hpp"
#endif
