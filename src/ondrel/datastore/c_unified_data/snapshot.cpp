// Builds and frees the native snapshot of a model; every shape is checked before it is read.
#include "ondrel/datastore/c_unified_data/snapshot.hpp"

#include <cstdlib>
#include <cstring>

#include "ondrel/_native/ref.hpp"

namespace ondrel::c_unified_data {

PyTypeObject* TablesHolder_type = nullptr;
grimsel::TablesHolderVTable* TablesHolder_vtable = nullptr;
const Py_ssize_t* ZERO = nullptr;
const Py_ssize_t* ONE = nullptr;
const Py_ssize_t* TWO = nullptr;

namespace {

constexpr Py_ssize_t kColumnItems = 11;

// Zero-filled array of n elements, null with MemoryError on failure; n <= 0 gives null
// without error, so callers test the error indicator only when n > 0.
template <typename T>
T* alloc_array(Py_ssize_t n) {
  if (n <= 0) return nullptr;
  void* p = std::calloc(static_cast<size_t>(n), sizeof(T));  // calloc checks n * size
  if (p == nullptr) PyErr_NoMemory();
  return static_cast<T*>(p);
}

void free_table(CTableData& t) {
  std::free(t.columns);
  std::free(t.records);
  Py_XDECREF(t.values);
}

PyObject* tuple_values_name() {
  static PyObject* name = nullptr;  // interned for the process's life
  if (name == nullptr) name = PyUnicode_InternFromString("tuple_values");
  return name;
}

}  // namespace

PyObject* get_pyobject_value(PyObject* values, Py_ssize_t index) {
  return PyTuple_GET_ITEM(values, index);
}

int get_bint_value(PyObject* values, Py_ssize_t index) {
  PyObject* item = PyTuple_GET_ITEM(values, index);
  if (item == Py_True) return 1;
  if (item == Py_False || item == Py_None) return 0;
  Ref held = Ref::borrow(item);  // a __bool__ may run Python code
  return PyObject_IsTrue(held.get());
}

ColumnsData dump_column(PyObject* column) {
  ColumnsData c{};
  c.name = get_pyobject_value(column, 0);
  c.type = get_pyobject_value(column, 1);
  if ((c.unique = get_bint_value(column, 2)) < 0) return ColumnsData{};
  c.comment = get_pyobject_value(column, 3);
  c.foreign_key = get_pyobject_value(column, 4);
  c.default_ = get_pyobject_value(column, 5);
  c.ondelete = get_pyobject_value(column, 6);
  c.onupdate = get_pyobject_value(column, 7);
  if ((c.nullable = get_bint_value(column, 8)) < 0) return ColumnsData{};
  if ((c.primary_key = get_bint_value(column, 9)) < 0) return ColumnsData{};
  if ((c.autoincrement = get_bint_value(column, 10)) < 0) return ColumnsData{};
  return c;
}

CTableData dump_table(PyObject* table_name, PyObject* table_data) {
  PyObject* method = tuple_values_name();
  if (method == nullptr) return CTableData{};
  Ref table = Ref::borrow(table_data);
  Ref values = Ref::steal(PyObject_CallMethodNoArgs(table.get(), method));
  if (!values) return CTableData{};
  if (!PyTuple_Check(values.get())) {
    PyErr_Format(PyExc_TypeError,
                 "tuple_values() of table %R must return a (columns, records) tuple, got %.200s",
                 table_name, Py_TYPE(values.get())->tp_name);
    return CTableData{};
  }
  if (PyTuple_GET_SIZE(values.get()) < 2) {
    PyErr_Format(PyExc_ValueError,
                 "tuple_values() of table %R must return a (columns, records) tuple, got %zd "
                 "item(s)",
                 table_name, PyTuple_GET_SIZE(values.get()));
    return CTableData{};
  }
  PyObject* columns = get_pyobject_value(values.get(), 0);  // kept alive by `values`
  PyObject* records = get_pyobject_value(values.get(), 1);
  if (!PyTuple_Check(columns) || !PyTuple_Check(records)) {
    bool cols_bad = !PyTuple_Check(columns);
    PyErr_Format(PyExc_TypeError, "%s of table %R must be a tuple, got %.200s",
                 cols_bad ? "columns" : "records", table_name,
                 Py_TYPE(cols_bad ? columns : records)->tp_name);
    return CTableData{};
  }

  CTableData t{};
  t.name = table_name;
  Py_ssize_t col_size = PyTuple_GET_SIZE(columns);
  for (Py_ssize_t i = 0; i < col_size; ++i) {
    PyObject* column = PyTuple_GET_ITEM(columns, i);
    if (!PyTuple_Check(column)) {
      PyErr_Format(PyExc_TypeError, "column %zd of table %R must be a tuple, got %.200s", i,
                   table_name, Py_TYPE(column)->tp_name);
      return CTableData{};
    }
    if (PyTuple_GET_SIZE(column) < kColumnItems) {
      PyErr_Format(PyExc_ValueError, "column %zd of table %R has %zd item(s), expected %zd", i,
                   table_name, PyTuple_GET_SIZE(column), kColumnItems);
      return CTableData{};
    }
  }
  t.columns = alloc_array<ColumnsData>(col_size);
  if (col_size > 0 && t.columns == nullptr) return CTableData{};
  for (Py_ssize_t i = 0; i < col_size; ++i) {
    t.columns[i] = dump_column(PyTuple_GET_ITEM(columns, i));
    if (PyErr_Occurred()) {
      std::free(t.columns);
      return CTableData{};
    }
  }
  t.num_columns = col_size;

  Py_ssize_t rec_size = PyTuple_GET_SIZE(records);
  t.records = alloc_array<PyObject*>(rec_size);
  if (rec_size > 0 && t.records == nullptr) {
    std::free(t.columns);
    return CTableData{};
  }
  if (rec_size > 0)
    std::memcpy(t.records, &PyTuple_GET_ITEM(records, 0),
                static_cast<size_t>(rec_size) * sizeof(PyObject*));
  t.num_records = rec_size;
  t.values = values.release();
  return t;
}

CUnifiedData dump_model(PyObject* data) {
  if (!PyTuple_Check(data)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(data)->tp_name);
    return CUnifiedData{};
  }
  if (PyTuple_GET_SIZE(data) < 3) {
    PyErr_Format(PyExc_ValueError,
                 "tuple_output must hold (version, schema_version, tables), got %zd item(s)",
                 PyTuple_GET_SIZE(data));
    return CUnifiedData{};
  }
  PyObject* holder_obj = PyTuple_GET_ITEM(data, 2);
  if (!PyObject_TypeCheck(holder_obj, TablesHolder_type)) {
    PyErr_Format(PyExc_TypeError, "tuple_output[2] must be a TablesHolder, got %.200s",
                 Py_TYPE(holder_obj)->tp_name);
    return CUnifiedData{};
  }
  Ref holder = Ref::borrow(holder_obj);
  auto* h = reinterpret_cast<grimsel::TablesHolderObject*>(holder.get());
  Ref root = Ref::borrow(h->_root);
  if (!root || !PyDict_Check(root.get())) {
    PyErr_SetString(PyExc_TypeError, "TablesHolder has no tables (it was cleared)");
    return CUnifiedData{};
  }
  Py_ssize_t size = TablesHolder_vtable->_size(h);
  if (PyErr_Occurred()) return CUnifiedData{};
  if (size < 0) {
    PyErr_SetString(PyExc_SystemError, "TablesHolder reported a negative size");
    return CUnifiedData{};
  }

