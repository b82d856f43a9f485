"""One face for the three kinds of database handle: ADBC DB-API connections (SQLite,
PostgreSQL), DuckDB connections, and URI strings that we open (and close) ourselves."""

from __future__ import annotations

import contextlib
import importlib
from typing import Any
from urllib.parse import unquote, urlsplit

import pyarrow as pa

__all__ = ["Database", "SQLStoreError", "open_database", "quote"]


class SQLStoreError(RuntimeError):
    """A database refused part of a load or a dump; the message names the table."""


_MAX_NAME = {"postgresql": 63}


def quote(name: str, dialect: str) -> str:
    """An identifier as the dialect quotes it: in double quotes, inner quotes doubled. Names
    the dialect would silently change (PostgreSQL cuts them at 63 bytes) are refused."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"a table or column name must be non-empty text, not {name!r}")
    if "\x00" in name:
        raise ValueError(f"the name {name!r} holds a NUL character, which no database keeps")
    limit = _MAX_NAME.get(dialect)
    if limit is not None and len(name.encode()) > limit:
        raise ValueError(f"the name {name!r} is longer than {dialect}'s {limit} bytes")
    return '"' + name.replace('"', '""') + '"'


def _driver(module: str, extra: str = "sql") -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"{module} is needed for this database (pip install 'ondrel-datastore[{extra}]')"
        ) from exc


class Database:
    """A connection with the few operations the loader and the dumper need."""

    def __init__(self, conn: Any, dialect: str, *, owned: bool) -> None:
        self.conn = conn
        self.dialect = dialect
        self.owned = owned
        self.duck = dialect == "duckdb"

    # -- statements ------------------------------------------------------------------------
    def param(self, index: int) -> str:
        return f"${index}" if self.dialect == "postgresql" else "?"

    def q(self, name: str) -> str:
        return quote(name, self.dialect)

    def execute(self, sql: str, params: tuple[Any, ...] = ()) -> None:
        if self.duck:
            self.conn.execute(sql, list(params))
            return
        with self.conn.cursor() as cur:
            cur.execute(sql, params or None)

    def rows(self, sql: str, params: tuple[Any, ...] = ()) -> list[tuple[Any, ...]]:
        if self.duck:
            return list(self.conn.execute(sql, list(params)).fetchall())
        with self.conn.cursor() as cur:
            cur.execute(sql, params or None)
            return list(cur.fetchall())

    def arrow(self, sql: str) -> pa.Table:
        if self.duck:
            return self.conn.sql(sql).to_arrow_table()
        with self.conn.cursor() as cur:
            cur.execute(sql)
            return cur.fetch_arrow_table()

    def ingest(self, table: str, data: pa.Table) -> None:
        """Appends Arrow records through the bulk path (ADBC ingest: COPY for PostgreSQL; an
        Arrow scan for DuckDB)."""
        if self.duck:
            view = "__ondrel_ingest"
            self.conn.register(view, data)
            try:
                names = ", ".join(self.q(n) for n in data.column_names)
                self.conn.execute(
                    f"INSERT INTO {self.q(table)} ({names}) SELECT {names} FROM {view}"
                )
            finally:
                self.conn.unregister(view)
            return
        with self.conn.cursor() as cur:
            cur.adbc_ingest(table, data, mode="append")

    # -- transactions ----------------------------------------------------------------------
    def begin(self) -> None:
        if self.duck:
            self.conn.begin()
            return
        if self.dialect == "sqlite" and self.owned:
            # Foreign keys are checked only when the connection says so, and only outside a
            # transaction can it say so (a caller's connection keeps its own setting).
            self.conn.commit()
            self.conn.adbc_connection.set_autocommit(True)
            self.execute("PRAGMA foreign_keys = ON")
            self.conn.adbc_connection.set_autocommit(False)
        # A caller's connection in autocommit mode still gets one transaction for the load.
        self._restore_autocommit = bool(getattr(self.conn, "_autocommit", False))
        if self._restore_autocommit:
            self.conn.adbc_connection.set_autocommit(False)

    def _end(self, how: str) -> None:
        if self.duck:
            getattr(self.conn, how)()
            return
        try:
            getattr(self.conn.adbc_connection, how)()
        finally:
            if getattr(self, "_restore_autocommit", False):
                self._restore_autocommit = False
                self.conn.adbc_connection.set_autocommit(True)

    def commit(self) -> None:
        self._end("commit")

    def rollback(self) -> None:
        # A broken connection has nothing left to roll back.
        with contextlib.suppress(Exception):
            self._end("rollback")

    def close(self) -> None:
        if self.owned:
            self.conn.close()


def open_database(target: Any) -> Database:
    """A Database for a connection or a URI (``sqlite:///path``, ``postgresql://…``,
    ``duckdb:///path``)."""
    if isinstance(target, str):
        return _open_uri(target)
    module = type(target).__module__ or ""
    if module.startswith(("duckdb", "_duckdb")):
        return Database(target, "duckdb", owned=False)
    if hasattr(target, "adbc_get_info"):
        try:
            vendor = str(target.adbc_get_info().get("vendor_name", "")).lower()
        except Exception as exc:
            raise SQLStoreError(f"the connection cannot be used: {exc}") from exc
        for dialect in ("sqlite", "postgresql"):
            if dialect in vendor:
                return Database(target, dialect, owned=False)
        raise ValueError(f"unsupported ADBC database {vendor!r}: SQLite, PostgreSQL or DuckDB")
    raise TypeError(
        "target must be an ADBC DB-API connection (SQLite, PostgreSQL), a DuckDB connection or "
        f"a URI string, not {type(target).__name__}"
    )


def _open_uri(uri: str) -> Database:
    scheme = urlsplit(uri).scheme.lower()
    if scheme == "sqlite":
        path = _file_path(uri, scheme)
        conn = _driver("adbc_driver_sqlite.dbapi").connect(path)
        return Database(conn, "sqlite", owned=True)
    if scheme in ("postgresql", "postgres"):
        conn = _driver("adbc_driver_postgresql.dbapi").connect(uri)
        return Database(conn, "postgresql", owned=True)
    if scheme == "duckdb":
        conn = _driver("duckdb").connect(_file_path(uri, scheme))
        return Database(conn, "duckdb", owned=True)
    raise ValueError(f"unsupported URI {uri!r}: sqlite:///path, postgresql://… or duckdb:///path")


def _file_path(uri: str, scheme: str) -> str:
    """``scheme:///relative`` and ``scheme:////absolute``, as SQLAlchemy spells them;
    ``scheme://`` alone (or ``:memory:``) is an in-memory database."""
    rest = uri[len(scheme) + 3 :]
    if not uri[len(scheme) :].startswith("://"):
        raise ValueError(f"{uri!r} is not a {scheme}:///path URI")
    if rest in ("", "/", "/:memory:"):
        return ":memory:"
    return unquote(rest[1:] if rest.startswith("/") else rest)
