// The text forms of UUID, INTERVAL and DURATION values: what the writer writes and the reader
// reads back exactly.
#include <cstring>

#include "ondrel/_native/column_types.hpp"

namespace ondrel::coltype {

namespace {

constexpr int64_t kNanosPerUnit[] = {1000000000, 1000000, 1000, 1};
constexpr int64_t kNanosPerSecond = 1000000000;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Signed seconds given in nanoseconds, exact: "-1.5", "0", "0.000000001".
char* put_seconds(char* o, __int128 nanos) {
  if (nanos < 0) {
    *o++ = '-';
    nanos = -nanos;
  }
  auto whole = static_cast<unsigned __int128>(nanos / kNanosPerSecond);
  auto frac = static_cast<uint32_t>(nanos % kNanosPerSecond);
  char digits[48];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(whole % 10));
    whole /= 10;
  } while (whole != 0);
  while (n > 0) *o++ = digits[--n];
  if (frac != 0) {
    *o++ = '.';
    for (uint32_t scale = 100000000; frac != 0; scale /= 10) {
      *o++ = static_cast<char>('0' + frac / scale);
      frac %= scale;
    }
  }
  return o;
}

// Reads the ISO 8601 duration text into months, days and nanoseconds (wide, unchecked).
struct Parts {
  __int128 months = 0;
  __int128 days = 0;
  __int128 nanos = 0;
};

bool parse_iso(const char* s, size_t n, Parts* out) {
  const char* p = s;
  const char* end = s + n;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  if (p == end || (*p != 'P' && *p != 'p')) return false;
  ++p;
  // Designators in order: Y M W D, then after T: H M S.
  static constexpr char kDate[] = "YMWD";
  static constexpr char kTime[] = "HMS";
  bool in_time = false;
  size_t next = 0;  // the first designator still allowed
  bool any = false;
  while (p < end) {
    if (*p == 'T' || *p == 't') {
      if (in_time) return false;
      in_time = true;
      next = 0;
      ++p;
      continue;
    }
    bool minus = false;
    if (*p == '-' || *p == '+') minus = *p++ == '-';
    __int128 whole = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
      if (++digits > 20) return false;
      whole = whole * 10 + (*p++ - '0');
    }
    int64_t frac = 0;
    bool has_frac = false;
    if (p < end && (*p == '.' || *p == ',')) {
      has_frac = true;
      ++p;
      int64_t scale = kNanosPerSecond / 10;
      if (p == end || *p < '0' || *p > '9') return false;
      for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (scale == 0 && *p != '0') return false;  // finer than a nanosecond
        frac += (*p - '0') * scale;
        scale /= 10;
      }
    }
    if (digits == 0 || p == end) return false;
    const char d = static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
    ++p;
    const char* set = in_time ? kTime : kDate;
    const size_t count = in_time ? 3 : 4;
    size_t k = next;
    while (k < count && set[k] != d) ++k;
    if (k == count || (has_frac && !(in_time && d == 'S'))) return false;
    next = k + 1;
    any = true;
    const __int128 v = minus ? -whole : whole;
    if (!in_time) {
      if (d == 'Y') out->months += v * 12;
      if (d == 'M') out->months += v;
      if (d == 'W') out->days += v * 7;
      if (d == 'D') out->days += v;
    } else {
      const __int128 per = d == 'H'   ? 3600 * __int128{kNanosPerSecond}
                           : d == 'M' ? 60 * __int128{kNanosPerSecond}
                                      : __int128{kNanosPerSecond};
      out->nanos += v * per + (minus ? -frac : frac);
    }
  }
  if (!any) return false;
  if (negative) {
    out->months = -out->months;
    out->days = -out->days;
    out->nanos = -out->nanos;
  }
  return true;
}

}  // namespace

size_t format_uuid(const unsigned char in[16], char* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  char* o = out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *o++ = '-';
    *o++ = kHex[in[i] >> 4];
    *o++ = kHex[in[i] & 15];
  }
  return static_cast<size_t>(o - out);
}

bool parse_uuid(const char* s, size_t n, unsigned char out[16]) {
  // The canonical 36 characters, or the 32 hex digits alone; either case.
  if (n != 36 && n != 32) return false;
  size_t j = 0;
  for (int i = 0; i < 16; ++i) {
    if (n == 36 && (i == 4 || i == 6 || i == 8 || i == 10) && s[j++] != '-') return false;
    const int hi = hex_value(s[j]), lo = hex_value(s[j + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<unsigned char>(hi << 4 | lo);
    j += 2;
  }
  return true;
}

size_t format_interval(int32_t months, int32_t days, int64_t nanos, char* out) {
  char* o = out;
  *o++ = 'P';
  o += std::snprintf(o, 16, "%ldM", static_cast<long>(months));
  o += std::snprintf(o, 16, "%ldDT", static_cast<long>(days));
  o = put_seconds(o, nanos);
  *o++ = 'S';
  return static_cast<size_t>(o - out);
}

size_t format_duration(int64_t value, Unit unit, char* out) {
  char* o = out;
  *o++ = 'P';
  *o++ = 'T';
  o = put_seconds(o, static_cast<__int128>(value) * kNanosPerUnit[static_cast<size_t>(unit)]);
  *o++ = 'S';
  return static_cast<size_t>(o - out);
}

bool parse_interval(const char* s, size_t n, int32_t* months, int32_t* days, int64_t* nanos) {
  Parts p;
  if (!parse_iso(s, n, &p)) return false;
  if (p.months < INT32_MIN || p.months > INT32_MAX || p.days < INT32_MIN || p.days > INT32_MAX ||
      p.nanos < INT64_MIN || p.nanos > INT64_MAX)
    return false;
  *months = static_cast<int32_t>(p.months);
  *days = static_cast<int32_t>(p.days);
  *nanos = static_cast<int64_t>(p.nanos);
  return true;
}

bool parse_duration(const char* s, size_t n, Unit unit, int64_t* value) {
  Parts p;
  if (!parse_iso(s, n, &p) || p.months != 0) return false;
  const __int128 total = p.nanos + p.days * 86400 * __int128{kNanosPerSecond};
  const int64_t per = kNanosPerUnit[static_cast<size_t>(unit)];
  if (total % per != 0) return false;
  const __int128 v = total / per;
  if (v < INT64_MIN || v > INT64_MAX) return false;
  *value = static_cast<int64_t>(v);
  return true;
}

}  // namespace ondrel::coltype
