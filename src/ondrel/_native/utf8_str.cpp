// A str from UTF-8 text. ASCII text (most documents) is copied into an ASCII str in the pass
// that checks it; other text is counted, and decoded once into a str of its exact width. The
// interpreter's decoder, kept for text that is not well formed, widens as it goes and
// reallocates: measured 2.3x slower on a 20 MB 4-byte str and 1.2x on Latin-1 text.
#include "ondrel/_native/utf8_str.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

}  // namespace

PyObject* wide_str(const char* data, size_t n) {
  const Census c = census(data, n);
  Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(c.chars), kMaxChar[c.width]));
  if (!s) return nullptr;
  void* out = PyUnicode_DATA(s.get());
  pages::Prefault pf(out, c.chars * PyUnicode_KIND(s.get()));
  const bool ok = decode_at_width(data, n, out, c.width, c.chars);
  return ok ? s.release() : nullptr;
}

bool ascii(const char* data, size_t n) { return copy_ascii<false>(data, n, nullptr); }

Ref ascii_units(size_t n) {
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return Ref();
  }
  return Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F));
}

PyObject* to_str(const char* data, size_t n) {
  {
    Ref s = ascii_units(n);
    if (!s) return nullptr;
    if (copy_ascii_prefaulted(data, n, static_cast<char*>(PyUnicode_DATA(s.get()))))
      return s.release();
  }
  return decoded_str(data, n);
}

}  // namespace ondrel::utf8
