// A str from UTF-8 text. ASCII text (most documents) is copied into an ASCII str in the pass
// that checks it; other text goes to the interpreter's decoder.
#include "ondrel/_native/utf8_str.hpp"

#include <cstring>

#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/utf8.hpp"

namespace ondrel::utf8 {

namespace {

// Copies data into an ASCII str's units while checking that it is ASCII, and stops at the
// first block that is not: most documents are, and one pass then does for two.
bool copy_ascii(const char* data, size_t n, char* out) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; n - i >= 64; i += 64) {
    __m128i v[4];
    for (size_t k = 0; k < 4; ++k) {
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16 * k));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16 * k), v[k]);
    }
    const __m128i any = _mm_or_si128(_mm_or_si128(v[0], v[1]), _mm_or_si128(v[2], v[3]));
    if (_mm_movemask_epi8(any) != 0) return false;
  }
#endif
  unsigned char high = 0;
  for (; i < n; ++i) {
    out[i] = data[i];
    high |= static_cast<unsigned char>(data[i]);
  }
  return high < 0x80;
}

}  // namespace

PyObject* to_str(const char* data, size_t n) {
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F));
    if (!s) return nullptr;
    if (copy_ascii(data, n, static_cast<char*>(PyUnicode_DATA(s.get())))) return s.release();
  }
  // Other text: the interpreter's decoder, measured as fast as our census and widening copy on
  // 4-byte text and faster on Latin-1 (it needs no census pass).
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(n), nullptr);
}

}  // namespace ondrel::utf8
