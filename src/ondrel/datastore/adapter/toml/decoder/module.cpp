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
#include "ondrel/_native/pages.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/simd.hpp"
#include "ondrel/datastore/adapter/toml/decoder/parser.hpp"
#include "ondrel/datastore/adapter/toml/decoder/records.hpp"

namespace ondrel::decoder {
namespace {

constexpr char kFullName[] = "ondrel.datastore.adapter.toml.decoder";
module::LoadState g_load;

// What every entry point takes besides the text.
struct Options {
  PyObject* parse_float = nullptr;  // null: the built-in float, read natively
  bool v11 = true;
  bool arrow = false;    // each table's records as ArrowRecords
  bool declared = true;  // ... built as their columns' declared types
};

// schema="declared" (the default) or "inferred".
bool read_schema(PyObject* given, Options* out) {
  if (given == nullptr ||
      (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "declared") == 0))
    return true;
  if (!PyUnicode_Check(given) || PyUnicode_CompareWithASCIIString(given, "inferred") != 0) {
    PyErr_Format(PyExc_ValueError, "schema must be 'declared' or 'inferred', not %R", given);
    return false;
  }
  out->declared = false;
  return true;
}

// records="dicts" (the default) or "arrow"; "arrow" reads floats natively only.
bool read_records(PyObject* given, Options* out) {
  if (given == nullptr ||
      (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "dicts") == 0))
    return true;
  if (!PyUnicode_Check(given) || PyUnicode_CompareWithASCIIString(given, "arrow") != 0) {
    PyErr_Format(PyExc_ValueError, "records must be 'dicts' or 'arrow', not %R", given);
    return false;
  }
  if (out->parse_float != nullptr) {
    PyErr_SetString(PyExc_ValueError,
                    "records='arrow' reads floats as float: a parse_float other than float "
                    "cannot be given");
    return false;
  }
  out->arrow = true;
  return true;
}

// parse_float, toml_version and records as given (null when omitted); false with an exception
// set.
bool read_options(PyObject* parse_float, PyObject* version, Options* out,
                  PyObject* records = nullptr, PyObject* schema = nullptr) {
  if (!read_schema(schema, out)) return false;
  out->parse_float =
      parse_float == reinterpret_cast<PyObject*>(&PyFloat_Type) ? nullptr : parse_float;
  if (version != nullptr) {
    const bool v10 =
        PyUnicode_Check(version) && PyUnicode_CompareWithASCIIString(version, "1.0.0") == 0;
    if (!v10 &&
        !(PyUnicode_Check(version) && PyUnicode_CompareWithASCIIString(version, "1.1.0") == 0)) {
      PyErr_Format(PyExc_ValueError, "toml_version must be '1.1.0' or '1.0.0', not %R", version);
      return false;
    }
    out->v11 = !v10;
  }
  return read_records(records, out);
}

template <class F>
PyObject* parse(const void* data, Py_ssize_t n, PyObject* source, const Options& opt) {
  const auto* begin = static_cast<const typename F::Unit*>(data);
  Parser<F> parser(begin, begin + n, opt.parse_float, source, opt.v11, opt.arrow, opt.declared);
  Ref root = Ref::steal(parser.run());
  if (!root || !opt.arrow || tables_to_arrow(root.get(), opt.declared)) return root.release();
  return nullptr;
}

// A str is read in its own units (ASCII as UTF-8).
PyObject* decode_str(PyObject* text, const Options& opt) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const void* units = PyUnicode_DATA(text);
  if (PyUnicode_IS_ASCII(text)) return parse<Utf8>(units, n, text, opt);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return parse<Latin1>(units, n, text, opt);
    case PyUnicode_2BYTE_KIND: return parse<Ucs2>(units, n, text, opt);
    default: return parse<Ucs4>(units, n, text, opt);
  }
}

// A bytes-like object, read as UTF-8.
PyObject* decode_buffer(PyObject* data, const Options& opt) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* result = parse<Utf8>(view.buf, view.len, nullptr, opt);
  PyBuffer_Release(&view);
  return result;
}

// One positional argument at most; the rest by keyword.
bool parse_call(const args::Params& params, PyObject* const* argv, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  if (nargs > 1) {
    args::raise_count(params.func_name, 1, 1, nargs);
    return false;
  }
  return args::parse(params, argv, nargs, kwnames, out) == 0;
}

const char* const kDecodeKeywords[] = {"data", "parse_float", "toml_version", "records", "schema"};
const args::Params kDecodeParams{"decode_unified_data", kDecodeKeywords, 5, 1};

PyObject* decode_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[5];
  Options opt;
  if (!parse_call(kDecodeParams, argv, nargs, kwnames, a) ||
      !read_options(a[1], a[2], &opt, a[3], a[4]))
    return nullptr;
  if (PyUnicode_Check(a[0])) return decode_str(a[0], opt);
  if (!PyObject_CheckBuffer(a[0])) {
    args::raise_arg_type("data", "str or bytes-like object", a[0]);
    return nullptr;
  }
  return decode_buffer(a[0], opt);
}

