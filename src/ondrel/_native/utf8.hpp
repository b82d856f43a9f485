// UTF-8 to fixed-width code units (1, 2 or 4 bytes), for building a str from a buffer that
// holds whole UTF-8 sequences. Plain bytes only, no Python, so it is tested on its own.
//
// The decoder trusts nothing it is given: it never reads or writes outside its arguments, and
// it reports false on any malformed sequence, a code point too wide for the unit type, or a
// character count that differs from the census. The caller then falls back to a validating
// decoder, so bad input costs time, never memory safety.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/simd.hpp"
#include "ondrel/_native/simd_bytes.hpp"
#include "ondrel/_native/utf8_x86.hpp"

namespace ondrel::utf8 {

struct Census {
  size_t chars;    // bytes that are not continuation bytes
  unsigned width;  // 0: all ASCII; else 1, 2 or 4 bytes per character
};

// One pass over the bytes. The widest lead byte gives the width: F0-FF start code points above
// U+FFFF, C4-EF start U+0100..U+FFFF, and C2/C3 (or stray continuation bytes) stay in Latin-1.
inline Census census(const char* data, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  size_t continuation = 0;
  unsigned char top = 0;
  size_t i = 0;
#if defined(__x86_64__)
  if (simd::level() == simd::Level::kAvx512) i = census_avx512(p, n, continuation, top);
  // Sixteen bytes a step: continuation bytes are counted in byte lanes (at most 255 steps
  // before the lanes are summed), the maximum kept per lane.
  const __m128i high2 = _mm_set1_epi8(static_cast<char>(0xC0));
  const __m128i cont = _mm_set1_epi8(static_cast<char>(0x80));
  __m128i vmax = _mm_setzero_si128();
  while (n - i >= 16) {
    if (simd::level() < simd::Level::kSse2) break;
    __m128i counts = _mm_setzero_si128();
    for (int step = 0; step < 255 && n - i >= 16; ++step, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_and_si128(v, high2), cont));
      vmax = _mm_max_epu8(vmax, v);
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    continuation += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
                    static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
  alignas(16) unsigned char lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), vmax);
  for (unsigned char b : lanes) top = b > top ? b : top;
#elif defined(__aarch64__)
  // As above: the lane counts are summed every 255 steps at most.
  const uint8x16_t high2 = vdupq_n_u8(0xC0);
  const uint8x16_t cont = vdupq_n_u8(0x80);
  uint8x16_t vmax = vdupq_n_u8(0);
  while (n - i >= 16 && simd::level() == simd::Level::kNeon) {
    uint8x16_t counts = vdupq_n_u8(0);
    for (int step = 0; step < 255 && n - i >= 16; ++step, i += 16) {
      const uint8x16_t v = vld1q_u8(p + i);
      counts = vsubq_u8(counts, vceqq_u8(vandq_u8(v, high2), cont));
      vmax = vmaxq_u8(vmax, v);
    }
    continuation += vaddlvq_u8(counts);
  }
  top = vmaxvq_u8(vmax);
#endif
  for (; i < n; ++i) {
    continuation += (p[i] & 0xC0) == 0x80;
    top = p[i] > top ? p[i] : top;
  }
  const unsigned width = top < 0x80 ? 0 : top < 0xC4 ? 1 : top < 0xF0 ? 2 : 4;
  return Census{n - continuation, width};
}

#if defined(__x86_64__)
// Sixteen ASCII bytes to sixteen units, zero-extended.
template <typename T>
inline void widen16(__m128i v, T* o) {
  const __m128i zero = _mm_setzero_si128();
  if constexpr (sizeof(T) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
  } else {
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(T) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), hi);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4), _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 12), _mm_unpackhi_epi16(hi, zero));
    }
  }
}
#elif defined(__aarch64__)
// Sixteen ASCII bytes to sixteen units, zero-extended.
template <typename T>
inline void widen16(uint8x16_t v, T* o) {
  if constexpr (sizeof(T) == 1) {
    vst1q_u8(o, v);
  } else {
    const uint16x8_t lo = vmovl_u8(vget_low_u8(v));
    const uint16x8_t hi = vmovl_high_u8(v);
    if constexpr (sizeof(T) == 2) {
      vst1q_u16(o, lo);
      vst1q_u16(o + 8, hi);
    } else {
      vst1q_u32(o, vmovl_u16(vget_low_u16(lo)));
      vst1q_u32(o + 4, vmovl_high_u16(lo));
      vst1q_u32(o + 8, vmovl_u16(vget_low_u16(hi)));
      vst1q_u32(o + 12, vmovl_high_u16(hi));
    }
  }
}
#endif

