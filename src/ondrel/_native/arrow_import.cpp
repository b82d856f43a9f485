// The consumer side of the Arrow C Stream Interface through PyCapsules.
#include "ondrel/_native/arrow_import.hpp"

#include <cerrno>

#include "ondrel/_native/ref.hpp"

namespace ondrel::arrow {

bool import_stream(PyObject* obj, StreamOwner& out) {
  static PyObject* name = nullptr;  // interned for the process's life
  if (name == nullptr && (name = PyUnicode_InternFromString("__arrow_c_stream__")) == nullptr)
    return false;
  Ref capsule = Ref::steal(PyObject_CallMethodNoArgs(obj, name));
  if (!capsule) return false;
  if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
    PyErr_Format(PyExc_TypeError,
                 "__arrow_c_stream__() must return an 'arrow_array_stream' capsule, not %.200s",
                 Py_TYPE(capsule.get())->tp_name);
    return false;
  }
  auto* s =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (s == nullptr) return false;
  if (s->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "__arrow_c_stream__() returned a released stream");
    return false;
  }
  *out.get() = *s;
  s->release = nullptr;  // moved: the capsule's destructor now has nothing to release
  if (out->get_schema == nullptr || out->get_next == nullptr) {
    PyErr_SetString(PyExc_ValueError,
                    "__arrow_c_stream__() returned a stream without get_schema or get_next");
    return false;  // `out` releases it
  }
  return true;
}

void raise_stream_error(ArrowArrayStream* stream, int code, const char* what) {
  const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  Ref exc_args = Ref::steal(
      Py_BuildValue("(iN)", code > 0 ? code : EIO,
                    PyUnicode_FromFormat("%s: %s", what, detail != nullptr ? detail : "failed")));
  if (exc_args) PyErr_SetObject(PyExc_OSError, exc_args.get());
}

}  // namespace ondrel::arrow
