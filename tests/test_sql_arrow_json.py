"""The SQL adapter's whole-array conversions: Arrow values to JSON text and back, and the
columns a database hands back read as the declared types."""

from __future__ import annotations

import datetime as dt
import decimal
import json
import uuid

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("numpy")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from ondrel.datastore.adapter.sql._arrow_json import from_json, to_json  # noqa: E402
from ondrel.datastore.adapter.sql._convert import for_database, from_database  # noqa: E402

_text = st.text(st.characters(codec="utf-8", exclude_categories=["Cs"]), max_size=8)
# UUIDs are left out: pyarrow builds no nested extension values from Python (the spelling
# and read-back tables below hold them).
_leaves = [
    (pa.int64(), st.integers(-(2**63), 2**63 - 1)),
    (pa.float64(), st.floats(allow_nan=False, allow_infinity=False)),
    (pa.string(), _text),
    (pa.bool_(), st.booleans()),
    (pa.timestamp("us"), st.datetimes(dt.datetime(1, 1, 1), dt.datetime(9999, 12, 31))),
    (pa.date32(), st.dates()),
    (pa.time64("us"), st.times()),
    (pa.decimal128(12, 3), st.decimals(-(10**8), 10**8, places=3, allow_nan=False)),
    (pa.duration("ms"), st.integers(-(10**12), 10**12).map(lambda n: dt.timedelta(milliseconds=n))),
]


def _nested(depth: int):
    """(Arrow type, values strategy) pairs: leaves, and lists, structs and maps of them."""
    leaf = st.sampled_from(_leaves)
    if depth == 0:
        return leaf

    def grow(child):
        t, values = child
        return st.sampled_from(
            [
                (pa.list_(t), st.lists(values, max_size=3)),
                (
                    pa.struct([("a b", t), ("c", pa.int64())]),
                    st.fixed_dictionaries(
                        {"a b": st.none() | values, "c": st.none() | st.integers(0, 9)}
                    ),
                ),
                (pa.map_(pa.string(), t), st.lists(st.tuples(_text, values), max_size=3)),
            ]
        )

    return st.one_of(leaf, _nested(depth - 1).flatmap(grow))


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_json_text_round_trips_every_nesting(data):
    t, values = data.draw(_nested(2))
    rows = data.draw(st.lists(st.none() | values, max_size=6))
    arr = pa.array(rows, t)
    if data.draw(st.booleans()) and len(arr) > 1:
        arr = arr.slice(1)  # an offset into every buffer
    text = to_json(arr)
    assert text.null_count == arr.null_count
    for value in text.to_pylist():
        if value is not None:
            json.loads(value)  # valid JSON, whatever the strings hold
    assert from_json(text, arr.type).equals(arr)


@pytest.mark.parametrize(
    ("arr", "expected"),
    [
        (pa.array(['a"b\\c\n\x01\u00e9']), ['"a\\"b\\\\c\\n\\u0001\u00e9"']),
        (pa.array([1.5, float("inf"), None]), ["1.5", None, None]),
        (pa.array([{"x": None}]), ['{"x":null}']),
        (pa.array([[("k", 1)]], pa.map_(pa.string(), pa.int8())), ['[{"key":"k","value":1}]']),
        (
            pa.array([pa.MonthDayNano([1, -2, 3])], pa.month_day_nano_interval()),
            ['{"months":1,"days":-2,"nanoseconds":3}'],
        ),
        (pa.array([uuid.UUID(int=1).bytes], pa.uuid()), ['"00000000-0000-0000-0000-000000000001"']),
        (
            pa.array(
                [dt.datetime(2024, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1)))],
                pa.timestamp("s", "Europe/Paris"),
            ),
            ['"2024-01-01 00:00:00Z"'],
        ),
    ],
)
def test_json_text_spelling(arr, expected):
    assert to_json(arr).to_pylist() == expected


def test_nulls_inside_a_null_interval_are_never_read():
    # The null's slot holds bytes that overflow any duration: they must not be looked at.
    raw = pa.py_buffer(b"\xff" * 16 + b"\x00" * 16)
    arr = pa.Array.from_buffers(pa.month_day_nano_interval(), 2, [pa.py_buffer(b"\x02"), raw])
    assert from_database(arr, pa.duration("us")).to_pylist() == [None, dt.timedelta(0)]


# (Arrow column, dialect, declared type, the error's words): values a database cannot keep.
REFUSED = [
    (pa.array([2**64 - 1], pa.uint64()), "sqlite", "UBIGINT", "beyond SQLite's 64-bit"),
    (pa.array([1], pa.timestamp("ns")), "postgresql", "TIMESTAMP_NS", "nanoseconds"),
    (
        pa.array([pa.MonthDayNano([0, 0, 1])], pa.month_day_nano_interval()),
        "duckdb",
        "INTERVAL",
        "nanoseconds",
    ),
    (pa.array([2**40], pa.int64()), "postgresql", "INTEGER", "does not fit INTEGER"),
]


@pytest.mark.parametrize(("arr", "dialect", "name", "words"), REFUSED)
def test_values_a_database_cannot_keep_are_refused(arr, dialect, name, words):
    with pytest.raises(ValueError, match=words):
        for_database(arr, name, dialect, "table 't', column 'c'")


# (what the database hands back, the declared Arrow type)
READ_BACK = [
    (pa.array(["12:30:00.000001", None]), pa.time64("us")),
    (pa.array(["2024-01-01 00:00:00.000000Z"]), pa.timestamp("us", "Asia/Tokyo")),
    (pa.array(["1.50", "-2"]), pa.decimal128(5, 2)),
    (pa.array([1, 0, None], pa.int64()), pa.bool_()),
    (pa.array([-5, None], pa.int64()), pa.duration("s")),
    (pa.array([None, None], pa.null()), pa.list_(pa.string())),
    (pa.array(["0F8FAD5B-D9CB-469F-A165-70867728950E"]), pa.uuid()),
    (pa.array([pa.MonthDayNano([0, 2, 5000])], pa.month_day_nano_interval()), pa.duration("us")),
    (pa.array([[1, None]], pa.list_(pa.int64())), pa.list_(pa.int16())),
]


@pytest.mark.parametrize(("arr", "target"), READ_BACK)
def test_database_columns_read_as_declared(arr, target):
    got = from_database(arr, target)
    assert got.type == target
    assert got.null_count == arr.null_count
    if target == pa.uuid():
        assert got.to_pylist() == [uuid.UUID("0f8fad5b-d9cb-469f-a165-70867728950e")]
    if target == pa.decimal128(5, 2):
        assert got.to_pylist() == [decimal.Decimal("1.50"), decimal.Decimal("-2.00")]


def test_text_that_is_no_uuid_is_refused():
    with pytest.raises(ValueError, match="not a UUID"):
        from_database(pa.array(["not-a-uuid"]), pa.uuid())
