// Decimal text to numbers. The double nearest w 10^q, for a decimal significand w of at most
// 19 digits, from one or two 128-bit products (Daniel Lemire, "Number Parsing at a Gigabyte per
// Second", 2021, after Michael Eisel), with the powers of ten the float text scales by. Returns
// false where the products cannot decide: the caller converts the text the slow way.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/float_repr_tables.hpp"

namespace ondrel::float_parse {

// The run of ASCII digits that starts the eight bytes at p, up to all eight: its length in *n
// and its value (after Daniel Lemire, "Quickly parsing eight digits", 2018): a few products
// instead of a step a digit.
inline uint64_t digit_block(const unsigned char* p, int* n) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  // A digit's high nibble is 3, and adding 6 keeps it 3. Only a byte that is not a digit can
  // carry into the next one, and only the bytes before the first such byte count.
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0;
  constexpr uint64_t kZeros = 0x3030303030303030;
  const uint64_t other =
      ((w & kHigh) | (((w + 0x0606060606060606) & kHigh) >> 4)) ^ 0x3333333333333333;
  const int len = other == 0 ? 8 : std::countr_zero(other) >> 3;
  *n = len;
  if (len == 0) return 0;
  // The run moved to the end, with '0's before it: eight digits, the first in the lowest byte.
  if (len < 8) w = w << (8 * (8 - len)) | kZeros >> (8 * len);
  w -= kZeros;
  w = w * 10 + (w >> 8);  // two-digit values in the even bytes
  constexpr uint64_t kPairs = 0x000000FF000000FF;
  return ((w & kPairs) * (100 + (1000000ULL << 32)) +
          ((w >> 16) & kPairs) * (1 + (10000ULL << 32))) >>
         32;
}

inline constexpr uint64_t kPow10[] = {1,      10,      100,      1000,     10000,
                                      100000, 1000000, 10000000, 100000000};

inline bool decimal_to_double(uint64_t w, int q, double* out) {
  using float_tables::kP;
  using float_tables::kPMin;
  using float_tables::u128;
  if (w == 0) {
    *out = 0.0;
    return true;
  }
  // Past 308, w 10^q overflows; below the table, the text decides.
  if (q < kPMin || q > 308) return false;
  // The method takes 10^q normalized to 128 bits, rounded up where -27 <= q < 0 and truncated
  // elsewhere; the table holds it rounded up, which truncation equals for exact 0 <= q <= 55.
  // Within -27 <= q <= 55 the products are always sure.
  const bool sure = q >= -27 && q <= 55;
  const auto& p = kP.p[q - kPMin];
  u128 t = u128{p.hi} << 64 | p.lo;
  if (!sure) t -= 1;
  const int lz = std::countl_zero(w);
  w <<= lz;
  const auto t_hi = static_cast<uint64_t>(t >> 64);
  const auto t_lo = static_cast<uint64_t>(t);
  const u128 first = u128{w} * t_hi;
  uint64_t hi = static_cast<uint64_t>(first >> 64);
  uint64_t lo = static_cast<uint64_t>(first);
  // 55 bits decide the rounding; when the nine below them are all ones, the power's lower half
  // may carry into them.
  constexpr uint64_t kBelow = 0x1FF;
  if ((hi & kBelow) == kBelow) {
    const auto second = static_cast<uint64_t>((u128{w} * t_lo) >> 64);
    lo += second;
    if (lo < second) ++hi;
  }
  // Still undecided where the power is not sure.
  if (lo == UINT64_MAX && !sure) return false;
  const int upper = static_cast<int>(hi >> 63);
  const int shift = upper + 9;
  uint64_t mantissa = hi >> shift;
  // floor(q log2 10) + 63 for the 2^q of 10^q, the normalization and the exponent's bias.
  int power2 = ((217706 * q) >> 16) + 63 + upper - lz + 1023;
  // Below the normal range (which the table's powers do not reach) and past it, the text decides.
  if (power2 <= 0) return false;
  // Exactly between two doubles (possible only for -4 <= q <= 23): to the even one.
  if (lo <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == hi)
    mantissa &= ~uint64_t{1};
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= uint64_t{2} << 52) {
    mantissa = uint64_t{1} << 52;
    ++power2;
  }
  if (power2 >= 0x7FF) return false;
  mantissa &= ~(uint64_t{1} << 52);
  const uint64_t bits = mantissa | uint64_t(power2) << 52;
  std::memcpy(out, &bits, 8);
  return true;
}

}  // namespace ondrel::float_parse
