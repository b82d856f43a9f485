"""The reader's entry points: inputs of every form, parse_float, errors and their positions,
files, and the round trip of a written model."""

import datetime
import decimal
import errno
import inspect
import io
import os
import pathlib
import re
import sys
import threading
import tomllib

import pytest

from _toml_layout import same
from ondrel.datastore.adapter.toml import decoder
from ondrel.datastore.adapter.toml.decoder import decode_unified_data, read_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data
from ondrel.datastore.tables.data import Column, TableData
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat

# One document per str storage width, with escapes, so each reader instance builds strings of
# every width from its own units.
DOCS = {
    "ascii": 'a = "x\\u00e9\\u4e00\\U0001F600" # plain\nb = [1, 2.5]\n',
    "latin1": 'a = "café\\t\\u4e00" # é\n[t]\n"é" = \'ñ\'\n',
    "ucs2": 'a = "Ж\\U0001F600é" # Ж\n[[t]]\nk = """\nЖ\\\n   x"""\n',
    "ucs4": "a = \"😀é\\n\" # 😀\nb = {c = 'Ж', d = 1979-05-27T07:32:00-07:00}\n",
}


@pytest.mark.parametrize("text", DOCS.values(), ids=DOCS)
@pytest.mark.parametrize(
    "wrap", [str, str.encode, lambda t: bytearray(t.encode()), lambda t: memoryview(t.encode())]
)
def test_every_input_form_reads_as_tomllib(text, wrap):
    got = decode_unified_data(wrap(text))
    assert got == tomllib.loads(text)
    assert repr(got) == repr(tomllib.loads(text))  # same str widths, same tzinfo


