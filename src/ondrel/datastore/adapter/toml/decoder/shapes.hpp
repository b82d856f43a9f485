// The key orders of inline tables with many keys, as records repeat them: a table whose keys
// follow a known order is filled in a copy of a dict of those keys, which comes at its final
// size, where a new dict grows once or more while the keys go in. Part of one decode call.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ondrel/_native/ref.hpp"

namespace ondrel::decoder {

class ShapeCache {
 public:
  // A new dict holds five keys before it grows: smaller tables gain nothing from a copy.
  static constexpr Py_ssize_t kMinKeys = 6;
  static constexpr Py_ssize_t kMaxKeys = 16;

  struct Shape {
    PyObject* dict = nullptr;    // the keys in order, every value None (owned)
    PyObject* keys[kMaxKeys]{};  // borrowed from dict
    Py_ssize_t n = 0;
    uint32_t users = 0;  // tables being filled from it: it is not replaced under them
    // How well tables keep to it lately: a table that leaves a copy costs about five that fill
    // one gain (bench: a key missing from every other record), so it is copied only from 0 up.
    int score = 0;
  };

  ShapeCache() = default;
  ShapeCache(const ShapeCache&) = delete;
  ShapeCache& operator=(const ShapeCache&) = delete;
  ~ShapeCache() {
    for (Shape& s : shapes_) Py_XDECREF(s.dict);
  }

  // The shape to copy for a table whose first key is `first` (the very object: keys come from
  // the key cache), or null.
  Shape* find(PyObject* first) {
    Shape& s = shapes_[slot(first)];
    return s.dict != nullptr && s.keys[0] == first && s.score >= 0 ? &s : nullptr;
  }
  static void filled(Shape& s) { s.score += s.score < kTop ? 1 : 0; }
  static void left(Shape& s) {
    s.score = s.score - kLeaveCost > kBottom ? s.score - kLeaveCost : kBottom;
  }

  // A table read without a copy, by the keys of its pairs in order (all plain, no dotted
  // key): counts for or against its slot's shape, and takes the slot with its own key order
  // once the shape there has sunk to the bottom, or where there is none. False with an error
  // set.
  bool read(PyObject* const* keys, Py_ssize_t n) {
    if (n < kMinKeys || n > kMaxKeys) return true;
    Shape& s = shapes_[slot(keys[0])];
    if (s.dict != nullptr) {
      bool same = s.n == n;
      for (Py_ssize_t i = 0; same && i < n; ++i) same = s.keys[i] == keys[i];
      if (same) {
        filled(s);
        return true;
      }
      if (s.score > kBottom) --s.score;
      if (s.score > kBottom || s.users != 0) return true;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      // str keys and None: no Python code runs
      if (PyDict_SetItem(dict.get(), keys[i], Py_None) < 0) return false;
    }
    Py_XSETREF(s.dict, dict.release());
    for (Py_ssize_t i = 0; i < n; ++i) s.keys[i] = keys[i];
    s.n = n;
    s.score = 0;
    return true;
  }

 private:
  static constexpr size_t kSlots = 16;
  static constexpr int kTop = 16;
  static constexpr int kLeaveCost = 5;
  // A shape gives way after about this many tables in a row that did not keep to it.
  static constexpr int kBottom = -64;
  static size_t slot(PyObject* key) { return (reinterpret_cast<uintptr_t>(key) >> 4) % kSlots; }
  Shape shapes_[kSlots];
};

}  // namespace ondrel::decoder
