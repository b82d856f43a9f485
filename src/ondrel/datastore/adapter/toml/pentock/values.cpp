// TOML value writers: strings, keys, arrays and inline tables, dispatched on the value's type.
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "ondrel/_native/checked_copy.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/stack.hpp"
#include "ondrel/datastore/adapter/toml/pentock/dict_entries.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"
#include "ondrel/datastore/adapter/toml/pentock/temporal.hpp"

namespace ondrel::pentock {

bool no_memory() {
  PyErr_NoMemory();
  return false;
}

bool raise_not_str(const char* what, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(obj)->tp_name);
  return false;
}

namespace {

[[gnu::cold, gnu::noinline]] bool refuse_raw(const Utf8& s, size_t at) {
  const unsigned char c = static_cast<unsigned char>(s.data[at]);
  if (c == '"') return where::refuse("holds an unescaped '\"'");
  if (c == '\\') return where::refuse("holds a backslash that starts no TOML 1.0 escape");
  if (c == 0x7F) return where::refuse("holds the control character DEL (U+007F)");
  char text[48];
  PyOS_snprintf(text, sizeof text, "holds the control character U+%04X", static_cast<unsigned>(c));
  return where::refuse(text);
}

// One pass copies the text between the quotes and looks for bytes that need escaping (or keep
// it from standing raw); only text with such a byte takes the exact pass. `escapes`, when
// given, tells whether raw text holds an escape (a backslash), which a reader reads.
template <bool Esc>
inline bool quoted_bytes(Buffer* buf, const Utf8& s, bool* escapes = nullptr) {
  size_t n;
  if (__builtin_add_overflow(s.size, size_t{2}, &n)) return no_memory();
  if (!reserve(buf, n)) return false;
  char* out = buf->data + buf->pos;
  out[0] = '"';
  if (common::copy_checked(out + 1, s.data, s.size)) [[unlikely]] {
    if constexpr (Esc) {
      put_unchecked(buf, tok::B_QUOTE);
      if (!common::escape_toml_to_buf(buf, s.data, s.size)) return no_memory();
      return put(buf, tok::B_QUOTE);
    } else {
      const size_t bad = common::detail::raw_string_error_from(
          reinterpret_cast<const unsigned char*>(s.data), 0, s.size);
      if (bad != common::kRawOk) return refuse_raw(s, bad);
      if (escapes != nullptr && std::memchr(s.data, '\\', s.size) != nullptr) *escapes = true;
    }
  }
  out[s.size + 1] = '"';
  buf->pos += n;
  return true;
}

// str() of any other object, as a quoted string.
template <bool Esc>
[[gnu::noinline]] bool str_of_to_buf(Buffer* buf, PyObject* value) {
  Ref s = Ref::steal(PyObject_Str(value));
  if (!s) return false;
  return _escaped_quoted_value<Esc>(buf, s.get());
}

template <bool Esc>
bool value_at(Buffer* buf, PyObject* value, int depth, KeyCache* keys);
template <bool Esc>
bool array_at(Buffer* buf, PyObject* arr, int depth, KeyCache* keys);
template <bool Esc>
bool table_at(Buffer* buf, PyObject* d, int depth, KeyCache* keys);

// Subclasses of the built-in types and every other object. Numbers are written by value: a
// subclass's str() may be any text (an Enum member's is "E.A"), which would not read back.
template <bool Esc>
[[gnu::noinline]] bool value_slow(Buffer* buf, PyObject* value, int depth, KeyCache* keys) {
  if (PyLong_Check(value)) return write_int(buf, value);
  if (PyFloat_Check(value)) return write_float(buf, PyFloat_AS_DOUBLE(value));
  if (PyUnicode_Check(value)) return _escaped_quoted_value<Esc>(buf, value);
  if (PyList_Check(value) || PyTuple_Check(value)) return array_at<Esc>(buf, value, depth, keys);
  if (PyDict_Check(value)) return table_at<Esc>(buf, value, depth, keys);
  if (toml_datetimes_now()) {
    const int done = temporal::object_toml(buf, value);
    if (done != 0) return done > 0;
  }
  return str_of_to_buf<Esc>(buf, value);
}

// Containers nest this many levels deep on the native stack before the interpreter's guard is
// asked: those levels are bounded by the constant, and the guard's cost is saved on the
// shallow containers of ordinary records. Past the threshold every level enters the guard, so
// the depth stays bounded and deep or self-referencing data raises RecursionError; the guard
// also watches the bytes left, for threads started with a small stack.
constexpr int kUnguardedDepth = 8;

}  // namespace

bool buf_write_str(Buffer* buf, PyObject* s, const char* what) {
  Utf8 u{};
  if (!utf8_of(s, &u, what)) return false;
  return put(buf, u.data, u.size);
}

template <bool Esc>
bool _escaped_quoted_value(Buffer* buf, PyObject* value, const char* what) {
  Utf8 u{};
  if (!utf8_of(value, &u, what)) return false;
  return quoted_bytes<Esc>(buf, u);
}

