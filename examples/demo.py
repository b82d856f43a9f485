"""Writes a small unified-data document as TOML, reads it back with tomllib and with the
native reader, and rebuilds the model from the file: encoding it again gives the file's bytes.
Then the store goes into a SQLite file and back out of it."""

import math
import os
import sys
import tempfile
import tomllib
from pathlib import Path

# The layout oracle lives with the tests; found from this file, whatever the current directory.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _toml_layout as layout
from ondrel.datastore.adapter.toml.decoder import read_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat

SAMPLE = {
    "authors": {
        "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
            {"name": "name", "type": "TEXT", "unique": True, "comment": "Display name"},
            {"name": "country", "type": "TEXT", "nullable": True, "default": "unknown"},
        ],
        "records": [
            {"id": 1, "name": "Ada Lovelace", "country": "United Kingdom"},
            {"id": 2, "name": "Zoë Ångström", "country": "Sverige"},
            {"id": 3, "name": "李白", "country": None},  # None is left out of the record
        ],
    },
    "books": {
        "columns": [
            {"name": "id", "type": "INTEGER", "primary_key": True},
            {
                "name": "author_id",
                "type": "INTEGER",
                "foreign_key": "authors.id",
                "ondelete": "CASCADE",
            },
            {"name": "title", "type": "TEXT", "comment": 'Title, may hold "quotes"'},
            {"name": "price", "type": "DOUBLE", "default": 0.0},
            {"name": "in_print", "type": "BOOLEAN", "default": False},
            {"name": "tags", "type": "VARCHAR[]", "default": []},
        ],
        "records": [
            {
                "id": 10,
                "author_id": 1,
                "title": 'Notes on the "Engine"',
                "price": 12.5,
                "in_print": True,
                "tags": ["maths", "history"],
            },
            {
                "id": 11,
                "author_id": 2,
                "title": "Ljus\toch skugga",
                "price": 1e-5,
                "in_print": False,
                "tags": [],
            },
            {
                "id": 12,
                "author_id": 3,
                "title": "静夜思",
                "price": math.inf,
                "in_print": True,
                "tags": ["poetry", "唐"],
            },
        ],
    },
    "settings": {
        "columns": [
            {"name": "key", "type": "TEXT", "primary_key": True},
            {"name": "value", "type": "JSON", "nullable": True},
        ],
        "records": [
            {"key": "theme", "value": {"colour": "dark", "contrast": {"high": True, "level": 3}}},
            {"key": "limits", "value": [1, 2.5, -3, 2**63 - 1]},
            {"key": "empty", "value": None},
        ],
    },
}


def plain_document(model):
    """The model as the layout oracle takes it: column fields in tuple order, the records."""
    tables = {
        name: (
            [tuple(c.model_dump()[f] for f in layout.COLUMN_FIELDS) for c in t.columns],
            t.records,
        )
        for name, t in model.tables.items()
    }
    return layout.document(model.version, model.schema_version, tables)


def main():
    model = UnifiedDataFormat(version="1.0", schema_version="3", tables=SAMPLE)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sample.toml")
        write_unified_data(model, path, escape_strings=True)
        with open(path, "rb") as f:
            raw = f.read()
        loaded = read_unified_data(path)
    assert raw == encode_unified_data(model, escape_strings=True).encode()
    # The bytes the layout says, and what a reader must get back from them.
    plain = plain_document(model)
    assert raw == layout.dumps(plain, escape_strings=True).encode()

    text = raw.decode()
    print(text)
    doc = tomllib.loads(text)
    assert doc["header"] == {
        "version": "1.0",
        "schema_version": "3",
        "tables": ["authors", "books", "settings"],
    }
    assert layout.same(doc, layout.expected(plain))
    print(
        f"tomllib read the {len(raw)}-byte document back: header and "
        f"{sum(len(t['records']) for t in doc['tables'].values())} records over "
        f"{len(doc['tables'])} tables equal the model's data."
    )

    # The round trip users make: file -> dict -> model, through the holder's bulk loading.
    assert layout.same(loaded, doc)
    again = UnifiedDataFormat(
        version=loaded["header"]["version"],
        schema_version=loaded["header"]["schema_version"],
        tables=TablesHolder(loaded["tables"]),
    )
    assert encode_unified_data(again, escape_strings=True).encode() == raw
    print(
        "read_unified_data gave the same data; the model rebuilt from it encodes to the "
        "file's bytes again."
    )
    sqlite_round_trip(again)


def sqlite_round_trip(model):
    """The store into a SQLite file (tables made from the declared columns) and dumped back."""
    try:
        from ondrel.datastore.adapter.sql import dump_store, load_store
    except ImportError as exc:
        print(f"SQLite round trip skipped: {exc} (pip install 'ondrel-datastore[sql]')")
        return
    with tempfile.TemporaryDirectory() as folder:
        uri = f"sqlite:///{folder}/demo.sqlite"
        load_store(model, uri)
        back = dump_store(uri)
    assert back.schema_version == model.schema_version
    assert sorted(back.tables.keys()) == sorted(model.tables.keys())
    counts = {name: table.records.num_rows for name, table in back.tables.items()}
    assert counts == {name: len(table.records) for name, table in model.tables.items()}
    print(f"load_store put the store into a SQLite file and dump_store read it back: {counts}")
    print(
        encode_unified_data(back, escape_strings=True, datetimes="toml").split("[tables.books]")[0]
    )


if __name__ == "__main__":
    main()
