"""Table definitions in each dialect, from a store's declared columns, and their order."""

from __future__ import annotations

import datetime as dt
import decimal
import json
import math
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa

from ondrel.datastore.tables.data import Column

from ._targets import quote
from ._types import canonical, dialect_type

__all__ = ["ForeignKey", "TablePlan", "create_statements", "fk_order", "literal", "split_reference"]

_ACTIONS = {"CASCADE", "SET NULL", "SET DEFAULT", "RESTRICT", "NO ACTION"}
_IDENTITY_TYPES = {"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "UTINYINT", "USMALLINT", "UINTEGER"}


@dataclass
class ForeignKey:
    column: str
    table: str
    target: str
    ondelete: str | None
    onupdate: str | None
    deferred: bool = False


@dataclass
class TablePlan:
    name: str
    columns: list[Column]
    types: list[str]  # canonical names, one per column
    records: pa.Table
    schema: pa.Schema | None = None  # the declared Arrow types, before any conversion
    fks: list[ForeignKey] = field(default_factory=list)


def _action(value: str | None, what: str, table: str, column: str) -> str | None:
    if value is None:
        return None
    action = " ".join(value.upper().split())
    if action not in _ACTIONS:
        raise ValueError(
            f"table {table!r}, column {column!r}: {what} {value!r} is not one of {sorted(_ACTIONS)}"
        )
    return action


def split_reference(
    ref: str, table: str, column: str, known: dict[str, set[str]]
) -> tuple[str, str]:
    """``"table.column"``; names may hold dots, so a split naming a known table and column wins."""
    for cut in (i for i, ch in enumerate(ref) if ch == "."):
        target, col = ref[:cut], ref[cut + 1 :]
        if col in known.get(target, ()):
            return target, col
    if "." not in ref:
        raise ValueError(
            f"table {table!r}, column {column!r}: foreign_key {ref!r} is not table.column"
        )
    target, col = ref.rsplit(".", 1)
    return target, col


def declared_types(name: str, columns: list[Column], dialect: str) -> list[str]:
    out = []
    for col in columns:
        spelt = canonical(col.type)
        if spelt is None or dialect_type(spelt, dialect) is None:
            raise ValueError(
                f"table {name!r}, column {col.name!r}: the declared type {col.type!r} is not one "
                "the store's vocabulary knows, so it has no column type in the database"
            )
        out.append(spelt)
    return out


def link(plans: list[TablePlan], existing: dict[str, set[str]]) -> None:
    """Reads every column's foreign_key into ForeignKey objects."""
    known = dict(existing)
    known.update({p.name: {c.name for c in p.columns} for p in plans})
    for plan in plans:
        for col in plan.columns:
            if col.foreign_key is None:
                continue
            target, target_col = split_reference(col.foreign_key, plan.name, col.name, known)
            if target_col not in known.get(target, {target_col}):
                raise ValueError(
                    f"table {plan.name!r}, column {col.name!r}: foreign_key {col.foreign_key!r} "
                    f"names no column of {target!r}"
                )
            plan.fks.append(
                ForeignKey(
                    col.name,
                    target,
                    target_col,
                    _action(col.ondelete, "ondelete", plan.name, col.name),
                    _action(col.onupdate, "onupdate", plan.name, col.name),
                )
            )


def fk_order(plans: list[TablePlan], can_defer: bool) -> list[TablePlan]:
    """Referenced tables first (stable otherwise). The foreign keys of a cycle are marked
    deferred where the database can check them at commit, and raise where it cannot."""
    by_name = {p.name: p for p in plans}
    state: dict[str, int] = {}
    out: list[TablePlan] = []

    def visit(plan: TablePlan, path: list[str]) -> None:
        state[plan.name] = 1
        for fk in plan.fks:
            dep = by_name.get(fk.table)
            if dep is None or dep is plan:
                continue
            if state.get(dep.name) == 1:
                cycle = [*path[path.index(dep.name) :], dep.name]
                if not can_defer:
                    raise ValueError(
                        "foreign keys form a cycle, which this database cannot defer: "
                        + " -> ".join(repr(n) for n in cycle)
                    )
                fk.deferred = True
                continue
            if dep.name not in state:
                visit(dep, [*path, dep.name])
        state[plan.name] = 2
        out.append(plan)

    for plan in plans:
        if plan.name not in state:
            visit(plan, [plan.name])
    if can_defer:
        _defer_whole_cycles(out)
    return out


def _defer_whole_cycles(plans: list[TablePlan]) -> None:
    # Every edge among the tables of a cycle defers, so the check order no longer matters.
    position = {p.name: i for i, p in enumerate(plans)}
    for plan in plans:
        for fk in plan.fks:
            if fk.table in position and position[fk.table] > position[plan.name]:
                fk.deferred = True


def literal(value: Any, dialect: str, where: str, json_text: bool = False) -> str:
    """A column DEFAULT as SQL text: the one place a value is spelt in SQL, as a literal."""
    if isinstance(value, bool):
        if dialect == "sqlite":
            return "1" if value else "0"
        return "TRUE" if value else "FALSE"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{where}: DEFAULT {value!r} has no SQL literal")
        return repr(value)
    if isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise ValueError(f"{where}: DEFAULT {value!r} has no SQL literal")
        return str(value)
    if isinstance(value, dt.datetime | dt.date | dt.time):
        value = value.isoformat(" ") if isinstance(value, dt.datetime) else value.isoformat()
    if isinstance(value, list | dict):
        # A JSON column's default, as JSON text (where the column holds JSON text).
        if json_text:
            return literal(json.dumps(value, ensure_ascii=False), dialect, where)
        raise ValueError(f"{where}: DEFAULT {value!r} needs a JSON column")
    if isinstance(value, str):
        if "\x00" in value:
            raise ValueError(f"{where}: DEFAULT holds a NUL character")
        return "'" + value.replace("'", "''") + "'"
    raise ValueError(f"{where}: DEFAULT {value!r} ({type(value).__name__}) has no SQL literal")


def _column_sql(plan: TablePlan, i: int, dialect: str, inline_pk: bool) -> str:
    col, name = plan.columns[i], plan.types[i]
    where = f"table {plan.name!r}, column {col.name!r}"
    parts = [quote(col.name, dialect), dialect_type(name, dialect) or ""]
    if col.autoincrement:
        if name not in _IDENTITY_TYPES:
            raise ValueError(f"{where}: autoincrement needs an integer type, not {col.type!r}")
        if dialect == "sqlite":
            if not inline_pk:
                raise ValueError(f"{where}: SQLite's AUTOINCREMENT needs the single primary key")
            parts.append("PRIMARY KEY AUTOINCREMENT")
        elif dialect == "postgresql":
            parts.append(f"GENERATED BY DEFAULT AS IDENTITY (START WITH {_next_id(plan, i)})")
        else:
            seq = literal(quote(sequence_name(plan.name, col.name), dialect), dialect, where)
            parts.append(f"DEFAULT nextval({seq})")
    if not col.nullable:
        parts.append("NOT NULL")
    if col.default is not None and not col.autoincrement:
        spelt = dialect_type(name, dialect)
        json_text = name == "JSON" or spelt in ("JSON", "TEXT")
        parts.append("DEFAULT " + literal(col.default, dialect, where, json_text))
    if col.unique:
        parts.append("UNIQUE")
    return " ".join(parts)


def sequence_name(table: str, column: str) -> str:
    return f"{table}_{column}_seq"


def _next_id(plan: TablePlan, i: int) -> int:
    import pyarrow.compute as pc

    top = (
        pc.max(plan.records.column(plan.columns[i].name)).as_py() if plan.records.num_rows else None
    )
    return 1 if top is None else int(top) + 1


def create_statements(plan: TablePlan, dialect: str) -> tuple[list[str], list[str]]:
    """(statements that make the table, foreign keys added once every table exists)."""
    q = lambda n: quote(n, dialect)  # noqa: E731
    pk = [c.name for c in plan.columns if c.primary_key]
    auto = [c for c in plan.columns if c.autoincrement]
    inline_pk = dialect == "sqlite" and len(pk) == 1 and bool(auto) and auto[0].name == pk[0]
    before: list[str] = []
    if dialect == "duckdb":
        for i, col in enumerate(plan.columns):
            if col.autoincrement:
                seq = q(sequence_name(plan.name, col.name))
                before.append(f"CREATE SEQUENCE {seq} START WITH {_next_id(plan, i)}")
    items = [_column_sql(plan, i, dialect, inline_pk) for i in range(len(plan.columns))]
    if pk and not inline_pk:
        items.append("PRIMARY KEY (" + ", ".join(q(n) for n in pk) + ")")
    later: list[str] = []
    for fk in plan.fks:
        clause = f"FOREIGN KEY ({q(fk.column)}) REFERENCES {q(fk.table)} ({q(fk.target)})"
        for verb, action in (("DELETE", fk.ondelete), ("UPDATE", fk.onupdate)):
            # DuckDB takes only the checking actions; the declared one is kept in the
            # metadata table, and deleting a referenced row is refused instead.
            if action and (dialect != "duckdb" or action in ("RESTRICT", "NO ACTION")):
                clause += f" ON {verb} {action}"
        if fk.deferred:
            clause += " DEFERRABLE INITIALLY DEFERRED"
        if fk.deferred and dialect == "postgresql":
            later.append(f"ALTER TABLE {q(plan.name)} ADD {clause}")
        else:
            items.append(clause)
    if not items:
        raise ValueError(f"table {plan.name!r} declares no columns")
    before.append(f"CREATE TABLE {q(plan.name)} (" + ", ".join(items) + ")")
    if dialect != "sqlite":
        for col in plan.columns:
            if col.comment is not None:
                text = literal(col.comment, dialect, f"table {plan.name!r}")
                before.append(f"COMMENT ON COLUMN {q(plan.name)}.{q(col.name)} IS {text}")
    return before, later
