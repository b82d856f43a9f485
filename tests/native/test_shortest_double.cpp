// Shortest digits of doubles against std::to_chars (scientific, shortest round trip).
// Optional arguments: count of random bit patterns, seed (for long one-off runs).
#include "ondrel/_native/shortest_double.hpp"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using ondrel::shortest_double;

namespace {

long long g_passed = 0;
long long g_failed = 0;

// The routine's result in to_chars' scientific layout: d[.ddd]e[+-]XX.
std::string ours(double v) {
  const ondrel::ShortestDecimal r = shortest_double(v);
  char text[24];
  const char* digits = ondrel::shortest_digits_before(text + sizeof text, r.digits);
  const int n = static_cast<int>(text + sizeof text - digits);
  std::string s;
  if (std::signbit(v)) s += '-';
  s += digits[0];
  if (n > 1) {
    s += '.';
    s.append(digits + 1, static_cast<size_t>(n - 1));
  }
  const int e = r.exponent + n - 1;
  char tail[16];
  std::snprintf(tail, sizeof tail, "e%c%02d", e < 0 ? '-' : '+', e < 0 ? -e : e);
  return s + tail;
}

std::string reference(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  return {buf, res.ptr};
}

void check(double v) {
  if (!std::isfinite(v)) return;
  const std::string a = ours(v);
  const std::string b = reference(v);
  if (a == b) {
    ++g_passed;
    return;
  }
  if (++g_failed <= 20)
    std::printf("FAIL %016llx: got %s want %s\n",
                static_cast<unsigned long long>(std::bit_cast<uint64_t>(v)), a.c_str(), b.c_str());
}

double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// v and its neighbours, `steps` ulps each way (and the negation of v).
void check_around(double v, int steps) {
  check(v);
  check(-v);
  double up = v;
  double down = v;
  for (int i = 0; i < steps; ++i) {
    up = std::nextafter(up, INFINITY);
    down = std::nextafter(down, -INFINITY);
    check(up);
    check(down);
  }
}

struct SplitMix64 {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
};

void test_specials() {
  check(0.0);
  check(-0.0);
  check_around(DBL_MAX, 4);
  check_around(DBL_MIN, 4);
  check_around(DBL_TRUE_MIN, 4);
  check_around(from_bits(0x000fffffffffffffu), 4);  // largest subnormal
  check_around(1.0, 4);
  check_around(0.1, 4);
  check_around(0.3, 4);
  check_around(5e-324, 2);
}

// Every power of two, where the gap below is half the gap above, and its neighbours.
void test_powers_of_two() {
  for (int e = -1074; e <= 1023; ++e) check_around(std::ldexp(1.0, e), 2);
}

// Each binary exponent with the extreme and a few random significands.
void test_each_exponent(SplitMix64& rng) {
  for (uint64_t biased = 0; biased < 2047; ++biased) {
    const uint64_t top = biased << 52;
    for (uint64_t f : {uint64_t{1}, uint64_t{2}, uint64_t{3}, (uint64_t{1} << 52) - 1,
                       (uint64_t{1} << 52) - 2, uint64_t{1} << 51})
      check(from_bits(top | f));
    for (int i = 0; i < 64; ++i) check(from_bits(top | (rng.next() >> 12)));
  }
}

void test_subnormals(SplitMix64& rng, int n) {
  for (uint64_t f = 1; f <= 20000; ++f) check(from_bits(f));
  for (int i = 0; i < n; ++i) check(from_bits(rng.next() >> 12));
}

// Whole numbers: small ones, random ones below 2^53, and the neighbourhood of 2^53 and 2^54.
void test_integers(SplitMix64& rng, int n) {
  for (int i = 1; i <= 100000; ++i) check(static_cast<double>(i));
  for (int i = 0; i < n; ++i) {
    check(static_cast<double>(rng.next() >> 11));
    check(static_cast<double>(rng.next() >> (11 + rng.next() % 50)));
  }
  for (double base : {9007199254740992.0, 18014398509481984.0, 1e15, 1e16, 1e17})
    for (int d = -2000; d <= 2000; ++d) check(base + d);
}

// Powers of ten and their neighbours, and short decimals d * 10^e (the rounding-boundary cases:
// the double nearest a short decimal, and the ones beside it, where a digit more is needed).
void test_decimals(SplitMix64& rng) {
  char text[48];
  for (int e = -325; e <= 308; ++e) {
    std::snprintf(text, sizeof text, "1e%d", e);
    check_around(std::strtod(text, nullptr), 3);
  }
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + static_cast<int>(rng.next() % 17);
    uint64_t d = rng.next() % 100000000000000000u;
    for (int j = digits; j < 17; ++j) d /= 10;
    const int e = static_cast<int>(rng.next() % 640) - 340;
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(d), e);
    check_around(std::strtod(text, nullptr), 1);
  }
  // Halfway between two neighbours, rounded to 17 digits either way.
  for (int i = 0; i < 100000; ++i) {
    const double a = from_bits(rng.next() >> 1);
    if (!std::isfinite(a)) continue;
    const double b = std::nextafter(a, INFINITY);
    std::snprintf(text, sizeof text, "%.16e", a / 2 + b / 2);
    check_around(std::strtod(text, nullptr), 1);
  }
}

void test_random(SplitMix64& rng, long long n) {
  for (long long i = 0; i < n; ++i) check(from_bits(rng.next()));
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  long long random_count = 200000;
#else
  long long random_count = 2000000;
#endif
  uint64_t seed = 0x5eed2024u;
  if (argc > 1) random_count = std::strtoll(argv[1], nullptr, 10);
  if (argc > 2) seed = std::strtoull(argv[2], nullptr, 0);
  SplitMix64 rng{seed};

  test_specials();
  test_powers_of_two();
  test_each_exponent(rng);
  test_subnormals(rng, 100000);
  test_integers(rng, 100000);
  test_decimals(rng);
  test_random(rng, random_count);

  std::printf("test_shortest_double: %lld passed, %lld failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
