// The module ondrel.datastore.adapter.toml.pentock: import-time binding, exported tokens and
// the two entry points.
#include <Python.h>

#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "ondrel/_native/args.hpp"
#include "ondrel/_native/function.hpp"
#include "ondrel/_native/module.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/stack.hpp"
#include "ondrel/_native/utf8.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock {

// Exported token variables: set during import, read by native consumers through __capi__.
const char* B_AUTOINCREMENT = nullptr;
const char* B_CLOSE_BRACE = nullptr;
const char* B_CLOSE_BRACKET = nullptr;
const char* B_COLUMNS_EQ = nullptr;
const char* B_COMMA = nullptr;
const char* B_COMMA_SPACE = nullptr;
const char* B_COMMENT = nullptr;
const char* B_COUNT_EQ = nullptr;
const char* B_DEFAULT = nullptr;
const char* B_EQUALS = nullptr;
const char* B_FALSE = nullptr;
const char* B_FOREIGN_KEY = nullptr;
const char* B_HEADER_SECTION = nullptr;
const char* B_INDENT = nullptr;
const char* B_NAME = nullptr;
const char* B_NEWLINE = nullptr;
const char* B_NULL = nullptr;
const char* B_NULLABLE = nullptr;
const char* B_OPEN_BRACE = nullptr;
const char* B_OPEN_BRACKET = nullptr;
const char* B_PRIMARY_KEY = nullptr;
const char* B_QUOTE = nullptr;
const char* B_RECORDS_EQ = nullptr;
const char* B_SCHEMA_VERSION_EQ = nullptr;
const char* B_SPACE = nullptr;
const char* B_TABLES_DOT = nullptr;
const char* B_TABLES_EQ = nullptr;
const char* B_TRUE = nullptr;
const char* B_TYPE = nullptr;
const char* B_UNIQUE = nullptr;
const char* B_VERSION_EQ = nullptr;

