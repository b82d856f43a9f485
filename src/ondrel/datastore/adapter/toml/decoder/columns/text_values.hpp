// Values of declared columns read from the text the writer wrote for them: decimals, bytes,
// and dates, times and date-times (str() text), exactly or not at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ondrel/_native/column_types.hpp"
#include "ondrel/datastore/adapter/toml/decoder/columns/buffers.hpp"

namespace ondrel::decoder::text {

// The decimal's coefficient at the type's scale, as the little-endian two's complement Arrow
// holds (16 bytes, or 32 above precision 38, into `out`). False when the value has more
// fraction digits than the scale or more digits than the precision, or is not a decimal.
bool decimal_of_text(const char* s, size_t n, const coltype::ColumnType& t, unsigned char* out);
bool decimal_of_int(int64_t v, const coltype::ColumnType& t, unsigned char* out);

// The bytes of repr() text (b'..' or b".."), appended to `out` (which has room for n bytes);
// false when the text is not such a literal.
bool bytes_repr(const char* s, size_t n, Buf& out);

// A DATE (days), TIME or TIMESTAMP (in the type's unit) from ISO text: str() of a date, time
// or datetime, 'T' or ' ' between date and time, up to nine fraction digits, an offset (or Z)
// for TIMESTAMP WITH TIME ZONE only. False when not such text or not exact in the unit.
bool temporal_of_text(const char* s, size_t n, const coltype::ColumnType& t, int64_t* out);

}  // namespace ondrel::decoder::text
