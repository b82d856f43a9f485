// Python values into column builders: the dict reader's records become Arrow columns.
#include <Python.h>
#include <datetime.h>

#include "ondrel/_native/stack.hpp"
#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"
#include "ondrel/datastore/adapter/toml/decoder/records.hpp"

namespace ondrel::decoder {

namespace {

constexpr int64_t kMicrosPerDay = int64_t{86400} * 1000000;

int64_t date_days(PyObject* v) {
  return days_from_civil(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v));
}

int64_t micros_of_day(int h, int m, int s, int us) {
  return ((int64_t{h} * 60 + m) * 60 + s) * 1000000 + us;
}

// The tzinfo's offset of `dt` in whole minutes; false with an exception set.
bool offset_minutes(PyObject* dt, PyObject* tz, int* minutes) {
  Ref hold = Ref::borrow(dt);
  Ref tz_hold = Ref::borrow(tz);
  Ref delta = Ref::steal(PyObject_CallMethod(tz, "utcoffset", "O", dt));
  if (!delta) return false;
  if (!PyDelta_Check(delta.get())) {
    PyErr_SetString(PyExc_TypeError, "utcoffset() did not give a timedelta");
    return false;
  }
  const int64_t secs = int64_t{PyDateTime_DELTA_GET_DAYS(delta.get())} * 86400 +
                       PyDateTime_DELTA_GET_SECONDS(delta.get());
  if (secs % 60 != 0 || PyDateTime_DELTA_GET_MICROSECONDS(delta.get()) != 0 || secs <= -86400 ||
      secs >= 86400) {
    PyErr_SetString(PyExc_ValueError, "a UTC offset must be whole minutes within a day");
    return false;
  }
  *minutes = static_cast<int>(secs / 60);
  return true;
}

Appended done(bool ok) { return ok ? Appended::Ok : Appended::Error; }

}  // namespace

bool records_datetime_ready() {
  PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

Appended Column::append_object(PyObject* v) {
  PyTypeObject* t = Py_TYPE(v);
  if (t == &PyUnicode_Type) {
    Py_ssize_t n = 0;
    const char* s = str_utf8(v, &n);
    return done(s != nullptr && append_string_utf8(s, static_cast<size_t>(n)));
  }
  if (t == &PyLong_Type) {
    auto* l = reinterpret_cast<PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(l)) [[likely]]
      return done(append_int(static_cast<int64_t>(PyUnstable_Long_CompactValue(l))));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) return append_big(v);
    if (x == -1 && PyErr_Occurred()) return Appended::Error;
    return done(append_int(x));
  }
  if (t == &PyFloat_Type) return done(append_float(PyFloat_AS_DOUBLE(v)));
  if (t == &PyBool_Type) return done(append_bool(v == Py_True));
  if (t == PyDateTimeAPI->DateTimeType) {
    const int64_t local =
        date_days(v) * kMicrosPerDay +
        micros_of_day(PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                      PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v));
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(v);
    if (tz == Py_None) return done(append_local_datetime(local));
    int minutes = 0;
    if (!offset_minutes(v, tz, &minutes)) return Appended::Error;
    return done(append_offset_datetime(local - int64_t{minutes} * 60000000, minutes));
  }
  if (t == PyDateTimeAPI->DateType) return done(append_date(static_cast<int32_t>(date_days(v))));
  if (t == PyDateTimeAPI->TimeType && PyDateTime_TIME_GET_TZINFO(v) == Py_None)
    return done(append_time(
        micros_of_day(PyDateTime_TIME_GET_HOUR(v), PyDateTime_TIME_GET_MINUTE(v),
                      PyDateTime_TIME_GET_SECOND(v), PyDateTime_TIME_GET_MICROSECOND(v))));
  if (t == &PyList_Type) {
    stack::RecursionGuard guard(" while converting records to Arrow");
    if (!guard) return Appended::Error;
    Ref hold = Ref::borrow(v);  // a tzinfo's utcoffset() below may run Python code
    if (kind_ == ColumnKind::Map) return append_pairs(v);
    Column* items = begin_list();
    if (items == nullptr) return Appended::Error;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
      const Appended r = items->append_object(PyList_GET_ITEM(v, i));
      if (r != Appended::Ok) return r;
    }
    return done(end_list());
  }
  if (t == &PyDict_Type) {
    stack::RecursionGuard guard(" while converting records to Arrow");
    if (!guard || !begin_struct()) return Appended::Error;
    Ref hold = Ref::borrow(v);
    const Appended r = append_fields(v, nullptr);
    return r != Appended::Ok ? r : done(end_struct());
  }
  PyErr_Format(PyExc_TypeError, "cannot store a %T value in an Arrow column", v);
  return Appended::Error;
}

// A declared map's value as the writer writes it: a list of [key, value] lists (held by the
// caller).
Appended Column::append_pairs(PyObject* list) {
  Column* entries = child_.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* pair = PyList_GET_ITEM(list, i);
    if (!PyList_CheckExact(pair) || PyList_GET_SIZE(pair) != 2 ||
        PyList_GET_ITEM(pair, 0) == Py_None)
      return done(not_a_pair());
    Ref hold = Ref::borrow(pair);
    if (!entries->begin_struct()) return Appended::Error;
    for (size_t k = 0; k < 2; ++k) {
      const Appended r =
          entries->field_at(k)->append_object(PyList_GET_ITEM(pair, static_cast<Py_ssize_t>(k)));
      if (r != Appended::Ok) return r;
    }
    if (!entries->end_struct()) return Appended::Error;
  }
  return done(end_list());
}

Appended Column::append_fields(PyObject* dict, Ref* overflow_key) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) {
      PyErr_Format(PyExc_TypeError, "a table key must be a str, not %T", key);
      return Appended::Error;
    }
    bool duplicate = false;
    Column* f = field(key, &duplicate);
    if (f == nullptr) return Appended::Error;  // a dict has no key twice
    Ref key_hold = Ref::borrow(key);
    const Appended r = f->append_object(value);
    if (r != Appended::Ok && overflow_key != nullptr) *overflow_key = std::move(key_hold);
    if (r != Appended::Ok) return r;
  }
  return Appended::Ok;
}

}  // namespace ondrel::decoder