namespace {

constexpr char kFullName[] = "ondrel.datastore.adapter.toml.pentock";
constexpr char kSiblingName[] = "ondrel.datastore.c_unified_data";
constexpr char kSiblingSignature[] = "Py_ssize_t const ";
constexpr char kTokenSignature[] = "char const *";

struct Token {
  const char* name;
  const char** variable;
  const char* bytes;
};

// In the order they are published.
const Token kTokens[] = {
    {"B_AUTOINCREMENT", &B_AUTOINCREMENT, tok::AUTOINCREMENT},
    {"B_CLOSE_BRACE", &B_CLOSE_BRACE, tok::CLOSE_BRACE},
    {"B_CLOSE_BRACKET", &B_CLOSE_BRACKET, tok::CLOSE_BRACKET},
    {"B_COLUMNS_EQ", &B_COLUMNS_EQ, tok::COLUMNS_EQ},
    {"B_COMMA", &B_COMMA, tok::COMMA},
    {"B_COMMA_SPACE", &B_COMMA_SPACE, tok::COMMA_SPACE},
    {"B_COMMENT", &B_COMMENT, tok::COMMENT},
    {"B_COUNT_EQ", &B_COUNT_EQ, tok::COUNT_EQ},
    {"B_DEFAULT", &B_DEFAULT, tok::DEFAULT},
    {"B_EQUALS", &B_EQUALS, tok::EQUALS},
    {"B_FALSE", &B_FALSE, tok::FALSE_},
    {"B_FOREIGN_KEY", &B_FOREIGN_KEY, tok::FOREIGN_KEY},
    {"B_HEADER_SECTION", &B_HEADER_SECTION, tok::HEADER_SECTION},
    {"B_INDENT", &B_INDENT, tok::INDENT},
    {"B_NAME", &B_NAME, tok::NAME},
    {"B_NEWLINE", &B_NEWLINE, tok::NEWLINE},
    {"B_NULL", &B_NULL, tok::NULL_},
    {"B_NULLABLE", &B_NULLABLE, tok::NULLABLE},
    {"B_OPEN_BRACE", &B_OPEN_BRACE, tok::OPEN_BRACE},
    {"B_OPEN_BRACKET", &B_OPEN_BRACKET, tok::OPEN_BRACKET},
    {"B_PRIMARY_KEY", &B_PRIMARY_KEY, tok::PRIMARY_KEY},
    {"B_QUOTE", &B_QUOTE, tok::QUOTE},
    {"B_RECORDS_EQ", &B_RECORDS_EQ, tok::RECORDS_EQ},
    {"B_SCHEMA_VERSION_EQ", &B_SCHEMA_VERSION_EQ, tok::SCHEMA_VERSION_EQ},
    {"B_SPACE", &B_SPACE, tok::SPACE},
    {"B_TABLES_DOT", &B_TABLES_DOT, tok::TABLES_DOT},
    {"B_TABLES_EQ", &B_TABLES_EQ, tok::TABLES_EQ},
    {"B_TRUE", &B_TRUE, tok::TRUE_},
    {"B_TYPE", &B_TYPE, tok::TYPE},
    {"B_UNIQUE", &B_UNIQUE, tok::UNIQUE},
    {"B_VERSION_EQ", &B_VERSION_EQ, tok::VERSION_EQ},
};
static_assert(sizeof(kTokens) / sizeof(kTokens[0]) == 31);

module::LoadState g_load;
PyObject* g_str_tuple_output = nullptr;  // interned, for the process's life

// ---- per-call resources -----------------------------------------------------------------

struct SnapshotOwner {
  CUnifiedData data{};
  ~SnapshotOwner() { c_unified_data::free_unified_data(&data); }
};

struct BufferOwner {
  Buffer* buf = nullptr;
  ~BufferOwner() { common::buf_free(buf); }
};

struct FileOwner {
  FILE* f = nullptr;
  ~FileOwner() {
    if (f != nullptr) std::fclose(f);
  }
};

// Truth of escape_strings: 0, 1, or -1 with the truth test's exception.
int flag_of(PyObject* value) {
  if (value == nullptr || value == Py_False || value == Py_None) return 0;
  if (value == Py_True) return 1;
  return PyObject_IsTrue(value);
}

// The model's output tuple (exactly a tuple, or None for the snapshot to refuse).
Ref output_of(PyObject* data) {
  Ref out = Ref::steal(PyObject_GetAttr(data, g_str_tuple_output));
  if (!out) return out;
  if (!PyTuple_CheckExact(out.get()) && out.get() != Py_None) {
    args::raise_expected("tuple", out.get());
    return Ref();
  }
  return out;
}

// A large block faults in page by page; huge pages cut that cost by a wide margin. Only whole
// 2 MiB pages inside [data, data + size) are advised, so no neighbour is touched. Advice
// only: a failure changes nothing.
void advise_huge_pages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr size_t kHuge = size_t{2} << 20;
  if (size < 4 * kHuge) return;
  char* const first = static_cast<char*>(data);
  const size_t misalign = reinterpret_cast<uintptr_t>(first) & (kHuge - 1);
  const size_t lead = misalign == 0 ? 0 : kHuge - misalign;
  const size_t span = (size - lead) & ~(kHuge - 1);
  if (span > 0) madvise(first + lead, span, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

// The document as a str. The buffer holds whole UTF-8 sequences copied from str objects, so
// one census gives the length and the narrowest kind, and the text is copied or widened once
// instead of decoded twice (a validating decoder re-widens as it meets wider characters).
// Anything the fast decoder refuses goes to the validating decoder.
PyObject* buffer_to_str(const Buffer* buf) {
  const char* data = buf->data;
  const size_t n = buf->pos;
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  const utf8::Census c = utf8::census(data, n);
  const Py_UCS4 maxchar = c.width == 0   ? 0x7F
                          : c.width == 1 ? 0xFF
                          : c.width == 2 ? 0xFFFF
                                         : 0x10FFFF;
  Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(c.chars), maxchar));
  if (!s) return nullptr;
  void* out = PyUnicode_DATA(s.get());
  // No huge-page advice on the str: it saved time on average but gave occasional stalls of
  // several times the whole encode in processes with a large, churned heap.
  bool ok;
  switch (c.width) {
    case 0:
      std::memcpy(out, data, n);
      ok = true;
      break;
    case 1: ok = utf8::decode(data, n, static_cast<Py_UCS1*>(out), c.chars); break;
    case 2: ok = utf8::decode(data, n, static_cast<Py_UCS2*>(out), c.chars); break;
    default: ok = utf8::decode(data, n, static_cast<Py_UCS4*>(out), c.chars); break;
  }
  if (ok) [[likely]]
    return s.release();
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(n), nullptr);
}

bool take_snapshot(PyObject* output, SnapshotOwner& snap) {
  // A __str__ that encodes again nests whole encoder calls on the C stack.
  if (stack::exhausted()) [[unlikely]] {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding");
    return false;
  }
  snap.data = c_unified_data::dump_model(output);
  return !PyErr_Occurred();
}

