// "00" .. "99" in one table, so decimal writers emit two digits per division.
#pragma once

#include <cstddef>

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

}  // namespace ondrel
