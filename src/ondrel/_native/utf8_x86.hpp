// UTF-8 to fixed-width units a step of 64 bytes (AVX-512 F/BW/VL) or 32 (AVX2), for
// utf8::decode. Text past ASCII comes in short runs between ASCII bytes (a name, a word), too
// short for the scalar decoder's ASCII blocks to pay: here every byte position decodes the
// character that would start there, and the lanes that hold a lead byte are packed into the
// output. It checks what the scalar decoder checks: the sequences' shape, overlong forms,
// surrogates, the range, and the width of T. Unlike the string kernels the AVX-512 step takes
// 512-bit registers: it runs over whole 64 KiB blocks, where their width pays.
#pragma once

#if defined(__x86_64__)
#include <cstddef>
#include <cstdint>

#include "ondrel/_native/simd_bytes.hpp"

// GCC 12 takes the 512-bit intrinsics' undefined pass-through lanes for uninitialized reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace ondrel::utf8 {

// Bytes a step reads: the step, and past it enough for its last lanes' sequences.
inline constexpr ptrdiff_t kAvx512Reach = 80;
inline constexpr ptrdiff_t kAvx2Reach = 40;

// Whether a step's continuation bytes (bit i: the byte at i) are exactly those that the leads
// of sequences two, three and four bytes long or longer, and the last step's, call for. `owed`
// becomes the bits past this step.
template <int kBytes>
inline bool shape_ok(uint64_t cont, uint64_t two_up, uint64_t three_up, uint64_t four,
                     uint64_t& owed) {
  using U128 = unsigned __int128;
  const U128 want = owed | U128{two_up} << 1 | U128{three_up} << 2 | U128{four} << 3;
  owed = static_cast<uint64_t>(want >> kBytes);
  return static_cast<uint64_t>(want & ((U128{1} << kBytes) - 1)) == cont;
}

// The last step's sequences ran into the bytes at p, and were decoded with them; past those,
// the caller's pointers take the steps' own.
template <typename T>
inline bool settle(uint64_t owed, const unsigned char* p, const unsigned char* end, T* o,
                   const unsigned char*& at, T*& to) {
  for (; owed != 0; owed >>= 1, ++p)
    if (p == end || (*p & 0xC0) != 0x80) return false;
  at = p;
  to = o;
  return true;
}

// Unit lanes to T, stored in full: the caller has room for sixteen.
template <typename T>
ONDREL_AVX512 inline void store16(T* o, __m512i units) {
  if constexpr (sizeof(T) == 4) {
    _mm512_storeu_si512(o, units);
  } else if constexpr (sizeof(T) == 2) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm512_cvtepi32_epi16(units));
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm512_cvtepi32_epi8(units));
  }
}

// The code points of the sequences that would start at each of sixteen bytes at p (the lead's
// high nibble picks its mask and how far the four bytes' bits are shifted down).
ONDREL_AVX512 inline __m512i code_points16(const unsigned char* p) {
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  // 128-bit lane k gets bytes 4k .. 4k+7; its dword j then the four bytes from 4k+j.
  const __m512i pairs =
      _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4),
                               _mm512_castsi256_si512(bytes));
  const __m512i windows = _mm512_shuffle_epi8(
      pairs, _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6)));
  const __m512i nibble = _mm512_and_si512(_mm512_srli_epi32(windows, 4), _mm512_set1_epi32(0x0F));
  // By the lead's high nibble: ASCII keeps 7 bits, C-D 5, E 4, F 3 (8-B are not leads).
  const __m512i lead_mask = _mm512_shuffle_epi8(
      _mm512_broadcast_i32x4(_mm_setr_epi8(0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3F,
                                           0x3F, 0x3F, 0x3F, 0x1F, 0x1F, 0x0F, 0x07)),
      nibble);
  const __m512i shift = _mm512_and_si512(
      _mm512_shuffle_epi8(_mm512_broadcast_i32x4(_mm_setr_epi8(18, 18, 18, 18, 18, 18, 18, 18, 0, 0,
                                                               0, 0, 12, 12, 6, 0)),
                          nibble),
      _mm512_set1_epi32(0xFF));
  // The lead's own bits and six from each byte after it (0x80: the AND of all three), then
  // lead << 18 | b1 << 12 | b2 << 6 | b3, less the bytes past the sequence.
  const __m512i bits =
      _mm512_ternarylogic_epi32(windows, lead_mask, _mm512_set1_epi32(0x3F3F3FFF), 0x80);
  const __m512i pairs16 = _mm512_maddubs_epi16(bits, _mm512_set1_epi16(0x0140));
  return _mm512_srlv_epi32(_mm512_madd_epi16(pairs16, _mm512_set1_epi32(0x00011000)), shift);
}

