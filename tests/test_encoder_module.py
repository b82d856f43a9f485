"""The pentock module: exports, entry-point arguments and file output."""

import builtins
import contextlib
import ctypes
import errno
import inspect
import os
import pathlib
import pickle

import pytest

from _isolated import run_python
from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml import pentock
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data

TOKENS = {
    "B_AUTOINCREMENT": b"autoincrement",
    "B_CLOSE_BRACE": b"}",
    "B_CLOSE_BRACKET": b"]",
    "B_COLUMNS_EQ": b"columns = ",
    "B_COMMA": b",",
    "B_COMMA_SPACE": b", ",
    "B_COMMENT": b"comment",
    "B_COUNT_EQ": b"count = ",
    "B_DEFAULT": b"default",
    "B_EQUALS": b" = ",
    "B_FALSE": b"false",
    "B_FOREIGN_KEY": b"foreign_key",
    "B_HEADER_SECTION": b"[header]\n",
    "B_INDENT": b"    ",
    "B_NAME": b"name",
    "B_NEWLINE": b"\n",
    "B_NULL": b"null",
    "B_NULLABLE": b"nullable",
    "B_OPEN_BRACE": b"{",
    "B_OPEN_BRACKET": b"[",
    "B_PRIMARY_KEY": b"primary_key",
    "B_QUOTE": b'"',
    "B_RECORDS_EQ": b"records = ",
    "B_SCHEMA_VERSION_EQ": b"schema_version = ",
    "B_SPACE": b" ",
    "B_TABLES_DOT": b"[tables.",
    "B_TABLES_EQ": b"tables = ",
    "B_TRUE": b"true",
    "B_TYPE": b"type",
    "B_UNIQUE": b"unique",
    "B_VERSION_EQ": b"version = ",
}


def test_capi_exports_every_token_in_order_with_its_bytes():
    capi = pentock.__capi__
    assert list(capi) == list(TOKENS)  # published in alphabetical order
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_ptr = ctypes.pythonapi.PyCapsule_GetPointer
    get_ptr.restype, get_ptr.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    for key, expected in TOKENS.items():
        assert get_name(capi[key]) == b"char const *"
        address = get_ptr(capi[key], b"char const *")
        assert ctypes.cast(address, ctypes.POINTER(ctypes.c_char_p))[0] == expected


def test_module_and_function_attributes():
    assert pentock.__doc__.startswith("Fast TOML encoder for UnifiedDataFormat - Tarvix")
    assert pentock.__doc__.endswith("- Proper TOML string escaping\n")
    for f in (encode_unified_data, write_unified_data):
        assert f.__module__ == "ondrel.datastore.adapter.toml.pentock"
        assert f.__defaults__ == (False,)
    assert encode_unified_data.__doc__.startswith(
        "encode_unified_data(data, bool escape_strings=False) -> str\n\nEncode"
    )
    assert write_unified_data.__doc__.endswith("    filepath: Path to write the TOML file")
    assert pentock.__builtins__ is builtins  # the module, not its dict


