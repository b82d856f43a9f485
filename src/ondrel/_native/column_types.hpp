// The column-type vocabulary of a store: the `type` text of a table's `columns` entries, the
// Arrow type each name reads as, the name each Arrow type is written as, and the text of the
// values TOML has no form for. The reader (decoder) and the writer (pentock) both use it.
//
// API (stable):
//   parse_column_type(text, out)   `type` text -> ColumnType; Kind::Unknown keeps inference.
//                                  Case and runs of spaces do not matter, a length or precision
//                                  may follow a name (`varchar(255)`), aliases are accepted and
//                                  an unknown name falls back to SQLite's affinity rules.
//   canonical_text(type, out)      the canonical spelling ("BIGINT", "DECIMAL(10,2)",
//                                  "TIMESTAMP_MS", "BIGINT[]", "STRUCT(a BIGINT, b VARCHAR)",
//                                  "MAP(VARCHAR, BIGINT)"); empty for Unknown.
//   type_of_arrow(schema, out)     the vocabulary type an Arrow field is written as (format,
//                                  children, the arrow.json / arrow.uuid extension metadata;
//                                  a dictionary by its values); Unknown when no name fits
//                                  (null, unions), and then no `type` is written.
//   readable_as(schema, type)      whether a field of that schema reads back as `type`: Yes,
//                                  ByValue (a narrower type: each value must fit, as the reader
//                                  checks), or No.
//   arrow_format(type)             the Arrow format string a declared type is read as.
// All of them hold the GIL; false means an exception is set (MemoryError, RecursionError).
//
// Text forms of the values TOML has no form for (quoted TOML strings):
//   DECIMAL   str() of the Decimal: "12.30", "-0.001", "1E+3".
//   BLOB      repr() of the bytes: b'..' (b".." when the bytes hold ' and no "), escapes
//             \\ \' \" \t \n \r \xhh.
//   UUID      the canonical text, lower case: "0f8fad5b-d9cb-469f-a165-70867728950e".
//   INTERVAL  "P<months>M<days>DT<seconds>S", each part signed, the seconds exact with up to
//             nine fraction digits and no trailing zeros: "P14M-3DT4.000000005S", "P0M0DT0S".
//   DURATION  "PT<seconds>S" in the same way: "PT-90061.5S", "PT0.000001S".
//   Temporal values are TOML date-times, or the str() text of the date, time or datetime.
// The reader also takes the fuller ISO 8601 form for INTERVAL and DURATION: an optional '-',
// then P[nY][nM][nW][nD][T[nH][nM][n.fS]] (no years or months in a DURATION).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ondrel/_native/arrow_abi.hpp"

namespace ondrel::coltype {

enum class Kind : uint8_t {
  Unknown,  // no declared type: the reader infers it from the values
  Boolean,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float32,
  Float64,
  Decimal,
  Varchar,
  Blob,
  Date,
  Time,
  Timestamp,    // no zone
  TimestampTz,  // an instant, read as UTC
  Json,
  Uuid,
  Interval,  // Arrow month_day_nano
  Duration,
  List,
  Struct,
  Map,
};

enum class Unit : uint8_t { S, MS, US, NS };

struct ColumnType {
  Kind kind = Kind::Unknown;
  Unit unit = Unit::US;   // Time (US or NS), Timestamp, TimestampTz, Duration
  uint8_t precision = 0;  // Decimal: 1..76 (decimal256 above 38)
  uint8_t scale = 0;      // Decimal: 0..precision
  // List: the element; Map: key then value; Struct: the fields, named in `names`.
  std::vector<ColumnType> children;
  std::vector<std::string> names;  // UTF-8
};

// Levels of lists, structs and maps a type may nest (pyarrow's import limit); deeper text is
// not a type.
constexpr uint32_t kMaxDepth = 63;

// Fixed-width bytes of one value as the reader builds it (0 for variable or nested types).
size_t value_width(const ColumnType& t);

bool parse_column_type(std::string_view text, ColumnType& out);
bool canonical_text(const ColumnType& t, std::string& out);
bool type_of_arrow(const ArrowSchema* schema, ColumnType& out);

// The schema node's extension name (its ARROW:extension:name metadata), or empty.
std::string_view extension_name(const ArrowSchema* schema);

enum class Readable : uint8_t { No, ByValue, Yes };
// Readable::No also when an exception is set (check PyErr_Occurred()).
Readable readable_as(const ArrowSchema* schema, const ColumnType& declared);

// A static string; decimals and zoned timestamps give theirs in `scratch` (kept by the caller).
const char* arrow_format(const ColumnType& t, std::string& scratch);
// The extension metadata of the types that carry one (JSON, UUID), else empty: the binary
// key/value encoding of ARROW:extension:name.
const std::string& arrow_metadata(const ColumnType& t);

// Text forms (no quotes). Buffers of kTextMax bytes always suffice.
constexpr size_t kTextMax = 64;
size_t format_uuid(const unsigned char in[16], char* out);
size_t format_interval(int32_t months, int32_t days, int64_t nanos, char* out);
size_t format_duration(int64_t value, Unit unit, char* out);
// False when the text is not of the form, or the value is not exact in the unit or out of range.
bool parse_uuid(const char* s, size_t n, unsigned char out[16]);
bool parse_interval(const char* s, size_t n, int32_t* months, int32_t* days, int64_t* nanos);
bool parse_duration(const char* s, size_t n, Unit unit, int64_t* value);

}  // namespace ondrel::coltype
