// repr()'s layouts of a float's digits as byte shuffles, so that the text is built in
// registers and stored once: reading digits back from a scratch buffer at another offset
// than they were stored at stalls the load until the stores retire.
#pragma once

#if defined(__x86_64__)

#include <cstdint>

namespace ondrel::float_layout {

// One layout per exponent of the first digit from kFirstExp to kFirstExp + kLayouts - 1:
// "0.000ddd" below 0, "ddd.ddd" (or "ddd000.0") from 0. The exponent notation lays out its
// mantissa as the exponent 0 does ("d.ddd").
inline constexpr int kFirstExp = -4;
inline constexpr int kLayouts = 20;

// For 17 digits d[0, 17) with d[0] not zero: the text's bytes [0, 16) shuffled out of
// d[0, 16), bytes [16, 24) out of d[1, 17); a lane whose shuffle index has the high bit set
// is zero and takes its fill ('.' or a '0' of the prefix) instead. Lanes past the text are
// don't-cares. A layout's four rows lie together, so that one index reaches them all.
struct alignas(64) Layout {
  uint8_t head[16];
  uint8_t head_fill[16];
  uint8_t tail[16];
  uint8_t tail_fill[16];
};
struct Layouts {
  Layout row[kLayouts];

  constexpr Layouts() : row{} {
    for (int i = 0; i < kLayouts; ++i) {
      const int x = i + kFirstExp;
      // The text's prefix before the digits when x < 0: "0." and -x - 1 zeros.
      const int prefix = 1 - x;
      for (int p = 0; p < 32; ++p) {
        int j;  // the digit at byte p, or -1 where fill is
        char fill = 0;
        if (x >= 0) {
          j = p <= x ? p : p - 1;
          if (p == x + 1) j = -1, fill = '.';
        } else {
          j = p - prefix;
          if (p < prefix) j = -1, fill = p == 1 ? '.' : '0';
        }
        if (p < 16) {
          row[i].head[p] = j >= 0 ? static_cast<uint8_t>(j) : 0x80;
          row[i].head_fill[p] = static_cast<uint8_t>(fill);
        } else {
          row[i].tail[p - 16] = j >= 1 && j <= 16 ? static_cast<uint8_t>(j - 1) : 0x80;
          row[i].tail_fill[p - 16] = static_cast<uint8_t>(fill);
        }
      }
    }
  }
};
inline constexpr Layouts kLayout{};

// What scales f of a given bit width to 17 digits: f has `digits` digits below `ten`, one
// more from it on. Indexed by the bit width, so that one load follows the bit scan.
struct Scale {
  uint64_t ten;
  uint64_t by[2];  // 10^(17 - digits), 10^(16 - digits)
  int digits;
};
struct ScaleTable {
  Scale s[58];  // bit widths 1 to 57: f < 10^17
  constexpr ScaleTable() : s{} {
    for (int w = 1; w < 58; ++w) {
      uint64_t ten = 1;
      int digits = 0;
      while (ten <= (uint64_t{1} << (w - 1))) ten *= 10, ++digits;
      uint64_t by = 1;
      for (int i = digits; i < 17; ++i) by *= 10;
      s[w] = {ten, {by, by / 10}, digits};
    }
  }
};
inline constexpr ScaleTable kScale{};

}  // namespace ondrel::float_layout

#endif
