// A str from a buffer of UTF-8 text, through the fixed-width decoder of utf8.hpp.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <optional>

#include "ondrel/_native/common.hpp"
#include "ondrel/_native/pages.hpp"
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

// A str decoded while it is written: the writer fills a small block through buffer(), and at
// the block's end its whole sequences are decoded into a str of the width the caller expects,
// widened when wider text comes. The text is read while it is still in cache and never stands
// whole as bytes. finish() gives the str at its exact width.
class WideBuilder {
 public:
  WideBuilder() = default;
  WideBuilder(const WideBuilder&) = delete;
  WideBuilder& operator=(const WideBuilder&) = delete;
  ~WideBuilder() { std::free(buf_.data); }
  // Units of `kind` (1, 2 or 4) with room for `chars`, the text `block` bytes at a time; false
  // with MemoryError.
  bool start(int kind, size_t chars, size_t block);
  common::Buffer* buffer() { return &buf_; }
  // The str of the text written (once), or null with an exception set, as to_str.
  PyObject* finish();
  size_t bytes() const { return bytes_; }  // of the text decoded

 private:
  static bool regrow(common::Buffer* buf, size_t required);
  bool flush();
  bool make_room(unsigned width, size_t chars);
  common::Buffer buf_{};  // first: regrow finds the builder from it
  Ref str_;
  Ref error_;  // the interpreter's error for text that is not well formed, raised by finish()
  std::optional<pages::Prefault> prefault_;  // after str_, so that it goes first
  int kind_ = 1;
  size_t room_ = 0;  // the str's units
  size_t done_ = 0;  // the units decoded
  size_t bytes_ = 0;
  unsigned width_ = 0;  // the census width of all the text so far
};

}  // namespace ondrel::utf8
