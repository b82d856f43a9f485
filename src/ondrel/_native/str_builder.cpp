#include "ondrel/_native/str_builder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "ondrel/_native/utf8.hpp"
#include "ondrel/_native/utf8_str.hpp"

namespace ondrel::utf8 {

namespace {

// The block of a str of n units of k bytes. A builder's str is shrunk to its text when it is
// done, and so freed smaller than it was made: each block it makes is first let come from the
// heap (pages::heap_block_next), or every one would be a fresh mapping.
size_t heap_size(size_t n, size_t k) {
  return std::min(n, static_cast<size_t>(PY_SSIZE_T_MAX) / 4) * k + sizeof(PyCompactUnicodeObject) +
         4;
}

char* units_of(const Ref& s) { return static_cast<char*>(PyUnicode_DATA(s.get())); }

template <typename From, typename To>
void widen_units(const void* from, void* to, size_t n) {
  std::copy_n(static_cast<const From*>(from), n, static_cast<To*>(to));
}

}  // namespace

bool StrBuilder::start(size_t capacity, size_t block) {
  pages::heap_block_next(heap_size(capacity, 1));
  str_ = ascii_units(capacity);
  if (!str_) return false;
  room_ = capacity;
  block_ = block;
  in_place_ = true;
  buf_ = {units_of(str_), 0, 0, regrow};
  return grow_in_place(0);
}

bool StrBuilder::start_decoded(size_t chars, size_t block) {
  hint_ = chars;
  block_ = block;
  buf_ = {static_cast<char*>(std::malloc(std::max(block, size_t{1}))), 0, block, regrow};
  if (buf_.data != nullptr) return true;
  PyErr_NoMemory();
  return false;
}

// In place, the writer sees the str a stride at a time, and the pages of each slice of strides
// fault in together (pages::prefault) instead of one trap at a time.
bool StrBuilder::grow_in_place(size_t required) {
  if (required > room_) {
    size_t room;
    if (__builtin_mul_overflow(required, size_t{2}, &room) ||
        room > static_cast<size_t>(PY_SSIZE_T_MAX))
      return false;  // the caller raises MemoryError
    // In place where the allocator can: the str is this builder's alone and has no hash yet.
    pages::heap_block_next(heap_size(room, 1));
    PyObject* s = str_.release();
    const int failed = PyUnicode_Resize(&s, static_cast<Py_ssize_t>(room));
    str_ = Ref::steal(s);  // the old str when the resize failed
    if (failed < 0 || s == nullptr) return false;
    room_ = room;
    buf_.data = static_cast<char*>(PyUnicode_DATA(s));
  }
  const size_t want = std::max(required, buf_.pos + block_);
  if (want > faulted_ && faulted_ < room_) {
    const size_t end = std::min(room_, std::max(want, faulted_ + pages::kPrefaultMin));
    pages::prefault(buf_.data + faulted_, end - faulted_);
    faulted_ = end;
  }
  // Both at least `required`: room_ was made so above, and faulted_ then reached it or want.
  buf_.capacity = std::min(faulted_, want);
  return true;
}

// The text past the checked units moves to a block of its own, and is decoded from there on;
// the str keeps the units so far, all ASCII.
bool StrBuilder::leave_place() {
  const size_t rest = buf_.pos - done_;
  const size_t size = std::max({block_, rest, size_t{1}});
  auto* block = static_cast<char*>(std::malloc(size));
  if (block == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(block, buf_.data + done_, rest);
  buf_ = {block, rest, size, regrow};
  in_place_ = false;
  bytes_ = done_;
  return true;
}

// Room for `chars` more characters of census width `width`: the str is made at the first text's
// width, grown in place where the allocator can, and made again wider (the units so far
// widened) when wider text comes.
bool StrBuilder::make_room(unsigned width, size_t chars) {
  size_t need;
  const unsigned level = std::max(level_, width);
  if (__builtin_add_overflow(done_, chars, &need)) need = SIZE_MAX;
  if (str_ && level == level_ && need <= room_) return true;
  // Half again, not twice: the units past the text are faulted in ahead, used or not.
  size_t room = std::max(room_, str_ ? 0 : hint_);
  if (need > room && (__builtin_add_overflow(room, room / 2, &room) || room < need)) room = need;
  if (room > static_cast<size_t>(PY_SSIZE_T_MAX) / 4) {
    PyErr_NoMemory();
    return false;
  }
  const size_t k = unit_size(level);
  pages::heap_block_next(heap_size(room, k));
  prefault_.reset();  // the helper is done with the block before it may move
  char* units;
  if (str_ && level == level_) {
    PyObject* s = str_.release();
    const int failed = PyUnicode_Resize(&s, static_cast<Py_ssize_t>(room));
    str_ = Ref::steal(s);  // the old str when the resize failed
    if (failed < 0 || s == nullptr) return false;
    units = static_cast<char*>(PyUnicode_DATA(s));
  } else {
    Ref wider = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(room), kMaxChar[level]));
    if (!wider && room > need) {  // the room to spare is what failed
      PyErr_Clear();
      room = need;
      wider = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(room), kMaxChar[level]));
    }
    if (!wider) return false;
    units = static_cast<char*>(PyUnicode_DATA(wider.get()));
    if (str_ && done_ != 0) {
      const void* from = PyUnicode_DATA(str_.get());
      const size_t was = unit_size(level_);
      if (was == 1 && k == 1) widen_units<Py_UCS1, Py_UCS1>(from, units, done_);
      if (was == 1 && k == 2) widen_units<Py_UCS1, Py_UCS2>(from, units, done_);
      if (was == 1 && k == 4) widen_units<Py_UCS1, Py_UCS4>(from, units, done_);
      if (was == 2 && k == 4) widen_units<Py_UCS2, Py_UCS4>(from, units, done_);
    }
    str_ = std::move(wider);
    level_ = level;
  }
  room_ = room;
  // The units past the text may be a fresh block's: a helper faults them in while the text is
  // written.
  prefault_.emplace(units + done_ * k, (room_ - done_) * k, true);
  return true;
}

