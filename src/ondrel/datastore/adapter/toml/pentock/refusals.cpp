// Refusals of values a reader would refuse: the path to them, built while the failure unwinds.
#include <new>
#include <string>
#include <vector>

#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock {

namespace {

// The refusal being unwound, per thread: only one is ever pending, and nothing between the
// refusal and _encode_to_buffer runs Python code.
struct Pending {
  bool active = false;
  bool key = false;                // the refused string is a key
  std::string what;                // the refusal, as the message says it
  std::vector<std::string> parts;  // innermost first
};

Pending& pending() {
  thread_local Pending p;
  return p;
}

[[gnu::cold]] bool add_part(std::string part) {
  Pending& p = pending();
  if (!p.active) return false;
  try {
    p.parts.push_back(std::move(part));
  } catch (const std::bad_alloc&) {
    p.active = false;  // the ValueError raised at the refusal stands, without its path
  }
  return false;
}

}  // namespace

namespace where {

bool refuse(const char* what) {
  PyErr_SetString(PyExc_ValueError, what);
  Pending& p = pending();
  p.parts.clear();
  p.key = false;
  try {
    p.what = what;
    p.active = true;
  } catch (const std::bad_alloc&) {
    p.active = false;
  }
  return false;
}

bool active() { return pending().active; }

bool none_in_array() { return refuse("is None inside an array, and TOML has no null"); }

bool index(Py_ssize_t i) {
  if (!pending().active) return false;
  return add_part("[" + std::to_string(i) + "]");
}

bool field(const char* name) {
  if (!pending().active) return false;
  return add_part(name);
}

namespace {

std::string key_part(PyObject* key) {
  Utf8 u{};
  // A key that was written (or refused) has its UTF-8 form cached already.
  if (!PyUnicode_Check(key) || !utf8_of(key, &u, "key")) return "[?]";
  if (is_bare_key(u)) return "." + std::string(u.data, u.size);
  // str's own repr, never an override's: no Python code runs here.
  Ref text = Ref::steal(PyUnicode_Type.tp_repr(key));
  Py_ssize_t n = 0;
  const char* r = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
  if (r == nullptr) return "[?]";
  return "[" + std::string(r, static_cast<size_t>(n)) + "]";
}

}  // namespace

bool key(PyObject* key, bool itself) {
  Pending& p = pending();
  if (!p.active) return false;
  if (itself) p.key = true;
  // The refusal's ValueError stays the one raised, whatever the key's text needs.
  PyObject* raised = PyErr_GetRaisedException();
  std::string part;
  try {
    part = key_part(key);
  } catch (const std::bad_alloc&) {
    p.active = false;
  }
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return add_part(std::move(part));
}

void finish() {
  Pending& p = pending();
  if (!p.active) return;
  p.active = false;
  try {
    std::string path;
    for (auto it = p.parts.rbegin(); it != p.parts.rend(); ++it) path += *it;
    p.parts.clear();
    PyErr_Format(
        PyExc_ValueError, "%s: the %s %s%s", path.c_str(), p.key ? "key" : "value", p.what.c_str(),
        p.what.starts_with("holds") ? "; pass escape_strings=True to have it escaped" : "");
  } catch (const std::bad_alloc&) {
    // The ValueError raised at the refusal stands, without its path.
    p.parts.clear();
  }
}

}  // namespace where

}  // namespace ondrel::pentock
