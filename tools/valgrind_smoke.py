"""Touches every entry point of the native modules once, for valgrind memcheck (make
test-valgrind): holder construction, methods, protocols, the native table, the pydantic hooks,
the encoder's and the reader's functions on success and failure paths (the reader's Arrow
records written back too), and the functions' pickling, weak references and attributes. Small on purpose:
memcheck runs it about fifty times slower than the interpreter."""

import contextlib
import copy
import gc
import os
import pickle
import sys
import tempfile
import weakref

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from _holder_vtable import dump_args, vtable
from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml.decoder import decode_unified_data, read_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat


def attempt(fn):
    with contextlib.suppress(Exception):
        fn()


class Sub(TablesHolder):
    def get(self, name):
        return [name]

    def as_dict(self):
        return super().as_dict()


def holder():
    table = {"columns": [{"name": "id", "type": "int"}], "records": [{"id": 1}]}
    h = TablesHolder({"a": table, "b": None})
    s = Sub(h)
    for fn in (
        lambda: (h.set("x", [1]), h.add("y", 2), h.get("x"), h.contains("x"), h.remove("x")),
        lambda: (h["a"], "a" in h, len(h), bool(h), h.empty, h.is_tables_holder()),
        lambda: h.__setitem__("z", 1),
        lambda: h.__delitem__("z"),
        lambda: (h.keys(), h.values(), h.items(), list(h.iterate()), h.model_dump(False)),
        lambda: (h == s, h != s, hash(h), repr(s), h.as_dict(), h._serialize()),
        lambda: h.replace_dict({"c": table}),
        lambda: h.remove("missing"),
        lambda: h.get(b"x"),
        lambda: TablesHolder(1, 2),
        lambda: TablesHolder({"bad": {"columns": 1}}),
        lambda: TablesHolder.get(5, "a"),
        lambda: TablesHolder._validate({"v": table}),
        lambda: TablesHolder.__get_pydantic_core_schema__(None, None),
        lambda: TablesHolder.__get_pydantic_json_schema__(None, dict),
        lambda: h.__reduce__(),
        lambda: s["a"],
    ):
        attempt(fn)
    vt = vtable()
    for fn in (
        lambda: (vt._size(h), vt._empty(h), vt._keys(h), vt._values(h), vt._items(h)),
        lambda: (vt._hash(h), vt._model_dump(h, dump_args(1, 0)), vt._contains(h, "a")),
        lambda: (vt.get(s, "a", 0), vt.get(h, "a", 1), vt.as_dict(h, 0), vt.get_root(h)),
        lambda: (vt.contains(s, "a", 0), vt.keys(s, 0), vt.values(s, 0), vt.items(s, 0)),
        lambda: (vt.iterate(h, 0), vt.model_dump(s, 0, None), vt.is_tables_holder(s, 0)),
        lambda: (vt.set(h, "q", 1, 0), vt.add(h, "r", 2, 1), vt.remove(h, "q", 0)),
        lambda: (vt._set(h, "w", 3), vt.ingest_dict(h, {"i": table}), vt.replace_dict(h, s, 0)),
        lambda: vt.clear(TablesHolder({"a": 1}), 0),
    ):
        attempt(fn)
    broken = TablesHolder({"a": 1})
    vt.set_root(broken, None)
    for fn in (lambda: len(broken), lambda: broken.get("a"), lambda: repr(broken)):
        attempt(fn)
    me = TablesHolder()
    me["me"] = me
    attempt(lambda me=me: hash(me))
    del me
    model = UnifiedDataFormat(version="1", schema_version="2", tables={"t": table})
    attempt(lambda: model.model_dump())
    return model


