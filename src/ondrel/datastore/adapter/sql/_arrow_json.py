"""Arrow columns to JSON text and back, with Arrow compute kernels and numpy only.

Every step works on whole arrays (casts, element-wise joins, list joins, the JSON reader), so
no Python object is made per value. Nested values are written as JSON: lists as arrays,
structs as objects, maps as arrays of {"key", "value"} objects (keys of any type survive),
intervals as {"months", "days", "nanoseconds"}; decimals, dates, times, timestamps and UUIDs
as strings, durations as integers in their unit.
"""

from __future__ import annotations

import io
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pa_json

__all__ = ["from_json", "interval_to_struct", "to_json", "uuid_from_text", "uuid_to_text"]

_HEX = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)
_CONTROL = [chr(c) for c in range(0x20)]
_SHORT = {"\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
_INTERVAL_FIELDS = (("months", pa.int32()), ("days", pa.int32()), ("nanoseconds", pa.int64()))
_INTERVAL_STRUCT = pa.struct(list(_INTERVAL_FIELDS))
_MDN = np.dtype([("months", "<i4"), ("days", "<i4"), ("nanoseconds", "<i8")])


def _combine(arr: Any) -> pa.Array:
    return arr.combine_chunks() if isinstance(arr, pa.ChunkedArray) else arr


def _quote(text: pa.Array) -> pa.Array:
    """JSON string literals of a string array (nulls stay null)."""
    if pc.any(pc.match_substring_regex(text, r'[\x00-\x1f"\\]')).as_py():
        text = pc.replace_substring(text, "\\", "\\\\")
        text = pc.replace_substring(text, '"', '\\"')
        for char in _CONTROL:
            if pc.any(pc.match_substring(text, char)).as_py():
                escape = _SHORT.get(char, "\\u%04x" % ord(char))
                text = pc.replace_substring(text, char, escape)
    return pc.binary_join_element_wise('"', text, '"', "")


def uuid_to_text(arr: pa.Array) -> pa.Array:
    """The canonical 36-character text of 16-byte UUIDs."""
    storage = arr.storage if isinstance(arr.type, pa.BaseExtensionType) else arr
    n = len(storage)
    raw = np.frombuffer(storage.buffers()[1], dtype=np.uint8)[storage.offset * 16 :][: n * 16]
    raw = raw.reshape(n, 16)
    digits = np.empty((n, 32), dtype=np.uint8)
    digits[:, 0::2] = _HEX[raw >> 4]
    digits[:, 1::2] = _HEX[raw & 15]
    out = np.full((n, 36), ord("-"), dtype=np.uint8)
    for src, dst in ((0, 0), (8, 9), (12, 14), (16, 19), (20, 24)):
        width = {0: 8, 8: 4, 12: 4, 16: 4, 20: 12}[src]
        out[:, dst : dst + width] = digits[:, src : src + width]
    offsets = np.arange(0, 36 * (n + 1), 36, dtype=np.int32)
    text = pa.Array.from_buffers(
        pa.string(), n, [None, pa.py_buffer(offsets), pa.py_buffer(out.tobytes())]
    )
    return pc.if_else(storage.is_null(), pa.scalar(None, pa.string()), text)


def uuid_from_text(text: pa.Array, target: pa.DataType) -> pa.Array:
    """16-byte UUIDs (as ``target``) from their text, with or without dashes."""
    valid = text.is_valid()
    compact = pc.fill_null(pc.utf8_lower(pc.replace_substring(text, "-", "")), "0" * 32)
    if not pc.all(pc.match_substring_regex(compact, r"^[0-9a-f]{32}$")).as_py():
        raise ValueError("a UUID column holds text that is not a UUID")
    n = len(compact)
    chars = np.frombuffer(
        pc.binary_join(pa.ListArray.from_arrays([0, n], compact), "")
        .cast(pa.binary())[0]
        .as_buffer(),
        dtype=np.uint8,
    ).reshape(n, 32)
    nibble = np.where(chars >= ord("a"), chars - ord("a") + 10, chars - ord("0")).astype(np.uint8)
    raw = (nibble[:, 0::2] << 4) | nibble[:, 1::2]
    validity = valid.buffers()[1] if text.null_count else None
    storage = pa.Array.from_buffers(pa.binary(16), n, [validity, pa.py_buffer(raw.tobytes())])
    if isinstance(target, pa.BaseExtensionType):
        return pa.ExtensionArray.from_storage(target, storage)
    return storage.cast(target)


def interval_to_struct(arr: pa.Array) -> pa.StructArray:
    """months, days and nanoseconds as three columns; a null interval is null in each (its
    slot in the buffer holds whatever was there)."""
    n = len(arr)
    parts = np.frombuffer(arr.buffers()[1], dtype=_MDN)[arr.offset :][:n]
    nulls = arr.is_null().to_numpy(zero_copy_only=False)
    fields = [pa.array(parts[name], mask=nulls) for name, _ in _INTERVAL_FIELDS]
    names = [f[0] for f in _INTERVAL_FIELDS]
    return pa.StructArray.from_arrays(fields, names, mask=arr.is_null())


def struct_to_interval(arr: pa.StructArray) -> pa.Array:
    n = len(arr)
    parts = np.zeros(n, dtype=_MDN)
    for i, (name, _) in enumerate(_INTERVAL_FIELDS):
        parts[name] = pc.fill_null(arr.field(i), 0).to_numpy(zero_copy_only=False)
    validity = pa.array(arr.is_valid()).buffers()[1] if arr.null_count else None
    return pa.Array.from_buffers(
        pa.month_day_nano_interval(), n, [validity, pa.py_buffer(parts.tobytes())]
    )


def to_json(arr: Any) -> pa.Array:
    """JSON text of each value; a null value stays null (inside nested values it is ``null``)."""
    arr = _combine(arr)
    t = arr.type
    if isinstance(t, pa.BaseExtensionType):
        if t.extension_name == "arrow.uuid":
            return _quote(uuid_to_text(arr))
        if t.extension_name == "arrow.json":
            return arr.storage.cast(pa.string())
        return to_json(arr.storage)
    if pa.types.is_dictionary(t):
        return to_json(arr.dictionary_decode())
    if pa.types.is_null(t):
        return pa.nulls(len(arr), pa.string())
    if pa.types.is_boolean(t) or pa.types.is_integer(t):
        return arr.cast(pa.string())
    if pa.types.is_floating(t):
        text = arr.cast(pa.float64()).cast(pa.string())
        return pc.if_else(pc.is_finite(arr), text, pa.scalar(None, pa.string()))
    if pa.types.is_duration(t):
        return arr.cast(pa.int64()).cast(pa.string())
    if t == pa.month_day_nano_interval():
        return to_json(interval_to_struct(arr))
    if pa.types.is_timestamp(t) and t.tz is not None:
        arr = arr.cast(pa.timestamp(t.unit, "UTC"))
    if pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t):
        return _quote(arr.cast(pa.string()))
    if pa.types.is_temporal(t) or pa.types.is_decimal(t):
        return _quote(arr.cast(pa.string()))
    if pa.types.is_map(t):
        pairs = pa.StructArray.from_arrays([arr.keys, arr.items], ["key", "value"])
        return _join_list(arr.offsets, to_json(pairs), arr.is_null())
    if pa.types.is_fixed_size_list(t) or pa.types.is_list_view(t) or pa.types.is_large_list_view(t):
        return to_json(arr.cast(pa.list_(t.value_type)))
    if pa.types.is_list(t) or pa.types.is_large_list(t):
        return _join_list(arr.offsets, to_json(arr.values), arr.is_null())
    if pa.types.is_struct(t):
        pieces: list[Any] = []
        for i, child in enumerate(arr.flatten()):
            pieces.append(
                ("{" if i == 0 else ",") + _quote(pa.array([t.field(i).name]))[0].as_py() + ":"
            )
            pieces.append(pc.fill_null(to_json(child), "null"))
        pieces.append("}" if pieces else "{}")
        joined = (
            pc.binary_join_element_wise(*pieces, "")
            if len(pieces) > 1
            else pa.array(["{}"] * len(arr))
        )
        return pc.if_else(arr.is_null(), pa.scalar(None, pa.string()), joined)
    raise TypeError(f"no JSON text for Arrow type {t}")


