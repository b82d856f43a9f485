// Offset and local date-times, local dates and local times. Part of parser.cpp.

namespace ondrel::decoder {

namespace {

inline bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_year(y) ? 29 : kDays[m - 1];
}

}  // namespace

template <class F>
int Parser<F>::digits_at(const U* q, int n) const {
  int v = 0;
  for (int k = 0; k < n; ++k) {
    const uint32_t d = at(q + k);
    if (!is_digit(d)) return -1;
    v = v * 10 + static_cast<int>(d - '0');
  }
  return v;
}

// HH:MM:SS with optional fraction at p_ (1.1: or HH:MM, seconds 0); the fraction is cut to
// microseconds.
template <class F>
bool Parser<F>::time_part(int* hour, int* minute, int* second, int* micro) {
  const U* s = p_;
  *hour = digits_at(s, 2);
  *minute = digits_at(s + 3, 2);
  *micro = 0;
  if (*hour < 0 || at(s + 2) != ':' || *minute < 0)
    return fail(s, "Invalid time: expected HH:MM:SS");
  if (at(s + 5) != ':') [[unlikely]] {
    if (!v11_) return fail(s, "Invalid time: expected HH:MM:SS (HH:MM from TOML 1.1)");
    if (*hour > 23 || *minute > 59) return fail(s, "Invalid time: out of range");
    *second = 0;
    p_ = s + 5;
    return true;
  }
  *second = digits_at(s + 6, 2);
  if (*second < 0) return fail(s, "Invalid time: expected HH:MM:SS");
  if (*hour > 23 || *minute > 59 || *second > 59) return fail(s, "Invalid time: out of range");
  const U* q = s + 8;
  if (at(q) == '.') {
    ++q;
    if (!is_digit(at(q))) return fail(q, "Expected a digit in the fraction of a second");
    int scale = 100000;
    for (; is_digit(at(q)); ++q) {
      *micro += static_cast<int>(*q - '0') * scale;
      scale /= 10;
    }
  }
  p_ = q;
  return true;
}

template <class F>
PyObject* Parser<F>::timezone(int offset_minutes) {
  if (offset_minutes == 0) return Py_NewRef(PyDateTime_TimeZone_UTC);
  if (tz_cache_ == nullptr || tz_cache_minutes_ != offset_minutes) {
    Ref delta = Ref::steal(PyDelta_FromDSU(0, offset_minutes * 60, 0));
    if (!delta) return nullptr;
    PyObject* tz = PyTimeZone_FromOffset(delta.get());
    if (tz == nullptr) return nullptr;
    Py_XSETREF(tz_cache_, tz);
    tz_cache_minutes_ = offset_minutes;
  }
  return Py_NewRef(tz_cache_);
}

template <class F>
PyObject* Parser<F>::datetime_value() {
  const U* s = p_;
  if (at(s + 2) == ':') {
    int h, mi, sec, us;
    if (!time_part(&h, &mi, &sec, &us)) return nullptr;
    return PyTime_FromTime(h, mi, sec, us);
  }
  const int y = digits_at(s, 4);
  const int m = digits_at(s + 5, 2);
  const int d = digits_at(s + 8, 2);
  if (y < 0 || m < 0 || at(s + 7) != '-' || d < 0)
    return fail(s, "Invalid date: expected YYYY-MM-DD");
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m))
    return fail(s, "Invalid date: no such day");
  p_ = s + 10;
  // A time follows after 'T', 't' or a space; after a space, only if one really starts there.
  const U sep = cur();
  const bool has_time =
      sep == 'T' || sep == 't' ||
      (sep == ' ' && is_digit(at(p_ + 1)) && is_digit(at(p_ + 2)) && at(p_ + 3) == ':');
  if (!has_time) return PyDate_FromDate(y, m, d);
  ++p_;
  int h, mi, sec, us;
  if (!time_part(&h, &mi, &sec, &us)) return nullptr;
  Ref tz;
  const U z = cur();
  if (z == 'Z' || z == 'z') {
    ++p_;
    tz = Ref::steal(timezone(0));
  } else if (z == '+' || z == '-') {
    const U* o = p_;
    const int oh = digits_at(o + 1, 2);
    const int om = digits_at(o + 4, 2);
    if (oh < 0 || at(o + 3) != ':' || om < 0) return fail(o, "Invalid offset: expected +HH:MM");
    if (oh > 23 || om > 59) return fail(o, "Invalid offset: out of range");
    p_ = o + 6;
    tz = Ref::steal(timezone((z == '-' ? -1 : 1) * (oh * 60 + om)));
  } else {
    return PyDateTime_FromDateAndTime(y, m, d, h, mi, sec, us);
  }
  if (!tz) return nullptr;
  return PyDateTimeAPI->DateTime_FromDateAndTime(y, m, d, h, mi, sec, us, tz.get(),
                                                 PyDateTimeAPI->DateTimeType);
}

}  // namespace ondrel::decoder
