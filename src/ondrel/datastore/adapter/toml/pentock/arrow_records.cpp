// Records from Arrow: each row of an imported stream written as one inline table, straight
// from the column buffers. The schema is read once; each value is written by its field's kind
// with no Python object made (a named time zone's offset is the one call into Python).
// The text is the dict path's for pyarrow's to_pylist() of the same rows.
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "ondrel/_native/arrow_import.hpp"
#include "ondrel/_native/column_types.hpp"
#include "ondrel/_native/errors.hpp"
#include "ondrel/datastore/adapter/toml/pentock/arrow_values.hpp"

namespace ondrel::pentock {

namespace {

using namespace arrowout;  // NOLINT(google-build-using-namespace): this file drives them

// Names the row and column of a failure in its message, keeping the exception's type.
[[gnu::cold, gnu::noinline]] bool locate(PyObject* table, int64_t row, const Field& column) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_RecursionError))
    return false;
  if (PyErr_ExceptionMatches(PyExc_UnicodeError) || PyErr_ExceptionMatches(PyExc_OSError)) {
    // Their constructors take more than a message: the place goes into a note.
    errors::add_note("while encoding tables.%U.records[%lld].%s", table,
                     static_cast<long long>(row), column.name.c_str());
    return false;
  }
  PyObject* exc = PyErr_GetRaisedException();
  Ref held = Ref::steal(exc);
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text) return false;
  PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "tables.%U.records[%lld].%s: %U", table,
               static_cast<long long>(row), column.name.c_str(), text.get());
  return false;
}

// The rest of a refusal's path, as the dict path names a record.
[[gnu::cold, gnu::noinline]] bool where_row(PyObject* table, int64_t row) {
  where::index(static_cast<Py_ssize_t>(row));
  where::field(".records");
  where::key(table);
  return where::field("tables");
}

template <bool Esc>
bool batch_to_buf(Buffer* buf, const Field& root, const ArrowArray* batch, PyObject* table,
                  int64_t first_row, Ctx& cx) {
  const size_t ncols = root.children.size();
  for (int64_t i = 0; i < batch->length; ++i) {
    const int64_t k = batch->offset + i;
    if (!reserve(buf, 6)) return false;
    put_unchecked(buf, tok::B_INDENT);
    put_unchecked(buf, "{ ");
    bool written = false;
    for (size_t c = 0; c < ncols; ++c) {
      const Field& f = root.children[c];
      const ArrowArray* ca = batch->children[c];
      if (!present(f, ca, k)) continue;
      const int64_t row = first_row + i;
      if (f.key_refused) return refuse_key<Esc>(buf, f) || where_row(table, row);
      if (!reserve(buf, 2 + f.key.size())) return false;
      if (written) put_unchecked(buf, tok::B_COMMA_SPACE);
      put_unchecked(buf, f.key.data(), f.key.size());
      written = true;
      if (!value<Esc>(buf, f, ca, k, cx)) {
        if (!where::active()) return locate(table, row, f);
        return where_name(f.name) || where_row(table, row);
      }
    }
    if (!put(buf, " },\n")) return false;
  }
  return true;
}

// The source's own error, or the stream's, with the table it was for.
[[gnu::cold, gnu::noinline]] bool stream_failed(PyObject* table) {
  errors::add_note("while reading the Arrow records of table %R", table);
  return false;
}

[[gnu::cold, gnu::noinline]] bool spent_reader(PyObject* table, PyObject* source) {
  PyErr_Format(PyExc_ValueError,
               "the Arrow records of table %R are a %.200s whose stream an earlier save or "
               "encode has taken: a reader is read once, and read again it would save a table "
               "without its rows; give a pyarrow Table (reader.read_all()) to save them more "
               "than once",
               table, Py_TYPE(source)->tp_name);
  return false;
}

struct ScratchOwner {
  Buffer* buf = common::buf_new(256);
  ~ScratchOwner() { common::buf_free(buf); }
};

[[gnu::cold, gnu::noinline]] bool not_readable_as(PyObject* table, PyObject* column,
                                                  PyObject* declared, const ArrowSchema* field) {
  const ArrowSchema* values = field->dictionary != nullptr ? field->dictionary : field;
  PyErr_Format(PyExc_TypeError,
               "column %R of table %R is declared %R, but its Arrow field is %s, which does not "
               "read back as that type",
               column, table, declared,
               arrowin::type_name(values->format != nullptr ? values->format : "").c_str());
  return false;
}

