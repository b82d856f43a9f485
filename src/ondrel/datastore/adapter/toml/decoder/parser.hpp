// The TOML reader (1.1, or strict 1.0 on request): one pass over the code units of a document,
// straight into Python objects. Instantiated for UTF-8 bytes (bytes-like input, ASCII str, files)
// and for the fixed-width units of a non-ASCII str, so no text is converted before it is read.
//
// Every routine returns false or null with a Python exception set and stops at the first
// failure. The result tree is owned by the root dict from the start, so a failure anywhere
// releases all of it; nothing outside the call can reach it, so the borrowed pointers into
// it stay valid while parse_float (the only Python code the reader runs) is called.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/decoder/error.hpp"
#include "ondrel/datastore/adapter/toml/decoder/nodes.hpp"
#include "ondrel/datastore/adapter/toml/decoder/shapes.hpp"
#include "ondrel/datastore/adapter/toml/decoder/support.hpp"

namespace ondrel::decoder {

template <typename U, bool kUtf8>
struct Form {
  using Unit = U;
  static constexpr bool utf8 = kUtf8;
};
using Utf8 = Form<unsigned char, true>;
using Latin1 = Form<Py_UCS1, false>;
using Ucs2 = Form<Py_UCS2, false>;
using Ucs4 = Form<Py_UCS4, false>;

// Binds the interpreter's datetime API for the reader; false with an exception set.
bool datetime_ready();

// The result of a syntax error: converts to false and to a null pointer, so a routine of
// either kind can `return fail(...)`.
struct Failed {
  operator bool() const { return false; }  // NOLINT(google-explicit-constructor)
  template <typename T>
  operator T*() const {  // NOLINT(google-explicit-constructor)
    return nullptr;
  }
};

// Raises TOMLDecodeError with the formatted message at `at`. `source` is the str the units
// belong to, or null for UTF-8 bytes (then decoded here, bad sequences replaced).
template <class F>
[[gnu::cold]] void raise_at(const typename F::Unit* begin, const typename F::Unit* end,
                            const typename F::Unit* at, PyObject* source, const char* fmt,
                            va_list va);

// What the value grammar builds: Python objects (the dict reader), or the arena nodes of one
// record on its way to Arrow columns.
struct Objects {
  using Out = PyObject*;  // a new reference
  using Held = Ref;
};
struct Nodes {
  using Out = Node*;  // owned by the arena
  struct Held {       // the arena owns nodes: holding one is keeping the pointer
    static Held steal(Node* n) { return Held{n}; }
    Node* get() const { return n; }
    Node* release() { return n; }
    explicit operator bool() const { return n != nullptr; }
    Node* n;
  };
};

class Column;  // columns.hpp

template <class F>
class Parser {
 public:
  using U = typename F::Unit;
  // parse_float: null for the built-in float, else called with each float's text.
  // source: the str the units belong to (for error details), or null for bytes.
  // v11: TOML 1.1 syntax; false reads strict TOML 1.0.
  // arrow: every [tables.<name>] table's records array is read into Arrow column builders
  // instead of dicts (parse_float must then be null); declared: built as the types the
  // table's `columns` declare.
  Parser(const U* begin, const U* end, PyObject* parse_float, PyObject* source, bool v11,
         bool arrow = false, bool declared = false) noexcept
      : begin_(begin),
        end_(end),
        p_(begin),
        parse_float_(parse_float),
        source_(source),
        v11_(v11),
        arrow_(arrow),
        declared_(declared) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() { Py_XDECREF(tz_cache_); }

  // The document as a new dict, or null.
  PyObject* run();

 private:
  // Containers nest this deep before the interpreter's recursion guard is asked.
  static constexpr int kUnguardedDepth = 8;

