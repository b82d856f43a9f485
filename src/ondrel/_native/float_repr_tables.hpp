// The powers of ten float_repr scales by, computed at compile time from exact big integers.
#pragma once

#include <cstdint>

namespace ondrel::float_tables {

using u128 = unsigned __int128;

// floor(q log10 2), floor(log10(3/4 2^q)) and floor(e log2 10), exact over the ranges used
// here.
constexpr int flog10pow2(int q) { return static_cast<int>((int64_t{q} * 661971961083) >> 41); }
constexpr int flog10_three_quarters_pow2(int q) {
  return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
}
constexpr int flog2pow10(int e) { return static_cast<int>((int64_t{e} * 913124641741) >> 38); }

constexpr uint64_t kMask63 = (1ULL << 63) - 1;

// Just enough of an unsigned big integer to compute the tables.
struct Big {
  static constexpr int kLimbs = 40;  // 1280 bits: 10^326 and 2^1152 fit
  uint32_t limb[kLimbs]{};

  constexpr void mul_small(uint32_t m) {
    uint64_t carry = 0;
    for (uint32_t& l : limb) {
      const uint64_t x = uint64_t{l} * m + carry;
      l = static_cast<uint32_t>(x);
      carry = x >> 32;
    }
  }
  constexpr void div_small(uint32_t d) {
    uint64_t rem = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
      const uint64_t x = (rem << 32) | limb[i];
      limb[i] = static_cast<uint32_t>(x / d);
      rem = x % d;
    }
  }
  [[nodiscard]] constexpr bool bit(int at) const {
    return at < kLimbs * 32 && ((limb[at / 32] >> (at % 32)) & 1) != 0;
  }
  // Bits [shift, shift + 128).
  [[nodiscard]] constexpr u128 bits_from(int shift) const {
    u128 v = 0;
    for (int b = 127; b >= 0; --b) v = (v << 1) | (bit(shift + b) ? 1 : 0);
    return v;
  }
  [[nodiscard]] constexpr bool any_below(int shift) const {
    for (int b = 0; b < shift; ++b)
      if (bit(b)) return true;
    return false;
  }
};

// The scaling of both methods: s(e) = 10^e 2^-r for every e a conversion scales by. `add`
// receives (e, floor(s(e)), exact) with r = flog2pow10(e) - bits + 1, so that
// 2^(bits - 1) <= s(e) < 2^bits.
template <typename Add>
constexpr void for_each_pow10(int e_min, int e_max, int bits, Add add) {
  Big p{};
  p.limb[0] = 1;
  for (int e = 0; e <= e_max; ++e) {
    const int r = flog2pow10(e) - bits + 1;
    if (e >= e_min) {
      if (r >= 0)
        add(e, p.bits_from(r), !p.any_below(r));
      else
        add(e, p.bits_from(0) << -r, true);
    }
    p.mul_small(10);
  }
  // 10^e for e < 0: floor(2^s / 10^m) with s = -r, m = -e, from one floor(2^S / 10^m)
  // divided once more by 10 per step (floor(floor(x / a) / b) = floor(x / ab)); never exact.
  constexpr int kS = 1152;
  Big y{};
  y.limb[kS / 32] = 1;
  for (int e = -1; e >= e_min; --e) {
    y.div_small(10);
    const int s = bits - 1 - flog2pow10(e);
    add(e, y.bits_from(kS - s), false);
  }
}

// Schubfach's g(e) = floor(s(e)) + 1 with 126 bits, 2^125 < g < 2^126, split into two 63-bit
// halves, for e = -k, k in [-324, 292].
struct G {
  uint64_t hi;  // bits 63..125
  uint64_t lo;  // bits 0..62
};
constexpr int kGMin = -292;
constexpr int kGMax = 324;
struct GTable {
  G g[kGMax - kGMin + 1];
  constexpr GTable() : g{} {
    for_each_pow10(kGMin, kGMax, 126, [this](int e, u128 v, bool) {
      v += 1;
      g[e - kGMin] = G{static_cast<uint64_t>(v >> 63), static_cast<uint64_t>(v) & kMask63};
    });
  }
};
inline constexpr GTable kG{};
static_assert(kG.g[0 - kGMin].hi == (1ULL << 62) && kG.g[0 - kGMin].lo == 1, "g(0) = 2^125 + 1");

