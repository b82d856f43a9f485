"""Records from Arrow: the writer's document from an object with __arrow_c_stream__ must be the
dict path's document for pyarrow's to_pylist() of the same rows, whatever the source."""

from __future__ import annotations

import ctypes
import datetime as dt
import decimal
import os
import re
import struct
import uuid
import zoneinfo
from pathlib import Path
from typing import Any

import pytest

pa = pytest.importorskip("pyarrow")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from _isolated import run_ok  # noqa: E402
from ondrel.datastore.adapter.toml.decoder import (  # noqa: E402
    decode_unified_data,
    read_unified_data,
)
from ondrel.datastore.adapter.toml.pentock import (  # noqa: E402
    encode_unified_data,
    write_unified_data,
)
from ondrel.datastore.tables.data import Column, TableData  # noqa: E402
from ondrel.datastore.tables.grimsel import TablesHolder  # noqa: E402
from ondrel.datastore.unified_data import UnifiedDataFormat  # noqa: E402

UTC = dt.UTC


def model(records: Any, columns: Any = (), name: str = "t") -> UnifiedDataFormat:
    table = TableData(columns=list(columns), records=records)
    return UnifiedDataFormat(tables=TablesHolder({name: table}))


def plain(value: Any) -> Any:
    """to_pylist() without pandas' types: pyarrow gives pandas Timestamp/Timedelta for
    nanosecond units when pandas is installed; the oracle compares the standard objects."""
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, pa.MonthDayNano):
        return f"P{value.months}M{value.days}DT{seconds_text(value.nanoseconds)}S"
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    mod = type(value).__module__
    if mod.startswith("pandas"):
        value = value.to_pydatetime() if hasattr(value, "to_pydatetime") else value.to_pytimedelta()
    # Durations and intervals are written in ISO 8601 text, which reads back as themselves.
    if isinstance(value, dt.timedelta):
        micros = (value.days * 86400 + value.seconds) * 10**6 + value.microseconds
        return f"PT{seconds_text(micros * 1000)}S"
    return value


def seconds_text(nanos: int) -> str:
    whole, frac = divmod(abs(nanos), 10**9)
    text = f"{'-' if nanos < 0 else ''}{whole}"
    return text + (f".{frac:09d}".rstrip("0") if frac else "")


def records_doc(text: str) -> str:
    """The document without the columns a frame declares: the dict path declares none."""
    return re.sub(r"columns = \[\n(    .*\n)*\]\n", "columns = [\n]\n", text)


def dict_doc(table: Any, **kw: Any) -> str:
    return encode_unified_data(model([plain(r) for r in pa.table(table).to_pylist()]), **kw)


def outcome(call: Any) -> tuple[str, str]:
    """The document, or the refusal: what the two paths must agree on."""
    try:
        return "ok", call()
    except ValueError as e:
        return type(e).__name__, str(e)


# ---- the oracle ---------------------------------------------------------------------------

ZONES = [None, "UTC", "+01:30", "-05:00", "Europe/Paris"]
DATETIMES = st.datetimes(min_value=dt.datetime(1900, 1, 1), max_value=dt.datetime(2200, 1, 1))


# Python objects carry microseconds: nanosecond columns get whole microseconds here (the
# nine-digit texts have cases of their own), within the 64-bit nanosecond range.
SPAN = dt.timedelta(days=100000)


