// Statements, table headers, keys and where each key/value pair lands; errors with their
// position. Part of parser.cpp.

namespace ondrel::decoder {

// What an existing key holds, for messages.
inline const char* what_is(PyObject* obj, const TableInfo* info) {
  if (info != nullptr) {
    switch (info->kind) {
      case Kind::kImplicit: return "a table";
      case Kind::kExplicit: return "a table with its own header";
      case Kind::kDotted: return "a table made by dotted keys";
      case Kind::kArrayOfTables: return "an array of tables";
    }
  }
  if (PyDict_Check(obj)) return "an inline table";
  if (PyList_Check(obj) || records_builder(obj) != nullptr) return "an array";
  return "a value";
}

template <class F>
void raise_at(const typename F::Unit* begin, const typename F::Unit* end,
              const typename F::Unit* at, PyObject* source, const char* fmt, va_list va) {
  Ref msg = Ref::steal(PyUnicode_FromFormatV(fmt, va));
  if (!msg) return;
  if (source != nullptr) {
    raise_decode_error(source, at - begin, msg.get());
    return;
  }
  if constexpr (F::utf8) {
    // Bytes become text only here; pos counts the characters of the replaced text before `at`.
    const auto* b = reinterpret_cast<const char*>(begin);
    Ref doc = Ref::steal(PyUnicode_DecodeUTF8(b, end - begin, "replace"));
    Ref head = Ref::steal(PyUnicode_DecodeUTF8(b, at - begin, "replace"));
    if (!doc || !head) return;
    const Py_ssize_t pos =
        std::min(PyUnicode_GET_LENGTH(head.get()), PyUnicode_GET_LENGTH(doc.get()));
    raise_decode_error(doc.get(), pos, msg.get());
  }
}

template <class F>
Failed Parser<F>::fail(const U* where, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  raise_at<F>(begin_, end_, where, source_, fmt, va);
  va_end(va);
  return Failed{};
}

template <class F>
bool Parser<F>::skip_comment() {
  // p_ is at '#'. Tab and every printable character may follow; the line break ends it.
  const U* q = p_ + 1;
  bool high = false;
  for (; q < end_; ++q) {
    const uint32_t c = *q;
    if (c >= 0x20 && c != 0x7F) {
      high |= c >= 0x80;
      continue;
    }
    if (c == '\t') continue;
    if (c == '\n' || (c == '\r' && at(q + 1) == '\n')) break;
    return fail(q, "Invalid control character %R in a comment", describe(q).get());
  }
  if constexpr (F::utf8) {
    if (high) {
      if (const U* bad = utf8_invalid(p_, q)) return fail(bad, "Invalid UTF-8 in a comment");
    }
  }
  p_ = q;
  return true;
}

template <class F>
bool Parser<F>::skip_blank() {
  for (;;) {
    skip_ws();
    const U c = cur();
    if (c == '\n') {
      ++p_;
    } else if (c == '\r' && at(p_ + 1) == '\n') {
      p_ += 2;
    } else if (c == '#') {
      if (!skip_comment()) return false;
    } else {
      return true;
    }
  }
}

// Inside an inline table: 1.0 allows only whitespace between its items; 1.1 also line breaks
// and comments. A one-line table never reaches the branch.
template <class F>
bool Parser<F>::inline_break() {
  const U c = cur();
  if (v11_) return skip_blank();
  if (c == '\n' || at(p_ + 1) == '\n')
    return fail(p_,
                "Unclosed inline table: no '}' before the end of the line (line breaks "
                "inside are allowed from TOML 1.1)");
  return true;
}

template <class F>
PyObject* Parser<F>::run() {
  Ref root = Ref::steal(PyDict_New());
  if (!root || !tables_.add(root.get(), TableInfo{Kind::kExplicit, 0})) return nullptr;
  root_ = current_ = root.get();
  if (p_ < end_) {
    if constexpr (F::utf8) {
      if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) p_ += 3;
    } else {
      if (*p_ == 0xFEFF) ++p_;
    }
  }
  for (;;) {
    skip_ws();
    if (p_ == end_) break;
    const U c = *p_;
    if (c == '\n') {
      ++p_;
      continue;
    }
    if (c == '\r' && at(p_ + 1) == '\n') {
      p_ += 2;
      continue;
    }
    if (c == '#') {
      if (!skip_comment()) return nullptr;
      continue;
    }
    if (c == '[' ? !header() : !key_value<Objects>(current_, 0, 0)) return nullptr;
    skip_ws();
    if (cur() == '#' && !skip_comment()) return nullptr;
    if (p_ == end_) break;
    if (*p_ == '\n') {
      ++p_;
    } else if (*p_ == '\r' && at(p_ + 1) == '\n') {
      p_ += 2;
    } else {
      return fail(p_, "Expected a newline or the end of the document after a statement");
    }
  }
  if (!late_.empty() && !reread_late()) return nullptr;
  return root.release();
}