// The one-product path's ceil(s(e)) with 128 bits, 2^127 <= p < 2^128, for e in [-290, 326].
struct P {
  uint64_t hi;
  uint64_t lo;
};
constexpr int kPMin = -290;
constexpr int kPMax = 326;
struct PTable {
  P p[kPMax - kPMin + 1];
  bool sound = true;  // no inexact entry ends in 118 zero bits (its floor(delta) is exact)
  constexpr PTable() : p{} {
    for_each_pow10(kPMin, kPMax, 128, [this](int e, u128 v, bool exact) {
      if (!exact) {
        v += 1;
        if ((v & ((u128{1} << 118) - 1)) == 0) sound = false;
      }
      if ((v >> 127) == 0) sound = false;
      p[e - kPMin] = P{static_cast<uint64_t>(v >> 64), static_cast<uint64_t>(v)};
    });
  }
};
inline constexpr PTable kP{};
static_assert(kP.sound, "every power normalized, and no inexact one on a 2^118 boundary");
static_assert(kP.p[0 - kPMin].hi == (1ULL << 63) && kP.p[0 - kPMin].lo == 0, "p(0) = 2^127");

// Per binary exponent q of a normal double, the one-product path's k = floor(q log10 2) - 2 and
// beta = q + floor(-k log2 10): one load instead of two multiplications.
struct QStep {
  int16_t k;
  uint8_t beta;
};
constexpr int kQStepMin = -1074;
constexpr int kQStepMax = 971;
struct QTable {
  QStep s[kQStepMax - kQStepMin + 1];
  bool sound = true;  // beta in [6, 9], so (2c + 1) << beta < 2^63; -k within kP
  constexpr QTable() : s{} {
    for (int q = kQStepMin; q <= kQStepMax; ++q) {
      const int k = flog10pow2(q) - 2;
      const int beta = q + flog2pow10(-k);
      if (beta < 6 || beta > 9 || -k < kPMin || -k > kPMax) sound = false;
      s[q - kQStepMin] = QStep{static_cast<int16_t>(k), static_cast<uint8_t>(beta)};
    }
  }
};
inline constexpr QTable kQ{};
static_assert(kQ.sound, "every step's beta and power in range");

// repr()'s exponent text ("e+XX", "e-XX", "e-XXX") of every decimal exponent a double's first
// digit can have, as the bytes of one store with its length in the top byte: a load instead
// of a division and a choice between two and three digits.
constexpr int kExp10Min = -324;
constexpr int kExp10Max = 308;
struct ExponentTable {
  uint64_t word[kExp10Max - kExp10Min + 1];
  constexpr ExponentTable() : word{} {
    for (int x = kExp10Min; x <= kExp10Max; ++x) {
      const int a = x < 0 ? -x : x;
      uint64_t w = 'e' | uint64_t(x < 0 ? '-' : '+') << 8;
      int n = 2;
      if (a >= 100) w |= uint64_t('0' + a / 100) << (8 * n++);
      w |= uint64_t('0' + a / 10 % 10) << (8 * n++);
      w |= uint64_t('0' + a % 10) << (8 * n++);
      word[x - kExp10Min] = w | uint64_t(n) << 56;
    }
  }
};
inline constexpr ExponentTable kExponents{};
static_assert(kExponents.word[0] == (0x05000000'00000000 | 0x34'32'33'2D'65));  // "e-324"
static_assert(kExponents.word[16 - kExp10Min] == (0x04000000'00000000 | 0x36'31'2B'65));

}  // namespace ondrel::float_tables
