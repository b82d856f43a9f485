"""Document layout and value forms of the TOML encoder."""

import datetime
import decimal
import enum
import fractions
import sys
import sysconfig
import tomllib
from collections import OrderedDict

import pytest

from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml import pentock
from ondrel.datastore.adapter.toml.decoder import read_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables.data import TableData
from ondrel.datastore.unified_data import UnifiedDataFormat

WORKED_EXAMPLE = (
    "[header]\n"
    'version = "1.0"\n'
    'schema_version = "2"\n'
    'tables = ["users"]\n'
    "\n"
    "[tables.users]\n"
    "columns = [\n"
    '    { name = "id", type = "INTEGER", primary_key = true, autoincrement = true },\n'
    '    { name = "nick", type = "TEXT", nullable = true, unique = true, default = "anon",'
    ' comment = "Nickname" },\n'
    "]\n"
    "records = [\n"
    '    { id = 1, nick = "ada" },\n'
    "    { id = 2 },\n"
    "]\n"
)

EMPTY_DOCUMENT = '[header]\nversion = "1.0"\nschema_version = "2"\ntables = []\n'


def worked_model():
    table = TableData.model_validate(
        {
            "columns": [
                {"name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True},
                {
                    "name": "nick",
                    "type": "TEXT",
                    "nullable": True,
                    "unique": True,
                    "default": "anon",
                    "comment": "Nickname",
                },
            ],
            "records": [{"id": 1, "nick": "ada"}, {"id": 2, "nick": None}],
        }
    )
    return UnifiedDataFormat(version="1.0", schema_version="2", tables={"users": table})


@pytest.mark.parametrize("escape", [False, True])
def test_worked_example_byte_for_byte(escape):
    out = encode_unified_data(worked_model(), escape)
    assert out == WORKED_EXAMPLE
    assert len(out.encode()) == 346


@pytest.mark.parametrize("escape", [False, True])
def test_empty_document(escape):
    assert encode_unified_data(Model(), escape_strings=escape) == EMPTY_DOCUMENT


def table_section(model):
    return encode_unified_data(model).split("\n\n", 1)[1]


def test_table_without_columns_and_records():
    assert table_section(Model({"t": Table()})) == ("[tables.t]\ncolumns = [\n]\nrecords = [\n]\n")


def test_tables_keep_holder_order_with_one_blank_line_between():
    out = encode_unified_data(Model({"b": Table(), "a": Table(), "c": Table()}))
    assert 'tables = ["b", "a", "c"]\n' in out
    assert out.index("[tables.b]") < out.index("[tables.a]") < out.index("[tables.c]")
    assert out.count("\n\n") == 3 and not out.endswith("\n\n")


@pytest.mark.parametrize(
    ("column", "entry"),
    [
        (col("id", "INTEGER"), '{ name = "id", type = "INTEGER" }'),
        # Every optional pair, in the fixed order whatever the tuple order.
        (
            col(
                "x",
                "T",
                unique=1,
                comment="c",
                foreign_key="o.id",
                default=0,
                nullable="yes",
                primary_key=True,
                autoincrement=[1],
                ondelete="CASCADE",
                onupdate="SET NULL",
            ),
            '{ name = "x", type = "T", nullable = true, primary_key = true, foreign_key = "o.id",'
            ' unique = true, autoincrement = true, default = 0, comment = "c" }',
        ),
        # Falsy flags are left out, never written as false; a falsy default is still written.
        (
            col("f", unique=0, nullable="", primary_key=None, autoincrement=[], default=False),
            '{ name = "f", type = "TEXT", default = false }',
        ),
        (col("s", default=""), '{ name = "s", type = "TEXT", default = "" }'),
        (
            col("l", default=[1, "a", (True,)]),
            '{ name = "l", type = "TEXT", default = [ 1, "a", [ true ] ] }',
        ),
    ],
)
def test_column_entries(column, entry):
    assert table_section(Model({"t": Table([column])})) == (
        f"[tables.t]\ncolumns = [\n    {entry},\n]\nrecords = [\n]\n"
    )


def record_line(value, escape=False):
    out = encode_unified_data(records_model([{"k": value}]), escape)
    return out.split("records = [\n    ", 1)[1].split(",\n]", 1)[0]


class Stringy:
    def __str__(self):
        return 'say "hi"'


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyList(list):
    def __iter__(self):
        raise AssertionError("storage is read directly")


class MyDict(dict):
    def items(self):
        raise AssertionError("storage is read directly")


def holed(n, keep):
    # Grown one key at a time (resized on the way), then all but `keep` deleted again.
    d = {f"k{i}": i for i in range(n)}
    for i in set(range(n)) - keep:
        del d[f"k{i}"]
    return d


def readded():
    d = {"a": 1, "b": 2}
    del d["a"]
    d["a"] = 3
    return d


class Point:
    def __init__(self):
        self.x = 1
        self.y = "a"


def reshaped_point():
    p = Point()
    del p.x
    p.z = 2
    return vars(p)


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (-7, "-7"),
        (1.0, "1.0"),
        (float("nan"), "nan"),
        (float("-inf"), "-inf"),
        (float("inf"), "inf"),
        (-2.5e-300, "-2.5e-300"),
        # The sign added by arithmetic, and each layout's hand-over to the exponent table.
        (-0.0, "-0.0"),
        (-1e-05, "-1e-05"),
        (-0.0001, "-0.0001"),
        (-9999999999999998.0, "-9999999999999998.0"),
        (1.2345678901234568e17, "1.2345678901234568e+17"),
        (-5e-324, "-5e-324"),
        (-1.7976931348623157e308, "-1.7976931348623157e+308"),
        (1e16, "1e+16"),
        (1.5e-7, "1.5e-07"),
        (2**200, str(2**200)),
        ("héllo €", '"héllo €"'),
        ((1,), "[ 1 ]"),
        ([], "[  ]"),
        ({}, "{  }"),
        ({"a": None}, "{  }"),
        ({"k": [1, {"x": True}]}, "{ k = [ 1, { x = true } ] }"),
        ({"a": 1, "b": None, "c": "x"}, '{ a = 1, c = "x" }'),
        (MyInt(5), "5"),
        (MyFloat(2.5), "2.5"),
        (MyStr("s"), '"s"'),
        (MyList([1, 2]), "[ 1, 2 ]"),
        (MyDict(a=1), "{ a = 1 }"),
        (OrderedDict(b=2, a=1), "{ b = 2, a = 1 }"),
        # Every shape of dict storage, in insertion order as PyDict_Next gives it.
        (holed(3, {1}), "{ k1 = 1 }"),
        (holed(300, {0, 150, 299}), "{ k0 = 0, k150 = 150, k299 = 299 }"),
        (readded(), "{ b = 2, a = 3 }"),
        (vars(Point()), '{ x = 1, y = "a" }'),
        (reshaped_point(), '{ y = "a", z = 2 }'),
        ({MyStr("k2"): 1, "j": MyStr("s")}, '{ k2 = 1, j = "s" }'),
        (fractions.Fraction(1, 3), '"1/3"'),  # str() of any other object
        (decimal.Decimal("1.50"), '"1.50"'),
        (datetime.date(2024, 1, 2), '"2024-01-02"'),
        (b"ab", "\"b'ab'\""),
    ],
)
def test_value_forms(value, text):
    assert record_line(value) == "{ k = " + text + " }"


