// The vocabulary's names: reading a column's `type` text (aliases, SQLite's affinity fallback)
// and its canonical spelling.
#include "ondrel/_native/column_types.hpp"

#include <cstring>
#include <new>

#include "ondrel/_native/stack.hpp"

namespace ondrel::coltype {

namespace {

struct Name {
  const char* text;  // upper case, words joined by one space
  Kind kind;
  Unit unit;
};

constexpr Name kNames[] = {
    {"BOOLEAN", Kind::Boolean, Unit::US},
    {"BOOL", Kind::Boolean, Unit::US},
    {"LOGICAL", Kind::Boolean, Unit::US},
    {"TINYINT", Kind::Int8, Unit::US},
    {"INT1", Kind::Int8, Unit::US},
    {"SMALLINT", Kind::Int16, Unit::US},
    {"INT2", Kind::Int16, Unit::US},
    {"SHORT", Kind::Int16, Unit::US},
    {"INTEGER", Kind::Int32, Unit::US},
    {"INT", Kind::Int32, Unit::US},
    {"INT4", Kind::Int32, Unit::US},
    {"SIGNED", Kind::Int32, Unit::US},
    {"BIGINT", Kind::Int64, Unit::US},
    {"INT8", Kind::Int64, Unit::US},
    {"LONG", Kind::Int64, Unit::US},
    {"UTINYINT", Kind::UInt8, Unit::US},
    {"USMALLINT", Kind::UInt16, Unit::US},
    {"UINTEGER", Kind::UInt32, Unit::US},
    {"UBIGINT", Kind::UInt64, Unit::US},
    {"REAL", Kind::Float32, Unit::US},
    {"FLOAT4", Kind::Float32, Unit::US},
    {"FLOAT", Kind::Float32, Unit::US},
    {"DOUBLE", Kind::Float64, Unit::US},
    {"FLOAT8", Kind::Float64, Unit::US},
    {"DOUBLE PRECISION", Kind::Float64, Unit::US},
    {"DECIMAL", Kind::Decimal, Unit::US},
    {"NUMERIC", Kind::Decimal, Unit::US},
    {"VARCHAR", Kind::Varchar, Unit::US},
    {"TEXT", Kind::Varchar, Unit::US},
    {"STRING", Kind::Varchar, Unit::US},
    {"CHAR", Kind::Varchar, Unit::US},
    {"BPCHAR", Kind::Varchar, Unit::US},
    {"CHARACTER", Kind::Varchar, Unit::US},
    {"CHARACTER VARYING", Kind::Varchar, Unit::US},
    {"NVARCHAR", Kind::Varchar, Unit::US},
    {"BLOB", Kind::Blob, Unit::US},
    {"BYTEA", Kind::Blob, Unit::US},
    {"BINARY", Kind::Blob, Unit::US},
    {"VARBINARY", Kind::Blob, Unit::US},
    {"DATE", Kind::Date, Unit::US},
    {"TIME", Kind::Time, Unit::US},
    {"TIME WITHOUT TIME ZONE", Kind::Time, Unit::US},
    {"TIME_NS", Kind::Time, Unit::NS},
    {"TIMESTAMP", Kind::Timestamp, Unit::US},
    {"DATETIME", Kind::Timestamp, Unit::US},
    {"TIMESTAMP WITHOUT TIME ZONE", Kind::Timestamp, Unit::US},
    {"TIMESTAMP_US", Kind::Timestamp, Unit::US},
    {"TIMESTAMP_S", Kind::Timestamp, Unit::S},
    {"TIMESTAMP_MS", Kind::Timestamp, Unit::MS},
    {"TIMESTAMP_NS", Kind::Timestamp, Unit::NS},
    {"TIMESTAMPTZ", Kind::TimestampTz, Unit::US},
    {"TIMESTAMP WITH TIME ZONE", Kind::TimestampTz, Unit::US},
    {"TIMESTAMP_US WITH TIME ZONE", Kind::TimestampTz, Unit::US},
    {"TIMESTAMP_S WITH TIME ZONE", Kind::TimestampTz, Unit::S},
    {"TIMESTAMP_MS WITH TIME ZONE", Kind::TimestampTz, Unit::MS},
    {"TIMESTAMP_NS WITH TIME ZONE", Kind::TimestampTz, Unit::NS},
    {"JSON", Kind::Json, Unit::US},
    {"JSONB", Kind::Json, Unit::US},
    {"UUID", Kind::Uuid, Unit::US},
    {"INTERVAL", Kind::Interval, Unit::US},
    {"DURATION", Kind::Duration, Unit::US},
    {"DURATION_US", Kind::Duration, Unit::US},
    {"DURATION_S", Kind::Duration, Unit::S},
    {"DURATION_MS", Kind::Duration, Unit::MS},
    {"DURATION_NS", Kind::Duration, Unit::NS},
};

bool is_word(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// A recursive-descent reader of one type text. A text it cannot read makes the type Unknown.
class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  // False only with an exception set; *ok false when the text is not a type.
  bool type(ColumnType& out, bool* ok);
  bool at_end() {
    blank();
    return i_ == s_.size();
  }

 private:
  void blank() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool eat(char c) {
    blank();
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  char peek() {
    blank();
    return i_ < s_.size() ? s_[i_] : '\0';
  }
  std::string_view word() {
    blank();
    const size_t b = i_;
    while (i_ < s_.size() && is_word(s_[i_])) ++i_;
    return s_.substr(b, i_ - b);
  }
  bool number(long* v) {
    blank();
    if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') return false;
    *v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
      *v = *v * 10 + (s_[i_++] - '0');
      if (*v > 100000) return false;
    }
    return true;
  }
  bool field_name(std::string& out, bool* ok);
  bool scalar(ColumnType& out, bool* ok);

  std::string_view s_;
  size_t i_ = 0;
  uint32_t depth_ = 0;  // levels of lists, structs and maps, bounded as the reader's columns
};

bool Reader::field_name(std::string& out, bool* ok) {
  if (!eat('"')) {
    const std::string_view w = word();
    *ok = !w.empty();
    out.assign(w);
    return true;
  }
  for (;;) {
    if (i_ >= s_.size()) return *ok = false, true;
    const char c = s_[i_++];
    if (c == '"') {
      if (i_ < s_.size() && s_[i_] == '"') {
        ++i_;
      } else {
        return *ok = true, true;
      }
    }
    out += c;
  }
}

// A named type: words, with a parenthesised list of numbers after any of them.
bool Reader::scalar(ColumnType& out, bool* ok) {
  std::string name;
  long args[2] = {-1, -1};
  int nargs = 0;
  for (;;) {
    const std::string_view w = word();
    if (w.empty()) break;
    if (!name.empty()) name += ' ';
    for (const char c : w) name += upper(c);
    if (eat('(')) {
      do {
        long v;
        if (nargs == 2 || !number(&v)) return *ok = false, true;
        args[nargs++] = v;
      } while (eat(','));
      if (!eat(')')) return *ok = false, true;
    }
  }
  *ok = !name.empty();
  if (!*ok) return true;
  for (const Name& n : kNames) {
    if (name != n.text) continue;
    out.kind = n.kind;
    out.unit = n.unit;
    if (n.kind == Kind::Decimal) {
      // DuckDB's defaults: DECIMAL is DECIMAL(18,3), DECIMAL(p) has scale 0.
      const long p = nargs == 0 ? 18 : args[0];
      const long s = nargs == 0 ? 3 : nargs == 1 ? 0 : args[1];
      if (p < 1 || p > 76 || s < 0 || s > p) return *ok = false, true;
      out.precision = static_cast<uint8_t>(p);
      out.scale = static_cast<uint8_t>(s);
    }
    return true;
  }
  // SQLite's affinity rules, in its order, on the whole name.
  auto has = [&](const char* part) { return name.find(part) != std::string::npos; };
  if (has("INT")) {
    out.kind = Kind::Int64;  // SQLite's integers are 64-bit
  } else if (has("CHAR") || has("CLOB") || has("TEXT")) {
    out.kind = Kind::Varchar;
  } else if (has("BLOB")) {
    out.kind = Kind::Blob;
  } else if (has("REAL") || has("FLOA") || has("DOUB")) {
    out.kind = Kind::Float64;
  } else {
    *ok = false;
  }
  return true;
}

bool Reader::type(ColumnType& out, bool* ok) {
  stack::RecursionGuard guard(" while reading a column type");
  if (!guard) return false;
  const uint32_t entry = depth_;
  if (++depth_ > kMaxDepth) return *ok = false, true;
  const size_t start = i_;
  const std::string_view w = word();
  std::string head;
  for (const char c : w) head += upper(c);
  if ((head == "STRUCT" || head == "MAP") && eat('(')) {
    out.kind = head == "MAP" ? Kind::Map : Kind::Struct;
    do {
      ColumnType child;
      if (out.kind == Kind::Struct) {
        std::string name;
        if (!field_name(name, ok)) return false;
        if (!*ok) return true;
        for (const std::string& seen : out.names)
          if (seen == name) return *ok = false, true;
        out.names.push_back(std::move(name));
      }
      if (!type(child, ok)) return false;
      if (!*ok) return true;
      out.children.push_back(std::move(child));
    } while (eat(','));
    if (!eat(')') || (out.kind == Kind::Map && out.children.size() != 2)) return *ok = false, true;
  } else {
    i_ = start;
    if (!scalar(out, ok) || !*ok) return !PyErr_Occurred();
  }
  while (peek() == '[') {
    ++i_;
    if (!eat(']') || ++depth_ > kMaxDepth) return *ok = false, true;
    ColumnType list;
    list.kind = Kind::List;
    list.children.push_back(std::move(out));
    out = std::move(list);
  }
  depth_ = entry;
  *ok = true;
  return true;
}

bool plain_name(const std::string& s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (const char c : s)
    if (!is_word(c)) return false;
  return true;
}

void put_text(const ColumnType& t, std::string& out) {
  static constexpr const char* kUnitSuffix[] = {"_S", "_MS", "", "_NS"};
  const auto unit = static_cast<size_t>(t.unit);
  switch (t.kind) {
    case Kind::Unknown: return;
    case Kind::Boolean: out += "BOOLEAN"; return;
    case Kind::Int8: out += "TINYINT"; return;
    case Kind::Int16: out += "SMALLINT"; return;
    case Kind::Int32: out += "INTEGER"; return;
    case Kind::Int64: out += "BIGINT"; return;
    case Kind::UInt8: out += "UTINYINT"; return;
    case Kind::UInt16: out += "USMALLINT"; return;
    case Kind::UInt32: out += "UINTEGER"; return;
    case Kind::UInt64: out += "UBIGINT"; return;
    case Kind::Float32: out += "REAL"; return;
    case Kind::Float64: out += "DOUBLE"; return;
    case Kind::Decimal:
      out += "DECIMAL(" + std::to_string(t.precision) + ',' + std::to_string(t.scale) + ')';
      return;
    case Kind::Varchar: out += "VARCHAR"; return;
    case Kind::Blob: out += "BLOB"; return;
    case Kind::Date: out += "DATE"; return;
    case Kind::Time: out += t.unit == Unit::NS ? "TIME_NS" : "TIME"; return;
    case Kind::Timestamp: (out += "TIMESTAMP") += kUnitSuffix[unit]; return;
    case Kind::TimestampTz:
      ((out += "TIMESTAMP") += kUnitSuffix[unit]) += " WITH TIME ZONE";
      return;
    case Kind::Json: out += "JSON"; return;
    case Kind::Uuid: out += "UUID"; return;
    case Kind::Interval: out += "INTERVAL"; return;
    case Kind::Duration: (out += "DURATION") += kUnitSuffix[unit]; return;
    case Kind::List:
      put_text(t.children[0], out);
      out += "[]";
      return;
    case Kind::Struct:
      out += "STRUCT(";
      for (size_t i = 0; i < t.children.size(); ++i) {
        if (i != 0) out += ", ";
        const std::string& n = t.names[i];
        if (plain_name(n)) {
          out += n;
        } else {
          out += '"';
          for (const char c : n) (c == '"' ? out += "\"\"" : out += c);
          out += '"';
        }
        out += ' ';
        put_text(t.children[i], out);
      }
      out += ')';
      return;
    case Kind::Map:
      out += "MAP(";
      put_text(t.children[0], out);
      out += ", ";
      put_text(t.children[1], out);
      out += ')';
      return;
  }
}

}  // namespace

bool parse_column_type(std::string_view text, ColumnType& out) {
  out = ColumnType();
  try {
    Reader r(text);
    bool ok = false;
    if (!r.type(out, &ok)) return false;
    if (!ok || !r.at_end()) out = ColumnType();
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

bool canonical_text(const ColumnType& t, std::string& out) {
  try {
    out.clear();
    put_text(t, out);
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace ondrel::coltype
