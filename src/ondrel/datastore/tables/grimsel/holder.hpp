// Declarations shared by the files of the table-holder module (not for other modules).
#pragma once

#include <Python.h>

#include "ondrel/_native/args.hpp"
#include "ondrel/_native/errors.hpp"
#include "ondrel/_native/function.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/tables/grimsel/tables_holder.hpp"

namespace ondrel::grimsel {

using H = TablesHolderObject;

extern PyTypeObject TablesHolderType;
extern const TablesHolderVTable g_vtable;
extern Py_ssize_t ZERO;
extern Py_ssize_t ONE;
extern Py_ssize_t TWO;

// Interned names, made once at module execution and kept for the process's life.
struct Names {
  PyObject* as_dict;
  PyObject* replace_dict;
  PyObject* contains;
  PyObject* set;
  PyObject* add;
  PyObject* get;
  PyObject* remove;
  PyObject* clear;
  PyObject* iterate;
  PyObject* keys;
  PyObject* values;
  PyObject* items;
  PyObject* model_dump;
  PyObject* is_tables_holder;
  PyObject* model_validate;
  PyObject* TableData;
  PyObject* freeze;
  PyObject* core_schema;
  PyObject* no_info_plain_validator_function;
  PyObject* plain_serializer_function_ser_schema;
  PyObject* pydantic_core_schema;  // "__pydantic_core_schema__"
  PyObject* str_schema;
  PyObject* dict_schema;
  PyObject* _validate;
  PyObject* _serialize;
  PyObject* serialization;
  PyObject* info_arg;
  PyObject* eq;  // "__eq__"
  PyObject* empty_str;
};
extern Names g_names;
int names_init();

// Module namespace and built-ins, for the globals that methods look up at each use.
int globals_init(PyObject* module);
// New reference to the module global `name` (module namespace, then built-ins), or null with
// NameError set.
PyObject* lookup_global(PyObject* name);

inline bool is_holder(PyObject* o) {
  return Py_IS_TYPE(o, &TablesHolderType) || PyType_IsSubtype(Py_TYPE(o), &TablesHolderType);
}

// `self` of a Python-level method: null with TypeError unless it is a holder, so a call
// through the class never reads another object as one.
H* method_self(PyObject* self);

// The root when it is a dict (borrowed); else null with TypeError. The GC or set_root may have
// left something else there. Hold it (Ref::borrow) across any dict operation that hashes or
// compares a key or drops a value: that runs Python code, which may replace the root.
PyObject* root_dict_slow(H* self);
inline PyObject* root_dict(H* self) {
  PyObject* root = self->_root;
  if (Py_IS_TYPE(root, &PyDict_Type)) [[likely]]
    return root;
  return root_dict_slow(self);
}

// The root of a holder whose class is TablesHolder itself and whose root is a dict: the case in
// which an operation may go straight to the dict. Null otherwise (no exception set).
inline PyObject* plain_root(PyObject* self) {
  if (!Py_IS_TYPE(self, &TablesHolderType)) return nullptr;
  PyObject* root = reinterpret_cast<H*>(self)->_root;
  return Py_IS_TYPE(root, &PyDict_Type) ? root : nullptr;
}

// dict lookup that reports no error: a failing hash or comparison counts as "not found".
inline PyObject* lookup_or_none(PyObject* root, PyObject* name) {
  // Held: a key's __hash__ or __eq__ may run code that replaces the holder's root.
  Ref held = Ref::borrow(root);
  PyObject* found;
  if (PyDict_GetItemRef(held.get(), name, &found) < 0) [[unlikely]]
    PyErr_Clear();
  return found ? found : Py_NewRef(Py_None);
}

// Override rule: 0 = run the built-in operation, 1 = `out` holds what to call instead,
// -1 = error. `impl` is the Python-level method whose presence means "not overridden".
int find_override_slow(H* self, PyObject* name, NativeImpl impl, Ref& out);
inline int find_override(H* self, int skip_dispatch, PyObject* name, NativeImpl impl, Ref& out) {
  if (skip_dispatch || Py_IS_TYPE(self, &TablesHolderType)) [[likely]]
    return 0;
  return find_override_slow(self, name, impl, out);
}

// A result delivered by an override or a method call must be exactly `type` or None.
inline PyObject* check_result(PyObject* result, PyTypeObject* type, const char* type_name) {
  if (result == nullptr || result == Py_None || Py_IS_TYPE(result, type)) return result;
  errors::raise_expected(type_name, result);
  Py_DECREF(result);
  return nullptr;
}

// Built-in and dispatching operations. Ints are -1 on error (with the exception set), else 0,
// or the flag value; objects are new references or null.
Py_ssize_t op_size(H* self);
int op_set_unchecked(H* self, PyObject* name, PyObject* table);
int op_contains_unchecked(H* self, PyObject* name);
PyObject* op_keys_unchecked(H* self);
PyObject* op_values_unchecked(H* self);
PyObject* op_items_unchecked(H* self);
PyObject* op_model_dump_unchecked(H* self, int exclude_none);

PyObject* op_as_dict(H* self, int skip_dispatch);
int op_ingest(H* self, PyObject* incoming);
int op_replace_dict(H* self, PyObject* other, int skip_dispatch);
int op_contains(H* self, PyObject* name, int skip_dispatch);
int op_set(H* self, PyObject* name, PyObject* table, int skip_dispatch);
int op_add(H* self, PyObject* name, PyObject* table, int skip_dispatch);
PyObject* op_get(H* self, PyObject* name, int skip_dispatch);
int op_remove(H* self, PyObject* name, int skip_dispatch);
int op_clear(H* self, int skip_dispatch);
PyObject* op_iterate(H* self, int skip_dispatch);
PyObject* op_keys(H* self, int skip_dispatch);
PyObject* op_values(H* self, int skip_dispatch);
PyObject* op_items(H* self, int skip_dispatch);
PyObject* op_model_dump(H* self, int skip_dispatch, int exclude_none);
int op_is_tables_holder(H* self, int skip_dispatch);
int op_hash32(H* self, int32_t* out);

// Python-level methods (the `impl` of each function object); see methods.cpp.
PyObject* py_as_dict(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_replace_dict(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_contains(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_set(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_add(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_remove(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_clear(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_iterate(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_keys(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_values(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_items(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_is_tables_holder(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_model_dump(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_pydantic_core_schema(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_pydantic_json_schema(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_validate(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_serialize(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Step 6 of module execution: the eighteen methods, in order, into the class dict.
int attach_methods(PyObject* module_name);
// The pickling refusal (__reduce__, __setstate__) into the class dict.
int install_pickling(PyObject* module_name);

// Type slots defined in protocols.cpp.
extern PyMappingMethods holder_as_mapping;
extern PySequenceMethods holder_as_sequence;
PyObject* holder_repr(PyObject* self);
Py_hash_t holder_hash(PyObject* self);
PyObject* holder_richcompare(PyObject* self, PyObject* other, int op);

}  // namespace ondrel::grimsel