  // ---- cursor (document.ipp) -----------------------------------------------------------
  U cur() const { return p_ < end_ ? *p_ : U{0}; }
  U at(const U* q) const { return q < end_ ? *q : U{0}; }
  // At least n units from p_ on: the fast paths read p_[0, n) with one bound test.
  bool ahead(std::ptrdiff_t n) const { return end_ - p_ >= n; }
  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
  }
  bool skip_comment();
  bool skip_blank();  // whitespace, newlines and comments, as between array items
  // Inside an inline table: 1.0 allows only whitespace between its items; 1.1 also line breaks
  // and comments. A one-line table never leaves the inline part.
  bool inline_gap() {
    skip_ws();
    const U c = cur();
    // One compare on the hot path: '\n', '\r' and '#' sort below every key character but '"'.
    if (c <= U{'#'} && (c == '\n' || c == '\r' || c == '#')) [[unlikely]]
      return inline_break();
    return true;
  }
  [[gnu::noinline]] bool inline_break();
  [[gnu::cold]] Failed fail(const U* at, const char* fmt, ...);
  // The text of n characters at `at` (fewer at the end), as a str for messages.
  [[gnu::cold]] Ref describe_run(const U* at, size_t n) const;
  Ref describe(const U* at) const { return describe_run(at, 1); }

  // ---- statements and tables (document.ipp) --------------------------------------------
  bool header();
  bool records_table(PyObject* parent, const KeyPath<U>& path);

  // ---- keys and where values land (keys.ipp) -------------------------------------------
  bool key(KeyPath<U>& path);
  PyObject* key_part();
  [[gnu::noinline]] PyObject* bare_key();
  [[gnu::noinline]] PyObject* quoted_key();
  // read: the pair's key when the caller has read it already (taken over), at read_at.
  template <class S>
  bool key_value(typename S::Out table, uint32_t scope, int depth, PyObject* read = nullptr,
                 const U* read_at = nullptr);
  // " = " or whitespace and '=' after a key, taken (the writer's " = " without a call); false
  // (nothing taken but whitespace) where a '.' or anything else follows, for key_value to read
  // or refuse.
  bool plain_equals() {
    if (ahead(4) && p_[0] == ' ' && p_[1] == '=' && p_[2] == ' ' && p_[3] > U{' '}) [[likely]] {
      p_ += 3;
      return true;
    }
    skip_ws();
    return cur() == '=' && equals_sign();
  }
  PyObject* left_shape(ShapeCache::Shape& s, PyObject* copy, Py_ssize_t matched);
  template <class S>
  [[gnu::noinline]] bool dotted_key_value(typename S::Out table, PyObject* first, const U* where,
                                          uint32_t scope, int depth);
  bool equals_sign();
  template <class S>
  // held: the arena already owns the node's key.
  bool set_new(typename S::Out table, PyObject* key, typename S::Out value, const U* where,
               bool held = false);
  template <class S>
  bool insert(typename S::Out table, const KeyPath<U>& path, typename S::Out value, uint32_t scope);
  PyObject* new_table(PyObject* parent, PyObject* name, Kind kind, uint32_t scope);
  Node* new_table(Node* parent, PyObject* name, Kind kind, uint32_t scope);

  // ---- values (values.ipp) -------------------------------------------------------------
  template <class S>
  typename S::Out value(int depth);
  template <class S>
  typename S::Out array(int depth);
  int array_next();  // after an item: 1 another follows, 0 the array ended, -1 failed
  template <class S>
  typename S::Out inline_table(int depth);
  template <class S>
  typename S::Out boolean(bool v);

  // ---- strings (strings.ipp) -----------------------------------------------------------
  template <class S>
  typename S::Out basic_string();
  template <class S>
  typename S::Out literal_string();
  template <class S>
  typename S::Out multiline_string(bool basic);
  bool escape(bool multiline);
  template <class S>
  typename S::Out string_from(const U* s, size_t n, uint32_t bits);
  template <class S>
  typename S::Out string_from_scratch();
  bool take_run(const U* s, const U* q, uint32_t run_bits);
  [[gnu::cold]] Failed invalid_utf8(const U* s, const U* e);

