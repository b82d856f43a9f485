"""What each declared column type becomes in each database, and back.

The declared types are the store's vocabulary (``canonical_column_type`` spells them); this
module only says how each dialect spells them. A dialect that cannot hold a type gets the
nearest type that keeps every value: JSON text for nested values in PostgreSQL and SQLite,
ISO text for SQLite's dates and times, exact text for SQLite's decimals. The declared type
itself is kept in the store's metadata table, so a dump reads each column back as declared.
"""

from __future__ import annotations

from typing import Final

from ondrel.datastore.c_unified_data import canonical_column_type as _canonical

__all__ = ["DIALECTS", "TYPE_TABLE", "canonical", "dialect_type", "is_nested"]

DIALECTS: Final = ("sqlite", "postgresql", "duckdb")

# canonical name: (SQLite, PostgreSQL, DuckDB). Decimals, lists, structs and maps are
# spelt by dialect_type below from their parts.
TYPE_TABLE: Final[dict[str, tuple[str, str, str]]] = {
    "BOOLEAN": ("INTEGER", "BOOLEAN", "BOOLEAN"),
    "TINYINT": ("INTEGER", "SMALLINT", "TINYINT"),
    "SMALLINT": ("INTEGER", "SMALLINT", "SMALLINT"),
    "INTEGER": ("INTEGER", "INTEGER", "INTEGER"),
    "BIGINT": ("INTEGER", "BIGINT", "BIGINT"),
    "UTINYINT": ("INTEGER", "SMALLINT", "UTINYINT"),
    "USMALLINT": ("INTEGER", "INTEGER", "USMALLINT"),
    "UINTEGER": ("INTEGER", "BIGINT", "UINTEGER"),
    "UBIGINT": ("INTEGER", "NUMERIC(20,0)", "UBIGINT"),
    "REAL": ("REAL", "REAL", "REAL"),
    "DOUBLE": ("REAL", "DOUBLE PRECISION", "DOUBLE"),
    "VARCHAR": ("TEXT", "TEXT", "VARCHAR"),
    "BLOB": ("BLOB", "BYTEA", "BLOB"),
    "DATE": ("TEXT", "DATE", "DATE"),
    "TIME": ("TEXT", "TIME", "TIME"),
    "TIMESTAMP": ("TEXT", "TIMESTAMP", "TIMESTAMP"),
    "TIMESTAMP_S": ("TEXT", "TIMESTAMP(0)", "TIMESTAMP_S"),
    "TIMESTAMP_MS": ("TEXT", "TIMESTAMP(3)", "TIMESTAMP_MS"),
    "TIMESTAMP_NS": ("TEXT", "TIMESTAMP", "TIMESTAMP_NS"),
    "TIMESTAMP WITH TIME ZONE": ("TEXT", "TIMESTAMPTZ", "TIMESTAMPTZ"),
    "JSON": ("TEXT", "JSON", "JSON"),
    "UUID": ("TEXT", "UUID", "UUID"),
    "INTERVAL": ("TEXT", "INTERVAL", "INTERVAL"),
    "DURATION": ("INTEGER", "INTERVAL", "INTERVAL"),
}
# The nested types: JSON text where the database has no such type. PostgreSQL keeps a list
# of plain values as its own array type.
_NESTED: Final = ("TEXT", "JSON", None)
_DECIMAL: Final = ("TEXT", "NUMERIC", "DECIMAL")


def canonical(text: str) -> str | None:
    """The vocabulary's spelling of a declared type, or None for a name it does not know."""
    return _canonical(text)


def is_nested(name: str) -> bool:
    return name.endswith("[]") or name.startswith(("STRUCT(", "MAP("))


def dialect_type(name: str, dialect: str) -> str | None:
    """The column type for a canonical name in ``dialect``; None when the name is unknown."""
    index = DIALECTS.index(dialect)
    if name in TYPE_TABLE:
        return TYPE_TABLE[name][index]
    if name.startswith("DECIMAL(") and name.endswith(")"):
        return _DECIMAL[index] + name[len("DECIMAL") :] if index else _DECIMAL[index]
    if not is_nested(name):
        return None
    if dialect == "duckdb":
        return name  # the vocabulary uses DuckDB's own spelling
    if dialect == "postgresql" and name.endswith("[]"):
        element = name[:-2]
        if element in TYPE_TABLE and element not in ("JSON", "DURATION"):
            return TYPE_TABLE[element][index] + "[]"
    return _NESTED[index]
