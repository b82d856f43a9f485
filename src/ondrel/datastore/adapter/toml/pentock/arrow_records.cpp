// Records from Arrow: each row of an imported stream written as one inline table, straight
// from the column buffers. The schema is read once; each value is written by its field's kind
// with no Python object made (a named time zone's offset is the one call into Python).
// The text is the dict path's for pyarrow's to_pylist() of the same rows.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "ondrel/_native/arrow_import.hpp"
#include "ondrel/_native/errors.hpp"
#include "ondrel/_native/utf8.hpp"
#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"
#include "ondrel/datastore/adapter/toml/pentock/temporal.hpp"

namespace ondrel::pentock {

namespace {

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

[[gnu::cold]] bool bad_data(const char* what) {
  PyErr_Format(PyExc_ValueError, "malformed Arrow data (%s)", what);
  return false;
}

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

bool json_null(const Field& f, const ArrowArray* a, int64_t j);

// Whether the value at j is present (not null), a dictionary's value included.
bool present(const Field& f, const ArrowArray* a, int64_t j);

// A dictionary's value, or a JSON text that holds null.
[[gnu::noinline]] bool present_slow(const Field& f, const ArrowArray* a, int64_t j) {
  if (f.values) {
    const int64_t idx = index_at(f, a, a->offset + j);
    // An index outside the dictionary is reported when the value is written.
    if (idx < 0 || idx >= a->dictionary->length) return true;
    return present(*f.values, a->dictionary, idx);
  }
  return !json_null(f, a, j);
}

inline bool present(const Field& f, const ArrowArray* a, int64_t j) {
  if (f.kind == Kind::Null) [[unlikely]]
    return false;
  const int64_t k = a->offset + j;
  if (a->null_count != 0 && a->buffers[0] != nullptr && !bit(a->buffers[0], k)) return false;
  if (f.values || f.kind == Kind::Json) [[unlikely]]
    return present_slow(f, a, j);
  return true;
}

// float16 to double, exactly.
double half_to_double(uint16_t h) {
  const int exp = (h >> 10) & 0x1F;
  const int mant = h & 0x3FF;
  double v;
  if (exp == 0) {
    v = std::ldexp(mant, -24);
  } else if (exp == 31) {
    v = mant != 0 ? NAN : INFINITY;
  } else {
    v = std::ldexp(mant + 1024, exp - 25);
  }
  return (h & 0x8000) != 0 ? -v : v;
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

// str() of a Decimal with this coefficient (little-endian two's complement of `bits`) and
// exponent -scale, quoted.
bool decimal_text(Buffer* buf, const ArrowArray* a, int64_t k, int bits, int32_t scale) {
  uint64_t limb[4] = {0, 0, 0, 0};
  const int n = bits / 64 > 0 ? bits / 64 : 1;
  const char* src = static_cast<const char*>(a->buffers[1]) + k * (bits / 8);
  bool negative;
  if (bits == 32) {
    int32_t v;
    std::memcpy(&v, src, 4);
    negative = v < 0;
    limb[0] = static_cast<uint64_t>(static_cast<int64_t>(v));
    limb[1] = limb[2] = limb[3] = negative ? ~uint64_t{0} : 0;
  } else {
    std::memcpy(limb, src, static_cast<size_t>(bits / 8));
    negative = (limb[n - 1] >> 63) != 0;
    for (int i = n; i < 4; ++i) limb[i] = negative ? ~uint64_t{0} : 0;
  }
  if (negative) {  // the magnitude: two's complement negation over all four limbs
    unsigned carry = 1;
    for (uint64_t& l : limb) {
      l = ~l + carry;
      carry = carry != 0 && l == 0;
    }
  }
  // Decimal digits, least significant first, nineteen at a time.
  char digits[80];
  int nd = 0;
  for (;;) {
    unsigned __int128 rem = 0;
    bool zero = true;
    for (int i = 3; i >= 0; --i) {
      const unsigned __int128 cur = (rem << 64) | limb[i];
      limb[i] = static_cast<uint64_t>(cur / 10000000000000000000ULL);
      rem = cur % 10000000000000000000ULL;
      zero = zero && limb[i] == 0;
    }
    auto r = static_cast<uint64_t>(rem);
    for (int i = 0; i < 19; ++i) {
      digits[nd++] = static_cast<char>('0' + r % 10);
      r /= 10;
      if (zero && r == 0) break;
    }
    if (zero) break;
  }
  while (nd > 1 && digits[nd - 1] == '0') --nd;  // leading zeros of the top group
  // Decimal.__str__: plain notation when the exponent is <= 0 and the adjusted exponent is
  // at least -6, else scientific.
  const int64_t exp = -int64_t{scale};
  const int64_t left = exp + nd;
  const int64_t dot = (exp <= 0 && left > -6) ? left : 1;
  if (!reserve(buf, static_cast<size_t>(nd) + 64 + (dot <= 0 ? static_cast<size_t>(-dot) : 0) +
                        (dot > nd ? static_cast<size_t>(dot - nd) : 0)))
    return false;
  char* o = buf->data + buf->pos;
  *o++ = '"';
  if (negative) *o++ = '-';
  auto digit = [&](int64_t i) { return digits[nd - 1 - i]; };  // most significant first
  if (dot <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int64_t i = 0; i < -dot; ++i) *o++ = '0';
    for (int64_t i = 0; i < nd; ++i) *o++ = digit(i);
  } else if (dot >= nd) {
    for (int64_t i = 0; i < nd; ++i) *o++ = digit(i);
    for (int64_t i = nd; i < dot; ++i) *o++ = '0';
  } else {
    for (int64_t i = 0; i < dot; ++i) *o++ = digit(i);
    *o++ = '.';
    for (int64_t i = dot; i < nd; ++i) *o++ = digit(i);
  }
  if (left != dot) {
    const int n2 = std::snprintf(o, 24, "E%+lld", static_cast<long long>(left - dot));
    o += n2;
  }
  *o++ = '"';
  buf->pos = static_cast<size_t>(o - buf->data);
  return true;
}

template <bool Esc>
bool json_to_buf(Buffer* buf, Bytes text, Ctx& cx);

template <bool Esc>
bool value(Buffer* buf, const Field& f, const ArrowArray* a, int64_t j, Ctx& cx);

// A field name in the path of a refusal, as the dict path names its key.
[[gnu::cold, gnu::noinline]] bool where_name(const std::string& name) {
  if (!where::active()) return false;
  PyObject* raised = PyErr_GetRaisedException();
  Ref key = Ref::steal(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return key ? where::key(key.get()) : where::field("[?]");
}

// The refusal of a key that cannot stand raw, made where the dict path makes it.
template <bool Esc>
[[gnu::cold, gnu::noinline]] bool refuse_key(Buffer* buf, const Field& f) {
  if (write_key_utf8<Esc>(buf, f.name.data(), f.name.size()))
    return bad_data("a refused key was written");
  if (!where::active()) return false;
  PyObject* raised = PyErr_GetRaisedException();
  Ref key = Ref::steal(
      PyUnicode_DecodeUTF8(f.name.data(), static_cast<Py_ssize_t>(f.name.size()), "replace"));
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return key ? where::key(key.get(), true) : where::field("[?]");
}

// An element inside an array: a null is refused, as the dict path refuses None there.
template <bool Esc>
inline bool element(Buffer* buf, const Field& f, const ArrowArray* a, int64_t j, Ctx& cx) {
  if (!present(f, a, j)) return where::none_in_array();
  return value<Esc>(buf, f, a, j, cx);
}

template <bool Esc>
bool items(Buffer* buf, const Field& child, const ArrowArray* c, int64_t start, int64_t end,
           Ctx& cx) {
  if (start < 0 || end < start || end > c->length) return bad_data("list offsets out of range");
  if (!put(buf, "[ ")) return false;
  for (int64_t i = start; i < end; ++i) {
    if (i != start && !insert_comma_space(buf)) return false;
    if (!element<Esc>(buf, child, c, i, cx)) return where::index(i - start);
  }
  return put(buf, " ]");
}

// The present fields of a struct value at position k of its children.
template <bool Esc>
bool fields(Buffer* buf, const Field& f, const ArrowArray* a, int64_t k, Ctx& cx) {
  bool written = false;
  for (size_t i = 0; i < f.children.size(); ++i) {
    const Field& c = f.children[i];
    const ArrowArray* ca = a->children[i];
    if (!present(c, ca, k)) continue;
    if (c.key_refused) return refuse_key<Esc>(buf, c);
    if (!reserve(buf, 2 + c.key.size())) return false;
    if (written) put_unchecked(buf, tok::B_COMMA_SPACE);
    put_unchecked(buf, c.key.data(), c.key.size());
    written = true;
    if (!value<Esc>(buf, c, ca, k, cx)) return where_name(c.name);
  }
  return true;
}

template <bool Esc>
bool value(Buffer* buf, const Field& f, const ArrowArray* a, int64_t j, Ctx& cx) {
  const int64_t k = a->offset + j;
  if (f.values) {
    const int64_t idx = index_at(f, a, k);
    if (idx < 0 || idx >= a->dictionary->length) return bad_data("dictionary index out of range");
    return value<Esc>(buf, *f.values, a->dictionary, idx, cx);
  }
  switch (f.kind) {
    case Kind::Null: return put(buf, tok::B_NULL);
    case Kind::Bool: return bit(a->buffers[1], k) ? insert_true(buf) : insert_false(buf);
    case Kind::Int8: return write_i64(buf, load<int8_t>(a, 1, k));
    case Kind::Int16: return write_i64(buf, load<int16_t>(a, 1, k));
    case Kind::Int32: return write_i64(buf, load<int32_t>(a, 1, k));
    case Kind::Int64: return write_i64(buf, load<int64_t>(a, 1, k));
    case Kind::UInt8: return write_u64(buf, load<uint8_t>(a, 1, k));
    case Kind::UInt16: return write_u64(buf, load<uint16_t>(a, 1, k));
    case Kind::UInt32: return write_u64(buf, load<uint32_t>(a, 1, k));
    case Kind::UInt64: return write_u64(buf, load<uint64_t>(a, 1, k));
    case Kind::Float16: return write_float(buf, half_to_double(load<uint16_t>(a, 1, k)));
    case Kind::Float32: return write_float(buf, static_cast<double>(load<float>(a, 1, k)));
    case Kind::Float64: return write_float(buf, load<double>(a, 1, k));
    case Kind::Utf8:
    case Kind::LargeUtf8:
    case Kind::Utf8View: {
      Bytes b{};
      if (!bytes_at(f.kind, 0, a, j, &b)) return false;
      if (!utf8::valid(b.data, b.size)) return bad_data("a string that is not UTF-8");
      return write_quoted_utf8<Esc>(buf, b.data, b.size);
    }
    case Kind::Binary:
    case Kind::LargeBinary:
    case Kind::BinaryView:
    case Kind::FixedBinary: {
      Bytes b{};
      if (!bytes_at(f.kind, f.width, a, j, &b) || !bytes_repr(cx.scratch, b)) return false;
      return write_quoted_utf8<Esc>(buf, cx.scratch->data, cx.scratch->pos);
    }
    case Kind::Decimal: return decimal_text(buf, a, k, f.width, f.scale);
    case Kind::Date32: return temporal::date_days(buf, load<int32_t>(a, 1, k), cx.toml_datetimes);
    case Kind::Date64: {
      const int64_t ms = load<int64_t>(a, 1, k);
      const int64_t days = ms / 86400000 - (ms % 86400000 < 0 ? 1 : 0);
      return temporal::date_days(buf, days, cx.toml_datetimes);
    }
    case Kind::Time: {
      const int64_t v = f.unit <= 1 ? load<int32_t>(a, 1, k) : load<int64_t>(a, 1, k);
      return temporal::time_of_day(buf, temporal::split(v, f.unit), cx.toml_datetimes);
    }
    case Kind::Timestamp: {
      const temporal::Split t = temporal::split(load<int64_t>(a, 1, k), f.unit);
      if (f.zone == Field::Zone::None)
        return temporal::timestamp(buf, t, nullptr, cx.toml_datetimes);
      temporal::Offset off = f.fixed;
      if (f.zone == Field::Zone::Named && !temporal::zone_offset(f.named.get(), t.seconds, &off))
        return false;
      return temporal::timestamp(buf, t, &off, cx.toml_datetimes);
    }
    case Kind::Duration: return temporal::duration(buf, load<int64_t>(a, 1, k), f.unit);
    case Kind::List:
      return items<Esc>(buf, f.children[0], a->children[0], load<int32_t>(a, 1, k),
                        load<int32_t>(a, 1, k + 1), cx);
    case Kind::LargeList:
      return items<Esc>(buf, f.children[0], a->children[0], load<int64_t>(a, 1, k),
                        load<int64_t>(a, 1, k + 1), cx);
    case Kind::ListView: {
      const int64_t start = load<int32_t>(a, 1, k);
      return items<Esc>(buf, f.children[0], a->children[0], start, start + load<int32_t>(a, 2, k),
                        cx);
    }
    case Kind::LargeListView: {
      const int64_t start = load<int64_t>(a, 1, k);
      int64_t end;
      if (__builtin_add_overflow(start, load<int64_t>(a, 2, k), &end))
        return bad_data("list view size");
      return items<Esc>(buf, f.children[0], a->children[0], start, end, cx);
    }
    case Kind::FixedList:
      return items<Esc>(buf, f.children[0], a->children[0], k * f.width, (k + 1) * f.width, cx);
    case Kind::Struct: return put(buf, "{ ") && fields<Esc>(buf, f, a, k, cx) && put(buf, " }");
    case Kind::Map: {
      // to_pylist() gives a list of (key, value) tuples: arrays of two.
      const Field& entry = f.children[0];
      const ArrowArray* ea = a->children[0];
      const int64_t start = load<int32_t>(a, 1, k);
      const int64_t end = load<int32_t>(a, 1, k + 1);
      if (start < 0 || end < start || end > ea->length) return bad_data("map offsets out of range");
      if (!put(buf, "[ ")) return false;
      for (int64_t i = start; i < end; ++i) {
        if (i != start && !insert_comma_space(buf)) return false;
        const int64_t p = ea->offset + i;
        if (!put(buf, "[ ")) return false;
        if (!element<Esc>(buf, entry.children[0], ea->children[0], p, cx))
          return where::index(0) || where::index(i - start);
        if (!insert_comma_space(buf)) return false;
        if (!element<Esc>(buf, entry.children[1], ea->children[1], p, cx))
          return where::index(1) || where::index(i - start);
        if (!put(buf, " ]")) return false;
      }
      return put(buf, " ]");
    }
    case Kind::Json: {
      Bytes b{};
      if (!bytes_at(f.storage, 0, a, j, &b)) return false;
      if (!utf8::valid(b.data, b.size)) return bad_data("a string that is not UTF-8");
      return json_to_buf<Esc>(buf, b, cx);
    }
  }
  return bad_data("unknown kind");
}

// ---- arrow.json: the reader's clash columns, written back as the TOML values they hold ----

struct Json {
  const char* p;
  const char* end;
  int depth;
};

inline void skip_ws(Json& s) {
  while (s.p != s.end && (*s.p == ' ' || *s.p == '\t' || *s.p == '\n' || *s.p == '\r')) ++s.p;
}

[[gnu::cold]] bool bad_json(const char* what = nullptr) {
  if (what == nullptr)
    PyErr_SetString(PyExc_ValueError, "malformed JSON text in an arrow.json column");
  else
    PyErr_Format(PyExc_ValueError, "malformed JSON text in an arrow.json column (%s)", what);
  return false;
}

inline int hex4(const char* p) {
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= c - '0';
    else if (c >= 'a' && c <= 'f')
      v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v |= c - 'A' + 10;
    else
      return -1;
  }
  return v;
}

// A JSON string at s.p (on the quote) decoded into `out` (UTF-8).
bool json_string(Json& s, Buffer* out) {
  out->pos = 0;
  ++s.p;
  for (;;) {
    const char* run = s.p;
    while (s.p != s.end && *s.p != '"' && *s.p != '\\') ++s.p;
    if (!put(out, run, static_cast<size_t>(s.p - run))) return false;
    if (s.p == s.end) return bad_json();
    if (*s.p == '"') {
      ++s.p;
      return true;
    }
    if (s.end - s.p < 2) return bad_json();
    const char e = s.p[1];
    s.p += 2;
    char c;
    switch (e) {
      case '"': c = '"'; break;
      case '\\': c = '\\'; break;
      case '/': c = '/'; break;
      case 'b': c = '\b'; break;
      case 'f': c = '\f'; break;
      case 'n': c = '\n'; break;
      case 'r': c = '\r'; break;
      case 't': c = '\t'; break;
      case 'u': {
        if (s.end - s.p < 4) return bad_json();
        uint32_t cp = static_cast<uint32_t>(hex4(s.p));
        if (static_cast<int>(cp) < 0) return bad_json();
        s.p += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && s.end - s.p >= 6 && s.p[0] == '\\' && s.p[1] == 'u') {
          const int lo = hex4(s.p + 2);
          if (lo >= 0xDC00 && lo < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<uint32_t>(lo - 0xDC00);
            s.p += 6;
          }
        }
        if (cp >= 0xD800 && cp < 0xE000) {
          PyErr_SetString(PyExc_ValueError, "a lone surrogate in an arrow.json column");
          return false;
        }
        char u[4];
        size_t n;
        if (cp < 0x80) {
          u[0] = static_cast<char>(cp);
          n = 1;
        } else if (cp < 0x800) {
          u[0] = static_cast<char>(0xC0 | (cp >> 6));
          u[1] = static_cast<char>(0x80 | (cp & 0x3F));
          n = 2;
        } else if (cp < 0x10000) {
          u[0] = static_cast<char>(0xE0 | (cp >> 12));
          u[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          u[2] = static_cast<char>(0x80 | (cp & 0x3F));
          n = 3;
        } else {
          u[0] = static_cast<char>(0xF0 | (cp >> 18));
          u[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          u[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          u[3] = static_cast<char>(0x80 | (cp & 0x3F));
          n = 4;
        }
        if (!put(out, u, n)) return false;
        continue;
      }
      default: return bad_json();
    }
    if (!put(out, &c, 1)) return false;
  }
}

inline bool literal(Json& s, const char* word, size_t n) {
  if (static_cast<size_t>(s.end - s.p) < n || std::memcmp(s.p, word, n) != 0) return false;
  s.p += n;
  return true;
}

template <bool Esc>
bool json_value(Buffer* buf, Json& s, Ctx& cx);

// The keys of one JSON object: JSON allows no key twice, and without escaping two written
// keys must not read as one (only a key that holds a backslash is read for that).
template <bool Esc>
class ObjectKeys {
 public:
  bool add(const std::string& key, bool written) {
    if (!names_.insert(key).second) {
      PyErr_Format(PyExc_ValueError,
                   "malformed JSON text in an arrow.json column (the key \"%s\" is given twice "
                   "in one object)",
                   key.c_str());
      return false;
    }
    if constexpr (!Esc) {
      if (!written) return true;
      std::string read = key;
      if (key.find('\\') != std::string::npos) {
        const size_t n = common::read_raw_escapes(key.data(), key.size(), read.data());
        if (n == common::kRawOk) return true;  // refused when it is written
        read.resize(n);
      }
      if (!read_.insert(read).second) {
        PyErr_Format(PyExc_ValueError,
                     "the JSON key \"%s\" reads as the key \"%s\" of the same object once "
                     "its escapes are read; pass escape_strings=True to have it escaped",
                     key.c_str(), read.c_str());
        return false;
      }
    }
    return true;
  }

 private:
  std::unordered_set<std::string> names_;
  std::unordered_set<std::string> read_;
};

inline bool is_digit(const char* p, const char* end) { return p != end && *p >= '0' && *p <= '9'; }

// A JSON number (-?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?), written as the dict path
// writes int(text) or float(text). What follows it is the caller's to check: "007" stops
// after its first 0.
bool json_number(Buffer* buf, Json& s) {
  const char* start = s.p;
  const char* p = s.p;
  if (p != s.end && *p == '-') ++p;
  if (!is_digit(p, s.end)) return bad_json("a value that is not JSON");
  if (*p++ != '0')
    while (is_digit(p, s.end)) ++p;
  else if (is_digit(p, s.end))
    return bad_json("a number with a leading zero");
  bool is_float = false;
  if (p != s.end && *p == '.') {
    is_float = true;
    if (!is_digit(++p, s.end)) return bad_json("a fraction without digits");
    while (is_digit(p, s.end)) ++p;
  }
  if (p != s.end && (*p == 'e' || *p == 'E')) {
    is_float = true;
    ++p;
    if (p != s.end && (*p == '+' || *p == '-')) ++p;
    if (!is_digit(p, s.end)) return bad_json("an exponent without digits");
    while (is_digit(p, s.end)) ++p;
  }
  s.p = p;
  const size_t n = static_cast<size_t>(p - start);
  if (!is_float) {
    // Integers keep their digits (any size); only "-0" reads as 0.
    if (n == 2 && start[0] == '-' && start[1] == '0') return put(buf, "0");
    return put(buf, start, n);
  }
  if (n > 400) return bad_json("a number longer than 400 characters");
  char tmp[402];
  std::memcpy(tmp, start, n);
  tmp[n] = '\0';
  return write_float(buf, std::strtod(tmp, nullptr));
}

template <bool Esc>
bool json_value(Buffer* buf, Json& s, Ctx& cx) {
  skip_ws(s);
  if (s.p == s.end) return bad_json();
  switch (*s.p) {
    case '"':
      return json_string(s, cx.scratch) &&
             write_quoted_utf8<Esc>(buf, cx.scratch->data, cx.scratch->pos);
    case 't': return literal(s, "true", 4) ? insert_true(buf) : bad_json();
    case 'f': return literal(s, "false", 5) ? insert_false(buf) : bad_json();
    // Members that are null are left out before this; what is left are array items.
    case 'n': return literal(s, "null", 4) ? where::none_in_array() : bad_json();
    case '[': {
      if (++s.depth > 64) return bad_json();
      ++s.p;
      if (!put(buf, "[ ")) return false;
      skip_ws(s);
      if (s.p != s.end && *s.p == ']') {
        ++s.p;
      } else {
        for (Py_ssize_t i = 0;; ++i) {
          if (i != 0 && !insert_comma_space(buf)) return false;
          if (!json_value<Esc>(buf, s, cx)) return where::index(i);
          skip_ws(s);
          if (s.p == s.end) return bad_json();
          if (*s.p++ == ']') break;
          if (s.p[-1] != ',') return bad_json();
        }
      }
      --s.depth;
      return put(buf, " ]");
    }
    case '{': {
      if (++s.depth > 64) return bad_json();
      ++s.p;
      if (!put(buf, "{ ")) return false;
      skip_ws(s);
      bool written = false;
      ObjectKeys<Esc> keys;
      if (s.p != s.end && *s.p == '}') {
        ++s.p;
      } else {
        for (;;) {
          skip_ws(s);
          if (s.p == s.end || *s.p != '"' || !json_string(s, cx.scratch)) return bad_json();
          skip_ws(s);
          if (s.p == s.end || *s.p != ':') return bad_json();
          ++s.p;
          skip_ws(s);
          // The key is kept for a refusal: the value's text overwrites the scratch buffer.
          const std::string key(cx.scratch->data, cx.scratch->pos);
          // None members are left out of tables, as the dict path does.
          const bool null = literal(s, "null", 4);
          if (!keys.add(key, !null)) return false;
          if (!null) {
            if (written && !insert_comma_space(buf)) return false;
            if (!write_key_utf8<Esc>(buf, key.data(), key.size())) return where_name(key);
            if (!insert_equals(buf)) return false;
            if (!json_value<Esc>(buf, s, cx)) return where_name(key);
            written = true;
          }
          skip_ws(s);
          if (s.p == s.end) return bad_json();
          if (*s.p++ == '}') break;
          if (s.p[-1] != ',') return bad_json();
        }
      }
      --s.depth;
      return put(buf, " }");
    }
    default: return json_number(buf, s);
  }
}

template <bool Esc>
bool json_to_buf(Buffer* buf, Bytes text, Ctx& cx) {
  Json s{text.data, text.data + text.size, 0};
  if (!json_value<Esc>(buf, s, cx)) return false;
  skip_ws(s);
  return s.p == s.end || bad_json();
}

// A JSON column holding the text null is None in the dict path: the key is left out.
bool json_null(const Field& f, const ArrowArray* a, int64_t j) {
  Bytes b{};
  if (!bytes_at(f.storage, 0, a, j, &b)) {
    PyErr_Clear();
    return false;
  }
  Json s{b.data, b.data + b.size, 0};
  skip_ws(s);
  if (!literal(s, "null", 4)) return false;
  skip_ws(s);
  return s.p == s.end;
}

// Names the row and column of a failure in its message, keeping the exception's type.
[[gnu::cold, gnu::noinline]] bool locate(PyObject* table, int64_t row, const Field& column) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_RecursionError))
    return false;
  if (PyErr_ExceptionMatches(PyExc_UnicodeError) || PyErr_ExceptionMatches(PyExc_OSError)) {
    // Their constructors take more than a message: the place goes into a note.
    errors::add_note("while encoding tables.%U.records[%lld].%s", table,
                     static_cast<long long>(row), column.name.c_str());
    return false;
  }
  PyObject* exc = PyErr_GetRaisedException();
  Ref held = Ref::steal(exc);
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text) return false;
  PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "tables.%U.records[%lld].%s: %U", table,
               static_cast<long long>(row), column.name.c_str(), text.get());
  return false;
}

