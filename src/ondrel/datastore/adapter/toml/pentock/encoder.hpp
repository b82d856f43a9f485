// Shared declarations of the TOML encoder: buffer appends that turn allocation failure into
// MemoryError, the value and document writers, and the entry points.
//
// Every writer returns true on success, or false with a Python exception set; it stops at
// the first failure. Object arguments are borrowed and must stay alive for the call: callers
// own each container element before handing it on, since writers may run Python code.
// The escape flag is a template parameter so the raw path carries no per-string test.
#pragma once

#include <Python.h>

#include <cstring>

#include "ondrel/_native/common.hpp"
#include "ondrel/_native/digit_pairs.hpp"
#include "ondrel/_native/function.hpp"
#include "ondrel/datastore/adapter/toml/pentock/tokens.hpp"
#include "ondrel/datastore/c_unified_data/snapshot.hpp"

namespace ondrel::pentock {

namespace arrowin {
struct Source;
}

using c_unified_data::ColumnsData;
using c_unified_data::CTableData;
using c_unified_data::CUnifiedData;
using c_unified_data::HeaderData;
using common::Buffer;

// ---- buffer appends --------------------------------------------------------------------

[[gnu::cold, gnu::noinline]] bool no_memory();

inline bool reserve(Buffer* buf, size_t n) {
  if (common::buf_ensure(buf, n)) [[likely]]
    return true;
  return no_memory();
}

// Only after reserve() has made room.
inline void put_unchecked(Buffer* buf, const char* s, size_t n) {
  std::memcpy(buf->data + buf->pos, s, n);
  buf->pos += n;
}
template <size_t N>
inline void put_unchecked(Buffer* buf, const char (&lit)[N]) {
  put_unchecked(buf, lit, N - 1);
}

inline bool put(Buffer* buf, const char* s, size_t n) {
  if (!reserve(buf, n)) return false;
  put_unchecked(buf, s, n);
  return true;
}
template <size_t N>
inline bool put(Buffer* buf, const char (&lit)[N]) {
  return put(buf, lit, N - 1);
}

inline bool insert_space(Buffer* buf) { return put(buf, tok::B_SPACE); }
inline bool insert_quote(Buffer* buf) { return put(buf, tok::B_QUOTE); }
inline bool insert_open_bracket(Buffer* buf) { return put(buf, tok::B_OPEN_BRACKET); }
inline bool insert_close_bracket(Buffer* buf) { return put(buf, tok::B_CLOSE_BRACKET); }
inline bool insert_open_brace(Buffer* buf) { return put(buf, tok::B_OPEN_BRACE); }
inline bool insert_close_brace(Buffer* buf) { return put(buf, tok::B_CLOSE_BRACE); }
inline bool insert_newline(Buffer* buf) { return put(buf, tok::B_NEWLINE); }
inline bool insert_b_comma(Buffer* buf) { return put(buf, tok::B_COMMA); }
inline bool insert_comma_space(Buffer* buf) { return put(buf, tok::B_COMMA_SPACE); }
inline bool insert_equals(Buffer* buf) { return put(buf, tok::B_EQUALS); }
inline bool insert_indent(Buffer* buf) { return put(buf, tok::B_INDENT); }
inline bool insert_true(Buffer* buf) { return put(buf, tok::B_TRUE); }
inline bool insert_false(Buffer* buf) { return put(buf, tok::B_FALSE); }

// ---- strings ---------------------------------------------------------------------------

struct Utf8 {
  const char* data;
  size_t size;
};

// TypeError "<what> must be str, not <type>"; returns false.
[[gnu::cold, gnu::noinline]] bool raise_not_str(const char* what, PyObject* obj);

// The interpreter's cached UTF-8 form of a str (a subclass too), read in place.
inline bool utf8_of(PyObject* s, Utf8* out, const char* what) {
  // The type first: the ASCII flag lives in str's own layout, past the end of smaller objects.
  if (PyUnicode_CheckExact(s) && PyUnicode_IS_COMPACT_ASCII(s)) [[likely]] {
    out->data = static_cast<const char*>(PyUnicode_DATA(s));
    out->size = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    return true;
  }
  if (!PyUnicode_Check(s)) return raise_not_str(what, s);
  Py_ssize_t n;
  const char* d = PyUnicode_AsUTF8AndSize(s, &n);
  if (d == nullptr) return false;
  out->data = d;
  out->size = static_cast<size_t>(n);
  return true;
}

// Bytes allowed in a TOML bare key: A-Z a-z 0-9 _ -
struct BareKeyTable {
  bool ok[256];
  constexpr BareKeyTable() : ok{} {
    for (int c = 'A'; c <= 'Z'; ++c) ok[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) ok[c] = true;
    for (int c = '0'; c <= '9'; ++c) ok[c] = true;
    ok[static_cast<unsigned char>('_')] = true;
    ok[static_cast<unsigned char>('-')] = true;
  }
};
inline constexpr BareKeyTable kBareKey{};

inline bool is_bare_key(const Utf8& s) {
  if (s.size == 0) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data);
  for (size_t i = 0; i < s.size; ++i)
    if (!kBareKey.ok[p[i]]) return false;
  return true;
}

