// Module loading rules shared by the extension modules: one initialisation per process, one
// interpreter per process, eager "from X import Y" bindings and capsule exchange.
#pragma once

#include <Python.h>

namespace ondrel::module {

// Capsule names of the exported native variables: their C types, as importers check them.
inline constexpr char kSizeSignature[] = "Py_ssize_t";              // grimsel's ZERO, ONE, TWO
inline constexpr char kConstSizeSignature[] = "Py_ssize_t const ";  // c_unified_data's
inline constexpr char kTokenSignature[] = "char const *";           // pentock's B_* tokens

// Per-module loading state; one static instance per extension module.
struct LoadState {
  PyObject* module = nullptr;   // the initialised module (strong), kept for the process's life
  int64_t interpreter_id = -1;  // the interpreter that first loaded the module
  bool executed = false;
};

// Py_mod_create helper: refuses a second interpreter (ImportError), returns the already
// initialised module on a repeated import, else a new module named by `module_spec`.
PyObject* create(LoadState& state, PyObject* module_spec);

// Start of Py_mod_exec: true when the module was initialised before (nothing to do).
// Also warns (RuntimeWarning) when the running interpreter is not 3.13, registers the
// module in sys.modules under `full_name` if that entry is free, and binds __builtins__ to
// the builtins module. Returns -1 on error.
int begin_exec(LoadState& state, PyObject* module, const char* full_name);

// End of a successful Py_mod_exec.
void finish_exec(LoadState& state, PyObject* module);

// `from <module_name> import <attr>`: a new reference, or null with the import system's error
// or ImportError "cannot import name ..." set.
PyObject* import_from(const char* module_name, const char* attr);

// Binds `from <module_name> import <attr>` as the module attribute <attr>. Returns 0 or -1.
int bind_import(PyObject* module, const char* module_name, const char* attr);

// The module's __capi__ dict (taken from the namespace or created and bound); new reference.
PyObject* capi_dict(PyObject* module);

// Stores a capsule of `pointer` named `signature` under `name` in `capi`. Returns 0 or -1.
int export_pointer(PyObject* capi, const char* name, void* pointer, const char* signature);

// Reads the capsule `name` from the __capi__ of module `module_name`, checking its signature.
// Returns the pointer, or null with ImportError/TypeError set.
void* import_pointer(const char* module_name, const char* name, const char* signature);

}  // namespace ondrel::module
