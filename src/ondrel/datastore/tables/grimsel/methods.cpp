// The Python-level methods of TablesHolder: argument checks, then the built-in operation.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

namespace {

constexpr const char* kName[] = {"name"};
constexpr const char* kNameTable[] = {"name", "table"};
constexpr const char* kOther[] = {"other"};
constexpr const char* kExcludeNone[] = {"exclude_none"};
constexpr const char* kState[] = {"state"};

// Fills out[0..N) from exactly N positional arguments without touching the generic parser.
template <Py_ssize_t N>
inline int parse_required(const args::Params& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject** out) {
  if (nargs == N && kwnames == nullptr) [[likely]] {
    for (Py_ssize_t i = 0; i < N; ++i) out[i] = args[i];
    return 0;
  }
  return args::parse(params, args, nargs, kwnames, out);
}

inline int check_name(PyObject* name) {
  if (PyUnicode_CheckExact(name) || name == Py_None) [[likely]]
    return 0;
  return args::check_exact_str(name, "name", true, false);
}

inline PyObject* none_or_null(int rc) { return rc < 0 ? nullptr : Py_NewRef(Py_None); }

// Methods that take one `name`.
template <typename Op>
inline PyObject* with_name(const args::Params& params, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, Op op) {
  H* h = method_self(self);
  if (h == nullptr) return nullptr;
  PyObject* name;
  if (parse_required<1>(params, args, nargs, kwnames, &name) < 0) return nullptr;
  if (check_name(name) < 0) return nullptr;
  return op(h, name);
}

// Methods that take `name` and `table`.
template <typename Op>
inline PyObject* with_name_table(const args::Params& params, PyObject* self, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames, Op op) {
  H* h = method_self(self);
  if (h == nullptr) return nullptr;
  PyObject* a[2];
  if (parse_required<2>(params, args, nargs, kwnames, a) < 0) return nullptr;
  if (check_name(a[0]) < 0) return nullptr;
  return none_or_null(op(h, a[0], a[1]));
}

inline H* no_arg_self(const char* func, PyObject* self, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = method_self(self);
  if (h == nullptr) return nullptr;
  if ((nargs != 0 || kwnames != nullptr) && args::no_args(func, nargs, kwnames) < 0) return nullptr;
  return h;
}

}  // namespace

PyObject* py_as_dict(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = no_arg_self("as_dict", self, nargs, kwnames);
  return h ? op_as_dict(h, 1) : nullptr;
}

PyObject* py_replace_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const args::Params params{"replace_dict", kOther, 1, 1};
  H* h = method_self(self);
  if (h == nullptr) return nullptr;
  PyObject* other;
  if (parse_required<1>(params, args, nargs, kwnames, &other) < 0) return nullptr;
  return none_or_null(op_replace_dict(h, other, 1));
}

PyObject* py_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"contains", kName, 1, 1};
  return with_name(params, self, args, nargs, kwnames, [](H* h, PyObject* name) -> PyObject* {
    int r = op_contains(h, name, 1);
    return r < 0 ? nullptr : PyBool_FromLong(r);
  });
}

PyObject* py_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"set", kNameTable, 2, 2};
  return with_name_table(params, self, args, nargs, kwnames,
                         [](H* h, PyObject* n, PyObject* t) { return op_set(h, n, t, 1); });
}

PyObject* py_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"add", kNameTable, 2, 2};
  return with_name_table(params, self, args, nargs, kwnames,
                         [](H* h, PyObject* n, PyObject* t) { return op_add(h, n, t, 1); });
}

PyObject* py_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"get", kName, 1, 1};
  if (nargs == 1 && kwnames == nullptr) [[likely]] {
    // The common call: one exact str on a TablesHolder whose root is a dict.
    PyObject* root = plain_root(self);  // checks the class before reading the field
    if (root != nullptr && PyUnicode_CheckExact(args[0])) return lookup_or_none(root, args[0]);
  }
  return with_name(params, self, args, nargs, kwnames,
                   [](H* h, PyObject* name) { return op_get(h, name, 1); });
}

