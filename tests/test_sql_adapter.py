"""A store into SQLite, DuckDB and PostgreSQL and back: the round trip over every declared type,
failures that leave the database as it was, and names that stay names."""

from __future__ import annotations

import datetime as dt
import decimal
import uuid
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")

from ondrel.datastore.adapter.sql import SQLStoreError, dump_store, load_store  # noqa: E402
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data  # noqa: E402
from ondrel.datastore.tables.data import Column, TableData  # noqa: E402
from ondrel.datastore.unified_data import UnifiedDataFormat  # noqa: E402

UTC = dt.UTC
# (declared type, Arrow type, a value); the second record holds nulls throughout. No null
# sits inside a list or a map: TOML has no null to write it with.
EVERY_TYPE = [
    ("BOOLEAN", pa.bool_(), True),
    ("TINYINT", pa.int8(), -128),
    ("SMALLINT", pa.int16(), 32767),
    ("INTEGER", pa.int32(), -(2**31)),
    ("BIGINT", pa.int64(), 2**62),
    ("UTINYINT", pa.uint8(), 255),
    ("USMALLINT", pa.uint16(), 65535),
    ("UINTEGER", pa.uint32(), 2**32 - 1),
    ("UBIGINT", pa.uint64(), 2**63 - 1),
    ("REAL", pa.float32(), 1.5),
    ("DOUBLE", pa.float64(), 0.1),
    ("DECIMAL(10,2)", pa.decimal128(10, 2), decimal.Decimal("-12345678.90")),
    ("VARCHAR", pa.string(), 'it\'s "quoted"\n\u00e9'),
    ("BLOB", pa.binary(), b"\x00\xff'"),
    ("DATE", pa.date32(), dt.date(1999, 12, 31)),
    ("TIME", pa.time64("us"), dt.time(23, 59, 58, 999999)),
    ("TIMESTAMP", pa.timestamp("us"), dt.datetime(2024, 2, 29, 12, 0, 0, 1)),
    ("TIMESTAMP_S", pa.timestamp("s"), dt.datetime(1970, 1, 1)),
    ("TIMESTAMP_MS", pa.timestamp("ms"), dt.datetime(2001, 9, 9, 1, 46, 40, 123000)),
    ("TIMESTAMP_NS", pa.timestamp("ns"), dt.datetime(2262, 4, 11, 23, 47, 16, 854775)),
    ("TIMESTAMP WITH TIME ZONE", pa.timestamp("us", "UTC"), dt.datetime(2024, 1, 1, tzinfo=UTC)),
    ("JSON", pa.json_(), '{"b": [1, 2], "a": "x"}'),
    ("UUID", pa.uuid(), uuid.UUID("0f8fad5b-d9cb-469f-a165-70867728950e").bytes),
    ("INTERVAL", pa.month_day_nano_interval(), pa.MonthDayNano([14, -3, 4_000_005_000])),
    ("DURATION", pa.duration("us"), dt.timedelta(days=-1, microseconds=5)),
    ("BIGINT[]", pa.list_(pa.int64()), [1, -2, 3]),
    ("VARCHAR[][]", pa.list_(pa.list_(pa.string())), [["a"], []]),
    (
        'STRUCT(a BIGINT, "b c" VARCHAR[])',
        pa.struct([("a", pa.int64()), ("b c", pa.list_(pa.string()))]),
        {"a": 1, "b c": ["x"]},
    ),
    ("MAP(VARCHAR, DOUBLE)", pa.map_(pa.string(), pa.float64()), [("k", 2.5), ("j", -1.0)]),
]
AWKWARD = 'all "types"; --'


