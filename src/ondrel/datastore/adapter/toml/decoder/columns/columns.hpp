// Typed column builders for records="arrow": values go into growing typed buffers (no Python
// object per value), each column settling its Arrow type as values arrive. The parser's sink
// and the conversion of a dict reader's records both drive the same calls.
//
// Type rules: null until the first value; int64 widened to float64 in place when a float
// arrives; a list's elements share one child builder; a struct has one child per key (union,
// first-appearance order). Any other clash re-encodes the column as arrow.json text, exactly
// as json.dumps(value, ensure_ascii=False, separators=(",", ":")) writes the dict reader's value.
//
// A column with a declared type (declare()) takes only values that fit it, exactly, and is
// built as that type whatever its values; a value that does not fit raises the ValueError
// misfit() describes.
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
#include "ondrel/_native/column_types.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/decoder/columns/buffers.hpp"

namespace ondrel::decoder {

using arrow::ArrowNode;

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
  Json,
  Fixed,   // a declared fixed-width type: width_ bytes a value
  Binary,  // a declared BLOB: bytes as offsets and data, read from repr() text
  Map,     // a declared map: offsets, and a child struct of key and value
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

// A value that does not fit its column's declared type raises ValueError("holds <value>,
// which does not fit <type>") and notes it here: the caller, who knows the table, record and
// column, takes the note and says where (misfit_where).
bool take_misfit();
// Re-raises the pending misfit as "tables.<table>.records[<index>]: column <key> holds ...",
// with the way to read the document anyway.
void misfit_where(PyObject* table, size_t index, PyObject* key);
// An int that no column took (Appended::Overflow) is noted (a new reference, or null) for
// raise_big_int: beyond int64 (a UBIGINT column reads it) or beyond 64 bits.
void note_big(PyObject* value);
void raise_big_int(PyObject* table, size_t index, PyObject* key);

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

  // Declares the type of a column that holds no value yet; `t` outlives the builder.
  bool declare(const coltype::ColumnType* t);
  // The field `key` (an exact str) of a struct, declared as `t`.
  Column* declare_field(PyObject* key, const coltype::ColumnType* t);
  bool is_map() const { return kind_ == ColumnKind::Map; }
  // A map's entries: a struct whose fields 0 and 1 are the key and the value.
  Column* begin_map() { return child_.get(); }
  Column* field_at(size_t i) { return fields_[i].get(); }
  // An integer beyond int64 (a Python int): read by a UBIGINT column, else Overflow.
  Appended append_big(PyObject* value);

  bool append_null();
  bool append_bool(bool v);
  bool append_int(int64_t v);
  bool append_float(double v);
  bool append_string_utf8(const char* s, size_t n);
  // A str's code units (Latin-1, UCS-2 or UCS-4), encoded to UTF-8 on the way in.
  template <class U>
  bool append_string_units(const U* s, size_t n);
  // sub_nanos: below the microsecond (0-999; 1000 for digits finer than a nanosecond), kept
  // by declared nanosecond columns only.
  bool append_offset_datetime(int64_t utc_micros, int offset_minutes, int sub_nanos = 0);
  bool append_local_datetime(int64_t micros, int sub_nanos = 0);
  bool append_date(int32_t days);                       // days since 1970-01-01
  bool append_time(int64_t micros, int sub_nanos = 0);  // since midnight
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
  // The items of `dict` (held by the caller) as fields of the open struct row; on Overflow or a
  // misfit, `key` (if given) receives the key whose value holds it.
  Appended append_fields(PyObject* dict, Ref* key);
  // Any misfit of a map's items that are not [key, value] pairs.
  bool not_a_pair() { return misfit_text("an array that is not a list of [key, value] pairs"); }

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
  // The declared type, or null to infer one; a map's entries own their struct type.
  const coltype::ColumnType* decl_ = nullptr;
  std::unique_ptr<coltype::ColumnType> entries_type_;
  size_t width_ = 0;  // Fixed: bytes a value
  // A fixed-width declared column's storage kind, taken at its first value (kind_ is Null
  // until then).
  ColumnKind typed_kind_ = ColumnKind::Null;

  // Declared columns (columns_declared.cpp, values from text in columns_text.cpp).
  // Takes a new reference (or null); raw: shown as its str() (a description), else repr().
  bool misfit(PyObject* shown, bool raw = false);
  bool misfit_text(const char* what);
  bool typed_ready();
  bool typed_int(int64_t v);
  bool typed_float(double v);
  bool typed_bool(bool v);
  bool typed_text(const char* s, size_t n);
  bool typed_temporal(ColumnKind k, int64_t v, int offset_minutes, int sub_nanos);
  bool typed_fixed(const void* p) { return values_.append(p, width_) && valid_row(); }
  bool finish_declared(ArrowNode& out);
  Appended append_pairs(PyObject* list);
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
