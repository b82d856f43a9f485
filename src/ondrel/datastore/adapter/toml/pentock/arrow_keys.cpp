// The keys of an Arrow schema's fields, rendered once for the escaping mode, and the checks
// that make every document written load: names in UTF-8, no key twice in one table.
#include <string>
#include <string_view>
#include <unordered_map>

#include "ondrel/_native/utf8.hpp"
#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock::arrowin {

namespace {

[[gnu::cold]] bool not_utf8(PyObject* table, const std::string& column, const std::string& name) {
  Ref bytes =
      Ref::steal(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!bytes) return false;
  if (column.empty())
    PyErr_Format(PyExc_ValueError, "table %R: the name of column %R is not UTF-8", table,
                 bytes.get());
  else
    PyErr_Format(PyExc_ValueError, "column '%s' of table %R: the name of its field %R is not UTF-8",
                 column.c_str(), table, bytes.get());
  return false;
}

// Two fields of one struct that are one key in the document: a reader refuses the document.
[[gnu::cold]] bool same_key(PyObject* table, const std::string& column, const Field& a,
                            const Field& b) {
  const std::string where =
      column.empty() ? "the columns" : "the fields of column '" + column + "'";
  if (a.name == b.name)
    PyErr_Format(PyExc_ValueError,
                 "table %R: the name '%s' is given twice in %s, and a record cannot hold a key "
                 "twice; rename one (in SQL, with AS)",
                 table, a.name.c_str(), where.c_str());
  else
    PyErr_Format(PyExc_ValueError,
                 "table %R: the names '%s' and '%s' in %s are one key once their escapes are "
                 "read; pass escape_strings=True to have them escaped, or rename one",
                 table, a.name.c_str(), b.name.c_str(), where.c_str());
  return false;
}

// The key a reader makes of a field's name: the name itself, or without escaping, the name
// with its escapes read. Only a name that holds a backslash is read.
template <bool Esc>
std::string_view read_key(const Field& f, std::string& scratch) {
  if (Esc || f.key_refused || f.name.find('\\') == std::string::npos) return f.name;
  scratch.resize(f.name.size());
  const size_t n = common::read_raw_escapes(f.name.data(), f.name.size(), scratch.data());
  if (n == common::kRawOk) return f.name;
  return std::string_view(scratch.data(), n);
}

template <bool Esc>
bool distinct_keys(const Field& f, PyObject* table, const std::string& column) {
  std::unordered_map<std::string, size_t> seen;
  std::string scratch;
  for (size_t i = 0; i < f.children.size(); ++i) {
    auto [it, fresh] = seen.emplace(read_key<Esc>(f.children[i], scratch), i);
    if (!fresh) return same_key(table, column, f.children[it->second], f.children[i]);
  }
  return true;
}

template <bool Esc>
bool render_keys(Field& f, PyObject* table, const std::string& column) {
  if (f.kind == Kind::Struct) {
    for (Field& c : f.children) {
      if (!utf8::valid(c.name.data(), c.name.size())) return not_utf8(table, column, c.name);
      Buffer* tmp = common::buf_new(c.name.size() + 16);
      if (tmp == nullptr) return no_memory();
      const bool ok = write_key_utf8<Esc>(tmp, c.name.data(), c.name.size()) && put(tmp, " = ");
      if (ok) c.key.assign(tmp->data, tmp->pos);
      common::buf_free(tmp);
      if (!ok && where::active()) {
        where::finish();  // ends the refusal here; it is made again at the first value
        PyErr_Clear();
        c.key_refused = true;
      } else if (!ok) {
        return false;
      }
    }
    if (!distinct_keys<Esc>(f, table, column)) return false;
  }
  for (Field& c : f.children) {
    const std::string path = f.kind != Kind::Struct ? column
                             : column.empty()       ? c.name
                                                    : column + "." + c.name;
    if (!render_keys<Esc>(c, table, path)) return false;
  }
  if (f.values && !render_keys<Esc>(*f.values, table, column)) return false;
  return true;
}

}  // namespace

bool render_keys(Field& root, PyObject* table, bool escape) {
  return escape ? render_keys<true>(root, table, "") : render_keys<false>(root, table, "");
}

}  // namespace ondrel::pentock::arrowin
