// Exception notes and the wrong-result TypeError.
#include "ondrel/_native/errors.hpp"

#include <cstdarg>

#include "ondrel/_native/ref.hpp"

namespace ondrel::errors {

void add_note(const char* format, ...) {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return;  // nothing to annotate
  va_list va;
  va_start(va, format);
  Ref note = Ref::steal(PyUnicode_FromFormatV(format, va));
  va_end(va);
  if (!note) return;                         // the MemoryError is pending instead
  static PyObject* add_note_name = nullptr;  // interned for the process's life
  if (add_note_name == nullptr) {
    add_note_name = PyUnicode_InternFromString("add_note");
    if (add_note_name == nullptr) return;
  }
  Ref r = Ref::steal(PyObject_CallMethodOneArg(exc.get(), add_note_name, note.get()));
  if (!r) return;
  PyErr_SetRaisedException(exc.release());
}

void raise_expected(const char* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(given)->tp_name);
}

}  // namespace ondrel::errors
