// repr() text of finite floats: the shortest round-trip digits, laid out as repr() lays them
// out. Nearly every double takes one 128-bit product (after Dragonbox, below); its ends, ties
// and the asymmetric intervals go to Schubfach (Raffaello Giulietti, "The Schubfach way to
// render doubles", 2020), which decides every case with three round-to-odd products. About
// 195 instructions a value with the digits and layout, against about 265 for Schubfach alone
// (bench: make bench-kinds, floats).
#include "ondrel/_native/float_repr.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/float_digits_sse2.hpp"
#include "ondrel/_native/float_layout_ssse3.hpp"
#include "ondrel/_native/float_repr_tables.hpp"
#include "ondrel/_native/simd.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace ondrel {

namespace {

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
[[gnu::noinline]] Decimal to_decimal(int q, uint64_t c) {
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
inline Decimal to_decimal_fast(int q, uint64_t c) {
  const QStep step = kQ.s[q - kQStepMin];
  const int k = step.k;
  const int beta = step.beta;  // in [6, 9]: u stays below 2^63
  const auto& p = kP.p[-k - kPMin];
  const uint64_t u = ((c << 1) | 1) << beta;
  const u128 upper = u128{u} * p.hi + ((u128{u} * p.lo) >> 64);
  const auto z = static_cast<uint64_t>(upper >> 64);
  const uint64_t delta = p.hi >> (63 - beta);
  const uint64_t s = z / 1000;
  const uint64_t r = z - s * 1000;
  if (r < delta) {
    // At r == 0 with an integer z the interval's upper end is the candidate.
    if (r != 0 || static_cast<uint64_t>(upper) != 0) return {s, k + 3};
  } else if (r > delta) {
    // dist / 100 rounds (z - delta/2) / 100 exactly unless dist is a multiple of 100.
    const uint64_t dist = r - delta / 2 + 50;
    const uint64_t m = dist / 100;
    if (dist != m * 100) return {s * 10 + m, k + 2};
  }
  return {0, 0};
}

struct Digits {
  const char* first;  // the first digit
  int n;              // digits up to the last that is not zero
};

#if defined(__SSE2__)
using float_digits::sixteen_digits;
using float_digits::sixteen_digits_sse2;
using float_digits::zero_digits;
#endif

// The digits of 0 < f < 10^17, written as 17 digits at d[0, 17) (leading zeros included); the
// zeros at the end are left out of the count and added to *e. kVector: with SSE2.
template <bool kVector>
inline Digits write_digits(char* d, uint64_t f, int* e) {
  // One 64-bit division; the rest are 32-bit.
  const uint64_t top9 = f / 100000000;
  const auto hi = static_cast<uint32_t>(top9) / 100000000;
  const uint32_t mid = static_cast<uint32_t>(top9) - hi * 100000000;
  const auto lo = static_cast<uint32_t>(f - top9 * 100000000);
  d[0] = static_cast<char>('0' + hi);
  int trailing;
  int length;
#if defined(__SSE2__)
  if constexpr (kVector) {
    const unsigned zeros = sixteen_digits_sse2(d + 1, mid, lo);
    trailing = std::countl_one(static_cast<uint16_t>(zeros));
    length = hi != 0 ? 17 : 16 - std::countr_one(zeros);
    *e += trailing;
    return {d + 17 - length, length - trailing};
  }
#endif
  const uint64_t wm = eight_digits(mid);
  const uint64_t wl = eight_digits(lo);
  const uint64_t am = wm + kAsciiZeros;
  const uint64_t al = wl + kAsciiZeros;
  std::memcpy(d + 1, &am, 8);
  std::memcpy(d + 9, &al, 8);
  // Zero digits are zero bytes: the last digit is the highest byte, the first the lowest.
  trailing = (std::countl_zero(wl) >> 3) + (wl == 0 ? std::countl_zero(wm) >> 3 : 0);
  length = hi != 0   ? 17
           : wm != 0 ? 16 - (std::countr_zero(wm) >> 3)
                     : 8 - (std::countr_zero(wl) >> 3);
  *e += trailing;
  return {d + 17 - length, length - trailing};
}

// Writes "e+XX" (or "e-XXX") for exp10 at o in one 8-byte store and returns the end.
inline char* exponent_text(char* o, int exp10) {
  // A double's first digit lies within the table's exponents, 5e-324 to 1.8e+308.
  const uint64_t word =
      float_tables::kExponents.word[exp10 - float_tables::kExp10Min];  // NOLINT(*ArrayBound)
  std::memcpy(o, &word, 8);
  return o + (word >> 56);
}

// The digits' scratch: the layout copies fixed-size blocks out of it, past the 17 digits.
constexpr int kDigitRoom = 40;

// repr()'s text of f 10^e (0 < f < 10^17) at o.
template <bool kVector>
inline char* lay_out(char* o, uint64_t f, int e) {
  char buf[kDigitRoom];
  const Digits digits = write_digits<kVector>(buf, f, &e);
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
  return exponent_text(o, exp10);
}

#if defined(__x86_64__)
// f scaled to 17 digits, and its count of digits. The one-product path gives 15 to 17 digits,
// which two compares tell apart: the bit scan and its table load had stood in every value's
// chain of dependent steps.
struct Scaled {
  uint64_t f17;
  int count;
};
inline Scaled to_17_digits(uint64_t f) {
  constexpr uint64_t k14 = 100000000000000, k15 = 10 * k14, k16 = 10 * k15, k17 = 10 * k16;
  if (f - k14 < k17 - k14) [[likely]] {
    const int more = static_cast<int>(f >= k15) + static_cast<int>(f >= k16);
    static constexpr uint64_t kBy[3] = {100, 10, 1};
    return {f * kBy[more], 15 + more};
  }
  const float_layout::Scale& scale = float_layout::kScale.s[std::bit_width(f)];
  const unsigned more = f >= scale.ten ? 1 : 0;
  return {f * scale.by[more], scale.digits + static_cast<int>(more)};
}

// lay_out with the text built in registers (float_layout_ssse3.hpp) and stored once. The
// digits are scaled to 17 first, so that the first is never zero and one shuffle per layout
// does.
[[gnu::target("ssse3")]] char* lay_out_ssse3(char* o, uint64_t f, int e) {
  using float_layout::kLayout;
  const auto [f17, count] = to_17_digits(f);
  // Both quotients straight from f17, so that the divisions run side by side.
  const uint64_t first = f17 / 10000000000000000;
  const uint64_t top9 = f17 / 100000000;
  const auto mid = static_cast<uint32_t>(top9 - first * 100000000);
  const auto lo = static_cast<uint32_t>(f17 - top9 * 100000000);
  const __m128i v = sixteen_digits(mid, lo);
  // Digits up to the last that is not zero; the first never is.
  const int n = 17 - std::countl_one(static_cast<uint16_t>(zero_digits(v)));
  const __m128i tail = _mm_add_epi8(v, _mm_set1_epi8('0'));
  const __m128i head =
      _mm_or_si128(_mm_slli_si128(tail, 1), _mm_cvtsi32_si128(static_cast<int>('0' + first)));
  const int exp10 = e + count - 1;
  const bool plain = static_cast<unsigned>(exp10 - float_layout::kFirstExp) <
                     static_cast<unsigned>(float_layout::kLayouts);
  const int i = (plain ? exp10 : 0) - float_layout::kFirstExp;
  const auto row = [i](const uint8_t (&table)[float_layout::kLayouts][16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table[i]));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                   _mm_or_si128(_mm_shuffle_epi8(head, row(kLayout.head)), row(kLayout.head_fill)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16),
                   _mm_or_si128(_mm_shuffle_epi8(tail, row(kLayout.tail)), row(kLayout.tail_fill)));
  if (plain) {
    // ddd.ddd, ddd000.0 (at least whole digits, a '.' and a digit), 0.000ddd
    if (exp10 >= 0) return o + std::max(n + 1, exp10 + 3);
    return o + n + 1 - exp10;
  }
  return exponent_text(o + (n > 1 ? n + 1 : 1), exp10);
}
#endif

}  // namespace

