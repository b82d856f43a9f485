// Date and time text: the str() forms of datetime, date, time and timedelta (what the writer
// writes for those objects and for Arrow's temporal values), and TOML date-times
// (datetimes="toml"). Arrow values are written from their integers, with no Python object.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ondrel/_native/civil.hpp"
#include "ondrel/_native/common.hpp"

namespace ondrel::pentock::temporal {

using common::Buffer;

using Civil = civil::Date;
using civil::civil_from_days;  // days since 1970-01-01

// A point split for text: whole seconds from the epoch (or midnight) and the nanoseconds in
// the second; `ns_unit` says the value had nanoseconds to show.
struct Split {
  int64_t seconds;
  uint32_t nanos;
  bool ns_unit;
};
// value in unit 0 s, 1 ms, 2 us, 3 ns, floored into seconds and nanoseconds.
Split split(int64_t value, int unit);

// Offsets: seconds east of UTC and the microseconds beyond them (as utcoffset() gives them).
struct Offset {
  int32_t seconds;
  int32_t micros;
};

// Each appends or returns false with an exception set (OverflowError / ValueError when the
// value is outside what datetime can hold, as to_pylist() would fail).
// `toml`: TOML date-time text (bare, 'T' separator, Z or +HH:MM); else the quoted str() text.
bool date_days(Buffer* buf, int64_t days, bool toml);
bool time_of_day(Buffer* buf, Split t, bool toml);
// `offset` null: naive (local date-time).
bool timestamp(Buffer* buf, Split t, const Offset* offset, bool toml);

// Named time zones, through the interpreter's zoneinfo.
PyObject* zone_new(const char* name, size_t size);  // zoneinfo.ZoneInfo(name), or null
// The offset of `zone` at the instant `utc_seconds`; false with an exception set.
bool zone_offset(PyObject* zone, int64_t utc_seconds, Offset* out);

// datetimes="toml" for a datetime, date or time object (subclasses too): the TOML date-time.
// Returns 1 written, 0 not such an object (nothing written), -1 error.
int object_toml(Buffer* buf, PyObject* value);

}  // namespace ondrel::pentock::temporal
