"""load_store: a store's tables into a database, in one transaction."""

from __future__ import annotations

import os
from typing import Any

import pyarrow as pa

from ondrel.datastore.tables.data import TableData
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat

from ._catalog import table_names
from ._convert import for_database
from ._ddl import TablePlan, create_statements, declared_types, fk_order, link
from ._meta import META_TABLE, write_meta
from ._targets import Database, SQLStoreError, open_database

__all__ = ["SQLStoreError", "as_store", "load_store"]

_IF_EXISTS = ("fail", "replace", "append")


def as_store(store: Any) -> UnifiedDataFormat:
    if isinstance(store, UnifiedDataFormat):
        return store
    if isinstance(store, str | os.PathLike):
        from ondrel.datastore.adapter.toml.decoder import read_unified_data

        return UnifiedDataFormat.model_validate(read_unified_data(store, records="arrow"))
    raise TypeError(f"store must be a UnifiedDataFormat or a path, not {type(store).__name__}")


def _records(name: str, data: TableData, version: tuple[str, str]) -> pa.Table:
    """The table's records as Arrow, each column built as declared."""
    records: Any = data.records
    if not hasattr(type(records), "__arrow_c_stream__"):
        # Dicts take the reader's road from TOML, which builds each declared type.
        from ondrel.datastore.adapter.toml.decoder import decode_unified_data
        from ondrel.datastore.adapter.toml.pentock import encode_unified_data

        one = UnifiedDataFormat(
            version=version[0], schema_version=version[1], tables=TablesHolder({name: data})
        )
        text = encode_unified_data(one, True, datetimes="toml")
        records = decode_unified_data(text, records="arrow")["tables"][name]["records"]
    table = pa.table(records)
    declared = [c.name for c in data.columns]
    extra = [n for n in table.column_names if n not in set(declared)]
    if extra:
        raise ValueError(f"table {name!r}: records hold undeclared columns {extra}")
    columns, fields = [], []
    for col in data.columns:
        if col.name in table.column_names:
            columns.append(table.column(col.name))
            fields.append(table.schema.field(col.name))
        else:  # a key no record has: NULL throughout
            columns.append(pa.nulls(table.num_rows))
            fields.append(pa.field(col.name, pa.null()))
    return pa.table(columns, schema=pa.schema(fields)) if declared else table


def _plans(doc: UnifiedDataFormat, tables: Any, dialect: str) -> list[TablePlan]:
    names = doc.tables.keys()
    if tables is not None:
        wanted = [tables] if isinstance(tables, str) else list(tables)
        missing = [t for t in wanted if t not in set(names)]
        if missing:
            raise KeyError(f"the store has no table {missing[0]!r}")
        names = [n for n in names if n in set(wanted)]
    plans = []
    for name in names:
        data = doc.tables[name]
        if name == META_TABLE:
            raise ValueError(f"{META_TABLE!r} is the name of the store's metadata table")
        if not data.columns:
            raise ValueError(f"table {name!r} declares no columns, so it has no table definition")
        types = declared_types(name, data.columns, dialect)
        records = _records(name, data, (doc.version, doc.schema_version))
        prepared = [
            for_database(records.column(c.name), t, dialect, f"table {name!r}, column {c.name!r}")
            for c, t in zip(data.columns, types, strict=True)
        ]
        table = pa.table(prepared, names=records.column_names)
        plans.append(TablePlan(name, list(data.columns), types, table, records.schema))
    return plans


def load_store(store: Any, target: Any, *, tables: Any = None, if_exists: str = "fail") -> None:
    """Loads the store's tables into ``target``: made from the declared columns in foreign-key
    order, then filled with the records as Arrow through the driver's bulk path, all in one
    transaction."""
    if if_exists not in _IF_EXISTS:
        raise ValueError(f"if_exists must be one of {_IF_EXISTS}, not {if_exists!r}")
    doc = as_store(store)
    db = open_database(target)
    try:
        plans = _plans(doc, tables, db.dialect)
        _load(db, doc, plans, if_exists)
    finally:
        db.close()


