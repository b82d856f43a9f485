// Per-call working storage of the reader: growable arrays, the key path of one statement, the
// table registry and the key cache. Everything here belongs to one decode call and is released
// with it; allocation failure is reported as MemoryError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ondrel::decoder {

// A growable array of trivially copyable T. push/append return false with MemoryError set.
template <typename T>
class Scratch {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    if (data_ != nullptr) PyMem_Free(data_);
  }

  T* data() const { return data_; }
  size_t size() const { return size_; }
  void clear() { size_ = 0; }
  void truncate(size_t n) { size_ = n; }

  bool reserve(size_t extra) {
    if (cap_ - size_ >= extra) [[likely]]
      return true;
    return grow(extra);
  }
  bool push(T v) {
    if (!reserve(1)) return false;
    data_[size_++] = v;
    return true;
  }
  bool append(const T* p, size_t n) {
    if (!reserve(n)) return false;
    if (n != 0) std::memcpy(data_ + size_, p, n * sizeof(T));
    size_ += n;
    return true;
  }
  // Only after reserve() made room.
  void push_unchecked(T v) { data_[size_++] = v; }

 private:
  [[gnu::cold, gnu::noinline]] bool grow(size_t extra) {
    size_t need;
    if (__builtin_add_overflow(size_, extra, &need)) return no_memory();
    size_t cap = cap_ < 16 ? 16 : cap_;
    while (cap < need) {
      if (__builtin_mul_overflow(cap, size_t{2}, &cap)) return no_memory();
    }
    size_t bytes;
    if (__builtin_mul_overflow(cap, sizeof(T), &bytes) ||
        bytes > static_cast<size_t>(PY_SSIZE_T_MAX))
      return no_memory();
    void* p = PyMem_Realloc(data_, bytes);
    if (p == nullptr) return no_memory();
    data_ = static_cast<T*>(p);
    cap_ = cap;
    return true;
  }
  static bool no_memory() {
    PyErr_NoMemory();
    return false;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// Items of the arrays being read, innermost last. Owns every reference it holds, so a failure
// anywhere releases what was read so far.
class ItemStack {
 public:
  ItemStack() = default;
  ItemStack(const ItemStack&) = delete;
  ItemStack& operator=(const ItemStack&) = delete;
  ~ItemStack() {
    for (size_t i = 0; i < items_.size(); ++i) Py_DECREF(items_.data()[i]);
  }
  size_t size() const { return items_.size(); }
  // Takes over `item` (a new reference), also when it fails.
  bool push_steal(PyObject* item) {
    if (items_.push(item)) [[likely]]
      return true;
    Py_DECREF(item);
    return false;
  }
  // A new list of the items above `base`, which leave the stack; null with MemoryError set.
  PyObject* pop_list(size_t base) {
    const size_t n = items_.size() - base;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return nullptr;
    PyObject** items = items_.data() + base;
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
    items_.truncate(base);
    return list;
  }

 private:
  Scratch<PyObject*> items_;
};

// The parts of one dotted key with where each starts (for messages). Owns its parts; the first
// few live inline, since nearly every key has one part.
template <typename U>
class KeyPath {
 public:
  KeyPath() = default;
  KeyPath(const KeyPath&) = delete;
  KeyPath& operator=(const KeyPath&) = delete;
  ~KeyPath() {
    for (size_t i = 0; i < size_; ++i) Py_DECREF(part(i));
  }
  size_t size() const { return size_; }
  PyObject* part(size_t i) const {
    return i < kInline ? parts_[i] : more_.data()[i - kInline].part;
  }
  const U* where(size_t i) const { return i < kInline ? at_[i] : more_.data()[i - kInline].at; }
  // Takes over `part` (a new reference), also when it fails.
  bool push_steal(PyObject* part, const U* at) {
    if (size_ < kInline) {
      parts_[size_] = part;
      at_[size_++] = at;
      return true;
    }
    if (!more_.push(Extra{part, at})) {
      Py_DECREF(part);
      return false;
    }
    ++size_;
    return true;
  }

 private:
  static constexpr size_t kInline = 4;
  struct Extra {
    PyObject* part;
    const U* at;
  };
  PyObject* parts_[kInline];
  const U* at_[kInline];
  Scratch<Extra> more_;
  size_t size_ = 0;
};

// What a table or array of the document may still become. Dicts and lists that are not
// registered are inline tables and static arrays: closed for good.
enum class Kind : uint8_t {
  kImplicit,  // created on the way to a [header]; may be defined once, or extended by dotted keys
  kExplicit,  // defined by a [header] or an [[array]] element: sub-tables only
  kDotted,    // created or extended by dotted keys: more dotted keys of the same scope, sub-tables
  kArrayOfTables,  // a list made by [[header]]: more elements
};

struct TableInfo {
  Kind kind;
  uint32_t scope;  // dotted tables: 0 outside inline tables, else the inline table's number
};

// Table states by object address. Every registered object is alive in the result tree for
// the whole call, so an address cannot be reused while it is registered.
class Registry {
 public:
  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;
  ~Registry() { PyMem_Free(slots_); }

  TableInfo* find(PyObject* obj) const {
    if (slots_ == nullptr) return nullptr;
    for (size_t i = index(obj);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.obj == obj) return &s.info;
      if (s.obj == nullptr) return nullptr;
    }
  }
  // obj must not be registered yet. false with MemoryError set.
  bool add(PyObject* obj, TableInfo info) {
    if ((used_ + 1) * 2 > capacity()) [[unlikely]] {
      if (!rehash()) return false;
    }
    size_t i = index(obj);
    while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
    slots_[i] = Slot{obj, info};
    ++used_;
    return true;
  }

 private:
  struct Slot {
    PyObject* obj;
    TableInfo info;
  };
  size_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }
  size_t index(PyObject* obj) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(obj) * 0x9E3779B97F4A7C15ULL) >> 20) &
           mask_;
  }
  [[gnu::cold, gnu::noinline]] bool rehash() {
    const size_t old_cap = capacity();
    const size_t cap = old_cap == 0 ? 64 : old_cap * 2;
    if (cap > PY_SSIZE_T_MAX / sizeof(Slot)) {
      PyErr_NoMemory();
      return false;
    }
    auto* fresh = static_cast<Slot*>(PyMem_Calloc(cap, sizeof(Slot)));
    if (fresh == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    Slot* old = slots_;
    slots_ = fresh;
    mask_ = cap - 1;
    for (size_t j = 0; j < old_cap; ++j) {
      if (old[j].obj == nullptr) continue;
      size_t i = index(old[j].obj);
      while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
      slots_[i] = old[j];
    }
    PyMem_Free(old);
    return true;
  }

  Slot* slots_ = nullptr;
  size_t mask_ = 0;
  size_t used_ = 0;
};

