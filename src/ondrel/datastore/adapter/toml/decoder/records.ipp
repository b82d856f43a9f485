// The records array of a [tables.<name>] table read straight into Arrow columns: each record
// is read into arena nodes by the value grammar, then stored in the column builders, and the
// arena is reused for the next record. Part of parser.cpp.

namespace ondrel::decoder {

template <class F>
PyObject* Parser<F>::records_array() {
  // Columns declared after the records: read the records again at the end of the document.
  const bool late = declared_ && !rereading_ && !PyDict_GetItemString(records_table_, "columns");
  if (late) {
    try {
      late_.push_back(
          Late{Ref::borrow(records_table_), Ref::borrow(records_name_.get()), p_, false});
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
  }
  Ref target = Ref::steal(records_builder_new(records_table_, declared_));
  if (!target) return nullptr;
  Column* root = records_builder(target.get());
  bool skipping = false;  // only the grammar is checked, the second read stores the records
  defer_big_ = late;
  ++p_;
  for (size_t index = 0;; ++index) {
    if (!skip_blank()) return nullptr;
    if (cur() == ']') break;
    Node* record = value<Nodes>(1);
    if (record == nullptr) return nullptr;
    if (!skipping && !store_record(root, record, index)) {
      // An int beyond int64 may yet be a UBIGINT the columns declare further on.
      if (!late || PyErr_Occurred()) return nullptr;
      note_big(nullptr);
      skipping = late_.back().again = true;
    }
    nodes_.reset();
    const int next = array_next();
    if (next < 0) return nullptr;
    if (next == 0) break;
  }
  defer_big_ = false;
  ++p_;
  return target.release();
}

template <class F>
bool Parser<F>::store_record(Column* root, const Node* record, size_t index) {
  if (record->kind != NodeKind::kTable) {
    PyErr_Format(PyExc_ValueError, "tables.%S.records[%zu] is not a table (a %s)",
                 records_name_.get(), index, python_type_name(record->kind));
    return false;
  }
  if (!root->begin_struct()) return false;
  for (const Node* item = record->first; item != nullptr; item = item->next) {
    bool duplicate = false;  // keys were checked as the record was read
    Column* column = root->field(item->key, &duplicate);
    if (column == nullptr) return false;
    if (!store_value(column, item, 0)) {
      if (!PyErr_Occurred()) {
        if (defer_big_) return false;  // the caller reads the records again at the end
        raise_big_int(records_name_.get(), index, item->key);
      } else if (take_misfit()) {
        misfit_where(records_name_.get(), index, item->key);
      }
      return false;
    }
  }
  return root->end_struct();
}

// Appends one value; false with an exception set, or false without one for an integer beyond
// 64 bits (the caller names where it stands).
template <class F>
bool Parser<F>::store_value(Column* column, const Node* v, int depth) {
  switch (v->kind) {
    case NodeKind::kString: {
      // In the arena or in the document; UTF-8 goes in as it is, code units are encoded.
      auto append = [&](const auto* text) {
        if constexpr (F::utf8) {
          return column->append_string_utf8(reinterpret_cast<const char*>(text), v->text.len);
        } else {
          return column->append_string_units(text, v->text.len);
        }
      };
      return v->in_arena ? append(nodes_.text_at(v)) : append(static_cast<const U*>(v->text.at));
    }
    case NodeKind::kInt: return column->append_int(v->i);
    case NodeKind::kBigInt: {
      // The digits without '_' or '+', in the base the node notes.
      std::string digits;
      try {
        for (size_t i = 0; i < v->text.len; ++i) {
          const auto c = static_cast<uint32_t>(static_cast<const U*>(v->text.at)[i]);
          if (c != '_' && c != '+') digits += static_cast<char>(c);
        }
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
      }
      Ref big = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, v->offset));
      if (!big) return false;
      const Appended r = column->append_big(big.get());
      return r == Appended::Ok;  // Overflow: no exception, the caller says where
    }
    case NodeKind::kFloat: return column->append_float(v->d);
    case NodeKind::kBool: return column->append_bool(v->i != 0);
    case NodeKind::kOffsetDateTime:
      return column->append_offset_datetime(v->i, v->offset, static_cast<int>(v->scope));
    case NodeKind::kLocalDateTime:
      return column->append_local_datetime(v->i, static_cast<int>(v->scope));
    case NodeKind::kDate: return column->append_date(static_cast<int32_t>(v->i));
    case NodeKind::kTime: return column->append_time(v->i, static_cast<int>(v->scope));
    case NodeKind::kArray:
    case NodeKind::kTable: break;
  }
  // The reader's own guard bounded this nesting; the builders recurse as deep again.
  stack::RecursionGuard guard(" while storing a TOML record", depth >= kUnguardedDepth);
  if (!guard) return false;
  if (v->kind == NodeKind::kArray && column->is_map()) return store_pairs(column, v, depth);
  if (v->kind == NodeKind::kArray) {
    Column* items = column->begin_list();
    if (items == nullptr) return false;
    for (const Node* item = v->first; item != nullptr; item = item->next)
      if (!store_value(items, item, depth + 1)) return false;
    return column->end_list();
  }
  if (!column->begin_struct()) return false;
  for (const Node* item = v->first; item != nullptr; item = item->next) {
    bool duplicate = false;
    Column* field = column->field(item->key, &duplicate);
    if (field == nullptr || !store_value(field, item, depth + 1)) return false;
  }
  return column->end_struct();
}

// A declared map's value as the writer writes it: an array of [key, value] arrays.
template <class F>
bool Parser<F>::store_pairs(Column* column, const Node* v, int depth) {
  Column* entries = column->begin_map();
  for (const Node* pair = v->first; pair != nullptr; pair = pair->next) {
    if (pair->kind != NodeKind::kArray || pair->count != 2) return column->not_a_pair();
    if (!entries->begin_struct() || !store_value(entries->field_at(0), pair->first, depth + 1) ||
        !store_value(entries->field_at(1), pair->first->next, depth + 1) || !entries->end_struct())
      return false;
  }
  return column->end_list();
}

// Records read before their table's columns: read again, now as the declared types.
template <class F>
bool Parser<F>::reread_late() {
  const U* resume = p_;
  rereading_ = true;
  for (Late& late : late_) {
    const bool typed = has_typed_columns(late.table.get());
    if (PyErr_Occurred()) return false;
    if (!typed && !late.again) continue;
    records_table_ = late.table.get();
    records_name_ = std::move(late.name);
    p_ = late.at;
    Ref records = Ref::steal(records_array());
    if (!records || PyDict_SetItemString(late.table.get(), "records", records.get()) < 0)
      return false;
  }
  late_.clear();
  rereading_ = false;
  p_ = resume;
  records_table_ = nullptr;
  return true;
}

}  // namespace ondrel::decoder
