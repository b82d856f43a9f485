"""Reference leaks on success and error paths: memory blocks must not grow with repetition."""

import contextlib
import gc
import pickle
import sys

import pytest

from _holder_vtable import dump_args, vtable
from ondrel.datastore.tables.grimsel import TablesHolder

VT = vtable()
TABLE = {"columns": [{"name": "id", "type": "int"}], "records": [{"id": 1}]}


class Sub(TablesHolder):
    def get(self, name):
        return [name]

    def as_dict(self):
        return [1]  # wrong type: every protocol using it raises


def swallow(fn):
    def run():
        with contextlib.suppress(Exception):
            fn()

    return run


class MyStr(str):
    pass


h = TablesHolder({"a": TABLE, "b": None})
s = Sub({"a": 1})

OPS = {
    "construct_dict": lambda: TablesHolder({"a": TABLE, "b": 1}),
    "construct_holder": lambda: TablesHolder(h),
    "construct_bad_args": swallow(lambda: TablesHolder(1, 2)),
    "construct_bad_kw": swallow(lambda: TablesHolder(x=1)),
    "construct_invalid": swallow(lambda: TablesHolder({"a": {"columns": 1}})),
    "get_set_remove": lambda: (h.set("x", [1]), h.get("x"), h.remove("x")),
    "remove_missing": swallow(lambda: h.remove("missing")),
    "bad_name": swallow(lambda: h.get(b"x")),
    "subscript_subclass_name": swallow(lambda: h[MyStr("x")]),
    "protocols": lambda: (h["a"], "a" in h, len(h), h == TablesHolder(h), h != h, repr(h), hash(h)),
    "views": lambda: (h.keys(), h.values(), h.items(), list(h.iterate()), h.model_dump(False)),
    "override_paths": lambda: (s["a"], swallow(lambda: repr(s))(), swallow(lambda: hash(s))()),
    "pickle": swallow(lambda: pickle.dumps(h)),
    "validate": lambda: TablesHolder._validate({"a": TABLE}),
    "schema": lambda: TablesHolder.__get_pydantic_core_schema__(None, None),
    "json_schema": lambda: TablesHolder.__get_pydantic_json_schema__(None, dict),
    "native": lambda: (
        VT._size(h),
        VT._keys(h),
        VT._items(h),
        VT._hash(h),
        VT._model_dump(h, dump_args(1, 0)),
        VT.get(s, "a", 0),
        VT.get(h, "a", 0),
        VT.as_dict(h, 0),
        VT.get_root(h),
    ),
    "native_errors": swallow(lambda: VT.as_dict(s, 0)),
}


@pytest.mark.parametrize("name", sorted(OPS))
def test_no_growth(name):
    op = OPS[name]
    for _ in range(200):
        op()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        op()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


@pytest.mark.parametrize(
    "op",
    [
        lambda h, t: h["t"],
        lambda h, t: h.get("t"),
        lambda h, t: h.set("t", t),
        lambda h, t: h.__setitem__("t", t),
        lambda h, t: (h.values(), h.items(), h.model_dump()),
        lambda h, t: VT.get(h, "t", 0),
        lambda h, t: VT.get(h, "t", 1),
        lambda h, t: (VT._values(h), VT._model_dump(h, None)),
        lambda h, t: TablesHolder(h),
        lambda h, t: h == TablesHolder({"t": t}),
    ],
)
def test_stored_table_refcount_unchanged(op):
    t = object()
    h = TablesHolder({"t": t})
    op(h, t)
    gc.collect()
    before = sys.getrefcount(t)
    for _ in range(100):
        op(h, t)
    gc.collect()
    assert sys.getrefcount(t) == before