// loads and load take their first argument by position only: its keyword name matches none.
const char* const kLoadsKeywords[] = {"", "parse_float", "toml_version"};
const args::Params kLoadsParams{"loads", kLoadsKeywords, 3, 1};
const args::Params kLoadParams{"load", kLoadsKeywords, 3, 1};

PyObject* loads_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  Options opt;
  if (!parse_call(kLoadsParams, argv, nargs, kwnames, a) || !read_options(a[1], a[2], &opt))
    return nullptr;
  if (!PyUnicode_Check(a[0])) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(a[0])));
    if (name) PyErr_Format(PyExc_TypeError, "Expected str object, not '%U'", name.get());
    return nullptr;
  }
  return decode_str(a[0], opt);
}

PyObject* load_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  Options opt;
  if (!parse_call(kLoadParams, argv, nargs, kwnames, a) || !read_options(a[1], a[2], &opt))
    return nullptr;
  Ref data = Ref::steal(PyObject_CallMethod(a[0], "read", nullptr));
  if (!data) return nullptr;
  if (PyUnicode_Check(data.get()) || !PyObject_CheckBuffer(data.get())) {
    PyErr_SetString(PyExc_TypeError,
                    "File must be opened in binary mode, e.g. use `open('foo.toml', 'rb')`");
    return nullptr;
  }
  return decode_buffer(data.get(), opt);
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
  if (out.data == nullptr)
    err = ENOMEM;
  else
    pages::prefault(out.data, cap);  // a file of known size fills it whole
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

const char* const kReadKeywords[] = {"filepath", "parse_float", "toml_version", "records",
                                     "schema"};
const args::Params kReadParams{"read_unified_data", kReadKeywords, 5, 1};

PyObject* read_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* a[5];
  Options opt;
  if (!parse_call(kReadParams, argv, nargs, kwnames, a) ||
      !read_options(a[1], a[2], &opt, a[3], a[4]))
    return nullptr;
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
  return parse<Utf8>(text.data, static_cast<Py_ssize_t>(text.size), nullptr, opt);
}

constexpr char kDecodeDoc[] =
    "decode_unified_data(data, *, parse_float=float, toml_version='1.1.0', records='dicts', "
    "schema='declared') -> dict\n\nRead a TOML document from a str or from UTF-8 bytes.\n\n"
    "Args:\n    data: str, bytes, bytearray or memoryview\n    parse_float: called with the "
    "text of every float\n    toml_version: '1.1.0' or '1.0.0' (strict TOML 1.0)\n    records: "
    "'arrow' makes each tables.<name>.records an ArrowRecords table\n    schema: 'declared' "
    "builds each column as its declared type; 'inferred' infers every type from the values\n\n"
    "Raises:\n    tomllib.TOMLDecodeError: the text is not TOML of that version\n    ValueError: "
    "a value does not fit its column's declared type";
constexpr char kReadDoc[] =
    "read_unified_data(filepath, *, parse_float=float, toml_version='1.1.0', records='dicts', "
    "schema='declared') -> dict\n\nRead a TOML file in one go and decode it as "
    "decode_unified_data does.\n\nArgs:\n    filepath: str or os.PathLike\n    parse_float: "
    "called with the text of every float\n    toml_version: '1.1.0' or '1.0.0'\n    records: "
    "'dicts' or 'arrow'\n    schema: 'declared' or 'inferred' (records='arrow')";
constexpr char kLoadsDoc[] =
    "loads(s, /, *, parse_float=float, toml_version='1.1.0') -> dict\n\nParse TOML from a str, "
    "as tomllib.loads does.";
constexpr char kLoadDoc[] =
    "load(fp, /, *, parse_float=float, toml_version='1.1.0') -> dict\n\nParse TOML from a "
    "binary file, as tomllib.load does: fp.read() is called once.";
constexpr char kModuleDoc[] =
    "Native TOML reader (1.1, or 1.0 on request): documents to dicts, as tomllib reads them.";

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
       nullptr,
       "data, *, parse_float=float, toml_version='1.1.0', records='dicts', schema='declared'"},
      {"read_unified_data", "read_unified_data", kReadDoc, read_unified_data_impl, false, nullptr,
       "filepath, *, parse_float=float, toml_version='1.1.0', records='dicts', "
       "schema='declared'"},
      {"loads", "loads", kLoadsDoc, loads_impl, false, nullptr,
       "s, /, *, parse_float=float, toml_version='1.1.0'"},
      {"load", "load", kLoadDoc, load_impl, false, nullptr,
       "fp, /, *, parse_float=float, toml_version='1.1.0'"},
  };
  for (const FunctionDef& def : defs) {
    PyObject* f = function_new(def, module_name.get(), defaults.get(), nullptr);
    if (f == nullptr || PyModule_Add(module, def.name, f) < 0) return -1;
  }
  // The byte kernels' vector level, for the tests that run each level (ONDREL_SIMD).
  if (PyModule_AddStringConstant(module, "_simd_level", simd::name(simd::level())) < 0) return -1;
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
