// The TOML document: header section, one section per table, column entries and records.
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "ondrel/_native/column_types.hpp"
#include "ondrel/_native/errors.hpp"
#include "ondrel/datastore/adapter/toml/pentock/arrow_schema.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"

namespace ondrel::pentock {

namespace {

// Adds the table (and column) to a failure so the caller can find the bad field: to the path
// of a refusal, else as a note.
[[gnu::cold, gnu::noinline]] bool add_context(PyObject* table_name, Py_ssize_t column) {
  if (column >= 0) where::index(column);
  where::field(".columns");
  where::key(table_name);
  where::field("tables");
  if (column >= 0)
    errors::add_note("while encoding column %zd of table %R", column, table_name);
  else
    errors::add_note("while encoding table %R", table_name);
  return false;
}

[[gnu::cold, gnu::noinline]] bool refused_in_record(PyObject* table_name, Py_ssize_t index) {
  where::index(index);
  where::field(".records");
  where::key(table_name);
  return where::field("tables");
}

[[gnu::cold, gnu::noinline]] bool raise_record_not_dict(PyObject* table_name, Py_ssize_t index,
                                                        PyObject* record) {
  PyErr_Format(PyExc_TypeError, "record %zd of table %R must be a dict, not %.200s", index,
               table_name, Py_TYPE(record)->tp_name);
  return false;
}

// key = "value"; `part` names the field in the path of a refusal.
template <bool Esc, size_t N>
inline bool char_to_str(Buffer* buf, const char (&key)[N], PyObject* value, const char* what,
                        const char* part) {
  if (!reserve(buf, N - 1 + 3)) return false;
  put_unchecked(buf, key);
  put_unchecked(buf, tok::B_EQUALS);
  if (!_escaped_quoted_value<Esc>(buf, value, what)) return where::field(part);
  return true;
}

// key = true
template <size_t N>
inline bool char_true(Buffer* buf, const char (&key)[N]) {
  if (!reserve(buf, N - 1 + 3 + 4)) return false;
  put_unchecked(buf, key);
  put_unchecked(buf, tok::B_EQUALS);
  put_unchecked(buf, tok::B_TRUE);
  return true;
}

template <bool Esc>
bool header_to_buf(Buffer* buf, const HeaderData* header) {
  if (!put(buf, tok::B_HEADER_SECTION)) return false;
  if (!put(buf, tok::B_VERSION_EQ)) return false;
  if (!_escaped_quoted_value<Esc>(buf, header->version, "version"))
    return where::field(".version") || where::field("header");
  if (!insert_newline(buf)) return false;
  if (!put(buf, tok::B_SCHEMA_VERSION_EQ)) return false;
  if (!_escaped_quoted_value<Esc>(buf, header->schema_version, "schema_version"))
    return where::field(".schema_version") || where::field("header");
  if (!insert_newline(buf)) return false;
  if (!put(buf, tok::B_TABLES_EQ)) return false;
  if (!insert_open_bracket(buf)) return false;
  for (Py_ssize_t i = 0; i < header->num_tables; ++i) {
    if (i != 0 && !insert_comma_space(buf)) return false;
    if (!_escaped_quoted_value<Esc>(buf, header->table_list[i], "a table name"))
      return where::index(i) || where::field(".tables") || where::field("header");
  }
  return put(buf, "]\n");
}

template <bool Esc>
bool _column_to_buf(Buffer* buf, const ColumnsData* col) {
  if (!put(buf, "{ ")) return false;
  if (!char_to_str<Esc>(buf, tok::B_NAME, col->name, "column name", ".name")) return false;
  if (col->type != nullptr) {
    if (!insert_comma_space(buf)) return false;
    if (!char_to_str<Esc>(buf, tok::B_TYPE, col->type, "column type", ".type")) return false;
  }
  if (col->nullable && !(insert_comma_space(buf) && char_true(buf, tok::B_NULLABLE))) return false;
  if (col->primary_key && !(insert_comma_space(buf) && char_true(buf, tok::B_PRIMARY_KEY)))
    return false;
  if (col->foreign_key != Py_None) {
    if (!insert_comma_space(buf)) return false;
    if (!char_to_str<Esc>(buf, tok::B_FOREIGN_KEY, col->foreign_key, "column foreign_key",
                          ".foreign_key"))
      return false;
  }
  if (col->unique && !(insert_comma_space(buf) && char_true(buf, tok::B_UNIQUE))) return false;
  if (col->autoincrement && !(insert_comma_space(buf) && char_true(buf, tok::B_AUTOINCREMENT)))
    return false;
  if (col->default_ != Py_None) {
    if (!reserve(buf, 2 + 7 + 3)) return false;
    put_unchecked(buf, tok::B_COMMA_SPACE);
    put_unchecked(buf, tok::B_DEFAULT);
    put_unchecked(buf, tok::B_EQUALS);
    if (!_value_to_buf<Esc>(buf, col->default_)) return where::field(".default");
  }
  if (col->comment != Py_None) {
    if (!insert_comma_space(buf)) return false;
    if (!char_to_str<Esc>(buf, tok::B_COMMENT, col->comment, "column comment", ".comment"))
      return false;
  }
  return put(buf, " }");
}

template <bool Esc>
bool columns_to_buf(Buffer* buf, const CTableData* table) {
  if (!put(buf, tok::B_COLUMNS_EQ) || !put(buf, "[\n")) return false;
  for (Py_ssize_t i = 0; i < table->num_columns; ++i) {
    if (!insert_indent(buf)) return false;
    if (!_column_to_buf<Esc>(buf, &table->columns[i])) return add_context(table->name, i);
    if (!put(buf, ",\n")) return false;
  }
  return put(buf, "]\n");
}

// The column an Arrow field declares: its name, its type in the vocabulary (none for a type
// no name fits) and whether it may be null. The name reads as the records' key for it: raw
// when the key is raw. A name that cannot stand raw is refused at the first value that has it
// (as the dict path refuses the key); until then it is declared escaped. The type is ours, so
// it is always escaped.
template <bool Esc>
bool arrow_column_to_buf(Buffer* buf, const arrowin::Field& f, const ArrowSchema* schema,
                         std::string& type) {
  if (!reserve(buf, 2 + 4 + 3)) return false;
  put_unchecked(buf, "{ ");
  put_unchecked(buf, tok::B_NAME);
  put_unchecked(buf, tok::B_EQUALS);
  if (!(f.key_refused ? write_quoted_utf8<true>(buf, f.name.data(), f.name.size())
                      : write_quoted_utf8<Esc>(buf, f.name.data(), f.name.size())))
    return where::field(".name");
  coltype::ColumnType t;
  if (!coltype::type_of_arrow(schema, t) || !coltype::canonical_text(t, type)) return false;
  if (!type.empty()) {
    if (!insert_comma_space(buf) || !put(buf, tok::B_TYPE) || !insert_equals(buf)) return false;
    if (!write_quoted_utf8<true>(buf, type.data(), type.size())) return false;
  }
  if ((schema->flags & ARROW_FLAG_NULLABLE) != 0 &&
      !(insert_comma_space(buf) && char_true(buf, tok::B_NULLABLE)))
    return false;
  return put(buf, " }");
}

// A table whose records are Arrow: the stream is taken and its schema read first, so that
// empty columns are declared from the fields and given ones are checked against them.
template <bool Esc>
bool arrow_table_to_buf(Buffer* buf, const CTableData* table) {
  arrowin::Source source;
  if (!arrow_open<Esc>(table, source)) return false;
  if (table->num_columns != 0) {
    if (!columns_to_buf<Esc>(buf, table)) return false;
  } else {
    if (!put(buf, tok::B_COLUMNS_EQ) || !put(buf, "[\n")) return false;
    std::string type;
    for (size_t i = 0; i < source.root.children.size(); ++i) {
      if (!insert_indent(buf)) return false;
      if (!arrow_column_to_buf<Esc>(buf, source.root.children[i], source.schema->children[i], type))
        return add_context(table->name, static_cast<Py_ssize_t>(i));
      if (!put(buf, ",\n")) return false;
    }
    if (!put(buf, "]\n")) return false;
  }
  if (!put(buf, tok::B_RECORDS_EQ) || !put(buf, "[\n")) return false;
  if (!arrow_records_to_buf<Esc>(buf, table, source, toml_datetimes_now())) return false;
  return put(buf, "]\n");
}

template <bool Esc>
bool _table_to_buf(Buffer* buf, const CTableData* table, KeyCache& keys) {
  if (!put(buf, tok::B_TABLES_DOT)) return false;
  if (!write_key<Esc>(buf, table->name, "a table name"))
    return where::key(table->name, true) || where::field("tables");
  if (!put(buf, "]\n")) return false;

  if (table->arrow != nullptr) return arrow_table_to_buf<Esc>(buf, table);
  if (!columns_to_buf<Esc>(buf, table)) return false;
  if (!put(buf, tok::B_RECORDS_EQ) || !put(buf, "[\n")) return false;
  for (Py_ssize_t i = 0; i < table->num_records; ++i) {
    PyObject* record = table->records[i];  // kept alive by the snapshot
    if (!PyDict_Check(record)) return raise_record_not_dict(table->name, i, record);
    if (!insert_indent(buf)) return false;
    if (!record_to_buf<Esc>(buf, record, keys)) return refused_in_record(table->name, i);
    if (!put(buf, ",\n")) return false;
  }
  return put(buf, "]\n");
}

// Without escaping, table names that differ as written may read as one ('a' and '\\u0061'),
// and a reader refuses the second [tables.…] header. Only names with a backslash are read.
[[gnu::cold, gnu::noinline]] bool raw_table_names_distinct(const CUnifiedData* data) {
  try {
    std::unordered_map<std::string, PyObject*> seen;
    for (Py_ssize_t i = 0; i < data->num_tables; ++i) {
      PyObject* name = data->tables[i].name;
      Utf8 u{};
      if (!utf8_of(name, &u, "a table name")) return false;
      std::string read(u.data, u.size);
      if (u.size != 0 && std::memchr(u.data, '\\', u.size) != nullptr) {
        const size_t n = common::read_raw_escapes(u.data, u.size, read.data());
        if (n == common::kRawOk) continue;  // refused where it is written
        read.resize(n);
      }
      auto [it, fresh] = seen.emplace(read, name);
      if (!fresh) {
        // The name with the escape is named, as a refused key is.
        const bool later = u.size != 0 && std::memchr(u.data, '\\', u.size) != nullptr;
        PyObject* other = later ? it->second : name;
        Utf8 o{};
        if (!utf8_of(other, &o, "a table name")) return false;
        PyErr_Format(PyExc_ValueError,
                     "tables[%R]: the key holds escapes that read as '%s', a table name the "
                     "document has already; pass escape_strings=True to have it escaped",
                     later ? name : it->second, std::string(o.data, o.size).c_str());
        return false;
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    return no_memory();
  }
}

bool any_backslash(const CUnifiedData* data) {
  for (Py_ssize_t i = 0; i < data->num_tables; ++i) {
    Utf8 u{};
    if (!utf8_of(data->tables[i].name, &u, "a table name")) {
      PyErr_Clear();  // raised again where the name is written, with its place
      return false;
    }
    if (u.size != 0 && std::memchr(u.data, '\\', u.size) != nullptr) return true;
  }
  return false;
}

template <bool Esc>
bool encode_document(CUnifiedData* data, Buffer* buf) {
  if constexpr (!Esc) {
    if (any_backslash(data) && !raw_table_names_distinct(data)) return false;
  }
  if (!header_to_buf<Esc>(buf, &data->header)) return false;
  KeyCache keys;
  for (Py_ssize_t i = 0; i < data->num_tables; ++i) {
    if (!insert_newline(buf)) return false;
    if (!_table_to_buf<Esc>(buf, &data->tables[i], keys)) return false;
  }
  return true;
}

}  // namespace

size_t estimate_buffer_size(const CUnifiedData* data) {
  size_t total_records = 0;
  bool wrapped = false;
  for (Py_ssize_t i = 0; i < data->num_tables; ++i) {
    // Arrow rows come from a __len__, which may report anything.
    wrapped |= __builtin_add_overflow(
        total_records, static_cast<size_t>(data->tables[i].num_records), &total_records);
    wrapped |= __builtin_add_overflow(
        total_records, static_cast<size_t>(data->tables[i].arrow_rows), &total_records);
  }
  // About a typical record: growth doubles past it, while a block far larger than the document
  // would be too large to keep for the next call. Saturates instead of wrapping.
  size_t estimate, part;
  if (wrapped || __builtin_mul_overflow(total_records, size_t{256}, &estimate) ||
      __builtin_mul_overflow(static_cast<size_t>(data->num_tables), size_t{500}, &part) ||
      __builtin_add_overflow(estimate, part, &estimate) ||
      __builtin_add_overflow(estimate, size_t{4096}, &estimate))
    return SIZE_MAX;
  return estimate < 65536 ? 65536 : estimate;
}

namespace {

thread_local bool t_toml_datetimes = false;

// Sets the mode for one encode and restores the outer one (an encode nested in a __str__).
class DatetimesMode {
 public:
  explicit DatetimesMode(bool toml) : outer_(std::exchange(t_toml_datetimes, toml)) {}
  DatetimesMode(const DatetimesMode&) = delete;
  DatetimesMode& operator=(const DatetimesMode&) = delete;
  ~DatetimesMode() { t_toml_datetimes = outer_; }

 private:
  bool outer_;
};

}  // namespace

bool toml_datetimes_now() { return t_toml_datetimes; }

bool _encode_to_buffer(CUnifiedData* data, Buffer* buf, int escape_strings, bool toml_datetimes) {
  DatetimesMode mode(toml_datetimes);
  if (escape_strings ? encode_document<true>(data, buf) : encode_document<false>(data, buf))
      [[likely]]
    return true;
  where::finish();
  return false;
}

}  // namespace ondrel::pentock
