// The reader's one translation unit: the parts below share the hot paths, so the compiler sees
// all of them at once; each form of text gets its own instance.
#include "ondrel/datastore/adapter/toml/decoder/parser.hpp"

#include <Python.h>
#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "ondrel/_native/float_parse.hpp"
#include "ondrel/_native/stack.hpp"
#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"
#include "ondrel/datastore/adapter/toml/decoder/records.hpp"
#include "ondrel/datastore/adapter/toml/decoder/text.hpp"

namespace ondrel::decoder {

bool datetime_ready() {
  PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

template <class F>
Ref Parser<F>::describe_run(const U* where, size_t n) const {
  const U* e = where;
  if constexpr (F::utf8) {
    // Whole sequences only; a byte that starts none stands for itself.
    for (size_t k = 0; k < n && e < end_; ++k) {
      const unsigned char* next = e + 1;
      while (next < end_ && (*next & 0xC0) == 0x80 && next - e < 4) ++next;
      e = utf8_invalid(e, next) == nullptr ? next : e + 1;
    }
    const auto len = static_cast<Py_ssize_t>(e - where);
    return Ref::steal(
        PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(where), len, "backslashreplace"));
  } else {
    while (e < end_ && static_cast<size_t>(e - where) < n) ++e;
    uint32_t bits = 0;
    for (const U* q = where; q < e; ++q) bits |= *q;
    return Ref::steal(str_from_units(where, static_cast<size_t>(e - where), bits));
  }
}

}  // namespace ondrel::decoder

#include "ondrel/datastore/adapter/toml/decoder/datetime.ipp"
#include "ondrel/datastore/adapter/toml/decoder/document.ipp"
#include "ondrel/datastore/adapter/toml/decoder/keys.ipp"
#include "ondrel/datastore/adapter/toml/decoder/numbers.ipp"
#include "ondrel/datastore/adapter/toml/decoder/records.ipp"
#include "ondrel/datastore/adapter/toml/decoder/strings.ipp"
#include "ondrel/datastore/adapter/toml/decoder/values.ipp"

namespace ondrel::decoder {
template class Parser<Utf8>;
template class Parser<Latin1>;
template class Parser<Ucs2>;
template class Parser<Ucs4>;
}  // namespace ondrel::decoder
