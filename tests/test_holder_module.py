"""The grimsel module: namespace, native exports, attached methods, loading rules."""

import builtins
import ctypes
import inspect
import pydoc
import sys

import pydantic
import pydantic_core
import pytest

import glacine.frozen
import slumbrel
from _isolated import run_ok
from ondrel.datastore.tables import grimsel
from ondrel.datastore.tables.grimsel import TablesHolder

METHODS = [
    ("as_dict", "TablesHolder.as_dict(self) -> dict"),
    ("replace_dict", "TablesHolder.replace_dict(self, other) -> void"),
    ("contains", "TablesHolder.contains(self, str name) -> bool"),
    ("set", "TablesHolder.set(self, str name, table) -> void"),
    ("add", "TablesHolder.add(self, str name, table) -> void"),
    ("get", "TablesHolder.get(self, str name)"),
    ("remove", "TablesHolder.remove(self, str name) -> void"),
    ("clear", "TablesHolder.clear(self) -> void"),
    ("iterate", "TablesHolder.iterate(self)"),
    ("keys", "TablesHolder.keys(self) -> list"),
    ("values", "TablesHolder.values(self) -> list"),
    ("items", "TablesHolder.items(self) -> list"),
    ("is_tables_holder", "TablesHolder.is_tables_holder(self) -> bool"),
    ("model_dump", "TablesHolder.model_dump(self, bool exclude_none=True) -> dict"),
    (
        "__get_pydantic_core_schema__",
        "TablesHolder.__get_pydantic_core_schema__(cls, source_type, handler: GetCoreSchemaHandler)",
    ),
    (
        "__get_pydantic_json_schema__",
        "TablesHolder.__get_pydantic_json_schema__(cls, core_schema, handler: GetJsonSchemaHandler)",
    ),
    ("_validate", "TablesHolder._validate(cls, value)"),
    ("_serialize", "TablesHolder._serialize(self)"),
]


def test_namespace():
    assert grimsel.__doc__ == "A holder for tables in the unified data format."
    assert grimsel.TYPE_CHECKING is False
    assert grimsel.GetCoreSchemaHandler is pydantic.GetCoreSchemaHandler
    assert grimsel.GetJsonSchemaHandler is pydantic.GetJsonSchemaHandler
    assert grimsel.core_schema is pydantic_core.core_schema
    assert grimsel.lazy is slumbrel.lazy
    assert grimsel.freeze is glacine.frozen.freeze
    assert repr(grimsel.TableData) == "lazy('ondrel.datastore.tables.data', 'TableData')"
    assert grimsel.__builtins__ is builtins  # the module, not its dict
    assert not [
        n
        for n, v in vars(grimsel).items()
        if callable(v)
        and getattr(v, "__module__", None) == grimsel.__name__
        and n != "TablesHolder"
    ]


def test_capi_capsules():
    capi = grimsel.__capi__
    assert sorted(capi) == ["ONE", "TWO", "ZERO"]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    for name, capsule in capi.items():
        assert get_name(capsule) == b"Py_ssize_t"
        value = ctypes.c_ssize_t.from_address(get_pointer(capsule, b"Py_ssize_t")).value
        assert value == {"ZERO": 0, "ONE": 1, "TWO": 2}[name]


def test_vtable_capsule_has_no_name():
    capsule = TablesHolder.__dict__["__vtable__"]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    assert type(capsule).__name__ == "PyCapsule" and get_name(capsule) is None


def test_class_properties():
    assert TablesHolder.__module__ == "ondrel.datastore.tables.grimsel"
    assert TablesHolder.__qualname__ == "TablesHolder"
    assert TablesHolder.__doc__ == "TablesHolder(holder=None)"
    assert "__dict__" not in dir(TablesHolder()) and "__weakref__" not in TablesHolder.__dict__
    assert TablesHolder.__flags__ & (1 << 14)  # garbage collected
    # The encoder's size check: header, table pointer, root, marker (padded).
    assert TablesHolder.__basicsize__ == object.__basicsize__ + 3 * ctypes.sizeof(ctypes.c_void_p)


def test_methods_attached_in_order_with_docs():
    names = [n for n in TablesHolder.__dict__ if n in dict(METHODS)]
    assert names == [n for n, _ in METHODS]
    for name, doc in METHODS:
        raw = TablesHolder.__dict__[name]
        fn = raw.__func__ if isinstance(raw, classmethod) else raw
        assert isinstance(raw, classmethod) is (
            name in ("__get_pydantic_core_schema__", "__get_pydantic_json_schema__", "_validate")
        )
        assert fn.__doc__ == doc
        assert fn.__name__ == name and fn.__qualname__ == "TablesHolder." + name
        assert fn.__module__ == "ondrel.datastore.tables.grimsel"


