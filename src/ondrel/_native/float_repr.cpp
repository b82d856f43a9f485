// repr() text of finite floats: the shortest round-trip digits (float_decimal.hpp), laid out as
// repr() lays them out. About 200 instructions a value with the digits and layout at the AVX2
// level, against about 265 for Schubfach alone (bench: make bench-kinds, floats).
#include "ondrel/_native/float_repr.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/float_decimal.hpp"
#include "ondrel/_native/float_digits_ifma.hpp"
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

using float_decimal::Decimal;
using float_decimal::kCMin;
using float_decimal::kQMin;
using float_decimal::one_product;
using float_decimal::to_decimal;
using float_decimal::to_decimal_fast;

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
// x >= bound ? a : b by a conditional move: g++ makes such selects into branches, which data
// that mixes both outcomes mispredicts.
inline uint64_t pick_at_least(uint64_t x, uint64_t bound, uint64_t a, uint64_t b) {
  __asm__("cmp %[bound], %[x]\n\tcmovae %[a], %[b]"
          : [b] "+r"(b)
          : [x] "r"(x), [bound] "r"(bound), [a] "r"(a)
          : "cc");
  return b;
}
inline uint64_t pick(bool c, uint64_t a, uint64_t b) { return pick_at_least(c, 1, a, b); }

constexpr uint64_t k14 = 100000000000000, k15 = 10 * k14, k16 = 10 * k15, k17 = 10 * k16;

// The shortest decimal as 17 digits, the first not zero, and the exponent of the first: the
// vector layouts' input. f is 0 for a zero.
struct Decimal17 {
  uint64_t f;
  int exp10;
  uint32_t last;  // added to f's last 8 digits: f's last digit, or last two, are zeros then

  // f 10^e scaled. The one-product path gives 15 to 17 digits, which two compares tell apart:
  // the bit scan and its table load had stood in every value's chain of dependent steps.
  static Decimal17 of(Decimal d) {
    const uint64_t f = d.f;
    if (f - k14 < k17 - k14) [[likely]] {
      const uint64_t by = pick_at_least(f, k16, 1, pick_at_least(f, k15, 10, 100));
      return {f * by, d.e + 14 + static_cast<int>(f >= k15) + static_cast<int>(f >= k16), 0};
    }
    const float_layout::Scale& scale = float_layout::kScale.s[std::bit_width(f)];
    const unsigned more = f >= scale.ten ? 1 : 0;
    return {f * scale.by[more], d.e + scale.digits + static_cast<int>(more) - 1, 0};
  }

  // to_decimal_fast's result in 17 digits, without a branch between its two candidates (a coin
  // toss on most data). s = z / 1000 has 15 or 16 digits; the longer candidate s 10 + m only
  // adds the digit m after s's. So s is scaled to 17 digits at once, and m is added in its
  // place once the digits are split, which keeps it out of their chain of dependent steps.
  static Decimal17 fast(int q, uint64_t c) {
    const auto [z, below, delta, k] = one_product(q, c);
    const uint64_t s = z / 1000;
    const uint64_t r = z - s * 1000;
    const bool shorter = r < delta;
    // Below 1000 where the longer one wins (r > delta), so in 32 bits.
    const auto dist = static_cast<uint32_t>(r - delta / 2 + 50);
    const uint32_t m = dist / 100;
    const uint64_t s17 = s * pick_at_least(s, k15, 10, 100);
    const uint64_t last = pick(shorter, 0, m * pick_at_least(s, k15, 1, 10));
    // An end or a tie, as to_decimal_fast tells them: r == 0 with an integer z for the shorter
    // one (r > 0 for the longer one), r == delta, and for the longer one a multiple of 100.
    const bool exact = ((r | below) == 0) | (r == delta) | (!shorter & (dist == m * 100));
    if (exact) [[unlikely]]
      return {0, 0, 0};
    return {s17, k + 17 + static_cast<int>(s >= k15), static_cast<uint32_t>(last)};
  }
};

// 17 digits split for the digit kernels: the first, then two times 8.
struct Split {
  uint64_t first;
  uint32_t mid, lo;
};
inline Split split(Decimal17 d) {
  // Both quotients straight from f, so that the divisions run side by side.
  const uint64_t first = d.f / 10000000000000000;
  const uint64_t top9 = d.f / 100000000;
  return {first, static_cast<uint32_t>(top9 - first * 100000000),
          static_cast<uint32_t>(d.f - top9 * 100000000) + d.last};
}

// repr()'s text at o of the digits first and tail (the 16 after it, as text), whose first has
// the exponent exp10 and whose last that is not zero is digit n - 1: built in registers
// (float_layout_ssse3.hpp) and stored once.
[[gnu::target("ssse3"), gnu::always_inline]] inline char* shuffle_out(char* o, __m128i tail,
                                                                      uint64_t first, int n,
                                                                      int exp10) {
  const __m128i head =
      _mm_or_si128(_mm_slli_si128(tail, 1), _mm_cvtsi32_si128(static_cast<int>('0' + first)));
  const bool plain = static_cast<unsigned>(exp10 - float_layout::kFirstExp) <
                     static_cast<unsigned>(float_layout::kLayouts);
  const float_layout::Layout& row =
      float_layout::kLayout.row[(plain ? exp10 : 0) - float_layout::kFirstExp];
  const auto load = [](const uint8_t (&r)[16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(r));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                   _mm_or_si128(_mm_shuffle_epi8(head, load(row.head)), load(row.head_fill)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16),
                   _mm_or_si128(_mm_shuffle_epi8(tail, load(row.tail)), load(row.tail_fill)));
  if (plain) {
    // ddd.ddd, ddd000.0 (at least whole digits, a '.' and a digit), 0.000ddd
    if (exp10 >= 0) return o + std::max(n + 1, exp10 + 3);
    return o + n + 1 - exp10;
  }
  return exponent_text(o + (n > 1 ? n + 1 : 1), exp10);
}

