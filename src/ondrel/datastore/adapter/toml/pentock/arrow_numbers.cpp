// Records from Arrow: numbers that are not written as they stand (float16, decimals).
#include <cmath>
#include <cstdio>

#include "ondrel/datastore/adapter/toml/pentock/arrow_values.hpp"

namespace ondrel::pentock::arrowout {

// float16 to double, exactly.
double half_to_double(uint16_t h) {
  const int exp = (h >> 10) & 0x1F;
  const int mant = h & 0x3FF;
  double v;
  if (exp == 0) {
    v = std::ldexp(mant, -24);
  } else if (exp == 31) {
    v = mant != 0 ? NAN : INFINITY;
  } else {
    v = std::ldexp(mant + 1024, exp - 25);
  }
  return (h & 0x8000) != 0 ? -v : v;
}

// str() of a Decimal with this coefficient (little-endian two's complement of `bits`) and
// exponent -scale, quoted.
bool decimal_text(Buffer* buf, const ArrowArray* a, int64_t k, int bits, int32_t scale) {
  uint64_t limb[4] = {0, 0, 0, 0};
  const int n = bits / 64 > 0 ? bits / 64 : 1;
  const char* src = static_cast<const char*>(a->buffers[1]) + k * (bits / 8);
  bool negative;
  if (bits == 32) {
    int32_t v;
    std::memcpy(&v, src, 4);
    negative = v < 0;
    limb[0] = static_cast<uint64_t>(static_cast<int64_t>(v));
    limb[1] = limb[2] = limb[3] = negative ? ~uint64_t{0} : 0;
  } else {
    std::memcpy(limb, src, static_cast<size_t>(bits / 8));
    negative = (limb[n - 1] >> 63) != 0;
    for (int i = n; i < 4; ++i) limb[i] = negative ? ~uint64_t{0} : 0;
  }
  if (negative) {  // the magnitude: two's complement negation over all four limbs
    unsigned carry = 1;
    for (uint64_t& l : limb) {
      l = ~l + carry;
      carry = carry != 0 && l == 0;
    }
  }
  // Decimal digits, least significant first, nineteen at a time.
  char digits[80];
  int nd = 0;
  for (;;) {
    unsigned __int128 rem = 0;
    bool zero = true;
    for (int i = 3; i >= 0; --i) {
      const unsigned __int128 cur = (rem << 64) | limb[i];
      limb[i] = static_cast<uint64_t>(cur / 10000000000000000000ULL);
      rem = cur % 10000000000000000000ULL;
      zero = zero && limb[i] == 0;
    }
    auto r = static_cast<uint64_t>(rem);
    for (int i = 0; i < 19; ++i) {
      digits[nd++] = static_cast<char>('0' + r % 10);
      r /= 10;
      if (zero && r == 0) break;
    }
    if (zero) break;
  }
  while (nd > 1 && digits[nd - 1] == '0') --nd;  // leading zeros of the top group
  // Decimal.__str__: plain notation when the exponent is <= 0 and the adjusted exponent is
  // at least -6, else scientific.
  const int64_t exp = -int64_t{scale};
  const int64_t left = exp + nd;
  const int64_t dot = (exp <= 0 && left > -6) ? left : 1;
  if (!reserve(buf, static_cast<size_t>(nd) + 64 + (dot <= 0 ? static_cast<size_t>(-dot) : 0) +
                        (dot > nd ? static_cast<size_t>(dot - nd) : 0)))
    return false;
  char* o = buf->data + buf->pos;
  *o++ = '"';
  if (negative) *o++ = '-';
  auto digit = [&](int64_t i) { return digits[nd - 1 - i]; };  // most significant first
  if (dot <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int64_t i = 0; i < -dot; ++i) *o++ = '0';
    for (int64_t i = 0; i < nd; ++i) *o++ = digit(i);
  } else if (dot >= nd) {
    for (int64_t i = 0; i < nd; ++i) *o++ = digit(i);
    for (int64_t i = nd; i < dot; ++i) *o++ = '0';
  } else {
    for (int64_t i = 0; i < dot; ++i) *o++ = digit(i);
    *o++ = '.';
    for (int64_t i = dot; i < nd; ++i) *o++ = digit(i);
  }
  if (left != dot) {
    const int n2 = std::snprintf(o, 24, "E%+lld", static_cast<long long>(left - dot));
    o += n2;
  }
  *o++ = '"';
  buf->pos = static_cast<size_t>(o - buf->data);
  return true;
}

}  // namespace ondrel::pentock::arrowout
