// The shortest decimal of a double, the digits that float_repr lays out: one 128-bit product
// for nearly every double (after Dragonbox, below); its ends, ties and the asymmetric intervals
// go to Schubfach (Raffaello Giulietti, "The Schubfach way to render doubles", 2020), which
// decides every case with three round-to-odd products.
#pragma once

#include <cstdint>

#include "ondrel/_native/float_repr_tables.hpp"

namespace ondrel::float_decimal {

using float_tables::flog10_three_quarters_pow2;
using float_tables::flog10pow2;
using float_tables::flog2pow10;
using float_tables::G;
using float_tables::kG;
using float_tables::kGMin;
using float_tables::kMask63;
using float_tables::kP;
using float_tables::kPMin;
using float_tables::kQ;
using float_tables::kQStepMin;
using float_tables::QStep;
using float_tables::u128;

constexpr int kQMin = -1074;            // exponent of the subnormals' unit
constexpr uint64_t kCMin = 1ULL << 52;  // the hidden bit

// floor(g cp / 2^127), with the lowest bit set when the dropped part is not zero (the paper's
// "round to odd").
inline uint64_t rop(const G& g, uint64_t cp) {
  const u128 x = u128{g.lo} * cp;
  const u128 y = u128{g.hi} * cp;
  const auto x1 = static_cast<uint64_t>(x >> 64);
  const auto y0 = static_cast<uint64_t>(y);
  const auto y1 = static_cast<uint64_t>(y >> 64);
  const uint64_t z = (y0 >> 1) + x1;
  const uint64_t vbp = y1 + (z >> 63);
  return vbp | (((z & kMask63) + kMask63) >> 63);
}

struct Decimal {
  uint64_t f;  // value = f 10^e
  int e;
};

// The shortest decimal in the rounding interval of c 2^q, the closest one when several are.
// Out of line: the one-product path decides nearly every value, and this one's registers
// would cost every call a prologue.
[[gnu::noinline]] inline Decimal to_decimal(int q, uint64_t c) {
  const uint64_t out = c & 1;  // an odd c rounds away its interval's ends
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  uint64_t cbl;
  int k;
  if (c != kCMin || q == kQMin) {
    cbl = cb - 2;
    k = flog10pow2(q);
  } else {
    // At a power of two the interval below is half as wide.
    cbl = cb - 1;
    k = flog10_three_quarters_pow2(q);
  }
  const int h = q + flog2pow10(-k) + 2;
  const G& g = kG.g[-k - kGMin];
  const uint64_t vb = rop(g, cb << h);
  const uint64_t vbl = rop(g, cbl << h);
  const uint64_t vbr = rop(g, cbr << h);
  const uint64_t s = vb >> 2;
  // The paper tries one digit fewer from s >= 100 on, as Java wants two digits at least; repr
  // wants the shortest, so from s >= 10 (only the smallest subnormals have s < 100, and the
  // native test goes through all of them).
  if (s >= 10) {
    // One digit fewer, when exactly one of its two candidates lies in the interval.
    const uint64_t sp10 = s / 10 * 10;
    const uint64_t tp10 = sp10 + 10;
    const bool upin = vbl + out <= sp10 << 2;
    const bool wpin = (tp10 << 2) + out <= vbr;
    if (upin != wpin) return {upin ? sp10 : tp10, k};
  }
  const uint64_t t = s + 1;
  const bool uin = vbl + out <= s << 2;
  const bool win = (t << 2) + out <= vbr;
  if (uin != win) return {uin ? s : t, k};
  // Both in: the closer one, the even one on a tie.
  const auto cmp = static_cast<int64_t>(vb - ((s + t) << 1));
  return {cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k};
}

// The common case with one product (after Junekey Jeon, "Dragonbox", 2020): for c 2^q with a
// symmetric interval, k = floor(q log10 2) - 2 makes the interval 10^-k as wide, delta in
// [100, 1000); z = floor of its upper end scaled by 10^-k. A multiple of 1000 below z within
// delta is the only one in the interval, so the shortest; else the shortest are multiples of
// 100 and the nearest to the centre, z - delta/2, wins. Returns f = 0 where an end or a tie
// needs the exact comparisons of to_decimal (an integer z, r == delta, a possible tie).
struct OneProduct {
  uint64_t z;
  uint64_t below;  // the bits of the upper end below z's
  uint64_t delta;
  int k;
};
inline OneProduct one_product(int q, uint64_t c) {
  const QStep step = kQ.s[q - kQStepMin];
  const int k = step.k;
  const int beta = step.beta;  // in [6, 9]: u stays below 2^63
  const auto& p = kP.p[-k - kPMin];
  const uint64_t u = ((c << 1) | 1) << beta;
  const u128 upper = u128{u} * p.hi + ((u128{u} * p.lo) >> 64);
  return {static_cast<uint64_t>(upper >> 64), static_cast<uint64_t>(upper), p.hi >> (63 - beta), k};
}

inline Decimal to_decimal_fast(int q, uint64_t c) {
  const auto [z, below, delta, k] = one_product(q, c);
  const uint64_t s = z / 1000;
  const uint64_t r = z - s * 1000;
  if (r < delta) {
    // At r == 0 with an integer z the interval's upper end is the candidate.
    if (r != 0 || below != 0) return {s, k + 3};
  } else if (r > delta) {
    // dist / 100 rounds (z - delta/2) / 100 exactly unless dist is a multiple of 100.
    const uint64_t dist = r - delta / 2 + 50;
    const uint64_t m = dist / 100;
    if (dist != m * 100) return {s * 10 + m, k + 2};
  }
  return {0, 0};
}

}  // namespace ondrel::float_decimal
