"""dump_store: a database's tables into a store, columns from the catalogue, records as Arrow."""

from __future__ import annotations

import contextlib
import json
from typing import Any

import pyarrow as pa

from ondrel.datastore.tables.data import Column, TableData
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat

from ._catalog import TableInfo, read_table, table_names
from ._convert import from_database
from ._meta import META_TABLE, Meta, read_meta
from ._targets import Database, SQLStoreError, open_database
from ._types import canonical, is_nested

__all__ = ["dump_store"]


def dump_store(source: Any, *, tables: Any = None) -> UnifiedDataFormat:
    """The database's tables as a store: each column as declared (from the catalogue, and the
    store's metadata table where a load left one), records as Arrow ordered by the primary
    key. Ready for ``write_unified_data``."""
    db = open_database(source)
    try:
        if not db.owned:
            # A caller's connection reads in its own transaction: rolling back at the end
            # would throw away the caller's pending work.
            return _dump(db, tables)
        db.begin()  # one snapshot for the catalogue and every table's records
        try:
            return _dump(db, tables)
        finally:
            db.rollback()
    finally:
        db.close()


def _dump(db: Database, tables: Any) -> UnifiedDataFormat:
    try:
        present = table_names(db)
    except Exception as exc:
        raise SQLStoreError(f"the database cannot be read: {exc}") from exc
    meta = read_meta(db, present)
    names = sorted(present - {META_TABLE})
    if tables is not None:
        wanted = [tables] if isinstance(tables, str) else list(tables)
        missing = [t for t in wanted if t not in present or t == META_TABLE]
        if missing:
            raise KeyError(f"the database has no table {missing[0]!r}")
        names = [n for n in names if n in set(wanted)]
    infos = {}
    for name in names:
        try:
            infos[name] = read_table(db, name)
        except Exception as exc:
            raise SQLStoreError(f"table {name!r}: {exc}") from exc
    holder = TablesHolder()
    for name in _fk_order(infos):
        try:
            holder[name] = _table(db, infos[name], meta)
        except (ValueError, TypeError, pa.ArrowException) as exc:
            raise SQLStoreError(f"table {name!r}: {exc}") from exc
    return UnifiedDataFormat(
        version=meta.header("version") or "1.0",
        schema_version=meta.header("schema_version") or "1",
        tables=holder,
    )


def _fk_order(infos: dict[str, TableInfo]) -> list[str]:
    """Referenced tables first, by name otherwise: the order a load makes them in."""
    out: list[str] = []
    seen: set[str] = set()

    def visit(name: str) -> None:
        seen.add(name)
        for col in infos[name].columns:
            if col.foreign_key:
                for target in infos:
                    if col.foreign_key.startswith(target + ".") and target not in seen:
                        visit(target)
        out.append(name)

    for name in infos:
        if name not in seen:
            visit(name)
    return out


def _table(db: Database, info: TableInfo, meta: Meta) -> TableData:
    q = db.q
    columns = []
    for c in info.columns:
        declared = meta.column(info.name, c.name, "type") or canonical(c.type) or c.type
        comment = c.comment if db.dialect != "sqlite" else meta.column(info.name, c.name, "comment")
        ondelete, onupdate = c.ondelete, c.onupdate
        if db.dialect == "duckdb":
            ondelete = meta.column(info.name, c.name, "ondelete") or ondelete
            onupdate = meta.column(info.name, c.name, "onupdate") or onupdate
        default = c.default
        if isinstance(default, str) and (declared == "JSON" or is_nested(declared)):
            with contextlib.suppress(ValueError):
                default = json.loads(default)
        columns.append(
            Column(
                name=c.name,
                type=declared,
                unique=c.unique,
                comment=comment,
                foreign_key=c.foreign_key,
                default=default,
                ondelete=ondelete,
                onupdate=onupdate,
                nullable=c.nullable and c.name not in info.primary_key,
                primary_key=c.name in info.primary_key,
                autoincrement=c.autoincrement,
            )
        )
    order = info.primary_key or (["rowid"] if db.dialect == "sqlite" else [])
    select = ", ".join(q(c.name) for c in info.columns)
    sql = f"SELECT {select} FROM {q(info.name)}"
    if order:
        sql += " ORDER BY " + ", ".join(q(n) if n != "rowid" else n for n in order)
    records = db.arrow(sql)
    schema = meta.schema(info.name)
    if schema is not None and schema.names == records.column_names:
        arrays = [from_database(records.column(i), f.type) for i, f in enumerate(schema)]
        records = pa.table(arrays, schema=schema)
    return TableData(columns=columns, records=records)
