"""records="arrow": each table's records as an Arrow table equal to the oracle's, usable by
pyarrow, polars, pandas and DuckDB, released exactly once, with clean errors."""

from __future__ import annotations

import datetime
import decimal
import gc
import json
import math
import re
import uuid
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow", reason="pyarrow is not importable: the Arrow tests need it")
tomli_w = pytest.importorskip("tomli_w", reason="tomli_w writes the generated documents")

from _arrow_oracle import (  # noqa: E402
    declared_names,
    declared_table,
    expected_table,
    same_table,
    vocabulary,
)
from _isolated import run_ok  # noqa: E402
from _toml_models import Model, Table, col  # noqa: E402
from ondrel.datastore.adapter.toml import decoder  # noqa: E402
from ondrel.datastore.adapter.toml.decoder import decode_unified_data, read_unified_data  # noqa: E402
from ondrel.datastore.adapter.toml.pentock import encode_unified_data  # noqa: E402
from ondrel.datastore.c_unified_data import canonical_column_type  # noqa: E402

DOC = """
[tables.users]
columns = [{name = "id"}, {name = "ghost"}, {name = "id"}, {type = "x"}]
records = [
  {id = 1, name = "ada", score = 1, tags = ["a"], at = 1979-05-27T07:32:00-07:00},
  {id = 2, name = "bob", score = 2.5, tags = [], at = 1979-05-27T00:32:00.5Z},
]
[tables.empty]
records = []
"""


def forms(text: str) -> list[str | bytes]:
    """The text as UTF-8 bytes and as a str of each width (a comment makes it wider)."""
    return [text.encode(), text, text + "\n# \u0100", text + "\n# \U0001f600"]


def check(text: str | bytes, schema: str = "declared") -> dict:
    """Reads `text` both ways; every table's Arrow records must equal the oracle's table, for
    the text in each of its forms."""
    dicts = decode_unified_data(text)
    for form in forms(text) if isinstance(text, str) else [text]:
        arrow = decode_unified_data(form, records="arrow", schema=schema)
        compare(dicts, arrow)
    return arrow


def compare(dicts: dict, arrow: dict) -> None:
    for name, table in dicts.get("tables", {}).items():
        if isinstance(table, dict) and "records" in table:
            obj = arrow["tables"][name]["records"]
            want = expected_table(table["records"], declared_names(table))
            same_table(pa.table(obj), want)
            assert (len(obj), obj.num_rows, obj.column_names) == (
                want.num_rows,
                want.num_rows,
                want.column_names,
            )
            assert {k: v for k, v in arrow["tables"][name].items() if k != "records"} == {
                k: v for k, v in table.items() if k != "records"
            }


# ---- generated documents against the oracle --------------------------------------------------

offsets = st.sampled_from(
    [datetime.UTC, *(datetime.timezone(datetime.timedelta(minutes=m)) for m in (-420, 330, -1))]
)
scalar_kinds = [
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.floats(),
    st.text(st.characters(exclude_categories=("Cs",)), max_size=6),
    st.datetimes(timezones=offsets),
    st.datetimes(),
    st.dates(),
    st.times(),
]
scalars = st.one_of(scalar_kinds)
names = st.sampled_from(["a", "b", "c", "é k"])
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(names, inner, max_size=3)),
    max_leaves=8,
)


@st.composite
def record_lists(draw):
    """Columns of one kind (ints and floats mixed in some), and columns of any values."""
    plan = {}
    for name in draw(st.lists(names, unique=True, max_size=4)):
        plan[name] = draw(
            st.one_of(
                st.sampled_from(scalar_kinds),
                st.just(st.one_of(st.integers(-5, 5), st.floats())),
                st.just(st.lists(st.integers(-(2**63), 2**63 - 1) | st.floats(), max_size=3)),
                st.just(
                    st.dictionaries(names, st.integers(-9, 9) | st.text(max_size=2), max_size=3)
                ),
                st.just(values),
            )
        )
    row = st.fixed_dictionaries({}, optional=plan)
    return draw(st.lists(row, max_size=6))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(record_lists(), st.lists(names, max_size=3))
def test_generated_documents_match_the_oracle(records, declared):
    doc = {"tables": {"t": {"columns": [{"name": n} for n in declared], "records": records}}}
    check(tomli_w.dumps(doc))


writer_values = st.recursive(
    st.one_of(st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(), st.text(max_size=5)),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(names, inner, max_size=3)),
    max_leaves=6,
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(st.dictionaries(names, st.one_of(st.none(), writer_values), max_size=4), max_size=5),
    st.lists(names, max_size=3),
)
def test_writer_documents_match_the_oracle(records, declared):
    model = Model({"t": Table([col(n) for n in declared], records), "u": Table()})
    check(encode_unified_data(model, escape_strings=True), schema="inferred")


