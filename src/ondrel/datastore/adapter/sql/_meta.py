"""The store's metadata table in the database: what the catalogue cannot say.

``_ondrel_store(table_name, column_name, item, value)`` keeps the header's
``schema_version`` and ``version`` (table and column ''), each table's Arrow schema (column
''), each column's declared type, and what a dialect has no place for: SQLite's column
comments, and DuckDB's ON DELETE / ON UPDATE actions, which it does not enforce.
"""

from __future__ import annotations

import base64
from collections import defaultdict
from typing import Any

import pyarrow as pa

from ._targets import Database

__all__ = ["META_TABLE", "Meta", "read_meta", "write_meta"]

META_TABLE = "_ondrel_store"
_SCHEMA = pa.schema(
    [
        ("table_name", pa.string()),
        ("column_name", pa.string()),
        ("item", pa.string()),
        ("value", pa.string()),
    ]
)


class Meta:
    def __init__(self, rows: list[tuple[str, str, str, str | None]]) -> None:
        self.items: dict[tuple[str, str], dict[str, str | None]] = defaultdict(dict)
        for table, column, item, value in rows:
            self.items[(table, column)][item] = value

    def header(self, item: str) -> str | None:
        return self.items.get(("", ""), {}).get(item)

    def column(self, table: str, column: str, item: str) -> str | None:
        return self.items.get((table, column), {}).get(item)

    def schema(self, table: str) -> pa.Schema | None:
        text = self.column(table, "", "arrow_schema")
        if text is None:
            return None
        return pa.ipc.read_schema(pa.py_buffer(base64.b64decode(text)))


def read_meta(db: Database, names: set[str]) -> Meta:
    if META_TABLE not in names:
        return Meta([])
    q = db.q
    rows = db.rows(f"SELECT table_name, column_name, item, value FROM {q(META_TABLE)}")
    return Meta([tuple(r) for r in rows])  # type: ignore[misc]


def write_meta(db: Database, header: dict[str, str], tables: list[Any], existing: set[str]) -> None:
    """Replaces the rows of the loaded tables (and the header's) in one bulk append."""
    q = db.q
    if META_TABLE not in existing:
        db.execute(
            f"CREATE TABLE {q(META_TABLE)} (table_name TEXT NOT NULL, column_name TEXT NOT NULL, "
            "item TEXT NOT NULL, value TEXT, PRIMARY KEY (table_name, column_name, item))"
        )
    rows: list[tuple[str, str, str, str | None]] = [("", "", k, v) for k, v in header.items()]
    for plan in tables:
        schema = plan.schema.remove_metadata()
        blob = base64.b64encode(schema.serialize().to_pybytes()).decode()
        rows.append((plan.name, "", "arrow_schema", blob))
        for col in plan.columns:
            rows.append((plan.name, col.name, "type", col.type))  # as the store spelt it
            if db.dialect == "sqlite" and col.comment is not None:
                rows.append((plan.name, col.name, "comment", col.comment))
            if db.dialect == "duckdb":
                for item in ("ondelete", "onupdate"):
                    if getattr(col, item) is not None:
                        rows.append((plan.name, col.name, item, getattr(col, item)))
    for table in ["", *(p.name for p in tables)]:
        db.execute(f"DELETE FROM {q(META_TABLE)} WHERE table_name = {db.param(1)}", (table,))
    columns = list(zip(*rows, strict=True)) if rows else [(), (), (), ()]
    data = pa.table([pa.array(list(c), pa.string()) for c in columns], schema=_SCHEMA)
    db.ingest(META_TABLE, data)
