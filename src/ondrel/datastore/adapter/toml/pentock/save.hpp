// The file half of write_unified_data (save.cpp).
#pragma once

#include <Python.h>

#include <cstddef>

#include "ondrel/_native/function.hpp"
#include "ondrel/_native/ref.hpp"

namespace ondrel::pentock {

// The bytes of `filepath` as os.fsencode gives them (surrogateescape for names that are not
// UTF-8); ValueError for an embedded NUL.
Ref fs_path(PyObject* filepath);

// Saves data[0 .. size) to `path` (the bytes of `filepath`, which names it in errors); None,
// or null with the exception set.
PyObject* save_document(PyObject* filepath, const char* path, const char* data, size_t size,
                        bool durable);

// _store_lock, the store handle's record of the locks it holds (ondrel.datastore.store).
extern const FunctionDef kStoreLockFunction;

}  // namespace ondrel::pentock
