// ArrowRecords: one table's records as an Arrow table, handed out through the PyCapsule
// Interface. The object owns one reference to the block; each export holds another.
#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/decoder/records.hpp"

namespace ondrel::decoder {

namespace {

struct ArrowRecords {
  PyObject_HEAD
  ArrowBlock* block;
};

ArrowBlock* block_of(PyObject* self) { return reinterpret_cast<ArrowRecords*>(self)->block; }

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  return arrow::schema_capsule(block_of(self));
}

// requested_schema is a request a producer may decline: the table keeps its own types.
PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(kKeywords), &requested))
    return nullptr;
  return arrow::stream_capsule(block_of(self));
}

Py_ssize_t records_len(PyObject* self) {
  return static_cast<Py_ssize_t>(block_of(self)->root.length);
}

PyObject* num_rows(PyObject* self, void*) { return PyLong_FromSsize_t(records_len(self)); }

PyObject* column_names(PyObject* self, void*) {
  const auto& cols = block_of(self)->root.children;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cols.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < cols.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(cols[i].name.data(),
                                       static_cast<Py_ssize_t>(cols[i].name.size()), nullptr);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

// Arrow's own spelling of the types this table can hold.
void type_text(const ArrowNode& n, std::string& out) {
  const std::string_view f =
      n.owned_format.empty() ? std::string_view(n.format) : std::string_view(n.owned_format);
  if (!n.metadata.empty()) {
    out += n.metadata.find("arrow.uuid") != std::string::npos ? "extension<arrow.uuid>"
                                                              : "extension<arrow.json>";
  } else if (f == "+l" || f == "+L") {
    out += f == "+l" ? "list<" : "large_list<";
    type_text(n.children[0], out);
    out += '>';
  } else if (f == "+m") {
    out += "map<";
    type_text(n.children[0].children[0], out);
    out += ", ";
    type_text(n.children[0].children[1], out);
    out += '>';
  } else if (f == "+s") {
    out += "struct<";
    for (size_t i = 0; i < n.children.size(); ++i) {
      if (i != 0) out += ", ";
      out += n.children[i].name + ": ";
      type_text(n.children[i], out);
    }
    out += '>';
  } else if (f.starts_with("d:")) {
    const size_t comma = f.find(',');
    const bool wide = f.find(',', comma + 1) != std::string_view::npos;
    out += wide ? "decimal256(" : "decimal128(";
    out += f.substr(2, comma - 2);
    out += ", ";
    out += f.substr(comma + 1, wide ? f.find(',', comma + 1) - comma - 1 : std::string_view::npos);
    out += ')';
  } else {
    static constexpr const char* kNames[][2] = {
        {"n", "null"},          {"b", "bool"},
        {"c", "int8"},          {"s", "int16"},
        {"i", "int32"},         {"l", "int64"},
        {"C", "uint8"},         {"S", "uint16"},
        {"I", "uint32"},        {"L", "uint64"},
        {"f", "float"},         {"g", "double"},
        {"u", "string"},        {"U", "large_string"},
        {"z", "binary"},        {"Z", "large_binary"},
        {"tdD", "date32[day]"}, {"ttu", "time64[us]"},
        {"ttn", "time64[ns]"},  {"tin", "month_day_nano_interval"}};
    for (const auto& e : kNames)
      if (f == e[0]) out += e[1];
    static constexpr const char* kUnits[] = {"s", "ms", "us", "ns"};
    static constexpr char kLetters[] = "smun";
    for (size_t u = 0; u < 4; ++u) {
      if (f.size() >= 4 && f.starts_with("ts") && f[2] == kLetters[u] && f[3] == ':') {
        (out += "timestamp[") += kUnits[u];
        if (f.size() > 4) (out += ", tz=") += f.substr(4);
        out += ']';
      }
      if (f.size() == 3 && f.starts_with("tD") && f[2] == kLetters[u])
        ((out += "duration[") += kUnits[u]) += ']';
    }
  }
}

PyObject* records_repr(PyObject* self) {
  const ArrowNode& root = block_of(self)->root;
  std::string text;
  try {
    text = "ArrowRecords(" + std::to_string(root.length) + (root.length == 1 ? " row" : " rows");
    for (size_t i = 0; i < root.children.size(); ++i) {
      text += i == 0 ? "; " : ", ";
      text += root.children[i].name + ": ";
      type_text(root.children[i], text);
    }
    text += ')';
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void records_dealloc(PyObject* self) {
  block_decref(block_of(self));
  Py_TYPE(self)->tp_free(self);
}

PyObject* records_new_refused(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "ArrowRecords objects come from the reader only");
  return nullptr;
}

PyMethodDef g_methods[] = {
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     PyDoc_STR(
         "__arrow_c_schema__($self, /)\n--\n\nThe table's schema as an arrow_schema capsule.")},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("__arrow_c_stream__($self, /, requested_schema=None)\n--\n\nThe table as an "
               "arrow_array_stream capsule of one batch.")},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_getset[] = {
    {"num_rows", num_rows, nullptr, PyDoc_STR("Number of rows (records)."), nullptr},
    {"column_names", column_names, nullptr, PyDoc_STR("Column names, in order."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PySequenceMethods g_sequence = {.sq_length = records_len};

PyTypeObject g_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "ondrel.datastore.adapter.toml.decoder.ArrowRecords",
    .tp_basicsize = sizeof(ArrowRecords),
    .tp_dealloc = records_dealloc,
    .tp_repr = records_repr,
    .tp_as_sequence = &g_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_doc = PyDoc_STR("A table's records as Arrow columns (PyCapsule Interface)."),
    .tp_methods = g_methods,
    .tp_getset = g_getset,
    .tp_new = records_new_refused,
};

}  // namespace

int arrow_records_ready(PyObject* module) {
  if (PyType_Ready(&g_type) < 0) return -1;
  return PyModule_AddObjectRef(module, "ArrowRecords", reinterpret_cast<PyObject*>(&g_type));
}

PyObject* arrow_records_new(ArrowBlock* block) {
  auto* self = PyObject_New(ArrowRecords, &g_type);
  if (self == nullptr) {
    block_decref(block);
    return nullptr;
  }
  self->block = block;
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace ondrel::decoder
