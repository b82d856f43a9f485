// Copying a string's bytes into the output while looking for bytes that may need escaping:
// the writer's hottest byte kernel, at the vector level simd::level() chose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/common.hpp"
#include "ondrel/_native/simd.hpp"
#include "ondrel/_native/simd_bytes.hpp"

namespace ondrel::common {

namespace detail {

// Words at a time, the last one overlapping, so a short string costs no loop and no call.
inline bool copy_checked_portable(char* out, const char* s, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  uint64_t hit;
  if (n >= 8) {
    hit = 0;
    for (size_t i = 0; i + 8 < n; i += 8) {
      const uint64_t w = detail::load64(p + i);
      hit |= detail::raw_suspects(w);
      std::memcpy(out + i, &w, 8);
    }
    const uint64_t w = detail::load64(p + n - 8);
    hit |= detail::raw_suspects(w);
    std::memcpy(out + n - 8, &w, 8);
  } else if (n >= 4) {
    const uint64_t lo = detail::load32(p);
    const uint64_t hi = detail::load32(p + n - 4);
    hit = detail::raw_suspects(lo | hi << 32);
    const auto lo32 = static_cast<uint32_t>(lo);
    const auto hi32 = static_cast<uint32_t>(hi);
    std::memcpy(out, &lo32, 4);
    std::memcpy(out + n - 4, &hi32, 4);
  } else if (n > 0) {
    const unsigned char a = p[0], b = p[n >> 1], c = p[n - 1];
    hit = detail::raw_suspects(0x6161616161000000ULL | a | uint64_t{b} << 8 | uint64_t{c} << 16);
    out[0] = static_cast<char>(a);
    out[n >> 1] = static_cast<char>(b);
    out[n - 1] = static_cast<char>(c);
  } else {
    return false;
  }
  return hit != 0;
}

}  // namespace detail

// Copies n bytes from p to out (room for n) and tells whether one of them may need escaping
// or keep the text from standing raw (the suspects of raw_suspects; a false hit only costs the
// exact pass). AVX-512 takes any size (its masked tail needs no branch on it); SSE2 and NEON
// take 16 bytes up, shorter strings stay with the word code, which needs no loop for them. An AVX2
// copy measured no gain: record strings are short.
[[nodiscard]] inline bool copy_checked(char* out, const char* s, size_t n) {
#if defined(__x86_64__)
  const simd::Level level = simd::level();
  if (level == simd::Level::kAvx512) return simd::copy_checked_avx512(out, s, n);
  if (n >= 16 && level >= simd::Level::kSse2) return simd::copy_checked_sse2(out, s, n);
#elif defined(__aarch64__)
  if (n >= 16 && simd::level() == simd::Level::kNeon) return simd::copy_checked_neon(out, s, n);
#endif
  return detail::copy_checked_portable(out, s, n);
}

}  // namespace ondrel::common