template <bool Esc>
bool write_quoted_utf8(Buffer* buf, const char* data, size_t size) {
  return quoted_bytes<Esc>(buf, Utf8{data, size});
}

template <bool Esc>
bool write_key_utf8(Buffer* buf, const char* data, size_t size) {
  const Utf8 u{data, size};
  if (is_bare_key(u)) return put(buf, data, size);
  return quoted_bytes<Esc>(buf, u);
}

template <bool Esc>
bool write_key(Buffer* buf, PyObject* key, const char* what) {
  Utf8 u{};
  if (!utf8_of(key, &u, what)) return false;
  if (is_bare_key(u)) [[likely]]
    return put(buf, u.data, u.size);
  return quoted_bytes<Esc>(buf, u);
}

namespace {

// Exact str, int, float and bool: written without running any Python code, so a borrowed
// reference stays valid across the call. False when `value` is none of these.
template <bool Esc>
inline bool scalar_to_buf(Buffer* buf, PyObject* value, bool* ok) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyUnicode_Type) {
    *ok = _escaped_quoted_value<Esc>(buf, value);
  } else if (type == &PyLong_Type) {
    *ok = write_int_inline(buf, value);
  } else if (type == &PyFloat_Type) {
    *ok = write_float(buf, PyFloat_AS_DOUBLE(value));
  } else if (value == Py_True) {
    *ok = insert_true(buf);
  } else if (value == Py_False) {
    *ok = insert_false(buf);
  } else {
    return false;
  }
  return true;
}

template <bool Esc>
bool value_at(Buffer* buf, PyObject* value, int depth, KeyCache* keys) {
  bool ok;
  if (scalar_to_buf<Esc>(buf, value, &ok)) [[likely]]
    return ok;
  PyTypeObject* type = Py_TYPE(value);
  // Only array items get here: tables leave None entries out, and so do column defaults.
  if (value == Py_None) return where::refuse("is None inside an array, and TOML has no null");
  if (type == &PyDict_Type) return table_at<Esc>(buf, value, depth, keys);
  if (type == &PyList_Type || type == &PyTuple_Type) return array_at<Esc>(buf, value, depth, keys);
  return value_slow<Esc>(buf, value, depth, keys);
}

template <bool Esc>
bool array_at(Buffer* buf, PyObject* arr, int depth, KeyCache* keys) {
  stack::RecursionGuard guard(" while encoding a TOML array", depth >= kUnguardedDepth);
  if (!guard) return false;
  if (!put(buf, "[ ")) return false;
  if (PyList_Check(arr)) {
    // The length is read again at every step: a __str__ run for an element may shrink the
    // list, and each element that may run Python code is owned while it is written.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arr); ++i) {
      if (i != 0 && !insert_comma_space(buf)) return false;
      PyObject* item = PyList_GET_ITEM(arr, i);
      bool ok;
      if (scalar_to_buf<Esc>(buf, item, &ok)) [[likely]] {
        if (!ok) return where::index(i);
        continue;
      }
      Ref held = Ref::borrow(item);
      if (!value_at<Esc>(buf, held.get(), depth + 1, keys)) return where::index(i);
    }
  } else {
    // Tuples cannot change, and the caller holds this one.
    const Py_ssize_t n = PyTuple_GET_SIZE(arr);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i != 0 && !insert_comma_space(buf)) return false;
      if (!value_at<Esc>(buf, PyTuple_GET_ITEM(arr, i), depth + 1, keys)) return where::index(i);
    }
  }
  return put(buf, " ]");
}

// Without escaping, keys that differ as written may read as one ('a' and '\\u0061'): a reader
// refuses the table. Checked only for a table one of whose written keys holds an escape.
bool raw_keys_distinct_or_throw(PyObject* d) {
  std::unordered_map<std::string, PyObject*> seen;  // the key as read, and the key
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  // Nothing here runs Python code: keys are str (their UTF-8 form is cached) and stay borrowed.
  while (PyDict_Next(d, &pos, &key, &value)) {
    if (value == Py_None) continue;
    Utf8 k{};
    if (!utf8_of(key, &k, "an inline table key")) return false;
    std::string read(k.data, k.size);
    if (std::memchr(k.data, '\\', k.size) != nullptr) {
      const size_t n = common::read_raw_escapes(k.data, k.size, read.data());
      if (n == common::kRawOk) continue;  // refused where it is written
      read.resize(n);
    }
    auto [it, fresh] = seen.emplace(std::move(read), key);
    if (fresh) continue;
    // The key with the escape is named; the other one in the text.
    PyObject* escaped = std::memchr(k.data, '\\', k.size) != nullptr ? key : it->second;
    PyObject* other = escaped == key ? it->second : key;
    Utf8 o{};
    if (!utf8_of(other, &o, "an inline table key")) return false;
    where::refuse(("holds escapes that read as '" + std::string(o.data, o.size) +
                   "', a key the table has already")
                      .c_str());
    return where::key(escaped, true);
  }
  return true;
}