def every_type_store() -> UnifiedDataFormat:
    """Every vocabulary type, nulls, a composite key, a foreign key with ON DELETE CASCADE, an
    autoincrement key and awkward names."""
    fields = [pa.field("k 1", pa.string(), False), pa.field("k.2", pa.int64(), False)]
    fields += [pa.field(f"c{i} {name}", t) for i, (name, t, _) in enumerate(EVERY_TYPE)]
    rows = [["a", 1, *(v for _, _, v in EVERY_TYPE)], ["a", 2, *(None for _ in EVERY_TYPE)]]
    arrays = [pa.array([r[i] for r in rows], f.type) for i, f in enumerate(fields)]
    columns = [
        Column(name="k 1", type="VARCHAR", primary_key=True),
        Column(name="k.2", type="BIGINT", primary_key=True),
    ] + [
        Column(name=f.name, type=n, nullable=True)
        for f, (n, _, _) in zip(fields[2:], EVERY_TYPE, strict=True)
    ]
    people = TableData(
        columns=[
            Column(name="id", type="BIGINT", primary_key=True, autoincrement=True),
            Column(
                name="nick", type="VARCHAR", nullable=True, default="anon", comment="shown 'as is'"
            ),
            Column(name="email", type="VARCHAR", unique=True),
        ],
        records=[{"id": 1, "nick": "ada", "email": "a@x"}, {"id": 2, "email": "b@x"}],
    )
    posts = TableData(
        columns=[
            Column(name="id", type="INTEGER", primary_key=True),
            Column(name="select", type="BIGINT", foreign_key="people.id", ondelete="CASCADE"),
        ],
        records=[{"id": 1, "select": 1}, {"id": 2, "select": 2}],
    )
    tables = {
        "posts": posts,
        AWKWARD: TableData(columns=columns, records=pa.table(arrays, schema=pa.schema(fields))),
        "people": people,
    }
    return UnifiedDataFormat(schema_version="3.1", tables=tables)


def text(doc: UnifiedDataFormat) -> str:
    return encode_unified_data(doc, True, datetimes="toml")


def test_round_trip(database, tmp_path):
    store = every_type_store()
    first = database.new_uri()
    load_store(store, first)
    dumped = dump_store(first)
    assert dumped.schema_version == "3.1"
    assert list(dumped.tables.keys()) == [AWKWARD, "people", "posts"]  # by name, referenced first
    people = {c.name: c for c in dumped.tables["people"].columns}
    assert people["id"].autoincrement and people["id"].primary_key
    assert people["nick"].default == "anon" and people["nick"].comment == "shown 'as is'"
    assert people["email"].unique and not people["email"].nullable
    posts = {c.name: c for c in dumped.tables["posts"].columns}
    assert (posts["select"].foreign_key, posts["select"].ondelete) == ("people.id", "CASCADE")
    awkward = dumped.tables[AWKWARD]
    assert [c.type for c in awkward.columns[2:]] == [n for n, _, _ in EVERY_TYPE]
    assert [c.name for c in awkward.columns if c.primary_key] == ["k 1", "k.2"]
    # The records come back as the declared Arrow types, with the same values.
    got, want = pa.table(awkward.records), pa.table(store.tables[AWKWARD].records)
    assert got.schema == want.schema
    for name in want.column_names:
        assert got.column(name).to_pylist() == want.column(name).to_pylist(), name
    # A missing key is NULL, never the column's DEFAULT.
    assert pa.table(dumped.tables["people"].records).column("nick").to_pylist() == ["ada", None]

    path = tmp_path / "dump.toml"
    second = database.new_uri()
    write_unified_data(dumped, str(path), True, datetimes="toml")
    load_store(path, second)
    assert text(dump_store(second)) == text(dumped)