def test_dicts_are_read_in_place_where_their_layout_is_known():
    known = sys.version_info[:2] == (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED")
    assert pentock._dict_in_place == known


class Colour(int, enum.Enum):
    RED = 1


class Weight(float, enum.Enum):
    LIGHT = 0.5


class Hexed(int):
    def __str__(self):
        return hex(self)


class Raises(float):
    def __str__(self):
        raise AssertionError("numbers are written by value, str() is never asked")


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (Colour.RED, "1"),  # str() is "Colour.RED": unquoted, no reader would take it
        (Weight.LIGHT, "0.5"),
        (enum.IntEnum("Level", "LOW HIGH").HIGH, "2"),
        (enum.IntFlag("Perm", "R W").W, "2"),
        (Hexed(255), "255"),
        (Hexed(2**70), str(2**70)),  # past 64 bits: int's own text
        (Raises(1e16), "1e+16"),
        (Raises(float("-inf")), "-inf"),
    ],
    ids=["int-enum", "float-enum", "IntEnum", "IntFlag", "hex-str", "hex-str-big", "e", "inf"],
)
def test_number_subclasses_are_written_by_value(value, text):
    line = record_line(value)
    assert line == "{ k = " + text + " }"
    assert line == record_line(int(value) if isinstance(value, int) else float(value))
    doc = tomllib.loads(encode_unified_data(records_model([{"k": value}])))
    assert doc["tables"]["t"]["records"] == [{"k": value}]