  // ---- numbers (numbers.ipp) -----------------------------------------------------------
  int digit_blocks(const U*& q, uint64_t& mag, int& digits) const;
  template <class S>
  typename S::Out number();
  template <class S>
  typename S::Out integer(int64_t v);
  template <class S>
  typename S::Out prefixed_integer();
  template <class S>
  typename S::Out float_value(const U* s, const U* e);
  template <class S>
  typename S::Out float_from(double v);
  bool float_of(const U* s, const U* e, double* out);
  template <class S>
  typename S::Out big_integer(const U* s, const U* e, int base);

  // ---- records for Arrow (records.ipp) -------------------------------------------------
  PyObject* records_array();
  bool store_pairs(Column* column, const Node* v, int depth);
  bool store_record(Column* root, const Node* record, size_t index);
  bool store_value(Column* column, const Node* value, int depth);

  // ---- dates and times (datetime.ipp) --------------------------------------------------
  template <class S>
  typename S::Out datetime_value();
  struct Moment {
    int y, m, d, h, mi, sec, us, offset;  // offset: minutes east of UTC
    // The nanoseconds below `us` (0-999), or 1000 when digits finer than a nanosecond are
    // not zero: kept in a node for declared nanosecond columns.
    int ns;
  };
  template <class S>
  typename S::Out moment(NodeKind kind, const Moment& t);
  int digits_at(const U* q, int n) const;  // n decimal digits at q as a number, or -1
  bool time_part(int* hour, int* minute, int* second, int* micro, int* nanos);
  PyObject* timezone(int offset_minutes);

  const U* const begin_;
  const U* const end_;
  const U* p_;
  PyObject* const parse_float_;  // borrowed from the call's arguments
  PyObject* const source_;       // borrowed from the call's arguments, or null
  // TOML 1.1: read only in the branches where 1.0 would refuse, off the hot paths.
  const bool v11_;
  PyObject* root_ = nullptr;     // borrowed: owned by run()
  PyObject* current_ = nullptr;  // borrowed: the table key/value lines go to
  uint32_t inline_tables_ = 0;   // inline tables opened so far: the scope of their dotted keys
  ShapeCache shapes_;
  ItemStack items_;
  Registry tables_;
  KeyCache keys_;
  // Text of strings with escapes or line breaks: UTF-8 bytes, or code points.
  Scratch<std::conditional_t<F::utf8, unsigned char, Py_UCS4>> text_;
  uint32_t text_bits_ = 0;        // OR of the code units in text_
  Scratch<char> digits_;          // numbers without underscores, NUL-terminated
  PyObject* tz_cache_ = nullptr;  // the last offset's tzinfo (owned)
  int tz_cache_minutes_ = 0;
  // Arrow records: whether [tables.<name>] tables' records arrays are read into columns; the
  // table whose header was read last, if it is such a table (borrowed), and its name (owned).
  const bool arrow_;
  const bool declared_;
  PyObject* records_table_ = nullptr;
  Ref records_name_;
  // Records read before their table declared its columns: read again once the document is.
  struct Late {
    Ref table;
    Ref name;
    const U* at;
    bool again;  // read again whatever the columns: an int beyond int64 stopped the first read
  };
  std::vector<Late> late_;
  bool rereading_ = false;
  bool defer_big_ = false;  // an int beyond int64 in records read before their columns
  bool reread_late();
  NodeArena<std::conditional_t<F::utf8, unsigned char, Py_UCS4>> nodes_;
};

extern template class Parser<Utf8>;
extern template class Parser<Latin1>;
extern template class Parser<Ucs2>;
extern template class Parser<Ucs4>;

// Whether a unit can be part of a bare key: A-Z a-z 0-9 _ -.
inline constexpr struct BareKeyTable {
  bool bare[128];
  constexpr BareKeyTable() : bare() {
    for (int c = 0; c < 128; ++c)
      bare[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '_' || c == '-';
  }
} kBareKey;
inline constexpr bool bare_key_char(uint32_t c) { return c < 128 && kBareKey.bare[c]; }
inline constexpr bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }

}  // namespace ondrel::decoder
