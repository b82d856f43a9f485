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
    if isinstance(v, dict):
        return {k: _bits(x) for k, x in v.items()}
    return (type(v).__name__, v)


def same_table(got: pa.Table, want: pa.Table) -> None:
    """Asserts equal schemas (extension types included) and values, floats bit for bit."""
    assert got.schema == want.schema, f"{got.schema}\n!=\n{want.schema}"
    assert got.num_rows == want.num_rows
    for name in want.column_names:
        assert _bits(got.column(name).to_pylist()) == _bits(want.column(name).to_pylist()), name