// One str per distinct bare key of a document: records repeat the same few keys, and a shared
// key object also keeps its cached hash. Direct-mapped by a hash of the key's text; a slot
// owns its key and is replaced by the next key that maps to it.
class KeyCache {
 public:
  static constexpr size_t kMaxLen = 48;
  KeyCache() = default;
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache() {
    for (Slot& s : slots_) Py_XDECREF(s.key);
  }
  // The key that followed the last one the last time, when the key at `text` is that key and
  // the unit after it (before `end`) ends it by `ends`: a new reference and its length in *n;
  // else null. Records repeat their keys in one order, so most keys take one compare instead
  // of the hash and the lookup.
  template <typename U, typename Ends>
  PyObject* predicted(const U* text, const U* end, size_t* n, Ends ends) {
    Slot& s = slots_[slots_[last_].next];
    if (s.key == nullptr || static_cast<size_t>(end - text) <= s.len) return nullptr;
    if (!same(s.text, text, s.len) || !ends(text[s.len])) return nullptr;
    last_ = slots_[last_].next;
    *n = s.len;
    return Py_NewRef(s.key);
  }
  // `text` holds `n` ASCII characters (n <= kMaxLen); a new reference, or null with an error.
  template <typename U>
  PyObject* get(const U* text, size_t n, uint32_t hash) {
    const auto index = static_cast<uint16_t>((hash ^ (hash >> 13)) & (kSlots - 1));
    Slot& s = slots_[index];
    slots_[last_].next = index;
    last_ = index;
    if (s.key != nullptr && s.hash == hash && s.len == n) {
      if (same(s.text, text, n)) return Py_NewRef(s.key);
    }
    PyObject* key = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (key == nullptr) return nullptr;
    auto* out = static_cast<unsigned char*>(PyUnicode_DATA(key));
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(text[i]);
    PyObject* old = s.key;
    s.key = Py_NewRef(key);
    s.text = out;
    s.hash = hash;
    s.len = static_cast<uint16_t>(n);
    Py_XDECREF(old);  // an exact str: no Python code runs
    return key;
  }

 private:
  static constexpr size_t kSlots = 512;
  template <typename U>
  static bool same(const unsigned char* have, const U* text, size_t n) {
    // Keys are short: a loop beats a call to memcmp.
    for (size_t i = 0; i < n; ++i)
      if (have[i] != text[i]) return false;
    return true;
  }
  struct Slot {
    PyObject* key;
    const unsigned char* text;  // the key's characters
    uint32_t hash;
    uint16_t len;
    uint16_t next;  // the slot of the key read after this one, last time
  };
  Slot slots_[kSlots]{};
  uint16_t last_ = 0;  // the slot of the key read last
};

}  // namespace ondrel::decoder