def encoder(model, path):
    class Raising:
        def __str__(self):
            raise ValueError

    deep = [0]
    for _ in range(3000):
        deep = [deep]
    good = Model(
        {
            "users": Table(
                [
                    col("id", "INTEGER", primary_key=True, unique=True),
                    col("n", default=[1, {"a": 2}]),
                ],
                [
                    {
                        "id": i,
                        "s": 'é\\"\t' * i,
                        "f": i / 3,
                        "l": [True, 2**70],
                        "d": {"k": None},
                    }
                    for i in range(20)
                ],
            ),
            "a.b": Table(),
        }
    )
    for fn in (
        lambda: encode_unified_data(model),
        lambda: encode_unified_data(good),
        lambda: encode_unified_data(good, True),
        lambda: write_unified_data(good, path, True),
        lambda: write_unified_data(good, path, durable=True),
        lambda: encode_unified_data(records_model([{"a": {"b": [1, None]}}])),
        lambda: encode_unified_data(records_model([{'k"': 1}])),
        lambda: write_unified_data(good, path + "/missing/x"),
        lambda: write_unified_data(good, "/dev/full"),
        lambda: write_unified_data(good, b"x"),
        lambda: encode_unified_data(),
        lambda: encode_unified_data(object()),
        lambda: encode_unified_data(Model(output=("1", "2", {}))),
        lambda: encode_unified_data(Model({"t": Table([col("a")[:4]])})),
        lambda: encode_unified_data(records_model([{"a": 1}, 5])),
        lambda: encode_unified_data(records_model([{"a": [Raising()]}])),
        lambda: encode_unified_data(records_model([{"a": {(1,): 2}}]), True),
        lambda: encode_unified_data(records_model([{"a": "\ud800"}]), True),
        lambda: encode_unified_data(records_model([{"a": deep}])),
        lambda: encode_unified_data(records_model([{"a": 10**5000}])),
    ):
        attempt(fn)


def arrow_tables(doc):
    """Exports every records table's schema and stream."""
    for table in doc.get("tables", {}).values():
        obj = table.get("records") if isinstance(table, dict) else None
        if hasattr(obj, "__arrow_c_stream__"):
            # Capsules dropped unconsumed run the release callbacks (pyarrow stays out of the
            # valgrind run; the tests consume the exports).
            repr(obj), obj.column_names, obj.__arrow_c_schema__(), obj.__arrow_c_stream__()


def arrow_write(doc):
    """Writes the reader's Arrow records back, as Arrow (the writer imports their streams)."""
    model = UnifiedDataFormat(tables=TablesHolder(doc["tables"]))
    encode_unified_data(model, True, datetimes="toml")
    encode_unified_data(model)


