// Records from Arrow: arrow.json text (the reader's clash columns), held to JSON's grammar and
// written back as the TOML values it holds.
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

#include "ondrel/datastore/adapter/toml/pentock/arrow_values.hpp"

namespace ondrel::pentock::arrowout {

namespace {

struct Json {
  const char* p;
  const char* end;
  int depth;
};

inline void skip_ws(Json& s) {
  while (s.p != s.end && (*s.p == ' ' || *s.p == '\t' || *s.p == '\n' || *s.p == '\r')) ++s.p;
}

[[gnu::cold]] bool bad_json(const char* what = nullptr) {
  if (what == nullptr)
    PyErr_SetString(PyExc_ValueError, "malformed JSON text in an arrow.json column");
  else
    PyErr_Format(PyExc_ValueError, "malformed JSON text in an arrow.json column (%s)", what);
  return false;
}

inline int hex4(const char* p) {
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= c - '0';
    else if (c >= 'a' && c <= 'f')
      v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v |= c - 'A' + 10;
    else
      return -1;
  }
  return v;
}

// A JSON string at s.p (on the quote) decoded into `out` (UTF-8).
bool json_string(Json& s, Buffer* out) {
  out->pos = 0;
  ++s.p;
  for (;;) {
    const char* run = s.p;
    while (s.p != s.end && *s.p != '"' && *s.p != '\\') ++s.p;
    if (!put(out, run, static_cast<size_t>(s.p - run))) return false;
    if (s.p == s.end) return bad_json();
    if (*s.p == '"') {
      ++s.p;
      return true;
    }
    if (s.end - s.p < 2) return bad_json();
    const char e = s.p[1];
    s.p += 2;
    char c;
    switch (e) {
      case '"': c = '"'; break;
      case '\\': c = '\\'; break;
      case '/': c = '/'; break;
      case 'b': c = '\b'; break;
      case 'f': c = '\f'; break;
      case 'n': c = '\n'; break;
      case 'r': c = '\r'; break;
      case 't': c = '\t'; break;
      case 'u': {
        if (s.end - s.p < 4) return bad_json();
        uint32_t cp = static_cast<uint32_t>(hex4(s.p));
        if (static_cast<int>(cp) < 0) return bad_json();
        s.p += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && s.end - s.p >= 6 && s.p[0] == '\\' && s.p[1] == 'u') {
          const int lo = hex4(s.p + 2);
          if (lo >= 0xDC00 && lo < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<uint32_t>(lo - 0xDC00);
            s.p += 6;
          }
        }
        if (cp >= 0xD800 && cp < 0xE000) {
          PyErr_SetString(PyExc_ValueError, "a lone surrogate in an arrow.json column");
          return false;
        }
        char u[4];
        size_t n;
        if (cp < 0x80) {
          u[0] = static_cast<char>(cp);
          n = 1;
        } else if (cp < 0x800) {
          u[0] = static_cast<char>(0xC0 | (cp >> 6));
          u[1] = static_cast<char>(0x80 | (cp & 0x3F));
          n = 2;
        } else if (cp < 0x10000) {
          u[0] = static_cast<char>(0xE0 | (cp >> 12));
          u[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          u[2] = static_cast<char>(0x80 | (cp & 0x3F));
          n = 3;
        } else {
          u[0] = static_cast<char>(0xF0 | (cp >> 18));
          u[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          u[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          u[3] = static_cast<char>(0x80 | (cp & 0x3F));
          n = 4;
        }
        if (!put(out, u, n)) return false;
        continue;
      }
      default: return bad_json();
    }
    if (!put(out, &c, 1)) return false;
  }
}

inline bool literal(Json& s, const char* word, size_t n) {
  if (static_cast<size_t>(s.end - s.p) < n || std::memcmp(s.p, word, n) != 0) return false;
  s.p += n;
  return true;
}

template <bool Esc>
bool json_value(Buffer* buf, Json& s, Ctx& cx);

// The keys of one JSON object: JSON allows no key twice, and without escaping two written
// keys must not read as one (only a key that holds a backslash is read for that).
template <bool Esc>
class ObjectKeys {
 public:
  bool add(const std::string& key, bool written) {
    if (!names_.insert(key).second) {
      PyErr_Format(PyExc_ValueError,
                   "malformed JSON text in an arrow.json column (the key \"%s\" is given twice "
                   "in one object)",
                   key.c_str());
      return false;
    }
    if constexpr (!Esc) {
      if (!written) return true;
      std::string read = key;
      if (key.find('\\') != std::string::npos) {
        const size_t n = common::read_raw_escapes(key.data(), key.size(), read.data());
        if (n == common::kRawOk) return true;  // refused when it is written
        read.resize(n);
      }
      if (!read_.insert(read).second) {
        PyErr_Format(PyExc_ValueError,
                     "the JSON key \"%s\" reads as the key \"%s\" of the same object once "
                     "its escapes are read; pass escape_strings=True to have it escaped",
                     key.c_str(), read.c_str());
        return false;
      }
    }
    return true;
  }

 private:
  std::unordered_set<std::string> names_;
  std::unordered_set<std::string> read_;
};

inline bool is_digit(const char* p, const char* end) { return p != end && *p >= '0' && *p <= '9'; }

// A JSON number (-?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?), written as the dict path
// writes int(text) or float(text). What follows it is the caller's to check: "007" stops
// after its first 0.
bool json_number(Buffer* buf, Json& s) {
  const char* start = s.p;
  const char* p = s.p;
  if (p != s.end && *p == '-') ++p;
  if (!is_digit(p, s.end)) return bad_json("a value that is not JSON");
  if (*p++ != '0')
    while (is_digit(p, s.end)) ++p;
  else if (is_digit(p, s.end))
    return bad_json("a number with a leading zero");
  bool is_float = false;
  if (p != s.end && *p == '.') {
    is_float = true;
    if (!is_digit(++p, s.end)) return bad_json("a fraction without digits");
    while (is_digit(p, s.end)) ++p;
  }
  if (p != s.end && (*p == 'e' || *p == 'E')) {
    is_float = true;
    ++p;
    if (p != s.end && (*p == '+' || *p == '-')) ++p;
    if (!is_digit(p, s.end)) return bad_json("an exponent without digits");
    while (is_digit(p, s.end)) ++p;
  }
  s.p = p;
  const size_t n = static_cast<size_t>(p - start);
  if (!is_float) {
    // Integers keep their digits (any size); only "-0" reads as 0.
    if (n == 2 && start[0] == '-' && start[1] == '0') return put(buf, "0");
    return put(buf, start, n);
  }
  if (n > 400) return bad_json("a number longer than 400 characters");
  char tmp[402];
  std::memcpy(tmp, start, n);
  tmp[n] = '\0';
  return write_float(buf, std::strtod(tmp, nullptr));
}

template <bool Esc>
bool json_value(Buffer* buf, Json& s, Ctx& cx) {
  skip_ws(s);
  if (s.p == s.end) return bad_json();
  switch (*s.p) {
    case '"':
      return json_string(s, cx.scratch) &&
             write_quoted_utf8<Esc>(buf, cx.scratch->data, cx.scratch->pos);
    case 't': return literal(s, "true", 4) ? insert_true(buf) : bad_json();
    case 'f': return literal(s, "false", 5) ? insert_false(buf) : bad_json();
    // Members that are null are left out before this; what is left are array items.
    case 'n': return literal(s, "null", 4) ? where::none_in_array() : bad_json();
    case '[': {
      if (++s.depth > 64) return bad_json();
      ++s.p;
      if (!put(buf, "[ ")) return false;
      skip_ws(s);
      if (s.p != s.end && *s.p == ']') {
        ++s.p;
      } else {
        for (Py_ssize_t i = 0;; ++i) {
          if (i != 0 && !insert_comma_space(buf)) return false;
          if (!json_value<Esc>(buf, s, cx)) return where::index(i);
          skip_ws(s);
          if (s.p == s.end) return bad_json();
          if (*s.p++ == ']') break;
          if (s.p[-1] != ',') return bad_json();
        }
      }
      --s.depth;
      return put(buf, " ]");
    }
    case '{': {
      if (++s.depth > 64) return bad_json();
      ++s.p;
      if (!put(buf, "{ ")) return false;
      skip_ws(s);
      bool written = false;
      ObjectKeys<Esc> keys;
      if (s.p != s.end && *s.p == '}') {
        ++s.p;
      } else {
        for (;;) {
          skip_ws(s);
          if (s.p == s.end || *s.p != '"' || !json_string(s, cx.scratch)) return bad_json();
          skip_ws(s);
          if (s.p == s.end || *s.p != ':') return bad_json();
          ++s.p;
          skip_ws(s);
          // The key is kept for a refusal: the value's text overwrites the scratch buffer.
          const std::string key(cx.scratch->data, cx.scratch->pos);
          // None members are left out of tables, as the dict path does.
          const bool null = literal(s, "null", 4);
          if (!keys.add(key, !null)) return false;
          if (!null) {
            if (written && !insert_comma_space(buf)) return false;
            if (!write_key_utf8<Esc>(buf, key.data(), key.size())) return where_name(key);
            if (!insert_equals(buf)) return false;
            if (!json_value<Esc>(buf, s, cx)) return where_name(key);
            written = true;
          }
          skip_ws(s);
          if (s.p == s.end) return bad_json();
          if (*s.p++ == '}') break;
          if (s.p[-1] != ',') return bad_json();
        }
      }
      --s.depth;
      return put(buf, " }");
    }
    default: return json_number(buf, s);
  }
}

}  // namespace

template <bool Esc>
bool json_to_buf(Buffer* buf, Bytes text, Ctx& cx) {
  Json s{text.data, text.data + text.size, 0};
  if (!json_value<Esc>(buf, s, cx)) return false;
  skip_ws(s);
  return s.p == s.end || bad_json();
}

// A JSON column holding the text null is None in the dict path: the key is left out.
bool json_null(const Field& f, const ArrowArray* a, int64_t j) {
  Bytes b{};
  if (!bytes_at(f.storage, 0, a, j, &b)) {
    PyErr_Clear();
    return false;
  }
  Json s{b.data, b.data + b.size, 0};
  skip_ws(s);
  if (!literal(s, "null", 4)) return false;
  skip_ws(s);
  return s.p == s.end;
}

template bool json_to_buf<false>(Buffer*, Bytes, Ctx&);
template bool json_to_buf<true>(Buffer*, Bytes, Ctx&);

}  // namespace ondrel::pentock::arrowout
