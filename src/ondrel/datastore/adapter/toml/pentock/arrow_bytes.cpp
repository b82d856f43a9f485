// Records from Arrow: binary values, UUIDs, intervals and durations as quoted text.
#include "ondrel/_native/column_types.hpp"
#include "ondrel/datastore/adapter/toml/pentock/arrow_values.hpp"

namespace ondrel::pentock::arrowout {

bool bad_data(const char* what) {
  PyErr_Format(PyExc_ValueError, "malformed Arrow data (%s)", what);
  return false;
}

bool present_slow(const Field& f, const ArrowArray* a, int64_t j) {
  if (f.values) {
    const int64_t idx = index_at(f, a, a->offset + j);
    // An index outside the dictionary is reported when the value is written.
    if (idx < 0 || idx >= a->dictionary->length) return true;
    return present(*f.values, a->dictionary, idx);
  }
  return !json_null(f, a, j);
}

// repr() of bytes: b'...' (b"..." when the bytes hold ' and no "), into the scratch buffer.
bool bytes_repr(Buffer* out, Bytes b) {
  const auto* p = reinterpret_cast<const unsigned char*>(b.data);
  const bool dq =
      std::memchr(b.data, '\'', b.size) != nullptr && std::memchr(b.data, '"', b.size) == nullptr;
  const char quote = dq ? '"' : '\'';
  size_t room;
  if (__builtin_mul_overflow(b.size, size_t{4}, &room) ||
      __builtin_add_overflow(room, size_t{3}, &room))
    return no_memory();
  out->pos = 0;
  if (!reserve(out, room)) return false;
  char* o = out->data;
  *o++ = 'b';
  *o++ = quote;
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < b.size; ++i) {
    const unsigned char c = p[i];
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      *o++ = '\\';
      *o++ = static_cast<char>(c);
    } else if (c == '\t') {
      *o++ = '\\';
      *o++ = 't';
    } else if (c == '\n') {
      *o++ = '\\';
      *o++ = 'n';
    } else if (c == '\r') {
      *o++ = '\\';
      *o++ = 'r';
    } else if (c < 0x20 || c >= 0x7F) {
      *o++ = '\\';
      *o++ = 'x';
      *o++ = kHex[c >> 4];
      *o++ = kHex[c & 15];
    } else {
      *o++ = static_cast<char>(c);
    }
  }
  *o++ = quote;
  out->pos = static_cast<size_t>(o - out->data);
  return true;
}

namespace {

// "<text>", the text ASCII that needs no escaping.
bool quoted_ascii(Buffer* buf, const char* text, size_t n) {
  if (!reserve(buf, n + 2)) return false;
  put_unchecked(buf, tok::B_QUOTE);
  put_unchecked(buf, text, n);
  put_unchecked(buf, tok::B_QUOTE);
  return true;
}

}  // namespace

bool uuid_text(Buffer* buf, const ArrowArray* a, int64_t k) {
  char text[coltype::kTextMax];
  const auto* bytes = static_cast<const unsigned char*>(a->buffers[1]) + k * 16;
  return quoted_ascii(buf, text, coltype::format_uuid(bytes, text));
}

bool interval_text(Buffer* buf, const Field& f, const ArrowArray* a, int64_t k) {
  int32_t months = 0, days = 0;
  int64_t nanos = 0;
  if (f.unit == 0) {
    months = load<int32_t>(a, 1, k);
  } else if (f.unit == 1) {  // days and milliseconds
    days = load<int32_t>(a, 1, 2 * k);
    nanos = int64_t{load<int32_t>(a, 1, 2 * k + 1)} * 1000000;
  } else {  // months, days and nanoseconds: 16 bytes a value
    const char* p = static_cast<const char*>(a->buffers[1]) + k * 16;
    std::memcpy(&months, p, 4);
    std::memcpy(&days, p + 4, 4);
    std::memcpy(&nanos, p + 8, 8);
  }
  char text[coltype::kTextMax];
  return quoted_ascii(buf, text, coltype::format_interval(months, days, nanos, text));
}

bool duration_text(Buffer* buf, const Field& f, const ArrowArray* a, int64_t k) {
  char text[coltype::kTextMax];
  const auto unit = static_cast<coltype::Unit>(f.unit);
  return quoted_ascii(buf, text, coltype::format_duration(load<int64_t>(a, 1, k), unit, text));
}

}  // namespace ondrel::pentock::arrowout
