"""Arrow columns into the types each database takes, and the database's columns back into
the declared Arrow types. Whole-array kernels only: no Python object per value."""

from __future__ import annotations

from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from ._arrow_json import from_json, to_json, uuid_from_text, uuid_to_text
from ._types import dialect_type, is_nested

__all__ = ["for_database", "from_database"]

_INT64_MAX = 2**63 - 1
_PG_WIDTHS = {
    "SMALLINT": pa.int16(),
    "INTEGER": pa.int32(),
    "BIGINT": pa.int64(),
    "REAL": pa.float32(),
    "DOUBLE PRECISION": pa.float64(),
}


def _ext(t: pa.DataType) -> str | None:
    return t.extension_name if isinstance(t, pa.BaseExtensionType) else None


def for_database(arr: Any, name: str, dialect: str, where: str) -> Any:
    """The column ``arr`` (declared as the canonical ``name``) as ``dialect`` ingests it."""
    t = arr.type
    if pa.types.is_dictionary(t):
        arr = arr.cast(t.value_type)
        t = arr.type
    if dialect != "sqlite":
        _whole_microseconds(arr, dialect, where)
    if dialect == "duckdb":
        return arr
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks()
    if dialect == "postgresql":
        if name == "JSON" or (is_nested(name) and not _pg_array(arr.type)):
            return to_json(arr)
        if name == "UBIGINT" or pa.types.is_uint64(t):
            return arr.cast(pa.decimal128(20, 0))
        # COPY's binary form is exact about widths: a BIGINT field fills an INTEGER column
        # only through a checked cast.
        width = _PG_WIDTHS.get(dialect_type(name, dialect) or "")
        if width is not None and t != width and (pa.types.is_integer(t) or pa.types.is_floating(t)):
            try:
                return arr.cast(width)
            except pa.ArrowInvalid as exc:
                raise ValueError(f"{where}: a value does not fit {name}: {exc}") from None
        return arr
    # SQLite: integers, doubles, text and blobs.
    if _ext(t) == "arrow.uuid":
        return uuid_to_text(arr)
    if _ext(t) is not None:
        return arr.cast(t.storage_type)
    if pa.types.is_unsigned_integer(t):
        top = pc.max(arr).as_py()
        if top is not None and top > _INT64_MAX:
            raise ValueError(f"{where}: {top} is beyond SQLite's 64-bit signed integers")
        return arr.cast(pa.int64())
    if pa.types.is_duration(t):
        return arr.cast(pa.int64())
    if pa.types.is_timestamp(t) and t.tz is not None:
        return arr.cast(pa.timestamp(t.unit, "UTC")).cast(pa.string())
    if pa.types.is_temporal(t) or pa.types.is_decimal(t):
        if t == pa.month_day_nano_interval():
            return to_json(arr)
        return arr.cast(pa.string())
    if pa.types.is_nested(t):
        return to_json(arr)
    if pa.types.is_large_string(t) or pa.types.is_string_view(t):
        return arr.cast(pa.string())
    return arr


def _whole_microseconds(arr: Any, dialect: str, where: str) -> None:
    """PostgreSQL keeps times to the microsecond, and DuckDB its intervals: a finer value is
    refused rather than cut."""
    t = arr.type
    nanos = getattr(t, "unit", None) == "ns" and (
        dialect == "postgresql" or pa.types.is_duration(t)
    )
    if t == pa.month_day_nano_interval():
        from ._arrow_json import interval_to_struct

        chunks = arr.chunks if isinstance(arr, pa.ChunkedArray) else [arr]
        arr = pa.chunked_array(
            [interval_to_struct(c).field(2).cast(pa.duration("ns")) for c in chunks],
            pa.duration("ns"),
        )
        nanos = True
    if nanos:
        try:
            arr.cast(pa.duration("us") if pa.types.is_duration(arr.type) else _micro(t))
        except pa.ArrowInvalid:
            raise ValueError(
                f"{where}: a value has nanoseconds, which {dialect} does not keep"
            ) from None


def _micro(t: pa.DataType) -> pa.DataType:
    if pa.types.is_timestamp(t):
        return pa.timestamp("us", t.tz)
    return pa.time64("us")


def _pg_array(t: pa.DataType) -> bool:
    """A list of plain values, which PostgreSQL keeps as its own array type."""
    if not (pa.types.is_list(t) or pa.types.is_large_list(t)):
        return False
    v = t.value_type
    return not (
        pa.types.is_nested(v)
        or _ext(v) == "arrow.json"
        or pa.types.is_uint64(v)
        or pa.types.is_duration(v)
        or v == pa.month_day_nano_interval()
    )


def from_database(arr: Any, target: pa.DataType) -> Any:
    """A column as the driver returned it, as the declared Arrow type ``target``."""
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks()
    t = arr.type
    if t == target:
        return arr
    if _ext(t) is not None and _ext(target) is None:
        arr = arr.storage
        t = arr.type
    if pa.types.is_null(t) or (pa.types.is_null(target) and arr.null_count == len(arr)):
        return pa.nulls(len(arr), target)
    if _ext(target) == "arrow.uuid":
        if pa.types.is_string(t) or pa.types.is_large_string(t):
            return uuid_from_text(arr, target)
        return pa.ExtensionArray.from_storage(target, arr.cast(target.storage_type))
    text = pa.types.is_string(t) or pa.types.is_large_string(t)
    if text and (pa.types.is_nested(target) or target == pa.month_day_nano_interval()):
        return from_json(arr, target)
    if text and _ext(target) == "arrow.json":
        return pa.ExtensionArray.from_storage(target, arr.cast(target.storage_type))
    if text and pa.types.is_time(target):
        stamps = pc.binary_join_element_wise("1970-01-01 ", arr, "").cast(pa.timestamp("ns"))
        return stamps.cast(pa.time64("ns")).cast(target)
    if text and pa.types.is_timestamp(target) and target.tz is not None:
        return arr.cast(pa.timestamp(target.unit, "UTC")).cast(target)
    if t == pa.month_day_nano_interval() and pa.types.is_duration(target):
        return _interval_to_duration(arr, target)
    if pa.types.is_list(target) and (pa.types.is_list(t) or pa.types.is_large_list(t)):
        values = from_database(arr.flatten(), target.value_type)
        offsets = pc.subtract(arr.offsets, arr.offsets[0]).cast(pa.int32())
        return pa.ListArray.from_arrays(offsets, values, type=target, mask=arr.is_null())
    if pa.types.is_duration(target) and pa.types.is_integer(t):
        return arr.cast(pa.int64()).cast(target)
    return arr.cast(target)


def _interval_to_duration(arr: pa.Array, target: pa.DataType) -> pa.Array:
    from ._arrow_json import interval_to_struct

    parts = interval_to_struct(arr)
    months, days, nanos = (parts.field(i) for i in range(3))
    if pc.any(pc.and_(pc.not_equal(months, 0), arr.is_valid())).as_py():
        raise ValueError("an interval with months has no fixed length to read as a duration")
    total = pc.add_checked(pc.multiply_checked(days.cast(pa.int64()), 86_400_000_000_000), nanos)
    per_unit = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}[target.unit]
    counts = pc.divide(total, per_unit)
    return pc.if_else(arr.is_null(), pa.scalar(None, pa.int64()), counts).cast(target)