PyObject* py_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"remove", kName, 1, 1};
  return with_name(params, self, args, nargs, kwnames,
                   [](H* h, PyObject* name) { return none_or_null(op_remove(h, name, 1)); });
}

PyObject* py_clear(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = no_arg_self("clear", self, nargs, kwnames);
  return h ? none_or_null(op_clear(h, 1)) : nullptr;
}

PyObject* py_iterate(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = no_arg_self("iterate", self, nargs, kwnames);
  return h ? op_iterate(h, 1) : nullptr;
}

PyObject* py_keys(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = no_arg_self("keys", self, nargs, kwnames);
  return h ? op_keys_unchecked(h) : nullptr;
}

PyObject* py_values(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = no_arg_self("values", self, nargs, kwnames);
  return h ? op_values_unchecked(h) : nullptr;
}

PyObject* py_items(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = no_arg_self("items", self, nargs, kwnames);
  return h ? op_items_unchecked(h) : nullptr;
}

PyObject* py_is_tables_holder(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
  H* h = no_arg_self("is_tables_holder", self, nargs, kwnames);
  return h ? PyBool_FromLong(h->__TABLES_HOLDER__ != 0) : nullptr;
}

PyObject* py_model_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const args::Params params{"model_dump", kExcludeNone, 1, 0};
  H* h = method_self(self);
  if (h == nullptr) return nullptr;
  PyObject* flag_obj = nullptr;
  if ((nargs != 0 || kwnames != nullptr) &&
      args::parse(params, args, nargs, kwnames, &flag_obj) < 0)
    return nullptr;
  int exclude_none = 1;
  if (flag_obj != nullptr) {
    exclude_none = PyObject_IsTrue(flag_obj);
    if (exclude_none < 0) return nullptr;
  }
  return op_model_dump_unchecked(h, exclude_none);
}

namespace {

constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

PyObject* py_reduce(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (args::no_args("__reduce__", nargs, kwnames) < 0) return nullptr;
  PyErr_SetString(PyExc_TypeError, kNoReduce);
  return nullptr;
}

PyObject* py_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"__setstate__", kState, 1, 1};
  PyObject* state;
  if (args::parse(params, args, nargs, kwnames, &state) < 0) return nullptr;
  PyErr_SetString(PyExc_TypeError, kNoReduce);
  return nullptr;
}

struct MethodEntry {
  FunctionDef def;
  bool classmethod;
  const char* handler_annotation = nullptr;  // the pydantic hooks' `handler`
};

int store_methods(PyObject* module_name, const MethodEntry* entries, size_t n,
                  PyObject* defaults_for_model_dump) {
  Ref type_dict = Ref::steal(PyType_GetDict(&TablesHolderType));
  if (!type_dict) return -1;
  for (size_t i = 0; i < n; ++i) {
    const MethodEntry& e = entries[i];
    PyObject* defaults = e.def.impl == py_model_dump ? defaults_for_model_dump : nullptr;
    // The annotation is the name as a string, not the imported class.
    Ref annotations;
    if (e.handler_annotation != nullptr) {
      annotations = Ref::steal(Py_BuildValue("{ss}", "handler", e.handler_annotation));
      if (!annotations) return -1;
    }
    Ref fn =
        Ref::steal(e.classmethod ? classmethod_new(e.def, module_name, defaults, annotations.get())
                                 : function_new(e.def, module_name, defaults, annotations.get()));
    if (!fn) return -1;
    if (PyDict_SetItemString(type_dict.get(), e.def.name, fn.get()) < 0) return -1;
  }
  PyType_Modified(&TablesHolderType);
  return 0;
}

}  // namespace