// Decodes data[0 .. n) into exactly `chars` units at out. True only when every sequence was
// well formed, fits in T, and the count matched.
template <typename T>
[[nodiscard]] bool decode(const char* data, size_t n, T* out, size_t chars) {
  constexpr uint32_t kMax = sizeof(T) == 1 ? 0xFF : sizeof(T) == 2 ? 0xFFFF : 0x10FFFF;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + n;
  T* o = out;
  T* const oend = out + chars;
#if defined(__x86_64__)
  const bool sse2 = simd::level() >= simd::Level::kSse2;
  if (simd::level() == simd::Level::kAvx512 && !decode_avx512(p, end, o, oend)) return false;
  if (simd::level() == simd::Level::kAvx2 && !decode_avx2(p, end, o, oend)) return false;
#elif defined(__aarch64__)
  const bool neon = simd::level() == simd::Level::kNeon;
#endif
  while (p != end) {
    // ASCII in blocks: the bulk of any document.
#if defined(__x86_64__)
    while (sse2 && end - p >= 16 && oend - o >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      // All sixteen are written even when a sequence starts among them: the ASCII bytes before
      // it are then taken in this step, and the units after them are written again later.
      widen16(v, o);
      if (high != 0) {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(high));
        p += k;
        o += k;
        break;
      }
      p += 16;
      o += 16;
    }
#elif defined(__aarch64__)
    while (neon && end - p >= 16 && oend - o >= 16) {
      const uint8x16_t v = vld1q_u8(p);
      if (simd::any_high(v)) break;
      widen16(v, o);
      p += 16;
      o += 16;
    }
#endif
    while (end - p >= 8 && oend - o >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & kHigh) break;
      for (int k = 0; k < 8; ++k) o[k] = static_cast<T>(p[k]);
      p += 8;
      o += 8;
    }
    if (p == end) break;
    // Characters past ASCII one after another (Greek, Cyrillic, CJK) stay in this loop.
    do {
      if (o == oend) return false;
      uint32_t c = *p;
      if (c < 0x80) {
        *o++ = static_cast<T>(c);
        ++p;
        break;
      }
      size_t len;
      if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        c &= 0x1F;
      } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        c &= 0x0F;
      } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        c &= 0x07;
      } else {
        return false;
      }
      if (static_cast<size_t>(end - p) < len) return false;
      for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return false;
        c = (c << 6) | (p[k] & 0x3Fu);
      }
      // Overlong forms and surrogates never come from a str's UTF-8; refuse them anyway.
      if ((len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (len == 4 && c < 0x10000))
        return false;
      if (c > kMax) return false;
      *o++ = static_cast<T>(c);
      p += len;
    } while (p != end && *p >= 0x80);
  }
  return o == oend;
}

// A census width's widest character and unit size (0: ASCII, in one-byte units).
inline constexpr uint32_t kMaxChar[5] = {0x7F, 0xFF, 0xFFFF, 0, 0x10FFFF};
inline size_t unit_size(unsigned width) { return width == 0 ? 1 : width; }

// decode into units of a census width's size.
[[nodiscard]] inline bool decode_at_width(const char* data, size_t n, void* out, unsigned width,
                                          size_t chars) {
  switch (unit_size(width)) {
    case 1: return decode(data, n, static_cast<uint8_t*>(out), chars);
    case 2: return decode(data, n, static_cast<uint16_t*>(out), chars);
    default: return decode(data, n, static_cast<uint32_t*>(out), chars);
  }
}

// n less a last sequence that runs past data[0 .. n), for text handed over a block at a time.
inline size_t whole_sequences(const char* data, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  for (size_t back = 1; back <= 4 && back <= n; ++back) {
    const unsigned char c = p[n - back];
    if ((c & 0xC0) == 0x80) continue;
    const size_t len = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return len > back ? n - back : n;
  }
  return n;  // not well formed: the decoder says so
}

// Whether data[0 .. n) is well-formed UTF-8 (no overlong forms, surrogates or code points
// beyond U+10FFFF), for text that does not come from a str (Arrow strings). ASCII runs are
// checked eight bytes at a time.
inline bool valid(const char* data, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + n;
  while (p != end) {
    if (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // The second byte's range depends on the lead; later bytes are plain continuations.
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len || p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if ((p[k] & 0xC0) != 0x80) return false;
    p += len;
  }
  return true;
}

}  // namespace ondrel::utf8
