import importlib

import pytest


@pytest.mark.parametrize(
    "name",
    [
        "ondrel.datastore.tables.grimsel",
        "ondrel.datastore.adapter.toml.pentock",
        "ondrel.datastore.c_unified_data",
    ],
)
def test_extension_modules_import(name):
    assert importlib.import_module(name).__name__ == name
