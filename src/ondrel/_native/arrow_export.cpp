// Exports of a finished block through the Arrow C data and stream interfaces. Every exported
// struct, children included, holds its own block reference: a consumer may move a child out
// and release it on its own, after the parent, from any thread.
#include <Python.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#include "ondrel/_native/arrow_export.hpp"

namespace ondrel::arrow {

ArrowNode::~ArrowNode() {
  for (void* b : buffers) std::free(b);
}

namespace {

template <class S>
struct Private {
  ArrowBlock* block;
  std::unique_ptr<S[]> kids;
  std::unique_ptr<S*[]> kid_ptrs;
};

template <class S>
void release_node(S* s) {
  auto* p = static_cast<Private<S>*>(s->private_data);
  for (int64_t i = 0; i < s->n_children; ++i) {
    S* c = s->children[i];
    if (c->release != nullptr) c->release(c);
  }
  block_decref(p->block);
  delete p;
  s->release = nullptr;
}

// The private part of one exported node with room for its children; null when out of memory.
template <class S>
Private<S>* new_private(ArrowBlock* block, const ArrowNode& node) {
  auto* p = new (std::nothrow) Private<S>{block, nullptr, nullptr};
  if (p == nullptr) return nullptr;
  const size_t n = node.children.size();
  if (n != 0) {
    p->kids.reset(new (std::nothrow) S[n]());
    p->kid_ptrs.reset(new (std::nothrow) S*[n]);
    if (!p->kids || !p->kid_ptrs) {
      delete p;
      return nullptr;
    }
    for (size_t i = 0; i < n; ++i) p->kid_ptrs[i] = &p->kids[i];
  }
  block_incref(block);
  return p;
}

// Releases the children filled so far after a failure half-way.
template <class S>
void undo_children(Private<S>* p, size_t filled) {
  for (size_t i = 0; i < filled; ++i) release_node(&p->kids[i]);
  block_decref(p->block);
  delete p;
}

bool fill_schema(ArrowBlock* block, const ArrowNode& node, ArrowSchema* out, bool root) {
  auto* p = new_private<ArrowSchema>(block, node);
  if (p == nullptr) return false;
  for (size_t i = 0; i < node.children.size(); ++i) {
    if (!fill_schema(block, node.children[i], &p->kids[i], false)) {
      undo_children(p, i);
      return false;
    }
  }
  *out = ArrowSchema{
      .format = node.owned_format.empty() ? node.format : node.owned_format.c_str(),
      .name = node.name.c_str(),
      .metadata = node.metadata.empty() ? nullptr : node.metadata.data(),
      .flags = root || node.required ? 0 : ARROW_FLAG_NULLABLE,
      .n_children = static_cast<int64_t>(node.children.size()),
      .children = p->kid_ptrs.get(),
      .dictionary = nullptr,
      .release = release_node<ArrowSchema>,
      .private_data = p,
  };
  return true;
}

bool fill_array(ArrowBlock* block, const ArrowNode& node, ArrowArray* out) {
  auto* p = new_private<ArrowArray>(block, node);
  if (p == nullptr) return false;
  for (size_t i = 0; i < node.children.size(); ++i) {
    if (!fill_array(block, node.children[i], &p->kids[i])) {
      undo_children(p, i);
      return false;
    }
  }
  *out = ArrowArray{
      .length = node.length,
      .null_count = node.null_count,
      .offset = 0,
      .n_buffers = static_cast<int64_t>(node.buffers.size()),
      .n_children = static_cast<int64_t>(node.children.size()),
      // The block never changes: every export reads the same pointer table.
      .buffers = const_cast<const void**>(node.buffers.data()),
      .children = p->kid_ptrs.get(),
      .dictionary = nullptr,
      .release = release_node<ArrowArray>,
      .private_data = p,
  };
  return true;
}

struct StreamState {
  ArrowBlock* block;
  bool done;
  const char* error;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  auto* st = static_cast<StreamState*>(s->private_data);
  if (export_schema(st->block, out)) return 0;
  st->error = "out of memory";
  return ENOMEM;
}

// The whole table is one batch.
int stream_next(ArrowArrayStream* s, ArrowArray* out) {
  auto* st = static_cast<StreamState*>(s->private_data);
  if (st->done) {
    out->release = nullptr;
    return 0;
  }
  if (!export_array(st->block, out)) {
    st->error = "out of memory";
    return ENOMEM;
  }
  st->done = true;
  return 0;
}

const char* stream_error(ArrowArrayStream* s) {
  return static_cast<StreamState*>(s->private_data)->error;
}

void stream_release(ArrowArrayStream* s) {
  auto* st = static_cast<StreamState*>(s->private_data);
  block_decref(st->block);
  delete st;
  s->release = nullptr;
}

// Capsules of the PyCapsule Interface: the struct is freed with its capsule, released first
// unless a consumer moved it out.
template <class T>
constexpr const char* kCapsuleName =
    std::is_same_v<T, ArrowSchema> ? "arrow_schema" : "arrow_array_stream";

template <class T>
void capsule_free(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kCapsuleName<T>)) return;
  auto* s = static_cast<T*>(PyCapsule_GetPointer(capsule, kCapsuleName<T>));
  if (s->release != nullptr) s->release(s);  // still ours: no consumer moved it out
  delete s;
}

// A fresh export of the block in a capsule of the interface's name, or null.
template <class T>
PyObject* export_capsule(ArrowBlock* block, bool (*fill)(ArrowBlock*, T*)) {
  auto* s = new (std::nothrow) T();
  if (s == nullptr) return PyErr_NoMemory();
  if (!fill(block, s)) {
    delete s;
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(s, kCapsuleName<T>, capsule_free<T>);
  if (capsule == nullptr) {
    s->release(s);
    delete s;
  }
  return capsule;
}

}  // namespace

bool export_schema(ArrowBlock* block, ArrowSchema* out) {
  return fill_schema(block, block->root, out, true);
}

bool export_array(ArrowBlock* block, ArrowArray* out) {
  return fill_array(block, block->root, out);
}

bool export_stream(ArrowBlock* block, ArrowArrayStream* out) {
  auto* st = new (std::nothrow) StreamState{block, false, nullptr};
  if (st == nullptr) return false;
  block_incref(block);
  *out = ArrowArrayStream{
      .get_schema = stream_schema,
      .get_next = stream_next,
      .get_last_error = stream_error,
      .release = stream_release,
      .private_data = st,
  };
  return true;
}

PyObject* schema_capsule(ArrowBlock* block) { return export_capsule(block, export_schema); }

PyObject* stream_capsule(ArrowBlock* block) { return export_capsule(block, export_stream); }

}  // namespace ondrel::arrow
