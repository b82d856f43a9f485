// records="arrow": each table's records as an ArrowRecords object (a PyCapsule Interface
// table over a finished block of column buffers).
#pragma once

#include <Python.h>

#include "ondrel/_native/arrow_export.hpp"

namespace ondrel::decoder {

using arrow::ArrowBlock;
using arrow::ArrowNode;

// Binds the datetime API for the conversion; false with an exception set.
bool records_datetime_ready();

// Readies ArrowRecords and adds it to the module; 0 or -1.
int arrow_records_ready(PyObject* module);

// A new ArrowRecords owning one reference to `block` (taken over, also on failure).
PyObject* arrow_records_new(ArrowBlock* block);

class Column;

// The builder of one table's records read straight from the document: a capsule that owns the
// root column and the table's declared types until tables_to_arrow() finishes it. With
// `declared`, the columns `table` (a dict) declares so far are set up as their types.
PyObject* records_builder_new(PyObject* table, bool declared);
// The root column of such a capsule (borrowed), or null for any other object.
Column* records_builder(PyObject* obj);
// Whether `table` declares a column with a type the vocabulary knows (false with an exception
// set or not: check PyErr_Occurred()).
bool has_typed_columns(PyObject* table);

// Replaces root["tables"][name]["records"] of every table that has records by an
// ArrowRecords, its columns of declared types built as those types when `declared`; false with
// an exception set (ValueError for records that are not an array of tables, hold an int beyond
// 64 bits or a value that does not fit its declared type).
bool tables_to_arrow(PyObject* root, bool declared);

}  // namespace ondrel::decoder
