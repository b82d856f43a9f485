// The module ondrel.datastore.adapter.toml.decoder: its two entry points, the file read and
// the choice of reader for the text's form.
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ondrel/_native/args.hpp"
#include "ondrel/_native/function.hpp"
#include "ondrel/_native/module.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/decoder/parser.hpp"
#include "ondrel/datastore/adapter/toml/decoder/records.hpp"

namespace ondrel::decoder {
namespace {

constexpr char kFullName[] = "ondrel.datastore.adapter.toml.decoder";
module::LoadState g_load;

template <class F>
PyObject* parse(const void* data, Py_ssize_t n, PyObject* parse_float) {
  const auto* begin = static_cast<const typename F::Unit*>(data);
  Parser<F> parser(begin, begin + n, parse_float);
  return parser.run();
}

// The float parser to call, or null for the built-in float (read natively).
PyObject* float_parser(PyObject* given) {
  return given == nullptr || given == reinterpret_cast<PyObject*>(&PyFloat_Type) ? nullptr : given;
}

// A str is read in its own units; bytes-like objects and ASCII text as UTF-8.
PyObject* decode_object(PyObject* data, PyObject* parse_float) {
  if (PyUnicode_Check(data)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(data);
    const void* units = PyUnicode_DATA(data);
    if (PyUnicode_IS_ASCII(data)) return parse<Utf8>(units, n, parse_float);
    switch (PyUnicode_KIND(data)) {
      case PyUnicode_1BYTE_KIND: return parse<Latin1>(units, n, parse_float);
      case PyUnicode_2BYTE_KIND: return parse<Ucs2>(units, n, parse_float);
      default: return parse<Ucs4>(units, n, parse_float);
    }
  }
  if (!PyObject_CheckBuffer(data)) {
    args::raise_arg_type("data", "str or bytes-like object", data);
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* result = parse<Utf8>(view.buf, view.len, parse_float);
  PyBuffer_Release(&view);
  return result;
}

// records="dicts" (the default) or "arrow": 0 / 1, or -1 with ValueError set. "arrow" reads
// floats natively only.
int records_mode(PyObject* given, PyObject* parse_float) {
  if (given == nullptr ||
      (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "dicts") == 0))
    return 0;
  if (!PyUnicode_Check(given) || PyUnicode_CompareWithASCIIString(given, "arrow") != 0) {
    PyErr_Format(PyExc_ValueError, "records must be 'dicts' or 'arrow', not %R", given);
    return -1;
  }
  if (parse_float != nullptr) {
    PyErr_SetString(PyExc_ValueError,
                    "records='arrow' reads floats as float: parse_float cannot be given");
    return -1;
  }
  return 1;
}

// The document, with each table's records as Arrow when `arrow`.
PyObject* finish(PyObject* doc, int arrow) {
  Ref root = Ref::steal(doc);
  if (!root || arrow == 0 || tables_to_arrow(root.get())) return root.release();
  return nullptr;
}

// Keyword-only parse_float and records: one positional argument at most.
bool parse_call(const args::Params& params, PyObject* const* argv, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  if (nargs > 1) {
    args::raise_count(params.func_name, 1, 1, nargs);
    return false;
  }
  return args::parse(params, argv, nargs, kwnames, out) == 0;
}

const char* const kDecodeKeywords[] = {"data", "parse_float", "records"};
const args::Params kDecodeParams{"decode_unified_data", kDecodeKeywords, 3, 1};

PyObject* decode_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[3];
  if (!parse_call(kDecodeParams, argv, nargs, kwnames, a)) return nullptr;
  const int arrow = records_mode(a[2], float_parser(a[1]));
  if (arrow < 0) return nullptr;
  return finish(decode_object(a[0], float_parser(a[1])), arrow);
}

// The whole file in one buffer, read without the GIL. Null with OSError (errno, filename) set.
struct FileText {
  char* data = nullptr;
  size_t size = 0;
  FileText() = default;
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  ~FileText() { PyMem_RawFree(data); }
};

// 0, or an errno value (ENOMEM for a failed allocation).
int read_all(const char* path, FileText& out) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  size_t cap = 1 << 16;
  // A regular file's size is known; one byte more shows the end without a second buffer.
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<uintmax_t>(st.st_size) < static_cast<uintmax_t>(PY_SSIZE_T_MAX) - 1)
    cap = static_cast<size_t>(st.st_size) + 1;
  int err = 0;
  out.data = static_cast<char*>(PyMem_RawMalloc(cap));
  if (out.data == nullptr) err = ENOMEM;
  while (err == 0) {
    if (out.size == cap) {  // a file without a known size, or one that grew
      void* grown = cap <= static_cast<size_t>(PY_SSIZE_T_MAX) / 2
                        ? PyMem_RawRealloc(out.data, cap * 2)
                        : nullptr;
      if (grown == nullptr) {
        err = ENOMEM;
        break;
      }
      out.data = static_cast<char*>(grown);
      cap *= 2;
    }
    const ssize_t got = read(fd, out.data + out.size, cap - out.size);
    if (got > 0) {
      out.size += static_cast<size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      err = errno;
    }
  }
  close(fd);
  return err;
}

