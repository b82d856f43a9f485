// A str from UTF-8 text. ASCII text (most documents) is copied into an ASCII str in the pass
// that checks it; other text is counted, and decoded once into a str of its exact width. The
// interpreter's decoder, kept for text that is not well formed, widens as it goes and
// reallocates: measured 2.3x slower on a 20 MB 4-byte str and 1.2x on Latin-1 text.
#include "ondrel/_native/utf8_str.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "ondrel/_native/pages.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/utf8.hpp"

namespace ondrel::utf8 {

namespace {

// Copies data into an ASCII str's units while checking that it is ASCII, and stops at the
// first block that is not: most documents are, and one pass then does for two. Without kCopy
// it only checks.
template <bool kCopy = true>
bool copy_ascii(const char* data, size_t n, [[maybe_unused]] char* out) {
  size_t i = 0;
#if defined(__x86_64__)
  switch (simd::level()) {
    case simd::Level::kAvx512: i = simd::copy_ascii_avx512<kCopy>(out, data, n); break;
    case simd::Level::kAvx2: i = simd::copy_ascii_avx2<kCopy>(out, data, n); break;
    case simd::Level::kSse2: i = simd::copy_ascii_sse2<kCopy>(out, data, n); break;
    case simd::Level::kPortable:
    case simd::Level::kNeon: break;
  }
  if (i == simd::kNotAscii) return false;
#elif defined(__aarch64__)
  if (simd::level() == simd::Level::kNeon) i = simd::copy_ascii_neon<kCopy>(out, data, n);
  if (i == simd::kNotAscii) return false;
#endif
  // Words where no vector level runs, and for the tail.
  for (; n - i >= 64; i += 64) {
    uint64_t any = 0;
    for (size_t k = 0; k < 64; k += 8) {
      uint64_t w;
      std::memcpy(&w, data + i + k, 8);
      if constexpr (kCopy) std::memcpy(out + i + k, &w, 8);
      any |= w;
    }
    if (any & 0x8080808080808080ULL) return false;
  }
  unsigned char high = 0;
  for (; i < n; ++i) {
    if constexpr (kCopy) out[i] = data[i];
    high |= static_cast<unsigned char>(data[i]);
  }
  return high < 0x80;
}

// copy_ascii a slice at a time, each but the first faulted in first: a document that turns
// out not to be ASCII mostly stops in its first slice, before any of its pages are advised.
bool copy_ascii_prefaulted(const char* data, size_t n, char* out) {
  constexpr size_t kSlice = pages::kPrefaultMin;
  for (size_t at = 0; at < n; at += kSlice) {
    const size_t m = std::min(kSlice, n - at);
    if (at != 0) pages::prefault(out + at, m);
    if (!copy_ascii(data + at, m, out + at)) return false;
  }
  return true;
}

// The str of text that is not all ASCII.
PyObject* decoded_str(const char* data, size_t n) {
  if (PyObject* s = wide_str(data, n)) return s;
  if (PyErr_Occurred()) return nullptr;
  // Not well formed: the interpreter names the bad byte.
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(n), nullptr);
}

// An ASCII str of n units, not yet written.
Ref ascii_units(size_t n) {
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return Ref();
  }
  return Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F));
}

// The block of an ASCII str of n units (no str is larger than PY_SSIZE_T_MAX). A builder's str
// is shrunk to its text when it is done, and so freed smaller than it was made: each block it
// makes is first let come from the heap (pages::heap_block_next), or every one would be a
// fresh mapping.
size_t heap_size(size_t n) {
  return std::min(n, static_cast<size_t>(PY_SSIZE_T_MAX)) + sizeof(PyASCIIObject) + 1;
}

char* units_of(const Ref& s) { return static_cast<char*>(PyUnicode_DATA(s.get())); }

}  // namespace

PyObject* wide_str(const char* data, size_t n) {
  const Census c = census(data, n);
  const Py_UCS4 maxchar = c.width == 0   ? 0x7F
                          : c.width == 1 ? 0xFF
                          : c.width == 2 ? 0xFFFF
                                         : 0x10FFFF;
  Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(c.chars), maxchar));
  if (!s) return nullptr;
  void* out = PyUnicode_DATA(s.get());
  pages::Prefault pf(out, c.chars * PyUnicode_KIND(s.get()));
  bool ok;
  switch (c.width) {
    case 0:
    case 1: ok = decode(data, n, static_cast<Py_UCS1*>(out), c.chars); break;
    case 2: ok = decode(data, n, static_cast<Py_UCS2*>(out), c.chars); break;
    default: ok = decode(data, n, static_cast<Py_UCS4*>(out), c.chars); break;
  }
  return ok ? s.release() : nullptr;
}

