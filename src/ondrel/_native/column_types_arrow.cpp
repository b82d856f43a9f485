// The vocabulary and Arrow: the name an Arrow field is written as, whether a field reads back
// as a declared type, and the Arrow type a declared type is read as.
#include <cstring>
#include <new>
#include <string_view>

#include "ondrel/_native/column_types.hpp"
#include "ondrel/_native/stack.hpp"

namespace ondrel::coltype {

namespace {

Unit unit_of(char c) {
  return c == 's' ? Unit::S : c == 'm' ? Unit::MS : c == 'u' ? Unit::US : Unit::NS;
}

// "d:p,s[,bits]" -> precision and scale; false when out of the vocabulary's range.
bool decimal_of(std::string_view f, ColumnType& out) {
  long p = 0, s = 0;
  size_t i = 2;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9' && p < 1000) p = p * 10 + (f[i++] - '0');
  if (i >= f.size() || f[i] != ',') return false;
  ++i;
  bool negative = i < f.size() && f[i] == '-';
  if (negative) ++i;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9' && s < 1000) s = s * 10 + (f[i++] - '0');
  if (negative || p < 1 || p > 76 || s > p) return false;
  out.kind = Kind::Decimal;
  out.precision = static_cast<uint8_t>(p);
  out.scale = static_cast<uint8_t>(s);
  return true;
}

bool of_arrow(const ArrowSchema* s, ColumnType& out) {
  stack::RecursionGuard guard(" while naming an Arrow type");
  if (!guard) return false;
  if (s->dictionary != nullptr) return of_arrow(s->dictionary, out);
  const std::string_view f = s->format != nullptr ? s->format : "";
  const std::string_view ext = extension_name(s);
  if (ext == "arrow.json") return out.kind = Kind::Json, true;
  if (ext == "arrow.uuid" && f == "w:16") return out.kind = Kind::Uuid, true;
  static constexpr struct {
    const char* format;
    Kind kind;
  } kPlain[] = {{"b", Kind::Boolean},    {"c", Kind::Int8},      {"s", Kind::Int16},
                {"i", Kind::Int32},      {"l", Kind::Int64},     {"C", Kind::UInt8},
                {"S", Kind::UInt16},     {"I", Kind::UInt32},    {"L", Kind::UInt64},
                {"e", Kind::Float32},    {"f", Kind::Float32},   {"g", Kind::Float64},
                {"u", Kind::Varchar},    {"U", Kind::Varchar},   {"vu", Kind::Varchar},
                {"z", Kind::Blob},       {"Z", Kind::Blob},      {"vz", Kind::Blob},
                {"tdD", Kind::Date},     {"tdm", Kind::Date},    {"tin", Kind::Interval},
                {"tiM", Kind::Interval}, {"tiD", Kind::Interval}};
  for (const auto& e : kPlain)
    if (f == e.format) return out.kind = e.kind, true;
  if (f.starts_with("w:")) return out.kind = Kind::Blob, true;
  if (f.starts_with("d:")) return decimal_of(f, out) || (out = ColumnType(), true);
  if (f.size() == 3 && f.starts_with("tt")) {
    out.kind = Kind::Time;
    out.unit = f[2] == 'n' ? Unit::NS : Unit::US;
    return true;
  }
  if (f.size() == 3 && f.starts_with("tD")) {
    out.kind = Kind::Duration;
    out.unit = unit_of(f[2]);
    return true;
  }
  if (f.size() >= 4 && f.starts_with("ts") && f[3] == ':') {
    out.kind = f.size() == 4 ? Kind::Timestamp : Kind::TimestampTz;
    out.unit = unit_of(f[2]);
    return true;
  }
  const bool list = f == "+l" || f == "+L" || f == "+vl" || f == "+vL" || f.starts_with("+w:");
  if ((list || f == "+m" || f == "+s") && s->n_children >= 0 && s->children != nullptr) {
    if (f == "+m") {  // one child: the entries struct of key and value
      if (s->n_children != 1 || s->children[0]->n_children != 2) return true;
      s = s->children[0];
    } else if (list && s->n_children != 1) {
      return true;
    }
    std::vector<ColumnType> children(static_cast<size_t>(s->n_children));
    for (int64_t i = 0; i < s->n_children; ++i) {
      if (!of_arrow(s->children[i], children[i])) return false;
      if (children[i].kind == Kind::Unknown) return true;  // a part with no name
      if (f == "+s") out.names.emplace_back(s->children[i]->name ? s->children[i]->name : "");
    }
    out.kind = f == "+m" ? Kind::Map : f == "+s" ? Kind::Struct : Kind::List;
    out.children = std::move(children);
  }
  return true;
}

Readable at_most(Readable a, Readable b) { return a < b ? a : b; }

int int_bits(Kind k, bool* is_unsigned) {
  *is_unsigned = k >= Kind::UInt8 && k <= Kind::UInt64;
  switch (k) {
    case Kind::Int8:
    case Kind::UInt8: return 8;
    case Kind::Int16:
    case Kind::UInt16: return 16;
    case Kind::Int32:
    case Kind::UInt32: return 32;
    case Kind::Int64:
    case Kind::UInt64: return 64;
    default: return 0;
  }
}

// Whether every value of `from` (a type the writer wrote) reads as `to`.
Readable readable(const ColumnType& from, const ColumnType& to, std::string_view format) {
  if (to.kind == Kind::Json) return Readable::Yes;  // JSON takes any value
  bool fu, tu;
  const int fb = int_bits(from.kind, &fu), tb = int_bits(to.kind, &tu);
  if (fb != 0 && tb != 0) {
    // Ranges: unsigned into signed needs one more bit; signed into unsigned, each value >= 0.
    if (fu == tu) return fb <= tb ? Readable::Yes : Readable::ByValue;
    if (fu) return fb < tb ? Readable::Yes : Readable::ByValue;
    return Readable::ByValue;
  }
  if (fb != 0 && (to.kind == Kind::Float32 || to.kind == Kind::Float64)) {
    // Exact while the integer's bits fit the mantissa (24 or 53).
    return fb < (to.kind == Kind::Float32 ? 24 : 53) ? Readable::Yes : Readable::ByValue;
  }
  if (fb != 0 && to.kind == Kind::Decimal) return Readable::ByValue;
  if (from.kind == Kind::Float32 && to.kind == Kind::Float64) return Readable::Yes;
  if (from.kind == Kind::Float64 && to.kind == Kind::Float32) return Readable::ByValue;
  if (from.kind == Kind::Varchar && to.kind == Kind::Uuid) return Readable::ByValue;
  if (from.kind != to.kind) return Readable::No;
  switch (to.kind) {
    case Kind::Decimal:
      return from.scale <= to.scale && from.precision - from.scale <= to.precision - to.scale
                 ? Readable::Yes
                 : Readable::ByValue;
    case Kind::Time:
    case Kind::Timestamp:
    case Kind::TimestampTz:
    case Kind::Duration:
      // Time32 in seconds or milliseconds is a finer unit's subset, like any coarser unit.
      return from.unit <= to.unit || format == "tts" || format == "ttm" ? Readable::Yes
                                                                        : Readable::ByValue;
    case Kind::List:
    case Kind::Map: {
      Readable r = Readable::Yes;
      for (size_t i = 0; i < to.children.size(); ++i)
        r = at_most(r, readable(from.children[i], to.children[i], {}));
      return r;
    }
    case Kind::Struct: {
      // Fields are read by name: each written field must be declared.
      Readable r = Readable::Yes;
      for (size_t i = 0; i < from.children.size(); ++i) {
        size_t j = 0;
        while (j < to.names.size() && to.names[j] != from.names[i]) ++j;
        if (j == to.names.size()) return Readable::No;
        r = at_most(r, readable(from.children[i], to.children[j], {}));
      }
      return r;
    }
    default: return Readable::Yes;
  }
}

std::string extension_metadata(const char* name) {
  std::string m;
  auto put = [&m](const char* s) {
    const auto n = static_cast<int32_t>(std::strlen(s));
    m.append(reinterpret_cast<const char*>(&n), 4);
    m.append(s, static_cast<size_t>(n));
  };
  const int32_t pairs = 2;
  m.append(reinterpret_cast<const char*>(&pairs), 4);
  put("ARROW:extension:name");
  put(name);
  put("ARROW:extension:metadata");
  put("");
  return m;
}

}  // namespace

std::string_view extension_name(const ArrowSchema* schema) {
  // The metadata's binary encoding: a count, then length-prefixed keys and values.
  const char* metadata = schema->metadata;
  constexpr std::string_view key = "ARROW:extension:name";
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

bool type_of_arrow(const ArrowSchema* schema, ColumnType& out) {
  out = ColumnType();
  try {
    if (!of_arrow(schema, out)) return false;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  // A nested type whose depth passes the limit has no name.
  if (out.kind == Kind::Unknown) out = ColumnType();
  return true;
}

Readable readable_as(const ArrowSchema* schema, const ColumnType& declared) {
  if (declared.kind == Kind::Unknown) return Readable::Yes;  // inferred as before
  const ArrowSchema* values = schema->dictionary != nullptr ? schema->dictionary : schema;
  if (values->format != nullptr && std::strcmp(values->format, "n") == 0) return Readable::Yes;
  ColumnType from;
  if (!type_of_arrow(schema, from)) return Readable::No;
  if (from.kind == Kind::Unknown) return Readable::No;
  return readable(from, declared, values->format != nullptr ? values->format : "");
}

size_t value_width(const ColumnType& t) {
  switch (t.kind) {
    case Kind::Boolean: return 0;  // bits
    case Kind::Int8:
    case Kind::UInt8: return 1;
    case Kind::Int16:
    case Kind::UInt16: return 2;
    case Kind::Int32:
    case Kind::UInt32:
    case Kind::Float32:
    case Kind::Date: return 4;
    case Kind::Int64:
    case Kind::UInt64:
    case Kind::Float64:
    case Kind::Time:
    case Kind::Timestamp:
    case Kind::TimestampTz:
    case Kind::Duration: return 8;
    case Kind::Uuid:
    case Kind::Interval: return 16;
    case Kind::Decimal: return t.precision > 38 ? 32 : 16;
    default: return 0;
  }
}

const char* arrow_format(const ColumnType& t, std::string& scratch) {
  static constexpr const char* kTs[] = {"tss:", "tsm:", "tsu:", "tsn:"};
  static constexpr const char* kTsUtc[] = {"tss:UTC", "tsm:UTC", "tsu:UTC", "tsn:UTC"};
  static constexpr const char* kDur[] = {"tDs", "tDm", "tDu", "tDn"};
  const auto u = static_cast<size_t>(t.unit);
  switch (t.kind) {
    case Kind::Unknown: return "n";
    case Kind::Boolean: return "b";
    case Kind::Int8: return "c";
    case Kind::Int16: return "s";
    case Kind::Int32: return "i";
    case Kind::Int64: return "l";
    case Kind::UInt8: return "C";
    case Kind::UInt16: return "S";
    case Kind::UInt32: return "I";
    case Kind::UInt64: return "L";
    case Kind::Float32: return "f";
    case Kind::Float64: return "g";
    case Kind::Decimal:
      scratch = "d:" + std::to_string(t.precision) + ',' + std::to_string(t.scale) +
                (t.precision > 38 ? ",256" : "");
      return scratch.c_str();
    case Kind::Varchar:
    case Kind::Json: return "u";
    case Kind::Blob: return "z";
    case Kind::Date: return "tdD";
    case Kind::Time: return t.unit == Unit::NS ? "ttn" : "ttu";
    case Kind::Timestamp: return kTs[u];
    case Kind::TimestampTz: return kTsUtc[u];
    case Kind::Uuid: return "w:16";
    case Kind::Interval: return "tin";
    case Kind::Duration: return kDur[u];
    case Kind::List: return "+l";
    case Kind::Struct: return "+s";
    case Kind::Map: return "+m";
  }
  return "n";
}

const std::string& arrow_metadata(const ColumnType& t) {
  // Built once, on first use with the GIL held.
  static const std::string kNone;
  static const std::string kJson = extension_metadata("arrow.json");
  static const std::string kUuid = extension_metadata("arrow.uuid");
  return t.kind == Kind::Json ? kJson : t.kind == Kind::Uuid ? kUuid : kNone;
}

}  // namespace ondrel::coltype
