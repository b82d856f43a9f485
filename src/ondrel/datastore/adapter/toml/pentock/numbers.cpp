// Number text: integers two digits a step, floats as repr() writes them. Both give the base
// type's text for subclasses too, whatever their __str__ says.
#include <charconv>
#include <cmath>

#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock {

namespace {

inline int decimal_digits(uint64_t v) {
  int n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

// Writes v in decimal at o; returns the end. Room for 20 digits is the caller's.
inline char* u64_to_chars(char* o, uint64_t v) {
  const int n = decimal_digits(v);
  char* p = o + n;
  while (v >= 100) {
    const auto pair = static_cast<size_t>(v % 100) * 2;
    v /= 100;
    p -= 2;
    std::memcpy(p, kDigitPairs.d + pair, 2);
  }
  if (v >= 10) {
    std::memcpy(p - 2, kDigitPairs.d + v * 2, 2);
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return o + n;
}

inline bool write_u64(Buffer* buf, unsigned long long v) {
  if (!reserve(buf, 20)) return false;
  char* first = buf->data + buf->pos;
  buf->pos = static_cast<size_t>(u64_to_chars(first, v) - buf->data);
  return true;
}

inline bool write_i64(Buffer* buf, long long v) {
  if (!reserve(buf, 20)) return false;
  char* o = buf->data + buf->pos;
  // The magnitude in unsigned arithmetic, so LLONG_MIN needs no special case.
  uint64_t mag = static_cast<uint64_t>(v);
  if (v < 0) {
    *o++ = '-';
    mag = 0 - mag;
  }
  buf->pos = static_cast<size_t>(u64_to_chars(o, mag) - buf->data);
  return true;
}

// Beyond 64 bits: int's own text, within the interpreter's digit limit (past it, ValueError).
[[gnu::noinline]] bool write_big_int(Buffer* buf, PyObject* value) {
  Ref s = Ref::steal(PyLong_Type.tp_repr(value));
  if (!s) return false;
  return buf_write_str(buf, s.get());
}

}  // namespace

bool write_int(Buffer* buf, PyObject* value) {
  auto* v = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(v)) [[likely]]
    return write_i64(buf, static_cast<long long>(PyUnstable_Long_CompactValue(v)));
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (x == -1 && PyErr_Occurred()) return false;
    return write_i64(buf, x);
  }
  if (overflow > 0) {
    unsigned long long u = 0;
    Py_ssize_t need = PyLong_AsNativeBytes(
        value, &u, sizeof u, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (need < 0) return false;
    if (static_cast<size_t>(need) <= sizeof u) return write_u64(buf, u);
  }
  return write_big_int(buf, value);
}

// The text of repr(float): shortest round-trip digits, fixed notation for decimal exponents
// -4 <= e < 16 (with ".0" for whole numbers), else d.ddde[+-]XX. std::to_chars writes the
// digits in exactly that exponent form; for the fixed range they are moved into place.
bool write_float(Buffer* buf, double value) {
  // Longest text: a sign, 17 digits, a point and "e-308", or "0.000" and 17 digits.
  if (!reserve(buf, 32)) return false;
  char* const o = buf->data + buf->pos;
  if (!std::isfinite(value)) [[unlikely]] {
    const char* text = std::isnan(value) ? "nan" : value < 0 ? "-inf" : "inf";
    const size_t n = std::strlen(text);
    std::memcpy(o, text, n);
    buf->pos += n;
    return true;
  }
  // [-]d[.ddd]e(+|-)XX[X]
  char* end = std::to_chars(o, o + 32, value, std::chars_format::scientific).ptr;
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
  buf->pos = static_cast<size_t>(end - buf->data);
  return true;
}

}  // namespace ondrel::pentock
