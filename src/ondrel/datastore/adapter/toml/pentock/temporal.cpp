// Date and time text from integers (Arrow values) and from datetime objects (datetimes="toml").
#include "ondrel/datastore/adapter/toml/pentock/temporal.hpp"

#include <datetime.h>

#include <cstdio>
#include <cstring>

#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock::temporal {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kNanosPerUnit[] = {1000000000, 1000000, 1000, 1};

inline char* two(char* o, unsigned v) {
  std::memcpy(o, kDigitPairs.d + static_cast<size_t>(v) * 2, 2);
  return o + 2;
}

using civil::days_from_civil;
using civil::floor_div;

// YYYY-MM-DD for a year in 1..9999.
char* put_date(char* o, const Civil& c) {
  const auto y = static_cast<unsigned>(c.year);
  o = two(o, y / 100);
  o = two(o, y % 100);
  *o++ = '-';
  o = two(o, c.month);
  *o++ = '-';
  return two(o, c.day);
}

// The fraction: nine digits when the unit has nanoseconds and they are not whole
// microseconds, six for non-zero microseconds, else none (as str() and isoformat() do).
char* put_frac(char* o, uint32_t nanos, bool ns_unit) {
  uint32_t frac;
  int digits;
  if (ns_unit && nanos % 1000 != 0) {
    frac = nanos;
    digits = 9;
  } else if (nanos != 0) {
    frac = nanos / 1000;
    digits = 6;
  } else {
    return o;
  }
  *o++ = '.';
  for (int i = digits - 1; i >= 0; --i) {
    o[i] = static_cast<char>('0' + frac % 10);
    frac /= 10;
  }
  return o + digits;
}

// MM:SS and the fraction.
char* put_min_sec(char* o, unsigned s, uint32_t nanos, bool ns_unit) {
  o = two(o, s / 60 % 60);
  *o++ = ':';
  o = two(o, s % 60);
  return put_frac(o, nanos, ns_unit);
}

// HH:MM:SS and the fraction.
char* put_clock(char* o, int64_t second_of_day, uint32_t nanos, bool ns_unit) {
  const auto s = static_cast<unsigned>(second_of_day);
  o = two(o, s / 3600);
  *o++ = ':';
  return put_min_sec(o, s, nanos, ns_unit);
}

// str() of a UTC offset: +HH:MM, then :SS and .ffffff when non-zero.
char* put_offset_str(char* o, Offset off) {
  int64_t total = int64_t{off.seconds} * 1000000 + off.micros;
  *o++ = total < 0 ? '-' : '+';
  if (total < 0) total = -total;
  const auto micros = static_cast<unsigned>(total % 1000000);
  const auto secs = static_cast<unsigned>(total / 1000000);
  o = two(o, secs / 3600 % 100);
  *o++ = ':';
  o = two(o, secs / 60 % 60);
  if (secs % 60 != 0 || micros != 0) {
    *o++ = ':';
    o = two(o, secs % 60);
  }
  if (micros != 0) {
    *o++ = '.';
    o = two(o, micros / 10000);
    o = two(o, micros / 100 % 100);
    o = two(o, micros % 100);
  }
  return o;
}

[[gnu::cold]] bool out_of_range(const char* what) {
  PyErr_Format(PyExc_OverflowError, "%s value out of range", what);
  return false;
}

inline bool year_ok(const Civil& c) { return c.year >= 1 && c.year <= 9999; }

// Room for the longest text: a quoted date-time with nine digits and a full offset.
constexpr size_t kRoom = 64;

// Room reserved, and the opening quote unless the text is a TOML date-time; the end is
// committed by close_text().
inline char* open_text(Buffer* buf, bool quoted) {
  if (!reserve(buf, kRoom)) return nullptr;
  char* o = buf->data + buf->pos;
  if (quoted) *o++ = '"';
  return o;
}
inline bool close_text(Buffer* buf, char* end, bool quoted) {
  if (quoted) *end++ = '"';
  buf->pos = static_cast<size_t>(end - buf->data);
  return true;
}

}  // namespace

Split split(int64_t value, int unit) {
  const int64_t per_second = kNanosPerUnit[0] / kNanosPerUnit[unit];
  const int64_t secs = floor_div(value, per_second);
  // The remainder, not value - secs * per_second: that product leaves int64 near its ends.
  const int64_t rest = value % per_second + (value % per_second < 0 ? per_second : 0);
  return Split{secs, static_cast<uint32_t>(rest * kNanosPerUnit[unit]), unit == 3};
}

