"""Crash classes of the holder: type confusion through the class, half-made objects, binary
slots, cycles, mutation while reading and deep nesting on small stacks. Each case runs in a
fresh interpreter, so a crash fails one test instead of the run."""

import pytest

from _isolated import run_ok


def test_every_class_attribute_with_half_made_and_foreign_selves():
    # __new__ without __init__, a subclass made the same way, and objects that are not holders,
    # each passed as self to every method, slot wrapper and descriptor the class has.
    run_ok(
        """
        import itertools
        from ondrel.datastore.tables.grimsel import TablesHolder
        class Sub(TablesHolder):
            pass
        selves = [TablesHolder.__new__(TablesHolder), TablesHolder.__new__(Sub), Sub.__new__(Sub),
                  5, None, {"a": 1}, "text", object(), TablesHolder]
        args = [(), ("a",), ("a", 1), ({"a": {}},), (None, None), (1, 2, 3)]
        names = sorted(set(dir(TablesHolder)) - {"__class__", "__init_subclass__",
                                                 "__subclasshook__", "__new__"})
        for self, name, a in itertools.product(selves, names, args):
            attr = TablesHolder.__dict__.get(name, getattr(TablesHolder, name))
            for call in (lambda: getattr(TablesHolder, name)(self, *a),
                         lambda: attr.__get__(self, type(self))(*a),
                         lambda: attr(self, *a)):
                try:
                    call()
                except Exception:
                    pass
        h = TablesHolder.__new__(TablesHolder)
        assert h.is_tables_holder() and len(h) == 0 and h.model_dump() == {}
        h.__init__({"x": 1})
        h.__init__()
        assert h.keys() == []
        print("OK")
        """
    )


def test_binary_slots_with_the_holder_on_either_side():
    run_ok(
        """
        import operator
        from ondrel.datastore.tables.grimsel import TablesHolder
        class Sub(TablesHolder):
            def __eq__(self, other):
                return super().__eq__(other)
        ops = [getattr(operator, n) for n in (
            "add", "sub", "mul", "matmul", "truediv", "floordiv", "mod", "pow", "lshift",
            "rshift", "and_", "xor", "or_", "iadd", "isub", "imul", "imatmul", "itruediv",
            "ifloordiv", "imod", "ipow", "ilshift", "irshift", "iand", "ixor", "ior",
            "lt", "le", "eq", "ne", "gt", "ge", "contains", "getitem", "concat", "iconcat")]
        ops += [divmod, lambda a, b: pow(a, b, 3), lambda a, b: a[b:b], lambda a, b: b in a]
        others = [0, -1, 2**70, 1.5, "a", b"a", [1], ("a",), {"a": 1}, None, TablesHolder(),
                  TablesHolder({"a": 1}), Sub({"a": 1}), NotImplemented, slice(1)]
        for op in ops:
            for h in (TablesHolder({"a": 1}), Sub({"a": 1})):
                for other in others:
                    for a, b in ((h, other), (other, h)):
                        try:
                            op(a, b)
                        except Exception:
                            pass
        for unary in (operator.neg, operator.pos, operator.invert, abs, operator.index, int,
                      float, complex, iter, reversed, bool, len, str, format):
            try:
                unary(TablesHolder({"a": 1}))
            except Exception:
                pass
        print("OK")
        """
    )


@pytest.mark.parametrize(
    "link",
    [
        "h['me'] = h",  # through the root
        "h.attr = h",  # through the subclass instance dict
        "h['t'] = [h, {'back': h}]",  # through a table
        "h['other'] = TablesHolder({'back': h})",  # through another holder
    ],
)
def test_cycle_with_subclass_instance_is_collected(link):
    run_ok(
        f"""
        import gc, weakref
        from ondrel.datastore.tables.grimsel import TablesHolder
        class Sub(TablesHolder):
            pass
        gc.disable()
        for _ in range(3):
            h = Sub({{"a": 1}})
            {link}
            ref = weakref.ref(h)
            del h
            gc.collect()
            assert ref() is None
        print("OK")
        """
    )


