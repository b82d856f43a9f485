// Python protocols of TablesHolder: subscript, len, in, ==/!=, hash and repr.
#include "ondrel/_native/stack.hpp"
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

namespace {

inline int check_key(PyObject* name) {
  if (PyUnicode_CheckExact(name)) [[likely]]
    return 0;
  return args::check_exact_str(name, "name", false, true);
}

// Only len and `in` name messages for a root that is not a dict.
[[gnu::cold]] void raise_no_len(PyObject* root) {
  PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(root)->tp_name);
}

[[gnu::cold]] void raise_not_iterable(PyObject* root) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(root)->tp_name);
}

Py_ssize_t holder_length(PyObject* self) {
  PyObject* root = reinterpret_cast<H*>(self)->_root;
  if (PyDict_Check(root)) [[likely]]
    return PyDict_GET_SIZE(root);
  raise_no_len(root);
  return -1;
}

PyObject* holder_subscript(PyObject* self, PyObject* name) {
  if (check_key(name) < 0) return nullptr;
  if (PyObject* root = plain_root(self)) [[likely]]
    return lookup_or_none(root, name);
  return op_get(reinterpret_cast<H*>(self), name, 0);
}

int holder_ass_subscript(PyObject* self, PyObject* name, PyObject* value) {
  if (check_key(name) < 0) return -1;
  if (PyObject* root = plain_root(self)) [[likely]] {
    // Held: comparing with a colliding key, or dropping the old value, runs Python code.
    Ref held = Ref::borrow(root);
    return value ? PyDict_SetItem(held.get(), name, value) : PyDict_DelItem(held.get(), name);
  }
  if (value == nullptr) return op_remove(reinterpret_cast<H*>(self), name, 0);
  return op_set(reinterpret_cast<H*>(self), name, value, 0);
}

// Integer indexing (also the fallback iteration protocol) goes through the subscript, whose
// name check refuses it: a holder is not a sequence of tables.
PyObject* holder_item(PyObject* self, Py_ssize_t index) {
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  if (!key) return nullptr;
  return holder_subscript(self, key.get());
}

int holder_contains(PyObject* self, PyObject* name) {
  if (check_key(name) < 0) return -1;
  PyObject* root = reinterpret_cast<H*>(self)->_root;
  if (PyDict_Check(root)) [[likely]] {
    Ref held = Ref::borrow(root);  // a colliding key's __eq__ may replace the root
    return PyDict_Contains(held.get(), name);
  }
  raise_not_iterable(root);
  return -1;
}

}  // namespace

PyMappingMethods holder_as_mapping = {
    .mp_length = holder_length,
    .mp_subscript = holder_subscript,
    .mp_ass_subscript = holder_ass_subscript,
};

PySequenceMethods holder_as_sequence = {
    .sq_length = holder_length,
    .sq_item = holder_item,
    .sq_contains = holder_contains,
};

PyObject* holder_richcompare(PyObject* self, PyObject* other, int op) {
  if (op == Py_NE) {
    // Through __eq__ by name, so a subclass's __eq__ is honoured. NotImplemented is passed on
    // rather than negated: its truth value is deprecated and would make `holder != 5` False.
    Ref eq = Ref::steal(PyObject_CallMethodOneArg(self, g_names.eq, other));
    if (!eq) return nullptr;
    if (eq.get() == Py_NotImplemented) return eq.release();
    int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(!truth);
  }
  if (op != Py_EQ || !is_holder(other)) Py_RETURN_NOTIMPLEMENTED;
  Ref keep_other = Ref::borrow(other);
  Ref mine = Ref::steal(op_as_dict(reinterpret_cast<H*>(self), 0));
  if (!mine) return nullptr;
  Ref theirs = Ref::steal(PyObject_CallMethodNoArgs(other, g_names.as_dict));
  if (!theirs) return nullptr;
  // Holders nested in each other's tables compare through here at every level.
  stack::RecursionGuard guard(" in comparison");
  if (!guard) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

namespace {

// hash(freeze(root)); both are owned by the caller.
Py_hash_t hash_frozen(PyObject* freeze, PyObject* root) {
  Ref frozen;
  {
    stack::RecursionGuard guard(" while hashing a TablesHolder");
    if (!guard) return -1;
    frozen = Ref::steal(PyObject_CallOneArg(freeze, root));
  }
  if (!frozen) return -1;
  return PyObject_Hash(frozen.get());
}

}  // namespace

Py_hash_t holder_hash(PyObject* self) {
  Ref freeze = Ref::steal(lookup_global(g_names.freeze));
  if (!freeze) return -1;
  Ref root = Ref::steal(op_as_dict(reinterpret_cast<H*>(self), 0));
  if (!root) return -1;
  return hash_frozen(freeze.get(), root.get());
}

int op_hash32(H* self, int32_t* out) {
  Ref freeze = Ref::steal(lookup_global(g_names.freeze));
  if (!freeze) return -1;
  Ref root = Ref::borrow(self->_root);  // get_root: no override applies
  Py_hash_t h = hash_frozen(freeze.get(), root.get());
  if (h == -1 && PyErr_Occurred()) return -1;
  // The low 32 bits, as a two's-complement int.
  *out = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(h)));
  return 0;
}

PyObject* holder_repr(PyObject* self) {
  Ref root = Ref::steal(op_as_dict(reinterpret_cast<H*>(self), 0));
  if (!root) return nullptr;
  Ref text;
  PyObject* r = root.get();
  if (PyUnicode_CheckExact(r)) {
    text = Ref::borrow(r);
  } else if (PyLong_CheckExact(r) || PyFloat_CheckExact(r)) {
    text = Ref::steal(PyObject_Repr(r));
  } else {
    // Holders nested in each other's tables are formatted through here at every level.
    stack::RecursionGuard guard(" while getting the repr of an object");
    if (!guard) return nullptr;
    text = Ref::steal(PyObject_Format(r, g_names.empty_str));
  }
  if (!text) return nullptr;
  return PyUnicode_FromFormat("TablesHolder(%U)", text.get());
}

}  // namespace ondrel::grimsel
