"""The Arrow table records="arrow" must give, built in plain Python (with pyarrow) from what the
dict reader reads: the one oracle of the Arrow tests and of tools/fuzz_decoder.py.

Type rules over a column's values (a missing key is null):
- no value: null; only ints: int64; ints and floats, or only floats: float64 (ints as floats);
- bool, str, offset date-time (timestamp[us, tz=UTC]), local date-time (timestamp[us]),
  date (date32), time (time64[us]) when every value is that kind;
- lists: a list of the type these rules give over all their elements;
- tables: a struct of the union of their keys (first-appearance order), fields by these rules;
- anything else: arrow.json, each value as json.dumps(value, ensure_ascii=False,
  separators=(",", ":")) with dates and times as isoformat().

Columns: the declared names (``columns`` entries' ``name``s, once each), then every other key in
order of first appearance.
"""

from __future__ import annotations

import datetime
import json
import struct
from typing import Any

import pyarrow as pa

__all__ = ["declared_names", "expected_table", "same_table", "to_json"]

JSON = pa.json_()


def _kind(v: Any) -> str:
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, datetime.datetime):
        return "odt" if v.tzinfo is not None else "ldt"
    for t, k in ((int, "int"), (float, "float"), (str, "str"), (datetime.date, "date")):
        if isinstance(v, t):
            return k
    return {datetime.time: "time", list: "list", dict: "dict"}[type(v)]


_SCALARS = {
    "bool": pa.bool_(),
    "str": pa.string(),
    "odt": pa.timestamp("us", tz="UTC"),
    "ldt": pa.timestamp("us"),
    "date": pa.date32(),
    "time": pa.time64("us"),
}


def _type(values: list[Any]) -> pa.DataType:
    kinds = {_kind(v) for v in values}
    if not kinds:
        return pa.null()
    if kinds <= {"int", "float"}:
        return pa.int64() if kinds == {"int"} else pa.float64()
    if len(kinds) > 1:
        return JSON
    (kind,) = kinds
    if kind == "list":
        return pa.list_(_type([e for v in values for e in v]))
    if kind == "dict":
        names = list(dict.fromkeys(k for v in values for k in v))
        return pa.struct([(k, _type([v[k] for v in values if k in v])) for k in names])
    return _SCALARS[kind]


def _plain(v: Any) -> Any:
    if isinstance(v, list):
        return [_plain(x) for x in v]
    if isinstance(v, dict):
        return {k: _plain(x) for k, x in v.items()}
    if isinstance(v, datetime.date | datetime.time):
        return v.isoformat()
    return v


def to_json(v: Any) -> str:
    return json.dumps(_plain(v), ensure_ascii=False, separators=(",", ":"))


def _array(values: list[Any], t: pa.DataType) -> pa.Array:
    """values: one per row, None for null."""
    mask = pa.array([v is None for v in values], pa.bool_())
    if t == JSON:
        storage = pa.array([None if v is None else to_json(v) for v in values], pa.string())
        return pa.ExtensionArray.from_storage(JSON, storage)
    if pa.types.is_list(t):
        offsets = [0]
        for v in values:
            offsets.append(offsets[-1] + (len(v) if v is not None else 0))
        items = [e for v in values if v is not None for e in v]
        return pa.ListArray.from_arrays(
            pa.array(offsets, pa.int32()), _array(items, t.value_type), type=t, mask=mask
        )
    if pa.types.is_struct(t):
        children = [
            _array([None if v is None else v.get(f.name) for v in values], f.type) for f in t
        ]
        return pa.StructArray.from_arrays(children, fields=list(t), mask=mask)
    if t == pa.float64():
        values = [None if v is None else float(v) for v in values]
    return pa.array(values, t)


def declared_names(table: dict[str, Any]) -> list[str]:
    cols = table.get("columns")
    names = [
        c["name"]
        for c in (cols if isinstance(cols, list) else [])
        if isinstance(c, dict) and isinstance(c.get("name"), str)
    ]
    return list(dict.fromkeys(names))


def expected_table(records: list[dict[str, Any]], declared: list[str] = ()) -> pa.Table:
    names = list(dict.fromkeys([*declared, *(k for r in records for k in r)]))
    arrays = []
    for name in names:
        column = [r.get(name) for r in records]
        arrays.append(_array(column, _type([v for v in column if v is not None])))
    if not names:  # rows without columns still count
        return pa.Table.from_struct_array(pa.array([{}] * len(records), pa.struct([])))
    return pa.Table.from_arrays(arrays, names=names)


