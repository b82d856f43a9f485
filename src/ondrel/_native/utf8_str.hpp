// A str from a buffer of UTF-8 text, through the fixed-width decoder of utf8.hpp.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ondrel/_native/common.hpp"
#include "ondrel/_native/ref.hpp"

namespace ondrel::utf8 {

// New str from data[0 .. n), or null with an exception set (MemoryError, or the strict
// decoder's UnicodeDecodeError for malformed text).
PyObject* to_str(const char* data, size_t n);

// New str from text past ASCII, counted and decoded once at its exact width; null with
// MemoryError set, or null with no exception when the text is not well-formed UTF-8.
PyObject* wide_str(const char* data, size_t n);

// A str written in place: a writer fills an ASCII str's units through buffer(), and finish()
// gives that str, or the text decoded when it is not ASCII. Spares a document's copy from a
// buffer into its str, and the buffer's own fresh pages where no warm buffer is kept.
class StrBuilder {
 public:
  StrBuilder() = default;
  StrBuilder(const StrBuilder&) = delete;
  StrBuilder& operator=(const StrBuilder&) = delete;
  // Room for `capacity` bytes; false with MemoryError.
  bool start(size_t capacity);
  common::Buffer* buffer() { return &buf_; }
  // The str of the bytes written (once), or null with an exception set, as to_str.
  PyObject* finish();

 private:
  static bool regrow(common::Buffer* buf, size_t required);
  common::Buffer buf_{};  // first: regrow finds the builder from it
  Ref str_;
  static constexpr size_t kCheckStride = size_t{64} << 10;
  size_t room_ = 0;     // the str's units; the buffer's capacity stops at a stride's end
  size_t faulted_ = 0;  // the units faulted in so far
  size_t checked_ = 0;  // the text before it is ASCII unless wide_
  bool wide_ = false;
};

}  // namespace ondrel::utf8
