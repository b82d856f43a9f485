// Flat native snapshot of a UnifiedDataFormat model: header values, table names, column fields
// and record pointers, so the document encoder walks arrays instead of calling Python.
//
// Lifetime: the snapshot keeps alive everything it points at. It owns one reference to each
// table name and to each table's tuple_values() result; column fields and records are items
// of those (immutable) tuples, so Python code run while encoding (a __str__, a truth test)
// cannot free them. version and schema_version are borrowed from the output tuple, which the
// caller holds until the snapshot is freed.
#pragma once

#include <Python.h>

#include "ondrel/datastore/tables/grimsel/tables_holder.hpp"

namespace ondrel::c_unified_data {

struct HeaderData {
  PyObject* version;         // borrowed
  PyObject* schema_version;  // borrowed
  PyObject** table_list;     // owned references, num_tables of them
  Py_ssize_t num_tables;
};

struct ColumnsData {
  PyObject* name;
  PyObject* type;
  PyObject* comment;
  PyObject* default_;
  PyObject* ondelete;
  PyObject* onupdate;
  PyObject* foreign_key;
  int unique;
  int nullable;
  int primary_key;
  int autoincrement;
};

struct CTableData {
  PyObject* name;  // same object as the header's table_list entry
  ColumnsData* columns;
  Py_ssize_t num_columns;
  PyObject** records;
  Py_ssize_t num_records;
  // Records given as an object with __arrow_c_stream__ (then records is null and num_records
  // 0): the encoder imports its stream. Borrowed from `values`.
  PyObject* arrow;
  Py_ssize_t arrow_rows;  // len() of `arrow` when it has one, else 0: sizes the buffer
  PyObject* values;       // owned: the tuple_values() result that keeps columns and records alive
};

struct CUnifiedData {
  HeaderData header;
  CTableData* tables;
  Py_ssize_t num_tables;
};

// Bound by the encoder module at import, before any snapshot is taken.
extern PyTypeObject* TablesHolder_type;
extern grimsel::TablesHolderVTable* TablesHolder_vtable;
extern const Py_ssize_t* ZERO;
extern const Py_ssize_t* ONE;
extern const Py_ssize_t* TWO;

// The snapshot of an output tuple (version, schema_version, holder). On failure: the empty
// snapshot (all null and 0) with an exception set; nothing is left to free.
CUnifiedData dump_model(PyObject* data);

// Records are a tuple of dicts, or any object with __arrow_c_stream__ (the Arrow PyCapsule
// Interface), kept as it is for the encoder to import.
// One table; an all-zero CTableData with an exception set on failure.
CTableData dump_table(PyObject* table_name, PyObject* table_data);

// One column tuple of at least eleven items; all-zero with an exception set on failure.
ColumnsData dump_column(PyObject* column);

PyObject* get_pyobject_value(PyObject* values, Py_ssize_t index);  // borrowed
int get_bint_value(PyObject* values, Py_ssize_t index);            // 1, 0, or -1 on error

// Releases the arrays and the references; harmless on the empty snapshot. Call once.
void free_unified_data(CUnifiedData* data);

}  // namespace ondrel::c_unified_data