PyObject* to_str(const char* data, size_t n) {
  {
    Ref s = ascii_units(n);
    if (!s) return nullptr;
    if (copy_ascii_prefaulted(data, n, units_of(s))) return s.release();
  }
  return decoded_str(data, n);
}

bool StrBuilder::start(size_t capacity) {
  pages::heap_block_next(heap_size(capacity));
  str_ = ascii_units(capacity);
  if (!str_) return false;
  room_ = capacity;
  buf_ = {units_of(str_), 0, 0, regrow};
  return regrow(&buf_, 0);
}

// The writer sees the str a stride at a time: at each stride's end it comes back here, where
// the stride just written is checked for ASCII while it is still in cache (finish() checks
// only the last), and the pages of each slice of strides fault in together (pages::prefault)
// instead of one trap at a time.
bool StrBuilder::regrow(common::Buffer* buf, size_t required) {
  static_assert(std::is_standard_layout_v<StrBuilder> && offsetof(StrBuilder, buf_) == 0);
  auto* self = reinterpret_cast<StrBuilder*>(buf);
  // The writer only appends, so what lies before pos is final.
  if (!self->wide_) {
    self->wide_ =
        !copy_ascii<false>(buf->data + self->checked_, buf->pos - self->checked_, nullptr);
    self->checked_ = buf->pos;
  }
  if (required > self->room_) {
    size_t room;
    if (__builtin_mul_overflow(required, size_t{2}, &room) ||
        room > static_cast<size_t>(PY_SSIZE_T_MAX))
      return false;  // the caller raises MemoryError
    // In place where the allocator can: the str is this builder's alone and has no hash yet.
    pages::heap_block_next(heap_size(room));
    PyObject* s = self->str_.release();
    const int failed = PyUnicode_Resize(&s, static_cast<Py_ssize_t>(room));
    self->str_ = Ref::steal(s);  // the old str when the resize failed
    if (failed < 0) return false;
    self->room_ = room;
    buf->data = units_of(self->str_);
  }
  const size_t want = std::max(required, buf->pos + kCheckStride);
  if (want > self->faulted_ && self->faulted_ < self->room_) {
    const size_t end = std::min(self->room_, std::max(want, self->faulted_ + pages::kPrefaultMin));
    pages::prefault(buf->data + self->faulted_, end - self->faulted_);
    self->faulted_ = end;
  }
  // Both at least `required`: room_ was made so above, and faulted_ then reached it or want.
  buf->capacity = std::min(self->faulted_, want);
  return true;
}

PyObject* StrBuilder::finish() {
  const size_t n = buf_.pos;
  if (wide_ || !copy_ascii<false>(buf_.data + checked_, n - checked_, nullptr))
    return decoded_str(buf_.data, n);
  PyObject* s = str_.release();
  if (PyUnicode_Resize(&s, static_cast<Py_ssize_t>(n)) < 0) {
    Py_DECREF(s);
    return nullptr;
  }
  return s;
}

}  // namespace ondrel::utf8