[[gnu::target("ssse3"), gnu::always_inline]] inline char* lay_out_ssse3(char* o, Decimal17 d) {
  const Split s = split(d);
  const __m128i v = sixteen_digits(s.mid, s.lo);
  // Digits up to the last that is not zero; the first never is.
  const int n = 17 - std::countl_one(static_cast<uint16_t>(zero_digits(v)));
  return shuffle_out(o, _mm_add_epi8(v, _mm_set1_epi8('0')), s.first, n, d.exp10);
}

// The same with the digits from IFMA, which shortens each value's chain of dependent steps.
[[gnu::target("avx512f,avx512bw,avx512vl,avx512ifma,avx512vbmi,ssse3,lzcnt,bmi2"),
  gnu::always_inline]] inline char*
lay_out_ifma(char* o, Decimal17 d) {
  const Split s = split(d);
  const __m128i tail = float_digits::sixteen_digits_ifma(s.mid, s.lo);
  // Bit i set where digit i of the sixteen is not '0': the text's digits run to the highest
  // such bit's digit, or are the first alone when none is set (countl_zero gives 32).
  const unsigned nonzero = _mm_cmpneq_epi8_mask(tail, _mm_set1_epi8('0'));
  return shuffle_out(o, tail, s.first, 33 - std::countl_zero(nonzero), d.exp10);
}
#endif

}  // namespace

static_assert(kFloatReprMax >= 1 + 17 + 1 + 17, "fixed-size copies need the room");

namespace {

// f 10^e as it stands, for the layouts that take it.
struct DecimalOut {
  static Decimal of(Decimal d) { return d; }
  static Decimal fast(int q, uint64_t c) { return to_decimal_fast(q, c); }
};

// The sign at o (o is moved past it), then the shortest decimal of |value| in Out's form
// (DecimalOut: f 10^e; Decimal17); f is 0 for a zero. kCommon: f is 0 too where the slow
// decimal would be needed (subnormals, powers of two, ends and ties).
template <class Out, bool kCommon = false>
inline auto shortest(char*& o, double value) -> decltype(Out::of(Decimal{})) {
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
      return Out::of({c >> -q, 0});  // a whole number below 2^53: its own digits
    if (t != 0) {
      const auto d = Out::fast(q, c);
      if (kCommon || d.f != 0) [[likely]]
        return d;
    }
    if constexpr (kCommon) return {};
    return Out::of(to_decimal(q, c));
  }
  if (!kCommon && t != 0) return Out::of(to_decimal(kQMin, t));
  return {};
}

inline char* zero_text(char* o) {
  std::memcpy(o, "0.0", 3);
  return o + 3;
}

#if defined(__x86_64__)
// The whole conversion for the AVX2 level and above. The common cases take a frame without a
// call; the rest (ends, ties, subnormals, zero) start again in a frame of their own.
[[gnu::target("ssse3"), gnu::noinline]] char* float_repr_ssse3_rest(char* o, double value) {
  const Decimal17 d = shortest<Decimal17>(o, value);
  if (d.f == 0) return zero_text(o);
  return lay_out_ssse3(o, d);
}

[[gnu::target("ssse3")]] char* float_repr_ssse3(char* o, double value) {
  char* at = o;
  const Decimal17 d = shortest<Decimal17, true>(at, value);
  if (d.f == 0) [[unlikely]]
    return float_repr_ssse3_rest(o, value);
  return lay_out_ssse3(at, d);
}

[[gnu::target("avx512f,avx512bw,avx512vl,avx512ifma,avx512vbmi,ssse3,lzcnt,bmi2"),
  gnu::noinline]] char*
float_repr_ifma_rest(char* o, double value) {
  const Decimal17 d = shortest<Decimal17>(o, value);
  if (d.f == 0) return zero_text(o);
  return lay_out_ifma(o, d);
}

[[gnu::target("avx512f,avx512bw,avx512vl,avx512ifma,avx512vbmi,ssse3,lzcnt,bmi2")]] char*
float_repr_ifma(char* o, double value) {
  char* at = o;
  const Decimal17 d = shortest<Decimal17, true>(at, value);
  if (d.f == 0) [[unlikely]]
    return float_repr_ifma_rest(o, value);
  return lay_out_ifma(at, d);
}
#endif

// The portable and SSE2 levels.
template <bool kVector>
char* float_repr_plain(char* o, double value) {
  const Decimal d = shortest<DecimalOut>(o, value);
  return d.f == 0 ? zero_text(o) : lay_out<kVector>(o, d.f, d.e);
}

FloatRepr choose() noexcept {
#if defined(__x86_64__)
  if (simd::ifma()) return float_repr_ifma;
  if (simd::level() >= simd::Level::kAvx2) return float_repr_ssse3;
#endif
  return simd::level() >= simd::Level::kSse2 ? float_repr_plain<true> : float_repr_plain<false>;
}

}  // namespace

// After simd's choice, which this file's earlier inline variables make first.
const FloatRepr kFloatRepr = choose();

}  // namespace ondrel
