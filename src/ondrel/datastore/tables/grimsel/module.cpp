// Module initialisation of ondrel.datastore.tables.grimsel: exports, class, imports, methods.
#include <Python.h>

#include "ondrel/_native/module.hpp"
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

Py_ssize_t ZERO = 0;
Py_ssize_t ONE = 1;
Py_ssize_t TWO = 2;

namespace {

module::LoadState g_load;

int publish_capi(PyObject* module) {
  Ref capi = Ref::steal(module::capi_dict(module));
  if (!capi) return -1;
  if (module::export_pointer(capi.get(), "ONE", &ONE, module::kSizeSignature) < 0) return -1;
  if (module::export_pointer(capi.get(), "TWO", &TWO, module::kSizeSignature) < 0) return -1;
  return module::export_pointer(capi.get(), "ZERO", &ZERO, module::kSizeSignature);
}

int create_class(PyObject* module, PyObject* module_name) {
  if (PyType_Ready(&TablesHolderType) < 0) return -1;
  {
    Ref type_dict = Ref::steal(PyType_GetDict(&TablesHolderType));
    if (!type_dict) return -1;
    // No capsule name: importers read it with PyCapsule_GetPointer(capsule, NULL). The
    // capsule carries a plain pointer; importers only ever call through the table.
    Ref capsule =
        Ref::steal(PyCapsule_New(const_cast<TablesHolderVTable*>(&g_vtable), nullptr, nullptr));
    if (!capsule) return -1;
    if (PyDict_SetItemString(type_dict.get(), kVTableKey, capsule.get()) < 0) return -1;
    PyType_Modified(&TablesHolderType);
  }
  if (PyModule_AddObjectRef(module, "TablesHolder",
                            reinterpret_cast<PyObject*>(&TablesHolderType)) < 0)
    return -1;
  if (install_pickling(module_name) < 0) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                   TablesHolderType.tp_name);
    return -1;
  }
  return 0;
}

int bind_table_data(PyObject* module) {
  Ref name = Ref::steal(PyUnicode_InternFromString("TYPE_CHECKING"));
  if (!name) return -1;
  Ref flag = Ref::steal(lookup_global(name.get()));
  if (!flag) return -1;
  int type_checking = PyObject_IsTrue(flag.get());
  if (type_checking < 0) return -1;
  if (type_checking)
    return module::bind_import(module, "ondrel.datastore.tables.data", "TableData");
  // At run time the model module is imported only when a table is first validated.
  Ref lazy_name = Ref::steal(PyUnicode_InternFromString("lazy"));
  if (!lazy_name) return -1;
  Ref lazy = Ref::steal(lookup_global(lazy_name.get()));
  if (!lazy) return -1;
  Ref table_data = Ref::steal(
      PyObject_CallFunction(lazy.get(), "ss", "ondrel.datastore.tables.data", "TableData"));
  if (!table_data) return -1;
  return PyModule_AddObjectRef(module, "TableData", table_data.get());
}

int exec_module(PyObject* module) {
  int rc = module::begin_exec(g_load, module, kModuleName);  // also the sys.modules entry
  if (rc != 0) return rc < 0 ? -1 : 0;
  if (function_type_ready() < 0) return -1;
  if (names_init() < 0) return -1;
  if (globals_init(module) < 0) return -1;
  Ref module_name = Ref::steal(PyUnicode_InternFromString(kModuleName));
  if (!module_name) return -1;

  if (publish_capi(module) < 0) return -1;
  if (create_class(module, module_name.get()) < 0) return -1;

  static const struct {
    const char* module;
    const char* attr;
  } imports[] = {
      {"typing", "TYPE_CHECKING"},
      {"pydantic", "GetCoreSchemaHandler"},
      {"pydantic", "GetJsonSchemaHandler"},
      {"pydantic_core", "core_schema"},
      {"slumbrel", "lazy"},
      {"glacine.frozen", "freeze"},
  };
  for (const auto& imp : imports)
    if (module::bind_import(module, imp.module, imp.attr) < 0) return -1;
  if (bind_table_data(module) < 0) return -1;

  if (attach_methods(module_name.get()) < 0) return -1;
  module::finish_exec(g_load, module);
  return 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) { return module::create(g_load, spec); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "grimsel",
    .m_doc = "A holder for tables in the unified data format.",
    .m_size = 0,
    .m_slots = slots,
};

}  // namespace

}  // namespace ondrel::grimsel

PyMODINIT_FUNC PyInit_grimsel() { return PyModuleDef_Init(&ondrel::grimsel::module_def); }