@pytest.mark.parametrize(
    ("value", "raw", "escaped"),
    [
        # raw None: refused without escaping, as no reader would load the text.
        ('a"b\\c', None, '"a\\"b\\\\c"'),
        ("line\nfeed\ttab\r", None, '"line\\nfeed\\ttab\\r"'),
        ("\x00\x0b\x1f\x7f", None, '"\\u0000\\u000B\\u001F\\u007F"'),
        ("é€😀 it's a/b", '"é€😀 it\'s a/b"', '"é€😀 it\'s a/b"'),
        (Stringy(), None, '"say \\"hi\\""'),
        ([{"n": ["\n"]}], None, '[ { n = [ "\\n" ] } ]'),
        # Tabs and text escaped beforehand are valid raw and copied as they are.
        ('tab\tand \\"pre\\" \\u00e9', '"tab\tand \\"pre\\" \\u00e9"', None),
    ],
)
def test_escape_flag_reaches_every_string(value, raw, escaped):
    if raw is None:
        with pytest.raises(ValueError, match=r"^tables\.t\.records\[0\]\.k.*escape_strings=True"):
            record_line(value, False)
    else:
        assert record_line(value, False) == "{ k = " + raw + " }"
    if escaped is not None:
        assert record_line(value, True) == "{ k = " + escaped + " }"


@pytest.mark.parametrize("flag", [1, "yes", True, [0]])
def test_truthy_escape_flags_escape(flag):
    assert record_line("\n", flag) == '{ k = "\\n" }'


@pytest.mark.parametrize("flag", [0, None, [], "", False])
def test_falsy_escape_flags_stay_raw(flag):
    assert record_line("\t", flag) == '{ k = "\t" }'


def test_comment_and_default_honour_the_flag():
    model = Model({"t": Table([col("c", comment="a\tb", default={"d": "x\ty"})])})
    raw = encode_unified_data(model)
    assert 'default = { d = "x\ty" }, comment = "a\tb" }' in raw
    assert 'default = { d = "x\\ty" }, comment = "a\\tb" }' in encode_unified_data(model, True)


@pytest.mark.parametrize("escape", [False, True])
def test_record_with_only_none_values(escape):
    out = encode_unified_data(records_model([{"a": None, "b": None}]), escape)
    assert "records = [\n    {  },\n]\n" in out


def test_record_key_types_are_checked_and_the_error_stops_the_document():
    with pytest.raises(TypeError, match="inline table key must be str, not int"):
        encode_unified_data(records_model([{"a": 1, 2: "x"}]))


def test_failure_in_third_record_propagates():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="boom"):
        encode_unified_data(records_model([{"a": 1}, {"a": 2}, {"a": Bad()}, {"a": 4}]))


@pytest.mark.parametrize(
    ("column", "message"),
    [
        (col("c", None), "column type must be str, not NoneType"),
        (col(1), "column name must be str, not int"),
        (col("c", foreign_key=3), "column foreign_key must be str, not int"),
        (col("c", comment=b"x"), "column comment must be str, not bytes"),
    ],
)
def test_column_string_fields_must_be_str(column, message):
    with pytest.raises(TypeError, match=message) as info:
        encode_unified_data(Model({"users": Table([col("ok"), column])}))
    assert "while encoding column 1 of table 'users'" in info.value.__notes__


@pytest.mark.parametrize(
    ("model", "message"),
    [
        (Model(version=1), "version must be str, not int"),
        (Model(schema_version=None), "schema_version must be str, not NoneType"),
        (Model({1: Table()}), "a table name must be str, not int"),
    ],
)
def test_header_fields_must_be_str(model, message):
    with pytest.raises(TypeError, match=message):
        encode_unified_data(model)


def test_lone_surrogate_raises():
    with pytest.raises(UnicodeEncodeError):
        encode_unified_data(records_model([{"a": "\ud800"}]))


def test_document_reads_back_with_tomllib():
    out = encode_unified_data(worked_model())
    doc = tomllib.loads(out)
    assert doc["header"] == {"version": "1.0", "schema_version": "2", "tables": ["users"]}
    assert doc["tables"]["users"]["records"] == [{"id": 1, "nick": "ada"}, {"id": 2}]


# "~" is the last ASCII character a document can hold raw (DEL is refused).
@pytest.mark.parametrize("text", ["plain", "café", "Ωμέγα", "東京", "😀 ok", "a~\té東😀"])
@pytest.mark.parametrize("repeat", [1, 40_000, 2**20])
def test_str_result_equals_the_written_bytes_for_every_character_width(tmp_path, text, repeat):
    # The str is built from the UTF-8 buffer by its own transcoder; a wrong kind, length or
    # character shows as a difference from the file's bytes. str equality also tells kinds apart.
    # The largest rows pass 8 MiB, where a helper thread faults in pages while the str is written.
    model = records_model([{"s": text * repeat, "n": i} for i in range(3)])
    assert encode_unified_data(model) == _written(tmp_path, model)


def _written(tmp_path, model, escape=False):
    path = tmp_path / "doc.toml"
    write_unified_data(model, str(path), escape_strings=escape)
    return path.read_bytes().decode("utf-8")


