// repr() text of finite floats. The shortest round-trip digits come from Schubfach (Raffaello
// Giulietti, "The Schubfach way to render doubles", 2020), written here because with the
// layout it takes about half the instructions of std::to_chars plus moving its digits (bench:
// make bench-kinds, floats); the digits are laid out as repr() lays them out.
#include "ondrel/_native/float_repr.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/digit_pairs.hpp"

namespace ondrel {

namespace {

using u128 = unsigned __int128;

constexpr int kQMin = -1074;            // exponent of the subnormals' unit
constexpr uint64_t kCMin = 1ULL << 52;  // the hidden bit
constexpr uint64_t kMask63 = (1ULL << 63) - 1;

// floor(q log10 2), floor(log10(3/4 2^q)) and floor(e log2 10), exact over the ranges used
// here (the paper's constants).
constexpr int flog10pow2(int q) { return static_cast<int>((int64_t{q} * 661971961083) >> 41); }
constexpr int flog10_three_quarters_pow2(int q) {
  return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
}
constexpr int flog2pow10(int e) { return static_cast<int>((int64_t{e} * 913124641741) >> 38); }

// g(e) = floor(10^e 2^-r) + 1 with r = flog2pow10(e) - 125, so 2^125 < g < 2^126, split into
// two 63-bit halves, for every 10^e the conversion scales by: e = -k, k in [-324, 292].
constexpr int kEMin = -292;
constexpr int kEMax = 324;

struct G {
  uint64_t hi;  // bits 63..125
  uint64_t lo;  // bits 0..62
};

// Just enough of an unsigned big integer to compute the table at compile time.
struct Big {
  static constexpr int kLimbs = 40;  // 1280 bits: 10^324 and 2^1152 fit
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
  // Bits [shift, shift + 128).
  [[nodiscard]] constexpr u128 bits_from(int shift) const {
    u128 v = 0;
    for (int b = 127; b >= 0; --b) {
      const int at = shift + b;
      const uint32_t bit = at < kLimbs * 32 ? (limb[at / 32] >> (at % 32)) & 1 : 0;
      v = (v << 1) | bit;
    }
    return v;
  }
};

struct GTable {
  G g[kEMax - kEMin + 1];
  constexpr GTable() : g{} {
    // 10^e for e >= 0: shifted right by r, or left while r < 0.
    Big p{};
    p.limb[0] = 1;
    for (int e = 0; e <= kEMax; ++e) {
      const int r = flog2pow10(e) - 125;
      const u128 v = r >= 0 ? p.bits_from(r) : p.bits_from(0) << -r;
      set(e, v + 1);
      p.mul_small(10);
    }
    // 10^e for e < 0: floor(2^s / 10^m) with s = -r, m = -e, from one floor(2^S / 10^m)
    // divided once more by 10 per step (floor(floor(x / a) / b) = floor(x / ab)).
    constexpr int kS = 1152;
    Big y{};
    y.limb[kS / 32] = 1;
    for (int e = -1; e >= kEMin; --e) {
      y.div_small(10);
      const int s = 125 - flog2pow10(e);
      set(e, y.bits_from(kS - s) + 1);
    }
  }
  constexpr void set(int e, u128 v) {
    g[e - kEMin] = G{static_cast<uint64_t>(v >> 63), static_cast<uint64_t>(v) & kMask63};
  }
};
constexpr GTable kG{};
static_assert(kG.g[0 - kEMin].hi == (1ULL << 62) && kG.g[0 - kEMin].lo == 1, "g(0) = 2^125 + 1");

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
inline Decimal to_decimal(int q, uint64_t c) {
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
  const G& g = kG.g[-k - kEMin];
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

struct Digits {
  const char* first;  // the first digit
  int n;              // digits up to the last that is not zero
};

// The digits of 0 < f < 10^17, written as 17 digits at d[0, 17) (leading zeros included); the
// zeros at the end are left out of the count and added to *e.
inline Digits write_digits(char* d, uint64_t f, int* e) {
  const uint64_t hi = f / 10000000000000000ULL;
  const uint64_t rest = f % 10000000000000000ULL;
  const uint64_t wm = eight_digits(static_cast<uint32_t>(rest / 100000000));
  const uint64_t wl = eight_digits(static_cast<uint32_t>(rest % 100000000));
  d[0] = static_cast<char>('0' + hi);
  const uint64_t am = wm + kAsciiZeros;
  const uint64_t al = wl + kAsciiZeros;
  std::memcpy(d + 1, &am, 8);
  std::memcpy(d + 9, &al, 8);
  // Zero digits are zero bytes: the last digit is the highest byte, the first the lowest.
  const int trailing = (std::countl_zero(wl) >> 3) + (wl == 0 ? std::countl_zero(wm) >> 3 : 0);
  const int length = hi != 0   ? 17
                     : wm != 0 ? 16 - (std::countr_zero(wm) >> 3)
                               : 8 - (std::countr_zero(wl) >> 3);
  *e += trailing;
  return {d + 17 - length, length - trailing};
}

// The digits' scratch: the layout copies fixed-size blocks out of it, past the 17 digits.
constexpr int kDigitRoom = 40;

}  // namespace

static_assert(kFloatReprMax >= 1 + 17 + 1 + 17, "fixed-size copies need the room");

char* float_repr(char* o, double value) {
  const auto bits = std::bit_cast<uint64_t>(value);
  if ((bits >> 63) != 0) *o++ = '-';
  const uint64_t t = bits & (kCMin - 1);
  const auto bq = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t f;
  int e;
  if (bq != 0) {
    const int q = bq - 1075;
    const uint64_t c = kCMin | t;
    if (q < 0 && q > -53 && (c & ((uint64_t{1} << -q) - 1)) == 0) {
      f = c >> -q;  // a whole number below 2^53: its own digits
      e = 0;
    } else {
      const Decimal d = to_decimal(q, c);
      f = d.f;
      e = d.e;
    }
  } else if (t != 0) {
    const Decimal d = to_decimal(kQMin, t);
    f = d.f;
    e = d.e;
  } else {
    std::memcpy(o, "0.0", 3);
    return o + 3;
  }
  char buf[kDigitRoom];
  const Digits digits = write_digits(buf, f, &e);
  const char* const d = digits.first;
  const int n = digits.n;
  const int exp10 = e + n - 1;  // of the first digit
  if (exp10 >= 0 && exp10 < 16) {
    const int whole = exp10 + 1;
    std::memcpy(o, d, 16);
    if (n <= whole) {
      // ddd000.0
      std::memset(o + n, '0', 16);
      std::memcpy(o + whole, ".0", 2);
      return o + whole + 2;
    }
    // ddd.ddd
    o[whole] = '.';
    std::memcpy(o + whole + 1, d + whole, 17);
    return o + n + 1;
  }
  if (exp10 < 0 && exp10 >= -4) {
    // 0.000ddd
    const int zeros = -exp10 - 1;
    std::memcpy(o, "0.000", 5);
    std::memcpy(o + 2 + zeros, d, 17);
    return o + 2 + zeros + n;
  }
  // d.ddde+XX
  o[0] = d[0];
  o[1] = '.';
  std::memcpy(o + 2, d + 1, 16);
  o += n > 1 ? n + 1 : 1;
  *o++ = 'e';
  *o++ = exp10 < 0 ? '-' : '+';
  const size_t x = exp10 < 0 ? static_cast<size_t>(-exp10) : static_cast<size_t>(exp10);
  if (x >= 100) {
    *o++ = static_cast<char>('0' + x / 100);
    std::memcpy(o, kDigitPairs.d + (x % 100) * 2, 2);
  } else {
    std::memcpy(o, kDigitPairs.d + x * 2, 2);
  }
  return o + 2;
}

}  // namespace ondrel
