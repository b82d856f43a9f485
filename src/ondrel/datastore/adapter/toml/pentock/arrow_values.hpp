// Records from Arrow, shared by the value writers: the reading of values from the column
// buffers (inline, for the hot loop) and the writer of each family of values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock::arrowout {

using arrowin::Field;
using arrowin::Kind;

struct Ctx {
  bool toml_datetimes;
  Buffer* scratch;  // reused for text that is built before it is quoted
};

template <class T>
inline T load(const ArrowArray* a, int64_t i, int64_t k) {
  T v;
  std::memcpy(&v, static_cast<const char*>(a->buffers[i]) + k * static_cast<int64_t>(sizeof(T)),
              sizeof v);
  return v;
}

inline bool bit(const void* bits, int64_t k) {
  return (static_cast<const uint8_t*>(bits)[k >> 3] >> (k & 7)) & 1;
}

// ValueError "malformed Arrow data (<what>)"; returns false.
[[gnu::cold, gnu::noinline]] bool bad_data(const char* what);

// A dictionary index as int64 (the index kinds are the integer kinds).
inline int64_t index_at(const Field& f, const ArrowArray* a, int64_t k) {
  switch (f.kind) {
    case Kind::Int8: return load<int8_t>(a, 1, k);
    case Kind::Int16: return load<int16_t>(a, 1, k);
    case Kind::Int32: return load<int32_t>(a, 1, k);
    case Kind::UInt8: return load<uint8_t>(a, 1, k);
    case Kind::UInt16: return load<uint16_t>(a, 1, k);
    case Kind::UInt32: return load<uint32_t>(a, 1, k);
    case Kind::UInt64: {
      const auto v = load<uint64_t>(a, 1, k);
      return v > INT64_MAX ? -1 : static_cast<int64_t>(v);
    }
    default: return load<int64_t>(a, 1, k);
  }
}

struct Bytes {
  const char* data;
  size_t size;
};

// The bytes of a string or binary value at position j (before the array's offset).
inline bool bytes_at(Kind layout, int32_t width, const ArrowArray* a, int64_t j, Bytes* out) {
  const int64_t k = a->offset + j;
  // The data buffer holds what the last offset says: every value stays before it.
  int64_t start, end, last;
  switch (layout) {
    case Kind::Utf8:
    case Kind::Binary:
      start = load<int32_t>(a, 1, k);
      end = load<int32_t>(a, 1, k + 1);
      last = load<int32_t>(a, 1, a->offset + a->length);
      break;
    case Kind::LargeUtf8:
    case Kind::LargeBinary:
      start = load<int64_t>(a, 1, k);
      end = load<int64_t>(a, 1, k + 1);
      last = load<int64_t>(a, 1, a->offset + a->length);
      break;
    case Kind::FixedBinary:
      out->data = static_cast<const char*>(a->buffers[1]) + k * width;
      out->size = static_cast<size_t>(width);
      return true;
    default: {  // views: 16 bytes each, inline up to 12 bytes, else (prefix, buffer, offset)
      const char* view = static_cast<const char*>(a->buffers[1]) + k * 16;
      int32_t len;
      std::memcpy(&len, view, 4);
      if (len < 0) return bad_data("negative view length");
      if (len <= 12) {
        out->data = view + 4;
      } else {
        int32_t index, offset;
        std::memcpy(&index, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        // n_buffers counts validity, views, the data buffers and the trailing sizes.
        if (index < 0 || index >= a->n_buffers - 3 || offset < 0 ||
            a->buffers[2 + index] == nullptr || a->buffers[a->n_buffers - 1] == nullptr ||
            int64_t{offset} + len > load<int64_t>(a, a->n_buffers - 1, index))
          return bad_data("view outside its buffers");
        out->data = static_cast<const char*>(a->buffers[2 + index]) + offset;
      }
      out->size = static_cast<size_t>(len);
      return true;
    }
  }
  if (start < 0 || end < start || end > last) return bad_data("string offsets out of order");
  out->data = static_cast<const char*>(a->buffers[2]) + start;
  out->size = static_cast<size_t>(end - start);
  return true;
}

// A JSON column's text that is null: None in the dict path, so the key is left out.
bool json_null(const Field& f, const ArrowArray* a, int64_t j);

// A dictionary's value, or a JSON text that holds null.
[[gnu::noinline]] bool present_slow(const Field& f, const ArrowArray* a, int64_t j);

// Whether the value at j is present (not null), a dictionary's value included.
inline bool present(const Field& f, const ArrowArray* a, int64_t j) {
  if (f.kind == Kind::Null) [[unlikely]]
    return false;
  const int64_t k = a->offset + j;
  if (a->null_count != 0 && a->buffers[0] != nullptr && !bit(a->buffers[0], k)) return false;
  if (f.values || f.kind == Kind::Json) [[unlikely]]
    return present_slow(f, a, j);
  return true;
}

// ---- the families of values; each appends, or returns false with an exception set ----

// Numbers (arrow_numbers.cpp): float16 widened exactly; str() of a Decimal, quoted.
double half_to_double(uint16_t h);
bool decimal_text(Buffer* buf, const ArrowArray* a, int64_t k, int bits, int32_t scale);

// Bytes (arrow_bytes.cpp): repr() of the bytes into `out` (the scratch buffer), for quoting;
// a UUID as its canonical text, quoted.
bool bytes_repr(Buffer* out, Bytes b);
bool uuid_text(Buffer* buf, const ArrowArray* a, int64_t k);

// Intervals and durations (arrow_bytes.cpp), quoted in the vocabulary's text forms.
bool interval_text(Buffer* buf, const Field& f, const ArrowArray* a, int64_t k);
bool duration_text(Buffer* buf, const Field& f, const ArrowArray* a, int64_t k);

// arrow.json text (arrow_json.cpp): the TOML values it holds.
template <bool Esc>
bool json_to_buf(Buffer* buf, Bytes text, Ctx& cx);

// Any value (arrow_values.cpp), by its field's kind; nested values recurse.
template <bool Esc>
bool value(Buffer* buf, const Field& f, const ArrowArray* a, int64_t j, Ctx& cx);

// A field name in the path of a refusal, as the dict path names its key.
[[gnu::cold, gnu::noinline]] bool where_name(const std::string& name);

// The refusal of a key that cannot stand raw, made where the dict path makes it.
template <bool Esc>
[[gnu::cold, gnu::noinline]] bool refuse_key(Buffer* buf, const Field& f);

}  // namespace ondrel::pentock::arrowout