def test_keys_work_after_load(database):
    """The autoincrement key goes on after the loaded ids; ON DELETE CASCADE deletes (DuckDB
    takes no CASCADE and refuses the delete instead)."""
    uri = database.new_uri()
    load_store(every_type_store(), uri, tables=["people", "posts"])
    conn = database.connect(uri)
    try:
        cur = conn.cursor()
        if database.kind == "sqlite":
            conn.commit()
            conn.adbc_connection.set_autocommit(True)
            cur.execute("PRAGMA foreign_keys = ON")
        cur.execute("INSERT INTO people (email) VALUES ('c@x')")
        cur.execute("SELECT max(id), count(*) FROM people")
        assert cur.fetchall()[0] == (3, 3)
        if database.kind == "duckdb":
            with pytest.raises(Exception, match="(?i)foreign key"):
                cur.execute("DELETE FROM people WHERE id = 1")
            return
        cur.execute("DELETE FROM people WHERE id = 1")
        cur.execute('SELECT "select" FROM posts')
        assert cur.fetchall() == [(2,)]
    finally:
        conn.close()


def _store(**tables: TableData) -> UnifiedDataFormat:
    return UnifiedDataFormat(tables=tables)


def _ids(name: str, ids: list[int], ref: str | None = None, refs: list | None = None) -> TableData:
    columns = [Column(name="id", type="BIGINT", primary_key=True)]
    records = [{"id": i} for i in ids]
    if ref is not None:
        columns.append(Column(name="ref", type="BIGINT", nullable=True, foreign_key=ref))
        records = [{"id": i, "ref": r} for i, r in zip(ids, refs or [], strict=True)]
    return TableData(columns=columns, records=records)


def _closed(database, uri):
    conn = database.connect(uri)
    conn.close()
    return conn


def _autocommitting(database, uri):
    if database.kind == "duckdb":
        return uri
    return database.connect(uri, autocommit=True)


# (case, the store, target maker, (error, message) by database or for all)
FAILURES = [
    (
        "constraint",
        _store(fresh=_ids("fresh", [1]), bad=_ids("bad", [7, 7])),
        None,
        (SQLStoreError, "table 'bad'"),
    ),
    (
        "cycle",
        _store(a=_ids("a", [1], "b.id", [5]), b=_ids("b", [5], "a.id", [2])),
        None,
        {"duckdb": (ValueError, "cycle.*'a'.*'b'"), None: (SQLStoreError, "deferred foreign keys")},
    ),
    (
        "exists",
        _store(fresh=_ids("fresh", [1]), people=_ids("people", [1])),
        None,
        (ValueError, "'people' already exists"),
    ),
    (
        "autocommit connection",
        _store(fresh=_ids("fresh", [1]), bad=_ids("bad", [7, 7])),
        _autocommitting,
        (SQLStoreError, "table 'bad'"),
    ),
    (
        "closed",
        _store(fresh=_ids("fresh", [1])),
        _closed,
        (SQLStoreError, "connection cannot be used|cannot be read"),
    ),
]


@pytest.mark.parametrize(
    ("case", "store", "make_target", "expected"), FAILURES, ids=[f[0] for f in FAILURES]
)
def test_failures_leave_the_database_unchanged(database, case, store, make_target, expected):
    uri = database.new_uri()
    load_store(every_type_store(), uri, tables=["people"])
    before = text(dump_store(uri))
    if isinstance(expected, dict):
        expected = expected.get(database.kind, expected[None])
    error, message = expected
    target = make_target(database, uri) if make_target else uri
    try:
        with pytest.raises(error, match=message):
            load_store(store, target)
    finally:
        if not isinstance(target, str):
            target.close()
    assert text(dump_store(uri)) == before


HOSTILE = ['a"b', "x'; DROP TABLE people; --", "semi;colon", "-- comment", "select", "a.b c"]


def test_hostile_names_stay_names(database):
    columns = [Column(name=n, type="VARCHAR", nullable=True) for n in HOSTILE]
    columns[0].primary_key, columns[0].nullable = True, False
    records = [dict.fromkeys(HOSTILE, "v'); DROP TABLE people; --")]
    store = _store(**{n: TableData(columns=columns, records=records) for n in HOSTILE})
    uri = database.new_uri()
    load_store(every_type_store(), uri, tables=["people"])
    load_store(store, uri)
    dumped = dump_store(uri)
    assert sorted(dumped.tables.keys()) == sorted([*HOSTILE, "people"])
    for name in HOSTILE:
        table = dumped.tables[name]
        assert [c.name for c in table.columns] == HOSTILE
        assert pa.table(table.records).to_pylist() == records