def _join_list(offsets: pa.Array, items: pa.Array, nulls: pa.Array) -> pa.Array:
    items = pc.fill_null(items, "null")
    lists = pa.ListArray.from_arrays(
        offsets.cast(pa.int32()) if offsets.type != pa.int32() else offsets, items
    )
    joined = pc.binary_join_element_wise("[", pc.binary_join(lists, ","), "]", "")
    return pc.if_else(nulls, pa.scalar(None, pa.string()), joined)


def _json_shape(t: pa.DataType) -> pa.DataType:
    """The type the JSON reader builds for ``t``'s text (restored to ``t`` afterwards)."""
    if isinstance(t, pa.BaseExtensionType) or pa.types.is_temporal(t) or pa.types.is_decimal(t):
        if pa.types.is_duration(t):
            return pa.int64()
        if t == pa.month_day_nano_interval():
            return _INTERVAL_STRUCT
        return pa.string()
    if pa.types.is_map(t):
        pair = pa.struct([("key", _json_shape(t.key_type)), ("value", _json_shape(t.item_type))])
        return pa.list_(pair)
    if pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_fixed_size_list(t):
        return pa.list_(_json_shape(t.value_type))
    if pa.types.is_struct(t):
        return pa.struct([(f.name, _json_shape(f.type)) for f in t])
    if pa.types.is_binary(t) or pa.types.is_large_binary(t):
        raise TypeError("a BLOB inside a nested value has no JSON text")
    return t


