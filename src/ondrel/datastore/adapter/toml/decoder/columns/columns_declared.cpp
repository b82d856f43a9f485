// Declared columns: set up as their type before any value, values checked to fit it exactly
// (never rounded), and misfits reported with the value. Their arrays are finished in
// columns_nested.cpp.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"
#include "ondrel/datastore/adapter/toml/decoder/columns/text_values.hpp"

namespace ondrel::decoder {

using coltype::Kind;

namespace {

bool g_misfit = false;      // a misfit's ValueError is the pending exception (GIL held)
PyObject* g_big = nullptr;  // the int beyond int64 no column took (owned)

constexpr int64_t kNanosPerUnit[] = {1000000000, 1000000, 1000, 1};

}  // namespace

bool take_misfit() { return std::exchange(g_misfit, false); }

void misfit_where(PyObject* table, size_t index, PyObject* key) {
  PyObject* raised = PyErr_GetRaisedException();
  Ref detail = Ref::steal(PyObject_Str(raised));
  Py_DECREF(raised);
  if (!detail) return;
  PyErr_Format(PyExc_ValueError,
               "tables.%S.records[%zu]: column %R %S; schema=\"inferred\" reads the document "
               "anyway, with every type inferred from the values",
               table, index, key, detail.get());
}

void note_big(PyObject* value) { Py_XSETREF(g_big, value); }

void raise_big_int(PyObject* table, size_t index, PyObject* key) {
  Ref value = Ref::steal(std::exchange(g_big, nullptr));
  Ref limit = Ref::steal(PyLong_FromUnsignedLongLong(UINT64_MAX));
  int within = -1;
  if (limit && value) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    within = zero ? (PyObject_RichCompareBool(value.get(), limit.get(), Py_LE) == 1 &&
                     PyObject_RichCompareBool(value.get(), zero.get(), Py_GT) == 1)
                  : -1;
  }
  if (PyErr_Occurred()) return;
  if (within == 1)
    PyErr_Format(PyExc_ValueError,
                 "tables.%S.records[%zu]: column %R holds an integer beyond int64; a column "
                 "declared UBIGINT reads integers up to 2**64-1",
                 table, index, key);
  else
    PyErr_Format(PyExc_ValueError,
                 "tables.%S.records[%zu]: column %R holds an integer beyond 64 bits", table, index,
                 key);
}

bool Column::misfit(PyObject* shown, bool raw) {
  Ref hold = Ref::steal(shown);
  if (!hold) return false;
  std::string type;
  if (!coltype::canonical_text(*decl_, type)) return false;
  if (raw)
    PyErr_Format(PyExc_ValueError, "holds %S, which does not fit %s", shown, type.c_str());
  else
    PyErr_Format(PyExc_ValueError, "holds %s%R, which does not fit %s",
                 PyUnicode_Check(shown) ? "the text " : "", shown, type.c_str());
  g_misfit = true;
  return false;
}

bool Column::misfit_text(const char* what) {
  std::string type;
  if (!coltype::canonical_text(*decl_, type)) return false;
  PyErr_Format(PyExc_ValueError, "holds %s, which does not fit %s", what, type.c_str());
  g_misfit = true;
  return false;
}

