// Column builders: appends, type settling (widening, the JSON fallback) and the finished
// buffers. JSON text of values is in columns_json.cpp, Python values in columns_object.cpp.
#include <climits>
#include <cstring>
#include <new>

#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"

namespace ondrel::decoder {

bool Buf::grow(size_t n) {
  size_t want = cap_ < 64 ? 64 : cap_;
  while (want - size_ < n) {
    if (want > SIZE_MAX / 2) {
      want = SIZE_MAX;
      break;
    }
    want *= 2;
  }
  if (want - size_ < n) return PyErr_NoMemory(), false;
  void* p = std::realloc(data_, want);
  if (p == nullptr) return PyErr_NoMemory(), false;
  data_ = static_cast<unsigned char*>(p);
  cap_ = want;
  return true;
}

bool Buf::zeros(size_t n) {
  if (!reserve(n)) return false;
  if (n != 0) std::memset(data_ + size_, 0, n);
  size_ += n;
  return true;
}

void* Buf::take() {
  void* p = data_ != nullptr ? data_ : std::malloc(8);
  data_ = nullptr;
  size_ = cap_ = 0;
  return p;
}

namespace {

bool too_many(size_t n, size_t w) {
  if (w != 0 && n > SIZE_MAX / w) return PyErr_NoMemory(), true;
  return false;
}

}  // namespace

uint64_t Column::offset_at(size_t i) const {
  if (large_) {
    int64_t v;
    std::memcpy(&v, offsets_.data() + i * 8, 8);
    return static_cast<uint64_t>(v);
  }
  int32_t v;
  std::memcpy(&v, offsets_.data() + i * 4, 4);
  return static_cast<uint32_t>(v);
}

// Offsets start as int32 and turn int64 once the end passes INT32_MAX: they never wrap.
bool Column::push_offset(size_t end) {
  if (!large_ && end > INT32_MAX) {
    const size_t n = offsets_.size() / 4;
    Buf wide;
    if (too_many(n, 8) || !wide.reserve(n * 8)) return false;
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<int64_t>(offset_at(i));
      wide.put(&v, 8);
    }
    offsets_ = std::move(wide);
    large_ = true;
  }
  if (large_) return offsets_.push(static_cast<int64_t>(end));
  return offsets_.push(static_cast<int32_t>(end));
}

bool Column::valid_row() {
  if (!valid_.push(true)) return false;
  ++length_;
  return true;
}

bool Column::end_text_row() { return push_offset(data_.size()) && valid_row(); }

void Column::drop_storage() {
  bools_.reset();
  values_ = Buf();
  tz_ = Buf();
  ints_ = Buf();
  int_rows_.reset();
  has_ints_ = false;
  offsets_ = Buf();
  data_ = Buf();
  large_ = false;
  child_.reset();
  fields_.clear();
  keys_.clear();
  order_.clear();
  row_orders_.clear();
  hint_ = 0;
}

void raise_lone_surrogate(uint32_t c) {
  PyErr_Format(PyExc_ValueError,
               "a string holds the lone surrogate U+%04X, which UTF-8 cannot carry",
               static_cast<unsigned>(c));
}

const char* str_utf8(PyObject* s, Py_ssize_t* n) {
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, n);
  if (utf8 != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return utf8;
  // Only a surrogate stops a str from encoding: name the first, as a value's error does.
  const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  for (Py_ssize_t i = 0; i < len; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) {
      PyErr_Clear();
      raise_lone_surrogate(c);
      return nullptr;
    }
  }
  return nullptr;
}

std::unique_ptr<Column> Column::make_child(std::string name) {
  if (depth_ >= kMaxDepth) {
    PyErr_Format(PyExc_ValueError,
                 "records nest lists and tables deeper than %u levels, more than pyarrow "
                 "imports",
                 static_cast<unsigned>(kMaxDepth));
    return nullptr;
  }
  auto child = std::make_unique<Column>(std::move(name));
  child->depth_ = depth_ + 1;
  return child;
}