bool date_days(Buffer* buf, int64_t days, bool toml) {
  // Beyond this the day count cannot be a year in 1..9999, and the arithmetic stays small.
  if (days < -800000 || days > 3000000) return out_of_range("date");
  const Civil c = civil_from_days(days);
  if (!year_ok(c)) return out_of_range("date");
  char* o = open_text(buf, !toml);
  if (o == nullptr) return false;
  o = put_date(o, c);
  return close_text(buf, o, !toml);
}

bool time_of_day(Buffer* buf, Split t, bool toml) {
  if (t.seconds < 0 || t.seconds >= kSecondsPerDay) {
    PyErr_SetString(PyExc_ValueError, "time value out of range (0 to 24 hours)");
    return false;
  }
  char* o = open_text(buf, !toml);
  if (o == nullptr) return false;
  o = put_clock(o, t.seconds, t.nanos, t.ns_unit);
  return close_text(buf, o, !toml);
}

bool timestamp(Buffer* buf, Split t, const Offset* offset, bool toml) {
  constexpr int64_t kMaxSeconds = int64_t{3000000} * kSecondsPerDay;
  if (t.seconds < -kMaxSeconds || t.seconds > kMaxSeconds) return out_of_range("date");
  Offset off = offset != nullptr ? *offset : Offset{0, 0};
  // With an offset the instant is checked too, as datetime makes it before the local time.
  if (off.seconds != 0 || off.micros != 0) {
    if (!year_ok(civil_from_days(floor_div(t.seconds, kSecondsPerDay))))
      return out_of_range("date");
  }
  // TOML offsets have minutes at most: an offset with seconds is written as the UTC instant.
  const bool to_utc = toml && (off.seconds % 60 != 0 || off.micros != 0);
  if (to_utc) off = Offset{0, 0};
  int64_t local = t.seconds + off.seconds;
  int64_t nanos = int64_t{t.nanos} + int64_t{off.micros} * 1000;
  if (nanos < 0) {
    nanos += 1000000000;
    --local;
  } else if (nanos >= 1000000000) {
    nanos -= 1000000000;
    ++local;
  }
  const int64_t days = floor_div(local, kSecondsPerDay);
  const Civil c = civil_from_days(days);
  if (!year_ok(c)) return out_of_range("date");
  char* o = open_text(buf, !toml);
  if (o == nullptr) return false;
  o = put_date(o, c);
  *o++ = toml ? 'T' : ' ';
  o = put_clock(o, local - days * kSecondsPerDay, static_cast<uint32_t>(nanos), t.ns_unit);
  if (offset != nullptr || to_utc) {
    if (!toml) {
      o = put_offset_str(o, off);
    } else if (off.seconds == 0) {
      *o++ = 'Z';
    } else {
      const int32_t m = off.seconds / 60;
      *o++ = m < 0 ? '-' : '+';
      const auto a = static_cast<unsigned>(m < 0 ? -m : m);
      o = two(o, a / 60 % 100);
      *o++ = ':';
      o = two(o, a % 60);
    }
  }
  return close_text(buf, o, !toml);
}

namespace {

// The datetime C API, bound in this file on first use.
bool datetime_api() {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

// A timedelta's total as an Offset (utcoffset() results are within a day).
Offset offset_of(PyObject* delta) {
  return Offset{PyDateTime_DELTA_GET_DAYS(delta) * 86400 + PyDateTime_DELTA_GET_SECONDS(delta),
                PyDateTime_DELTA_GET_MICROSECONDS(delta)};
}

// obj.utcoffset(): 1 with *out set, 0 for None (naive), -1 error.
int utcoffset_of(PyObject* obj, Offset* out) {
  static PyObject* name = nullptr;  // interned for the process's life
  if (name == nullptr && (name = PyUnicode_InternFromString("utcoffset")) == nullptr) return -1;
  Ref delta = Ref::steal(PyObject_CallMethodNoArgs(obj, name));
  if (!delta) return -1;
  if (delta.get() == Py_None) return 0;
  if (!PyDelta_Check(delta.get())) {
    PyErr_Format(PyExc_TypeError, "utcoffset() must return a timedelta or None, not %.200s",
                 Py_TYPE(delta.get())->tp_name);
    return -1;
  }
  *out = offset_of(delta.get());
  return 1;
}

}  // namespace

PyObject* zone_new(const char* name, size_t size) {
  Ref module = Ref::steal(PyImport_ImportModule("zoneinfo"));
  if (!module) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "ZoneInfo"));
  if (!cls) return nullptr;
  Ref key = Ref::steal(PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(size), nullptr));
  if (!key) return nullptr;
  return PyObject_CallOneArg(cls.get(), key.get());
}