bool Column::declare(const coltype::ColumnType* t) {
  if (t->kind == Kind::Unknown) return true;
  try {
    if (t->kind == Kind::Json) return become(ColumnKind::Json);  // JSON text of any value
    decl_ = t;
    width_ = coltype::value_width(*t);
    switch (t->kind) {
      // Types stored as an inferred kind take its values with no check (the appends' first
      // test); only values of other kinds come to the typed_ functions.
      case Kind::Boolean: kind_ = ColumnKind::Bool; return true;
      // Fixed-width columns stay null until their first value (typed_ready()): a column no
      // record has costs a validity bit a row, as an inferred one does.
      case Kind::Int64: typed_kind_ = ColumnKind::Int; return true;
      case Kind::Float64: typed_kind_ = ColumnKind::Float; return true;
      case Kind::Date: typed_kind_ = ColumnKind::Date; return true;
      case Kind::Varchar: kind_ = ColumnKind::String; return offsets_.push(int32_t{0});
      case Kind::Blob: kind_ = ColumnKind::Binary; return offsets_.push(int32_t{0});
      case Kind::List:
        kind_ = ColumnKind::List;
        child_ = make_child("item");
        return child_ && child_->declare(&t->children[0]) && offsets_.push(int32_t{0});
      case Kind::Map: {
        kind_ = ColumnKind::Map;
        entries_type_ = std::make_unique<coltype::ColumnType>();
        entries_type_->kind = Kind::Struct;
        entries_type_->names = {"key", "value"};
        entries_type_->children = t->children;
        child_ = make_child("entries");
        return child_ && child_->declare(entries_type_.get()) && offsets_.push(int32_t{0});
      }
      case Kind::Struct:
        kind_ = ColumnKind::Struct;
        for (size_t i = 0; i < t->children.size(); ++i) {
          Ref key = Ref::steal(PyUnicode_DecodeUTF8(
              t->names[i].data(), static_cast<Py_ssize_t>(t->names[i].size()), nullptr));
          if (!key || declare_field(key.get(), &t->children[i]) == nullptr) return false;
        }
        return true;
      default: typed_kind_ = ColumnKind::Fixed; return true;
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

Column* Column::declare_field(PyObject* key, const coltype::ColumnType* t) {
  Column* c = add_field(key);
  return c != nullptr && c->declare(t) ? c : nullptr;
}

// A fixed-width declared column's first value: the null rows so far get their zeros.
bool Column::typed_ready() {
  if (kind_ != ColumnKind::Null) return true;
  kind_ = typed_kind_;
  size_t bytes;
  if (__builtin_mul_overflow(length_, width_, &bytes)) return PyErr_NoMemory(), false;
  return values_.zeros(bytes);
}

bool Column::typed_int(int64_t v) {
  if (!typed_ready()) return false;
  auto in = [v](int64_t lo, int64_t hi) { return v >= lo && v <= hi; };
  switch (decl_->kind) {
    case Kind::Int8:
      if (in(INT8_MIN, INT8_MAX)) return values_.push(static_cast<int8_t>(v)) && valid_row();
      break;
    case Kind::Int16:
      if (in(INT16_MIN, INT16_MAX)) return values_.push(static_cast<int16_t>(v)) && valid_row();
      break;
    case Kind::Int32:
      if (in(INT32_MIN, INT32_MAX)) return values_.push(static_cast<int32_t>(v)) && valid_row();
      break;
    case Kind::Int64: return values_.push(v) && valid_row();
    case Kind::UInt8:
      if (in(0, UINT8_MAX)) return values_.push(static_cast<uint8_t>(v)) && valid_row();
      break;
    case Kind::UInt16:
      if (in(0, UINT16_MAX)) return values_.push(static_cast<uint16_t>(v)) && valid_row();
      break;
    case Kind::UInt32:
      if (in(0, UINT32_MAX)) return values_.push(static_cast<uint32_t>(v)) && valid_row();
      break;
    case Kind::UInt64:
      if (v >= 0) return values_.push(static_cast<uint64_t>(v)) && valid_row();
      break;
    case Kind::Float32: {
      // Exact when the float holds the integer: back to int64 only below 2**63.
      const auto f = static_cast<float>(v);
      if (f < 9.2233720368547758e18f && static_cast<int64_t>(f) == v)
        return values_.push(f) && valid_row();
      break;
    }
    case Kind::Float64: {
      const auto d = static_cast<double>(v);
      if (d < 9.2233720368547758e18 && static_cast<int64_t>(d) == v)
        return values_.push(d) && valid_row();
      break;
    }
    case Kind::Decimal: {
      unsigned char out[32];
      if (text::decimal_of_int(v, *decl_, out)) return typed_fixed(out);
      break;
    }
    default: break;
  }
  return misfit(PyLong_FromLongLong(v));
}

Appended Column::append_big(PyObject* value) {
  if (decl_ == nullptr || decl_->kind != Kind::UInt64) {
    note_big(Py_NewRef(value));
    return Appended::Overflow;
  }
  if (!typed_ready()) return Appended::Error;
  const unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Appended::Error;
    PyErr_Clear();
    return misfit(Py_NewRef(value)), Appended::Error;
  }
  return values_.push(static_cast<uint64_t>(u)) && valid_row() ? Appended::Ok : Appended::Error;
}

bool Column::typed_float(double v) {
  if (!typed_ready()) return false;
  if (decl_->kind == Kind::Float64) return values_.push(v) && valid_row();
  if (decl_->kind == Kind::Float32) {
    // NaN and the infinities are floats too; any other value must survive the round trip.
    if (std::isnan(v) || std::isinf(v) ||
        (std::fabs(v) <= FLT_MAX && static_cast<double>(static_cast<float>(v)) == v))
      return values_.push(static_cast<float>(v)) && valid_row();
  }
  return misfit(PyFloat_FromDouble(v));
}

bool Column::typed_bool(bool v) {
  if (!typed_ready()) return false;
  if (decl_->kind == Kind::Boolean) return bools_.push(v) && valid_row();
  return misfit(PyBool_FromLong(v));
}

bool Column::typed_text(const char* s, size_t n) {
  if (!typed_ready()) return false;
  unsigned char out[32];
  bool ok = false;
  switch (decl_->kind) {
    case Kind::Varchar: return data_.append(s, n) && end_text_row();
    case Kind::Blob: {
      const size_t before = data_.size();
      if (!data_.reserve(n)) return false;
      if (text::bytes_repr(s, n, data_)) return end_text_row();
      data_.truncate(before);
      break;
    }
    case Kind::Decimal: ok = text::decimal_of_text(s, n, *decl_, out); break;
    case Kind::Uuid: ok = coltype::parse_uuid(s, n, out); break;
    case Kind::Interval: {
      int32_t months, days;
      int64_t nanos;
      ok = coltype::parse_interval(s, n, &months, &days, &nanos);
      std::memcpy(out, &months, 4);
      std::memcpy(out + 4, &days, 4);
      std::memcpy(out + 8, &nanos, 8);
      break;
    }
    case Kind::Duration: {
      int64_t v;
      ok = coltype::parse_duration(s, n, decl_->unit, &v);
      std::memcpy(out, &v, 8);
      break;
    }
    case Kind::Date:
    case Kind::Time:
    case Kind::Timestamp:
    case Kind::TimestampTz: {
      int64_t v;
      ok = text::temporal_of_text(s, n, *decl_, &v);
      if (decl_->kind == Kind::Date) {
        const auto days = static_cast<int32_t>(v);
        std::memcpy(out, &days, 4);
      } else {
        std::memcpy(out, &v, 8);
      }
      break;
    }
    default: break;
  }
  if (ok) return typed_fixed(out);
  return misfit(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "replace"));
}

// A TOML date-time, date or time (microseconds, days) in the declared type's unit.
bool Column::typed_temporal(ColumnKind k, int64_t v, int offset_minutes, int sub_nanos) {
  if (!typed_ready()) return false;
  const Kind want = k == ColumnKind::TsUtc     ? Kind::TimestampTz
                    : k == ColumnKind::TsLocal ? Kind::Timestamp
                    : k == ColumnKind::Date    ? Kind::Date
                                               : Kind::Time;
  if (decl_->kind == want) {
    if (want == Kind::Date) return values_.push(static_cast<int32_t>(v)) && valid_row();
    const int64_t per = kNanosPerUnit[static_cast<size_t>(decl_->unit)];
    int64_t out;
    if (per >= 1000 ? sub_nanos == 0 && v % (per / 1000) == 0 && (out = v / (per / 1000), true)
                    : sub_nanos < 1000 && !__builtin_mul_overflow(v, int64_t{1000}, &out) &&
                          !__builtin_add_overflow(out, int64_t{sub_nanos}, &out))
      return values_.push(out) && valid_row();
  }
  // The value as the dict reader's isoformat() text.
  Buf shown;
  const bool ok = k == ColumnKind::Date ? json_date(shown, static_cast<int32_t>(v))
                  : k == ColumnKind::Time
                      ? json_time(shown, v)
                      : json_datetime(shown, v + int64_t{offset_minutes} * 60000000,
                                      k == ColumnKind::TsUtc, offset_minutes);
  if (!ok) return false;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(shown.data()) + 1,
                                             static_cast<Py_ssize_t>(shown.size() - 2), nullptr));
  if (!text) return false;
  const char* what = k == ColumnKind::Date ? "date" : k == ColumnKind::Time ? "time" : "date-time";
  if (sub_nanos != 0)
    return misfit(PyUnicode_FromFormat("the %s %U and %s nanoseconds", what, text.get(),
                                       sub_nanos < 1000 ? "some" : "a fraction of"),
                  true);
  return misfit(PyUnicode_FromFormat("the %s %U", what, text.get()), true);
}

}  // namespace ondrel::decoder
