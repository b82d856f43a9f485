// The schema of an imported Arrow stream, read once into fields, and the batch layout checks.
#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "ondrel/_native/errors.hpp"
#include "ondrel/_native/utf8.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock::arrowin {

namespace {

// Deeper schemas are refused: the writers recurse once per level.
constexpr int kMaxDepth = 64;

struct Scalar {
  const char* format;
  Kind kind;
};
constexpr Scalar kScalars[] = {
    {"n", Kind::Null},
    {"b", Kind::Bool},
    {"c", Kind::Int8},
    {"s", Kind::Int16},
    {"i", Kind::Int32},
    {"l", Kind::Int64},
    {"C", Kind::UInt8},
    {"S", Kind::UInt16},
    {"I", Kind::UInt32},
    {"L", Kind::UInt64},
    {"e", Kind::Float16},
    {"f", Kind::Float32},
    {"g", Kind::Float64},
    {"u", Kind::Utf8},
    {"U", Kind::LargeUtf8},
    {"vu", Kind::Utf8View},
    {"z", Kind::Binary},
    {"Z", Kind::LargeBinary},
    {"vz", Kind::BinaryView},
    {"tdD", Kind::Date32},
    {"tdm", Kind::Date64},
    {"+l", Kind::List},
    {"+L", Kind::LargeList},
    {"+vl", Kind::ListView},
    {"+vL", Kind::LargeListView},
    {"+s", Kind::Struct},
    {"+m", Kind::Map},
};

constexpr int unit_of(char c) {
  return c == 's' ? 0 : c == 'm' ? 1 : c == 'u' ? 2 : c == 'n' ? 3 : -1;
}

bool is_integer(Kind k) { return k >= Kind::Int8 && k <= Kind::UInt64; }
bool is_string(Kind k) { return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::Utf8View; }

// A name for messages: Arrow's own for the types people meet, else the format string.
std::string type_name(std::string_view f) {
  if (f.starts_with("+ud") || f.starts_with("+us"))
    return std::string(f[2] == 'd' ? "dense_union" : "sparse_union") + " (format '" +
           std::string(f) + "')";
  if (f == "+r") return "run_end_encoded (format '+r')";
  if (f.starts_with("ti")) return "interval (format '" + std::string(f) + "')";
  return "format '" + std::string(f) + "'";
}

// The value of `key` in Arrow's binary metadata encoding, or empty.
std::string_view metadata_value(const char* metadata, std::string_view key) {
  if (metadata == nullptr) return {};
  auto read32 = [](const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  const char* p = metadata;
  const int32_t n = read32(p);
  p += 4;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t klen = read32(p);
    if (klen < 0) return {};
    const std::string_view k(p + 4, static_cast<size_t>(klen));
    p += 4 + klen;
    const int32_t vlen = read32(p);
    if (vlen < 0) return {};
    const std::string_view v(p + 4, static_cast<size_t>(vlen));
    p += 4 + vlen;
    if (k == key) return v;
  }
  return {};
}

[[gnu::cold]] bool unsupported(PyObject* table, const std::string& column, std::string_view f) {
  PyErr_Format(PyExc_TypeError, "column '%s' of table %R has Arrow type %s, which has no TOML form",
               column.c_str(), table, type_name(f).c_str());
  return false;
}

[[gnu::cold]] bool malformed(PyObject* table, const std::string& column, const char* what) {
  PyErr_Format(PyExc_ValueError, "column '%s' of table %R: malformed Arrow schema (%s)",
               column.c_str(), table, what);
  return false;
}

// Parses "<int>" at p up to a ',' or the end; false when there is none.
bool parse_int(std::string_view& s, int32_t& out) {
  int64_t v = 0;
  size_t i = 0;
  bool neg = !s.empty() && s[0] == '-';
  if (neg) ++i;
  const size_t start = i;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > INT32_MAX) return false;
  }
  if (i == start) return false;
  out = static_cast<int32_t>(neg ? -v : v);
  s.remove_prefix(i);
  return true;
}

// "+HH:MM" / "-HH:MM" (and "UTC"): a fixed offset in seconds.
bool fixed_offset(std::string_view tz, int32_t& seconds) {
  if (tz == "UTC" || tz == "Z" || tz == "+00:00") {
    seconds = 0;
    return true;
  }
  if (tz.size() != 6 || (tz[0] != '+' && tz[0] != '-') || tz[3] != ':') return false;
  for (size_t i : {1, 2, 4, 5})
    if (tz[i] < '0' || tz[i] > '9') return false;
  const int32_t h = (tz[1] - '0') * 10 + (tz[2] - '0');
  const int32_t m = (tz[4] - '0') * 10 + (tz[5] - '0');
  if (h > 23 || m > 59) return false;
  seconds = (h * 60 + m) * 60 * (tz[0] == '-' ? -1 : 1);
  return true;
}

bool parse_children(const ArrowSchema* s, PyObject* table, const std::string& column, int depth,
                    Field& out);

