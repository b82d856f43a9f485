// Typed column builders for records="arrow": values go into growing typed buffers (no Python
// object per value), each column settling its Arrow type as values arrive. The parser's sink
// and the conversion of a dict reader's records both drive the same calls.
//
// Type rules: null until the first value; int64 widened to float64 in place when a float
// arrives; a list's elements share one child builder; a struct has one child per key (union,
// first-appearance order). Any other clash re-encodes the column as arrow.json text, exactly
// as json.dumps(value, ensure_ascii=False, separators=(",", ":")) writes the dict reader's value.
//
// Every call returns false or null with a Python exception set (MemoryError when a buffer
// cannot grow); on failure the whole builder is to be dropped.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ondrel/_native/arrow_export.hpp"
#include "ondrel/_native/civil.hpp"
#include "ondrel/_native/ref.hpp"

namespace ondrel::decoder {

using arrow::ArrowNode;

// A growable malloc'd byte buffer.
class Buf {
 public:
  Buf() = default;
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
  Buf(Buf&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  Buf& operator=(Buf&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~Buf() { std::free(data_); }

  unsigned char* data() const { return data_; }
  size_t size() const { return size_; }
  // Room for n more bytes; false with MemoryError set.
  bool reserve(size_t n) { return cap_ - size_ >= n || grow(n); }
  // Only after reserve().
  void put(const void* p, size_t n) {
    // reserve() made data_ non-null for any n > 0.
    if (n != 0)
      __builtin_memcpy(data_ + size_, p, n);  // NOLINT(clang-analyzer-unix.cstring.NullArg)
    size_ += n;
  }
  bool append(const void* p, size_t n) { return reserve(n) && (put(p, n), true); }
  template <class T>
  bool push(T v) {
    return append(&v, sizeof v);
  }
  bool zeros(size_t n);
  void clear() { size_ = 0; }
  // Hands the memory over (never null, so every exported buffer has an address).
  void* take();

 private:
  bool grow(size_t n);
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// A bitmap, least significant bit first.
class Bits {
 public:
  bool push(bool v) {
    if ((n_ & 7) == 0 && !buf_.push<unsigned char>(0)) return false;
    if (v) buf_.data()[n_ >> 3] |= static_cast<unsigned char>(1u << (n_ & 7));
    ++n_;
    return true;
  }
  bool get(size_t i) const { return (buf_.data()[i >> 3] >> (i & 7)) & 1; }
  void* take() { return buf_.take(); }
  void reset() { *this = Bits(); }

 private:
  Buf buf_;
  size_t n_ = 0;
};

enum class ColumnKind : uint8_t {
  Null,
  Bool,
  Int,
  Float,
  String,
  TsUtc,
  TsLocal,
  Date,
  Time,
  List,
  Struct,
  Json
};

// Bytes per value of the fixed-width kinds; 0 for the others.
inline size_t kind_width(ColumnKind k) {
  switch (k) {
    case ColumnKind::Int:
    case ColumnKind::Float:
    case ColumnKind::TsUtc:
    case ColumnKind::TsLocal:
    case ColumnKind::Time: return 8;
    case ColumnKind::Date: return 4;
    default: return 0;
  }
}

// Result of append_object: an int beyond 64 bits is reported to the caller, who names the
// table, column and record in the ValueError.
enum class Appended : uint8_t { Ok, Error, Overflow };

// A str may hold a lone surrogate; UTF-8 cannot, and Arrow strings and field names are UTF-8.
// Sets the ValueError values and keys share.
void raise_lone_surrogate(uint32_t c);
// The UTF-8 of an exact str (cached in it), or null with an exception set: that ValueError for
// a lone surrogate, where the interpreter would raise UnicodeEncodeError.
const char* str_utf8(PyObject* s, Py_ssize_t* n);

class Column {
 public:
  explicit Column(std::string name) : name_(std::move(name)) {}
  // Levels of lists and inline tables below the record, deepest field included. pyarrow 26
  // refuses to import an ArrowSchema nested deeper than 64 levels counting the record's own
  // struct; a deeper table would decode here and then fail in every pyarrow consumer.
  static constexpr uint32_t kMaxDepth = 63;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  size_t length() const { return length_; }
  ColumnKind kind() const { return kind_; }
  const std::string& name() const { return name_; }

  bool append_null();
  bool append_bool(bool v);
  bool append_int(int64_t v);
  bool append_float(double v);
  bool append_string_utf8(const char* s, size_t n);
  // A str's code units (Latin-1, UCS-2 or UCS-4), encoded to UTF-8 on the way in.
  template <class U>
  bool append_string_units(const U* s, size_t n);
  bool append_offset_datetime(int64_t utc_micros, int offset_minutes);
  bool append_local_datetime(int64_t micros);
  bool append_date(int32_t days);    // days since 1970-01-01
  bool append_time(int64_t micros);  // since midnight
  // The builder of the list's elements (append to it, then end_list), or null.
  Column* begin_list();
  bool end_list();
  bool begin_struct();
  // The builder of the field `key` (an exact str) in the open struct, or null: with
  // *duplicate true and no exception when the key was given before in this struct.
  Column* field(PyObject* key, bool* duplicate);
  bool end_struct();  // absent fields become null
  // A Python value as the dict reader gives it (exact types; RecursionGuard on nesting).
  Appended append_object(PyObject* value);
  // The items of `dict` (held by the caller) as fields of the open struct row; on Overflow,
  // `overflow_key` (if given) receives the key whose value holds the integer.
  Appended append_fields(PyObject* dict, Ref* overflow_key);

  // Moves the buffers into `out`; the builder is spent.
  bool finish(ArrowNode& out);
  // Finishes a top-level records builder: the declared names first (a name no record has
  // gives an all-null column), then the other keys in order of first appearance.
  bool finish_records(const std::vector<Ref>& declared, ArrowNode& out);

  // Writes value i (valid) as JSON text.
  bool json_at(size_t i, Buf& out) const;

 private:
  bool prepare(ColumnKind k);
  bool become(ColumnKind k);
  bool to_json();
  bool push_offset(size_t end);
  bool end_text_row();
  bool valid_row();
  bool emit_scratch();
  bool widen_to_float();
  Column* add_field(PyObject* key);
  // A new child builder one level below this one, or null with an exception set.
  std::unique_ptr<Column> make_child(std::string name);
  bool open_scratch();
  uint64_t offset_at(size_t i) const;
  void drop_storage();

  std::string name_;  // UTF-8
  ColumnKind kind_ = ColumnKind::Null;
  bool large_ = false;  // offsets are int64
  size_t length_ = 0;
  size_t null_count_ = 0;
  Bits valid_;
  Bits bools_;
  Buf values_;  // int64, double, int32 days or int64 micros
  Buf tz_;      // int16 offset minutes of each offset date-time (for JSON)
  Buf ints_;    // a widened column's original int64 values, and which rows they are
  Bits int_rows_;
  bool has_ints_ = false;
  Buf offsets_;  // strings, JSON text and lists
  Buf data_;
  std::unique_ptr<Column> child_;                // list elements
  std::vector<std::unique_ptr<Column>> fields_;  // struct fields
  std::vector<Ref> keys_;                        // their keys (str)
  size_t hint_ = 0;                              // the field expected next
  // Levels of lists and structs above this column. Exports and their release (on any thread,
  // maybe a small stack) recurse this deep, so it is bounded.
  uint32_t depth_ = 0;
  std::vector<uint32_t> order_;  // fields given in the open struct row
  std::vector<std::pair<size_t, std::vector<uint32_t>>> row_orders_;  // rows not in field order
  std::unique_ptr<Column> scratch_;  // a container value of a JSON column, being built
  Buf units_;                        // UTF-8 of a str given in code units
};

template <class U>
bool Column::append_string_units(const U* s, size_t n) {
  if (n > SIZE_MAX / 4) return PyErr_NoMemory(), false;
  units_.clear();
  if (!units_.reserve(n * 4)) return false;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = s[i];
    unsigned char b[4];
    size_t k;
    if (c < 0x80) {
      b[0] = static_cast<unsigned char>(c);
      k = 1;
    } else if (c < 0x800) {
      b[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      b[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      k = 2;
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) [[unlikely]]
        return raise_lone_surrogate(c), false;
      b[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      b[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      b[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      k = 3;
    } else {
      b[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      b[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      b[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      b[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      k = 4;
    }
    units_.put(b, k);
  }
  return append_string_utf8(reinterpret_cast<const char*>(units_.data()), units_.size());
}

using civil::days_from_civil;

// JSON text of scalars, as json.dumps writes them.
bool json_string(Buf& out, const char* s, size_t n);
bool json_int(Buf& out, int64_t v);
bool json_float(Buf& out, double v);
// isoformat() text (quoted) of date-times, dates and times held as microseconds / days.
bool json_datetime(Buf& out, int64_t local_micros, bool has_offset, int offset_minutes);
bool json_date(Buf& out, int32_t days);
bool json_time(Buf& out, int64_t micros);

}  // namespace ondrel::decoder