[[gnu::cold, gnu::noinline]] bool raw_keys_distinct(PyObject* d) {
  try {
    return raw_keys_distinct_or_throw(d);
  } catch (const std::bad_alloc&) {
    return no_memory();
  }
}

// The separator (none before the first entry), the key and " = " of one inline-table entry.
// `keys` is null outside records: only record keys (nested ones too) repeat often enough to
// pay for a lookup.
template <bool Esc>
inline bool entry_key(Buffer* buf, PyObject* d, PyObject* key, bool first, KeyCache* keys) {
  const KeyCache::Entry* hit = keys != nullptr ? keys->find(key) : nullptr;
  if (hit != nullptr && hit->text_size != 0) [[likely]] {
    if (!reserve(buf, KeyCache::kCopy)) return false;
    const size_t skip = first ? 2 : 0;
    std::memcpy(buf->data + buf->pos, hit->text + skip, KeyCache::kCopy);
    buf->pos += hit->text_size - skip;
    return true;
  }
  Utf8 k{};
  bool bare = true;
  if (hit != nullptr) {
    k = Utf8{hit->data, hit->size};
  } else {
    if (!utf8_of(key, &k, "an inline table key")) return false;
    bare = is_bare_key(k);
    if (bare && keys != nullptr && PyUnicode_CheckExact(key)) keys->add(key, k.data, k.size);
  }
  if (bare) {
    // Separator, key and " = " in one reservation; k.size is a str length, far from overflow.
    if (!reserve(buf, 2 + k.size + 3)) return false;
    if (!first) put_unchecked(buf, tok::B_COMMA_SPACE);
    put_unchecked(buf, k.data, k.size);
    put_unchecked(buf, tok::B_EQUALS);
    return true;
  }
  if (!first && !insert_comma_space(buf)) return false;
  bool escapes = false;
  if (!quoted_bytes<Esc>(buf, k, &escapes)) return where::key(key, true);
  if (!Esc && escapes && !raw_keys_distinct(d)) return false;
  return insert_equals(buf);
}

template <bool Esc>
bool table_at(Buffer* buf, PyObject* d, int depth, KeyCache* keys) {
  stack::RecursionGuard guard(" while encoding a TOML inline table", depth >= kUnguardedDepth);
  if (!guard) return false;
  if (!put(buf, "{ ")) return false;
  dict_entries::Cursor entries(d);
  PyObject *key, *value;
  bool written = false;
  while (entries.next(&key, &value)) {
    if (value == Py_None) continue;  // TOML has no null; the entry is left out
    if (!entry_key<Esc>(buf, d, key, !written, keys)) return false;
    written = true;
    bool ok;
    if (scalar_to_buf<Esc>(buf, value, &ok)) [[likely]] {
      if (!ok) return where::key(key);
      continue;
    }
    // Owned, with its key for the path of a refusal: writing the value may run Python code
    // that removes the entry.
    Ref held = Ref::borrow(value);
    Ref held_key = Ref::borrow(key);
    if (!value_at<Esc>(buf, held.get(), depth + 1, keys)) return where::key(held_key.get());
    entries.refresh();
  }
  return put(buf, " }");
}

}  // namespace

template <bool Esc>
bool _value_to_buf(Buffer* buf, PyObject* value) {
  return value_at<Esc>(buf, value, 0, nullptr);
}

template <bool Esc>
bool _array_to_buf(Buffer* buf, PyObject* arr) {
  return array_at<Esc>(buf, arr, 0, nullptr);
}

template <bool Esc>
bool _inline_table_to_buf(Buffer* buf, PyObject* d) {
  return table_at<Esc>(buf, d, 0, nullptr);
}

template <bool Esc>
bool record_to_buf(Buffer* buf, PyObject* record, KeyCache& keys) {
  return table_at<Esc>(buf, record, 0, &keys);
}

template bool _escaped_quoted_value<false>(Buffer*, PyObject*, const char*);
template bool _escaped_quoted_value<true>(Buffer*, PyObject*, const char*);
template bool write_quoted_utf8<false>(Buffer*, const char*, size_t);
template bool write_quoted_utf8<true>(Buffer*, const char*, size_t);
template bool write_key_utf8<false>(Buffer*, const char*, size_t);
template bool write_key_utf8<true>(Buffer*, const char*, size_t);
template bool write_key<false>(Buffer*, PyObject*, const char*);
template bool write_key<true>(Buffer*, PyObject*, const char*);
template bool _value_to_buf<false>(Buffer*, PyObject*);
template bool _value_to_buf<true>(Buffer*, PyObject*);
template bool _array_to_buf<false>(Buffer*, PyObject*);
template bool _array_to_buf<true>(Buffer*, PyObject*);
template bool _inline_table_to_buf<false>(Buffer*, PyObject*);
template bool _inline_table_to_buf<true>(Buffer*, PyObject*);
template bool record_to_buf<false>(Buffer*, PyObject*, KeyCache&);
template bool record_to_buf<true>(Buffer*, PyObject*, KeyCache&);

}  // namespace ondrel::pentock
