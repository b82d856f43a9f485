// Number text against the C library: float_repr against std::to_chars' shortest digits laid
// out as repr() lays them out, over millions of random bit patterns and the doubles at the edges
// of each layout; u64_to_chars at every length; decimal_to_double against strtod.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "check.hpp"
#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/float_parse.hpp"
#include "ondrel/_native/float_repr.hpp"
#include "ondrel/_native/simd.hpp"
#if defined(__x86_64__)
#include "ondrel/_native/float_digits_ifma.hpp"
#endif

namespace {

// The trusted text: std::to_chars' shortest digits, d.ddde[+-]XX, moved into repr's fixed
// layout for exponents -4 <= e < 16 (the routine the writer used before).
std::string reference_repr(double value) {
  char buf[64];
  char* o = buf;
  char* end = std::to_chars(o, o + 32, value, std::chars_format::scientific).ptr;
  char* const e = end - 4;
  if (end[-5] != 'e') {
    int exp10 = (e[2] - '0') * 10 + (e[3] - '0');
    if (e[1] == '-') exp10 = -exp10;
    if (exp10 >= -4 && exp10 < 16) {
      char* const p = o + (*o == '-');
      const int nf = p[1] == '.' ? static_cast<int>(e - p) - 2 : 0;
      const int nd = nf + 1;
      if (exp10 < 0) {
        const int zeros = -exp10 - 1;
        const char d0 = p[0];
        std::memmove(p + 3 + zeros, p + 2, static_cast<size_t>(nf));
        p[2 + zeros] = d0;
        p[0] = '0';
        p[1] = '.';
        std::memset(p + 2, '0', static_cast<size_t>(zeros));
        end = p + 2 + zeros + nd;
      } else {
        const int whole = exp10 + 1;
        if (nd <= whole) {
          std::memmove(p + 1, p + 2, static_cast<size_t>(nf));
          std::memset(p + nd, '0', static_cast<size_t>(whole - nd));
          p[whole] = '.';
          p[whole + 1] = '0';
          end = p + whole + 2;
        } else {
          std::memmove(p + 1, p + 2, static_cast<size_t>(whole - 1));
          p[whole] = '.';
          end = p + nd + 1;
        }
      }
    }
  }
  return std::string(buf, static_cast<size_t>(end - buf));
}

// float_repr's text; a guard past its room must stay untouched.
std::string ours(double v, bool* guard_ok) {
  char buf[ondrel::kFloatReprMax + 8];
  std::memset(buf, '#', sizeof buf);
  const char* end = ondrel::float_repr(buf, v);
  *guard_ok = std::memcmp(buf + ondrel::kFloatReprMax, "########", 8) == 0;
  return std::string(buf, static_cast<size_t>(end - buf));
}

int g_mismatches = 0;

void compare(double v) {
  if (!std::isfinite(v)) return;
  bool guard_ok;
  const std::string got = ours(v, &guard_ok);
  const std::string want = reference_repr(v);
  if (got == want && guard_ok) [[likely]] {
    ++native_test::g_passed;
    return;
  }
  ++native_test::g_failed;
  if (++g_mismatches <= 20)
    std::printf("FAIL %a: got %s, want %s%s\n", v, got.c_str(), want.c_str(),
                guard_ok ? "" : " (wrote past its room)");
}

double from_bits(uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

void test_edges() {
  // Exact texts of the layout switches and the extremes.
  const struct {
    double v;
    const char* text;
  } known[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {123.0, "123.0"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1e16, "1e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e22, "1e+22"},
      {1.5e300, "1.5e+300"},
      {-2.5e99, "-2.5e+99"},  // the exponent table's two- and three-digit ends, signed
      {-1e-100, "-1e-100"},
      {1.2345e-99, "1.2345e-99"},
      {5e-324, "5e-324"},
      {1e-323, "1e-323"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {-123.456, "-123.456"},
      {9007199254740993.0, "9007199254740992.0"},
  };
  for (const auto& k : known) {
    bool guard_ok;
    CHECK(ours(k.v, &guard_ok) == k.text && guard_ok);
  }
  // Powers of two and ten, their neighbours, and both sides of the layout switches.
  for (int e = -1074; e <= 1023; ++e) {
    const double p = std::ldexp(1.0, e);
    compare(p);
    compare(std::nextafter(p, 0.0));
    compare(std::nextafter(p, INFINITY));
  }
  for (int e = -325; e <= 308; ++e) {
    char text[16];
    std::snprintf(text, sizeof text, "1e%d", e);
    const double p = std::strtod(text, nullptr);
    compare(p);
    compare(std::nextafter(p, 0.0));
    compare(std::nextafter(p, INFINITY));
  }
  // Where the one-product path hands over to the exact one: an integer upper end, the
  // remainder equal to the interval's width, two candidates as near (a possible tie).
  for (const double v : {0x1.d95a2bfa741d6p+54, 0x1.0710d38670b3cp+58, 0x1.44d120dc3c4fep+55,
                         0x1.66dd0e8f8dd26p+57, 0x1.532c8269d591cp+63, 0x1.9dca845b1d9bdp+122,
                         -0x1.e95090dd3dafap-237, 0x1.a2c6cfa3e4a75p-239})
    compare(v);
  for (uint64_t b = 1; b < 1000; ++b) {  // the smallest subnormals and the top of the range
    compare(from_bits(b));
    compare(from_bits(0x7FEFFFFFFFFFFFFF - b));
  }
}

void test_random() {
  std::mt19937_64 rng(20261208);  // NOLINT(bugprone-random-generator-seed): repeatable
  // Uniform bit patterns: every exponent alike.
  for (int i = 0; i < 2'000'000; ++i) compare(from_bits(rng()));
  // The values records hold: few decimals, whole numbers, numbers near the layout switches.
  std::uniform_int_distribution<int64_t> cents(-100'000'000, 100'000'000);
  std::uniform_int_distribution<int> exp10(-8, 20);
  for (int i = 0; i < 500'000; ++i) {
    compare(static_cast<double>(cents(rng)) / 100.0);
    compare(static_cast<double>(rng() >> (rng() & 63)));
    compare(std::uniform_real_distribution<double>(0, 1)(rng) * std::pow(10.0, exp10(rng)));
  }
}

void test_integers() {
  std::mt19937_64 rng(7);  // NOLINT(bugprone-random-generator-seed): repeatable
  for (int i = 0; i < 200'000; ++i) {
    const uint64_t v = i < 64 ? (uint64_t{1} << i) - (i & 1) : rng() >> (rng() & 63);
    char want[24];
    char got[24];
    const char* want_end = std::to_chars(want, want + sizeof want, v).ptr;
    const char* got_end = ondrel::u64_to_chars(got, v);
    CHECK(std::string_view(want, static_cast<size_t>(want_end - want)) ==
          std::string_view(got, static_cast<size_t>(got_end - got)));
  }
}

// w 10^q read by decimal_to_double and by strtod (correctly rounded). It may leave only what
// overflows or lies below the powers it holds to the slow way.
void compare_decimal(uint64_t w, int q) {
  char text[48];
  std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(w), q);
  const double want = std::strtod(text, nullptr);
  double got = 0;
  if (!ondrel::float_parse::decimal_to_double(w, q, &got)) {
    CHECK(q < ondrel::float_tables::kPMin || std::isinf(want));
    return;
  }
  const bool same = std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want);
  if (!same) std::printf("%s: %a, not %a\n", text, got, want);
  CHECK(same);
}

// A double's digits as w and q: the shortest and all seventeen.
void compare_digits_of(double v) {
  for (const int precision : {-1, 16}) {
    char buf[40];
    const auto r = precision < 0
                       ? std::to_chars(buf, buf + 40, v, std::chars_format::scientific)
                       : std::to_chars(buf, buf + 40, v, std::chars_format::scientific, precision);
    *r.ptr = '\0';
    uint64_t w = 0;
    int digits = 0;
    const char* p = buf;
    for (; *p != 'e'; ++p)
      if (*p >= '0' && *p <= '9') w = w * 10 + static_cast<uint64_t>(*p - '0'), ++digits;
    int exp10 = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exp10);
    const int q = exp10 - (digits - 1);
    compare_decimal(w, q);
    compare_decimal(w + 1, q);  // just past it, and just before
    compare_decimal(w - 1, q);
  }
}

void test_decimal_to_double() {
  std::mt19937_64 rng(20261209);  // NOLINT(bugprone-random-generator-seed): repeatable
  for (int i = 0; i < 1'000'000; ++i) {
    double v;
    const uint64_t b = rng() & 0x7FFFFFFFFFFFFFFF;
    std::memcpy(&v, &b, 8);
    if (std::isfinite(v) && v != 0) compare_digits_of(v);
  }
  // Halfway between two doubles: (2m + 1) 2^(s - 1), written exactly in at most 19 digits.
  for (int i = 0; i < 200'000; ++i) {
    const uint64_t m = (rng() >> 11) | uint64_t{1} << 52;
    const int s = static_cast<int>(rng() % 15) - 4;
    uint64_t w = 2 * m + 1;
    if (s >= 0) {
      if (s > 10) continue;
      compare_decimal(w << s, 0);
    } else {
      for (int k = 0; k < -s; ++k) w *= 5;
      if (w < 10'000'000'000'000'000'000ULL) compare_decimal(w, s);
    }
  }
  // Any significand of 1 to 19 digits at any exponent, the ends of the range included.
  for (int i = 0; i < 1'000'000; ++i) {
    const uint64_t w = rng() % 10'000'000'000'000'000'000ULL >> (rng() % 64);
    compare_decimal(w, static_cast<int>(rng() % 700) - 360);
  }
}

// The IFMA digit kernel against counted digits, for every x < 10^8 in both halves.
void test_ifma_digits() {
#if defined(__x86_64__)
  if (!ondrel::simd::ifma()) {
    std::printf("IFMA digits: not run, the level in use has no IFMA\n");
    return;
  }
  char up[9] = "00000000";  // x's digits as text, the first at 0
  char down[9] = "99999999";
  int bad = 0;
  for (uint32_t x = 0; x < 100'000'000; ++x) {
    alignas(16) uint8_t got[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(got),
                    ondrel::float_digits::sixteen_digits_ifma(x, 99'999'999 - x));
    if (std::memcmp(got, up, 8) != 0 || std::memcmp(got + 8, down, 8) != 0) ++bad;
    for (int i = 7; i >= 0 && ++up[i] == '0' + 10; --i) up[i] = '0';
    for (int i = 7; i >= 0 && down[i]-- == '0'; --i) down[i] = '9';
  }
  CHECK(bad == 0);
#endif
}

}  // namespace

int main() {
  test_ifma_digits();
  test_decimal_to_double();
  test_integers();
  test_edges();
  test_random();
  return native_test::finish("test_number_text");
}