namespace ondrel::utf8 {

namespace {

constexpr Py_UCS4 kMaxChar[5] = {0, 0xFF, 0xFFFF, 0, 0x10FFFF};

// The str kind that holds text of a census width.
int kind_of(unsigned width) { return width <= 1 ? 1 : static_cast<int>(width); }

// Where the last sequence of data[0 .. n) starts when it runs past n, else n.
size_t whole_sequences(const char* data, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  for (size_t back = 1; back <= 4 && back <= n; ++back) {
    const unsigned char c = p[n - back];
    if ((c & 0xC0) == 0x80) continue;
    const size_t len = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return len > back ? n - back : n;
  }
  return n;  // not well formed: the decoder says so
}

template <typename From, typename To>
void widen_units(const void* from, void* to, size_t n) {
  std::copy_n(static_cast<const From*>(from), n, static_cast<To*>(to));
}

}  // namespace

bool WideBuilder::start(int kind, size_t chars, size_t block) {
  kind_ = kind;
  if (!make_room(kind == 1 ? 1 : static_cast<unsigned>(kind), chars)) return false;
  buf_ = {static_cast<char*>(std::malloc(std::max(block, size_t{1}))), 0, block, regrow};
  if (buf_.data == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// Room for `chars` more units of text of census width `width`: a larger str of the same kind
// (in place where the allocator can), or a wider one that takes the units so far.
bool WideBuilder::make_room(unsigned width, size_t chars) {
  size_t need;
  const int kind = std::max(kind_, kind_of(width));
  if (__builtin_add_overflow(done_, chars, &need)) need = SIZE_MAX;
  if (kind == kind_ && need <= room_ && str_) return true;
  size_t room = room_;
  if (need > room_ && (__builtin_mul_overflow(room_, size_t{2}, &room) || room < need)) room = need;
  if (room > static_cast<size_t>(PY_SSIZE_T_MAX) / 4) {
    PyErr_NoMemory();
    return false;
  }
  pages::heap_block_next(room * static_cast<size_t>(kind) + sizeof(PyCompactUnicodeObject) + 4);
  prefault_.reset();  // the helper is done with the block before it may move
  if (kind == kind_ && str_) {
    PyObject* s = str_.release();
    const int failed = PyUnicode_Resize(&s, static_cast<Py_ssize_t>(room));
    str_ = Ref::steal(s);  // the old str when the resize failed
    if (failed < 0) return false;
  } else {
    Ref wider = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(room), kMaxChar[kind]));
    if (!wider) return false;
    if (done_ != 0) {
      const void* from = PyUnicode_DATA(str_.get());
      void* to = PyUnicode_DATA(wider.get());
      if (kind_ == 1 && kind == 2) widen_units<Py_UCS1, Py_UCS2>(from, to, done_);
      if (kind_ == 1 && kind == 4) widen_units<Py_UCS1, Py_UCS4>(from, to, done_);
      if (kind_ == 2 && kind == 4) widen_units<Py_UCS2, Py_UCS4>(from, to, done_);
    }
    str_ = std::move(wider);
    kind_ = kind;
  }
  room_ = room;
  // The units past the text may be a fresh block's: a helper faults them in while the text is
  // written.
  const auto k = static_cast<size_t>(kind_);
  prefault_.emplace(static_cast<char*>(PyUnicode_DATA(str_.get())) + done_ * k, (room_ - done_) * k,
                    true);
  return true;
}

// Decodes the whole sequences in the block and moves an unfinished last one to its start;
// false with MemoryError.
bool WideBuilder::flush() {
  const size_t n = whole_sequences(buf_.data, buf_.pos);
  if (n != 0 && !error_) {
    const Census c = census(buf_.data, n);
    if (!make_room(c.width, c.chars)) return false;
    void* units = PyUnicode_DATA(str_.get());
    bool ok;
    switch (kind_) {
      case 1: ok = decode(buf_.data, n, static_cast<Py_UCS1*>(units) + done_, c.chars); break;
      case 2: ok = decode(buf_.data, n, static_cast<Py_UCS2*>(units) + done_, c.chars); break;
      default: ok = decode(buf_.data, n, static_cast<Py_UCS4*>(units) + done_, c.chars); break;
    }
    if (ok) {
      done_ += c.chars;
      bytes_ += n;
      width_ = std::max(width_, c.width);
    } else {
      // Not well formed: the interpreter names the bad byte (within this stretch).
      Ref checked =
          Ref::steal(PyUnicode_DecodeUTF8(buf_.data, static_cast<Py_ssize_t>(n), nullptr));
      if (checked) PyErr_SetString(PyExc_SystemError, "the text's decoders disagree");
      error_ = Ref::steal(PyErr_GetRaisedException());
    }
  }
  std::memmove(buf_.data, buf_.data + n, buf_.pos - n);
  buf_.pos -= n;
  return true;
}

// At the block's end: its text goes into the str, and the block grows only for a value that
// does not fit in it whole.
bool WideBuilder::regrow(common::Buffer* buf, size_t required) {
  static_assert(std::is_standard_layout_v<WideBuilder> && offsetof(WideBuilder, buf_) == 0);
  auto* self = reinterpret_cast<WideBuilder*>(buf);
  const size_t needed = required - buf->pos;
  if (!self->flush()) return false;
  if (needed <= buf->capacity - buf->pos) return true;
  const size_t capacity = buf->pos + needed;  // pos is at most 3 here
  void* grown = std::realloc(buf->data, capacity);
  if (grown == nullptr) return false;
  buf->data = static_cast<char*>(grown);
  buf->capacity = capacity;
  return true;
}

PyObject* WideBuilder::finish() {
  if (!flush()) return nullptr;
  prefault_.reset();
  if (!error_ && buf_.pos != 0) {
    // An unfinished last sequence: the interpreter names it.
    Ref checked =
        Ref::steal(PyUnicode_DecodeUTF8(buf_.data, static_cast<Py_ssize_t>(buf_.pos), nullptr));
    if (checked) PyErr_SetString(PyExc_SystemError, "the text's decoders disagree");
    return nullptr;
  }
  if (error_) {
    PyErr_SetRaisedException(error_.release());
    return nullptr;
  }
  const void* units = PyUnicode_DATA(str_.get());
  // A str narrower than it was made: its exact kind, as every str has.
  if (width_ == 0 || kind_of(width_) != kind_)
    return PyUnicode_FromKindAndData(kind_, units, static_cast<Py_ssize_t>(done_));
  PyObject* s = str_.release();
  if (PyUnicode_Resize(&s, static_cast<Py_ssize_t>(done_)) < 0) {
    Py_DECREF(s);
    return nullptr;
  }
  return s;
}

}  // namespace ondrel::utf8
