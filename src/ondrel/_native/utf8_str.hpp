// A str from a buffer of UTF-8 text, through the fixed-width decoder of utf8.hpp.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ondrel/_native/ref.hpp"

namespace ondrel::utf8 {

// New str from data[0 .. n), or null with an exception set (MemoryError, or the strict
// decoder's UnicodeDecodeError for malformed text).
PyObject* to_str(const char* data, size_t n);

// New str from text past ASCII, counted and decoded once at its exact width; null with
// MemoryError set, or null with no exception when the text is not well-formed UTF-8.
PyObject* wide_str(const char* data, size_t n);

// Whether data[0 .. n) is all ASCII, at the best vector level.
bool ascii(const char* data, size_t n);

// An ASCII str of n units, not yet written; null with MemoryError.
Ref ascii_units(size_t n);

}  // namespace ondrel::utf8