def test_str_results_in_a_row_of_changing_sizes(tmp_path):
    # After an ASCII document the next is written straight into a str started at the last
    # one's length: the same, a little or far longer (past the room kept), far shorter, under
    # 64 KiB, and after a document past ASCII (the negative row).
    rows = [70_000, 70_000, 74_000, 75_500, 300_000, 80_000, 1_000, 90_000, -90_000, 90_000, 90_000]
    for i, n in enumerate(rows):
        model = records_model([{"s": ("x" if n > 0 else "é") * abs(n), "n": i}])
        assert encode_unified_data(model) == _written(tmp_path, model), (i, n)


# The result's ASCII copy runs a MiB at a time: text past ASCII first met at, before or past a
# slice's end still makes the str of the right width, and so does a first slice that is ASCII.
# Past 32 MiB the second encode writes straight into the str, a MiB at a time, from a small
# estimate up; the tail keeps the document ASCII or ends it past ASCII.
@pytest.mark.parametrize("tail", ["é😀", "~"])
@pytest.mark.parametrize("shift", [-1, 0, 1, 2**20 + 7, 2**25 + 5])
def test_str_result_widens_where_a_later_slice_is_not_ascii(tmp_path, shift, tail):
    at = encode_unified_data(records_model([{"s": "é"}])).index("é")
    s = "x" * (2**20 - at + shift) + tail
    model = records_model([{"s": s}])
    expected = _written(tmp_path, model)
    for _ in range(2):
        assert encode_unified_data(model) == expected
    # A file past a MiB is read into a block whose pages come in at once.
    assert read_unified_data(str(tmp_path / "doc.toml"))["tables"]["t"]["records"] == [{"s": s}]


# Past 64 KiB a thread's next document goes straight into its str: in place after an ASCII one,
# checked a stride at a time, and moved over to be decoded a block at a time from the stride
# where text past ASCII is found; decoded from the start after one past ASCII, the str made as
# wide as the text so far. Text past ASCII first met anywhere, and widths mixed in every block,
# still make the exact str.
def _past_ascii_at(j):
    return [{"s": "éééé" if i == j else "x" * 8} for i in range(20_000)]


_LATER = {
    "ascii": [{"s": "x" * 50}] * 3_000,
    "first record past ascii": _past_ascii_at(0),
    "past ascii about a stride's end": _past_ascii_at(3_000),
    "past ascii later": _past_ascii_at(10_000),
    "last record past ascii": _past_ascii_at(19_999),
    "wider late": [{"s": "é" * 50}] * 3_000 + [{"s": "😀"}],
    "every width": [{"s": "aé東😀"[: 1 + i % 4] * (1 + i % 7)} for i in range(20_000)],
    "a value past a block": [{"s": "é" * 100_000}, {"s": "x" * 70_000 + "😀"}],
    "escapes in every block": [{"s": f'é"{i}\\\t東'} for i in range(20_000)],
}


@pytest.mark.parametrize("escape", [False, True])
@pytest.mark.parametrize("later", _LATER)
@pytest.mark.parametrize("before", ["x", "é"])
def test_str_written_as_the_document_is_made(tmp_path, before, later, escape):
    if later == "escapes in every block" and not escape:
        pytest.skip("a raw string holds no quote")
    encode_unified_data(records_model([{"s": before * 100_000}]), escape_strings=escape)
    model = records_model(_LATER[later])
    expected = _written(tmp_path, model, escape)
    assert encode_unified_data(model, escape_strings=escape) == expected


class _RekeyLater:
    """str() clears the earlier records (their keys die) and gives the later ones new keys that
    need quotes, made now and so likely to land at the addresses just freed."""

    def __init__(self, records, at):
        self.records, self.at = records, at

    def __str__(self):
        for rec in self.records[: self.at]:
            rec.clear()
        for i, rec in enumerate(self.records[self.at + 1 :]):
            rec.clear()
            rec["".join(["a b", str(i)])] = i
        return "v"


@pytest.mark.parametrize("escape", [False, True])
def test_record_key_verdicts_follow_the_key_objects_not_their_addresses(escape):
    records = [{"".join(["k", str(i)]): i} for i in range(300)]
    records[150] = {"hook": None, "h": None}
    records[150]["h"] = _RekeyLater(records, 150)
    out = encode_unified_data(records_model(records), escape)
    got = tomllib.loads(out)["tables"]["t"]["records"]
    assert got[150] == {"h": "v"}
    assert got[151:] == [{f"a b{i}": i} for i in range(149)]
    assert got[:150] == [{f"k{i}": i} for i in range(150)]
