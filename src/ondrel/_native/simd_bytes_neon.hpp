// NEON copies of the byte kernels in simd_bytes.hpp, for aarch64, where NEON is part of the
// baseline: the same contracts, sixteen bytes a step. NEON has no movemask; a compare's lanes
// are narrowed to four bits each (one shift-narrow), so one 64-bit word says whether and
// where a lane hit, and a horizontal maximum answers "any byte from 0x80 up".
#pragma once

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

namespace ondrel::simd {

// Four bits per lane of a compare result (lanes all ones or all zeros), lane 0 lowest.
inline uint64_t nibbles(uint8x16_t m) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
}

inline bool any_high(uint8x16_t v) { return vmaxvq_u8(v) >= 0x80; }

// ---- writer: copy a string and say whether a byte may need escaping -----------------------

inline uint8x16_t flagged16_neon(uint8x16_t v) {
  const uint8x16_t low = vcleq_u8(v, vdupq_n_u8(0x1F));
  const uint8x16_t quote = vceqq_u8(v, vdupq_n_u8('"'));
  const uint8x16_t slash = vceqq_u8(v, vdupq_n_u8('\\'));
  const uint8x16_t del = vceqq_u8(v, vdupq_n_u8(0x7F));
  return vorrq_u8(vorrq_u8(low, quote), vorrq_u8(slash, del));
}

// n >= 16; the last block overlaps the one before it.
inline bool copy_checked_neon(char* out, const char* s, size_t n) {
  const auto* in = reinterpret_cast<const uint8_t*>(s);
  auto* o = reinterpret_cast<uint8_t*>(out);
  uint8x16_t hit = vdupq_n_u8(0);
  for (size_t i = 0; i + 16 < n; i += 16) {
    const uint8x16_t v = vld1q_u8(in + i);
    vst1q_u8(o + i, v);
    hit = vorrq_u8(hit, flagged16_neon(v));
  }
  const uint8x16_t v = vld1q_u8(in + n - 16);
  vst1q_u8(o + n - 16, v);
  return nibbles(vorrq_u8(hit, flagged16_neon(v))) != 0;
}

// ---- reader: the first byte that ends a plain run of a string ------------------------------
// As find_stop_sse2. The blocks passed whole are ORed in a register and looked at once.

template <bool kBasic>
inline const unsigned char* find_stop_neon(const unsigned char*& p, const unsigned char* end,
                                           unsigned char quote, uint32_t& high) {
  const uint8x16_t q = vdupq_n_u8(quote);
  uint8x16_t seen = vdupq_n_u8(0);
  for (; end - p >= 16; p += 16) {
    const uint8x16_t v = vld1q_u8(p);
    uint8x16_t stop = vorrq_u8(vceqq_u8(v, q), vceqq_u8(v, vdupq_n_u8(0x7F)));
    if constexpr (kBasic) stop = vorrq_u8(stop, vceqq_u8(v, vdupq_n_u8('\\')));
    stop = vorrq_u8(stop, vcleq_u8(v, vdupq_n_u8(0x1F)));
    const uint64_t m = nibbles(stop);
    if (m != 0) {
      // The lanes before the first stop: the bits below its lowest one.
      const uint64_t h = nibbles(vcltzq_s8(vreinterpretq_s8_u8(v)));
      if ((h & (m - 1) & ~m) != 0 || any_high(seen)) high |= 0x80;
      return p + (__builtin_ctzll(m) >> 2);
    }
    seen = vorrq_u8(seen, v);
  }
  if (any_high(seen)) high |= 0x80;
  return nullptr;
}

// Two- and four-byte units (a str's own): moves p past the whole 16-byte blocks that hold no
// stop and ORs their units into acc; the caller finds the stop unit by unit.
template <typename U, bool kBasic>
inline const U* skip_plain_units_neon(const U* p, const U* end, U quote, uint32_t& acc) {
  constexpr size_t kLanes = 16 / sizeof(U);
  uint64x2_t seen;
  if constexpr (sizeof(U) == 2) {
    uint16x8_t all = vdupq_n_u16(0);
    for (; static_cast<size_t>(end - p) >= kLanes; p += kLanes) {
      const uint16x8_t v = vld1q_u16(p);
      uint16x8_t stop =
          vorrq_u16(vceqq_u16(v, vdupq_n_u16(quote)), vceqq_u16(v, vdupq_n_u16(0x7F)));
      if constexpr (kBasic) stop = vorrq_u16(stop, vceqq_u16(v, vdupq_n_u16('\\')));
      stop = vorrq_u16(stop, vcltq_u16(v, vdupq_n_u16(0x20)));
      if (vmaxvq_u16(stop) != 0) break;
      all = vorrq_u16(all, v);
    }
    seen = vreinterpretq_u64_u16(all);
  } else {
    uint32x4_t all = vdupq_n_u32(0);
    for (; static_cast<size_t>(end - p) >= kLanes; p += kLanes) {
      const uint32x4_t v = vld1q_u32(p);
      uint32x4_t stop =
          vorrq_u32(vceqq_u32(v, vdupq_n_u32(quote)), vceqq_u32(v, vdupq_n_u32(0x7F)));
      if constexpr (kBasic) stop = vorrq_u32(stop, vceqq_u32(v, vdupq_n_u32('\\')));
      stop = vorrq_u32(stop, vcltq_u32(v, vdupq_n_u32(0x20)));
      if (vmaxvq_u32(stop) != 0) break;
      all = vorrq_u32(all, v);
    }
    seen = vreinterpretq_u64_u32(all);
  }
  // The OR of all lanes: fold the two halves, then the units inside a word.
  uint64_t w = vgetq_lane_u64(seen, 0) | vgetq_lane_u64(seen, 1);
  w |= w >> 32;
  if constexpr (sizeof(U) == 2) w |= w >> 16;
  acc |= static_cast<uint32_t>(w) & (sizeof(U) == 2 ? 0xFFFFu : 0xFFFFFFFFu);
  return p;
}

// ---- building an ASCII str: copy while checking --------------------------------------------
// As copy_ascii_sse2, in blocks of 64 and then of 16: returns how many bytes it copied (fewer
// than 16 are left), or kNotAscii at the first block with a byte from 0x80 up; without kCopy it
// only checks.

template <bool kCopy = true>
inline size_t copy_ascii_neon([[maybe_unused]] char* out, const char* data, size_t n) {
  const auto* in = reinterpret_cast<const uint8_t*>(data);
  [[maybe_unused]] auto* o = reinterpret_cast<uint8_t*>(out);
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const uint8x16_t a = vld1q_u8(in + i), b = vld1q_u8(in + i + 16);
    const uint8x16_t c = vld1q_u8(in + i + 32), d = vld1q_u8(in + i + 48);
    if constexpr (kCopy) {
      vst1q_u8(o + i, a);
      vst1q_u8(o + i + 16, b);
      vst1q_u8(o + i + 32, c);
      vst1q_u8(o + i + 48, d);
    }
    if (any_high(vorrq_u8(vorrq_u8(a, b), vorrq_u8(c, d)))) return kNotAscii;
  }
  for (; n - i >= 16; i += 16) {
    const uint8x16_t v = vld1q_u8(in + i);
    if constexpr (kCopy) vst1q_u8(o + i, v);
    if (any_high(v)) return kNotAscii;
  }
  return i;
}

}  // namespace ondrel::simd