bool parse(const ArrowSchema* s, PyObject* table, const std::string& column, int depth,
           Field& out) {
  if (depth > kMaxDepth) return malformed(table, column, "nested more than 64 levels deep");
  if (s == nullptr || s->format == nullptr) return malformed(table, column, "no format");
  const std::string_view f = s->format;
  out.format = f;
  if (s->name != nullptr) out.name = s->name;
  if (s->n_children < 0 || (s->n_children > 0 && s->children == nullptr))
    return malformed(table, column, "bad children");

  if (s->dictionary != nullptr) {
    bool found = false;
    for (const Scalar& e : kScalars)
      if (f == e.format && is_integer(e.kind)) {
        out.kind = e.kind;
        found = true;
      }
    if (!found) return malformed(table, column, "dictionary indices that are not integers");
    out.values = std::make_unique<Field>();
    return parse(s->dictionary, table, column, depth + 1, *out.values);
  }

  const std::string_view ext = metadata_value(s->metadata, "ARROW:extension:name");
  for (const Scalar& e : kScalars)
    if (f == e.format) out.kind = e.kind;
  const bool known_scalar = [&] {
    for (const Scalar& e : kScalars)
      if (f == e.format) return true;
    return false;
  }();
  if (known_scalar) {
    if (ext == "arrow.json") {
      if (!is_string(out.kind)) return unsupported(table, column, f);
      out.storage = out.kind;
      out.kind = Kind::Json;
    }
  } else if (f.starts_with("w:")) {
    std::string_view rest = f.substr(2);
    if (!parse_int(rest, out.width) || !rest.empty() || out.width < 0)
      return malformed(table, column, "bad fixed-size binary width");
    out.kind = Kind::FixedBinary;
  } else if (f.starts_with("+w:")) {
    std::string_view rest = f.substr(3);
    if (!parse_int(rest, out.width) || !rest.empty() || out.width < 0)
      return malformed(table, column, "bad fixed-size list size");
    out.kind = Kind::FixedList;
  } else if (f.starts_with("d:")) {
    std::string_view rest = f.substr(2);
    int32_t precision = 0;
    out.width = 128;
    if (!parse_int(rest, precision) || rest.empty() || rest[0] != ',')
      return malformed(table, column, "bad decimal");
    rest.remove_prefix(1);
    if (!parse_int(rest, out.scale)) return malformed(table, column, "bad decimal");
    if (!rest.empty()) {
      rest.remove_prefix(1);
      if (!parse_int(rest, out.width) || !rest.empty())
        return malformed(table, column, "bad decimal");
    }
    if (out.width != 32 && out.width != 64 && out.width != 128 && out.width != 256)
      return unsupported(table, column, f);
    out.kind = Kind::Decimal;
  } else if (f.size() == 3 && (f.starts_with("tt") || f.starts_with("tD")) && unit_of(f[2]) >= 0) {
    out.kind = f[1] == 't' ? Kind::Time : Kind::Duration;
    out.unit = unit_of(f[2]);
  } else if (f.size() >= 4 && f.starts_with("ts") && unit_of(f[2]) >= 0 && f[3] == ':') {
    out.kind = Kind::Timestamp;
    out.unit = unit_of(f[2]);
    const std::string_view tz = f.substr(4);
    if (tz.empty()) {
      out.zone = Field::Zone::None;
    } else if (fixed_offset(tz, out.fixed.seconds)) {
      out.zone = Field::Zone::Fixed;
    } else {
      out.zone = Field::Zone::Named;
      out.named = Ref::steal(temporal::zone_new(tz.data(), tz.size()));
      if (!out.named) {
        errors::add_note("while reading the time zone of column '%s' of table %R", column.c_str(),
                         table);
        return false;
      }
    }
  } else {
    return unsupported(table, column, f);
  }

  const int64_t want = out.kind == Kind::Struct                                  ? -1
                       : (out.kind >= Kind::List && out.kind <= Kind::FixedList) ? 1
                       : out.kind == Kind::Map                                   ? 1
                                                                                 : 0;
  if (want >= 0 && s->n_children != want) return malformed(table, column, "wrong child count");
  return parse_children(s, table, column, depth, out);
}

// The fields grow with the children read, each pointer checked first: a count the children
// do not back reserves nothing, and one no vector can hold is a MemoryError.
bool parse_children(const ArrowSchema* s, PyObject* table, const std::string& column, int depth,
                    Field& out) {
  if (static_cast<uint64_t>(s->n_children) > out.children.max_size()) return no_memory();
  for (int64_t i = 0; i < s->n_children; ++i) {
    const ArrowSchema* c = s->children[i];
    if (c == nullptr) return malformed(table, column, "a child is missing");
    std::string path = column;
    if (depth == 0)
      path = c->name != nullptr ? c->name : "";
    else if (out.kind == Kind::Struct && c->name != nullptr)
      path += std::string(".") + c->name;
    if (!parse(c, table, path, depth + 1, out.children.emplace_back())) return false;
  }
  if (out.kind == Kind::Map &&
      (out.children[0].kind != Kind::Struct || out.children[0].children.size() != 2))
    return malformed(table, column, "map entries that are not key/value structs");
  return true;
}

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

