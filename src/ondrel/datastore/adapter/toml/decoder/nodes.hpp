// The values of one record read for Arrow columns: small nodes in an arena that is reused
// from record to record, so reading a record makes no Python object and no allocation once the
// arena has grown to the largest record.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ondrel/datastore/adapter/toml/decoder/support.hpp"

namespace ondrel::decoder {

enum class NodeKind : uint8_t {
  kString,
  kInt,
  kBigInt,  // beyond 64 bits: refused when the record is stored
  kFloat,
  kBool,
  kOffsetDateTime,  // i: the instant in microseconds since the epoch; offset: minutes east
  kLocalDateTime,   // i: microseconds since the epoch, as if in UTC
  kDate,            // i: days since the epoch
  kTime,            // i: microseconds since midnight
  kArray,
  kTable,
};

struct Node {
  NodeKind kind;
  // Tables: closed (an inline table) or still open to dotted keys of `scope`.
  bool dotted;
  // Strings: the text lies in the document (units of the reader's form) or in the arena's
  // text (scratch units), at `text`.
  bool in_arena;
  int16_t offset;
  uint32_t scope;
  union {
    int64_t i;
    double d;
    struct {
      union {
        const void* at;  // in the document
        size_t index;    // in the arena's text
      };
      size_t len;  // in units
    } text;
  };
  Node* first = nullptr;  // arrays and tables: the items
  Node* last = nullptr;
  Node* next = nullptr;     // the next item of the parent
  PyObject* key = nullptr;  // an item of a table: its key (owned by the arena)
  Py_hash_t hash = 0;       // of key
  uint32_t count = 0;       // arrays and tables: how many items
};

// Nodes in fixed chunks (their addresses stay put while a record grows), the keys they hold
// and the text of strings that had escapes. reset() keeps the memory for the next record.
template <typename TextUnit>
class NodeArena {
 public:
  NodeArena() = default;
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;
  ~NodeArena() {
    reset();
    for (size_t i = 0; i < chunks_.size(); ++i) PyMem_Free(chunks_.data()[i]);
  }

  // A zeroed node of `kind`, or null with MemoryError set.
  Node* make(NodeKind kind) {
    if (used_ == kChunk * chunk_) [[unlikely]] {
      if (!next_chunk()) return nullptr;
    }
    Node* n = chunks_.data()[chunk_ - 1] + (used_++ - kChunk * (chunk_ - 1));
    // Only what every reader of a node relies on; the payload is set by its maker.
    n->kind = kind;
    n->dotted = false;
    n->in_arena = false;
    n->first = n->last = n->next = nullptr;
    n->count = 0;
    n->i = 0;  // the key bits of a table
    return n;
  }
  // Takes over `key` (a new reference), also when it fails.
  bool hold_key(PyObject* key) {
    if (keys_.push(key)) [[likely]]
      return true;
    Py_DECREF(key);
    return false;
  }
  Scratch<TextUnit>& text() { return text_; }
  const TextUnit* text_at(const Node* n) const { return text_.data() + n->text.index; }

  void reset() {
    for (size_t i = 0; i < keys_.size(); ++i) Py_DECREF(keys_.data()[i]);
    keys_.clear();
    text_.clear();
    used_ = 0;
    chunk_ = used_chunks_reset();
  }

 private:
  static constexpr size_t kChunk = 256;
  size_t used_chunks_reset() { return chunks_.size() == 0 ? 0 : 1; }
  [[gnu::cold, gnu::noinline]] bool next_chunk() {
    if (chunk_ < chunks_.size()) {
      ++chunk_;
      return true;
    }
    auto* c = static_cast<Node*>(PyMem_Malloc(kChunk * sizeof(Node)));
    if (c == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    if (!chunks_.push(c)) {
      PyMem_Free(c);
      return false;
    }
    ++chunk_;
    return true;
  }

  Scratch<Node*> chunks_;
  size_t chunk_ = 0;  // chunks in use
  size_t used_ = 0;   // nodes handed out
  Scratch<PyObject*> keys_;
  Scratch<TextUnit> text_;
};

// The name of the type the dict reader gives a value of this kind, for messages.
inline const char* python_type_name(NodeKind kind) {
  switch (kind) {
    case NodeKind::kString: return "str";
    case NodeKind::kInt:
    case NodeKind::kBigInt: return "int";
    case NodeKind::kFloat: return "float";
    case NodeKind::kBool: return "bool";
    case NodeKind::kOffsetDateTime:
    case NodeKind::kLocalDateTime: return "datetime.datetime";
    case NodeKind::kDate: return "datetime.date";
    case NodeKind::kTime: return "datetime.time";
    case NodeKind::kArray: return "list";
    case NodeKind::kTable: break;
  }
  return "dict";
}

// Tables keep in `i` one bit per key hash, so a new key is mostly known new without a search.
inline int64_t key_bit(Py_hash_t hash) {
  return static_cast<int64_t>(uint64_t{1} << (static_cast<uint64_t>(hash) & 63));
}

// Adds `item` under `parent` (an array, or a table with `item->key` set).
inline void node_append(Node* parent, Node* item) {
  if (parent->kind == NodeKind::kTable) parent->i |= key_bit(item->hash);
  if (parent->last == nullptr) {
    parent->first = item;
  } else {
    parent->last->next = item;
  }
  parent->last = item;
  ++parent->count;
}

// The hash of an exact str: its cached value, computed once (no Python code runs).
inline Py_hash_t str_hash(PyObject* key) {
  const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(key)->hash;
  return cached != -1 ? cached : PyObject_Hash(key);
}

// The item of table `t` under `key`, or null (null with an error set only when the key
// comparison fails, which for exact str keys it does not).
inline Node* node_find(const Node* t, PyObject* key, Py_hash_t hash) {
  if ((t->i & key_bit(hash)) == 0) return nullptr;  // no key of t has this bit
  for (Node* c = t->first; c != nullptr; c = c->next) {
    if (c->key == key) return c;
    if (c->hash == hash && PyUnicode_Compare(c->key, key) == 0) return c;
  }
  return nullptr;
}

}  // namespace ondrel::decoder
