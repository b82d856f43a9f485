"""The TOML layout of a unified-data document, in plain Python: the one oracle that the
property tests, tools/fuzz.py, examples/demo.py and the benchmark check the encoder against.

- ``dumps(doc, escape_strings)`` writes the document text the encoder must produce, byte for
  byte, from the plain form ``{"header": {...}, "tables": {name: {"columns", "records"}}}``,
  or raises ValueError where the encoder must refuse: None inside an array, and without
  escaping a string that is not valid raw in a TOML 1.0 basic string;
- ``document(version, schema_version, tables)`` builds that plain form from the column
  tuples and records a model's tables give;
- ``expected(doc)`` is what ``tomllib`` must read back from the document, and ``same``
  compares that the way the document carries it (nan equals nan, -0.0 is not 0.0).

It is slow on purpose: one obvious line per rule.
"""

from __future__ import annotations

import datetime
import decimal
import math
import re
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = [
    "COLUMN_FIELDS",
    "COLUMN_FLAGS",
    "COLUMN_ORDER",
    "document",
    "dumps",
    "expected",
    "expected_column",
    "expected_value",
    "same",
]

# The eleven items of a column tuple, in the order tuple_values() gives them.
COLUMN_FIELDS = (
    "name",
    "type",
    "unique",
    "comment",
    "foreign_key",
    "default",
    "ondelete",
    "onupdate",
    "nullable",
    "primary_key",
    "autoincrement",
)
# Column keys in the order the document writes them; flags appear only when true.
COLUMN_FLAGS = ("nullable", "primary_key", "unique", "autoincrement")
COLUMN_ORDER = (
    "name",
    "type",
    "nullable",
    "primary_key",
    "foreign_key",
    "unique",
    "autoincrement",
    "default",
    "comment",
)

_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+\Z")
_SHORT_ESCAPES = {
    "\b": "\\b",
    "\t": "\\t",
    "\n": "\\n",
    "\f": "\\f",
    "\r": "\\r",
    '"': '\\"',
    "\\": "\\\\",
}
_NEEDS_ESCAPE = re.compile(r'[\x00-\x1f"\\\x7f]')
# One character that may stand raw in a basic string, or one TOML 1.0 escape.
_RAW_TOKEN = re.compile(
    r'[^"\\\x00-\x08\x0a-\x1f\x7f]|\\[btnfr"\\]|\\u[0-9A-Fa-f]{4}|\\U[0-9A-Fa-f]{8}'
)


# ---- the text -------------------------------------------------------------------------------


def _escape_char(m: re.Match[str]) -> str:
    c = m.group(0)
    return _SHORT_ESCAPES.get(c) or "\\u%04X" % ord(c)


def _raw_ok(s: str) -> bool:
    pos = 0
    while pos < len(s):
        m = _RAW_TOKEN.match(s, pos)
        if m is None:
            return False
        if len(m.group(0)) > 2:  # \u or \U: a Unicode scalar value
            code = int(m.group(0)[2:], 16)
            if code > 0x10FFFF or 0xD800 <= code <= 0xDFFF:
                return False
        pos = m.end()
    return True


def _quoted(s: str, escape: bool) -> str:
    if escape:
        s = _NEEDS_ESCAPE.sub(_escape_char, s)
    elif not _raw_ok(s):
        raise ValueError(f"not valid raw in a TOML basic string: {s!r}")
    return '"' + s + '"'


def _key(k: str, escape: bool) -> str:
    if not isinstance(k, str):
        raise TypeError(f"inline-table key must be str, not {type(k).__name__}")
    return k if _BARE_KEY.match(k) else _quoted(k, escape)


def _value(v: Any, escape: bool) -> str:
    if v is None:
        raise ValueError("None inside an array: TOML has no null")
    if v is True:
        return "true"
    if v is False:
        return "false"
    # By value: a subclass's str() may be any text (an Enum member's is "E.A").
    if isinstance(v, int):
        return int.__repr__(v)
    if isinstance(v, float):
        return float.__repr__(v)
    if isinstance(v, str):
        return _quoted(v, escape)
    if isinstance(v, (list, tuple)):
        return "[ " + ", ".join(_value(x, escape) for x in v) + " ]"
    if isinstance(v, dict):
        return _inline(v, escape)
    return _quoted(str(v), escape)


