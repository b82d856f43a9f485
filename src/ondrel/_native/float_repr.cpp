// repr() text of finite floats: shortest round-trip digits, moved into repr's layout.
#include "ondrel/_native/float_repr.hpp"

#include <charconv>
#include <cstring>

namespace ondrel {

// Shortest round-trip digits, fixed notation for decimal exponents -4 <= e < 16 (with ".0" for
// whole numbers), else d.ddde[+-]XX. std::to_chars writes the digits in exactly that exponent
// form; for the fixed range they are moved into place.
char* float_repr(char* o, double value) {
  // Longest text: a sign, 17 digits, a point and "e-308", or "0.000" and 17 digits.
  // [-]d[.ddd]e(+|-)XX[X]
  char* end = std::to_chars(o, o + kFloatReprMax, value, std::chars_format::scientific).ptr;
  char* const e = end - 4;
  // Three exponent digits (|e| >= 100) and e <= -5 or e >= 16 stay as they are.
  if (end[-5] != 'e') {
    int exp10 = (e[2] - '0') * 10 + (e[3] - '0');
    if (e[1] == '-') exp10 = -exp10;
    if (exp10 >= -4 && exp10 < 16) {
      char* const p = o + (*o == '-');  // d0, then '.' and the other digits if any
      const int nf = p[1] == '.' ? static_cast<int>(e - p) - 2 : 0;
      const int nd = nf + 1;
      if (exp10 < 0) {
        // 0.000ddd: the digits move right past "0." and the zeros.
        const int zeros = -exp10 - 1;
        const char d0 = p[0];
        std::memmove(p + 3 + zeros, p + 2, static_cast<size_t>(nf));
        p[2 + zeros] = d0;
        p[0] = '0';
        p[1] = '.';
        std::memset(p + 2, '0', static_cast<size_t>(zeros));
        end = p + 2 + zeros + nd;
      } else {
        const int whole = exp10 + 1;  // digits before the point
        if (nd <= whole) {
          // ddd000.0
          std::memmove(p + 1, p + 2, static_cast<size_t>(nf));
          std::memset(p + nd, '0', static_cast<size_t>(whole - nd));
          p[whole] = '.';
          p[whole + 1] = '0';
          end = p + whole + 2;
        } else {
          // ddd.ddd: the point moves right past the whole digits.
          std::memmove(p + 1, p + 2, static_cast<size_t>(whole - 1));
          p[whole] = '.';
          end = p + nd + 1;
        }
      }
    }
  }
  return end;
}

}  // namespace ondrel