// Raw bytes of a str, no quotes.
bool buf_write_str(Buffer* buf, PyObject* s, const char* what = "value");

// "text": escaped when Esc (a short escape or \u00XX for every character TOML forbids raw),
// else the bytes unchanged.
template <bool Esc>
bool _escaped_quoted_value(Buffer* buf, PyObject* value, const char* what = "value");

// Quoted raw, never escaped.
inline bool _quoted_str_value(Buffer* buf, PyObject* value, const char* what = "value") {
  return _escaped_quoted_value<false>(buf, value, what);
}

// A key of an inline table or a table header: bare when TOML allows it, else quoted.
template <bool Esc>
bool write_key(Buffer* buf, PyObject* key, const char* what);

// The same for UTF-8 text that is not a str (Arrow strings and field names).
template <bool Esc>
bool write_quoted_utf8(Buffer* buf, const char* data, size_t size);
template <bool Esc>
bool write_key_utf8(Buffer* buf, const char* data, size_t size);

// ---- refusals: where in the document -------------------------------------------------------

// Values a reader would refuse (None inside an array; with Esc false, a string that cannot
// stand raw in a basic string) raise ValueError where they are met and leave a pending path.
// Each writer they unwind through adds its own part, innermost first, so the path costs
// nothing until something is refused; _encode_to_buffer then names the whole path. Other
// failures pass through these helpers untouched. Each returns false.
namespace where {
[[gnu::cold, gnu::noinline]] bool index(Py_ssize_t i);      // [i]
[[gnu::cold, gnu::noinline]] bool field(const char* name);  // .name (or a bare root name)
// .key when bare, else ['key']; `itself`: the key, not its value, was refused.
[[gnu::cold, gnu::noinline]] bool key(PyObject* key, bool itself = false);
// Names the whole path in the pending refusal's ValueError; nothing when none is pending.
[[gnu::cold, gnu::noinline]] void finish();
// Raises ValueError(what) and starts the path of a refusal.
[[gnu::cold, gnu::noinline]] bool refuse(const char* what);
// Whether a refusal is being unwound.
bool active();
// Refuses a null inside an array as the dict path refuses None there (the Arrow path).
[[gnu::cold, gnu::noinline]] bool none_in_array();
}  // namespace where

// ---- record keys -----------------------------------------------------------------------

// Bare-key verdicts of record keys for one document: records repeat the same few key objects.
// Each entry owns its key, so its address cannot be freed and reused by another str while the
// cache lives, and a str's text and UTF-8 form never change, so Python code run in between
// cannot make an entry stale. Only exact str keys that are bare are kept.
class KeyCache {
 public:
  // A short key's whole entry text, ", " key " = ", is kept and copied in one fixed-size
  // block (the first two bytes left out before a table's first entry).
  static constexpr size_t kCopy = 32;
  struct Entry {
    PyObject* key;  // owned
    const char* data;
    size_t size;
    size_t text_size;  // of ", " key " = ", or 0 when that is longer than kCopy
    char text[kCopy + 8];
  };
  KeyCache() = default;
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache() {
    for (Entry& e : slots_) Py_XDECREF(e.key);
  }
  // Four slots per key (an aligned group): with one, two of a record's keys that shared a
  // slot would evict each other at every record, and whether they do depends on where the keys
  // happen to be allocated (measured: up to 13% of a record's instructions came and went with
  // the size of the environment).
  const Entry* find(PyObject* key) const {
    const size_t i = index(key);
    if (slots_[i].key == key) [[likely]]
      return &slots_[i];
    for (size_t w = 1; w < kWays; ++w)
      if (slots_[i ^ w].key == key) return &slots_[i ^ w];
    return nullptr;
  }
  // Takes a free slot of the group, else the last; dropping an exact str runs no Python code.
  void add(PyObject* key, const char* data, size_t size) {
    const size_t i = index(key);
    size_t at = i ^ (kWays - 1);
    for (size_t w = 0; w < kWays; ++w) {
      if (slots_[i ^ w].key == nullptr) {
        at = i ^ w;
        break;
      }
    }
    Entry& e = slots_[at];
    PyObject* old = e.key;
    e.key = Py_NewRef(key);
    e.data = data;
    e.size = size;
    e.text_size = 0;
    if (size + 5 <= kCopy) {
      std::memcpy(e.text, ", ", 2);
      std::memcpy(e.text + 2, data, size);
      std::memcpy(e.text + 2 + size, " = ", 3);
      e.text_size = size + 5;
    }
    Py_XDECREF(old);
  }

