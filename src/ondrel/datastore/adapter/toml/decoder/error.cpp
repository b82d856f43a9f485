// TOMLDecodeError with the details tools point at: msg, doc, pos, lineno and colno.
#include "ondrel/datastore/adapter/toml/decoder/error.hpp"

#include "ondrel/_native/ref.hpp"

namespace ondrel::decoder {

PyObject* g_decode_error = nullptr;

void raise_decode_error(PyObject* doc, Py_ssize_t pos, PyObject* msg) {
  // Line and column as tomli counts them: lines end at '\n' only, columns are 1-based
  // characters after the last '\n' before pos.
  Ref newline = Ref::steal(PyUnicode_FromOrdinal('\n'));
  if (!newline) return;
  const Py_ssize_t newlines = PyUnicode_Count(doc, newline.get(), 0, pos);
  if (newlines < 0) return;
  const Py_ssize_t lineno = newlines + 1;
  Py_ssize_t colno = pos + 1;
  if (lineno > 1) {
    const Py_ssize_t last = PyUnicode_FindChar(doc, '\n', 0, pos, -1);
    if (last < 0) return;  // -2: an error; -1 cannot happen with a '\n' before pos
    colno = pos - last;
  }
  Ref full = Ref::steal(PyUnicode_FromFormat("%U (at line %zd, column %zd)", msg, lineno, colno));
  if (!full) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(g_decode_error, full.get()));
  if (!exc) return;
  Ref pos_obj = Ref::steal(PyLong_FromSsize_t(pos));
  Ref lineno_obj = Ref::steal(PyLong_FromSsize_t(lineno));
  Ref colno_obj = Ref::steal(PyLong_FromSsize_t(colno));
  if (!pos_obj || !lineno_obj || !colno_obj || PyObject_SetAttrString(exc.get(), "msg", msg) < 0 ||
      PyObject_SetAttrString(exc.get(), "doc", doc) < 0 ||
      PyObject_SetAttrString(exc.get(), "pos", pos_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "lineno", lineno_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "colno", colno_obj.get()) < 0)
    return;
  PyErr_SetObject(g_decode_error, exc.get());
}

}  // namespace ondrel::decoder
