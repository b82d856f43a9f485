// The import-time check of the in-place dict layout.
#include "ondrel/datastore/adapter/toml/pentock/dict_entries.hpp"

#include "ondrel/_native/ref.hpp"

namespace ondrel::pentock::dict_entries {

#ifdef ONDREL_DICT_IN_PLACE
bool g_in_place = false;

namespace {

// Whether reading `d` in place takes the in-place path and gives exactly PyDict_Next's steps.
bool same_walk(PyObject* d) {
  Cursor a(d);
  if (!a.in_place()) return false;
  Py_ssize_t b = 0;
  PyObject *ka, *va, *kb, *vb;
  for (;;) {
    const bool more = a.next(&ka, &va);
    if (more != (PyDict_Next(d, &b, &kb, &vb) != 0)) return false;
    if (!more) return true;
    if (a.position() != b || ka != kb || va != vb) return false;
  }
}

// str keys "k0" .. "k<n-1>", every `hole`th deleted again: one- and two-byte index tables.
Ref holed_dict(int n, int hole) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return d;
  for (int i = 0; i < n; ++i) {
    Ref key = Ref::steal(PyUnicode_FromFormat("k%d", i));
    Ref value = Ref::steal(PyLong_FromLong(i));
    if (!key || !value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return Ref();
  }
  for (int i = 0; i < n; i += hole) {
    Ref key = Ref::steal(PyUnicode_FromFormat("k%d", i));
    if (!key || PyDict_DelItem(d.get(), key.get()) < 0) return Ref();
  }
  return d;
}

}  // namespace
#endif

bool check_layout() {
#ifdef ONDREL_DICT_IN_PLACE
  g_in_place = false;
  Ref small = holed_dict(5, 2);
  Ref large = holed_dict(300, 7);
  if (!small || !large) return false;
  g_in_place = true;
  g_in_place = same_walk(small.get()) && same_walk(large.get());
#endif
  return true;
}

}  // namespace ondrel::pentock::dict_entries
