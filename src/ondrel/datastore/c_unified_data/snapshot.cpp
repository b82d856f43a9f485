// Builds and frees the native snapshot of a model; every shape is checked before it is read.
#include "ondrel/datastore/c_unified_data/snapshot.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "ondrel/_native/errors.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/stack.hpp"

namespace ondrel::c_unified_data {

PyTypeObject* TablesHolder_type = nullptr;
grimsel::TablesHolderVTable* TablesHolder_vtable = nullptr;
const Py_ssize_t* ZERO = nullptr;
const Py_ssize_t* ONE = nullptr;
const Py_ssize_t* TWO = nullptr;

namespace {

constexpr Py_ssize_t kColumnItems = 11;

template <typename T>
void drop_nothing(T&) {}
void drop_ref(PyObject*& p) { Py_DECREF(p); }
void free_table(CTableData& t) {
  std::free(t.columns);
  std::free(t.records);
  Py_XDECREF(t.values);
}

// A zero-filled array while a snapshot is built: the elements pushed so far are dropped and
// the block freed on every path, unless release() hands the block to a plain record.
template <typename T, void (*Drop)(T&) = drop_nothing<T>>
class Array {
 public:
  Array() = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() {
    for (Py_ssize_t i = 0; i < size_; ++i) Drop(data_[i]);
    std::free(data_);
  }
  // Room for n elements (none for n <= 0); false with MemoryError set.
  bool allocate(Py_ssize_t n) {
    if (n <= 0) return true;
    data_ = static_cast<T*>(std::calloc(static_cast<size_t>(n), sizeof(T)));  // checks n * size
    if (data_ == nullptr) PyErr_NoMemory();
    return data_ != nullptr;
  }
  T* data() { return data_; }
  T& operator[](Py_ssize_t i) { return data_[i]; }
  Py_ssize_t size() const { return size_; }
  // Within the allocated room only.
  void push(T value) { data_[size_++] = value; }
  // Marks the first n elements as filled (written through data()).
  void set_size(Py_ssize_t n) { size_ = n; }
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  T* data_ = nullptr;
  Py_ssize_t size_ = 0;
};

PyObject* tuple_values_name() {
  static PyObject* name = nullptr;  // interned for the process's life
  if (name == nullptr) name = PyUnicode_InternFromString("tuple_values");
  return name;
}

PyObject* arrow_stream_name() {
  static PyObject* name = nullptr;  // interned for the process's life
  if (name == nullptr) name = PyUnicode_InternFromString("__arrow_c_stream__");
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
  PyObject* arrow = nullptr;
  if (!PyTuple_Check(records)) {
    PyObject* name = arrow_stream_name();
    if (name == nullptr) return CTableData{};
    // Looked up on the type, as the interface's dunder is: no instance attribute runs here.
    int has = PyObject_HasAttrWithError(reinterpret_cast<PyObject*>(Py_TYPE(records)), name);
    if (has < 0) return CTableData{};
    if (has > 0) arrow = records;
  }
  Py_ssize_t arrow_rows = 0;
  if (arrow != nullptr) {
    // Most data frames know their rows, which sizes the buffer; a stream without len() only
    // starts with a smaller one.
    PyTypeObject* type = Py_TYPE(arrow);
    const bool sized = (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_length) ||
                       (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_length);
    if (sized && (arrow_rows = PyObject_Length(arrow)) < 0) return CTableData{};
  }
  if (!PyTuple_Check(columns) || (!PyTuple_Check(records) && arrow == nullptr)) {
    bool cols_bad = !PyTuple_Check(columns);
    PyErr_Format(PyExc_TypeError, "%s of table %R must be a tuple, got %.200s",
                 cols_bad ? "columns" : "records", table_name,
                 Py_TYPE(cols_bad ? columns : records)->tp_name);
    return CTableData{};
  }

  const Py_ssize_t col_size = PyTuple_GET_SIZE(columns);
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
  Array<ColumnsData> cols;
  if (!cols.allocate(col_size)) return CTableData{};
  for (Py_ssize_t i = 0; i < col_size; ++i) {
    cols.push(dump_column(PyTuple_GET_ITEM(columns, i)));
    if (PyErr_Occurred()) return CTableData{};
  }
  const Py_ssize_t rec_size = arrow != nullptr ? 0 : PyTuple_GET_SIZE(records);
  Array<PyObject*> recs;  // borrowed: `values` holds the records tuple
  if (!recs.allocate(rec_size)) return CTableData{};
  if (rec_size > 0)
    std::memcpy(recs.data(), &PyTuple_GET_ITEM(records, 0),
                static_cast<size_t>(rec_size) * sizeof(PyObject*));

  CTableData t{};
  t.name = table_name;
  t.num_columns = col_size;
  t.columns = cols.release();
  t.num_records = rec_size;
  t.records = recs.release();
  t.arrow = arrow;
  t.arrow_rows = arrow_rows;
  t.values = values.release();
  return t;
}

CUnifiedData dump_model(PyObject* data) {
  // tuple_values() runs Python code, which may encode again: whole encoder calls nest here.
  stack::RecursionGuard guard(" while encoding");
  if (!guard) return CUnifiedData{};
  if (!PyTuple_Check(data)) {
    errors::raise_expected("tuple", data);
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
  const Py_ssize_t size = TablesHolder_vtable->_size(h);
  if (PyErr_Occurred()) return CUnifiedData{};
  if (size < 0) {
    PyErr_SetString(PyExc_SystemError, "TablesHolder reported a negative size");
    return CUnifiedData{};
  }

  Array<PyObject*, drop_ref> names;
  Array<PyObject*, drop_ref> table_objs;  // held while their tuple_values() runs
  Array<CTableData, free_table> tables;
  if (!names.allocate(size) || !table_objs.allocate(size) || !tables.allocate(size))
    return CUnifiedData{};

  // Take the entries first, holding names and tables: tuple_values() runs Python code that
  // may change the holder, and the dict walk must not see that.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(root.get(), &pos, &key, &value)) {
    if (names.size() == size) {
      PyErr_SetString(PyExc_RuntimeError, "TablesHolder holds more tables than it reports");
      return CUnifiedData{};
    }
    names.push(Py_NewRef(key));
    table_objs.push(Py_NewRef(value));
  }
  for (Py_ssize_t i = 0; i < names.size(); ++i) {
    // Owned before the test: a failed table is all zero, and dropping it frees nothing.
    tables.push(dump_table(names[i], table_objs[i]));
    if (PyErr_Occurred()) return CUnifiedData{};
  }

  CUnifiedData out{};
  out.header.version = PyTuple_GET_ITEM(data, 0);
  out.header.schema_version = PyTuple_GET_ITEM(data, 1);
  out.header.num_tables = names.size();
  out.num_tables = tables.size();
  out.header.table_list = names.release();
  out.tables = tables.release();
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
