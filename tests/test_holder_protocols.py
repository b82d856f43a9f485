"""Views, dumps and the Python protocols of TablesHolder: subscript, len, in, ==, hash, repr."""

import warnings

import pytest

from ondrel.datastore.tables import grimsel
from ondrel.datastore.tables.grimsel import TablesHolder


class MyStr(str):
    pass


class Table:
    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return isinstance(other, Table) and other.n == self.n

    def __hash__(self):
        return hash(self.n)


# ---- views and dumps ----


def test_views_are_snapshots_in_order():
    t = Table(1)
    h = TablesHolder({"b": t, "a": None})
    keys = h.keys()
    keys.append("zz")
    assert h.keys() == ["b", "a"] and h.values() == [t, None]
    assert h.items() == [("b", t), ("a", None)] and h.values()[0] is t
    assert list(h.iterate()) == h.keys()


def test_iterate_is_live():
    h = TablesHolder({"a": 1})
    it = h.iterate()
    h.set("b", 2)
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        next(it)


@pytest.mark.parametrize(
    "args, kwargs, expect_b",
    [
        ((), {}, False),
        ((True,), {}, False),
        ((False,), {}, True),
        ((), {"exclude_none": False}, True),
        ((None,), {}, True),
        ((0,), {}, True),
        (("yes",), {}, False),
    ],
)
def test_model_dump_exclude_none(args, kwargs, expect_b):
    t = Table(1)
    h = TablesHolder({"a": t, "b": None})
    dump = h.model_dump(*args, **kwargs)
    assert ("b" in dump) is expect_b
    assert dump["a"] is t and dump is not h.as_dict()


def test_model_dump_truth_error_propagates():
    class Bad:
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        TablesHolder().model_dump(Bad())
    with pytest.raises(
        TypeError, match=r"^model_dump\(\) takes at most 1 positional argument \(2 given\)$"
    ):
        TablesHolder().model_dump(True, False)


@pytest.mark.parametrize("name", ["iterate", "keys", "values", "items", "is_tables_holder"])
def test_no_argument_views_reject_arguments(name):
    with pytest.raises(
        TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"
    ):
        getattr(TablesHolder(), name)(1)


def test_empty_and_is_tables_holder():
    class Sub(TablesHolder):
        pass

    h = TablesHolder()
    assert h.empty is True
    h["a"] = None
    assert h.empty is False
    assert h.is_tables_holder() is True and Sub().is_tables_holder() is True
    with pytest.raises(AttributeError):
        h.empty = True


def test_python_methods_ignore_view_overrides():
    class Sub(TablesHolder):
        def keys(self):
            return "override"

        def model_dump(self, exclude_none=True):
            return "override"

    h = Sub({"a": 1})
    assert TablesHolder.keys(h) == ["a"] and TablesHolder.model_dump(h) == {"a": 1}


# ---- subscript, len, in ----


def test_subscript_get_set_delete():
    h = TablesHolder()
    assert h["missing"] is None
    h["a"] = None
    assert "a" in h and len(h) == 1 and h["a"] is None and h.model_dump() == {}
    h["a"] = 1
    del h["a"]
    assert len(h) == 0
    with pytest.raises(KeyError) as info:
        del h["missing"]
    assert info.value.args == ("missing",)


@pytest.mark.parametrize(
    "op",
    [
        lambda h, k: h[k],
        lambda h, k: h.__setitem__(k, 1),
        lambda h, k: h.__delitem__(k),
        lambda h, k: k in h,
    ],
)
@pytest.mark.parametrize("key", [0, b"a", None, 1.0, MyStr("a")])
def test_protocol_names_must_be_exact_str(op, key):
    h = TablesHolder({"a": 1})
    with pytest.raises(TypeError) as info:
        op(h, key)
    assert str(info.value) == (
        f"Argument 'name' has incorrect type (expected str, got {type(key).__name__})"
    )
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) is isinstance(key, str)
    assert h.as_dict() == {"a": 1}


def for_loop(h):
    for _ in h:
        pass


@pytest.mark.parametrize("op", [list, for_loop, lambda h: next(iter(h))])
def test_iteration_falls_back_to_integer_index_and_fails(op):
    with pytest.raises(TypeError, match="expected str, got int"):
        op(TablesHolder({"a": 1}))


def test_truth_follows_length():
    assert not TablesHolder() and TablesHolder({"a": None})


def test_type_defines_no_iter_bool_str_format():
    for name in ("__iter__", "__bool__", "__str__", "__format__"):
        assert name not in TablesHolder.__dict__
    assert str(TablesHolder({"a": 1})) == "TablesHolder({'a': 1})"


def test_subscript_uses_overrides():
    log = []

    class Sub(TablesHolder):
        def get(self, name):
            return "fixed"

        def set(self, name, table):
            log.append(("set", name, table))

        def remove(self, name):
            log.append(("remove", name))

    h = Sub({"a": 1})
    assert h["a"] == "fixed" and TablesHolder.get(h, "a") == 1 and TablesHolder.get(h, "z") is None
    h["b"] = 2
    del h["a"]
    assert log == [("set", "b", 2), ("remove", "a")] and TablesHolder.keys(h) == ["a"]
    assert len(h) == 1 and "a" in h  # len and in read the root, not overrides


# ---- equality ----