// Notes whether the table just defined is a [tables.<name>] table whose records go to Arrow.
template <class F>
bool Parser<F>::records_table(PyObject* parent, const KeyPath<U>& path) {
  // The parent must be the document's own "tables" table, not an element of [[tables]].
  if (!arrow_ || path.size() != 2 || PyUnicode_CompareWithASCIIString(path.part(0), "tables") != 0)
    return true;
  PyObject* tables = PyDict_GetItemWithError(root_, path.part(0));
  if (tables != parent) return !PyErr_Occurred();
  records_table_ = current_;
  records_name_ = Ref::borrow(path.part(1));
  return true;
}

template <class F>
bool Parser<F>::header() {
  records_table_ = nullptr;
  const U* open = p_;
  ++p_;
  const bool array = cur() == '[';
  if (array) ++p_;
  skip_ws();
  KeyPath<U> path;
  if (!key(path)) return false;
  if (cur() != ']' || (array && at(p_ + 1) != ']'))
    return fail(p_, array ? "Expected ']]' at the end of an array-of-tables header"
                          : "Expected ']' at the end of a table header");
  p_ += array ? 2 : 1;

  PyObject* table = root_;
  const size_t n = path.size();
  for (size_t i = 0; i + 1 < n; ++i) {
    PyObject* part = path.part(i);
    PyObject* child = PyDict_GetItemWithError(table, part);
    if (child == nullptr) {
      if (PyErr_Occurred()) return false;
      table = new_table(table, part, Kind::kImplicit, 0);
      if (table == nullptr) return false;
      continue;
    }
    TableInfo* info = tables_.find(child);
    if (info != nullptr && info->kind == Kind::kArrayOfTables) {
      table = PyList_GET_ITEM(child, PyList_GET_SIZE(child) - 1);  // never empty
    } else if (info != nullptr && PyDict_CheckExact(child) && info->scope == 0) {
      table = child;
    } else {
      return fail(path.where(i), "Cannot define a table under %R: it is %s", part,
                  what_is(child, info));
    }
  }
  PyObject* last = path.part(n - 1);
  PyObject* child = PyDict_GetItemWithError(table, last);
  if (child == nullptr && PyErr_Occurred()) return false;
  TableInfo* info = child != nullptr ? tables_.find(child) : nullptr;
  if (!array) {
    if (child == nullptr) {
      current_ = new_table(table, last, Kind::kExplicit, 0);
      return current_ != nullptr && records_table(table, path);
    }
    if (info != nullptr && info->kind == Kind::kImplicit) {
      info->kind = Kind::kExplicit;
      current_ = child;
      return records_table(table, path);
    }
    return fail(path.where(n - 1), "Cannot define table %R: it is already %s", last,
                what_is(child, info));
  }
  if (child == nullptr) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list || !tables_.add(list.get(), TableInfo{Kind::kArrayOfTables, 0}) ||
        PyDict_SetItem(table, last, list.get()) < 0)
      return false;
    child = list.get();
  } else if (info == nullptr || info->kind != Kind::kArrayOfTables) {
    return fail(open, "Cannot append to %R as an array of tables: it is %s", last,
                what_is(child, info));
  }
  Ref element = Ref::steal(PyDict_New());
  if (!element || !tables_.add(element.get(), TableInfo{Kind::kExplicit, 0}) ||
      PyList_Append(child, element.get()) < 0)
    return false;
  current_ = element.get();
  return true;
}

}  // namespace ondrel::decoder