@pytest.mark.parametrize(
    ("function", "text"),
    [
        (encode_unified_data, "(data, escape_strings=False, *, datetimes='str')"),
        (
            write_unified_data,
            "(data, filepath, escape_strings=False, *, durable=False, datetimes='str')",
        ),
    ],
)
def test_inspect_signature_matches_the_parameters(function, text):
    assert str(inspect.signature(function)) == text


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: encode_unified_data(),
            r"encode_unified_data\(\) takes at least 1 positional "
            r"argument \(0 given\)",
        ),
        (
            lambda: encode_unified_data(Model(), False, 3),
            r"encode_unified_data\(\) takes at most 2 positional arguments \(3 given\)",
        ),
        (
            lambda: encode_unified_data(Model(), bogus=1),
            "encode_unified_data\\(\\) got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: encode_unified_data(Model(), data=Model()),
            "encode_unified_data\\(\\) got multiple values for keyword argument 'data'",
        ),
        (
            lambda: write_unified_data(Model()),
            r"write_unified_data\(\) takes at least 2 positional arguments \(1 given\)",
        ),
        (
            lambda: write_unified_data(Model(), pathlib.Path("x")),
            r"Argument 'filepath' has incorrect type \(expected str, got PosixPath\)",
        ),
        (
            lambda: write_unified_data(Model(), type("S", (str,), {})("x")),
            r"Argument 'filepath' has incorrect type \(expected str, got S\)",
        ),
        (lambda: write_unified_data(Model(), None), "bad argument type"),
        (
            lambda: write_unified_data(Model(), "x", False, True),
            r"write_unified_data\(\) takes at most 3 positional arguments \(4 given\)",
        ),
        (lambda: encode_unified_data(Model(output=[1, 2, 3])), "Expected tuple, got list"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keywords_accepted():
    model = records_model([{"a": "\n"}])
    assert encode_unified_data(data=model, escape_strings=True) == encode_unified_data(model, 1)


def test_failing_truth_test_of_escape_flag_raises_first(tmp_path):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    target = tmp_path / "x.toml"
    with pytest.raises(ZeroDivisionError):
        write_unified_data(object(), str(target), Bad())
    assert not target.exists()


def test_missing_tuple_output_is_attribute_error():
    with pytest.raises(AttributeError):
        encode_unified_data(object())


MODEL = Model(
    {
        "t": Table(
            [col("id", "INTEGER", comment="é\t")],
            [{"id": i, "s": 'ü€😀\\"', "f": 0.1 * i} for i in range(500)],
        )
    }
)


@pytest.mark.parametrize("escape", [False, True])
def test_write_gives_exactly_the_encoded_bytes_and_overwrites(tmp_path, escape):
    target = tmp_path / "doc.toml"
    target.write_bytes(b"x" * 200_000)  # longer than the document
    assert write_unified_data(MODEL, str(target), escape) is None
    assert target.read_bytes() == encode_unified_data(MODEL, escape).encode()


@pytest.mark.parametrize(
    "bad_model",
    [
        Model({"t": Table([col("id", None)])}),
        records_model([{"a": 1}, 5]),
        Model(output=None),
        Model(version=b"1"),
        records_model([{"a": [1, None]}]),
        records_model([{"a": 'say "hi"'}]),
    ],
)
def test_failed_encode_leaves_existing_file_untouched(tmp_path, bad_model):
    target = tmp_path / "doc.toml"
    target.write_bytes(b"old content")
    with pytest.raises((TypeError, ValueError)):
        write_unified_data(bad_model, str(target))
    assert target.read_bytes() == b"old content"


@pytest.mark.parametrize(
    ("where", "cls", "code"),
    [
        ("missing-dir/doc.toml", FileNotFoundError, errno.ENOENT),
        ("", IsADirectoryError, errno.EISDIR),
        ("file/doc.toml", NotADirectoryError, errno.ENOTDIR),
    ],
)
def test_open_failure_keeps_its_text_and_says_why(tmp_path, where, cls, code):
    (tmp_path / "file").write_bytes(b"")
    path = os.path.join(str(tmp_path), where)
    with pytest.raises(cls) as info:
        write_unified_data(Model(), path)
    assert str(info.value) == "Could not open file for writing: " + path
    assert (info.value.errno, info.value.filename) == (code, path)
    # Workers send it back to their parent whole.
    again = pickle.loads(pickle.dumps(info.value))
    assert (type(again), str(again), again.errno, again.filename) == (
        type(info.value),
        str(info.value),
        code,
        path,
    )


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_device_raises_with_errno_and_path():
    with pytest.raises(OSError) as info:
        write_unified_data(MODEL, "/dev/full")
    assert info.value.errno == errno.ENOSPC
    assert info.value.filename == "/dev/full"


def test_relative_path_and_non_ascii_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_unified_data(Model(), "données.toml")
    assert (tmp_path / "données.toml").read_text() == encode_unified_data(Model())


def test_path_with_nul_is_refused(tmp_path):
    with pytest.raises(ValueError):
        write_unified_data(Model(), str(tmp_path / "a\0b"))
    assert list(tmp_path.iterdir()) == []


def test_import_fails_when_the_holder_module_cannot_be_imported():
    proc = run_python("""
        import sys
        sys.modules["ondrel.datastore.tables.grimsel"] = None
        try:
            import ondrel.datastore.adapter.toml.pentock
        except ImportError as e:
            print("ImportError", e.name)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ImportError ondrel.datastore.tables.grimsel"


def test_import_refuses_a_holder_without_vtable():
    proc = run_python("""
        import sys, types
        fake = types.ModuleType("ondrel.datastore.tables.grimsel")
        class TablesHolder:
            __slots__ = ("a", "b", "c")
        fake.TablesHolder = TablesHolder
        sys.modules[fake.__name__] = fake
        try:
            import ondrel.datastore.adapter.toml.pentock
        except RuntimeError as e:
            print(e)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "invalid vtable found for imported type"


def test_import_refuses_a_too_small_holder_type():
    proc = run_python("""
        import sys, types
        fake = types.ModuleType("ondrel.datastore.tables.grimsel")
        fake.TablesHolder = int
        sys.modules[fake.__name__] = fake
        try:
            import ondrel.datastore.adapter.toml.pentock
        except ValueError as e:
            print(e)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ondrel.datastore.tables.grimsel.TablesHolder size changed")


def _rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


LEAK_MODEL = Model(
    {
        f"table{i}": Table(
            [col("id", comment="c", default=[1, {"a": "b"}])],
            [{"a": 1.5, "b": "é" * 10, "c": [2**70]}] * 20,
        )
        for i in range(5)
    }
)


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize(
    "call",
    [
        lambda path: encode_unified_data(LEAK_MODEL, True),
        lambda path: write_unified_data(LEAK_MODEL, path),
        lambda path: write_unified_data(Model({"a": Table(), "b": Table([col("x", None)])}), path),
        lambda path: encode_unified_data(Model({"a": Table(), "b": Table([col("x")[:5]])})),
        lambda path: write_unified_data(LEAK_MODEL, path + "/missing/x"),
    ],
)
def test_repeated_calls_do_not_leak(tmp_path, call):
    path = str(tmp_path / "doc.toml")

    def run(n):
        for _ in range(n):
            with contextlib.suppress(TypeError, ValueError, OSError):
                call(path)

    run(500)
    before = _rss_kb()
    run(2000)
    assert _rss_kb() - before < 2048
