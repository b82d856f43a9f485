"""Our functions travel to other processes: pickled and copied by reference, weak references,
attributes; a process pool and Dask run the reader, and the README's examples run as written."""

from __future__ import annotations

import copy
import functools
import multiprocessing
import pickle
import re
import tomllib
import types
import weakref
from concurrent.futures import ProcessPoolExecutor
from decimal import Decimal
from pathlib import Path

import cloudpickle
import pytest

from _isolated import run_ok
from _toml_layout import document, dumps, same
from ondrel.datastore.adapter.toml import decoder, pentock
from ondrel.datastore.adapter.toml.decoder import read_unified_data
from ondrel.datastore.tables import grimsel
from ondrel.datastore.tables.grimsel import TablesHolder

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
README = Path(__file__).resolve().parent.parent / "README.md"


def _ours(obj: object) -> bool:
    return type(obj).__name__ == "ondrel_function"


def _every_function() -> list[tuple[str, object]]:
    """Each module function and each TablesHolder method as users reach it (class methods
    bound to the class), found by type so new functions are covered as they appear."""
    found = [
        (f"{m.__name__.rpartition('.')[2]}.{n}", v)
        for m in (grimsel, pentock, decoder)
        for n, v in vars(m).items()
        if _ours(v)
    ]
    for n, v in vars(TablesHolder).items():
        if _ours(v) or (isinstance(v, classmethod) and _ours(v.__func__)):
            found.append((f"TablesHolder.{n}", getattr(TablesHolder, n)))
    return found


FUNCTIONS = _every_function()
PICKLERS = [
    *(functools.partial(pickle.dumps, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)),
    cloudpickle.dumps,
]
PICKLER_IDS = [*(f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)), "cloudpickle"]


def test_every_function_is_found():
    want = {"decoder.read_unified_data", "pentock.write_unified_data", "TablesHolder.set"}
    assert want | {"TablesHolder._validate", "TablesHolder.__reduce__"} <= dict(FUNCTIONS).keys()


def _same_callable(a: object, b: object) -> bool:
    if isinstance(a, types.MethodType):  # a class method: bound anew on each lookup
        return type(b) is types.MethodType and a.__func__ is b.__func__ and a.__self__ is b.__self__
    return a is b


@pytest.mark.parametrize("dumps_", PICKLERS, ids=PICKLER_IDS)
@pytest.mark.parametrize(("name", "f"), FUNCTIONS, ids=[n for n, _ in FUNCTIONS])
def test_pickled_and_copied_as_the_same_object(name, f, dumps_):
    for back in (pickle.loads(dumps_(f)), copy.copy(f), copy.deepcopy(f)):
        assert _same_callable(back, f), name
    raw = getattr(f, "__func__", f)
    ref = weakref.ref(raw)
    assert ref() is raw
    # An attribute lives on the function itself, so it travels with the reference.
    raw.marker = name
    try:
        back = pickle.loads(dumps_(f))
        assert getattr(back, "__func__", back).marker == name and raw.__dict__ == {"marker": name}
    finally:
        del raw.marker
    # Pickling by name relies on these staying the function's own.
    for attr in ("__module__", "__qualname__", "__name__", "__doc__"):
        with pytest.raises(AttributeError):
            setattr(raw, attr, "x")


def test_partial_pickles_by_reference():
    part = functools.partial(decoder.decode_unified_data, parse_float=Decimal)
    for back in (pickle.loads(dumps_(part)) for dumps_ in PICKLERS):
        assert back.func is decoder.decode_unified_data
        assert same(back("x = 1.50"), {"x": Decimal("1.50")})


@pytest.mark.parametrize("op", [*PICKLERS, copy.deepcopy], ids=[*PICKLER_IDS, "deepcopy"])
def test_bound_method_carries_its_refusing_holder(op):
    with pytest.raises(TypeError) as info:
        op(TablesHolder({"t": 1}).set)
    assert info.value.args == (REFUSAL,)


# ---- in other processes ----------------------------------------------------------------------


@pytest.fixture
def documents(tmp_path):
    """A few documents holding integers, floats, a date-time and nested values (30 records)."""
    paths = []
    for i in range(5):
        doc = document(
            "1.0",
            str(i),
            {
                "users": (
                    [("id", "INTEGER", False, None, None, None, None, False, True, True, True)],
                    [{"id": k, "score": k / 7, "tags": ["a", {"b": k}]} for k in range(i * 3)],
                ),
            },
        )
        path = tmp_path / f"doc{i}.toml"
        path.write_text(dumps(doc, escape_strings=True) + f"when = 2024-0{i + 1}-02T03:04:05Z\n")
        paths.append(path)
    return paths


# fork is left out: after pyarrow or DuckDB start threads, a forked child may deadlock.
@pytest.mark.parametrize("start", ["forkserver", "spawn"])
def test_process_pool_maps_the_reader(documents, start):
    want = [tomllib.loads(p.read_text()) for p in documents]
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(start)) as pool:
        got = list(pool.map(read_unified_data, documents))
        as_decimal = list(
            pool.map(functools.partial(read_unified_data, parse_float=Decimal), documents)
        )
    assert all(map(same, got, want))
    assert same(as_decimal, [tomllib.loads(p.read_text(), parse_float=Decimal) for p in documents])


def test_dask_bag_maps_the_reader(documents):
    db = pytest.importorskip("dask.bag", reason="dask cannot be imported here")
    got = db.from_sequence(documents).map(read_unified_data).compute(scheduler="processes")
    assert same(got, [tomllib.loads(p.read_text()) for p in documents])


def _readme_blocks(section: str, lang: str = "python") -> list[str]:
    text = README.read_text(encoding="utf-8")
    body = re.search(rf"^## {section}\n(.*?)(?=^## )", text, re.S | re.M)
    assert body, f"README has no '{section}' section"
    return re.findall(rf"^```{lang}\n(.*?)^```", body.group(1), re.S | re.M)


def test_readme_usage_examples_run_and_show_their_layout(tmp_path):
    """Writing, loading in one call and the round trip run as written; the TOML layout section
    shows exactly the document of the usage example's model."""
    code = "\n".join(_readme_blocks("Usage")) + "\nprint(text, end='')"
    out = run_ok(code, prelude=f"import os; os.chdir({str(tmp_path)!r})", marker=None)
    assert out == _readme_blocks("TOML layout", "toml")[0]


@pytest.mark.parametrize("index", [0, 1], ids=["process-pool", "dask"])
def test_readme_many_documents_examples_run(documents, index):
    block = _readme_blocks("Many documents")[index]
    if "dask" in block:
        pytest.importorskip("dask.bag", reason="dask cannot be imported here")
    # The examples read ./data: a folder of the fixture's documents.
    folder = documents[0].parent
    (folder / "data").mkdir()
    for p in documents:
        p.rename(folder / "data" / p.name)
    out = run_ok(block, prelude=f"import os; os.chdir({str(folder)!r})", marker=None)
    assert out.splitlines()[-1] == "5 documents, 30 records"