# ---- the writer's data frames read back as their declared columns ----------------------------

MOMENTS = st.datetimes(
    min_value=datetime.datetime(1900, 1, 1), max_value=datetime.datetime(2200, 1, 1)
)
ROUND_TRIP_TYPES = [
    *(
        (t, st.integers(-(2**b), 2**b - 1))
        for t, b in ((pa.int8(), 7), (pa.int16(), 15), (pa.int32(), 31), (pa.int64(), 63))
    ),
    *(
        (t, st.integers(0, 2**b - 1))
        for t, b in ((pa.uint8(), 8), (pa.uint32(), 32), (pa.uint64(), 64))
    ),
    # A NaN's payload has no TOML form: the one NaN.
    *(
        (t, st.floats(width=w).map(lambda f: math.nan if f != f else f))
        for t, w in ((pa.float32(), 32), (pa.float16(), 16), (pa.float64(), 64))
    ),
    (pa.bool_(), st.booleans()),
    (pa.string(), st.text(st.characters(exclude_categories=("Cs",)), max_size=5)),
    (("dictionary", pa.string()), st.sampled_from(["a", "b", "é"])),
    (pa.large_string(), st.text(max_size=3).filter(lambda s: s < "\ud800" or s.isprintable())),
    (pa.binary(), st.binary(max_size=5)),
    (pa.large_binary(), st.binary(max_size=3)),
    (pa.binary_view(), st.binary(max_size=3)),
    (pa.binary(2), st.binary(min_size=2, max_size=2)),
    (pa.string_view(), st.text(max_size=3)),
    (("uuid", pa.binary(16)), st.uuids().map(lambda u: u.bytes)),
    (
        pa.month_day_nano_interval(),
        st.tuples(*[st.integers(-(2**31), 2**31 - 1)] * 2, st.integers(-(2**63), 2**63 - 1)).map(
            lambda t: pa.MonthDayNano(list(t))
        ),
    ),
    # Durations within timedelta's range, which the comparison's Python objects need.
    (pa.duration("s"), st.integers(-(86400 * 999999999), 86400 * 999999999)),
    (pa.duration("ms"), st.integers(-(86400 * 999999999 * 1000), 86400 * 999999999 * 1000)),
    *((pa.duration(u), st.integers(-(2**63), 2**63 - 1)) for u in ("us", "ns")),
    (pa.date64(), st.dates()),
    (pa.time32("s"), st.times().map(lambda t: t.replace(microsecond=0))),
    (pa.decimal256(50, 4), st.decimals("-1e20", "1e20", places=4)),
    (pa.date32(), st.dates()),
    (
        pa.time32("ms"),
        st.times().map(lambda t: t.replace(microsecond=t.microsecond // 1000 * 1000)),
    ),
    (pa.time64("us"), st.times()),
    # Nanoseconds, which Python's objects cannot hold: as their integers.
    (pa.time64("ns"), st.integers(0, 86400 * 10**9 - 1)),
    (pa.timestamp("ns"), st.integers(-(2**62), 2**62)),
    (pa.timestamp("ns", "UTC"), st.integers(-(2**62), 2**62)),
    (
        pa.decimal128(10, 2),
        st.decimals("-99999999.99", "99999999.99", places=2),
    ),
    *(
        (
            pa.timestamp(unit, tz),
            MOMENTS.map(lambda d, k=keep: d.replace(microsecond=d.microsecond // k * k)),
        )
        for unit, keep in (("s", 1000000), ("ms", 1000), ("us", 1), ("ns", 1))
        for tz in (None, "UTC", "+01:30")
    ),
]


@st.composite
def typed_tables(draw):
    columns = {}
    nrows = draw(st.integers(0, 4))
    for i in range(draw(st.integers(1, 4))):
        t, values = draw(st.sampled_from(ROUND_TRIP_TYPES))
        nested = draw(st.sampled_from(["plain", "list", "large_list", "struct", "map"]))
        if isinstance(t, tuple):  # dictionary-encoded and UUID, at the top level only
            rows = pa.array(
                draw(st.lists(st.none() | values, min_size=nrows, max_size=nrows)), t[1]
            )
            columns[f"c{i}"] = (
                rows.dictionary_encode()
                if t[0] == "dictionary"
                else pa.ExtensionArray.from_storage(pa.uuid(), rows)
            )
            continue
        if nested in ("list", "large_list"):
            make = pa.list_ if nested == "list" else pa.large_list
            t, values = make(t), st.lists(values, max_size=3)
        elif nested == "struct":
            t, values = (
                pa.struct([("x", t), ("a b", pa.int64())]),
                st.fixed_dictionaries(
                    {"x": st.none() | values, "a b": st.none() | st.integers(-5, 5)}
                ),
            )
        elif nested == "map":
            t, values = (
                pa.map_(pa.string(), t),
                st.lists(st.tuples(st.text(max_size=2), values), max_size=2),
            )
        rows = draw(st.lists(st.none() | values, min_size=nrows, max_size=nrows))
        columns[f"c{i}"] = pa.array(rows, t)
    return pa.table(columns)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(typed_tables(), st.sampled_from(["str", "toml"]))
def test_data_frames_read_back_as_their_declared_columns(table, datetimes):
    """A data frame saved with no columns given declares them; read back with
    records="arrow" it gives the vocabulary's types and the same values (floats bit for bit),
    whichever datetimes."""
    from ondrel.datastore.tables.data import TableData
    from ondrel.datastore.tables.grimsel import TablesHolder
    from ondrel.datastore.unified_data import UnifiedDataFormat

    doc = UnifiedDataFormat(tables=TablesHolder({"t": TableData(records=table)}))
    text = encode_unified_data(doc, datetimes=datetimes, escape_strings=True)
    declared = [c["type"] for c in decode_unified_data(text)["tables"]["t"]["columns"]]
    assert declared == [vocabulary(f.type)[0] for f in table.schema]
    got = decode_unified_data(text, records="arrow")["tables"]["t"]["records"]
    same_table(pa.table(got), declared_table(table))


@pytest.mark.parametrize(
    ("records", "json_texts"),
    [
        # A clash after widening writes the ints back as ints, not as their floats.
        ("[{v = 9007199254740993}, {v = 0.5}, {v = 'x'}]", ["9007199254740993", "0.5", '"x"']),
        # Each row's own key order; absent fields left out.
        ("[{v = {b = 1, a = 2}}, {v = {a = 3}}, {v = 4}]", ['{"b":1,"a":2}', '{"a":3}', "4"]),
        ("[{v = nan}, {v = -inf}, {v = 1e16}, {v = true}]", ["NaN", "-Infinity", "1e+16", "true"]),
        (
            "[{v = 1979-05-27T07:32:00-07:00}, {v = 1979-05-27T07:32:00.000001Z}, {v = 07:32:00}]",
            ['"1979-05-27T07:32:00-07:00"', '"1979-05-27T07:32:00.000001+00:00"', '"07:32:00"'],
        ),
        ('[{v = "\\"\\\\\\n\\u0001\\u007f é"}, {v = []}]', ['"\\"\\\\\\n\\u0001\x7f é"', "[]"]),
    ],
)
def test_json_fallback_text(records, json_texts):
    obj = check(f"[tables.t]\nrecords = {records}\n")["tables"]["t"]["records"]
    column = pa.table(obj).column("v")
    assert column.type == pa.json_()
    assert column.to_pylist() == json_texts


def test_declared_columns_come_first_and_repr_names_the_schema():
    obj = check(DOC)["tables"]["users"]["records"]
    assert obj.column_names == ["id", "ghost", "name", "score", "tags", "at"]
    assert repr(obj) == (
        "ArrowRecords(2 rows; id: int64, ghost: null, name: string, score: double, "
        "tags: list<string>, at: timestamp[us, tz=UTC])"
    )
    assert pa.table(obj).column("at").to_pylist()[1] == datetime.datetime(
        1979, 5, 27, 0, 32, 0, 500000, tzinfo=datetime.UTC
    )


def test_read_unified_data_converts_too(tmp_path):
    path = tmp_path / "doc.toml"
    path.write_text(DOC)
    same_table(
        pa.table(read_unified_data(path, records="arrow")["tables"]["users"]["records"]),
        pa.table(decode_unified_data(DOC, records="arrow")["tables"]["users"]["records"]),
    )


@pytest.mark.parametrize(
    "text",
    [
        # Records are read into columns as they are parsed: the grammar's rules hold there too.
        "records = [{a.b = 1, a.c = 'x'}, {a = {b = 2}}, {a.b.c = 1, a.b.d = 2, x = {y.z = 3}}]",
        "records = [{a = 1, a = 2}]",
        "records = [{a = {b = 1}, a.c = 2}]",
        "records = [{a.b = 1, a = 2}]",
        "records = [{a = 1, a.b = 2}]",
        "records = [{a = [1]}, {a.b = 2, a = 1}]",
        "records = [{a = 1} {b = 2}]",
        "records = [{a = 1}]\n[[tables.t.records]]\nb = 2",
        "records = [{a = 1}]\n[tables.t.records.x]",
        "records = [{a = 1}]\nrecords = 2",
        "records = [{a = 1}]\n[tables.t]",
        "records = [{s = \"x\\ty\\u00e9\\xe9\\e\", m = \"\"\"a\r\n  b\"\"\", l = 'l', ml = '''q\nr'''}]",
        'records = [{"a.b" = 1, \'q\' = 2, "" = 3}]',
        "records = [{n = 0x7FFF_FFFF_FFFF_FFFF, m = -9223372036854775808, o = 0o17, b = 0b1}]",
        "records = [\n  {\n    a = 1, # one\n    b = [2, 3,],\n  },\n]",
        "records = [{d = 1979-05-27, t = 07:32, dt = 1979-05-27T07:32:00.9999999+05:30}]",
        "records = [{u = 1979-05-27 07:32:00Z}, {u = 1979-05-27T07:32:00}]",
        "records = [{a = 1e400, b = -0.0, c = 1_000.5e-3}]",
        "records = [{a = 1}, {a = 9223372036854775807}, {a = -1.5}]",
    ],
)
def test_records_read_into_columns_follow_the_grammar(text):
    """The records parsed into columns give the dict reader's values, and its errors."""
    text = "[tables.t]\n" + text
    for form in forms(text):
        try:
            dicts = decode_unified_data(form)
        except decoder.TOMLDecodeError as e:
            with pytest.raises(decoder.TOMLDecodeError) as got:
                decode_unified_data(form, records="arrow")
            assert str(got.value) == str(e)
        else:
            compare(dicts, decode_unified_data(form, records="arrow"))


# ---- declared column types -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "canonical", "reads_as"),
    [
        ("bigint", "BIGINT", "int64"),
        ("INT", "INTEGER", "int32"),
        ("int4", "INTEGER", "int32"),
        ("INT8", "BIGINT", "int64"),
        ("  smallint ", "SMALLINT", "int16"),
        ("tinyint", "TINYINT", "int8"),
        ("UBIGINT", "UBIGINT", "uint64"),
        ("utinyint", "UTINYINT", "uint8"),
        ("bool", "BOOLEAN", "bool"),
        ("real", "REAL", "float"),
        ("float8", "DOUBLE", "double"),
        ("Double  Precision", "DOUBLE", "double"),
        ("numeric(10, 2)", "DECIMAL(10,2)", "decimal128(10, 2)"),
        ("DECIMAL", "DECIMAL(18,3)", "decimal128(18, 3)"),
        ("decimal(50,4)", "DECIMAL(50,4)", "decimal256(50, 4)"),
        ("varchar(255)", "VARCHAR", "string"),
        ("TEXT", "VARCHAR", "string"),
        ("string", "VARCHAR", "string"),
        ("bytea", "BLOB", "binary"),
        ("date", "DATE", "date32[day]"),
        ("time", "TIME", "time64[us]"),
        ("time_ns", "TIME_NS", "time64[ns]"),
        ("timestamp", "TIMESTAMP", "timestamp[us]"),
        ("timestamp_s", "TIMESTAMP_S", "timestamp[s]"),
        ("timestamp_ms", "TIMESTAMP_MS", "timestamp[ms]"),
        ("timestamp_ns", "TIMESTAMP_NS", "timestamp[ns]"),
        ("timestamptz", "TIMESTAMP WITH TIME ZONE", "timestamp[us, tz=UTC]"),
        ("timestamp(3) with  time zone", "TIMESTAMP WITH TIME ZONE", "timestamp[us, tz=UTC]"),
        ("timestamp_ms with time zone", "TIMESTAMP_MS WITH TIME ZONE", "timestamp[ms, tz=UTC]"),
        ("jsonb", "JSON", "extension<arrow.json>"),
        ("uuid", "UUID", "extension<arrow.uuid>"),
        ("interval", "INTERVAL", "month_day_nano_interval"),
        ("duration", "DURATION", "duration[us]"),
        ("duration_ns", "DURATION_NS", "duration[ns]"),
        ("int[]", "INTEGER[]", "list<item: int32>"),
        ("text[][]", "VARCHAR[][]", "list<item: list<item: string>>"),
        (
            'STRUCT(a INT, "b ""c""" text[])',
            'STRUCT(a INTEGER, "b ""c""" VARCHAR[])',
            'struct<a: int32, b "c": list<item: string>>',
        ),
        (
            "map(varchar, struct(x double))",
            "MAP(VARCHAR, STRUCT(x DOUBLE))",
            "map<string, struct<x: double>>",
        ),
        # SQLite's affinity rules for other names, in its order.
        ("MEDIUMINT", "BIGINT", "int64"),
        ("floating point", "BIGINT", "int64"),
        ("NATIVE CHARACTER(70)", "VARCHAR", "string"),
        ("clob", "VARCHAR", "string"),
        ("longblob", "BLOB", "binary"),
        ("doub", "DOUBLE", "double"),
        # Anything else keeps inference.
        ("geometry", None, "null"),
        ("", None, "null"),
        ("numeric(77,2)", None, "null"),
        ("STRUCT(a", None, "null"),
        ("STRUCT(a INT, a INT)", None, "null"),
        ("geometry[]", None, "null"),
        ("int" + "[]" * 63, None, "null"),
    ],
)
def test_column_type_vocabulary(text, canonical, reads_as):
    """Each name's canonical spelling, and the Arrow type an empty column of it reads as."""
    assert canonical_column_type(text) == canonical
    doc = f"[tables.t]\ncolumns = [{{name = 'c', type = {json.dumps(text)}}}]\nrecords = [{{}}]"
    assert (
        str(
            pa.table(decode_unified_data(doc, records="arrow")["tables"]["t"]["records"])
            .schema.field("c")
            .type
        )
        == reads_as
    )


@pytest.mark.parametrize(
    ("type_", "value", "expected"),
    [
        ("UBIGINT", "0xFFFF_FFFF_FFFF_FFFF", 2**64 - 1),
        ("REAL", "16777216", 16777216.0),
        ("DOUBLE", "9007199254740992", 2.0**53),
        ("DECIMAL(5,2)", "7", decimal.Decimal("7.00")),
        ("DECIMAL(5,2)", "'1E+2'", decimal.Decimal("100.00")),
        ("DECIMAL(5,2)", "'-0.500'", decimal.Decimal("-0.50")),
        ("DECIMAL(40,0)", "'-1' ", -decimal.Decimal(1)),
        ("BLOB", """ "b'\\\\x00\\\\'\\\\t\\"'" """, b"\x00'\t\""),
        ("BLOB", '"b\\"it\'s\\""', b"it's"),
        (
            "UUID",
            "'0F8FAD5BD9CB469FA16570867728950E'",
            uuid.UUID("0f8fad5b-d9cb-469f-a165-70867728950e"),
        ),
        ("INTERVAL", "'-P1DT2H'", pa.MonthDayNano([0, -1, -7200 * 10**9])),
        ("INTERVAL", "'P1Y2M3W4DT5H6M7,5S'", pa.MonthDayNano([14, 25, 18367500000000])),
        ("DURATION", "'P1DT0.000001S'", datetime.timedelta(days=1, microseconds=1)),
        ("DURATION_S", "'-PT1M'", datetime.timedelta(minutes=-1)),
        ("DATE", "1979-05-27", datetime.date(1979, 5, 27)),
        ("TIME_NS", "'00:00:00.000000001'", 1),
        ("TIMESTAMP_S", "1979-05-27 07:32:00", datetime.datetime(1979, 5, 27, 7, 32)),
        ("TIMESTAMP_NS", "1979-05-27T07:32:00.123456789", 296638320123456789),
        (
            "TIMESTAMPTZ",
            "'2024-01-01 00:00:00+05:30'",
            datetime.datetime(2023, 12, 31, 18, 30, tzinfo=datetime.UTC),
        ),
        (
            "TIMESTAMP_MS WITH TIME ZONE",
            "'2024-01-01T00:00:00.5Z'",
            datetime.datetime(2024, 1, 1, 0, 0, 0, 500000, tzinfo=datetime.UTC),
        ),
        ("JSON", "[1, 'a', {b = 1979-05-27}]", '[1,"a",{"b":"1979-05-27"}]'),
        ("STRUCT(a INT, b TEXT)", "{b = 'x'}", {"a": None, "b": "x"}),
        ("MAP(TEXT, INT[])", "[['k', [1]], ['', []]]", [("k", [1]), ("", [])]),
    ],
)
def test_declared_values_read_from_what_the_writer_writes(type_, value, expected):
    """Each type's value from its TOML form or its text, in every layout: records read into
    columns, records read as dicts first, and records before their columns."""
    cols = f"columns = [{{name = 'v', type = {json.dumps(type_)}}}]"
    texts = [
        f"[tables.t]\n{cols}\nrecords = [{{v = {value}}}]",
        f"[tables.t]\nrecords = [{{v = {value}}}]\n{cols}",
    ]
    if not value.endswith("789"):  # records read as dicts first hold microseconds
        texts.append(f"[tables.t]\n{cols}\n[[tables.t.records]]\nv = {value}")
    for text in texts:
        column = pa.table(decode_unified_data(text, records="arrow")["tables"]["t"]["records"])["v"]
        if type_.endswith("_NS") or "_NS " in type_:
            column = column.cast(pa.int64())
        assert column.to_pylist() == [expected], text


# ---- errors ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "kwargs", "error", "message"),
    [
        ("", {"records": "frames"}, ValueError, "'frames'"),
        ("", {"records": b"arrow"}, ValueError, "b'arrow'"),
        ("", {"records": "arrow", "parse_float": str}, ValueError, "parse_float other than float"),
        ("[tables.t]\nrecords = 5", {"records": "arrow"}, ValueError, r"tables\.t\.records is not"),
        ("[tables.t]\nrecords = [{a = 1}, 2]", {"records": "arrow"}, ValueError, r"records\[1\]"),
        (
            "[tables.t]\nrecords = [{a = 1}, {b = [{c = 99999999999999999999}]}]",
            {"records": "arrow"},
            ValueError,
            r"tables\.t\.records\[1\]: column 'b' .*64 bits",
        ),
        # Values that do not fit their column's declared type, wherever they stand.
        *(
            (
                f"[tables.t]\ncolumns = [{{name = 'v', type = '{type_}'}}]\nrecords = [{{}}, {{v = {value}}}]",
                {"records": "arrow"},
                ValueError,
                r"^tables\.t\.records\[1\]: column 'v' holds "
                + shown
                + r", which does not fit "
                + re.escape(fits[0] if fits else canonical_column_type(type_))
                + r"; schema=\"inferred\" reads the document anyway",
            )
            for type_, value, shown, *fits in [
                ("INTEGER", 2**40, "1099511627776"),
                ("BIGINT", 1.5, r"1\.5"),
                ("BIGINT", "'1'", "the text '1'"),
                ("REAL", 0.1, r"0\.1"),
                ("DOUBLE", 2**53 + 1, "9007199254740993"),
                ("DECIMAL(10,2)", "'1.234'", r"the text '1\.234'"),
                ("DECIMAL(3,1)", 100, "100"),
                ("DATE", "'abc'", "the text 'abc'"),
                ("DATE", "'2024-02-30'", "the text '2024-02-30'"),
                (
                    "TIMESTAMP_MS",
                    "2024-01-01T00:00:00.000001",
                    r"the date-time 2024-01-01T00:00:00\.000001",
                ),
                ("TIMESTAMP_S", "'2024-01-01 00:00:00.5'", r"the text '2024-01-01 00:00:00\.5'"),
                ("TIMESTAMP", "2024-01-01T00:00:00Z", r"the date-time 2024-01-01T00:00:00\+00:00"),
                ("TIMESTAMPTZ", "2024-01-01T00:00:00", "the date-time 2024-01-01T00:00:00"),
                ("TIME", "'12:00:00.0000001'", r"the text '12:00:00\.0000001'"),
                (
                    "TIMESTAMP",
                    "1970-01-01T00:00:00.0000001",
                    "the date-time 1970-01-01T00:00:00 and some nanoseconds",
                ),
                (
                    "TIME_NS",
                    "00:00:00.0000000001",
                    "the time 00:00:00 and a fraction of nanoseconds",
                ),
                ("VARCHAR", 5, "5"),
                ("BOOLEAN", 1, "1"),
                ("BLOB", "'abc'", "the text 'abc'"),
                ("UUID", "'0f8fad5b-d9cb-469f-a165'", "the text '0f8fad5b-d9cb-469f-a165'"),
                ("INTERVAL", "'P1M2D3S'", "the text 'P1M2D3S'"),
                ("DURATION_S", "'PT0.5S'", r"the text 'PT0\.5S'"),
                ("DURATION", "'P1M'", "the text 'P1M'"),
                ("UTINYINT", -1, "-1"),
                ("UBIGINT", 2**64, "18446744073709551616"),
                ("SMALLINT[]", "[1, 70000]", "70000", "SMALLINT"),
                ("SMALLINT[]", 5, "5"),
                ("STRUCT(a INT)", "{b = 1}", "a table with the key 'b'"),
                ("STRUCT(a INT)", "[1]", "an array"),
                (
                    "MAP(VARCHAR, INT)",
                    "[1]",
                    "an array that is not a list of \\[key, value\\] pairs",
                ),
                ("MAP(VARCHAR, INT)", "[['k', 'v']]", "the text 'v'", "INTEGER"),
            ]
        ),
        # The same from records read as dicts first, and from records before their columns.
        (
            "[tables.t]\ncolumns = [{name = 'v', type = 'INT'}]\n[[tables.t.records]]\nv = 2.5",
            {"records": "arrow"},
            ValueError,
            r"records\[0\]: column 'v' holds 2\.5, which does not fit INTEGER",
        ),
        (
            "[tables.t]\nrecords = [{v = 'x'}]\ncolumns = [{name = 'v', type = 'INT'}]",
            {"records": "arrow"},
            ValueError,
            r"records\[0\]: column 'v' holds the text 'x', which does not fit INTEGER",
        ),
        (
            "[tables.t]\nrecords = [{v = 1}, {v = 0x1_0000_0000_0000_0000}]\n"
            "columns = [{name = 'v', type = 'UBIGINT'}]",
            {"records": "arrow"},
            ValueError,
            r"records\[1\]: column 'v' holds 18446744073709551616, which does not fit UBIGINT",
        ),
        (
            "[tables.t]\nrecords = [{v = 9223372036854775808}]",
            {"records": "arrow"},
            ValueError,
            r"records\[0\]: column 'v' holds an integer beyond int64; a column declared UBIGINT",
        ),
        ("", {"records": "arrow", "schema": "typed"}, ValueError, "'declared' or 'inferred'"),
        ("[tables.t]\nrecords = [{a = 1}", {"records": "arrow"}, Exception, "line"),
        # Text and names Arrow cannot carry, and nesting its consumers would recurse through.
        ('[tables.t]\nrecords = [{a = "x\ud800"}]', {"records": "arrow"}, ValueError, "U\\+D800"),
        ('[tables.t]\nrecords = [{"k\ud800" = 1}]', {"records": "arrow"}, ValueError, "U\\+D800"),
        ('[tables.t]\nrecords = [{"k\\u0000" = 1}]', {"records": "arrow"}, ValueError, "NUL"),
        (
            "[tables.t]\nrecords = [{a = " + "[" * 300 + "]" * 300 + "}]",
            {"records": "arrow"},
            ValueError,
            "deeper than 63",
        ),
        # One level past what pyarrow imports (see test_deepest_records_import_in_pyarrow).
        (
            "[tables.t]\nrecords = [{a = " + "{b = " * 63 + "1" + "}" * 63 + "}]",
            {"records": "arrow"},
            ValueError,
            "deeper than 63 levels",
        ),
    ],
)
def test_errors(text, kwargs, error, message):
    with pytest.raises(error, match=message):
        decode_unified_data(text, **kwargs)


def test_deepest_records_import_in_pyarrow():
    """The nesting bound is what the installed pyarrow imports: one level less than the error
    rows above, as lists and as inline tables."""
    for value in ("[" * 62 + "]" * 62, "{b = " * 62 + "1" + "}" * 62):
        obj = decode_unified_data(f"[tables.t]\nrecords = [{{a = {value}}}]", records="arrow")
        assert pa.table(obj["tables"]["t"]["records"]).num_rows == 1


def test_parse_float_float_and_documents_without_tables_are_fine():
    assert decode_unified_data("tables = 1", records="arrow", parse_float=float) == {"tables": 1}
    assert decode_unified_data("[tables.t]\nx = 1", records="arrow") == {"tables": {"t": {"x": 1}}}


# ---- consumers and buffer lifetime -----------------------------------------------------------


def users():
    return decode_unified_data(DOC, records="arrow")["tables"]["users"]["records"]


def test_polars_and_pandas():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    frame = pl.DataFrame(users())
    assert frame["name"].to_list() == ["ada", "bob"] and frame["score"].to_list() == [1.0, 2.5]
    # pandas 3.1.2 takes PyCapsule objects in DataFrame.from_arrow; older ones through pyarrow.
    from_arrow = getattr(pd.DataFrame, "from_arrow", None)
    df = from_arrow(users()) if from_arrow else pa.table(users()).to_pandas()
    assert list(df["id"]) == [1, 2] and list(df.columns)[:2] == ["id", "ghost"]


def test_duckdb_scans_the_object_twice_in_one_query():
    duckdb = pytest.importorskip("duckdb")
    obj = users()  # noqa: F841 (DuckDB finds it by name)
    rows = duckdb.sql(
        "select a.name, b.score from obj a join obj b on a.id = b.id "
        "union all select name, score from obj order by 1, 2"
    ).fetchall()
    assert rows == [("ada", 1.0), ("ada", 1.0), ("bob", 2.5), ("bob", 2.5)]


def test_exports_share_buffers_and_outlive_the_object():
    obj = users()
    first, second = pa.table(obj), pa.table(obj)
    addr = [t.column("name").chunk(0).buffers()[2].address for t in (first, second)]
    assert addr[0] == addr[1]
    schema_capsule = obj.__arrow_c_schema__()
    stream_capsule = obj.__arrow_c_stream__()
    unused = obj.__arrow_c_stream__(requested_schema=None)  # dropped unconsumed
    del obj, unused
    gc.collect()
    reader = pa.RecordBatchReader._import_from_c_capsule(stream_capsule)
    assert reader.read_all().column("name").to_pylist() == ["ada", "bob"]
    assert pa.Schema._import_from_c_capsule(schema_capsule).names == first.column_names
    del first
    assert second.column("tags").to_pylist() == [["a"], []]


def test_release_from_another_thread():
    import threading

    tables = [pa.table(users()) for _ in range(8)]
    threads = [threading.Thread(target=tables.pop) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert tables == []


LEAK_PRELUDE = """
import ctypes, gc, sys
from ondrel.datastore.adapter.toml.decoder import decode_unified_data
import pyarrow as pa
libc = ctypes.CDLL(None)
class Info(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
libc.mallinfo2.restype = Info
def native():
    return libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd
DOC = '''[tables.t]
columns = [{name = "z"}]
records = [''' + ",".join(
    f"{{i = {i}, s = 'x{i}' , f = {i}.5, l = [{i}, 'a'], m = {{k = {i}}}}}" for i in range(300)
) + "]\\n"
BAD = DOC + "[tables.u]\\nrecords = [{a = 1}, {a = 99999999999999999999}]\\n"
TYPED = '''[tables.t]
columns = [{name = "i", type = "INTEGER"}, {name = "s", type = "VARCHAR"}, {name = "f", type = "REAL"},
  {name = "l", type = "TEXT[]"}, {name = "m", type = "STRUCT(k DECIMAL(9,2))"}, {name = "u", type = "UBIGINT"}]
records = [''' + ",".join(
    f"{{i = {i}, s = 'x{i}' , f = {i}.5, l = ['a'], m = {{k = '{i}.5'}}, u = 18446744073709551615}}" for i in range(300)
) + "]\\n"
MISFIT = TYPED.replace("'7.5'", "'7.125'")
LATE = "[tables.t]\\nrecords = [{u = 18446744073709551615}]\\ncolumns = [{name = 'u', type = 'INT'}]\\n"
"""


@pytest.mark.parametrize(
    "op",
    [
        "decode_unified_data(DOC, records='arrow')",
        "pa.table(decode_unified_data(DOC, records='arrow')['tables']['t']['records'])",
        "decode_unified_data(DOC, records='arrow')['tables']['t']['records'].__arrow_c_stream__()",
        "decode_unified_data(BAD, records='arrow')",
        "pa.table(decode_unified_data(TYPED, records='arrow')['tables']['t']['records'])",
        "decode_unified_data(MISFIT, records='arrow')",
        "decode_unified_data(LATE, records='arrow')",
        "decode_unified_data(DOC + '[', records='arrow')",
    ],
)
def test_no_leaks(op):
    run_ok(
        f"""
        def once():
            try:
                {op}
            except Exception:
                pass
        for _ in range(50):
            once()
        gc.collect()
        blocks, heap = sys.getallocatedblocks(), native()
        for _ in range(1000):
            once()
        gc.collect()
        grown = sys.getallocatedblocks() - blocks, native() - heap
        assert grown[0] < 200 and grown[1] < 1 << 20, grown
        print("OK")
        """,
        prelude=LEAK_PRELUDE,
    )


def test_float_column_keeps_bits():
    obj = decode_unified_data(
        "[tables.t]\nrecords = [{v = -0.0}, {v = nan}, {v = 5e-324}]", records="arrow"
    )
    got = pa.table(obj["tables"]["t"]["records"]).column("v").to_pylist()
    assert math.copysign(1, got[0]) == -1 and math.isnan(got[1]) and got[2] == 5e-324


@pytest.mark.parametrize(
    ("section", "marker", "printed"),
    [
        (
            "## Tables into Arrow",
            "decode_unified_data(text",
            "ArrowRecords(2 rows; id: int32, nick: string, score: double)\n",
        ),
        # A folder of stores as one frame: pyarrow, polars and a Dask DataFrame.
        (
            "## Many documents",
            "dd.from_map",
            "[DataType(int64), DataType(string), ListType(list<item: string>)]\n3\n3 6\n",
        ),
    ],
)
def test_readme_example_runs(section, marker, printed):
    pytest.importorskip("polars")
    pytest.importorskip("duckdb")
    pytest.importorskip("dask.dataframe")
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    blocks = readme.split(section, 1)[1].split("\n## ", 1)[0].split("```python\n")[1:]
    (code,) = [b.split("```", 1)[0] for b in blocks if marker in b]
    out = run_ok(code + "\nprint('OK')")
    assert printed + "OK" in out