// The rest of a refusal's path, as the dict path names a record.
[[gnu::cold, gnu::noinline]] bool where_row(PyObject* table, int64_t row) {
  where::index(static_cast<Py_ssize_t>(row));
  where::field(".records");
  where::key(table);
  return where::field("tables");
}

template <bool Esc>
bool batch_to_buf(Buffer* buf, const Field& root, const ArrowArray* batch, PyObject* table,
                  int64_t first_row, Ctx& cx) {
  const size_t ncols = root.children.size();
  for (int64_t i = 0; i < batch->length; ++i) {
    const int64_t k = batch->offset + i;
    if (!reserve(buf, 6)) return false;
    put_unchecked(buf, tok::B_INDENT);
    put_unchecked(buf, "{ ");
    bool written = false;
    for (size_t c = 0; c < ncols; ++c) {
      const Field& f = root.children[c];
      const ArrowArray* ca = batch->children[c];
      if (!present(f, ca, k)) continue;
      const int64_t row = first_row + i;
      if (f.key_refused) return refuse_key<Esc>(buf, f) || where_row(table, row);
      if (!reserve(buf, 2 + f.key.size())) return false;
      if (written) put_unchecked(buf, tok::B_COMMA_SPACE);
      put_unchecked(buf, f.key.data(), f.key.size());
      written = true;
      if (!value<Esc>(buf, f, ca, k, cx)) {
        if (!where::active()) return locate(table, row, f);
        return where_name(f.name) || where_row(table, row);
      }
    }
    if (!put(buf, " },\n")) return false;
  }
  return true;
}

