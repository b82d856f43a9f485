// Records from Arrow: the schema of an imported stream read once into a tree of fields, each
// with the kind its values are written by, and the check of every batch against it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ondrel/_native/arrow_abi.hpp"
#include "ondrel/_native/arrow_import.hpp"
#include "ondrel/_native/ref.hpp"
#include "ondrel/datastore/adapter/toml/pentock/temporal.hpp"

namespace ondrel::pentock::arrowin {

enum class Kind : uint8_t {
  Null,
  Bool,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Utf8,
  LargeUtf8,
  Utf8View,
  Binary,
  LargeBinary,
  BinaryView,
  FixedBinary,
  Decimal,
  Date32,
  Date64,
  Time,
  Timestamp,
  Duration,
  List,
  LargeList,
  ListView,
  LargeListView,
  FixedList,
  Struct,
  Map,
  Json,      // the arrow.json extension over a string type (`storage`)
  Uuid,      // the arrow.uuid extension over fixed_size_binary(16)
  Interval,  // `unit`: 0 year_month, 1 day_time, 2 month_day_nano
};

struct Field {
  Kind kind = Kind::Null;
  std::string name;  // UTF-8, as the schema gives it
  std::string key;   // the key as written, with " = " (struct fields and columns)
  // Without escaping, a name that cannot stand raw: refused where a value of it is written,
  // as the dict path refuses the key.
  bool key_refused = false;
  std::string format;         // the schema's format string, for messages
  int unit = 0;               // temporal unit: 0 s, 1 ms, 2 us, 3 ns (intervals: see Kind)
  int32_t width = 0;          // fixed-size binary bytes, fixed-size list items, decimal bits
  int32_t scale = 0;          // decimal scale
  Kind storage = Kind::Utf8;  // Json: the string layout underneath
  // Timestamps: no zone, a fixed offset (UTC included), or a named zone read through zoneinfo.
  enum class Zone : uint8_t { None, Fixed, Named } zone = Zone::None;
  temporal::Offset fixed{0, 0};
  Ref named;
  // Dictionary-encoded: `kind` is the index type and `values` the dictionary's field.
  std::unique_ptr<Field> values;
  std::vector<Field> children;
};

// The Arrow records of one table while its section is written: the stream, taken once, its
// schema and the fields read from it (the columns in order).
struct Source {
  arrow::StreamOwner stream;
  arrow::SchemaOwner schema;
  Field root;
};

// Reads a stream's root schema (a struct of the columns) into `root`, rendering each key for
// the escaping mode. False with an exception set: TypeError naming the column and its Arrow
// type for types with no TOML form.
bool read_schema(const ArrowSchema* schema, PyObject* table_name, bool escape, Field& root);

// Arrow's name of the type of a format string, for messages: "int64 (format 'l')".
std::string type_name(std::string_view format);

// Renders each field's key for the escaping mode (arrow_keys.cpp); ValueError for a name that is
// not UTF-8, or two names of one struct that are one key.
bool render_keys(Field& root, PyObject* table, bool escape);

// Checks a batch's layout against the schema (buffer and child counts, lengths, dictionaries)
// so that reading it stays inside what it declares. False with ValueError set.
bool check_batch(const ArrowArray* batch, const Field& root, PyObject* table_name);

}  // namespace ondrel::pentock::arrowin
