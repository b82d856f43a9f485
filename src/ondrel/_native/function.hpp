// A small native function type for Python-level methods and module functions.
//
// Unlike the interpreter's builtin methods, it carries __module__, __qualname__, __doc__,
// __defaults__, __annotations__ and __text_signature__ of our choosing, binds as a method when
// looked up on an instance (like a Python function) and works under classmethod. Its callers
// receive all arguments; a method implementation checks its own first argument, since a plain
// function on a class can be called through the class with any object. Like Python functions it
// pickles and copies by reference (module and qualified name), takes weak references and keeps
// attributes in a __dict__.
#pragma once

#include <Python.h>

namespace ondrel {

// `self` is the first argument (the instance, or the class under classmethod) for methods,
// null for module functions; args/nargs/kwnames are the remaining arguments.
using NativeImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

struct FunctionDef {
  const char* name;      // __name__
  const char* qualname;  // __qualname__
  const char* doc;       // __doc__
  NativeImpl impl;
  bool is_method;  // the first positional argument is split off as `self`
  // __text_signature__, for inspect.signature() and help(), e.g. "(self, /, name)"; null:
  // None, and inspect finds no signature.
  const char* text_signature = nullptr;
  // For defaults that are not literals (inspect reads only literals from __text_signature__):
  // Python parameter source, e.g. "data, *, parse_float=float", evaluated on the first read of
  // __signature__ as the signature of such a lambda. Null: __signature__ is None.
  const char* signature = nullptr;
};

// Readies the type once per module; returns 0 or -1.
int function_type_ready();

// New function object (a new reference), or null with an exception set. `defaults` and
// `annotations` may be null (then None and an empty dict).
PyObject* function_new(const FunctionDef& def, PyObject* module_name, PyObject* defaults,
                       PyObject* annotations);

// The same, wrapped in a new classmethod object for a class's namespace (a new reference); the
// function then pickles as the __func__ of the bound method the class gives.
PyObject* classmethod_new(const FunctionDef& def, PyObject* module_name, PyObject* defaults,
                          PyObject* annotations);

// Whether `obj` is one of our functions, or a bound method of one, running `impl`.
bool function_runs(PyObject* obj, NativeImpl impl);

}  // namespace ondrel
