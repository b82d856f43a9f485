// The two entry points, encode_unified_data and write_unified_data: arguments, the per-call
// owners of the snapshot and buffer, and the save of the document.
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "ondrel/_native/args.hpp"
#include "ondrel/_native/errors.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/str_builder.hpp"
#include "ondrel/_native/utf8_str.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"
#include "ondrel/datastore/adapter/toml/pentock/save.hpp"

namespace ondrel::pentock {

namespace {

struct SnapshotOwner {
  CUnifiedData data{};
  ~SnapshotOwner() { c_unified_data::free_unified_data(&data); }
};

// Each thread keeps its last document buffer. A fresh block of megabytes is fresh pages that
// the kernel faults in and zeroes on every call, which cost as much as a quarter of the encode.
// Blocks past the cap go back at once, so a thread holds at most this much.
#if ONDREL_TINY_BUFFER
constexpr size_t kKeptCapacity = 0;  // this test build must grow from one byte every call
#else
constexpr size_t kKeptCapacity = size_t{32} << 20;
#endif

struct KeptBuffer {
  Buffer* buf = nullptr;
  ~KeptBuffer() { common::buf_free(buf); }
};
thread_local KeptBuffer t_kept;
thread_local size_t t_last_length = 0;  // of the last document encoded to a str here
thread_local size_t t_last_chars = 0;   // its characters
thread_local bool t_last_ascii = true;  // and whether it was all ASCII (a guess before any)
// Below this the copy into the str costs less than a str started at a guess.
constexpr size_t kInPlaceMin = size_t{64} << 10;
// Room past the last length: the writer asks for a value's widest text before writing it. A
// decoded str has a sixty-fourth more, as its units past the text are faulted in ahead: a
// document a little longer than the last (escaped, say) must not make it grow.
constexpr size_t kInPlaceSlack = 4096;
// A str's text is checked, or decoded, this much at a time (in the test build a value at a
// time).
#if ONDREL_TINY_BUFFER
constexpr size_t kStride = 1;
#else
constexpr size_t kStride = size_t{64} << 10;
#endif

struct BufferOwner {
  Buffer* buf = nullptr;
  ~BufferOwner() {
    // A nested call (Python code run mid-encode) found the slot empty and gives its own back.
    if (buf != nullptr && t_kept.buf == nullptr && buf->capacity <= kKeptCapacity)
      t_kept.buf = buf;
    else
      common::buf_free(buf);
  }
};

// Truth of escape_strings and durable: 0, 1, or -1 with the truth test's exception.
int flag_of(PyObject* value) {
  if (value == nullptr || value == Py_False || value == Py_None) return 0;
  if (value == Py_True) return 1;
  return PyObject_IsTrue(value);
}

// datetimes="str" (0) or "toml" (1), or -1 with ValueError naming any other value.
int datetimes_of(PyObject* value) {
  if (value == nullptr) return 0;
  if (PyUnicode_CheckExact(value)) {
    if (PyUnicode_CompareWithASCIIString(value, "str") == 0) return 0;
    if (PyUnicode_CompareWithASCIIString(value, "toml") == 0) return 1;
  }
  PyErr_Format(PyExc_ValueError, "datetimes must be \"str\" or \"toml\", not %R", value);
  return -1;
}

// The model's output tuple (exactly a tuple, or None for the snapshot to refuse).
Ref output_of(PyObject* data) {
  static PyObject* name = nullptr;  // interned for the process's life
  if (name == nullptr && (name = PyUnicode_InternFromString("tuple_output")) == nullptr)
    return Ref();
  Ref out = Ref::steal(PyObject_GetAttr(data, name));
  if (!out) return out;
  if (!PyTuple_CheckExact(out.get()) && out.get() != Py_None) {
    errors::raise_expected("tuple", out.get());
    return Ref();
  }
  return out;
}

bool take_snapshot(PyObject* output, SnapshotOwner& snap) {
  snap.data = c_unified_data::dump_model(output);
  return !PyErr_Occurred();
}

// Room for the document of a snapshot: the kept buffer's test build grows from one byte too.
size_t first_capacity(const SnapshotOwner& snap) {
#if ONDREL_TINY_BUFFER
  (void)snap;
  return 1;
#else
  return estimate_buffer_size(&snap.data);
#endif
}

// What a buffer starts at when the estimate cannot be allocated: a document that fits in memory
// must not fail because of the estimate.
constexpr size_t kFallbackCapacity = 65536;

// The document of a snapshot, in the kept buffer or one of `capacity`; false with an exception
// set.
bool encode(SnapshotOwner& snap, size_t capacity, int escape, int datetimes, BufferOwner& owner) {
  owner.buf = std::exchange(t_kept.buf, nullptr);
  if (owner.buf != nullptr) {
    owner.buf->pos = 0;
  } else {
    owner.buf = common::buf_new(capacity);
    if (owner.buf == nullptr) owner.buf = common::buf_new(kFallbackCapacity);
    if (owner.buf == nullptr) return no_memory();
  }
  return _encode_to_buffer(&snap.data, owner.buf, escape, datetimes != 0);
}

// The document of a snapshot as a str. A thread's first document, and one after a document
// under 64 KiB, is written into the kept buffer and copied into a str of its exact size.
// Otherwise it goes straight into its str (str_builder.hpp), which spares that copy (the ASCII
// kind 0.91x, floats 0.95x) and checks or decodes the text while it is in cache: in place after
// an ASCII document, the str started at that one's length plus some room; decoded after one
// past ASCII (the mixed encode 48 -> 41 ms). The builder keeps the str's block off a fresh
// mapping: without that, a str started larger than the last one freed faulted in every page on
// every call (2.2x slower in a loop). Past the cap no block would be warm: an ASCII str starts
// at the estimate (a 51 MB ASCII document: 79 -> 45 ms).
PyObject* encode_str(SnapshotOwner& snap, int escape, int datetimes) {
  const size_t capacity = first_capacity(snap);
  const bool past_cap = std::max(capacity, t_last_length) > kKeptCapacity;
  PyObject* s;
  if (!past_cap && t_last_length < kInPlaceMin) {
    BufferOwner owner;
    if (!encode(snap, capacity, escape, datetimes, owner)) return nullptr;
    t_last_length = owner.buf->pos;
    s = utf8::to_str(owner.buf->data, owner.buf->pos);
  } else {
    utf8::StrBuilder out;
    if (t_last_ascii) {
      if (!out.start(past_cap ? capacity : t_last_length + kInPlaceSlack, kStride)) {
        PyErr_Clear();
        if (!out.start(kFallbackCapacity, kStride)) return nullptr;
      }
    } else if (!out.start_decoded(t_last_chars + t_last_chars / 64 + kInPlaceSlack, kStride)) {
      return nullptr;
    }
    if (!_encode_to_buffer(&snap.data, out.buffer(), escape, datetimes != 0)) return nullptr;
    s = out.finish();
    t_last_length = out.bytes();
  }
  if (s != nullptr) {
    t_last_chars = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    t_last_ascii = PyUnicode_IS_ASCII(s);
  }
  return s;
}

const char* const kEncodeKeywords[] = {"data", "escape_strings", "datetimes"};
const args::Params kEncodeParams{"encode_unified_data", kEncodeKeywords, 3, 1, 2};

PyObject* _encode_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* a[3];
  if (args::parse(kEncodeParams, argv, nargs, kwnames, a) < 0) return nullptr;
  int escape = flag_of(a[1]);
  if (escape < 0) return nullptr;
  const int datetimes = datetimes_of(a[2]);
  if (datetimes < 0) return nullptr;
  Ref output = output_of(a[0]);
  if (!output) return nullptr;
  SnapshotOwner snap;
  if (!take_snapshot(output.get(), snap)) return nullptr;
  return encode_str(snap, escape, datetimes);
}

const char* const kWriteKeywords[] = {"data", "filepath", "escape_strings", "durable", "datetimes"};
const args::Params kWriteParams{"write_unified_data", kWriteKeywords, 5, 2, 3};

PyObject* _write_unified_data_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[5];
  if (args::parse(kWriteParams, argv, nargs, kwnames, a) < 0) return nullptr;
  int escape = flag_of(a[2]);
  if (escape < 0) return nullptr;
  int durable = flag_of(a[3]);
  if (durable < 0) return nullptr;
  const int datetimes = datetimes_of(a[4]);
  if (datetimes < 0) return nullptr;
  PyObject* filepath = a[1];  // held by the caller for the whole call
  if (args::check_exact_str(filepath, "filepath", true, false) < 0) return nullptr;
  Ref output = output_of(a[0]);
  if (!output) return nullptr;