// Byte lanes of v from b up, equal to b; of `next` under k below or above b.
ONDREL_AVX512 inline uint64_t at_least(__m512i v, int b) {
  return _mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(b)));
}
ONDREL_AVX512 inline uint64_t equal(__m512i v, int b) {
  return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(b)));
}
ONDREL_AVX512 inline uint64_t below(uint64_t k, __m512i next, int b) {
  return _mm512_mask_cmplt_epu8_mask(k, next, _mm512_set1_epi8(static_cast<char>(b)));
}
ONDREL_AVX512 inline uint64_t above(uint64_t k, __m512i next, int b) {
  return _mm512_mask_cmpgt_epu8_mask(k, next, _mm512_set1_epi8(static_cast<char>(b)));
}

// The census sixty-four bytes a step: continuation bytes counted and the largest byte kept,
// over the whole steps of data[0 .. n); returns the bytes it took.
ONDREL_AVX512 inline size_t census_avx512(const unsigned char* p, size_t n, size_t& continuation,
                                          unsigned char& top) {
  __m512i vmax = _mm512_setzero_si512();
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const __m512i v = _mm512_loadu_si512(p + i);
    const uint64_t high = _mm512_movepi8_mask(v);
    continuation += static_cast<size_t>(__builtin_popcountll(high & ~at_least(v, 0xC0)));
    vmax = _mm512_max_epu8(vmax, v);
  }
  const __m256i half =
      _mm256_max_epu8(_mm512_castsi512_si256(vmax), _mm512_extracti64x4_epi64(vmax, 1));
  __m128i q = _mm_max_epu8(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
  q = _mm_max_epu8(q, _mm_srli_si128(q, 8));
  q = _mm_max_epu8(q, _mm_srli_si128(q, 4));
  q = _mm_max_epu8(q, _mm_srli_si128(q, 2));
  q = _mm_max_epu8(q, _mm_srli_si128(q, 1));
  const auto m = static_cast<unsigned char>(_mm_cvtsi128_si32(q));
  top = m > top ? m : top;
  return i;
}

// Decodes whole steps from p while kAvx512Reach bytes and 64 units of room remain, then
// leaves p and o at a character boundary for the scalar decoder. False on any fault.
template <typename T>
ONDREL_AVX512 bool decode_avx512(const unsigned char*& at, const unsigned char* end, T*& to,
                                 T* oend) {
  // Locals, so that the stores (which may alias anything) do not reload the pointers.
  const unsigned char* p = at;
  T* o = to;
  uint64_t owed = 0;  // continuation bytes the last step's leads call for, from bit 0
  while (end - p >= kAvx512Reach && oend - o >= 64) {
    const __m512i v = _mm512_loadu_si512(p);
    const uint64_t high = _mm512_movepi8_mask(v);
    if ((high | owed) == 0) {
      if constexpr (sizeof(T) == 1) {
        _mm512_storeu_si512(o, v);
      } else if constexpr (sizeof(T) == 2) {
        for (int k = 0; k < 64; k += 32)
          _mm512_storeu_si512(
              o + k,
              _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k))));
      } else {
        for (int k = 0; k < 64; k += 16)
          _mm512_storeu_si512(o + k, _mm512_cvtepu8_epi32(
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k))));
      }
      p += 64;
      o += 64;
      continue;
    }
    const uint64_t ge_c0 = at_least(v, 0xC0), ge_e0 = at_least(v, 0xE0);
    const uint64_t ge_f0 = at_least(v, 0xF0);
    const uint64_t cont = high & ~ge_c0;
    if (!shape_ok<64>(cont, ge_c0, ge_e0, ge_f0, owed)) return false;
    // C0/C1 (overlong), F5 up; too wide for T; then E0, ED, F0, F4 by the byte after them.
    uint64_t bad =
        at_least(v, 0xF5) | _mm512_cmpeq_epi8_mask(_mm512_and_si512(v, _mm512_set1_epi8(-2)),
                                                   _mm512_set1_epi8(static_cast<char>(0xC0)));
    if constexpr (sizeof(T) == 1) bad |= at_least(v, 0xC4);
    if constexpr (sizeof(T) == 2) bad |= ge_f0;
    if (ge_e0 != 0) {
      const __m512i next = _mm512_loadu_si512(p + 1);
      bad |= below(equal(v, 0xE0), next, 0xA0) | above(equal(v, 0xED), next, 0x9F) |
             below(equal(v, 0xF0), next, 0x90) | above(equal(v, 0xF4), next, 0x8F);
    }
    if (bad != 0) return false;
    const uint64_t leads = ~cont;
    for (int k = 0; k < 64; k += 16) {
      const auto lanes = static_cast<__mmask16>(leads >> k);
      store16(o, _mm512_maskz_compress_epi32(lanes, code_points16(p + k)));
      o += __builtin_popcount(lanes);
    }
    p += 64;
  }
  return settle(owed, p, end, o, at, to);
}

// ---- AVX2: eight lanes a substep, packed by a table of permutations -----------------------

// For each 8-bit mask of lanes, their indices packed low, a byte each.
inline constexpr auto kPackLanes = [] {
  struct Table {
    uint64_t at[256];
  } t{};
  for (unsigned m = 0; m < 256; ++m)
    for (unsigned i = 0, n = 0; i < 8; ++i)
      if (m >> i & 1) t.at[m] |= uint64_t{i} << (8 * n++);
  return t;
}();

