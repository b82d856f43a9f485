"""The native operation table called from native code, the override rule as native callers see
it, and crash-class inputs (run in a subprocess so a crash fails one test, not the run)."""

import pytest

from _holder_vtable import dump_args, vtable
from _isolated import run_ok
from ondrel.datastore.tables.grimsel import TablesHolder

VT = vtable()


# ---- primitives and built-in operations ----


def test_size_get_set_through_table():
    h = TablesHolder()
    assert VT._size(h) == 0 and VT._empty(h) == 1
    VT._set(h, "a", 1)
    VT.set(h, "b", 2, 1)
    VT.add(h, "c", 3, 0)
    assert VT._size(h) == 3 and VT._empty(h) == 0
    assert VT.get(h, "b", 1) == 2 and VT.get(h, "zz", 0) is None
    assert VT._contains(h, "a") == 1 and VT.contains(h, "zz", 1) == 0
    assert VT._keys(h) == ["a", "b", "c"]
    assert VT._values(h) == [1, 2, 3]
    assert VT._items(h) == [("a", 1), ("b", 2), ("c", 3)]
    VT.remove(h, "a", 0)
    assert h.keys() == ["b", "c"]
    VT.clear(h, 1)
    assert VT._size(h) == 0


def test_native_slots_do_not_check_name_and_keep_failure_conventions():
    h = TablesHolder({"a": 1})
    VT._set(h, 5, "five")
    assert VT.get(h, 5, 1) == "five" and VT._contains(h, 5)
    assert VT.get(h, [1], 1) is None  # an unhashable name is "not found" for get
    with pytest.raises(TypeError, match="unhashable"):
        VT.contains(h, [1], 1)
    with pytest.raises(KeyError) as info:
        VT.remove(h, "zz", 1)
    assert info.value.args == ("zz",)


def test_get_root_and_set_root():
    h = TablesHolder({"a": 1})
    root = VT.get_root(h)
    assert root is h.as_dict()
    VT.set_root(h, root)  # the current root: harmless
    assert h.as_dict() is root and h["a"] == 1
    other = {"b": 2}
    VT.set_root(h, other)
    assert h.as_dict() is other and h.keys() == ["b"]


def test_ingest_dict_native_only():
    h = TablesHolder({"a": 1})
    VT.ingest_dict(h, {"b": {"records": [{"x": 1}]}, "a": 2})
    VT.ingest_dict(h, None)
    assert h.keys() == ["a", "b"] and h["a"] == 2 and h["b"].records == [{"x": 1}]


@pytest.mark.parametrize(
    "record, expect",
    [(None, {"a": 1}), ((0, 0), {"a": 1}), ((1, 1), {"a": 1}), ((1, 0), {"a": 1, "b": None})],
)
def test_model_dump_optional_record(record, expect):
    h = TablesHolder({"a": 1, "b": None})
    args = None if record is None else dump_args(*record)
    assert VT._model_dump(h, args) == expect
    assert VT.model_dump(h, 0, args) == expect


def test_hash_low_32_bits_of_full_hash():
    h = TablesHolder({"a": 1})
    full = hash(h)
    low = full & 0xFFFFFFFF
    assert VT._hash(h) == (low - (1 << 32) if low >= 1 << 31 else low)


def test_hash_ignores_as_dict_override():
    class Sub(TablesHolder):
        def as_dict(self):
            return [1]  # would fail hash(), but _hash reads the root itself

    VT._hash(Sub({"a": 1}))


def test_instances_point_at_the_one_table():
    import ctypes

    class Sub(TablesHolder):
        pass

    table_address = ctypes.addressof(VT)
    for h in (TablesHolder(), Sub()):
        # The table pointer follows the object header.
        pointer = ctypes.c_void_p.from_address(id(h) + object.__basicsize__).value
        assert pointer == table_address


# ---- the override rule seen from native callers ----


class Recorder(TablesHolder):
    log: list = []

    def contains(self, name):
        self.log.append(("contains", name))
        return "yes"

    def set(self, name, table):
        self.log.append(("set", name, table))
        return "ignored"

    def add(self, name, table):
        self.log.append(("add", name, table))

    def get(self, name):
        self.log.append(("get", name))
        return "override"

    def remove(self, name):
        self.log.append(("remove", name))

    def clear(self):
        self.log.append(("clear",))

    def iterate(self):
        return "any object"

    def keys(self):
        return ["k"]

    def values(self):
        return None

    def items(self):
        return [("i", 0)]

    def model_dump(self, exclude_none):
        self.log.append(("model_dump", exclude_none))
        return {"m": 1}

    def is_tables_holder(self):
        return 0

    def as_dict(self):
        return {"as": "dict"}

    def replace_dict(self, other):
        self.log.append(("replace_dict", other))


