"""TablesHolder construction, single-table operations and bulk loading, from Python."""

import gc
import weakref

import pytest

from ondrel.datastore.tables import grimsel
from ondrel.datastore.tables.data import TableData
from ondrel.datastore.tables.grimsel import TablesHolder

TABLE = {"columns": [{"name": "id", "type": "int"}], "records": [{"id": 1}]}


class MyStr(str):
    pass


# ---- construction ----


@pytest.mark.parametrize(
    "make",
    [
        lambda: TablesHolder(),
        lambda: TablesHolder(None),
        lambda: TablesHolder(holder=None),
        lambda: TablesHolder([("a", 1)]),
        lambda: TablesHolder(42),
        lambda: TablesHolder("abc"),
    ],
)
def test_construction_without_mapping_is_empty(make):
    h = make()
    assert len(h) == 0 and h.keys() == [] and h.is_tables_holder()


def test_construction_from_dict_validates_only_dict_values():
    class D(dict):
        pass

    marker = object()
    source = {"a": 1, "t": TABLE, "d": D(TABLE), "m": marker, "n": None}
    h = TablesHolder(source)
    source["late"] = 1
    assert h.keys() == ["a", "t", "d", "m", "n"]  # a root of its own
    assert h.get("a") == 1 and h.get("m") is marker and h.contains("n")
    assert isinstance(h.get("t"), TableData) and h.get("t").records == [{"id": 1}]
    assert isinstance(h.get("d"), TableData)


def test_construction_from_holder_copies_root_shares_tables():
    src = TablesHolder({"a": TABLE})
    dst = TablesHolder(holder=src)
    src.set("b", 2)
    src.remove("a")
    assert dst.keys() == ["a"]
    assert dst.as_dict() is not src.as_dict()
    assert TablesHolder(dst)["a"] is dst["a"]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2), {}, "__cinit__() takes at most 1 positional argument (2 given)"),
        ((), {"foo": 1}, "__cinit__() got an unexpected keyword argument 'foo'"),
        (
            (None,),
            {"holder": None},
            "__cinit__() got multiple values for keyword argument 'holder'",
        ),
    ],
)
def test_construction_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        TablesHolder(*args, **kwargs)
    assert str(info.value) == message


def test_init_again_changes_nothing():
    h = TablesHolder({"a": 1})
    h.__init__({"b": 2})
    h.__init__(holder={"c": 3})
    assert h.keys() == ["a"]
    with pytest.raises(
        TypeError, match=r"^__init__\(\) takes at most 1 positional argument \(2 given\)$"
    ):
        h.__init__(1, 2)


def test_failed_validation_fails_construction():
    with pytest.raises(Exception) as info:
        TablesHolder({"ok": TABLE, "bad": {"columns": 5}})
    assert "columns" in str(info.value)


def test_subclass_init_with_two_arguments_rejected_by_allocation():
    class Sub(TablesHolder):
        def __init__(self, a, b):
            raise AssertionError("never reached")

    with pytest.raises(
        TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"
    ):
        Sub(1, 2)


def test_subclass_replace_dict_runs_at_allocation_before_init():
    seen = []

    class Sub(TablesHolder):
        def __init__(self, holder=None):
            seen.append(("init", self.keys()))

        def replace_dict(self, other):
            seen.append(("replace", other, self.is_tables_holder()))

    h = Sub({"a": 1})
    # The override did nothing, so nothing was ingested; the marker is set only afterwards.
    assert seen == [("replace", {"a": 1}, False), ("init", [])]
    assert h.is_tables_holder() and len(h) == 0


def test_subclass_replace_dict_error_fails_construction():
    class Sub(TablesHolder):
        def replace_dict(self, other):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="nope"):
        Sub({"a": 1})
    assert len(Sub()) == 0  # no holder argument: replace_dict is not called