@pytest.mark.parametrize("bad", [None, 1, 1.5, ["a = 1"], object()])
def test_non_text_input_names_its_type(bad):
    with pytest.raises(TypeError, match=type(bad).__name__):
        decode_unified_data(bad)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: decode_unified_data(), r"missing|takes"),
        (
            lambda: decode_unified_data("", float),
            r"takes exactly 1 positional argument \(2 given\)",
        ),
        (lambda: decode_unified_data("", parse_floats=float), "unexpected keyword"),
        (lambda: read_unified_data("x", float), r"takes exactly 1 positional argument \(2 given\)"),
        (lambda: read_unified_data(3), "int"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


READ_OPTIONS = {"parse_float": float, "toml_version": "1.1.0"}


@pytest.mark.parametrize(
    ("function", "first_kind", "options"),
    [
        (
            decode_unified_data,
            inspect.Parameter.POSITIONAL_OR_KEYWORD,
            {**READ_OPTIONS, "records": "dicts", "schema": "declared"},
        ),
        (
            read_unified_data,
            inspect.Parameter.POSITIONAL_OR_KEYWORD,
            {**READ_OPTIONS, "records": "dicts", "schema": "declared"},
        ),
        (decoder.loads, inspect.Parameter.POSITIONAL_ONLY, READ_OPTIONS),
        (decoder.load, inspect.Parameter.POSITIONAL_ONLY, READ_OPTIONS),
    ],
)
def test_inspect_signature_shows_the_keyword_only_default(function, first_kind, options):
    first, *rest = inspect.signature(function).parameters.values()
    assert first.kind == first_kind
    assert all(p.kind == inspect.Parameter.KEYWORD_ONLY for p in rest)
    assert {p.name: p.default for p in rest} == options
    assert function.__doc__.startswith(f"{function.__name__}(")  # __doc__ stays the signature


def test_byte_order_mark_is_skipped():
    assert decode_unified_data("\ufeffa = 1") == {"a": 1}
    assert decode_unified_data(b"\xef\xbb\xbfa = 1") == {"a": 1}
    with pytest.raises(tomllib.TOMLDecodeError):
        decode_unified_data("a = 1\n\ufeffb = 2")


def test_parse_float_gets_each_float_text_as_written():
    seen = []
    doc = "a = [1_000.5, -0.0, +inf, -nan, 6e-2, 1]\nb = { c = 1E3 }"
    result = decode_unified_data(doc, parse_float=lambda s: seen.append(s) or s)
    assert seen == ["1_000.5", "-0.0", "+inf", "-nan", "6e-2", "1E3"]
    assert result == tomllib.loads(doc, parse_float=lambda s: s)
    assert decode_unified_data("a = 0.1", parse_float=decimal.Decimal) == {
        "a": decimal.Decimal("0.1")
    }


@pytest.mark.parametrize("bad_result", [{}, [], type("L", (list,), {})()])
def test_parse_float_may_not_return_containers(bad_result):
    with pytest.raises(ValueError, match="parse_float must not return dicts or lists"):
        decode_unified_data("a = 1.5", parse_float=lambda s: bad_result)


def test_parse_float_errors_propagate():
    def boom(s):
        raise ZeroDivisionError(s)

    with pytest.raises(ZeroDivisionError, match="2.5"):
        decode_unified_data("a = 1\nb = 2.5", parse_float=boom)
    assert decode_unified_data("a = 1", parse_float=boom) == {"a": 1}


@pytest.mark.parametrize(
    "text, want",
    [
        ("a = 1e400", float("inf")),
        ("a = -1e400", float("-inf")),
        ("a = 1e-400", 0.0),
        ("a = 4.9e-324", 5e-324),
        ("a = 0.1", 0.1),
        ("a = 1." + "5" * 400, 1.5555555555555556),
        ("a = 9223372036854775808", 2**63),
        ("a = -9223372036854775809", -(2**63) - 1),
        ("a = 0x" + "f" * 40, 16**40 - 1),
        ("a = 0b" + "1" * 70, 2**70 - 1),
    ],
)
def test_numbers_at_the_edges(text, want):
    assert decode_unified_data(text) == {"a": want} == tomllib.loads(text)


def test_decimal_integers_keep_the_interpreters_digit_limit():
    with pytest.raises(ValueError, match="4300"):
        decode_unified_data("a = " + "9" * 5000)
    assert decode_unified_data("a = 0x" + "f" * 5000)["a"] == 16**5000 - 1


def test_datetimes_carry_tomllibs_tzinfo():
    doc = "a = 1979-05-27T07:32:00Z\nb = 1979-05-27 07:32:00.1234567+05:30\nc = 07:32:00\nd = 1979-05-27T00:00:00-00:00"
    got = decode_unified_data(doc)
    assert got == tomllib.loads(doc)
    assert got["a"].tzinfo is datetime.UTC and got["d"].tzinfo is datetime.UTC
    assert got["b"].microsecond == 123456


@pytest.mark.parametrize(
    "text, line, column",
    [
        ("a = 1\nb = 2x", 2, 6),
        ('x = "é€😀"\ny = "é€😀" z', 2, 11),  # columns count characters, in str and in bytes
        ("a = 1\na = 2", 2, 1),
        ("[t]\n[t]", 2, 2),
        ('a = "\\q"', 1, 6),
        ("a = [1,\n  2", 2, 4),
    ],
)
def test_errors_point_at_the_offending_character(text, line, column):
    for data in (text, text.encode()):
        with pytest.raises(tomllib.TOMLDecodeError) as info:
            decode_unified_data(data)
        assert str(info.value).endswith(f"(at line {line}, column {column})")
    assert decoder.TOMLDecodeError is tomllib.TOMLDecodeError


@pytest.mark.parametrize(
    "data, pos, lineno, colno",
    [
        ("a = 1\nb = 2x", 11, 2, 6),
        ('x = "é€😀" z'.encode(), 10, 1, 11),  # bytes: pos counts characters of the text
        (b'a = 1\nb = "\xff"', 11, 2, 6),  # bad UTF-8: the doc holds U+FFFD in its place
        ("a = 1\r\nb = 2x", 12, 2, 6),
        ("a = [1,", 7, 1, 8),  # at the end of the document
        ("\ufeffa = 1\na = 2", 7, 2, 1),  # the byte-order mark is part of doc
    ],
)
def test_error_details(data, pos, lineno, colno):
    with pytest.raises(tomllib.TOMLDecodeError) as info:
        decode_unified_data(data)
    e = info.value
    doc = data if isinstance(data, str) else data.decode("utf-8", "replace")
    assert (e.doc, e.pos, e.lineno, e.colno) == (doc, pos, lineno, colno)
    assert e.args == (f"{e.msg} (at line {lineno}, column {colno})",)
    assert "(at line" not in e.msg


class _Reads:
    """A binary file that counts its reads."""

    def __init__(self, data):
        self.data, self.calls = data, 0

    def read(self):
        self.calls += 1
        return self.data


_DOC = "a = 1.5\nb = [1, 'x']\n"
_TEXT_MODE = "File must be opened in binary mode, e.g. use `open('foo.toml', 'rb')`"


@pytest.mark.parametrize(
    "call, want",
    [
        (lambda m: m.loads(_DOC), None),
        (lambda m: m.loads(_DOC, parse_float=decimal.Decimal), None),
        (lambda m: m.loads(type("S", (str,), {})(_DOC)), None),
        (lambda m: m.loads("a = 1 x"), (tomllib.TOMLDecodeError, "at line 1, column 7")),
        (lambda m: m.loads(_DOC.encode()), (TypeError, "Expected str object, not 'bytes'")),
        (lambda m: m.loads(bytearray()), (TypeError, "Expected str object, not 'bytearray'")),
        (lambda m: m.loads(None), (TypeError, "Expected str object, not 'NoneType'")),
        (lambda m: m.loads(s=_DOC), (TypeError, "unexpected keyword argument 's'")),
        (lambda m: m.loads(), (TypeError, "positional argument")),
        (lambda m: m.load(io.BytesIO(_DOC.encode())), None),
        (lambda m: m.load(io.BytesIO(_DOC.encode()), parse_float=str), None),
        (lambda m: m.load(_Reads(bytearray(_DOC.encode()))), None),
        (lambda m: m.load(io.StringIO(_DOC)), (TypeError, _TEXT_MODE)),
        (lambda m: m.load(_Reads(None)), (TypeError, _TEXT_MODE)),
        (lambda m: m.load(object()), (AttributeError, "read")),
        (lambda m: m.load(fp=io.BytesIO(b"")), (TypeError, "unexpected keyword argument 'fp'")),
    ],
)
def test_load_and_loads_follow_tomllib(call, want):
    if want is None:
        assert same(call(decoder), call(tomllib))
    else:
        with pytest.raises(want[0], match=re.escape(want[1])):
            call(decoder)
    reads = _Reads(_DOC.encode())
    assert decoder.load(reads) == tomllib.loads(_DOC) and reads.calls == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda v: decode_unified_data("a = 1", toml_version=v),
        lambda v: read_unified_data(os.devnull, toml_version=v),
        lambda v: decoder.loads("a = 1", toml_version=v),
        lambda v: decoder.load(io.BytesIO(b"a = 1"), toml_version=v),
    ],
    ids=["decode_unified_data", "read_unified_data", "loads", "load"],
)
@pytest.mark.parametrize("version", ["1.2.0", "1.0", "v1.1.0", "", b"1.1.0", 1.1, None])
def test_toml_version_takes_only_the_two_versions(call, version):
    with pytest.raises(ValueError, match=re.escape(repr(version))):
        call(version)
    assert call("1.0.0") == call("1.1.0")


