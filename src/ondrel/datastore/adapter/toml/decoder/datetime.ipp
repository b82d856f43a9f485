// Offset and local date-times, local dates and local times. Part of parser.cpp.

namespace ondrel::decoder {

namespace {

inline bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_year(y) ? 29 : kDays[m - 1];
}

constexpr int64_t kMicrosPerDay = int64_t{86400} * 1000000;

inline int64_t micros_of(int h, int mi, int sec, int us) {
  return ((int64_t{h} * 60 + mi) * 60 + sec) * 1000000 + us;
}

}  // namespace

// The value of a date or time read into `t`.
template <class F>
template <class S>
typename S::Out Parser<F>::moment(NodeKind kind, const Moment& t) {
  if constexpr (std::is_same_v<S, Nodes>) {
    Node* n = nodes_.make(kind);
    if (n == nullptr) return nullptr;
    const int64_t time = micros_of(t.h, t.mi, t.sec, t.us);
    const int64_t days = kind == NodeKind::kTime ? 0 : days_from_civil(t.y, t.m, t.d);
    switch (kind) {
      case NodeKind::kTime: n->i = time; break;
      case NodeKind::kDate: n->i = days; break;
      default: n->i = days * kMicrosPerDay + time - int64_t{t.offset} * 60000000; break;
    }
    n->offset = static_cast<int16_t>(t.offset);
    n->scope = static_cast<uint32_t>(t.ns);
    return n;
  } else {
    switch (kind) {
      case NodeKind::kTime: return PyTime_FromTime(t.h, t.mi, t.sec, t.us);
      case NodeKind::kDate: return PyDate_FromDate(t.y, t.m, t.d);
      case NodeKind::kLocalDateTime:
        return PyDateTime_FromDateAndTime(t.y, t.m, t.d, t.h, t.mi, t.sec, t.us);
      default: break;
    }
    Ref tz = Ref::steal(timezone(t.offset));
    if (!tz) return nullptr;
    return PyDateTimeAPI->DateTime_FromDateAndTime(t.y, t.m, t.d, t.h, t.mi, t.sec, t.us, tz.get(),
                                                   PyDateTimeAPI->DateTimeType);
  }
}

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
bool Parser<F>::time_part(int* hour, int* minute, int* second, int* micro, int* nanos) {
  const U* s = p_;
  *hour = digits_at(s, 2);
  *minute = digits_at(s + 3, 2);
  *micro = 0;
  *nanos = 0;
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
    int sub = 100;  // below a microsecond
    for (; is_digit(at(q)); ++q) {
      const int d = static_cast<int>(*q - '0');
      if (scale != 0) {
        *micro += d * scale;
        scale /= 10;
      } else if (sub != 0) {
        *nanos += d * sub;
        sub /= 10;
      } else if (d != 0) {
        *nanos = 1000;
      }
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
template <class S>
typename S::Out Parser<F>::datetime_value() {
  const U* s = p_;
  Moment t{};
  if (at(s + 2) == ':') {
    if (!time_part(&t.h, &t.mi, &t.sec, &t.us, &t.ns)) return nullptr;
    return moment<S>(NodeKind::kTime, t);
  }
  t.y = digits_at(s, 4);
  t.m = digits_at(s + 5, 2);
  t.d = digits_at(s + 8, 2);
  if (t.y < 0 || t.m < 0 || at(s + 7) != '-' || t.d < 0)
    return fail(s, "Invalid date: expected YYYY-MM-DD");
  if (t.y < 1 || t.m < 1 || t.m > 12 || t.d < 1 || t.d > days_in_month(t.y, t.m))
    return fail(s, "Invalid date: no such day");
  p_ = s + 10;
  // A time follows after 'T', 't' or a space; after a space, only if one really starts there.
  const U sep = cur();
  const bool has_time =
      sep == 'T' || sep == 't' ||
      (sep == ' ' && is_digit(at(p_ + 1)) && is_digit(at(p_ + 2)) && at(p_ + 3) == ':');
  if (!has_time) return moment<S>(NodeKind::kDate, t);
  ++p_;
  if (!time_part(&t.h, &t.mi, &t.sec, &t.us, &t.ns)) return nullptr;
  const U z = cur();
  if (z == 'Z' || z == 'z') {
    ++p_;
  } else if (z == '+' || z == '-') {
    const U* o = p_;
    const int oh = digits_at(o + 1, 2);
    const int om = digits_at(o + 4, 2);
    if (oh < 0 || at(o + 3) != ':' || om < 0) return fail(o, "Invalid offset: expected +HH:MM");
    if (oh > 23 || om > 59) return fail(o, "Invalid offset: out of range");
    p_ = o + 6;
    t.offset = (z == '-' ? -1 : 1) * (oh * 60 + om);
  } else {
    return moment<S>(NodeKind::kLocalDateTime, t);
  }
  return moment<S>(NodeKind::kOffsetDateTime, t);
}

}  // namespace ondrel::decoder