  SnapshotOwner snap;
  BufferOwner owner;
  if (!take_snapshot(output.get(), snap)) return nullptr;
  Ref path = fs_path(filepath);
  if (!path) return nullptr;
  // The file is opened only once the whole document exists: a failed encode leaves it as it was.
  if (!encode(snap, first_capacity(snap), escape, datetimes, owner)) return nullptr;
  // Only bytes this call owns are read from here on, so other threads may run meanwhile.
  return save_document(filepath, PyBytes_AS_STRING(path.get()), owner.buf->data, owner.buf->pos,
                       durable != 0);
}

constexpr char kEncodeDoc[] =
    "encode_unified_data(data, bool escape_strings=False) -> str\n\nEncode UnifiedDataFormat "
    "to TOML string.\n\nArgs:\n    data: UnifiedDataFormat instance\n\nReturns:\n    Complete "
    "TOML document as string";
constexpr char kWriteDoc[] =
    "write_unified_data(data, str filepath, bool escape_strings=False) -> void\n\nWrite "
    "UnifiedDataFormat directly to file - the fast path.\n\nArgs:\n    data: UnifiedDataFormat "
    "instance\n    filepath: Path to write the TOML file";

}  // namespace

const FunctionDef kWriteFunction{"write_unified_data",
                                 "write_unified_data",
                                 kWriteDoc,
                                 _write_unified_data_impl,
                                 false,
                                 "(data, filepath, escape_strings=False, *, durable=False, "
                                 "datetimes='str')"};
const FunctionDef kEncodeFunction{"encode_unified_data",
                                  "encode_unified_data",
                                  kEncodeDoc,
                                  _encode_unified_data_impl,
                                  false,
                                  "(data, escape_strings=False, *, datetimes='str')"};

}  // namespace ondrel::pentock
