// Module loading helpers: interpreter checks, eager imports and capsule exchange.
#include "ondrel/_native/module.hpp"

#include <cstring>

#include "ondrel/_native/ref.hpp"

namespace ondrel::module {

PyObject* create(LoadState& state, PyObject* module_spec) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (state.interpreter_id == -1) {
    state.interpreter_id = id;
  } else if (state.interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (state.module != nullptr) return Py_NewRef(state.module);
  Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

int begin_exec(LoadState& state, PyObject* module, const char* full_name) {
  if (state.executed) return 1;
  if (PY_MAJOR_VERSION != ((Py_Version >> 24) & 0xFF) ||
      PY_MINOR_VERSION != ((Py_Version >> 16) & 0xFF)) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "module '%.100s' was built for Python %d.%d but runs on %d.%d", full_name,
                         PY_MAJOR_VERSION, PY_MINOR_VERSION,
                         static_cast<int>((Py_Version >> 24) & 0xFF),
                         static_cast<int>((Py_Version >> 16) & 0xFF)) < 0)
      return -1;
  }
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  Ref key = Ref::steal(PyUnicode_FromString(full_name));
  if (!key) return -1;
  int has = PyDict_Contains(modules, key.get());
  if (has < 0) return -1;
  if (!has && PyDict_SetItem(modules, key.get(), module) < 0) return -1;
  // The builtins module itself, not its dict.
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr) return -1;
  return PyModule_Add(module, "__builtins__", builtins);
}

void finish_exec(LoadState& state, PyObject* module) {
  state.module = Py_NewRef(module);
  state.executed = true;
}

PyObject* import_from(const char* module_name, const char* attr) {
  Ref mod;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* cached = nullptr;
  if (PyDict_GetItemStringRef(modules, module_name, &cached) < 0) return nullptr;
  Ref cached_ref = Ref::steal(cached);
  if (cached_ref) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(cached_ref.get(), attr, &value) < 0) return nullptr;
    if (value != nullptr) return value;
  }
  mod = Ref::steal(PyImport_ImportModule(module_name));
  if (!mod) return nullptr;
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(mod.get(), attr, &value) < 0) return nullptr;
  if (value != nullptr) return value;
  // A submodule registered under the full dotted name stands in for a missing attribute.
  Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", module_name, attr));
  if (!full) return nullptr;
  PyObject* sub = nullptr;
  if (PyDict_GetItemRef(modules, full.get(), &sub) < 0) return nullptr;
  if (sub != nullptr) return sub;
  Ref attr_name = Ref::steal(PyUnicode_FromString(attr));
  if (!attr_name) return nullptr;
  PyErr_Format(PyExc_ImportError, "cannot import name %S", attr_name.get());
  return nullptr;
}

int bind_import(PyObject* module, const char* module_name, const char* attr) {
  PyObject* value = import_from(module_name, attr);
  if (value == nullptr) return -1;
  return PyModule_Add(module, attr, value);
}

PyObject* capi_dict(PyObject* module) {
  PyObject* capi = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__capi__", &capi) < 0) return nullptr;
  if (capi != nullptr) return capi;
  capi = PyDict_New();
  if (capi == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module, "__capi__", capi) < 0) {
    Py_DECREF(capi);
    return nullptr;
  }
  return capi;
}

int export_pointer(PyObject* capi, const char* name, void* pointer, const char* signature) {
  Ref capsule = Ref::steal(PyCapsule_New(pointer, signature, nullptr));
  if (!capsule) return -1;
  return PyDict_SetItemString(capi, name, capsule.get());
}

void* import_pointer(const char* module_name, const char* name, const char* signature) {
  Ref mod = Ref::steal(PyImport_ImportModule(module_name));
  if (!mod) return nullptr;
  Ref capi = Ref::steal(PyObject_GetAttrString(mod.get(), "__capi__"));
  if (!capi) return nullptr;
  PyObject* capsule = nullptr;
  int found = PyMapping_GetOptionalItemString(capi.get(), name, &capsule);
  if (found < 0) return nullptr;
  Ref capsule_ref = Ref::steal(capsule);
  if (found == 0) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name,
                 "variable", name);
    return nullptr;
  }
  if (!PyCapsule_IsValid(capsule, signature)) {
    const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
    PyErr_Format(PyExc_TypeError,
                 "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                 "variable", module_name, name, signature, got ? got : "(null)");
    return nullptr;
  }
  return PyCapsule_GetPointer(capsule, signature);
}

}  // namespace ondrel::module