def test_invalid_utf8_is_refused():
    for data in (b'a = "\xff"', b"# \xc3\n", b'a = "\xed\xa0\x80"', b"\xff = 1"):
        with pytest.raises((UnicodeDecodeError, tomllib.TOMLDecodeError)):
            decode_unified_data(data)


def test_read_file_forms_and_errors(tmp_path):
    path = tmp_path / "doc.toml"
    path.write_bytes(b"\xef\xbb\xbfa = 'x'\r\nb = 2.5\r\n")
    for arg in (path, str(path), os.fsencode(path)):
        assert read_unified_data(arg) == {"a": "x", "b": 2.5}
    assert read_unified_data(path, parse_float=str) == {"a": "x", "b": "2.5"}
    (tmp_path / "empty.toml").write_bytes(b"")
    assert read_unified_data(tmp_path / "empty.toml") == {}
    for target, exc in ((tmp_path / "missing", FileNotFoundError), (tmp_path, IsADirectoryError)):
        with pytest.raises(exc) as info:
            read_unified_data(target)
        assert info.value.filename == str(target) and info.value.errno is not None
    with pytest.raises(ValueError):
        read_unified_data(str(path) + "\0")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_read_unreadable_file(tmp_path):
    path = tmp_path / "locked.toml"
    path.write_text("a = 1")
    path.chmod(0)
    with pytest.raises(PermissionError) as info:
        read_unified_data(path)
    assert info.value.errno == errno.EACCES


def test_read_from_a_pipe():
    # No size to go by: the buffer grows as the text arrives.
    r, w = os.pipe()

    def feed():
        with os.fdopen(w, "wb") as f:
            f.write(b"a = 1\n" + b"#" * 300_000 + b"\nb = 2")

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        assert read_unified_data(f"/proc/self/fd/{r}") == {"a": 1, "b": 2}
    finally:
        writer.join()
        os.close(r)


def test_written_model_round_trips_through_a_file(tmp_path):
    users = TableData(
        columns=[
            Column(name="id", type="INTEGER", primary_key=True),
            Column(name="nick", type="TEXT"),
        ],
        records=[{"id": 1, "nick": 'a"\\\tb\x7f'}, {"id": 2, "nick": "Ж😀", "tags": [1.5, True]}],
    )
    model = UnifiedDataFormat(
        version="1.0", schema_version="2", tables=TablesHolder({"users": users, "e": TableData()})
    )
    text = encode_unified_data(model, escape_strings=True)
    path = pathlib.Path(tmp_path / "db.toml")
    path.write_text(text, encoding="utf-8")
    doc = read_unified_data(path)
    again = UnifiedDataFormat(
        version=doc["header"]["version"],
        schema_version=doc["header"]["schema_version"],
        tables=TablesHolder(doc["tables"]),
    )
    assert encode_unified_data(again, escape_strings=True) == text


def _footprint(value):
    size = sys.getsizeof(value)
    items = value.values() if isinstance(value, dict) else value if isinstance(value, list) else ()
    return size + sum(_footprint(v) for v in items)


def test_result_takes_no_more_memory_than_tomllibs():
    # Records of two shapes with a smaller table inside: no table may be allocated for more
    # keys than it holds (a dict sized like its neighbour costs 30-90% more).
    rows = "".join(
        f'  {{ id = {i}, a = "x", b = 1.5, c = true, d = [{i}], e = {{ k = {i} }}'
        + (", f = 1 },\n" if i % 3 else " },\n")
        for i in range(200)
    )
    text = f"records = [\n{rows}]\n"
    assert _footprint(decode_unified_data(text)) <= _footprint(tomllib.loads(text))
