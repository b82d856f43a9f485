// A str from UTF-8 text: one census gives the length and the narrowest kind, and the text is
// copied or widened once instead of decoded twice (a validating decoder re-widens as it meets
// wider characters). Anything the fast decoder refuses goes to the validating decoder.
#include "ondrel/_native/utf8_str.hpp"

#include <cstring>

#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/utf8.hpp"

namespace ondrel::utf8 {

PyObject* to_str(const char* data, size_t n) {
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  const Census c = census(data, n);
  const Py_UCS4 maxchar = c.width == 0   ? 0x7F
                          : c.width == 1 ? 0xFF
                          : c.width == 2 ? 0xFFFF
                                         : 0x10FFFF;
  Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(c.chars), maxchar));
  if (!s) return nullptr;
  void* out = PyUnicode_DATA(s.get());
  // No huge-page advice on the str: it saved time on average but gave occasional stalls of
  // several times the whole encode in processes with a large, churned heap.
  bool ok;
  switch (c.width) {
    case 0:
      std::memcpy(out, data, n);
      ok = true;
      break;
    case 1: ok = decode(data, n, static_cast<Py_UCS1*>(out), c.chars); break;
    case 2: ok = decode(data, n, static_cast<Py_UCS2*>(out), c.chars); break;
    default: ok = decode(data, n, static_cast<Py_UCS4*>(out), c.chars); break;
  }
  if (ok) [[likely]]
    return s.release();
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(n), nullptr);
}

}  // namespace ondrel::utf8
