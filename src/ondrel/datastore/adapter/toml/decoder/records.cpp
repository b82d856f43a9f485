// The records of each table of a read document, converted into Arrow column builders.
#include "ondrel/datastore/adapter/toml/decoder/records.hpp"

#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"

namespace ondrel::decoder {

namespace {

// The `name`s of the table's `columns` entries that are tables with a str name, once each.
bool declared_names(PyObject* table, std::vector<Ref>& out) {
  PyObject* columns = PyDict_GetItemString(table, "columns");
  if (columns == nullptr || !PyList_CheckExact(columns)) return true;
  Ref hold = Ref::borrow(columns);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); ++i) {
    PyObject* entry = PyList_GET_ITEM(columns, i);
    if (!PyDict_CheckExact(entry)) continue;
    PyObject* name = PyDict_GetItemString(entry, "name");
    if (name == nullptr || !PyUnicode_CheckExact(name)) continue;
    bool seen = false;
    for (const Ref& r : out) {
      const int c = PyUnicode_Compare(r.get(), name);
      if (c == -1 && PyErr_Occurred()) return false;
      seen = seen || c == 0;
    }
    if (seen) continue;
    try {
      out.push_back(Ref::borrow(name));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
  }
  return true;
}

// The `type` of a `columns` entry as a vocabulary type: false with an exception set; an entry
// without a str name or type, or a type the vocabulary does not know, gives Unknown.
bool entry_type(PyObject* entry, PyObject** name, coltype::ColumnType& out) {
  out = coltype::ColumnType();
  *name = nullptr;
  if (!PyDict_CheckExact(entry)) return true;
  PyObject* n = PyDict_GetItemString(entry, "name");
  PyObject* t = PyDict_GetItemString(entry, "type");
  if (n == nullptr || !PyUnicode_CheckExact(n) || t == nullptr || !PyUnicode_Check(t)) return true;
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(t, &len);
  if (text == nullptr) return false;
  *name = n;
  return coltype::parse_column_type(std::string_view(text, static_cast<size_t>(len)), out);
}

// One table's records being built, with the declared types its columns point into.
struct Builder {
  Column root{std::string()};
  std::vector<std::unique_ptr<coltype::ColumnType>> types;

  // The first entry of each name declares it; false with an exception set.
  bool declare(PyObject* table) {
    PyObject* columns = PyDict_GetItemString(table, "columns");
    if (columns == nullptr || !PyList_CheckExact(columns)) return true;
    Ref hold = Ref::borrow(columns);
    std::vector<Ref> seen;
    try {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(columns, i));
        auto type = std::make_unique<coltype::ColumnType>();
        PyObject* name = nullptr;
        if (!entry_type(entry.get(), &name, *type)) return false;
        if (name == nullptr) continue;
        bool dup = false;
        for (const Ref& r : seen) dup = dup || PyUnicode_Compare(r.get(), name) == 0;
        if (PyErr_Occurred()) return false;
        if (dup) continue;
        seen.push_back(Ref::borrow(name));
        if (type->kind == coltype::Kind::Unknown) continue;
        types.push_back(std::move(type));
        if (root.declare_field(name, types.back().get()) == nullptr) return false;
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }
};

constexpr char kBuilderName[] = "ondrel.decoder.records_builder";

void builder_free(PyObject* capsule) {
  delete static_cast<Builder*>(PyCapsule_GetPointer(capsule, kBuilderName));
}

// The finished columns of `root` as a new ArrowRecords, or null.
PyObject* finish(Column& root, PyObject* table) {
  std::vector<Ref> declared;
  if (!declared_names(table, declared)) return nullptr;
  auto* block = new (std::nothrow) ArrowBlock();
  if (block == nullptr) return PyErr_NoMemory();
  if (!root.finish_records(declared, block->root)) {
    block_decref(block);
    return nullptr;
  }
  return arrow_records_new(block);
}

// One table's records into a new ArrowRecords, or null.
PyObject* convert(PyObject* table_name, PyObject* table, PyObject* records, bool declared) {
  if (Column* read = records_builder(records)) return finish(*read, table);
  if (!PyList_CheckExact(records)) {
    PyErr_Format(PyExc_ValueError, "tables.%S.records is not an array of tables", table_name);
    return nullptr;
  }
  Ref records_hold = Ref::borrow(records);
  Builder builder;
  if (declared && !builder.declare(table)) return nullptr;
  Column& root = builder.root;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
    PyObject* record = PyList_GET_ITEM(records, i);
    if (!PyDict_CheckExact(record)) {
      PyErr_Format(PyExc_ValueError, "tables.%S.records[%zd] is not a table (a %T)", table_name, i,
                   record);
      return nullptr;
    }
    Ref record_hold = Ref::borrow(record);
    if (!root.begin_struct()) return nullptr;
    Ref key;
    const Appended r = root.append_fields(record, &key);
    if (r == Appended::Overflow) raise_big_int(table_name, static_cast<size_t>(i), key.get());
    if (r == Appended::Error && take_misfit())
      misfit_where(table_name, static_cast<size_t>(i), key.get());
    if (r != Appended::Ok) return nullptr;
    if (!root.end_struct()) return nullptr;
  }
  return finish(root, table);
}

}  // namespace

PyObject* records_builder_new(PyObject* table, bool declared) {
  auto* b = new (std::nothrow) Builder();
  if (b == nullptr) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(b, kBuilderName, builder_free);
  if (capsule == nullptr) {
    delete b;
    return nullptr;
  }
  if (declared && !b->declare(table)) Py_CLEAR(capsule);
  return capsule;
}

Column* records_builder(PyObject* obj) {
  if (!PyCapsule_CheckExact(obj) || PyCapsule_GetName(obj) != kBuilderName) return nullptr;
  return &static_cast<Builder*>(PyCapsule_GetPointer(obj, kBuilderName))->root;
}

bool has_typed_columns(PyObject* table) {
  PyObject* columns = PyDict_GetItemString(table, "columns");
  if (columns == nullptr || !PyList_CheckExact(columns)) return false;
  Ref hold = Ref::borrow(columns);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(columns, i));
    coltype::ColumnType type;
    PyObject* name = nullptr;
    if (!entry_type(entry.get(), &name, type)) return false;
    if (type.kind != coltype::Kind::Unknown) return true;
  }
  return false;
}

bool tables_to_arrow(PyObject* root, bool declared) {
  PyObject* tables = PyDict_GetItemString(root, "tables");
  if (tables == nullptr || !PyDict_CheckExact(tables)) return true;
  Ref tables_hold = Ref::borrow(tables);
  Py_ssize_t pos = 0;
  PyObject* name;
  PyObject* table;
  // Only values change: the dicts keep their keys, so the walks stay valid.
  while (PyDict_Next(tables, &pos, &name, &table)) {
    if (!PyDict_CheckExact(table)) continue;
    Ref table_hold = Ref::borrow(table);
    Ref name_hold = Ref::borrow(name);
    PyObject* records = PyDict_GetItemString(table, "records");
    if (records == nullptr) continue;
    Ref arrow = Ref::steal(convert(name, table, records, declared));
    if (!arrow || PyDict_SetItemString(table, "records", arrow.get()) < 0) return false;
  }
  return true;
}

}  // namespace ondrel::decoder
