// Declared columns' values from text: decimals, bytes, dates and times.
#include "ondrel/datastore/adapter/toml/decoder/columns/text_values.hpp"

#include <cstdio>
#include <cstring>

#include "ondrel/_native/civil.hpp"

namespace ondrel::decoder::text {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

constexpr int64_t kNanosPerUnit[] = {1000000000, 1000000, 1000, 1};
constexpr __int128 kNanosPerDay = __int128{86400} * 1000000000;

// `digits` (most significant first, at most 76) as a little-endian two's complement.
void to_limbs(const char* digits, int nd, bool negative, size_t width, unsigned char* out) {
  uint64_t limb[4] = {0, 0, 0, 0};
  for (int i = 0; i < nd; ++i) {
    unsigned __int128 carry = static_cast<unsigned>(digits[i] - '0');
    for (uint64_t& l : limb) {
      const unsigned __int128 cur = static_cast<unsigned __int128>(l) * 10 + carry;
      l = static_cast<uint64_t>(cur);
      carry = cur >> 64;
    }
  }
  if (negative) {
    unsigned carry = 1;
    for (uint64_t& l : limb) {
      l = ~l + carry;
      carry = carry != 0 && l == 0;
    }
  }
  std::memcpy(out, limb, width);
}

// n digits at s as a number, or -1.
int number(const char* s, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!digit(s[i])) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

// YYYY-MM-DD at p: days since the epoch; false if not a valid date.
bool date_at(const char* p, int64_t* days) {
  const int y = number(p, 4), m = number(p + 5, 2), d = number(p + 8, 2);
  if (y < 1 || m < 1 || m > 12 || d < 1 || p[4] != '-' || p[7] != '-') return false;
  *days = civil::days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
  const civil::Date back = civil::civil_from_days(*days);
  return back.month == static_cast<unsigned>(m) && back.day == static_cast<unsigned>(d);
}

// HH:MM:SS[.fffffffff] at p (up to end): nanoseconds since midnight; *p moves past it.
bool time_at(const char*& p, const char* end, int64_t* nanos) {
  if (end - p < 8) return false;
  const int h = number(p, 2), m = number(p + 3, 2), s = number(p + 6, 2);
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || p[2] != ':' || p[5] != ':')
    return false;
  *nanos = ((int64_t{h} * 60 + m) * 60 + s) * 1000000000;
  p += 8;
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !digit(*p)) return false;
    int64_t scale = 100000000;
    for (; p < end && digit(*p); ++p) {
      if (scale == 0) return false;  // finer than a nanosecond
      *nanos += (*p - '0') * scale;
      scale /= 10;
    }
  }
  return true;
}

}  // namespace

bool decimal_of_text(const char* s, size_t n, const coltype::ColumnType& t, unsigned char* out) {
  const char* p = s;
  const char* end = s + n;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  char digits[80];
  int nd = 0;       // significant digits kept (leading zeros dropped)
  int64_t exp = 0;  // of the last digit
  bool any = false;
  bool dot = false;
  for (; p < end; ++p) {
    if (*p == '.' && !dot) {
      dot = true;
      continue;
    }
    if (!digit(*p)) break;
    any = true;
    if (dot) --exp;
    if (nd == 0 && *p == '0') continue;
    if (nd == 78) {  // past any precision: only a zero can be dropped, scaling the rest
      if (*p != '0') return false;
      ++exp;
      continue;
    }
    digits[nd++] = *p;
  }
  if (!any) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool eneg = false;
    if (p < end && (*p == '-' || *p == '+')) eneg = *p++ == '-';
    if (p == end) return false;
    int64_t e = 0;
    for (; p < end && digit(*p); ++p)
      if ((e = e * 10 + (*p - '0')) > 100000) return false;
    exp += eneg ? -e : e;
  }
  if (p != end) return false;
  // The coefficient at the scale: drop zeros below it (others would round), pad above.
  int64_t shift = exp + t.scale;
  while (shift < 0 && nd > 0) {
    if (digits[nd - 1] != '0') return false;
    --nd;
    ++shift;
  }
  if (nd > 0 && nd + shift > t.precision) return false;
  for (; nd > 0 && shift > 0; --shift) digits[nd++] = '0';
  to_limbs(digits, nd, negative, coltype::value_width(t), out);
  return true;
}

bool decimal_of_int(int64_t v, const coltype::ColumnType& t, unsigned char* out) {
  char buf[24];
  const int n = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
  return decimal_of_text(buf, static_cast<size_t>(n), t, out);
}

bool bytes_repr(const char* s, size_t n, Buf& out) {
  if (n < 3 || s[0] != 'b' || (s[1] != '\'' && s[1] != '"') || s[n - 1] != s[1]) return false;
  const char quote = s[1];
  for (size_t i = 2; i < n - 1; ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80 || c == static_cast<unsigned char>(quote)) return false;
    if (c == '\\') {
      if (++i >= n - 1) return false;
      switch (s[i]) {
        case '\\':
        case '\'':
        case '"': c = static_cast<unsigned char>(s[i]); break;
        case 't': c = '\t'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 'x': {
          if (i + 2 >= n - 1) return false;
          int v = 0;
          for (int k = 1; k <= 2; ++k) {
            const char h = s[i + k];
            const int d = digit(h)                 ? h - '0'
                          : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                          : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                   : -1;
            if (d < 0) return false;
            v = v * 16 + d;
          }
          c = static_cast<unsigned char>(v);
          i += 2;
          break;
        }
        default: return false;
      }
    }
    out.put(&c, 1);
  }
  return true;
}

bool temporal_of_text(const char* s, size_t n, const coltype::ColumnType& t, int64_t* out) {
  const char* p = s;
  const char* end = s + n;
  __int128 nanos = 0;
  if (t.kind != coltype::Kind::Time) {
    int64_t days;
    if (n < 10 || !date_at(s, &days)) return false;
    p += 10;
    if (t.kind == coltype::Kind::Date) {
      *out = days;
      return p == end && days >= INT32_MIN && days <= INT32_MAX;
    }
    if (p == end || (*p != ' ' && *p != 'T' && *p != 't')) return false;
    ++p;
    nanos = days * kNanosPerDay;
  }
  int64_t tod;
  if (!time_at(p, end, &tod)) return false;
  nanos += tod;
  if (t.kind == coltype::Kind::TimestampTz) {
    if (p < end && (*p == 'Z' || *p == 'z')) {
      ++p;
    } else {
      if (end - p < 6 || (*p != '+' && *p != '-')) return false;
      const bool west = *p == '-';
      const int h = number(p + 1, 2), m = number(p + 4, 2);
      if (h < 0 || h > 23 || m < 0 || m > 59 || p[3] != ':') return false;
      p += 6;
      int64_t secs = (int64_t{h} * 60 + m) * 60;
      if (p < end && *p == ':') {  // str() of an offset with seconds
        const int sec = end - p >= 3 ? number(p + 1, 2) : -1;
        if (sec < 0 || sec > 59) return false;
        secs += sec;
        p += 3;
      }
      nanos -= (west ? -secs : secs) * __int128{1000000000};
    }
  }
  if (p != end) return false;
  const int64_t per = kNanosPerUnit[static_cast<size_t>(t.unit)];
  if (nanos % per != 0) return false;
  const __int128 v = nanos / per;
  if (v < INT64_MIN || v > INT64_MAX) return false;
  *out = static_cast<int64_t>(v);
  return true;
}

}  // namespace ondrel::decoder::text
