// Integers, floats, and the hand-off to dates and times. Part of parser.cpp.
//
// Each reader takes the longest text its form allows and leaves what follows to the caller,
// which refuses anything but a separator: "01" reads 0 and then fails on "1".

namespace ondrel::decoder {

// Zeros after the point that can still meet an exponent within the cap below.
inline constexpr std::ptrdiff_t kMaxPointZeros = 100000;

// The powers of ten a double holds exactly.
inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

template <class F>
template <class S>
typename S::Out Parser<F>::integer(int64_t v) {
  if constexpr (std::is_same_v<S, Objects>) {
    return PyLong_FromLongLong(v);
  } else {
    Node* n = nodes_.make(NodeKind::kInt);
    if (n != nullptr) n->i = v;
    return n;
  }
}

// Digits a block at a time while they fit in mag (wider units narrowed to bytes first), leaving
// the rest and any '_' to the caller's loop; the number of digits taken. A run shorter than
// four goes faster a digit at a time.
template <class F>
inline int Parser<F>::digit_blocks(const U*& q, uint64_t& mag, int& digits) const {
  int taken = 0;
  unsigned char narrow[8];
  while (digits <= 11 && end_ - q >= 8 && is_digit(q[3])) {
    const unsigned char* bytes;
    if constexpr (sizeof(U) == 1) {
      bytes = reinterpret_cast<const unsigned char*>(q);
    } else {
      if (!narrow8(q, narrow)) break;
      bytes = narrow;
    }
    int n;
    const uint64_t v = float_parse::digit_block(bytes, &n);
    mag = mag * float_parse::kPow10[n] + v;
    digits += n;
    taken += n;
    q += n;
    if (n < 8) break;
  }
  return taken;
}

template <class F>
template <class S>
typename S::Out Parser<F>::number() {
  const U* s = p_;
  const U* q = p_;
  const bool sign = *q == '+' || *q == '-';
  if (sign) ++q;
  const U c = at(q);
  if (c == 'i' || c == 'n') {
    const bool inf = c == 'i' && at(q + 1) == 'n' && at(q + 2) == 'f';
    const bool nan = c == 'n' && at(q + 1) == 'a' && at(q + 2) == 'n';
    if (!inf && !nan) return fail(s, "Invalid value starting with %R", describe(s).get());
    p_ = q + 3;
    return float_value<S>(s, p_);
  }
  if (!is_digit(c)) return fail(s, "Invalid value starting with %R", describe(s).get());
  bool run4 = false;  // four digits at least (known unsigned only): a block pays
  if (!sign) {
    if (c == '0' && (at(q + 1) == 'x' || at(q + 1) == 'o' || at(q + 1) == 'b'))
      return prefixed_integer<S>();
    if (is_digit(at(q + 1))) {
      const U c2 = at(q + 2);
      if (c2 == ':') return datetime_value<S>();
      if (is_digit(c2) && is_digit(at(q + 3))) {
        if (at(q + 4) == '-') return datetime_value<S>();
        run4 = true;
      }
    }
  } else {
    run4 = is_digit(at(q + 3));
  }
  // Decimal: 0 or a digit run without leading zero, '_' only between digits.
  uint64_t mag = 0;
  int digits = 0;     // in mag: 19 cannot overflow 64 bits, so they take no overflow checks
  bool wide = false;  // past 64 bits: the text is converted instead
  bool exact = true;  // a float's digits all in mag, none written with '_'
  if (c == '0') {
    ++q;
  } else {
    if (run4) digit_blocks(q, mag, digits);
    for (;;) {
      const U d = at(q);
      if (is_digit(d)) {
        if (digits < 19) [[likely]] {
          mag = mag * 10 + static_cast<uint64_t>(d - '0');
          ++digits;
        } else {
          exact = false;
          wide |= __builtin_mul_overflow(mag, 10u, &mag) |
                  __builtin_add_overflow(mag, static_cast<uint64_t>(d - '0'), &mag);
        }
        ++q;
      } else if (d == '_' && is_digit(at(q + 1))) {
        exact = false;
        ++q;
      } else {
        break;
      }
    }
  }
  bool is_float = false;
  int scale = 0;  // the float is mag * 10^scale while exact
  if (at(q) == '.') {
    if (!is_digit(at(q + 1))) return fail(q, "Expected a digit after the decimal point");
    ++q;
    // Zeros before the first significant digit only move the point: 0.000123 keeps 19 digits.
    // Past any exponent the text can hold, they leave the value to the text.
    if (mag == 0) {
      const U* z = q;
      while (at(q) == '0') ++q;
      if (q - z <= kMaxPointZeros)
        scale -= static_cast<int>(q - z);
      else
        exact = false;
    }
    scale -= digit_blocks(q, mag, digits);
    for (;;) {
      const U d = at(q);
      if (is_digit(d)) {
        if (digits < 19) {
          mag = mag * 10 + static_cast<uint64_t>(d - '0');
          ++digits;
          --scale;
        } else {
          exact = false;
        }
        ++q;
      } else if (d == '_' && is_digit(at(q + 1))) {
        exact = false;
        ++q;
      } else {
        break;
      }
    }
    is_float = true;
  }
  if (at(q) == 'e' || at(q) == 'E') {
    const U* e = q + 1;
    const bool down = at(e) == '-';
    if (at(e) == '+' || at(e) == '-') ++e;
    if (!is_digit(at(e))) return fail(q, "Expected a digit in the exponent");
    int power = 0;
    for (;;) {
      const U d = at(e);
      if (is_digit(d)) {
        // Capped, so no longer the exponent written: the text decides.
        if (power < 10000)
          power = power * 10 + static_cast<int>(d - '0');
        else
          exact = false;
        ++e;
      } else if (d == '_' && is_digit(at(e + 1))) {
        exact = false;
        ++e;
      } else {
        break;
      }
    }
    scale += down ? -power : power;
    q = e;
    is_float = true;
  }
  p_ = q;
  if (is_float) {
    if (exact && parse_float_ == nullptr) {
      double v;
      if (mag <= uint64_t{1} << 53 && scale >= -22 && scale <= 22) {
        // Both factors exact as doubles: one correctly rounded operation gives the nearest.
        v = static_cast<double>(mag);
        v = scale < 0 ? v / kExactPow10[-scale] : v * kExactPow10[scale];
        return float_from<S>(*s == '-' ? -v : v);
      }
      // All the digits held: the nearest double from one or two products, nearly always.
      if (float_parse::decimal_to_double(mag, scale, &v)) return float_from<S>(*s == '-' ? -v : v);
    }
    return float_value<S>(s, q);
  }
  if (wide) [[unlikely]]
    return big_integer<S>(s, q, 10);
  if (*s != '-') {
    // Signed first: the interpreter makes a one-digit int without its general path only there.
    if (mag < uint64_t{1} << 63) return integer<S>(static_cast<int64_t>(mag));
    if constexpr (std::is_same_v<S, Objects>) return PyLong_FromUnsignedLongLong(mag);
    return big_integer<S>(s, q, 10);
  }
  if (mag <= uint64_t{1} << 63) return integer<S>(static_cast<int64_t>(0 - mag));
  return big_integer<S>(s, q, 10);
}

// 0x, 0o and 0b integers: no sign, '_' only between digits.
template <class F>
template <class S>
typename S::Out Parser<F>::prefixed_integer() {
  const U* s = p_;
  const U letter = s[1];
  const int base = letter == 'x' ? 16 : letter == 'o' ? 8 : 2;
  const int shift = base == 16 ? 4 : base == 8 ? 3 : 1;
  auto digit = [base](uint32_t d) -> int {
    int v = is_digit(d) ? static_cast<int>(d - '0')
            : (d | 0x20) >= 'a' && (d | 0x20) <= 'f' && d >= 'A'
                ? static_cast<int>((d | 0x20) - 'a' + 10)
                : 99;
    return v < base ? v : -1;
  };
  const U* q = s + 2;
  if (digit(at(q)) < 0) return fail(s, "Expected a digit after %R", describe_run(s, 2).get());
  uint64_t mag = 0;
  int bits = 0;
  for (;;) {
    const int v = digit(at(q));
    if (v >= 0) {
      if (mag != 0 || v != 0) bits += shift;
      mag = mag << shift | static_cast<uint64_t>(v);
      ++q;
    } else if (at(q) == '_' && digit(at(q + 1)) >= 0) {
      ++q;
    } else {
      break;
    }
  }
  p_ = q;
  if (bits <= 63) return integer<S>(static_cast<int64_t>(mag));
  return big_integer<S>(s + 2, q, base);
}

// The digits of [s, e) without '_' (and without a '+'), NUL-terminated in digits_.
template <class F>
template <class S>
typename S::Out Parser<F>::big_integer(const U* s, const U* e, int base) {
  if constexpr (std::is_same_v<S, Nodes>) {
    // Prefixed forms count leading digits generously: what fits in 64 bits is still an int64.
    const bool negative = *s == '-';
    uint64_t mag = 0;
    bool wide = false;
    for (const U* q = s; q < e; ++q) {
      const uint32_t d = *q | 0x20;
      if (*q == '_' || *q == '+' || *q == '-') continue;
      const uint32_t v = is_digit(*q) ? *q - '0' : d - 'a' + 10;
      wide |= __builtin_mul_overflow(mag, static_cast<uint64_t>(base), &mag) |
              __builtin_add_overflow(mag, uint64_t{v}, &mag);
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (!wide && mag <= limit)
      return integer<S>(negative ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag));
    // Refused when the record is stored, where the table, column and record are known.
    Node* n = nodes_.make(NodeKind::kBigInt);
    if (n != nullptr) {
      n->text = {s, static_cast<size_t>(e - s)};
      n->offset = static_cast<int16_t>(base);  // the int's base, for a UBIGINT column
    }
    return n;
  } else {
    digits_.clear();
    if (!digits_.reserve(static_cast<size_t>(e - s) + 1)) return nullptr;
    for (const U* q = s; q < e; ++q)
      if (*q != '_' && *q != '+') digits_.push_unchecked(static_cast<char>(*q));
    digits_.push_unchecked('\0');
    // Decimal text is held to the interpreter's digit limit for int(), as everywhere else.
    return PyLong_FromString(digits_.data(), nullptr, base);
  }
}

template <class F>
template <class S>
typename S::Out Parser<F>::float_from(double v) {
  if constexpr (std::is_same_v<S, Objects>) {
    return PyFloat_FromDouble(v);
  } else {
    Node* n = nodes_.make(NodeKind::kFloat);
    if (n != nullptr) n->d = v;
    return n;
  }
}

template <class F>
template <class S>
typename S::Out Parser<F>::float_value(const U* s, const U* e) {
  if constexpr (std::is_same_v<S, Nodes>) {
    Node* n = nodes_.make(NodeKind::kFloat);
    if (n == nullptr || !float_of(s, e, &n->d)) return nullptr;
    return n;
  } else {
    if (parse_float_ == nullptr) {
      double v;
      return float_of(s, e, &v) ? PyFloat_FromDouble(v) : nullptr;
    }
    const auto n = static_cast<size_t>(e - s);
    // The text as written, as tomllib passes it.
    Ref text = Ref::steal(str_from_units(s, n, 0));
    if (!text) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(parse_float_, text.get()));
    if (!result) return nullptr;
    if (PyDict_Check(result.get()) || PyList_Check(result.get())) {
      PyErr_SetString(PyExc_ValueError, "parse_float must not return dicts or lists");
      return nullptr;
    }
    return result.release();
  }
}

