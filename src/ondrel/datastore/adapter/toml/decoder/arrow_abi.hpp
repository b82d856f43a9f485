// The Arrow C data and stream structs, and the immutable block of buffers every export shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif
#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif
}

namespace ondrel::decoder {

// One finished array and its type: buffers are malloc'd and owned (null only for an absent
// validity bitmap); metadata is the binary key/value encoding, empty for none.
struct ArrowNode {
  const char* format = "n";  // a static string
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

}  // namespace ondrel::decoder