// Each given column with a type the vocabulary knows, against the field of its name: a field
// that cannot read back as that type is refused before the table is written. Columns without
// a field, and fields without a column, pass.
bool check_declared(const CTableData* table, arrowin::Source& src) {
  const ArrowSchema* schema = src.schema.get();
  for (Py_ssize_t c = 0; c < table->num_columns; ++c) {
    const ColumnsData& col = table->columns[c];
    if (col.type == nullptr || !PyUnicode_Check(col.type) || !PyUnicode_Check(col.name)) continue;
    Utf8 name{}, type{};
    if (!utf8_of(col.name, &name, "column name") || !utf8_of(col.type, &type, "column type"))
      return false;
    for (size_t i = 0; i < src.root.children.size(); ++i) {
      const Field& f = src.root.children[i];
      if (f.name.size() != name.size || std::memcmp(f.name.data(), name.data, name.size) != 0)
        continue;
      coltype::ColumnType declared;
      if (!coltype::parse_column_type(std::string_view(type.data, type.size), declared))
        return false;
      const ArrowSchema* field = schema->children[i];
      const coltype::Readable verdict = coltype::readable_as(field, declared);
      if (PyErr_Occurred()) return false;
      if (verdict == coltype::Readable::No)
        return not_readable_as(table->name, col.name, col.type, field);
    }
  }
  return true;
}

template <bool Esc>
bool open_source(const CTableData* table, arrowin::Source& src) {
  PyObject* name = table->name;
  const int spent = arrow::take_stream_once(table->arrow);
  if (spent < 0) return stream_failed(name);
  if (spent > 0) return spent_reader(name, table->arrow);
  if (!arrow::import_stream(table->arrow, src.stream)) return stream_failed(name);
  const int rc = src.stream->get_schema(src.stream.get(), src.schema.get());
  if (rc != 0) {
    arrow::raise_stream_error(src.stream.get(), rc, "reading the Arrow schema failed");
    return stream_failed(name);
  }
  if (!arrowin::read_schema(src.schema.get(), name, Esc, src.root))
    return PyErr_ExceptionMatches(PyExc_MemoryError) ? stream_failed(name) : false;
  return check_declared(table, src);
}

template <bool Esc>
bool records_to_buf(Buffer* buf, PyObject* name, arrowin::Source& src, bool toml_datetimes) {
  ScratchOwner scratch;
  if (scratch.buf == nullptr) return no_memory();
  Ctx cx{toml_datetimes, scratch.buf};
  int64_t rows = 0;
  for (;;) {
    arrow::ArrayOwner batch;
    const int rc = src.stream->get_next(src.stream.get(), batch.get());
    if (rc != 0) {
      arrow::raise_stream_error(src.stream.get(), rc, "reading the Arrow stream failed");
      return stream_failed(name);
    }
    if (!batch.live()) return true;  // the end of the stream
    if (!arrowin::check_batch(batch.get(), src.root, name)) return false;
    if (!batch_to_buf<Esc>(buf, src.root, batch.get(), name, rows, cx)) return false;
    rows += batch->length;
  }
}

}  // namespace

// The schema's child counts size vectors: a count no vector can hold (length_error), or no
// memory, must not unwind into the interpreter.
template <bool Esc>
bool arrow_open(const CTableData* table, arrowin::Source& source) {
  try {
    return open_source<Esc>(table, source);
  } catch (const std::bad_alloc&) {
    return no_memory() || stream_failed(table->name);
  } catch (const std::length_error&) {
    return no_memory() || stream_failed(table->name);
  }
}

template <bool Esc>
bool arrow_records_to_buf(Buffer* buf, const CTableData* table, arrowin::Source& source,
                          bool toml_datetimes) {
  try {
    return records_to_buf<Esc>(buf, table->name, source, toml_datetimes);
  } catch (const std::bad_alloc&) {
    return no_memory() || stream_failed(table->name);
  }
}

template bool arrow_open<false>(const CTableData*, arrowin::Source&);
template bool arrow_open<true>(const CTableData*, arrowin::Source&);
template bool arrow_records_to_buf<false>(Buffer*, const CTableData*, arrowin::Source&, bool);
template bool arrow_records_to_buf<true>(Buffer*, const CTableData*, arrowin::Source&, bool);

}  // namespace ondrel::pentock
