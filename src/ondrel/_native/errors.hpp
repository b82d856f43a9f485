// Small helpers for the Python error indicator, shared by every extension module.
#pragma once

#include <Python.h>

namespace ondrel::errors {

// Adds a note (PyUnicode_FromFormat text) to the pending exception, which must be set. If the
// note cannot be made or added, that failure replaces the exception. Either way an exception
// is pending afterwards, so a caller returns its failure value straight after.
void add_note(const char* format, ...);

// TypeError "Expected %s, got %.200s" for a delivered result of the wrong type.
void raise_expected(const char* expected, PyObject* given);

}  // namespace ondrel::errors