const char* const kReadKeywords[] = {"filepath", "parse_float", "records"};
const args::Params kReadParams{"read_unified_data", kReadKeywords, 3, 1};

PyObject* read_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* a[3];
  if (!parse_call(kReadParams, argv, nargs, kwnames, a)) return nullptr;
  const int arrow = records_mode(a[2], float_parser(a[1]));
  if (arrow < 0) return nullptr;
  Ref fspath = Ref::steal(PyOS_FSPath(a[0]));
  if (!fspath) return nullptr;
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(fspath.get(), &encoded) == 0) return nullptr;  // NUL: ValueError
  Ref encoded_ref = Ref::steal(encoded);
  FileText text;
  int err;
  Py_BEGIN_ALLOW_THREADS;
  err = read_all(PyBytes_AS_STRING(encoded), text);
  Py_END_ALLOW_THREADS;
  if (err == ENOMEM) return PyErr_NoMemory();
  if (err != 0) {
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, fspath.get());
  }
  return finish(parse<Utf8>(text.data, static_cast<Py_ssize_t>(text.size), float_parser(a[1])),
                arrow);
}

constexpr char kDecodeDoc[] =
    "decode_unified_data(data, *, parse_float=float, records='dicts') -> dict\n\nRead a TOML "
    "document from a str or from UTF-8 bytes, exactly as tomllib.loads reads it.\n\nArgs:\n    "
    "data: str, bytes, bytearray or memoryview\n    parse_float: called with the text of every "
    "float\n    records: 'arrow' makes each tables.<name>.records an ArrowRecords "
    "table\n\nRaises:\n"
    "    tomllib.TOMLDecodeError: the text is not TOML 1.0";
constexpr char kReadDoc[] =
    "read_unified_data(filepath, *, parse_float=float, records='dicts') -> dict\n\nRead a TOML "
    "file in one go and decode it as decode_unified_data does.\n\nArgs:\n    filepath: str or "
    "os.PathLike\n    parse_float: called with the text of every float\n    records: 'dicts' "
    "or 'arrow'";
constexpr char kModuleDoc[] = "Native TOML 1.0 reader: documents to dicts, as tomllib reads them.";

PyObject* create(PyObject* spec, PyModuleDef*) { return module::create(g_load, spec); }

int exec(PyObject* module) {
  const int rc = module::begin_exec(g_load, module, kFullName);
  if (rc != 0) return rc < 0 ? -1 : 0;
  if (function_type_ready() < 0 || !datetime_ready() || !records_datetime_ready() ||
      arrow_records_ready(module) < 0)
    return -1;
  if (g_decode_error == nullptr) {
    g_decode_error = module::import_from("tomllib", "TOMLDecodeError");
    if (g_decode_error == nullptr) return -1;
  }
  if (PyModule_AddObjectRef(module, "TOMLDecodeError", g_decode_error) < 0) return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref defaults = Ref::steal(PyTuple_New(0));
  if (!module_name || !defaults) return -1;
  const FunctionDef defs[] = {
      {"decode_unified_data", "decode_unified_data", kDecodeDoc, decode_unified_data_impl, false,
       nullptr, "data, *, parse_float=float, records='dicts'"},
      {"read_unified_data", "read_unified_data", kReadDoc, read_unified_data_impl, false, nullptr,
       "filepath, *, parse_float=float, records='dicts'"},
  };
  for (const FunctionDef& def : defs) {
    PyObject* f = function_new(def, module_name.get(), defaults.get(), nullptr);
    if (f == nullptr || PyModule_Add(module, def.name, f) < 0) return -1;
  }
  module::finish_exec(g_load, module);
  return 0;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_create, reinterpret_cast<void*>(create)},
                              {Py_mod_exec, reinterpret_cast<void*>(exec)},
                              {0, nullptr}};

PyModuleDef g_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "decoder",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_slots = g_slots,
};

}  // namespace
}  // namespace ondrel::decoder

PyMODINIT_FUNC PyInit_decoder() { return PyModuleDef_Init(&ondrel::decoder::g_def); }
