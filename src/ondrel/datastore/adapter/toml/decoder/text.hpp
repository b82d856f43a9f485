// Scanning string bodies and making str objects at their final width. No parsing state here.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/simd.hpp"
#include "ondrel/_native/simd_bytes.hpp"
#include "ondrel/_native/utf8.hpp"
#include "ondrel/_native/utf8_str.hpp"

namespace ondrel::decoder {

// Units that end a plain run inside a string: the closing quote, a backslash (basic strings
// only), and every control character (tab included, for the caller to take) and DEL.
template <typename U, bool kBasic>
inline bool stops_run(U c, U quote) {
  return c == quote || (kBasic && c == '\\') || c < 0x20 || c == 0x7F;
}

// The first unit in [p, end) that stops a plain run, or end. `bits` receives the OR of the
// units passed over: with UTF-8, bit 7 says a sequence needs decoding; with a str's own units
// it gives the narrowest kind of the text (an OR reaches 0x80, 0x100 or 0x10000 exactly when
// one unit does).
template <typename U, bool kBasic>
inline const U* scan_run(const U* p, const U* end, U quote, uint32_t& bits) {
  uint32_t acc = 0;
#if defined(__x86_64__)
  const simd::Level level = simd::level();
  if constexpr (sizeof(U) == 1) {
    const U* stop =
        level >= simd::Level::kSse2 ? simd::find_stop_sse2<kBasic>(p, end, quote, acc) : nullptr;
    if (stop != nullptr) {
      bits |= acc;
      return stop;
    }
  } else {
    // Two- and four-byte units: compare lanes of the unit's width; a stop is found lane by
    // lane in the scalar loop below.
    constexpr size_t kLanes = 16 / sizeof(U);
    const __m128i zero = _mm_setzero_si128();
    __m128i vacc = zero;
    while (level >= simd::Level::kSse2 && static_cast<size_t>(end - p) >= kLanes) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i stop;
      if constexpr (sizeof(U) == 2) {
        stop = _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(quote))),
                            _mm_cmpeq_epi16(v, _mm_set1_epi16(0x7F)));
        if constexpr (kBasic) stop = _mm_or_si128(stop, _mm_cmpeq_epi16(v, _mm_set1_epi16('\\')));
        stop = _mm_or_si128(stop, _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0x1F)), zero));
      } else {
        // Code points stay below 2^31, so the signed compare is exact.
        stop = _mm_or_si128(_mm_cmpeq_epi32(v, _mm_set1_epi32(static_cast<int>(quote))),
                            _mm_cmpeq_epi32(v, _mm_set1_epi32(0x7F)));
        if constexpr (kBasic) stop = _mm_or_si128(stop, _mm_cmpeq_epi32(v, _mm_set1_epi32('\\')));
        stop = _mm_or_si128(stop, _mm_cmplt_epi32(v, _mm_set1_epi32(0x20)));
      }
      if (_mm_movemask_epi8(stop) != 0) break;
      vacc = _mm_or_si128(vacc, v);
      p += kLanes;
    }
    alignas(16) U lanes[kLanes];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), vacc);
    for (U u : lanes) acc |= static_cast<uint32_t>(u);
  }
#elif defined(__aarch64__)
  if constexpr (sizeof(U) == 1) {
    const U* stop = simd::level() == simd::Level::kNeon
                        ? simd::find_stop_neon<kBasic>(p, end, quote, acc)
                        : nullptr;
    if (stop != nullptr) {
      bits |= acc;
      return stop;
    }
  } else if (simd::level() == simd::Level::kNeon) {
    p = simd::skip_plain_units_neon<U, kBasic>(p, end, quote, acc);
  }
#endif
  for (; p < end; ++p) {
    const U c = *p;
    if (stops_run<U, kBasic>(c, quote)) break;
    acc |= static_cast<uint32_t>(c);
  }
  bits |= sizeof(U) == 1 && acc >= 0x80 ? 0x80 : acc;
  return p;
}

// Eight two- or four-byte units at q as eight bytes, for the byte kernels that numbers use: a
// unit past ASCII gives a byte past it too (saturated, never a truncated ASCII digit). False
// below the SSE2 level, where wide text keeps its scalar loops.
template <typename U>
inline bool narrow8(const U* q, unsigned char* out) {
  static_assert(sizeof(U) == 2 || sizeof(U) == 4);
#if defined(__x86_64__)
  if (simd::level() < simd::Level::kSse2) return false;
  const auto* v = reinterpret_cast<const __m128i*>(q);
  __m128i w = _mm_loadu_si128(v);
  // Code points stay below 2^31: the signed saturation keeps every one past 0x7FFF past 0xFF.
  if constexpr (sizeof(U) == 4) w = _mm_packs_epi32(w, _mm_loadu_si128(v + 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
  return true;
#else
  (void)q;
  (void)out;
  return false;
#endif
}

inline Py_UCS4 maxchar_of(uint32_t bits) {
  return bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// A str of n fixed-width units whose OR is `bits`, made at its narrowest kind in one step.
template <typename T>
PyObject* str_from_units(const T* src, size_t n, uint32_t bits) {
  const Py_UCS4 maxchar = maxchar_of(bits);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), maxchar);
  if (s == nullptr) return nullptr;
  void* out = PyUnicode_DATA(s);
  const int kind = PyUnicode_KIND(s);
  if (static_cast<size_t>(kind) == sizeof(T)) {
    std::memcpy(out, src, n * sizeof(T));
  } else if (kind == PyUnicode_1BYTE_KIND) {
    auto* o = static_cast<Py_UCS1*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = static_cast<Py_UCS1>(src[i]);
  } else if (kind == PyUnicode_2BYTE_KIND) {
    auto* o = static_cast<Py_UCS2*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = static_cast<Py_UCS2>(src[i]);
  } else {
    auto* o = static_cast<Py_UCS4*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = static_cast<Py_UCS4>(src[i]);
  }
  return s;
}

// A str of n UTF-8 bytes; `high` says whether any byte is past ASCII. Malformed UTF-8 gives
// null with no exception set, for the caller to name the bad byte.
inline PyObject* str_from_utf8(const unsigned char* src, size_t n, bool high) {
  const auto* data = reinterpret_cast<const char*>(src);
  if (!high) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
    if (s != nullptr) std::memcpy(PyUnicode_DATA(s), src, n);
    return s;
  }
  return utf8::wide_str(data, n);
}

// The first byte in [p, end) where well-formed UTF-8 breaks, or null.
inline const unsigned char* utf8_invalid(const unsigned char* p, const unsigned char* end) {
  while (p < end) {
    const uint32_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t len;
    uint32_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return p;
    }
    if (static_cast<size_t>(end - p) < len || p[1] < lo || p[1] > hi) return p;
    for (size_t k = 2; k < len; ++k)
      if ((p[k] & 0xC0) != 0x80) return p;
    p += len;
  }
  return nullptr;
}

}  // namespace ondrel::decoder