// Buffers a layout has (validity first); -1 for the view layouts, which have a variable count.
int buffers_of(const Field& f) {
  if (f.values) return 2;
  switch (f.kind) {
    case Kind::Null: return 0;
    case Kind::Utf8:
    case Kind::LargeUtf8:
    case Kind::Binary:
    case Kind::LargeBinary: return 3;
    case Kind::Utf8View:
    case Kind::BinaryView: return -1;
    case Kind::Json: return f.storage == Kind::Utf8View ? -1 : 3;
    case Kind::ListView:
    case Kind::LargeListView: return 3;
    case Kind::FixedList:
    case Kind::Struct: return 1;
    default: return 2;
  }
}

[[gnu::cold]] bool bad_batch(PyObject* table, const Field& f, const char* what) {
  PyErr_Format(PyExc_ValueError, "table %R: malformed Arrow batch at field '%s' (%s)", table,
               f.name.c_str(), what);
  return false;
}

// `need`: the positions (from the array's own offset) its parent may read.
bool check(const ArrowArray* a, const Field& f, PyObject* table, int64_t need) {
  if (a == nullptr) return bad_batch(table, f, "missing array");
  if (a->length < 0 || a->offset < 0 || a->n_buffers < 0 || a->n_children < 0)
    return bad_batch(table, f, "negative length, offset or count");
  if (a->length < need) return bad_batch(table, f, "shorter than its parent needs");
  // Positions and byte offsets (up to 32 bytes a value, or a fixed width) stay in int64.
  int64_t end = 0, bytes = 0;
  if (__builtin_add_overflow(a->offset, a->length, &end) ||
      __builtin_mul_overflow(end, int64_t{f.kind == Kind::FixedBinary ? f.width : 32}, &bytes))
    return bad_batch(table, f, "offset and length too large");
  const int nb = buffers_of(f);
  // As pyarrow imports them: a null array may carry the validity slot older producers (and
  // polars) export, and a null count of -1 (unknown) without a bitmap means none.
  const bool legacy_null = f.kind == Kind::Null && !f.values && a->n_buffers == 1;
  if (nb >= 0 ? a->n_buffers != nb && !legacy_null : a->n_buffers < 3)
    return bad_batch(table, f, "wrong buffer count");
  if (a->n_buffers > 0 && a->buffers == nullptr) return bad_batch(table, f, "no buffers");
  if (a->null_count > 0 && nb != 0 && a->buffers[0] == nullptr && a->length > 0)
    return bad_batch(table, f, "nulls without a validity bitmap");
  for (int64_t i = 1; i < a->n_buffers; ++i)
    if (a->buffers[i] == nullptr && a->length > 0 && i < (nb >= 0 ? nb : 2))
      return bad_batch(table, f, "a data buffer is missing");
  if (f.values) {
    if (a->dictionary == nullptr) return bad_batch(table, f, "no dictionary");
    if (a->n_children != 0) return bad_batch(table, f, "wrong child count");
    return check(a->dictionary, *f.values, table, 0);
  }
  if (static_cast<size_t>(a->n_children) != f.children.size() ||
      (a->n_children > 0 && a->children == nullptr))
    return bad_batch(table, f, "wrong child count");
  for (size_t i = 0; i < f.children.size(); ++i) {
    // A struct's children are read at the parent's positions; a fixed-size list's at a
    // multiple; variable lists check each element's range against the child's length.
    int64_t child_need = 0;
    if (f.kind == Kind::Struct) {
      child_need = end;
    } else if (f.kind == Kind::FixedList) {
      if (__builtin_mul_overflow(end, int64_t{f.width}, &child_need))
        return bad_batch(table, f, "too long");
    }
    if (!check(a->children[i], f.children[i], table, child_need)) return false;
  }
  return true;
}

}  // namespace

bool read_schema(const ArrowSchema* schema, PyObject* table_name, bool escape, Field& root) {
  if (schema->format == nullptr || std::strcmp(schema->format, "+s") != 0) {
    PyErr_Format(PyExc_TypeError,
                 "the Arrow records of table %R must be a stream of struct batches (a table), "
                 "not format '%s'",
                 table_name, schema->format != nullptr ? schema->format : "");
    return false;
  }
  root.kind = Kind::Struct;
  root.format = "+s";
  if (schema->n_children < 0 || (schema->n_children > 0 && schema->children == nullptr))
    return malformed(table_name, "", "bad children");
  if (!parse_children(schema, table_name, "", 0, root)) return false;
  return escape ? render_keys<true>(root, table_name, "")
                : render_keys<false>(root, table_name, "");
}

bool check_batch(const ArrowArray* batch, const Field& root, PyObject* table_name) {
  return check(batch, root, table_name, 0);
}

}  // namespace ondrel::pentock::arrowin