 private:
  static constexpr unsigned kBits = 7;
  static constexpr size_t kWays = 4;
  // Objects are 16-byte aligned: without those four zero bits, keys allocated one after
  // another (48 bytes apart, say) spread over the slots instead of sharing every third one.
  static size_t index(PyObject* key) {
    return static_cast<size_t>(((reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ULL) >>
                               (64 - kBits));
  }
  Entry slots_[size_t{1} << kBits]{};
};

// ---- values ----------------------------------------------------------------------------

template <bool Esc>
bool _value_to_buf(Buffer* buf, PyObject* value);
template <bool Esc>
bool _array_to_buf(Buffer* buf, PyObject* arr);
template <bool Esc>
bool _inline_table_to_buf(Buffer* buf, PyObject* d);
// One record (an exact or derived dict) as an inline table, its keys looked up in `keys`.
template <bool Esc>
bool record_to_buf(Buffer* buf, PyObject* record, KeyCache& keys);

// Number text (numbers.cpp): the text of int.__repr__ for an int or a subclass, the text of
// float.__repr__ for a double.
bool write_int(Buffer* buf, PyObject* value);
bool write_float(Buffer* buf, double value);
bool write_u64(Buffer* buf, unsigned long long v);

inline bool write_i64(Buffer* buf, long long v) {
  if (!reserve(buf, 20)) return false;
  char* o = buf->data + buf->pos;
  // The magnitude in unsigned arithmetic, so LLONG_MIN needs no special case.
  uint64_t mag = static_cast<uint64_t>(v);
  if (v < 0) {
    *o++ = '-';
    mag = 0 - mag;
  }
  buf->pos = static_cast<size_t>(u64_to_chars(o, mag) - buf->data);
  return true;
}

// write_int with the common case, a compact int, in place: for the writers' hot loops.
inline bool write_int_inline(Buffer* buf, PyObject* value) {
  auto* v = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(v)) [[likely]]
    return write_i64(buf, static_cast<long long>(PyUnstable_Long_CompactValue(v)));
  return write_int(buf, value);
}

// ---- document --------------------------------------------------------------------------

size_t estimate_buffer_size(const CUnifiedData* data);
// `toml_datetimes`: datetimes="toml" (date-time objects and Arrow temporal values as TOML
// date-times), else their str() text.
bool _encode_to_buffer(CUnifiedData* data, Buffer* buf, int escape_strings, bool toml_datetimes);

// datetimes="toml" in force for the encode running on this thread (set by _encode_to_buffer;
// a nested encode run from a __str__ sets and restores its own).
bool toml_datetimes_now();

// Records from an object with __arrow_c_stream__ (arrow_records.cpp). arrow_open takes the
// stream and reads its schema, and checks each declared column against the field of its name
// (TypeError when the field cannot read back as the declared type), before anything of the
// table is written. arrow_records_to_buf then writes one inline table per row, each followed
// by ",\n" and indented, as the dict path writes them.
template <bool Esc>
bool arrow_open(const CTableData* table, arrowin::Source& source);
template <bool Esc>
bool arrow_records_to_buf(Buffer* buf, const CTableData* table, arrowin::Source& source,
                          bool toml_datetimes);

// ---- entry points (entry.cpp) ------------------------------------------------------------

extern const FunctionDef kWriteFunction;   // write_unified_data
extern const FunctionDef kEncodeFunction;  // encode_unified_data

}  // namespace ondrel::pentock
