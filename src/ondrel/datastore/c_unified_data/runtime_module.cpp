// The runtime module ondrel.datastore.c_unified_data: publishes the signed-size constants
// ZERO, ONE and TWO that the TOML encoder binds at import.
#include <Python.h>

#include "ondrel/_native/module.hpp"
#include "ondrel/_native/ref.hpp"

namespace {

const Py_ssize_t ZERO = 0;
const Py_ssize_t ONE = 1;
const Py_ssize_t TWO = 2;

int exec_module(PyObject* module) {
  ondrel::Ref capi = ondrel::Ref::steal(ondrel::module::capi_dict(module));
  if (!capi) return -1;
  const struct {
    const char* name;
    const Py_ssize_t* value;
  } exports[] = {{"ZERO", &ZERO}, {"ONE", &ONE}, {"TWO", &TWO}};
  for (const auto& e : exports) {
    // Importers only read through the pointer, as the signature's const says.
    if (ondrel::module::export_pointer(capi.get(), e.name, const_cast<Py_ssize_t*>(e.value),
                                       ondrel::module::kConstSizeSignature) < 0)
      return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "c_unified_data",
    .m_doc = "Signed-size constants shared by the unified-data native modules.",
    .m_size = 0,
    .m_slots = slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_c_unified_data() { return PyModuleDef_Init(&module_def); }