int attach_methods(PyObject* module_name) {
  // Name, qualified name, signature line (__doc__), implementation, text signature (for
  // inspect: `self` and `cls` are passed by position only), then whether it is a class method.
  static const MethodEntry methods[] = {
      {{"as_dict", "TablesHolder.as_dict", "TablesHolder.as_dict(self) -> dict", py_as_dict, true,
        "(self, /)"},
       false},
      {{"replace_dict", "TablesHolder.replace_dict",
        "TablesHolder.replace_dict(self, other) -> void", py_replace_dict, true,
        "(self, /, other)"},
       false},
      {{"contains", "TablesHolder.contains", "TablesHolder.contains(self, str name) -> bool",
        py_contains, true, "(self, /, name)"},
       false},
      {{"set", "TablesHolder.set", "TablesHolder.set(self, str name, table) -> void", py_set, true,
        "(self, /, name, table)"},
       false},
      {{"add", "TablesHolder.add", "TablesHolder.add(self, str name, table) -> void", py_add, true,
        "(self, /, name, table)"},
       false},
      {{"get", "TablesHolder.get", "TablesHolder.get(self, str name)", py_get, true,
        "(self, /, name)"},
       false},
      {{"remove", "TablesHolder.remove", "TablesHolder.remove(self, str name) -> void", py_remove,
        true, "(self, /, name)"},
       false},
      {{"clear", "TablesHolder.clear", "TablesHolder.clear(self) -> void", py_clear, true,
        "(self, /)"},
       false},
      {{"iterate", "TablesHolder.iterate", "TablesHolder.iterate(self)", py_iterate, true,
        "(self, /)"},
       false},
      {{"keys", "TablesHolder.keys", "TablesHolder.keys(self) -> list", py_keys, true, "(self, /)"},
       false},
      {{"values", "TablesHolder.values", "TablesHolder.values(self) -> list", py_values, true,
        "(self, /)"},
       false},
      {{"items", "TablesHolder.items", "TablesHolder.items(self) -> list", py_items, true,
        "(self, /)"},
       false},
      {{"is_tables_holder", "TablesHolder.is_tables_holder",
        "TablesHolder.is_tables_holder(self) -> bool", py_is_tables_holder, true, "(self, /)"},
       false},
      {{"model_dump", "TablesHolder.model_dump",
        "TablesHolder.model_dump(self, bool exclude_none=True) -> dict", py_model_dump, true,
        "(self, /, exclude_none=True)"},
       false},
      {{"__get_pydantic_core_schema__", "TablesHolder.__get_pydantic_core_schema__",
        "TablesHolder.__get_pydantic_core_schema__(cls, source_type, handler: "
        "GetCoreSchemaHandler)",
        py_get_pydantic_core_schema, true, "(cls, /, source_type, handler)"},
       true,
       "GetCoreSchemaHandler"},
      {{"__get_pydantic_json_schema__", "TablesHolder.__get_pydantic_json_schema__",
        "TablesHolder.__get_pydantic_json_schema__(cls, core_schema, handler: "
        "GetJsonSchemaHandler)",
        py_get_pydantic_json_schema, true, "(cls, /, core_schema, handler)"},
       true,
       "GetJsonSchemaHandler"},
      {{"_validate", "TablesHolder._validate", "TablesHolder._validate(cls, value)", py_validate,
        true, "(cls, /, value)"},
       true},
      {{"_serialize", "TablesHolder._serialize", "TablesHolder._serialize(self)", py_serialize,
        true, "(self, /)"},
       false},
  };
  Ref defaults = Ref::steal(PyTuple_Pack(1, Py_True));
  if (!defaults) return -1;
  return store_methods(module_name, methods, sizeof(methods) / sizeof(methods[0]), defaults.get());
}

int install_pickling(PyObject* module_name) {
  static const MethodEntry methods[] = {
      {{"__reduce__", "TablesHolder.__reduce__", "TablesHolder.__reduce__(self)", py_reduce, true,
        "(self, /)"},
       false},
      {{"__setstate__", "TablesHolder.__setstate__", "TablesHolder.__setstate__(self, state)",
        py_setstate, true, "(self, /, state)"},
       false},
  };
  return store_methods(module_name, methods, 2, nullptr);
}

}  // namespace ondrel::grimsel