// The document of a snapshot; false with an exception set.
bool encode(SnapshotOwner& snap, int escape, BufferOwner& owner) {
#if ONDREL_TINY_BUFFER
  owner.buf = common::buf_new(1);
#else
  owner.buf = common::buf_new(estimate_buffer_size(&snap.data));
  // The estimate is generous; a document that fits in memory must not fail because of it.
  if (owner.buf == nullptr) owner.buf = common::buf_new(65536);
#endif
  if (owner.buf == nullptr) return no_memory();
  advise_huge_pages(owner.buf->data, owner.buf->capacity);
  return _encode_to_buffer(&snap.data, owner.buf, escape);
}

const char* const kEncodeKeywords[] = {"data", "escape_strings"};
const args::Params kEncodeParams{"encode_unified_data", kEncodeKeywords, 2, 1};

PyObject* _encode_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* a[2];
  if (args::parse(kEncodeParams, argv, nargs, kwnames, a) < 0) return nullptr;
  int escape = flag_of(a[1]);
  if (escape < 0) return nullptr;
  Ref output = output_of(a[0]);
  if (!output) return nullptr;
  SnapshotOwner snap;
  BufferOwner owner;
  if (!take_snapshot(output.get(), snap) || !encode(snap, escape, owner)) return nullptr;
  return buffer_to_str(owner.buf);
}

// OSError(errno, strerror, path) for a failed write or close.
[[gnu::cold]] PyObject* raise_write_error(int err, PyObject* filepath) {
  errno = err != 0 ? err : EIO;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filepath);
  return nullptr;
}

const char* const kWriteKeywords[] = {"data", "filepath", "escape_strings"};
const args::Params kWriteParams{"write_unified_data", kWriteKeywords, 3, 2};

PyObject* _write_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[3];
  if (args::parse(kWriteParams, argv, nargs, kwnames, a) < 0) return nullptr;
  int escape = flag_of(a[2]);
  if (escape < 0) return nullptr;
  PyObject* filepath = a[1];  // held by the caller for the whole call
  if (args::check_exact_str(filepath, "filepath", true, false) < 0) return nullptr;
  Ref output = output_of(a[0]);
  if (!output) return nullptr;

  SnapshotOwner snap;
  BufferOwner owner;
  if (!take_snapshot(output.get(), snap)) return nullptr;
  Py_ssize_t path_len = 0;
  const char* path = PyUnicode_AsUTF8AndSize(filepath, &path_len);
  if (path == nullptr) return nullptr;
  // open would stop at a NUL and write to another file than the one named.
  if (std::strlen(path) != static_cast<size_t>(path_len)) {
    PyErr_SetString(PyExc_ValueError, "embedded null character in filepath");
    return nullptr;
  }
  // The file is opened only once the whole document exists: a failed encode leaves it as it was.
  if (!encode(snap, escape, owner)) return nullptr;

  // Truncated at open ("wb"): a reader or a crash mid-write can only ever see a prefix of the
  // new document, never new text followed by the tail of an older file. "e": close-on-exec.
  FileOwner file;
  file.f = std::fopen(path, "wbe");
  if (file.f == nullptr) {
    Ref msg = Ref::steal(PyUnicode_FromFormat("Could not open file for writing: %U", filepath));
    if (msg) PyErr_SetObject(PyExc_OSError, msg.get());
    return nullptr;
  }
  // Unbuffered: the one fwrite goes straight to the file, so a failure is seen here and no
  // stdio buffer is left to flush later.
  std::setvbuf(file.f, nullptr, _IONBF, 0);
  errno = 0;
  size_t written = std::fwrite(owner.buf->data, 1, owner.buf->pos, file.f);
  if (written != owner.buf->pos) {
    int err = errno;
    // A cut-off document could still parse, with records missing; leave an empty file. If
    // even that fails, the write error is still the one to report.
    [[maybe_unused]] int cut = ftruncate(fileno(file.f), 0);
    std::fclose(std::exchange(file.f, nullptr));
    return raise_write_error(err, filepath);
  }
  errno = 0;
  if (std::fclose(std::exchange(file.f, nullptr)) != 0) return raise_write_error(errno, filepath);
  Py_RETURN_NONE;
}

constexpr char kEncodeDoc[] =
    "encode_unified_data(data, bool escape_strings=False) -> str\n\nEncode UnifiedDataFormat "
    "to TOML string.\n\nArgs:\n    data: UnifiedDataFormat instance\n\nReturns:\n    Complete "
    "TOML document as string";
constexpr char kWriteDoc[] =
    "write_unified_data(data, str filepath, bool escape_strings=False) -> void\n\nWrite "
    "UnifiedDataFormat directly to file - the fast path.\n\nArgs:\n    data: UnifiedDataFormat "
    "instance\n    filepath: Path to write the TOML file";
