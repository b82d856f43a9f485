"""A small program that uses both modules the way an application does.

The stub tests type-check it with ``mypy --strict`` and run it.
"""

from __future__ import annotations

import os
import tempfile
import tomllib
from typing import Any

from ondrel.datastore.adapter.toml.decoder import (
    decode_unified_data,
    load,
    loads,
    read_unified_data,
)
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables.data import Column, TableData
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat


def build_model() -> UnifiedDataFormat:
    users = TableData(
        columns=[
            Column(name="id", type="INTEGER", primary_key=True, autoincrement=True),
            Column(name="nick", type="TEXT", nullable=True, default="anon", comment="Nickname"),
        ],
        records=[{"id": 1, "nick": "ada"}, {"id": 2, "nick": None}],
    )
    holder = TablesHolder({"users": users})
    # A plain dict becomes a TableData when it is taken in.
    holder.replace_dict({"tags": {"columns": [{"name": "tag", "type": "TEXT"}], "records": []}})
    holder["empty"] = TableData()
    return UnifiedDataFormat(version="1.0", schema_version="2", tables=holder)


def names_and_sizes(holder: TablesHolder) -> dict[str, int]:
    sizes: dict[str, int] = {}
    for name, table in holder.items():
        if isinstance(table, TableData):
            sizes[name] = len(table.records)
    return sizes


def main() -> None:
    model = build_model()
    tables = model.tables
    assert isinstance(tables, TablesHolder) and tables.is_tables_holder()
    assert len(tables) == 3 and "users" in tables and not tables.empty
    assert tables.contains("tags") and tables.get("missing") is None and tables["missing"] is None
    assert list(tables.iterate()) == tables.keys() == ["users", "tags", "empty"]
    assert names_and_sizes(tables) == {"users": 2, "tags": 0, "empty": 0}

    dumped: dict[str, Any] = tables.model_dump(exclude_none=False)
    assert dumped.keys() == tables.as_dict().keys()
    copy = TablesHolder(tables)
    assert copy == tables and hash(copy) == hash(tables)
    del copy["empty"]
    assert copy != tables and repr(copy).startswith("TablesHolder(")

    text: str = encode_unified_data(model)
    escaped = encode_unified_data(model, escape_strings=True)
    doc = tomllib.loads(text)
    assert doc["header"]["tables"] == ["users", "tags", "empty"]
    assert doc["tables"]["users"]["records"] == [{"id": 1, "nick": "ada"}, {"id": 2}]
    assert tomllib.loads(escaped) == doc
    assert decode_unified_data(escaped) == decode_unified_data(escaped.encode()) == doc

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.toml")
        write_unified_data(model, path, escape_strings=False)
        with open(path, "rb") as f:
            assert f.read() == text.encode()
        read: dict[str, Any] = read_unified_data(path, parse_float=float)
        assert read == doc
        with open(path, "rb") as f:
            assert load(f, toml_version="1.0.0") == doc == loads(text, parse_float=float)

    again = UnifiedDataFormat.model_validate(model.model_dump())
    assert again.tables == tables and again.tables is not tables


if __name__ == "__main__":
    main()
    print("ok")
