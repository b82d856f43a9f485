// The schema of an imported Arrow stream, read once into fields, and the batch layout checks.
#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"

#include <cstring>
#include <string_view>

#include "ondrel/_native/column_types.hpp"
#include "ondrel/_native/errors.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock::arrowin {

// A name for messages: Arrow's for the types people meet, else the format string.
std::string type_name(std::string_view f) {
  static constexpr struct {
    const char* format;
    const char* name;
  } kNames[] = {{"n", "null"},         {"b", "bool"},
                {"c", "int8"},         {"s", "int16"},
                {"i", "int32"},        {"l", "int64"},
                {"C", "uint8"},        {"S", "uint16"},
                {"I", "uint32"},       {"L", "uint64"},
                {"e", "halffloat"},    {"f", "float"},
                {"g", "double"},       {"u", "string"},
                {"U", "large_string"}, {"vu", "string_view"},
                {"z", "binary"},       {"Z", "large_binary"},
                {"vz", "binary_view"}, {"tdD", "date32"},
                {"tdm", "date64"},     {"tin", "month_day_nano_interval"},
                {"+l", "list"},        {"+L", "large_list"},
                {"+s", "struct"},      {"+m", "map"}};
  for (const auto& e : kNames)
    if (f == e.format) return std::string(e.name) + " (format '" + std::string(f) + "')";
  if (f.starts_with("+ud") || f.starts_with("+us"))
    return std::string(f[2] == 'd' ? "dense_union" : "sparse_union") + " (format '" +
           std::string(f) + "')";
  if (f == "+r") return "run_end_encoded (format '+r')";
  return "format '" + std::string(f) + "'";
}

namespace {

// Deeper schemas are refused: the writers recurse once per level.
constexpr int kMaxDepth = 64;

struct Scalar {
  const char* format;
  Kind kind;
};
constexpr Scalar kScalars[] = {
    {"n", Kind::Null},        {"b", Kind::Bool},
    {"c", Kind::Int8},        {"s", Kind::Int16},
    {"i", Kind::Int32},       {"l", Kind::Int64},
    {"C", Kind::UInt8},       {"S", Kind::UInt16},
    {"I", Kind::UInt32},      {"L", Kind::UInt64},
    {"e", Kind::Float16},     {"f", Kind::Float32},
    {"g", Kind::Float64},     {"u", Kind::Utf8},
    {"U", Kind::LargeUtf8},   {"vu", Kind::Utf8View},
    {"z", Kind::Binary},      {"Z", Kind::LargeBinary},
    {"vz", Kind::BinaryView}, {"tdD", Kind::Date32},
    {"tdm", Kind::Date64},    {"tiM", Kind::Interval},
    {"tiD", Kind::Interval},  {"tin", Kind::Interval},
    {"+l", Kind::List},       {"+L", Kind::LargeList},
    {"+vl", Kind::ListView},  {"+vL", Kind::LargeListView},
    {"+s", Kind::Struct},     {"+m", Kind::Map},
};

constexpr int unit_of(char c) {
  return c == 's' ? 0 : c == 'm' ? 1 : c == 'u' ? 2 : c == 'n' ? 3 : -1;
}

bool is_integer(Kind k) { return k >= Kind::Int8 && k <= Kind::UInt64; }
bool is_string(Kind k) { return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::Utf8View; }

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

  const std::string_view ext = coltype::extension_name(s);
  for (const Scalar& e : kScalars)
    if (f == e.format) out.kind = e.kind;
  const bool known_scalar = [&] {
    for (const Scalar& e : kScalars)
      if (f == e.format) return true;
    return false;
  }();
  if (known_scalar) {
    if (out.kind == Kind::Interval) out.unit = f[2] == 'M' ? 0 : f[2] == 'D' ? 1 : 2;
    if (ext == "arrow.json") {
      if (!is_string(out.kind)) return unsupported(table, column, f);
      out.storage = out.kind;
      out.kind = Kind::Json;
    }
  } else if (f.starts_with("w:")) {
    std::string_view rest = f.substr(2);
    if (!parse_int(rest, out.width) || !rest.empty() || out.width < 0)
      return malformed(table, column, "bad fixed-size binary width");
    out.kind = ext == "arrow.uuid" && out.width == 16 ? Kind::Uuid : Kind::FixedBinary;
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
  return render_keys(root, table_name, escape);
}

}  // namespace ondrel::pentock::arrowin
