"""Misuse the stubs must reject: mypy reports an error on every line marked ``# error``."""

from __future__ import annotations

import pathlib

from ondrel.datastore.adapter.toml.decoder import decode_unified_data, loads, read_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat

holder = TablesHolder()
model = UnifiedDataFormat()

holder.get(1)  # error
holder.set(b"users", None)  # error
holder[None] = 1  # error
del holder[0]  # error
holder.empty = True  # error
holder.empty()  # error
holder.clear(True)  # error
for _name in holder:  # error
    pass
TablesHolder({}, {})  # error
encode_unified_data(holder)  # error
encode_unified_data(model, escape=True)  # error
write_unified_data(model, pathlib.Path("out.toml"))  # error
document: bytes = encode_unified_data(model)  # error
decode_unified_data(1)  # error
decode_unified_data("", float)  # error
read_unified_data(3)  # error
loads(b"a = 1")  # error
loads("a = 1", toml_version="1.2.0")  # error
holder.as_dict()["x"] = 1
holder.set(None, object())