// Eight units to T, stored in full: the caller has room for eight.
template <typename T>
ONDREL_AVX2 inline void store8(T* o, __m256i units) {
  if constexpr (sizeof(T) == 4) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), units);
  } else {
    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(units), _mm256_extracti128_si256(units, 1));
    if constexpr (sizeof(T) == 2)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), words);
    else
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(words, words));
  }
}

// As code_points16, for the eight bytes at p (it reads sixteen).
ONDREL_AVX2 inline __m256i code_points8(const unsigned char* p) {
  const __m256i windows = _mm256_shuffle_epi8(
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
      _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6, 4, 5, 6, 7, 5, 6, 7, 8, 6, 7,
                       8, 9, 7, 8, 9, 10));
  const __m256i nibble = _mm256_and_si256(_mm256_srli_epi32(windows, 4), _mm256_set1_epi32(0x0F));
  const __m256i lead_mask = _mm256_shuffle_epi8(
      _mm256_setr_epi8(0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3F, 0x3F, 0x3F, 0x3F, 0x1F,
                       0x1F, 0x0F, 0x07, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3F, 0x3F,
                       0x3F, 0x3F, 0x1F, 0x1F, 0x0F, 0x07),
      nibble);
  const __m256i shift =
      _mm256_and_si256(_mm256_shuffle_epi8(_mm256_setr_epi8(18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0,
                                                            0, 12, 12, 6, 0, 18, 18, 18, 18, 18, 18,
                                                            18, 18, 0, 0, 0, 0, 12, 12, 6, 0),
                                           nibble),
                       _mm256_set1_epi32(0xFF));
  const __m256i bits =
      _mm256_and_si256(windows, _mm256_and_si256(lead_mask, _mm256_set1_epi32(0x3F3F3FFF)));
  const __m256i pairs16 = _mm256_maddubs_epi16(bits, _mm256_set1_epi16(0x0140));
  return _mm256_srlv_epi32(_mm256_madd_epi16(pairs16, _mm256_set1_epi32(0x00011000)), shift);
}

// Byte lanes of v equal to b; of x (bytes with the top bit flipped, so that signed order is
// unsigned order) above b.
ONDREL_AVX2 inline uint32_t equal(__m256i v, int b) {
  return static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(b)))));
}
ONDREL_AVX2 inline uint32_t above(__m256i x, int b) {
  return static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpgt_epi8(x, _mm256_set1_epi8(static_cast<char>(b ^ 0x80)))));
}
ONDREL_AVX2 inline __m256i flipped(__m256i v) {
  return _mm256_xor_si256(v, _mm256_set1_epi8(static_cast<char>(0x80)));
}

// As decode_avx512, while kAvx2Reach bytes and 32 units of room remain.
template <typename T>
ONDREL_AVX2 bool decode_avx2(const unsigned char*& at, const unsigned char* end, T*& to, T* oend) {
  const unsigned char* p = at;
  T* o = to;
  uint64_t owed = 0;
  while (end - p >= kAvx2Reach && oend - o >= 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(v));
    if ((high | owed) == 0) {
      if constexpr (sizeof(T) == 1) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), v);
      } else if constexpr (sizeof(T) == 2) {
        for (int k = 0; k < 32; k += 16)
          _mm256_storeu_si256(
              reinterpret_cast<__m256i*>(o + k),
              _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k))));
      } else {
        for (int k = 0; k < 32; k += 8)
          _mm256_storeu_si256(
              reinterpret_cast<__m256i*>(o + k),
              _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + k))));
      }
      p += 32;
      o += 32;
      continue;
    }
    const __m256i x = flipped(v);
    const uint32_t ge_c0 = above(x, 0xBF), ge_e0 = above(x, 0xDF), ge_f0 = above(x, 0xEF);
    const uint32_t cont = high & ~ge_c0;
    if (!shape_ok<32>(cont, ge_c0, ge_e0, ge_f0, owed)) return false;
    uint32_t bad = above(x, 0xF4) | (ge_c0 & ~above(x, 0xC1));
    if constexpr (sizeof(T) == 1) bad |= above(x, 0xC3);
    if constexpr (sizeof(T) == 2) bad |= ge_f0;
    if (ge_e0 != 0) {
      const __m256i next = flipped(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1)));
      const uint32_t past_9f = above(next, 0x9F), past_8f = above(next, 0x8F);
      bad |= (equal(v, 0xE0) & ~past_9f) | (equal(v, 0xED) & past_9f) |
             (equal(v, 0xF0) & ~past_8f) | (equal(v, 0xF4) & past_8f);
    }
    if (bad != 0) return false;
    const uint32_t leads = ~cont;
    for (int k = 0; k < 32; k += 8) {
      const unsigned lanes = (leads >> k) & 0xFF;
      const __m256i order =
          _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kPackLanes.at[lanes])));
      store8(o, _mm256_permutevar8x32_epi32(code_points8(p + k), order));
      o += __builtin_popcount(lanes);
    }
    p += 32;
  }
  return settle(owed, p, end, o, at, to);
}

}  // namespace ondrel::utf8

#pragma GCC diagnostic pop
#endif
