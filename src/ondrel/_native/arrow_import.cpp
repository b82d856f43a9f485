// The consumer side of the Arrow C Stream Interface through PyCapsules.
#include "ondrel/_native/arrow_import.hpp"

#include <cerrno>
#include <cstring>

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

namespace {

bool is_one_shot(PyTypeObject* type) {
  PyObject* mro = type->tp_mro;  // borrowed; a tuple of types once the type is ready
  if (mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    const auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (std::strcmp(t->tp_name, "pyarrow.lib.RecordBatchReader") == 0) return true;
  }
  return false;
}

}  // namespace

int take_stream_once(PyObject* obj) {
  if (!is_one_shot(Py_TYPE(obj))) [[likely]]
    return 0;
  static PyObject* taken = nullptr;  // a weakref.WeakSet, for the process's life
  if (taken == nullptr) {
    Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
    if (!weakref) return -1;
    Ref made = Ref::steal(PyObject_CallMethod(weakref.get(), "WeakSet", nullptr));
    if (!made) return -1;
    if (taken == nullptr) taken = made.release();  // another thread may have made one meanwhile
  }
  const int seen = PySequence_Contains(taken, obj);
  if (seen != 0) return seen;
  Ref done = Ref::steal(PyObject_CallMethod(taken, "add", "O", obj));
  return done ? 0 : -1;
}

void raise_stream_error(ArrowArrayStream* stream, int code, const char* what) {
  const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  Ref exc_args = Ref::steal(
      Py_BuildValue("(iN)", code > 0 ? code : EIO,
                    PyUnicode_FromFormat("%s: %s", what, detail != nullptr ? detail : "failed")));
  if (exc_args) PyErr_SetObject(PyExc_OSError, exc_args.get());
}

}  // namespace ondrel::arrow
