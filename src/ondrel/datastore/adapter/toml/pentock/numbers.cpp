// Number text: integers two digits a step, floats as repr() writes them. Both give the base
// type's text for subclasses too, whatever their __str__ says.
#include <cmath>

#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/float_repr.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock {

bool write_u64(Buffer* buf, unsigned long long v) {
  if (!reserve(buf, 20)) return false;
  char* first = buf->data + buf->pos;
  buf->pos = static_cast<size_t>(u64_to_chars(first, v) - buf->data);
  return true;
}

namespace {

// Beyond 64 bits: int's own text, within the interpreter's digit limit (past it, ValueError).
[[gnu::noinline]] bool write_big_int(Buffer* buf, PyObject* value) {
  Ref s = Ref::steal(PyLong_Type.tp_repr(value));
  if (!s) return false;
  return buf_write_str(buf, s.get());
}

}  // namespace

bool write_int(Buffer* buf, PyObject* value) {
  auto* v = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(v)) [[likely]]
    return write_i64(buf, static_cast<long long>(PyUnstable_Long_CompactValue(v)));
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (x == -1 && PyErr_Occurred()) return false;
    return write_i64(buf, x);
  }
  if (overflow > 0) {
    unsigned long long u = 0;
    Py_ssize_t need = PyLong_AsNativeBytes(
        value, &u, sizeof u, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (need < 0) return false;
    if (static_cast<size_t>(need) <= sizeof u) return write_u64(buf, u);
  }
  return write_big_int(buf, value);
}

// repr(float); the finite digits come from the shared routine.
bool write_float(Buffer* buf, double value) {
  if (!reserve(buf, kFloatReprMax)) return false;
  char* const o = buf->data + buf->pos;
  if (!std::isfinite(value)) [[unlikely]] {
    const char* text = std::isnan(value) ? "nan" : value < 0 ? "-inf" : "inf";
    const size_t n = std::strlen(text);
    std::memcpy(o, text, n);
    buf->pos += n;
    return true;
  }
  buf->pos = static_cast<size_t>(float_repr(o, value) - buf->data);
  return true;
}

}  // namespace ondrel::pentock
