"""Pure-Python writer of the unified-data TOML document, for the benchmark only.

It writes the same layout as the native encoder (header section, one ``[tables.<name>]``
section per table with ``columns`` and ``records`` arrays of inline tables, None dropped from
inline tables) from the plain-dict form the peers get. The benchmark uses it to exercise its
content checks before the native encoder exists, and afterwards as a byte-for-byte cross-check
and as a pure-Python point of comparison. It is not tuned for speed.
"""

from __future__ import annotations

import re
from typing import Any

__all__ = ["dumps"]

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


def _escape_char(m: re.Match[str]) -> str:
    c = m.group(0)
    return _SHORT_ESCAPES.get(c) or "\\u%04X" % ord(c)


def _quoted(s: str, escape: bool) -> str:
    if escape:
        s = _NEEDS_ESCAPE.sub(_escape_char, s)
    return '"' + s + '"'


def _key(k: str, escape: bool) -> str:
    if not isinstance(k, str):
        raise TypeError(f"inline-table key must be str, not {type(k).__name__}")
    return k if _BARE_KEY.match(k) else _quoted(k, escape)


def _value(v: Any, escape: bool) -> str:
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, (int, float)):
        return str(v)
    if isinstance(v, str):
        return _quoted(v, escape)
    if isinstance(v, (list, tuple)):
        return "[ " + ", ".join(_value(x, escape) for x in v) + " ]"
    if isinstance(v, dict):
        return _inline(v, escape)
    return _quoted(str(v), escape)


def _inline(d: dict[str, Any], escape: bool) -> str:
    return (
        "{ "
        + ", ".join(
            f"{_key(k, escape)} = {_value(v, escape)}" for k, v in d.items() if v is not None
        )
        + " }"
    )


def _column(col: dict[str, Any], escape: bool) -> str:
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


def dumps(doc: dict[str, Any], escape_strings: bool = False) -> str:
    """The TOML document for ``{"header": {...}, "tables": {name: {"columns", "records"}}}``."""
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
        out.extend(f"    {_inline(r, esc)},\n" for r in table["records"])
        out.append("]\n")
    return "".join(out)
