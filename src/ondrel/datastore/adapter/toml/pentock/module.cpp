// The module ondrel.datastore.adapter.toml.pentock: exported tokens, import-time binding to
// the holder module and its constants, and module setup.
#include <Python.h>

#include "ondrel/_native/function.hpp"
#include "ondrel/_native/module.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/simd.hpp"
#include "ondrel/datastore/adapter/toml/pentock/dict_entries.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"
#include "ondrel/datastore/adapter/toml/pentock/save.hpp"

namespace ondrel::pentock {

// Exported token variables: set during import, read by native consumers through __capi__.
#define ONDREL_PENTOCK_TOKEN_VARIABLE(name, bytes) const char* name = nullptr;
ONDREL_PENTOCK_TOKENS(ONDREL_PENTOCK_TOKEN_VARIABLE)
#undef ONDREL_PENTOCK_TOKEN_VARIABLE

namespace {

constexpr char kFullName[] = "ondrel.datastore.adapter.toml.pentock";
constexpr char kSiblingName[] = "ondrel.datastore.c_unified_data";
constexpr char kModuleDoc[] =
    "Fast TOML encoder for UnifiedDataFormat - Tarvix implementation.\n\nEncodes the Ondrel "
    "UnifiedDataFormat directly to TOML with:\n- Multiline arrays for columns and records\n- "
    "Inline tables {k = v, ...} for each entry\n- Proper TOML string escaping\n";

struct Token {
  const char* name;
  const char** variable;
  const char* bytes;
};

const Token kTokens[] = {
#define ONDREL_PENTOCK_TOKEN_ENTRY(name, bytes) {#name, &(name), tok::name},
    ONDREL_PENTOCK_TOKENS(ONDREL_PENTOCK_TOKEN_ENTRY)
#undef ONDREL_PENTOCK_TOKEN_ENTRY
};
static_assert(sizeof(kTokens) / sizeof(kTokens[0]) == 31);

module::LoadState g_load;

int bind_tables_holder() {
  const char* mod = grimsel::kModuleName;
  Ref type = Ref::steal(module::import_from(mod, "TablesHolder"));
  if (!type) return -1;
  if (!PyType_Check(type.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", mod, "TablesHolder");
    return -1;
  }
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  const Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(grimsel::TablesHolderObject));
  if (tp->tp_basicsize < expected) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                 "from C header, got %zd from PyObject",
                 mod, "TablesHolder", expected, tp->tp_basicsize);
    return -1;
  }
  if (tp->tp_basicsize > expected &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                       "%.200s.%.200s size changed, may indicate binary incompatibility. "
                       "Expected %zd from C header, got %zd from PyObject",
                       mod, "TablesHolder", expected, tp->tp_basicsize) < 0)
    return -1;

  Ref dict = Ref::steal(PyType_GetDict(tp));
  PyObject* capsule = nullptr;
  if (!dict || PyDict_GetItemStringRef(dict.get(), grimsel::kVTableKey, &capsule) < 0) return -1;
  Ref capsule_ref = Ref::steal(capsule);
  void* vtable = nullptr;
  if (capsule != nullptr && PyCapsule_CheckExact(capsule))
    vtable = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
  if (vtable == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    return -1;
  }
  c_unified_data::TablesHolder_vtable = static_cast<grimsel::TablesHolderVTable*>(vtable);
  c_unified_data::TablesHolder_type = reinterpret_cast<PyTypeObject*>(type.release());
  return 0;
}

int bind_constants() {
  const char* names[] = {"ONE", "TWO", "ZERO"};
  for (const char* name : names)
    if (module::import_pointer(grimsel::kModuleName, name, module::kSizeSignature) == nullptr)
      return -1;
  const Py_ssize_t** slots[] = {&c_unified_data::ONE, &c_unified_data::TWO, &c_unified_data::ZERO};
  for (int i = 0; i < 3; ++i) {
    void* p = module::import_pointer(kSiblingName, names[i], module::kConstSizeSignature);
    if (p == nullptr) return -1;
    *slots[i] = static_cast<const Py_ssize_t*>(p);
  }
  return 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) { return module::create(g_load, spec); }

int exec(PyObject* module) {
  int rc = module::begin_exec(g_load, module, kFullName);
  if (rc != 0) return rc < 0 ? -1 : 0;
  if (function_type_ready() < 0) return -1;

  // Published before they are set: consumers read them once the import has finished.
  Ref capi = Ref::steal(module::capi_dict(module));
  if (!capi) return -1;
  for (const Token& t : kTokens)
    if (module::export_pointer(capi.get(), t.name, static_cast<void*>(t.variable),
                               module::kTokenSignature) < 0)
      return -1;

  if (bind_tables_holder() < 0) return -1;
  if (bind_constants() < 0) return -1;
  for (const Token& t : kTokens) *t.variable = t.bytes;

  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref defaults = Ref::steal(PyTuple_Pack(1, Py_False));
  if (!module_name || !defaults) return -1;
  for (const FunctionDef* def : {&kWriteFunction, &kEncodeFunction}) {
    PyObject* f = function_new(*def, module_name.get(), defaults.get(), nullptr);
    if (f == nullptr || PyModule_Add(module, def->name, f) < 0) return -1;
  }
  PyObject* lock = function_new(kStoreLockFunction, module_name.get(), nullptr, nullptr);
  if (lock == nullptr || PyModule_Add(module, kStoreLockFunction.name, lock) < 0) return -1;

  // The byte kernels' vector level, for the tests that run each level (ONDREL_SIMD).
  if (PyModule_AddStringConstant(module, "_simd_level", simd::name(simd::level())) < 0) return -1;
  // Whether dicts are read in place, for the test that feeds them every shape.
  if (!dict_entries::check_layout()) return -1;
#ifdef ONDREL_DICT_IN_PLACE
  const bool in_place = dict_entries::g_in_place;
#else
  const bool in_place = false;
#endif
  if (PyModule_Add(module, "_dict_in_place", PyBool_FromLong(in_place)) < 0) return -1;
  module::finish_exec(g_load, module);
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef g_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pentock",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_slots = g_slots,
};

}  // namespace
}  // namespace ondrel::pentock

PyMODINIT_FUNC PyInit_pentock() { return PyModuleDef_Init(&ondrel::pentock::g_def); }