def test_abstract_subclass_refused():
    import abc

    class Abstract(TablesHolder, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def f(self): ...

    with pytest.raises(TypeError, match="abstract"):
        Abstract()


def test_no_instance_dict_no_weakref_immutable_class():
    h = TablesHolder()
    with pytest.raises(AttributeError):
        h.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(h)
    with pytest.raises(TypeError):
        TablesHolder.get = None


def test_cycle_through_root_is_collected():
    h = TablesHolder()
    h["self"] = h
    probe = TablesHolder()

    class Table:
        pass

    t = Table()
    h["t"] = t
    ref = weakref.ref(t)
    del h, t
    gc.collect()
    assert ref() is None
    assert len(probe) == 0


# ---- single-table operations ----


def test_set_add_get_remove_contains():
    h = TablesHolder()
    assert h.set("a", 1) is None and h.add(table=2, name="b") is None
    assert h.add("a", 3) is None  # add replaces in place, it is not insert-only
    assert h.items() == [("a", 3), ("b", 2)]
    assert h.get("missing") is None
    h.set("none", None)
    assert h.get(name="none") is None and h.contains("none") and not h.contains("missing")
    assert h.remove("a") is None and not h.contains("a")
    h.set(None, "t")
    assert h.get(None) == "t" and h.contains(None)


def test_remove_missing_raises_key_error_with_name():
    h = TablesHolder({"a": 1})
    with pytest.raises(KeyError) as info:
        h.remove("zz")
    assert info.value.args == ("zz",)
    assert h.keys() == ["a"]


def test_clear_empties_the_same_root():
    h = TablesHolder({"a": 1, "b": 2})
    root = h.as_dict()
    assert h.clear() is None
    assert root == {} and h.as_dict() is root and h.empty


@pytest.mark.parametrize(
    "method, extra", [("contains", ()), ("set", (1,)), ("add", (1,)), ("get", ()), ("remove", ())]
)
@pytest.mark.parametrize("bad", [MyStr("a"), 1, b"a", 1.5])
def test_name_must_be_exact_str_or_none(method, extra, bad):
    h = TablesHolder({"a": 1})
    with pytest.raises(TypeError) as info:
        getattr(h, method)(bad, *extra)
    assert str(info.value) == (
        f"Argument 'name' has incorrect type (expected str, got {type(bad).__name__})"
    )
    assert h.as_dict() == {"a": 1}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda h: h.get(), "get() takes exactly 1 positional argument (0 given)"),
        (lambda h: h.get("a", "b"), "get() takes exactly 1 positional argument (2 given)"),
        (lambda h: h.set("a"), "set() takes exactly 2 positional arguments (1 given)"),
        (lambda h: h.add("a", 1, 2), "add() takes exactly 2 positional arguments (3 given)"),
        (lambda h: h.remove(key="a"), "remove() got an unexpected keyword argument 'key'"),
        (
            lambda h: h.contains("a", name="a"),
            "contains() got multiple values for keyword argument 'name'",
        ),
        (lambda h: h.clear(1), "clear() takes exactly 0 positional arguments (1 given)"),
        (lambda h: h.as_dict(x=1), "as_dict() got an unexpected keyword argument 'x'"),
        (
            lambda h: h.replace_dict(),
            "replace_dict() takes exactly 1 positional argument (0 given)",
        ),
        (lambda h: h.get(**{"name": "a", "x": 1}), "get() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors_name_the_method(call, message):
    with pytest.raises(TypeError) as info:
        call(TablesHolder())
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, args",
    [
        ("as_dict", ()),
        ("replace_dict", ({},)),
        ("contains", ("a",)),
        ("set", ("a", 1)),
        ("add", ("a", 1)),
        ("get", ("a",)),
        ("remove", ("a",)),
        ("clear", ()),
        ("iterate", ()),
        ("keys", ()),
        ("values", ()),
        ("items", ()),
        ("is_tables_holder", ()),
        ("model_dump", ()),
        ("_serialize", ()),
    ],
)
@pytest.mark.parametrize("not_holder", [5, {"a": 1}, None])
def test_methods_through_class_refuse_non_holders(name, args, not_holder):
    with pytest.raises(TypeError, match="Argument 'self' has incorrect type"):
        getattr(TablesHolder, name)(not_holder, *args)


# ---- bulk loading ----


def test_as_dict_is_the_live_root():
    h = TablesHolder()
    assert h.as_dict() is h.as_dict()
    h.as_dict()["x"] = 1
    assert "x" in h


def test_replace_dict_merges_and_validates():
    h = TablesHolder({"a": 1})
    assert h.replace_dict({"b": TABLE, "a": 2}) is None
    assert h.keys() == ["a", "b"] and h["a"] == 2 and isinstance(h["b"], TableData)


@pytest.mark.parametrize("other", [42, None, [("b", 1)], "b", TableData()])
def test_replace_dict_ignores_non_mappings(other):
    h = TablesHolder({"a": 1})
    h.replace_dict(other)
    assert h.as_dict() == {"a": 1}


def test_replace_dict_of_self_validates_plain_dict_tables_in_place():
    h = TablesHolder()
    h.as_dict()["t"] = dict(TABLE)
    h.set("x", 1)
    h.replace_dict(h)
    assert h.keys() == ["t", "x"] and isinstance(h["t"], TableData) and h["x"] == 1


def test_replace_dict_of_other_holder_merges():
    h = TablesHolder({"a": 1})
    h.replace_dict(TablesHolder({"b": 2, "a": 3}))
    assert h.items() == [("a", 3), ("b", 2)]


def test_replace_dict_stores_non_str_keys_unchecked():
    h = TablesHolder()
    h.replace_dict({1: "one", (2, 3): "t"})
    assert h.as_dict() == {1: "one", (2, 3): "t"}


def test_failure_mid_ingest_keeps_earlier_entries():
    h = TablesHolder()
    with pytest.raises(Exception, match="columns"):
        h.replace_dict({"first": TABLE, "second": {"columns": "bad"}, "third": TABLE})
    assert h.keys() == ["first"]


@pytest.mark.parametrize("result", [[1], {"a": 1}.items(), "dict", type("D", (dict,), {})()])
def test_replace_dict_from_holder_with_bad_as_dict(result):
    class Sub(TablesHolder):
        def as_dict(self):
            return result

    with pytest.raises(TypeError) as info:
        TablesHolder(Sub())
    assert str(info.value) == f"Expected dict, got {type(result).__name__}"


def test_replace_dict_from_holder_whose_as_dict_returns_none():
    class Sub(TablesHolder):
        def as_dict(self):
            return None

    assert len(TablesHolder(Sub({"a": 1}))) == 0


def test_missing_table_data_global_is_name_error(monkeypatch):
    monkeypatch.delattr(grimsel, "TableData")
    with pytest.raises(NameError, match="^name 'TableData' is not defined$"):
        TablesHolder({"t": {}})
    assert TablesHolder({"t": 1})["t"] == 1  # no lookup without a dict value


def test_table_data_looked_up_at_each_use(monkeypatch):
    calls = []

    class Fake:
        @staticmethod
        def model_validate(value):
            calls.append(value)
            return "validated"

    monkeypatch.setattr(grimsel, "TableData", Fake)
    inner = {"x": 1}
    assert TablesHolder({"t": inner})["t"] == "validated"
    assert calls == [inner] and calls[0] is inner