def from_json(text: Any, target: pa.DataType) -> pa.Array:
    """Values of ``target`` from JSON text (null text is a null value)."""
    text = _combine(text)
    if isinstance(text.type, pa.BaseExtensionType):
        text = text.storage
    text = text.cast(pa.string())
    n = len(text)
    if n == 0:
        return pa.array([], target)
    lines = pc.binary_join_element_wise('{"v":', pc.fill_null(text, "null"), "}", "")
    blob = pc.binary_join(pa.ListArray.from_arrays([0, n], lines), "\n")[0].as_buffer()
    shape = _json_shape(target)
    options = pa_json.ParseOptions(explicit_schema=pa.schema([("v", shape)]))
    parsed = pa_json.read_json(io.BytesIO(blob.to_pybytes()), parse_options=options)
    return _restore_shape(_combine(parsed.column(0)), target)


def _restore_shape(arr: pa.Array, t: pa.DataType) -> pa.Array:
    if arr.type == t:
        return arr
    if isinstance(t, pa.BaseExtensionType) and t.extension_name == "arrow.uuid":
        return uuid_from_text(arr, t)
    if t == pa.month_day_nano_interval():
        return struct_to_interval(arr)
    if pa.types.is_duration(t):
        return arr.cast(pa.int64()).cast(t)
    if pa.types.is_time(t):
        stamps = pc.binary_join_element_wise("1970-01-01 ", arr, "").cast(pa.timestamp("ns"))
        return stamps.cast(pa.time64("ns")).cast(t)
    if pa.types.is_timestamp(t) and t.tz is not None:
        return arr.cast(pa.timestamp(t.unit, "UTC")).cast(t)
    if pa.types.is_map(t):
        pairs = arr.values
        keys = _restore_shape(pairs.field(0), t.key_type)
        items = _restore_shape(pairs.field(1), t.item_type)
        return pa.MapArray.from_arrays(arr.offsets, keys, items, type=t, mask=arr.is_null())
    if pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_fixed_size_list(t):
        values = _restore_shape(arr.flatten(), t.value_type)
        lists = pa.ListArray.from_arrays(_rebased(arr.offsets), values, mask=arr.is_null())
        return lists.cast(t)
    if pa.types.is_struct(t):
        children = [_restore_shape(c, f.type) for c, f in zip(arr.flatten(), t, strict=True)]
        return pa.StructArray.from_arrays(children, fields=list(t), mask=arr.is_null())
    return arr.cast(t)


def _rebased(offsets: pa.Array) -> pa.Array:
    start = offsets[0].as_py()
    return pc.subtract(offsets, start) if start else offsets
