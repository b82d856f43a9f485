// Importing Arrow data through the PyCapsule Interface: owners that release a struct exactly
// once, and the stream of any object with __arrow_c_stream__.
#pragma once

#include <Python.h>

#include "ondrel/_native/arrow_abi.hpp"

namespace ondrel::arrow {

// Holds one struct and calls its release (if set) exactly once: on reset() or at the end of
// its scope. Filled in place through get(); never copied or moved, so no struct is released
// twice.
template <class S>
class Owned {
 public:
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }
  S* get() { return &s_; }
  S* operator->() { return &s_; }
  bool live() const { return s_.release != nullptr; }
  // A release may run Python code (a producer written in Python, a finalizer), which must not
  // see, or clear, the error that is being raised: it is set aside meanwhile.
  void reset() {
    if (s_.release != nullptr) {
      PyObject* raised = PyErr_GetRaisedException();
      s_.release(&s_);
      if (raised != nullptr) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(raised);
      }
    }
    s_.release = nullptr;
  }

 private:
  S s_{};
};

using SchemaOwner = Owned<ArrowSchema>;
using ArrayOwner = Owned<ArrowArray>;
using StreamOwner = Owned<ArrowArrayStream>;

// Moves the stream of obj.__arrow_c_stream__() into `out` (empty on entry): the capsule keeps
// only a released shell. False with an exception set (the source's own, if it raised).
bool import_stream(PyObject* obj, StreamOwner& out);

// A pyarrow RecordBatchReader (a subclass too: the IPC readers, DuckDB's fetch_record_batch())
// hands out its stream once; asked again, it hands out the spent stream as an empty one, which
// would pass for a table without rows. No attribute tells a spent reader from a fresh one, so
// each reader whose stream is taken here is remembered (weakly: the reader may go) and a second
// take is refused. Readers are known by their type's MRO, by name, so pyarrow is never
// imported; every other source (tables, batches, data frames, relations) is re-readable and
// passes untouched. 1 when `obj` is a reader whose stream was taken before; 0 when its stream
// may be taken (a reader is marked as taken now); -1 with an exception set.
int take_stream_once(PyObject* obj);

// Raises OSError(code, "<what>: <the stream's last error>") for a failed stream call.
void raise_stream_error(ArrowArrayStream* stream, int code, const char* what);

}  // namespace ondrel::arrow
