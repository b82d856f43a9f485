// Shortest round-trip decimal digits of a double, the digits repr(float) prints.
//
// Schubfach-style (R. Giulietti, "The Schubfach way to render doubles"): with v = c * 2^q
// and the rounding interval R = [v - 2^q/2, v + 2^q/2] (a quarter below when c is a power of
// two, as the gap below is half as wide), one scale 10^-k brings R to a width in [1, 10).
// There, at most one multiple of 10 lies in R, and if none does, one of floor(v*10^-k) and
// the next integer does; the answer is whichever lies in R, the nearer (ties to even) when
// both do. Four times the scaled v and the ends of R are computed from a 128-bit power of
// ten rounded up (pow10_table.hpp), truncated to 64 fraction bits and rounded to odd: the
// fraction of an exact quotient is either 0 or far above the error of the approximation, so
// every comparison with an even integer comes out as it would in exact arithmetic.
//
// Plain integers, no Python, so it is tested on its own against std::to_chars.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/pow10_table.hpp"

namespace ondrel {

// value = digits * 10^exponent; digits has no trailing zeros (0 for a zero).
struct ShortestDecimal {
  uint64_t digits;
  int exponent;
};

namespace shortest_double_detail {

inline int floor_log10_pow2(int q) {
  return static_cast<int>((q * kLog10Pow2Mul + kLog10Pow2Add) >> kLog10Pow2Shift);
}

inline int floor_log10_three_quarters_pow2(int q) {
  return static_cast<int>((q * kLog10ThreeQuartersPow2Mul + kLog10ThreeQuartersPow2Add) >>
                          kLog10ThreeQuartersPow2Shift);
}

inline int floor_log2_pow10(int e) {
  return static_cast<int>((e * kLog2Pow10Mul + kLog2Pow10Add) >> kLog2Pow10Shift);
}

// floor(g * cp / 2^128) with its lowest bit set when the fraction, truncated to 64 bits, is
// not zero. The truncation drops the excess of g over 10^-k, so exact products stay exact.
inline uint64_t round_to_odd(const Pow10Entry& g, uint64_t cp) {
  using u128 = unsigned __int128;
  const u128 lo = static_cast<u128>(g.lo) * cp;
  const u128 mid = static_cast<u128>(g.hi) * cp + static_cast<uint64_t>(lo >> 64);
  return static_cast<uint64_t>(mid >> 64) | static_cast<uint64_t>(static_cast<uint64_t>(mid) != 0);
}

inline ShortestDecimal trimmed(uint64_t d, int k) {
  // d > 0 here. Whole blocks first: integral floats end in many zeros.
  while (d % 100000000 == 0) {
    d /= 100000000;
    k += 8;
  }
  if (d % 10000 == 0) {
    d /= 10000;
    k += 4;
  }
  if (d % 100 == 0) {
    d /= 100;
    k += 2;
  }
  if (d % 10 == 0) {
    d /= 10;
    k += 1;
  }
  return {d, k};
}

}  // namespace shortest_double_detail

// Shortest digits that read back as |v| (round-half-even reading), nearest to |v| among
// those, the even one on a tie. v must be finite.
inline ShortestDecimal shortest_double(double v) {
  using namespace shortest_double_detail;
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased == 0 && frac == 0) return {0, 0};
  const uint64_t c = biased != 0 ? frac | (uint64_t{1} << 52) : frac;
  const int q = biased != 0 ? biased - 1075 : -1074;

  // Even c: a decimal on an end of R reads back as v, so the ends count as inside.
  const uint64_t out = c & 1;
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  uint64_t cbl = 0;
  int k = 0;
  if (frac != 0 || biased <= 1) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {
    cbl = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  // cb << h < 2^60: h is 0..4.
  const int h = q + floor_log2_pow10(-k) + 1;
  const Pow10Entry& g = kPow10[k - kPow10MinK];
  const uint64_t vb = round_to_odd(g, cb << h);
  const uint64_t vbl = round_to_odd(g, cbl << h);
  const uint64_t vbr = round_to_odd(g, cbr << h);

  const uint64_t s = vb >> 2;
  const uint64_t sp10 = s / 10 * 10;
  const uint64_t tp10 = sp10 + 10;
  const bool sp10_in = vbl + out <= sp10 << 2;
  const bool tp10_in = (tp10 << 2) + out <= vbr;
  if (sp10_in != tp10_in) return trimmed(sp10_in ? sp10 : tp10, k);

  const uint64_t t = s + 1;
  const bool s_in = vbl + out <= s << 2;
  const bool t_in = (t << 2) + out <= vbr;
  // From here on neither s nor t is a multiple of 10 (one inside R was taken above, and one
  // outside is not picked), so there is nothing to trim.
  if (s_in != t_in) return {s_in ? s : t, k};
  // Both inside: compare 4v' with 4(s + 1/2).
  const uint64_t mid = (s + t) << 1;
  const bool pick_s = vb < mid || (vb == mid && (s & 1) == 0);
  return {pick_s ? s : t, k};
}

// Writes the decimal digits of d ending just before `end`; returns where they start. Up to 20
// digits; d = 0 writes "0".
inline char* shortest_digits_before(char* end, uint64_t d) {
  const char* pairs = kDigitPairs.d;
  char* p = end;
  while (d >= 100) {
    const auto pair = static_cast<size_t>(d % 100);
    d /= 100;
    p -= 2;
    std::memcpy(p, pairs + 2 * pair, 2);
  }
  if (d >= 10) {
    p -= 2;
    std::memcpy(p, pairs + 2 * d, 2);
  } else {
    *--p = static_cast<char>('0' + d);
  }
  return p;
}

}  // namespace ondrel
