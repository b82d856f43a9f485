// Values: dispatch, arrays, inline tables and strings. Part of parser.cpp.

namespace ondrel::decoder {

template <class F>
template <class S>
typename S::Out Parser<F>::boolean(bool v) {
  if constexpr (std::is_same_v<S, Objects>) {
    return Py_NewRef(v ? Py_True : Py_False);
  } else {
    Node* n = nodes_.make(NodeKind::kBool);
    if (n != nullptr) n->i = v;
    return n;
  }
}

template <class F>
template <class S>
typename S::Out Parser<F>::value(int depth) {
  switch (cur()) {
    case '"':
      if (at(p_ + 1) == '"' && at(p_ + 2) == '"') return multiline_string<S>(true);
      return basic_string<S>();
    case '\'':
      if (at(p_ + 1) == '\'' && at(p_ + 2) == '\'') return multiline_string<S>(false);
      return literal_string<S>();
    case '[': return array<S>(depth);
    case '{': return inline_table<S>(depth);
    case 't':
      if (at(p_ + 1) == 'r' && at(p_ + 2) == 'u' && at(p_ + 3) == 'e') {
        p_ += 4;
        return boolean<S>(true);
      }
      break;
    case 'f':
      if (at(p_ + 1) == 'a' && at(p_ + 2) == 'l' && at(p_ + 3) == 's' && at(p_ + 4) == 'e') {
        p_ += 5;
        return boolean<S>(false);
      }
      break;
    case '+':
    case '-':
    case 'i':
    case 'n': return number<S>();
    default:
      if (is_digit(cur())) return number<S>();
      break;
  }
  if (p_ == end_) return fail(p_, "Expected a value, found the end of the document");
  if (cur() == '\n' || cur() == '\r')
    return fail(p_, "Expected a value before the end of the line");
  return fail(p_, "Invalid value starting with %R", describe(p_).get());
}

template <class F>
int Parser<F>::array_next() {
  if (!skip_blank()) return -1;
  if (cur() == ',') {
    ++p_;
    return 1;
  }
  if (cur() == ']') return 0;
  if (p_ == end_) {
    fail(p_, "Unclosed array: no ']' before the end of the document");
  } else {
    fail(p_, "Expected ',' or ']' after an array item, found %R", describe(p_).get());
  }
  return -1;
}

template <class F>
template <class S>
typename S::Out Parser<F>::array(int depth) {
  stack::RecursionGuard guard(" while reading a TOML array", depth >= kUnguardedDepth);
  if (!guard) return nullptr;
  ++p_;
  [[maybe_unused]] const size_t base = items_.size();
  [[maybe_unused]] Node* list = nullptr;
  if constexpr (std::is_same_v<S, Nodes>) {
    list = nodes_.make(NodeKind::kArray);
    if (list == nullptr) return nullptr;
  }
  if (!skip_blank()) return nullptr;
  while (cur() != ']') {
    typename S::Out item = value<S>(depth + 1);
    if (item == nullptr) return nullptr;
    if constexpr (std::is_same_v<S, Objects>) {
      if (!items_.push_steal(item)) return nullptr;
    } else {
      node_append(list, item);
    }
    // ", " and the next item, as the writer puts them, take no call.
    if (ahead(3) && p_[0] == ',' && p_[1] == ' ' && p_[2] > U{' '} && p_[2] != U{'#'} &&
        p_[2] != U{']'}) [[likely]] {
      p_ += 2;
      continue;
    }
    const int next = array_next();
    if (next < 0) return nullptr;
    if (next == 0) break;
    if (!skip_blank()) return nullptr;
  }
  ++p_;
  if constexpr (std::is_same_v<S, Objects>) {
    return items_.pop_list(base);
  } else {
    return list;
  }
}

template <class F>
template <class S>
typename S::Out Parser<F>::inline_table(int depth) {
  stack::RecursionGuard guard(" while reading a TOML inline table", depth >= kUnguardedDepth);
  if (!guard) return nullptr;
  ++p_;
  typename S::Held table;
  if constexpr (std::is_same_v<S, Nodes>) {
    table = S::Held::steal(nodes_.make(NodeKind::kTable));
    if (!table) return nullptr;
  }
  // Dotted keys of this table may extend only the tables they make inside it; 0 is the
  // document's own scope.
  if (++inline_tables_ == 0) ++inline_tables_;
  const uint32_t scope = inline_tables_;
  if (!inline_gap()) return nullptr;
  if (cur() == '}') {
    ++p_;
    if constexpr (std::is_same_v<S, Objects>) return PyDict_New();
    return table.release();
  }
  // Dicts: while the keys follow a known order, the values go into a copy of its dict.
  struct Using {
    ShapeCache::Shape* s = nullptr;
    ~Using() { leave(); }
    void leave() {
      if (s != nullptr) --s->users;
      s = nullptr;
    }
  } shape;
  Py_ssize_t matched = 0;
  // The keys of plain pairs in order (borrowed: the table holds them), for the cache to learn.
  PyObject* order[ShapeCache::kMaxKeys];
  Py_ssize_t ordered = 0;
  bool learn = true;  // false after a dotted key, or once the table left a shape
  // The pairs read so far into a table of their own, where the keys leave the shape; such a
  // table is counted against the shape once, and not learnt from.
  [[maybe_unused]] auto leave_shape = [&](Ref& dict) {
    dict = Ref::steal(left_shape(*shape.s, dict.get(), matched));
    shape.leave();
    learn = false;
    return static_cast<bool>(dict);
  };
  for (bool first = true;; first = false) {
    if constexpr (std::is_same_v<S, Objects>) {
      const U* where = p_;
      Ref key = Ref::steal(key_part());
      if (!key) return nullptr;
      if (first) {
        shape.s = shapes_.find(key.get());
        table = Ref::steal(shape.s != nullptr ? PyDict_Copy(shape.s->dict) : PyDict_New());
        if (!table) return nullptr;
        if (shape.s != nullptr) ++shape.s->users;
      }
      const bool plain = plain_equals();
      const bool in_shape = shape.s != nullptr && plain && matched < shape.s->n &&
                            key.get() == shape.s->keys[matched];
      if (shape.s != nullptr && !in_shape && !leave_shape(table)) return nullptr;
      if (in_shape) {
        Ref v = Ref::steal(value<S>(depth + 1));
        // The key is there already: the value takes None's place.
        if (!v || PyDict_SetItem(table.get(), key.get(), v.get()) < 0) return nullptr;
        ++matched;
      } else if (plain) {
        Ref v = Ref::steal(value<S>(depth + 1));
        if (!v || !set_new<S>(table.get(), key.get(), v.get(), where)) return nullptr;
        if (ordered < ShapeCache::kMaxKeys) order[ordered] = key.get();
        ++ordered;
      } else {
        // A dotted key, or no '=' for key_value to name.
        learn = false;
        if (!key_value<S>(table.get(), scope, depth + 1, key.release(), where)) return nullptr;
      }
    } else {
      if (!key_value<S>(table.get(), scope, depth + 1)) return nullptr;
    }
    // ", " and a bare key, as the writer puts them, take no call.
    if (ahead(3) && p_[0] == ',' && p_[1] == ' ' && bare_key_char(p_[2])) [[likely]] {
      p_ += 2;
      continue;
    }
    if (!inline_gap()) return nullptr;
    if (cur() == ',') {
      ++p_;
      if (!inline_gap()) return nullptr;
      if (cur() == '}') {
        if (!v11_) return fail(p_, "Trailing comma in an inline table (allowed from TOML 1.1)");
        break;
      }
      continue;
    }
    if (cur() == '}') break;
    if (p_ == end_) return fail(p_, "Unclosed inline table: no '}' before the end of the document");
    if (cur() == '\n' || cur() == '\r')
      return fail(p_, "Unclosed inline table: no '}' before the end of the line");
    return fail(p_, "Expected ',' or '}' after a key/value pair, found %R", describe(p_).get());
  }
  ++p_;
  if constexpr (std::is_same_v<S, Objects>) {
    if (shape.s != nullptr) {
      if (matched == shape.s->n) {
        ShapeCache::filled(*shape.s);
        return table.release();
      }
      // Counted against the shape already.
      return leave_shape(table) ? table.release() : nullptr;
    }
    if (learn && !shapes_.read(order, ordered)) return nullptr;
  }
  return table.release();
}

// The first `matched` pairs of a copy of s's dict, in a new dict of their own: the table left
// the shape there (a key out of order, a dotted key, or fewer keys).
template <class F>
PyObject* Parser<F>::left_shape(ShapeCache::Shape& s, PyObject* copy, Py_ssize_t matched) {
  ShapeCache::left(s);
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (Py_ssize_t i = 0; i < matched; ++i) {
    PyObject* v = PyDict_GetItemWithError(copy, s.keys[i]);  // borrowed; str keys run no code
    if (v == nullptr || PyDict_SetItem(table.get(), s.keys[i], v) < 0) return nullptr;
  }
  return table.release();
}

}  // namespace ondrel::decoder