constexpr char kModuleDoc[] =
    "Fast TOML encoder for UnifiedDataFormat - Tarvix implementation.\n\nEncodes the Ondrel "
    "UnifiedDataFormat directly to TOML with:\n- Multiline arrays for columns and records\n- "
    "Inline tables {k = v, ...} for each entry\n- Proper TOML string escaping\n";

// ---- import-time binding ----------------------------------------------------------------

int bind_tables_holder() {
  const char* mod = grimsel::kModuleName;
  Ref type = Ref::steal(module::import_from(mod, "TablesHolder"));
  if (!type) return -1;
  if (!PyType_Check(type.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", mod, "TablesHolder");
    return -1;
  }
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  const Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(grimsel::TablesHolderObject));
  if (tp->tp_basicsize < expected) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                 "from C header, got %zd from PyObject",
                 mod, "TablesHolder", expected, tp->tp_basicsize);
    return -1;
  }
  if (tp->tp_basicsize > expected &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                       "%.200s.%.200s size changed, may indicate binary incompatibility. "
                       "Expected %zd from C header, got %zd from PyObject",
                       mod, "TablesHolder", expected, tp->tp_basicsize) < 0)
    return -1;

  Ref dict = Ref::steal(PyType_GetDict(tp));
  PyObject* capsule = nullptr;
  if (!dict || PyDict_GetItemStringRef(dict.get(), grimsel::kVTableKey, &capsule) < 0) return -1;
  Ref capsule_ref = Ref::steal(capsule);
  void* vtable = nullptr;
  if (capsule != nullptr && PyCapsule_CheckExact(capsule))
    vtable = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
  if (vtable == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    return -1;
  }
  c_unified_data::TablesHolder_vtable = static_cast<grimsel::TablesHolderVTable*>(vtable);
  c_unified_data::TablesHolder_type = reinterpret_cast<PyTypeObject*>(type.release());
  return 0;
}

int bind_constants() {
  const char* names[] = {"ONE", "TWO", "ZERO"};
  for (const char* name : names)
    if (module::import_pointer(grimsel::kModuleName, name, grimsel::kSizeSignature) == nullptr)
      return -1;
  const Py_ssize_t** slots[] = {&c_unified_data::ONE, &c_unified_data::TWO, &c_unified_data::ZERO};
  for (int i = 0; i < 3; ++i) {
    void* p = module::import_pointer(kSiblingName, names[i], kSiblingSignature);
    if (p == nullptr) return -1;
    *slots[i] = static_cast<const Py_ssize_t*>(p);
  }
  return 0;
}

int add_function(PyObject* module, PyObject* module_name, PyObject* defaults,
                 const FunctionDef& def) {
  PyObject* f = function_new(def, module_name, defaults, nullptr);
  if (f == nullptr) return -1;
  return PyModule_Add(module, def.name, f);
}

PyObject* create(PyObject* params, PyModuleDef*) { return module::create(g_load, params); }

int exec(PyObject* module) {
  int rc = module::begin_exec(g_load, module, kFullName);
  if (rc != 0) return rc < 0 ? -1 : 0;
  if (function_type_ready() < 0) return -1;

  Ref capi = Ref::steal(module::capi_dict(module));
  if (!capi) return -1;
  for (const Token& t : kTokens)
    if (module::export_pointer(capi.get(), t.name, static_cast<void*>(t.variable),
                               kTokenSignature) < 0)
      return -1;

  if (bind_tables_holder() < 0) return -1;
  if (bind_constants() < 0) return -1;
  for (const Token& t : kTokens) *t.variable = t.bytes;

  if (g_str_tuple_output == nullptr) {
    g_str_tuple_output = PyUnicode_InternFromString("tuple_output");
    if (g_str_tuple_output == nullptr) return -1;
  }
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref defaults = Ref::steal(PyTuple_Pack(1, Py_False));
  if (!module_name || !defaults) return -1;
  if (add_function(module, module_name.get(), defaults.get(),
                   FunctionDef{"write_unified_data", "write_unified_data", kWriteDoc,
                               _write_unified_data_impl, false}) < 0)
    return -1;
  if (add_function(module, module_name.get(), defaults.get(),
                   FunctionDef{"encode_unified_data", "encode_unified_data", kEncodeDoc,
                               _encode_unified_data_impl, false}) < 0)
    return -1;

  module::finish_exec(g_load, module);
  return 0;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_create, reinterpret_cast<void*>(create)},
                              {Py_mod_exec, reinterpret_cast<void*>(exec)},
                              {0, nullptr}};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "pentock", kModuleDoc, 0, nullptr, g_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace ondrel::pentock

PyMODINIT_FUNC PyInit_pentock() { return PyModuleDef_Init(&ondrel::pentock::g_def); }