def _inline(d: Mapping[str, Any], escape: bool) -> str:
    return (
        "{ "
        + ", ".join(
            f"{_key(k, escape)} = {_value(v, escape)}" for k, v in d.items() if v is not None
        )
        + " }"
    )


def _column(col: Mapping[str, Any], escape: bool) -> str:
    parts = []
    for key in COLUMN_ORDER:
        if key not in col:
            continue
        v = col[key]
        if key in COLUMN_FLAGS:
            if v:
                parts.append(f"{key} = true")
        elif key == "default":
            if v is not None:
                parts.append(f"default = {_value(v, escape)}")
        elif v is not None:
            parts.append(f"{key} = {_quoted(v, escape)}")
    return "{ " + ", ".join(parts) + " }"


def _multiline(d: Mapping[str, Any], escape: bool) -> str:
    """A record as a TOML 1.1 multi-line inline table: one pair a line, each with a comma."""
    pairs = "".join(
        f"        {_key(k, escape)} = {_value(v, escape)},\n" for k, v in d.items() if v is not None
    )
    return "    {\n" + pairs + "    },\n"


def dumps(
    doc: Mapping[str, Any], escape_strings: bool = False, multiline_records: bool = False
) -> str:
    """The TOML document for ``{"header": {...}, "tables": {name: {"columns", "records"}}}``;
    with `multiline_records` the records are multi-line inline tables, which need TOML 1.1."""
    esc = bool(escape_strings)
    header = doc["header"]
    out = [
        "[header]\n",
        f"version = {_quoted(header['version'], esc)}\n",
        f"schema_version = {_quoted(header['schema_version'], esc)}\n",
        "tables = [" + ", ".join(_quoted(n, esc) for n in header["tables"]) + "]\n",
    ]
    for name, table in doc["tables"].items():
        out.append(f"\n[tables.{_key(name, esc)}]\ncolumns = [\n")
        out.extend(f"    {_column(c, esc)},\n" for c in table["columns"])
        out.append("]\nrecords = [\n")
        if multiline_records:
            out.extend(_multiline(r, esc) for r in table["records"])
        else:
            out.extend(f"    {_inline(r, esc)},\n" for r in table["records"])
        out.append("]\n")
    return "".join(out)


def document(
    version: str,
    schema_version: str,
    tables: Mapping[str, tuple[Iterable[Any], Iterable[Any]]],
) -> dict[str, Any]:
    """The plain form of a model: `tables` maps each name to (column tuples, records)."""
    return {
        "header": {
            "version": version,
            "schema_version": schema_version,
            "tables": list(tables),
        },
        "tables": {
            name: {
                "columns": [dict(zip(COLUMN_FIELDS, c, strict=True)) for c in cols],
                "records": list(recs),
            }
            for name, (cols, recs) in tables.items()
        },
    }


# ---- what a reader gets back ----------------------------------------------------------------


def expected_value(v: Any) -> Any:
    """A value as tomllib reads it back: None dropped from tables, tuples as lists."""
    if isinstance(v, dict):
        return {k: expected_value(x) for k, x in v.items() if x is not None}
    if isinstance(v, (list, tuple)):
        return [expected_value(x) for x in v]
    return v


def expected_column(col: Mapping[str, Any]) -> dict[str, Any]:
    """A column as it reads back: name and type, flags only when true, the rest when set."""
    out: dict[str, Any] = {"name": col["name"], "type": col["type"]}
    for key in COLUMN_ORDER[2:]:
        v = col.get(key)
        if key in COLUMN_FLAGS:
            if v:
                out[key] = True
        elif v is not None:
            out[key] = expected_value(v)
    return out


def expected(doc: Mapping[str, Any]) -> dict[str, Any]:
    """What tomllib reads back from ``dumps(doc, escape_strings=True)``."""
    out: dict[str, Any] = {"header": dict(doc["header"])}
    if doc["tables"]:
        out["tables"] = {
            name: {
                "columns": [expected_column(c) for c in t["columns"]],
                "records": [expected_value(r) for r in t["records"]],
            }
            for name, t in doc["tables"].items()
        }
    return out


def same(a: Any, b: Any) -> bool:
    """Equal values of the same types: dict key order, the sign of zero, NaN equal to NaN,
    the same tzinfo and fold."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, decimal.Decimal):
        return a.as_tuple() == b.as_tuple()
    if isinstance(a, datetime.date | datetime.time):
        # repr carries tzinfo and fold, which == ignores.
        return a == b and repr(a) == repr(b)
    return a == b
