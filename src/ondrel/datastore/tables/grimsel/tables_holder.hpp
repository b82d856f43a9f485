// Native layout of TablesHolder and its table of native operations. Other extension modules
// include this header and reach holders through it without attribute lookup; the layout and
// the slot order are a binary contract, so only ever append.
#pragma once

#include <Python.h>

#include <cstdint>

namespace ondrel::grimsel {

struct TablesHolderVTable;

struct TablesHolderObject {
  PyObject_HEAD
  TablesHolderVTable* vtab;   // the one table of the module, also for Python subclasses
  PyObject* _root;            // owned: dict of name -> table, or None once the GC cleared it
  int32_t __TABLES_HOLDER__;  // 0 while constructing, 1 once constructed
};

// Optional arguments of `_model_dump` and `model_dump`: the count given (0 or 1), then the flag.
struct ModelDumpArgs {
  int32_t n;
  int32_t exclude_none;
};

// Slots taking `skip_dispatch`: nonzero runs the built-in operation; zero lets a method of the
// same name on a Python subclass (or instance) run instead. Slots without an object result
// report failure by a pending exception only; callers test PyErr_Occurred() after each call.
struct TablesHolderVTable {
  PyObject* (*get_root)(TablesHolderObject* self);  // new reference
  void (*set_root)(TablesHolderObject* self, PyObject* new_root);
  void (*ingest_dict)(TablesHolderObject* self, PyObject* incoming);
  PyObject* (*as_dict)(TablesHolderObject* self, int skip_dispatch);
  void (*replace_dict)(TablesHolderObject* self, PyObject* other, int skip_dispatch);
  Py_ssize_t (*_size)(TablesHolderObject* self);
  int (*_empty)(TablesHolderObject* self);
  void (*_set)(TablesHolderObject* self, PyObject* name, PyObject* table);
  int (*_contains)(TablesHolderObject* self, PyObject* name);
  PyObject* (*_keys)(TablesHolderObject* self);
  PyObject* (*_values)(TablesHolderObject* self);
  PyObject* (*_items)(TablesHolderObject* self);
  int32_t (*_hash)(TablesHolderObject* self);
  PyObject* (*_model_dump)(TablesHolderObject* self, ModelDumpArgs* optional);
  int (*contains)(TablesHolderObject* self, PyObject* name, int skip_dispatch);
  void (*set)(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch);
  void (*add)(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch);
  PyObject* (*get)(TablesHolderObject* self, PyObject* name, int skip_dispatch);
  void (*remove)(TablesHolderObject* self, PyObject* name, int skip_dispatch);
  void (*clear)(TablesHolderObject* self, int skip_dispatch);
  PyObject* (*iterate)(TablesHolderObject* self, int skip_dispatch);
  PyObject* (*keys)(TablesHolderObject* self, int skip_dispatch);
  PyObject* (*values)(TablesHolderObject* self, int skip_dispatch);
  PyObject* (*items)(TablesHolderObject* self, int skip_dispatch);
  PyObject* (*model_dump)(TablesHolderObject* self, int skip_dispatch, ModelDumpArgs* optional);
  int (*is_tables_holder)(TablesHolderObject* self, int skip_dispatch);
};

static_assert(sizeof(TablesHolderVTable) == 26 * sizeof(void*), "26 slots");

inline constexpr const char kModuleName[] = "ondrel.datastore.tables.grimsel";
inline constexpr const char kVTableKey[] = "__vtable__";

}  // namespace ondrel::grimsel