  CUnifiedData out{};
  out.header.version = PyTuple_GET_ITEM(data, 0);
  out.header.schema_version = PyTuple_GET_ITEM(data, 1);
  out.header.table_list = alloc_array<PyObject*>(size);
  out.tables = alloc_array<CTableData>(size);
  // Table objects, held while their tuple_values() runs.
  PyObject** table_objs = alloc_array<PyObject*>(size);
  if (size > 0 && (!out.header.table_list || !out.tables || !table_objs)) {
    std::free(out.header.table_list);
    std::free(out.tables);
    std::free(table_objs);
    return CUnifiedData{};
  }

  // Take the entries first, holding names and tables: tuple_values() runs Python code that
  // may change the holder, and the dict walk must not see that.
  Py_ssize_t pos = 0, n = 0;
  PyObject *key, *value;
  bool too_many = false;
  while (PyDict_Next(root.get(), &pos, &key, &value)) {
    if (n == size) {
      too_many = true;
      break;
    }
    out.header.table_list[n] = Py_NewRef(key);
    table_objs[n] = Py_NewRef(value);
    ++n;
  }
  out.header.num_tables = n;
  out.num_tables = n;

  bool ok = !too_many;
  if (too_many)
    PyErr_SetString(PyExc_RuntimeError, "TablesHolder holds more tables than it reports");
  for (Py_ssize_t i = 0; ok && i < n; ++i) {
    out.tables[i] = dump_table(out.header.table_list[i], table_objs[i]);
    if (PyErr_Occurred()) ok = false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(table_objs[i]);
  std::free(table_objs);
  if (!ok) {
    free_unified_data(&out);
    return CUnifiedData{};
  }
  return out;
}

void free_unified_data(CUnifiedData* data) {
  if (data->tables != nullptr) {
    for (Py_ssize_t i = 0; i < data->num_tables; ++i) free_table(data->tables[i]);
    std::free(data->tables);
  }
  if (data->header.table_list != nullptr) {
    for (Py_ssize_t i = 0; i < data->header.num_tables; ++i) Py_DECREF(data->header.table_list[i]);
    std::free(data->header.table_list);
  }
}

}  // namespace ondrel::c_unified_data