def test_equality_by_content_ignores_order():
    a = TablesHolder({"x": Table(1), "y": Table(2)})
    b = TablesHolder({"y": Table(2), "x": Table(1)})
    assert a == b and not (a != b)
    b["y"] = Table(3)
    assert a != b and not (a == b)


def test_equality_with_subclass_instance():
    class Sub(TablesHolder):
        pass

    assert TablesHolder({"a": 1}) == Sub({"a": 1}) and Sub({"a": 1}) == TablesHolder({"a": 1})


@pytest.mark.parametrize("other", [{"a": 1}, None, 5, "TablesHolder"])
def test_comparison_with_non_holder(other):
    h = TablesHolder({"a": 1})
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no DeprecationWarning for NotImplemented's truth
        assert (h == other) is False
        assert (h != other) is True
    assert h.__eq__(other) is NotImplemented and h.__ne__(other) is NotImplemented


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_not_supported(op):
    a, b = TablesHolder(), TablesHolder()
    assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        a < b


def test_eq_uses_as_dict_on_both_sides():
    class Sub(TablesHolder):
        def as_dict(self):
            return {"same": 1}

    assert Sub({"a": 1}) == Sub({"b": 2})
    assert Sub({"x": 1}) == TablesHolder({"same": 1})
    assert TablesHolder({"same": 1}) == Sub({"x": 1})


def test_ne_calls_eq_by_name():
    class Sub(TablesHolder):
        def __eq__(self, other):
            return None  # falsy

    assert (Sub() != Sub()) is True

    class Truthy(TablesHolder):
        def __eq__(self, other):
            return [1]

    assert (Truthy() != Truthy()) is False

    class BadTruth:
        def __bool__(self):
            raise ValueError("truth")

    class Raises(TablesHolder):
        def __eq__(self, other):
            return BadTruth()

        __hash__ = TablesHolder.__hash__

    with pytest.raises(ValueError, match="truth"):
        Raises() != Raises()


def test_comparison_error_propagates():
    class Boom:
        def __eq__(self, other):
            raise ArithmeticError("cmp")

        __hash__ = object.__hash__

    with pytest.raises(ArithmeticError, match="cmp"):
        TablesHolder({"a": Boom()}) == TablesHolder({"a": Boom()})


# ---- hash and repr ----


def test_hash_follows_contents():
    a = TablesHolder({"x": Table(1), "y": Table(2)})
    b = TablesHolder({"y": Table(2), "x": Table(1)})
    assert hash(a) == hash(b)
    before = hash(a)
    a["z"] = Table(3)
    assert hash(a) != before and hash(a) == hash(TablesHolder(a))


def test_hash_of_unhashable_table_raises():
    class Unhashable:
        __hash__ = None

    with pytest.raises(TypeError, match="unhashable"):
        hash(TablesHolder({"a": Unhashable()}))


def test_hash_calls_freeze_at_each_use(monkeypatch):
    seen = []

    def fake_freeze(obj):
        seen.append(obj)
        return 42

    monkeypatch.setattr(grimsel, "freeze", fake_freeze)
    h = TablesHolder({"a": 1})
    assert hash(h) == hash(42)
    assert seen == [h.as_dict()] and seen[0] is h.as_dict()


def test_missing_freeze_is_name_error(monkeypatch):
    monkeypatch.delattr(grimsel, "freeze")
    with pytest.raises(NameError, match="^name 'freeze' is not defined$"):
        hash(TablesHolder())


def test_freeze_from_builtins(monkeypatch):
    import builtins

    monkeypatch.delattr(grimsel, "freeze")
    monkeypatch.setattr(builtins, "freeze", lambda obj: "frozen", raising=False)
    assert hash(TablesHolder()) == hash("frozen")


@pytest.mark.parametrize(
    "root, text",
    [
        ({}, "TablesHolder({})"),
        ({"a": 1}, "TablesHolder({'a': 1})"),
        (None, "TablesHolder(None)"),
        ("raw", "TablesHolder(raw)"),
        (7, "TablesHolder(7)"),
        (1.5, "TablesHolder(1.5)"),
        ([1], "TablesHolder([1])"),
    ],
)
def test_repr(root, text):
    from _holder_vtable import vtable

    h = TablesHolder()
    vtable().set_root(h, root)  # only native code can put a non-dict root in place
    assert repr(h) == text and str(h) == text


def test_repr_of_subclass_keeps_literal_prefix():
    class Sub(TablesHolder):
        pass

    assert repr(Sub({"a": 1})) == "TablesHolder({'a': 1})"


@pytest.mark.parametrize("bad", [[1], "s", 3, (), type("D", (dict,), {})()])
@pytest.mark.parametrize(
    "op", [repr, hash, lambda h: h == TablesHolder(), lambda h: h._serialize()]
)
def test_as_dict_override_result_checked(bad, op):
    class Sub(TablesHolder):
        def as_dict(self):
            return bad

    with pytest.raises(TypeError) as info:
        op(Sub())
    assert str(info.value) == f"Expected dict, got {type(bad).__name__}"


def test_as_dict_override_none_passes_check():
    class Sub(TablesHolder):
        def as_dict(self):
            return None

    assert repr(Sub()) == "TablesHolder(None)"
    assert Sub() == Sub()
    assert Sub()._serialize() is None
