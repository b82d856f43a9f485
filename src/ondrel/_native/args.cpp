// Argument parsing and argument-type errors shared by every extension module.
#include "ondrel/_native/args.hpp"

#include "ondrel/_native/errors.hpp"

namespace ondrel::args {

void raise_count(const char* func_name, Py_ssize_t nmin, Py_ssize_t nmax, Py_ssize_t given) {
  const char* how;
  Py_ssize_t expected;
  if (nmin == nmax) {
    how = "exactly";
    expected = nmin;
  } else if (given < nmin) {
    how = "at least";
    expected = nmin;
  } else {
    how = "at most";
    expected = nmax;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               func_name, how, expected, expected == 1 ? "" : "s", given);
}

void raise_arg_type(const char* arg_name, const char* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
               expected, Py_TYPE(given)->tp_name);
}

static int check_keyword_strings(const char* func_name, PyObject* kwnames) {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
      return -1;
    }
  }
  return 0;
}

int no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0) {
    raise_count(func_name, 0, 0, nargs);
    return -1;
  }
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    if (check_keyword_strings(func_name, kwnames) < 0) return -1;
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name,
                 PyTuple_GET_ITEM(kwnames, 0));
    return -1;
  }
  return 0;
}

int parse(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  const Py_ssize_t max_positional = params.npositional < 0 ? params.nparams : params.npositional;
  if (nargs > max_positional) {
    raise_count(params.func_name, params.nrequired, max_positional, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < params.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    if (check_keyword_strings(params.func_name, kwnames) < 0) return -1;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t index = -1;
      for (Py_ssize_t i = 0; i < params.nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params.keywords[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     params.func_name, key);
        return -1;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     params.func_name, key);
        return -1;
      }
      out[index] = args[nargs + k];
    }
  }
  for (Py_ssize_t i = 0; i < params.nrequired; ++i) {
    if (out[i] == nullptr) {
      raise_count(params.func_name, params.nrequired, max_positional, nargs);
      return -1;
    }
  }
  return 0;
}

int check_exact_str(PyObject* value, const char* arg_name, bool none_ok, bool note_subclass) {
  if (PyUnicode_CheckExact(value) || (none_ok && value == Py_None)) return 0;
  raise_arg_type(arg_name, "str", value);
  // Exact types keep lookups free of user __hash__/__eq__; say so rather than leave the
  // caller guessing why a str was refused.
  if (note_subclass && PyUnicode_Check(value))
    errors::add_note(
        "Subclasses of built-in types are rejected here: pass an exact str, e.g. str(name).");
  return -1;
}

}  // namespace ondrel::args
