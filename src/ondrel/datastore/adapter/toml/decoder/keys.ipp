// Keys, and where each key/value pair lands: new keys, dotted keys through the tables they may
// extend. Part of parser.cpp.

namespace ondrel::decoder {

template <class F>
PyObject* Parser<F>::key_part() {
  const U* s = p_;
  if (bare_key_char(cur())) {
    size_t len;
    auto ends = [](U c) { return !bare_key_char(c); };
    if (PyObject* k = keys_.predicted(s, end_, &len, ends)) {
      p_ = s + len;
      return k;
    }
    return bare_key();
  }
  return quoted_key();
}

// Kept out of key_part, so that a predicted key's call saves no registers for the lookup.
template <class F>
PyObject* Parser<F>::bare_key() {
  const U* s = p_;
  uint32_t hash = 0x811C9DC5u;
  const U* q = s;
  while (q < end_ && bare_key_char(*q)) {
    hash = (hash ^ static_cast<uint32_t>(*q)) * 0x01000193u;
    ++q;
  }
  p_ = q;
  const auto n = static_cast<size_t>(q - s);
  if (n <= KeyCache::kMaxLen) [[likely]]
    return keys_.get(s, n, hash);
  return string_from<Objects>(s, n, 0);
}

// Kept out of key_part, so the bare keys of records take a short call.
template <class F>
PyObject* Parser<F>::quoted_key() {
  if (cur() == '"') return basic_string<Objects>();
  if (cur() == '\'') return literal_string<Objects>();
  if (p_ == end_) return fail(p_, "Expected a key, found the end of the document");
  return fail(p_, "Invalid character %R at the start of a key", describe(p_).get());
}

template <class F>
bool Parser<F>::key(KeyPath<U>& path) {
  for (;;) {
    const U* where = p_;
    PyObject* part = key_part();
    if (part == nullptr || !path.push_steal(part, where)) return false;
    skip_ws();
    if (cur() != '.') return true;
    ++p_;
    skip_ws();
  }
}

template <class F>
PyObject* Parser<F>::new_table(PyObject* parent, PyObject* name, Kind kind, uint32_t scope) {
  Ref table = Ref::steal(PyDict_New());
  if (!table || !tables_.add(table.get(), TableInfo{kind, scope}) ||
      PyDict_SetItem(parent, name, table.get()) < 0)
    return nullptr;
  return table.get();  // borrowed: the parent holds it
}

// A table node made by a dotted key inside a record.
template <class F>
Node* Parser<F>::new_table(Node* parent, PyObject* name, Kind kind, uint32_t scope) {
  Node* table = nodes_.make(NodeKind::kTable);
  if (table == nullptr || !set_new<Nodes>(parent, name, table, nullptr)) return nullptr;
  table->dotted = kind == Kind::kDotted;
  table->scope = scope;
  return table;
}

template <class F>
bool Parser<F>::equals_sign() {
  if (cur() != '=') {
    if (p_ == end_) return fail(p_, "Expected '=' after a key, found the end of the document");
    return fail(p_, "Expected '=' after a key, found %R", describe(p_).get());
  }
  ++p_;
  skip_ws();
  return true;
}

// Stores a value under a key that must be new in `table` (`where` null: known to be new).
template <class F>
template <class S>
bool Parser<F>::set_new(typename S::Out table, PyObject* key, typename S::Out value, const U* where,
                        [[maybe_unused]] bool held) {
  if constexpr (std::is_same_v<S, Objects>) {
    const Py_ssize_t before = PyDict_GET_SIZE(table);
    if (PyDict_SetItem(table, key, value) < 0) return false;
    if (PyDict_GET_SIZE(table) == before) return fail(where, "Duplicate key %R", key);
  } else {
    const Py_hash_t hash = str_hash(key);
    if (hash == -1) return false;
    if (where != nullptr && node_find(table, key, hash) != nullptr)
      return fail(where, "Duplicate key %R", key);
    if (!held && !nodes_.hold_key(Py_NewRef(key))) return false;
    value->key = key;
    value->hash = hash;
    node_append(table, value);
  }
  return true;
}

// Nearly every key has one part: it goes straight to its table; dotted keys take the long way.
template <class F>
template <class S>
bool Parser<F>::key_value(typename S::Out table, uint32_t scope, int depth, PyObject* read,
                          const U* read_at) {
  const U* where = read != nullptr ? read_at : p_;
  Ref first = Ref::steal(read != nullptr ? read : key_part());
  if (!first) return false;
  if (!plain_equals()) [[unlikely]] {
    if (cur() == '.') return dotted_key_value<S>(table, first.release(), where, scope, depth);
    // plain_equals takes any '=': none stands here, and this names what does.
    equals_sign();
    return false;
  }
  typename S::Held v;
  if constexpr (std::is_same_v<S, Objects>) {
    // The records of a [tables.<name>] table go to Arrow columns when asked.
    if (table == records_table_ && table != nullptr && cur() == '[' &&
        PyUnicode_CompareWithASCIIString(first.get(), "records") == 0) [[unlikely]] {
      v = Ref::steal(records_array());
    } else {
      v = Ref::steal(value<S>(depth));
    }
  } else {
    // The arena takes the key over: a record's keys are released together.
    v = S::Held::steal(value<S>(depth));
    PyObject* key = first.release();
    if (!nodes_.hold_key(key)) return false;  // taken over, also when it fails
    return v && set_new<S>(table, key, v.get(), where, true);
  }
  return v && set_new<S>(table, first.get(), v.get(), where);
}

// A key with more parts after its first (owned), from the first '.' on.
template <class F>
template <class S>
bool Parser<F>::dotted_key_value(typename S::Out table, PyObject* first, const U* where,
                                 uint32_t scope, int depth) {
  KeyPath<U> path;
  if (!path.push_steal(first, where)) return false;
  ++p_;
  skip_ws();
  if (!key(path) || !equals_sign()) return false;
  typename S::Held v = S::Held::steal(value<S>(depth));
  return v && insert<S>(table, path, v.get(), scope);
}

// Dotted keys walk through tables they created themselves (in the same scope) and through
// tables only implied by a header; the last part must be new.
template <class F>
template <class S>
bool Parser<F>::insert(typename S::Out table, const KeyPath<U>& path, typename S::Out value,
                       uint32_t scope) {
  const size_t n = path.size();
  for (size_t i = 0; i + 1 < n; ++i) {
    PyObject* part = path.part(i);
    if constexpr (std::is_same_v<S, Nodes>) {
      const Py_hash_t hash = str_hash(part);
      if (hash == -1) return false;
      Node* child = node_find(table, part, hash);
      if (child == nullptr) {
        table = new_table(table, part, Kind::kDotted, scope);
        if (table == nullptr) return false;
      } else if (child->kind == NodeKind::kTable && child->dotted && child->scope == scope) {
        table = child;
      } else {
        return fail(path.where(i), "Cannot add keys to %R with a dotted key: it is %s", part,
                    child->kind == NodeKind::kTable   ? "an inline table"
                    : child->kind == NodeKind::kArray ? "an array"
                                                      : "a value");
      }
      continue;
    } else {
      PyObject* child = PyDict_GetItemWithError(table, part);  // borrowed; str keys run no code
      if (child == nullptr) {
        if (PyErr_Occurred()) return false;
        table = new_table(table, part, Kind::kDotted, scope);
        if (table == nullptr) return false;
        continue;
      }
      TableInfo* info = PyDict_CheckExact(child) ? tables_.find(child) : nullptr;
      if (info != nullptr && info->kind == Kind::kImplicit && scope == 0) {
        info->kind = Kind::kDotted;
      } else if (info == nullptr || info->kind != Kind::kDotted || info->scope != scope) {
        return fail(path.where(i), "Cannot add keys to %R with a dotted key: it is %s", part,
                    what_is(child, info));
      }
      table = child;
    }
  }
  return set_new<S>(table, path.part(n - 1), value, path.where(n - 1));
}

}  // namespace ondrel::decoder
