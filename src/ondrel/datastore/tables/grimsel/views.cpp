// Views, state queries and dumps: iterate, keys, values, items, model_dump, is_tables_holder.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

PyObject* op_iterate(H* self, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.iterate, py_iterate, fn);
  if (o < 0) return nullptr;
  if (o > 0) return PyObject_CallNoArgs(fn.get());
  PyObject* root = self->_root;
  if (root == nullptr || !PyDict_Check(root)) {
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'",
                 root == nullptr ? "NoneType" : Py_TYPE(root)->tp_name, "keys");
    return nullptr;
  }
  // iter(d) and iter(d.keys()) are the same live key iterator.
  if (Py_IS_TYPE(root, &PyDict_Type)) return PyObject_GetIter(root);
  Ref view = Ref::steal(PyObject_CallMethodNoArgs(root, g_names.keys));
  if (!view) return nullptr;
  return PyObject_GetIter(view.get());
}

namespace {
using ListFn = PyObject* (*)(H*);

PyObject* list_view(H* self, int skip_dispatch, PyObject* name, NativeImpl impl, ListFn builtin) {
  Ref fn;
  int o = find_override(self, skip_dispatch, name, impl, fn);
  if (o == 0) return builtin(self);
  if (o < 0) return nullptr;
  return check_result(PyObject_CallNoArgs(fn.get()), &PyList_Type, "list");
}
}  // namespace

PyObject* op_keys(H* self, int skip_dispatch) {
  return list_view(self, skip_dispatch, g_names.keys, py_keys, op_keys_unchecked);
}

PyObject* op_values(H* self, int skip_dispatch) {
  return list_view(self, skip_dispatch, g_names.values, py_values, op_values_unchecked);
}

PyObject* op_items(H* self, int skip_dispatch) {
  return list_view(self, skip_dispatch, g_names.items, py_items, op_items_unchecked);
}

PyObject* op_model_dump_unchecked(H* self, int exclude_none) {
  PyObject* root = root_dict(self);
  if (root == nullptr) return nullptr;
  Ref source = Ref::borrow(root);
  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  Py_ssize_t pos = ZERO;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(source.get(), &pos, &k, &v)) {
    if (exclude_none && v == Py_None) continue;
    // A key's __hash__ or __eq__ may change the root while we store: own the pair.
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return result.release();
}

PyObject* op_model_dump(H* self, int skip_dispatch, int exclude_none) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.model_dump, py_model_dump, fn);
  if (o == 0) return op_model_dump_unchecked(self, exclude_none);
  if (o < 0) return nullptr;
  PyObject* args[] = {exclude_none ? Py_True : Py_False};
  return check_result(PyObject_Vectorcall(fn.get(), args, 1, nullptr), &PyDict_Type, "dict");
}

int op_is_tables_holder(H* self, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.is_tables_holder, py_is_tables_holder, fn);
  if (o == 0) return self->__TABLES_HOLDER__ != 0;
  if (o < 0) return -1;
  Ref r = Ref::steal(PyObject_CallNoArgs(fn.get()));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

}  // namespace ondrel::grimsel