def _people(*ids: int, extra: str | None = None) -> UnifiedDataFormat:
    columns = [Column(name="id", type="BIGINT", primary_key=True)]
    if extra:
        columns.append(Column(name=extra, type="VARCHAR", nullable=True))
    return _store(people=TableData(columns=columns, records=[{"id": i} for i in ids]))


def _ids_in(uri: str, table: str = "people") -> list[int]:
    return pa.table(dump_store(uri, tables=[table]).tables[table].records).column("id").to_pylist()


def test_if_exists_replace_and_append(database):
    uri = database.new_uri()
    load_store(_people(1, 2), uri)
    load_store(_people(5), uri, if_exists="replace")
    assert _ids_in(uri) == [5]
    load_store(_people(3, 4), uri, if_exists="append")
    assert _ids_in(uri) == [3, 4, 5]
    with pytest.raises(ValueError, match=r"exists with columns \['id'\], not the store's"):
        load_store(_people(9, extra="nick"), uri, if_exists="append")
    assert _ids_in(uri) == [3, 4, 5]


# (case, store, the error's words): refused before the database is touched.
REFUSALS = [
    (
        "unknown type",
        _store(t=TableData(columns=[Column(name="a", type="NOPE(")])),
        "not one the store's vocabulary knows",
    ),
    (
        "undeclared key",
        _store(t=TableData(columns=[Column(name="a", type="BIGINT")], records=[{"a": 1, "b": 2}])),
        r"undeclared columns \['b'\]",
    ),
    ("no columns", _store(t=TableData(records=[{"a": 1}])), "declares no columns"),
    (
        "autoincrement text",
        _store(
            t=TableData(
                columns=[Column(name="a", type="VARCHAR", primary_key=True, autoincrement=True)]
            )
        ),
        "autoincrement needs an integer type",
    ),
    ("unknown reference", _store(t=_ids("t", [1], "t.nope", [1])), "names no column of 't'"),
    (
        "bad action",
        _store(
            t=TableData(
                columns=[Column(name="a", type="BIGINT", foreign_key="t.a", ondelete="EXPLODE")]
            )
        ),
        "ondelete 'EXPLODE' is not one of",
    ),
    ("metadata name", _store(_ondrel_store=_ids("x", [1])), "name of the store's metadata table"),
    (
        "default",
        _store(t=TableData(columns=[Column(name="a", type="BIGINT", default=[1])])),
        "needs a JSON column",
    ),
]