def _fail(db: Database, table: str, exc: BaseException) -> SQLStoreError:
    where = f"table {table!r}" if table else "the commit (deferred foreign keys)"
    return SQLStoreError(f"{where}: {exc}".rstrip() + "; nothing was loaded")


def _load(db: Database, doc: UnifiedDataFormat, plans: list[TablePlan], if_exists: str) -> None:
    try:
        existing = table_names(db)
    except Exception as exc:
        raise SQLStoreError(f"the database cannot be read: {exc}") from exc
    clash = [p.name for p in plans if p.name in existing]
    if clash and if_exists == "fail":
        raise ValueError(f"table {clash[0]!r} already exists (if_exists='fail')")
    link(plans, {n: set() for n in existing})
    ordered = fk_order(plans, can_defer=db.dialect != "duckdb")
    current = "(start)"
    db.begin()
    try:
        if if_exists == "append":
            _check_append(db, ordered, existing)
        if if_exists == "replace":
            dropped = [p for p in reversed(ordered) if p.name in existing]
            current = dropped[0].name if dropped else current
            _drop(db, dropped)
        later: list[str] = []
        for plan in ordered:
            current = plan.name
            if if_exists == "append" and plan.name in existing:
                continue
            before, after = create_statements(plan, db.dialect)
            for sql in before:
                db.execute(sql)
            later.extend(after)
        for sql in later:
            db.execute(sql)
        for plan in ordered:
            current = plan.name
            if plan.records.num_rows:
                db.ingest(plan.name, plan.records)
                if if_exists == "append" and plan.name in existing:
                    _advance_identity(db, plan)
        current = META_TABLE
        write_meta(
            db, {"version": doc.version, "schema_version": doc.schema_version}, ordered, existing
        )
        current = ""  # deferred foreign keys are checked now
        db.commit()
    except BaseException as exc:
        db.rollback()
        if isinstance(exc, ValueError | TypeError | KeyboardInterrupt | SQLStoreError):
            raise
        raise _fail(db, current, exc) from exc


def _advance_identity(db: Database, plan: TablePlan) -> None:
    """Appended ids move PostgreSQL's identity on, so the next row made by the database does not
    take one of them (DuckDB's sequences cannot be moved: see the docs)."""
    if db.dialect != "postgresql":
        return
    for col in plan.columns:
        if col.autoincrement:
            column = db.q(col.name)
            db.execute(
                "SELECT setval(pg_get_serial_sequence($1, $2), "
                f"(SELECT max({column}) FROM {db.q(plan.name)}))",
                (db.q(plan.name), col.name),
            )


def _drop(db: Database, plans: list[TablePlan]) -> None:
    """Drops the tables being replaced, those that reference others first. PostgreSQL drops
    them in one statement, so that tables referencing each other go together; a table outside
    the store that references one of them makes the drop fail (no CASCADE)."""
    if not plans:
        return
    if db.dialect == "postgresql":
        db.execute("DROP TABLE " + ", ".join(db.q(p.name) for p in plans))
        return
    for plan in plans:
        db.execute(f"DROP TABLE {db.q(plan.name)}")
        if db.dialect == "duckdb":
            from ._ddl import sequence_name

            for col in plan.columns:
                if col.autoincrement:
                    db.execute(
                        f"DROP SEQUENCE IF EXISTS {db.q(sequence_name(plan.name, col.name))}"
                    )


def _check_append(db: Database, plans: list[TablePlan], existing: set[str]) -> None:
    from ._catalog import column_names

    for plan in plans:
        if plan.name not in existing:
            continue
        have = column_names(db, plan.name)
        want = [c.name for c in plan.columns]
        if sorted(have) != sorted(want):
            raise ValueError(
                f"table {plan.name!r} exists with columns {have}, not the store's {want}"
            )
