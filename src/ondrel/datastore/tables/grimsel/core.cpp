// Root access, the override rule, and the single-table operations of TablesHolder.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

Names g_names;

namespace {
PyObject* g_module_dict = nullptr;    // strong, for the process's life
PyObject* g_builtins_dict = nullptr;  // strong, for the process's life
}  // namespace

int names_init() {
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&g_names.as_dict, "as_dict"},
      {&g_names.replace_dict, "replace_dict"},
      {&g_names.contains, "contains"},
      {&g_names.set, "set"},
      {&g_names.add, "add"},
      {&g_names.get, "get"},
      {&g_names.remove, "remove"},
      {&g_names.clear, "clear"},
      {&g_names.iterate, "iterate"},
      {&g_names.keys, "keys"},
      {&g_names.values, "values"},
      {&g_names.items, "items"},
      {&g_names.model_dump, "model_dump"},
      {&g_names.is_tables_holder, "is_tables_holder"},
      {&g_names.model_validate, "model_validate"},
      {&g_names.TableData, "TableData"},
      {&g_names.freeze, "freeze"},
      {&g_names.core_schema, "core_schema"},
      {&g_names.no_info_plain_validator_function, "no_info_plain_validator_function"},
      {&g_names.plain_serializer_function_ser_schema, "plain_serializer_function_ser_schema"},
      {&g_names.pydantic_core_schema, "__pydantic_core_schema__"},
      {&g_names.str_schema, "str_schema"},
      {&g_names.dict_schema, "dict_schema"},
      {&g_names._validate, "_validate"},
      {&g_names._serialize, "_serialize"},
      {&g_names.serialization, "serialization"},
      {&g_names.info_arg, "info_arg"},
      {&g_names.eq, "__eq__"},
      {&g_names.empty_str, ""},
  };
  // Filled slot by slot; a retried import after a failure completes the set.
  for (const Entry& e : entries) {
    if (*e.slot != nullptr) continue;
    *e.slot = PyUnicode_InternFromString(e.text);
    if (*e.slot == nullptr) return -1;
  }
  return 0;
}

int globals_init(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  PyObject* bdict = PyModule_GetDict(builtins.get());  // borrowed
  Py_XSETREF(g_module_dict, Py_NewRef(dict));
  Py_XSETREF(g_builtins_dict, Py_NewRef(bdict));
  return 0;
}

PyObject* lookup_global(PyObject* name) {
  PyObject* value = nullptr;
  if (g_module_dict != nullptr) {
    if (PyDict_GetItemRef(g_module_dict, name, &value) < 0) return nullptr;
    if (value != nullptr) return value;
  }
  if (g_builtins_dict != nullptr) {
    if (PyDict_GetItemRef(g_builtins_dict, name, &value) < 0) return nullptr;
    if (value != nullptr) return value;
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

H* method_self(PyObject* self) {
  if (is_holder(self)) [[likely]]
    return reinterpret_cast<H*>(self);
  PyErr_Format(PyExc_TypeError,
               "Argument 'self' has incorrect type (expected TablesHolder, got %.200s)",
               Py_TYPE(self)->tp_name);
  return nullptr;
}

PyObject* root_dict_slow(H* self) {
  PyObject* root = self->_root;
  if (root != nullptr && PyDict_Check(root)) return root;
  PyErr_Format(PyExc_TypeError, "TablesHolder has no tables dict (its root is %.200s)",
               root == nullptr ? "NULL" : Py_TYPE(root)->tp_name);
  return nullptr;
}

int find_override_slow(H* self, PyObject* name, NativeImpl impl, Ref& out) {
  PyTypeObject* type = Py_TYPE(self);
  // Natively defined classes without an instance dict cannot carry an override.
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && type->tp_dictoffset == 0) return 0;
  PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name);
  if (found == nullptr) return -1;
  if (function_runs(found, impl)) {
    Py_DECREF(found);
    return 0;
  }
  out = Ref::steal(found);
  return 1;
}

// ---- primitives: straight to the root dict, never overridden ----

Py_ssize_t op_size(H* self) {
  PyObject* root = root_dict(self);
  if (root == nullptr) return -1;
  return PyDict_GET_SIZE(root);
}

int op_set_unchecked(H* self, PyObject* name, PyObject* table) {
  Ref root = Ref::borrow(root_dict(self));
  if (!root) return -1;
  return PyDict_SetItem(root.get(), name, table);
}

int op_contains_unchecked(H* self, PyObject* name) {
  Ref root = Ref::borrow(root_dict(self));
  if (!root) return -1;
  return PyDict_Contains(root.get(), name);
}

PyObject* op_keys_unchecked(H* self) {
  PyObject* root = root_dict(self);
  return root ? PyDict_Keys(root) : nullptr;
}

PyObject* op_values_unchecked(H* self) {
  PyObject* root = root_dict(self);
  return root ? PyDict_Values(root) : nullptr;
}

PyObject* op_items_unchecked(H* self) {
  PyObject* root = root_dict(self);
  return root ? PyDict_Items(root) : nullptr;
}

// ---- public operations: override rule, then the built-in steps ----

int op_contains(H* self, PyObject* name, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.contains, py_contains, fn);
  if (o == 0) return op_contains_unchecked(self, name);
  if (o < 0) return -1;
  PyObject* args[] = {name};
  Ref r = Ref::steal(PyObject_Vectorcall(fn.get(), args, 1, nullptr));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

namespace {
int call_discard(Ref& fn, PyObject* const* args, size_t nargs) {
  Ref r = Ref::steal(PyObject_Vectorcall(fn.get(), args, nargs, nullptr));
  return r ? 0 : -1;
}
}  // namespace

int op_set(H* self, PyObject* name, PyObject* table, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.set, py_set, fn);
  if (o == 0) return op_set_unchecked(self, name, table);
  if (o < 0) return -1;
  PyObject* args[] = {name, table};
  return call_discard(fn, args, 2);
}

int op_add(H* self, PyObject* name, PyObject* table, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.add, py_add, fn);
  if (o == 0) return op_set_unchecked(self, name, table);
  if (o < 0) return -1;
  PyObject* args[] = {name, table};
  return call_discard(fn, args, 2);
}

PyObject* op_get(H* self, PyObject* name, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.get, py_get, fn);
  if (o == 0) {
    PyObject* root = root_dict(self);
    if (root == nullptr) return nullptr;
    return lookup_or_none(root, name);
  }
  if (o < 0) return nullptr;
  PyObject* args[] = {name};
  return PyObject_Vectorcall(fn.get(), args, 1, nullptr);
}

int op_remove(H* self, PyObject* name, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.remove, py_remove, fn);
  if (o == 0) {
    Ref root = Ref::borrow(root_dict(self));
    if (!root) return -1;
    return PyDict_DelItem(root.get(), name);  // KeyError(name) when absent
  }
  if (o < 0) return -1;
  PyObject* args[] = {name};
  return call_discard(fn, args, 1);
}

int op_clear(H* self, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.clear, py_clear, fn);
  if (o == 0) {
    Ref root = Ref::borrow(root_dict(self));
    if (!root) return -1;
    PyDict_Clear(root.get());  // in place: earlier references to the root see it emptied
    return 0;
  }
  if (o < 0) return -1;
  return call_discard(fn, nullptr, 0);
}

}  // namespace ondrel::grimsel
