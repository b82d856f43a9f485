// Argument parsing for vectorcall functions, with the generic messages every public
// function of the package reports.
#pragma once

#include <Python.h>

namespace ondrel::args {

// Parameters of one function. The first `nrequired` parameters are required; the first
// `npositional` (all when negative) may be passed by position or by keyword, the rest only by
// keyword.
struct Params {
  const char* func_name;        // name used in messages, e.g. "set"
  const char* const* keywords;  // `nparams` parameter names
  Py_ssize_t nparams;
  Py_ssize_t nrequired;
  Py_ssize_t npositional = -1;
};

// Fills out[0 .. nparams) with borrowed references, null for an omitted optional parameter.
// Returns 0, or -1 with TypeError set.
int parse(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// For functions without parameters: rejects any positional or keyword argument.
int no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames);

// TypeError "Argument '...' has incorrect type (expected str, got ...)" unless `value` is
// exactly a str (or None when `none_ok`). With `note_subclass`, a str subclass gets an added
// note on the exception. Returns 0 or -1.
int check_exact_str(PyObject* value, const char* arg_name, bool none_ok, bool note_subclass);

// Raises the generic positional-count TypeError.
void raise_count(const char* func_name, Py_ssize_t nmin, Py_ssize_t nmax, Py_ssize_t given);

// Raises TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
void raise_arg_type(const char* arg_name, const char* expected, PyObject* given);

}  // namespace ondrel::args