# inspect.signature() through the class, the signature a bound method shows, the __doc__ line.
SIGNATURES = [
    ("as_dict", "(self, /)", "()"),
    ("replace_dict", "(self, /, other)", "(other)"),
    ("contains", "(self, /, name)", "(name)"),
    ("set", "(self, /, name, table)", "(name, table)"),
    ("add", "(self, /, name, table)", "(name, table)"),
    ("get", "(self, /, name)", "(name)"),
    ("remove", "(self, /, name)", "(name)"),
    ("clear", "(self, /)", "()"),
    ("iterate", "(self, /)", "()"),
    ("keys", "(self, /)", "()"),
    ("values", "(self, /)", "()"),
    ("items", "(self, /)", "()"),
    ("is_tables_holder", "(self, /)", "()"),
    ("model_dump", "(self, /, exclude_none=True)", "(exclude_none=True)"),
    ("_serialize", "(self, /)", "()"),
    ("__reduce__", "(self, /)", "()"),
    ("__setstate__", "(self, /, state)", "(state)"),
]


@pytest.mark.parametrize(("name", "unbound", "bound"), SIGNATURES)
def test_inspect_signature_matches_the_parameters(name, unbound, bound):
    assert str(inspect.signature(getattr(TablesHolder, name))) == unbound
    assert str(inspect.signature(getattr(TablesHolder(), name))) == bound


@pytest.mark.parametrize(
    ("name", "text"),
    [
        ("__get_pydantic_core_schema__", "(source_type, handler)"),
        ("__get_pydantic_json_schema__", "(core_schema, handler)"),
        ("_validate", "(value)"),
    ],
)
def test_inspect_signature_of_class_methods(name, text):
    assert str(inspect.signature(getattr(TablesHolder, name))) == text


def test_pickling_hooks_carry_their_signature_line():
    assert TablesHolder.__reduce__.__doc__ == "TablesHolder.__reduce__(self)"
    assert TablesHolder.__setstate__.__doc__ == "TablesHolder.__setstate__(self, state)"


def test_help_shows_signature_and_doc():
    text = pydoc.render_doc(TablesHolder.add, renderer=pydoc.plaintext)
    assert "add(self, /, name, table)" in text
    assert "TablesHolder.add(self, str name, table) -> void" in text


def test_defaults_and_annotations():
    assert TablesHolder.model_dump.__defaults__ == (True,)
    assert TablesHolder.__get_pydantic_core_schema__.__annotations__ == {
        "handler": "GetCoreSchemaHandler"
    }
    assert TablesHolder.__get_pydantic_json_schema__.__annotations__ == {
        "handler": "GetJsonSchemaHandler"
    }


def test_repeated_import_returns_same_module():
    import importlib

    assert importlib.import_module("ondrel.datastore.tables.grimsel") is grimsel
    assert sys.modules["ondrel.datastore.tables.grimsel"] is grimsel


def test_initialisation_does_not_import_table_data():
    run_ok(
        """
        import sys
        from ondrel.datastore.tables import grimsel
        assert "ondrel.datastore.tables.data" not in sys.modules
        h = grimsel.TablesHolder({"t": {"records": []}})
        assert "ondrel.datastore.tables.data" in sys.modules
        print("OK")
        """
    )


def test_type_checking_true_imports_table_data_eagerly():
    run_ok(
        """
        import typing
        import pydantic, pydantic_core.core_schema, slumbrel, glacine.frozen
        from ondrel.datastore.tables import data  # the model module must not see the flag
        typing.TYPE_CHECKING = True
        from ondrel.datastore.tables import grimsel
        from ondrel.datastore.tables.data import TableData
        assert grimsel.TableData is TableData
        print("OK")
        """
    )


@pytest.mark.parametrize("missing", ["pydantic", "pydantic_core", "slumbrel", "glacine.frozen"])
def test_missing_dependency_fails_import_and_retry_succeeds(missing):
    run_ok(
        f"""
        import sys
        saved = sys.modules.get({missing!r})
        sys.modules[{missing!r}] = None
        try:
            import ondrel.datastore.tables.grimsel
        except ImportError as e:
            print("failed:", e)
        else:
            raise SystemExit("import should fail")
        assert "ondrel.datastore.tables.grimsel" not in sys.modules
        del sys.modules[{missing!r}]
        if saved is not None:
            sys.modules[{missing!r}] = saved
        from ondrel.datastore.tables.grimsel import TablesHolder
        assert TablesHolder({{"a": 1}}).keys() == ["a"] and TablesHolder.get.__doc__
        print("OK")
        """
    )


def test_missing_name_in_dependency():
    run_ok(
        """
        import glacine.frozen
        del glacine.frozen.freeze
        try:
            import ondrel.datastore.tables.grimsel
        except ImportError as e:
            assert str(e) == "cannot import name freeze", str(e)
            print("OK")
        """
    )


def test_broken_table_data_module_does_not_fail_import():
    run_ok(
        """
        import sys
        sys.modules["ondrel.datastore.tables.data"] = None
        from ondrel.datastore.tables.grimsel import TablesHolder
        assert TablesHolder({"a": 1}).keys() == ["a"]
        try:
            TablesHolder({"t": {}})
        except ImportError:
            print("OK")
        """
    )


def test_second_interpreter_refused():
    run_ok(
        """
        import _interpreters
        import ondrel.datastore.tables.grimsel
        interp = _interpreters.create()
        err = _interpreters.run_string(interp, "import ondrel.datastore.tables.grimsel")
        assert err is not None and "ImportError" in str(err.type), err
        print("OK")
        """
    )