def _scalar_types() -> list[tuple[Any, st.SearchStrategy[Any]]]:
    ints = [
        (pa.int8(), 7),
        (pa.int16(), 15),
        (pa.int32(), 31),
        (pa.int64(), 63),
    ]
    out: list[tuple[Any, st.SearchStrategy[Any]]] = []
    for t, b in ints:
        out.append((t, st.integers(-(2**b), 2**b - 1)))
    for t, b in ((pa.uint8(), 8), (pa.uint16(), 16), (pa.uint32(), 32), (pa.uint64(), 64)):
        out.append((t, st.integers(0, 2**b - 1)))
    out += [
        (pa.float64(), st.floats()),
        (pa.float32(), st.floats(width=32)),
        (pa.float16(), st.floats(width=16)),
        (pa.bool_(), st.booleans()),
        (pa.string(), st.text()),
        (pa.large_string(), st.text()),
        (pa.string_view(), st.text()),
        (pa.binary(), st.binary()),
        (pa.large_binary(), st.binary()),
        (pa.binary_view(), st.binary(max_size=30)),
        (pa.binary(3), st.binary(min_size=3, max_size=3)),
        (pa.date32(), st.dates()),
        (pa.date64(), st.dates()),
        (pa.time32("s"), st.times().map(lambda t: t.replace(microsecond=0))),
        (
            pa.time32("ms"),
            st.times().map(lambda t: t.replace(microsecond=t.microsecond // 1000 * 1000)),
        ),
        (pa.time64("us"), st.times()),
        (pa.time64("ns"), st.times()),
        (
            pa.duration("s"),
            st.timedeltas().map(lambda d: dt.timedelta(days=d.days, seconds=d.seconds)),
        ),
        (pa.duration("us"), st.timedeltas(min_value=-SPAN, max_value=SPAN)),
        (pa.duration("ns"), st.timedeltas(min_value=-SPAN, max_value=SPAN)),
        (pa.null(), st.none()),
    ]
    for unit in ("s", "ms", "us", "ns"):
        for tz in ZONES:
            div = {"s": 1000000, "ms": 1000, "us": 1, "ns": 1}[unit]
            values = DATETIMES.map(
                lambda d, div=div: d.replace(microsecond=d.microsecond // div * div)
            )
            out.append((pa.timestamp(unit, tz), values))
    for p, s, t in (
        (9, 2, pa.decimal32),
        (18, 5, pa.decimal64),
        (38, 10, pa.decimal128),
        (76, -3, pa.decimal256),
    ):
        digits = min(p, 30)
        out.append(
            (
                t(p, s),
                st.integers(-(10**digits) + 1, 10**digits - 1).map(
                    lambda i, s=s: decimal.Decimal(i).scaleb(-s)
                ),
            )
        )
    return out


SCALARS = _scalar_types()
# pyarrow builds these from Python objects only outside nested types.
TOP_SCALARS = [
    *SCALARS,
    (pa.uuid(), st.uuids().map(lambda u: u.bytes)),
    (
        pa.month_day_nano_interval(),
        st.tuples(
            st.integers(-(2**31), 2**31 - 1),
            st.integers(-(2**31), 2**31 - 1),
            st.integers(-(2**63), 2**63 - 1),
        ),
    ),
]


@st.composite
def arrow_type(draw: Any, depth: int = 0) -> tuple[Any, st.SearchStrategy[Any]]:
    if depth >= 2 or draw(st.booleans()):
        t, v = draw(st.sampled_from(TOP_SCALARS if depth == 0 else SCALARS))
        if draw(st.integers(0, 9)) == 0 and t in (pa.string(), pa.int64()):
            return ("dict", t), v  # dictionary-encoded after building
        return t, v
    child_t, child_v = draw(arrow_type(depth + 1))
    if isinstance(child_t, tuple):
        child_t = child_t[1]
    items = st.lists(st.one_of(st.none(), child_v), max_size=3)
    kind = draw(
        st.sampled_from(
            ["list", "large_list", "list_view", "large_list_view", "fixed", "struct", "map"]
        )
    )
    if kind == "fixed":
        return pa.list_(child_t, 2), st.lists(st.one_of(st.none(), child_v), min_size=2, max_size=2)
    if kind == "struct":
        return pa.struct([("x", child_t), ("a b", pa.int64())]), st.fixed_dictionaries(
            {"x": st.one_of(st.none(), child_v), "a b": st.one_of(st.none(), st.integers(-5, 5))}
        )
    if kind == "map":
        return pa.map_(pa.string(), child_t), st.lists(
            st.tuples(st.text(max_size=3), st.one_of(st.none(), child_v)), max_size=3
        )
    make = {
        "list": pa.list_,
        "large_list": pa.large_list,
        "list_view": pa.list_view,
        "large_list_view": pa.large_list_view,
    }[kind]
    return make(child_t), items


NAMES = st.sampled_from(["id", "a b", "", "é", "x.y", "k-1", 'q"k'])


@st.composite
def tables(draw: Any) -> Any:
    ncols = draw(st.integers(0, 4))
    names = draw(st.lists(NAMES, min_size=ncols, max_size=ncols, unique=True))
    nrows = draw(st.integers(0, 6))
    cols = {}
    for name in names:
        t, values = draw(arrow_type())
        rows = draw(st.lists(st.one_of(st.none(), values), min_size=nrows, max_size=nrows))
        if isinstance(t, tuple):
            cols[name] = pa.array(rows, t[1]).dictionary_encode()
        else:
            cols[name] = pa.array(rows, t)
    table = pa.table(cols) if cols else pa.table({"_": pa.array([None] * nrows, pa.null())})
    shape = draw(st.sampled_from(["whole", "sliced", "chunked"]))
    if shape == "sliced" and nrows > 1:
        table = table.slice(1, nrows - 2)
    elif shape == "chunked" and nrows > 1:
        cut = draw(st.integers(1, nrows - 1))
        table = pa.concat_tables([table.slice(0, cut), table.slice(cut)])
    return table


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(table=tables(), escape=st.booleans())
def test_document_equals_the_dict_path_for_to_pylist(table, escape):
    got = outcome(lambda: records_doc(encode_unified_data(model(table), escape)))
    assert got == outcome(lambda: dict_doc(table, escape_strings=escape))


# ---- texts to_pylist() cannot give ------------------------------------------------------


@pytest.mark.parametrize(
    ("array", "text"),
    [
        (pa.array([1001], pa.timestamp("ns")), '"1970-01-01 00:00:00.000001001"'),
        (pa.array([-1], pa.timestamp("ns", "UTC")), '"1969-12-31 23:59:59.999999999+00:00"'),
        (pa.array([1], pa.time64("ns")), '"00:00:00.000000001"'),
        (pa.array([-1], pa.duration("ns")), '"PT-0.000000001S"'),
        (pa.array([1], pa.timestamp("ns")), "1970-01-01T00:00:00.000000001"),
    ],
)
def test_nanoseconds_are_written_with_nine_digits(array, text):
    kw = {"datetimes": "toml"} if not text.startswith('"') else {}
    assert f"    {{ v = {text} }},\n" in encode_unified_data(model(pa.table({"v": array})), **kw)


# ---- the columns a frame declares -----------------------------------------------------------


@pytest.mark.parametrize(
    ("field", "entry"),
    [
        (pa.field("c", pa.int8(), nullable=False), '{ name = "c", type = "TINYINT" }'),
        (pa.field("c", pa.uint64()), '{ name = "c", type = "UBIGINT", nullable = true }'),
        (pa.float32(), "REAL"),
        (pa.float64(), "DOUBLE"),
        (pa.bool_(), "BOOLEAN"),
        (pa.string_view(), "VARCHAR"),
        (pa.dictionary(pa.int32(), pa.string()), "VARCHAR"),
        (pa.large_binary(), "BLOB"),
        (pa.decimal128(10, 2), "DECIMAL(10,2)"),
        (pa.date64(), "DATE"),
        (pa.time64("ns"), "TIME_NS"),
        (pa.timestamp("ms"), "TIMESTAMP_MS"),
        (pa.timestamp("us", "Europe/Paris"), "TIMESTAMP WITH TIME ZONE"),
        (pa.uuid(), "UUID"),
        (pa.month_day_nano_interval(), "INTERVAL"),
        (pa.duration("s"), "DURATION_S"),
        (pa.json_(), "JSON"),
        (pa.list_(pa.int16(), 2), "SMALLINT[]"),
        (
            pa.struct([("x", pa.int64()), ("a b", pa.string())]),
            'STRUCT(x BIGINT, \\"a b\\" VARCHAR)',
        ),
        (pa.map_(pa.string(), pa.int64()), "MAP(VARCHAR, BIGINT)"),
        (pa.null(), '{ name = "c", nullable = true }'),
        # Raw, a name that cannot stand raw is refused at its first value, as the dict path
        # refuses the key; an empty column is declared with its name escaped.
        (pa.field('q"k', pa.int64()), '{ name = "q\\"k", type = "BIGINT", nullable = true }'),
    ],
)
def test_a_frame_declares_its_columns(field, entry):
    field = field if isinstance(field, pa.Field) else pa.field("c", field)
    if not entry.startswith("{"):
        entry = f'{{ name = "c", type = "{entry}", nullable = true }}'
    table = pa.Table.from_arrays([pa.array([], field.type)], schema=pa.schema([field]))
    assert f"columns = [\n    {entry},\n]\nrecords" in encode_unified_data(model(table))
    # Given columns are written as given.
    text = encode_unified_data(model(table, [Column(name="c", type="whatever")]))
    assert 'columns = [\n    { name = "c", type = "whatever" },\n]\n' in text


@pytest.mark.parametrize(
    ("array", "text"),
    [
        (pa.array([uuid.UUID(int=255).bytes], pa.uuid()), '"00000000-0000-0000-0000-0000000000ff"'),
        (pa.array([(14, -3, 4000000005)], pa.month_day_nano_interval()), '"P14M-3DT4.000000005S"'),
        (pa.array([-90061500], pa.duration("ms")), '"PT-90061.5S"'),
        (pa.array([0], pa.duration("s")), '"PT0S"'),
    ],
)
def test_values_toml_has_no_form_for_are_written_as_iso_text(array, text):
    assert f"    {{ v = {text} }},\n" in encode_unified_data(model(pa.table({"v": array})))


# ---- sources ------------------------------------------------------------------------------

SOURCE_TABLE = {
    "id": [1, 2, None],
    "name": ["ada", None, "bob"],
    "score": [1.5, 2.25, None],
    "ok": [True, False, None],
    "tags": [["a"], [], None],
    "when": [
        dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC),
        None,
        dt.datetime(2024, 1, 2, tzinfo=UTC),
    ],
}


def _sources():
    tb = pa.table(SOURCE_TABLE)
    yield "pyarrow", lambda: tb
    yield (
        "reader",
        lambda: pa.RecordBatchReader.from_batches(tb.schema, tb.to_batches(max_chunksize=1)),
    )
    yield "batch", lambda: tb.to_batches()[0]
    # A null count of -1 (not counted) without a bitmap: no nulls, as pyarrow imports it.
    yield (
        "uncounted_nulls",
        lambda: PythonStream(pa.table({"x": [1, 2]}), lambda a: setattr(a, "null_count", -1)),
    )
    if not os.environ.get("ONDREL_SANITIZED"):
        pl = pytest.importorskip("polars")
        yield "polars", lambda: pl.DataFrame(tb)
        pd = pytest.importorskip("pandas")
        yield (
            "pandas",
            lambda: pd.DataFrame(
                {
                    "id": pd.array([1, 2, None], "Int64"),
                    "name": pd.array(["ada", None, "bob"], "string[pyarrow]"),
                }
            ),
        )
        duckdb = pytest.importorskip("duckdb")
        yield "duckdb", lambda: duckdb.from_arrow(tb)
        # polars exports a null column with a validity buffer slot, as pyarrow takes it.
        yield "polars_nulls", lambda: pl.DataFrame({"x": [None, None], "y": [1, None]})


@pytest.mark.parametrize(
    ("name", "make"), list(_sources()), ids=lambda x: x if isinstance(x, str) else ""
)
def test_sources_give_the_pyarrow_tables_document(name, make):
    expected = dict_doc(pa.table(make()))
    assert records_doc(encode_unified_data(model(make()))) == expected
    assert records_doc(encode_unified_data(model(make()), True)) == dict_doc(
        pa.table(make()), escape_strings=True
    )


# ---- round trips --------------------------------------------------------------------------


def test_the_writers_document_reads_back_and_saves_to_the_same_bytes(tmp_path):
    rows = [
        {"id": 1, "name": "ada", "score": 1.5, "tags": ["a", "b"], "pos": {"x": 1, "y": 2.5}},
        {"id": 2, "mixed": [1, "a"], "when": dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=UTC)},
        {"d": dt.date(2024, 2, 29), "t": dt.time(1, 2, 3), "l": dt.datetime(2024, 1, 1)},
    ]
    first, second, third = (tmp_path / n for n in ("a.toml", "b.toml", "c.toml"))
    for datetimes in ("str", "toml"):
        write_unified_data(model(rows), str(first), datetimes=datetimes)
        # Saved from Arrow, the table declares its columns; read with them, it saves the same.
        for source, target in ((first, second), (second, third)):
            doc = read_unified_data(str(source), records="arrow")
            again = UnifiedDataFormat(tables=TablesHolder(doc["tables"]))
            write_unified_data(again, str(target), datetimes=datetimes)
        assert records_doc(second.read_text()) == first.read_text()
        assert third.read_bytes() == second.read_bytes()
        if datetimes == "toml":
            back = read_unified_data(str(first))["tables"]["t"]["records"]
            assert back == rows


@pytest.mark.parametrize(
    ("value", "toml"),
    [
        (dt.datetime(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05"),
        (dt.datetime(2024, 1, 2, 3, 4, 5, 60, tzinfo=UTC), "2024-01-02T03:04:05.000060Z"),
        (
            dt.datetime(2024, 1, 2, tzinfo=dt.timezone(dt.timedelta(hours=-5, minutes=-30))),
            "2024-01-02T00:00:00-05:30",
        ),
        (
            dt.datetime(2024, 7, 1, tzinfo=zoneinfo.ZoneInfo("Europe/Paris")),
            "2024-07-01T00:00:00+02:00",
        ),
        (dt.date(1, 1, 1), "0001-01-01"),
        (dt.time(23, 59, 59, 999999), "23:59:59.999999"),
        (dt.time(1, 2, tzinfo=UTC), '"01:02:00+00:00"'),  # TOML times have no offset: str()
        (pa.array([0], pa.timestamp("s", "Europe/Paris")), "1970-01-01T01:00:00+01:00"),
        (pa.array([-5000000000], pa.timestamp("s", "Europe/Paris")), "1811-07-23T15:06:40Z"),
        (pa.array([86400000 * 365 - 1], pa.date64()), "1970-12-31"),
    ],
)
def test_datetimes_toml_writes_toml_date_times(value, toml):
    records = pa.table({"v": value}) if isinstance(value, pa.Array) else [{"v": value}]
    text = encode_unified_data(model(records), datetimes="toml")
    assert f"    {{ v = {toml} }},\n" in text
    if not isinstance(value, pa.Array):
        assert encode_unified_data(model(records)) == encode_unified_data(
            model(records), datetimes="str"
        )


# ---- errors -------------------------------------------------------------------------------


def _failing_reader():
    schema = pa.schema([("v", pa.int64())])

    def batches():
        yield pa.record_batch([pa.array([1])], schema=schema)
        raise ValueError("boom mid-stream")

    return pa.RecordBatchReader.from_batches(schema, batches())


def _hostile(type_: Any, n: int, layout: bytes, data: bytes) -> Any:
    """n values of a variable-size type, with this offsets (or views) buffer and data."""
    return pa.Array.from_buffers(type_, n, [None, pa.py_buffer(layout), pa.py_buffer(data)])


class _CArray(ctypes.Structure):
    _fields_ = [
        *[(n, ctypes.c_int64) for n in ("length", "null_count", "offset", "n_buffers")],
        ("n_children", ctypes.c_int64),
        ("buffers", ctypes.c_void_p),
        ("children", ctypes.POINTER(ctypes.POINTER(ctypes.c_byte))),
        *[(n, ctypes.c_void_p) for n in ("dictionary", "release", "private_data")],
    ]


class PythonStream:
    """A stream written in Python (ctypes callbacks): one batch of `table`, with `bend` applied
    to the struct of its first column. Its release runs Python code."""

    _fn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)

    def __init__(self, table: Any, bend: Any) -> None:
        self.table, self.bend, self.sent = table, bend, False

    def _schema(self, _stream: int, out: int) -> int:
        pa.struct(list(self.table.schema))._export_to_c(out)
        return 0

    def _next(self, _stream: int, out: int) -> int:
        if self.sent:
            ctypes.memset(out + _CArray.release.offset, 0, 8)
            return 0
        self.sent = True
        columns = self.table.to_batches()[0].columns
        pa.StructArray.from_arrays(columns, names=self.table.column_names)._export_to_c(out)
        array = _CArray.from_address(out)
        self.bend(_CArray.from_address(ctypes.addressof(array.children[0].contents)))
        return 0

    def _release(self, stream: int) -> None:
        ctypes.memset(stream + 24, 0, 8)  # the struct's release member

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        self.calls = [
            self._fn(self._schema),
            self._fn(self._next),
            ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)(lambda s: b"bent"),
            ctypes.CFUNCTYPE(None, ctypes.c_void_p)(self._release),
        ]
        self.stream = (ctypes.c_void_p * 5)(*map(ctypes.cast, self.calls, [ctypes.c_void_p] * 4))
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = (
            ctypes.py_object,
            [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p],
        )
        return new(ctypes.addressof(self.stream), b"arrow_array_stream", None)


class NoGetNext(PythonStream):
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        capsule = super().__arrow_c_stream__()
        self.stream[1] = None
        return capsule


class CountlessSchema(PythonStream):
    """Its schema claims more children than any vector holds; pyarrow's own schema, kept
    whole, is released through it."""

    _release_fn = ctypes.CFUNCTYPE(None, ctypes.c_void_p)

    def _schema(self, stream: int, out: int) -> int:
        self.real = ctypes.create_string_buffer(72)  # an ArrowSchema
        super()._schema(stream, ctypes.addressof(self.real))
        ctypes.memmove(out, self.real, 72)
        ctypes.c_int64.from_address(out + 32).value = 2**62  # n_children
        self.release_schema = self._release_fn(self._release_schema)
        ctypes.c_void_p.from_address(out + 56).value = ctypes.cast(
            self.release_schema, ctypes.c_void_p
        ).value
        return 0

    def _release_schema(self, schema: int) -> None:
        real = ctypes.addressof(self.real)
        self._release_fn(ctypes.c_void_p.from_address(real + 56).value)(real)
        ctypes.memset(schema + 56, 0, 8)


class NotAStream:
    def __arrow_c_stream__(self, requested_schema=None):
        return 1


class RenamedField(PythonStream):
    """Its schema's first column is renamed to `name` (bytes), which pyarrow cannot make."""

    def __init__(self, table: Any, name: bytes) -> None:
        super().__init__(table, lambda a: None)
        self.name = ctypes.create_string_buffer(name)

    def _schema(self, stream: int, out: int) -> int:
        super()._schema(stream, out)
        child = ctypes.c_void_p.from_address(ctypes.c_void_p.from_address(out + 40).value).value
        ctypes.c_void_p.from_address(child + 8).value = ctypes.addressof(self.name)
        return 0


class ChildlessSchema(CountlessSchema):
    """It claims 2**40 children and gives no pointer to them."""

    def _schema(self, stream: int, out: int) -> int:
        super()._schema(stream, out)
        ctypes.c_int64.from_address(out + 32).value = 2**40
        ctypes.c_void_p.from_address(out + 40).value = None
        return 0


def _needs(module: str) -> Any:
    if os.environ.get("ONDREL_SANITIZED"):
        pytest.skip(f"{module} is not loaded in sanitized runs")
    return pytest.importorskip(module)


def _duckdb_join() -> Any:
    con = _needs("duckdb").connect()
    con.sql("create table l as select 1 id, 'x' v; create table r as select 1 id, 'y' v")
    return con.sql("select * from l join r on l.id = r.id")


def _json(text: str) -> Any:
    return pa.table({"j": pa.array([text], pa.json_())})


ERRORS = [
    (
        "union",
        lambda: pa.table(
            {"u": pa.UnionArray.from_sparse(pa.array([0], pa.int8()), [pa.array([1])])}
        ),
        TypeError,
        r"column 'u' of table 't' has Arrow type sparse_union",
    ),
    (
        "run_end",
        lambda: pa.table({"r": pa.RunEndEncodedArray.from_arrays([1], [1])}),
        TypeError,
        r"column 'r' .* run_end_encoded",
    ),
    (
        "nested_union",
        lambda: pa.table(
            {
                "s": pa.StructArray.from_arrays(
                    [pa.UnionArray.from_sparse(pa.array([0], pa.int8()), [pa.array([1])])], ["u"]
                )
            }
        ),
        TypeError,
        r"column 's.u'",
    ),
    ("mid_stream", _failing_reader, OSError, r"boom mid-stream"),
    ("not_a_capsule", NotAStream, TypeError, r"arrow_array_stream"),
    (
        "date_range",
        lambda: pa.table({"d": pa.array([10**15], pa.date64())}),
        OverflowError,
        r"tables\.t\.records\[0\]\.d: date value out of range",
    ),
    (
        # Splitting the first int64 into seconds must not leave int64 (UBSan's run).
        "timestamp_at_int64_min",
        lambda: pa.table({"t": pa.array([-(2**63)], pa.timestamp("ms"))}),
        OverflowError,
        r"tables\.t\.records\[0\]\.t: date value out of range",
    ),
    (
        "time_range",
        lambda: pa.table(
            {
                "t": pa.Array.from_buffers(
                    pa.time32("s"), 1, [None, pa.py_buffer((90000).to_bytes(4, "little"))]
                )
            }
        ),
        ValueError,
        r"records\[0\]\.t",
    ),
    (
        "null_in_list",
        lambda: pa.table({"l": [[1], [2, None]]}),
        ValueError,
        r"^tables\.t\.records\[1\]\.l\[1\]: the value is None inside an array",
    ),
    (
        "raw_quote",
        lambda: pa.table({"s": pa.array(['a"b']).dictionary_encode()}),
        ValueError,
        r"^tables\.t\.records\[0\]\.s: the value holds an unescaped",
    ),
    (
        "unknown_zone",
        lambda: pa.table({"z": pa.array([0], pa.timestamp("s", "Mars/Olympus"))}),
        zoneinfo.ZoneInfoNotFoundError,
        r"Mars/Olympus",
    ),
    (
        "not_utf8",
        lambda: pa.table(
            {
                "s": pa.Array.from_buffers(
                    pa.string(), 1, [None, pa.py_buffer(b"\0\0\0\0\1\0\0\0"), pa.py_buffer(b"\xff")]
                )
            }
        ),
        ValueError,
        r"records\[0\]\.s: .*not UTF-8",
    ),
    (
        "bad_json",
        lambda: pa.table({"j": pa.array(["{nope"], pa.json_())}),
        ValueError,
        r"records\[0\]\.j: malformed JSON",
    ),
    # JSON's grammar, not whatever looks like a number: each would be written as it stands.
    *[
        (f"json_{text}", lambda text=text: _json(text), ValueError, rf"records\[0\]\.j: {why}")
        for text, why in [
            ("-", "malformed JSON .*not JSON"),
            ("007", "malformed JSON .*leading zero"),
            ("-01", "malformed JSON .*leading zero"),
            ("00", "malformed JSON .*leading zero"),
            ("[1, -]", "malformed JSON .*not JSON"),
            ("1.", "malformed JSON .*fraction"),
            ('{"a":1,"a":2}', 'malformed JSON .*the key "a" is given twice'),
            ('{"a":null,"a":2}', 'malformed JSON .*the key "a" is given twice'),
            (r'{"a":1,"\\u0061":2}', r'the JSON key "\\u0061" reads as the key "a"'),
        ]
    ],
    # A declared type the Arrow field cannot read back as.
    *[
        (
            f"declared_{declared}",
            lambda declared=declared, arr=arr: model(
                pa.table({"c": arr}), [Column(name="c", type=declared)]
            ),
            TypeError,
            rf"column 'c' of table 't' is declared '{re.escape(declared)}', but its Arrow field "
            rf"is {arrow}",
        )
        for declared, arr, arrow in [
            ("VARCHAR", pa.array([1]), r"int64 \(format 'l'\)"),
            ("DATE", pa.array(["2024-01-02"]), "string"),
            ("INTEGER[]", pa.array([["a"]]), "list"),
            ("BOOLEAN", pa.array([1.5], pa.float32()), "float"),
        ]
    ],
    # Names that are one key in the document: a reader refuses it.
    (
        "duckdb_join",
        _duckdb_join,
        ValueError,
        r"table 't': the name 'id' is given twice in the col",
    ),
    (
        "names_twice",
        lambda: pa.Table.from_arrays([pa.array([1]), pa.array([2])], names=["a", "a"]),
        ValueError,
        r"the name 'a' is given twice in the columns",
    ),
    (
        "struct_children_twice",
        lambda: pa.table(
            {"s": pa.StructArray.from_arrays([pa.array([1]), pa.array([None])], ["x", "x"])}
        ),
        ValueError,
        r"the name 'x' is given twice in the fields of column 's'",
    ),
    (
        "raw_names_read_as_one",
        lambda: pa.Table.from_arrays([pa.array([1]), pa.array([2])], names=["a", "\\u0061"]),
        ValueError,
        r"the names 'a' and '\\u0061' in the columns are one key once their escapes are read",
    ),
    (
        "name_not_utf8",
        lambda: RenamedField(pa.table({"x": [1]}), b"c\xff"),
        ValueError,
        r"table 't': the name of column b'c\\xff' is not UTF-8",
    ),
    (
        "children_without_a_pointer",
        lambda: ChildlessSchema(pa.table({"x": [1]}), lambda a: None),
        ValueError,
        r"malformed Arrow schema \(bad children\)",
    ),
    # A producer whose release runs Python code while the refusal is raised: it must see no
    # pending error, and the refusal must come out whole.
    (
        "python_release",
        lambda: PythonStream(pa.table({"x": [1, 2]}), lambda a: setattr(a, "length", 1)),
        ValueError,
        r"table 't': malformed Arrow batch at field 'x' \(shorter",
    ),
    (
        "offset_past_int64",
        lambda: PythonStream(pa.table({"x": [1, 2]}), lambda a: setattr(a, "offset", 2**63 - 2)),
        ValueError,
        r"field 'x' \(offset and length too large",
    ),
    (
        "no_get_next",
        lambda: NoGetNext(pa.table({"x": [1]}), lambda a: None),
        ValueError,
        r"a stream without get_schema or get_next",
    ),
    (
        "children_past_any_vector",
        lambda: CountlessSchema(pa.table({"x": [1]}), lambda a: None),
        MemoryError,
        None,
    ),
    # Hostile layouts: each pair of offsets in order, but a value past the 3-byte data; a
    # view past its data buffer. Read as given, they copy the heap into the document.
    (
        "offsets_past_the_data",
        lambda: pa.table({"b": _hostile(pa.binary(), 2, struct.pack("<3i", 0, 4096, 3), b"abc")}),
        ValueError,
        r"records\[0\]\.b: malformed Arrow data \(string offsets",
    ),
    (
        "view_past_its_buffer",
        lambda: pa.table(
            {
                "s": _hostile(
                    pa.string_view(), 1, struct.pack("<i4sii", 4096, b"abcd", 0, 0), b"a" * 20
                )
            }
        ),
        ValueError,
        r"records\[0\]\.s: malformed Arrow data \(view outside",
    ),
]


@pytest.mark.parametrize(("name", "make", "exc", "match"), ERRORS, ids=[e[0] for e in ERRORS])
def test_refused_records_leave_the_file_untouched(tmp_path, name, make, exc, match):
    path = tmp_path / "db.toml"
    path.write_bytes(b"old")
    made = make()
    with pytest.raises(exc, match=match) as info:
        write_unified_data(made if isinstance(made, UnifiedDataFormat) else model(made), str(path))
    assert path.read_bytes() == b"old"
    # Every refusal names its table: in the message, or in a note for the stream's own errors.
    assert (
        "'t'" in str(info.value)
        or "tables.t" in str(info.value)
        or any("table 't'" in n for n in getattr(info.value, "__notes__", []))
    )


@pytest.mark.parametrize("reader_of", [lambda r: r, lambda r: pa.RecordBatchReader.from_stream(r)])
def test_a_reader_is_read_once_and_saved_once(tmp_path, reader_of):
    # pyarrow's RecordBatchReader exports a spent reader as an empty stream: saved again, it
    # would replace the store with a table without rows.
    schema = pa.schema([("v", pa.int64())])
    reader = reader_of(
        pa.RecordBatchReader.from_batches(schema, [pa.record_batch([pa.array([1])], schema=schema)])
    )
    m = model(reader)
    path = tmp_path / "db.toml"
    write_unified_data(m, str(path))
    saved = path.read_bytes()
    assert b"{ v = 1 }" in saved
    with pytest.raises(ValueError, match=r"table 't' are a .*RecordBatchReader whose stream an"):
        write_unified_data(m, str(path))
    assert path.read_bytes() == saved


def test_datetimes_refuses_other_values():
    for bad in ("iso", "TOML", None, 1):
        with pytest.raises(ValueError, match=repr(bad).replace("(", r"\(")):
            encode_unified_data(model([]), datetimes=bad)
    with pytest.raises(TypeError, match="at most 2 positional"):
        encode_unified_data(model([]), False, "toml")


def test_readme_example_runs():
    pytest.importorskip("polars")
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    code = readme.split("## Data frames", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    run_ok(code + "\nprint('OK')")


def test_model_dump_gives_dicts_and_pickles_where_the_source_does():
    import pickle

    tb = pa.table({"a": [1, None]})
    td = TableData(records=tb)
    assert td.records is tb
    assert td.model_dump()["records"] == [{"a": 1}, {"a": None}]
    assert pickle.loads(pickle.dumps(td)).records.equals(tb)
    # The reader's ArrowRecords does not pickle: its own error comes through.
    doc = decode_unified_data("[tables.t]\nrecords = [{a = 1}]", records="arrow")
    with pytest.raises(TypeError):
        pickle.dumps(TableData(records=doc["tables"]["t"]["records"]))
    text = run_ok(
        """
        import sys
        sys.modules["pyarrow"] = None
        from ondrel.datastore.tables.data import TableData
        class S:
            def __arrow_c_stream__(self, requested_schema=None): ...
        try:
            TableData(records=S()).model_dump()
        except ImportError as e:
            print(e)
        print("OK")
        """
    )
    assert "needs pyarrow" in text


@pytest.mark.no_sanitizer
def test_no_leak_over_many_encodes():
    run_ok(
        """
        import gc, sys, tracemalloc
        import pyarrow as pa
        from test_encoder_arrow import ERRORS, model
        from ondrel.datastore.adapter.toml.pentock import encode_unified_data
        tb = pa.table({"a": [1, None], "s": ["x", "y"], "l": [[1], None], "t": pa.array([0, 1], pa.timestamp("s", "Europe/Paris"))})
        def once():
            encode_unified_data(model(tb), True, datetimes="toml")
            for name, make, exc, match in ERRORS:
                try:
                    made = make()
                    encode_unified_data(made if hasattr(made, "tables") else model(made))
                except Exception:
                    pass
        for _ in range(20):
            once()
        gc.collect()
        arrow_bytes = pa.total_allocated_bytes()  # a stream left unreleased keeps its batches
        before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
        tracemalloc.start()
        snap = tracemalloc.take_snapshot()
        for _ in range(200):
            once()
        gc.collect()
        grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snap, "filename"))
        assert grown < 200_000, grown
        assert pa.total_allocated_bytes() == arrow_bytes
        print("OK")
        """
    )