// A null column of length_ rows takes its first kind: the rows so far stay null.
bool Column::become(ColumnKind k) {
  const size_t n = length_;
  kind_ = k;
  try {
    switch (k) {
      case ColumnKind::Bool:
        for (size_t i = 0; i < n; ++i)
          if (!bools_.push(false)) return false;
        return true;
      case ColumnKind::String:
      case ColumnKind::Json:
      case ColumnKind::List:
        if (k == ColumnKind::List && !(child_ = make_child("item"))) return false;
        for (size_t i = 0; i <= n; ++i)
          if (!offsets_.push(int32_t{0})) return false;
        return true;
      case ColumnKind::Struct: return true;
      default:
        if (too_many(n, kind_width(k)) || !values_.zeros(n * kind_width(k))) return false;
        return k != ColumnKind::TsUtc || (!too_many(n, 2) && tz_.zeros(n * 2));
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

bool Column::prepare(ColumnKind k) {
  if (kind_ == k || kind_ == ColumnKind::Json) [[likely]]
    return true;
  if (kind_ == ColumnKind::Null) return become(k);
  if (kind_ == ColumnKind::Int && k == ColumnKind::Float) return widen_to_float();
  if (kind_ == ColumnKind::Float && k == ColumnKind::Int) return true;
  return to_json();
}

// In place: each int64 becomes its double. The original ints are kept aside, since a later
// clash must write them as ints again.
bool Column::widen_to_float() {
  const size_t n = length_;
  if (!ints_.append(values_.data(), n * 8)) return false;
  for (size_t i = 0; i < n; ++i) {
    int64_t v;
    std::memcpy(&v, values_.data() + i * 8, 8);
    const auto d = static_cast<double>(v);
    std::memcpy(values_.data() + i * 8, &d, 8);
    if (!int_rows_.push(valid_.get(i))) return false;
  }
  has_ints_ = true;
  kind_ = ColumnKind::Float;
  return true;
}

// The values so far become JSON text; the typed buffers go.
bool Column::to_json() {
  Buf text;
  std::vector<uint64_t> ends;
  try {
    ends.reserve(length_);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (size_t i = 0; i < length_; ++i) {
    if (valid_.get(i) && !json_at(i, text)) return false;
    ends.push_back(text.size());
  }
  drop_storage();
  kind_ = ColumnKind::Json;
  data_ = std::move(text);
  if (!offsets_.push(int32_t{0})) return false;
  for (const uint64_t e : ends)
    if (!push_offset(e)) return false;
  return true;
}

bool Column::append_null() {
  switch (kind_) {
    case ColumnKind::Null: break;
    case ColumnKind::Bool:
      if (!bools_.push(false)) return false;
      break;
    case ColumnKind::String:
    case ColumnKind::Binary:
    case ColumnKind::Json:
      if (!push_offset(data_.size())) return false;
      break;
    case ColumnKind::List:
    case ColumnKind::Map:
      if (!push_offset(child_->length())) return false;
      break;
    case ColumnKind::Fixed:
      if (!(width_ == 8 ? values_.push(int64_t{0}) : values_.zeros(width_))) return false;
      break;
    case ColumnKind::Struct:
      for (auto& f : fields_)
        if (!f->append_null()) return false;
      break;
    default:
      // An inline store of the zero: no call for the usual eight bytes.
      if (!(kind_width(kind_) == 8 ? values_.push(int64_t{0}) : values_.push(int32_t{0})))
        return false;
      if (kind_ == ColumnKind::TsUtc && !tz_.zeros(2)) return false;
      if (has_ints_ && (!ints_.zeros(8) || !int_rows_.push(false))) return false;
  }
  if (!valid_.push(false)) return false;
  ++length_;
  ++null_count_;
  return true;
}

// Each append takes its own kind first: the inferred column that has it, and the declared
// column whose storage is that kind (BOOLEAN, BIGINT, DOUBLE, VARCHAR, DATE), without a check.
bool Column::append_bool(bool v) {
  if (kind_ == ColumnKind::Bool) [[likely]]
    return bools_.push(v) && valid_row();
  if (decl_ != nullptr) return typed_bool(v);
  if (!prepare(ColumnKind::Bool)) return false;
  if (kind_ == ColumnKind::Json)
    return data_.append(v ? "true" : "false", v ? 4 : 5) && end_text_row();
  return bools_.push(v) && valid_row();
}

bool Column::append_int(int64_t v) {
  if (kind_ == ColumnKind::Int) [[likely]]
    return values_.push(v) && valid_row();
  if (decl_ != nullptr) return typed_int(v);
  if (!prepare(ColumnKind::Int)) return false;
  if (kind_ == ColumnKind::Int) return values_.push(v) && valid_row();
  if (kind_ == ColumnKind::Json) return json_int(data_, v) && end_text_row();
  // A float column: the int goes in as a double, and aside as itself.
  if (!has_ints_) {
    if (too_many(length_, 8) || !ints_.zeros(length_ * 8)) return false;
    for (size_t i = 0; i < length_; ++i)
      if (!int_rows_.push(false)) return false;
    has_ints_ = true;
  }
  return values_.push(static_cast<double>(v)) && ints_.push(v) && int_rows_.push(true) &&
         valid_row();
}

bool Column::append_float(double v) {
  if (kind_ == ColumnKind::Float && !has_ints_) [[likely]]
    return values_.push(v) && valid_row();
  if (decl_ != nullptr) return typed_float(v);
  if (!prepare(ColumnKind::Float)) return false;
  if (kind_ == ColumnKind::Json) return json_float(data_, v) && end_text_row();
  if (has_ints_ && (!ints_.zeros(8) || !int_rows_.push(false))) return false;
  return values_.push(v) && valid_row();
}

bool Column::append_string_utf8(const char* s, size_t n) {
  if (kind_ == ColumnKind::String) [[likely]]
    return data_.append(s, n) && end_text_row();
  if (decl_ != nullptr) return typed_text(s, n);
  if (!prepare(ColumnKind::String)) return false;
  if (kind_ == ColumnKind::Json) return json_string(data_, s, n) && end_text_row();
  return data_.append(s, n) && end_text_row();
}

bool Column::append_offset_datetime(int64_t utc_micros, int offset_minutes, int sub_nanos) {
  if (decl_ != nullptr)
    return typed_temporal(ColumnKind::TsUtc, utc_micros, offset_minutes, sub_nanos);
  if (!prepare(ColumnKind::TsUtc)) return false;
  if (kind_ == ColumnKind::Json)
    return json_datetime(data_, utc_micros + int64_t{offset_minutes} * 60000000, true,
                         offset_minutes) &&
           end_text_row();
  return values_.push(utc_micros) && tz_.push(static_cast<int16_t>(offset_minutes)) && valid_row();
}

bool Column::append_local_datetime(int64_t micros, int sub_nanos) {
  if (decl_ != nullptr) return typed_temporal(ColumnKind::TsLocal, micros, 0, sub_nanos);
  if (!prepare(ColumnKind::TsLocal)) return false;
  if (kind_ == ColumnKind::Json) return json_datetime(data_, micros, false, 0) && end_text_row();
  return values_.push(micros) && valid_row();
}

bool Column::append_date(int32_t days) {
  if (kind_ == ColumnKind::Date) [[likely]]
    return values_.push(days) && valid_row();
  if (decl_ != nullptr) return typed_temporal(ColumnKind::Date, days, 0, 0);
  if (!prepare(ColumnKind::Date)) return false;
  if (kind_ == ColumnKind::Json) return json_date(data_, days) && end_text_row();
  return values_.push(days) && valid_row();
}

bool Column::append_time(int64_t micros, int sub_nanos) {
  if (decl_ != nullptr) return typed_temporal(ColumnKind::Time, micros, 0, sub_nanos);
  if (!prepare(ColumnKind::Time)) return false;
  if (kind_ == ColumnKind::Json) return json_time(data_, micros) && end_text_row();
  return values_.push(micros) && valid_row();
}

}  // namespace ondrel::decoder