// Decodes the whole sequences in the block and moves an unfinished last one to its start;
// false with MemoryError.
bool StrBuilder::flush() {
  const size_t n = whole_sequences(buf_.data, buf_.pos);
  if (n != 0 && !error_) {
    const Census c = census(buf_.data, n);
    if (!make_room(c.width, c.chars)) return false;
    char* units = units_of(str_) + done_ * unit_size(level_);
    if (decode_at_width(buf_.data, n, units, level_, c.chars)) {
      done_ += c.chars;
      bytes_ += n;
    } else {
      keep_error(n);
    }
  }
  std::memmove(buf_.data, buf_.data + n, buf_.pos - n);
  buf_.pos -= n;
  return true;
}

// At a stride's end in place: the stride is checked (the writer only appends, so what lies
// before pos is final). At the block's end: its text goes into the str, and the block grows
// only for a value that does not fit in it whole.
bool StrBuilder::regrow(common::Buffer* buf, size_t required) {
  static_assert(std::is_standard_layout_v<StrBuilder> && offsetof(StrBuilder, buf_) == 0);
  auto* self = reinterpret_cast<StrBuilder*>(buf);
  const size_t needed = required - buf->pos;
  if (self->in_place_) {
    if (self->checked_ascii()) return self->grow_in_place(required);
    if (!self->leave_place()) return false;
  }
  if (!self->flush()) return false;
  if (needed <= buf->capacity - buf->pos) return true;
  const size_t capacity = buf->pos + needed;  // pos is at most 3 here
  void* grown = std::realloc(buf->data, capacity);
  if (grown == nullptr) return false;
  buf->data = static_cast<char*>(grown);
  buf->capacity = capacity;
  return true;
}

PyObject* StrBuilder::finish() {
  if (in_place_) {
    if (checked_ascii()) {
      bytes_ = done_;
      return resized();
    }
    if (!leave_place()) return nullptr;
  }
  if (!flush()) return nullptr;
  prefault_.reset();
  if (!error_ && buf_.pos != 0) keep_error(buf_.pos);  // an unfinished last sequence
  if (error_) {
    PyErr_SetRaisedException(error_.release());
    return nullptr;
  }
  // The str is as wide as its widest character, as every str is.
  if (!str_) return PyUnicode_New(0, 0);
  return resized();
}

// Text that is not well formed: the interpreter names the bad byte of the block's first n.
void StrBuilder::keep_error(size_t n) {
  Ref checked = Ref::steal(PyUnicode_DecodeUTF8(buf_.data, static_cast<Py_ssize_t>(n), nullptr));
  if (checked) PyErr_SetString(PyExc_SystemError, "the text's decoders disagree");
  error_ = Ref::steal(PyErr_GetRaisedException());
}

// In place: whether the text written since the last check is ASCII too, then checked.
bool StrBuilder::checked_ascii() {
  if (!ascii(buf_.data + done_, buf_.pos - done_)) return false;
  done_ = buf_.pos;
  return true;
}

PyObject* StrBuilder::resized() {
  PyObject* s = str_.release();
  if (PyUnicode_Resize(&s, static_cast<Py_ssize_t>(done_)) < 0) {
    Py_DECREF(s);
    return nullptr;
  }
  return s;
}

}  // namespace ondrel::utf8
