// Whole-mapping access and bulk loading: as_dict, ingest_dict, replace_dict.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

PyObject* op_as_dict(H* self, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.as_dict, py_as_dict, fn);
  if (o == 0) return Py_NewRef(self->_root);  // the live mapping, not a copy
  if (o < 0) return nullptr;
  return check_result(PyObject_CallNoArgs(fn.get()), &PyDict_Type, "dict");
}

namespace {

// A dict value becomes TableData.model_validate(value); TableData is looked up at each use.
PyObject* validate_table(PyObject* value) {
  Ref table_data = Ref::steal(lookup_global(g_names.TableData));
  if (!table_data) return nullptr;
  Ref validate = Ref::steal(PyObject_GetAttr(table_data.get(), g_names.model_validate));
  if (!validate) return nullptr;
  return PyObject_CallOneArg(validate.get(), value);
}

}  // namespace

int op_ingest(H* self, PyObject* incoming) {
  if (incoming == nullptr || !PyDict_Check(incoming)) return 0;
  Ref source = Ref::borrow(incoming);  // a validator may drop the caller's last reference
  Py_ssize_t pos = ZERO;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(source.get(), &pos, &k, &v)) {
    // Own the pair: model_validate and the store run Python code that may change `incoming`.
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (PyDict_Check(value.get())) {
      value = Ref::steal(validate_table(value.get()));
      if (!value) return -1;
    }
    // Re-read: the call above may have run Python code. Held: so may the key's __hash__.
    Ref root = Ref::borrow(root_dict(self));
    if (!root) return -1;
    if (PyDict_SetItem(root.get(), key.get(), value.get()) < 0) return -1;
  }
  return 0;
}

int op_replace_dict(H* self, PyObject* other, int skip_dispatch) {
  Ref fn;
  int o = find_override(self, skip_dispatch, g_names.replace_dict, py_replace_dict, fn);
  if (o < 0) return -1;
  if (o > 0) {
    PyObject* args[] = {other};
    Ref r = Ref::steal(PyObject_Vectorcall(fn.get(), args, 1, nullptr));
    return r ? 0 : -1;
  }
  if (PyDict_Check(other)) return op_ingest(self, other);
  if (is_holder(other)) {
    Ref theirs = Ref::steal(
        check_result(PyObject_CallMethodNoArgs(other, g_names.as_dict), &PyDict_Type, "dict"));
    if (!theirs) return -1;
    return op_ingest(self, theirs.get());
  }
  return 0;  // anything else is ignored
}

}  // namespace ondrel::grimsel
