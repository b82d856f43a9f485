// Placeholder: the TOML encoder module is being built.
#include <Python.h>

#include "ondrel/_native/function.hpp"
#include "ondrel/_native/module.hpp"

namespace {
ondrel::module::LoadState g_load;

PyObject* create(PyObject* spec, PyModuleDef*) { return ondrel::module::create(g_load, spec); }

int exec(PyObject* module) {
  int rc = ondrel::module::begin_exec(g_load, module, "ondrel.datastore.adapter.toml.pentock");
  if (rc != 0) return rc < 0 ? -1 : 0;
  if (ondrel::function_type_ready() < 0) return -1;
  ondrel::module::finish_exec(g_load, module);
  return 0;
}

PyModuleDef_Slot slots[] = {{Py_mod_create, reinterpret_cast<void*>(create)},
                            {Py_mod_exec, reinterpret_cast<void*>(exec)},
                            {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "pentock", "Fast TOML encoder.", 0, nullptr, slots, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_pentock() { return PyModuleDef_Init(&def); }