@pytest.fixture
def recorder():
    Recorder.log = []
    h = Recorder()
    TablesHolder.set(h, "real", 1)
    return h


def test_skip_flag_clear_calls_overrides(recorder):
    h = recorder
    assert VT.contains(h, "x", 0) == 1
    VT.set(h, "s", 1, 0)
    VT.add(h, "a", 2, 0)
    assert VT.get(h, "g", 0) == "override"
    VT.remove(h, "r", 0)
    VT.clear(h, 0)
    assert VT.iterate(h, 0) == "any object"
    assert VT.keys(h, 0) == ["k"] and VT.values(h, 0) is None and VT.items(h, 0) == [("i", 0)]
    assert VT.model_dump(h, 0, dump_args(1, 0)) == {"m": 1}
    assert VT.model_dump(h, 0, None) == {"m": 1}
    assert VT.is_tables_holder(h, 0) == 0
    assert VT.as_dict(h, 0) == {"as": "dict"}
    VT.replace_dict(h, 7, 0)
    assert Recorder.log == [
        ("contains", "x"),
        ("set", "s", 1),
        ("add", "a", 2),
        ("get", "g"),
        ("remove", "r"),
        ("clear",),
        ("model_dump", False),
        ("model_dump", True),
        ("replace_dict", 7),
    ]
    # The built-in operations never ran: the root still holds only what was set directly.
    assert TablesHolder.as_dict(h) == {"real": 1}


def test_skip_flag_set_runs_builtin(recorder):
    h = recorder
    VT.set(h, "s", 1, 1)
    VT.add(h, "a", 2, 1)
    assert VT.get(h, "s", 1) == 1 and VT.contains(h, "a", 1) == 1
    assert VT.keys(h, 1) == ["real", "s", "a"]
    assert VT.is_tables_holder(h, 1) == 1
    assert VT.model_dump(h, 1, None) == {"real": 1, "s": 1, "a": 2}
    VT.remove(h, "s", 1)
    VT.clear(h, 1)
    assert Recorder.log == [] and TablesHolder.as_dict(h) == {}


def test_primitives_never_dispatch(recorder):
    h = recorder
    VT._set(h, "p", 1)
    assert VT._contains(h, "p") and VT._keys(h) == ["real", "p"] and VT._size(h) == 2
    assert VT._model_dump(h, None) == {"real": 1, "p": 1}
    assert Recorder.log == []


@pytest.mark.parametrize(
    "slot, result, expected",
    [
        ("keys", (1,), "list"),
        ("values", {}, "list"),
        ("items", "s", "list"),
        ("as_dict", [], "dict"),
        ("model_dump", [], "dict"),
    ],
)
def test_override_result_type_checked(slot, result, expected):
    class ListSub(list):
        pass

    for bad in (result, ListSub() if expected == "list" else type("D", (dict,), {})()):
        cls = type("Sub", (TablesHolder,), {slot: lambda self, *a, _r=bad: _r})
        h = cls()
        call = getattr(VT, slot)
        with pytest.raises(TypeError) as info:
            call(h, 0, None) if slot == "model_dump" else call(h, 0)
        assert str(info.value) == f"Expected {expected}, got {type(bad).__name__}"


@pytest.mark.parametrize("slot", ["contains", "get", "remove"])
def test_override_exception_propagates(slot):
    def boom(self, *args):
        raise LookupError("from override")

    h = type("Sub", (TablesHolder,), {slot: boom})()
    with pytest.raises(LookupError, match="from override"):
        getattr(VT, slot)(h, "x", 0)


def test_instance_attribute_counts_as_override():
    class Sub(TablesHolder):
        pass

    h = Sub({"a": 1})
    h.get = lambda name: "instance"
    assert VT.get(h, "a", 0) == "instance" and h["a"] == "instance"
    assert VT.get(h, "a", 1) == 1


def test_failing_lookup_fails_the_operation():
    class Sub(TablesHolder):
        def __getattribute__(self, name):
            if name == "get":
                raise RuntimeError("no lookup")
            return super().__getattribute__(name)

    with pytest.raises(RuntimeError, match="no lookup"):
        VT.get(Sub(), "a", 0)


def test_slots_subclass_without_dict_still_dispatches():
    class Sub(TablesHolder):
        __slots__ = ()

        def get(self, name):
            return "slotted"

    assert VT.get(Sub(), "a", 0) == "slotted"


def test_inherited_builtin_is_not_an_override():
    class Sub(TablesHolder):
        other_get = TablesHolder.get

    h = Sub({"a": 1})
    h_get = h.get
    assert VT.get(h, "a", 0) == 1 and h_get("a") == 1


# ---- crash-class inputs ----