static_assert(kFloatReprMax >= 1 + 17 + 1 + 17, "fixed-size copies need the room");

namespace {

// The sign at o (o is moved past it), then the shortest f 10^e of |value|; f is 0 for a zero.
inline Decimal shortest(char*& o, double value) {
  const auto bits = std::bit_cast<uint64_t>(value);
  // Without a branch: signs mix at random in many columns.
  *o = '-';
  o += bits >> 63;
  const uint64_t t = bits & (kCMin - 1);
  const auto bq = static_cast<int>((bits >> 52) & 0x7FF);
  if (bq != 0) {
    const int q = bq - 1075;
    const uint64_t c = kCMin | t;
    // For -53 < q < 0, the bits below the point are those c << (64 + q) keeps.
    // Both tests without a short cut, so that the predictable one can decide: the range
    // alone is a coin toss on mixed magnitudes.
    if ((static_cast<unsigned>(q + 52) < 52) & ((c << ((64 + q) & 63)) == 0))
      return {c >> -q, 0};  // a whole number below 2^53: its own digits
    Decimal d{0, 0};
    if (t != 0) d = to_decimal_fast(q, c);
    if (d.f == 0) [[unlikely]]
      d = to_decimal(q, c);
    return d;
  }
  if (t != 0) return to_decimal(kQMin, t);
  return {0, 0};
}

inline char* zero_text(char* o) {
  std::memcpy(o, "0.0", 3);
  return o + 3;
}

#if defined(__x86_64__)
// The whole conversion for the AVX2 level and above, in a frame of its own.
[[gnu::target("ssse3")]] char* float_repr_ssse3(char* o, double value) {
  const Decimal d = shortest(o, value);
  if (d.f == 0) return zero_text(o);
  return lay_out_ssse3(o, d.f, d.e);
}
#endif

// The vector levels, out of float_repr so that no level's path passes another's frame: a
// layout's scratch had cost six saved registers a value.
[[gnu::noinline]] char* float_repr_vector(char* o, double value) {
#if defined(__x86_64__)
  if (simd::level() >= simd::Level::kAvx2) return float_repr_ssse3(o, value);
#endif
  const Decimal d = shortest(o, value);
  return d.f == 0 ? zero_text(o) : lay_out<true>(o, d.f, d.e);
}

}  // namespace

char* float_repr(char* o, double value) {
  // One test of the level on the portable path, as before there was a vector one.
  if (simd::level() >= simd::Level::kSse2) return float_repr_vector(o, value);
  const Decimal d = shortest(o, value);
  return d.f == 0 ? zero_text(o) : lay_out<false>(o, d.f, d.e);
}

}  // namespace ondrel
