"""Writes a small unified-data document as TOML and reads it back with tomllib."""

import math
import os
import tempfile
import tomllib

from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
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
            {"name": "price", "type": "REAL", "default": 0.0},
            {"name": "in_print", "type": "BOOLEAN", "default": False},
            {"name": "tags", "type": "JSON", "default": []},
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


def expected(model):
    """What the document should read back as: the model's data with None values left out."""

    def clean(v):
        if isinstance(v, dict):
            return {k: clean(x) for k, x in v.items() if x is not None}
        if isinstance(v, list):
            return [clean(x) for x in v]
        return v

    keys = (
        "name",
        "type",
        "nullable",
        "primary_key",
        "foreign_key",
        "unique",
        "autoincrement",
        "default",
        "comment",
    )
    tables = {}
    for name, table in model.tables.items():
        columns = []
        for c in table.columns:
            d = c.model_dump()
            # Flags appear only when set; other fields whenever they are not None.
            columns.append(
                {
                    k: clean(d[k])
                    for k in keys
                    if d[k] is not None and (d[k] is not False or k == "default")
                }
            )
        tables[name] = {"columns": columns, "records": [clean(r) for r in table.records]}
    return tables


def main():
    model = UnifiedDataFormat(version="1.0", schema_version="3", tables=SAMPLE)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sample.toml")
        write_unified_data(model, path, escape_strings=True)
        with open(path, "rb") as f:
            raw = f.read()
    assert raw == encode_unified_data(model, escape_strings=True).encode()

    text = raw.decode()
    print(text)
    doc = tomllib.loads(text)
    assert doc["header"] == {
        "version": "1.0",
        "schema_version": "3",
        "tables": ["authors", "books", "settings"],
    }
    assert doc["tables"] == expected(model)
    print(
        f"tomllib read the {len(raw)}-byte document back: header and "
        f"{sum(len(t['records']) for t in doc['tables'].values())} records over "
        f"{len(doc['tables'])} tables equal the model's data."
    )


if __name__ == "__main__":
    main()
