// The runtime module ondrel.datastore.c_unified_data: publishes the signed-size constants
// ZERO, ONE and TWO that the TOML encoder binds at import, and the column-type vocabulary's
// canonical spelling for Python code (the SQL adapter).
#include <Python.h>

#include <string>

#include "ondrel/_native/column_types.hpp"
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

PyObject* canonical_column_type(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text))
    return PyErr_Format(PyExc_TypeError, "canonical_column_type() takes a str, not %T", text);
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
  if (utf8 == nullptr) return nullptr;
  ondrel::coltype::ColumnType type;
  std::string out;
  if (!ondrel::coltype::parse_column_type({utf8, static_cast<size_t>(n)}, type) ||
      !ondrel::coltype::canonical_text(type, out))
    return nullptr;
  if (out.empty()) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
}

PyMethodDef methods[] = {
    {"canonical_column_type", canonical_column_type, METH_O,
     PyDoc_STR("canonical_column_type(text, /)\n--\n\nThe canonical spelling of a column's "
               "type text (\"BIGINT\", \"DECIMAL(10,2)\", \"BIGINT[]\"), or None for a name "
               "the vocabulary does not know, whose values keep their inferred types.")},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "c_unified_data",
    .m_doc =
        "Signed-size constants and the column-type vocabulary shared by the unified-data "
        "native modules.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_c_unified_data() { return PyModuleDef_Init(&module_def); }
