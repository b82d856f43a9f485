// The native operation table: thin adapters from the published C signatures to the operations.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

namespace {

PyObject* vt_get_root(H* self) { return Py_NewRef(self->_root); }

void vt_set_root(H* self, PyObject* new_root) {
  // New reference first, so passing the current root is harmless.
  PyObject* old = self->_root;
  self->_root = Py_NewRef(new_root != nullptr ? new_root : Py_None);
  Py_XDECREF(old);
}

void vt_ingest_dict(H* self, PyObject* incoming) { (void)op_ingest(self, incoming); }

PyObject* vt_as_dict(H* self, int skip) { return op_as_dict(self, skip); }

void vt_replace_dict(H* self, PyObject* other, int skip) {
  (void)op_replace_dict(self, other, skip);
}

Py_ssize_t vt_size(H* self) {
  Py_ssize_t n = op_size(self);
  return n < 0 ? 0 : n;
}

int vt_empty(H* self) { return op_size(self) == 0; }

void vt_set_unchecked(H* self, PyObject* name, PyObject* table) {
  (void)op_set_unchecked(self, name, table);
}

int vt_contains_unchecked(H* self, PyObject* name) { return op_contains_unchecked(self, name) > 0; }

PyObject* vt_keys_unchecked(H* self) { return op_keys_unchecked(self); }
PyObject* vt_values_unchecked(H* self) { return op_values_unchecked(self); }
PyObject* vt_items_unchecked(H* self) { return op_items_unchecked(self); }

int32_t vt_hash(H* self) {
  int32_t h = 0;
  return op_hash32(self, &h) < 0 ? 0 : h;
}

int exclude_none_of(const ModelDumpArgs* optional) {
  return optional == nullptr || optional->n <= 0 || optional->exclude_none != 0;
}

PyObject* vt_model_dump_unchecked(H* self, ModelDumpArgs* optional) {
  return op_model_dump_unchecked(self, exclude_none_of(optional));
}

int vt_contains(H* self, PyObject* name, int skip) { return op_contains(self, name, skip) > 0; }

void vt_set(H* self, PyObject* name, PyObject* table, int skip) {
  (void)op_set(self, name, table, skip);
}

void vt_add(H* self, PyObject* name, PyObject* table, int skip) {
  (void)op_add(self, name, table, skip);
}

PyObject* vt_get(H* self, PyObject* name, int skip) { return op_get(self, name, skip); }

void vt_remove(H* self, PyObject* name, int skip) { (void)op_remove(self, name, skip); }

void vt_clear(H* self, int skip) { (void)op_clear(self, skip); }

PyObject* vt_iterate(H* self, int skip) { return op_iterate(self, skip); }
PyObject* vt_keys(H* self, int skip) { return op_keys(self, skip); }
PyObject* vt_values(H* self, int skip) { return op_values(self, skip); }
PyObject* vt_items(H* self, int skip) { return op_items(self, skip); }

PyObject* vt_model_dump(H* self, int skip, ModelDumpArgs* optional) {
  return op_model_dump(self, skip, exclude_none_of(optional));
}

int vt_is_tables_holder(H* self, int skip) { return op_is_tables_holder(self, skip) > 0; }

}  // namespace

// In slot order: designated initializers must follow the declaration, so the compiler holds
// this table to the order of the published header.
constinit const TablesHolderVTable g_vtable = {
    .get_root = vt_get_root,
    .set_root = vt_set_root,
    .ingest_dict = vt_ingest_dict,
    .as_dict = vt_as_dict,
    .replace_dict = vt_replace_dict,
    ._size = vt_size,
    ._empty = vt_empty,
    ._set = vt_set_unchecked,
    ._contains = vt_contains_unchecked,
    ._keys = vt_keys_unchecked,
    ._values = vt_values_unchecked,
    ._items = vt_items_unchecked,
    ._hash = vt_hash,
    ._model_dump = vt_model_dump_unchecked,
    .contains = vt_contains,
    .set = vt_set,
    .add = vt_add,
    .get = vt_get,
    .remove = vt_remove,
    .clear = vt_clear,
    .iterate = vt_iterate,
    .keys = vt_keys,
    .values = vt_values,
    .items = vt_items,
    .model_dump = vt_model_dump,
    .is_tables_holder = vt_is_tables_holder,
};

}  // namespace ondrel::grimsel
