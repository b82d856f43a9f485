// The TablesHolder type: allocation and construction, garbage collection, the `empty` property.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

namespace {

// TablesHolder(holder=None): the interpreter hands tp_new/tp_init a tuple and a dict; the
// messages are the shared parser's, naming `func`. Sets *holder (borrowed, null if omitted).
int parse_holder_arg(const char* func, PyObject* args, PyObject* kwds, PyObject** holder) {
  static const char* const keywords[] = {"holder"};
  const args::Params params{func, keywords, 1, 0};
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* const* items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
  if (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0) [[likely]]
    return args::parse(params, items, nargs, nullptr, holder);
  if (nargs > 1) {
    args::raise_count(func, 0, 1, nargs);
    return -1;
  }
  // Lay the call out as a vector call: [positional..., keyword values...] + names.
  Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
  Ref kwnames = Ref::steal(PyTuple_New(nkw));
  if (!kwnames) return -1;
  PyObject** stack = PyMem_New(PyObject*, nargs + nkw);
  if (stack == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = items[i];
  Py_ssize_t pos = 0, i = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(kwds, &pos, &k, &v) && i < nkw) {
    PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(k));
    stack[nargs + i] = v;  // borrowed from kwds, which the caller keeps alive
    ++i;
  }
  int rc = args::parse(params, stack, nargs, kwnames.get(), holder);
  PyMem_Free(stack);
  return rc;
}

PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  PyObject* obj;
  if (!(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) [[likely]] {
    obj = type->tp_alloc(type, 0);
  } else {
    // Abstract subclasses: object's allocator raises the interpreter's own error.
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    obj = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
  }
  if (obj == nullptr) return nullptr;
  Ref owner = Ref::steal(obj);
  H* self = reinterpret_cast<H*>(obj);
  // The layout's field is a plain pointer (a binary contract); the table itself is constant.
  self->vtab = const_cast<TablesHolderVTable*>(&g_vtable);
  self->_root = Py_NewRef(Py_None);

  PyObject* holder = nullptr;
  if (parse_holder_arg("__cinit__", args, kwds, &holder) < 0) return nullptr;
  Ref source = Ref::borrow(holder != nullptr ? holder : Py_None);

  PyObject* root = PyDict_New();
  if (root == nullptr) return nullptr;
  Py_SETREF(self->_root, root);

  if (source.get() != Py_None && op_replace_dict(self, source.get(), 0) < 0) return nullptr;
  self->__TABLES_HOLDER__ = 1;
  return owner.release();
}

int holder_init(PyObject*, PyObject* args, PyObject* kwds) {
  // All work happened at allocation; __init__ only checks its argument.
  PyObject* holder;
  return parse_holder_arg("__init__", args, kwds, &holder);
}

int holder_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<H*>(self)->_root);
  return 0;
}

int holder_clear(PyObject* self) {
  H* h = reinterpret_cast<H*>(self);
  PyObject* old = h->_root;
  h->_root = Py_NewRef(Py_None);
  Py_XDECREF(old);
  return 0;
}

void holder_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  // Holders nest through their roots; the trashcan keeps a deep chain off the C stack.
  Py_TRASHCAN_BEGIN(self, holder_dealloc)
  Py_CLEAR(reinterpret_cast<H*>(self)->_root);
  Py_TYPE(self)->tp_free(self);
  Py_TRASHCAN_END
}

PyObject* holder_get_empty(PyObject* self, void*) {
  Py_ssize_t n = op_size(reinterpret_cast<H*>(self));
  if (n < 0) return nullptr;
  return PyBool_FromLong(n == 0);
}

PyGetSetDef holder_getset[] = {
    {"empty", holder_get_empty, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject TablesHolderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "ondrel.datastore.tables.grimsel.TablesHolder",
    .tp_basicsize = sizeof(TablesHolderObject),
    .tp_dealloc = holder_dealloc,
    .tp_repr = holder_repr,
    .tp_as_sequence = &holder_as_sequence,
    .tp_as_mapping = &holder_as_mapping,
    .tp_hash = holder_hash,
    .tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_doc = "TablesHolder(holder=None)",
    .tp_traverse = holder_traverse,
    .tp_clear = holder_clear,
    .tp_richcompare = holder_richcompare,
    .tp_getset = holder_getset,
    .tp_init = holder_init,
    .tp_new = holder_new,
};

}  // namespace ondrel::grimsel
