"""A store's tables into SQLite, PostgreSQL or DuckDB, and back, through Arrow.

``load_store(store, target)`` makes the tables from the declared columns and fills them through
the driver's bulk path; ``dump_store(source)`` reads them back as a store. ``target`` and
``source`` are an ADBC DB-API connection (``adbc_driver_sqlite``, ``adbc_driver_postgresql``),
a DuckDB connection, or a URI: ``sqlite:///path``, ``postgresql://…``, ``duckdb:///path``.
"""

from ._dump import dump_store
from ._load import load_store
from ._meta import META_TABLE
from ._targets import SQLStoreError
from ._types import TYPE_TABLE

__all__ = ["META_TABLE", "TYPE_TABLE", "SQLStoreError", "dump_store", "load_store"]