@pytest.mark.parametrize(("case", "store", "words"), REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_before_anything_changes(tmp_path, case, store, words):
    uri = f"sqlite:///{tmp_path}/db.sqlite"
    load_store(_people(1), uri)
    with pytest.raises(ValueError, match=words):
        load_store(store, uri)
    assert sorted(dump_store(uri).tables.keys()) == ["people"]


@pytest.mark.parametrize(
    ("target", "error", "words"),
    [
        (42, TypeError, "ADBC DB-API connection"),
        ("mysql://host/db", ValueError, "unsupported URI"),
        ("sqlite:/relative", ValueError, "not a sqlite:///path URI"),
    ],
)
def test_targets_that_are_not_databases(target, error, words):
    with pytest.raises(error, match=words):
        load_store(_people(1), target)


def test_uri_paths(tmp_path, monkeypatch):
    from ondrel.datastore.adapter.sql._targets import _file_path

    assert _file_path("sqlite:///rel/a.db", "sqlite") == "rel/a.db"
    assert _file_path("sqlite:////abs/a%20b.db", "sqlite") == "/abs/a b.db"
    assert (
        _file_path("duckdb://", "duckdb")
        == _file_path("duckdb:///:memory:", "duckdb")
        == ":memory:"
    )
    monkeypatch.chdir(tmp_path)
    load_store(_people(1), "sqlite:///here.sqlite")
    assert (tmp_path / "here.sqlite").exists()


# A table made by hand, not by load_store: its columns come from the catalogue alone.
FOREIGN = {
    "sqlite": "CREATE TABLE \"h\" (id INTEGER PRIMARY KEY, n TEXT NOT NULL DEFAULT 'x', r REAL, b BLOB UNIQUE)",
    "duckdb": "CREATE TABLE h (id BIGINT PRIMARY KEY, n VARCHAR NOT NULL DEFAULT 'x', r DOUBLE, b BLOB UNIQUE)",
    "postgresql": "CREATE TABLE h (id bigint PRIMARY KEY, n text NOT NULL DEFAULT 'x', r double precision, b bytea UNIQUE)",
}


def test_dump_of_a_table_made_by_hand(database):
    uri = database.new_uri()
    conn = database.connect(uri)
    try:
        cur = conn.cursor()
        cur.execute(FOREIGN[database.kind])
        cur.execute("INSERT INTO h (id, r, b) VALUES (2, 0.5, NULL)")
        cur.execute("INSERT INTO h (id, n, r, b) VALUES (1, 'y', NULL, NULL)")
        conn.commit()
    finally:
        conn.close()
    dumped = dump_store(uri)
    assert dumped.schema_version == "1"
    columns = {c.name: c for c in dumped.tables["h"].columns}
    assert columns["id"].primary_key and not columns["id"].nullable
    assert (columns["n"].nullable, columns["n"].default) == (False, "x")
    assert columns["b"].unique and columns["r"].nullable
    kinds = {c.name: c.type.upper() for c in dumped.tables["h"].columns}
    assert kinds["n"] in ("TEXT", "VARCHAR") and kinds["b"] in ("BLOB", "BYTEA")
    assert pa.table(dumped.tables["h"].records).to_pylist() == [
        {"id": 1, "n": "y", "r": None, "b": None},
        {"id": 2, "n": "x", "r": 0.5, "b": None},
    ]


def test_readme_example_runs_as_written(tmp_path, monkeypatch):
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Databases\n", 1)[1].split("\n## ", 1)[0]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(tmp_path)
    write_unified_data(_people(1, 2), "db.toml")
    exec(compile(code, "README.md", "exec"), {})
    assert "[tables.people]" in (tmp_path / "again.toml").read_text(encoding="utf-8")


def test_dump_keeps_the_callers_pending_work(database):
    uri = database.new_uri()
    load_store(_people(1), uri)
    conn = database.connect(uri)
    try:
        if database.kind == "duckdb":
            conn.begin()
        with conn.cursor() as cur:
            cur.execute("INSERT INTO people VALUES (2)")
        assert pa.table(dump_store(conn).tables["people"].records).column("id").to_pylist() == [
            1,
            2,
        ]
        conn.commit()
    finally:
        conn.close()
    assert _ids_in(uri) == [1, 2]


def test_append_moves_the_autoincrement_on(database):
    if database.kind == "duckdb":
        pytest.skip("DuckDB's sequences cannot be moved (docs/databases.md)")
    uri = database.new_uri()
    load_store(every_type_store(), uri, tables=["people"])
    more = TableData(
        columns=every_type_store().tables["people"].columns,
        records=[{"id": 7, "email": "g@x"}],
    )
    load_store(_store(people=more), uri, if_exists="append")
    conn = database.connect(uri)
    try:
        with conn.cursor() as cur:
            cur.execute("INSERT INTO people (email) VALUES ('h@x')")
            cur.execute("SELECT max(id) FROM people")
            assert cur.fetchall()[0][0] == 8
        conn.commit()
    finally:
        conn.close()
