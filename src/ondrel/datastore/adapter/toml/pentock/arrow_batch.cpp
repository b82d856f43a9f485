// The check of each Arrow batch against the schema it was read with, so that reading it stays
// inside what it declares.
#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"

namespace ondrel::pentock::arrowin {

namespace {

// Buffers a layout has (validity first); -1 for the view layouts, which have a variable count.
int buffers_of(const Field& f) {
  if (f.values) return 2;
  switch (f.kind) {
    case Kind::Null: return 0;
    case Kind::Utf8:
    case Kind::LargeUtf8:
    case Kind::Binary:
    case Kind::LargeBinary: return 3;
    case Kind::Utf8View:
    case Kind::BinaryView: return -1;
    case Kind::Json: return f.storage == Kind::Utf8View ? -1 : 3;
    case Kind::ListView:
    case Kind::LargeListView: return 3;
    case Kind::FixedList:
    case Kind::Struct: return 1;
    default: return 2;
  }
}

[[gnu::cold]] bool bad_batch(PyObject* table, const Field& f, const char* what) {
  PyErr_Format(PyExc_ValueError, "table %R: malformed Arrow batch at field '%s' (%s)", table,
               f.name.c_str(), what);
  return false;
}

// `need`: the positions (from the array's own offset) its parent may read.
bool check(const ArrowArray* a, const Field& f, PyObject* table, int64_t need) {
  if (a == nullptr) return bad_batch(table, f, "missing array");
  if (a->length < 0 || a->offset < 0 || a->n_buffers < 0 || a->n_children < 0)
    return bad_batch(table, f, "negative length, offset or count");
  if (a->length < need) return bad_batch(table, f, "shorter than its parent needs");
  // Positions and byte offsets (up to 32 bytes a value, or a fixed width) stay in int64.
  int64_t end = 0, bytes = 0;
  if (__builtin_add_overflow(a->offset, a->length, &end) ||
      __builtin_mul_overflow(end, int64_t{f.kind == Kind::FixedBinary ? f.width : 32}, &bytes))
    return bad_batch(table, f, "offset and length too large");
  const int nb = buffers_of(f);
  // As pyarrow imports them: a null array may carry the validity slot older producers (and
  // polars) export, and a null count of -1 (unknown) without a bitmap means none.
  const bool legacy_null = f.kind == Kind::Null && !f.values && a->n_buffers == 1;
  if (nb >= 0 ? a->n_buffers != nb && !legacy_null : a->n_buffers < 3)
    return bad_batch(table, f, "wrong buffer count");
  if (a->n_buffers > 0 && a->buffers == nullptr) return bad_batch(table, f, "no buffers");
  if (a->null_count > 0 && nb != 0 && a->buffers[0] == nullptr && a->length > 0)
    return bad_batch(table, f, "nulls without a validity bitmap");
  for (int64_t i = 1; i < a->n_buffers; ++i)
    if (a->buffers[i] == nullptr && a->length > 0 && i < (nb >= 0 ? nb : 2))
      return bad_batch(table, f, "a data buffer is missing");
  if (f.values) {
    if (a->dictionary == nullptr) return bad_batch(table, f, "no dictionary");
    if (a->n_children != 0) return bad_batch(table, f, "wrong child count");
    return check(a->dictionary, *f.values, table, 0);
  }
  if (static_cast<size_t>(a->n_children) != f.children.size() ||
      (a->n_children > 0 && a->children == nullptr))
    return bad_batch(table, f, "wrong child count");
  for (size_t i = 0; i < f.children.size(); ++i) {
    // A struct's children are read at the parent's positions; a fixed-size list's at a
    // multiple; variable lists check each element's range against the child's length.
    int64_t child_need = 0;
    if (f.kind == Kind::Struct) {
      child_need = end;
    } else if (f.kind == Kind::FixedList) {
      if (__builtin_mul_overflow(end, int64_t{f.width}, &child_need))
        return bad_batch(table, f, "too long");
    }
    if (!check(a->children[i], f.children[i], table, child_need)) return false;
  }
  return true;
}

}  // namespace

bool check_batch(const ArrowArray* batch, const Field& root, PyObject* table_name) {
  return check(batch, root, table_name, 0);
}

}  // namespace ondrel::pentock::arrowin