def decoder(path):
    rows = [{"s": 'é"\n' * i, "f": i / 3} for i in range(20)]
    text = encode_unified_data(records_model(rows), escape_strings=True)
    features = (
        'a."b c".d = 1_000\n[t]\ns = """x\\\n  y\n"""\nl = \'\'\'z\'\'\'\n'
        "dt = [1979-05-27T07:32:00.999999999-07:00, 1979-05-27, 07:32:00, 1979-05-27 07:32:00Z]\n"
        "n = [0xff_ff, 0o7, 0b1, 1e3, -inf, nan, 99999999999999999999]\n[[u]]\nv = { w = [[]] }\n"
    )
    mixed = (
        "[tables.m]\ncolumns = [{name = 'z'}]\nrecords = [{a = 1, b = [1, 'x'], c = {d = 1}}, "
        "{a = 2.5, b = [], c = 3, t = 1979-05-27T07:32:00-07:00}, {t = 1979-05-27}, "
    )
    # Declared columns of every family, their text forms, a misfit, and columns after records.
    typed = (
        "[tables.d]\ncolumns = [{name = 'a', type = 'SMALLINT'}, {name = 'b', type = 'REAL'}, "
        "{name = 'c', type = 'DECIMAL(40,2)'}, {name = 'e', type = 'BLOB'}, {name = 'u', type = 'UUID'}, "
        "{name = 'i', type = 'INTERVAL'}, {name = 'du', type = 'DURATION_NS'}, "
        "{name = 'ts', type = 'TIMESTAMP_NS'}, {name = 'tz', type = 'TIMESTAMPTZ'}, "
        "{name = 'l', type = 'INT[]'}, {name = 's', type = 'STRUCT(x INT, y TEXT)'}, "
        "{name = 'm', type = 'MAP(TEXT, INT)'}, {name = 'j', type = 'JSON'}, "
        "{name = 'n', type = 'VARCHAR'}, {name = 'ub', type = 'UBIGINT'}]\n"
        "records = [{a = 1, b = 1.5, c = '12.3', e = \"b'\\\\x00'\", "
        "u = '0f8fad5b-d9cb-469f-a165-70867728950e', i = 'P1M2DT3.5S', du = 'PT-1S', "
        "ts = 1979-05-27T07:32:00.123456789, tz = '2024-01-02 03:04:05+01:00', l = [1], "
        "s = {x = 1}, m = [['k', 5]], j = [1, 'a'], ub = 18446744073709551615}, {}]\n"
    )
    for fn in (
        lambda: arrow_tables(decode_unified_data(typed, records="arrow")),
        lambda: decode_unified_data(typed.replace("[1]", "[1, 9999999999]"), records="arrow"),
        lambda: arrow_tables(
            decode_unified_data(
                "[tables.d]\nrecords = [{a = 1}]\ncolumns = [{name = 'a', type = 'TINYINT'}]",
                records="arrow",
            )
        ),
        lambda: decode_unified_data(text),
        lambda: decode_unified_data(text.encode()),
        lambda: decode_unified_data(features.replace("\n", "\r\n")),
        lambda: decode_unified_data(bytearray(features.encode())),
        lambda: decode_unified_data("a = 1.5\nb = [inf]", parse_float=lambda s: [s]),
        lambda: decode_unified_data("a = 1.5", parse_float=str),
        lambda: decode_unified_data("\ufeffa = 'Ж😀'\n[a]"),
        lambda: decode_unified_data("a = " + "[" * 20000),
        lambda: decode_unified_data(b'a = "\xff"'),
        lambda: decode_unified_data('a = "\\uD800"'),
        lambda: decode_unified_data("[a]\nb = 1\n[a]"),
        lambda: decode_unified_data(memoryview(b"x = 1979-02-30")),
        lambda: decode_unified_data(1),
        lambda: read_unified_data(path),
        lambda: read_unified_data(path + "/missing"),
        lambda: arrow_tables(decode_unified_data(text, records="arrow")),
        lambda: arrow_tables(read_unified_data(path, records="arrow")),
        lambda: arrow_tables(decode_unified_data(features + mixed + "]", records="arrow")),
        lambda: arrow_write(
            decode_unified_data(mixed.replace("'z'}", "'z', type = 'T'}") + "]", records="arrow")
        ),
        lambda: arrow_write(decode_unified_data(text, records="arrow")),
        lambda: decode_unified_data(mixed + "{a = 99999999999999999999}]", records="arrow"),
        lambda: decode_unified_data("[tables.t]\nrecords = [1]", records="arrow"),
        lambda: decode_unified_data(text, records="frames"),
    ):
        attempt(fn)


def functions():
    for f in (read_unified_data, encode_unified_data, TablesHolder.set, TablesHolder._validate):
        raw = getattr(f, "__func__", f)
        attempt(lambda f=f: (pickle.loads(pickle.dumps(f, 2)), pickle.loads(pickle.dumps(f))))
        attempt(lambda f=f: copy.deepcopy(f))
        ref = weakref.ref(raw)
        raw.note = [ref]
        del raw.note
    attempt(lambda: pickle.dumps(TablesHolder().set))


def main():
    model = holder()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "doc.toml")
        encoder(model, path)
        decoder(path)
    functions()
    gc.collect()
    print("valgrind smoke: OK")


if __name__ == "__main__":
    main()
