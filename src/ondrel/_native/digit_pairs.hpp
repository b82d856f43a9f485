// Decimal digits without a division per digit: "00" .. "99" in one table, and eight digits
// of a number below 10^8 in one 64-bit word.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ondrel {

struct DigitPairTable {
  char d[200];
  constexpr DigitPairTable() : d{} {
    for (size_t i = 0; i < 100; ++i) {
      d[2 * i] = static_cast<char>('0' + i / 10);
      d[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
inline constexpr DigitPairTable kDigitPairs{};

static_assert(std::endian::native == std::endian::little, "digit words are stored as bytes");

// The 8 decimal digits of x < 10^8 as byte values (not yet ASCII), the first digit in the
// lowest byte: x splits into two 4-digit lanes, each into two 2-digit lanes, each into two
// digits, every lane divided at once by multiplying with a reciprocal.
inline uint64_t eight_digits(uint32_t x) {
  const uint64_t merged = (x / 10000) | (uint64_t{x % 10000} << 32);
  const uint64_t top = ((merged * 10486) >> 20) & ((uint64_t{0x7F} << 32) | 0x7F);  // / 100
  const uint64_t hundreds = ((merged - 100 * top) << 16) + top;
  uint64_t tens = ((hundreds * 103) >> 10) & 0x000F000F000F000FULL;  // / 10
  tens += (hundreds - 10 * tens) << 8;
  return tens;
}

inline constexpr uint64_t kAsciiZeros = 0x3030303030303030ULL;

// Writes x < 10^8 without leading zeros at o and returns the end; stores 8 bytes at o.
inline char* small_to_chars(char* o, uint32_t x) {
  const uint64_t w = eight_digits(x);
  // Leading zero digits are the lowest zero bytes; 0 itself keeps one digit.
  const int lead = x == 0 ? 7 : std::countr_zero(w) >> 3;
  const uint64_t a = (w >> (8 * lead)) + kAsciiZeros;
  std::memcpy(o, &a, 8);
  return o + 8 - lead;
}

// Writes v in decimal at o and returns the end; stores up to 20 bytes from o, never more
// than max(end - o, 8).
inline char* u64_to_chars(char* o, uint64_t v) {
  if (v < 100) {
    // Counters, flags and small codes: the commonest integers, in one or two bytes.
    if (v < 10) {
      *o = static_cast<char>('0' + v);
      return o + 1;
    }
    std::memcpy(o, kDigitPairs.d + v * 2, 2);
    return o + 2;
  }
  if (v < 100000000) return small_to_chars(o, static_cast<uint32_t>(v));
  uint64_t w;
  if (v < 10000000000000000ULL) {
    o = small_to_chars(o, static_cast<uint32_t>(v / 100000000));
  } else {
    o = small_to_chars(o, static_cast<uint32_t>(v / 10000000000000000ULL));
    w = eight_digits(static_cast<uint32_t>(v / 100000000 % 100000000)) + kAsciiZeros;
    std::memcpy(o, &w, 8);
    o += 8;
  }
  w = eight_digits(static_cast<uint32_t>(v % 100000000)) + kAsciiZeros;
  std::memcpy(o, &w, 8);
  return o + 8;
}

}  // namespace ondrel