// The built-in float of the text [s, e).
template <class F>
bool Parser<F>::float_of(const U* s, const U* e, double* out) {
  const auto n = static_cast<size_t>(e - s);
  const bool negative = *s == '-';
  const U* body = *s == '+' || *s == '-' ? s + 1 : s;
  if (*body == 'i') {
    *out = negative ? -Py_HUGE_VAL : Py_HUGE_VAL;
    return true;
  }
  if (*body == 'n') {
    *out = std::copysign(Py_NAN, negative ? -1.0 : 1.0);
    return true;
  }
  digits_.clear();
  if (!digits_.reserve(n + 1)) return false;
  for (const U* q = s; q < e; ++q)
    if (*q != '_' && *q != '+') digits_.push_unchecked(static_cast<char>(*q));
  const char* text = digits_.data();
  const char* text_end = text + digits_.size();
  const auto [ptr, ec] = std::from_chars(text, text_end, *out);
  if (ec == std::errc{} && ptr == text_end) [[likely]]
    return true;
  // Out of range: the interpreter's own conversion gives float()'s inf or zero.
  digits_.push_unchecked('\0');
  *out = PyOS_string_to_double(digits_.data(), nullptr, nullptr);
  return !(*out == -1.0 && PyErr_Occurred());
}

}  // namespace ondrel::decoder
