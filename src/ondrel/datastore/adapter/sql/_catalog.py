"""What a database's catalogue says about its tables, in each dialect."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any

from ._targets import Database

__all__ = ["TableInfo", "column_names", "parse_default", "read_table", "table_names"]

_PG_ACTIONS = {"a": None, "r": "RESTRICT", "c": "CASCADE", "n": "SET NULL", "d": "SET DEFAULT"}


@dataclass
class ColumnInfo:
    name: str
    type: str
    nullable: bool
    default: Any = None
    autoincrement: bool = False
    comment: str | None = None
    unique: bool = False
    primary_key: bool = False
    foreign_key: str | None = None
    ondelete: str | None = None
    onupdate: str | None = None


@dataclass
class TableInfo:
    name: str
    columns: list[ColumnInfo]
    primary_key: list[str] = field(default_factory=list)

    def column(self, name: str) -> ColumnInfo:
        return next(c for c in self.columns if c.name == name)


def table_names(db: Database) -> set[str]:
    if db.dialect == "sqlite":
        sql = "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"
    elif db.dialect == "postgresql":
        sql = (
            "SELECT table_name FROM information_schema.tables "
            "WHERE table_schema = current_schema() AND table_type = 'BASE TABLE'"
        )
    else:
        sql = (
            "SELECT table_name FROM duckdb_tables() WHERE schema_name = current_schema() "
            "AND database_name = current_database()"
        )
    return {r[0] for r in db.rows(sql)}


def column_names(db: Database, table: str) -> list[str]:
    return [c.name for c in read_table(db, table).columns]


_QUOTED = re.compile(r"^'((?:[^']|'')*)'(?:::[\w .\[\]()]+)?$", re.S)
_NUMBER = re.compile(r"^\(?(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?)\)?(?:::[\w .]+)?$")


def parse_default(text: str | None) -> Any:
    """A DEFAULT expression as the value it spells, for the literals a store's columns hold;
    any other expression is kept as its text."""
    if text is None:
        return None
    text = text.strip()
    if text.upper() == "NULL" or text.upper().startswith("NULL::"):
        return None
    if m := _QUOTED.match(text):
        return m.group(1).replace("''", "'")
    if m := _NUMBER.match(text):
        number = m.group(1)
        return int(number) if re.fullmatch(r"-?\d+", number) else float(number)
    if text.upper() in ("TRUE", "FALSE"):
        return text.upper() == "TRUE"
    if text.upper().startswith("CAST(") and (m := _QUOTED.match(text[5:].split(" AS ")[0])):
        return m.group(1).replace("''", "'")
    return text


def read_table(db: Database, table: str) -> TableInfo:
    return {"sqlite": _sqlite, "postgresql": _postgresql, "duckdb": _duckdb}[db.dialect](db, table)


def _sqlite(db: Database, table: str) -> TableInfo:
    rows = db.rows(
        'SELECT name, type, "notnull", dflt_value, pk FROM pragma_table_info(?)', (table,)
    )
    cols = [ColumnInfo(r[0], r[1] or "", not r[2], parse_default(r[3])) for r in rows]
    info = TableInfo(table, cols)
    info.primary_key = [r[0] for r in sorted((r for r in rows if r[4]), key=lambda r: r[4])]
    sql = db.rows("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?", (table,))
    if (
        sql
        and len(info.primary_key) == 1
        and re.search(r"\bAUTOINCREMENT\b", sql[0][0] or "", re.I)
    ):
        info.column(info.primary_key[0]).autoincrement = True
    indexes = db.rows(
        "SELECT name FROM pragma_index_list(?) WHERE \"unique\" AND origin = 'u'", (table,)
    )
    for (index,) in indexes:
        members = db.rows("SELECT name FROM pragma_index_info(?)", (index,))
        if len(members) == 1:
            info.column(members[0][0]).unique = True
    fks = db.rows(
        'SELECT "table", "from", "to", on_delete, on_update FROM pragma_foreign_key_list(?)',
        (table,),
    )
    for target, col, to, on_delete, on_update in fks:
        c = info.column(col)
        c.foreign_key = f"{target}.{to}"
        c.ondelete = None if on_delete == "NO ACTION" else on_delete
        c.onupdate = None if on_update == "NO ACTION" else on_update
    return info


def _postgresql(db: Database, table: str) -> TableInfo:
    rows = db.rows(
        "SELECT a.attnum, a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull, "
        "pg_get_expr(d.adbin, d.adrelid), a.attidentity, col_description(c.oid, a.attnum) "
        "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
        "JOIN pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
        "WHERE c.relname = $1 AND n.nspname = current_schema() AND a.attnum > 0 "
        "AND NOT a.attisdropped ORDER BY a.attnum",
        (table,),
    )
    cols, by_num = [], {}
    for num, name, typ, notnull, default, identity, comment in rows:
        serial = isinstance(default, str) and default.startswith("nextval(")
        col = ColumnInfo(
            name,
            typ,
            not notnull,
            None if serial else parse_default(default),
            identity in ("a", "d") or serial,
            comment,
        )
        cols.append(col)
        by_num[num] = col
    info = TableInfo(table, cols)
    cons = db.rows(
        "SELECT con.contype, con.conkey, fc.relname, "
        "ARRAY(SELECT attname FROM pg_attribute WHERE attrelid = con.confrelid "
        "AND attnum = ANY(con.confkey)), con.confdeltype, con.confupdtype "
        "FROM pg_constraint con JOIN pg_class c ON c.oid = con.conrelid "
        "JOIN pg_namespace n ON n.oid = c.relnamespace LEFT JOIN pg_class fc ON fc.oid = con.confrelid "
        "WHERE c.relname = $1 AND n.nspname = current_schema() AND con.contype IN ('p', 'u', 'f')",
        (table,),
    )
    for kind, keys, target, target_cols, on_delete, on_update in cons:
        names = [by_num[k].name for k in keys]
        if kind == "p":
            info.primary_key = names
        elif kind == "u" and len(names) == 1:
            by_num[keys[0]].unique = True
        elif kind == "f" and len(names) == 1 and target_cols:
            col = by_num[keys[0]]
            col.foreign_key = f"{target}.{target_cols[0]}"
            col.ondelete, col.onupdate = _PG_ACTIONS.get(on_delete), _PG_ACTIONS.get(on_update)
    return info


def _duckdb(db: Database, table: str) -> TableInfo:
    where = (
        "table_name = ? AND schema_name = current_schema() AND database_name = current_database()"
    )
    rows = db.rows(
        f"SELECT column_name, data_type, is_nullable, column_default, comment FROM duckdb_columns() "
        f"WHERE {where} ORDER BY column_index",
        (table,),
    )
    cols = []
    for name, typ, nullable, default, comment in rows:
        serial = isinstance(default, str) and default.startswith("nextval(")
        cols.append(
            ColumnInfo(
                name,
                typ,
                bool(nullable),
                None if serial else parse_default(default),
                serial,
                comment or None,
            )
        )
    info = TableInfo(table, cols)
    cons = db.rows(
        "SELECT constraint_type, constraint_column_names, referenced_table, "
        f"referenced_column_names FROM duckdb_constraints() WHERE {where}",
        (table,),
    )
    for kind, names, target, target_cols in cons:
        if kind == "PRIMARY KEY":
            info.primary_key = list(names)
        elif kind == "UNIQUE" and len(names) == 1:
            info.column(names[0]).unique = True
        elif kind == "FOREIGN KEY" and len(names) == 1 and target_cols:
            info.column(names[0]).foreign_key = f"{target}.{target_cols[0]}"
    return info
