// The runtime module ondrel.datastore.c_unified_data: publishes the signed-size constants
// ZERO, ONE and TWO that the TOML encoder binds at import.
#include <Python.h>

namespace {

const Py_ssize_t ZERO = 0;
const Py_ssize_t ONE = 1;
const Py_ssize_t TWO = 2;

int exec_module(PyObject* module) {
  PyObject* capi = PyDict_New();
  if (capi == nullptr) return -1;
  if (PyModule_Add(module, "__capi__", capi) < 0) return -1;  // steals capi
  const struct {
    const char* name;
    const Py_ssize_t* value;
  } exports[] = {{"ZERO", &ZERO}, {"ONE", &ONE}, {"TWO", &TWO}};
  for (const auto& e : exports) {
    PyObject* capsule =
        PyCapsule_New(const_cast<Py_ssize_t*>(e.value), "Py_ssize_t const ", nullptr);
    if (capsule == nullptr) return -1;
    int rc = PyDict_SetItemString(capi, e.name, capsule);
    Py_DECREF(capsule);
    if (rc < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "c_unified_data",
    "Signed-size constants shared by the unified-data native modules.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_c_unified_data() { return PyModuleDef_Init(&module_def); }