def test_every_operation_on_a_root_that_is_not_a_dict():
    run_ok(
        """
        import pickle
        from _holder_vtable import vtable, dump_args
        from ondrel.datastore.tables.grimsel import TablesHolder
        vt = vtable()
        ops = [
            lambda h: len(h), lambda h: "a" in h, lambda h: h["a"], lambda h: h.__setitem__("a", 1),
            lambda h: h.__delitem__("a"), lambda h: h.get("a"), lambda h: h.set("a", 1),
            lambda h: h.add("a", 1), lambda h: h.remove("a"), lambda h: h.contains("a"),
            lambda h: h.clear(), lambda h: list(h.iterate()), lambda h: h.keys(),
            lambda h: h.values(), lambda h: h.items(), lambda h: h.model_dump(),
            lambda h: h.empty, lambda h: h.replace_dict({"x": {}}), lambda h: h.replace_dict(h),
            lambda h: repr(h), lambda h: hash(h), lambda h: h == TablesHolder(),
            lambda h: TablesHolder() == h, lambda h: TablesHolder(h), lambda h: h.as_dict(),
            lambda h: h.is_tables_holder(), lambda h: bool(h), lambda h: h._serialize(),
            lambda h: vt._size(h), lambda h: vt._empty(h), lambda h: vt._set(h, "a", 1),
            lambda h: vt._contains(h, "a"), lambda h: vt._keys(h), lambda h: vt._values(h),
            lambda h: vt._items(h), lambda h: vt._hash(h), lambda h: vt._model_dump(h, None),
            lambda h: vt.get(h, "a", 0), lambda h: vt.ingest_dict(h, {"a": 1}),
        ]
        for bad_root in (None, 5, [1, 2], "text", (1,)):
            for i, op in enumerate(ops):
                h = TablesHolder({"a": 1})
                vt.set_root(h, bad_root)
                try:
                    op(h)
                except (TypeError, AttributeError, KeyError):
                    pass
        # The messages named for a root of None.
        h = TablesHolder()
        vt.set_root(h, None)
        for op, exc, msg in [
            (lambda: len(h), TypeError, "object of type 'NoneType' has no len()"),
            (lambda: "a" in h, TypeError, "'NoneType' object is not iterable"),
            (lambda: h.iterate(), AttributeError, "'NoneType' object has no attribute 'keys'"),
        ]:
            try:
                op()
            except exc as e:
                assert str(e) == msg, (str(e), msg)
            else:
                raise AssertionError(msg)
        assert h.as_dict() is None and repr(h) == "TablesHolder(None)"
        print("OK")
        """
    )


def test_validator_that_empties_the_incoming_dict():
    run_ok(
        """
        import gc
        from ondrel.datastore.tables import grimsel
        from ondrel.datastore.tables.grimsel import TablesHolder

        incoming = {}
        class Evil:
            @staticmethod
            def model_validate(value):
                # Drops the dict's references to the key and value being ingested.
                incoming.clear()
                gc.collect()
                return "validated"

        grimsel.TableData = Evil
        for i in range(3):
            incoming["".join(["key", str(i), "x" * 50])] = {"inner": [object() for _ in range(10)]}
        h = TablesHolder(incoming)
        assert h.keys() == ["key0" + "x" * 50], h.keys()
        assert h["key0" + "x" * 50] == "validated"

        # A validator that keeps adding entries while the walk runs: bounded by the validator.
        n = 0
        grow = {"k0": {}}
        class Grower:
            @staticmethod
            def model_validate(value):
                global n
                n += 1
                if n < 50:
                    grow["k%d" % n] = {}
                return n
        grimsel.TableData = Grower
        h = TablesHolder(grow)
        assert len(h) >= 1
        print("OK")
        """
    )


def test_reentrant_and_deep_structures():
    run_ok(
        """
        from ondrel.datastore.tables.grimsel import TablesHolder
        h = TablesHolder()
        class Key:
            def __hash__(self):
                h.clear()  # frees the other entries while model_dump walks the root
                return 1
        for i in range(5):
            h.as_dict()["".join(["n", str(i)])] = [object()]
        h.as_dict()[Key()] = [object()]
        h.model_dump()

        me = TablesHolder()
        me["me"] = me
        assert repr(me) == "TablesHolder({'me': TablesHolder({...})})", repr(me)
        for op in (hash, lambda x: x == TablesHolder(x)):
            try:
                op(me)
            except RecursionError:
                pass

        deep = TablesHolder()
        for _ in range(100_000):
            deep = TablesHolder({"inner": deep})
        for op in (repr, hash, lambda x: x == TablesHolder({"inner": x})):
            try:
                op(deep)
            except RecursionError:
                pass
        del deep  # deallocating the chain must not overflow the C stack
        print("OK")
        """
    )
