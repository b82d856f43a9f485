// The reader's error: tomllib.TOMLDecodeError carrying msg, doc, pos, lineno and colno.
#pragma once

#include <Python.h>

namespace ondrel::decoder {

// Bound at import: tomllib.TOMLDecodeError (a strong reference for the process's life).
extern PyObject* g_decode_error;

// Raises TOMLDecodeError for `msg` (a str without position) at index `pos` of the str `doc`;
// its message ends with " (at line L, column C)". On a failure to build it, that error is set.
[[gnu::cold]] void raise_decode_error(PyObject* doc, Py_ssize_t pos, PyObject* msg);

}  // namespace ondrel::decoder
