// Column builders: lists, structs (fields by key) and the finished Arrow arrays, inferred or
// declared.
#include <cstring>
#include <new>

#include "ondrel/datastore/adapter/toml/decoder/columns/columns.hpp"

namespace ondrel::decoder {

namespace {

bool same_key(PyObject* a, PyObject* b) {
  // Both exact str: equal text means equal kind, length and units.
  return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
         PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
}

// The arrow.json extension's metadata, as a declared JSON column has it.
const std::string& json_metadata() {
  static const coltype::ColumnType kJson{.kind = coltype::Kind::Json};
  return coltype::arrow_metadata(kJson);
}

}  // namespace

// A JSON column's container value is built in a scratch column of one row, then written out
// as text.
bool Column::emit_scratch() {
  const bool ok = scratch_->json_at(0, data_);
  scratch_.reset();
  return ok && end_text_row();
}

// A JSON column builds a container value in a scratch column, then writes it as text.
bool Column::open_scratch() {
  try {
    scratch_ = make_child(std::string());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return scratch_ != nullptr;
}

Column* Column::begin_list() {
  if (decl_ != nullptr)
    return kind_ == ColumnKind::List ? child_.get() : (misfit_text("an array"), nullptr);
  if (!prepare(ColumnKind::List)) return nullptr;
  if (kind_ == ColumnKind::List) return child_.get();
  return open_scratch() ? scratch_->begin_list() : nullptr;
}

bool Column::end_list() {
  if (kind_ == ColumnKind::Json) return scratch_->end_list() && emit_scratch();
  return push_offset(child_->length()) && valid_row();
}

bool Column::begin_struct() {
  if (decl_ != nullptr && kind_ != ColumnKind::Struct) return misfit_text("a table");
  if (!prepare(ColumnKind::Struct)) return false;
  if (kind_ == ColumnKind::Struct) {
    order_.clear();
    hint_ = 0;
    return true;
  }
  return open_scratch() && scratch_->begin_struct();
}

namespace {

// Arrow field names are NUL-terminated: a name holding NUL would come out cut short.
bool field_name_ok(PyObject* key, const char* utf8, Py_ssize_t n) {
  if (std::memchr(utf8, '\0', static_cast<size_t>(n)) == nullptr) return true;
  PyErr_Format(PyExc_ValueError,
               "key %R holds a NUL character, which Arrow field names cannot hold", key);
  return false;
}

}  // namespace

Column* Column::add_field(PyObject* key) {
  Py_ssize_t n = 0;
  const char* utf8 = str_utf8(key, &n);
  if (utf8 == nullptr || !field_name_ok(key, utf8, n)) return nullptr;
  try {
    auto c = make_child(std::string(utf8, static_cast<size_t>(n)));
    if (!c) return nullptr;
    for (size_t i = 0; i < length_; ++i)
      if (!c->append_null()) return nullptr;
    keys_.push_back(Ref::borrow(key));
    fields_.push_back(std::move(c));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  return fields_.back().get();
}

Column* Column::field(PyObject* key, bool* duplicate) {
  *duplicate = false;
  if (kind_ == ColumnKind::Json) return scratch_->field(key, duplicate);
  const size_t n = fields_.size();
  size_t idx = n;
  // Records mostly repeat their keys in one order, often with the same key objects; a record
  // may leave keys out (the writer leaves out None), so the search goes forward first.
  if (hint_ < n && keys_[hint_].get() == key) {
    idx = hint_;
  } else {
    for (size_t i = hint_; i < n && idx == n; ++i)
      if (keys_[i].get() == key) idx = i;
    for (size_t i = 0; i < hint_ && i < n && idx == n; ++i)
      if (keys_[i].get() == key) idx = i;
    if (idx == n) {
      for (size_t i = 0; i < n && idx == n; ++i)
        if (same_key(keys_[i].get(), key)) idx = i;
      // The records' own key object from now on (a declared name is another object of the
      // same text): the next records find it by identity.
      if (idx != n) keys_[idx] = Ref::borrow(key);
    }
  }
  if (idx == n && decl_ != nullptr) {
    misfit(PyUnicode_FromFormat("a table with the key %R", key), true);
    return nullptr;
  }
  if (idx == n && add_field(key) == nullptr) return nullptr;
  Column* c = fields_[idx].get();
  if (c->length() > length_) {
    *duplicate = true;
    return nullptr;
  }
  // While a row takes its fields in field order (skipping some or not), that order is the
  // fields given so far and is not stored; the first field out of that order writes it down.
  if (idx < hint_ || !order_.empty()) {
    try {
      if (order_.empty())
        for (uint32_t i = 0; i < hint_; ++i)
          if (fields_[i]->length() > length_) order_.push_back(i);
      order_.push_back(static_cast<uint32_t>(idx));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  hint_ = idx + 1;
  return c;
}

bool Column::end_struct() {
  if (kind_ == ColumnKind::Json) return scratch_->end_struct() && emit_scratch();
  for (auto& f : fields_)
    if (f->length() == length_ && !f->append_null()) return false;
  // JSON text keeps each row's own key order; only rows that differ from field order say so.
  for (size_t i = 1; i < order_.size(); ++i) {
    if (order_[i] < order_[i - 1]) {
      try {
        row_orders_.emplace_back(length_, order_);
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
      }
      break;
    }
  }
  order_.clear();
  hint_ = 0;
  return valid_row();
}

bool Column::finish(ArrowNode& out) {
  if (decl_ != nullptr) return finish_declared(out);
  try {
    out.buffers.reserve(3);  // no push_back below throws after a take()
    out.name = name_;
    out.length = static_cast<int64_t>(length_);
    out.null_count = static_cast<int64_t>(kind_ == ColumnKind::Null ? length_ : null_count_);
    if (kind_ == ColumnKind::Null) return true;  // the null type has no buffers
    out.buffers.push_back(null_count_ != 0 ? valid_.take() : nullptr);
    switch (kind_) {
      case ColumnKind::Bool:
        out.format = "b";
        out.buffers.push_back(bools_.take());
        break;
      case ColumnKind::String:
      case ColumnKind::Json:
        out.format = large_ ? "U" : "u";
        if (kind_ == ColumnKind::Json) out.metadata = json_metadata();
        out.buffers.push_back(offsets_.take());
        out.buffers.push_back(data_.take());
        break;
      case ColumnKind::List:
        out.format = large_ ? "+L" : "+l";
        out.buffers.push_back(offsets_.take());
        out.children.emplace_back();
        if (!child_->finish(out.children.back())) return false;
        break;
      case ColumnKind::Struct:
        out.format = "+s";
        out.children.resize(fields_.size());
        for (size_t i = 0; i < fields_.size(); ++i)
          if (!fields_[i]->finish(out.children[i])) return false;
        break;
      default:
        out.format = kind_ == ColumnKind::Int       ? "l"
                     : kind_ == ColumnKind::Float   ? "g"
                     : kind_ == ColumnKind::TsUtc   ? "tsu:UTC"
                     : kind_ == ColumnKind::TsLocal ? "tsu:"
                     : kind_ == ColumnKind::Date    ? "tdD"
                                                    : "ttu";
        out.buffers.push_back(values_.take());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (size_t i = 1; i < out.buffers.size(); ++i)  // past the optional validity bitmap
    if (out.buffers[i] == nullptr) return PyErr_NoMemory(), false;
  return true;
}

// A declared column: the vocabulary's Arrow type, whatever the values were.
bool Column::finish_declared(ArrowNode& out) {
  if (!typed_ready()) return false;
  try {
    out.buffers.reserve(3);
    out.name = name_;
    out.length = static_cast<int64_t>(length_);
    out.null_count = static_cast<int64_t>(null_count_);
    std::string format;
    out.format = coltype::arrow_format(*decl_, format);
    out.owned_format = std::move(format);
    out.metadata = coltype::arrow_metadata(*decl_);
    out.buffers.push_back(null_count_ != 0 ? valid_.take() : nullptr);
    switch (kind_) {
      case ColumnKind::Bool: out.buffers.push_back(bools_.take()); break;
      case ColumnKind::String:
      case ColumnKind::Binary:
        if (large_) out.format = kind_ == ColumnKind::Binary ? "Z" : "U";
        out.buffers.push_back(offsets_.take());
        out.buffers.push_back(data_.take());
        break;
      case ColumnKind::List:
      case ColumnKind::Map:
        if (large_) {
          if (kind_ == ColumnKind::Map) {
            PyErr_SetString(PyExc_ValueError, "a map column holds more than 2**31-1 entries");
            return false;
          }
          out.format = "+L";
        }
        out.buffers.push_back(offsets_.take());
        out.children.emplace_back();
        if (!child_->finish(out.children.back())) return false;
        if (kind_ == ColumnKind::Map) {
          ArrowNode& entries = out.children.back();
          entries.required = true;
          entries.children[0].required = true;
        }
        break;
      case ColumnKind::Struct:
        out.children.resize(fields_.size());
        for (size_t i = 0; i < fields_.size(); ++i)
          if (!fields_[i]->finish(out.children[i])) return false;
        break;
      default: out.buffers.push_back(values_.take());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (size_t i = 1; i < out.buffers.size(); ++i)
    if (out.buffers[i] == nullptr) return PyErr_NoMemory(), false;
  return true;
}

bool Column::finish_records(const std::vector<Ref>& declared, ArrowNode& out) {
  std::vector<std::unique_ptr<Column>> ordered;
  try {
    for (const Ref& name : declared) {
      size_t idx = fields_.size();
      for (size_t i = 0; i < fields_.size() && idx == fields_.size(); ++i)
        if (fields_[i] && same_key(keys_[i].get(), name.get())) idx = i;
      if (idx < fields_.size()) {
        ordered.push_back(std::move(fields_[idx]));
        continue;
      }
      Py_ssize_t n = 0;
      const char* utf8 = str_utf8(name.get(), &n);
      if (utf8 == nullptr || !field_name_ok(name.get(), utf8, n)) return false;
      auto c = make_child(std::string(utf8, static_cast<size_t>(n)));
      if (!c) return false;
      for (size_t i = 0; i < length_; ++i)
        if (!c->append_null()) return false;
      ordered.push_back(std::move(c));
    }
    for (auto& f : fields_)
      if (f) ordered.push_back(std::move(f));
    out.format = "+s";
    out.length = static_cast<int64_t>(length_);
    out.buffers.push_back(nullptr);
    out.children.resize(ordered.size());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (size_t i = 0; i < ordered.size(); ++i)
    if (!ordered[i]->finish(out.children[i])) return false;
  return true;
}

}  // namespace ondrel::decoder
