// The entries of a dict, in PyDict_Next's order. On CPython 3.13 with the GIL, a combined table
// with str keys (what records are) is read in place: PyDict_Next's call and checks were about a
// fifth of a record's instructions. Anything else (split instance dicts, other keys, other
// interpreters) goes through PyDict_Next. Both keep the position as an index into the entries,
// so a dict that changes shape between two steps (Python code run for a value, after which the
// layout is read again) goes on as PyDict_Next alone would.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace ondrel::pentock::dict_entries {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define ONDREL_DICT_IN_PLACE 1

// 3.13's keys object up to its index table; the entries follow the table.
struct Keys {
  Py_ssize_t refcnt;
  uint8_t log2_size;
  uint8_t log2_index_bytes;
  uint8_t kind;
  uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
};
static_assert(sizeof(Keys) == 32);
struct StrEntry {
  PyObject* key;
  PyObject* value;  // null for a deleted entry
};
inline constexpr uint8_t kStrKeys = 1;

// Set at import once the layout has read a few dicts exactly as PyDict_Next does.
extern bool g_in_place;
#endif

// Checks the layout against PyDict_Next; false with an exception set only on MemoryError.
bool check_layout();

// One dict's entries, one after another. The layout is read once, not at every step; after
// anything that may have run Python code (which can resize the dict or swap its keys), call
// refresh() before the next step.
class Cursor {
 public:
  explicit Cursor(PyObject* d) : d_(d) { refresh(); }

  void refresh() {
#ifdef ONDREL_DICT_IN_PLACE
    // Without branches: a split dict's keys object is a keys object too.
    const auto* mp = reinterpret_cast<PyDictObject*>(d_);
    const auto* k = reinterpret_cast<const Keys*>(mp->ma_keys);
    const bool in_place = (mp->ma_values == nullptr) & g_in_place & (k->kind == kStrKeys);
    const auto* entries = reinterpret_cast<const StrEntry*>(
        reinterpret_cast<const char*>(k) + sizeof(Keys) + (size_t{1} << k->log2_index_bytes));
    entries_ = in_place ? entries : nullptr;
    count_ = k->nentries;
#endif
  }

  bool next(PyObject** key, PyObject** value) {
#ifdef ONDREL_DICT_IN_PLACE
    if (entries_ != nullptr) [[likely]] {
      for (Py_ssize_t i = pos_; i < count_; ++i) {
        if (entries_[i].value != nullptr) {
          pos_ = i + 1;
          *key = entries_[i].key;
          *value = entries_[i].value;
          return true;
        }
      }
      return false;
    }
#endif
    return PyDict_Next(d_, &pos_, key, value) != 0;
  }

  Py_ssize_t position() const { return pos_; }
#ifdef ONDREL_DICT_IN_PLACE
  bool in_place() const { return entries_ != nullptr; }
#endif

 private:
  PyObject* d_;  // borrowed: the caller holds it
  Py_ssize_t pos_ = 0;
#ifdef ONDREL_DICT_IN_PLACE
  const StrEntry* entries_ = nullptr;  // null: PyDict_Next
  Py_ssize_t count_ = 0;
#endif
};

}  // namespace ondrel::pentock::dict_entries