def _bits(v: Any) -> Any:
    """Floats as their bytes, so equality is bit for bit (NaN and -0.0 included)."""
    if isinstance(v, float):
        return ("float", struct.pack("<d", v))
    if isinstance(v, list):
        return [_bits(x) for x in v]
    if isinstance(v, tuple):  # a map's (key, value) entries
        return tuple(_bits(x) for x in v)
    if isinstance(v, dict):
        return {k: _bits(x) for k, x in v.items()}
    return (type(v).__name__, v)


def same_table(got: pa.Table, want: pa.Table) -> None:
    """Asserts equal schemas (extension types included) and values, floats bit for bit."""
    assert got.schema == want.schema, f"{got.schema}\n!=\n{want.schema}"
    assert got.num_rows == want.num_rows
    for name in want.column_names:
        assert _bits(got.column(name).to_pylist()) == _bits(want.column(name).to_pylist()), name


# ---- declared column types -------------------------------------------------------------------

_UNITS = {"s": "_S", "ms": "_MS", "us": "", "ns": "_NS"}


def _field_name(name: str) -> str:
    plain = name and not name[0].isdigit() and all(c.isalnum() or c == "_" for c in name)
    return name if plain and name.isascii() else '"' + name.replace('"', '""') + '"'


def vocabulary(t: pa.DataType) -> tuple[str, pa.DataType]:
    """The column type an Arrow type is declared as, and the Arrow type that name reads as: the
    README's vocabulary table, stated independently of the code."""
    if isinstance(t, pa.DictionaryType):
        return vocabulary(t.value_type)
    if t == JSON:
        return "JSON", JSON
    if isinstance(t, pa.UuidType):
        return "UUID", t
    named = {
        pa.bool_(): "BOOLEAN",
        pa.int8(): "TINYINT",
        pa.int16(): "SMALLINT",
        pa.int32(): "INTEGER",
        pa.int64(): "BIGINT",
        pa.uint8(): "UTINYINT",
        pa.uint16(): "USMALLINT",
        pa.uint32(): "UINTEGER",
        pa.uint64(): "UBIGINT",
        pa.float32(): "REAL",
        pa.float64(): "DOUBLE",
        pa.month_day_nano_interval(): "INTERVAL",
    }
    if t in named:
        return named[t], t
    if t == pa.float16():
        return "REAL", pa.float32()
    if pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t):
        return "VARCHAR", pa.string()
    if pa.types.is_binary(t) or pa.types.is_large_binary(t) or pa.types.is_binary_view(t):
        return "BLOB", pa.binary()
    if pa.types.is_fixed_size_binary(t):
        return "BLOB", pa.binary()
    if pa.types.is_date(t):
        return "DATE", pa.date32()
    if pa.types.is_time(t):
        return ("TIME_NS", t) if t.unit == "ns" else ("TIME", pa.time64("us"))
    if pa.types.is_timestamp(t):
        name = "TIMESTAMP" + _UNITS[t.unit]
        if t.tz is None:
            return name, t
        return name + " WITH TIME ZONE", pa.timestamp(t.unit, "UTC")
    if pa.types.is_duration(t):
        return "DURATION" + _UNITS[t.unit], t
    if pa.types.is_decimal(t):
        wide = pa.decimal256 if t.precision > 38 else pa.decimal128
        return f"DECIMAL({t.precision},{t.scale})", wide(t.precision, t.scale)
    if pa.types.is_map(t):
        (k, kt), (v, vt) = vocabulary(t.key_type), vocabulary(t.item_type)
        return f"MAP({k}, {v})", pa.map_(kt, vt)
    if isinstance(t, pa.ListType | pa.LargeListType | pa.ListViewType | pa.LargeListViewType) or (
        pa.types.is_fixed_size_list(t)
    ):
        name, read = vocabulary(t.value_type)
        return name + "[]", pa.list_(read)
    if pa.types.is_struct(t):
        parts = [(f.name, *vocabulary(f.type)) for f in t]
        text = ", ".join(f"{_field_name(n)} {v}" for n, v, _ in parts)
        return f"STRUCT({text})", pa.struct([(n, r) for n, _, r in parts])
    raise KeyError(t)


def declared_table(table: pa.Table) -> pa.Table:
    """`table` as records="arrow" reads it back from its declared columns."""
    types = [vocabulary(f.type)[1] for f in table.schema]
    arrays = [c.cast(t) if c.type != t else c for c, t in zip(table.columns, types, strict=True)]
    return pa.Table.from_arrays([a.combine_chunks() for a in arrays], names=table.column_names)