bool zone_offset(PyObject* zone, int64_t utc_seconds, Offset* out) {
  if (!datetime_api()) return false;
  const int64_t days = floor_div(utc_seconds, kSecondsPerDay);
  const Civil c = civil_from_days(days);
  if (!year_ok(c)) return out_of_range("date");
  const auto s = static_cast<int>(utc_seconds - days * kSecondsPerDay);
  // The instant as a UTC datetime, then the zone's view of it: zone.fromutc() gives the local
  // time that utcoffset() reads.
  Ref utc = Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
      static_cast<int>(c.year), static_cast<int>(c.month), static_cast<int>(c.day), s / 3600,
      s / 60 % 60, s % 60, 0, zone, PyDateTimeAPI->DateTimeType));
  if (!utc) return false;
  Ref local = Ref::steal(PyObject_CallMethod(zone, "fromutc", "O", utc.get()));
  if (!local) return false;
  const int r = utcoffset_of(local.get(), out);
  if (r == 0) *out = Offset{0, 0};
  return r >= 0;
}

int object_toml(Buffer* buf, PyObject* value) {
  if (!datetime_api()) return -1;
  if (PyDateTime_Check(value)) {
    const Civil c{PyDateTime_GET_YEAR(value), static_cast<unsigned>(PyDateTime_GET_MONTH(value)),
                  static_cast<unsigned>(PyDateTime_GET_DAY(value))};
    const int64_t second = int64_t{PyDateTime_DATE_GET_HOUR(value)} * 3600 +
                           PyDateTime_DATE_GET_MINUTE(value) * 60 +
                           PyDateTime_DATE_GET_SECOND(value);
    const Split local{days_from_civil(c.year, c.month, c.day) * kSecondsPerDay + second,
                      static_cast<uint32_t>(PyDateTime_DATE_GET_MICROSECOND(value)) * 1000, false};
    Offset off{};
    int aware = 0;
    if (PyDateTime_DATE_GET_TZINFO(value) != Py_None) {
      Ref held = Ref::borrow(value);  // utcoffset() runs Python code
      aware = utcoffset_of(held.get(), &off);
      if (aware < 0) return -1;
    }
    if (aware == 0) return timestamp(buf, local, nullptr, true) ? 1 : -1;
    // timestamp() takes the instant: local time minus the offset.
    Split instant = local;
    int64_t nanos = int64_t{local.nanos} - int64_t{off.micros} * 1000;
    instant.seconds -= off.seconds;
    if (nanos < 0) {
      nanos += 1000000000;
      --instant.seconds;
    }
    instant.nanos = static_cast<uint32_t>(nanos);
    return timestamp(buf, instant, &off, true) ? 1 : -1;
  }
  if (PyDate_Check(value)) {
    return date_days(buf,
                     days_from_civil(PyDateTime_GET_YEAR(value),
                                     static_cast<unsigned>(PyDateTime_GET_MONTH(value)),
                                     static_cast<unsigned>(PyDateTime_GET_DAY(value))),
                     true)
               ? 1
               : -1;
  }
  if (PyTime_Check(value)) {
    // TOML local times have no offset: an aware time keeps the str() rule.
    if (PyDateTime_TIME_GET_TZINFO(value) != Py_None) return 0;
    const Split t{int64_t{PyDateTime_TIME_GET_HOUR(value)} * 3600 +
                      PyDateTime_TIME_GET_MINUTE(value) * 60 + PyDateTime_TIME_GET_SECOND(value),
                  static_cast<uint32_t>(PyDateTime_TIME_GET_MICROSECOND(value)) * 1000, false};
    return time_of_day(buf, t, true) ? 1 : -1;
  }
  return 0;
}

}  // namespace ondrel::pentock::temporal
