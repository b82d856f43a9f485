// Exports of immutable blocks of buffers through the Arrow C data and stream interfaces:
// the block every export shares, and the export of its schema, array and stream.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ondrel/_native/arrow_abi.hpp"

namespace ondrel::arrow {

// One finished array and its type: buffers are malloc'd and owned (null only for an absent
// validity bitmap); metadata is the binary key/value encoding, empty for none.
struct ArrowNode {
  const char* format = "n";  // a static string
  std::string owned_format;  // when not empty, the format instead (decimals)
  bool required = false;     // not nullable (a map's entries and keys)
  std::string name;
  std::string metadata;
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<void*> buffers;
  std::vector<ArrowNode> children;
  ArrowNode() = default;
  ArrowNode(ArrowNode&&) noexcept = default;
  ArrowNode& operator=(ArrowNode&&) noexcept = default;
  ArrowNode(const ArrowNode&) = delete;
  ArrowNode& operator=(const ArrowNode&) = delete;
  ~ArrowNode();
};

// A finished table: a struct array of the columns. Counted natively (atomically), since
// consumers release their exports from any thread, without the GIL; it never touches Python.
struct ArrowBlock {
  std::atomic<int64_t> refs{1};
  ArrowNode root;
};

inline void block_incref(ArrowBlock* b) { b->refs.fetch_add(1, std::memory_order_relaxed); }
inline void block_decref(ArrowBlock* b) {
  if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b;
}

// Fill `out` with a new export of the block's schema / whole table / one-batch stream; each
// holds its own reference to the block. False only when memory runs out (nothing is held).
bool export_schema(ArrowBlock* block, ArrowSchema* out);
bool export_array(ArrowBlock* block, ArrowArray* out);
bool export_stream(ArrowBlock* block, ArrowArrayStream* out);

// A new "arrow_schema" / "arrow_array_stream" capsule (PyCapsule Interface) holding a fresh
// export of the block; the capsule releases it unless a consumer moved it out. Null with
// MemoryError set.
PyObject* schema_capsule(ArrowBlock* block);
PyObject* stream_capsule(ArrowBlock* block);

}  // namespace ondrel::arrow