def test_mutation_while_reading():
    # Python code run by an operation clears, grows or swaps out what that operation reads.
    run_ok(
        """
        import gc
        from _holder_vtable import vtable
        from ondrel.datastore.tables import grimsel
        from ondrel.datastore.tables.grimsel import TablesHolder
        vt = vtable()

        def attempt(fn):
            try:
                fn()
            except Exception:
                pass

        victim = TablesHolder()

        def wreck():
            victim.clear()
            vt.set_root(victim, {"n" + str(i): [object()] for i in range(50)})
            gc.collect()

        # A validator swaps the root being filled and empties the incoming dict.
        incoming = {"k" + str(i) * 40: {"x": [object()]} for i in range(5)}
        class Validator:
            @staticmethod
            def model_validate(value):
                incoming.clear()
                wreck()
                return value
        real = grimsel.TableData
        grimsel.TableData = Validator
        victim = TablesHolder()
        attempt(lambda: victim.replace_dict(incoming))
        grimsel.TableData = real

        # Overrides of the other side of ==, replace_dict and construction.
        class Other(TablesHolder):
            def as_dict(self):
                wreck()
                return {"z" + str(i): object() for i in range(20)}
        for fn in (lambda: victim == Other(), lambda: victim != Other(),
                   lambda: victim.replace_dict(Other()), lambda: TablesHolder(Other()),
                   lambda: vt.replace_dict(victim, Other(), 0)):
            victim = TablesHolder({"a" + str(i): [i] for i in range(10)})
            attempt(fn)

        # Tables whose __eq__, __hash__, __repr__ or __bool__ wreck the holder being read.
        class Table:
            def __eq__(self, other):
                wreck()
                return False
            def __hash__(self):
                wreck()
                return 1
            def __repr__(self):
                wreck()
                return "T"
            def __bool__(self):
                wreck()
                return True
        for fn in (lambda: victim == TablesHolder(victim.as_dict().copy()), lambda: hash(victim),
                   lambda: repr(victim), lambda: victim.contains(Table()),
                   lambda: victim.get(None), lambda: vt._hash(victim),
                   lambda: vt.contains(victim, Table(), 1), lambda: victim.model_dump()):
            victim = TablesHolder({"t" + str(i): Table() for i in range(10)})
            vt._set(victim, Table(), Table())
            attempt(fn)
        print("OK")
        """
    )


@pytest.mark.parametrize(
    "op",
    [
        "vt._set(h, key, 1)",
        "vt._contains(h, key)",
        "vt.get(h, key, 1)",
        "vt.remove(h, key, 1)",
        "h.get('a')",
        "h.contains('a')",
        "h.set('a', 1)",
        "h.remove('a')",
        "h['a']",
        "h.__setitem__('a', 1)",
        "h.__delitem__('a')",
        "'a' in h",
        "h.replace_dict({key: 1})",
    ],
)
def test_root_replaced_by_a_key_hash_or_compare(op):
    # set_root from inside a key's __hash__/__eq__ frees the dict being searched unless the
    # operation holds it.
    run_ok(
        f"""
        import gc
        from _holder_vtable import vtable
        from ondrel.datastore.tables.grimsel import TablesHolder
        vt = vtable()
        class Key:
            def __hash__(self):
                swap()
                return hash("a")
            def __eq__(self, other):
                swap()
                return False
        def swap():
            if armed:
                spare = [{{}} for _ in range(100)]
                del spare  # a full free list: the freed root goes back to the allocator
                vt.set_root(h, {{}})
                filler.extend((i, -i, str(i)) for i in range(500))  # and is reused
        for _ in range(20):
            filler, armed = [], False
            h = TablesHolder()
            key = Key()
            h.as_dict()[key] = 1
            h.as_dict()["pad" + str(id(h))] = 2
            armed = True
            try:
                {op}
            except Exception:
                pass
        print("OK")
        """
    )


def test_deep_nesting_in_a_thread_with_a_small_stack():
    # The interpreter counts levels, not bytes: 256 KiB holds far fewer than it allows.
    run_ok(
        """
        import threading
        from ondrel.datastore.tables.grimsel import TablesHolder
        deep = TablesHolder()
        for _ in range(100_000):
            deep = TablesHolder({"inner": deep})
        ops = [repr, hash, lambda x: x == TablesHolder({"inner": x}), lambda x: x != x,
               lambda x: x.model_dump(), lambda x: TablesHolder(x)]
        outcome = []
        def run():
            for op in ops:
                try:
                    op(deep)
                    outcome.append("ok")
                except RecursionError:
                    outcome.append("RecursionError")
        threading.stack_size(256 * 1024)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        assert len(outcome) == len(ops), outcome
        assert outcome[:3] == ["RecursionError"] * 3, outcome
        print("OK")
        """
    )
