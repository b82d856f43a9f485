// JSON text of column values, byte for byte what json.dumps(value, ensure_ascii=False,
// separators=(",", ":")) writes for the dict reader's value (dates and times as isoformat()).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "ondrel/_native/float_repr.hpp"
#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"

namespace ondrel::decoder {

namespace {

constexpr int64_t kMicrosPerDay = int64_t{86400} * 1000000;

// Two digits, or four for a year.
void put_digits(char*& o, int v, int n) {
  for (int k = n - 1; k >= 0; --k) {
    o[k] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  o += n;
}

// HH:MM:SS, then .ffffff when the microseconds are not zero.
void put_time(char*& o, int64_t micros) {
  const auto secs = static_cast<int>(micros / 1000000);
  const auto us = static_cast<int>(micros % 1000000);
  put_digits(o, secs / 3600, 2);
  *o++ = ':';
  put_digits(o, secs / 60 % 60, 2);
  *o++ = ':';
  put_digits(o, secs % 60, 2);
  if (us != 0) {
    *o++ = '.';
    put_digits(o, us, 6);
  }
}

void put_date(char*& o, int64_t days) {
  const civil::Date c = civil::civil_from_days(days);
  put_digits(o, static_cast<int>(c.year), 4);
  *o++ = '-';
  put_digits(o, static_cast<int>(c.month), 2);
  *o++ = '-';
  put_digits(o, static_cast<int>(c.day), 2);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

bool json_string(Buf& out, const char* s, size_t n) {
  if (n > (SIZE_MAX - 2) / 6) return PyErr_NoMemory(), false;
  if (!out.reserve(n * 6 + 2)) return false;
  char buf[8];
  out.put("\"", 1);
  size_t run = 0;  // bytes kept as they are, copied in one go
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.put(s + run, i - run);
    run = i + 1;
    const char* esc = nullptr;
    switch (c) {
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      case '\t': esc = "\\t"; break;
      case '\b': esc = "\\b"; break;
      case '\f': esc = "\\f"; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        std::memcpy(buf, "\\u00", 4);
        buf[4] = kHex[c >> 4];
        buf[5] = kHex[c & 15];
        out.put(buf, 6);
        continue;
      }
    }
    out.put(esc, 2);
  }
  out.put(s + run, n - run);
  out.put("\"", 1);
  return true;
}

bool json_int(Buf& out, int64_t v) {
  if (!out.reserve(24)) return false;
  char buf[24];
  const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  out.put(buf, static_cast<size_t>(end - buf));
  return true;
}

bool json_float(Buf& out, double v) {
  if (std::isnan(v)) return out.append("NaN", 3);
  if (std::isinf(v)) return v < 0 ? out.append("-Infinity", 9) : out.append("Infinity", 8);
  char buf[kFloatReprMax];
  return out.append(buf, static_cast<size_t>(float_repr(buf, v) - buf));
}

bool json_datetime(Buf& out, int64_t local_micros, bool has_offset, int offset_minutes) {
  char buf[48];
  char* o = buf;
  const int64_t days = floor_div(local_micros, kMicrosPerDay);
  *o++ = '"';
  put_date(o, days);
  *o++ = 'T';
  put_time(o, local_micros - days * kMicrosPerDay);
  if (has_offset) {
    *o++ = offset_minutes < 0 ? '-' : '+';
    const int a = std::abs(offset_minutes);
    put_digits(o, a / 60, 2);
    *o++ = ':';
    put_digits(o, a % 60, 2);
  }
  *o++ = '"';
  return out.append(buf, static_cast<size_t>(o - buf));
}

bool json_date(Buf& out, int32_t days) {
  char buf[16];
  char* o = buf;
  *o++ = '"';
  put_date(o, days);
  *o++ = '"';
  return out.append(buf, static_cast<size_t>(o - buf));
}

bool json_time(Buf& out, int64_t micros) {
  char buf[24];
  char* o = buf;
  *o++ = '"';
  put_time(o, micros);
  *o++ = '"';
  return out.append(buf, static_cast<size_t>(o - buf));
}

bool Column::json_at(size_t i, Buf& out) const {
  int64_t v = 0;
  if (kind_width(kind_) == 8) std::memcpy(&v, values_.data() + i * 8, 8);
  switch (kind_) {
    case ColumnKind::Null: return out.append("null", 4);
    case ColumnKind::Bool: return bools_.get(i) ? out.append("true", 4) : out.append("false", 5);
    case ColumnKind::Int: return json_int(out, v);
    case ColumnKind::Float: {
      if (has_ints_ && int_rows_.get(i)) {
        std::memcpy(&v, ints_.data() + i * 8, 8);
        return json_int(out, v);
      }
      double d;
      std::memcpy(&d, values_.data() + i * 8, 8);
      return json_float(out, d);
    }
    case ColumnKind::String:
    case ColumnKind::Json: {
      const uint64_t a = offset_at(i), b = offset_at(i + 1);
      const char* s = reinterpret_cast<const char*>(data_.data()) + a;
      return kind_ == ColumnKind::Json ? out.append(s, b - a) : json_string(out, s, b - a);
    }
    case ColumnKind::TsUtc: {
      int16_t off;
      std::memcpy(&off, tz_.data() + i * 2, 2);
      return json_datetime(out, v + int64_t{off} * 60000000, true, off);
    }
    case ColumnKind::TsLocal: return json_datetime(out, v, false, 0);
    case ColumnKind::Date: {
      int32_t days;
      std::memcpy(&days, values_.data() + i * 4, 4);
      return json_date(out, days);
    }
    case ColumnKind::Time: return json_time(out, v);
    case ColumnKind::List: {
      const uint64_t a = offset_at(i), b = offset_at(i + 1);
      if (!out.append("[", 1)) return false;
      for (uint64_t j = a; j < b; ++j) {
        if (j != a && !out.append(",", 1)) return false;
        if (!child_->json_at(j, out)) return false;
      }
      return out.append("]", 1);
    }
    case ColumnKind::Struct: break;
    case ColumnKind::Fixed:  // declared columns never turn to JSON text
    case ColumnKind::Binary:
    case ColumnKind::Map: return out.append("null", 4);
  }
  // A struct: its fields in this row's own order, absent ones left out.
  const auto row = std::lower_bound(
      row_orders_.begin(), row_orders_.end(), i,
      [](const std::pair<size_t, std::vector<uint32_t>>& e, size_t r) { return e.first < r; });
  const bool own = row != row_orders_.end() && row->first == i;
  const size_t n = own ? row->second.size() : fields_.size();
  if (!out.append("{", 1)) return false;
  bool first = true;
  for (size_t k = 0; k < n; ++k) {
    const Column& f = *fields_[own ? row->second[k] : k];
    if (!f.valid_.get(i)) continue;
    if (!first && !out.append(",", 1)) return false;
    first = false;
    if (!json_string(out, f.name_.data(), f.name_.size()) || !out.append(":", 1) ||
        !f.json_at(i, out))
      return false;
  }
  return out.append("}", 1);
}

}  // namespace ondrel::decoder
