// A document's str, written as the document is made: its text never stands whole as bytes
// beside the str.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <optional>

#include "ondrel/_native/common.hpp"
#include "ondrel/_native/pages.hpp"
#include "ondrel/_native/ref.hpp"

namespace ondrel::utf8 {

// The writer fills buffer(), and finish() gives the str. Written in place, the text goes
// straight into an ASCII str's units and is checked a stride at a time, while the stride is
// still in cache. Decoded, it goes through a small block whose whole sequences are decoded at
// the block's end into a str as wide as the text so far (made again wider when wider text
// comes). Text past ASCII written in place moves over to the block from the stride where it is
// found.
class StrBuilder {
 public:
  StrBuilder() = default;
  StrBuilder(const StrBuilder&) = delete;
  StrBuilder& operator=(const StrBuilder&) = delete;
  ~StrBuilder() {
    if (!in_place_) std::free(buf_.data);
  }
  // In place, with room for `capacity` characters; false with MemoryError. `block`: the
  // decoded text's block, and the stride of the ASCII check.
  bool start(size_t capacity, size_t block);
  // Decoded, with room for about `chars` characters once the first text comes.
  bool start_decoded(size_t chars, size_t block);
  common::Buffer* buffer() { return &buf_; }
  // The str of the text written (once), or null with an exception set, as to_str.
  PyObject* finish();
  size_t bytes() const { return bytes_; }  // of the text, once finished

 private:
  static bool regrow(common::Buffer* buf, size_t required);
  bool grow_in_place(size_t required);
  bool leave_place();
  bool flush();
  bool make_room(unsigned width, size_t chars);
  bool checked_ascii();
  void keep_error(size_t n);
  PyObject* resized();    // the str cut to its done_ units
  common::Buffer buf_{};  // first: regrow finds the builder from it
  Ref str_;               // decoded: made at the first text
  Ref error_;  // the interpreter's error for text that is not well formed, raised by finish()
  std::optional<pages::Prefault> prefault_;  // after str_, so that it goes first
  bool in_place_ = false;
  unsigned level_ = 0;  // the str's census width: 0 (ASCII), 1, 2 or 4
  size_t block_ = 0;
  size_t hint_ = 0;     // the first decoded str's room
  size_t room_ = 0;     // the str's units
  size_t done_ = 0;     // the units written and checked, or decoded
  size_t faulted_ = 0;  // in place: the units faulted in
  size_t bytes_ = 0;
};

}  // namespace ondrel::utf8