// The source's own error, or the stream's, with the table it was for.
[[gnu::cold, gnu::noinline]] bool stream_failed(PyObject* table) {
  errors::add_note("while reading the Arrow records of table %R", table);
  return false;
}

[[gnu::cold, gnu::noinline]] bool spent_reader(PyObject* table, PyObject* source) {
  PyErr_Format(PyExc_ValueError,
               "the Arrow records of table %R are a %.200s whose stream an earlier save or "
               "encode has taken: a reader is read once, and read again it would save a table "
               "without its rows; give a pyarrow Table (reader.read_all()) to save them more "
               "than once",
               table, Py_TYPE(source)->tp_name);
  return false;
}

struct ScratchOwner {
  Buffer* buf = common::buf_new(256);
  ~ScratchOwner() { common::buf_free(buf); }
};

template <bool Esc>
bool records_to_buf(Buffer* buf, const CTableData* table, bool toml_datetimes) {
  PyObject* name = table->name;
  const int spent = arrow::take_stream_once(table->arrow);
  if (spent < 0) return stream_failed(name);
  if (spent > 0) return spent_reader(name, table->arrow);
  arrow::StreamOwner stream;
  if (!arrow::import_stream(table->arrow, stream)) return stream_failed(name);
  arrow::SchemaOwner schema;
  int rc = stream->get_schema(stream.get(), schema.get());
  if (rc != 0) {
    arrow::raise_stream_error(stream.get(), rc, "reading the Arrow schema failed");
    return stream_failed(name);
  }
  Field root;
  if (!arrowin::read_schema(schema.get(), name, Esc, root))
    return PyErr_ExceptionMatches(PyExc_MemoryError) ? stream_failed(name) : false;
  ScratchOwner scratch;
  if (scratch.buf == nullptr) return no_memory();
  Ctx cx{toml_datetimes, scratch.buf};
  int64_t rows = 0;
  for (;;) {
    arrow::ArrayOwner batch;
    rc = stream->get_next(stream.get(), batch.get());
    if (rc != 0) {
      arrow::raise_stream_error(stream.get(), rc, "reading the Arrow stream failed");
      return stream_failed(name);
    }
    if (!batch.live()) return true;  // the end of the stream
    if (!arrowin::check_batch(batch.get(), root, name)) return false;
    if (!batch_to_buf<Esc>(buf, root, batch.get(), name, rows, cx)) return false;
    rows += batch->length;
  }
}

}  // namespace

template <bool Esc>
bool arrow_records_to_buf(Buffer* buf, const CTableData* table, bool toml_datetimes) {
  // The schema's child counts size vectors: a count no vector can hold (length_error), or no
  // memory, must not unwind into the interpreter.
  try {
    return records_to_buf<Esc>(buf, table, toml_datetimes);
  } catch (const std::bad_alloc&) {
    return no_memory() || stream_failed(table->name);
  } catch (const std::length_error&) {
    return no_memory() || stream_failed(table->name);
  }
}

template bool arrow_records_to_buf<false>(Buffer*, const CTableData*, bool);
template bool arrow_records_to_buf<true>(Buffer*, const CTableData*, bool);

}  // namespace ondrel::pentock
